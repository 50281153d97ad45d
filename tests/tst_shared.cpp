// The shared record: the real program delivering its lines to a private PostgreSQL server,
// each once, while the server is up, down, or its marks are lost.
#include "postgres.h"
#include "rig.h"

#include <QtTest>

#include <csignal>

#include <sys/stat.h>

namespace {
// One program on `arguments` with --record-to, in `home` if given; ended within 60 s.
struct Run : Program
{
    Run(const Postgres& server, const QStringList& arguments, const QString& home = {})
        : Run(server.url(), arguments, home)
    {
    }
    Run(const QString& url, const QStringList& arguments, const QString& home = {})
    {
        if (!home.isEmpty()) {
            auto environment = processEnvironment();
            environment.insert("XDG_STATE_HOME", home);
            setProcessEnvironment(environment);
        }
        start(QX_PROGRAM, arguments + QStringList{"--record-to", url});
    }
};

// The outbox's files for `url`'s database in the record folder of the program run in `home`,
// or in `folder`.
qx::service::Outbox outboxIn(const QString& home, const QString& url, const QString& folder = {})
{
    return {folder.isEmpty() ? home + "/qx-lp4r-updater" : folder,
            std::get<qx::service::Database>(qx::service::parseRecordTo(url))};
}

int rows(const Postgres& server)
{
    const auto out = server.psql("SELECT count(*) FROM service_record");
    return out ? out->value(0).toInt() : -1;
}

// A query of a device answering `reply`, in `home`, to `url`; once ended, what it said of the
// shared record.
QString query(const QString& url, const QByteArray& reply, const QString& home)
{
    BootLoader device;
    device.versionReply = reply;
    Run run(url, {"--query", device.slavePath}, home);
    if (!run.ended(60000) || run.exitCode() != 0)
        return "not ended";
    return QString(run.readAllStandardError()).split('\n').filter("shared record").join('\n');
}

// A stand-in for the delivering process: a shell script that notes each try in `tries`.
QString standIn(const QTemporaryDir& dir, const QByteArray& body)
{
    const QString path = dir.filePath("deliverer");
    QFile file(path);
    file.open(QIODevice::WriteOnly);
    file.write("#!/bin/sh\nwhile read asked; do echo try >>'" + dir.filePath("tries").toUtf8() +
               "'; " + body + "; done\n");
    file.setPermissions(file.permissions() | QFile::ExeOwner);
    return path;
}
} // namespace

