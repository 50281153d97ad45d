// The serial-port control over QSerialPort.
#include "commport.h"

#include <QMetaObject>

#include <cerrno>

#include <fcntl.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace qx::serial {

namespace {

// USB-serial adapters hold short replies until a latency timer runs out (16 ms on FTDI chips),
// so each one-byte ACK would wait that long; in low-latency mode the driver passes them on at
// once. The flag is one a user may set.
CommPort::LowLatency askLowLatency(int fd)
{
    serial_struct serial{};
    if (::ioctl(fd, TIOCGSERIAL, &serial) != 0)
        return CommPort::LowLatency::Refused;
    serial.flags |= ASYNC_LOW_LATENCY;
    return ::ioctl(fd, TIOCSSERIAL, &serial) == 0 ? CommPort::LowLatency::On
                                                  : CommPort::LowLatency::Refused;
}

} // namespace

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
    const QString parity = fields[1].trimmed().toUpper();
    if (parity == "N")
        s.parity = QSerialPort::NoParity;
    else if (parity == "E")
        s.parity = QSerialPort::EvenParity;
    else if (parity == "O")
        s.parity = QSerialPort::OddParity;
    else if (parity == "M")
        s.parity = QSerialPort::MarkParity;
    else if (parity == "S")
        s.parity = QSerialPort::SpaceParity;
    else
        return std::nullopt;
    const int bits = fields[2].trimmed().toInt(&ok);
    if (!ok || bits < 5 || bits > 8)
        return std::nullopt;
    s.dataBits = static_cast<QSerialPort::DataBits>(bits);
    const QString stop = fields[3].trimmed();
    if (stop == "1")
        s.stopBits = QSerialPort::OneStop;
    else if (stop == "1.5")
        s.stopBits = QSerialPort::OneAndHalfStop;
    else if (stop == "2")
        s.stopBits = QSerialPort::TwoStop;
    else
        return std::nullopt;
    return s;
}

QString openFailureText(QSerialPort::SerialPortError error, int comNumber, const QString& device,
                        bool accessDenied)
{
    const QString port = QStringLiteral("COM%1 (%2)").arg(comNumber).arg(device);
    if (accessDenied)
        return QStringLiteral("Permission denied on %1: add your user to the dialout group, "
                              "then log in again.")
            .arg(port);
    switch (error) {
    case QSerialPort::DeviceNotFoundError:
        return QStringLiteral("COM%1 does not exist: %2 is not there.").arg(comNumber).arg(device);
    case QSerialPort::PermissionError:
        return QStringLiteral("%1 is in use by another program.").arg(port);
    default:
        return QStringLiteral("%1 could not be opened.").arg(port);
    }
}

CommPort::CommPort(DeviceSource devices, QObject* parent)
    : QObject(parent), devices_(std::move(devices)), port_(this)
{
    connect(&port_, &QSerialPort::readyRead, this, &CommPort::onReadyRead);
    connect(&port_, &QSerialPort::errorOccurred, this, &CommPort::onError);
}

void CommPort::requireOpen(const char* operation) const
{
    if (!port_.isOpen())
        throw CommError(QStringLiteral("Operation not valid: the port is closed (%1).")
                            .arg(QLatin1String(operation)));
}

void CommPort::setCommPort(int number)
{
    if (port_.isOpen())
        throw CommError(QStringLiteral("Operation not valid: the port is already open."));
    if (number < 0 || number > kMaxComNumber)
        throw CommError(QStringLiteral("Invalid port number %1.").arg(number));
    commPort_ = number;
}

void CommPort::setSettings(const QString& settings)
{
    const auto parsed = parseLineSettings(settings);
    if (!parsed)
        throw CommError(QStringLiteral("Invalid line settings \"%1\".").arg(settings));
    settings_ = *parsed;
    if (port_.isOpen())
        apply(settings_);
}

void CommPort::setInBufferSize(int size)
{
    if (port_.isOpen())
        throw CommError(QStringLiteral("Operation not valid: the port is already open."));
    inBufferSize_ = size;
}

void CommPort::setOutBufferSize(int size)
{
    if (port_.isOpen())
        throw CommError(QStringLiteral("Operation not valid: the port is already open."));
    outBufferSize_ = size;
}

void CommPort::apply(const LineSettings& s)
{
    if (!port_.setBaudRate(s.baudRate) || !port_.setParity(s.parity) ||
        !port_.setDataBits(s.dataBits) || !port_.setStopBits(s.stopBits))
        throw CommError(
            QStringLiteral("The line settings were refused: %1").arg(port_.errorString()));
}

