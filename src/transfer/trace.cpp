// A job's trace: kept in memory, written as text, read back, and told as a timeline.
#include "trace.h"

#include "inert.h"

#include <QList>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

namespace qx::transfer {

namespace {

// What a trace read back may hold: far past any job and any package.
constexpr double kMaxTraceSeconds = 86400;
constexpr int kMaxTraceState = 1000000;

// Room kept under the cap for the cut's own line and the outcome.
constexpr qsizetype kTraceReserve = 8 * 1024;

const std::pair<TraceKind, const char*> kKindWords[] = {
    {TraceKind::Open, "open"},       {TraceKind::Send, "send"},
    {TraceKind::Block, "block"},     {TraceKind::Read, "read"},
    {TraceKind::Dropped, "dropped"}, {TraceKind::Verdict, "verdict"},
    {TraceKind::Line, "line"},       {TraceKind::Note, "note"},
    {TraceKind::Cut, "cut"},         {TraceKind::Outcome, "outcome"},
};

const char* kindWord(TraceKind kind)
{
    for (const auto& [k, word] : kKindWords)
        if (k == kind)
            return word;
    return "note";
}

std::optional<TraceKind> kindOf(const QByteArray& word)
{
    for (const auto& [k, w] : kKindWords)
        if (word == w)
            return k;
    return std::nullopt;
}

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

QByteArray seconds(qint64 ns)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.6f", double(ns) / 1e9);
    return text;
}

bool isHexPair(const QByteArray& token)
{
    return token.size() == 2 && std::isxdigit(static_cast<unsigned char>(token[0])) &&
           std::isxdigit(static_cast<unsigned char>(token[1]));
}

// The bytes of a hex field: its pairs up to the printable part.
QByteArray bytesOfHex(const QList<QByteArray>& tokens, qsizetype from)
{
    QByteArray bytes;
    for (qsizetype i = from; i < tokens.size() && isHexPair(tokens[i]); ++i)
        bytes.append(char(tokens[i].toInt(nullptr, 16)));
    return bytes;
}

const char* const kHeaderKeys[] = {"program", "firmware", "blocks", "firmware_sha256",
                                   "port",    "device",   "system", "time",
                                   "job",     "checks",   "query"};

QByteArray checksText(const Checks& c)
{
    QList<QByteArray> words;
    if (c.before)
        words << "before";
    if (c.force)
        words << "force";
    if (c.allowOlder)
        words << "allow-older";
    if (c.after)
        words << "after";
    return words.isEmpty() ? "none" : words.join(' ');
}

// The trace format's escape: printable ASCII as it is, every other byte as \xNN and a
// backslash as \\, so that each event stays one line of words a parser can split.
QByteArray escapedText(const QByteArray& bytes)
{
    QByteArray text;
    text.reserve(bytes.size());
    for (const char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        if (b == '\\')
            text += "\\\\";
        else if (b >= 0x20 && b < 0x7F && b != '|')
            text += c;
        else {
            char escape[5];
            std::snprintf(escape, sizeof escape, "\\x%02X", b);
            text += escape;
        }
    }
    return text;
}

QByteArray unescapedText(const QByteArray& text)
{
    QByteArray bytes;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 1 < text.size() && text[i + 1] == '\\') {
            bytes += '\\';
            ++i;
        } else if (text[i] == '\\' && i + 3 < text.size() && text[i + 1] == 'x' &&
                   isHexPair(text.mid(i + 2, 2))) {
            bytes += char(text.mid(i + 2, 2).toInt(nullptr, 16));
            i += 3;
        } else {
            bytes += text[i];
        }
    }
    return bytes;
}

} // namespace

QByteArray hexText(const QByteArray& bytes)
{
    QByteArray text = bytes.toHex(' ').toUpper();
    text += text.isEmpty() ? "|" : " |";
    for (const char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        text += b >= 0x20 && b < 0x7F && b != '|' ? c : '.';
    }
    return text + '|';
}

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

QByteArray Trace::text(const TraceHeader& h) const
{
    const QByteArray values[] = {h.program.toUtf8(),
                                 h.firmware.toUtf8(),
                                 QByteArray::number(h.blocks),
                                 h.firmwareSha256.toUtf8(),
                                 h.port.toUtf8(),
                                 h.device.toUtf8(),
                                 h.system.toUtf8(),
                                 h.time.toUtf8(),
                                 h.job == Job::Update ? "update" : "query",
                                 checksText(h.checks),
                                 h.queryLimited ? "limited" : "unlimited"};
    QByteArray text = QByteArray(kTraceFormat) + '\n';
    for (std::size_t i = 0; i < std::size(kHeaderKeys); ++i)
        text += QByteArray(kHeaderKeys[i]) + ": " + escapedText(values[i]) + '\n';
    text += "--\n";
    for (const TraceEvent& e : events_) {
        text += seconds(e.ns) + ' ' + kindWord(e.kind);
        switch (e.kind) {
        case TraceKind::Send:
            text += ' ' + QByteArray::number(e.state) + ' ' + hexText(e.bytes);
            break;
        case TraceKind::Block:
            text += ' ' + QByteArray::number(e.state) + ' ' + QByteArray::number(e.state - 1) +
                    " crc " + e.bytes;
            break;
        case TraceKind::Verdict:
            text += ' ' + QByteArray::number(e.state) + ' ' + e.bytes;
            break;
        case TraceKind::Read:
        case TraceKind::Dropped:
            text += ' ' + hexText(e.bytes);
            break;
        case TraceKind::Cut:
            text += ' ' + QByteArray::number(kTraceCapBytes) + ' ' +
                    QByteArray::number(cutEvents_) + ' ' + QByteArray::number(cutBytes_);
            break;
        case TraceKind::Outcome: {
            QList<QByteArray> parts = e.bytes.split('|');
            for (QByteArray& part : parts)
                part = escapedText(part);
            text += ' ' + parts.join(" | ");
            break;
        }
        default:
            text += ' ' + escapedText(e.bytes);
        }
        text += '\n';
    }
    return text;
}

