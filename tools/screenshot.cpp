// Renders the real windows to PNGs for the README: the main window with one pseudo-terminal in
// its port list, connected, after a version query against the simulated boot loader; and the
// bench window mid-update, one device done, one refused, three on their way.
//   qx-screenshot WINDOW.png BENCH.png
#include "benchwindow.h"
#include "rig.h"

#include <QApplication>
#include <QPushButton>

namespace {
bool benchMidUpdate(const QString& out)
{
    std::array<BootLoader, 5> sims;
    sims[1].script[1] = {"\x18\x18"}; // the header cancelled
    const int bauds[] = {0, 0, 576000, 288000, 192000};
    Machine machine;
    for (int i = 0; i < 5; ++i) {
        sims[i].baud = bauds[i];
        machine.paths->append(sims[i].slavePath);
    }
    QTemporaryDir state;
    qx::ui::BenchWindow bench({.devices = machine.devices(), .recordFolder = state.path()});
    bench.show();
    QTest::mouseClick(bench.findChild<QPushButton*>("startButton"), Qt::LeftButton);
    waitFor([&] { return sims[2].blocks > 150; }, 20000);
    return bench.grab().save(out);
}
} // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    if (argc != 3) {
        fprintf(stderr, "usage: qx-screenshot WINDOW.png BENCH.png\n");
        return 2;
    }
    Rig rig;
    rig.connectPort();
    rig.click("Command2");
    waitFor([&] { return rig.form->session().versionReplyCount > 0; }, 3000);
    waitFor([] { return false; }, 1200); // let the clock show a time
    const bool window = rig.form->grab().save(QString::fromLocal8Bit(argv[1]));
    return window && benchMidUpdate(QString::fromLocal8Bit(argv[2])) ? 0 : 1;
}
