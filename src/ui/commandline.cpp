// The command line: arguments, ports found before any is touched, every device started at
// once or, as a station, each as it is plugged in; one whole line per event, prefixed with the
// port as the user named it.
#include "commandline.h"

#include "inert.h"
#include "packageloader.h"
#include "transfer.h"
#include "version.h"

#include <QCommandLineParser>
#include <QDir>
#include <QFileInfo>
#include <QMetaObject>

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

// What --help says besides the options QCommandLineParser lists: the window's own options,
// which main() takes before the command line sees them, the ports and the exit status.
const char kAbout[] = R"(Installs the QX-LP4R firmware built into this program, over a serial line.
Without arguments the window opens.

Windows:
  --bench [--start-on-plug] [PORT...]  the bench window: a row for each PORT, or for every
                    port; with --start-on-plug each device starts when it is plugged in
  --language zh|en  the windows' language: Simplified Chinese or English; by default the
                    system's (Simplified Chinese on a zh-CN, zh-Hans or zh-SG system, else English)
  --open-record-folder  show the folder of the service record in the file manager

A PORT is COM<n> as --list shows it, or on Linux a device's path such as /dev/ttyUSB0 or
/dev/serial/by-id/... (which stays the same when the adapter is plugged in again).
Exit status: 0 every device succeeded, 1 any failed or was interrupted, 2 a usage error.)";

} // namespace

CommandLine::CommandLine(CommandLineSetup setup, QObject* parent)
    : QObject(parent), setup_(std::move(setup))
{
    if (!setup_.out)
        setup_.out = [](const QString& line) { printLine(stdout, line); };
    if (!setup_.err)
        setup_.err = [](const QString& line) { printLine(stderr, line); };
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
            setup_.out(service::inert(tip.isEmpty() ? port : tip));
        }
    return kExitSuccess;
}

bool CommandLine::loadPackage()
{
    setup_.err("qx-lp4r-updater: " + QString::fromStdString(package::embeddedSummary()));
    const auto loaded = package::loadFirmware(setup_.programDir, setup_.package);
    if (!loaded.ok) {
        setup_.err(QStringLiteral("qx-lp4r-updater: the built-in firmware package is damaged "
                                  "and cannot be sent (%1): reinstall the updater")
                       .arg(QString::fromStdString(loaded.error)));
        return false;
    }
    package_ = loaded.package;
    return true;
}

std::optional<int> CommandLine::start(const QStringList& arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QString::fromLatin1(kAbout));
    const QCommandLineOption updateOption("update", "Update the device on each PORT, all at once."),
        queryOption("query", "Ask the device on each PORT which firmware it runs."),
        stationOption("station",
                      "Until Ctrl+C, update each device once as it is plugged in: on each "
                      "PORT whenever it is present, or without PORTs on every port that "
                      "appears."),
        listOption("list", "List the serial ports as the window does, with their devices.");
    const QList<QCommandLineOption> commands{updateOption, queryOption, stationOption, listOption};
    parser.addOptions(commands);
    const QCommandLineOption help({"h", "help"}, "Show this text.");
    parser.addOption(help);
    const QCommandLineOption version = parser.addVersionOption();
    parser.addPositionalArgument("PORT", "A port: COM<n>, or a device's path.", "[PORT...]");
    if (!parser.parse(QStringList{QStringLiteral("qx-lp4r-updater")} + arguments)) {
        const QString unknown = parser.unknownOptionNames().value(0);
        return usage(unknown.isEmpty() ? parser.errorText()
                                       : QStringLiteral("unknown option '%1%2'")
                                             .arg(unknown.size() == 1 ? "-" : "--", unknown));
    }
    if (parser.isSet(help)) {
        setup_.out(parser.helpText().trimmed());
        setup_.out("Every update and query leaves a line in the service record:\n  " +
                   QDir::toNativeSeparators(setup_.recordFolder + '/' + service::kRecordFileName));
        return kExitSuccess;
    }
    if (parser.isSet(version)) {
        setup_.out(QStringLiteral("qx-lp4r-updater " QX_VERSION));
        setup_.out(QString::fromStdString(package::embeddedSummary()));
        // What a technician holds against the vendor's published checksum of the image.
        const auto embedded = package::slicePackage(package::embeddedPackage());
        setup_.out("firmware image SHA-256 " + service::firmwareSha256(embedded.package));
        return kExitSuccess;
    }
    QStringList given;
    for (const QCommandLineOption& command : commands)
        if (parser.isSet(command))
            given << "--" + command.names().first();
    if (given.size() != 1)
        return usage(given.isEmpty()
                         ? QStringLiteral("give one of --update, --query, --station and --list")
                         : given.join(" and ") + " cannot go together");
    const QString command = given.first();
    const QStringList names = parser.positionalArguments();
    if (command == "--list")
        return names.isEmpty() ? list() : usage("--list takes no ports");
    // Every port is found before any is touched, in one reading of the machine's ports.
    const auto map = setup_.devices();
    if (const QString twice = service::namedTwice(names, map); !twice.isEmpty())
        return usage(QStringLiteral("%1 is named twice").arg(twice));
    if (command == "--station")
        return startStation(names, map);
    if (names.isEmpty())
        return usage(command + " needs at least one port");
    for (const QString& name : names) {
        const auto found = service::findPort(name, map);
        if (const auto* problem = std::get_if<QString>(&found))
            return usage(*problem);
        const auto& entry = std::get<serial::MapEntry>(found);
        auto port = std::make_unique<service::ServedPort>(package_, record_);
        port->setTarget(name, entry);
        ports_.push_back(std::move(port));
    }

    const bool update = command == "--update";
    if (update && !loadPackage())
        return kExitFailure;
    running_ = true;
    for (auto& port : ports_)
        report(*port);
    for (auto& port : ports_)
        port->start(update ? transfer::Job::Update : transfer::Job::Query);
    return std::nullopt;
}

