// One served port: the session wired to its line, the sleep hold and the record, and the
// open-and-start sequence of the command line, the station and the bench.
#include "servedport.h"

#include <QMetaObject>

namespace qx::service {

namespace t = qx::transfer;

ServedPort::ServedPort(const package::Package& package, ServiceRecord& record,
                       serial::DeviceSource devices, QObject* parent)
    : QObject(parent), package_(package), record_(record),
      port_(devices ? std::move(devices) : [this] { return QList{entry_}; }),
      session_(link_, package)
{
    link_.route(session_);
    // The machine stays awake from the start of each update or query until it is decided,
    // whatever the outcome.
    connect(&session_, &t::Session::begun, this, [this](t::Job job) {
        steps_ = 0;
        awake_.hold((job == t::Job::Update ? "Updating the device on " : "Asking the device on ") +
                    name_);
    });
    connect(&session_, &t::Session::advanced, this, [this] { ++steps_; });
    connect(&session_, &t::Session::decided, this, [this](const t::Outcome& outcome) {
        awake_.release();
        recordOutcome(outcome);
    });
    connect(&session_, &t::Session::finished, this, &ServedPort::end);
    busyRetry_.setSingleShot(true);
    connect(&busyRetry_, &QTimer::timeout, this, &ServedPort::tryStart);
}

ServedPort::~ServedPort()
{
    if (port_.portOpen())
        port_.setPortOpen(false);
}

void ServedPort::setTarget(const QString& name, const serial::MapEntry& entry)
{
    name_ = name;
    entry_ = entry;
}

void ServedPort::recordOutcome(const t::Outcome& outcome)
{
    // The image's checksum, once for each package the face loads rather than once a line; the
    // embedded package never changes, so its header and its bytes' place tell it.
    const HashedAs now{package_.headerPacket, package_.packageData.data(),
                       package_.packageData.size()};
    if (outcome.job == t::Job::Update && hashedAs_ != now) {
        hashedAs_ = now;
        sha_ = firmwareSha256(package_);
    }
    const QString said = record_.append(
        recordLine(outcome, {entry_.portName, serial::deviceText(entry_.device), &package_, sha_}));
    if (!said.isEmpty())
        emit recordProblem(said);
}

void ServedPort::start(t::Job job, int busyRetryMs)
{
    if (plug_ == Plug::Settling)
        plug_ = Plug::Served;
    job_ = job;
    running_ = true;
    busyUntil_.setRemainingTime(busyRetryMs);
    emit starting(job);
    tryStart();
}

void ServedPort::tryStart()
{
    try {
        serial::connectPort(port_, entry_.comNumber);
        if (job_ == t::Job::Update)
            session_.startUpdate();
        else
            session_.startQuery(t::kQueryTimeoutMs);
    } catch (const serial::CommError& error) {
        const bool opened = port_.portOpen();
        if (!opened && error.openFailure() == serial::OpenFailure::InUse &&
            !busyUntil_.hasExpired()) {
            busyRetry_.start(kBusyRetryEveryMs);
            return;
        }
        if (!opened) // refused before the session began
            session_.refused(job_, error.description());
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
    if (!running_) // the window's session, or ended already
        return;
    running_ = false;
    busyRetry_.stop();
    session_.stop();
    if (port_.portOpen())
        port_.setPortOpen(false);
    emit ended(outcome);
}

void ServedPort::interrupt()
{
    if (!running_)
        return;
    if (busyRetry_.isActive()) // still waiting for another program to let go of the port
        return giveUp(QStringLiteral("interrupted while another program held the port"));
    session_.interrupt(); // ends it, through finished()
    if (running_)         // nothing ran on it: its open failed just now
        end({job_, t::Outcome::Failure, "interrupted", {}});
}

void ServedPort::removed()
{
    if (!running_)
        return;
    if (busyRetry_.isActive())
        return giveUp(
            QStringLiteral("the adapter was removed while another program held the port"));
    if (port_.portOpen())
        port_.setPortOpen(false);
    session_.lineLost(QStringLiteral("the adapter was removed"));
}

void ServedPort::giveUp(const QString& reason)
{
    session_.refused(job_, reason);
    end({job_, t::Outcome::Failure, reason.toStdString(), {}});
}

} // namespace qx::service
