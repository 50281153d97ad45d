// One served port: the session wired to its line, the sleep hold and the record; the
// open-and-start sequence of the command line, the station and the bench, and the window's
// held line.
#include "servedport.h"

#include "diagnostics.h"
#include "version.h"

#include <QMetaObject>

namespace qx::service {

namespace t = qx::transfer;

ServedPort::ServedPort(const package::Package& package, ServiceRecord& record,
                       const StationPolicy& policy, QObject* parent)
    : QObject(parent), package_(package), record_(record), session_(link_, package), policy_(policy)
{
    link_.route(session_, portJob_);
    // The machine stays awake from the start of each update or query until it is decided,
    // whatever the outcome.
    connect(&portJob_, &t::PortJob::begun, this, [this](t::Job job) {
        steps_ = 0;
        awake_.hold((job == t::Job::Update ? "Updating the device on " : "Asking the device on ") +
                    name_);
    });
    connect(&portJob_, &t::PortJob::advanced, this, [this] {
        ++steps_;
        emit advanced();
    });
    connect(&portJob_, &t::PortJob::checking, this, &ServedPort::checking);
    connect(&portJob_, &t::PortJob::transferring, this, &ServedPort::transferring);
    connect(&portJob_, &t::PortJob::versionRead, this, &ServedPort::versionRead);
    connect(&portJob_, &t::PortJob::decided, this, [this](const t::Outcome& outcome) {
        awake_.release();
        recordOutcome(outcome);
    });
    connect(&portJob_, &t::PortJob::finished, this, &ServedPort::end);
    // The trace keeps what the job decided beside what the port saw.
    connect(&session_, &t::Session::judged, this,
            [this](int state, const char* words) { trace_.verdict(state, words); });
    connect(&portJob_, &t::PortJob::noted, this,
            [this](const QString& words) { trace_.note(words); });
    busyRetry_.setSingleShot(true);
    connect(&busyRetry_, &QTimer::timeout, this, &ServedPort::tryStart);
}

ServedPort::~ServedPort()
{
    blockSignals(true); // its face may be half gone; what runs is still recorded
    close();
}

void ServedPort::setTarget(const QString& name, const serial::MapEntry& entry)
{
    name_ = name;
    entry_ = entry;
}

void ServedPort::recordOutcome(const t::Outcome& outcome)
{
    QStringList fields =
        recordFields(outcome, {entry_.portName, serial::deviceText(entry_.device), &package_,
                               record_.firmwareSha256(), unitSerial_, jobPolicy_.slotOf(name_),
                               jobPolicy_.profile ? jobPolicy_.profile->shown() : QString()});
    keepTrace(outcome, fields.first());
    fields.last() = inertField(traceFile_);
    lastFields_ = fields;
    const QString said = record_.add(fields);
    if (!said.isEmpty())
        emit recordProblem(said);
}

void ServedPort::beginTrace(const QString& opened)
{
    traceFile_.clear();
    traceTime_.clear();
    const bool traced = jobPolicy_.traces != TraceKeep::Off;
    link_.setTrace(traced ? &trace_ : nullptr);
    if (!traced) {
        trace_ = {}; // nor is the last job's offered as this one's
        return;
    }
    trace_.begin(&package_);
    trace_.opened(opened + QStringLiteral(" at ") + QLatin1String(serial::kLineSettings));
}

void ServedPort::keepTrace(const t::Outcome& outcome, const QString& time)
{
    if (!trace_.active())
        return;
    trace_.ended(outcome);
    traceTime_ = time;
    if (!outcome.failed() && jobPolicy_.traces != TraceKeep::All)
        return;
    const auto kept = record_.traces().keep(trace_.text(traceHeader(time)), outcome.started, name_);
    traceFile_ = kept.file;
    if (!kept.said.isEmpty())
        emit recordProblem(kept.said);
}

t::TraceHeader ServedPort::traceHeader(const QString& time) const
{
    const auto header = package::headerFields(package_.headerPacket);
    return {QStringLiteral(QX_VERSION),
            QString::fromStdString(header.fileName),
            package_.packetCount,
            record_.firmwareSha256().isEmpty() ? firmwareSha256(package_)
                                               : record_.firmwareSha256(),
            name_ == entry_.portName ? name_ : name_ + " (" + entry_.portName + ")",
            serial::deviceText(entry_.device),
            machineDescription(),
            time,
            job_,
            job_ == t::Job::Update ? portJob_.checks() : t::Checks{}, // as it started
            lifetime_ == Lifetime::PerJob};
}

QString ServedPort::diagnosticsFile() const
{
    return record_.folder() + '/' +
           traceFileName(QDateTime::currentDateTime(), name_).replace(".trace", "-diagnostics.txt");
}

QByteArray ServedPort::diagnostics() const
{
    if (lastFields_.isEmpty())
        return {};
    return diagnosticsText(
        lastFields_, trace_.events().empty() ? QByteArray() : trace_.text(traceHeader(traceTime_)),
        traceFile_);
}

void ServedPort::hold(const QString& name, const serial::MapEntry& entry)
{
    portJob_.connected(); // recorded under the name it was asked on
    setTarget(name, entry);
    lifetime_ = Lifetime::Held;
    serial::connectPort(port_, entry_);
}

void ServedPort::release()
{
    if (port_.portOpen())
        port_.setPortOpen(false);
}

void ServedPort::setUnitSerial(const QString& serial)
{
    unitSerial_ = serial;
    if (waitingStart_ && !serial.isEmpty())
        start(t::Job::Update, *std::exchange(waitingStart_, std::nullopt));
}

void ServedPort::policyChanged()
{
    if (!policy_.requireSerial && waitingStart_) // no serial is needed any more
        start(t::Job::Update, *std::exchange(waitingStart_, std::nullopt));
}

void ServedPort::start(t::Job job, int busyRetryMs)
{
    if (plug_ == Plug::Settling)
        plug_ = Plug::Served;
    if (job == t::Job::Update && policy_.requireSerial && unitSerial_.isEmpty() &&
        lifetime_ == Lifetime::PerJob) {
        waitingStart_ = busyRetryMs;
        emit serialWanted();
        return;
    }
    job_ = job;
    jobPolicy_ = policy_; // what the job reads from here on, whatever the station changes
    running_ = true;
    lastOutcome_.reset();
    emit starting(job);
    if (lifetime_ == Lifetime::Held) {
        beginTrace("held open: " + serial::deviceText(entry_.device));
        try {
            if (job == t::Job::Update)
                portJob_.startUpdate();
            else
                portJob_.startQuery(); // no limit: it collects until the next job
        } catch (const serial::CommError&) {
            running_ = false;
            throw;
        }
        return;
    }
    busyUntil_.setRemainingTime(busyRetryMs);
    beginTrace("opening " + serial::deviceText(entry_.device));
    tryStart();
}

void ServedPort::tryStart()
{
    try {
        serial::connectPort(port_, entry_);
        if (job_ == t::Job::Update)
            portJob_.startUpdate(jobPolicy_.checks);
        else
            portJob_.startQuery(jobPolicy_.queryLimitMs);
    } catch (const serial::CommError& error) {
        const bool opened = port_.portOpen();
        if (!opened && error.openFailure() == serial::OpenFailure::InUse &&
            !busyUntil_.hasExpired()) {
            busyRetry_.start(kBusyRetryEveryMs);
            return;
        }
        if (!opened) { // refused before the session began
            trace_.line(t::LineEvent::OpenFailed, error.description());
            trace_.line(t::LineEvent::Refused, error.description());
            portJob_.refused(job_, error.description());
        }
        // Reported from the event loop: no other port waits for this one's failure.
        QMetaObject::invokeMethod(
            this,
            [this, reason = error.description().toStdString()] {
                end({job_, t::Outcome::Failure, reason, {}});
            },
            Qt::QueuedConnection);
    }
}

void ServedPort::end(const t::Outcome& outcome)
{
    if (lifetime_ == Lifetime::Held) { // the line stays open for the next job
        running_ = false;
        lastOutcome_ = outcome;
        emit ended(outcome);
        return;
    }
    if (!running_) // ended already
        return;
    running_ = false;
    busyRetry_.stop();
    portJob_.stop();
    release();
    lastOutcome_ = outcome;
    emit ended(outcome);
    if (outcome.job == t::Job::Update) // recorded and reported: the unit's part is over
        unitSerial_.clear();
}

void ServedPort::close()
{
    busyRetry_.stop();
    running_ = false;
    portJob_.stop();
    release();
}

void ServedPort::interrupt()
{
    waitingStart_.reset();
    if (!running_)
        return;
    if (busyRetry_.isActive()) // still waiting for another program to let go of the port
        return giveUp(QStringLiteral("interrupted while another program held the port"));
    trace_.line(t::LineEvent::Interrupted);
    portJob_.interrupt();                          // ends it, through finished()
    if (running_ && lifetime_ == Lifetime::PerJob) // nothing ran on it: its open failed just now
        end({job_, t::Outcome::Failure, "interrupted", {}});
}

void ServedPort::removed()
{
    waitingStart_.reset();
    if (!running_) { // the serial was the unit's that has gone
        unitSerial_.clear();
        return;
    }
    if (busyRetry_.isActive())
        return giveUp(
            QStringLiteral("the adapter was removed while another program held the port"));
    release();
    const QString lost = QStringLiteral("the adapter was removed");
    trace_.line(t::LineEvent::Lost, lost);
    portJob_.lineLost(lost);
}

void ServedPort::giveUp(const QString& reason)
{
    trace_.line(t::LineEvent::Refused, reason);
    portJob_.refused(job_, reason);
    end({job_, t::Outcome::Failure, reason.toStdString(), {}});
}

} // namespace qx::service
