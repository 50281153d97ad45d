// Every option the program takes, read in one place: which face runs, and what it is given.
#pragma once

#include "recordto.h"
#include "session.h"
#include "unitserial.h"

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
    };
    Face face = Face::Window;
    Command command = Command::None;
    QString language;                // --language: "zh", "en", or empty for the system's
    bool startOnPlug = false;        // the bench's hands-free from the start
    bool json = false;               // --json: the command line's results as JSON lines
    transfer::Checks checks;         // --skip-current, --force, --verify: around each update
    QHash<QString, QString> serials; // --serial: each named port's unit serial
    bool requireSerial = false;      // --require-serial
    QString serialPattern = QString::fromLatin1(service::kDefaultSerialPattern);
    QStringList ports;    // as the user named them
    QString helpText;     // --help's
    QString recordFolder; // the deliverer's: whose outbox it delivers
    // --record-to, else QX_RECORD_TO: the shared record's database, parsed; none without
    std::optional<service::Database> recordTo;
};

// `arguments` without the program's name, or a usage error in words; `recordToFromEnvironment`
// is QX_RECORD_TO's value, which --record-to overrides.
std::variant<Arguments, QString> parseArguments(const QStringList& arguments,
                                                const QString& recordToFromEnvironment = {});
// A usage error's line on standard error.
QString usageLine(const QString& problem);

} // namespace qx::ui