std::optional<int> CommandLine::startStation(const QStringList& names,
                                             const QList<serial::MapEntry>& map)
{
    // A path that is there must be a serial device; one that is not there yet is waited for.
    for (const QString& name : names) {
        const auto found = service::findPort(name, map);
        const auto* problem = std::get_if<QString>(&found);
        if (!service::isPortName(name) || (problem && QFileInfo::exists(name)))
            return usage(problem ? *problem : name + ": no such port");
    }
    if (!loadPackage())
        return kExitFailure;
    station_ = std::make_unique<service::ServedPorts>(
        package_, record_,
        service::ServedPortsSetup{.devices = setup_.devices,
                                  .named = names,
                                  .onlyNew = names.isEmpty(),
                                  .settleMs = setup_.settleMs});
    station_->setHandsFree(true);
    connect(station_.get(), &service::ServedPorts::added, this, &CommandLine::report);
    connect(
        station_.get(), &service::ServedPorts::appeared, this, [this](service::ServedPort& port) {
            const QString device = service::inert(serial::deviceText(port.entry().device));
            setup_.out(
                port.name() + ": " +
                (port.plug() == service::ServedPort::Plug::Settling
                     ? QStringLiteral("plugged in (%1)").arg(device)
                     : QStringLiteral("present before the start (%1): not served").arg(device)));
        });
    connect(station_.get(), &service::ServedPorts::gone, this,
            [this](service::ServedPort& port) { setup_.out(port.name() + ": unplugged"); });
    setup_.out(names.isEmpty()
                   ? QStringLiteral("station: serving every serial port plugged in from now on; "
                                    "Ctrl+C ends")
                   : "station: serving " + names.join(' ') +
                         ", each whenever it is plugged in; Ctrl+C ends");
    running_ = true;
    station_->start();
    return std::nullopt;
}

void CommandLine::report(service::ServedPort& port)
{
    connect(&port, &service::ServedPort::starting, this, [this, &port](transfer::Job job) {
        shownTens_[&port] = 0;
        const auto [file, size] = package::headerFields(package_.headerPacket);
        setup_.out(port.name() + ": " +
                   (job == transfer::Job::Update
                        ? QStringLiteral("updating with %1 (%2 bytes in %3 blocks)")
                              .arg(QString::fromStdString(file), QString::fromStdString(size))
                              .arg(package_.packetCount)
                        : QStringLiteral("asking for the firmware version")));
    });
    connect(&port.session(), &transfer::Session::advanced, this, [this, &port] { progress(port); });
    connect(&port, &service::ServedPort::ended, this,
            [this, &port](const transfer::Outcome& outcome) { ended(port, outcome); });
    connect(&port, &service::ServedPort::recordProblem, this,
            [this](const QString& said) { setup_.err(said); });
}

void CommandLine::progress(service::ServedPort& port)
{
    const int tens = port.steps() * 10 / std::max(1, port.stepCount());
    if (tens <= shownTens_[&port])
        return;
    shownTens_[&port] = tens;
    setup_.out(QStringLiteral("%1: %2%").arg(port.name()).arg(tens * 10));
}

void CommandLine::ended(service::ServedPort& port, const transfer::Outcome& outcome)
{
    const bool ok = outcome.result == transfer::Outcome::Success;
    setup_.out(port.name() + ": " +
               service::inert(!ok ? "failure: " + QString::fromStdString(outcome.reason)
                              : outcome.job == transfer::Job::Update
                                  ? QStringLiteral("success")
                                  : "version " + outcome.version));
    if (ok)
        ++succeeded_;
    else
        failed_ << port.name();
    if (!station_ && succeeded_ + failed_.size() == qsizetype(ports_.size()))
        summarize();
}

void CommandLine::summarize()
{
    if (!running_)
        return;
    running_ = false;
    const QString failed = failed_.isEmpty() ? QString() : "; failed: " + failed_.join(' ');
    setup_.out(station_ ? QStringLiteral("summary: %1 updated, %2 failed%3")
                              .arg(succeeded_)
                              .arg(failed_.size())
                              .arg(failed)
                        : QStringLiteral("summary: %1 of %2 succeeded%3")
                              .arg(succeeded_)
                              .arg(ports_.size())
                              .arg(failed));
    const int status = failed_.isEmpty() ? kExitSuccess : kExitFailure;
    // From the event loop, so that a caller's exec() has begun.
    QMetaObject::invokeMethod(
        this, [this, status] { emit finished(status); }, Qt::QueuedConnection);
}

void CommandLine::interrupt()
{
    for (auto& port : ports_)
        port->interrupt();
    if (station_) {
        station_->interrupt();
        summarize();
    }
}

} // namespace qx::ui
