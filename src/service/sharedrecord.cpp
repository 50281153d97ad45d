// Delivering the outbox: parsing where the database is; the delivering process, which connects,
// makes the table and its views where they are missing and inserts each waiting line once; and
// the record's side, which writes the outbox and asks that process to deliver it.
#include "sharedrecord.h"

#include "inert.h"
#include "platform.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSaveFile>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QUrl>
#include <QUrlQuery>
#include <QUuid>

#include <algorithm>
#include <cstdio>
#include <utility>

namespace qx::service {

namespace {

// The record's columns as the table has them: the CSV's names, typed.
struct Column
{
    const char* name;
    const char* type;
};
constexpr Column kColumns[] = {
    {"time", "timestamptz"},
    {"duration_s", "numeric"},
    {"computer", "text"},
    {"user", "text"},
    {"port", "text"},
    {"device", "text"},
    {"action", "text"},
    {"firmware_file", "text"},
    {"firmware_bytes", "bigint"},
    {"firmware_sha256", "text"},
    {"test_payload", "boolean"},
    {"outcome", "text"},
    {"reason", "text"},
    {"device_version", "text"},
    {"program_version", "text"},
};
constexpr int kColumnCount = int(std::size(kColumns));

// The advisory lock that stations making the table and its views take: "QXLP".
constexpr qint64 kSchemaLock = 0x51584c50;

QString createTable()
{
    QStringList columns{QStringLiteral("line_id uuid PRIMARY KEY")};
    for (const Column& column : kColumns)
        columns << QStringLiteral("\"%1\" %2").arg(column.name, column.type);
    columns << QStringLiteral("received timestamptz NOT NULL DEFAULT now()");
    return "CREATE TABLE service_record (" + columns.join(", ") + ")";
}

// For the people who read it: yield per day and computer, and failures by reason.
constexpr const char* kViews[][2] = {
    {"service_record_yield",
     "CREATE VIEW service_record_yield AS SELECT (time AT TIME ZONE 'UTC')::date AS day, "
     "computer, count(*) FILTER (WHERE outcome = 'success') AS updated, "
     "count(*) FILTER (WHERE outcome <> 'success') AS failed, "
     "round(100.0 * count(*) FILTER (WHERE outcome = 'success') / count(*), 1) "
     "AS succeeded_percent FROM service_record WHERE action = 'update' GROUP BY 1, 2"},
    {"service_record_failures",
     "CREATE VIEW service_record_failures AS SELECT action, reason, count(*) AS failures, "
     "max(time) AS last_seen FROM service_record WHERE outcome <> 'success' GROUP BY 1, 2"},
};

QString insertStatement()
{
    QStringList names{QStringLiteral("line_id")}, values{QStringLiteral("?::uuid")};
    for (const Column& column : kColumns) {
        names << QStringLiteral("\"%1\"").arg(column.name);
        values << QStringLiteral("?::%1").arg(column.type);
    }
    return QStringLiteral("INSERT INTO service_record (%1) VALUES (%2) "
                          "ON CONFLICT (line_id) DO NOTHING")
        .arg(names.join(", "), values.join(", "));
}

} // namespace

std::variant<Database, QString> parseRecordTo(const QString& url)
{
    Database d;
    const auto take = [&d](const QString& key, const QString& value) -> QString {
        if (key == QLatin1String("password"))
            return QStringLiteral("--record-to: a password does not go in the URL; put it in "
                                  "libpq's password file (~/.pgpass, %APPDATA%\\postgresql\\"
                                  "pgpass.conf or PGPASSFILE)");
        if (key == QLatin1String("host"))
            d.host = value;
        else if (key == QLatin1String("port"))
            d.port = value.toInt();
        else if (key == QLatin1String("dbname"))
            d.name = value;
        else if (key == QLatin1String("user"))
            d.user = value;
        else if (key == QLatin1String("odbc_driver"))
            d.odbcDriver = value;
        else if (value.contains(QRegularExpression("[\\s;'\\\\]")))
            return QStringLiteral("--record-to: %1's value cannot hold spaces, quotes or ';'")
                .arg(key);
        else
            d.options << key + '=' + value;
        return {};
    };
    if (url.startsWith(QLatin1String("postgresql://")) ||
        url.startsWith(QLatin1String("postgres://"))) {
        const QUrl parsed(url, QUrl::StrictMode);
        if (!parsed.isValid())
            return QStringLiteral("--record-to: not a URL: %1").arg(parsed.errorString());
        if (!parsed.password().isEmpty())
            return take(QStringLiteral("password"), {});
        d.host = parsed.host();
        d.port = parsed.port();
        d.user = parsed.userName();
        d.name = parsed.path().mid(1);
        for (const auto& [key, value] : QUrlQuery(parsed).queryItems(QUrl::FullyDecoded))
            if (QString problem = take(key, value); !problem.isEmpty())
                return problem;
    } else {
        for (const QString& pair : url.split(QRegularExpression("\\s+"), Qt::SkipEmptyParts)) {
            const qsizetype at = pair.indexOf('=');
            if (at <= 0)
                return QStringLiteral("--record-to: '%1' is neither a postgresql:// URL nor "
                                      "key=value")
                    .arg(pair);
            if (QString problem = take(pair.left(at), pair.mid(at + 1)); !problem.isEmpty())
                return problem;
        }
    }
    if (d.host.isEmpty() && d.name.isEmpty() && d.options.isEmpty())
        return QStringLiteral("--record-to: name a database");
    if (std::none_of(d.options.begin(), d.options.end(),
                     [](const QString& o) { return o.startsWith("connect_timeout="); }))
        d.options << QStringLiteral("connect_timeout=%1").arg(kConnectTimeoutS);
    return d;
}

QByteArray outboxLine(const QString& lineId, const QStringList& fields)
{
    return QJsonDocument(
               QJsonObject{{"line_id", lineId}, {"fields", QJsonArray::fromStringList(fields)}})
               .toJson(QJsonDocument::Compact) +
           '\n';
}

namespace {

// What waits in `folder`'s outbox: its whole lines from the offset its note holds.
struct Pending
{
    qint64 from = 0;
    QList<QByteArray> lines;
};

Pending pendingLines(const QString& folder)
{
    Pending pending;
    if (QFile sent(folder + '/' + kOutboxSentFileName); sent.open(QIODevice::ReadOnly))
        pending.from = sent.readAll().trimmed().toLongLong();
    QFile file(folder + '/' + kOutboxFileName);
    if (!file.open(QIODevice::ReadOnly))
        return pending;
    if (pending.from < 0 || pending.from > file.size()) // another outbox than the one noted
        pending.from = 0;
    file.seek(pending.from);
    QByteArray rest = file.readAll();
    rest.truncate(rest.lastIndexOf('\n') + 1); // whole lines only
    pending.lines = rest.split('\n');
    pending.lines.removeLast();
    return pending;
}

// ---- The delivering process -----------------------------------------------------------------

class Delivery
{
public:
    Delivery(Database database, QString folder)
        : database_(std::move(database)), folder_(std::move(folder))
    {
    }
    ~Delivery()
    {
        if (QSqlDatabase::contains(kConnection)) {
            QSqlDatabase::database(kConnection, false).close();
            QSqlDatabase::removeDatabase(kConnection);
        }
    }

