// The record's side of the shared record, on the ports' thread: it writes the outbox, asks the
// delivering process to deliver it one try at a time, ends a try that does not answer, and
// tells the user what waits, once per change.
#include "sharedrecord.h"

#include "inert.h"
#include "platform.h"
#include "servicerecord.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QUuid>

#include <algorithm>
#include <utility>

namespace qx::service {

namespace {
// How long the delivering process may take to end at the program's end.
constexpr int kDelivererEndMs = 1000;
} // namespace

SharedRecord::SharedRecord(const Database& database, const QString& folder, const QString& program,
                           QObject* parent)
    : QObject(parent), recordTo_(database.url), folder_(folder), program_(program),
      outbox_(folder, database)
{
    deliverer_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    platform::endsWithThisProcess(deliverer_); // killed, this program leaves no deliverer behind
    connect(&deliverer_, &QProcess::readyReadStandardOutput, this, &SharedRecord::heard);
    // Ended or never started: the try it had is answered here, the next starts it again.
    connect(&deliverer_, &QProcess::finished, this, [this] {
        const QString why = std::exchange(endedFor_, {});
        if (asking_)
            answered(waitingNow(),
                     why.isEmpty() ? QStringLiteral("the delivering process ended") : why);
    });
    connect(&deliverer_, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart && asking_)
            answered(waitingNow(), QStringLiteral("the delivering process did not start: %1")
                                       .arg(deliverer_.errorString()));
    });
    answerLimit_.setSingleShot(true);
    answerLimit_.setInterval(kDeliveryAnswerMs);
    connect(&answerLimit_, &QTimer::timeout, this, [this] {
        // Stuck on the network or in its driver: ended, its try answered as it ends, and the
        // next try starts it afresh.
        const QString why =
            QStringLiteral("no answer from the database in %1 s").arg(kDeliveryAnswerMs / 1000);
        if (deliverer_.state() == QProcess::NotRunning)
            return answered(waitingNow(), why);
        endedFor_ = why;
        deliverer_.kill();
    });
    retry_.setInterval(kDeliveryRetryMs);
    connect(&retry_, &QTimer::timeout, this, &SharedRecord::tryNow);
    atEnd_.setSingleShot(true);
    connect(&atEnd_, &QTimer::timeout, this, [this] {
        if (asking_) // what it was sending waits for the next run
            tell(waitingNow(), QStringLiteral("no answer from the database in %1 s")
                                   .arg(atEnd_.interval() / 1000));
        if (auto done = std::exchange(done_, {}))
            done();
    });
    // What an earlier run left waiting; and the delivering process is up by the first outcome,
    // so that a one-shot run's last try fits its few seconds.
    tryNow();
}

SharedRecord::~SharedRecord()
{
    disconnect(&deliverer_, nullptr, this, nullptr); // its end is nobody's news now
    writeOutbox();
    if (!unwritten_.isEmpty()) // the CSV has them; the user learns that the database will not
        qWarning("qx-lp4r-updater: shared record: %d line(s) cannot be kept for delivery: the "
                 "outbox %s cannot be written: %s",
                 int(unwritten_.size()), qPrintable(QDir::toNativeSeparators(outbox_.path)),
                 qPrintable(outboxError_));
    else if (const int noted = missedCount(outbox_); noted && !outboxError_.isEmpty())
        qWarning("qx-lp4r-updater: shared record: %d line(s) noted in %s: a later run delivers "
                 "them from the service record once the outbox can be written",
                 noted, qPrintable(QDir::toNativeSeparators(outbox_.missed)));
    if (deliverer_.state() == QProcess::NotRunning)
        return;
    // Idle, it ends with its input. Busy, or slow to end (a driver unloading), it is ended: what
    // it was sending goes again next time, and the server ignores what it has.
    if (!asking_)
        deliverer_.closeWriteChannel();
    if (asking_ || !deliverer_.waitForFinished(kDelivererEndMs)) {
        deliverer_.kill();
        deliverer_.waitForFinished(kDelivererEndMs);
    }
}

void SharedRecord::add(const QStringList& fields, const QString& csv, qint64 from)
{
    const QString id = QUuid::createUuid().toString(QUuid::WithoutBraces);
    unwritten_.append(
        {outboxLine(id, fields),
         csv.isEmpty() ? QByteArray() : missedNote(id, csv, from, recordLine(fields))});
    tryNow();
    newestLine_ = tries_;
}

void SharedRecord::tryNow()
{
    writeOutbox();
    ++tries_;
    if (!asking_) // else asked again once the deliverer has answered
        ask();
}

