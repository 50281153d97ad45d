// The updater's figures, each beside its floor measured in the same run on the same machine:
// the transfer against a minimal sender with the same pacing and the same progress display,
// idle CPU against the same layout with the same 1 ms timer but none of the window's logic;
// then start-up, loadPackage, memory, a 100-transfer soak, the command line: its step
// turnaround against the window's, and four devices at once against one; the station; the
// bench window; the window's transfer with a shared record against it without one; and an
// update traced against one untraced. One line a figure; --check exits 1 when a goal is
// missed; --tracing, --station, --bench or --shared measures only that, and exits 1 as --check
// does.
#include "benchwindow.h"
#include "packageloader.h"
#include "postgres.h"
#include "rig.h"
#include "transfer.h"

#include "ui_benchwindow.h"
#include "ui_form1.h"

#include <QDir>
#include <QLabel>
#include <QProcess>
#include <QProgressBar>
#include <QSerialPort>
#include <QSysInfo>
#include <QTemporaryDir>
#include <QThread>
#include <QTreeWidget>

#include <QJsonDocument>
#include <QJsonObject>
#include <QUuid>

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <unistd.h>

namespace {

namespace t = qx::transfer;
constexpr int kRuns = 5;
// Wires of simulated devices paced at ten times the real line, so that a run takes seconds and
// the program's own work shows.
constexpr int kPacedBaud = 576000;
constexpr int kSteps = 376;                                // states 0 .. 375
constexpr double kWireSeconds = 382928.0 * 10.0 / 57600.0; // 8N1: ten bits a byte
bool allMet = true;

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

void figure(const char* name, double value, const char* unit, const QString& goal, bool met)
{
    std::printf("%s: %.3f %s (goal %s)%s\n", name, value, unit, qPrintable(goal),
                met ? "" : "  MISSED");
    allMet = allMet && met;
}

long residentKiB(qint64 pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    status.open(QIODevice::ReadOnly);
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toLong();
    return -1;
}

// Time on a CPU of all the process's threads, from the scheduler's nanosecond counts rather
// than /proc/<pid>/stat's 10 ms ticks, which would blur an idle window's 1 or 2 % badly.
double cpuSeconds(qint64 pid)
{
    const QString tasks = QStringLiteral("/proc/%1/task/").arg(pid);
    double ns = 0;
    for (const QString& task : QDir(tasks).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile schedstat(tasks + task + "/schedstat");
        schedstat.open(QIODevice::ReadOnly);
        ns += schedstat.readAll().split(' ').value(0).toDouble();
    }
    return ns / 1e9;
}

int openDescriptors()
{
    return int(QDir("/proc/self/fd").entryList(QDir::NoDotAndDotDot | QDir::AllEntries).size());
}

// A child process: the updater's window as main() shows it, or the floor, the same layout
// without the window's logic, whose only work is a 1 ms timer with an empty slot. It says
// when it is on the screen.
// Shows `window`, says so once it is on the screen, and runs the event loop.
int showAndRun(QApplication& app, QWidget& window)
{
    window.show();
    if (!QTest::qWaitForWindowExposed(&window))
        return 1;
    std::printf("shown\n");
    std::fflush(stdout);
    return app.exec();
}

int child(int argc, char** argv, bool bare)
{
    QApplication app(argc, argv);
    QTimer tick;
    QObject::connect(&tick, &QTimer::timeout, [] {});
    std::unique_ptr<QWidget> window =
        bare ? std::make_unique<QWidget>() : std::make_unique<Form1>();
    Ui::Form1 layout;
    if (bare) {
        layout.setupUi(window.get());
        tick.start(1);
    }
    return showAndRun(app, *window);
}

void startUpAndIdle()
{
    std::vector<double> startUp;
    for (int run = 0; run < kRuns; ++run) {
        QProcess p;
        QElapsedTimer clock;
        clock.start();
        p.start(QCoreApplication::applicationFilePath(), {"--window"});
        p.waitForReadyRead(10000);
        startUp.push_back(double(clock.nsecsElapsed()) / 1e6);
        if (run == 0)
            figure("rss_after_startup", double(residentKiB(p.processId())) / 1024, "MB", "<= 60 MB",
                   residentKiB(p.processId()) <= 60 * 1024);
        p.kill();
        p.waitForFinished();
    }
    figure("startup_median", median(startUp), "ms", "<= 300 ms", median(startUp) <= 300);

    // Both at once, over the same spans of time.
    QProcess window, bare;
    window.start(QCoreApplication::applicationFilePath(), {"--window"});
    bare.start(QCoreApplication::applicationFilePath(), {"--bare"});
    window.waitForReadyRead(10000);
    bare.waitForReadyRead(10000);
    QThread::msleep(500);
    std::vector<double> w, b, ratio; // % of one core over three 10 s spans, side by side
    for (int span = 0; span < 3; ++span) {
        const double w0 = cpuSeconds(window.processId()), b0 = cpuSeconds(bare.processId());
        QThread::sleep(10);
        w.push_back((cpuSeconds(window.processId()) - w0) * 10);
        b.push_back((cpuSeconds(bare.processId()) - b0) * 10);
        ratio.push_back(w.back() / b.back());
    }
    window.kill();
    bare.kill();
    window.waitForFinished();
    bare.waitForFinished();
    std::printf("idle_cpu: window %.2f %%, its layout with a 1 ms timer %.2f %% of one core "
                "(medians of three 10 s spans)\n",
                median(w), median(b));
    figure("idle_cpu_ratio", median(ratio), "x the floor", "<= 1.2", median(ratio) <= 1.2);
}

void loading()
{
    QTemporaryDir dir;
    std::vector<double> ms;
    for (int run = 0; run < kRuns; ++run) {
        QElapsedTimer clock;
        clock.start();
        allMet = qx::package::loadPackage(dir.path(), qx::package::embeddedPackage()).ok && allMet;
        ms.push_back(double(clock.nsecsElapsed()) / 1e6);
    }
    figure("load_package_median", median(ms), "ms", "<= 20 ms", median(ms) <= 20);
}

// The transfer's floor: the same simulator on a pty of its own, a bare QSerialPort, the same
// 1 ms single-shot precise timer from each accepted reply to the next send, and the display
// the technician watches: the window's own layout on the screen, its bar and percentage set
// at each step as the window sets them. No logic of the window's is in it.
class MinimalSender : public QObject
{
public:
    explicit MinimalSender(const qx::package::Package& package) : package_(package)
    {
        ui_.setupUi(&window_);
        bar_ = window_.findChild<QProgressBar*>("prgPercent");
        label_ = window_.findChild<QLabel*>("lblPercent");
        bar_->setMaximum(package.packetCount + 3);
        window_.show();
        port_.setPortName(sim_.slavePath);
        port_.open(QIODevice::ReadWrite);
        tick_.setSingleShot(true);
        tick_.setTimerType(Qt::PreciseTimer);
        tick_.setInterval(t::kSendIntervalMs);
        connect(&tick_, &QTimer::timeout, this, [this] {
            const auto bytes = t::sendBytes(state_, package_);
            port_.write(reinterpret_cast<const char*>(bytes.data()), qint64(bytes.size()));
        });
        connect(&port_, &QSerialPort::readyRead, this, &MinimalSender::reply);
    }
    bool run()
    {
        state_ = 0;
        done_ = false;
        bar_->setValue(0);
        sim_.stream.clear();
        const int before = sim_.completed;
        tick_.start();
        return waitFor([this] { return done_; }, 60000) && sim_.completed == before + 1;
    }

private:
    void reply()
    {
        const int needed = t::ruleOf(t::stepOf(state_, package_.packetCount)).replyThreshold;
        if (port_.bytesAvailable() < needed)
            return;
        const QByteArray r = port_.readAll();
        const auto verdict =
            t::judgeReply(state_, package_.packetCount,
                          {reinterpret_cast<const std::uint8_t*>(r.data()), std::size_t(r.size())});
        done_ = verdict != t::Verdict::Advance;
        if (!done_) {
            ++state_;
            bar_->setValue(bar_->value() + 1);
            tick_.start();
            label_->setText("Completion percentage" +
                            QString::fromStdString(
                                t::percentText(float(bar_->value()), float(bar_->maximum()))));
        }
    }

