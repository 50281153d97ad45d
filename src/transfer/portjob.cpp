// An update's checks as a sequence of exchanges on one session; what each found decides the
// next step and, at the end, the one outcome the record and the face get.
#include "portjob.h"

#include "trace.h"
#include "versionquery.h"

#include <exception>

namespace qx::transfer {

namespace {
// The file the device named, without ".bin"; "unknown" where it named none.
QString named(const QString& versionText)
{
    const QString file = namedFile(versionText);
    return file.isEmpty() ? QString(Outcome::kVersionUnknown) : file.chopped(4);
}

// A check's exchange ended without an answer to judge: the line, a refusal, Ctrl+C.
bool brokenOff(const Outcome& asked)
{
    return asked.result != Outcome::Success && asked.cause != Cause::NoReply;
}
} // namespace

PortJob::PortJob(Session& session, const package::Package& package, QObject* parent)
    : QObject(parent), session_(session), package_(package)
{
    pause_.setSingleShot(true);
    connect(&pause_, &QTimer::timeout, this, [this] { ask(Step::After, kVerifyTimeoutMs); });
    // A job without checks is its exchange; with them, only the job's own outcome leaves.
    connect(&session_, &Session::begun, this, [this](Job job) {
        if (step_ == Step::None)
            emit begun(job);
    });
    connect(&session_, &Session::advanced, this, &PortJob::advanced);
    connect(&session_, &Session::transferring, this, &PortJob::transferring);
    connect(&session_, &Session::versionRead, this, [this](const QString& caption) {
        if (step_ == Step::None)
            emit versionRead(caption);
    });
    connect(&session_, &Session::decided, this, [this](const Outcome& outcome) {
        if (step_ == Step::None)
            emit decided(outcome);
    });
    connect(&session_, &Session::finished, this, &PortJob::exchanged);
}

void PortJob::startUpdate(const Checks& checks)
{
    pause_.stop();
    checks_ = &checks;
    before_.clear();
    after_.clear();
    if (!checks.before && !checks.after) {
        step_ = Step::None;
        session_.startUpdate();
        return;
    }
    started_ = QDateTime::currentDateTime();
    clock_.start();
    step_ = Step::None;
    emit begun(Job::Update);
    try {
        if (checks.before) {
            emit checking();
            ask(Step::Before, kMenuTimeoutMs); // as long as the menu command would have
        } else {
            step_ = Step::Transfer;
            session_.startUpdate();
        }
    } catch (const std::exception& error) {
        step_ = Step::None;
        refused(Job::Update, QString::fromUtf8(error.what()));
        throw;
    }
}

void PortJob::ask(Step step, int limitMs)
{
    step_ = step;
    try {
        session_.startQuery(limitMs, QueryEnd::Quiet);
    } catch (const std::exception&) {
        if (step == Step::Before)
            throw;
        succeeded(Outcome::kVersionUnknown); // the update itself has succeeded
    }
}

void PortJob::exchanged(const Outcome& outcome)
{
    switch (step_) {
    case Step::None:
        emit finished(outcome);
        return;
    case Step::Before:
        return before(outcome);
    case Step::Transfer:
        if (outcome.result != Outcome::Success || !checks_->after)
            return complete(outcome);
        step_ = Step::Pause;
        note(QStringLiteral("the device writes its flash: asked again %1 ms after")
                 .arg(kVerifyPauseMs));
        pause_.start(kVerifyPauseMs);
        return;
    case Step::Pause:
        return;
    case Step::After:
        return after(outcome);
    }
}

void PortJob::before(const Outcome& asked)
{
    if (brokenOff(asked)) {
        Outcome broken{Job::Update, Outcome::Failure, asked.reason, {}, {}, 0, asked.step};
        broken.cause = asked.cause;
        return complete(broken);
    }
    before_ = named(session_.versionSoFar());
    const Found found = judgeVersion(session_.versionSoFar(), packageFile());
    const auto refuse = [&](Cause cause, const QString& detail) {
        note("check before: the device runs " + before_ + ": refused");
        complete(failedAt({cause, kQueryState, {}, detail.toStdString()}));
    };
    if (found == Found::Current) {
        note("check before: the device runs " + before_ + " already");
        return complete({Job::Update, Outcome::Current, {}, before_});
    }
    if (found == Found::OtherProduct && !checks_->force)
        return refuse(Cause::OtherProduct, before_);
    if (found == Found::Newer && !checks_->allowOlder) // no downgrade unless asked
        return refuse(Cause::Newer, before_ + ", newer than " + packageFile().chopped(4));
    note("check before: the device runs " + before_ + ": updating");
    session_.setDeviceWaiting(false); // it has just answered at its menu
    step_ = Step::Transfer;
    try {
        session_.startUpdate();
    } catch (const std::exception& error) {
        complete(failedAt({Cause::PortRefused, 0, {}, error.what()}));
    }
}

void PortJob::after(const Outcome& asked)
{
    const QString file =
        brokenOff(asked) ? QString(Outcome::kVersionUnknown) : named(session_.versionSoFar());
    const Found found = judgeVersion(session_.versionSoFar(), packageFile());
    note("check after: the device runs " + file);
    if (brokenOff(asked) || found == Found::Current || found == Found::Unknown)
        return succeeded(file); // unanswered: the success stands
    after_ = file;
    complete(failedAt({Cause::NotUpdated, kQueryState, {}, file.toStdString()}));
}

Outcome PortJob::failedAt(const Failure& failure) const
{
    Outcome outcome{Job::Update,
                    Outcome::Failure,
                    describe(failure, package_.packetCount),
                    {},
                    {},
                    0,
                    stepName(failure.sendState, package_.packetCount)};
    outcome.cause = failure.cause;
    return outcome;
}

void PortJob::note(const QString& words)
{
    emit noted(words);
}

void PortJob::succeeded(const QString& after)
{
    after_ = after;
    complete({Job::Update, Outcome::Success, {}, {}});
}

void PortJob::complete(Outcome outcome, bool report)
{
    pause_.stop();
    step_ = Step::None;
    outcome.job = Job::Update;
    outcome.before = before_;
    outcome.after = after_;
    outcome.started = started_;
    outcome.seconds = double(clock_.nsecsElapsed()) / 1e9;
    outcome.at = std::chrono::steady_clock::now();
    emit decided(outcome); // recorded first, as the session's own are
    if (report)
        emit finished(outcome);
}

void PortJob::refused(Job job, const QString& description)
{
    pause_.stop();
    step_ = Step::None;
    session_.refused(job, description);
}

void PortJob::lineLost(const QString& description)
{
    if (step_ == Step::Pause) // the update itself has succeeded
        return succeeded(Outcome::kVersionUnknown);
    session_.lineLost(description);
}

void PortJob::interrupt()
{
    if (step_ == Step::Pause)
        return succeeded(Outcome::kVersionUnknown);
    session_.interrupt();
}

void PortJob::stop()
{
    pause_.stop();
    const Step step = std::exchange(step_, Step::None);
    if (step != Step::Before && step != Step::Pause && step != Step::After)
        return session_.stop();  // the transfer: recorded as interrupted, as the session's own
    session_.blockSignals(true); // what it decides of the check is not the job's outcome
    session_.stop();
    session_.blockSignals(false);
    if (step != Step::Before) { // the update itself has succeeded
        after_ = Outcome::kVersionUnknown;
        return complete({Job::Update, Outcome::Success, {}, {}}, false);
    }
    complete(failedAt({Cause::Interrupted, kQueryState}),
             false); // nothing is reported: the face goes away
}

QString PortJob::packageFile() const
{
    return QString::fromStdString(package::headerFields(package_.headerPacket).fileName);
}

} // namespace qx::transfer
