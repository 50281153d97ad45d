// The updater's entry: one window, no command line, no settings.
#include "form1.h"
#include "packageloader.h"

#include <QApplication>

#include <cstdio>

int main(int argc, char** argv)
{
    // Which firmware this program would install, for whoever started it from a terminal.
    std::fprintf(stderr, "qx-lp4r-updater: %s\n", qx::package::embeddedSummary().c_str());
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("QX-LP4R Firmware Updater"));
    QApplication::setApplicationVersion(QStringLiteral("1.3.7"));
    Form1 window;
    window.show();
    return app.exec();
}
