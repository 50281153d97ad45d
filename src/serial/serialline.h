// The one place where the platform shows: the machine's serial device map, and the open line
// to one port. QSerialPort serves on Linux, the Win32 communications API on Windows; CommPort
// builds the control the window talks to on top of either.
#pragma once

#include "devicemap.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <memory>
#include <span>
#include <stdexcept>

namespace qx::serial {

enum class OpenFailure
{
    Missing,
    InUse,  // another program holds the port
    Denied, // the user may not open it (Linux: not in the dialout group)
    Other,
};
// A refused operation; what() is the description the window shows, and an open refused says
// why, so that a caller can wait for a port that another program holds.
class CommError : public std::runtime_error
{
public:
    explicit CommError(const QString& description, OpenFailure failure = OpenFailure::Other)
        : std::runtime_error(description.toStdString()), failure_(failure)
    {
    }
    QString description() const { return QString::fromStdString(what()); }
    OpenFailure openFailure() const { return failure_; }

private:
    OpenFailure failure_;
};

// Open failures, worded for the technician; `device` is the Linux device behind the COM
// number, empty where the COM name is the device's own (Windows).
QString openFailureText(OpenFailure failure, int comNumber, const QString& device);

// The machine's serial device map, in its own order: the registry's SERIALCOMM values on
// Windows, the COM-number map of the serial devices on Linux.
QList<MapEntry> systemDeviceMap();

enum class Parity
{
    None,
    Even,
    Odd,
    Mark,
    Space
};
enum class StopBits
{
    One,
    OneAndHalf,
    Two
};

struct LineSettings
{
    int baudRate = 9600;
    Parity parity = Parity::None;
    int dataBits = 8;
    StopBits stopBits = StopBits::One;
    bool operator==(const LineSettings&) const = default;
};

// The driver's low-latency mode, asked for at each open where the platform lets a program ask.
enum class LowLatency
{
    NotAsked, // the port is closed, or the driver's own settings keep it (Windows)
    On,
    Refused, // the driver has no such mode (a pseudo-terminal, say)
};

// An open line to one port. Every failing operation throws CommError.
class SerialLine : public QObject
{
    Q_OBJECT

public:
    explicit SerialLine(QObject* parent = nullptr);
    ~SerialLine() override;

    // Opens the entry's port: on Windows its COM number, elsewhere its device's path.
    void open(const MapEntry& entry);
    void close();
    bool isOpen() const;
    LowLatency lowLatency() const;

    void setLine(const LineSettings& settings);
    void setRtsCts(bool on);
    void setDtr(bool on);
    void clearInput();  // the driver's queue and ours
    void clearOutput(); // what is not on the wire yet
    void write(std::span<const std::uint8_t> bytes);
    qint64 bytesAvailable() const;
    QByteArray readAll();
    bool waitForReadyRead(int ms);

signals:
    void readyRead();
    // The adapter went away or the line hung up; raised from within the backend, perhaps
    // repeatedly, while the line is still open.
    void lineGone(const QString& description);

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

// Says that the machine's serial device map may have changed: a device node appeared in or left
// /dev, or the registry's device map changed. Without polling; several changes may come as one.
class DeviceWatcher : public QObject
{
    Q_OBJECT

public:
    explicit DeviceWatcher(QObject* parent = nullptr);
    ~DeviceWatcher() override;
    // Wakes for the folders of these device paths too, those that exist now (a bench's
    // /dev/serial/by-id names); called again after each change. A COM name needs nothing more.
    void watchFoldersOf(const QStringList& paths);

signals:
    void changed();

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

// What `path` is instead of a serial device, in words ("a regular file", "a character device
// that is not a terminal"), or empty when it is a terminal's device (or cannot be told). Told
// without opening it: opening a serial device may raise DTR and reset what is attached.
QString notASerialDevice(const QString& path);

} // namespace qx::serial
