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
    verifyPause_.setSingleShot(true);
    connect(&versionQuiet_, &QTimer::timeout, this, &Session::checkAnswered);
    connect(&verifyPause_, &QTimer::timeout, this, [this] {
        try {
            askVersion(kVerifyTimeoutMs);
        } catch (const std::exception&) { // the update itself has succeeded
            check_ = Check::None;
            verified(Found::Unknown, Outcome::kVersionUnknown);
        }
    });
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
    check_ = Check::None;
    checks_ = {};
    before_.clear();
    after_.clear();
    started_ = QDateTime::currentDateTime();
    clock_.start();
    emit begun(job);
}

void Session::decide(Outcome outcome)
{
    if (!awaitsRecord())
        return;
    stage_ = Stage::Quiet;
    outcome = checked(std::move(outcome));
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

void Session::startUpdate(Checks checks)
{
    begin(Job::Update);
    checks_ = checks;
    commMode = 1;
    try {
        if (checks.before)
            askVersion(kMenuTimeoutMs); // as long as the menu command would have
        else
            startTransfer();
    } catch (const std::exception& error) {
        refused(Job::Update, QString::fromUtf8(error.what()));
        throw;
    }
}

// From the menu command, or from the header when the device already asks for it.
void Session::startTransfer()
{
    check_ = Check::None;
    commMode = 1;
    port_.clearReceive();
    port_.clearTransmit();
    port_.setTextInput(false);
    sendState = deviceWaiting ? 1 : 0;
    tmrSend.setInterval(kSendIntervalMs);
    tmrSend.start();
    emit transferring();
}

// ---- The checks around an update -----------------------------------------------------------

void Session::askVersion(int limitMs)
{
    check_ = check_ == Check::Pause ? Check::After : Check::Before;
    commMode = 2;
    versionText.clear();
    versionReplyCount = 0;
    sendVersionCommand(limitMs);
}

void Session::checkReply()
{
    const QString text = QString::fromLatin1(port_.read());
    if (check_ == Check::Pause || text.isEmpty()) // what the device says as it settles
        return;
    versionText += text.left(std::max<qsizetype>(0, kVersionTextLimit - versionText.size()));
    // Whole once the device has gone quiet, not at its line end: the menu command must not
    // reach a device still sending (a "\r\n" may come a byte at a time, a prompt after it).
    if (++versionReplyCount >= kVersionReplyLimit)
        checkAnswered();
    else
        versionQuiet_.start(kVersionQuietMs);
}

void Session::checkAnswered()
{
    tmrOvertime.stop();
    versionQuiet_.stop();
    if (outcomeFixed())
        return;
    const QString packageFile =
        QString::fromStdString(package::headerFields(package_.headerPacket).fileName);
    const Found found = judgeVersion(versionText, packageFile);
    const QString file = namedFile(versionText);
    const QString named = file.isEmpty() ? QString(Outcome::kVersionUnknown) : file.chopped(4);
    if (std::exchange(check_, Check::None) == Check::After) {
        verified(found, named);
        return;
    }
    before_ = named;
    if (found == Found::Current) {
        finish({Job::Update, Outcome::Current, {}, named});
    } else if (found == Found::OtherProduct && !checks_.force) {
        finish(failed({Cause::OtherProduct, kQueryState, {}, named.toStdString()}));
    } else if (found == Found::Newer && !checks_.allowOlder) { // no downgrade unless asked
        const QString sent = packageFile.chopped(4);
        finish(failed(
            {Cause::Newer, kQueryState, {}, (named + ", newer than " + sent).toStdString()}));
    } else {
        deviceWaiting = false; // it has just answered at its menu
        try {
            startTransfer();
        } catch (const std::exception& error) {
            failNow({Cause::PortRefused, 0, {}, error.what()});
        }
    }
}

void Session::verified(Found found, const QString& named)
{
    after_ = named;
    if (found == Found::Current || found == Found::Unknown) // unanswered: the success stands
        finish({Job::Update, Outcome::Success, {}, {}});
    else
        finish(failed({Cause::NotUpdated, kQueryState, {}, named.toStdString()}));
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
        port_.setReplyThreshold(replyThreshold);
        port_.write(sendBuffer);
    } catch (const std::exception& error) {
        failNow({Cause::PortRefused, sendState, {}, error.what()});
    }
}

void Session::receive()
{
    if (outcomeFixed()) {
        port_.read();
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
        if (check_ == Check::None)
            versionReply();
        else
            checkReply();
        break;
    default:
        break;
    }
}

void Session::idleReply()
{
    // Text after Connect or a query, bytes after a transfer: read as Latin-1, the last
    // character is 'C' exactly when the last byte is.
    const QByteArray bytes = port_.read();
    if (!bytes.isEmpty())
        deviceWaiting = static_cast<std::uint8_t>(bytes.back()) == kRequest;
}

