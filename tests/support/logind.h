// A stand-in logind on a private bus, made this process's system bus: it hands out inhibitor
// locks as the write ends of pipes and tells how many are still held somewhere.
#pragma once

#include <QDBusUnixFileDescriptor>
#include <QObject>
#include <QProcess>
#include <QStringList>

class Logind : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.login1.Manager")

public:
    Logind(); // before anything in this process uses the system bus
    ~Logind() override;
    int held() const;  // locks of which some copy is still open
    QStringList asked; // "what|mode" of each Inhibit

public slots:
    QDBusUnixFileDescriptor Inhibit(const QString& what, const QString& who, const QString& why,
                                    const QString& mode);

private:
    QProcess bus_;
    QList<int> locks_; // the read ends
};
