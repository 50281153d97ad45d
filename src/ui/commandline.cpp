// The command line: arguments, ports found before any is touched, every device started at
// once or, as a station, each as it is plugged in; one whole line per event, prefixed with the
// port as the user named it.
#include "commandline.h"

#include "inert.h"
#include "packageloader.h"
#include "platform.h"
#include "settings.h"
#include "texts.h"
#include "transfer.h"
#include "version.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QMetaObject>

#include <algorithm>
#include <cmath>

namespace qx::ui {

namespace t = qx::transfer;

CommandLine::CommandLine(service::Setup setup, QObject* parent)
    : QObject(parent), engine_(std::move(setup))
{
    if (service::SharedRecord* shared = engine_.shared())
        connect(shared, &service::SharedRecord::said, this,
                [this](const QString& said) { setup_.err(said); });
}

int CommandLine::usage(const QString& problem)
{
    setup_.err(usageLine(problem));
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
            setup_.out(inert(tip.isEmpty() ? port : tip));
        }
    return kExitSuccess;
}

int CommandLine::checkProfile(const Arguments& arguments)
{
    const service::Profile& profile = *arguments.checkedProfile;
    const service::StationPolicy& policy = profile.policy;
    const QString file = arguments.profileFile;
    const QString folder = QFileInfo(file).absolutePath();
    const auto yes = [](bool on) { return on ? QStringLiteral("yes") : QStringLiteral("no"); };
    setup_.out("profile: " + inert(QDir::toNativeSeparators(file)));
    setup_.out("name and fingerprint: " + inert(policy.profile->shown()));
    setup_.out("locked: " + yes(policy.locked()));
    setup_.out("this user could change it: " +
               yes(platform::userMayWrite(file) || platform::userMayWrite(folder)));
    setup_.out("firmware: " + (profile.firmware.isEmpty()
                                   ? QStringLiteral("any (default)")
                                   : inert(profile.firmware) + " (from the file)"));
    for (const service::Setting& setting : service::settings()) {
        const bool given = std::any_of(profile.given.begin(), profile.given.end(),
                                       [&](const auto& g) { return g.setting == &setting; });
        const QString value = service::settingText(setting, policy);
        setup_.out(QStringLiteral("%1 = %2 (%3)")
                       .arg(QLatin1String(setting.name),
                            value.isEmpty() ? QStringLiteral("none") : inert(value),
                            given ? QStringLiteral("from the file") : QStringLiteral("default")));
    }
    if (policy.portSlots.isEmpty())
        setup_.out(QStringLiteral("slots: none: every port plugged in is served"));
    for (const service::Slot& slot : policy.portSlots)
        setup_.out(QStringLiteral("slot %1 = %2").arg(inert(slot.name), inert(slot.port)));
    return kExitSuccess;
}

int CommandLine::explain(const QString& file)
{
    const auto read = service::readTrace(file);
    if (const auto* problem = std::get_if<QString>(&read)) {
        setup_.err("qx-lp4r-updater: " + *problem);
        return kExitUsage;
    }
    for (const QString& line : transfer::explainTrace(std::get<transfer::ParsedTrace>(read)))
        setup_.out(line);
    return kExitSuccess;
}

std::optional<int> CommandLine::replay(const QString& file)
{
    auto read = service::readTrace(file);
    if (const auto* problem = std::get_if<QString>(&read)) {
        setup_.err("qx-lp4r-updater: " + *problem);
        return kExitUsage;
    }
    if (!loadPackage())
        return kExitFailure;
    replayed_ = std::make_unique<transfer::ParsedTrace>(std::get<transfer::ParsedTrace>(read));
    const package::Package& package = engine_.package();
    if (const QString problem = transfer::replayMismatch(*replayed_, package); !problem.isEmpty()) {
        setup_.err("qx-lp4r-updater: " + problem);
        return kExitUsage;
    }
    replay_ = std::make_unique<transfer::Replay>(*replayed_, package);
    connect(replay_.get(), &transfer::Replay::finished, this,
            [this](const transfer::Outcome& outcome) {
                QStringList lines;
                const bool agrees = transfer::replayAgrees(*replayed_, outcome, lines);
                for (const QString& line : lines)
                    setup_.out(line);
                emit finished(agrees ? kExitSuccess : kExitFailure);
            });
    QMetaObject::invokeMethod(replay_.get(), &transfer::Replay::start, Qt::QueuedConnection);
    return std::nullopt;
}

