// The real bench window, offscreen, with simulated boot loaders on ptys: Start on four rows,
// hands-free plugging as /dev/ttyUSB<k> links, a silent device, a pulled cable, and closing
// while updates run.
#include "benchwindow.h"
#include "rig.h"

#include <QCheckBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QTreeWidget>
#include <QtTest>

#include <csignal>

namespace {
// Bench tests plug /dev/ttyUSB12 to 15: the window's and the station's tests plug 20 and up.
constexpr int kFirst = 12;
constexpr int kSettleMs = 200;
using Bench = qx::ui::BenchWindow;

struct BenchRig
{
    explicit BenchRig(const QStringList& paths = {}) : machine(paths) {}
    Bench& open(QStringList named = {})
    {
        window = std::make_unique<Bench>(qx::service::Setup{.devices = machine.devices(),
                                                            .recordFolder = recordDir.path(),
                                                            .settleMs = kSettleMs},
                                         qx::service::StationPolicy::serving(named));
        window->show();
        return *window;
    }
    QString state(const QString& port) const
    {
        const QTreeWidgetItem* row = window->rowOf(port);
        return row ? row->text(Bench::kState) : QString("(no row)");
    }
    QString counters() const { return w<QLabel>("counters")->text(); }
    template <typename W> W* w(const char* name) const { return window->findChild<W*>(name); }
    QList<QStringList> records() const
    {
        return recordsIn(recordDir.filePath("service-record.csv"));
    }
    QTemporaryDir recordDir;
    Machine machine;
    std::unique_ptr<Bench> window;
};

// How many of this process's descriptors are open on `path`'s device.
int opensOf(const QString& path)
{
    const QString device = QFileInfo(path).canonicalFilePath();
    int n = 0;
    for (const QFileInfo& fd : QDir("/proc/self/fd").entryInfoList(QDir::Files | QDir::System))
        n += fd.symLinkTarget() == device;
    return n;
}

QString com(int k)
{
    return QString("COM%1").arg(33 + k);
}
} // namespace

