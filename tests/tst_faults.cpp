// The fault matrix: each way a device or a cable can fail, in each state of the transfer and
// in the version query, through the real window, a pty and the simulated boot loader.
// Plus the bad inputs of start-up and Connect.
#include "packageloader.h"
#include "rig.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

using BL = BootLoader;

namespace {

constexpr int N = 372;
const QString kSuccess = "Upgrade Successfully";
const QString kConnError = "Plese Check Connection!";

enum class Column
{
    Silence,
    Nak,
    Can,
    Garbage,
    Split,
    ExtraC,
    HangUp,
    PortError
};
enum class Expect
{
    Success,         // the fault is harmless
    ErrorAtOnce,     // the connection error, well before any time limit
    ErrorAfterLimit, // the connection error when the reply limit runs out
    WaitsForAck,     // closing header: nothing until an ACK comes, then success
    LineGone,        // the connection error, and the window disconnected
    VersionShows,    // version query: no message, Label1 shows what came
    VersionSilent,   // version query: nothing happens at all
};

struct ColumnInfo
{
    const char* name;
    Column column;
    BL::Action action;
};
constexpr ColumnInfo kColumns[] = {
    {"silence", Column::Silence, BL::Action::Silence},
    {"NAK", Column::Nak, BL::Action::Nak},
    {"CAN", Column::Can, BL::Action::Can},
    {"garbage", Column::Garbage, BL::Action::Garbage},
    {"split", Column::Split, BL::Action::Split},
    {"extra C", Column::ExtraC, BL::Action::ExtraC},
    {"hang-up", Column::HangUp, BL::Action::HangUp},
    {"port error", Column::PortError, BL::Action::RemoveAdapter},
};

struct RowInfo
{
    const char* name;
    int item; // the sender's state, or BootLoader::kVersionItem
};
constexpr RowInfo kRows[] = {
    {"menu", 0},
    {"header", 1},
    {"first data", 2},
    {"block 0", 257},
    {"middle data", 150},
    {"last data", N + 1},
    {"EOT", N + 2},
    {"closing header", N + 3},
    {"version", BL::kVersionItem},
};

Expect expected(int item, Column c)
{
    if (c == Column::HangUp || c == Column::PortError)
        return Expect::LineGone;
    if (item == BL::kVersionItem)
        return c == Column::Silence ? Expect::VersionSilent : Expect::VersionShows;
    // After the header and after EOT the event waits for two bytes: a lone NAK or garbage
    // byte raises none, and only the reply limit ends the transfer.
    const bool twoByteReply = item == 1 || item == N + 2;
    if (twoByteReply && (c == Column::Nak || c == Column::Garbage))
        return Expect::ErrorAfterLimit;
    switch (c) {
    case Column::Silence:
        return Expect::ErrorAfterLimit;
    case Column::Split:
        return Expect::Success;
    case Column::ExtraC:
        if (item == 0)
            return Expect::Success; // "CCC" still ends with 'C'
        [[fallthrough]];
    default:
        return item == N + 3 ? Expect::WaitsForAck : Expect::ErrorAtOnce;
    }
}

QByteArray payloadOfEmbedded()
{
    const auto p = qx::package::embeddedPackage();
    QByteArray out;
    for (int k = 0; k < N; ++k)
        out.append(reinterpret_cast<const char*>(p.data()) + 2 + 1029 * k + 3, 1024);
    return out;
}

} // namespace

Q_DECLARE_METATYPE(Column)
Q_DECLARE_METATYPE(Expect)

class TestFaults : public QObject
{
    Q_OBJECT

    int cells = 0;

private slots:
    void matrix_data()
    {
        QTest::addColumn<int>("item");
        QTest::addColumn<Column>("column");
        QTest::addColumn<int>("action");
        for (const RowInfo& r : kRows)
            for (const ColumnInfo& c : kColumns)
                QTest::addRow("%s / %s", r.name, c.name) << r.item << c.column << int(c.action);
    }

