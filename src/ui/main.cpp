// The updater's entry: the window, the bench window, or without a window the command line when
// given its options.
#include "benchwindow.h"
#include "commandline.h"
#include "form1.h"
#include "packageloader.h"
#include "system.h"
#include "version.h"

#include <QApplication>
#include <QDesktopServices>
#include <QDir>
#include <QUrl>

#include <cstdio>
#include <cstring>

namespace {
void nameTheProgram()
{
    QCoreApplication::setApplicationName(QStringLiteral("QX-LP4R Firmware Updater"));
    QCoreApplication::setApplicationVersion(QStringLiteral(QX_VERSION));
}
} // namespace

// The service record's folder in the file manager (the Windows Start menu has an entry for it).
int openRecordFolder(int argc, char** argv)
{
    QApplication app(argc, argv);
    const QString folder = qx::serial::serviceRecordFolder();
    QDir().mkpath(folder);
    return QDesktopServices::openUrl(QUrl::fromLocalFile(folder)) ? 0 : 1;
}

// The bench window: --bench [--start-on-plug] [PORT...].
int bench(int argc, char** argv)
{
    QApplication app(argc, argv);
    nameTheProgram();
    qx::ui::BenchSetup setup;
    for (const QString& argument : QCoreApplication::arguments().mid(2)) {
        if (argument == QLatin1String("--start-on-plug")) {
            setup.startOnPlug = true;
        } else if (!qx::service::isPortName(argument) || setup.named.contains(argument)) {
            std::fprintf(stderr, "qx-lp4r-updater: --bench: '%s' is %s; see --help\n",
                         qPrintable(argument),
                         setup.named.contains(argument) ? "named twice" : "not a port");
            return qx::ui::kExitUsage;
        } else {
            setup.named << argument;
        }
    }
    std::fprintf(stderr, "qx-lp4r-updater: %s\n", qx::package::embeddedSummary().c_str());
    qx::ui::BenchWindow window(setup);
    window.show();
    return app.exec();
}

int main(int argc, char** argv)
{
    if (argc == 2 && std::strcmp(argv[1], "--open-record-folder") == 0)
        return openRecordFolder(argc, argv);
    if (argc > 1 && std::strcmp(argv[1], "--bench") == 0)
        return bench(argc, argv);
    // Our options begin with "--"; Qt's own (-style, -platform ...) still go to the window.
    if (argc > 1 && (std::strncmp(argv[1], "--", 2) == 0 || std::strcmp(argv[1], "-h") == 0)) {
        // No display needed: a bench or a script may have none.
        QCoreApplication app(argc, argv);
        nameTheProgram();
        qx::serial::InterruptWatcher interrupts;
        qx::ui::CommandLine commandLine;
        QObject::connect(&interrupts, &qx::serial::InterruptWatcher::interrupted, &commandLine,
                         &qx::ui::CommandLine::interrupt);
        if (const auto status = commandLine.start(QCoreApplication::arguments().mid(1)))
            return *status;
        QObject::connect(&commandLine, &qx::ui::CommandLine::finished, &app,
                         &QCoreApplication::exit);
        return app.exec();
    }
    // Which firmware this program would install, for whoever started it from a terminal.
    std::fprintf(stderr, "qx-lp4r-updater: %s\n", qx::package::embeddedSummary().c_str());
    QApplication app(argc, argv);
    nameTheProgram();
    Form1 window;
    window.show();
    return app.exec();
}
