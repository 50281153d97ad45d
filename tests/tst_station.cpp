// The station: devices plugged in as /dev/ttyUSB<k> links to simulated boot loaders while it
// runs, each updated once per plug with no input; the program itself for the named ports, a
// silent device, a busy port and Ctrl+C.
#include "rig.h"

#include <QCryptographicHash>
#include <QJsonDocument>
#include <QSerialPort>
#include <QtTest>

#include <csignal>

namespace {
// Station tests plug /dev/ttyUSB24 and above: the window's tests plug 20 to 23 beside them.
constexpr int kFirst = 24;
constexpr int kSettleMs = 200; // in this process; the program settles for its real second

QStringList linesOf(const QStringList& out, const QString& port)
{
    return out.filter(QRegularExpression("^" + QRegularExpression::escape(port) + ": "));
}
} // namespace

class TestStation : public QObject
{
    Q_OBJECT

private slots:
    // Four devices plugged one after another are each updated once, byte for byte, each only
    // once it has settled; one left plugged in is not updated again; another device swapped in
    // on the same path between two scans is; a port that was there before the start is never
    // opened.
    void eachPlugUpdatedOnce()
    {
        Machine machine;
        BootLoader before;
        machine.plug(before, kFirst);
        CommandLineRun run({}, machine.devices(), kSettleMs);
        QVERIFY(run.start({"--station"}));
        std::array<BootLoader, 5> sims;
        QElapsedTimer plugged; // from the "plugged in" line to the menu command
        qint64 settledAfter = -1;
        sims[0].onItem = [&](int) {
            settledAfter = settledAfter < 0 ? plugged.elapsed() : settledAfter;
        };
        for (int i = 0; i < 4; ++i) {
            machine.plug(sims[i], kFirst + 1 + i);
            if (i == 0) {
                QVERIFY(waitFor([&] { return run.out.last().contains("plugged in"); }, 2000));
                plugged.start();
            }
            QVERIFY(waitFor([&] { return sims[i].completed == 1; }));
        }
        QVERIFY2(settledAfter >= kSettleMs * 9 / 10, qPrintable(QString::number(settledAfter)));
        waitFor([] { return false; }, kSettleMs + 2 * qx::service::kRescanMs + 300);
        for (int i = 0; i < 4; ++i) // each exactly once: a device left plugged in stays alone
            QVERIFY2(sims[i].stream == wholeStream(true), qPrintable(QString::number(i)));
        const QString swapped = QString("COM%1").arg(33 + kFirst + 1);
        machine.unplug(kFirst + 1);
        machine.plug(sims[4], kFirst + 1); // at once: the next scan finds another device there
        QVERIFY(waitFor([&] { return run.out.filter(": success").size() == 5; }));
        QVERIFY(sims[4].stream == wholeStream(true) && sims[0].stream == wholeStream(true));
        QVERIFY(before.stream.isEmpty());

        run.commandLine.interrupt();
        QVERIFY(waitFor([&] { return run.status >= 0; }, 2000));
        QCOMPARE(run.status, 0);
        QCOMPARE(run.out.first(),
                 "station: serving every serial port plugged in from now on; Ctrl+C ends");
        QCOMPARE(run.out.last(), "summary: 5 updated, 0 failed");
        QCOMPARE(linesOf(run.out, QString("COM%1").arg(33 + kFirst)),
                 QStringList{QString("COM%1: present before the start (%2, pseudo-terminal, "
                                     "test): not served")
                                 .arg(33 + kFirst)
                                 .arg(Machine::usb(kFirst))});
        const QStringList lines = linesOf(run.out, swapped);
        QCOMPARE(lines.first(), swapped + ": plugged in (" + Machine::usb(kFirst + 1) +
                                    ", pseudo-terminal, test)");
        QCOMPARE(lines.filter(": updating with QX-LP4R-V1.3.7.bin").size(), 2);
        QCOMPARE(lines.filter(QRegularExpression(": \\d+%$")).size(), 20);
        QCOMPARE(lines.filter(": success").size(), 2);
        QCOMPARE(run.records().size(), 5);

        // --json: a device's events, from its plug to its outcome
        CommandLineRun json({}, machine.devices(), kSettleMs);
        QVERIFY(json.start({"--json", "--station"}));
        BootLoader sim;
        machine.plug(sim, kFirst + 6);
        QVERIFY(waitFor([&] { return json.out.filter("\"outcome\"").size() == 1; }));
        QStringList events;
        for (const QString& line : json.out)
            if (const QJsonDocument o = QJsonDocument::fromJson(line.toUtf8());
                o["port"] == QString("COM%1").arg(33 + kFirst + 6))
                events << o["event"].toString();
        events.removeAll("progress");
        QCOMPARE(events, (QStringList{"plugged", "started", "transfer", "outcome"}));
    }

