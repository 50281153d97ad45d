// Watching the machine's serial ports: the device map read at the start and again once the
// ports have changed and gone quiet. The window's list follows it, and so do the served ports.
#pragma once

#include "devicemap.h"
#include "serialline.h"

#include <QList>
#include <QObject>
#include <QStringList>
#include <QTimer>

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

// The machine's ports as last read, and a signal each time they have been read again.
class MachinePorts : public QObject
{
    Q_OBJECT

public:
    MachinePorts(serial::DeviceSource devices, int quietMs, QObject* parent = nullptr);
    // Reads the map now, or takes `map` as just read; from then on follows the machine.
    void start() { read(devices_()); }
    void start(const QList<serial::MapEntry>& map) { read(map); }
    const QList<serial::MapEntry>& map() const { return map_; }
    // As if the ports changed now: they are read again once the changes have been quiet.
    void again() { changes_.again(); }
    void watchFoldersOf(const QStringList& paths) { changes_.watchFoldersOf(paths); }

signals:
    void rescanned(); // map() has the ports as just read

private:
    void read(const QList<serial::MapEntry>& map);

    serial::DeviceSource devices_;
    PortChanges changes_;
    QList<serial::MapEntry> map_;
};

} // namespace qx::service
