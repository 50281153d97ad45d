// A simulated QX-LP4R boot loader on the master side of a pty. It answers the menu
// commands and receives a YMODEM-1K batch as the device does, checks everything it receives,
// records the byte stream, rebuilds the firmware file, and misbehaves on request.
#pragma once

#include "pseudoterminal.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QSocketNotifier>
#include <QStringList>
#include <QTimer>

#include <functional>
#include <memory>
#include <vector>

class BootLoader : public QObject
{
    Q_OBJECT

public:
    // How the device answers one received item.
    enum class Action
    {
        Normal,        // the proper reply at once
        Silence,       // no reply at all
        Nak,           // NAK instead of the reply
        Can,           // CAN CAN instead of the reply
        Garbage,       // one byte that is neither ACK nor 'C'
        Split,         // the proper reply one byte per write, splitMs apart
        ExtraC,        // "CC" written before the proper reply
        Chatter,       // the proper reply followed by noise in the same write
        Delay,         // the proper reply after delayMs
        HangUp,        // the master is closed instead of replying
        RemoveAdapter, // the slave is hung up instead of replying (a USB adapter pulled)
        Custom,        // `bytes` instead of the reply
    };
    struct Fault
    {
        Fault(Action action = Action::Normal, int delayMs = 0, int splitMs = 5,
              QByteArray bytes = {}, int times = 1)
            : action(action), delayMs(delayMs), splitMs(splitMs), bytes(std::move(bytes)),
              times(times)
        {
        }
        Action action;
        int delayMs;
        int splitMs;
        QByteArray bytes;
        int times; // how many receptions of this item it applies to
    };

    // Items are numbered as the sender's states: 0 the menu "1", 1 the header, 2 .. N+1 the
    // data packets, N+2 EOT, N+3 the closing header. kVersionItem is the command "2".
    static constexpr int kVersionItem = -2;

    explicit BootLoader(Pty& pty, int expectedPackets = 372, QObject* parent = nullptr);

    // Called with the item's number when one has been received, before the reply.
    std::function<void(int item)> onItem;

    void setFault(int item, Fault fault) { faults_[item] = fault; }
    void clearFaults() { faults_.clear(); }
    // The reply to "2", written in these chunks, chunkMs apart.
    void setVersionReply(QList<QByteArray> chunks, int chunkMs = 5);
    void setExpectedHeader(const QByteArray& name, const QByteArray& sizeText);
    // Puts the loader in YMODEM receive mode asking with 'C' every intervalMs, as the device
    // does after a reset or a failed transfer, until a header arrives.
    void startAsking(int intervalMs = 20);
    // Stops the asking but stays in receive mode, waiting for the header.
    void stopAsking() { asking_.stop(); }
    void writeRaw(const QByteArray& bytes);
    // The line hangs up: the master is closed.
    void hangUp();

    QByteArray stream() const { return stream_; }     // every byte received, in order
    QByteArray firmware() const { return firmware_; } // payload of the last complete batch
    QStringList problems() const { return problems_; }
    int completedTransfers() const { return completed_; }
    int packetsAcked() const { return acked_; } // data packets ACKed in the current batch
    int versionQueries() const { return versionQueries_; }
    bool hungUp() const { return !pty_.isOpen(); }
    void clearStream()
    {
        stream_.clear();
        stream_.squeeze();
        turnarounds_.clear();
    }
    // Reply written -> first byte of the next item read, per step, in nanoseconds.
    const std::vector<qint64>& turnarounds() const { return turnarounds_; }

signals:
    void transferCompleted();

private:
    enum class Stage
    {
        Menu,
        Header,
        Data,
        Closing
    };

    void onReadable();
    void process();
    bool takeItem(); // false when more bytes are needed
    void handleMenuByte(char c);
    void handleHeader(const QByteArray& packet);
    void handleData(const QByteArray& packet);
    void handleEot();
    void handleClosing(const QByteArray& packet);
    void reply(int item, const QByteArray& proper);
    void write(const QByteArray& bytes);
    void problem(const QString& text);
    int item(Stage stage) const;

    Pty& pty_;
    std::unique_ptr<QSocketNotifier> notifier_;
    int expectedPackets_;
    QByteArray expectedName_ = "QX-LP4R-V1.3.7.bin";
    QByteArray expectedSize_ = "380929";
    Stage stage_ = Stage::Menu;
    QByteArray pending_;
    QByteArray stream_;
    QByteArray batch_;
    QByteArray firmware_;
    qint64 declaredSize_ = 0;
    int nextBlock_ = 1;
    int acked_ = 0;
    int completed_ = 0;
    int versionQueries_ = 0;
    QStringList problems_;
    QHash<int, Fault> faults_;
    QList<QByteArray> versionChunks_{"QX-LP4R-V1.3.7.bin\r\n"};
    int versionChunkMs_ = 5;
    QTimer asking_;
    QElapsedTimer clock_;
    qint64 lastReplyNs_ = -1;
    std::vector<qint64> turnarounds_;
};