    void matrix()
    {
        QFETCH(int, item);
        QFETCH(Column, column);
        QFETCH(int, action);
        ++cells;
        const Expect expect = expected(item, column);
        Rig rig;
        QVERIFY(rig.connectPort());
        rig.sim.setFault(item, {BL::Action(action), 0, 5});

        if (item == BL::kVersionItem) {
            rig.click("Command2");
            if (expect == Expect::LineGone) {
                QVERIFY(waitFor([&] { return rig.boxes.count() > 0 && rig.idle(); }, 5000));
            } else {
                waitFor([] { return false; }, 300);
            }
        } else if (expect == Expect::WaitsForAck) {
            rig.click("Command1");
            QVERIFY(waitFor([&] { return rig.sim.stream().size() >= 382928 - 140 + 1 + 1 + 133; },
                            10000));
            waitFor([] { return false; }, 300);
            QCOMPARE(rig.boxes.count(), 0);
            QCOMPARE(int(rig.form->commMode), 1);
            QVERIFY(!rig.enabled("Command1"));
            QVERIFY(!rig.enabled("Command5"));
            rig.sim.writeRaw("\x06");
            QVERIFY(waitFor([&] { return rig.boxes.count() > 0 && rig.idle(); }, 5000));
        } else {
            QElapsedTimer clock;
            clock.start();
            QVERIFY(rig.update(20000));
            if (expect == Expect::ErrorAfterLimit)
                QVERIFY(clock.elapsed() >= (item == 0 ? 3900 : 9900));
            if (expect == Expect::ErrorAtOnce)
                QVERIFY2(clock.elapsed() < 3000, qPrintable(QString::number(clock.elapsed())));
        }
        waitFor([] { return false; }, 50); // anything that would come late

        // exactly one outcome, and success only for a whole, in-order transfer
        const QStringList texts = rig.boxes.texts();
        switch (expect) {
        case Expect::Success:
        case Expect::WaitsForAck:
            QCOMPARE(texts, QStringList{kSuccess});
            break;
        case Expect::ErrorAtOnce:
        case Expect::ErrorAfterLimit:
        case Expect::LineGone:
            QCOMPARE(texts, QStringList{kConnError});
            break;
        case Expect::VersionShows:
        case Expect::VersionSilent:
            QCOMPARE(texts, QStringList{});
            break;
        }
        if (texts.contains(kSuccess)) {
            QCOMPARE(rig.sim.completedTransfers(), 1);
            QCOMPARE(rig.sim.problems(), QStringList{});
            QCOMPARE(rig.sim.firmware(), payloadOfEmbedded());
        }

        // the window is usable again, or shows that the line is gone
        const QWidget* f = rig.form.get();
        if (expect == Expect::LineGone) {
            QVERIFY(!rig.form->comm().portOpen());
            QVERIFY(rig.enabled("Command4"));
            QVERIFY(rig.enabled("Frame1"));
            QVERIFY(!rig.enabled("Command1"));
            QVERIFY(!rig.enabled("Command2"));
            QVERIFY(!rig.enabled("Command5"));
        } else {
            QVERIFY(rig.form->comm().portOpen());
            QVERIFY(rig.enabled("Command1"));
            QVERIFY(rig.enabled("Command2"));
            QVERIFY(rig.enabled("Command5"));
            QVERIFY(!rig.enabled("Command4"));
            QVERIFY(!rig.enabled("Frame1"));
        }
        QVERIFY(rig.enabled("Command6"));
        if (item != BL::kVersionItem) {
            QVERIFY(rig.idle());
            QVERIFY(!control(f, "prgPercent")->isVisible());
            QVERIFY(!control(f, "lblPercent")->isVisible());
            auto* bar = control<QProgressBar>(f, "prgPercent");
            QVERIFY(bar->value() <= bar->maximum());
        }
        const QString label = control<QLabel>(f, "Label1")->text();
        if (expect == Expect::VersionSilent)
            QCOMPARE(label, QString());
        if (expect == Expect::VersionShows) {
            const QMap<Column, QString> shows{{Column::Nak, "\x15"},
                                              {Column::Can, "\x18\x18"},
                                              {Column::Garbage, "Z"},
                                              {Column::Split, "QX-LP4R-V1.3.7"},
                                              {Column::ExtraC, "CCQX-LP4R-V1.3.7"}};
            QCOMPARE(label, shows.value(column));
        }
    }

    void matrixSize() { QCOMPARE(cells, int(std::size(kRows) * std::size(kColumns))); }

    // ---- bad inputs of start-up and Connect

    void overLongDeviceMapEntryEndsTheList()
    {
        Pty pty;
        Form1Setup setup;
        const QString longPath = "/dev/x" + QString(1000, 'y');
        const auto ptys = ptySource({&pty});
        setup.devices = [ptys, longPath] {
            auto list = ptys();
            list.append({longPath, {}, {}});
            list.append({"/dev/zz0", {}, {}});
            return list;
        };
        Form1 form(setup);
        QCOMPARE(form.portList, QStringList{"COM97"});
        QCOMPARE(int(form.portNumber), 97);
    }

    void existingDataBinIsKept()
    {
        QTemporaryDir dir;
        QFile f(dir.filePath("data.bin"));
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("somebody else's file");
        f.close();
        Pty pty;
        Form1Setup setup;
        setup.devices = ptySource({&pty});
        setup.programDir = dir.path();
        Form1 form(setup);
        QCOMPARE(form.package.packetCount, std::int16_t(372));
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(f.readAll(), QByteArray("somebody else's file"));
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList{"data.bin"});
    }

    void readOnlyProgramDirectory()
    {
        Pty pty;
        Form1Setup setup;
        setup.devices = ptySource({&pty});
        setup.programDir = "/proc"; // not writable, even for root
        Form1 form(setup);
        QCOMPARE(form.package.packetCount, std::int16_t(372));
        QVERIFY(form.packageError.isEmpty());
    }

    void connectWithoutPermission()
    {
        if (geteuid() != 0)
            QSKIP("needs root to drop to an unprivileged user");
        Pty pty; // the slave belongs to root, mode 0620
        QProcess probe;
        probe.start(QX_OPEN_PROBE, {pty.slavePath()});
        QVERIFY(probe.waitForFinished());
        const QString out = QString::fromLocal8Bit(probe.readAllStandardOutput());
        QCOMPARE(probe.exitCode(), 0);
        QVERIFY2(out.contains("add your user to the dialout group, then log in again"),
                 qPrintable(out));
    }
};

QTEST_MAIN(TestFaults)
#include "tst_faults.moc"
