// The program without its window: --update and --query on several ports at once, each with a
// line, a CommPort and a Session of its own; --list, --help and --version.
#pragma once

#include "commlink.h"
#include "commport.h"
#include "devicemap.h"
#include "servicerecord.h"
#include "session.h"
#include "system.h"

#include <QCoreApplication>
#include <QObject>
#include <QStringList>

#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <variant>
#include <vector>

namespace qx::ui {

// What the command line takes from its surroundings; tests capture its output here.
struct CommandLineSetup
{
    serial::DeviceSource devices = serial::systemDeviceMap;
    QString programDir = QCoreApplication::applicationDirPath();
    std::span<const std::uint8_t> package = {}; // empty: the embedded package
    QString recordFolder = serial::serviceRecordFolder();
    std::function<void(const QString&)> out; // one whole line of results; default stdout
    std::function<void(const QString&)> err; // one whole line of diagnostics; default stderr
};

inline constexpr int kExitSuccess = 0, kExitFailure = 1, kExitUsage = 2;

// A port as named on the command line ("COM5", "/dev/ttyUSB0") and found in the device map;
// the error text when it is not there.
std::variant<serial::MapEntry, QString> findPort(const QString& name,
                                                 const QList<serial::MapEntry>& map);

class CommandLine : public QObject
{
    Q_OBJECT

public:
    explicit CommandLine(CommandLineSetup setup = {}, QObject* parent = nullptr);
    ~CommandLine() override;

    // The exit status at once (help, version, list, a usage error), or nothing while ports
    // run: finished() then follows.
    std::optional<int> start(const QStringList& arguments);
    // Stops every device still running, each reported as interrupted, and closes its port.
    void interrupt();

signals:
    void finished(int status);

private:
    struct Device
    {
        QString name;
        serial::MapEntry entry;
        std::unique_ptr<serial::CommPort> port;
        std::unique_ptr<CommLink> link;
        std::unique_ptr<transfer::Session> session;
        std::unique_ptr<serial::SleepHold> awake;
        int steps = 0;     // accepted replies of the update
        int shownTens = 0; // progress printed, in tens of percent
        bool done = false;
        bool ok = false;
    };

    void startDevice(Device& device, bool update);
    void progress(Device& device);
    void end(Device& device, bool ok, const QString& line);
    int usage(const QString& problem);
    int list();

    CommandLineSetup setup_;
    ServiceRecord record_{setup_.recordFolder};
    package::Package package_;
    std::vector<std::unique_ptr<Device>> devices_;
    bool running_ = false;
};

} // namespace qx::ui
