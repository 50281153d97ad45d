// The delivering process, the only place any SQL runs: it connects, makes the table and its
// views where they are missing, and inserts what waits in the outbox, a batch in one statement,
// each line once by its line_id. A row the server refuses for what it holds is set aside, so
// that the lines behind it still go.
#include "delivery.h"
#include "outbox.h"
#include "recordto.h"
#include "servicerecord.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QUuid>

#include <cstdio>
#include <optional>
#include <utility>

namespace qx::service {

namespace {

// The advisory lock that stations making the table and its views take: "QXLP".
constexpr qint64 kSchemaLock = 0x51584c50;
// A batch: at most this many lines and bytes, in one statement and one transaction.
constexpr int kBatchLines = 500;
constexpr qsizetype kBatchBytes = 1 << 20;
// A try gives way after this long, its answer saying there is more, so that each try answers
// well within the record's limit however long the backlog.
constexpr int kTryMs = 10000;

// A connection kept between tries notices a peer gone without a word within two minutes,
// where the URL does not say otherwise.
constexpr const char* kKeepalives[] = {"keepalives_idle=60", "keepalives_interval=10",
                                       "keepalives_count=6"};

QString createTable()
{
    QStringList columns{QStringLiteral("line_id uuid PRIMARY KEY")};
    for (const RecordColumn& column : kRecordColumns)
        columns << QStringLiteral("\"%1\" %2").arg(column.name, column.sqlType);
    columns << QStringLiteral("received timestamptz NOT NULL DEFAULT now()");
    return "CREATE TABLE service_record (" + columns.join(", ") + ")";
}

// A part of the schema: made, or brought up to date, where `relation` lacks `column`.
struct SchemaPart
{
    QString relation, column, statement;
};

// The table, then each column that a table of fewer columns lacks.
QList<SchemaPart> tableParts()
{
    QList<SchemaPart> parts{{"service_record", "line_id", createTable()}};
    for (int i = kFirstRecordColumnCount; i < kRecordColumnCount; ++i)
        parts.append({"service_record", kRecordColumns[i].name,
                      QStringLiteral("ALTER TABLE service_record ADD COLUMN IF NOT EXISTS "
                                     "\"%1\" %2")
                          .arg(kRecordColumns[i].name, kRecordColumns[i].sqlType)});
    return parts;
}

// For the people who read it: yield per day and computer (devices found current apart from
// those updated), failures by reason, and each unit's latest update. A view that lacks its
// last column is replaced.
const QList<SchemaPart> kViews = {
    {"service_record_yield", "current",
     "CREATE OR REPLACE VIEW service_record_yield AS SELECT (time AT TIME ZONE 'UTC')::date AS "
     "day, computer, count(*) FILTER (WHERE outcome = 'success') AS updated, "
     "count(*) FILTER (WHERE outcome NOT IN ('success', 'current')) AS failed, "
     "round(100.0 * count(*) FILTER (WHERE outcome IN ('success', 'current')) / count(*), 1) "
     "AS succeeded_percent, count(*) FILTER (WHERE outcome = 'current') AS current "
     "FROM service_record WHERE action = 'update' GROUP BY 1, 2"},
    {"service_record_failures", "computers",
     "CREATE OR REPLACE VIEW service_record_failures AS SELECT action, reason, count(*) AS "
     "failures, max(time) AS last_seen, count(DISTINCT computer) AS computers FROM "
     "service_record WHERE outcome NOT IN ('success', 'current') GROUP BY 1, 2"},
    {"service_record_slot_yield", "slot",
     "CREATE OR REPLACE VIEW service_record_slot_yield AS SELECT (time AT TIME ZONE 'UTC')::date "
     "AS day, computer, slot, profile, count(*) FILTER (WHERE outcome = 'success') AS updated, "
     "count(*) FILTER (WHERE outcome = 'current') AS current, "
     "count(*) FILTER (WHERE outcome NOT IN ('success', 'current')) AS failed, "
     "round(100.0 * count(*) FILTER (WHERE outcome IN ('success', 'current')) / count(*), 1) "
     "AS succeeded_percent FROM service_record WHERE action = 'update' GROUP BY 1, 2, 3, 4"},
    // Two updates of one unit in one second (a quick failure, then the next try) are told
    // apart by when they arrived; a view without `received` is replaced.
    {"service_record_units", "received",
     "CREATE OR REPLACE VIEW service_record_units AS SELECT DISTINCT ON (unit_serial) "
     "unit_serial, time, outcome, firmware_file, version_before, version_after, computer, port, "
     "received FROM service_record WHERE unit_serial IS NOT NULL AND action = 'update' "
     "ORDER BY unit_serial, time DESC, received DESC"},
};

// One statement for a whole batch: its rows arrive as one JSON array, one round trip.
QString insertStatement()
{
    QStringList names{QStringLiteral("line_id")}, typed{QStringLiteral("line_id uuid")};
    for (const RecordColumn& column : kRecordColumns) {
        names << QStringLiteral("\"%1\"").arg(column.name);
        typed << QStringLiteral("\"%1\" %2").arg(column.name, column.sqlType);
    }
    return QStringLiteral(
               "INSERT INTO service_record (%1) SELECT %1 FROM json_to_recordset(?::json) "
               "AS r(%2) ON CONFLICT (line_id) DO NOTHING")
        .arg(names.join(", "), typed.join(", "));
}

// An outbox line as the statement's row, or nothing when it is not a whole line of ours.
std::optional<QJsonObject> rowOf(const QByteArray& line)
{
    QJsonParseError error;
    const QJsonObject object = QJsonDocument::fromJson(line, &error).object();
    const QJsonArray fields = object.value("fields").toArray();
    const QString id = object.value("line_id").toString();
    // A line of fewer columns leaves the rest empty.
    if (error.error != QJsonParseError::NoError || fields.size() < kFirstRecordColumnCount ||
        fields.size() > kRecordColumnCount || QUuid::fromString(id).isNull())
        return std::nullopt;
    QJsonObject row{{"line_id", id}};
    for (int i = 0; i < fields.size(); ++i) {
        const QString value = fields[i].toString();
        row.insert(kRecordColumns[i].name, value.isEmpty() ? QJsonValue() : QJsonValue(value));
    }
    return row;
}

struct Answer
{
    int waiting = 0;
    QString why;        // why they wait; empty with lines waiting: there is more for the next try
    int refused = 0;    // lines set aside in this try
    QString refusedWhy; // the last one's reason

