#include "bootloader.h"

#include "crc16.h"

#include <cerrno>
#include <unistd.h>

namespace {
constexpr char SOH = 0x01, STX = 0x02, EOT = 0x04, ACK = 0x06, NAK = 0x15, CAN = 0x18;
constexpr int kHeaderSize = 133, kDataSize = 1029;

std::uint16_t crcOf(const QByteArray& packet, int blockSize)
{
    return qx::package::crc16Xmodem(
        {reinterpret_cast<const std::uint8_t*>(packet.constData()) + 3, std::size_t(blockSize)});
}

std::uint16_t storedCrc(const QByteArray& packet)
{
    const auto n = packet.size();
    return std::uint16_t(std::uint8_t(packet[n - 2]) << 8 | std::uint8_t(packet[n - 1]));
}
} // namespace

BootLoader::BootLoader(Pty& pty, int expectedPackets, QObject* parent)
    : QObject(parent), pty_(pty), expectedPackets_(expectedPackets)
{
    notifier_ = std::make_unique<QSocketNotifier>(pty.masterFd(), QSocketNotifier::Read);
    connect(notifier_.get(), &QSocketNotifier::activated, this, &BootLoader::onReadable);
    connect(&asking_, &QTimer::timeout, this, [this] { write("C"); });
    clock_.start();
}

void BootLoader::setVersionReply(QList<QByteArray> chunks, int chunkMs)
{
    versionChunks_ = std::move(chunks);
    versionChunkMs_ = chunkMs;
}

void BootLoader::setExpectedHeader(const QByteArray& name, const QByteArray& sizeText)
{
    expectedName_ = name;
    expectedSize_ = sizeText;
}

void BootLoader::startAsking(int intervalMs)
{
    stage_ = Stage::Header;
    asking_.start(intervalMs);
    write("C");
}

void BootLoader::writeRaw(const QByteArray& bytes)
{
    write(bytes);
}

void BootLoader::hangUp()
{
    asking_.stop();
    notifier_->setEnabled(false);
    pty_.hangUp();
}

void BootLoader::problem(const QString& text)
{
    problems_.append(text);
}

void BootLoader::write(const QByteArray& bytes)
{
    if (!pty_.isOpen())
        return;
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(pty_.masterFd(), bytes.constData() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            problem(QStringLiteral("write to the line failed"));
            return;
        }
        done += n;
    }
    lastReplyNs_ = clock_.nsecsElapsed();
}

void BootLoader::onReadable()
{
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(pty_.masterFd(), buffer, sizeof buffer);
        if (n > 0) {
            if (pending_.isEmpty() && lastReplyNs_ >= 0) {
                turnarounds_.push_back(clock_.nsecsElapsed() - lastReplyNs_);
                lastReplyNs_ = -1;
            }
            stream_.append(buffer, n);
            pending_.append(buffer, n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK))
            notifier_->setEnabled(false); // the slave side is gone for good (EIO): stop polling
        break;
    }
    process();
}

void BootLoader::process()
{
    while (!pending_.isEmpty() && pty_.isOpen() && takeItem()) {
    }
}

int BootLoader::item(Stage stage) const
{
    switch (stage) {
    case Stage::Menu:
        return 0;
    case Stage::Header:
        return 1;
    case Stage::Data:
        return nextBlock_ + 1;
    case Stage::Closing:
        return expectedPackets_ + 3;
    }
    return -1;
}

bool BootLoader::takeItem()
{
    const char first = pending_.at(0);
    auto take = [this](int n) {
        const QByteArray item = pending_.left(n);
        pending_.remove(0, n);
        return item;
    };
    switch (stage_) {
    case Stage::Menu:
        handleMenuByte(take(1).at(0));
        return true;
    case Stage::Header:
        if (first != SOH) {
            const char c = take(1).at(0);
            if (c == '1')
                handleMenuByte(c); // the menu again: ask again
            else
                problem(QStringLiteral("byte 0x%1 where a header block was due")
                            .arg(quint8(c), 2, 16, QLatin1Char('0')));
            return true;
        }
        if (pending_.size() < kHeaderSize)
            return false;
        handleHeader(take(kHeaderSize));
        return true;
    case Stage::Data:
        if (first == EOT) {
            take(1);
            handleEot();
            return true;
        }
        if (first != STX) {
            problem(QStringLiteral("byte 0x%1 where a data block or EOT was due")
                        .arg(quint8(first), 2, 16, QLatin1Char('0')));
            take(1);
            return true;
        }
        if (pending_.size() < kDataSize)
            return false;
        handleData(take(kDataSize));
        return true;
    case Stage::Closing:
        if (pending_.size() < kHeaderSize)
            return false;
        handleClosing(take(kHeaderSize));
        return true;
    }
    return true;
}