    const qx::package::Package& package_;
    QWidget window_;
    Ui::Form1 ui_;
    QProgressBar* bar_;
    QLabel* label_;
    BootLoader sim_;
    QSerialPort port_;
    QTimer tick_;
    int state_ = 0;
    bool done_ = false;
};

double transfers() // the window's median, in ms
{
    Rig rig;
    rig.connectPort();
    MinimalSender floor(rig.form->package);
    const auto transfer = [&] {
        rig.sim.stream.clear(); // the simulator's record is not the window's memory
        rig.update(60000);
    };
    std::vector<double> window, bare;
    for (int run = 0; run < kRuns; ++run) { // side by side, so drift hits both alike
        QElapsedTimer clock;
        clock.start();
        allMet = floor.run() && allMet;
        bare.push_back(double(clock.nsecsElapsed()) / 1e6);
        clock.start();
        transfer();
        window.push_back(double(clock.nsecsElapsed()) / 1e6);
    }
    const bool whole = rig.sim.completed == kRuns;
    std::printf("transfer_372_packets: window median %.1f ms, minimal sender median %.1f ms; "
                "%.3f ms a step\n",
                median(window), median(bare), median(window) / kSteps);
    figure("transfer_ratio", median(window) / median(bare), "x the floor", "<= 1.1",
           whole && median(window) <= 1.1 * median(bare));
    const double overhead = median(window) / 1000.0 / kWireSeconds * 100.0;
    figure("overhead_over_wire_time", overhead, "%", "<= 1 % of 66.5 s at 57600 8N1",
           overhead <= 1.0);

    // From the 10th transfer on: what the first ones set up once (the system bus asked for a
    // sleep hold, say) is not a leak.
    long at10 = 0;
    int descriptorsAt10 = 0;
    for (int run = kRuns + 1; run <= 100; ++run) {
        transfer();
        if (run == 10) {
            at10 = residentKiB(QCoreApplication::applicationPid());
            waitFor([] { return false; }, 100);
            descriptorsAt10 = openDescriptors();
        }
    }
    const long at100 = residentKiB(QCoreApplication::applicationPid());
    const bool all =
        rig.sim.completed == 100 && rig.boxes.texts.count("Upgrade Successfully") == 100;
    figure("soak_rss_growth_10_to_100", double(at100 - at10) / 1024, "MB",
           "< 1 MB, all 100 transfers whole", all && at100 - at10 < 1024);
    figure("rss_after_100_transfers", double(at100) / 1024, "MB",
           "<= 60 MB (the simulator runs in this process too)", at100 <= 60 * 1024);
    waitFor([] { return false; }, 100);
    std::printf("open_descriptors: %d after the 10th transfer, %d after the 100th\n",
                descriptorsAt10, openDescriptors());
    figure("descriptors_leaked", openDescriptors() - descriptorsAt10, "", "0",
           openDescriptors() == descriptorsAt10);
    return median(window);
}

// The program from the command line, as a bench runs it: milliseconds from its first line to
// its last, or -1 if it did not exit 0.
double commandLine(const QStringList& ports)
{
    QProcess program;
    QElapsedTimer clock;
    program.start(QCoreApplication::applicationDirPath() + "/../qx-lp4r-updater",
                  QStringList{"--update"} + ports);
    waitFor([&] { return program.canReadLine(); }, 10000);
    clock.start();
    waitFor([&] { return program.state() == QProcess::NotRunning; }, 300000);
    const double ms = double(clock.nsecsElapsed()) / 1e6;
    return program.exitCode() == 0 ? ms : -1;
}

// Its step turnaround against the window's, each against an instant device; then four devices
// against one, on wires paced at kPacedBaud so that the program's work is what shows.
void commandLines(double windowMs)
{
    std::vector<double> alone;
    BootLoader instant;
    for (int run = 0; run < kRuns; ++run)
        alone.push_back(commandLine({instant.slavePath}));
    std::printf("command_line_step: %.3f ms a step, the window %.3f ms a step (the same "
                "transfer against the same instant device)\n",
                median(alone) / kSteps, windowMs / kSteps);
    figure("command_line_step_ratio", median(alone) / windowMs, "x the window", "<= 1.1",
           *std::min_element(alone.begin(), alone.end()) > 0 && median(alone) <= 1.1 * windowMs);

    std::array<BootLoader, 4> paced;
    QStringList ports;
    for (BootLoader& sim : paced) {
        sim.baud = kPacedBaud;
        ports << sim.slavePath;
    }
    const double one = commandLine(ports.mid(0, 1));
    const double four = commandLine(ports);
    std::printf("command_line_four_devices: four at once %.0f ms, one %.0f ms (wires paced at "
                "%d baud)\n",
                four, one, kPacedBaud);
    figure("four_devices_ratio", four / one, "x one device", "<= 1.2",
           one > 0 && four > 0 && four <= 1.2 * one);
}

// `measured` against its `floor`, both started and each saying a line once ready: CPU use as %
// of one core, medians of three 5 s spans side by side; both are ended afterwards. Both sleep in
// the event loop, so below a hundredth of a percent of a core the counts are noise.
void idleFigure(const char* name, QProcess& measured, QProcess& floor, const char* what,
                const char* floorWhat)
{
    constexpr int kSpanSeconds = 5;
    measured.waitForReadyRead(10000);
    floor.waitForReadyRead(10000);
    QThread::msleep(500);
    std::vector<double> m, f;
    for (int span = 0; span < 3; ++span) {
        const double m0 = cpuSeconds(measured.processId()), f0 = cpuSeconds(floor.processId());
        QThread::sleep(kSpanSeconds);
        m.push_back((cpuSeconds(measured.processId()) - m0) * 100 / kSpanSeconds);
        f.push_back((cpuSeconds(floor.processId()) - f0) * 100 / kSpanSeconds);
    }
    for (QProcess* p : {&measured, &floor}) {
        p->kill();
        p->waitForFinished();
    }
    std::printf("%s: %s %.4f %%, %s %.4f %% of one core (medians of three %d s spans)\n", name,
                what, median(m), floorWhat, median(f), kSpanSeconds);
    figure((std::string(name) + "_ratio").c_str(), median(m) / std::max(median(f), 1e-9),
           "x the floor", "<= 1.2, or within 0.01 % of a core of it",
           median(m) <= 1.2 * median(f) || median(m) - median(f) <= 0.01);
}

// Eight devices against one, each run's milliseconds (< 0: not every device was done), on
// paced wires.
void eightAgainstOne(const char* name, double eight, double one, const char* how)
{
    std::printf("%s: eight %s %.0f ms, one %.0f ms (wires paced at %d baud)\n", name, how, eight,
                one, kPacedBaud);
    figure((std::string(name) + "_ratio").c_str(), eight / one, "x one device", "<= 1.2",
           one > 0 && eight > 0 && eight <= 1.2 * one);
}

// Eight devices plugged in at once into a station with --skip-current, the first four running
// this firmware already (as the earlier runs left them): each of those is released soon after
// its settle time, and the other four are updated about as fast as one device without checks.
template <typename Serve, typename Stop>
void stationSkippingCurrent(std::array<BootLoader, 8>& paced, Serve serve, Stop stop, double one)
{
    for (int k = 4; k < 8; ++k)
        paced[k].versionReply = "QX-LP4R-V1.3.6.bin\r\n";
    std::vector<int> before;
    for (const BootLoader& sim : paced)
        before.push_back(sim.completed);
    QProcess p;
    const QStringList named = serve(p, 8, {"--skip-current"});
    p.readAllStandardOutput(); // the banner
    QElapsedTimer clock;
    clock.start();
    for (int k = 0; k < 8; ++k)
        QFile::link(paced[k].slavePath, named[k]);
    std::vector<double> released; // from the plug to each current device's outcome
    QObject::connect(&p, &QProcess::readyReadStandardOutput, [&] {
        while (p.canReadLine())
            if (p.readLine().contains(": current ("))
                released.push_back(double(clock.nsecsElapsed()) / 1e6);
    });
    const bool all = waitFor(
        [&] {
            for (int k = 4; k < 8; ++k)
                if (paced[k].completed == before[k])
                    return false;
            return released.size() == 4;
        },
        120000);
    const double four = all ? double(clock.nsecsElapsed()) / 1e6 : -1;
    stop(p, named);
    const double slowest =
        released.empty() ? 1e9 : *std::max_element(released.begin(), released.end());
    std::printf("station_current_release: the four current devices released %.0f ms after the "
                "plug at the latest, of which 1000 ms is the settle time\n",
                slowest);
    figure("station_current_over_settle", slowest - 1000, "ms", "<= 500 ms",
           all && slowest - 1000 <= 500);
    std::printf("station_four_updated: four of eight updated after their check in %.0f ms, one "
                "device without checks %.0f ms\n",
                four, one);
    figure("station_four_updated_ratio", four / one, "x one device", "<= 1.1",
           all && one > 0 && four <= 1.1 * one);
}

// The station: idle CPU with nothing plugged in against a bare Qt event loop, the time from a
// port appearing to its menu command against the settle time, and eight devices plugged in at
// once against one.
void station()
{
    const QString program = QCoreApplication::applicationDirPath() + "/../qx-lp4r-updater";
    QProcess idle, loop;
    idle.start(program, {"--station"});
    loop.start(QCoreApplication::applicationFilePath(), {"--loop"});
    idleFigure("station_idle_cpu", idle, loop, "the station", "a bare Qt event loop");

    // Each device is a /dev/ttyUSB<k> link that appears; the station serves it by that name.
    const auto serve = [&](QProcess& station, int count, const QStringList& options = {}) {
        QStringList named;
        for (int k = 0; k < count; ++k)
            named << QStringLiteral("/dev/ttyUSB%1").arg(24 + k);
        station.start(program, QStringList{"--station"} + options + named);
        station.waitForReadyRead(10000);
        return named;
    };
    const auto stop = [](QProcess& station, const QStringList& named) {
        for (const QString& path : named)
            QFile::remove(path);
        station.kill();
        station.waitForFinished();
    };
    std::vector<double> toMenu;
    {
        BootLoader sim;
        QElapsedTimer sincePlug;
        sim.onItem = [&](int item) {
            if (item == 0)
                toMenu.push_back(double(sincePlug.nsecsElapsed()) / 1e6);
        };
        QProcess p;
        const QStringList named = serve(p, 1);
        for (int run = 0; run < kRuns; ++run) {
            QFile::link(sim.slavePath, named[0]);
            sincePlug.start();
            waitFor([&] { return sim.completed == run + 1; }, 30000);
            QFile::remove(named[0]);
            waitFor([] { return false; }, 500); // gone, so that the next link is a new plug
        }
        stop(p, named);
    }
    const double overSettle = toMenu.size() == kRuns ? median(toMenu) - 1000 : 1e9;
    std::printf("station_plug_to_menu: %.0f ms from the port appearing to the menu command "
                "(median of %d), of which 1000 ms is the settle time\n",
                median(toMenu), kRuns);
    figure("station_plug_to_menu_over_settle", overSettle, "ms", "<= 300 ms", overSettle <= 300);

    std::array<BootLoader, 8> paced;
    for (BootLoader& sim : paced)
        sim.baud = kPacedBaud;
    const auto plugged = [&](int count) {
        QProcess p;
        const QStringList named = serve(p, count);
        std::vector<int> before;
        for (const BootLoader& sim : paced)
            before.push_back(sim.completed);
        QElapsedTimer clock;
        clock.start();
        for (int k = 0; k < count; ++k)
            QFile::link(paced[k].slavePath, named[k]);
        const bool all = waitFor(
            [&] {
                for (int k = 0; k < count; ++k)
                    if (paced[k].completed == before[k])
                        return false;
                return true;
            },
            120000);
        const double ms = double(clock.nsecsElapsed()) / 1e6;
        stop(p, named);
        return all ? ms : -1;
    };
    const double one = plugged(1);
    eightAgainstOne("station_eight_devices", plugged(8), one,
                    "plugged in at once, from the plug to the last one done");
    stationSkippingCurrent(paced, serve, stop, one);
}

// A child process showing the bench window with eight rows (devices on ptys of its own), or
// its floor: the same layout with eight rows and their bars, and none of its logic. It says
// when it is on the screen.
int benchChild(int argc, char** argv, bool bare)
{
    QApplication app(argc, argv);
    std::array<BootLoader, 8> sims;
    Machine machine;
    for (const BootLoader& sim : sims)
        machine.paths->append(sim.slavePath);
    QTemporaryDir state;
    std::unique_ptr<QWidget> window;
    Ui::BenchWindow layout;
    if (bare) {
        window = std::make_unique<QWidget>();
        layout.setupUi(window.get());
        for (const BootLoader& sim : sims) {
            auto* row =
                new QTreeWidgetItem(layout.rows, {"COM97", sim.slavePath, "", "", "waiting"});
            row->setCheckState(0, Qt::Checked);
            layout.rows->setItemWidget(row, 3, new QProgressBar);
        }
        layout.scan->setFocus(); // the scanner types there, its cursor still as in the window
        QApplication::setCursorFlashTime(0);
    } else {
        window = std::make_unique<qx::ui::BenchWindow>(
            qx::service::Setup{.devices = machine.devices(), .recordFolder = state.path()});
    }
    return showAndRun(app, *window);
}

// The bench window: its idle CPU with eight rows against its floor, and eight devices updated
// at once through it against one.
void benchWindow()
{
    QProcess window, bare;
    window.start(QCoreApplication::applicationFilePath(), {"--bench-window"});
    bare.start(QCoreApplication::applicationFilePath(), {"--bench-layout"});
    idleFigure("bench_window_idle_cpu", window, bare, "eight rows", "its layout");

    std::array<BootLoader, 8> paced;
    const auto updated = [&](int count) {
        Machine machine;
        for (int k = 0; k < count; ++k) {
            paced[k].baud = kPacedBaud;
            machine.paths->append(paced[k].slavePath);
        }
        QTemporaryDir state;
        qx::ui::BenchWindow bench({.devices = machine.devices(), .recordFolder = state.path()});
        bench.show();
        const auto* counters = bench.findChild<QLabel*>("counters");
        const QString done = QStringLiteral("Updated: %1   Current: 0   Failed: 0").arg(count);
        QElapsedTimer clock;
        clock.start();
        QTest::mouseClick(bench.findChild<QPushButton*>("startButton"), Qt::LeftButton);
        const bool all = waitFor([&] { return counters->text() == done; }, 120000);
        return all ? double(clock.nsecsElapsed()) / 1e6 : -1;
    };
    const double one = updated(1);
    eightAgainstOne("bench_window_eight_devices", updated(8), one, "from Start to all done");
}

// The offscreen platform warns about every message box; the figures are what matter here.
void quiet(QtMsgType type, const QMessageLogContext&, const QString& message)
{
    if (type != QtDebugMsg && !message.contains(QLatin1String("propagateSizeHints")))
        std::fprintf(stderr, "%s\n", qPrintable(message));
}

} // namespace