void SharedRecord::ask()
{
    const quint64 asking = asking_ = tries_; // before start(), whose failure may answer at once
    answerLimit_.start();
    if (deliverer_.state() == QProcess::NotRunning)
        deliverer_.start(program_, {kDeliverOption, folder_, "--record-to", recordTo_});
    if (asking_ == asking && deliverer_.state() != QProcess::NotRunning)
        deliverer_.write("deliver\n");
}

void SharedRecord::heard()
{
    while (deliverer_.canReadLine()) {
        const QJsonObject answer = QJsonDocument::fromJson(deliverer_.readLine()).object();
        if (!asking_)
            continue;
        if (!answer.value("waiting").isDouble()) { // never taken for delivered
            answered(waitingNow(),
                     QStringLiteral("the delivering process answered what it should not"));
            continue;
        }
        if (const int refused = answer.value("refused").toInt(); refused > 0) {
            refused_ += refused;
            refusedWhy_ = answer.value("refusedWhy").toString();
        }
        answered(answer.value("waiting").toInt(), answer.value("why").toString());
    }
}

void SharedRecord::writeOutbox()
{
    // Lines the outbox could not take go first, in order, with the next one: those an earlier
    // run noted, rebuilt from the CSV, then this run's.
    const bool missed = QFileInfo(outbox_.missed).isFile();
    if (unwritten_.isEmpty() && !missed)
        return;
    QDir().mkpath(folder_);
    const Rebuilt rebuilt = missed ? rebuildMissed(outbox_) : Rebuilt{};
    QByteArray lines = rebuilt.lines;
    QByteArray notes;
    for (const Unwritten& u : unwritten_) {
        lines += u.line;
        notes += u.note;
    }
    outboxError_ = appendLines(outbox_.path, lines);
    if (outboxError_.isEmpty()) {
        for (const QByteArray& note : rebuilt.lost)
            setAside(outbox_, note, QStringLiteral("the service record no longer holds it"));
        if (missed) // a run that ends here again leaves the same ids: delivered once all the same
            QFile::remove(outbox_.missed);
        unwritten_.clear();
        return;
    }
    // Noted where a later run finds them, unless a line is not in the CSV yet: none is noted
    // out of its order.
    const bool all = std::none_of(unwritten_.begin(), unwritten_.end(),
                                  [](const Unwritten& u) { return u.note.isEmpty(); });
    if (all && appendLines(outbox_.missed, notes).isEmpty())
        unwritten_.clear();
}

void SharedRecord::finish(int ms, std::function<void()> done)
{
    done_ = std::move(done);
    atEnd_.start(ms);
    writeOutbox(); // the last chance for lines it could not take
    if ((waiting_ || !unwritten_.isEmpty()) && !asking_)
        tryNow();
    else if (answered_ == tries_)
        atEnd_.start(0); // from the event loop, which the caller's exec() begins
}

void SharedRecord::answered(int waiting, const QString& why)
{
    answerLimit_.stop();
    answered_ = std::exchange(asking_, 0);
    if (waiting > 0 && why.isEmpty()) // the try gave way with more to go: on at once
        return tryNow();
    if (answered_ < tries_)
        ask(); // tries asked for meanwhile: one more sees all they would have
    if (answered_ < newestLine_)
        return; // from before the newest line: its count may not hold it
    tell(waiting, why);
    if (!waiting_)
        retry_.stop();
    else if (!retry_.isActive())
        retry_.start();
    if (done_ && atEnd_.isActive() && answered_ == tries_)
        atEnd_.start(0); // the last try has answered: what it left waits for the next run
}

void SharedRecord::tell(int waiting, const QString& why)
{
    waiting_ = waiting + int(unwritten_.size()) + missedCount(outbox_);
    QStringList parts;
    if (waiting_)
        parts << QStringLiteral("%1 line(s) wait for the shared record: %2")
                     .arg(waiting_)
                     .arg(!outboxError_.isEmpty()
                              ? QStringLiteral("the outbox %1 cannot be written: %2")
                                    .arg(QDir::toNativeSeparators(outbox_.path), outboxError_)
                              : inert(why));
    if (refused_)
        parts << QStringLiteral("%1 line(s) refused, kept in %2: %3")
                     .arg(refused_)
                     .arg(QDir::toNativeSeparators(outbox_.refused), inert(refusedWhy_));
    if (parts.isEmpty() && !told_.isEmpty())
        parts << QStringLiteral("every line is delivered");
    const QString text = parts.join(QLatin1String("; "));
    if (text == told_)
        return;
    told_ = text;
    emit said("qx-lp4r-updater: shared record: " + text);
}

} // namespace qx::service
