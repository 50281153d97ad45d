// A station's profile: an INI file that a supervisor writes, whose keys are the command-line
// options' own long names, read and checked whole before any port is touched.
#pragma once

#include "settings.h"

#include <QByteArray>
#include <QSet>
#include <QString>

#include <functional>
#include <variant>

namespace qx::service {

// [station]'s keys besides the settings' own: what the profile is called, whether it locks
// them, and the firmware it is for.
inline constexpr const char* kProfileOwnKeys[] = {"name", "locked", "firmware"};
// Past this size a file is no profile a person wrote.
inline constexpr qint64 kProfileMaxBytes = 64 * 1024;

struct Profile
{
    StationPolicy policy;      // its slots and settings; those it leaves out at their defaults
    QList<GivenSetting> given; // the settings it gives, each with its line
    QString firmware; // the firmware it is for: a version ("1.3.7") or a SHA-256; any if empty
    int firmwareLine = 0;
};

// Which device a port name stands for, so that two slots for one device are caught: a link
// and its target, COM5 and com5.
using PortIdentity = std::function<QString(const QString& port)>;

// `text` as the profile `file`: the profile, or what is wrong as "FILE:LINE: ...".
std::variant<Profile, QString> parseProfile(const QByteArray& text, const QString& file,
                                            const PortIdentity& identity);
// Reads `file` and parses it. A locked profile that the running user could change (the file
// or its folder) is refused unless that user is the administrator: a lock an operator can
// edit is none.
std::variant<Profile, QString> loadProfile(const QString& file, const PortIdentity& identity);
// Why a program whose built-in firmware is `packageFile` ("QX-LP4R-V1.3.7.bin") with the image
// checksum `sha256` must not serve `profile`, naming both; empty where it may.
QString firmwareProblem(const Profile& profile, const QString& packageFile, const QString& sha256);

} // namespace qx::service