// The window's transfer with a shared record on a live server and on one that takes the
// connection and never answers, each beside the same transfer without one.
void sharedRecord()
{
    Postgres server;
    // Takes the connection and never answers: libpq waits there for its time-out.
    int port = 0;
    const int mute = loopbackListener(port);
    const auto unanswering = std::get<qx::service::Database>(
        qx::service::parseRecordTo(QString("postgresql://postgres@127.0.0.1:%1/qx").arg(port)));
    Rig plain, live({}, {}, server.database()), dead({}, {}, unanswering);
    std::vector<double> without, withLive, withDead;
    for (Rig* rig : {&plain, &live, &dead})
        rig->connectPort();
    for (int run = 0; run < 3 * kRuns; ++run) { // side by side, so drift hits all alike
        for (auto [rig, times] :
             {std::pair{&plain, &without}, {&live, &withLive}, {&dead, &withDead}}) {
            rig->sim.stream.clear();
            QElapsedTimer clock;
            clock.start();
            allMet = rig->update(60000) && allMet;
            times->push_back(double(clock.nsecsElapsed()) / 1e6);
        }
    }
    const auto delivered = server.psql("SELECT count(*) FROM service_record");
    std::printf("shared_record: transfer median %.1f ms without, %.1f ms live (%s lines in the "
                "table), %.1f ms with a server that never answers\n",
                median(without), median(withLive),
                qPrintable(delivered.value_or(QStringList{"?"}).value(0)), median(withDead));
    figure("shared_live_ratio", median(withLive) / median(without), "x without", "<= 1.02",
           server.ok && median(withLive) <= 1.02 * median(without));
    figure("shared_unanswering_ratio", median(withDead) / median(without), "x without", "<= 1.02",
           median(withDead) <= 1.02 * median(without));
    ::close(mute);
}

