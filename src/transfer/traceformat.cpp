// A trace's text: written from the events kept, and read back from a file.
#include "trace.h"

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

const std::pair<LineEvent, const char*> kLineWords[] = {
    {LineEvent::Lost, "lost"},
    {LineEvent::Refused, "refused"},
    {LineEvent::OpenFailed, "open-failed"},
    {LineEvent::Interrupted, "interrupted"},
};

const char* lineWord(LineEvent event)
{
    for (const auto& [e, word] : kLineWords)
        if (e == event)
            return word;
    return "lost";
}

std::optional<LineEvent> lineEventOf(const QByteArray& word)
{
    for (const auto& [e, w] : kLineWords)
        if (word == w)
            return e;
    return std::nullopt;
}

std::optional<TraceKind> kindOf(const QByteArray& word)
{
    for (const auto& [k, w] : kKindWords)
        if (word == w)
            return k;
    return std::nullopt;
}

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

const char* lineEventWord(LineEvent event)
{
    return lineWord(event);
}

// ---- Writing -----------------------------------------------------------------------------

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
        case TraceKind::Line:
            text += ' ' + QByteArray(lineWord(e.line())) +
                    (e.bytes.isEmpty() ? QByteArray() : ' ' + escapedText(e.bytes));
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
    const QByteArray first = lines.value(0).trimmed();
    bool known = false;
    const int format = first.startsWith(kTraceFormatPrefix)
                           ? first.mid(qsizetype(std::strlen(kTraceFormatPrefix))).toInt(&known)
                           : 0;
    if (!known || format < 1 || format > kTraceFormatVersion)
        return QStringLiteral("not a trace of this program: it does not begin \"%1\"")
            .arg(QLatin1String(kTraceFormat));
    ParsedTrace trace;
    trace.format = format;
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
        case TraceKind::Line: {
            const auto event = lineEventOf(tokens.value(2));
            if (!event)
                return QStringLiteral("line %1 of the trace is not an event").arg(n + 1);
            e.state = int(*event);
            e.bytes = unescapedText(rest.mid(tokens.value(2).size() + 1));
            break;
        }
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

} // namespace qx::transfer
