// The four-panel status bar.
#include "statusbar.h"

#include <QDateTime>
#include <QHBoxLayout>
#include <QLocale>

#include <algorithm>

StatusBar::StatusBar(QWidget* parent) : QFrame(parent)
{
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(2);
    const char* designTexts[kPanelCount] = {"Date", "", "time", "Version"};
    for (int i = 0; i < kPanelCount; ++i) {
        auto* label = new QLabel(QString::fromLatin1(designTexts[i]), this);
        label->setObjectName(QStringLiteral("panel%1").arg(i + 1));
        label->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        label->setIndent(3);
        if (i < kPanelCount - 1)
            label->setFixedWidth(kPanelWidth);
        layout->addWidget(label, i < kPanelCount - 1 ? 0 : 1);
        panels_[static_cast<std::size_t>(i)] = label;
    }
    midnight_.setSingleShot(true);
    connect(&midnight_, &QTimer::timeout, this, &StatusBar::showDate);
    showDate();
}

void StatusBar::showDate()
{
    const QDateTime now = QDateTime::currentDateTime();
    panel(2)->setText(QLocale().toString(now.date(), QLocale::ShortFormat));
    // Wake a moment after the next midnight; a clock change at worst delays it a day's part.
    const QDateTime next(now.date().addDays(1), QTime(0, 0, 1));
    midnight_.start(static_cast<int>(std::max<qint64>(1000, now.msecsTo(next))));
}
