// The program without its window: --update and --query on several ports at once, --station
// serving ports as they are plugged in, each port a ServedPort of its own; --list, --help and
// --version.
#pragma once

#include "arguments.h"
#include "engine.h"
#include "replay.h"
#include "station.h"

#include <QHash>
#include <QJsonObject>
#include <QObject>
#include <QStringList>

#include <memory>
#include <optional>

namespace qx::ui {

// --json's format, in every line: raised when an event or a field is removed or renamed.
inline constexpr int kJsonFormat = 1;

class CommandLine : public QObject
{
    Q_OBJECT

public:
    // The setup's out and err take its lines; by default standard output and error.
    explicit CommandLine(service::Setup setup = {}, QObject* parent = nullptr);

    // The exit status at once (help, version, list, a usage error), or nothing while ports
    // run: finished() then follows.
    std::optional<int> start(const Arguments& arguments);
    // Stops every device still running, each reported as interrupted, and closes its port;
    // a station then ends.
    void interrupt();
    // The station's standard input: a unit's serial for the device that asks for it, and the
    // end of them, which is said once; with serials required, devices go on waiting.
    void unitScanned(const QString& serial);
    void scansEnded();

signals:
    void finished(int status);

private:
    int usage(const QString& problem);
    int list();
    int checkProfile(const Arguments& arguments);
    int explain(const QString& file);
    std::optional<int> replay(const QString& file);
    bool loadPackage();
    std::optional<int> startStation(service::StationPolicy policy,
                                    const QList<serial::MapEntry>& map);
    void serve(service::StationSetup setup); // the ports, their lines reported
    void heard(const service::StationEvent& event);
    void starting(service::ServedPort& port, transfer::Job job);
    void checking(service::ServedPort& port);
    void transferring(service::ServedPort& port);
    static QString unitOf(const service::ServedPort& port); // " for unit SN", or empty
    void progress(service::ServedPort& port);
    void ended(service::ServedPort& port, const transfer::Outcome& outcome, bool failed);
    void summarize();
    // One line of results: `text` after the port's name, or with --json the object with the
    // port and the time.
    void say(const service::ServedPort* port, const QString& text, QJsonObject json);

    service::Engine engine_;
    const service::Setup& setup_ = engine_.setup();
    std::unique_ptr<service::Station> ports_;
    std::unique_ptr<transfer::ParsedTrace> replayed_; // --replay's trace, and its replay
    std::unique_ptr<transfer::Replay> replay_;
    bool station_ = false;
    bool json_ = false;                                // --json: a JSON object a line
    qsizetype portCount_ = 0;                          // --update and --query's
    QHash<const service::ServedPort*, int> shownTens_; // progress printed, in tens of percent
    bool running_ = false;
};

} // namespace qx::ui
