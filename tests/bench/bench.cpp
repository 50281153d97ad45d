// The updater's figures: transfer time and per-step turnaround against the simulated boot
// loader, idle CPU, start-up time, loadPackage time and resident memory. One line a figure,
// "name: value unit (goal ...)"; --check exits 1 when a goal is missed.
#include "packageloader.h"
#include "rig.h"

#include <QApplication>
#include <QProcess>
#include <QSysInfo>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <unistd.h>

namespace {

constexpr int kRuns = 5;
constexpr int kSteps = 376;                                // states 0 .. 375
constexpr double kWireSeconds = 382928.0 * 10.0 / 57600.0; // 8N1: ten bits a byte
bool allMet = true;

struct Stats
{
    double min, median, max;
};

Stats stats(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return {v.front(), v[v.size() / 2], v.back()};
}

void figure(const char* name, double value, const char* unit, const char* goal, bool met)
{
    std::printf("%s: %.3f %s (goal %s)%s\n", name, value, unit, goal, met ? "" : "  MISSED");
    allMet = allMet && met;
}

void timed(const char* name, const Stats& s, const char* unit, const char* goal, bool met)
{
    std::printf("%s: min %.3f / median %.3f / max %.3f %s (goal %s)%s\n", name, s.min, s.median,
                s.max, unit, goal, met ? "" : "  MISSED");
    allMet = allMet && met;
}

long residentKiB(qint64 pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toLong();
    return -1;
}

double cpuSeconds(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray text = stat.readAll();
    const QList<QByteArray> f = text.mid(text.lastIndexOf(')') + 2).split(' ');
    return (f.value(11).toDouble() + f.value(12).toDouble()) / double(sysconf(_SC_CLK_TCK));
}

// The child: exactly what main() does, then says when the window is on the screen.
int child(int argc, char** argv)
{
    QApplication app(argc, argv);
    Form1 window;
    window.show();
    if (!QTest::qWaitForWindowExposed(&window))
        return 1;
    std::printf("shown\n");
    std::fflush(stdout);
    return app.exec();
}

void startupAndIdle(const QString& self)
{
    std::vector<double> startup;
    long rss = 0;
    double idle = 0;
    for (int run = 0; run < kRuns; ++run) {
        QProcess p;
        QElapsedTimer clock;
        clock.start();
        p.start(self, {"--child"});
        if (!p.waitForReadyRead(10000)) {
            std::printf("start-up: the window never showed\n");
            allMet = false;
            return;
        }
        startup.push_back(double(clock.nsecsElapsed()) / 1e6);
        if (run == 0) {
            QThread::msleep(500);
            rss = residentKiB(p.processId());
            const double before = cpuSeconds(p.processId());
            QThread::sleep(10);
            idle = (cpuSeconds(p.processId()) - before) / 10.0 * 100.0;
        }
        p.kill();
        p.waitForFinished();
    }
    timed("startup", stats(startup), "ms", "<= 300 ms", stats(startup).median <= 300);
    figure("idle_cpu", idle, "% of one core", "<= 1 %", idle <= 1.0);
    figure("rss_after_startup", rss / 1024.0, "MB", "<= 60 MB", rss / 1024.0 <= 60);
}

void loading()
{
    QTemporaryDir dir;
    std::vector<double> ms;
    for (int run = 0; run < kRuns; ++run) {
        QElapsedTimer clock;
        clock.start();
        const auto result = qx::package::loadPackage(dir.path(), qx::package::embeddedPackage());
        ms.push_back(double(clock.nsecsElapsed()) / 1e6);
        if (!result.ok)
            allMet = false;
    }
    timed("load_package", stats(ms), "ms", "<= 20 ms", stats(ms).median <= 20);
}

void transfers()
{
    Rig rig;
    if (!rig.connectPort()) {
        std::printf("transfer: cannot connect to the pty\n");
        allMet = false;
        return;
    }
    std::vector<double> ms;
    std::vector<qint64> turnarounds;
    for (int run = 0; run < kRuns; ++run) {
        rig.sim.clearStream();
        QElapsedTimer clock;
        clock.start();
        const int before = rig.boxes.count();
        rig.click("Command1");
        waitFor([&] { return rig.boxes.count() > before; }, 60000);
        ms.push_back(double(clock.nsecsElapsed()) / 1e6);
        waitFor([&] { return rig.idle(); }, 5000);
        turnarounds.insert(turnarounds.end(), rig.sim.turnarounds().begin(),
                           rig.sim.turnarounds().end());
    }
    const bool allSucceeded = rig.boxes.texts().count("Upgrade Successfully") == kRuns;
    const Stats t = stats(ms);
    const double goal = 1.25 * kSteps * 1.0;
    timed("transfer_372_packets", t, "ms",
          qPrintable(QStringLiteral("<= %1 ms, 1.25 x %2 steps x 1 ms").arg(goal).arg(kSteps)),
          allSucceeded && t.median <= goal);
    figure("time_per_step", t.median / kSteps, "ms", "none: for information", true);
    std::sort(turnarounds.begin(), turnarounds.end());
    const auto pct = [&](double p) {
        return turnarounds.empty()
                   ? 0.0
                   : double(turnarounds[std::size_t(p * (turnarounds.size() - 1))]) / 1e6;
    };
    figure("step_turnaround_p50", pct(0.50), "ms", "none: for information", true);
    figure("step_turnaround_p99", pct(0.99), "ms", "<= 3 ms", pct(0.99) <= 3.0);
    const double overhead = t.median / 1000.0 / kWireSeconds * 100.0;
    figure("overhead_over_wire_time", overhead, "%", "<= 1 % of 66.5 s at 57600 8N1",
           overhead <= 1.0);

    for (int run = kRuns; run < 100; ++run) {
        rig.sim.clearStream();
        rig.update(60000);
    }
    const long rss = residentKiB(QCoreApplication::applicationPid());
    figure("rss_after_100_transfers", rss / 1024.0, "MB",
           "<= 60 MB (this process also runs the simulator)", rss / 1024.0 <= 60);
}

} // namespace

// The offscreen platform warns about every message box; the figures are what matter here.
void quietHandler(QtMsgType type, const QMessageLogContext&, const QString& message)
{
    if (type != QtDebugMsg && !message.contains(QLatin1String("propagateSizeHints")))
        std::fprintf(stderr, "%s\n", qPrintable(message));
}

int main(int argc, char** argv)
{
    qInstallMessageHandler(quietHandler);
    const QStringList args = [&] {
        QStringList a;
        for (int i = 1; i < argc; ++i)
            a.append(QString::fromLocal8Bit(argv[i]));
        return a;
    }();
    if (args.contains("--child"))
        return child(argc, argv);
    QApplication app(argc, argv);
    std::printf("machine: %d cores, %s\n", int(sysconf(_SC_NPROCESSORS_ONLN)),
                qPrintable(QSysInfo::prettyProductName()));
    loading();
    startupAndIdle(QCoreApplication::applicationFilePath());
    transfers();
    return args.contains("--check") && !allMet ? 1 : 0;
}
