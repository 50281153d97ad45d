// SerialLine over QSerialPort, and the COM-number map of the Linux serial devices.
#include "serialline.h"

#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QSerialPort>
#include <QSerialPortInfo>

#include <cerrno>

#include <fcntl.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
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

void SerialLine::open(const MapEntry& entry)
{
    const int comNumber = entry.comNumber;
    const QString path = entry.device.systemLocation;
    if (path.isEmpty()) // the map has no device for it
        throw CommError(openFailureText(OpenFailure::Missing, comNumber, QString()),
                        OpenFailure::Missing);
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

// ---- Ports coming and going, and what a path is ----------------------------------------

struct DeviceWatcher::Impl
{
    QFileSystemWatcher dev;
};

DeviceWatcher::DeviceWatcher(QObject* parent) : QObject(parent), d(std::make_unique<Impl>())
{
    // udev makes and removes the nodes of USB adapters here; inotify wakes us, nothing polls.
    d->dev.addPath(QStringLiteral("/dev"));
    connect(&d->dev, &QFileSystemWatcher::directoryChanged, this, &DeviceWatcher::changed);
}

DeviceWatcher::~DeviceWatcher() = default;

void DeviceWatcher::watchFoldersOf(const QStringList& paths)
{
    for (const QString& path : paths) {
        const QString folder = QFileInfo(path).absolutePath();
        if (path.startsWith('/') && QFileInfo(folder).isDir() &&
            !d->dev.directories().contains(folder))
            d->dev.addPath(folder);
    }
}

QString notASerialDevice(const QString& path)
{
    struct stat status
    {
    };
    if (::stat(QFile::encodeName(path), &status) != 0)
        return QString();
    switch (status.st_mode & S_IFMT) {
    case S_IFCHR:
        break;
    case S_IFREG:
        return QStringLiteral("a regular file");
    case S_IFDIR:
        return QStringLiteral("a directory");
    case S_IFIFO:
        return QStringLiteral("a FIFO");
    case S_IFSOCK:
        return QStringLiteral("a socket");
    case S_IFBLK:
        return QStringLiteral("a block device");
    default:
        return QStringLiteral("not a device");
    }
    // Terminals that are no device's line: writing the menu command there would type into the
    // user's own terminal (/dev/tty, the program's own), or open a new pseudo-terminal.
    constexpr unsigned kTtyMajor = 5, kCurrentTty = 0, kConsole = 1, kPtmx = 2;
    const unsigned major = ::major(status.st_rdev), minor = ::minor(status.st_rdev);
    if (major == kTtyMajor && minor == kCurrentTty)
        return QStringLiteral("the terminal of whoever runs this program");
    if (major == kTtyMajor && minor == kConsole)
        return QStringLiteral("the system console");
    if (major == kTtyMajor && minor == kPtmx)
        return QStringLiteral("the pseudo-terminal multiplexer");
    for (const int own : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
        struct stat terminal
        {
        };
        if (::isatty(own) && ::fstat(own, &terminal) == 0 && terminal.st_rdev == status.st_rdev)
            return QStringLiteral("the terminal this program runs in");
    }
    // The kernel files every terminal's device under the tty class; pseudo-terminals' slaves
    // (majors 136 to 143) it does not list at all.
    constexpr unsigned kFirstPtySlave = 136, kLastPtySlave = 143;
    const QString subsystem =
        QFileInfo(QStringLiteral("/sys/dev/char/%1:%2/subsystem").arg(major).arg(minor))
            .canonicalFilePath();
    if (subsystem.endsWith(QLatin1String("/tty")) ||
        (major >= kFirstPtySlave && major <= kLastPtySlave))
        return QString();
    return QStringLiteral("a character device that is not a terminal");
}

} // namespace qx::serial
