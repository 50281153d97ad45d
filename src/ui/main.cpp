// The updater's entry: the window, the bench window, or without a window the command line, as
// the arguments choose.
#include "arguments.h"
#include "benchwindow.h"
#include "commandline.h"
#include "delivery.h"
#include "endrequests.h"
#include "form1.h"
#include "inputlines.h"
#include "packageloader.h"
#include "platform.h"
#include "version.h"

#include <QApplication>
#include <QDesktopServices>
#include <QDir>
#include <QLocale>
#include <QUrl>

#include <cstdio>

namespace {

using qx::ui::Arguments;

void nameTheProgram()
{
    QCoreApplication::setApplicationName(QStringLiteral("QX-LP4R Firmware Updater"));
    QCoreApplication::setApplicationVersion(QStringLiteral(QX_VERSION));
}

int usage(const QString& problem)
{
    std::fprintf(stderr, "%s\n", qPrintable(qx::ui::usageLine(problem)));
    return qx::ui::kExitUsage;
}

// Which firmware this program would install, for whoever started a window from a terminal.
void sayWhichFirmware()
{
    std::fprintf(stderr, "qx-lp4r-updater: %s\n", qx::package::embeddedSummary().c_str());
}

// Where the record is kept: the policy's record folder, else the user's own.
QString recordFolderOf(const Arguments& arguments)
{
    return arguments.policy.recordFolder.isEmpty() ? qx::platform::serviceRecordFolder()
                                                   : arguments.policy.recordFolder;
}

// The windows' setup: the system's language unless --language chose one.
qx::service::Setup windowSetup(const Arguments& arguments)
{
    return {.recordFolder = recordFolderOf(arguments),
            .languageFlag =
                qx::ui::languageFor(QLocale::system().uiLanguages(), arguments.language),
            .recordTo = arguments.policy.recordTo};
}

// The service record's folder in the file manager (the Windows Start menu has an entry for it).
int openRecordFolder(int argc, char** argv)
{
    QApplication app(argc, argv);
    const QString folder = qx::platform::serviceRecordFolder();
    QDir().mkpath(folder);
    return QDesktopServices::openUrl(QUrl::fromLocalFile(folder)) ? 0 : 1;
}

int bench(int argc, char** argv, const Arguments& arguments)
{
    if (const QString problem =
            qx::service::checkSlots(arguments.policy, qx::serial::systemDeviceMap(), true);
        !problem.isEmpty())
        return usage(problem);
    if (const QString problem = qx::service::recordFolderProblem(recordFolderOf(arguments));
        !problem.isEmpty())
        return usage(problem);
    QApplication app(argc, argv);
    nameTheProgram();
    sayWhichFirmware();
    qx::ui::BenchWindow window(windowSetup(arguments), arguments.policy);
    qx::platform::InterruptWatcher requests;
    qx::ui::endOnRequest(requests, [&window] { window.endNow(); });
    window.show();
    return app.exec();
}

// No display needed: a bench or a script may have none.
int commandLine(int argc, char** argv, const Arguments& arguments)
{
    QCoreApplication app(argc, argv);
    nameTheProgram();
    qx::platform::InterruptWatcher interrupts;
    // An update, a query or a station keeps its record where it can, or touches no port.
    const bool serving = arguments.command == Arguments::Command::Update ||
                         arguments.command == Arguments::Command::Query ||
                         arguments.command == Arguments::Command::Station;
    if (const QString problem =
            serving ? qx::service::recordFolderProblem(recordFolderOf(arguments)) : QString();
        !problem.isEmpty())
        return usage(problem);
    qx::ui::CommandLine commandLine(qx::service::Setup{.recordFolder = recordFolderOf(arguments),
                                                       .recordTo = arguments.policy.recordTo});
    QObject::connect(&interrupts, &qx::platform::InterruptWatcher::interrupted, &commandLine,
                     &qx::ui::CommandLine::interrupt);
    if (const auto status = commandLine.start(arguments))
        return *status;
    // The station's serials come from a scanner at its terminal, or through a pipe.
    std::unique_ptr<qx::platform::InputLines> scans;
    if (arguments.command == Arguments::Command::Station) {
        scans = std::make_unique<qx::platform::InputLines>();
        QObject::connect(scans.get(), &qx::platform::InputLines::line, &commandLine,
                         &qx::ui::CommandLine::unitScanned);
        QObject::connect(scans.get(), &qx::platform::InputLines::ended, &commandLine,
                         &qx::ui::CommandLine::scansEnded);
    }
    QObject::connect(&commandLine, &qx::ui::CommandLine::finished, &app, &QCoreApplication::exit);
    return app.exec();
}

int window(int argc, char** argv, const Arguments& arguments)
{
    sayWhichFirmware();
    QApplication app(argc, argv); // takes Qt's own options (-style, -platform ...)
    nameTheProgram();
    Form1 window(windowSetup(arguments));
    qx::platform::InterruptWatcher requests;
    qx::ui::endOnRequest(requests, [&window] { window.close(); }); // as its close button does
    window.show();
    return app.exec();
}

} // namespace

int main(int argc, char** argv)
{
    QStringList given;
    for (int i = 1; i < argc; ++i)
        given << QString::fromLocal8Bit(argv[i]);
    const auto parsed = qx::ui::parseArguments(given, qEnvironmentVariable("QX_RECORD_TO"));
    if (const auto* problem = std::get_if<QString>(&parsed))
        return usage(*problem);
    const Arguments& arguments = std::get<Arguments>(parsed);
    switch (arguments.face) {
    case Arguments::Face::RecordFolder:
        return openRecordFolder(argc, argv);
    case Arguments::Face::Delivery: {
        QCoreApplication app(argc, argv); // for Qt SQL's drivers; no event loop
        return qx::service::serveDeliveries(arguments.recordFolder, *arguments.policy.recordTo);
    }
    case Arguments::Face::Bench:
        return bench(argc, argv, arguments);
    case Arguments::Face::CommandLine:
        return commandLine(argc, argv, arguments);
    case Arguments::Face::Window:
        break;
    }
    return window(argc, argv, arguments);
}