class TestBench : public QObject
{
    Q_OBJECT

private slots:
    // Four rows and Start: four devices byte for byte, each row done, counters 4 and 0. Then
    // the last row unchecked and F5, from the keyboard, with one device silent at the menu: its
    // row fails with the cause, the others succeed, the unchecked one is left alone. A port
    // built into the machine is not checked, and so not opened.
    void fourRowsAndStart()
    {
        std::array<BootLoader, 4> sims;
        QStringList paths, ports;
        for (const BootLoader& sim : sims)
            paths << sim.slavePath;
        BenchRig rig(paths + QStringList{"/dev/ttyS11"}); // COM12, which nothing answers
        Bench& bench = rig.open();
        QCOMPARE(bench.rowOf("COM12")->checkState(Bench::kPort), Qt::Unchecked);
        for (int i = 0; i < 4; ++i) {
            for (const auto& entry : rig.machine.devices()())
                if (entry.device.systemLocation == sims[i].slavePath)
                    ports << entry.portName;
            QCOMPARE(rig.state(ports[i]), "waiting");
            QCOMPARE(bench.rowOf(ports[i])->checkState(Bench::kPort), Qt::Checked);
        }
        QTest::mouseClick(rig.w<QPushButton>("startButton"), Qt::LeftButton);
        const auto allDone = [&](int runs) {
            return waitFor([&] {
                for (const QString& port : ports)
                    if (!rig.state(port).contains(QRegularExpression("^(done in|failed|current)")))
                        return false;
                return rig.records().size() == runs;
            });
        };
        QVERIFY(allDone(4));
        for (int i = 0; i < 4; ++i) {
            QVERIFY(sims[i].stream == wholeStream(true));
            QVERIFY(rig.state(ports[i]).contains(QRegularExpression("^done in \\d+ s$")));
            QVERIFY(!bench.rowOf(ports[i])->text(Bench::kLastOutcome).isEmpty());
        }
        QCOMPARE(rig.counters(), "Updated: 4   Current: 0   Failed: 0");

        // the last row unchecked from the keyboard, and F5
        auto* rows = rig.w<QTreeWidget>("rows");
        rows->setFocus();
        rows->setCurrentItem(bench.rowOf(ports[3]));
        QTest::keyClick(rows, Qt::Key_Space);
        QCOMPARE(bench.rowOf(ports[3])->checkState(Bench::kPort), Qt::Unchecked);
        sims[2].script[0] = {};
        sims[3].stream.clear();
        QTest::keyClick(&bench, Qt::Key_F5);
        QVERIFY(waitFor([&] { return rig.state(ports[0]) == "updating"; }, 1000));
        QVERIFY(allDone(7));
        QCOMPARE(rig.state(ports[2]), "failed: no answer to the menu command within 4 s");
        for (int i : {0, 1, 3})
            QVERIFY(rig.state(ports[i]).startsWith("done in "));
        QVERIFY(sims[3].stream.isEmpty());
        QCOMPARE(rig.counters(), "Updated: 6   Current: 0   Failed: 1");

        // checked first, the devices now run this firmware: each is left as it is
        rig.w<QCheckBox>("skipCurrent")->setChecked(true);
        QTest::keyClick(&bench, Qt::Key_F5);
        QVERIFY(allDone(10));
        QCOMPARE(rig.state(ports[1]), "current (QX-LP4R-V1.3.7 already)");
        QCOMPARE(rig.counters(), "Updated: 6   Current: 3   Failed: 1");
        rig.w<QCheckBox>("skipCurrent")->setChecked(false);

        // F5 again, and Stop (Esc) mid-way: each running update ends, recorded as interrupted
        for (BootLoader& sim : sims)
            sim.stream.clear();
        QTest::keyClick(&bench, Qt::Key_F5);
        QVERIFY(waitFor([&] {
            return std::all_of(sims.begin(), sims.begin() + 3,
                               [](const BootLoader& sim) { return sim.stream.size() > 20 * 1029; });
        }));
        QTest::keyClick(&bench, Qt::Key_Escape);
        QVERIFY(waitFor([&] { return rig.records().size() == 13; }, 2000));
        for (const QStringList& record : rig.records().mid(10))
            QVERIFY2(record[kReason].startsWith("interrupted at data block "),
                     qPrintable(record[kReason]));
    }

    // Hands-free: devices plugged one after another start without a click, once each; the
    // port that was there when it was switched on is left alone.
    void handsFreePlugging()
    {
        BootLoader before;
        BenchRig rig({before.slavePath});
        rig.open();
        QTest::mouseClick(rig.w<QCheckBox>("handsFree"), Qt::LeftButton);
        std::array<BootLoader, 2> sims;
        for (int i = 0; i < 2; ++i) {
            rig.machine.plug(sims[i], kFirst + i);
            QVERIFY(waitFor([&] { return rig.state(com(kFirst + i)).startsWith("done in"); }));
        }
        waitFor([] { return false; }, kSettleMs + 600);
        QCOMPARE(sims[0].completed + sims[1].completed, 2);
        QVERIFY(before.stream.isEmpty());
        QCOMPARE(rig.state("COM97"), "waiting");
        QCOMPARE(rig.counters(), "Updated: 2   Current: 0   Failed: 0");
    }

