// The machine's ports followed: a quiet timer after the watcher's changes, then one reading.
#include "machineports.h"

namespace qx::service {

PortChanges::PortChanges(int quietMs, QObject* parent) : QObject(parent)
{
    quiet_.setSingleShot(true);
    quiet_.setInterval(quietMs);
    connect(&watcher_, &serial::DeviceWatcher::changed, &quiet_, qOverload<>(&QTimer::start));
    connect(&quiet_, &QTimer::timeout, this, &PortChanges::changed);
}

MachinePorts::MachinePorts(serial::DeviceSource devices, int quietMs, QObject* parent)
    : QObject(parent), devices_(std::move(devices)), changes_(quietMs)
{
    connect(&changes_, &PortChanges::changed, this, [this] { read(devices_()); });
}

void MachinePorts::read(const QList<serial::MapEntry>& map)
{
    map_ = map;
    emit rescanned();
}

} // namespace qx::service
