// The service record's second, shared destination: a PostgreSQL database that every station
// of a line writes into. The CSV stays the journal; each line written while a database is named
// also goes to an outbox beside it, and a thread of its own delivers the outbox in order, each
// line once by its line_id, so that nothing on the ports' thread ever waits for the network.
#pragma once

#include <QObject>
#include <QString>
#include <QStringList>
#include <QThread>
#include <QTimer>

#include <functional>
#include <variant>

namespace qx::service {

inline constexpr char kOutboxFileName[] = "service-record.outbox";
inline constexpr char kOutboxSentFileName[] = "service-record.outbox.sent";
// A running window, bench or station tries again this often while lines wait.
inline constexpr int kDeliveryRetryMs = 30000;
// A one-shot --update or --query tries at its end for this long at most.
inline constexpr int kDeliveryAtEndMs = 4000;
// How long connecting may take before the server counts as unreachable.
inline constexpr int kConnectTimeoutS = 3;

// Where the database is, as --record-to or QX_RECORD_TO name it: libpq's URI
// (postgresql://[user@]host[:port]/dbname[?param=value...]) or its key=value form
// (service=line3). The password never appears here: libpq's password or service file has it.
struct Database
{
    QString host, name, user;
    int port = -1;
    QStringList options; // key=value, passed through (sslmode, service, ...)
    QString odbcDriver;  // ODBC's driver name (Windows): the odbc_driver parameter
};
std::variant<Database, QString> parseRecordTo(const QString& url);

// One outbox line: the record line's fields and its identity, as one line of JSON.
QByteArray outboxLine(const QString& lineId, const QStringList& fields);

class DeliveryWorker;

class SharedRecord : public QObject
{
    Q_OBJECT

public:
    SharedRecord(const Database& database, const QString& folder, QObject* parent = nullptr);
    ~SharedRecord() override; // a thread still waiting on the network is left to the exit

    // A line the CSV has just been given: into the outbox, and on its way.
    void add(const QStringList& fields);
    // Tries to deliver what waits now.
    void tryNow();
    // Tries once more for up to `ms`, then calls `done` from the event loop.
    void finish(int ms, std::function<void()> done);

signals:
    // What to tell the user of the delivery, once per change.
    void said(const QString& text);
    void deliver(); // to the worker

private:
    void reported(int waiting, const QString& why);
    void writeOutbox();

    QString outbox_;
    QThread* thread_ = new QThread; // not a child: one stuck on the network outlives us
    DeliveryWorker* worker_ = nullptr;
    QTimer retry_;
    QTimer atEnd_;
    std::function<void()> done_;
    QByteArray unwritten_; // lines the outbox has not taken yet, oldest first
    int unwrittenLines_ = 0;
    QString outboxError_;
    int waiting_ = 0;                  // lines not delivered, as last told
    quint64 asked_ = 0, answered_ = 0; // deliveries asked of the worker, and answered
    quint64 newestLine_ = 0;           // the one asked after the newest line
    QString told_;
};

} // namespace qx::service