// An update recorded (the default: its trace kept only had it failed) against one not recorded
// at all, and one whose trace is written too: side by side, against an instant device, so that
// the program's own work is all there is to slow.
void tracing()
{
    BootLoader sim;
    std::vector<double> off, failures, all;
    for (int run = 0; run < 4 * kRuns; ++run) {
        for (auto [keep, times] :
             {std::pair{"off", &off}, {"failures", &failures}, {"all", &all}}) {
            CommandLineRun commandLine;
            QElapsedTimer clock;
            clock.start();
            allMet =
                commandLine.run({"--update", sim.slavePath, "--trace", keep}, 60000) == 0 && allMet;
            times->push_back(double(clock.nsecsElapsed()) / 1e6);
            const auto kept = QDir(commandLine.recordDir.filePath("traces")).entryList(QDir::Files);
            allMet = kept.size() == (keep == std::string_view("all")) && allMet;
            sim.stream.clear();
        }
    }
    std::printf("tracing: update median %.1f ms untraced, %.1f ms traced, %.1f ms traced and its "
                "trace written\n",
                median(off), median(failures), median(all));
    figure("tracing_ratio", median(failures) / median(off), "x untraced", "<= 1.01",
           median(failures) <= 1.01 * median(off));
}

// A TCP relay on 127.0.0.1 to `target` that holds each direction's bytes for `delayMs`: a link
// with that latency each way. It serves connections until it is destroyed.
class DelayRelay
{
public:
    DelayRelay(int target, int delayMs) : target_(target), delay_(delayMs)
    {
        listener_ = loopbackListener(port);
        accepting_ = std::thread([this] {
            for (int client; (client = ::accept(listener_, nullptr, nullptr)) >= 0;) {
                const int server = ::socket(AF_INET, SOCK_STREAM, 0);
                sockaddr_in address{};
                address.sin_family = AF_INET;
                address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
                address.sin_port = htons(quint16(target_));
                ::connect(server, reinterpret_cast<sockaddr*>(&address), sizeof address);
                pumps_.emplace_back([this, client, server] { pump(client, server); });
                pumps_.emplace_back([this, client, server] { pump(server, client); });
            }
        });
    }
    ~DelayRelay()
    {
        ::shutdown(listener_, SHUT_RDWR);
        accepting_.join();
        ::close(listener_);
        for (std::thread& pump : pumps_)
            pump.join();
    }
    int port = 0;

private:
    // What `from` sends reaches `to` `delay_` later; its end ends `to`'s writing side.
    void pump(int from, int to)
    {
        using Clock = std::chrono::steady_clock;
        std::mutex lock;
        std::condition_variable arrived;
        std::deque<std::pair<Clock::time_point, QByteArray>> held;
        bool ended = false;
        std::thread writer([&] {
            for (;;) {
                std::unique_lock hold(lock);
                arrived.wait(hold, [&] { return ended || !held.empty(); });
                if (held.empty())
                    break;
                auto [due, bytes] = held.front();
                held.pop_front();
                hold.unlock();
                std::this_thread::sleep_until(due);
                for (qsizetype at = 0, n = 0; at < bytes.size(); at += n)
                    if ((n = ::write(to, bytes.constData() + at, size_t(bytes.size() - at))) <= 0)
                        break;
            }
            ::shutdown(to, SHUT_WR);
        });
        char buffer[65536];
        for (ssize_t n; (n = ::read(from, buffer, sizeof buffer)) > 0;) {
            const std::lock_guard hold(lock);
            held.emplace_back(Clock::now() + std::chrono::milliseconds(delay_),
                              QByteArray(buffer, n));
            arrived.notify_one();
        }
        {
            const std::lock_guard hold(lock);
            ended = true;
            arrived.notify_one();
        }
        writer.join();
    }

