// Traces: each way the simulated boot loader fails leaves one trace that --explain tells and
// --replay reproduces; a success leaves none unless asked; the folder and each trace stay
// within their bounds; what a device sends reaches a timeline or a diagnostics file inert.
#include "commandline.h"
#include "diagnostics.h"
#include "packageloader.h"
#include "rig.h"
#include "trace.h"
#include "tracefolder.h"

#include <QtTest>

namespace {

using How = BootLoader::How;

// The embedded package's, read once the program's statics are.
int blocks()
{
    static const int count =
        qx::package::slicePackage(qx::package::embeddedPackage()).package.packetCount;
    return count;
}

QString stepOf(int item)
{
    return QString::fromStdString(qx::transfer::stepName(item, blocks()));
}

QStringList tracesIn(const QString& recordFolder)
{
    return QDir(recordFolder + "/traces").entryList({"*.trace"}, QDir::Files, QDir::Name);
}

// --explain's and --replay's lines and status, run on `file`.
struct Told
{
    int status = -1;
    QStringList out, err;
};
Told tell(const QString& option, const QString& file)
{
    CommandLineRun run;
    Told told;
    told.status = run.run({option, file}, 60000);
    told.out = run.out;
    told.err = run.err;
    return told;
}

// Whether the trace in `file` kept the device's reply to step `item` as it came: within a
// second of the send, not when a step took it (a lone NAK waited on for 10 s came at once).
bool keptAsItCame(const QString& file, int item, const QByteArray& reply)
{
    QFile in(file);
    if (!in.open(QIODevice::ReadOnly))
        return false;
    const auto parsed = qx::transfer::parseTrace(in.readAll());
    if (!std::holds_alternative<qx::transfer::ParsedTrace>(parsed))
        return false;
    qint64 sentAt = -1;
    for (const qx::transfer::TraceEvent& e : std::get<qx::transfer::ParsedTrace>(parsed).events) {
        using K = qx::transfer::TraceKind;
        if ((e.kind == K::Send || e.kind == K::Block) && e.state == item)
            sentAt = e.ns;
        else if (sentAt >= 0 && e.kind == K::Read && e.bytes.contains(reply.left(1)))
            return e.ns - sentAt < 1000000000;
    }
    return false;
}

bool printable(const QString& text)
{
    return std::all_of(text.begin(), text.end(),
                       [](QChar c) { return c.unicode() >= 0x20 && c.unicode() < 0x7F; });
}

} // namespace