    // What waits, in batches, each noted after the server took it: killed in between, a batch
    // goes again and the server ignores the lines it has.
    std::pair<int, QString> deliver()
    {
        Pending pending = pendingLines(folder_);
        qint64 noted = pending.from;
        for (qsizetype at = 0; at < pending.lines.size(); at += kDeliveryBatchLines) {
            const QList<QByteArray> batch = pending.lines.mid(at, kDeliveryBatchLines);
            if (const QString why = send(batch); !why.isEmpty())
                return {int(pending.lines.size() - at), why};
            for (const QByteArray& line : batch)
                noted += line.size() + 1;
            QSaveFile note(folder_ + '/' + kOutboxSentFileName);
            if (note.open(QIODevice::WriteOnly)) {
                note.write(QByteArray::number(noted) + '\n');
                note.commit();
            }
        }
        return {0, {}};
    }

private:
    static constexpr char kConnection[] = "qx-shared-record";

    QString send(const QList<QByteArray>& lines)
    {
        QSqlDatabase db = connection();
        if (!db.isOpen() && !db.open())
            return failed(db, db.lastError().text());
        if (!db.transaction())
            return failed(db, db.lastError().text());
        QSqlQuery query(db);
        if (!schemaReady_) {
            // Made only where missing, so that a role that may only insert and select works;
            // under a lock held to the commit, so that two stations' first lines cannot both
            // find the table missing and one of them fail to make it.
            if (!query.exec(QStringLiteral("SELECT pg_advisory_xact_lock(%1)").arg(kSchemaLock)))
                return failed(db, query.lastError().text());
            const auto missing = [&query](const char* name) {
                query.prepare(QStringLiteral("SELECT to_regclass(?) IS NULL"));
                query.addBindValue(QString::fromLatin1(name));
                return query.exec() && query.next() && query.value(0).toBool();
            };
            if (missing("service_record") && !query.exec(createTable()))
                return failed(db, query.lastError().text());
            for (const auto& [name, create] : kViews)
                if (missing(name) && !query.exec(QString::fromLatin1(create)))
                    return failed(db, query.lastError().text());
            schemaReady_ = true;
        }
        query.prepare(insertStatement());
        for (const QByteArray& line : lines) {
            const QJsonObject object = QJsonDocument::fromJson(line).object();
            const QJsonArray fields = object.value("fields").toArray();
            if (fields.size() != kColumnCount) // not ours: nothing to deliver
                continue;
            query.addBindValue(object.value("line_id").toString());
            for (const QJsonValue& field : fields) {
                const QString value = field.toString();
                query.addBindValue(value.isEmpty() ? QVariant(QMetaType(QMetaType::QString))
                                                   : QVariant(value));
            }
            if (!query.exec())
                return failed(db, query.lastError().text());
        }
        if (!db.commit())
            return failed(db, db.lastError().text());
        return {};
    }

