// The serial-port control the window talks to: port number, line settings, open flag, buffers,
// input mode, receive threshold, write, read, and the communication event, over QSerialPort.
#pragma once

#include "devicemap.h"

#include <QByteArray>
#include <QObject>
#include <QSerialPort>
#include <QString>

#include <optional>
#include <span>
#include <stdexcept>
#include <variant>

namespace qx::serial {

// A refused operation; what() is the description the window shows.
class CommError : public std::runtime_error
{
public:
    explicit CommError(const QString& description) : std::runtime_error(description.toStdString())
    {
    }
    QString description() const { return QString::fromStdString(what()); }
};

struct LineSettings
{
    qint32 baudRate = 9600;
    QSerialPort::Parity parity = QSerialPort::NoParity;
    QSerialPort::DataBits dataBits = QSerialPort::Data8;
    QSerialPort::StopBits stopBits = QSerialPort::OneStop;
    bool operator==(const LineSettings&) const = default;
};

// "57600,N,8,1": baud, parity N/E/O/M/S, data bits 5 to 8, stop bits 1, 1.5 or 2.
std::optional<LineSettings> parseLineSettings(const QString& text);

// Open failures, worded for the technician.
QString openFailureText(QSerialPort::SerialPortError error, int comNumber, const QString& device,
                        bool accessDenied);

class CommPort : public QObject
{
    Q_OBJECT

public:
    enum class InputMode
    {
        Text,
        Binary
    };
    enum class Handshaking
    {
        None,
        XonXoff,
        RtsCts,
        RtsCtsXonXoff
    };
    static constexpr int comEvReceive = 2; // event code: characters were received
    // The driver's low-latency mode, asked for at each open.
    enum class LowLatency
    {
        NotAsked, // the port is closed
        On,
        Refused, // the driver has no such mode (a pseudo-terminal, say)
    };

    using Input = std::variant<QString, QByteArray>;

    explicit CommPort(DeviceSource devices = systemSerialDevices, QObject* parent = nullptr);

    void setCommPort(int number);
    int commPort() const { return commPort_; }
    void setSettings(const QString& settings);
    void setInBufferSize(int size);
    void setOutBufferSize(int size);
    int inBufferSize() const { return inBufferSize_; }
    int outBufferSize() const { return outBufferSize_; }
    void setPortOpen(bool open);
    bool portOpen() const { return port_.isOpen(); }
    LowLatency lowLatency() const { return portOpen() ? lowLatency_ : LowLatency::NotAsked; }
    void setHandshaking(Handshaking handshaking);
    void setDtrEnable(bool on);
    void setInputMode(InputMode mode);
    InputMode inputMode() const { return inputMode_; }
    void setRThreshold(int threshold);
    int rThreshold() const { return rThreshold_; }
    void clearReceive();
    void clearTransmit();
    void output(std::span<const std::uint8_t> bytes);
    void output(const QString& text);
    // Every character received so far, as text (Latin-1, one character a byte) or as bytes.
    Input input();

    const QSerialPort& device() const { return port_; }

signals:
    // Raised once at least rThreshold() (> 0) characters wait.
    void commEvent(int code);
    // The adapter went away or the line hung up while open; the port has been closed.
    // Raised once per opening.
    void linkLost(const QString& description);

private:
    void onReadyRead();
    void raiseReceiveEvent();
    void onError(QSerialPort::SerialPortError error);
    void requireOpen(const char* operation) const;
    void apply(const LineSettings& settings);

    DeviceSource devices_;
    QSerialPort port_;
    int commPort_ = 1;
    LineSettings settings_;
    int inBufferSize_ = 1024;
    int outBufferSize_ = 512;
    InputMode inputMode_ = InputMode::Text;
    Handshaking handshaking_ = Handshaking::None;
    int rThreshold_ = 0;
    LowLatency lowLatency_ = LowLatency::NotAsked;
    bool eventQueued_ = false;
    bool lossReported_ = false;
};

} // namespace qx::serial
