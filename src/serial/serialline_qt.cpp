// SerialLine over QSerialPort, and the COM-number map of the Linux serial devices.
#include "serialline.h"

#include <QSerialPort>
#include <QSerialPortInfo>

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
LowLatency askLowLatency(int fd)
{
    serial_struct serial{};
    if (::ioctl(fd, TIOCGSERIAL, &serial) != 0)
        return LowLatency::Refused;
    serial.flags |= ASYNC_LOW_LATENCY;
    return ::ioctl(fd, TIOCSSERIAL, &serial) == 0 ? LowLatency::On : LowLatency::Refused;
}

QSerialPort::Parity qtParity(Parity parity)
{
    switch (parity) {
    case Parity::None:
        break;
    case Parity::Even:
        return QSerialPort::EvenParity;
    case Parity::Odd:
        return QSerialPort::OddParity;
    case Parity::Mark:
        return QSerialPort::MarkParity;
    case Parity::Space:
        return QSerialPort::SpaceParity;
    }
    return QSerialPort::NoParity;
}

QSerialPort::StopBits qtStopBits(StopBits stopBits)
{
    switch (stopBits) {
    case StopBits::One:
        break;
    case StopBits::OneAndHalf:
        return QSerialPort::OneAndHalfStop;
    case StopBits::Two:
        return QSerialPort::TwoStop;
    }
    return QSerialPort::OneStop;
}

} // namespace

QList<MapEntry> systemDeviceMap()
{
    QList<SerialDevice> devices;
    for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts())
        devices.append({info.systemLocation(), info.description(), info.manufacturer()});
    // Numbers are kept from one reading to the next while their devices stay present.
    static QList<MapEntry> last;
    last = buildDeviceMap(devices, last);
    return last;
}

struct SerialLine::Impl
{
    QSerialPort port;
    LowLatency lowLatency = LowLatency::NotAsked;
};

SerialLine::SerialLine(QObject* parent) : QObject(parent), d(std::make_unique<Impl>())
{
    connect(&d->port, &QSerialPort::readyRead, this, &SerialLine::readyRead);
    connect(&d->port, &QSerialPort::errorOccurred, this, [this](QSerialPort::SerialPortError e) {
        // A removed adapter reads EIO (ResourceError); a hung-up line reads end-of-file, which
        // QSerialPort reports as ReadError. Both repeat for as long as the port stays open.
        // QSerialPort's own text is whatever errno held last, often "Resource temporarily
        // unavailable": say what the error means on this line instead.
        if ((e == QSerialPort::ResourceError || e == QSerialPort::ReadError) && d->port.isOpen())
            emit lineGone(e == QSerialPort::ResourceError
                              ? QStringLiteral("the adapter was removed")
                              : QStringLiteral("the line hung up"));
    });
}

SerialLine::~SerialLine() = default;

void SerialLine::open(int comNumber, const DeviceSource& devices)
{
    const auto device = deviceFor(devices(), comNumber);
    if (!device)
        throw CommError(openFailureText(OpenFailure::Missing, comNumber, QString()),
                        OpenFailure::Missing);
    const QString path = device->systemLocation;
    d->port.setPortName(path);
    // Buffering is CommPort's, not the driver's: QSerialPort keeps everything until it is read.
    d->port.setReadBufferSize(0);
    if (!d->port.open(QIODevice::ReadWrite)) {
        // Asked as the open was made (effective and file-system ids), not as the real user.
        const bool denied =
            ::faccessat(AT_FDCWD, path.toLocal8Bit(), R_OK | W_OK, AT_EACCESS) != 0 &&
            errno == EACCES;
        const auto error = d->port.error();
        d->port.clearError();
        const OpenFailure failure = denied ? OpenFailure::Denied
                                    : error == QSerialPort::DeviceNotFoundError
                                        ? OpenFailure::Missing
                                    : error == QSerialPort::PermissionError ? OpenFailure::InUse
                                                                            : OpenFailure::Other;
        throw CommError(openFailureText(failure, comNumber, path), failure);
    }
    d->lowLatency = askLowLatency(int(d->port.handle())); // a driver that refuses works as before
}

void SerialLine::close()
{
    if (d->port.isOpen())
        d->port.close();
    d->port.clearError();
    d->lowLatency = LowLatency::NotAsked;
}

bool SerialLine::isOpen() const
{
    return d->port.isOpen();
}

LowLatency SerialLine::lowLatency() const
{
    return d->port.isOpen() ? d->lowLatency : LowLatency::NotAsked;
}

void SerialLine::setLine(const LineSettings& s)
{
    if (!d->port.setBaudRate(s.baudRate) || !d->port.setParity(qtParity(s.parity)) ||
        !d->port.setDataBits(static_cast<QSerialPort::DataBits>(s.dataBits)) ||
        !d->port.setStopBits(qtStopBits(s.stopBits)))
        throw CommError(
            QStringLiteral("The line settings were refused: %1").arg(d->port.errorString()));
}

void SerialLine::setRtsCts(bool on)
{
    if (!d->port.setFlowControl(on ? QSerialPort::HardwareControl : QSerialPort::NoFlowControl))
        throw CommError(QStringLiteral("Handshaking refused: %1").arg(d->port.errorString()));
}

void SerialLine::setDtr(bool on)
{
    if (d->port.setDataTerminalReady(on))
        return;
    // Pseudo-terminals and some USB adapters have no modem-control lines: not a link fault.
    if (d->port.error() == QSerialPort::UnsupportedOperationError) {
        d->port.clearError();
        return;
    }
    throw CommError(QStringLiteral("DTR refused: %1").arg(d->port.errorString()));
}

void SerialLine::clearInput()
{
    d->port.clear(QSerialPort::Input);
    d->port.readAll(); // whatever QSerialPort had buffered before the flush
}

void SerialLine::clearOutput()
{
    d->port.clear(QSerialPort::Output);
}

void SerialLine::write(std::span<const std::uint8_t> bytes)
{
    const auto size = static_cast<qint64>(bytes.size());
    if (d->port.write(reinterpret_cast<const char*>(bytes.data()), size) != size)
        throw CommError(QStringLiteral("Write refused: %1").arg(d->port.errorString()));
}

qint64 SerialLine::bytesAvailable() const
{
    return d->port.bytesAvailable();
}

QByteArray SerialLine::readAll()
{
    return d->port.readAll();
}

bool SerialLine::waitForReadyRead(int ms)
{
    return d->port.waitForReadyRead(ms);
}

} // namespace qx::serial