    QSqlDatabase connection()
    {
        if (QSqlDatabase::contains(kConnection))
            return QSqlDatabase::database(kConnection, false);
        const bool odbc = !database_.odbcDriver.isEmpty() ||
                          !QSqlDatabase::isDriverAvailable(QStringLiteral("QPSQL"));
        QSqlDatabase db = QSqlDatabase::addDatabase(odbc ? "QODBC" : "QPSQL", kConnection);
        if (odbc) {
            // psqlODBC's keywords, libpq's parameters through its pqopt; libpq underneath reads
            // the password file. The driver's name differs between installations.
            const QString driver = !database_.odbcDriver.isEmpty() ? database_.odbcDriver
                                   : qEnvironmentVariableIsSet("QX_ODBC_DRIVER")
                                       ? qEnvironmentVariable("QX_ODBC_DRIVER")
                                       : QStringLiteral("PostgreSQL Unicode(x64)");
            QStringList parts{"Driver={" + driver + "}"};
            if (!database_.host.isEmpty())
                parts << "Server=" + database_.host;
            if (database_.port > 0)
                parts << QStringLiteral("Port=%1").arg(database_.port);
            if (!database_.name.isEmpty())
                parts << "Database=" + database_.name;
            if (!database_.user.isEmpty())
                parts << "Uid=" + database_.user;
            parts << "pqopt={" + database_.options.join(' ') + "}";
            db.setDatabaseName(parts.join(';'));
        } else {
            db.setHostName(database_.host);
            if (database_.port > 0)
                db.setPort(database_.port);
            db.setDatabaseName(database_.name);
            db.setUserName(database_.user);
            db.setConnectOptions(database_.options.join(';'));
        }
        return db;
    }

    QString failed(QSqlDatabase& db, const QString& why)
    {
        db.close(); // what the transaction did is undone; connected afresh next time
        schemaReady_ = false;
        return why.simplified().isEmpty() ? QStringLiteral("the server refused") : why.simplified();
    }