class TestTrace : public QObject
{
    Q_OBJECT

private slots:
    // Every fault the simulator plays: one trace per failed job, named by its record line,
    // told by --explain at its failing step, and replayed to the same outcome, step and cause.
    void faultsExplainedAndReplayed()
    {
        struct Row
        {
            const char* name;
            int item; // the simulator's item that misbehaves
            QByteArray bytes;
            How how;
            const char* options;
            const char* cause; // as the trace names it; empty: a success
        };
        const Row rows[] = {
            {"silent after data block 1", 3, "", How::Write, "", "no-reply"},
            {"NAK at the menu command", 0, "\x15", How::Write, "", "wrong-reply"},
            {"NAK at the header", 1, "\x15", How::Write, "", "wrong-reply"}, // judged at once
            {"NAK at a data block", 2, "\x15", How::Write, "", "wrong-reply"},
            {"NAK at the end of transmission", blocks() + 2, "\x15", How::Write, "", "wrong-reply"},
            {"NAK at the closing header", blocks() + 3, "\x15", How::Write, "", "no-reply"},
            {"CAN CAN", 1, "\x18\x18", How::Write, "", "wrong-reply"},
            {"a banner before the C", 0, "QX-LP4R boot loader\r\nC", How::Split, "", "wrong-reply"},
            {"a garbage reply", 4, "Z@#", How::Write, "", "wrong-reply"},
            // each piece judged on its own: the NAK is waited past, the ACK completes
            {"a reply in one-byte pieces", blocks() + 3, "\x15\x06", How::Split, "--trace all", ""},
            {"a pulled cable", 3, "", How::Unplug, "", "line-lost"},
            {"never answers 2", BootLoader::kVersion, "", How::Write, "--skip-current --trace all",
             ""},
        };
        for (const Row& row : rows) {
            BootLoader sim;
            if (row.item == BootLoader::kVersion)
                sim.versionReply = row.bytes;
            else
                sim.script[row.item] = {row.bytes, row.how};
            CommandLineRun run;
            const bool fails = *row.cause;
            QStringList args{"--update", sim.slavePath};
            if (*row.options)
                args += QString(row.options).split(' ');
            QCOMPARE(run.run(args, 60000), int(fails));
            const QStringList record = run.records().value(0);
            const QStringList traces = tracesIn(run.recordDir.path());
            QVERIFY2(traces.size() == 1 && record.value(kTrace) == "traces/" + traces.value(0),
                     qPrintable(QString(row.name) + ": " + traces.join(',') + " | " +
                                record.value(kTrace)));
            const QString file = run.recordDir.filePath(record.value(kTrace));
            if (row.how == How::Write && !row.bytes.isEmpty())
                QVERIFY2(keptAsItCame(file, row.item, row.bytes), row.name);
            // a reply no further byte can make acceptable fails as it comes, not at a limit
            if (QByteArray(row.cause) == "wrong-reply")
                QVERIFY2(record.value(kDuration).toDouble() < 5, row.name);

            const Told explained = tell("--explain", file);
            QCOMPARE(explained.status, 0);
            const QString outcome = explained.out.last();
            const QString expected =
                fails ? "outcome: failure at " + stepOf(row.item) + ": " + record.value(kReason)
                      : QString("outcome: success");
            QVERIFY2(outcome.contains(expected), qPrintable(QString(row.name) + ": " + outcome));

            const Told replayed = tell("--replay", file);
            QVERIFY2(replayed.status == 0 && replayed.out.contains("the replay reaches the "
                                                                   "trace's outcome"),
                     qPrintable(QString(row.name) + ": " + replayed.out.join(" | ") +
                                replayed.err.join(" | ")));
            // the same words as the trace's own, down to the bytes that came
            const QString again = replayed.out.filter("replay: ").value(0);
            QVERIFY2(again.contains(fails ? QString("(%1)").arg(row.cause) : QString("success")) &&
                         again.mid(8) == replayed.out.filter("trace:  ").value(0).mid(8),
                     qPrintable(QString(row.name) + ": " + replayed.out.join(" | ")));
        }
    }

    // A success leaves no trace by default; one kept on request replays as a success, and
    // edited so that the device answers NAK at data block 57, as that failure.
    void successAndAnEditedTrace()
    {
        QVERIFY(blocks() > 57);
        BootLoader sim;
        CommandLineRun quiet;
        QCOMPARE(quiet.run({"--update", sim.slavePath}), 0);
        QCOMPARE(quiet.records().value(0).value(kTrace), QString());
        QVERIFY(tracesIn(quiet.recordDir.path()).isEmpty());

        CommandLineRun kept;
        QCOMPARE(kept.run({"--update", sim.slavePath, "--trace", "all"}), 0);
        const QString file = kept.recordDir.filePath(kept.records().value(0).value(kTrace));
        const Told replayed = tell("--replay", file);
        QCOMPARE(replayed.status, 0);

        QFile traced(file);
        QVERIFY(traced.open(QIODevice::ReadOnly));
        QList<QByteArray> lines = traced.readAll().split('\n');
        const auto at = std::find_if(lines.begin(), lines.end(), [](const QByteArray& line) {
            return line.contains(" block 58 57 crc ");
        });
        QVERIFY(at != lines.end() && (at + 1)->endsWith(" read 06 |.|"));
        *(at + 1) = (at + 1)->replace("read 06 |.|", "read 15 |.|");
        const QString edited = kept.recordDir.filePath("edited.trace");
        QFile out(edited);
        QVERIFY(out.open(QIODevice::WriteOnly) && out.write(lines.join('\n')) > 0);
        out.close();
        const Told differs = tell("--replay", edited);
        QCOMPARE(differs.status, 1);
        QVERIFY2(differs.out.filter("replay: failure at data block 57 of")
                     .value(0)
                     .contains("(wrong-reply): reply 15 (NAK) to data block 57"),
                 qPrintable(differs.out.join(" | ")));
        QCOMPARE(differs.out.last(), QString("the replay differs from the trace"));
    }

