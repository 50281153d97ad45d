// The command line: arguments, ports found before any is touched, every device started at
// once, and one whole line per event, prefixed with the port as the user named it.
#include "commandline.h"

#include "packageloader.h"
#include "transfer.h"

#include <QDir>
#include <QFileInfo>
#include <QMetaObject>
#include <QRegularExpression>

#include <algorithm>
#include <cstdio>

namespace qx::ui {

namespace t = qx::transfer;

namespace {

void printLine(std::FILE* stream, const QString& line)
{
    const QByteArray bytes = (line + '\n').toLocal8Bit();
    std::fwrite(bytes.constData(), 1, std::size_t(bytes.size()), stream); // whole, at once
    std::fflush(stream);
}

const char kUsage[] = R"(Usage: qx-lp4r-updater [--update PORT... | --query PORT... | --list]
Installs the QX-LP4R firmware built into this program, over a serial line.
Without arguments the window opens.

  --update PORT...  update the device on each PORT, all at once
  --query PORT...   ask the device on each PORT which firmware it runs
  --list            list the serial ports as the window does, with their devices
  --help            show this text
  --version         show the program's version and the firmware it carries
  --open-record-folder  show the folder of the service record in the file manager

A PORT is COM<n> as --list shows it, or on Linux a device's path such as /dev/ttyUSB0.
Exit status: 0 every device succeeded, 1 any failed or was interrupted, 2 a usage error.
Every update and query leaves a line in the service record:)";

} // namespace

