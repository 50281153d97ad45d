#include "pseudoterminal.h"

#include <fcntl.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <stdexcept>

Pty::Pty()
{
    char name[256] = {};
    if (::openpty(&master_, &slave_, name, nullptr, nullptr) != 0)
        throw std::runtime_error("openpty failed");
    slavePath_ = QString::fromLocal8Bit(name);
    termios raw{};
    ::tcgetattr(slave_, &raw);
    ::cfmakeraw(&raw);
    ::tcsetattr(slave_, TCSANOW, &raw);
    ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
}

Pty::~Pty()
{
    hangUp();
    if (slave_ >= 0)
        ::close(slave_);
}

void Pty::hangUp()
{
    if (master_ >= 0)
        ::close(master_);
    master_ = -1;
}

void Pty::removeAdapter()
{
    if (slave_ >= 0)
        ::ioctl(slave_, TIOCVHANGUP);
}

qx::serial::SerialDevice Pty::device() const
{
    return {slavePath_, QStringLiteral("pseudo-terminal"), QStringLiteral("test")};
}

qx::serial::DeviceSource ptySource(const QList<const Pty*>& ptys)
{
    QList<qx::serial::SerialDevice> devices;
    for (const Pty* pty : ptys)
        devices.append(pty->device());
    return [devices] { return devices; };
}
