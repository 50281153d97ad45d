// The program's one parser: every face's options in one table, which --help lists grouped by
// face, read by one QCommandLineParser.
#include "arguments.h"

#include "delivery.h"
#include "inert.h"
#include "packageloader.h"
#include "platform.h"
#include "profile.h"
#include "servicerecord.h"
#include "settings.h"
#include "station.h"
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
    const service::Setting* setting = nullptr; // the station's setting it gives, if one
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

// The settings of one --help group, each as its option.
void addSettings(std::vector<Ours>& all, const char* heading, service::HelpGroup group)
{
    for (const service::Setting& setting : service::settings())
        if (setting.group == group)
            all.push_back(
                {heading,
                 option({QString::fromLatin1(setting.name)}, setting.help,
                        setting.kind == service::SettingKind::YesNo ? "" : setting.valueName),
                 Face::Window, Command::None, &setting});
}

std::vector<Ours> allOptions()
{
    using service::HelpGroup;
    std::vector<Ours> all = {
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
    };
    addSettings(all, kBench, HelpGroup::Bench);
    all.insert(
        all.end(),
        {
            {kCommandLine, option({"update"}, "Update the device on each PORT, all at once."),
             Face::CommandLine, Command::Update},
            {kCommandLine, option({"query"}, "Ask the device on each PORT which firmware it runs."),
             Face::CommandLine, Command::Query},
            {kCommandLine,
             option({"station"},
                    "Until Ctrl+C, update each device once as it is plugged in: on each PORT "
                    "whenever it is present, or without PORTs on every port that appears."),
             Face::CommandLine, Command::Station},
            {kCommandLine,
             option({"list"}, "List the serial ports as the window does, with their devices."),
             Face::CommandLine, Command::List},
            {kCommandLine,
             option({"json"}, "With --update, --query or --station: print one JSON object a "
                              "line instead of the text lines.")},
        });
    addSettings(all, kChecks, HelpGroup::Checks);
    all.push_back(
        {kSerials,
         option({"serial"},
                "With --update: the serial number of the unit on the one PORT, or on the PORT "
                "named; given once for each port. The station reads them from standard input, "
                "one a line, each for the next device plugged in.",
                "SN|PORT=SN")});
    addSettings(all, kSerials, HelpGroup::Serials);
    all.push_back(
        {kProfile,
         QCommandLineOption(
             QStringList{QStringLiteral("profile")},
             QStringLiteral("With --station, --bench or --update: serve as the profile FILE "
                            "says: its slots, checks, serial rules and shared record; a locked "
                            "one lets no option change them. Without it they take the default "
                            "profile, where there is one: %1.")
                 .arg(QDir::toNativeSeparators(platform::defaultProfilePath())),
             QStringLiteral("FILE"))});
    all.push_back(
        {kProfile,
         option({"check-profile"},
                "Print what the profile FILE, given as its one argument, or else the default "
                "profile sets: each setting with its value, from the file or by default, its "
                "slots, fingerprint and lock, and whether this user could change it. A fault "
                "is said as a run would say it, exit 2."),
         Face::CommandLine, Command::CheckProfile});
    addSettings(all, kTraces, HelpGroup::Traces);
    all.insert(all.end(),
               {
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
               });
    addSettings(all, kEvery, HelpGroup::Every);
    all.insert(
        all.end(),
        {
            {kEvery, option({"h", "help"}, "Show this text."), Face::CommandLine, Command::Help},
            {kEvery, option({"v", "version"}, "Show the program's version and its firmware's."),
             Face::CommandLine, Command::Version},
        });
    return all;
}