bool CommandLine::loadPackage()
{
    setup_.err("qx-lp4r-updater: " + QString::fromStdString(package::embeddedSummary()));
    if (!engine_.loadPackage()) {
        setup_.err(QStringLiteral("qx-lp4r-updater: the built-in firmware package is damaged "
                                  "and cannot be sent (%1): reinstall the updater")
                       .arg(QString::fromStdString(engine_.packageError())));
        return false;
    }
    return true;
}

std::optional<int> CommandLine::start(const Arguments& arguments)
{
    using Command = Arguments::Command;
    json_ = arguments.json;
    switch (arguments.command) {
    case Command::Help:
        setup_.out(arguments.helpText);
        setup_.out("\nEvery update and query leaves a line in the service record:\n  " +
                   QDir::toNativeSeparators(setup_.recordFolder + '/' + service::kRecordFileName));
        return kExitSuccess;
    case Command::Version: {
        setup_.out(QStringLiteral("qx-lp4r-updater " QX_VERSION) +
                   (package::embeddedIsTestPayload()
                        ? QStringLiteral(" (test build: a generated test payload, not device "
                                         "firmware)")
                        : QString()));
        setup_.out(QString::fromStdString(package::embeddedSummary()));
        // What a technician holds against the vendor's published checksum of the image.
        const auto embedded = package::slicePackage(package::embeddedPackage());
        setup_.out("firmware image SHA-256 " + service::firmwareSha256(embedded.package));
        return kExitSuccess;
    }
    case Command::List:
        return list();
    case Command::Explain:
        return explain(arguments.traceFile);
    case Command::Replay:
        return replay(arguments.traceFile);
    case Command::CheckProfile:
        return checkProfile(arguments);
    case Command::None: // not the command line's arguments
        return usage(QStringLiteral("give one of --update, --query, --station and --list"));
    case Command::Update:
    case Command::Query:
    case Command::Station:
        break;
    }
    const QStringList names = arguments.ports();
    // Every port is found before any is touched, in one reading of the machine's ports.
    const auto map = setup_.devices();
    const bool station = arguments.command == Command::Station;
    if (const QString problem = service::checkSlots(arguments.policy, map, station);
        !problem.isEmpty())
        return usage(problem);
    if (station)
        return startStation(arguments.policy, map);

    const bool update = arguments.command == Command::Update;
    if (update && !loadPackage())
        return kExitFailure;
    portCount_ = names.size();
    serve({.devices = setup_.devices, .policy = arguments.policy});
    ports_->start(map);
    for (service::ServedPort* port : ports_->ports()) {
        port->setUnitSerial(arguments.serials.value(port->name()));
        port->start(update ? transfer::Job::Update : transfer::Job::Query);
    }
    return std::nullopt;
}

void CommandLine::serve(service::StationSetup setup)
{
    ports_ =
        std::make_unique<service::Station>(engine_.package(), engine_.record(), std::move(setup));
    connect(ports_.get(), &service::Station::event, this, &CommandLine::heard);
    running_ = true;
}

void CommandLine::heard(const service::StationEvent& event)
{
    using E = service::StationEvent;
    service::ServedPort* port = event.port;
    switch (event.kind) {
    case E::PortAdded:
    case E::VersionRead: // the outcome says the version
        return;
    case E::PortAppeared: {
        if (!station_)
            return;
        const QString device = serial::deviceText(port->entry().device);
        const bool served = port->plug() == service::ServedPort::Plug::Settling;
        return say(
            port,
            served ? QStringLiteral("plugged in (%1)").arg(inert(device))
                   : QStringLiteral("present before the start (%1): not served").arg(inert(device)),
            {{"event", "plugged"}, {"device", device}, {"served", served}});
    }
    case E::PortGone:
        if (station_)
            say(port, QStringLiteral("unplugged"), {{"event", "unplugged"}});
        return;
    case E::SerialWanted:
        if (station_)
            say(port, QStringLiteral("waiting for the unit's serial on standard input"),
                {{"event", "waiting"}});
        return;
    case E::JobStarting:
        return starting(*port, event.job);
    case E::Checking:
        return checking(*port);
    case E::Transferring:
        return transferring(*port);
    case E::Advanced:
        return progress(*port);
    case E::JobEnded:
        return ended(*port, *event.outcome, event.failed);
    case E::RecordProblem:
        return setup_.err(event.said);
    }
}

