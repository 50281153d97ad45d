// Renders the real main window to a PNG for the README: one pseudo-terminal in the port
// list, connected, after a version query against the simulated boot loader.
//   qx-screenshot OUT.png
#include "rig.h"

#include <QApplication>

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    if (argc != 2) {
        fprintf(stderr, "usage: qx-screenshot OUT.png\n");
        return 2;
    }
    Rig rig;
    rig.connectPort();
    rig.click("Command2");
    waitFor([&] { return rig.form->session().versionReplyCount > 0; }, 3000);
    waitFor([] { return false; }, 1200); // let the clock show a time
    return rig.form->grab().save(QString::fromLocal8Bit(argv[1])) ? 0 : 1;
}