void CommPort::setPortOpen(bool open)
{
    if (!open) {
        if (port_.isOpen())
            port_.close();
        eventQueued_ = false;
        return;
    }
    if (port_.isOpen())
        throw CommError(QStringLiteral("Port already open."));
    const auto device = deviceFor(buildDeviceMap(devices_()), commPort_);
    if (!device)
        throw CommError(QStringLiteral("COM%1 does not exist on this machine.").arg(commPort_));
    port_.setPortName(device->systemLocation);
    // Buffering is ours, not the driver's: QSerialPort keeps everything until it is read.
    port_.setReadBufferSize(0);
    if (!port_.open(QIODevice::ReadWrite)) {
        // Asked as the open was made (effective and file-system ids), not as the real user.
        const bool denied = ::faccessat(AT_FDCWD, device->systemLocation.toLocal8Bit(), R_OK | W_OK,
                                        AT_EACCESS) != 0 &&
                            errno == EACCES;
        const auto error = port_.error();
        port_.clearError();
        throw CommError(openFailureText(error, commPort_, device->systemLocation, denied));
    }
    lossReported_ = false;
    lowLatency_ = askLowLatency(int(port_.handle())); // a driver that refuses works as before
    try {
        apply(settings_);
        setHandshaking(handshaking_);
    } catch (...) {
        port_.close();
        throw;
    }
}

void CommPort::setHandshaking(Handshaking handshaking)
{
    handshaking_ = handshaking;
    if (!port_.isOpen())
        return;
    // Software flow control has no QSerialPort setting; only RTS/CTS is passed on.
    const auto flow =
        (handshaking == Handshaking::RtsCts || handshaking == Handshaking::RtsCtsXonXoff)
            ? QSerialPort::HardwareControl
            : QSerialPort::NoFlowControl;
    if (!port_.setFlowControl(flow))
        throw CommError(QStringLiteral("Handshaking refused: %1").arg(port_.errorString()));
}

void CommPort::setDtrEnable(bool on)
{
    requireOpen("DTR");
    if (!port_.setDataTerminalReady(on)) {
        // Pseudo-terminals and some USB adapters have no modem-control lines: not a link fault.
        if (port_.error() == QSerialPort::UnsupportedOperationError) {
            port_.clearError();
            return;
        }
        throw CommError(QStringLiteral("DTR refused: %1").arg(port_.errorString()));
    }
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
    port_.clear(QSerialPort::Input);
    port_.readAll(); // whatever QSerialPort had buffered before the flush
}

void CommPort::clearTransmit()
{
    requireOpen("clear transmit buffer");
    port_.clear(QSerialPort::Output);
}

void CommPort::output(std::span<const std::uint8_t> bytes)
{
    requireOpen("write");
    const qint64 size = static_cast<qint64>(bytes.size());
    if (port_.write(reinterpret_cast<const char*>(bytes.data()), size) != size)
        throw CommError(QStringLiteral("Write refused: %1").arg(port_.errorString()));
}

void CommPort::output(const QString& text)
{
    const QByteArray bytes = text.toLatin1();
    output({reinterpret_cast<const std::uint8_t*>(bytes.constData()),
            static_cast<std::size_t>(bytes.size())});
}

CommPort::Input CommPort::input()
{
    const QByteArray bytes = port_.isOpen() ? port_.readAll() : QByteArray();
    if (inputMode_ == InputMode::Text)
        return QString::fromLatin1(bytes);
    return bytes;
}

void CommPort::onReadyRead()
{
    if (rThreshold_ <= 0 || eventQueued_ || port_.bytesAvailable() < rThreshold_)
        return;
    // Raised from the event loop, not from inside QSerialPort's notifier: the handler may
    // open a modal message box.
    eventQueued_ = true;
    QMetaObject::invokeMethod(this, &CommPort::raiseReceiveEvent, Qt::QueuedConnection);
}

void CommPort::raiseReceiveEvent()
{
    if (!eventQueued_)
        return; // closed meanwhile
    eventQueued_ = false;
    if (port_.isOpen() && rThreshold_ > 0 && port_.bytesAvailable() >= rThreshold_)
        emit commEvent(comEvReceive);
}

void CommPort::onError(QSerialPort::SerialPortError error)
{
    // A removed adapter reads EIO (ResourceError); a hung-up line reads end-of-file, which
    // QSerialPort reports as ReadError. Both repeat for as long as the port stays open.
    const bool lineGone = error == QSerialPort::ResourceError || error == QSerialPort::ReadError;
    if (!lineGone || !port_.isOpen() || lossReported_)
        return;
    lossReported_ = true;
    const QString description = port_.errorString();
    // Closed from the event loop: QSerialPort is still inside its own notifier here.
    QMetaObject::invokeMethod(
        this,
        [this, description] {
            port_.close();
            port_.clearError();
            eventQueued_ = false;
            emit linkLost(description);
        },
        Qt::QueuedConnection);
}

} // namespace qx::serial
