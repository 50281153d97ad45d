// A job's trace as it is kept in memory while the job runs.
#include "trace.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace qx::transfer {

namespace {

// Room kept under the cap for the cut's own line and the outcome.
constexpr qsizetype kTraceReserve = 8 * 1024;

const std::pair<Cause, const char*> kCauseNames[] = {
    {Cause::NoReply, "no-reply"},
    {Cause::WrongReply, "wrong-reply"},
    {Cause::LineLost, "line-lost"},
    {Cause::PortRefused, "port-refused"},
    {Cause::ReplyTooLong, "reply-too-long"},
    {Cause::Interrupted, "interrupted"},
    {Cause::Left, "left"},
    {Cause::OtherProduct, "other-product"},
    {Cause::Newer, "newer"},
    {Cause::NotUpdated, "not-updated"},
};

} // namespace

const char* causeName(Cause cause)
{
    for (const auto& [c, name] : kCauseNames)
        if (c == cause)
            return name;
    return "unknown";
}

TracedOutcome tracedOutcome(const Outcome& outcome)
{
    static const char* const kResults[] = {"success", "failure", "ended", "current"};
    TracedOutcome traced{QString::fromLatin1(kResults[outcome.result]),
                         {},
                         QString::fromStdString(outcome.step),
                         QString::fromStdString(outcome.reason)};
    if (outcome.result != Outcome::Success && outcome.result != Outcome::Current)
        traced.cause = QString::fromLatin1(outcome.cause ? causeName(*outcome.cause) : "refused");
    return traced;
}

// ---- Recording ---------------------------------------------------------------------------

void Trace::begin(const package::Package* package)
{
    events_.clear();
    events_.reserve(4096);
    package_ = package;
    size_ = 0;
    cutEvents_ = cutBytes_ = 0;
    active_ = true;
    clock_.start();
}

void Trace::add(TraceKind kind, int state, QByteArray bytes)
{
    if (!active_)
        return;
    const qsizetype size = 24 + bytes.size() * (kind == TraceKind::Read ? 4 : 2);
    if (kind != TraceKind::Outcome && size_ + size > kTraceCapBytes - kTraceReserve) {
        if (cutEvents_++ == 0)
            events_.push_back({clock_.nsecsElapsed(), TraceKind::Cut, 0, {}});
        if (kind == TraceKind::Read || kind == TraceKind::Dropped)
            cutBytes_ += bytes.size();
        return;
    }
    size_ += size;
    events_.push_back({clock_.nsecsElapsed(), kind, state, std::move(bytes)});
}

void Trace::sent(int sendState, std::span<const std::uint8_t> bytes)
{
    if (!active_)
        return;
    // A data block as the package holds it is kept as its number and CRC, not its bytes.
    if (package_ && stepOf(sendState, package_->packetCount) == Step::Data &&
        bytes.size() == package::kDataPacketSize) {
        const std::size_t offset = std::size_t(sendState - 2) * package::kDataPacketSize;
        if (offset + bytes.size() <= package_->packageData.size() &&
            std::memcmp(package_->packageData.data() + offset, bytes.data(), bytes.size()) == 0) {
            char crc[8];
            std::snprintf(crc, sizeof crc, "%02X%02X", bytes[bytes.size() - 2], bytes.back());
            add(TraceKind::Block, sendState, crc);
            return;
        }
    }
    add(TraceKind::Send, sendState,
        QByteArray(reinterpret_cast<const char*>(bytes.data()), qsizetype(bytes.size())));
}

void Trace::read(const QByteArray& bytes, bool dropped)
{
    // A copy of its own: a read's buffer may hold many kilobytes for a byte or two, and the
    // cap counts what is kept.
    if (!bytes.isEmpty())
        add(dropped ? TraceKind::Dropped : TraceKind::Read, 0,
            QByteArray(bytes.constData(), bytes.size()));
}

void Trace::ended(const Outcome& outcome)
{
    const TracedOutcome o = tracedOutcome(outcome);
    add(TraceKind::Outcome, 0, (o.result + '|' + o.cause + '|' + o.step + '|' + o.reason).toUtf8());
    active_ = false;
}

} // namespace qx::transfer
