// The simulated boot loader on its pseudo-terminal, item by item.
#include "bootloader.h"

#include "crc16.h"

#include <QTimer>

#include <fcntl.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <unistd.h>

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

BootLoader::BootLoader()
{
    char name[256] = {};
    termios raw{}; // no echo, no line editing, even while the program has the port closed
    ::cfmakeraw(&raw);
    if (::openpty(&master_, &slave_, name, &raw, nullptr) != 0)
        qFatal("openpty failed");
    slavePath = name;
    ::fcntl(master_, F_SETFL, O_NONBLOCK);
    notifier_ = std::make_unique<QSocketNotifier>(master_, QSocketNotifier::Read);
    connect(notifier_.get(), &QSocketNotifier::activated, this, &BootLoader::onReadable);
}

BootLoader::~BootLoader()
{
    hangUp();
    ::close(slave_);
}

void BootLoader::write(const QByteArray& bytes)
{
    sent += bytes;
    if (master_ >= 0) [[maybe_unused]]
        const auto written = ::write(master_, bytes.data(), bytes.size());
}

void BootLoader::flood(qint64 bytes)
{
    const QByteArray chunk(4096, 'F');
    const ssize_t n = master_ < 0 ? -1 : ::write(master_, chunk.data(), chunk.size());
    flooded += std::max<ssize_t>(0, n);
    if (master_ >= 0 && flooded < bytes)
        QTimer::singleShot(n > 0 ? 0 : 1, this, [this, bytes] { flood(bytes); });
}

void BootLoader::hangUp()
{
    notifier_->setEnabled(false);
    if (master_ >= 0)
        ::close(std::exchange(master_, -1));
}

void BootLoader::unplug()
{
    ::ioctl(slave_, TIOCVHANGUP);
}

void BootLoader::onReadable()
{
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(master_, buffer, sizeof buffer)) > 0) {
        stream.append(buffer, n);
        pending_.append(buffer, n);
    }
    if (n == 0 || errno != EAGAIN)
        notifier_->setEnabled(false); // hung up for good: stop polling
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
    itemBytes_ = size;
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
        name_ = item.mid(3, 128).split('\0').value(0);
        size_ = item.mid(3, 128).split('\0').value(1); // after the file name
        batch_.clear();
        blocks = 0;
        answer(1, "\x06\x43");
    } else if (first == SOH && afterEot_ &&
               item == "\x01" + QByteArray(1, 0) + "\xFF" + QByteArray(130, 0)) {
        afterEot_ = false;
        file = batch_.left(size_.toLongLong());
        ++completed;
        if (!keepsOldName)
            versionReply = name_ + "\r\n";
        answer(blocks + 3, "\x06");
    } else {
        write("\x15"); // NAK: refused
    }
    return true;
}

void BootLoader::answer(int item, const QByteArray& proper)
{
    if (onItem)
        onItem(item);
    const Answer a = script.contains(item) ? script.take(item) : Answer{proper};
    if (baud > 0 && a.how == How::Write) { // the item's time on the wire, ten bits a byte
        QTimer::singleShot(int(itemBytes_ * 10 * 1000 / baud), Qt::PreciseTimer, this,
                           [this, bytes = a.bytes] { write(bytes); });
        return;
    }
    if (a.how == How::HangUp)
        hangUp();
    if (a.how == How::Unplug)
        unplug();
    if (a.how == How::Write)
        write(a.bytes);
    for (int i = 0; a.how == How::Split && i < a.bytes.size(); ++i)
        QTimer::singleShot(5 * i, this, [this, b = a.bytes.mid(i, 1)] { write(b); });
}