// ---- Reading -----------------------------------------------------------------------------

std::variant<ParsedTrace, QString> parseTrace(const QByteArray& text)
{
    QList<QByteArray> lines = text.split('\n');
    if (lines.value(0).trimmed() != kTraceFormat)
        return QStringLiteral("not a trace of this program: it does not begin \"%1\"")
            .arg(QLatin1String(kTraceFormat));
    ParsedTrace trace;
    qsizetype at = 1;
    for (; at < lines.size() && lines[at].trimmed() != "--"; ++at) {
        const QByteArray line = lines[at].trimmed();
        const qsizetype colon = line.indexOf(": ");
        const QByteArray key = colon < 0 ? line.chopped(line.endsWith(':')) : line.left(colon);
        const QString value =
            QString::fromUtf8(unescapedText(colon < 0 ? QByteArray() : line.mid(colon + 2)));
        TraceHeader& h = trace.header;
        if (key == "program")
            h.program = value;
        else if (key == "firmware")
            h.firmware = value;
        else if (key == "blocks")
            h.blocks = std::clamp(value.toInt(), 0, kMaxTraceState);
        else if (key == "firmware_sha256")
            h.firmwareSha256 = value;
        else if (key == "port")
            h.port = value;
        else if (key == "device")
            h.device = value;
        else if (key == "system")
            h.system = value;
        else if (key == "time")
            h.time = value;
        else if (key == "job")
            h.job = value == QLatin1String("query") ? Job::Query : Job::Update;
        else if (key == "checks") {
            const QStringList words = value.split(' ');
            h.checks = {words.contains("before"), words.contains("force"),
                        words.contains("allow-older"), words.contains("after")};
        } else if (key == "query")
            h.queryLimited = value != QLatin1String("unlimited");
    }
    if (at >= lines.size())
        return QStringLiteral("the trace has no events: its header does not end with \"--\"");
    for (qsizetype n = at + 1; n < lines.size(); ++n) {
        const QByteArray line = lines[n].trimmed();
        if (line.isEmpty())
            continue;
        const QList<QByteArray> tokens = line.split(' ');
        bool ok = false;
        const double time = tokens.value(0).toDouble(&ok);
        const auto kind = kindOf(tokens.value(1));
        // No job lasts days: a time past that is no time of this trace, and arithmetic on the
        // times and states stays sound.
        if (!ok || !kind || !(time >= 0 && time < kMaxTraceSeconds))
            return QStringLiteral("line %1 of the trace is not an event").arg(n + 1);
        TraceEvent e{qint64(time * 1e9), *kind, 0, {}};
        const QByteArray rest = line.mid(tokens[0].size() + tokens[1].size() + 2);
        switch (*kind) {
        case TraceKind::Send:
            e.state = tokens.value(2).toInt();
            e.bytes = bytesOfHex(tokens, 3);
            break;
        case TraceKind::Block:
            e.state = tokens.value(2).toInt();
            e.bytes = tokens.value(5);
            break;
        case TraceKind::Verdict:
            e.state = tokens.value(2).toInt();
            e.bytes = tokens.value(3);
            break;
        case TraceKind::Read:
        case TraceKind::Dropped:
            e.bytes = bytesOfHex(tokens, 2);
            break;
        case TraceKind::Cut:
            e.bytes = rest;
            break;
        case TraceKind::Outcome: {
            const QList<QByteArray> parts = rest.split('|');
            const auto part = [&](int i) {
                return QString::fromUtf8(unescapedText(parts.value(i).trimmed()));
            };
            trace.outcome = TracedOutcome{part(0), part(1), part(2), part(3)};
            e.bytes = rest;
            break;
        }
        default:
            e.bytes = unescapedText(rest);
        }
        if (e.state < kQueryState || e.state > kMaxTraceState)
            return QStringLiteral("line %1 of the trace names no step").arg(n + 1);
        trace.events.push_back(std::move(e));
    }
    return trace;
}

// ---- Telling -----------------------------------------------------------------------------

