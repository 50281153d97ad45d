// How a station serves its ports, in one value: built once from the arguments or from a
// profile, handed to the served ports and applied there alone.
#pragma once

#include "machineports.h"
#include "recordto.h"
#include "session.h"
#include "unitserial.h"

#include <QHash>
#include <QList>
#include <QString>

#include <optional>
#include <variant>

namespace qx::service {

// A port a station serves, with the profile's name for it.
struct Slot
{
    QString name; // "A1"; empty: the port as named is its name
    QString port; // as named: COM7, /dev/serial/by-path/..., /dev/ttyUSB0
    int line = 0; // the profile's line that names it; 0 from the command line
    const QString& shown() const { return name.isEmpty() ? port : name; }
};

// The profile a policy came from, as every record line names it.
struct ProfileId
{
    QString file;        // as given, or the default profile's path
    QString name;        // its [station] name; the file's name without one
    QString fingerprint; // the first 12 hex digits of the file's SHA-256
    bool locked = false;
    QString shown() const { return name + " (" + fingerprint + ")"; }
};

// Which jobs leave their trace in the traces folder; the trace setting's words in this order.
enum class TraceKeep
{
    Failures, // a failed or interrupted job's
    All,      // every job's
    Off,      // none: nothing is recorded either
};

struct StationPolicy
{
    QList<Slot> portSlots;    // served exactly, each whenever present; empty: every port
    transfer::Checks checks;  // around each update
    bool startOnPlug = false; // hands-free: each device starts when it is plugged in
    bool requireSerial = false;
    QString serialPattern = QString::fromLatin1(kDefaultSerialPattern);
    std::optional<Database> recordTo; // the shared record; none without
    std::optional<ProfileId> profile; // where it came from; none from the arguments alone
    TraceKeep traces = TraceKeep::Failures;
    QString recordFolder; // the record's, its outbox's and the traces'; empty: the user's own
    // How the program serves ports beyond what a person sets.
    int settleMs = kSettleMs; // the wait after a port appears before its update
    bool onlyNew = false;     // without slots: only ports that appear after start()
    int busyRetryMs = 5000;   // a hands-free port another program holds is tried so long
    int queryLimitMs = transfer::kQueryTimeoutMs; // a query's reply limit on a per-job line

    // The ports named, each its own slot.
    static StationPolicy serving(const QStringList& ports)
    {
        StationPolicy policy;
        for (const QString& port : ports)
            policy.portSlots.append({{}, port});
        return policy;
    }
    QStringList ports() const
    {
        QStringList ports;
        for (const Slot& slot : portSlots)
            ports << slot.port;
        return ports;
    }
    // The slot a port as named belongs to, as the record names it.
    QString slotOf(const QString& port) const
    {
        for (const Slot& slot : portSlots)
            if (slot.port == port)
                return slot.shown();
        return port;
    }
    bool locked() const { return profile && profile->locked; }
};

// The serials given with an update (`given`: "SN" for the one port, or "PORT=SN"), bound to
// the policy's ports and checked by its rules: each port's serial, or what is wrong in words.
std::variant<QHash<QString, QString>, QString>
givenSerials(const QStringList& given, const StationPolicy& policy, bool update);

} // namespace qx::service