    // Serials typed into the scan field and Enter, as a scanner sends them: to the selected
    // row, and hands-free to the devices plugged in next, in order; with a serial required a
    // device waits for its scan. One that does not match the pattern, or is pending already,
    // is refused and bound to nothing. The record lines carry them.
    void scannedSerials()
    {
        BootLoader first;
        BenchRig rig({first.slavePath});
        Bench& bench = rig.open();
        auto* scan = rig.w<QLineEdit>("scan");
        const auto scanned = [&](const QString& serial) {
            QTest::keyClicks(scan, serial);
            QTest::keyClick(scan, Qt::Key_Return);
        };
        rig.w<QTreeWidget>("rows")->setCurrentItem(bench.rowOf("COM97"));
        scanned("2412-0042");
        QCOMPARE(bench.rowOf("COM97")->text(Bench::kUnit), "2412-0042");
        for (const QString refused : {"2412-0042", "x!"}) { // pending already; no match
            scanned(refused);
            QVERIFY(rig.counters().contains("Serial " + refused + " refused"));
        }
        QTest::mouseClick(rig.w<QPushButton>("startButton"), Qt::LeftButton);
        QVERIFY(waitFor([&] { return rig.records().size() == 1; }));
        // required: the next update on a port that stays plugged waits for its own unit's serial,
        // and a scan goes to that waiting device, not to the row selected
        const auto start = [&] {
            QTest::mouseClick(rig.w<QPushButton>("startButton"), Qt::LeftButton);
        };
        QTest::mouseClick(rig.w<QCheckBox>("requireSerial"), Qt::LeftButton);
        start();
        QVERIFY(waitFor([&] { return rig.state("COM97") == "scan the unit's label"; }));
        BootLoader extra;
        rig.machine.plug(extra, kFirst + 3);
        QVERIFY(waitFor([&] { return bench.rowOf(com(kFirst + 3)); }, 2000));
        rig.w<QTreeWidget>("rows")->setCurrentItem(bench.rowOf(com(kFirst + 3)));
        scanned("2412-0046");
        QVERIFY(rig.counters().contains("Serial 2412-0046 goes to COM97"));
        QVERIFY(waitFor([&] { return rig.records().size() == 2; }));
        start(); // both wait, and start once a serial is no longer required
        QVERIFY(waitFor([&] { return rig.state(com(kFirst + 3)) == "scan the unit's label"; }));
        QTest::mouseClick(rig.w<QCheckBox>("requireSerial"), Qt::LeftButton);
        QVERIFY(waitFor([&] { return rig.records().size() == 4; }));
        QCOMPARE(first.completed + extra.completed, 4);
        QTest::mouseClick(rig.w<QCheckBox>("requireSerial"), Qt::LeftButton);
        QTest::mouseClick(rig.w<QCheckBox>("handsFree"), Qt::LeftButton);
        scanned("2412-0043");
        scanned("2412-0044");
        std::array<BootLoader, 3> sims;
        for (int i = 0; i < 3; ++i) {
            rig.machine.plug(sims[i], kFirst + i);
            QVERIFY(waitFor([&] { return bench.rowOf(com(kFirst + i)); }, 2000));
        }
        QVERIFY(waitFor([&] { return rig.state(com(kFirst + 2)) == "scan the unit's label"; }));
        QVERIFY(sims[2].stream.isEmpty());
        scanned("2412-0045"); // to the device that waits for one
        QVERIFY(waitFor([&] { return rig.records().size() == 7; }));
        QStringList units;
        for (const QStringList& record : rig.records())
            units << record[4] + "=" + record[kUnitSerial];
        units.sort();
        QCOMPARE(units, (QStringList{"COM45=2412-0043", "COM46=2412-0044", "COM47=2412-0045",
                                     "COM48=", "COM97=", "COM97=2412-0042", "COM97=2412-0046"}));
    }

