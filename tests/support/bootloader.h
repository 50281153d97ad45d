// The line and the device for tests: a pseudo-terminal stands in for the cable (the program
// opens its slave as the serial port), and a simulated QX-LP4R boot loader holds the master.
#pragma once

#include <QMap>
#include <QObject>
#include <QSocketNotifier>
#include <QString>

#include <functional>

// Answers the menu commands "1" and "2" and receives a YMODEM-1K batch as the device does:
// each block's framing, number and CRC are checked, a bad one is NAKed, and the file the
// header names is rebuilt. `script` says what to answer instead, item by item.
class BootLoader : public QObject
{
public:
    // Items are numbered as the sender's states: 0 the menu byte, 1 the header, 2 .. N+1 the
    // data blocks, N+2 EOT, N+3 the closing header; kVersion is the command "2".
    static constexpr int kVersion = -1;
    // Split: one byte a write, 5 ms apart. HangUp, Unplug: no answer, the line goes.
    enum class How
    {
        Write,
        Split,
        HangUp,
        Unplug
    };
    struct Answer
    {
        QByteArray bytes;
        How how = How::Write;
    };

    BootLoader();
    ~BootLoader() override;
    void write(const QByteArray& bytes);
    void hangUp(); // the master is closed
    void unplug(); // as usb-serial does when the cable is pulled: every open is hung up
    // Writes `bytes` bytes of 'F' as fast as the line takes them, from the event loop.
    void flood(qint64 bytes);
    qint64 flooded = 0; // of them, taken by the line so far

    QString slavePath;
    QMap<int, Answer> script; // each entry answers its item once, in place of the proper reply
    // What "2" is answered with: the file it runs, which a whole batch replaces with the file
    // its header named unless `keepsOldName`; empty: "2" is not answered at all.
    QByteArray versionReply = "QX-LP4R-V1.3.7.bin\r\n";
    bool keepsOldName = false;
    std::function<void(int item)> onItem; // an item has arrived; called before it is answered
    QByteArray stream;                    // every byte received, in order
    QByteArray sent;                      // every byte answered, in order
    QByteArray file;   // of the last whole batch, cut to the size its header gave
    int completed = 0; // batches received whole
    int blocks = 0;    // data blocks accepted in the current batch
    int baud = 0;      // > 0: each answer waits as long as its item took on such a wire (8N1)

private:
    void onReadable();
    bool takeItem(); // false while the item in front is incomplete
    void answer(int item, const QByteArray& proper);

    int master_ = -1, slave_ = -1; // the slave is held so the line stays up between opens
    std::unique_ptr<QSocketNotifier> notifier_;
    QByteArray pending_, batch_, size_, name_;
    qsizetype itemBytes_ = 0; // of the item being answered
    bool afterEot_ = false;   // the next SOH block closes the batch
};