    // --trace off: not even a failure leaves a trace.
    void offKeepsNone()
    {
        BootLoader sim;
        sim.script[0] = {"\x15", How::Write};
        CommandLineRun run;
        QCOMPARE(run.run({"--update", sim.slavePath, "--trace", "off"}), 1);
        QCOMPARE(run.records().value(0).value(kOutcome), "failure");
        QCOMPARE(run.records().value(0).value(kTrace), QString());
        QVERIFY(tracesIn(run.recordDir.path()).isEmpty());
    }

    // The folder keeps at most its count and its bytes, the oldest going first; nothing of
    // anyone else's in it is touched.
    void folderBounded()
    {
        QTemporaryDir record;
        qx::service::TraceFolder folder(record.path());
        QDir().mkpath(record.filePath("traces"));
        QFile mine(record.filePath("traces/notes.trace"));
        QVERIFY(mine.open(QIODevice::WriteOnly));
        mine.close();
        const QDateTime start = QDateTime::fromString("2026-12-10T08:00:00Z", Qt::ISODate);
        for (int i = 0; i < qx::service::kTraceFilesKept + 5; ++i)
            QVERIFY(!folder.keep("x\n", start.addMSecs(i), "/dev/ttyUSB0").file.isEmpty());
        QStringList traces = tracesIn(record.path());
        QCOMPARE(traces.size(), qx::service::kTraceFilesKept + 1);
        QVERIFY(traces.contains("notes.trace"));
        QCOMPARE(traces.value(0), "20261210T080000.005Z-ttyUSB0.trace");

        const QByteArray big(qx::transfer::kTraceCapBytes, 'b');
        for (int i = 0; i < 70; ++i)
            folder.keep(big, start.addSecs(60 + i), "COM7");
        qint64 bytes = 0;
        for (const QFileInfo& file : QDir(record.filePath("traces")).entryInfoList(QDir::Files))
            bytes += file.size();
        QVERIFY2(bytes <= qx::service::kTraceBytesKept, qPrintable(QString::number(bytes)));
        QVERIFY(tracesIn(record.path()).contains("20261210T080209.000Z-COM7.trace"));
    }

    // A device that floods the line fills the trace's cap, and the trace says where it was cut.
    void floodCut()
    {
        BootLoader sim;
        sim.script[BootLoader::kVersion] = {"", How::Write};
        sim.onItem = [&](int item) {
            if (item == BootLoader::kVersion)
                sim.flood(10 * 1024 * 1024);
        };
        CommandLineRun run;
        QCOMPARE(run.run({"--update", sim.slavePath, "--skip-current"}, 60000), 1);
        const QString file = run.recordDir.filePath(run.records().value(0).value(kTrace));
        QVERIFY(QFileInfo(file).size() <= qx::transfer::kTraceCapBytes);
        const Told explained = tell("--explain", file);
        QVERIFY2(!explained.out.filter("the trace was cut here").isEmpty(),
                 qPrintable(explained.out.mid(0, 20).join('\n')));
        QVERIFY(explained.out.last().startsWith("outcome") ||
                explained.out.last().contains("outcome: failure"));
    }