std::optional<int> CommandLine::startStation(service::StationPolicy policy,
                                             const QList<serial::MapEntry>& map)
{
    if (!loadPackage())
        return kExitFailure;
    station_ = true;
    const QStringList names = policy.ports();
    policy.onlyNew = names.isEmpty();
    policy.settleMs = setup_.settleMs;
    serve({.devices = setup_.devices, .policy = policy});
    // A banner for people: on standard error where the lines are for machines.
    (json_ ? setup_.err : setup_.out)(
        (names.isEmpty() ? QStringLiteral("station: serving every serial port plugged in from "
                                          "now on; Ctrl+C ends")
                         : "station: serving " + names.join(' ') +
                               ", each whenever it is plugged in; Ctrl+C ends") +
        (policy.profile
             ? QStringLiteral(" (profile %1%2)")
                   .arg(inert(policy.profile->shown()), policy.locked() ? ", locked" : "")
             : QString()));
    ports_->start(map);
    return std::nullopt;
}

void CommandLine::starting(service::ServedPort& port, transfer::Job job)
{
    shownTens_[&port] = 0;
    const bool update = job == transfer::Job::Update;
    const auto& package = engine_.package();
    const auto [file, size] = package::headerFields(package.headerPacket);
    QJsonObject json{{"event", "started"}, {"job", update ? "update" : "query"}};
    if (update) {
        json.insert("file", QString::fromStdString(file));
        json.insert("bytes", QString::fromStdString(size).toLongLong());
        json.insert("blocks", package.packetCount);
    }
    // An update's text lines come as its check asks and as its transfer starts: a device its
    // check leaves alone never reads "updating".
    if (json_ || !update)
        say(&port, QStringLiteral("asking for the firmware version") + unitOf(port), json);
}

void CommandLine::checking(service::ServedPort& port)
{
    if (!json_)
        say(&port, QStringLiteral("asking which firmware it runs") + unitOf(port), {});
}

void CommandLine::transferring(service::ServedPort& port)
{
    const auto& package = engine_.package();
    const auto [file, size] = package::headerFields(package.headerPacket);
    say(&port,
        QStringLiteral("updating with %1 (%2 bytes in %3 blocks)")
                .arg(QString::fromStdString(file), QString::fromStdString(size))
                .arg(package.packetCount) +
            unitOf(port),
        {{"event", "transfer"}});
}

QString CommandLine::unitOf(const service::ServedPort& port)
{
    return port.unitSerial().isEmpty()
               ? QString()
               : QStringLiteral(" for unit %1").arg(inert(port.unitSerial()));
}

void CommandLine::say(const service::ServedPort* port, const QString& text, QJsonObject json)
{
    if (!json_) // a line names the slot as the profile names it, else the port
        return setup_.out(port ? inert(ports_->policy().slotOf(port->name())) + ": " + text : text);
    json.insert("format", kJsonFormat);
    if (port)
        json.insert("port", port->name());
    if (port && (json["event"] == "started" || json["event"] == "outcome")) {
        if (!port->unitSerial().isEmpty())
            json.insert("serial", port->unitSerial());
        const service::StationPolicy& policy = ports_->policy();
        json.insert("slot", policy.slotOf(port->name()));
        if (policy.profile)
            json.insert("profile", policy.profile->shown());
    }
    const QDateTime now = QDateTime::currentDateTime();
    json.insert("time", now.toOffsetFromUtc(now.offsetFromUtc()).toString(Qt::ISODateWithMs));
    setup_.out(inertJson(QString::fromUtf8(QJsonDocument(json).toJson(QJsonDocument::Compact))));
}

void CommandLine::progress(service::ServedPort& port)
{
    const int tens = port.steps() * 10 / std::max(1, port.stepCount());
    if (tens <= shownTens_[&port])
        return;
    shownTens_[&port] = tens;
    say(&port, QStringLiteral("%1%").arg(tens * 10),
        {{"event", "progress"}, {"percent", tens * 10}});
}