std::variant<serial::MapEntry, QString> findPort(const QString& name,
                                                 const QList<serial::MapEntry>& map)
{
    static const QRegularExpression comName("^COM\\d+$", QRegularExpression::CaseInsensitiveOption);
    if (comName.match(name).hasMatch()) {
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

CommandLine::CommandLine(CommandLineSetup setup, QObject* parent)
    : QObject(parent), setup_(std::move(setup))
{
    if (!setup_.out)
        setup_.out = [](const QString& line) { printLine(stdout, line); };
    if (!setup_.err)
        setup_.err = [](const QString& line) { printLine(stderr, line); };
}

CommandLine::~CommandLine()
{
    for (auto& device : devices_)
        if (device->port && device->port->portOpen())
            device->port->setPortOpen(false);
}

int CommandLine::usage(const QString& problem)
{
    setup_.err(QStringLiteral("qx-lp4r-updater: %1; see --help").arg(problem));
    return kExitUsage;
}

int CommandLine::list()
{
    const auto map = setup_.devices();
    const QStringList ports = serial::enumComPorts(serial::mapValues(map));
    if (ports.first().isEmpty())
        setup_.err(QStringLiteral("qx-lp4r-updater: no serial port found"));
    for (const QString& port : ports)
        if (!port.isEmpty()) {
            const QString tip = serial::portToolTip(map, port);
            setup_.out(tip.isEmpty() ? port : tip);
        }
    return kExitSuccess;
}

std::optional<int> CommandLine::start(const QStringList& arguments)
{
    const QString command = arguments.value(0);
    const QStringList names = arguments.mid(1);
    if (command == "--help" || command == "-h") {
        setup_.out(QString::fromLatin1(kUsage));
        setup_.out("  " + QDir::toNativeSeparators(setup_.recordFolder + '/' + kRecordFileName));
        return kExitSuccess;
    }
    if (command == "--version") {
        setup_.out(QStringLiteral("qx-lp4r-updater " QX_VERSION));
        setup_.out(QString::fromStdString(package::embeddedSummary()));
        return kExitSuccess;
    }
    if (command == "--list")
        return names.isEmpty() ? list() : usage("--list takes no ports");
    if (command != "--update" && command != "--query")
        return usage(QStringLiteral("unknown option '%1'").arg(command));
    if (names.isEmpty())
        return usage(command + " needs at least one port");

    // Every port is found before any is touched.
    const auto map = setup_.devices();
    QStringList seen;
    for (const QString& name : names) {
        if (name.startsWith('-'))
            return usage(QStringLiteral("unknown option '%1'").arg(name));
        const auto found = findPort(name, map);
        if (const auto* problem = std::get_if<QString>(&found))
            return usage(*problem);
        auto device = std::make_unique<Device>();
        device->name = name;
        device->entry = std::get<serial::MapEntry>(found);
        const QString key = device->entry.device.systemLocation + '|' + device->entry.portName;
        if (seen.contains(key))
            return usage(QStringLiteral("%1 is named twice").arg(name));
        seen << key;
        devices_.push_back(std::move(device));
    }

    const bool update = command == "--update";
    if (update) {
        setup_.err("qx-lp4r-updater: " + QString::fromStdString(package::embeddedSummary()));
        const auto bytes = setup_.package.empty() ? package::embeddedPackage() : setup_.package;
        const auto loaded = package::loadPackage(setup_.programDir, bytes);
        if (!loaded.ok) {
            setup_.err(QStringLiteral("qx-lp4r-updater: the built-in firmware package is damaged "
                                      "and cannot be sent (%1): reinstall the updater")
                           .arg(QString::fromStdString(loaded.error)));
            return kExitFailure;
        }
        package_ = loaded.package;
    }
    running_ = true;
    for (auto& device : devices_)
        startDevice(*device, update);
    return std::nullopt;
}

void CommandLine::startDevice(Device& device, bool update)
{
    const serial::MapEntry entry = device.entry;
    device.port = std::make_unique<serial::CommPort>([entry] { return QList{entry}; });
    device.link = std::make_unique<CommLink>(*device.port);
    device.session = std::make_unique<t::Session>(*device.link, package_);
    device.link->route(*device.session);
    device.awake = std::make_unique<serial::SleepHold>();
    keepAwake(*device.awake, *device.session, [name = device.name] { return name; });
    connect(device.session.get(), &t::Session::advanced, this,
            [this, &device] { progress(device); });
    connect(device.session.get(), &t::Session::finished, this,
            [this, &device](const t::Outcome& outcome) {
                const bool ok = outcome.result == t::Outcome::Success;
                const QString reason = QString::fromStdString(outcome.reason);
                end(device, ok,
                    !ok                             ? "failure: " + reason
                    : outcome.job == t::Job::Update ? QStringLiteral("success")
                                                    : "version " + outcome.version);
            });

    connect(device.session.get(), &t::Session::decided, this,
            [this, &device](const t::Outcome& outcome) {
                const QString said = record_.append(
                    recordLine(outcome, {device.entry.portName,
                                         serial::deviceText(device.entry.device), &package_}));
                if (!said.isEmpty())
                    setup_.err(said);
            });

    const auto [file, size] = package::headerFields(package_.headerPacket);
    setup_.out(device.name + ": " +
               (update ? QStringLiteral("updating with %1 (%2 bytes in %3 blocks)")
                             .arg(QString::fromStdString(file), QString::fromStdString(size))
                             .arg(package_.packetCount)
                       : QStringLiteral("asking for the firmware version")));
    try {
        serial::connectPort(*device.port, entry.comNumber);
        if (update)
            device.session->startUpdate();
        else
            device.session->startQuery(t::kQueryTimeoutMs);
    } catch (const serial::CommError& error) {
        if (!device.port->portOpen()) // refused before the session began
            device.session->refused(update ? t::Job::Update : t::Job::Query, error.description());
        // Reported once the others have started: no device waits for another's failure.
        QMetaObject::invokeMethod(
            this,
            [this, &device, text = error.description()] { end(device, false, "failure: " + text); },
            Qt::QueuedConnection);
    }
}

void CommandLine::progress(Device& device)
{
    ++device.steps;
    const int tens = device.steps * 10 / std::max(1, package_.packetCount + 3);
    if (tens <= device.shownTens)
        return;
    device.shownTens = tens;
    setup_.out(QStringLiteral("%1: %2%").arg(device.name).arg(tens * 10));
}

void CommandLine::end(Device& device, bool ok, const QString& line)
{
    if (device.done)
        return;
    device.done = true;
    device.ok = ok;
    device.session->stop();
    if (device.port->portOpen())
        device.port->setPortOpen(false);
    setup_.out(device.name + ": " + line);
    if (!running_ ||
        std::any_of(devices_.begin(), devices_.end(), [](const auto& d) { return !d->done; }))
        return;
    running_ = false;
    QStringList failed;
    for (const auto& d : devices_)
        if (!d->ok)
            failed << d->name;
    setup_.out(QStringLiteral("summary: %1 of %2 succeeded%3")
                   .arg(devices_.size() - failed.size())
                   .arg(devices_.size())
                   .arg(failed.isEmpty() ? QString() : "; failed: " + failed.join(' ')));
    const int status = failed.isEmpty() ? kExitSuccess : kExitFailure;
    // From the event loop, so that a caller's exec() has begun.
    QMetaObject::invokeMethod(
        this, [this, status] { emit finished(status); }, Qt::QueuedConnection);
}

void CommandLine::interrupt()
{
    for (auto& device : devices_) {
        if (device->done)
            continue;
        device->session->interrupt();
        if (!device->done) // nothing was running on it (its open failed just now)
            end(*device, false, QStringLiteral("failure: interrupted"));
    }
}

} // namespace qx::ui