    // Serials on the program's standard input, one a line, each for the next device plugged
    // in, and with --require-serial a device waits for its line; one that does not match the
    // pattern is refused. The CSV and --json carry them, as they do --update --serial's.
    void serialsForUnits()
    {
        Machine machine;
        BootLoader a, b;
        const QStringList named{Machine::usb(kFirst + 6), Machine::usb(kFirst + 7)};
        Program program;
        program.start(QX_PROGRAM, QStringList{"--station", "--json", "--require-serial"} + named);
        program.setReadChannel(QProcess::StandardError); // the banner, with --json
        QVERIFY(program.waitForReadyRead(5000));
        // CRLF line ends, as a Windows pipe sends them; a line past the cut is one, and refused
        program.write("2412-0041\r\nbad serial\n" + QByteArray(1100, 'x') + "2412-0047\n");
        QVERIFY(program.waitForBytesWritten(5000));
        QString err;
        QVERIFY(
            waitFor([&] { return (err += program.readAllStandardError()).contains("refused"); }));
        machine.plug(a, kFirst + 6);
        QVERIFY(waitFor([&] { return a.completed == 1; }));
        machine.plug(b, kFirst + 7); // no serial yet: it waits for one
        QString out;
        QVERIFY(
            waitFor([&] { return (out += program.readAllStandardOutput()).contains("waiting"); }));
        QVERIFY(b.stream.isEmpty());
        program.write("=2412\x1b\n"); // refused: it does not match
        program.write("2412-0042\n");
        QVERIFY(waitFor([&] { return b.completed == 1; }));
        ::kill(pid_t(program.processId()), SIGINT);
        QVERIFY(program.ended(10000));
        out += program.readAllStandardOutput();
        QStringList serials;
        for (const QString& line : out.split('\n'))
            if (const auto o = QJsonDocument::fromJson(line.toUtf8()); o["event"] == "outcome")
                serials << o["port"].toString() + "=" + o["serial"].toString();
        QCOMPARE(serials, (QStringList{named[0] + "=2412-0041", named[1] + "=2412-0042"}));
        QCOMPARE((err + program.readAllStandardError()).count("refused"), 3);
        const auto records = program.records();
        QCOMPARE(records.value(1).value(kUnitSerial), "2412-0042");

        BootLoader c;
        CommandLineRun run;
        QCOMPARE(run.run({"--update", "--serial", "SN-7", c.slavePath}), 0);
        QCOMPARE(run.records().value(0).value(kUnitSerial), "SN-7");

        // Without input a required serial stays required: the unit waits, and the station says
        // once that no serial can come.
        Program closed;
        closed.start(QX_PROGRAM,
                     {"--station", "--json", "--require-serial", Machine::usb(kFirst + 8)});
        closed.closeWriteChannel();
        BootLoader d;
        machine.plug(d, kFirst + 8);
        QString said;
        const auto read = [&] { return said += closed.readAll() + closed.readAllStandardError(); };
        QVERIFY(waitFor([&] {
            return read().contains("\"event\":\"waiting\"") && said.contains("no more serials");
        }));
        QVERIFY(d.stream.isEmpty());
        ::kill(pid_t(closed.processId()), SIGINT);
        QVERIFY(closed.ended(10000) && closed.records().isEmpty());
        QVERIFY2(read().count("no more serials can come") == 1 &&
                     said.count("\"event\":\"serials ended\"") == 1,
                 qPrintable(said));

        // A serial scanned while its device settles is that device's, not the next one's.
        CommandLineRun settling({}, machine.devices(), 3000);
        QVERIFY(settling.start({"--station"}));
        BootLoader e;
        machine.plug(e, kFirst + 9);
        QVERIFY(waitFor([&] { return !settling.out.filter(": plugged in (").isEmpty(); }, 5000));
        settling.commandLine.unitScanned("2412-0050");
        QVERIFY(waitFor([&] { return settling.records().size() == 1; }));
        QCOMPARE(settling.records().value(0).value(kUnitSerial), "2412-0050");
        settling.commandLine.interrupt();
    }

