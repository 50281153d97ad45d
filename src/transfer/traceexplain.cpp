// A trace told as the timeline support reads.
#include "trace.h"

#include "inert.h"

namespace qx::transfer {

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
            lines << row(e.ns, "line",
                         QLatin1String(lineEventWord(e.line())) +
                             (e.bytes.isEmpty() ? QString() : ' ' + inert(e.bytes)));
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
