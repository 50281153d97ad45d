// A station: the served ports as they come and go, one hands-free update per plug, and the
// events every face hears.
#include "station.h"

#include "inert.h"
#include "settings.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>

#include <algorithm>

namespace qx::service {

namespace {
const QRegularExpression& comName()
{
    static const QRegularExpression pattern("^COM\\d+$", QRegularExpression::CaseInsensitiveOption);
    return pattern;
}

// The device behind an entry, as the file system resolves it where it can.
QString identityOf(const serial::MapEntry& entry)
{
    const QString canonical = QFileInfo(entry.device.systemLocation).canonicalFilePath();
    return canonical.isEmpty() ? entry.device.systemLocation : canonical;
}

// Whether `name` can name a port at all: COM<n>, or on Linux an absolute device path.
bool isPortName(const QString& name)
{
    return comName().match(name).hasMatch() || name.startsWith('/');
}

// The first of `names` that names a device an earlier one names too, or empty: a path and a
// link to it, COM5 and com5, a COM name and its device's path are one device, which one
// session at a time may have.
QString namedTwice(const QStringList& names, const QList<serial::MapEntry>& map)
{
    QStringList seen;
    for (const QString& name : names) {
        const QString identity = portIdentity(name, map);
        if (seen.contains(identity))
            return name;
        seen << identity;
    }
    return QString();
}

// `map` and the named devices it does not list (pseudo-terminals, say): each of those gets a
// COM number that no other device present has, the one it had in `before` where it can.
QList<serial::MapEntry> withNamedDevices(const QStringList& names,
                                         const QList<serial::MapEntry>& map,
                                         const QList<serial::MapEntry>& before)
{
    QList<serial::MapEntry> all = map;
    const auto listed = [&](const QString& device) {
        return std::any_of(all.begin(), all.end(),
                           [&](const serial::MapEntry& e) { return identityOf(e) == device; });
    };
    const auto taken = [&](int number) {
        return std::any_of(all.begin(), all.end(),
                           [&](const serial::MapEntry& e) { return e.comNumber == number; });
    };
    for (const QString& name : names) {
        const QString device = QFileInfo(name).canonicalFilePath();
        if (comName().match(name).hasMatch() || device.isEmpty() || listed(device) ||
            !serial::notASerialDevice(device).isEmpty())
            continue;
        int number = 0;
        for (const serial::MapEntry& e : before)
            if (e.device.systemLocation == device && !taken(e.comNumber))
                number = e.comNumber;
        for (int n = serial::kFirstOtherComNumber; !number && n <= serial::kMaxComNumber; ++n)
            number = taken(n) ? 0 : n;
        if (number)
            all.append({number, QStringLiteral("COM%1").arg(number), {device, {}, {}}});
    }
    return all;
}

} // namespace

QString portIdentity(const QString& name, const QList<serial::MapEntry>& map)
{
    // The device's own path where the map or the file system knows it; a port not there yet
    // (a station waits for it) by its COM number or its path.
    const auto found = findPort(name, map);
    const auto number = serial::portNumberFromName(name);
    return std::holds_alternative<serial::MapEntry>(found)
               ? identityOf(std::get<serial::MapEntry>(found))
           : comName().match(name).hasMatch() && number ? QStringLiteral("COM%1").arg(*number)
                                                        : QDir::cleanPath(name);
}

QString checkPorts(const QStringList& names, const QList<serial::MapEntry>& map, bool mayComeLater)
{
    if (const QString twice = namedTwice(names, map); !twice.isEmpty())
        return twice + " is named twice";
    for (const QString& name : names) {
        const auto found = findPort(name, map);
        const auto* problem = std::get_if<QString>(&found);
        // One not there yet is waited for; a path that is there must be a serial device.
        if (problem && (!mayComeLater || !isPortName(name) || QFileInfo::exists(name)))
            return *problem;
    }
    return QString();
}

std::variant<serial::MapEntry, QString> findPort(const QString& name,
                                                 const QList<serial::MapEntry>& map)
{
    if (comName().match(name).hasMatch()) {
        const auto number = serial::portNumberFromName(name);
        for (const serial::MapEntry& entry : map)
            if (number && entry.comNumber == int(*number))
                return entry;
        return QStringLiteral("%1: no such port on this machine (see --list)").arg(name);
    }
    const QFileInfo path(name);
    if (!name.startsWith('/') || !path.exists())
        return QStringLiteral("%1: no such port: name it COM<n> as --list shows it, or by its "
                              "device path")
            .arg(name);
    if (const QString what = serial::notASerialDevice(name); !what.isEmpty())
        return QStringLiteral("%1 is %2, not a serial port").arg(name, what);
    const QString device = path.canonicalFilePath();
    for (const serial::MapEntry& entry : map)
        if (QFileInfo(entry.device.systemLocation).canonicalFilePath() == device)
            return entry;
    // A device the map does not list (a pseudo-terminal, say) gets a number of its own.
    const auto own = serial::buildDeviceMap({{device, {}, {}}});
    if (own.isEmpty())
        return QStringLiteral("%1: cannot be opened as a port").arg(name);
    return own.first();
}

QString checkSlots(const StationPolicy& policy, const QList<serial::MapEntry>& map,
                   bool mayComeLater)
{
    for (const Slot& slot : policy.portSlots)
        if (slot.line > 0 && policy.profile)
            if (const QString problem = checkPorts({slot.port}, map, mayComeLater);
                !problem.isEmpty())
                return QStringLiteral("%1:%2: slot %3: %4")
                    .arg(inert(QDir::toNativeSeparators(policy.profile->file)))
                    .arg(slot.line)
                    .arg(inert(slot.name), problem);
    return checkPorts(policy.ports(), map, mayComeLater);
}

void Tally::add(const QString& port, const transfer::Outcome& outcome)
{
    const bool update = outcome.job == transfer::Job::Update;
    if (outcome.result == transfer::Outcome::Current)
        ++current;
    else if (!outcome.failed())
        ++(update ? updated : answered);
    else {
        failed << port;
        failedUpdates += update;
    }
}

Station::Station(const package::Package& package, ServiceRecord& record, StationSetup setup,
                 QObject* parent)
    : QObject(parent), package_(package), record_(record), setup_(std::move(setup))
{
    connect(&machine_, &MachinePorts::rescanned, this, &Station::rescan);
}

void Station::start()
{
    machine_.start();
}

void Station::start(const QList<serial::MapEntry>& map)
{
    machine_.start(map);
}

QList<ServedPort*> Station::ports() const
{
    QList<ServedPort*> ports;
    for (const auto& entry : entries_)
        ports.append(entry->port.get());
    return ports;
}

int Station::running() const
{
    return int(std::count_if(entries_.begin(), entries_.end(),
                             [](const auto& entry) { return entry->port->running(); }));
}

void Station::interrupt()
{
    for (const auto& entry : entries_) {
        if (entry->settle.isActive()) {
            entry->settle.stop();
            entry->port->plug_ = ServedPort::Plug::Present;
        }
        entry->port->interrupt();
    }
}

void Station::rescan()
{
    const bool first = std::exchange(first_, false);
    const QStringList named = setup_.policy.ports();
    const QList<serial::MapEntry>& map = machine_.map();
    machine_.watchFoldersOf(named);
    served_ = withNamedDevices(named, map, served_);
    QList<std::pair<QString, serial::MapEntry>> present;
    if (named.isEmpty()) {
        for (const serial::MapEntry& entry : map)
            present.append({entry.portName, entry});
    } else {
        for (const QString& name : named) {
            const auto found = findPort(name, served_);
            if (const auto* entry = std::get_if<serial::MapEntry>(&found))
                present.append({name, *entry});
        }
    }
    const auto presentAs = [&](const QString& name) -> const serial::MapEntry* {
        for (const auto& [n, entry] : present)
            if (n == name)
                return &entry;
        return nullptr;
    };

    for (const auto& entry : entries_) {
        ServedPort& port = *entry->port;
        const serial::MapEntry* now = presentAs(port.name());
        if (port.plug_ == ServedPort::Plug::Absent || (now && identityOf(*now) == entry->identity))
            continue;
        entry->settle.stop();
        port.plug_ = ServedPort::Plug::Absent;
        port.removed();
        tell(StationEvent::PortGone, port);
    }
    for (const auto& [name, found] : present) {
        auto it = std::find_if(entries_.begin(), entries_.end(),
                               [&](const auto& entry) { return entry->port->name() == name; });
        if (it == entries_.end()) {
            auto entry = std::make_unique<Entry>();
            entry->port = std::make_unique<ServedPort>(package_, record_, setup_.policy);
            entry->port->setTarget(name, found);
            forward(*entry->port);
            entry->settle.setSingleShot(true);
            connect(&entry->settle, &QTimer::timeout, this,
                    [this, e = entry.get()] { settled(*e); });
            entries_.push_back(std::move(entry));
            it = std::prev(entries_.end());
            tell(StationEvent::PortAdded, *(*it)->port);
        }
        Entry& entry = **it;
        entry.seen = found;
        if (entry.port->plug() != ServedPort::Plug::Absent)
            continue;
        entry.identity = identityOf(found);
        if (!entry.port->running()) {
            entry.port->setTarget(name, found);
            entry.port->lastOutcome_.reset();
        }
        const bool serve =
            setup_.policy.startOnPlug && entry.port->chosen() && !(first && setup_.policy.onlyNew);
        entry.port->plug_ = serve ? ServedPort::Plug::Settling : ServedPort::Plug::Present;
        if (serve && !nextSerials_.isEmpty())
            entry.port->setUnitSerial(nextSerials_.takeFirst());
        tell(StationEvent::PortAppeared, *entry.port);
        if (serve)
            entry.settle.start(setup_.policy.settleMs);
    }
}

bool Station::setPolicy(const StationPolicy& policy)
{
    if (setup_.policy.locked())
        return false;
    setup_.policy = policy;
    for (const auto& entry : entries_) // a serial no longer required: no device waits for one
        entry->port->policyChanged();
    return true;
}

std::variant<QHash<QString, QString>, QString>
givenSerials(const QStringList& given, const StationPolicy& policy, bool update)
{
    const QStringList ports = policy.ports();
    QHash<QString, QString> serials;
    for (const QString& one : given) {
        const auto port = std::find_if(ports.begin(), ports.end(),
                                       [&](const QString& p) { return one.startsWith(p + '='); });
        // COM2=SN or /dev/...=SN names a port, which must be one of those given.
        static const QRegularExpression kNamesPort(QStringLiteral("^(COM\\d+|/[^=]*)="),
                                                   QRegularExpression::CaseInsensitiveOption);
        if (const auto named = kNamesPort.match(one); port == ports.end() && named.hasMatch())
            return QStringLiteral("--serial: %1 is not one of the ports named")
                .arg(inert(named.captured(1)));
        if (port == ports.end() && ports.size() != 1)
            return QStringLiteral("--serial: give PORT=SN for one of the ports");
        const QString name = port == ports.end() ? ports.first() : *port;
        const QString serial = port == ports.end() ? one : one.mid(port->size() + 1);
        if (serials.contains(name))
            return QStringLiteral("--serial: %1 has a serial already").arg(name);
        if (const QString problem = serialProblem(serial, policy.serialPattern, serials.values());
            !problem.isEmpty())
            return QStringLiteral("--serial: '%1' %2").arg(inert(serial), problem);
        serials.insert(name, serial);
    }
    for (const QString& port : ports)
        if (policy.requireSerial && update && !serials.contains(port))
            return QStringLiteral("--%1: %2 has no --serial")
                .arg(QLatin1String(requireSerialSetting().name), port);
    return serials;
}

Scan Station::scan(const QString& serial, ServedPort* selected)
{
    if (const QString problem =
            serialProblem(serial, setup_.policy.serialPattern, pendingSerials());
        !problem.isEmpty())
        return {Scan::Refused, nullptr, problem};
    waiting_.removeIf([](const ServedPort* port) { return !port->waitsForSerial(); });
    ServedPort* port = waiting_.value(0);
    for (const auto& entry : entries_)
        if (!port && entry->port->plug() == ServedPort::Plug::Settling &&
            entry->port->unitSerial().isEmpty())
            port = entry->port.get();
    if (!port && setup_.policy.startOnPlug) {
        nextSerials_.append(serial);
        return {Scan::Queued};
    }
    if (!port && selected && selected->plug() != ServedPort::Plug::Absent)
        port = selected;
    if (!port)
        return {Scan::NoDevice};
    waiting_.removeOne(port);
    port->setUnitSerial(serial);
    return {Scan::Bound, port};
}

QStringList Station::pendingSerials() const
{
    QStringList pending = nextSerials_;
    for (const auto& entry : entries_)
        if (!entry->port->unitSerial().isEmpty())
            pending << entry->port->unitSerial();
    return pending;
}

ServedPort& Station::heldPort()
{
    if (!held_) {
        held_ = std::make_unique<ServedPort>(package_, record_, setup_.policy);
        forward(*held_);
    }
    return *held_;
}

void Station::tell(StationEvent::Kind kind, ServedPort& port)
{
    emit event({kind, &port});
}

void Station::forward(ServedPort& port)
{
    connect(&port, &ServedPort::serialWanted, this, [this, &port] {
        if (!nextSerials_.isEmpty()) // scanned meanwhile, for a device not yet plugged in
            return port.setUnitSerial(nextSerials_.takeFirst());
        if (!waiting_.contains(&port))
            waiting_.append(&port);
        tell(StationEvent::SerialWanted, port);
    });
    connect(&port, &ServedPort::starting, this, [this, &port](transfer::Job job) {
        emit event({StationEvent::JobStarting, &port, job});
    });
    connect(&port, &ServedPort::checking, this,
            [this, &port] { tell(StationEvent::Checking, port); });
    connect(&port, &ServedPort::transferring, this,
            [this, &port] { tell(StationEvent::Transferring, port); });
    connect(&port, &ServedPort::advanced, this,
            [this, &port] { tell(StationEvent::Advanced, port); });
    connect(&port, &ServedPort::versionRead, this, [this, &port](const QString& caption) {
        StationEvent told{StationEvent::VersionRead, &port};
        told.said = caption;
        emit event(told);
    });
    connect(&port, &ServedPort::ended, this, [this, &port](const transfer::Outcome& outcome) {
        tally_.add(port.name(), outcome);
        emit event({StationEvent::JobEnded, &port, outcome.job, &outcome, outcome.failed()});
    });
    connect(&port, &ServedPort::recordProblem, this, [this](const QString& said) {
        emit event({.kind = StationEvent::RecordProblem, .said = said});
    });
}

void Station::settled(Entry& entry)
{
    ServedPort& port = *entry.port;
    if (port.plug() != ServedPort::Plug::Settling) // started by hand meanwhile, or gone
        return;
    port.plug_ = ServedPort::Plug::Served;
    if (port.running()) // what it ran on its last plug has not ended yet
        return;
    port.setTarget(port.name(), entry.seen);
    port.start(transfer::Job::Update, setup_.policy.busyRetryMs);
}

} // namespace qx::service
