// The fault matrix: each way a device or a cable fails, at each state of a transfer and in
// the version query, through the real window, a pseudo-terminal and the simulated boot loader.
// QX_SHARD=k/n runs every n-th cell from the k-th, so CTest can run the waits side by side.
#include "packageformat.h"
#include "rig.h"

#include <QLabel>
#include <QtTest>

namespace {

constexpr int N = 3; // a short package: no fault depends on the package's length

const QByteArray kFirmware = QByteArray::fromHex("0123456789abcdef").repeated(N * 128 - 12);
const auto kPackage = qx::package::buildPackage(
    "QX-LP4R-V1.3.7.bin", std::to_string(kFirmware.size()),
    {reinterpret_cast<const std::uint8_t*>(kFirmware.data()), std::size_t(kFirmware.size())});

struct Column
{
    const char* name;
    QByteArray bytes;
    bool thenProper; // the proper reply follows `bytes`
    BootLoader::How how;
};
const Column kColumns[] = {
    {"silence", "", false, BootLoader::How::Write},
    {"NAK", "\x15", false, BootLoader::How::Write},
    {"CAN", "\x18\x18", false, BootLoader::How::Write},
    {"garbage", "Z", false, BootLoader::How::Write},
    {"split", "", true, BootLoader::How::Split},
    {"extra C", "CC", true, BootLoader::How::Write},
    {"hang-up", "", false, BootLoader::How::HangUp},
    {"unplugged", "", false, BootLoader::How::Unplug},
};

// One letter a column: S success; E the connection error at once; L the connection error
// when the reply limit runs out (a lone byte where two are awaited raises no event);
// W nothing until an ACK comes, then success; G the connection error and the port closed;
// V no message, Label1 shows what came.
struct Row
{
    const char* name;
    int item;
    QByteArray proper;
    const char* outcomes;
};
const Row kRows[] = {
    {"menu", 0, "C", "LEEESSGG"},
    {"header", 1, "\x06\x43", "LLELSEGG"},
    {"first data", 2, "\x06", "LEEESEGG"},
    {"middle data", 3, "\x06", "LEEESEGG"},
    {"last data", N + 1, "\x06", "LEEESEGG"},
    {"EOT", N + 2, "\x06\x43", "LLELSEGG"},
    {"closing header", N + 3, "\x06", "LWWWSWGG"},
    {"version", BootLoader::kVersion, "QX-LP4R-V1.3.7.bin\r\n", "VVVVVVGG"},
};

} // namespace

class TestFaults : public QObject
{
    Q_OBJECT

private slots:
    void matrix_data()
    {
        QTest::addColumn<int>("row");
        QTest::addColumn<int>("column");
        const QStringList shard = qEnvironmentVariable("QX_SHARD", "0/1").split('/');
        int dealt[2] = {}; // cells that wait for a reply limit, and the others, dealt out in turn
        for (int r = 0; r < int(std::size(kRows)); ++r)
            for (int c = 0; c < int(std::size(kColumns)); ++c)
                if (dealt[kRows[r].outcomes[c] == 'L']++ % shard.value(1).toInt() ==
                    shard.value(0).toInt())
                    QTest::addRow("%s / %s", kRows[r].name, kColumns[c].name) << r << c;
    }

    void matrix()
    {
        QFETCH(int, row);
        QFETCH(int, column);
        const Row& r = kRows[row];
        const Column& c = kColumns[column];
        const char outcome = r.outcomes[column];
        const QByteArray answer = c.bytes + (c.thenProper ? r.proper : QByteArray());
        Rig rig(kPackage);
        rig.sim.script[r.item] = {answer, c.how};
        QElapsedTimer sinceFault;
        rig.sim.onItem = [&](int item) {
            if (item == r.item)
                sinceFault.start();
        };
        QVERIFY(rig.connectPort());
        rig.click(r.item == BootLoader::kVersion ? "Command2" : "Command1");
        if (outcome == 'W') { // the closing header's wrong reply is ignored
            QVERIFY(waitFor([&] { return sinceFault.isValid(); }));
            waitFor([] { return false; }, 300);
            QVERIFY(rig.boxes.seen.isEmpty());
            QCOMPARE(state(*rig.form), QString("open 0000000 progress"));
            rig.sim.write("\x06");
        }
        if (outcome == 'V')
            waitFor([] { return false; }, 300);
        else
            QVERIFY(waitFor([&] { return !rig.boxes.seen.isEmpty() && rig.idle(); }, 15000));
        const qint64 ms = sinceFault.elapsed();
        waitFor([] { return false; }, 50); // whatever would come late

        const bool success = outcome == 'S' || outcome == 'W';
        QCOMPARE(rig.boxes.texts(), success          ? QStringList{kSuccess}
                                    : outcome == 'V' ? QStringList()
                                                     : QStringList{kError});
        QCOMPARE(state(*rig.form), outcome == 'G' ? kDisconnected : kConnected);
        if (outcome == 'E')
            QVERIFY2(ms < 1000, qPrintable(QString::number(ms)));
        if (outcome == 'L')
            QVERIFY2(ms >= (r.item == 0 ? 4000 : 10000) - 100, qPrintable(QString::number(ms)));
        if (success) {
            QCOMPARE(rig.sim.problems, QStringList());
            QCOMPARE(rig.sim.completed, 1);
            QCOMPARE(rig.sim.file, kFirmware);
        }
        if (outcome == 'V')
            QCOMPARE(rig.w<QLabel>("Label1")->text(),
                     QString::fromLatin1(answer).section(".bin", 0, 0));
    }
};

QTEST_MAIN(TestFaults)
#include "tst_faults.moc"