void BootLoader::handleMenuByte(char c)
{
    if (c == '1') {
        stage_ = Stage::Header;
        reply(0, "C");
    } else if (c == '2') {
        ++versionQueries_;
        auto fault = faults_.value(kVersionItem);
        if (faults_.contains(kVersionItem) && fault.action != Action::Normal) {
            reply(kVersionItem, versionChunks_.join());
            return;
        }
        int at = 0;
        for (const QByteArray& chunk : versionChunks_) {
            QTimer::singleShot(at, this, [this, chunk] { write(chunk); });
            at += versionChunkMs_;
        }
    } else {
        problem(
            QStringLiteral("unknown menu command 0x%1").arg(quint8(c), 2, 16, QLatin1Char('0')));
    }
}

void BootLoader::handleHeader(const QByteArray& packet)
{
    asking_.stop();
    bool sound = packet.at(1) == 0 && quint8(packet.at(2)) == 0xFF &&
                 storedCrc(packet) == crcOf(packet, 128);
    const QByteArray field = packet.mid(3, 128);
    const QByteArray name = field.left(field.indexOf('\0'));
    const QByteArray rest = field.mid(name.size() + 1);
    const QByteArray size = rest.left(rest.indexOf('\0'));
    if (!sound)
        problem(QStringLiteral("header block: bad framing or CRC"));
    if (name != expectedName_ || size != expectedSize_) {
        problem(QStringLiteral("header names \"%1\" size \"%2\"")
                    .arg(QString::fromLatin1(name), QString::fromLatin1(size)));
        sound = false;
    }
    if (!sound) {
        write(QByteArray(1, NAK));
        return;
    }
    declaredSize_ = size.toLongLong();
    batch_.clear();
    nextBlock_ = 1;
    acked_ = 0;
    const int itemNo = item(Stage::Header);
    stage_ = Stage::Data;
    reply(itemNo, QByteArray(1, ACK) + 'C');
}

void BootLoader::handleData(const QByteArray& packet)
{
    const int itemNo = item(Stage::Data);
    const quint8 number = quint8(packet.at(1));
    const quint8 complement = quint8(packet.at(2));
    QString fault;
    if (number != quint8(nextBlock_ % 256))
        fault = QStringLiteral("block number %1, expected %2").arg(number).arg(nextBlock_ % 256);
    else if (quint8(number + complement) != 0xFF)
        fault = QStringLiteral("block %1: bad complement").arg(nextBlock_);
    else if (storedCrc(packet) != crcOf(packet, 1024))
        fault = QStringLiteral("block %1: CRC mismatch").arg(nextBlock_);
    if (!fault.isEmpty()) {
        problem(fault);
        write(QByteArray(1, NAK));
        return;
    }
    batch_.append(packet.mid(3, 1024));
    ++nextBlock_;
    ++acked_;
    reply(itemNo, QByteArray(1, ACK));
}

void BootLoader::handleEot()
{
    if (acked_ != expectedPackets_)
        problem(QStringLiteral("EOT after %1 of %2 blocks").arg(acked_).arg(expectedPackets_));
    stage_ = Stage::Closing;
    reply(expectedPackets_ + 2, QByteArray(1, ACK) + 'C');
}

void BootLoader::handleClosing(const QByteArray& packet)
{
    const bool empty = packet.at(0) == SOH && packet.at(1) == 0 && quint8(packet.at(2)) == 0xFF &&
                       packet.mid(3).count('\0') == 130;
    if (!empty) {
        problem(QStringLiteral("closing block is not an empty header"));
        write(QByteArray(1, NAK));
        return;
    }
    stage_ = Stage::Menu;
    firmware_ = batch_.left(declaredSize_);
    ++completed_;
    reply(expectedPackets_ + 3, QByteArray(1, ACK));
    emit transferCompleted();
}

void BootLoader::reply(int itemNo, const QByteArray& proper)
{
    if (onItem)
        onItem(itemNo);
    Fault fault;
    if (auto it = faults_.find(itemNo); it != faults_.end()) {
        fault = *it;
        if (--it->times <= 0)
            faults_.erase(it);
    }
    switch (fault.action) {
    case Action::Normal:
        write(proper);
        break;
    case Action::Silence:
        lastReplyNs_ = -1;
        break;
    case Action::Nak:
        write(QByteArray(1, NAK));
        break;
    case Action::Can:
        write(QByteArray(2, CAN));
        break;
    case Action::Garbage:
        write("\x5A");
        break;
    case Action::Split: {
        int at = 0;
        for (char c : proper) {
            QTimer::singleShot(at, this, [this, c] { write(QByteArray(1, c)); });
            at += fault.splitMs;
        }
        break;
    }
    case Action::ExtraC:
        write("CC" + proper);
        break;
    case Action::Chatter:
        write(proper + "\r\nboot>");
        break;
    case Action::Delay:
        QTimer::singleShot(fault.delayMs, this, [this, proper] { write(proper); });
        break;
    case Action::HangUp:
        hangUp();
        break;
    case Action::RemoveAdapter:
        asking_.stop();
        pty_.removeAdapter();
        break;
    case Action::Custom:
        write(fault.bytes);
        break;
    }
}
