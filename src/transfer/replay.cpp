// The stand-in device of a replay, and the replay that runs the session against it.
#include "replay.h"

#include "inert.h"

#include <QMetaObject>

#include <stdexcept>

namespace qx::transfer {

std::vector<ReplayPort::Exchange> replayExchanges(const ParsedTrace& trace)
{
    std::vector<ReplayPort::Exchange> exchanges(1);
    qint64 sentAt = 0;
    bool query = true; // before the first write nothing is sped up
    for (const TraceEvent& e : trace.events) {
        const auto after = [&] {
            const qint64 ns = e.ns - sentAt;
            return query ? ns : ns / kReplaySpeedUp;
        };
        const auto act = [&](auto what, QByteArray bytes = {}) {
            exchanges.back().actions.push_back({what, after(), std::move(bytes)});
        };
        using A = ReplayPort::Action;
        switch (e.kind) {
        case TraceKind::Send:
        case TraceKind::Block:
            exchanges.emplace_back();
            sentAt = e.ns;
            query = e.state == kQueryState;
            break;
        case TraceKind::Read:
            act(A::Bytes, e.bytes);
            break;
        case TraceKind::Dropped:
            if (trace.format == 1) // kept only here; later formats kept them as they came
                act(A::Waiting, e.bytes);
            break;
        case TraceKind::Line:
            switch (e.line()) {
            case LineEvent::Lost:
                act(A::Lost, e.bytes);
                break;
            case LineEvent::Interrupted:
                act(A::Interrupt);
                break;
            case LineEvent::Refused:
                if (exchanges.size() > 1 && exchanges.back().actions.empty())
                    exchanges.back().refused = QString::fromUtf8(e.bytes);
                break;
            case LineEvent::OpenFailed:
                break;
            }
            break;
        case TraceKind::Outcome:
            if (trace.outcome && trace.outcome->cause == QLatin1String("left"))
                act(A::Leave);
            return exchanges;
        default:
            break;
        }
    }
    return exchanges;
}

ReplayPort::ReplayPort(std::vector<Exchange> exchanges, QObject* parent)
    : QObject(parent), exchanges_(std::move(exchanges))
{
    timer_.setSingleShot(true);
    timer_.setTimerType(Qt::PreciseTimer);
    connect(&timer_, &QTimer::timeout, this, &ReplayPort::next);
}

void ReplayPort::attach(Session& session, PortJob& job)
{
    session_ = &session;
    job_ = &job;
}

void ReplayPort::opened()
{
    play(0);
}

void ReplayPort::setReplyThreshold(int bytes)
{
    threshold_ = bytes;
    raise();
}

void ReplayPort::write(int, std::span<const std::uint8_t>)
{
    const std::size_t exchange = ++writes_;
    if (exchange < exchanges_.size() && exchanges_[exchange].refused)
        throw std::runtime_error(exchanges_[exchange].refused->toStdString());
    play(exchange); // what the last write's device had still to say is not said now
}

void ReplayPort::play(std::size_t exchange)
{
    timer_.stop();
    playing_.clear();
    playedNs_ = 0;
    if (exchange < exchanges_.size())
        playing_.assign(exchanges_[exchange].actions.begin(), exchanges_[exchange].actions.end());
    if (!playing_.empty())
        timer_.start(int(std::max<qint64>(0, playing_.front().ns) / 1000000));
}

void ReplayPort::next()
{
    if (playing_.empty())
        return;
    const Action action = playing_.front();
    playing_.pop_front();
    playedNs_ = action.ns;
    if (!playing_.empty()) // one after another, so that their order holds
        timer_.start(int(std::max<qint64>(0, playing_.front().ns - playedNs_) / 1000000));
    switch (action.what) {
    case Action::Bytes:
        waiting_ += action.bytes;
        raise();
        break;
    case Action::Waiting:
        waiting_ += action.bytes;
        break;
    case Action::Lost:
        timer_.stop();
        job_->lineLost(QString::fromUtf8(action.bytes));
        break;
    case Action::Interrupt:
        job_->interrupt();
        break;
    case Action::Leave:
        job_->connected();
        break;
    }
}

// As the serial control raises its receive event: from the event loop, once enough wait.
void ReplayPort::raise()
{
    if (raised_ || threshold_ <= 0 || waiting_.size() < threshold_)
        return;
    raised_ = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            raised_ = false;
            if (threshold_ > 0 && waiting_.size() >= threshold_ && session_)
                session_->receive();
        },
        Qt::QueuedConnection);
}

QString replayMismatch(const ParsedTrace& trace, const package::Package& package)
{
    if (trace.header.blocks == package.packetCount)
        return QString();
    return QStringLiteral("the trace is of %1 in %2 data blocks; this program sends %3 in %4")
        .arg(inert(trace.header.firmware))
        .arg(trace.header.blocks)
        .arg(QString::fromStdString(package::headerFields(package.headerPacket).fileName))
        .arg(package.packetCount);
}

bool replayAgrees(const ParsedTrace& trace, const Outcome& replayed, QStringList& lines)
{
    const auto said = [](const TracedOutcome& o) {
        QString text = o.result;
        if (!o.step.isEmpty())
            text += " at " + o.step;
        if (!o.cause.isEmpty())
            text += " (" + o.cause + ")";
        if (!o.reason.isEmpty())
            text += ": " + o.reason;
        return inert(text);
    };
    const TracedOutcome now = tracedOutcome(replayed);
    lines << "trace:  " + (trace.outcome ? said(*trace.outcome) : QStringLiteral("no outcome"));
    lines << "replay: " + said(now);
    const bool agrees = trace.outcome && *trace.outcome == now;
    lines << (agrees ? QStringLiteral("the replay reaches the trace's outcome")
                     : QStringLiteral("the replay differs from the trace"));
    return agrees;
}

Replay::Replay(const ParsedTrace& trace, const package::Package& package, QObject* parent)
    : QObject(parent), trace_(trace), port_(replayExchanges(trace)), session_(port_, package),
      job_(session_, package)
{
    port_.attach(session_, job_);
    connect(&job_, &PortJob::decided, this, [this](const Outcome& outcome) {
        if (std::exchange(done_, true))
            return;
        job_.stop();
        emit finished(outcome);
    });
}

void Replay::start()
{
    const TraceHeader& h = trace_.header;
    // A window's update starts at the header when the device was last seen asking for it.
    for (const TraceEvent& e : trace_.events)
        if (e.kind == TraceKind::Send || e.kind == TraceKind::Block) {
            session_.setDeviceWaiting(e.state == 1);
            break;
        }
    // A port that could not be opened or started: refused as it was, before any write.
    for (const TraceEvent& e : trace_.events) {
        if (e.kind == TraceKind::Send || e.kind == TraceKind::Block)
            break;
        if (e.kind == TraceKind::Line && e.line() == LineEvent::Refused) {
            job_.refused(h.job, QString::fromUtf8(e.bytes));
            return;
        }
    }
    port_.opened();
    try {
        if (h.job == Job::Update)
            job_.startUpdate(h.checks);
        else
            job_.startQuery(h.queryLimited ? std::optional<int>(kQueryTimeoutMs) : std::nullopt);
    } catch (const std::exception&) {
        // refused: decided already
    }
}

} // namespace qx::transfer
