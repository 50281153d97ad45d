// The program's one parser: --language wherever it stands, then the first argument chooses the
// face, and QCommandLineParser reads our options.
#include "arguments.h"

#include "servedports.h"
#include "sharedrecord.h"

#include <QCommandLineParser>

namespace qx::ui {

namespace {

// What --help says besides the options QCommandLineParser lists: the windows' own options, the
// ports and the exit status.
const char kAbout[] = R"(Installs the QX-LP4R firmware built into this program, over a serial line.
Without arguments the window opens.

Windows:
  --bench [--start-on-plug] [PORT...]  the bench window: a row for each PORT, or for every
                    port; with --start-on-plug each device starts when it is plugged in
  --language zh|en  the windows' language: Simplified Chinese or English; by default the
                    system's (Simplified Chinese on a zh-CN, zh-Hans or zh-SG system, else English)
  --open-record-folder  show the folder of the service record in the file manager

Every face:
  --record-to URL   also deliver each line of the service record, exactly once, to the
                    PostgreSQL database at URL: postgresql://[user@]host[:port]/dbname[?...]
                    or service=NAME; the password comes from libpq's password or service
                    file. QX_RECORD_TO gives it as well; --record-to wins.

A PORT is COM<n> as --list shows it, or on Linux a device's path such as /dev/ttyUSB0 or
/dev/serial/by-id/... (which stays the same when the adapter is plugged in again).
Exit status: 0 every device succeeded, 1 any failed or was interrupted, 2 a usage error.)";

bool ours(const QString& argument)
{
    return argument.startsWith(QLatin1String("--")) || argument == QLatin1String("-h") ||
           argument == QLatin1String("-v");
}

} // namespace

QString usageLine(const QString& problem)
{
    return QStringLiteral("qx-lp4r-updater: %1; see --help").arg(problem);
}

std::variant<Arguments, QString> parseArguments(const QStringList& given,
                                                const QString& recordToFromEnvironment)
{
    Arguments a;
    QStringList rest = given;
    // Every face's options, wherever they stand.
    if (const qsizetype at = rest.indexOf(QLatin1String("--language")); at >= 0) {
        a.language = rest.value(at + 1);
        if (a.language != QLatin1String("zh") && a.language != QLatin1String("en"))
            return QStringLiteral("--language takes zh or en");
        rest.remove(at, 2);
    }
    a.recordTo = recordToFromEnvironment;
    if (const qsizetype at = rest.indexOf(QLatin1String("--record-to")); at >= 0) {
        a.recordTo = rest.value(at + 1);
        if (a.recordTo.isEmpty())
            return QStringLiteral("--record-to takes a database's URL");
        rest.remove(at, 2);
    }
    if (!a.recordTo.isEmpty())
        if (const auto database = service::parseRecordTo(a.recordTo);
            const auto* problem = std::get_if<QString>(&database))
            return *problem;
    if (rest.isEmpty() || !ours(rest.first()))
        return a; // the window, with whatever Qt's own options are there

    if (rest.first() == QLatin1String("--bench")) {
        a.face = Arguments::Face::Bench;
        for (const QString& argument : rest.mid(1)) {
            if (argument == QLatin1String("--start-on-plug"))
                a.startOnPlug = true;
            else if (service::isPortName(argument))
                a.ports << argument;
            else
                return QStringLiteral("--bench: '%1' is not a port").arg(argument);
        }
        return a;
    }
    if (rest.first() == QLatin1String(service::kDeliverOption)) {
        // The program started by itself to deliver the shared record: not for people.
        if (rest.size() != 2 || a.recordTo.isEmpty())
            return QStringLiteral("%1 takes a record folder and --record-to")
                .arg(service::kDeliverOption);
        a.face = Arguments::Face::Delivery;
        a.recordFolder = rest.last();
        return a;
    }
    if (rest == QStringList{QStringLiteral("--open-record-folder")}) {
        a.face = Arguments::Face::RecordFolder;
        return a;
    }

    a.face = Arguments::Face::CommandLine;
    QCommandLineParser parser;
    parser.setApplicationDescription(QString::fromLatin1(kAbout));
    const QCommandLineOption updateOption("update", "Update the device on each PORT, all at once."),
        queryOption("query", "Ask the device on each PORT which firmware it runs."),
        stationOption("station",
                      "Until Ctrl+C, update each device once as it is plugged in: on each "
                      "PORT whenever it is present, or without PORTs on every port that "
                      "appears."),
        listOption("list", "List the serial ports as the window does, with their devices.");
    const std::pair<const QCommandLineOption*, Arguments::Command> commands[] = {
        {&updateOption, Arguments::Command::Update},
        {&queryOption, Arguments::Command::Query},
        {&stationOption, Arguments::Command::Station},
        {&listOption, Arguments::Command::List},
    };
    for (const auto& [option, command] : commands)
        parser.addOption(*option);
    const QCommandLineOption json("json", "With --update, --query or --station: print one JSON "
                                          "object a line instead of the text lines.");
    parser.addOption(json);
    const QCommandLineOption help({"h", "help"}, "Show this text.");
    parser.addOption(help);
    const QCommandLineOption version({"v", "version"},
                                     "Show the program's version and its firmware's.");
    parser.addOption(version);
    parser.addPositionalArgument("PORT", "A port: COM<n>, or a device's path.", "[PORT...]");
    if (!parser.parse(QStringList{QStringLiteral("qx-lp4r-updater")} + rest)) {
        const QString unknown = parser.unknownOptionNames().value(0);
        return unknown.isEmpty() ? parser.errorText()
                                 : QStringLiteral("unknown option '%1%2'")
                                       .arg(unknown.size() == 1 ? "-" : "--", unknown);
    }
    if (parser.isSet(help)) {
        a.command = Arguments::Command::Help;
        // Parsed before the application object exists, or in a test: the name is ours.
        a.helpText = parser.helpText().trimmed();
        a.helpText.replace(0, a.helpText.indexOf(QLatin1String(" [options]")),
                           QStringLiteral("Usage: qx-lp4r-updater"));
        return a;
    }
    if (parser.isSet(version)) {
        a.command = Arguments::Command::Version;
        return a;
    }
    QStringList chosen;
    for (const auto& [option, command] : commands)
        if (parser.isSet(*option)) {
            chosen << "--" + option->names().first();
            a.command = command;
        }
    if (chosen.size() != 1)
        return chosen.isEmpty()
                   ? QStringLiteral("give one of --update, --query, --station and --list")
                   : chosen.join(" and ") + " cannot go together";
    a.ports = parser.positionalArguments();
    a.json = parser.isSet(json);
    if (a.json && a.command == Arguments::Command::List)
        return QStringLiteral("--json goes with --update, --query or --station");
    if (a.command == Arguments::Command::List && !a.ports.isEmpty())
        return QStringLiteral("--list takes no ports");
    if ((a.command == Arguments::Command::Update || a.command == Arguments::Command::Query) &&
        a.ports.isEmpty())
        return chosen.first() + " needs at least one port";
    return a;
}

} // namespace qx::ui
