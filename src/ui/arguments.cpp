// The program's one parser: every face's options in one table, which --help lists grouped by
// face, read by one QCommandLineParser.
#include "arguments.h"

#include "delivery.h"
#include "inert.h"
#include "packageloader.h"
#include "platform.h"
#include "profile.h"
#include "servedports.h"
#include "servicerecord.h"
#include "texts.h"

#include <QCommandLineParser>
#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>

#include <algorithm>
#include <string_view>
#include <vector>

namespace qx::ui {

namespace {

using Face = Arguments::Face;
using Command = Arguments::Command;

// An option of ours: the group --help lists it in, and the face or command it chooses, if any.
struct Ours
{
    const char* heading;
    QCommandLineOption option;
    Face face = Face::Window; // chosen by giving the option; Window: it chooses none
    Command command = Command::None;
};

const char kWindow[] = "The window, which opens without options:";
const char kBench[] = "The bench window:";
const char kCommandLine[] = "The command line, without a window:";
const char kChecks[] = "Checks around each update, with --update, --station or --bench:";
const char kSerials[] = "Unit serial numbers, with --update, --station or --bench:";
const char kProfile[] = "A station's profile, which a supervisor writes:";
const char kTraces[] = "Traces of what each job said on the line, for support:";
const char kEvery[] = "Every face:";

QCommandLineOption option(const QStringList& names, const char* description,
                          const char* valueName = "")
{
    return QCommandLineOption(names, QString::fromUtf8(description), QString::fromUtf8(valueName));
}

// In --help's order.
const std::vector<Ours>& ours()
{
    static const std::vector<Ours> all = {
        {kWindow,
         option({"language"},
                "The windows' language: Simplified Chinese or English; by default the "
                "system's (Simplified Chinese on a zh-CN, zh-Hans or zh-SG system, else English).",
                "zh|en")},
        {kWindow,
         option({"open-record-folder"},
                "Show the service record's folder in the file manager instead."),
         Face::RecordFolder},
        {kBench,
         option({"bench"}, "Open the bench window: a row for each PORT, or for every port."),
         Face::Bench},
        {kBench,
         option({"start-on-plug"}, "With --bench: each device starts when it is plugged in.")},
        {kCommandLine, option({"update"}, "Update the device on each PORT, all at once."),
         Face::CommandLine, Command::Update},
        {kCommandLine, option({"query"}, "Ask the device on each PORT which firmware it runs."),
         Face::CommandLine, Command::Query},
        {kCommandLine,
         option({"station"}, "Until Ctrl+C, update each device once as it is plugged in: on each "
                             "PORT whenever it is present, or without PORTs on every port that "
                             "appears."),
         Face::CommandLine, Command::Station},
        {kCommandLine,
         option({"list"}, "List the serial ports as the window does, with their devices."),
         Face::CommandLine, Command::List},
        {kCommandLine,
         option({"json"}, "With --update, --query or --station: print one JSON object a line "
                          "instead of the text lines.")},
        {kChecks,
         option({"skip-current"},
                "First ask each device which firmware it runs: one that runs this firmware is "
                "left as it is (current), one that runs another product's is refused.")},
        {kChecks,
         option({"force"}, "With --skip-current: update another product's device all the same.")},
        {kChecks,
         option({"allow-older"}, "With --skip-current: update a device that runs a newer "
                                 "version of this firmware all the same, instead of refusing "
                                 "it.")},
        {kChecks,
         option({"verify"}, "After each update ask the device again, and fail it if it names "
                            "another firmware than the one sent.")},
        {kSerials,
         option({"serial"},
                "With --update: the serial number of the unit on the one PORT, or on the PORT "
                "named; given once for each port. The station reads them from standard input, "
                "one a line, each for the next device plugged in.",
                "SN|PORT=SN")},
        {kSerials,
         option({"require-serial"}, "A device is not updated until its unit's serial is given.")},
        {kSerials,
         option({"serial-pattern"},
                "What a serial must match, whole: by default [A-Za-z0-9._/-]{4,40}.", "REGEX")},
        {kProfile,
         QCommandLineOption(
             QStringList{QStringLiteral("profile")},
             QStringLiteral("With --station, --bench or --update: serve as the profile FILE "
                            "says: its slots, checks, serial rules and shared record; a locked "
                            "one lets no option change them. Without it they take the default "
                            "profile, where there is one: %1.")
                 .arg(QDir::toNativeSeparators(platform::defaultProfilePath())),
             QStringLiteral("FILE"))},
        {kTraces,
         option({"trace"},
                "With --update, --query, --station or --bench: which jobs leave a trace in the "
                "traces folder beside the service record: failed and interrupted ones (the "
                "default), all, or none.",
                "failures|all|off")},
        {kTraces,
         option({"explain"},
                "Print the timeline of the trace in FILE: each step, what was "
                "expected and what came, and the outcome.",
                "FILE"),
         Face::CommandLine, Command::Explain},
        {kTraces,
         option({"replay"},
                "Play the trace in FILE back against a stand-in device and compare "
                "the outcome this program reaches with the trace's.",
                "FILE"),
         Face::CommandLine, Command::Replay},
        {kEvery,
         option({"record-to"},
                "Also deliver each line of the service record, exactly once, to the PostgreSQL "
                "database at URL: postgresql://[user@]host[:port]/dbname[?...] or "
                "service=NAME; the password comes from libpq's password or service file. "
                "QX_RECORD_TO gives it as well; --record-to wins.",
                "URL")},
        {kEvery, option({"h", "help"}, "Show this text."), Face::CommandLine, Command::Help},
        {kEvery, option({"v", "version"}, "Show the program's version and its firmware's."),
         Face::CommandLine, Command::Version},
    };
    return all;
}

// The delivering process's option: the program starts itself with it, people never do.
QCommandLineOption deliverOption()
{
    QCommandLineOption deliver(QString::fromLatin1(service::kDeliverOption).mid(2), QString(),
                               QStringLiteral("FOLDER"));
    deliver.setFlags(QCommandLineOption::HiddenFromHelp);
    return deliver;
}

// Qt's own options, which QApplication takes from the same arguments: the windows' only.
const char* const kQtFlags[] = {"reverse", "widgetcount", "nograb",
                                "dograb",  "sync",        "testability"};
const char* const kQtValued[] = {"platform",
                                 "platformpluginpath",
                                 "platformtheme",
                                 "plugin",
                                 "qwindowgeometry",
                                 "geometry",
                                 "qwindowtitle",
                                 "title",
                                 "qwindowicon",
                                 "icon",
                                 "session",
                                 "style",
                                 "stylesheet",
                                 "display",
                                 "name",
                                 "visual",
                                 "qmljsdebugger"};

// What a usage error says after its options: the ports and the exit status.
const char kAfterOptions[] =
    R"(A PORT is COM<n> as --list shows it, or on Linux a device's path such as /dev/ttyUSB0 or
/dev/serial/by-id/... (which stays the same when the adapter is plugged in again).

Exit status:
  0  every device was updated, or found current with --skip-current
  1  a device failed, was refused or was interrupted
  2  a usage error: no port was touched)";

QString shownNames(const QCommandLineOption& option)
{
    QStringList names;
    for (const QString& name : option.names())
        names << (name.size() == 1 ? "-" : "--") + name;
    const QString value = option.valueName();
    return names.join(QLatin1String(", ")) + (value.isEmpty() ? QString() : " <" + value + '>');
}

// `text` in lines of at most `width` characters, broken between words.
QStringList wrapped(const QString& text, qsizetype width)
{
    QStringList lines{QString()};
    for (const QString& word : text.split(' ', Qt::SkipEmptyParts)) {
        if (!lines.last().isEmpty() && lines.last().size() + 1 + word.size() > width)
            lines << QString();
        lines.last() += (lines.last().isEmpty() ? "" : " ") + word;
    }
    return lines;
}

QString helpText()
{
    qsizetype width = 0;
    for (const Ours& o : ours())
        width = std::max(width, shownNames(o.option).size());
    const QString indent(width + 4, ' ');
    QStringList lines{QStringLiteral("Usage: qx-lp4r-updater [options] [PORT...]"),
                      QStringLiteral("Installs the QX-LP4R firmware built into this program, "
                                     "over a serial line.")};
    if (package::embeddedIsTestPayload())
        lines << QString::fromLatin1(texts::kTestBuildLine);
    const char* heading = nullptr;
    for (const Ours& o : ours()) {
        if (o.heading != heading) {
            if (heading == kWindow)
                lines << QStringLiteral("  Qt's own options, such as -style NAME, reach the "
                                        "window and the bench window.");
            lines << QString() << QString::fromLatin1(o.heading);
            heading = o.heading;
        }
        const QStringList description = wrapped(o.option.description(), 79 - indent.size());
        lines << "  " + shownNames(o.option).leftJustified(width + 2) + description.first();
        for (const QString& more : description.mid(1))
            lines << indent + more;
    }
    return lines.join('\n') + "\n\n" + QString::fromLatin1(kAfterOptions);
}

// The option a failed parse stumbled on, as the user wrote it.
QString parseProblem(const QCommandLineParser& parser, const QStringList& given)
{
    const auto nameOf = [](const QString& argument) {
        return argument.section('=', 0, 0).remove(QRegularExpression("^--?"));
    };
    if (const QString unknown = parser.unknownOptionNames().value(0); !unknown.isEmpty()) {
        const auto it = std::find_if(given.begin(), given.end(), [&](const QString& argument) {
            return argument.startsWith('-') && nameOf(argument) == unknown;
        });
        return QStringLiteral("unknown option '%1'")
            .arg(it != given.end() ? it->section('=', 0, 0) : "--" + unknown);
    }
    // Otherwise an option that takes a value came last, without one.
    const QString last = nameOf(given.value(given.size() - 1));
    if (last == QLatin1String("language"))
        return QStringLiteral("--language takes zh or en");
    if (last == QLatin1String("record-to"))
        return QStringLiteral("--record-to takes a database's URL");
    if (last == QLatin1String("trace"))
        return QStringLiteral("--trace takes failures, all or off");
    if (last == QLatin1String("explain") || last == QLatin1String("replay"))
        return QStringLiteral("--%1 takes a trace's file").arg(last);
    if (last == deliverOption().names().first())
        return QStringLiteral("%1 takes a record folder and --record-to")
            .arg(service::kDeliverOption);
    return parser.errorText();
}

// --language's and --record-to's values, into `a`; the problem in words.
std::optional<QString> readValues(const QCommandLineParser& parser, const QString& fromEnvironment,
                                  Arguments& a)
{
    a.language = parser.value(QStringLiteral("language"));
    if (parser.isSet(QStringLiteral("language")) && a.language != QLatin1String("zh") &&
        a.language != QLatin1String("en"))
        return QStringLiteral("--language takes zh or en");
    QString url = fromEnvironment;
    if (parser.isSet(QStringLiteral("record-to"))) {
        url = parser.value(QStringLiteral("record-to"));
        if (url.isEmpty())
            return QStringLiteral("--record-to takes a database's URL");
    }
    if (url.isEmpty())
        return std::nullopt;
    const auto database = service::parseRecordTo(url);
    if (const auto* problem = std::get_if<QString>(&database))
        return *problem;
    a.policy.recordTo = std::get<service::Database>(database);
    return std::nullopt;
}

// --serial, bound to the ports once they are known (from the options or a profile).
std::optional<QString> readSerials(const QCommandLineParser& parser, Arguments& a)
{
    auto serials = service::givenSerials(parser.values(QStringLiteral("serial")), a.policy,
                                         a.command == Command::Update);
    if (const auto* problem = std::get_if<QString>(&serials))
        return *problem;
    a.serials = std::get<QHash<QString, QString>>(std::move(serials));
    return std::nullopt;
}

// The settings a profile can hold, as the options that set them are named.
const char* const kPolicyOptions[] = {"skip-current",  "verify",         "force",
                                      "allow-older",   "require-serial", "serial-pattern",
                                      "start-on-plug", "record-to",      "trace"};

// The policy the options give: the ports as slots, the checks, the serial's rules.
std::optional<QString> readPolicy(const QCommandLineParser& parser, Arguments& a)
{
    service::StationPolicy& p = a.policy;
    const auto set = [&parser](const char* name) {
        return parser.isSet(QString::fromLatin1(name));
    };
    p.checks = {.before = set("skip-current"),
                .force = set("force"),
                .allowOlder = set("allow-older"),
                .after = set("verify")};
    const bool serving =
        a.command == Command::Update || a.command == Command::Station || a.face == Face::Bench;
    if ((p.checks.before || p.checks.after) && !serving)
        return QStringLiteral("--%1 goes with --update, --station or --bench")
            .arg(p.checks.before ? "skip-current" : "verify");
    for (const char* name : {"serial", "require-serial", "serial-pattern", "profile"})
        if (set(name) &&
            (!serving || (name == std::string_view("serial") && a.command != Command::Update)))
            return QStringLiteral("--%1 goes with --update%2")
                .arg(name, name == std::string_view("serial") ? "" : ", --station or --bench");
    if (set("serial-pattern")) {
        p.serialPattern = parser.value(QStringLiteral("serial-pattern"));
        if (const QRegularExpression pattern(p.serialPattern); !pattern.isValid())
            return "--serial-pattern: " + pattern.errorString();
    }
    if (set("trace")) {
        const auto keep = service::traceKeepOf(parser.value(QStringLiteral("trace")));
        if (!keep)
            return QStringLiteral("--trace takes failures, all or off");
        if (!serving && a.command != Command::Query)
            return QStringLiteral("--trace goes with --update, --query, --station or --bench");
        p.traces = *keep;
    }
    p.requireSerial = set("require-serial");
    p.startOnPlug = set("start-on-plug");
    if (p.startOnPlug && a.face != Face::Bench)
        return QStringLiteral("--start-on-plug goes with --bench");
    p.portSlots = service::StationPolicy::serving(parser.positionalArguments()).portSlots;
    return std::nullopt;
}

// The profile named, or for a station, a bench or an update the default one where it is: its
// policy, and what the options may still change of it (nothing, where it is locked).
std::optional<QString> applyProfile(const QCommandLineParser& parser, const QString& defaultProfile,
                                    Arguments& a)
{
    const bool given = parser.isSet(QStringLiteral("profile"));
    const bool serving =
        a.command == Command::Update || a.command == Command::Station || a.face == Face::Bench;
    const QString file = given ? parser.value(QStringLiteral("profile")) : defaultProfile;
    if (!serving || (!given && (file.isEmpty() || !QFileInfo::exists(file))))
        return std::nullopt;
    const auto identity = [map = serial::systemDeviceMap()](const QString& port) {
        return service::portIdentity(port, map);
    };
    const auto loaded = service::loadProfile(file, identity);
    if (const auto* problem = std::get_if<QString>(&loaded))
        return *problem;
    const service::Profile& profile = std::get<service::Profile>(loaded);
    const auto built = package::slicePackage(package::embeddedPackage());
    if (const QString problem = service::firmwareProblem(
            profile,
            QString::fromStdString(package::headerFields(built.package.headerPacket).fileName),
            service::firmwareSha256(built.package));
        !problem.isEmpty())
        return problem;
    const service::StationPolicy& fixed = profile.policy;
    const QString named = service::inert(QDir::toNativeSeparators(file));
    if (fixed.locked()) {
        for (const char* option : kPolicyOptions)
            if (parser.isSet(QString::fromLatin1(option)))
                return QStringLiteral("--%1: the profile %2 is locked").arg(option, named);
        if (!a.policy.portSlots.isEmpty())
            return QStringLiteral("'%1': the profile %2 is locked, and names the ports")
                .arg(a.policy.portSlots.first().port, named);
        a.policy = fixed; // what it leaves out stays at its default: QX_RECORD_TO too
        return std::nullopt;
    }
    // Not locked: what the options give is added to it, and a port given replaces its slots.
    service::StationPolicy merged = fixed;
    const service::StationPolicy& options = a.policy;
    merged.checks = {.before = fixed.checks.before || options.checks.before,
                     .force = fixed.checks.force || options.checks.force,
                     .allowOlder = fixed.checks.allowOlder || options.checks.allowOlder,
                     .after = fixed.checks.after || options.checks.after};
    merged.requireSerial = fixed.requireSerial || options.requireSerial;
    merged.startOnPlug = fixed.startOnPlug || options.startOnPlug;
    if (parser.isSet(QStringLiteral("serial-pattern")))
        merged.serialPattern = options.serialPattern;
    if (parser.isSet(QStringLiteral("record-to")) || !fixed.recordTo)
        merged.recordTo = options.recordTo;
    if (parser.isSet(QStringLiteral("trace")))
        merged.traces = options.traces;
    if (!options.portSlots.isEmpty())
        merged.portSlots = options.portSlots;
    a.policy = merged;
    return std::nullopt;
}

// What the chosen face allows of the rest: options that belong to another face, and ports.
std::optional<QString> checkFace(const QCommandLineParser& parser, const QString& chosen,
                                 Arguments& a)
{
    const bool window = a.face == Face::Window || a.face == Face::Bench;
    for (const QString& qt : parser.optionNames())
        if (!window && (std::count(std::begin(kQtValued), std::end(kQtValued), qt) ||
                        std::count(std::begin(kQtFlags), std::end(kQtFlags), qt)))
            return QStringLiteral("-%1 goes with the window or --bench").arg(qt);
    a.json = parser.isSet(QStringLiteral("json"));
    if (a.json && a.command != Command::Update && a.command != Command::Query &&
        a.command != Command::Station)
        return QStringLiteral("--json goes with --update, --query or --station");
    if (parser.isSet(QStringLiteral("language")) && !window)
        return QStringLiteral("--language goes with the window or --bench");
    if (const auto problem = readPolicy(parser, a))
        return *problem;
    const QStringList ports = a.ports();
    switch (a.face) {
    case Face::Delivery:
        a.recordFolder = parser.value(deliverOption());
        if (!ports.isEmpty() || !a.policy.recordTo)
            return QStringLiteral("%1 takes a record folder and --record-to")
                .arg(service::kDeliverOption);
        return std::nullopt;
    case Face::Window:
        if (!ports.isEmpty())
            return QStringLiteral("'%1': a port goes with --update, --query, --station or --bench")
                .arg(ports.first());
        return std::nullopt;
    case Face::Bench:
        return std::nullopt;
    case Face::RecordFolder:
    case Face::CommandLine:
        break;
    }
    if ((a.command == Command::List || a.command == Command::Explain ||
         a.command == Command::Replay || a.face == Face::RecordFolder) &&
        !ports.isEmpty())
        return chosen + " takes no ports";
    if (a.command == Command::Explain || a.command == Command::Replay)
        a.traceFile = parser.value(a.command == Command::Explain ? QStringLiteral("explain")
                                                                 : QStringLiteral("replay"));
    return std::nullopt;
}

} // namespace