class TestShared : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY2(server.ok, "a private PostgreSQL 15 server"); }
    void init() { server.psql("DROP TABLE IF EXISTS service_record CASCADE"); }

    // Two devices at once: both lines in the table, typed, with the CSV's checksum; the
    // views answer.
    void twoDevicesAtOnce()
    {
        BootLoader a, b;
        Run run(server, {"--update", a.slavePath, b.slavePath, "--serial", b.slavePath + "=SN-2"});
        QVERIFY(run.ended(60000));
        QCOMPARE(run.exitCode(), 0);
        const auto csv = run.records();
        QCOMPARE(csv.size(), 2);
        const auto table = server.psql("SELECT port, firmware_sha256, firmware_bytes, "
                                       "test_payload, outcome FROM service_record ORDER BY port");
        QVERIFY(table);
        QStringList expected;
        for (const QStringList& line : csv)
            expected << QStringList{line[4], line[9], line[8], "t", "success"}.join('|');
        expected.sort();
        QCOMPARE(*table, expected);
        QCOMPARE(server.psql("SELECT updated, failed FROM service_record_yield"),
                 std::optional(QStringList{"2|0"}));
        QCOMPARE(server.psql("SELECT unit_serial, outcome FROM service_record_units"),
                 std::optional(QStringList{"SN-2|success"}));
        BootLoader again; // the same unit once more, failing now: its latest update shows
        again.script[3] = {"\x15"};
        QFile profile(run.home.filePath("bench.ini")); // and its line names the profile
        QVERIFY(profile.open(QIODevice::WriteOnly) && profile.write("[station]\nname = B2\n"));
        profile.close();
        Run second(
            server,
            {"--update", again.slavePath, "--serial", "SN-2", "--profile", profile.fileName()},
            run.home.path());
        QVERIFY(second.ended(60000));
        QCOMPARE(server.psql("SELECT unit_serial, outcome FROM service_record_units"),
                 std::optional(QStringList{"SN-2|failure"}));
        const auto last = run.records().value(2);
        QCOMPARE(server.psql("SELECT slot || '|' || profile FROM service_record WHERE profile "
                             "IS NOT NULL"),
                 std::optional(QStringList{last.value(kSlot) + "|" + last.value(kProfile)}));
        QVERIFY(last.value(kSlot) == again.slavePath && last.value(kProfile).startsWith("B2 ("));
        QCOMPARE(server.psql("SELECT count(*), sum(updated), sum(failed) FROM "
                             "service_record_slot_yield"),
                 std::optional(QStringList{"3|2|1"}));
    }

    // A server that takes the connection and never answers, with a time-out longer than the
    // end's few seconds: the update is as ever, and the program ends after them, saying that
    // its line waits. A station killed outright leaves no delivering process stuck there.
    void serverThatNeverAnswers()
    {
        BootLoader a;
        int port = 0;
        const int mute = loopbackListener(port);
        const QString url =
            QString("postgresql://postgres@127.0.0.1:%1/qx?connect_timeout=120").arg(port);
        Run station(url, {"--station"});
        QFile children(QString("/proc/%1/task/%1/children").arg(station.processId()));
        qint64 deliverer = 0;
        QVERIFY(waitFor([&] {
            children.open(QIODevice::ReadOnly);
            deliverer = children.readAll().trimmed().toLongLong();
            children.close();
            return deliverer > 0;
        }));
        ::kill(pid_t(station.processId()), SIGKILL);
        QVERIFY(waitFor([&] { // gone, or a zombie nobody reaps
            QFile stat(QString("/proc/%1/stat").arg(deliverer));
            return !stat.open(QIODevice::ReadOnly) || stat.readAll().contains(") Z ");
        }));
        Run run(url, {"--update", a.slavePath});
        QVERIFY(run.ended(60000));
        ::close(mute);
        QCOMPARE(run.exitCode(), 0);
        QVERIFY(run.readAllStandardOutput().contains("summary: 1 of 1 succeeded"));
        const QString err = run.readAllStandardError();
        QVERIFY2(err.contains("1 line(s) wait for the shared record: no answer from the "
                              "database in 4 s"),
                 qPrintable(err));
    }

    // Two programs at once, and one whose note of what the server took was lost (killed right
    // after the server took its line): every line is there once.
    void everyLineOnce()
    {
        BootLoader a, b, c;
        Run first(server, {"--update", a.slavePath});
        Run second(server, {"--update", b.slavePath}, first.home.path());
        QVERIFY(first.ended(60000) && second.ended(60000));
        QCOMPARE(rows(server), 2);
        QVERIFY(QFile::remove(outboxIn(first.home.path(), server.url()).sent));
        Run third(server, {"--query", c.slavePath}, first.home.path());
        QVERIFY(third.ended(60000));
        QCOMPARE(rows(server), 3);
        QCOMPARE(server.psql("SELECT count(DISTINCT line_id) FROM service_record"),
                 std::optional(QStringList{"3"}));
    }

    // An outbox that cannot be written: the query is as ever, and its line is said to wait for
    // that, never to be delivered, and at the end not to be kept. In a window, lines that
    // waited for it go once it can be written.
    void outboxUnwritable()
    {
        BootLoader a;
        QTemporaryDir home;
        QVERIFY(QDir().mkpath(outboxIn(home.path(), server.url()).path + "/x"));
        Run run(server, {"--query", a.slavePath}, home.path());
        QVERIFY(run.ended(60000));
        QCOMPARE(run.exitCode(), 0);
        const QString err = run.readAllStandardError();
        QVERIFY2(err.contains("1 line(s) wait for the shared record: the outbox") &&
                     err.contains("1 line(s) noted in") && !err.contains("cannot be kept") &&
                     !err.contains("every line is delivered"),
                 qPrintable(err));
        // the next run, the outbox writable again, delivers it from the CSV, once
        const auto box = outboxIn(home.path(), server.url());
        QVERIFY(QDir(box.path).removeRecursively());
        QVERIFY(query(server.url(), "V2.bin\r\n", home.path()).isEmpty());
        QCOMPARE(server.psql("SELECT device_version FROM service_record ORDER BY device_version"),
                 std::optional(QStringList{"QX-LP4R-V1.3.7", "V2"}));
        QVERIFY(!QFile::exists(box.missed));

        Rig rig({}, {}, server.database());
        const QString outbox = outboxIn({}, server.url(), rig.recordDir.path()).path;
        QVERIFY(QDir().mkpath(outbox + "/x") && rig.connectPort());
        rig.click("Command2");
        QVERIFY(waitFor([&] { return rig.records().size() == 1; }));
        QVERIFY(QDir(outbox).removeRecursively());
        rig.click("Command2");
        QVERIFY(waitFor([&] { return rows(server) == 4; }, 60000));
    }

    // A delivering process that is not ours, or none: the query's line waits, said so, and is
    // never taken for delivered.
    void delivererThatFails()
    {
        QTemporaryDir echoes; // answers each try with what is not an answer, and stays
        const std::pair<QString, QString> rows[] = {
            {standIn(echoes, "echo \"$asked\""), "answered what it should not"},
            {"/bin/true", "ended"},
            {"/nonexistent/qx-lp4r-updater", "did not start"},
        };
        for (const auto& [program, said] : rows) {
            BootLoader a;
            QTemporaryDir folder;
            QStringList err;
            int status = -1;
            qx::ui::CommandLine commandLine(
                {.devices = [] { return QList<qx::serial::MapEntry>(); },
                 .recordFolder = folder.path(),
                 .out = [](const QString&) {},
                 .err = [&err](const QString& line) { err << line; },
                 .recordTo = server.database(),
                 .deliveryProgram = program});
            QObject::connect(&commandLine, &qx::ui::CommandLine::finished,
                             [&status](int ended) { status = ended; });
            commandLine.start(
                std::get<qx::ui::Arguments>(qx::ui::parseArguments({"--query", a.slavePath})));
            QVERIFY(waitFor([&] { return status >= 0; }, 30000));
            QVERIFY2(err.join('|').contains("1 line(s) wait for the shared record: the "
                                            "delivering process " +
                                            said),
                     qPrintable(program + ": " + err.join('|')));
        }
    }

    // A device's words are data, as the CSV holds them: quotes, a semicolon and a statement go
    // in as text, and a NUL that no statement can carry holds up no line after it.
    void hostileVersionIsText()
    {
        QTemporaryDir home;
        const QByteArray replies[] = {QByteArray("V1\0\0.bin\r\n", 10),
                                      "V1'\"; '); DROP TABLE service_record; --\r\n"};
        for (const QByteArray& reply : replies)
            QVERIFY(!query(server.url(), reply, home.path()).contains("wait"));
        const auto csv = recordsIn(home.filePath("qx-lp4r-updater/service-record.csv"));
        QCOMPARE(server.psql("SELECT device_version FROM service_record ORDER BY time, received"),
                 std::optional(QStringList{csv.value(0).value(13), csv.value(1).value(13)}));
        QVERIFY(csv.value(0).value(13) == "V1\\x00\\x00" && csv.value(1).value(13).contains("DROP"));
    }

    // A row the server refuses for what it holds is set aside and named; the lines after it
    // arrive. So does a line after a fragment at the outbox's end.
    void refusedRowsAndFragments()
    {
        QTemporaryDir home;
        QVERIFY(query(server.url(), "V1.bin\r\n", home.path()).isEmpty());
        QVERIFY(server.psql("ALTER TABLE service_record ADD CONSTRAINT no_v9 "
                            "CHECK (device_version NOT LIKE 'V9%')"));
        const QString said = query(server.url(), "V9.bin\r\n", home.path());
        QVERIFY2(said.contains("1 line(s) refused, kept in ") && said.contains("no_v9") &&
                     !said.contains("wait"),
                 qPrintable(said));
        const auto outbox = outboxIn(home.path(), server.url());
        QFile fragment(outbox.path);
        QVERIFY(fragment.open(QIODevice::Append) && fragment.write("{\"line_id\":\"1") > 0);
        fragment.close();
        QVERIFY(query(server.url(), "V2.bin\r\n", home.path()).contains("1 line(s) refused"));
        QCOMPARE(server.psql("SELECT device_version FROM service_record ORDER BY time, received"),
                 std::optional(QStringList{"V1", "V2"}));
        QFile refused(outbox.refused);
        QVERIFY(refused.open(QIODevice::ReadOnly));
        const QList<QByteArray> kept = refused.readAll().split('\n');
        QVERIFY2(kept.size() == 3 && kept[0].contains("V9") &&
                     kept[1].contains("not a whole record line"),
                 refused.fileName().toUtf8());
    }

    // Each line goes to the database named when it was written: while A is not there, its line
    // waits and B never gets it; once A is there, the next run naming A delivers it.
    void eachLineToItsDatabase()
    {
        QTemporaryDir home;
        server.psql("DROP DATABASE IF EXISTS qxa", "postgres");
        QString a = server.url();
        a.replace("/qx", "/qxa");
        QVERIFY(query(a, "VA.bin\r\n", home.path()).contains("1 line(s) wait"));
        QVERIFY(query(server.url(), "VB.bin\r\n", home.path()).isEmpty());
        QCOMPARE(server.psql("SELECT device_version FROM service_record"),
                 std::optional(QStringList{"VB"}));
        QVERIFY(server.psql("CREATE DATABASE qxa", "postgres"));
        QVERIFY(query(a, "VA2.bin\r\n", home.path()).isEmpty());
        QCOMPARE(server.psql("SELECT device_version FROM service_record ORDER BY 1", "qxa"),
                 std::optional(QStringList{"VA", "VA2"}));
    }

    // A FIFO in place of the outbox, or of its note, holds nothing up: the program ends.
    void fifosAreRefused()
    {
        for (const bool note : {false, true}) {
            QTemporaryDir home;
            const auto outbox = outboxIn(home.path(), server.url());
            QVERIFY(QDir().mkpath(home.path() + "/qx-lp4r-updater"));
            QVERIFY(::mkfifo(QFile::encodeName(note ? outbox.sent : outbox.path), 0600) == 0);
            QVERIFY2(query(server.url(), "V1.bin\r\n", home.path()) != "not ended",
                     note ? "note" : "outbox");
        }
    }

    // A table and views an earlier version made, and its line waiting in the outbox: the
    // columns are added and the views replaced, both lines arrive, and a device found current
    // is counted apart from those updated.
    void earlierVersionsTable()
    {
        QTemporaryDir home;
        QVERIFY(query(server.url(), "V1.bin\r\n", home.path()).isEmpty());
        QVERIFY(server.psql(
            "DROP VIEW service_record_units; ALTER TABLE service_record DROP COLUMN "
            "version_before, DROP COLUMN version_after, DROP COLUMN unit_serial; "
            "DROP VIEW service_record_yield; CREATE VIEW service_record_yield AS SELECT "
            "(time AT TIME ZONE 'UTC')::date AS day, computer, count(*) FILTER (WHERE outcome = "
            "'success') AS updated, count(*) FILTER (WHERE outcome <> 'success') AS failed, "
            "round(100.0 * count(*) FILTER (WHERE outcome = 'success') / count(*), 1) AS "
            "succeeded_percent FROM service_record WHERE action = 'update' GROUP BY 1, 2"));
        const auto outbox = outboxIn(home.path(), server.url());
        const QStringList earlier =
            recordsIn(home.filePath("qx-lp4r-updater/service-record.csv")).value(0).mid(0, 15);
        qx::service::appendLines(
            outbox.path,
            qx::service::outboxLine(QUuid::createUuid().toString(QUuid::WithoutBraces), earlier));
        BootLoader current;
        Run run(server, {"--update", "--skip-current", current.slavePath}, home.path());
        QVERIFY(run.ended(60000));
        QCOMPARE(rows(server), 3);
        QCOMPARE(server.psql(
                     "SELECT outcome, version_before FROM service_record WHERE action = 'update'"),
                 std::optional(QStringList{"current|QX-LP4R-V1.3.7"}));
        QCOMPARE(server.psql("SELECT updated, current, failed FROM service_record_yield"),
                 std::optional(QStringList{"0|1|0"}));
    }

    // The README's role that may only insert and select, with a view dropped: lines arrive.
    void insertAndSelectRole()
    {
        QTemporaryDir home;
        QVERIFY(query(server.url(), "V1.bin\r\n", home.path()).isEmpty());
        QVERIFY(server.psql("DROP VIEW service_record_yield; DROP ROLE IF EXISTS station; "
                            "CREATE ROLE station LOGIN; "
                            "GRANT SELECT, INSERT ON service_record TO station"));
        QString station = server.url();
        station.replace("postgres@", "station@");
        QVERIFY(query(station, "V2.bin\r\n", home.path()).isEmpty());
        QCOMPARE(rows(server), 2);
        // a right withdrawn once the table is ready: every line waits, none is set aside
        QVERIFY(server.psql("REVOKE INSERT ON service_record FROM station"));
        for (const char* waits : {"1 line(s) wait", "2 line(s) wait"}) {
            const QString said = query(station, "V3.bin\r\n", home.path());
            QVERIFY2(said.contains(waits) && !said.contains("refused"), qPrintable(said));
        }
        QVERIFY(server.psql("GRANT INSERT ON service_record TO station"));
        QVERIFY(query(station, "V4.bin\r\n", home.path()).isEmpty());
        QCOMPARE(rows(server), 5);
        server.psql("DROP TABLE service_record; DROP ROLE station");
    }

    // Two stations making the table at once: the second waits for the first's lock.
    void schemaUnderLock()
    {
        QProcess holder; // holds the lock in a transaction until told to commit
        holder.start("psql", {"-h", "127.0.0.1", "-p", QString::number(server.port), "-U",
                              "postgres", "-d", "qx", "-At"});
        holder.write("BEGIN; SELECT pg_advisory_xact_lock(1364741200);\n");
        QVERIFY(waitFor([&] {
            return server.psql("SELECT count(*) FROM pg_locks WHERE locktype = 'advisory'") ==
                   std::optional(QStringList{"1"});
        }));
        QTemporaryDir home;
        const QString said = query(server.url(), "V1.bin\r\n", home.path());
        QVERIFY2(said.contains("1 line(s) wait"), qPrintable(said));
        QCOMPARE(rows(server), -1); // no table yet
        holder.write("COMMIT;\n");
        holder.closeWriteChannel();
        QVERIFY(holder.waitForFinished(10000));
        QVERIFY(query(server.url(), "V2.bin\r\n", home.path()).isEmpty());
        QCOMPARE(rows(server), 2);
    }

    // The record's side, with stand-ins for the delivering process and a line waiting: a try
    // that does not answer is ended after 30 s; an idle record tries again every 30 s, and says
    // that its line waits once, not once a try.
    void triesAndTheirLimits()
    {
        QTemporaryDir hangs, answers;
        const auto engine = [&](const QTemporaryDir& dir, const QByteArray& body) {
            const auto outbox = outboxIn(dir.path(), server.url());
            QDir().mkpath(dir.path() + "/qx-lp4r-updater");
            qx::service::appendLines(
                outbox.path,
                qx::service::outboxLine(QUuid::createUuid().toString(QUuid::WithoutBraces),
                                        QStringList(15, "x")));
            return std::make_unique<qx::service::Engine>(
                qx::service::Setup{.recordFolder = dir.path() + "/qx-lp4r-updater",
                                   .out = [](const QString&) {},
                                   .err = [](const QString&) {},
                                   .recordTo = server.database(),
                                   .deliveryProgram = standIn(dir, body)});
        };
        QStringList said[2];
        const auto hanging = engine(hangs, "exec sleep 600");
        const auto waiting = engine(answers, "echo '{\"waiting\": 1, \"why\": \"kept\"}'");
        for (int i : {0, 1})
            QObject::connect((i ? waiting : hanging)->shared(), &qx::service::SharedRecord::said,
                             [&said, i](const QString& text) { said[i] << text; });
        const auto tries = [&answers] {
            QFile file(answers.filePath("tries"));
            return file.open(QIODevice::ReadOnly) ? file.readAll().count('\n') : 0;
        };
        QVERIFY(waitFor([&] { return tries() >= 2 && !said[0].isEmpty(); }, 90000));
        QCOMPARE(said[0].join('|'), "qx-lp4r-updater: shared record: 1 line(s) wait for the "
                                    "shared record: no answer from the database in 30 s");
        QCOMPARE(said[1].join('|'),
                 "qx-lp4r-updater: shared record: 1 line(s) wait for the shared record: kept");
    }

private:
    Postgres server;
};

QTEST_MAIN(TestShared)
#include "tst_shared.moc"