    // A locked profile of two slots named by stable links, as /dev/serial/by-path names them:
    // the station serves exactly those, and each line, in the CSV and --json, names its slot
    // and the profile.
    void profileSlots()
    {
        Machine machine;
        QTemporaryDir dir;
        const QString a = dir.filePath("pci-0000:00:14.0-usb-0:1.1:1.0-port0"),
                      b = dir.filePath("pci-0000:00:14.0-usb-0:1.2:1.0-port0");
        QVERIFY(QFile::link(Machine::usb(kFirst + 10), a) &&
                QFile::link(Machine::usb(kFirst + 11), b));
        const QByteArray text = "[station]\nname = Line 3, station A\nlocked = true\n"
                                "[slots]\nA1 = " +
                                a.toUtf8() + "\nA2 = " + b.toUtf8() + "\n";
        QFile profile(dir.filePath("station.ini"));
        QVERIFY(profile.open(QIODevice::WriteOnly) && profile.write(text) > 0);
        profile.close();
        CommandLineRun run({}, machine.devices(), kSettleMs);
        QVERIFY(run.start({"--station", "--json", "--profile", profile.fileName()}));
        std::array<BootLoader, 3> sims;
        for (int i = 0; i < 3; ++i)
            machine.plug(sims[i], kFirst + 10 + i);
        QVERIFY(waitFor([&] { return run.records().size() == 2; }));
        const QString shown =
            "Line 3, station A (" +
            QCryptographicHash::hash(text, QCryptographicHash::Sha256).toHex().left(12) + ")";
        QStringList named;
        for (const QStringList& record : run.records())
            named << record.value(kSlot) + "|" + record.value(kProfile);
        named.sort();
        QCOMPARE(named, (QStringList{"A1|" + shown, "A2|" + shown}));
        QStringList json;
        for (const QString& line : run.out)
            if (const auto o = QJsonDocument::fromJson(line.toUtf8()); o["event"] == "outcome")
                json << o["slot"].toString() + "|" + o["profile"].toString();
        json.sort();
        QCOMPARE(json, named);
        QVERIFY(sims[2].stream.isEmpty()); // no slot of the profile's
        run.commandLine.interrupt();
        // a text line names the slot as the profile does, not the path behind it
        CommandLineRun lines({}, machine.devices(), kSettleMs);
        QVERIFY(lines.start({"--station", "--profile", profile.fileName()}));
        QVERIFY(waitFor([&] { return lines.records().size() == 2; }));
        QVERIFY2(
            !lines.out.filter(QRegularExpression("^A1: success")).isEmpty() &&
                lines.out.filter(QRegularExpression("^" + QRegularExpression::escape(a))).isEmpty(),
            qPrintable(lines.out.join('|')));
        lines.commandLine.interrupt();
    }

    // The program itself, serving named paths absent at its start: one device falls silent
    // and fails with its reason while the others succeed, one port is held by another program
    // for two seconds after it appears and is updated once it is free, one held throughout is
    // pulled out and fails as removed, not interrupted, and Ctrl+C ends it with 1.
    void programServesNamedPorts()
    {
        Machine machine;
        BootLoader ok, silent, busy, held;
        silent.script[0] = {};
        QStringList named;
        for (int i = 0; i < 4; ++i)
            named << Machine::usb(kFirst + 2 + i);
        Program program;
        program.start(QX_PROGRAM, QStringList{"--station"} + named);
        QVERIFY(program.waitForReadyRead(5000)); // serving: the paths are absent so far
        QSerialPort holder(busy.slavePath), holdsOn(held.slavePath);
        QVERIFY(holder.open(QIODevice::ReadWrite) && holdsOn.open(QIODevice::ReadWrite));
        machine.plug(ok, kFirst + 2);
        machine.plug(silent, kFirst + 3);
        machine.plug(busy, kFirst + 4);
        machine.plug(held, kFirst + 5);
        QTimer::singleShot(2000, [&] { holder.close(); });
        QString out; // what it has printed so far, whatever the order of the ports' outcomes
        const auto printed = [&](const QString& start) {
            out += QString::fromLocal8Bit(program.readAllStandardOutput());
            return !out.split('\n')
                        .filter(QRegularExpression("^" + QRegularExpression::escape(start)))
                        .isEmpty();
        };
        QVERIFY(waitFor([&] {
            return printed(named[3] + ": plugged in") && ok.completed == 1 && busy.completed == 1;
        }));
        QVERIFY(busy.stream == wholeStream(true));
        machine.unplug(kFirst + 5); // pulled out while the other program still holds it
        QVERIFY2(waitFor([&] {
                     return printed(named[1] + ": failure: no answer to the menu command within "
                                               "4 s") &&
                            printed(named[3] + ": failure: the adapter was removed while "
                                               "another program held the port");
                 }),
                 qPrintable(out));
        ::kill(pid_t(program.processId()), SIGINT);
        QVERIFY(program.ended(10000));
        QCOMPARE(program.exitCode(), 1);
        const QStringList lines = (out + program.readAllStandardOutput()).split('\n');
        QCOMPARE(lines.first(), "station: serving " + named.join(' ') +
                                    ", each whenever it is plugged in; Ctrl+C ends");
        QVERIFY(lines.contains(named[0] + ": success"));
        QVERIFY(lines.contains(named[2] + ": success"));
        QVERIFY(held.stream.isEmpty());
        // the failed ports in the order their outcomes came
        QVERIFY2(
            lines.contains("summary: 2 updated, 2 failed; failed: " + named[3] + " " + named[1]) ||
                lines.contains("summary: 2 updated, 2 failed; failed: " + named[1] + " " +
                               named[3]),
            qPrintable(lines.join('|')));
        QStringList outcomes;
        for (const QStringList& record : program.records())
            outcomes << record[kOutcome];
        outcomes.sort();
        QCOMPARE(outcomes, (QStringList{"failure", "failure", "success", "success"}));
    }
};

QTEST_MAIN(TestStation)
#include "tst_station.moc"
