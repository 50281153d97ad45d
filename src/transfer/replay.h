// A trace played back: the program's own session and checks run against a stand-in device
// that answers each write with the reads the trace recorded after it, split as they were read
// and paced as recorded (a transfer's steps faster, so that a whole update takes seconds).
#pragma once

#include "portjob.h"
#include "session.h"
#include "trace.h"

#include <QObject>
#include <QTimer>

#include <deque>
#include <memory>

namespace qx::transfer {

// A transfer step's recorded pace is divided by this; a version query's is kept, since its
// answer is whole only after the device has gone quiet.
inline constexpr int kReplaySpeedUp = 20;

class ReplayPort : public QObject, public Port
{
    Q_OBJECT

public:
    // What the device did after one write (or, first, after the port opened).
    struct Action
    {
        enum
        {
            Bytes,   // they arrive and, once the threshold's worth wait, are read
            Waiting, // they arrive and are cleared unread, as the trace's were
            Lost,    // the line goes
            Interrupt,
            Leave, // the next command leaves the query unanswered
        } what = Bytes;
        qint64 ns = 0; // after the write, already scaled
        QByteArray bytes;
    };
    struct Exchange
    {
        std::vector<Action> actions;
        std::optional<QString> refused; // the write itself was refused, in the port's words
    };

    explicit ReplayPort(std::vector<Exchange> exchanges, QObject* parent = nullptr);
    void attach(Session& session, PortJob& job);
    void opened(); // plays what came before the first write

    void setHandshakingNone() override {}
    void setDtr(bool) override {}
    void setTextInput(bool) override {}
    void setReplyThreshold(int bytes) override;
    void clearReceive() override { waiting_.clear(); }
    void clearTransmit() override {}
    void write(int sendState, std::span<const std::uint8_t> bytes) override;
    QByteArray read() override { return std::exchange(waiting_, {}); }
    qint64 waiting() const override { return waiting_.size(); }

private:
    void play(std::size_t exchange);
    void next(); // the next action of the exchange that plays
    void raise();

    std::vector<Exchange> exchanges_;
    std::size_t writes_ = 0;
    std::deque<Action> playing_;
    qint64 playedNs_ = 0; // the last action's time
    QTimer timer_;
    QByteArray waiting_;
    int threshold_ = 0;
    bool raised_ = false;
    Session* session_ = nullptr;
    PortJob* job_ = nullptr;
};

// A trace's exchanges as the stand-in plays them.
std::vector<ReplayPort::Exchange> replayExchanges(const ParsedTrace& trace);

// Why `trace` cannot be replayed with `package` (another number of blocks), or empty.
QString replayMismatch(const ParsedTrace& trace, const package::Package& package);

// What a replay prints: the trace's outcome, the replay's, and whether they agree (outcome,
// step and cause); true when they do.
bool replayAgrees(const ParsedTrace& trace, const Outcome& replayed, QStringList& lines);

class Replay : public QObject
{
    Q_OBJECT

public:
    Replay(const ParsedTrace& trace, const package::Package& package, QObject* parent = nullptr);
    void start();

signals:
    void finished(const qx::transfer::Outcome& outcome);

private:
    const ParsedTrace& trace_;
    ReplayPort port_;
    Session session_;
    PortJob job_;
    bool done_ = false;
};

} // namespace qx::transfer
