// One job on a port as a face asks for it: a query, or an update with the checks around it.
// The checks are exchanges of their own on the port's one Session, one after another: the
// version command before, the transfer, a pause while the device writes its flash, the version
// command after; the job decides its one outcome from theirs.
#pragma once

#include "session.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <optional>

namespace qx::transfer {

class PortJob : public QObject
{
    Q_OBJECT

public:
    PortJob(Session& session, const package::Package& package, QObject* parent = nullptr);

    // As Session's, with the checks around an update (see Checks): begun, decided and finished
    // once for the whole job. Without checks an update is the transfer alone. `checks` are the
    // job's, fixed as it began: read where they are, they stay there until it has ended.
    void startUpdate(const Checks& checks = kNoChecks);
    void startQuery(std::optional<int> limitMs = std::nullopt) { session_.startQuery(limitMs); }
    void connected() { session_.connected(); }
    void refused(Job job, const QString& description);
    void lineLost(const QString& description);
    void interrupt();
    void stop();
    const Checks& checks() const { return *checks_; } // the last update's

signals:
    void begun(qx::transfer::Job job);
    void advanced();
    void checking();     // an update's check before its transfer asks the device
    void transferring(); // an update's transfer starts
    void versionRead(const QString& caption);
    void decided(const qx::transfer::Outcome& outcome);
    void finished(const qx::transfer::Outcome& outcome);
    // What the job did between exchanges, in a trace's words: a check's finding, the pause.
    void noted(const QString& words);

private:
    // Where an update with checks is; None: a job without them, whose exchange is the job.
    enum class Step
    {
        None,
        Before,   // the version command before the transfer
        Transfer, // the transfer
        Pause,    // it has succeeded: the device has kVerifyPauseMs before it is asked again
        After,    // the version command after it
    };
    void exchanged(const Outcome& outcome); // the current exchange's outcome
    void before(const Outcome& asked);
    void after(const Outcome& asked);
    void ask(Step step, int limitMs);
    // The update's one outcome, recorded, then reported unless the face is going away.
    void complete(Outcome outcome, bool report = true);
    void succeeded(const QString& after); // the update stands, verified by `after` or not
    QString packageFile() const;
    Outcome failedAt(const Failure& failure) const; // an update's failure, as the record says it
    void note(const QString& words); // told by noted()

    Session& session_;
    const package::Package& package_;
    Step step_ = Step::None;
    const Checks* checks_ = &kNoChecks;
    QString before_, after_; // what the checks found, as Outcome keeps them
    QDateTime started_;
    QElapsedTimer clock_;
    QTimer pause_;
};

} // namespace qx::transfer
