// The shared record: the real program delivering its lines to a private PostgreSQL server,
// each once, while the server is up, down, or its marks are lost.
#include "postgres.h"
#include "rig.h"

#include <QtTest>

#include <csignal>

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
    QString folder() const
    {
        return processEnvironment().value("XDG_STATE_HOME") + "/qx-lp4r-updater/";
    }
};

int rows(const Postgres& server, const QString& where = "true")
{
    const auto out = server.psql("SELECT count(*) FROM service_record WHERE " + where);
    return out ? out->value(0).toInt() : -1;
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
        Run run(server, {"--update", a.slavePath, b.slavePath});
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
    }

    // The server down: the update runs as without a database, and its line waits, said once.
    // Up again, an idle station delivers it with no new update.
    void serverDownThenUp()
    {
        BootLoader a;
        QVERIFY(server.stop());
        Run update(server, {"--update", a.slavePath});
        QVERIFY(update.ended(60000));
        QCOMPARE(update.exitCode(), 0);
        const QString err = update.readAllStandardError();
        QCOMPARE(err.count("wait for the shared record"), 1);
        QCOMPARE(update.records().value(0).value(11), QString("success"));
        QVERIFY(server.start());
        Run station(server, {"--station"}, update.home.path());
        QVERIFY(waitFor([&] { return rows(server) == 1; }, 60000));
        ::kill(station.processId(), SIGTERM);
        QVERIFY(station.ended(10000));
    }

    // A server that takes the connection and never answers, with a time-out longer than the
    // end's few seconds: the update is as ever, and the program ends after them, saying that
    // its line waits.
    void serverThatNeverAnswers()
    {
        BootLoader a;
        int port = 0;
        const int mute = loopbackListener(port);
        Run run(QString("postgresql://postgres@127.0.0.1:%1/qx?connect_timeout=120").arg(port),
                {"--update", a.slavePath});
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
        QVERIFY(QFile::remove(first.folder() + "service-record.outbox.sent"));
        Run third(server, {"--query", c.slavePath}, first.home.path());
        QVERIFY(third.ended(60000));
        QCOMPARE(rows(server), 3);
        QCOMPARE(server.psql("SELECT count(DISTINCT line_id) FROM service_record"),
                 std::optional(QStringList{"3"}));
    }

    // An outbox that cannot be written: the query is as ever, and its line is said to wait for
    // that, never to be delivered.
    void outboxUnwritable()
    {
        BootLoader a;
        QTemporaryDir home; // a folder where the outbox would be
        QVERIFY(QDir().mkpath(home.path() + "/qx-lp4r-updater/service-record.outbox/x"));
        Run run(server, {"--query", a.slavePath}, home.path());
        QVERIFY(run.ended(60000));
        QCOMPARE(run.exitCode(), 0);
        const QString err = run.readAllStandardError();
        QVERIFY2(err.contains("1 line(s) wait for the shared record: the outbox") &&
                     !err.contains("every line is delivered"),
                 qPrintable(err));
    }

    // A delivering process that is not ours, or none: the query's line waits, said so, and is
    // never taken for delivered.
    void delivererThatFails()
    {
        const std::pair<QString, QString> rows[] = {
            {"/bin/echo", "answered what it should not"}, // its arguments, not an answer
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
                 .recordTo = server.url(),
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

    // A device's words are data: quotes, a semicolon and a statement go in as text.
    void hostileVersionIsText()
    {
        BootLoader a;
        const QString hostile = "V1'\"; '); DROP TABLE service_record; --";
        a.versionReply = hostile.toLatin1() + "\r\n";
        Run run(server, {"--query", a.slavePath});
        QVERIFY(run.ended(60000));
        QCOMPARE(run.exitCode(), 0);
        QCOMPARE(server.psql("SELECT device_version FROM service_record"),
                 std::optional(QStringList{run.records().value(0).value(13)}));
        QVERIFY(run.records().value(0).value(13).contains("DROP TABLE"));
    }

private:
    Postgres server;
};

QTEST_MAIN(TestShared)
#include "tst_shared.moc"