void Session::transferReply()
{
    const QByteArray reply = port_.read();
    switch (judgeReply(sendState, package_.packetCount, bytesOf(reply))) {
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
    if (checks_.after) {
        check_ = Check::Pause;
        commMode = 2;
        verifyPause_.start(kVerifyPauseMs);
        return;
    }
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
    verifyPause_.stop();
    tmrOvertime.setInterval(kFailNowMs);
    tmrOvertime.start();
}

void Session::overtimeTick()
{
    tmrOvertime.stop();
    if (!outcomeFixed() && check_ != Check::None) { // what came within the check's time
        checkAnswered();
        return;
    }
    if (!outcomeFixed()) { // the time ran out; what little came stays for the idle reader
        failure_ = {Cause::NoReply, state()};
        if (job_ == Job::Query)
            failure_.reply = received(versionText);
        else if (const qint64 waiting = port_.waiting(); waiting > 0)
            failure_.detail =
                std::to_string(waiting) + " of " + std::to_string(replyThreshold) + " bytes";
    }
    finish(failed(failure_));
}

void Session::finish(Outcome outcome)
{
    versionQuiet_.stop();
    verifyPause_.stop();
    outcome = checked(std::move(outcome));
    stamp(outcome); // the duration ends at the outcome, not when its box is closed
    // Recorded first: a box may wait for its OK until the battery dies or the program is killed.
    decide(outcome);
    stage_ = Stage::Reporting;
    emit finished(outcome);
    commMode = 0;
    if (stage_ == Stage::Reporting) // a handler may have begun the next job
        stage_ = Stage::Quiet;
}

void Session::lineLost(const QString& description)
{
    tmrSend.stop();
    if (verifying()) // the update itself has succeeded
        verified(Found::Unknown, Outcome::kVersionUnknown);
    else if (commMode == 1 || commMode == 2)
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
    if (verifying()) // the update itself has succeeded
        verified(Found::Unknown, Outcome::kVersionUnknown);
    else
        finish(failed({Cause::Interrupted, state()}, versionCaption(versionText)));
}

Outcome Session::failed(const Failure& failure, const QString& version) const
{
    Outcome outcome{job_, Outcome::Failure, describe(failure, package_.packetCount), version};
    outcome.step = stepName(failure.sendState, package_.packetCount);
    return outcome;
}

bool Session::outcomeFixed() const
{
    return stage_ == Stage::Failing || stage_ == Stage::FailingAfterRecord ||
           stage_ == Stage::Reporting;
}

bool Session::verifying() const
{
    return check_ == Check::Pause || check_ == Check::After;
}

bool Session::awaitsRecord() const
{
    return stage_ == Stage::Judging || stage_ == Stage::Failing;
}

Outcome Session::checked(Outcome outcome) const
{
    if (outcome.job == Job::Update) {
        outcome.before = before_;
        outcome.after = after_;
    }
    return outcome;
}

void Session::stamp(Outcome& outcome) const
{
    outcome.started = started_;
    outcome.seconds = double(clock_.nsecsElapsed()) / 1e9;
    outcome.at = std::chrono::steady_clock::now();
}

int Session::state() const
{
    return job_ == Job::Query || check_ != Check::None ? kQueryState : sendState;
}

void Session::stop()
{
    tmrSend.stop();
    tmrOvertime.stop();
    versionQuiet_.stop();
    verifyPause_.stop();
    leaveQuery();
    if (stage_ == Stage::Failing) // fixed, and not yet reported: recorded now or never
        decide(failed(failure_));
    if (job_ != Job::Update || stage_ != Stage::Judging) // the window closes on an update
        return;
    if (verifying()) // the update itself has succeeded
        decide({Job::Update, Outcome::Success, {}, {}});
    else
        decide(failed({Cause::Interrupted, state()}));
}

// ---- Version query -------------------------------------------------------------------------

void Session::startQuery(std::optional<int> limitMs)
{
    begin(Job::Query);
    versionText.clear();
    versionReplyCount = 0;
    commMode = 2;
    queryLimitMs_ = limitMs;
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
        port_.write(bytesOf(QByteArray(kVersionCommand)));
    } catch (const std::exception&) {
        tmrOvertime.stop();
        throw;
    }
}

void Session::versionReply()
{
    const QString text = QString::fromLatin1(port_.read());
    if (text.isEmpty())
        return;
    versionText += text.left(std::max<qsizetype>(0, kVersionTextLimit - versionText.size()));
    ++versionReplyCount;
    if (versionReplyCount <= kVersionReplyLimit) {
        const QString caption = versionCaption(versionText);
        emit versionRead(caption);
        if (!versionReplyComplete(versionText) || !awaitsRecord())
            return;
        const Outcome answered{Job::Query, Outcome::Success, {}, caption.trimmed()};
        if (queryLimitMs_) {
            tmrOvertime.stop();
            finish(answered);
        } else {
            decide(answered); // the window keeps collecting, as it always has
        }
        return;
    }
    commMode = 0;
    const bool afterFinishedUpdate = sendState == package_.packetCount + 3;
    replyFailure({Cause::ReplyTooLong, kQueryState});
    if (afterFinishedUpdate) // the failure steps do nothing here: the query just ends
        finish({Job::Query, Outcome::Ended,
                describe({Cause::ReplyTooLong, kQueryState}, package_.packetCount),
                versionCaption(versionText)});
}

} // namespace qx::transfer