// In --help's order.
const std::vector<Ours>& ours()
{
    static const std::vector<Ours> all = allOptions();
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

// The deliverer's usage error.
QString deliveryUsage()
{
    return QStringLiteral("%1 takes a record folder and --record-to").arg(service::kDeliverOption);
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
    if (const service::Setting* setting = service::settingNamed(last))
        return QStringLiteral("--%1 takes %2").arg(last, service::takesWhat(*setting));
    if (last == QLatin1String("explain") || last == QLatin1String("replay"))
        return QStringLiteral("--%1 takes a trace's file").arg(last);
    if (last == deliverOption().names().first())
        return deliveryUsage();
    return parser.errorText();
}

// --language's value, into `a`; the problem in words.
std::optional<QString> readLanguage(const QCommandLineParser& parser, Arguments& a)
{
    a.language = parser.value(QStringLiteral("language"));
    if (parser.isSet(QStringLiteral("language")) && a.language != QLatin1String("zh") &&
        a.language != QLatin1String("en"))
        return QStringLiteral("--language takes zh or en");
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

// The settings the options give, each checked as the table says and taken by the chosen
// command; and the ports as slots.
std::optional<QString> readPolicy(const QCommandLineParser& parser, Arguments& a,
                                  QList<service::GivenSetting>& options)
{
    const auto set = [&parser](const char* name) {
        return parser.isSet(QString::fromLatin1(name));
    };
    const bool serving =
        a.command == Command::Update || a.command == Command::Station || a.face == Face::Bench;
    const unsigned taker = a.face == Face::Bench           ? service::kTakenByBench
                           : a.command == Command::Update  ? service::kTakenByUpdate
                           : a.command == Command::Query   ? service::kTakenByQuery
                           : a.command == Command::Station ? service::kTakenByStation
                                                           : 0u;
    for (const service::Setting& setting : service::settings()) {
        if (!set(setting.name))
            continue;
        if (setting.takers != service::kTakenByEvery && !(setting.takers & taker))
            return QStringLiteral("--%1 goes with %2")
                .arg(setting.name, service::takersWords(setting.takers));
        const auto value =
            service::readSetting(setting, setting.kind == service::SettingKind::YesNo
                                              ? QStringLiteral("true")
                                              : parser.value(QString::fromLatin1(setting.name)));
        if (const auto* problem = std::get_if<QString>(&value))
            return "--" + QString::fromLatin1(setting.name) + *problem;
        options.append({&setting, std::get<service::SettingValue>(value)});
    }
    for (const char* name : {"serial", "profile"})
        if (set(name) &&
            (!serving || (name == std::string_view("serial") && a.command != Command::Update)))
            return QStringLiteral("--%1 goes with --update%2")
                .arg(name, name == std::string_view("serial") ? "" : ", --station or --bench");
    a.policy.portSlots = service::StationPolicy::serving(parser.positionalArguments()).portSlots;
    return std::nullopt;
}

// The environment's settings (QX_RECORD_TO's database), read only where no lock forbids it.
std::variant<QList<service::GivenSetting>, QString>
environmentSettings(const QString& recordToFromEnvironment)
{
    if (recordToFromEnvironment.isEmpty())
        return QList<service::GivenSetting>();
    for (const service::Setting& setting : service::settings())
        if (setting.kind == service::SettingKind::DatabaseUrl) {
            const auto value = service::readSetting(setting, recordToFromEnvironment);
            if (const auto* problem = std::get_if<QString>(&value))
                return "QX_RECORD_TO" + *problem;
            return QList<service::GivenSetting>{{&setting, std::get<service::SettingValue>(value)}};
        }
    return QList<service::GivenSetting>();
}

// `file` read as a run reads a profile: whole, its lock checked, and for this program's firmware.
std::variant<service::Profile, QString> loadForThisProgram(const QString& file)
{
    const auto identity = [map = serial::systemDeviceMap()](const QString& port) {
        return service::portIdentity(port, map);
    };
    auto loaded = service::loadProfile(file, identity);
    if (const auto* profile = std::get_if<service::Profile>(&loaded)) {
        const auto built = package::slicePackage(package::embeddedPackage());
        if (const QString problem = service::firmwareProblem(
                *profile,
                QString::fromStdString(package::headerFields(built.package.headerPacket).fileName),
                service::firmwareSha256(built.package));
            !problem.isEmpty())
            return problem;
    }
    return loaded;
}

// --check-profile's file (its one argument, or the default profile), read as a run reads it.
std::optional<QString> readCheckedProfile(const QString& defaultProfile, Arguments& a)
{
    const QStringList given = a.ports();
    if (given.size() > 1)
        return QStringLiteral("--check-profile takes one profile file");
    a.profileFile = given.isEmpty() ? defaultProfile : given.first();
    a.policy.portSlots.clear();
    if (given.isEmpty() && (defaultProfile.isEmpty() || !QFileInfo::exists(defaultProfile)))
        return QStringLiteral("--check-profile: no file given, and no default profile at %1")
            .arg(inert(QDir::toNativeSeparators(defaultProfile)));
    auto loaded = loadForThisProgram(a.profileFile);
    if (const auto* problem = std::get_if<QString>(&loaded))
        return *problem;
    a.checkedProfile = std::get<service::Profile>(std::move(loaded));
    return std::nullopt;
}

// The profile named, or for a station, a bench or an update the default one where it is;
// none: nullopt.
std::variant<std::optional<service::Profile>, QString>
readProfile(const QCommandLineParser& parser, const QString& defaultProfile, const Arguments& a)
{
    const bool given = parser.isSet(QStringLiteral("profile"));
    const bool serving =
        a.command == Command::Update || a.command == Command::Station || a.face == Face::Bench;
    const QString file = given ? parser.value(QStringLiteral("profile")) : defaultProfile;
    const bool defaultExists = !defaultProfile.isEmpty() && QFileInfo::exists(defaultProfile);
    if (!serving || (!given && !defaultExists))
        return std::optional<service::Profile>();
    auto loaded = loadForThisProgram(file);
    if (const auto* problem = std::get_if<QString>(&loaded))
        return *problem;
    const service::Profile& profile = std::get<service::Profile>(loaded);
    // A locked default profile binds whoever is not an administrator: another profile stands
    // in for it only where it is locked too (and so, loadProfile made sure, only an
    // administrator can change it), as a supervisor's profile for another product is.
    if (given && defaultExists && !profile.policy.locked() && !platform::isAdministrator() &&
        QFileInfo(file).canonicalFilePath() != QFileInfo(defaultProfile).canonicalFilePath()) {
        const auto fixed = loadForThisProgram(defaultProfile);
        const auto* station = std::get_if<service::Profile>(&fixed);
        if (!station || station->policy.locked())
            return QStringLiteral("--profile %1: the default profile %2 %3")
                .arg(inert(QDir::toNativeSeparators(file)),
                     inert(QDir::toNativeSeparators(defaultProfile)),
                     station ? QStringLiteral("is locked: only another locked profile may stand "
                                              "in for it")
                             : QStringLiteral("cannot be read, so no other profile may stand "
                                              "in for it"));
    }
    return std::optional<service::Profile>(std::get<service::Profile>(std::move(loaded)));
}

// The policy in its layers: the defaults, the environment's (never under a lock), the
// profile's, and the options' as each setting combines (none under a lock).
std::optional<QString> buildPolicy(const QCommandLineParser& parser, const QString& defaultProfile,
                                   const QString& recordToFromEnvironment,
                                   const QList<service::GivenSetting>& options, Arguments& a)
{
    auto read = readProfile(parser, defaultProfile, a);
    if (const auto* problem = std::get_if<QString>(&read))
        return *problem;
    const auto& profile = std::get<std::optional<service::Profile>>(read);
    const bool locked = profile && profile->policy.locked();
    service::StationPolicy policy;
    if (!locked) {
        const auto environment = environmentSettings(recordToFromEnvironment);
        if (const auto* problem = std::get_if<QString>(&environment))
            return *problem;
        service::combineOptions(policy, std::get<QList<service::GivenSetting>>(environment));
    }
    if (profile) {
        const QString named = inert(QDir::toNativeSeparators(profile->policy.profile->file));
        for (const service::GivenSetting& given : options)
            if (locked && given.setting->lockable)
                return QStringLiteral("--%1: the profile %2 is locked")
                    .arg(given.setting->name, named);
        if (locked && !a.policy.portSlots.isEmpty())
            return QStringLiteral("'%1': the profile %2 is locked, and names the ports")
                .arg(a.policy.portSlots.first().port, named);
        for (const service::GivenSetting& given : profile->given)
            given.setting->put(policy, given.value);
        policy.profile = profile->policy.profile;
        if (a.policy.portSlots.isEmpty()) // ports given replace its slots
            a.policy.portSlots = profile->policy.portSlots;
    }
    service::combineOptions(policy, options);
    policy.portSlots = a.policy.portSlots;
    a.policy = policy;
    const service::Setting* needed = nullptr;
    if (const service::Setting* setting = service::unmetNeed(a.policy, &needed))
        return QStringLiteral("--%1 goes with --%2").arg(setting->name, needed->name);
    return std::nullopt;
}

// What the chosen face allows of the rest: options that belong to another face, and ports.
std::optional<QString> checkFace(const QCommandLineParser& parser, const QString& chosen,
                                 Arguments& a, QList<service::GivenSetting>& options)
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
    if (const auto problem = readPolicy(parser, a, options))
        return *problem;
    const QStringList ports = a.ports();
    switch (a.face) {
    case Face::Delivery:
        a.recordFolder = parser.value(deliverOption());
        if (!ports.isEmpty())
            return deliveryUsage();
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

QString defaultProfileFile()
{
    if (package::embeddedIsTestPayload() && qEnvironmentVariableIsSet("QX_DEFAULT_PROFILE"))
        return qEnvironmentVariable("QX_DEFAULT_PROFILE");
    return platform::defaultProfilePath();
}

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
    if (const auto problem = readLanguage(parser, a))
        return *problem;
    QList<service::GivenSetting> options;
    if (const auto problem = checkFace(parser, chosen.value(0), a, options))
        return *problem;
    if (a.command == Command::CheckProfile) {
        if (const auto problem = readCheckedProfile(defaultProfile, a))
            return *problem;
        return a;
    }
    if (const auto problem =
            buildPolicy(parser, defaultProfile, recordToFromEnvironment, options, a))
        return *problem;
    if (a.face == Face::Delivery && !a.policy.recordTo)
        return deliveryUsage();
    if ((a.command == Command::Update || a.command == Command::Query) && a.ports().isEmpty())
        return chosen.value(0) + " needs at least one port";
    if (const auto problem = readSerials(parser, a))
        return *problem;
    if (a.command == Command::Station) // a station is hands-free by its nature
        a.policy.startOnPlug = true;
    return a;
}

} // namespace qx::ui