QString usageLine(const QString& problem)
{
    return QStringLiteral("qx-lp4r-updater: %1; see --help").arg(problem);
}

std::variant<Arguments, QString> parseArguments(const QStringList& given,
                                                const QString& recordToFromEnvironment,
                                                const QString& defaultProfile)
{
    QCommandLineParser parser;
    // -style as Qt writes it, not -s -t -y -l -e; -h and -v are names of their own.
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    for (const Ours& o : ours())
        parser.addOption(o.option);
    parser.addOption(deliverOption());
    for (const char* name : kQtFlags)
        parser.addOption(QCommandLineOption(name, {}, {}));
    for (const char* name : kQtValued)
        parser.addOption(QCommandLineOption(name, {}, QStringLiteral("value")));
    if (!parser.parse(QStringList{QStringLiteral("qx-lp4r-updater")} + given))
        return parseProblem(parser, given);

    Arguments a;
    QStringList chosen;
    for (const Ours& o : ours())
        if (o.face != Face::Window && parser.isSet(o.option)) {
            if (o.command == Command::Help || o.command == Command::Version) {
                a.face = o.face; // asked for help or the version: nothing else matters
                a.command = o.command;
                if (a.command == Command::Help)
                    a.helpText = helpText();
                return a;
            }
            chosen << shownNames(o.option);
            a.face = o.face;
            a.command = o.command;
        }
    if (parser.isSet(deliverOption())) {
        chosen << QString::fromLatin1(service::kDeliverOption);
        a.face = Face::Delivery;
    }
    if (chosen.size() > 1)
        return chosen.join(QLatin1String(" and ")) + " cannot go together";
    if (const auto problem = readValues(parser, recordToFromEnvironment, a))
        return *problem;
    if (const auto problem = checkFace(parser, chosen.value(0), a))
        return *problem;
    if (const auto problem = applyProfile(parser, defaultProfile, a))
        return *problem;
    if (const auto& c = a.policy.checks; (c.force || c.allowOlder) && !c.before)
        return QStringLiteral("--%1 goes with --skip-current")
            .arg(c.force ? "force" : "allow-older");
    if ((a.command == Command::Update || a.command == Command::Query) && a.ports().isEmpty())
        return chosen.value(0) + " needs at least one port";
    if (const auto problem = readSerials(parser, a))
        return *problem;
    if (a.command == Command::Station) // a station is hands-free by its nature
        a.policy.startOnPlug = true;
    return a;
}

} // namespace qx::ui