    QByteArray json() const
    {
        return QJsonDocument(QJsonObject{{"waiting", waiting},
                                         {"why", why},
                                         {"refused", refused},
                                         {"refusedWhy", refusedWhy}})
                   .toJson(QJsonDocument::Compact) +
               '\n';
    }
};

class Delivery
{
public:
    Delivery(Database database, Outbox outbox)
        : database_(std::move(database)), outbox_(std::move(outbox))
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
    Answer deliver()
    {
        const Pending pending = pendingLines(outbox_);
        const auto& lines = pending.lines;
        Answer answer;
        if (lines.isEmpty())
            return answer;
        if (const QString why = ready(); !why.isEmpty())
            return {int(lines.size()), why, 0, {}};
        QElapsedTimer took;
        took.start();
        qint64 noted = pending.from;
        for (qsizetype at = 0; at < lines.size();) {
            if (took.hasExpired(kTryMs))
                return {int(lines.size() - at), {}, answer.refused, answer.refusedWhy};
            QJsonArray rows;
            qsizetype end = at;
            for (qint64 bytes = 0;
                 end < lines.size() && end - at < kBatchLines && bytes < kBatchBytes; ++end) {
                const auto row = rowOf(lines[end]);
                if (!row)
                    break; // set aside on its own below
                rows.append(*row);
                bytes += lines[end].size();
            }
            if (rows.isEmpty()) { // a fragment, or a line that is not ours
                if (!refuse(lines[at], QStringLiteral("not a whole record line"), answer))
                    return {int(lines.size() - at), answer.refusedWhy, answer.refused,
                            answer.refusedWhy};
                ++end;
            } else if (const QString why = insert(rows); !why.isEmpty()) {
                // Again a line at a time, each noted once it is settled, so that none is set
                // aside twice.
                for (; at < end; ++at) {
                    if (const QString still = settle(lines[at], answer); !still.isEmpty())
                        return {int(lines.size() - at), still, answer.refused, answer.refusedWhy};
                    noted += lines[at].size() + 1;
                    noteSent(outbox_, noted);
                }
                continue;
            }
            for (; at < end; ++at)
                noted += lines[at].size() + 1;
            noteSent(outbox_, noted);
        }
        return answer;
    }

private:
    static constexpr char kConnection[] = "qx-shared-record";

    // Connected, the connection checked, the table there.
    QString ready()
    {
        QSqlDatabase db = connection();
        if (db.isOpen() && !QSqlQuery(db).exec(QStringLiteral("SELECT 1")))
            closed(db); // gone while idle: connected afresh
        if (!db.isOpen() && !db.open())
            return closed(db, db.lastError().text());
        return schemaReady_ ? QString() : makeSchema(db);
    }