namespace {

// What a verdict's word means, after the step it judged.
QString verdictWords(const QByteArray& word, int state, int blocks)
{
    const Step step = stepOf(state, blocks);
    const QString expected =
        state == kQueryState || step == Step::None
            ? QString()
            : QStringLiteral(", expected %1").arg(QLatin1String(ruleOf(step).expected));
    if (word == "advance")
        return QStringLiteral("accepted");
    if (word == "complete")
        return QStringLiteral("accepted: the transfer is complete");
    if (word == "fail")
        return "not accepted" + expected;
    if (word == "keep-waiting")
        return "not accepted" + expected + "; the device may answer yet";
    if (word == "answered")
        return QStringLiteral("the answer is whole");
    if (word == "too-long")
        return QStringLiteral("the answer ran past its reads");
    return inert(word);
}

QString timeOf(qint64 ns)
{
    return QStringLiteral("%1 s").arg(double(ns) / 1e9, 10, 'f', 3);
}

QString row(qint64 ns, const char* direction, const QString& text)
{
    return timeOf(ns) + "  " + QString::fromLatin1(direction).leftJustified(6) + text;
}

QString bytesWords(const QByteArray& bytes)
{
    return QString::fromLatin1(hexText(bytes.left(64))) +
           (bytes.size() > 64 ? QStringLiteral(" and %1 more bytes").arg(bytes.size() - 64)
                              : QString());
}

} // namespace

QStringList explainTrace(const ParsedTrace& trace)
{
    const TraceHeader& h = trace.header;
    const int blocks = h.blocks;
    QStringList lines{QStringLiteral("%1 on %2 (%3), %4")
                          .arg(h.job == Job::Update ? "update" : "version query", inert(h.port),
                               inert(h.device), inert(h.time)),
                      QStringLiteral("firmware %1, %2 data blocks, SHA-256 %3; program %4; %5")
                          .arg(inert(h.firmware))
                          .arg(blocks)
                          .arg(inert(h.firmwareSha256), inert(h.program), inert(h.system)),
                      QString()};
    const auto& events = trace.events;
    for (std::size_t i = 0; i < events.size(); ++i) {
        const TraceEvent& e = events[i];
        // A run of data blocks each answered ACK and accepted is told as one line.
        if (e.kind == TraceKind::Block) {
            std::size_t j = i;
            int last = e.state;
            while (j + 2 < events.size() && events[j].kind == TraceKind::Block &&
                   events[j + 1].kind == TraceKind::Read && events[j + 1].bytes == "\x06" &&
                   events[j + 2].kind == TraceKind::Verdict && events[j + 2].bytes == "advance") {
                last = events[j].state;
                j += 3;
            }
            if (j - i >= 6) {
                lines << row(e.ns, "->",
                             QStringLiteral("data blocks %1 to %2 of %3, each answered ACK and "
                                            "accepted (until %4)")
                                 .arg(e.state - 1)
                                 .arg(last - 1)
                                 .arg(blocks)
                                 .arg(timeOf(events[j - 1].ns).trimmed()));
                i = j - 1;
                continue;
            }
        }
        switch (e.kind) {
        case TraceKind::Open:
            lines << row(e.ns, "port", "opened: " + inert(QString::fromUtf8(e.bytes)));
            break;
        case TraceKind::Send:
            lines << row(e.ns, "->",
                         QString::fromStdString(stepName(e.state, blocks)) + ": " +
                             bytesWords(e.bytes));
            break;
        case TraceKind::Block:
            lines << row(e.ns, "->",
                         QStringLiteral("%1 (CRC %2)")
                             .arg(QString::fromStdString(stepName(e.state, blocks)),
                                  inert(QString::fromLatin1(e.bytes))));
            break;
        case TraceKind::Read:
            lines << row(e.ns, "<-", bytesWords(e.bytes));
            break;
        case TraceKind::Dropped:
            lines << row(e.ns, "<-", bytesWords(e.bytes) + " (cleared before the next send)");
            break;
        case TraceKind::Verdict:
            lines << row(e.ns, "",
                         QString::fromStdString(stepName(e.state, blocks)) + ": " +
                             verdictWords(e.bytes, e.state, blocks));
            break;
        case TraceKind::Line:
            lines << row(e.ns, "line", inert(QString::fromUtf8(e.bytes)));
            break;
        case TraceKind::Note:
            lines << row(e.ns, "", inert(QString::fromUtf8(e.bytes)));
            break;
        case TraceKind::Cut: {
            const QList<QByteArray> n = e.bytes.split(' ');
            lines << row(e.ns, "",
                         QStringLiteral("the trace was cut here at its %1 bytes: %2 more events "
                                        "and %3 bytes received were not kept")
                             .arg(QString::fromLatin1(n.value(0)), QString::fromLatin1(n.value(1)),
                                  QString::fromLatin1(n.value(2))));
            break;
        }
        case TraceKind::Outcome:
            break;
        }
    }
    if (const auto& o = trace.outcome) {
        QString said = "outcome: " + inert(o->result);
        if (!o->step.isEmpty())
            said += " at " + inert(o->step);
        if (!o->reason.isEmpty())
            said += ": " + inert(o->reason);
        lines << row(events.empty() ? 0 : events.back().ns, "", said);
    } else {
        lines << QStringLiteral("the trace ends without an outcome");
    }
    return lines;
}

} // namespace qx::transfer
