// What one job on a port did on the line, kept in memory while it runs: each write, each read as
// it arrived at the port, the line's events and each step's verdict, with the time since the
// job began. It is taken where the job meets its port (CommLink), the verdicts and notes heard
// from the session and the job. Recording is trace.cpp; its text, written and read back, is
// traceformat.cpp; the timeline support reads (--explain) is traceexplain.cpp; the stand-in
// device that replays it (--replay) is replay.h.
#pragma once

#include "packageformat.h"
#include "session.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QString>
#include <QStringList>

#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

namespace qx::transfer {

// The format this program writes. In format 1 a read was kept when a step took it, and bytes
// a clear dropped were kept only then; from format 2 on each read is kept as it arrived at the
// port, and a drop repeats bytes already kept.
inline constexpr char kTraceFormat[] = "qx-lp4r-trace 2";
inline constexpr char kTraceFormatPrefix[] = "qx-lp4r-trace ";
inline constexpr int kTraceFormatVersion = 2;
// A trace's text stays within this: a device that floods the line fills it, and the trace says
// where it was cut. A whole update's is tens of kilobytes.
inline constexpr qsizetype kTraceCapBytes = 1024 * 1024;

enum class TraceKind
{
    Open,    // the port opened, or was already held: its device and line settings
    Send,    // a write: the state and its bytes
    Block,   // a data block sent unchanged from the package: the state, its number and CRC
    Read,    // bytes read, as the read returned them
    Dropped, // bytes waiting when a send cleared the receive buffer: never judged
    Verdict, // a step's decision on what it read
    Line,    // the line or the port: lost, refused, interrupted
    Note,    // what the job did between exchanges: a check's finding, the pause
    Cut,     // the cap was reached here: what followed was not kept
    Outcome, // the job's one outcome
};

// What a Line event says happened to the line or the port.
enum class LineEvent
{
    Lost,        // the line went: the adapter or the cable
    Refused,     // the port refused an operation: in its words
    OpenFailed,  // the port could not be opened: in its words
    Interrupted, // a person, or the program's end, interrupted the job
};

struct TraceEvent
{
    qint64 ns = 0; // since the job began
    TraceKind kind = TraceKind::Note;
    int state = 0;    // Send, Block, Verdict: sendState, or kQueryState; Line: its LineEvent
    QByteArray bytes; // Send, Read, Dropped: the bytes; else the event's words
    LineEvent line() const { return LineEvent(state); }
};

// What a trace's header says: where and with what the job ran, and the record line's time.
struct TraceHeader
{
    QString program;  // the program's version
    QString firmware; // the package's file name
    int blocks = 0;
    QString firmwareSha256;
    QString port, device, system, time;
    Job job = Job::Update;
    Checks checks;
    bool queryLimited = true; // a query that ends by its limit (the command line's)
};

// The outcome a trace ends with, as it is compared with a replay's.
struct TracedOutcome
{
    QString result; // "success", "current", "failure", "ended"
    QString cause;  // causeName(); empty for a success
    QString step;   // the step a failure names
    QString reason;
    bool operator==(const TracedOutcome& other) const
    {
        return result == other.result && cause == other.cause && step == other.step;
    }
};

// "no-reply", "wrong-reply", ...: a cause's name in a trace, which replays compare.
const char* causeName(Cause cause);
TracedOutcome tracedOutcome(const Outcome& outcome);

class Trace
{
public:
    // A new job: what was kept of the last goes, and the clock starts.
    void begin(const package::Package* package);
    bool active() const { return active_; }
    void opened(const QString& what) { add(TraceKind::Open, 0, what.toUtf8()); }
    void sent(int sendState, std::span<const std::uint8_t> bytes);
    void read(const QByteArray& bytes, bool dropped = false);
    void verdict(int sendState, const char* words) { add(TraceKind::Verdict, sendState, words); }
    void line(LineEvent event, const QString& words = {})
    {
        add(TraceKind::Line, int(event), words.toUtf8());
    }
    void note(const QString& words) { add(TraceKind::Note, 0, words.toUtf8()); }
    // The job's outcome ends the trace: nothing more is added until the next begin().
    void ended(const Outcome& outcome);
    const std::vector<TraceEvent>& events() const { return events_; }
    // The trace as a file holds it.
    QByteArray text(const TraceHeader& header) const;

private:
    void add(TraceKind kind, int state, QByteArray bytes);
    std::vector<TraceEvent> events_;
    QElapsedTimer clock_;
    const package::Package* package_ = nullptr;
    bool active_ = false;
    qsizetype size_ = 0; // of the text so far, near enough
    qsizetype cutEvents_ = 0, cutBytes_ = 0;
};

// A trace read back from its text.
struct ParsedTrace
{
    int format = kTraceFormatVersion;
    TraceHeader header;
    std::vector<TraceEvent> events;
    std::optional<TracedOutcome> outcome;
};
std::variant<ParsedTrace, QString> parseTrace(const QByteArray& text);

// The timeline a support engineer reads: the time since the port opened, the direction, the
// step in the record's words, what was expected and what came, and the outcome. Inert text.
QStringList explainTrace(const ParsedTrace& trace);

// "lost", "refused", "open-failed" or "interrupted": a line event's word in a trace.
const char* lineEventWord(LineEvent event);
// "06 43 |.C|": each byte in hex, then the printable ones with a dot for the rest.
QByteArray hexText(const QByteArray& bytes);

} // namespace qx::transfer
