// The table of a station's settings, and the reading, combining and showing that every face
// and the profile share.
#include "settings.h"

#include <QDir>
#include <QRegularExpression>

#include <algorithm>
#include <array>

namespace qx::service {

namespace {

using enum SettingKind;

SettingValue yes(bool on)
{
    return on;
}

// Every setting that decides how ports are served; a row leaves out what it takes as the
// Setting's defaults (a yes/no, for --update, --station and --bench, on where either the
// profile or an option turns it on, fixed by a lock).
const auto kSettings = std::to_array<Setting>({
    {.name = "start-on-plug",
     .group = HelpGroup::Bench,
     .help = "With --bench: each device starts when it is plugged in.",
     .takers = kTakenByBench, // a station is hands-free by its nature
     .control = "handsFree",
     .get = [](const StationPolicy& p) { return yes(p.startOnPlug); },
     .put = [](StationPolicy& p, const SettingValue& v) { p.startOnPlug = std::get<bool>(v); }},
    {.name = "skip-current",
     .group = HelpGroup::Checks,
     .help = "First ask each device which firmware it runs: one that runs this firmware is "
             "left as it is (current), one that runs another product's is refused.",
     .control = "skipCurrent",
     .get = [](const StationPolicy& p) { return yes(p.checks.before); },
     .put = [](StationPolicy& p, const SettingValue& v) { p.checks.before = std::get<bool>(v); }},
    {.name = "force",
     .group = HelpGroup::Checks,
     .help = "With --skip-current: update another product's device all the same.",
     .needs = "skip-current",
     .get = [](const StationPolicy& p) { return yes(p.checks.force); },
     .put = [](StationPolicy& p, const SettingValue& v) { p.checks.force = std::get<bool>(v); }},
    {.name = "allow-older",
     .group = HelpGroup::Checks,
     .help = "With --skip-current: update a device that runs a newer version of this firmware "
             "all the same, instead of refusing it.",
     .needs = "skip-current",
     .get = [](const StationPolicy& p) { return yes(p.checks.allowOlder); },
     .put = [](StationPolicy& p,
               const SettingValue& v) { p.checks.allowOlder = std::get<bool>(v); }},
    {.name = "verify",
     .group = HelpGroup::Checks,
     .help = "After each update ask the device again, and fail it if it names another firmware "
             "than the one sent.",
     .control = "verify",
     .get = [](const StationPolicy& p) { return yes(p.checks.after); },
     .put = [](StationPolicy& p, const SettingValue& v) { p.checks.after = std::get<bool>(v); }},
    {.name = "require-serial",
     .group = HelpGroup::Serials,
     .help = "A device is not updated until its unit's serial is given.",
     .control = "requireSerial",
     .get = [](const StationPolicy& p) { return yes(p.requireSerial); },
     .put = [](StationPolicy& p, const SettingValue& v) { p.requireSerial = std::get<bool>(v); }},
    {.name = "serial-pattern",
     .kind = Pattern,
     .valueName = "REGEX",
     .group = HelpGroup::Serials,
     .help = "What a serial must match, whole: by default [A-Za-z0-9._/-]{4,40}.",
     .combine = Combine::OptionWins,
     .get = [](const StationPolicy& p) { return SettingValue(p.serialPattern); },
     .put = [](StationPolicy& p,
               const SettingValue& v) { p.serialPattern = std::get<QString>(v); }},
    {.name = "trace",
     .kind = Word,
     .valueName = "failures|all|off", // in TraceKeep's order
     .group = HelpGroup::Traces,
     .help = "With --update, --query, --station or --bench: which jobs leave a trace in the "
             "traces folder beside the service record: failed and interrupted ones (the "
             "default), all, or none.",
     .takers = kTakenByServing | kTakenByQuery,
     .combine = Combine::OptionWins,
     .control = "keepTraces",
     .onWord = "all",
     .offWord = "failures", // off records nothing to keep: the box cannot change it
     .get = [](const StationPolicy& p) { return SettingValue(int(p.traces)); },
     .put = [](StationPolicy& p,
               const SettingValue& v) { p.traces = TraceKeep(std::get<int>(v)); }},
    {.name = "record-to",
     .kind = DatabaseUrl,
     .valueName = "URL",
     .group = HelpGroup::Every,
     .help = "Also deliver each line of the service record, exactly once, to the PostgreSQL "
             "database at URL: postgresql://[user@]host[:port]/dbname[?...] or service=NAME; "
             "the password comes from libpq's password or service file. QX_RECORD_TO gives it "
             "as well; --record-to wins.",
     .takers = kTakenByEvery,
     .combine = Combine::OptionWins,
     .get =
         [](const StationPolicy& p) {
             return p.recordTo ? SettingValue(*p.recordTo) : SettingValue(QString());
         },
     .put =
         [](StationPolicy& p, const SettingValue& v) {
             if (const auto* database = std::get_if<service::Database>(&v))
                 p.recordTo = *database;
             else
                 p.recordTo.reset();
         }},
    {.name = "record-folder",
     .kind = Folder,
     .valueName = "FOLDER",
     .help = "With --update, --query, --station or --bench: keep the service record, its "
             "outbox and the traces folder in FOLDER instead of the user's own (a station run as "
             "a service has no home); a folder that cannot be written is refused before any port "
             "is touched.",
     .takers = kTakenByServing | kTakenByQuery,
     .combine = Combine::OptionWins,
     .get = [](const StationPolicy& p) { return SettingValue(p.recordFolder); },
     .put = [](StationPolicy& p, const SettingValue& v) { p.recordFolder = std::get<QString>(v); }},
});

QStringList wordsOf(const Setting& setting)
{
    return QString::fromLatin1(setting.valueName).split('|');
}

// "a, b or c".
QString listed(const QStringList& words)
{
    return words.size() < 2
               ? words.value(0)
               : words.mid(0, words.size() - 1).join(QLatin1String(", ")) + " or " + words.last();
}

} // namespace

std::span<const Setting> settings()
{
    return kSettings;
}

std::optional<bool> yesOrNo(const QString& text)
{
    const QString v = text.toLower();
    if (v == "true" || v == "yes" || v == "on" || v == "1")
        return true;
    if (v == "false" || v == "no" || v == "off" || v == "0")
        return false;
    return std::nullopt;
}

const Setting* settingNamed(const QString& name)
{
    const auto it = std::find_if(kSettings.begin(), kSettings.end(),
                                 [&](const Setting& s) { return name == QLatin1String(s.name); });
    return it == kSettings.end() ? nullptr : &*it;
}

const Setting& requireSerialSetting()
{
    static const Setting& row = *settingNamed(QStringLiteral("require-serial"));
    return row;
}

const Setting* settingOfControl(const QString& control)
{
    const auto it = std::find_if(kSettings.begin(), kSettings.end(), [&](const Setting& s) {
        return s.control && control == QLatin1String(s.control);
    });
    return it == kSettings.end() ? nullptr : &*it;
}

QString takesWhat(const Setting& setting)
{
    switch (setting.kind) {
    case YesNo:
        return QStringLiteral("true or false");
    case Number:
        return QStringLiteral("a whole number from %1 to %2").arg(setting.least).arg(setting.most);
    case Word:
        return listed(wordsOf(setting));
    case Pattern:
        return QStringLiteral("a regular expression");
    case Folder:
        return QStringLiteral("an absolute folder");
    case DatabaseUrl:
        return QStringLiteral("a database's URL");
    }
    return {};
}

QString takersWords(unsigned takers)
{
    QStringList words;
    for (const auto& [bit, word] : {std::pair{kTakenByUpdate, "--update"},
                                    {kTakenByQuery, "--query"},
                                    {kTakenByStation, "--station"},
                                    {kTakenByBench, "--bench"}})
        if (takers & bit)
            words << QString::fromLatin1(word);
    return listed(words);
}

std::variant<SettingValue, QString> readSetting(const Setting& setting, const QString& text)
{
    const QString takes = " takes " + takesWhat(setting);
    if (text.isEmpty())
        return takes;
    const QString notThat = QStringLiteral("%1, not '%2'").arg(takes, text);
    switch (setting.kind) {
    case YesNo:
        if (const auto on = yesOrNo(text))
            return SettingValue(*on);
        return notThat;
    case Number: {
        bool ok = false;
        const int n = text.toInt(&ok);
        if (ok && n >= setting.least && n <= setting.most)
            return SettingValue(n);
        return notThat;
    }
    case Word:
        if (const qsizetype at = wordsOf(setting).indexOf(text); at >= 0)
            return SettingValue(int(at));
        return notThat;
    case Folder:
        if (!QDir::isAbsolutePath(text))
            return notThat;
        return SettingValue(QDir::cleanPath(text));
    case Pattern:
        if (const QRegularExpression pattern(text); !pattern.isValid())
            return " is no regular expression: " + pattern.errorString();
        return SettingValue(text);
    case DatabaseUrl: {
        auto database = parseRecordTo(text);
        if (const auto* problem = std::get_if<QString>(&database))
            return ": " + *problem;
        return SettingValue(std::get<service::Database>(std::move(database)));
    }
    }
    return notThat;
}

QString settingText(const Setting& setting, const StationPolicy& policy)
{
    const SettingValue value = setting.get(policy);
    switch (setting.kind) {
    case YesNo:
        return std::get<bool>(value) ? QStringLiteral("true") : QStringLiteral("false");
    case Number:
        return QString::number(std::get<int>(value));
    case Word:
        return wordsOf(setting).value(std::get<int>(value));
    case Pattern:
    case Folder:
        return std::get<QString>(value);
    case DatabaseUrl:
        if (const auto* database = std::get_if<service::Database>(&value))
            return database->url;
        return {};
    }
    return {};
}

bool isOn(const Setting& setting, const StationPolicy& policy)
{
    const SettingValue value = setting.get(policy);
    if (setting.kind == YesNo)
        return std::get<bool>(value);
    return setting.kind == Word && setting.onWord &&
           std::get<int>(value) == wordsOf(setting).indexOf(QLatin1String(setting.onWord));
}

void combineOptions(StationPolicy& policy, const QList<GivenSetting>& options)
{
    for (const GivenSetting& given : options) {
        const Setting& setting = *given.setting;
        if (setting.combine == Combine::Either && isOn(setting, policy))
            continue; // the profile turned it on already
        setting.put(policy, given.value);
    }
}

const Setting* unmetNeed(const StationPolicy& policy, const Setting** needed)
{
    for (const Setting& setting : kSettings) {
        if (!setting.needs || !isOn(setting, policy))
            continue;
        const Setting* need = settingNamed(QString::fromLatin1(setting.needs));
        if (need && !isOn(*need, policy)) {
            if (needed)
                *needed = need;
            return &setting;
        }
    }
    return nullptr;
}

BoxState boxState(const Setting& setting, const StationPolicy& policy)
{
    const bool fixed = setting.lockable && policy.locked();
    if (setting.kind == YesNo)
        return {isOn(setting, policy), !fixed};
    const QString now = settingText(setting, policy);
    const bool either =
        now == QLatin1String(setting.onWord) || now == QLatin1String(setting.offWord);
    return {isOn(setting, policy), either && !fixed};
}

void setByBox(const Setting& setting, StationPolicy& policy, bool checked)
{
    if (!boxState(setting, policy).enabled)
        return;
    if (setting.kind == YesNo) {
        setting.put(policy, checked);
        return;
    }
    const auto value =
        readSetting(setting, QLatin1String(checked ? setting.onWord : setting.offWord));
    if (const auto* v = std::get_if<SettingValue>(&value))
        setting.put(policy, *v);
}

} // namespace qx::service
