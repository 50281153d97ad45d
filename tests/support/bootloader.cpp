// The pseudo-terminal and the simulated boot loader, item by item.
#include "bootloader.h"

#include "crc16.h"

#include <QTimer>

#include <cerrno>
#include <fcntl.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <unistd.h>

Pty::Pty()
{
    char name[256] = {};
    termios raw{};
    ::cfmakeraw(&raw);
    if (::openpty(&master_, &slave_, name, &raw, nullptr) != 0)
        qFatal("openpty failed");
    slavePath_ = name;
    ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
}

Pty::~Pty()
{
    hangUp();
    ::close(slave_);
}

void Pty::hangUp()
{
    if (master_ >= 0)
        ::close(master_);
    master_ = -1;
}

void Pty::unplug()
{
    ::ioctl(slave_, TIOCVHANGUP);
}

namespace {
// Block number, its complement, and the CRC over the block (the framing byte chose the size).
bool sound(const QByteArray& packet, int number)
{
    const auto* u = reinterpret_cast<const std::uint8_t*>(packet.constData());
    const std::size_t n = std::size_t(packet.size());
    return u[1] == quint8(number) && u[2] == quint8(255 - number) &&
           qx::package::crc16Xmodem({u + 3, n - 5}) == (u[n - 2] << 8 | u[n - 1]);
}
} // namespace

BootLoader::BootLoader(Pty& pty) : pty_(pty), notifier_(pty.masterFd(), QSocketNotifier::Read)
{
    connect(&notifier_, &QSocketNotifier::activated, this, &BootLoader::onReadable);
}

void BootLoader::write(const QByteArray& bytes)
{
    if (pty_.masterFd() >= 0 &&
        ::write(pty_.masterFd(), bytes.data(), bytes.size()) != bytes.size())
        problems << "a write to the line failed";
}

void BootLoader::hangUp()
{
    notifier_.setEnabled(false);
    pty_.hangUp();
}

void BootLoader::onReadable()
{
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(pty_.masterFd(), buffer, sizeof buffer)) > 0) {
        stream.append(buffer, n);
        pending_.append(buffer, n);
    }
    if (n == 0 || errno != EAGAIN)
        notifier_.setEnabled(false); // hung up for good: stop polling
    while (!pending_.isEmpty() && takeItem()) {
    }
}

bool BootLoader::takeItem()
{
    constexpr char SOH = 0x01, STX = 0x02, EOT = 0x04;
    const char first = pending_.front();
    const int size = first == SOH ? 133 : first == STX ? 1029 : 1;
    if (pending_.size() < size)
        return false;
    const QByteArray item = pending_.left(size);
    pending_.remove(0, size);
    if (first == '1') {
        answer(0, "C");
    } else if (first == '2') {
        answer(kVersion, versionReply);
    } else if (first == EOT) {
        afterEot_ = true;
        answer(blocks + 2, "\x06\x43");
    } else if (first == STX && sound(item, blocks + 1)) {
        batch_ += item.mid(3, 1024);
        answer(++blocks + 1, "\x06");
    } else if (first == SOH && !afterEot_ && sound(item, 0)) {
        const QList<QByteArray> fields = item.mid(3, 128).split('\0');
        fileName = fields.value(0);
        size_ = fields.value(1);
        batch_.clear();
        blocks = 0;
        answer(1, "\x06\x43");
    } else if (first == SOH && afterEot_ &&
               item == QByteArray("\x01\x00\xFF", 3) + QByteArray(130, 0)) {
        afterEot_ = false;
        file = batch_.left(size_.toLongLong());
        ++completed;
        answer(blocks + 3, "\x06");
    } else {
        problems << QString("refused item 0x%1 after block %2").arg(int(first), 2, 16).arg(blocks);
        write("\x15"); // NAK
    }
    return true;
}

void BootLoader::answer(int item, const QByteArray& proper)
{
    if (onItem)
        onItem(item);
    const Answer a = script.contains(item) ? script.take(item) : Answer{proper};
    if (a.how == How::HangUp)
        hangUp();
    if (a.how == How::Unplug)
        pty_.unplug();
    if (a.how == How::Write)
        write(a.bytes);
    for (int i = 0; a.how == How::Split && i < a.bytes.size(); ++i)
        QTimer::singleShot(5 * i, this, [this, b = a.bytes.mid(i, 1)] { write(b); });
}