    int target_, delay_, listener_ = -1;
    std::thread accepting_;
    std::vector<std::thread> pumps_;
};

// Milliseconds the delivering process takes to drain `lines` waiting lines to `url`, asked
// again whenever a try gives way with more to go; negative if it did not drain them.
double drainMs(const QString& url, int lines)
{
    QTemporaryDir folder;
    const auto database = std::get<qx::service::Database>(qx::service::parseRecordTo(url));
    const qx::service::Outbox outbox(folder.path(), database);
    QByteArray waiting;
    for (int i = 0; i < lines; ++i)
        waiting += qx::service::outboxLine(
            QUuid::createUuid().toString(QUuid::WithoutBraces),
            {"2026-12-09T10:00:00+01:00", "67.125", "bench", "technician", "COM3",
             "\\Device\\VCP0, FTDI", "update", "QX-LP4R-V1.3.7.bin", "380929", QString(64, 'a'),
             "no", i % 10 ? "success" : "failure", i % 10 ? "" : "no answer to the menu command",
             "", "1.3.7"});
    qx::service::appendLines(outbox.path, waiting);
    QProcess deliverer;
    deliverer.start(QX_PROGRAM, {qx::service::kDeliverOption, folder.path(), "--record-to", url});
    QElapsedTimer clock;
    clock.start();
    QJsonObject answer;
    do {
        deliverer.write("deliver\n");
        while (!deliverer.canReadLine() && deliverer.waitForReadyRead(60000)) {
        }
        answer = QJsonDocument::fromJson(deliverer.readLine()).object();
    } while (answer["waiting"].toInt() > 0 && answer["why"].toString().isEmpty());
    const double ms = double(clock.nsecsElapsed()) / 1e6;
    deliverer.closeWriteChannel();
    deliverer.waitForFinished(10000);
    return answer["waiting"] == 0 ? ms : -1;
}