    Database database_;
    QString folder_;
    bool schemaReady_ = false;
};

} // namespace

int serveDeliveries(const QString& folder, const QString& recordTo)
{
    const auto database = parseRecordTo(recordTo);
    if (const auto* problem = std::get_if<QString>(&database)) {
        std::fprintf(stderr, "qx-lp4r-updater: %s\n", qPrintable(*problem));
        return 1;
    }
    Delivery delivery(std::get<Database>(database), folder);
    char asked[64];
    while (std::fgets(asked, sizeof asked, stdin)) { // a try; the end of input ends the process
        const auto [waiting, why] = delivery.deliver();
        const QByteArray answer = QJsonDocument(QJsonObject{{"waiting", waiting}, {"why", why}})
                                      .toJson(QJsonDocument::Compact) +
                                  '\n';
        std::fwrite(answer.constData(), 1, std::size_t(answer.size()), stdout);
        std::fflush(stdout);
    }
    return 0;
}

// ---- The record's side, on the ports' thread ------------------------------------------------

namespace {
// How long the delivering process may take to end at the program's end.
constexpr int kDelivererEndMs = 1000;
} // namespace

SharedRecord::SharedRecord(const QString& recordTo, const QString& folder, const QString& program,
                           QObject* parent)
    : QObject(parent), recordTo_(recordTo), folder_(folder),
      outbox_(folder + '/' + kOutboxFileName), program_(program)
{
    deliverer_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    connect(&deliverer_, &QProcess::readyReadStandardOutput, this, &SharedRecord::heard);
    // Ended or never started: the try it had is answered here, the next starts it again.
    connect(&deliverer_, &QProcess::finished, this, [this] {
        const QString why = std::exchange(endedFor_, {});
        if (asking_)
            answered(int(pendingLines(folder_).lines.size()),
                     why.isEmpty() ? QStringLiteral("the delivering process ended") : why);
    });
    connect(&deliverer_, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart && asking_)
            answered(int(pendingLines(folder_).lines.size()),
                     QStringLiteral("the delivering process did not start: %1")
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
            return answered(int(pendingLines(folder_).lines.size()), why);
        endedFor_ = why;
        deliverer_.kill();
    });
    retry_.setInterval(kDeliveryRetryMs);
    connect(&retry_, &QTimer::timeout, this, &SharedRecord::tryNow);
    atEnd_.setSingleShot(true);
    connect(&atEnd_, &QTimer::timeout, this, [this] {
        if (asking_) // what it was sending waits for the next run
            tell(int(pendingLines(folder_).lines.size()),
                 QStringLiteral("no answer from the database in %1 s")
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

void SharedRecord::add(const QStringList& fields)
{
    unwritten_ += outboxLine(QUuid::createUuid().toString(QUuid::WithoutBraces), fields);
    ++unwrittenLines_;
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
        if (answer.value("waiting").isDouble())
            answered(answer.value("waiting").toInt(), answer.value("why").toString());
        else // never taken for delivered
            answered(int(pendingLines(folder_).lines.size()),
                     QStringLiteral("the delivering process answered what it should not"));
    }
}

void SharedRecord::writeOutbox()
{
    // Lines the outbox could not take yet go first, in order, with the next one.
    if (unwritten_.isEmpty())
        return;
    QDir().mkpath(folder_);
    if (!QFile::exists(outbox_))
        platform::createWith(outbox_, {});
    outboxError_ = platform::appendWhole(outbox_, unwritten_);
    if (outboxError_.isEmpty()) {
        unwritten_.clear();
        unwrittenLines_ = 0;
    }
}

void SharedRecord::finish(int ms, std::function<void()> done)
{
    done_ = std::move(done);
    atEnd_.start(ms);
    // From the event loop: the outcome that ends a run is recorded after it has been reported.
    QMetaObject::invokeMethod(
        this,
        [this] {
            if (waiting_ && !asking_)
                tryNow();
            else if (answered_ == tries_)
                atEnd_.start(0);
        },
        Qt::QueuedConnection);
}

void SharedRecord::answered(int waiting, const QString& why)
{
    answerLimit_.stop();
    answered_ = std::exchange(asking_, 0);
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
    waiting_ = waiting + unwrittenLines_;
    const QString text =
        waiting_ == 0
            ? (told_.isEmpty() ? QString() : QStringLiteral("every line is delivered"))
            : QStringLiteral("%1 line(s) wait for the shared record: %2")
                  .arg(waiting_)
                  .arg(unwrittenLines_ ? QStringLiteral("the outbox %1 cannot be "
                                                        "written: %2")
                                             .arg(QDir::toNativeSeparators(outbox_), outboxError_)
                                       : inert(why));
    if (text == told_)
        return;
    told_ = text;
    emit said("qx-lp4r-updater: shared record: " + text);
}

} // namespace qx::service
