// Reading a profile: sections, keys and values line by line, so that each problem names its
// line; nothing in it is obeyed until the whole file has been read and found sound.
#include "profile.h"

#include "inert.h"
#include "platform.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <algorithm>

namespace qx::service {

namespace {

// A value without its comment: `;` or `#` after a blank, or at the line's start.
QString withoutComment(const QString& line)
{
    static const QRegularExpression kComment(QStringLiteral("(^|\\s)[;#]"));
    const qsizetype at = line.indexOf(kComment);
    return (at < 0 ? line : line.left(at)).trimmed();
}

// One of [station]'s own keys into `profile`; what is wrong with it, or empty.
QString setOwnKey(Profile& profile, const QString& key, const QString& value, int line)
{
    if (key == "name") {
        if (value.isEmpty())
            return QStringLiteral("name is empty");
        profile.policy.profile->name = value;
        return {};
    }
    if (key == "firmware") {
        static const QRegularExpression kFirmware(
            QStringLiteral("^(\\d{1,9}(\\.\\d{1,9})*|[0-9a-fA-F]{64})$"));
        if (!kFirmware.match(value).hasMatch())
            return QStringLiteral("firmware takes a version such as 1.3.7 or the image's SHA-256");
        profile.firmware = value.toLower();
        profile.firmwareLine = line;
        return {};
    }
    const auto on = yesOrNo(value);
    if (!on)
        return QStringLiteral("%1 takes true or false, not '%2'").arg(key, value);
    profile.policy.profile->locked = *on;
    return {};
}

// One [station] key's value into `profile`, a setting's as the table reads it; what is wrong
// with it, or empty.
QString setKey(Profile& profile, const QString& key, const QString& value, int line)
{
    const Setting* setting = settingNamed(key);
    if (!setting)
        return setOwnKey(profile, key, value, line);
    const auto read = readSetting(*setting, value);
    if (const auto* problem = std::get_if<QString>(&read))
        return key + *problem;
    setting->put(profile.policy, std::get<SettingValue>(read));
    profile.given.append({setting, std::get<SettingValue>(read), line});
    return {};
}

// Whether `key` belongs under [station]: a setting, or one of the profile's own.
bool isStationKey(const QString& key)
{
    return settingNamed(key) ||
           std::any_of(std::begin(kProfileOwnKeys), std::end(kProfileOwnKeys),
                       [&](const char* own) { return key == QLatin1String(own); });
}

// A slot's line: its name and port, checked against those before it.
QString addSlot(StationPolicy& policy, const QString& name, const QString& port, int line,
                const PortIdentity& identity)
{
    static const QRegularExpression kPortName(QStringLiteral("^(COM\\d{1,3}|/.+)$"),
                                              QRegularExpression::CaseInsensitiveOption);
    if (name.isEmpty())
        return QStringLiteral("a slot needs a name before its '='");
    if (!kPortName.match(port).hasMatch())
        return QStringLiteral("slot %1: '%2' is no port: name it COM<n> or by its device path")
            .arg(name, port);
    for (const Slot& slot : policy.portSlots) {
        if (slot.name == name)
            return QStringLiteral("slot %1 is named twice (line %2 too)").arg(name).arg(slot.line);
        if (identity(slot.port) == identity(port))
            return QStringLiteral("slots %1 and %2 are one device").arg(slot.name, name);
    }
    policy.portSlots.append({name, port, line});
    return {};
}

} // namespace

std::variant<Profile, QString> parseProfile(const QByteArray& text, const QString& file,
                                            const PortIdentity& identity)
{
    Profile profile;
    profile.policy.profile = ProfileId{
        file, QFileInfo(file).completeBaseName(),
        QString::fromLatin1(QCryptographicHash::hash(text, QCryptographicHash::Sha256).toHex())
            .left(12)};
    const QString where = inert(QDir::toNativeSeparators(file));
    QString section;
    int stationLine = 0, slotsLine = 0; // where each section begins; 0: it does not
    QSet<QString> seen;
    const QStringList lines = QString::fromUtf8(text).split('\n');
    for (int number = 1; number <= lines.size(); ++number) {
        const QString line = withoutComment(lines[number - 1]);
        QString problem;
        if (line.isEmpty())
            continue;
        if (line.startsWith('[') && line.endsWith(']')) {
            section = line.mid(1, line.size() - 2).trimmed();
            if (section != "station" && section != "slots")
                problem = QStringLiteral("unknown section [%1]").arg(section);
            (section == "station" ? stationLine : slotsLine) = number;
        } else if (const qsizetype eq = line.indexOf('='); eq < 0) {
            problem = QStringLiteral("'%1' is no key = value").arg(line);
        } else if (const QString key = line.left(eq).trimmed(), value = line.mid(eq + 1).trimmed();
                   section == "slots") {
            problem = isStationKey(key)
                          ? QStringLiteral("%1 is a [station] key, not a slot").arg(key)
                          : addSlot(profile.policy, key, value, number, identity);
        } else if (section.isEmpty()) {
            problem = QStringLiteral("%1 comes before [station]").arg(key);
        } else if (!isStationKey(key)) {
            problem = QStringLiteral("unknown key '%1'").arg(key);
        } else if (seen.contains(key)) {
            problem = QStringLiteral("%1 is given twice").arg(key);
        } else {
            seen.insert(key);
            problem = setKey(profile, key, value, number);
        }
        if (!problem.isEmpty()) // the file's own text in it is shown, never obeyed
            return QStringLiteral("%1:%2: %3").arg(where).arg(number).arg(inert(problem));
    }
    // A profile says at least which station it is: an empty or cut file is none.
    if (!stationLine)
        return QStringLiteral("%1:%2: no [station] section: this is no station's profile")
            .arg(where)
            .arg(std::max(1, int(lines.size()) - (text.endsWith('\n') ? 1 : 0)));
    if (slotsLine && profile.policy.portSlots.isEmpty())
        return QStringLiteral("%1:%2: [slots] names no port: leave it out to serve every port")
            .arg(where)
            .arg(slotsLine);
    const Setting* needed = nullptr;
    if (const Setting* setting = unmetNeed(profile.policy, &needed)) {
        const auto it = std::find_if(profile.given.begin(), profile.given.end(),
                                     [&](const GivenSetting& g) { return g.setting == setting; });
        return QStringLiteral("%1:%2: %3 goes with %4")
            .arg(where)
            .arg(it == profile.given.end() ? 0 : it->line)
            .arg(setting->name, needed->name);
    }
    return profile;
}

std::variant<Profile, QString> loadProfile(const QString& file, const PortIdentity& identity)
{
    const QString where = inert(QDir::toNativeSeparators(file));
    QFile in(file);
    const QFileInfo info(file);
    if (!info.isFile()) // a FIFO or a device in its place is never opened
        return where +
               (info.exists() ? ": the profile is not a regular file" : ": no such profile");
    if (info.size() > kProfileMaxBytes)
        return QStringLiteral("%1: the profile is larger than %2 KiB")
            .arg(where)
            .arg(kProfileMaxBytes / 1024);
    if (!in.open(QIODevice::ReadOnly))
        return QStringLiteral("%1: cannot be read: %2").arg(where, in.errorString());
    auto parsed = parseProfile(in.read(kProfileMaxBytes), file, identity);
    const auto* profile = std::get_if<Profile>(&parsed);
    if (profile && profile->policy.locked() && !platform::isAdministrator() &&
        (platform::userMayWrite(file) || platform::userMayWrite(info.absolutePath())))
        return where + ": a locked profile that this user can change is no lock: only an "
                       "administrator may write it and its folder";
    return parsed;
}

QString firmwareProblem(const Profile& profile, const QString& packageFile, const QString& sha256)
{
    if (profile.firmware.isEmpty())
        return {};
    const bool bySha = profile.firmware.size() == 64;
    const QString built = packageFile.chopped(packageFile.endsWith(".bin") ? 4 : 0);
    if (bySha ? profile.firmware == sha256
              : built.compare(QLatin1String(package::kFirmwareNamePrefix) + profile.firmware,
                              Qt::CaseInsensitive) == 0)
        return {};
    return QStringLiteral("%1:%2: the profile is for the firmware %3, but this program carries %4")
        .arg(inert(QDir::toNativeSeparators(profile.policy.profile->file)))
        .arg(profile.firmwareLine)
        .arg(profile.firmware, bySha ? built + " (SHA-256 " + sha256 + ")" : built);
}

} // namespace qx::service
