// Every option the program takes, read in one place: which face runs, and what it is given.
#pragma once

#include "platform.h"
#include "profile.h"
#include "stationpolicy.h"

#include <QHash>

#include <QString>
#include <QStringList>

#include <optional>
#include <variant>

namespace qx::ui {

inline constexpr int kExitSuccess = 0, kExitFailure = 1, kExitUsage = 2;

struct Arguments
{
    enum class Face
    {
        Window,       // no option that chooses a face; Qt's own (-style, -platform ...) reach it
        Bench,        // --bench [--start-on-plug] [PORT...]
        CommandLine,  // --update, --query, --station, --list, --help, --version
        RecordFolder, // --open-record-folder
        Delivery,     // --deliver-record FOLDER --record-to URL: the shared record's deliverer
    };
    enum class Command
    {
        None,
        Update,
        Query,
        Station,
        List,
        Help,
        Version,
        Explain,      // --explain TRACE
        Replay,       // --replay TRACE
        CheckProfile, // --check-profile [FILE]
    };
    Face face = Face::Window;
    Command command = Command::None;
    QString language;  // --language: "zh", "en", or empty for the system's
    bool json = false; // --json: the command line's results as JSON lines
    // How the ports are served, from the options or a profile: the ports as the user or the
    // profile named them, the checks, start-on-plug, the serial's rules, and the shared
    // record (--record-to, else QX_RECORD_TO, parsed).
    service::StationPolicy policy;
    QHash<QString, QString> serials; // --serial: each named port's unit serial
    QString helpText;                // --help's
    QString recordFolder;            // the deliverer's: whose outbox it delivers
    QString traceFile;               // --explain's or --replay's
    // --check-profile's: the profile read as a run would read it, and its file.
    std::optional<service::Profile> checkedProfile;
    QString profileFile;
    QStringList ports() const { return policy.ports(); }
};

// Where the default profile is: the platform's place; a test build's tests may name another
// (QX_DEFAULT_PROFILE), so that no machine's own profile reaches them. A release never moves it.
QString defaultProfileFile();
// `arguments` without the program's name, or a usage error in words; `recordToFromEnvironment`
// is QX_RECORD_TO's value, which --record-to overrides; `defaultProfile` is read where it
// exists by a station, a bench or an update given no --profile.
std::variant<Arguments, QString>
parseArguments(const QStringList& arguments, const QString& recordToFromEnvironment = {},
               const QString& defaultProfile = defaultProfileFile());
// A usage error's line on standard error.
QString usageLine(const QString& problem);

} // namespace qx::ui