    // A locked profile's settings are its own: its boxes are shown set and cannot be changed,
    // and the operator sees which profile holds them.
    void lockedProfile()
    {
        BenchRig rig;
        auto policy = qx::service::StationPolicy::serving({"COM5"});
        policy.checks.after = policy.requireSerial = true;
        policy.profile = qx::service::ProfileId{"/etc/x.ini", "Line 3", "3f2a9c1b0d4e", true};
        rig.window =
            std::make_unique<Bench>(qx::service::Setup{.devices = rig.machine.devices(),
                                                       .recordFolder = rig.recordDir.path()},
                                    policy);
        QString boxes;
        for (const char* name : {"handsFree", "skipCurrent", "verify", "requireSerial"})
            boxes += QString("%1%2 ")
                         .arg(rig.w<QCheckBox>(name)->isEnabled() ? "enabled " : "")
                         .arg(rig.w<QCheckBox>(name)->isChecked());
        QCOMPARE(boxes, "0 0 1 1 ");
        QVERIFY(rig.window->windowTitle().endsWith(" - Line 3 (3f2a9c1b0d4e)"));
        QVERIFY(rig.counters().contains("Locked profile: Line 3 (3f2a9c1b0d4e)"));
        policy.checks.after = false; // nor can anything else change them
        QVERIFY(!const_cast<qx::service::Station&>(rig.window->ports()).setPolicy(policy));
        QVERIFY(rig.window->ports().policy().checks.after);
    }

    // A cable pulled mid-update ends that row as a lost line, which it shows until the port
    // returns.
    void unpluggedMidUpdate()
    {
        BenchRig rig;
        Bench& bench = rig.open();
        BootLoader sim, next;
        rig.machine.plug(sim, kFirst + 2);
        const QString port = com(kFirst + 2);
        QVERIFY(waitFor([&] { return bench.rowOf(port); }, 2000));
        QTest::mouseClick(rig.w<QPushButton>("startButton"), Qt::LeftButton);
        QVERIFY(waitFor([&] { return sim.blocks > 20; }));
        rig.machine.unplug(kFirst + 2); // its path goes; the line itself never hangs up
        QVERIFY(waitFor([&] { return rig.state(port).startsWith("failed"); }, 3000));
        waitFor([] { return false; }, 500); // the map has caught up: the row stays
        QVERIFY2(rig.state(port).contains(QRegularExpression(
                     "^failed: the line was lost at data block \\d+ of 372 \\(the ")),
                 qPrintable(rig.state(port)));
        QCOMPARE(rig.counters(), "Updated: 0   Current: 0   Failed: 1");
        // its box keeps every job's trace, through the served ports' policy
        rig.w<QCheckBox>("keepTraces")->setChecked(true);
        QCOMPARE(rig.window->ports().policy().traces, qx::service::TraceKeep::All);
        rig.w<QCheckBox>("keepTraces")->setChecked(false);
        // the row's context menu saves what support needs of it: its record line and trace
        const QString saved = rig.recordDir.filePath("row.txt");
        onceShown<QMenu>([&](QMenu* menu) {
            for (QAction* action : menu->actions())
                if (action->text() == "Save diagnostics..." && action->isEnabled()) {
                    saveAs(saved);
                    menu->setActiveAction(action);
                    QTest::keyClick(menu, Qt::Key_Return);
                }
        });
        auto* rows = rig.w<QTreeWidget>("rows");
        emit rows->customContextMenuRequested(rows->visualItemRect(bench.rowOf(port)).center());
        QVERIFY(waitFor([&] { return QFileInfo(saved).size() > 0; }));
        QFile file(saved);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray text = file.readAll();
        QVERIFY2(text.contains(",failure,the line was lost at data block") &&
                     text.contains(" line lost the adapter was removed") &&
                     text.contains("trace: traces/"),
                 text.left(1500).constData());
        rig.machine.plug(next, kFirst + 2);
        QVERIFY(waitFor([&] { return rig.state(port) == "waiting"; }, 2000));
    }

