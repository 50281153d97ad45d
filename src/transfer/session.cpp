// One port's update transfer and version query. Each handler follows the device's protocol
// step by step; the decisions (what a state sends, whether a reply is accepted) are transfer.h's.
#include "session.h"

#include "versionquery.h"

#include <algorithm>
#include <exception>

namespace qx::transfer {

namespace {
std::span<const std::uint8_t> bytesOf(const QByteArray& bytes)
{
    return {reinterpret_cast<const std::uint8_t*>(bytes.constData()), std::size_t(bytes.size())};
}

// What a query has received, as the bytes a failure's reason spells out.
std::vector<std::uint8_t> received(const QString& versionText)
{
    const QByteArray text = versionText.toLatin1();
    return {text.begin(), text.end()};
}
} // namespace

Session::Session(Port& port, const package::Package& package, QObject* parent)
    : QObject(parent), port_(port), package_(package)
{
    tmrSend.setSingleShot(true);
    tmrOvertime.setSingleShot(true);
    // Coarse timers may fire 5 % early: the reply limits are meant to the millisecond.
    tmrSend.setTimerType(Qt::PreciseTimer);
    tmrOvertime.setTimerType(Qt::PreciseTimer);
    connect(&tmrSend, &QTimer::timeout, this, &Session::sendTick);
    connect(&tmrOvertime, &QTimer::timeout, this, &Session::overtimeTick);
    versionQuiet_.setSingleShot(true);
    connect(&versionQuiet_, &QTimer::timeout, this, &Session::answered);
}

// ---- Update ------------------------------------------------------------------------------

void Session::connected()
{
    leaveQuery();
    commMode = 0;
}

void Session::begin(Job job)
{
    leaveQuery();
    job_ = job;
    stage_ = Stage::Judging;
    started_ = QDateTime::currentDateTime();
    clock_.start();
    emit begun(job);
}

void Session::decide(Outcome outcome)
{
    if (!awaitsRecord())
        return;
    stage_ = Stage::Quiet;
    if (!outcome.started.isValid()) // decided without being shown: its time is now
        stamp(outcome);
    emit decided(outcome);
}

void Session::leaveQuery()
{
    if (stage_ != Stage::Judging || job_ != Job::Query)
        return;
    decide(failed({Cause::Left, kQueryState, received(versionText)}, versionCaption(versionText)));
}

void Session::refused(Job job, const QString& description)
{
    if (!awaitsRecord() || job_ != job)
        begin(job);
    decide(
        {job, Outcome::Failure, "the port could not be started: " + description.toStdString(), {}});
}

void Session::startUpdate()
{
    begin(Job::Update);
    commMode = 1;
    try {
        port_.clearReceive();
        port_.clearTransmit();
        port_.setTextInput(false);
    } catch (const std::exception& error) {
        refused(Job::Update, QString::fromUtf8(error.what()));
        throw;
    }
    // From the menu command, or from the header when the device already asks for it.
    sendState = deviceWaiting ? 1 : 0;
    tmrSend.setInterval(kSendIntervalMs);
    tmrSend.start();
    emit transferring();
}

void Session::sendTick()
{
    tmrSend.stop();
    const Step step = stepOf(sendState, package_.packetCount);
    sendBuffer = sendBytes(sendState, package_);
    if (step == Step::None || sendBuffer.empty()) {
        failNow({Cause::PortRefused, sendState, {}, "nothing to send"});
        return;
    }
    const StepRule& rule = ruleOf(step);
    replyThreshold = static_cast<qint16>(rule.replyThreshold);
    // Armed before the write: every state has a reply time limit.
    tmrOvertime.setInterval(rule.watchdogMs);
    tmrOvertime.start();
    try {
        port_.clearReceive();
        partial_.clear();
        port_.setReplyThreshold(1); // each byte as it comes: a hopeless first one fails at once
        port_.write(sendState, sendBuffer);
    } catch (const std::exception& error) {
        failNow({Cause::PortRefused, sendState, {}, error.what()});
    }
}

void Session::receive()
{
    if (outcomeFixed()) {
        take();
        return;
    }
    switch (commMode) {
    case 0:
        idleReply();
        break;
    case 1:
        transferReply();
        break;
    case 2:
        versionReply();
        break;
    default:
        break;
    }
}

void Session::idleReply()
{
    // Text after Connect or a query, bytes after a transfer: read as Latin-1, the last
    // character is 'C' exactly when the last byte is.
    const QByteArray bytes = take();
    if (!bytes.isEmpty())
        deviceWaiting = static_cast<std::uint8_t>(bytes.back()) == kRequest;
}

void Session::transferReply()
{
    if (tmrSend.isActive()) // the next state is not sent yet: what came is no reply to it,
        return;             // and its send clears it
    partial_ += take();
    if (awaitsRest(sendState, package_.packetCount, bytesOf(partial_)))
        return;
    const QByteArray reply = std::exchange(partial_, {});
    const Verdict verdict = judgeReply(sendState, package_.packetCount, bytesOf(reply));
    static const char* const kVerdictWords[] = {"advance", "complete", "fail", "keep-waiting",
                                                nullptr};
    if (const char* words = kVerdictWords[int(verdict)])
        emit judged(sendState, words);
    switch (verdict) {
    case Verdict::Advance:
        advance();
        break;
    case Verdict::Complete:
        succeed();
        break;
    case Verdict::Fail: {
        const auto bytes = bytesOf(reply);
        replyFailure({Cause::WrongReply, sendState, {bytes.begin(), bytes.end()}});
        break;
    }
    case Verdict::KeepWaiting: // a wrong reply to the closing header: the device may ACK yet
    case Verdict::Ignore:
        break;
    }
}

void Session::advance()
{
    ++sendState;
    tmrSend.start();
    emit advanced();
}

void Session::succeed()
{
    tmrSend.stop();
    tmrOvertime.stop();
    deviceWaiting = false;
    finish({Job::Update, Outcome::Success, {}, {}});
    deviceWaiting = false;
}

void Session::replyFailure(Failure failure)
{
    tmrSend.stop();
    if (sendState != package_.packetCount + 3)
        failNow(std::move(failure));
}

void Session::failNow(Failure failure)
{
    if (outcomeFixed())
        return;
    stage_ = stage_ == Stage::Quiet ? Stage::FailingAfterRecord : Stage::Failing;
    failure_ = std::move(failure);
    tmrSend.stop();
    versionQuiet_.stop();
    tmrOvertime.setInterval(kFailNowMs);
    tmrOvertime.start();
}

void Session::overtimeTick()
{
    tmrOvertime.stop();
    versionQuiet_.stop();
    if (!outcomeFixed()) { // the time ran out; what little came stays for the idle reader
        emit judged(state(), "timeout");
        failure_ = {Cause::NoReply, state()};
        if (job_ == Job::Query)
            failure_.reply = received(versionText);
        else if (const qint64 waiting = partial_.size() + port_.waiting(); waiting > 0) {
            failure_.detail =
                std::to_string(waiting) + " of " + std::to_string(replyThreshold) + " bytes";
            // Judged now as the idle reader would judge them: by their last byte, which says
            // whether the device asks for a transfer.
            const QByteArray little = std::exchange(partial_, {}) + take();
            deviceWaiting = !little.isEmpty() && std::uint8_t(little.back()) == kRequest;
        }
    }
    finish(failed(failure_));
}

void Session::finish(Outcome outcome)
{
    versionQuiet_.stop();
    stamp(outcome); // the duration ends at the outcome, not when its box is closed
    // Recorded first: a box may wait for its OK until the battery dies or the program is killed.
    decide(outcome);
    stage_ = Stage::Reporting;
    emit finished(outcome);
    if (stage_ == Stage::Reporting) { // else a handler has begun the next job
        stage_ = Stage::Quiet;
        commMode = 0;
    }
}

void Session::lineLost(const QString& description)
{
    tmrSend.stop();
    if (commMode == 1 || commMode == 2)
        failNow({Cause::LineLost, state(), {}, description.toStdString()});
}

void Session::interrupt()
{
    if (commMode != 1 && commMode != 2)
        return;
    if (outcomeFixed()) { // decided already: that failure is reported now, not 1 ms later
        if (tmrOvertime.isActive())
            overtimeTick();
        return;
    }
    tmrSend.stop();
    tmrOvertime.stop();
    versionQuiet_.stop();
    finish(failed({Cause::Interrupted, state()}, versionCaption(versionText)));
}

Outcome Session::failed(const Failure& failure, const QString& version) const
{
    Outcome outcome{job_, Outcome::Failure, describe(failure, package_.packetCount), version};
    outcome.step = stepName(failure.sendState, package_.packetCount);
    outcome.cause = failure.cause;
    return outcome;
}

bool Session::outcomeFixed() const
{
    return stage_ == Stage::Failing || stage_ == Stage::FailingAfterRecord ||
           stage_ == Stage::Reporting;
}

bool Session::awaitsRecord() const
{
    return stage_ == Stage::Judging || stage_ == Stage::Failing;
}

void Session::stamp(Outcome& outcome) const
{
    outcome.started = started_;
    outcome.seconds = double(clock_.nsecsElapsed()) / 1e9;
    outcome.at = std::chrono::steady_clock::now();
}

QByteArray Session::take()
{
    return port_.read();
}

int Session::state() const
{
    return job_ == Job::Query ? kQueryState : sendState;
}

void Session::stop()
{
    tmrSend.stop();
    tmrOvertime.stop();
    versionQuiet_.stop();
    leaveQuery();
    if (stage_ == Stage::Failing) // fixed, and not yet reported: recorded now or never
        decide(failed(failure_));
    if (job_ != Job::Update || stage_ != Stage::Judging) // the window closes on an update
        return;
    decide(failed({Cause::Interrupted, state()}));
}

// ---- Version query -------------------------------------------------------------------------

void Session::answered()
{
    tmrOvertime.stop();
    versionQuiet_.stop();
    if (awaitsRecord() && !outcomeFixed()) {
        emit judged(kQueryState, "answered");
        finish({Job::Query, Outcome::Success, {}, versionCaption(versionText).trimmed()});
    }
}

void Session::startQuery(std::optional<int> limitMs, QueryEnd end)
{
    begin(Job::Query);
    versionText.clear();
    versionReplyCount = 0;
    commMode = 2;
    queryLimitMs_ = limitMs;
    queryEnd_ = end;
    try {
        sendVersionCommand(limitMs);
    } catch (const std::exception& error) {
        refused(Job::Query, QString::fromUtf8(error.what()));
        throw;
    }
}

// Text input, and "2"; a refusal is thrown with the limit's timer stopped.
void Session::sendVersionCommand(std::optional<int> limitMs)
{
    try {
        port_.setHandshakingNone();
        port_.clearReceive();
        port_.clearTransmit();
        port_.setDtr(true);
        port_.setTextInput(true);
        port_.clearReceive();
        port_.setReplyThreshold(1);
        if (limitMs) {
            tmrOvertime.setInterval(*limitMs);
            tmrOvertime.start();
        }
        port_.write(kQueryState, bytesOf(QByteArray(kVersionCommand)));
    } catch (const std::exception&) {
        tmrOvertime.stop();
        throw;
    }
}

void Session::versionReply()
{
    const QString text = QString::fromLatin1(take());
    if (text.isEmpty())
        return;
    versionText += text.left(std::max<qsizetype>(0, kVersionTextLimit - versionText.size()));
    ++versionReplyCount;
    if (queryEnd_ == QueryEnd::Quiet) {
        // Whole once the device has gone quiet, not at its line end: the next command must not
        // reach a device still sending (a "\r\n" may come a byte at a time, a prompt after it).
        if (versionReplyCount >= kVersionReplyLimit)
            answered();
        else
            versionQuiet_.start(kVersionQuietMs);
        return;
    }
    if (versionReplyCount <= kVersionReplyLimit) {
        const QString caption = versionCaption(versionText);
        emit versionRead(caption);
        if (!versionReplyComplete(versionText) || !awaitsRecord())
            return;
        emit judged(kQueryState, "answered");
        const Outcome answered{Job::Query, Outcome::Success, {}, caption.trimmed()};
        if (queryLimitMs_) {
            tmrOvertime.stop();
            finish(answered);
        } else {
            decide(answered); // the window keeps collecting until its next command
        }
        return;
    }
    commMode = 0;
    emit judged(kQueryState, "too-long");
    const bool afterFinishedUpdate = sendState == package_.packetCount + 3;
    replyFailure({Cause::ReplyTooLong, kQueryState});
    if (afterFinishedUpdate) // the failure steps do nothing here: the query just ends
        finish({Job::Query, Outcome::Ended,
                describe({Cause::ReplyTooLong, kQueryState}, package_.packetCount),
                versionCaption(versionText)});
}

} // namespace qx::transfer