    // A traces folder that cannot be written is said once; the outcomes and the record lines
    // are what they would have been.
    void unwritableFolder()
    {
        BootLoader a, b;
        a.script[0] = b.script[0] = {"\x15", How::Write};
        CommandLineRun run;
        QFile blocker(run.recordDir.filePath("traces"));
        QVERIFY(blocker.open(QIODevice::WriteOnly)); // a file where the folder would be
        blocker.close();
        QCOMPARE(run.run({"--update", a.slavePath, b.slavePath}), 1);
        QCOMPARE(run.err.filter("trace: ").size(), 1);
        QVERIFY2(run.err.filter("trace: ").value(0).contains("is not a folder"),
                 qPrintable(run.err.join('|')));
        const auto records = run.records();
        QCOMPARE(records.size(), 2);
        for (const QStringList& record : records) {
            QCOMPARE(record.value(kOutcome), "failure");
            QVERIFY(record.value(kReason).startsWith("reply 15 (NAK) to the menu command"));
            QCOMPARE(record.value(kTrace), QString());
        }
    }

    // Escape sequences, NUL, C1 and invalid UTF-8 from a device: hex and inert text in the
    // timeline and in the diagnostics file.
    void hostileBytesInert()
    {
        BootLoader sim;
        const QByteArray hostile(
            "\x1b[2J\x1b]0;owned\x07\x00\x9b\xc2\x9b\xff\xfe\xed\xa0\x80OK\r\n", 25);
        sim.script[0] = {hostile, How::Write};
        CommandLineRun run;
        QCOMPARE(run.run({"--update", sim.slavePath}), 1);
        const QStringList record = run.records().value(0);
        const QString file = run.recordDir.filePath(record.value(kTrace));
        const Told explained = tell("--explain", file);
        QCOMPARE(explained.status, 0);
        for (const QString& line : explained.out)
            QVERIFY2(printable(line), qPrintable(line.toUtf8().toHex()));
        QVERIFY(!explained.out.filter("1B 5B 32 4A").isEmpty());

        QFile traced(file);
        QVERIFY(traced.open(QIODevice::ReadOnly));
        const QByteArray text = qx::service::diagnosticsText(record, traced.readAll(), file);
        for (const char c : text)
            QVERIFY2((c >= 0x20 && c < 0x7F) || c == '\n' || c == '\r',
                     qPrintable(QString::number(uchar(c), 16)));
        QVERIFY(text.contains("record line:") && text.contains("firmware_sha256: "));
    }

    // What is not a trace is refused in inert words.
    void notATrace()
    {
        QTemporaryDir dir;
        const std::pair<const char*, QByteArray> files[] = {
            {"junk.trace", "\x1b[31mhello\n"},
            {"headless.trace", "qx-lp4r-trace 1\nport: COM5\n"},
            {"ages.trace", "qx-lp4r-trace 1\n--\n1e300 read 06 |.|\n"},
            {"state.trace", "qx-lp4r-trace 1\n--\n0.1 block -2147483648 1 crc 0000\n"},
        };
        for (const auto& [name, text] : files) {
            QFile file(dir.filePath(name));
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write(text) > 0);
        }
        for (const char* name :
             {"junk.trace", "headless.trace", "ages.trace", "state.trace", "none\x1b[2J.trace"}) {
            const Told told = tell("--explain", dir.filePath(name));
            QCOMPARE(told.status, 2);
            QVERIFY2(told.err.size() == 1 && printable(told.err.value(0)),
                     qPrintable(told.err.join('|')));
        }
        // a trace of another package is explained, but not replayed with this one
        QFile other(dir.filePath("other.trace"));
        QVERIFY(other.open(QIODevice::WriteOnly) &&
                other.write("qx-lp4r-trace 1\nfirmware: QX-LP4R-V9.bin\nblocks: 3\n--\n") > 0);
        other.close();
        QCOMPARE(tell("--explain", other.fileName()).status, 0);
        const Told refused = tell("--replay", other.fileName());
        QVERIFY2(refused.status == 2 &&
                     refused.err.last().endsWith("the trace is of QX-LP4R-V9.bin in 3 data "
                                                 "blocks; this program sends QX-LP4R-V1.3.7.bin "
                                                 "in 372"),
                 qPrintable(refused.err.join('|')));
    }
};

QTEST_MAIN(TestTrace)
#include "tst_trace.moc"