    // Closing while updates run asks: no changes nothing, yes interrupts and records each and
    // closes every port. Named ports show as named, though the map gives them the same number.
    void closingWhileRunning()
    {
        std::array<BootLoader, 2> sims;
        BenchRig rig({sims[0].slavePath, sims[1].slavePath});
        Bench& bench = rig.open({sims[0].slavePath, sims[1].slavePath});
        QCOMPARE(bench.rowOf(sims[1].slavePath)->text(Bench::kPort), sims[1].slavePath);
        QTest::mouseClick(rig.w<QPushButton>("startButton"), Qt::LeftButton);
        QVERIFY(waitFor([&] { return sims[0].blocks > 20 && sims[1].blocks > 20; }));
        {
            Boxes no(QMessageBox::No);
            QVERIFY(!bench.close());
            QCOMPARE(no.texts, QStringList{"2 device(s) are being updated. Interrupt them and "
                                           "close the window?"});
        }
        const int blocks = sims[0].blocks;
        QVERIFY(waitFor([&] { return sims[0].blocks > blocks + 5; }, 2000)); // still running
        Boxes yes(QMessageBox::Yes);
        QVERIFY(bench.close());
        QCOMPARE(yes.texts.size(), 1);
        const auto records = rig.records();
        QCOMPARE(records.size(), 2);
        for (const QStringList& record : records)
            QVERIFY2(record[kReason].startsWith("interrupted at data block "),
                     qPrintable(record[kReason]));
        // every port closed at once: only the simulators' own ends are left open
        QCOMPARE(opensOf(sims[0].slavePath) + opensOf(sims[1].slavePath), 2);
    }

    // SIGTERM (a logout) or SIGHUP (its terminal closed) mid-update: the program records the
    // update as interrupted at its block and exits.
    void endsOnSignal_data()
    {
        QTest::addColumn<int>("signal");
        QTest::newRow("SIGTERM") << SIGTERM;
        QTest::newRow("SIGHUP") << SIGHUP;
    }
    void endsOnSignal()
    {
        QFETCH(int, signal);
        Machine machine;
        BootLoader sim;
        machine.plug(sim, kFirst + 3);
        Program program; // hands-free: a named port present at the start is updated
        program.start(QX_PROGRAM, {"--bench", "--start-on-plug", Machine::usb(kFirst + 3)});
        QVERIFY(waitFor([&] { return sim.blocks > 40; }));
        ::kill(pid_t(program.processId()), signal);
        QVERIFY(program.ended(5000));
        QCOMPARE(program.exitStatus(), QProcess::NormalExit);
        const auto records = program.records();
        QCOMPARE(records.size(), 1);
        QVERIFY2(records[0][kReason].startsWith("interrupted at data block "),
                 qPrintable(records[0][kReason]));
    }

    // In Chinese every control shows its whole text at the window's size.
    void chineseFits()
    {
        BenchRig rig;
        rig.window =
            std::make_unique<Bench>(qx::service::Setup{.devices = rig.machine.devices(),
                                                       .recordFolder = rig.recordDir.path(),
                                                       .languageFlag = 1});
        rig.window->show();
        QCOMPARE(rig.window->windowTitle(), // marked: this build carries the test payload
                 QString("QX-LP4R 批量升级（测试版本：内含生成的测试数据，不是设备固件）"));
        for (const char* name :
             {"startButton", "stopButton", "handsFree", "skipCurrent", "verify", "counters"}) {
            const auto* w = rig.w<QWidget>(name);
            QVERIFY2(w->width() >= w->sizeHint().width(), name);
        }
        QCOMPARE(rig.w<QCheckBox>("handsFree")->text(), QString("设备插入时自动开始升级"));
    }

    // A name that is no port or a port named twice is a usage error: no window opens.
    void usageErrors()
    {
        BootLoader sim;
        QTemporaryDir dir;
        const QString link = dir.filePath("link"); // one device by two names
        QVERIFY(QFile::link(sim.slavePath, link));
        for (const QStringList& arguments : {QStringList{"--bench", "ttyUSB0"},
                                             {"--bench", "--start-on-plug", "COM5", "com5"},
                                             {"--bench", sim.slavePath, link}}) {
            Program program;
            program.start(QX_PROGRAM, arguments);
            QVERIFY(program.ended(10000));
            QCOMPARE(program.exitCode(), 2);
            QVERIFY(program.readAllStandardError().contains("; see --help"));
        }
    }
};

QTEST_MAIN(TestBench)
#include "tst_bench.moc"
