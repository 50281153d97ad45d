// One port the program serves: its line, the session that runs on it, the machine kept awake
// while it works, and its line in the service record for each outcome. Every face starts its
// jobs with start() and hears them through ended().
#pragma once

#include "commlink.h"
#include "commport.h"
#include "devicemap.h"
#include "packageformat.h"
#include "platform.h"
#include "portjob.h"
#include "servicerecord.h"
#include "session.h"
#include "stationpolicy.h"
#include "trace.h"

#include <QDeadlineTimer>
#include <QObject>
#include <QString>
#include <QTimer>

#include <optional>

namespace qx::service {

// The policy of a port served on its own: no checks, no serial required.
inline const StationPolicy kNoPolicy{};

// How often a port that another program holds is tried again.
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

    // How long the line stays open.
    enum class Lifetime
    {
        PerJob, // start() opens it and its outcome closes it: the command line, station, bench
        Held,   // hold() opens it and release() closes it, jobs run on it between: the window
    };

    // `policy` (the served ports', which outlive it) says how its updates are checked and
    // whether they wait for a serial; the window's held line has none of that.
    ServedPort(const package::Package& package, ServiceRecord& record,
               const StationPolicy& policy = kNoPolicy, QObject* parent = nullptr);
    ~ServedPort() override; // the port is closed

    // The port's name as the user knows it (COM7, /dev/serial/by-id/...) and its map entry;
    // the record and the sleep hold name them, and the line opens the entry's device.
    void setTarget(const QString& name, const serial::MapEntry& entry);
    const QString& name() const { return name_; }
    const serial::MapEntry& entry() const { return entry_; }
    // What the faces show of the line and the session; they act through the calls below.
    const serial::CommPort& port() const { return port_; }
    const transfer::Session& session() const { return session_; }

    // Connect: a query left unanswered on the previous port is recorded there, then the line
    // to this one is opened and held. A refusal is thrown as a serial::CommError.
    void hold(const QString& name, const serial::MapEntry& entry);
    // Disconnect: the held line closes.
    void release();

    // Starts `job`, and ended() reports its outcome.
    // - PerJob: the port is opened first, a query gets the command line's reply limit, and the
    //   outcome closes the port again; a refusal ends it as a failure. A port that another
    //   program holds is tried again every kBusyRetryEveryMs until `busyRetryMs` have passed.
    //   Started while it settles, the port has had its one update for this plug.
    // - Held: it runs on the open line, a query collecting until the next job; a refusal is
    //   recorded and thrown as a serial::CommError, and nothing is reported.
    void start(transfer::Job job, int busyRetryMs = 0);
    bool running() const { return running_; }
    // The last outcome ended() reported, until the next start() or until the port appears
    // again: a failure stays in view while its device is away.
    const std::optional<transfer::Outcome>& lastOutcome() const { return lastOutcome_; }
    // What runs ends as interrupted, reported by ended(); a per-job port is closed.
    void interrupt();
    // The port left the machine: what runs ends as a lost line.
    void removed();
    // The face goes away: nothing more is sent or reported, an update that runs is recorded
    // as interrupted, and the port closes.
    void close();

    // The update's accepted replies so far, of stepCount().
    int steps() const { return steps_; }
    int stepCount() const { return package_.packetCount + 3; }

    // Where the port is this time it is plugged in; the set of served ports keeps it.
    Plug plug() const { return plug_; }
    // Whether hands-free updates it when it appears (a bench row's check box).
    bool chosen() const { return chosen_; }
    void setChosen(bool on) { chosen_ = on; }

    // The serial number of the unit on this port, recorded with each outcome until an
    // update's outcome has been reported; it goes when the device does.
    const QString& unitSerial() const { return unitSerial_; }
    // Binds `serial`; an update waiting for one starts now.
    void setUnitSerial(const QString& serial);
    // With a serial required, an update started without one waits for it, reported by
    // serialWanted(); once the policy requires none, it starts.
    void policyChanged();
    bool waitsForSerial() const { return waitingStart_.has_value(); }

    // The last job's trace as the traces folder keeps it ("traces/<file>"), or empty where it
    // was not kept; and what support gets of that job: its record line and its trace.
    const QString& traceFile() const { return traceFile_; }
    QByteArray diagnostics() const;
    QString diagnosticsFile() const; // where they are offered to go: beside the record

signals:
    void starting(qx::transfer::Job job);             // start() was called
    void checking();                                  // an update's check before it asks
    void transferring();                              // an update's transfer starts
    void advanced();                                  // steps() grew by one
    void versionRead(const QString& caption);         // a query's answer so far
    void ended(const qx::transfer::Outcome& outcome); // once per outcome of a start()
    void recordProblem(const QString& said);          // what to tell the user of the record
    void serialWanted();                              // an update waits for the unit's serial

private:
    void tryStart();
    // Ends a start() that never got its port: recorded as refused, reported with `reason`.
    void giveUp(const QString& reason);
    void end(const transfer::Outcome& outcome);
    void recordOutcome(const transfer::Outcome& outcome);
    void beginTrace(const QString& opened); // a job's trace starts with the port's opening
    // The trace ends with `outcome`; kept where the policy says, as the record line names it.
    void keepTrace(const transfer::Outcome& outcome, const QString& time);
    transfer::TraceHeader traceHeader(const QString& time) const;

    const package::Package& package_;
    ServiceRecord& record_;
    QString name_;
    serial::MapEntry entry_;
    serial::CommPort port_;
    CommLink link_{port_};
    transfer::Session session_;
    transfer::PortJob portJob_{session_,
                               package_}; // the checks around an update, above the session
    platform::SleepHold awake_;
    QTimer busyRetry_;
    QDeadlineTimer busyUntil_;
    Lifetime lifetime_ = Lifetime::PerJob;
    transfer::Job job_ = transfer::Job::Update;
    bool running_ = false; // between start() and ended()
    std::optional<transfer::Outcome> lastOutcome_;
    int steps_ = 0;
    Plug plug_ = Plug::Absent;
    bool chosen_ = true;
    const StationPolicy& policy_; // the station's, as it is now: whether a start waits
    StationPolicy jobPolicy_;     // as the current or last job began: all it reads below
    QString unitSerial_;
    std::optional<int> waitingStart_; // an update waiting for a serial: its busy retry time
    transfer::Trace trace_;           // the current or last job's
    QString traceTime_;               // its record line's time
    QString traceFile_;               // where it was kept; empty: it was not
    QStringList lastFields_;          // the last record line's fields

    friend class Station; // follows the cable, and so the plug
};

} // namespace qx::service
