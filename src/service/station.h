// A station: the ports it serves, following the cable (each port has one ServedPort for as
// long as the program runs), its one policy, its tally and its record, and one stream of
// events that every face watches. Hands-free, a served port that appears is updated once,
// after it has settled, and not again until it has gone away and come back.
#pragma once

#include "machineports.h"
#include "servedport.h"
#include "stationpolicy.h"
#include "unitserial.h"

#include <QStringList>
#include <QTimer>

#include <memory>
#include <variant>
#include <vector>

namespace qx::service {

// A port as named by the user ("COM5", "/dev/ttyUSB0", "/dev/serial/by-id/...") and found in
// the device map; the problem in words when it is not there. On Linux a device path that the
// map does not list (a pseudo-terminal, say) gets a COM number of its own.
std::variant<serial::MapEntry, QString> findPort(const QString& name,
                                                 const QList<serial::MapEntry>& map);
// The device a port name stands for, in `map` or the file system: a path and a link to it,
// COM5 and com5, a COM name and its device's path are one device.
QString portIdentity(const QString& name, const QList<serial::MapEntry>& map);
// The ports a face was given, checked in one reading of the machine's ports before any is
// touched: each is found in `map`, or where it `mayComeLater` (a station's, the bench's) it is
// a name a port can have, and a serial device if its path is there; and no device is named
// twice. The first problem in words, or empty.
QString checkPorts(const QStringList& names, const QList<serial::MapEntry>& map, bool mayComeLater);
// The same for a policy's slots: a profile's slot that fails names the profile's file and line.
QString checkSlots(const StationPolicy& policy, const QList<serial::MapEntry>& map,
                   bool mayComeLater);

struct StationSetup
{
    serial::DeviceSource devices = serial::systemDeviceMap;
    StationPolicy policy = {}; // the slots, the checks, the serial's rules, the settle time ...
};

// The outcomes of the ports' jobs so far, counted once for every face.
struct Tally
{
    int updated = 0;       // updates that succeeded
    int current = 0;       // devices found to run this firmware already
    int answered = 0;      // queries answered
    int failedUpdates = 0; // of `failed`
    QStringList failed;    // the ports whose job failed, as each failed
    int ended() const { return updated + current + answered + int(failed.size()); }
    void add(const QString& port, const transfer::Outcome& outcome);
};

// What a station tells its faces: one event, of one kind.
struct StationEvent
{
    enum Kind
    {
        PortAdded,     // first seen: a ServedPort for as long as the program runs
        PortAppeared,  // plugged in (again)
        PortGone,      // unplugged: what ran on it ends as a lost line
        JobStarting,   // `job` was asked for
        SerialWanted,  // an update waits for its unit's serial
        Checking,      // an update's check before it asks
        Transferring,  // an update's transfer starts
        Advanced,      // a reply was accepted: the port's steps() grew by one
        VersionRead,   // `said`: a query's answer so far
        JobEnded,      // `outcome`, counted in the tally; `failed` says whether it failed
        RecordProblem, // `said`: what to tell the user of the record
    } kind;
    ServedPort* port = nullptr; // none for a record problem
    transfer::Job job = transfer::Job::Update;
    const transfer::Outcome* outcome = nullptr; // JobEnded's
    bool failed = false;                        // JobEnded's
    QString said = {};                          // RecordProblem's, VersionRead's
};

// Where a scanned serial went (see Station::scan).
struct Scan
{
    enum
    {
        Bound,    // to `port`
        Queued,   // hands-free, to the next device plugged in without one
        Refused,  // bound to nothing: `problem` says why
        NoDevice, // bound to nothing: no device asks for it and no row is selected
    } went = Refused;
    ServedPort* port = nullptr;
    QString problem = {};
};

class Station : public QObject
{
    Q_OBJECT

public:
    Station(const package::Package& package, ServiceRecord& record, StationSetup setup,
            QObject* parent = nullptr);

    // Reads what is present now (in `map` if given: the machine's ports as just read), and
    // from then on follows the machine's ports.
    void start();
    void start(const QList<serial::MapEntry>& map);
    // How the ports are served. A face changes what a person may change (a bench's boxes) with
    // setPolicy(), for each update that starts from then on: hands-free, a port that appears
    // from then on is updated once it has settled; a serial no longer required lets a waiting
    // device start. A locked profile's policy stays as it is: false.
    const StationPolicy& policy() const { return setup_.policy; }
    bool setPolicy(const StationPolicy& policy);
    const Tally& tally() const { return tally_; }
    // A scanned serial, checked against the pattern and the serials still pending, goes to the
    // device that asks for it: the one that has waited longest for its serial, else one just
    // plugged in without one (a unit is scanned as it settles), else, hands-free, to the device
    // plugged in next (one each, in the order scanned), else to `selected` where it is present.
    Scan scan(const QString& serial, ServedPort* selected = nullptr);

    // Every port seen so far, in the order first seen; absent ones too.
    QList<ServedPort*> ports() const;
    int running() const; // how many ports run an update or a query
    // The machine's ports as last read: at start(), then after each change.
    const QList<serial::MapEntry>& map() const { return machine_.map(); }
    // Every running update or query ends as interrupted, and no settling port starts.
    void interrupt();
    // The one line a window holds open from Connect to Disconnect: served by this station's
    // policy and heard through its events like every other port; made at the first call.
    ServedPort& heldPort();

signals:
    // Everything a face hears of the station, one kind an event.
    void event(const qx::service::StationEvent& event);

private:
    struct Entry
    {
        std::unique_ptr<ServedPort> port;
        serial::MapEntry seen; // as last found in the map
        QString identity;      // the device it was found as: another one is a new plug
        QTimer settle;
    };
    void rescan();
    void settled(Entry& entry);
    void forward(ServedPort& port);
    void tell(StationEvent::Kind kind, ServedPort& port);

    const package::Package& package_;
    ServiceRecord& record_;
    StationSetup setup_;
    MachinePorts machine_{setup_.devices, kRescanMs};
    Tally tally_;
    bool first_ = true;                 // the next reading is the one at start()
    QStringList pendingSerials() const; // every serial bound or queued, not yet recorded
    QList<serial::MapEntry> served_;    // map_ and the named devices it lacks, each numbered
    QStringList nextSerials_;
    QList<ServedPort*> waiting_; // for their serials, longest first
    std::vector<std::unique_ptr<Entry>> entries_;
    std::unique_ptr<ServedPort> held_;
};

} // namespace qx::service
