// One port's update transfer and version query, from the first send to the one outcome: the
// send timer, the reply watchdog, the verdicts. The window and the command line each drive one
// Session per port and show what it reports.
#pragma once

#include "packageformat.h"
#include "transfer.h"
#include "versionquery.h"

#include <QByteArray>
#include <QDateTime>
#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>

#include <chrono>
#include <optional>
#include <span>
#include <string>

namespace qx::transfer {


// What a session needs of the serial port; every operation may throw a std::exception whose
// what() describes the refusal.
class Port
{
public:
    virtual ~Port() = default;
    virtual void setHandshakingNone() = 0;
    virtual void setDtr(bool on) = 0;
    virtual void setTextInput(bool text) = 0;
    virtual void setReplyThreshold(int bytes) = 0;
    virtual void clearReceive() = 0;
    virtual void clearTransmit() = 0;
    // `bytes` for the state `sendState` (a step of the transfer, or kQueryState), as a trace
    // kept at the port names them.
    virtual void write(int sendState, std::span<const std::uint8_t> bytes) = 0;
    virtual QByteArray read() = 0;      // every byte received so far
    virtual qint64 waiting() const = 0; // bytes received and not yet read
};

enum class Job
{
    Update,
    Query,
};

struct Outcome
{
    Job job = Job::Update;
    enum
    {
        Success,
        Failure,
        Ended,   // a query past its last read after a finished update: no message, a failed line
        Current, // checked before an update: the device runs this firmware already
    } result = Success;
    std::string reason;  // a failure's step and cause (describe())
    QString version;     // a query's caption
    QDateTime started{}; // the click, or the command line's start
    double seconds = 0;  // from then to the outcome
    std::string step{};  // the step a failure names ("data block 34 of 372"); else empty
    std::chrono::steady_clock::time_point at{}; // the outcome's moment, for what waits after it
    // The checks around an update: the file the device named before and after it, "unknown"
    // where it named none; empty where it was not asked.
    QString before{}, after{};
    // Whether it counts as failed: in the tally, the exit status, a kept trace and each face.
    bool failed() const { return result == Failure || result == Ended; }
    bool verified() const
    {
        return result == Success && !after.isEmpty() && after != kVersionUnknown;
    }
    static constexpr char kVersionUnknown[] = "unknown";
    std::optional<Cause> cause{}; // a failure's, for whoever strings jobs together
};

// When a version query's reply is whole.
enum class QueryEnd
{
    Named, // once it names a file or ends a line (versionReplyComplete)
    Quiet, // once the device has gone quiet: the checks', so that no command meets a reply
};

// The checks an update makes around its transfer; the window's makes none.
struct Checks
{
    bool before = false;     // ask first: a current device is left, another product's refused
    bool force = false;      // update another product's device all the same
    bool allowOlder = false; // update a device that runs a newer version of this firmware
    bool after = false;      // ask again after a success: does it run what was sent?
};
inline const Checks kNoChecks{};

class Session : public QObject
{
    Q_OBJECT

public:
    Session(Port& port, const package::Package& package, QObject* parent = nullptr);

    // What it is doing, as the window and the job ask.
    bool idle() const // nothing runs and no timer is armed
    {
        return commMode == 0 && !tmrSend.isActive() && !tmrOvertime.isActive();
    }
    bool transferRunning() const { return commMode == 1; }
    // A query's reply so far, and how many reads it took.
    const QString& versionSoFar() const { return versionText; }
    int versionReads() const { return versionReplyCount; }
    // Whether the device was last seen asking with 'C' while idle: an update then starts at
    // the header. A job that has just heard it answer at its menu says it waits no more.
    bool deviceIsWaiting() const { return deviceWaiting; }
    void setDeviceWaiting(bool waiting) { deviceWaiting = waiting; }

