// The program without its window: --update and --query on several ports at once, --station
// serving ports as they are plugged in, each port a ServedPort of its own; --list, --help and
// --version.
#pragma once

#include "devicemap.h"
#include "servedports.h"
#include "servicerecord.h"

#include <QCoreApplication>
#include <QHash>
#include <QObject>
#include <QStringList>

#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <vector>

namespace qx::ui {

// What the command line takes from its surroundings; tests capture its output here.
struct CommandLineSetup
{
    serial::DeviceSource devices = serial::systemDeviceMap;
    QString programDir = QCoreApplication::applicationDirPath();
    std::span<const std::uint8_t> package = {}; // empty: the embedded package
    QString recordFolder = platform::serviceRecordFolder();
    std::function<void(const QString&)> out; // one whole line of results; default stdout
    std::function<void(const QString&)> err; // one whole line of diagnostics; default stderr
    int settleMs = service::kSettleMs;       // the station's wait after a port appears
};

inline constexpr int kExitSuccess = 0, kExitFailure = 1, kExitUsage = 2;

class CommandLine : public QObject
{
    Q_OBJECT

public:
    explicit CommandLine(CommandLineSetup setup = {}, QObject* parent = nullptr);

    // The exit status at once (help, version, list, a usage error), or nothing while ports
    // run: finished() then follows.
    std::optional<int> start(const QStringList& arguments);
    // Stops every device still running, each reported as interrupted, and closes its port;
    // a station then ends.
    void interrupt();

signals:
    void finished(int status);

private:
    int usage(const QString& problem);
    int list();
    bool loadPackage();
    std::optional<int> startStation(const QStringList& names, const QList<serial::MapEntry>& map);
    void report(service::ServedPort& port); // its start, progress and verdict lines
    void progress(service::ServedPort& port);
    void ended(service::ServedPort& port, const transfer::Outcome& outcome);
    void summarize();

    CommandLineSetup setup_;
    service::ServiceRecord record_{setup_.recordFolder};
    package::Package package_;
    std::vector<std::unique_ptr<service::ServedPort>> ports_; // --update, --query
    std::unique_ptr<service::ServedPorts> station_;
    QHash<const service::ServedPort*, int> shownTens_; // progress printed, in tens of percent
    int succeeded_ = 0;
    QStringList failed_; // as each failed
    bool running_ = false;
};

} // namespace qx::ui