    // The table, its columns and the views, each where it is missing or out of date and each
    // in its own transaction, under a lock held to its commit, so that two stations' first
    // lines cannot both find the table missing and one of them fail to make it. A view that
    // cannot be made (a role that may only insert and select) holds up no line.
    QString makeSchema(QSqlDatabase& db)
    {
        const auto made = [&db](const SchemaPart& part) {
            QSqlQuery query(db);
            // Read from the catalogs at the statement's snapshot: a name looked up in the
            // catalog cache before the lock would still seem missing after another station
            // made it, and the lock does not refresh that cache.
            const auto missing = [&query, &part] {
                query.prepare(QStringLiteral(
                    "SELECT NOT EXISTS (SELECT 1 FROM pg_catalog.pg_attribute a JOIN "
                    "pg_catalog.pg_class c ON c.oid = a.attrelid JOIN pg_catalog.pg_namespace n "
                    "ON n.oid = c.relnamespace WHERE c.relname = ? AND a.attname = ? AND NOT "
                    "a.attisdropped AND n.nspname = ANY (current_schemas(false)))"));
                query.addBindValue(part.relation);
                query.addBindValue(part.column);
                return query.exec() && query.next() && query.value(0).toBool();
            };
            if (!missing())
                return QString();
            const bool ok =
                db.transaction() &&
                query.exec(QStringLiteral("SELECT pg_advisory_xact_lock(%1)").arg(kSchemaLock)) &&
                (!missing() || query.exec(part.statement)) && db.commit();
            const QString why = query.lastError().text();
            if (!ok)
                db.rollback();
            return ok ? QString() : why.isEmpty() ? QStringLiteral("the server refused") : why;
        };
        for (const SchemaPart& part : tableParts())
            if (const QString why = made(part); !why.isEmpty())
                return closed(db, why);
        for (const SchemaPart& part : kViews)
            made(part);
        schemaReady_ = true;
        return {};
    }

    // The rows in one statement and one transaction; why not, with the transaction undone.
    QString insert(const QJsonArray& rows)
    {
        QSqlDatabase db = connection();
        QSqlQuery query(db);
        const bool ok = db.transaction() && query.prepare(insertStatement()) &&
                        (query.addBindValue(
                             QString::fromUtf8(QJsonDocument(rows).toJson(QJsonDocument::Compact))),
                         query.exec()) &&
                        db.commit();
        if (ok)
            return {};
        const QString why =
            (query.lastError().isValid() ? query.lastError() : db.lastError()).text().simplified();
        db.rollback();
        return why.isEmpty() ? QStringLiteral("the server refused") : why;
    }

    // A line of a batch the server refused, on its own: refused while the server takes an
    // empty batch, it is refused for what it holds, and set aside; any other failure (the link,
    // the table, a right) keeps it and every line after it waiting, in order. Why they wait,
    // or nothing.
    QString settle(const QByteArray& line, Answer& answer)
    {
        const QString why = insert(QJsonArray{*rowOf(line)});
        if (why.isEmpty())
            return {};
        if (const QString general = insert(QJsonArray{}); !general.isEmpty()) {
            QSqlDatabase db = connection();
            return closed(db, general);
        }
        return refuse(line, why, answer) ? QString() : answer.refusedWhy;
    }

    bool refuse(const QByteArray& line, const QString& why, Answer& answer)
    {
        if (const QString error = setAside(outbox_, line, why); !error.isEmpty()) {
            answer.refusedWhy = QStringLiteral("a refused line cannot be set aside in %1: %2")
                                    .arg(outbox_.refused, error);
            return false;
        }
        ++answer.refused;
        answer.refusedWhy = why;
        return true;
    }

    QSqlDatabase connection()
    {
        if (QSqlDatabase::contains(kConnection))
            return QSqlDatabase::database(kConnection, false);
        const bool odbc = !database_.odbcDriver.isEmpty() ||
                          !QSqlDatabase::isDriverAvailable(QStringLiteral("QPSQL"));
        QSqlDatabase db = QSqlDatabase::addDatabase(odbc ? "QODBC" : "QPSQL", kConnection);
        QStringList options = database_.options;
        for (const char* keepalive : kKeepalives)
            if (!options.contains(QRegularExpression(
                    "^" + QString::fromLatin1(keepalive).section('=', 0, 0) + "=")))
                options << QString::fromLatin1(keepalive);
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
            parts << "pqopt={" + options.join(' ') + "}";
            db.setDatabaseName(parts.join(';'));
        } else {
            db.setHostName(database_.host);
            if (database_.port > 0)
                db.setPort(database_.port);
            db.setDatabaseName(database_.name);
            db.setUserName(database_.user);
            db.setConnectOptions(options.join(';'));
        }
        return db;
    }

    // Closes the connection after a failure: connected afresh, and the schema checked, next
    // time. Returns why, in one line.
    QString closed(QSqlDatabase& db, const QString& why = {})
    {
        db.close();
        schemaReady_ = false;
        return why.simplified().isEmpty() ? QStringLiteral("the server refused") : why.simplified();
    }

    Database database_;
    Outbox outbox_;
    bool schemaReady_ = false;
};

} // namespace

int serveDeliveries(const QString& folder, const Database& database)
{
    Delivery delivery(database, Outbox(folder, database));
    char asked[64];
    while (std::fgets(asked, sizeof asked, stdin)) { // a try; the end of input ends the process
        const QByteArray answer = delivery.deliver().json();
        std::fwrite(answer.constData(), 1, std::size_t(answer.size()), stdout);
        std::fflush(stdout);
    }
    return 0;
}

} // namespace qx::service
