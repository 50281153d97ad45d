// The service record's second, shared destination: a PostgreSQL database that every station
// of a line writes into. The CSV stays the journal; each line written while a database is named
// also goes to an outbox beside it, and a process of its own delivers the outbox in order, each
// line once by its line_id, so that nothing on the ports' thread ever waits for the network.
#pragma once

#include "delivery.h"
#include "outbox.h"
#include "recordto.h"

#include <QObject>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <functional>

namespace qx::service {

// A running window, bench or station tries again this often while lines wait.
inline constexpr int kDeliveryRetryMs = 30000;
// A one-shot --update or --query tries at its end for this long at most.
inline constexpr int kDeliveryAtEndMs = 4000;
// A try that has not answered by then is ended, and its lines wait for the next.
inline constexpr int kDeliveryAnswerMs = 30000;

// The record's side of it, on the ports' thread: it writes the outbox and asks the delivering
// process, so that a driver that hangs or crashes holds neither the ports nor the program's end.
class SharedRecord : public QObject
{
    Q_OBJECT

public:
    // `program` is this program's file, which delivers when started with kDeliverOption.
    SharedRecord(const Database& database, const QString& folder, const QString& program,
                 QObject* parent = nullptr);
    ~SharedRecord() override; // the lines the outbox has not taken are tried once more, or said

    // A line the CSV has just been given, in `csv` at `from` or after it (`csv` empty: not
    // written yet): into the outbox, and on its way.
    void add(const QStringList& fields, const QString& csv = {}, qint64 from = 0);
    // Tries to deliver what waits now.
    void tryNow();
    // Tries once more, for up to `ms`, then calls `done` from the event loop.
    void finish(int ms, std::function<void()> done);

signals:
    // What to tell the user of the delivery, once per change.
    void said(const QString& text);

private:
    void ask();
    void heard();
    void answered(int waiting, const QString& why);
    void tell(int waiting, const QString& why); // once per change
    void writeOutbox();
    int waitingNow() const { return int(pendingLines(outbox_).lines.size()); }

    QString recordTo_, folder_, program_;
    Outbox outbox_;
    QProcess deliverer_;
    QTimer answerLimit_;
    QString endedFor_; // why the deliverer was ended, for the try it had
    QTimer retry_;
    QTimer atEnd_;
    std::function<void()> done_;
    struct Unwritten
    {
        QByteArray line; // as the outbox takes it
        QByteArray note; // where the CSV holds it (missedNote); empty where it does not yet
    };
    QList<Unwritten> unwritten_; // lines neither the outbox nor its note has taken, oldest first
    QString outboxError_;
    int waiting_ = 0;        // lines not delivered, as last told
    int refused_ = 0;        // lines the database refused in this run, set aside
    QString refusedWhy_;     // the last one's reason
    quint64 tries_ = 0;      // tries asked for, numbered
    quint64 asking_ = 0;     // the try the deliverer works on now, 0 if none
    quint64 answered_ = 0;   // the newest try answered
    quint64 newestLine_ = 0; // the first try that sees the newest line
    QString told_;
};

} // namespace qx::service
