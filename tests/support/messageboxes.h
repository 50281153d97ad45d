// Watches for message boxes and closes them as a user would, by clicking their OK button;
// records what each one said.
#pragma once

#include <QMessageBox>
#include <QObject>
#include <QTimer>

struct SeenBox
{
    QString title;
    QString text;
    QMessageBox::Icon icon;
};

class MessageBoxes : public QObject
{
    Q_OBJECT

public:
    explicit MessageBoxes(QObject* parent = nullptr);

    QList<SeenBox> seen() const { return seen_; }
    int count() const { return int(seen_.size()); }
    QStringList texts() const;
    void clear() { seen_.clear(); }
    // How long a box stays open before it is closed (a user reading it).
    void setCloseDelay(int ms) { closeDelayMs_ = ms; }
    // Leave boxes open (to test what happens meanwhile).
    void setAutoClose(bool on) { autoClose_ = on; }
    bool anyOpen() const;
    void closeAll();

private:
    void poll();

    QTimer poll_;
    QList<SeenBox> seen_;
    QList<QMessageBox*> known_;
    int closeDelayMs_ = 0;
    bool autoClose_ = true;
};