void CommandLine::ended(service::ServedPort& port, const transfer::Outcome& outcome, bool failed)
{
    const QString result = service::outcomeName(outcome);
    QJsonObject json{{"event", "outcome"},
                     {"job", outcome.job == transfer::Job::Update ? "update" : "query"},
                     {"result", result},
                     {"duration_s", std::round(outcome.seconds * 1000) / 1000}};
    if (failed) {
        json.insert("step", QString::fromStdString(outcome.step));
        json.insert("reason", QString::fromStdString(outcome.reason));
    }
    if (outcome.job == transfer::Job::Query)
        json.insert("version", outcome.version);
    if (!outcome.before.isEmpty())
        json.insert("version_before", outcome.before);
    if (!outcome.after.isEmpty()) {
        json.insert("version_after", outcome.after);
        json.insert("verified", outcome.verified());
    }
    if (!port.traceFile().isEmpty())
        json.insert("trace", port.traceFile());
    say(&port, inert(outcomeWords(outcome, texts::kOutcomeLine, 0)), json);
    if (!json_ && !port.traceFile().isEmpty())
        setup_.err(inert(port.name() + ": its trace is kept in " +
                         QDir::toNativeSeparators(setup_.recordFolder + '/' + port.traceFile())));
    if (!station_ && ports_->tally().ended() == portCount_)
        summarize();
}

void CommandLine::summarize()
{
    if (!running_)
        return;
    running_ = false;
    const service::Tally& tally = ports_->tally();
    const int succeeded = tally.updated + tally.answered;
    const int failures = int(tally.failed.size());
    const QString failed =
        tally.failed.isEmpty() ? QString() : "; failed: " + tally.failed.join(' ');
    QJsonObject json{{"event", "summary"},
                     {"succeeded", succeeded},
                     {"current", tally.current},
                     {"failed", QJsonArray::fromStringList(tally.failed)}};
    if (!station_)
        json.insert("of", portCount_);
    // Where devices may be found current, updated and current are told apart.
    const QString counted = ports_->policy().checks.before
                                ? QStringLiteral("summary: %1 updated, %2 current, %3 failed%4")
                                      .arg(succeeded)
                                      .arg(tally.current)
                                      .arg(failures)
                                      .arg(failed)
                            : station_ ? QStringLiteral("summary: %1 updated, %2 failed%3")
                                             .arg(succeeded)
                                             .arg(failures)
                                             .arg(failed)
                                       : QStringLiteral("summary: %1 of %2 succeeded%3")
                                             .arg(succeeded)
                                             .arg(portCount_)
                                             .arg(failed);
    say(nullptr, counted, json);
    const int status = failures ? kExitFailure : kExitSuccess;
    // The shared record is given a few seconds at the end; what it cannot take waits for the
    // next run. From the event loop, so that a caller's exec() has begun.
    if (service::SharedRecord* shared = engine_.shared())
        return shared->finish(service::kDeliveryAtEndMs, [this, status] { emit finished(status); });
    QMetaObject::invokeMethod(
        this, [this, status] { emit finished(status); }, Qt::QueuedConnection);
}

void CommandLine::unitScanned(const QString& serial)
{
    if (!station_ || !ports_)
        return;
    const service::Scan scan = ports_->scan(serial);
    if (scan.went == service::Scan::Refused)
        return setup_.err(QStringLiteral("qx-lp4r-updater: serial '%1' refused: it %2")
                              .arg(inert(serial.left(service::kSerialMaxLength)), scan.problem));
    if (scan.port)
        say(scan.port, QStringLiteral("the unit's serial is %1").arg(inert(serial)),
            {{"event", "serial"}, {"serial", serial}});
}

void CommandLine::scansEnded()
{
    if (!station_ || !ports_ || !ports_->policy().requireSerial)
        return;
    // A required serial stays required: a unit without one is a unit nobody can trace.
    const QString said = QStringLiteral("standard input has ended: no more serials can come, so "
                                        "devices wait for theirs until the station ends");
    setup_.err("qx-lp4r-updater: " + said);
    if (json_)
        say(nullptr, said, {{"event", "serials ended"}});
}

void CommandLine::interrupt()
{
    if (!ports_)
        return;
    ports_->interrupt();
    if (station_)
        summarize();
}

} // namespace qx::ui
