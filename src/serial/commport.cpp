// The serial-port control: MSComm's semantics (threshold, input mode, one loss report) over
// whichever SerialLine the platform has.
#include "commport.h"

#include <QMetaObject>
#include <QStringList>

#include <algorithm>
#include <iterator>
#include <utility>

namespace qx::serial {

std::optional<LineSettings> parseLineSettings(const QString& text)
{
    const QStringList fields = text.split(',');
    if (fields.size() != 4)
        return std::nullopt;
    LineSettings s;
    bool ok = false;
    s.baudRate = fields[0].trimmed().toInt(&ok);
    if (!ok || s.baudRate <= 0)
        return std::nullopt;
    static const std::pair<const char*, Parity> kParities[] = {
        {"N", Parity::None}, {"E", Parity::Even},  {"O", Parity::Odd},
        {"M", Parity::Mark}, {"S", Parity::Space},
    };
    const QString parity = fields[1].trimmed().toUpper();
    const auto p = std::find_if(std::begin(kParities), std::end(kParities),
                                [&](const auto& entry) { return parity == entry.first; });
    if (p == std::end(kParities))
        return std::nullopt;
    s.parity = p->second;
    s.dataBits = fields[2].trimmed().toInt(&ok);
    if (!ok || s.dataBits < 5 || s.dataBits > 8)
        return std::nullopt;
    const QString stop = fields[3].trimmed();
    if (stop == "1")
        s.stopBits = StopBits::One;
    else if (stop == "1.5")
        s.stopBits = StopBits::OneAndHalf;
    else if (stop == "2")
        s.stopBits = StopBits::Two;
    else
        return std::nullopt;
    return s;
}

QString openFailureText(OpenFailure failure, int comNumber, const QString& device)
{
    const QString com = QStringLiteral("COM%1").arg(comNumber);
    const QString port = device.isEmpty() ? com : QStringLiteral("%1 (%2)").arg(com, device);
    switch (failure) {
    case OpenFailure::Missing:
        return device.isEmpty()
                   ? QStringLiteral("%1 does not exist on this machine.").arg(com)
                   : QStringLiteral("%1 does not exist: %2 is not there.").arg(com, device);
    case OpenFailure::InUse:
        return QStringLiteral("%1 is in use by another program.").arg(port);
    case OpenFailure::Denied:
        return QStringLiteral("Permission denied on %1: add your user to the dialout group, "
                              "then log in again.")
            .arg(port);
    case OpenFailure::Other:
        break;
    }
    return QStringLiteral("%1 could not be opened.").arg(port);
}

CommPort::CommPort(QObject* parent) : QObject(parent), line_(this)
{
    connect(&line_, &SerialLine::readyRead, this, &CommPort::onReadyRead);
    connect(&line_, &SerialLine::lineGone, this, &CommPort::onLineGone);
}

void CommPort::requireOpen(const char* operation) const
{
    if (!line_.isOpen())
        throw CommError(QStringLiteral("Operation not valid: the port is closed (%1).")
                            .arg(QLatin1String(operation)));
}

void CommPort::setDevice(const MapEntry& entry)
{
    if (line_.isOpen())
        throw CommError(QStringLiteral("Operation not valid: the port is already open."));
    if (entry.comNumber < 0 || entry.comNumber > kMaxComNumber)
        throw CommError(QStringLiteral("Invalid port number %1.").arg(entry.comNumber));
    entry_ = entry;
}

void CommPort::setSettings(const QString& settings)
{
    const auto parsed = parseLineSettings(settings);
    if (!parsed)
        throw CommError(QStringLiteral("Invalid line settings \"%1\".").arg(settings));
    settings_ = *parsed;
    if (line_.isOpen())
        line_.setLine(settings_);
}

void CommPort::setInBufferSize(int size)
{
    if (line_.isOpen())
        throw CommError(QStringLiteral("Operation not valid: the port is already open."));
    inBufferSize_ = size;
}

void CommPort::setOutBufferSize(int size)
{
    if (line_.isOpen())
        throw CommError(QStringLiteral("Operation not valid: the port is already open."));
    outBufferSize_ = size;
}

void CommPort::setPortOpen(bool open)
{
    if (!open) {
        line_.close();
        received_.clear();
        eventQueued_ = false;
        return;
    }
    if (line_.isOpen())
        throw CommError(QStringLiteral("Port already open."));
    line_.open(entry_);
    lossReported_ = false;
    try {
        line_.setLine(settings_);
        setHandshaking(handshaking_);
    } catch (...) {
        line_.close();
        throw;
    }
}

void CommPort::setHandshaking(Handshaking handshaking)
{
    handshaking_ = handshaking;
    // Software flow control is never asked for by the window; only RTS/CTS is passed on.
    if (line_.isOpen())
        line_.setRtsCts(handshaking == Handshaking::RtsCts ||
                        handshaking == Handshaking::RtsCtsXonXoff);
}

void CommPort::setDtrEnable(bool on)
{
    requireOpen("DTR");
    line_.setDtr(on);
}

void CommPort::setInputMode(InputMode mode)
{
    inputMode_ = mode;
}

void CommPort::setRThreshold(int threshold)
{
    rThreshold_ = threshold;
}

void CommPort::clearReceive()
{
    requireOpen("clear receive buffer");
    line_.clearInput();
    received_.clear();
}

void CommPort::clearTransmit()
{
    requireOpen("clear transmit buffer");
    line_.clearOutput();
}

void CommPort::output(std::span<const std::uint8_t> bytes)
{
    requireOpen("write");
    line_.write(bytes);
}

void CommPort::output(const QString& text)
{
    const QByteArray bytes = text.toLatin1();
    output({reinterpret_cast<const std::uint8_t*>(bytes.constData()),
            static_cast<std::size_t>(bytes.size())});
}

CommPort::Input CommPort::input()
{
    drain();
    const QByteArray bytes = std::exchange(received_, {});
    if (inputMode_ == InputMode::Text)
        return QString::fromLatin1(bytes);
    return bytes;
}

void connectPort(CommPort& port, const MapEntry& entry)
{
    port.setInBufferSize(1024);
    port.setOutBufferSize(512);
    port.setDevice(entry);
    port.setSettings(QString::fromLatin1(kLineSettings));
    port.setPortOpen(true);
    try {
        port.setHandshaking(CommPort::Handshaking::None);
        port.clearReceive();
        port.clearTransmit();
        port.setDtrEnable(true);
        port.setInputMode(CommPort::InputMode::Text);
    } catch (const CommError&) {
        port.setPortOpen(false);
        throw;
    }
}

void CommPort::drain()
{
    if (!line_.isOpen())
        return;
    const QByteArray bytes = line_.readAll();
    if (bytes.isEmpty())
        return;
    emit received(bytes);
    received_ += bytes;
    if (rThreshold_ <= 0 && received_.size() > kIdleKeepBytes)
        received_ = received_.right(kIdleKeepBytes);
}

void CommPort::onReadyRead()
{
    drain();
    if (rThreshold_ <= 0 || eventQueued_ || bytesWaiting() < rThreshold_)
        return;
    // Raised from the event loop, not from inside the line's notifier: the handler may open a
    // modal message box.
    eventQueued_ = true;
    QMetaObject::invokeMethod(this, &CommPort::raiseReceiveEvent, Qt::QueuedConnection);
}

void CommPort::raiseReceiveEvent()
{
    if (!eventQueued_)
        return; // closed meanwhile
    eventQueued_ = false;
    if (line_.isOpen() && rThreshold_ > 0 && bytesWaiting() >= rThreshold_)
        emit commEvent(comEvReceive);
}

void CommPort::onLineGone(const QString& description)
{
    if (!line_.isOpen() || lossReported_)
        return;
    lossReported_ = true;
    // Closed from the event loop: the line may still be inside its own notifier here.
    QMetaObject::invokeMethod(
        this,
        [this, description] {
            line_.close();
            eventQueued_ = false;
            emit linkLost(description);
        },
        Qt::QueuedConnection);
}

} // namespace qx::serial