    // Connect: commMode 0; a query still waiting for its answer is left.
    void connected();
    // Update: clears the port, binary input, and the first send 1 ms later. A refusal is
    // thrown, with commMode already 1.
    void startUpdate();
    // Get Version: sends "2" as text. With a limit the query ends when the reply is whole (by
    // `end`) or fails when the limit runs out; without (the window's), it collects until the
    // next command.
    void startQuery(std::optional<int> limitMs = std::nullopt, QueryEnd end = QueryEnd::Named);
    // The port could not be opened or set up for `job`: decided as a failure at once.
    void refused(Job job, const QString& description);
    // A receive event: at least the threshold's bytes wait.
    void receive();
    void lineLost(const QString& description);
    // Stops what runs with an "interrupted" failure, sending nothing more.
    void interrupt();
    // The window is closing: nothing more is sent or shown.
    void stop();

signals:
    void begun(qx::transfer::Job job); // an update or a query starts; decided() ends it
    void advanced();                   // a reply was accepted and the next state's bytes follow
    void transferring();               // an update's transfer starts
    void versionRead(const QString& caption);
    // Once per update or query, after decided(). Its handlers may wait in a message box: until
    // they return, replies are read and dropped, not judged, and nothing is sent or re-armed.
    void finished(const qx::transfer::Outcome& outcome);
    // Once per update or query, for the service record, before anything waits on a person:
    // its outcome, or for a query that gets no limit (the window's) its whole answer, or that
    // it was left unanswered by the next command.
    void decided(const qx::transfer::Outcome& outcome);
    // A step's decision on what it read (`words`, a trace's verdict word), as it is made.
    void judged(int sendState, const char* words);

private:
    void sendTick();
    void overtimeTick();
    void idleReply();
    void transferReply();
    void versionReply();
    void sendVersionCommand(std::optional<int> limitMs);
    void answered(); // a query's reply is whole
    void advance();
    void succeed();
    void replyFailure(Failure failure);
    void failNow(Failure failure);
    void finish(Outcome outcome);
    // This job's failure: its cause in the record's words, and the step it names.
    Outcome failed(const Failure& failure, const QString& version = {}) const;
    void begin(Job job);
    void decide(Outcome outcome);
    void leaveQuery(); // a query waiting for its answer is decided as left unanswered
    int state() const; // the step a failure names: sendState, or kQueryState
    void stamp(Outcome& outcome) const; // when the job began, and how long until now
    QByteArray take(); // every byte received so far

    // The state the window's handlers name.
    quint8 commMode = 0;       // 0 idle, 1 update transfer, 2 version query
    qint16 sendState = 0;      // 0 menu, 1 header, 2 .. N+1 data, N+2 EOT, N+3 closing header
    qint16 replyThreshold = 0; // reply bytes of this state's whole reply
    QByteArray partial_;       // the reply so far, while it awaits the rest
    std::vector<std::uint8_t> sendBuffer;
    bool deviceWaiting = false; // the device was last seen asking with 'C' while idle
    QString versionText;
    qint16 versionReplyCount = 0;
    QTimer tmrSend;
    QTimer tmrOvertime;

    Port& port_;
    const package::Package& package_;
    Job job_ = Job::Update;           // what runs, or ran last
    std::optional<int> queryLimitMs_; // the current query's, if it has one
    QueryEnd queryEnd_ = QueryEnd::Named;
    // How far the current job's outcome has come; commMode says what the port is doing.
    enum class Stage
    {
        Quiet,   // no outcome outstanding: nothing runs, or the window's query is recorded
                 // and goes on collecting until the next command
        Judging, // a job runs: its replies are judged, its outcome is still to come
        Failing, // its failure is fixed and is reported kFailNowMs later; replies are dropped
        FailingAfterRecord, // as Failing, for a job already recorded (the window's query)
        Reporting,          // its outcome is recorded and shown (a box may wait): replies dropped
    };
    Stage stage_ = Stage::Quiet;
    QTimer versionQuiet_;      // a quiet-ended query's reply is whole when it runs out
    bool outcomeFixed() const; // Failing, FailingAfterRecord or Reporting: nothing is judged
    bool awaitsRecord() const; // Judging or Failing: its outcome goes to the record once
    QDateTime started_;
    QElapsedTimer clock_;
    Failure failure_{Cause::NoReply};
};

} // namespace qx::transfer