// A backlog's drain over a link with latency, against the same backlog without it: what the
// latency costs each batch of 500 lines, in round trips.
void sharedBacklog()
{
    constexpr int kLines = 10000, kDelayMs = 25, kBatches = kLines / 500;
    Postgres server;
    DelayRelay relay(server.port, kDelayMs);
    QString delayed = server.url();
    delayed.replace(QString(":%1/").arg(server.port), QString(":%1/").arg(relay.port));
    const double direct = drainMs(server.url(), kLines), far = drainMs(delayed, kLines);
    const double roundTrips = (far - direct) / kBatches / (2 * kDelayMs);
    std::printf("shared_backlog: %d lines drained in %.0f ms directly, %.0f ms with %d ms each "
                "way\n",
                kLines, direct, far, kDelayMs);
    figure("shared_backlog_round_trips_per_batch", roundTrips, "round trips a batch of 500",
           "<= 8, and drained within 30 s",
           direct > 0 && far > 0 && far < 30000 && roundTrips <= 8);
}

int main(int argc, char** argv)
{
    qInstallMessageHandler(quiet);
    const QString mode = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QString();
    if (mode == "--window" || mode == "--bare")
        return child(argc, argv, mode == "--bare");
    if (mode == "--bench-window" || mode == "--bench-layout")
        return benchChild(argc, argv, mode == "--bench-layout");
    if (mode == "--loop") { // the station's floor: an event loop with nothing to do
        QCoreApplication app(argc, argv);
        std::printf("ready\n");
        std::fflush(stdout);
        return app.exec();
    }
    QTemporaryDir state; // the command line's service record goes here, not to the user's
    qputenv("XDG_STATE_HOME", state.path().toLocal8Bit());
    QApplication app(argc, argv);
    std::printf("machine: %ld cores, %s\n", sysconf(_SC_NPROCESSORS_ONLN),
                qPrintable(QSysInfo::prettyProductName()));
    const bool all = mode.isEmpty() || mode == "--check";
    if (all) {
        loading();
        startUpAndIdle();
        commandLines(transfers());
    }
    if (all || mode == "--tracing")
        tracing();
    if (all || mode == "--station")
        station();
    if (all || mode == "--bench")
        benchWindow();
    if (all || mode == "--shared") {
        sharedRecord();
        sharedBacklog();
    }
    return !mode.isEmpty() && !allMet ? 1 : 0;
}
