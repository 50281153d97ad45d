// The line and the device for tests: a pseudo-terminal stands in for the cable (the program
// opens the slave as its serial port), and a simulated QX-LP4R boot loader holds the master.
#pragma once

#include "devicemap.h"

#include <QMap>
#include <QObject>
#include <QSocketNotifier>

#include <functional>

class Pty
{
public:
    Pty();
    ~Pty();
    int masterFd() const { return master_; }
    QString slavePath() const { return slavePath_; }
    qx::serial::SerialDevice device() const { return {slavePath_, "pseudo-terminal", "test"}; }
    void hangUp(); // the master is closed
    void unplug(); // as usb-serial does when the cable is pulled: every open is hung up

private:
    int master_ = -1, slave_ = -1; // the slave is held so the line stays up between opens
    QString slavePath_;
};

// Answers the menu commands "1" and "2" and receives a YMODEM-1K batch as the device does:
// each block's framing, number and CRC are checked, a bad one is NAKed, and the file the
// header names is rebuilt. `script` says what to answer instead, item by item.
class BootLoader : public QObject
{
public:
    // Items are numbered as the sender's states: 0 the menu byte, 1 the header, 2 .. N+1 the
    // data blocks, N+2 EOT, N+3 the closing header; kVersion is the command "2".
    static constexpr int kVersion = -1;
    enum class How
    {
        Write,  // the bytes at once
        Split,  // one byte a write, 5 ms apart
        HangUp, // no answer: the master is closed
        Unplug, // no answer: the adapter is pulled out
    };
    struct Answer
    {
        QByteArray bytes;
        How how = How::Write;
    };

    explicit BootLoader(Pty& pty);
    void write(const QByteArray& bytes);
    void hangUp();

    QMap<int, Answer> script; // each entry answers its item once, in place of the proper reply
    QByteArray versionReply = "QX-LP4R-V1.3.7.bin\r\n";
    std::function<void(int item)> onItem; // an item has arrived; called before it is answered
    QByteArray stream;                    // every byte received, in order
    QByteArray fileName, file; // of the last whole batch, the file cut to the header's size
    int completed = 0;         // batches received whole
    int blocks = 0;            // data blocks accepted in the current batch
    QStringList problems;      // what the device refused

private:
    void onReadable();
    bool takeItem(); // false while the item in front is incomplete
    void answer(int item, const QByteArray& proper);

    Pty& pty_;
    QSocketNotifier notifier_;
    QByteArray pending_, batch_, size_;
    bool afterEot_ = false; // the next SOH block closes the batch
};
