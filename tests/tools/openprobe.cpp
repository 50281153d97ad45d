// Opens a serial device as an unprivileged user and prints what the updater would tell that
// user; used to test the permission-denied message while the tests run as root.
//   qx-open-probe DEVICE
#include "commport.h"

#include <QCoreApplication>

#include <cstdio>
#include <unistd.h>

int main(int argc, char** argv)
{
    if (argc != 2)
        return 2;
    if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0))
        return 3;
    QCoreApplication app(argc, argv);
    const QString device = QString::fromLocal8Bit(argv[1]);
    qx::serial::CommPort port([device] {
        return QList<qx::serial::SerialDevice>{{device, {}, {}}};
    });
    try {
        port.setCommPort(97);
        port.setPortOpen(true);
    } catch (const qx::serial::CommError& e) {
        std::printf("%s\n", e.what());
        return 0;
    }
    std::printf("opened\n");
    return 1;
}
