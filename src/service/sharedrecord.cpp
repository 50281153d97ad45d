// Delivering the outbox: parsing where the database is, the worker thread that connects, makes
// the table and its views where they are missing and inserts each waiting line once, and the
// facade that the record and the faces talk to.
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

// ---- The worker, on a thread of its own --------------------------------------------------

class DeliveryWorker : public QObject
{
    Q_OBJECT

public:
    DeliveryWorker(Database database, QString outbox, QString sent)
        : database_(std::move(database)), outbox_(std::move(outbox)), sent_(std::move(sent))
    {
    }
    ~DeliveryWorker() override
    {
        if (QSqlDatabase::contains(name_)) {
            QSqlDatabase::database(name_, false).close();
            QSqlDatabase::removeDatabase(name_);
        }
    }

    void deliver()
    {
        qint64 from = 0;
        if (QFile sent(sent_); sent.open(QIODevice::ReadOnly))
            from = sent.readAll().trimmed().toLongLong();
        QFile file(outbox_);
        if (!file.open(QIODevice::ReadOnly))
            return emit reported(0, {});
        if (from < 0 || from > file.size()) // another outbox than the one noted
            from = 0;
        file.seek(from);
        QByteArray rest = file.readAll();
        rest.truncate(rest.lastIndexOf('\n') + 1); // whole lines only
        QList<QByteArray> lines = rest.split('\n');
        lines.removeLast();
        if (lines.isEmpty())
            return emit reported(0, {});
        if (const QString why = send(lines); !why.isEmpty())
            return emit reported(int(lines.size()), why);
        // Noted after the server took them: killed in between, they go again and are ignored.
        QSaveFile note(sent_);
        if (note.open(QIODevice::WriteOnly)) {
            note.write(QByteArray::number(from + rest.size()) + '\n');
            note.commit();
        }
        emit reported(0, {});
    }

signals:
    void reported(int waiting, const QString& why);

private:
    QString send(const QList<QByteArray>& lines)
    {
        QSqlDatabase db = connection();
        if (!db.isOpen() && !db.open())
            return failed(db, db.lastError().text());
        QSqlQuery query(db);
        if (!schemaReady_) {
            // Made only where missing, so that a role that may only insert and select works.
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
        if (!db.transaction())
            return failed(db, db.lastError().text());
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
            if (!query.exec()) {
                const QString why = query.lastError().text();
                db.rollback();
                return failed(db, why);
            }
        }
        if (!db.commit())
            return failed(db, db.lastError().text());
        return {};
    }

    QSqlDatabase connection()
    {
        if (QSqlDatabase::contains(name_))
            return QSqlDatabase::database(name_, false);
        const bool odbc = !database_.odbcDriver.isEmpty() ||
                          !QSqlDatabase::isDriverAvailable(QStringLiteral("QPSQL"));
        QSqlDatabase db = QSqlDatabase::addDatabase(odbc ? "QODBC" : "QPSQL", name_);
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
        db.close(); // connected afresh next time
        schemaReady_ = false;
        return why.simplified().isEmpty() ? QStringLiteral("the server refused") : why.simplified();
    }

    Database database_;
    QString outbox_, sent_;
    QString name_ = QStringLiteral("qx-shared-record-%1").arg(quintptr(this));
    bool schemaReady_ = false;
};

// ---- The facade, on the ports' thread -------------------------------------------------------

SharedRecord::SharedRecord(const Database& database, const QString& folder, QObject* parent)
    : QObject(parent), outbox_(folder + '/' + kOutboxFileName),
      worker_(new DeliveryWorker(database, outbox_, folder + '/' + kOutboxSentFileName))
{
    worker_->moveToThread(thread_);
    connect(thread_, &QThread::finished, worker_, &QObject::deleteLater);
    connect(this, &SharedRecord::deliver, worker_, &DeliveryWorker::deliver);
    connect(worker_, &DeliveryWorker::reported, this, &SharedRecord::reported);
    retry_.setInterval(kDeliveryRetryMs);
    connect(&retry_, &QTimer::timeout, this, &SharedRecord::tryNow);
    atEnd_.setSingleShot(true);
    connect(&atEnd_, &QTimer::timeout, this, [this] {
        if (auto done = std::exchange(done_, {}))
            done();
    });
    thread_->start();
    tryNow(); // what an earlier run left waiting
}

SharedRecord::~SharedRecord()
{
    thread_->quit();
    // Stuck on the network, it is left to the end of the process; its lines wait in the outbox.
    if (thread_->wait(1000))
        delete thread_;
}

void SharedRecord::add(const QStringList& fields)
{
    unwritten_ += outboxLine(QUuid::createUuid().toString(QUuid::WithoutBraces), fields);
    ++unwrittenLines_;
    tryNow();
    newestLine_ = asked_;
}

void SharedRecord::tryNow()
{
    writeOutbox();
    ++asked_;
    emit deliver();
}

void SharedRecord::writeOutbox()
{
    // Lines the outbox could not take yet go first, in order, with the next one.
    if (unwritten_.isEmpty())
        return;
    QDir().mkpath(QFileInfo(outbox_).path());
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
            if (waiting_ || answered_ < asked_)
                tryNow();
            else
                atEnd_.start(0);
        },
        Qt::QueuedConnection);
}

void SharedRecord::reported(int waiting, const QString& why)
{
    // Answers come in the order asked; one asked before the newest line may not count it.
    if (++answered_ < newestLine_)
        return;
    waiting_ = waiting + unwrittenLines_;
    if (waiting_) {
        if (!retry_.isActive())
            retry_.start();
    } else {
        retry_.stop();
        if (done_ && atEnd_.isActive() && answered_ == asked_)
            atEnd_.start(0);
    }
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

#include "sharedrecord.moc"
