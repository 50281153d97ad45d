// The stand-in logind: a private dbus-daemon, and Inhibit answered with pipes.
#include "logind.h"

#include <QDBusConnection>

#include <poll.h>
#include <unistd.h>

Logind::Logind()
{
    bus_.start("dbus-daemon", {"--session", "--nofork", "--nopidfile", "--print-address=1"});
    if (!bus_.waitForReadyRead(10000))
        qFatal("dbus-daemon did not start");
    const QByteArray address = bus_.readLine().trimmed();
    qputenv("DBUS_SYSTEM_BUS_ADDRESS", address);
    QDBusConnection bus = QDBusConnection::connectToBus(QString::fromLatin1(address), "logind");
    if (!bus.registerService("org.freedesktop.login1") ||
        !bus.registerObject("/org/freedesktop/login1", this, QDBusConnection::ExportAllSlots))
        qFatal("the stand-in logind could not register");
}

Logind::~Logind()
{
    QDBusConnection::disconnectFromBus("logind");
    for (int fd : locks_)
        ::close(fd);
    bus_.kill();
    bus_.waitForFinished();
}

QDBusUnixFileDescriptor Logind::Inhibit(const QString& what, const QString&, const QString&,
                                        const QString& mode)
{
    asked << what + "|" + mode;
    int ends[2];
    if (::pipe(ends) != 0)
        return {};
    locks_ << ends[0];
    const QDBusUnixFileDescriptor lock(ends[1]); // a copy: only the caller's stays open
    ::close(ends[1]);
    return lock;
}

int Logind::held() const
{
    int n = 0;
    for (int fd : locks_) {
        pollfd p{fd, POLLIN, 0};
        n += ::poll(&p, 1, 0) == 0; // every write end closed reads as a hang-up
    }
    return n;
}
