#include "messageboxes.h"

#include <QAbstractButton>
#include <QApplication>
#include <QPointer>
#include <QTest>

MessageBoxes::MessageBoxes(QObject* parent) : QObject(parent)
{
    connect(&poll_, &QTimer::timeout, this, &MessageBoxes::poll);
    poll_.start(2);
}

QStringList MessageBoxes::texts() const
{
    QStringList out;
    for (const SeenBox& box : seen_)
        out.append(box.text);
    return out;
}

bool MessageBoxes::anyOpen() const
{
    for (QWidget* w : QApplication::topLevelWidgets())
        if (qobject_cast<QMessageBox*>(w) && w->isVisible())
            return true;
    return false;
}

void MessageBoxes::closeAll()
{
    for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* box = qobject_cast<QMessageBox*>(w); box && box->isVisible())
            if (QAbstractButton* ok = box->button(QMessageBox::Ok))
                QTest::mouseClick(ok, Qt::LeftButton);
}

void MessageBoxes::poll()
{
    known_.removeIf([](QMessageBox* b) { return !QApplication::topLevelWidgets().contains(b); });
    for (QWidget* w : QApplication::topLevelWidgets()) {
        auto* box = qobject_cast<QMessageBox*>(w);
        if (!box || !box->isVisible() || known_.contains(box))
            continue;
        known_.append(box);
        seen_.append({box->windowTitle(), box->text(), box->icon()});
        if (!autoClose_)
            continue;
        QPointer<QMessageBox> guard(box);
        QTimer::singleShot(closeDelayMs_, this, [guard] {
            if (guard && guard->isVisible())
                if (QAbstractButton* ok = guard->button(QMessageBox::Ok))
                    QTest::mouseClick(ok, Qt::LeftButton);
        });
    }
}
