// The serial-port control the window talks to: port number, line settings, open flag, buffers,
// input mode, receive threshold, write, read, and the communication event, over SerialLine.
#pragma once

#include "devicemap.h"
#include "serialline.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <optional>
#include <span>
#include <variant>

namespace qx::serial {

// "57600,N,8,1": baud, parity N/E/O/M/S, data bits 5 to 8, stop bits 1, 1.5 or 2.
std::optional<LineSettings> parseLineSettings(const QString& text);

inline constexpr char kLineSettings[] = "57600,N,8,1"; // the boot loader's line
// Bytes kept while nobody reads (threshold 0): the newest, so that a device that talks all the
// time costs no more memory than this, and the last byte (a 'C' asking for a transfer) stays.
inline constexpr qsizetype kIdleKeepBytes = 4096;

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

    using Input = std::variant<QString, QByteArray>;

    explicit CommPort(QObject* parent = nullptr);

    // The port the next open opens, with its COM number and its device as the map gave them.
    void setDevice(const MapEntry& entry);
    int commPort() const { return entry_.comNumber; }
    void setSettings(const QString& settings);
    void setInBufferSize(int size);
    void setOutBufferSize(int size);
    int inBufferSize() const { return inBufferSize_; }
    int outBufferSize() const { return outBufferSize_; }
    void setPortOpen(bool open);
    bool portOpen() const { return line_.isOpen(); }
    LowLatency lowLatency() const { return line_.lowLatency(); }
    void setHandshaking(Handshaking handshaking);
    void setDtrEnable(bool on);
    void setInputMode(InputMode mode);
    InputMode inputMode() const { return inputMode_; }
    void setRThreshold(int threshold);
    int rThreshold() const { return rThreshold_; }
    qint64 bytesWaiting() const
    {
        return line_.isOpen() ? received_.size() + line_.bytesAvailable() : 0;
    }
    void clearReceive();
    void clearTransmit();
    void output(std::span<const std::uint8_t> bytes);
    void output(const QString& text);
    // Every character received so far, as text (Latin-1, one character a byte) or as bytes.
    Input input();
    // Blocks until input is waiting or `ms` pass, without the event loop: for tests that
    // raise a second receive event inside the first one.
    bool waitForInput(int ms) { return line_.isOpen() && line_.waitForReadyRead(ms); }

signals:
    // Bytes as they come off the line, before anyone reads them: for whoever records it.
    void received(const QByteArray& bytes);
    // Raised once at least rThreshold() (> 0) characters wait.
    void commEvent(int code);
    // The adapter went away or the line hung up while open; the port has been closed.
    // Raised once per opening.
    void linkLost(const QString& description);

private:
    void onReadyRead();
    void drain(); // what the line holds into received_, told by received()
    void raiseReceiveEvent();
    void onLineGone(const QString& description);
    void requireOpen(const char* operation) const;

    SerialLine line_;
    MapEntry entry_{1, QStringLiteral("COM1"), {}};
    LineSettings settings_;
    int inBufferSize_ = 1024;
    int outBufferSize_ = 512;
    InputMode inputMode_ = InputMode::Text;
    Handshaking handshaking_ = Handshaking::None;
    int rThreshold_ = 0;
    bool eventQueued_ = false;
    bool lossReported_ = false;
    // Taken from the line and not yet read; while nobody reads (threshold 0), the newest
    // kIdleKeepBytes of it.
    QByteArray received_;
};

// Connect: buffer sizes, port number, line settings, open; then no handshaking, both buffers
// cleared, DTR on, text input. A refusal after the open closes the port again, so that it is
// never held open by a window that shows it disconnected.
void connectPort(CommPort& port, const MapEntry& entry);

} // namespace qx::serial
