// One port the program serves: its line, the session that runs on it, the machine kept awake
// while it works, and its line in the service record for each outcome. Every face drives its
// ports through these.
#pragma once

#include "commlink.h"
#include "commport.h"
#include "devicemap.h"
#include "packageformat.h"
#include "platform.h"
#include "servicerecord.h"
#include "session.h"

#include <QDeadlineTimer>
#include <QObject>
#include <QString>
#include <QTimer>

namespace qx::service {

// How long a port that another program holds is tried again, and how often.
inline constexpr int kBusyRetryMs = 5000;
inline constexpr int kBusyRetryEveryMs = 250;

class ServedPort : public QObject
{
    Q_OBJECT

public:
    // Where the port is on a station or the bench, as the set of served ports follows it.
    enum class Plug
    {
        Absent,
        Settling, // just appeared: its update follows once it has settled
        Present,  // not updated by itself this time it is plugged in
        Served,   // its one update for this time it is plugged in has begun
    };

    // `devices` is the map the port is opened from; without one, the port's own entry.
    ServedPort(const package::Package& package, ServiceRecord& record,
               serial::DeviceSource devices = {}, QObject* parent = nullptr);
    ~ServedPort() override; // the port is closed

    // The port's name as the user knows it (COM7, /dev/serial/by-id/...) and its map entry;
    // the record and the sleep hold name them.
    void setTarget(const QString& name, const serial::MapEntry& entry);
    const QString& name() const { return name_; }
    const serial::MapEntry& entry() const { return entry_; }
    serial::CommPort& port() { return port_; }
    transfer::Session& session() { return session_; }
    const transfer::Session& session() const { return session_; }

    // Opens the port and starts `job` (a query with the command line's reply limit); the port
    // is closed again at the outcome, which ended() reports. A port that another program holds
    // is tried again every kBusyRetryEveryMs until `busyRetryMs` have passed. Started while it
    // settles, the port has had its one update for this plug.
    void start(transfer::Job job, int busyRetryMs = 0);
    bool running() const { return running_; }
    // What start() began ends as interrupted, and the port is closed.
    void interrupt();
    // The port left the machine: what runs ends as a lost line.
    void removed();

    // The update's accepted replies so far, of stepCount().
    int steps() const { return steps_; }
    int stepCount() const { return package_.packetCount + 3; }

    // Where the port is this time it is plugged in; the set of served ports keeps it.
    Plug plug() const { return plug_; }
    // Whether hands-free updates it when it appears (a bench row's check box).
    bool chosen() const { return chosen_; }
    void setChosen(bool on) { chosen_ = on; }

signals:
    void starting(qx::transfer::Job job);             // start() was called
    void ended(const qx::transfer::Outcome& outcome); // once per start()
    void recordProblem(const QString& said);          // what to tell the user of the record

private:
    void tryStart();
    // Ends a start() that never got its port: recorded as refused, reported with `reason`.
    void giveUp(const QString& reason);
    void end(const transfer::Outcome& outcome);
    void recordOutcome(const transfer::Outcome& outcome);

    const package::Package& package_;
    ServiceRecord& record_;
    QString name_;
    serial::MapEntry entry_;
    serial::CommPort port_;
    CommLink link_{port_};
    transfer::Session session_;
    platform::SleepHold awake_;
    QTimer busyRetry_;
    QDeadlineTimer busyUntil_;
    transfer::Job job_ = transfer::Job::Update;
    bool running_ = false; // between start() and ended()
    int steps_ = 0;
    Plug plug_ = Plug::Absent;
    bool chosen_ = true;
    struct HashedAs
    {
        package::HeaderPacket header{};
        const void* data = nullptr;
        std::size_t size = 0;
        bool operator==(const HashedAs&) const = default;
    } hashedAs_; // the package that sha_ is the image checksum of
    QString sha_;

    friend class ServedPorts; // follows the cable, and so the plug
};

} // namespace qx::service
