// The set of ports a station or the bench serves, following the cable: each port has one
// ServedPort for as long as the program runs. Hands-free, a served port that appears is
// updated once, after it has settled, and not again until it has gone away and come back.
#pragma once

#include "servedport.h"
#include "unitserial.h"

#include <QStringList>
#include <QTimer>

#include <memory>
#include <variant>
#include <vector>

namespace qx::service {

// How long a port that has just appeared is left alone: on Linux ModemManager probes new
// adapters, and a driver may still be opening.
inline constexpr int kSettleMs = 1000;
// Ports come and go in bursts (an adapter makes several changes): the set is read again this
// long after the last one. The settle time covers what comes later.
inline constexpr int kRescanMs = 100;
// The window's port list waits longer: nothing settles after it, and a list that changes
// twice under the technician's pointer is worse than one that changes a little later.
inline constexpr int kListQuietMs = 250;

// A port as named by the user ("COM5", "/dev/ttyUSB0", "/dev/serial/by-id/...") and found in
// the device map; the problem in words when it is not there. On Linux a device path that the
// map does not list (a pseudo-terminal, say) gets a COM number of its own.
std::variant<serial::MapEntry, QString> findPort(const QString& name,
                                                 const QList<serial::MapEntry>& map);
// The ports a face was given, checked in one reading of the machine's ports before any is
// touched: each is found in `map`, or where it `mayComeLater` (a station's, the bench's) it is
// a name a port can have, and a serial device if its path is there; and no device is named
// twice. The first problem in words, or empty.
QString checkPorts(const QStringList& names, const QList<serial::MapEntry>& map, bool mayComeLater);

// Says that the machine's ports have changed, once the changes have been quiet for `quietMs`.
class PortChanges : public QObject
{
    Q_OBJECT

public:
    explicit PortChanges(int quietMs, QObject* parent = nullptr);
    // Wakes for the folders of these device paths too (see serial::DeviceWatcher).
    void watchFoldersOf(const QStringList& paths) { watcher_.watchFoldersOf(paths); }
    // As if a change came now: what was put off while the ports could not be read again.
    void again() { quiet_.start(); }

signals:
    void changed();

private:
    serial::DeviceWatcher watcher_;
    QTimer quiet_;
};

struct ServedPortsSetup
{
    serial::DeviceSource devices = serial::systemDeviceMap;
    QStringList named = {}; // served exactly, each whenever present; empty: every port
    // Without names: only ports that appear after start() are served by themselves.
    bool onlyNew = false;
    int settleMs = kSettleMs;
    int quietMs = kRescanMs;      // how long the changes are let settle before the ports are read
    transfer::Checks checks = {}; // around each update
    bool requireSerial = false;   // an update waits for the unit's serial
    QString serialPattern = QString::fromLatin1(kDefaultSerialPattern); // what a serial matches
};

// Where a scanned serial went (see ServedPorts::scan).
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

class ServedPorts : public QObject
{
    Q_OBJECT

public:
    ServedPorts(const package::Package& package, ServiceRecord& record, ServedPortsSetup setup,
                QObject* parent = nullptr);

    // Reads what is present now (in `map` if given: the machine's ports as just read), and
    // from then on follows the machine's ports.
    void start();
    void start(const QList<serial::MapEntry>& map);
    // Hands-free: a served port that appears from now on is updated once it has settled.
    void setHandsFree(bool on) { handsFree_ = on; }
    bool handsFree() const { return handsFree_; }
    // The checks around each update that starts from now on.
    void setChecks(const transfer::Checks& checks);
    // A scanned serial, checked against the pattern and the serials still pending, goes to the
    // device that asks for it: the one that has waited longest for its serial, else one just
    // plugged in without one (a unit is scanned as it settles), else, hands-free, to the device
    // plugged in next (one each, in the order scanned), else to `selected` where it is present.
    Scan scan(const QString& serial, ServedPort* selected = nullptr);
    void setRequireSerial(bool on);

    // Every port seen so far, in the order first seen; absent ones too.
    QList<ServedPort*> ports() const;
    int running() const; // how many ports run an update or a query
    // The machine's ports as last read: at start(), then after each change.
    const QList<serial::MapEntry>& map() const { return map_; }
    // As if the ports changed now: they are read again once the changes have been quiet.
    void again() { changes_.again(); }
    // Every running update or query ends as interrupted, and no settling port starts.
    void interrupt();

signals:
    void added(qx::service::ServedPort& port); // first seen: a new ServedPort
    void appeared(qx::service::ServedPort& port);
    void gone(qx::service::ServedPort& port);
    // What each port reports (see ServedPort), with the port.
    void starting(qx::service::ServedPort& port, qx::transfer::Job job);
    void advanced(qx::service::ServedPort& port);
    void ended(qx::service::ServedPort& port, const qx::transfer::Outcome& outcome);
    void recordProblem(const QString& said);
    void serialWanted(qx::service::ServedPort& port);
    void transferring(qx::service::ServedPort& port); // an update's transfer starts
    void rescanned(); // the machine's ports were read again: map() has them

private:
    struct Entry
    {
        std::unique_ptr<ServedPort> port;
        serial::MapEntry seen; // as last found in the map
        QString identity;      // the device it was found as: another one is a new plug
        QTimer settle;
    };
    void rescan(bool first, const QList<serial::MapEntry>& map);
    void settled(Entry& entry);
    void forward(ServedPort& port);

    const package::Package& package_;
    ServiceRecord& record_;
    ServedPortsSetup setup_;
    bool handsFree_ = false;
    PortChanges changes_{setup_.quietMs};
    QStringList pendingSerials() const; // every serial bound or queued, not yet recorded
    QList<serial::MapEntry> map_;
    QList<serial::MapEntry> served_; // map_ and the named devices it lacks, each numbered
    QStringList nextSerials_;
    QList<ServedPort*> waiting_; // for their serials, longest first
    std::vector<std::unique_ptr<Entry>> entries_;
};

} // namespace qx::service
