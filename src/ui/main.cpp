// The updater's entry: the window, the bench window, or without a window the command line when
// given its options.
#include "benchwindow.h"
#include "commandline.h"
#include "endrequests.h"
#include "form1.h"
#include "packageloader.h"
#include "platform.h"
#include "version.h"

#include <QApplication>
#include <QDesktopServices>
#include <QDir>
#include <QLocale>
#include <QUrl>

#include <algorithm>
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
    const QString folder = qx::platform::serviceRecordFolder();
    QDir().mkpath(folder);
    return QDesktopServices::openUrl(QUrl::fromLocalFile(folder)) ? 0 : 1;
}

// The windows' language, from --language or the system's.
quint8 language(const QString& choice)
{
    return qx::ui::languageFor(QLocale::system().uiLanguages(), choice);
}

// The bench window: --bench [--start-on-plug] [PORT...].
int bench(int argc, char** argv, const QString& choice)
{
    QApplication app(argc, argv);
    nameTheProgram();
    qx::ui::BenchSetup setup;
    setup.languageFlag = language(choice);
    const auto map = qx::serial::systemDeviceMap();
    for (const QString& argument : QCoreApplication::arguments().mid(2)) {
        if (argument == QLatin1String("--start-on-plug")) {
            setup.startOnPlug = true;
            continue;
        }
        setup.named << argument;
        const bool twice = argument == qx::service::namedTwice(setup.named, map);
        if (!qx::service::isPortName(argument) || twice) {
            std::fprintf(stderr, "qx-lp4r-updater: --bench: '%s' is %s; see --help\n",
                         qPrintable(argument), twice ? "named twice" : "not a port");
            return qx::ui::kExitUsage;
        }
    }
    std::fprintf(stderr, "qx-lp4r-updater: %s\n", qx::package::embeddedSummary().c_str());
    qx::ui::BenchWindow window(setup);
    qx::platform::InterruptWatcher requests;
    qx::ui::endOnRequest(requests, [&window] { window.endNow(); });
    window.show();
    return app.exec();
}

int main(int argc, char** argv)
{
    // --language zh|en, wherever it stands, chooses the windows' language; it is taken out here.
    QString choice;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--language") != 0)
            continue;
        choice = QString::fromLocal8Bit(i + 1 < argc ? argv[i + 1] : "");
        if (choice != QLatin1String("zh") && choice != QLatin1String("en")) {
            std::fprintf(stderr, "qx-lp4r-updater: --language takes zh or en; see --help\n");
            return qx::ui::kExitUsage;
        }
        std::copy(argv + i + 2, argv + argc + 1, argv + i); // argv[argc] is the null pointer
        argc -= 2;
        break;
    }
    if (argc == 2 && std::strcmp(argv[1], "--open-record-folder") == 0)
        return openRecordFolder(argc, argv);
    if (argc > 1 && std::strcmp(argv[1], "--bench") == 0)
        return bench(argc, argv, choice);
    // Our options begin with "--"; Qt's own (-style, -platform ...) still go to the window.
    if (argc > 1 && (std::strncmp(argv[1], "--", 2) == 0 || std::strcmp(argv[1], "-h") == 0 ||
                     std::strcmp(argv[1], "-v") == 0)) {
        // No display needed: a bench or a script may have none.
        QCoreApplication app(argc, argv);
        nameTheProgram();
        qx::platform::InterruptWatcher interrupts;
        qx::ui::CommandLine commandLine;
        QObject::connect(&interrupts, &qx::platform::InterruptWatcher::interrupted, &commandLine,
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
    Form1 window(Form1Setup{.languageFlag = language(choice)});
    qx::platform::InterruptWatcher requests;
    qx::ui::endOnRequest(requests, [&window] { window.close(); }); // as its close button does
    window.show();
    return app.exec();
}
