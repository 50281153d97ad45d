// Every option the program takes, read in one place: which face runs, and what it is given.
#pragma once

#include <QString>
#include <QStringList>

#include <variant>

namespace qx::ui {

inline constexpr int kExitSuccess = 0, kExitFailure = 1, kExitUsage = 2;

struct Arguments
{
    enum class Face
    {
        Window,       // no options of ours: Qt's own (-style, -platform ...) are the window's
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
    QString language;         // --language: "zh", "en", or empty for the system's
    QString recordTo;         // --record-to, else QX_RECORD_TO: the shared record's database
    bool startOnPlug = false; // the bench's hands-free from the start
    bool json = false;        // --json: the command line's results as JSON lines
    QStringList ports;        // as the user named them
    QString helpText;         // --help's, the options listed
    QString recordFolder;     // the deliverer's: whose outbox it delivers
};

// `arguments` without the program's name, or a usage error in words; `recordToFromEnvironment`
// is QX_RECORD_TO's value, which --record-to overrides.
std::variant<Arguments, QString> parseArguments(const QStringList& arguments,
                                                const QString& recordToFromEnvironment = {});
// A usage error's line on standard error.
QString usageLine(const QString& problem);

} // namespace qx::ui
