// Renders the real windows to PNGs for the README: the main window with one pseudo-terminal in
// its port list, connected, after a version query against the simulated boot loader; and the
// bench window mid-update, one device done, one refused, three on their way.
//   qx-screenshot WINDOW.png WINDOW-ZH.png BENCH.png (the main window in English and Chinese)
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
    int unit = 41; // each row's unit scanned, as a bench does before Start
    for (qx::service::ServedPort* port : bench.ports().ports())
        port->setUnitSerial(QStringLiteral("2412-00%1").arg(unit++));
    QTest::mouseClick(bench.findChild<QPushButton*>("startButton"), Qt::LeftButton);
    waitFor([&] { return sims[2].blocks > 150; }, 20000);
    return bench.grab().save(out);
}

// The main window in `language`, connected, after Get Version.
bool window(quint8 language, const QString& out)
{
    Rig rig;
    rig.form->formLoad(language);
    rig.connectPort();
    rig.click("Command2");
    waitFor([&] { return rig.form->session().versionReads() > 0; }, 3000);
    waitFor([] { return false; }, 1200); // let the clock show a time
    return rig.form->grab().save(out);
}
} // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    if (argc != 4) {
        fprintf(stderr, "usage: qx-screenshot WINDOW.png WINDOW-ZH.png BENCH.png\n");
        return 2;
    }
    const auto out = [&](int i) { return QString::fromLocal8Bit(argv[i]); };
    return window(0, out(1)) && window(1, out(2)) && benchMidUpdate(out(3)) ? 0 : 1;
}
