// The Windows program as a technician gets it: installed by its installer under Wine, worked
// through its window with real input events on the X server Wine draws on, against the
// simulated boot loader on a pty that Wine maps to COM5; what it shows is read back by window
// title and OCR. Environment: QX_WIN_INSTALLER, QX_COM5_LINK (the path Wine's COM5 names),
// QX_END_SESSION (endsession.exe), WINEPREFIX and DISPLAY.
#include "postgres.h"
#include "rig.h"
#include "statusbar.h"

#include <QProcess>
#include <QScreen>
#include <QtTest>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

namespace {

const QString kProduct = "QX-LP4R Firmware Updater (test payload)";

QString run(const QString& program, const QStringList& args, int ms = 30000)
{
    QProcess p;
    p.start(program, args);
    p.waitForFinished(ms);
    return QString::fromLocal8Bit(p.readAllStandardOutput()).trimmed();
}
QString xdo(const QStringList& args)
{
    return run("xdotool", args, 10000);
}

// The visible top-level windows with a title, by X id. A message box always has one (an
// empty title shows the program's name); Wine's untitled helper windows come and go.
QMap<QString, QString> windows()
{
    QMap<QString, QString> all;
    for (const QString& id : xdo({"search", "--onlyvisible", "--name", "."}).split('\n'))
        if (const QString title = id.isEmpty() ? QString() : xdo({"getwindowname", id});
            !title.isEmpty())
            all[id] = title;
    return all;
}

// What window `id` shows in `area` (all of it if null), read by OCR.
QString readText(const QString& id, QRect area = {})
{
    QImage shot = QGuiApplication::primaryScreen()->grabWindow(id.toULongLong()).toImage();
    shot = area.isNull() ? shot : shot.copy(area);
    QTemporaryDir dir;
    shot.convertToFormat(QImage::Format_Grayscale8)
        .scaled(shot.size() * 4, Qt::IgnoreAspectRatio, Qt::SmoothTransformation)
        .save(dir.filePath("text.png"));
    return run("tesseract",
               {dir.filePath("text.png"), "stdout", "--psm", area.isNull() ? "6" : "7"})
        .simplified();
}

// The service record's folder under the user's %LOCALAPPDATA%, and its lines.
QString recordFolder()
{
    return qEnvironmentVariable("WINEPREFIX") + "/drive_c/users/" +
           qEnvironmentVariable("USER", "root") + "/AppData/Local/QX-LP4R Firmware Updater";
}
QList<QStringList> records()
{
    return recordsIn(recordFolder() + "/service-record.csv");
}

} // namespace

class TestWine : public QObject
{
    Q_OBJECT

    BootLoader sim;
    QProcess program;
    QString window;
    std::unique_ptr<Form1> design; // where form1.ui puts each control
    QElapsedTimer clock;
    qint64 firstBoxAt = -1; // on `clock`

    QRect rectOf(const char* name) const
    {
        const QWidget* w = design->findChild<QWidget*>(name);
        return {w->mapTo(design.get(), QPoint()), w->size()};
    }
    // A real click on the middle of a control, the pointer coming from outside the window.
    void click(const char* name)
    {
        const QPoint p = rectOf(name).center();
        xdo({"mousemove", "0", "0", "sleep", "0.1", "mousemove", "--window", window,
             QString::number(p.x()), QString::number(p.y()), "sleep", "0.2", "click", "1"});
    }
    // Return on the box until it is gone: a key can reach Wine before the box has the focus.
    void close(const QString& box)
    {
        for (int attempt = 0; attempt < 20 && windows().contains(box); ++attempt) {
            xdo({"windowfocus", "--sync", box, "key", "Return"});
            waitFor([] { return false; }, 250);
        }
        QVERIFY2(!windows().contains(box), "a message box stays open");
    }
    // Waits up to `ms` for message boxes and closes each as a user would; returns the title
    // of each, and the text read from it in `texts`.
    QStringList boxes(int ms, int atLeast, QStringList& texts)
    {
        QStringList seen;
        QSet<QString> known{window};
        for (QDeadlineTimer end(ms); !end.hasExpired() && seen.size() <= atLeast;) {
            waitFor([] { return false; }, 200); // the simulator answers meanwhile
            const auto now = windows();
            for (auto it = now.begin(); it != now.end(); ++it) {
                if (known.contains(it.key()))
                    continue;
                known.insert(it.key());
                firstBoxAt = seen.isEmpty() ? clock.elapsed() : firstBoxAt;
                seen << it.value();
                texts << readText(it.key());
                close(it.key());
            }
            if (seen.size() >= atLeast) // a second box would come at once: look a little longer
                end = QDeadlineTimer(std::min(end.remainingTime(), qint64(1500)));
        }
        return seen;
    }

    // COM<n> is added to the registry's device map, on the pty of `device`.
    static void addPort(int n, const BootLoader& device)
    {
        const QString link =
            qEnvironmentVariable("WINEPREFIX") + QString("/dosdevices/com%1").arg(n);
        QFile::remove(link);
        QVERIFY(QFile::link(device.slavePath, link));
        QCOMPARE(QProcess::execute(
                     "wine", QStringList{"reg", "add"} + portKey(n) +
                                 QStringList{"/t", "REG_SZ", "/d", QString("COM%1").arg(n), "/f"}),
                 0);
    }
    static void removePort(int n)
    {
        QProcess::execute("wine", QStringList{"reg", "delete"} + portKey(n) + QStringList{"/f"});
        QFile::remove(qEnvironmentVariable("WINEPREFIX") + QString("/dosdevices/com%1").arg(n));
    }
    static QStringList portKey(int n)
    {
        return {"HKLM\\HARDWARE\\DEVICEMAP\\SERIALCOMM", "/v", QString("QXTest%1").arg(n)};
    }

private slots:
    void initTestCase()
    {
        const QString installer = qEnvironmentVariable("QX_WIN_INSTALLER");
        const QString link = qEnvironmentVariable("QX_COM5_LINK");
        QVERIFY2(QFile::exists(installer) && !link.isEmpty(), "QX_WIN_INSTALLER, QX_COM5_LINK");
        design = std::make_unique<Form1>(
            qx::service::Setup{.devices = [] { return QList<qx::serial::MapEntry>(); }});

        // Installed silently, as an administrator deploys it: the program, its Start-menu
        // entry and its uninstaller.
        QCOMPARE(QProcess::execute("wine", {installer, "/S"}), 0);
        const QString drive = qEnvironmentVariable("WINEPREFIX") + "/drive_c/";
        for (const QString& file :
             {"Program Files/" + kProduct + "/qx-lp4r-updater.exe",
              "Program Files/" + kProduct + "/qx-lp4r-updater.com",
              "Program Files/" + kProduct + "/uninstall.exe",
              "ProgramData/Microsoft/Windows/Start Menu/Programs/" + kProduct + ".lnk",
              QString("ProgramData/Microsoft/Windows/Start Menu/Programs/QX-LP4R Bench.lnk"),
              "ProgramData/Microsoft/Windows/Start Menu/Programs/" + kProduct +
                  " service record.lnk"})
            QVERIFY2(QFile::exists(drive + file), qPrintable(file));

        QFile::remove(link);
        QVERIFY(QFile::link(sim.slavePath, link));
        program.start("wine", {"C:\\Program Files\\" + kProduct + "\\qx-lp4r-updater.exe"});
        QVERIFY(waitFor(
            [&] {
                window = xdo({"search", "--onlyvisible", "--name",
                              "^Firmware Update - QX-LP4R-V1\\.3\\.7 \\(TEST BUILD: "});
                return !window.isEmpty();
            },
            90000));
        waitFor([] { return false; }, 1000); // drawn

        // The registry lists Wine's own COM1 before COM5: the technician picks COM5.
        click("Combo1");
        xdo({"key", "Down"});
        click("Command4");
        QStringList texts;
        QVERIFY2(boxes(1500, 0, texts).isEmpty(), qPrintable(texts.join('|'))); // no complaint
    }

    void getVersionShowsTheDevicesText()
    {
        sim.stream.clear();
        click("Command2");
        QVERIFY(waitFor([&] { return sim.stream == "2"; }, 5000));
        waitFor([] { return false; }, 1000);
        QCOMPARE(readText(window, rectOf("Label1")), QString("QX-LP4R-V1.3.7"));
    }

    void wholeUpdateArrivesByteExact()
    {
        sim.stream.clear();
        clock.start();
        click("Command1");
        QVERIFY(waitFor([&] { return sim.completed == 1; }, 60000));
        qInfo("the whole update took %lld ms under Wine", clock.elapsed());
        QStringList texts;
        QCOMPARE(boxes(10000, 1, texts), QStringList{"QX-LP4R Firmware Updater"});
        QVERIFY2(texts.first().endsWith("Upgrade Successfully"), qPrintable(texts.first()));
        QVERIFY(sim.stream == wholeStream(true)); // every byte, in order, nothing more
        // and its line in the service record, under the user's %LOCALAPPDATA%
        QVERIFY(!records().isEmpty());
        QCOMPARE(records().last().mid(kAction, 1) + records().last().mid(kOutcome, 1),
                 (QStringList{"update", "success"}));
    }

    void silenceAtADataBlock()
    {
        sim.script[5] = {}; // no answer to the fourth data block
        sim.onItem = [&](int item) {
            if (item == 5)
                clock.start();
        };
        click("Command1");
        QStringList texts;
        QCOMPARE(boxes(20000, 1, texts), QStringList{"Error"});
        // Its row of three buttons (OK, Save diagnostics..., Show Details...) is too tight for
        // OCR; tst_update reads the box's details and clicks Save diagnostics... natively.
        QVERIFY2(texts.size() == 1 && texts[0].startsWith("Plese Check Connection!"),
                 qPrintable(texts.join('|')));
        QVERIFY2(firstBoxAt >= 9900 && firstBoxAt < 12000, qPrintable(QString::number(firstBoxAt)));
    }

    // A port added to the registry's device map while the program runs shows in its list,
    // selected; COM12, from COM10 up where only \\.\COM12 opens, gets the line's settings
    // and a whole update.
    void portAppearsWhileRunning()
    {
        click("Command5"); // disconnected: the list follows the machine
        BootLoader com12;
        addPort(12, com12);
        // Selected: Connect then opens COM12, which the settings read back below prove. The
        // port panel (read by OCR, which may misread it) only says when to stop waiting.
        const QRect panel1(rectOf("MSBar").topLeft(),
                           QSize(StatusBar::kPanelWidth, rectOf("MSBar").height()));
        waitFor([&] { return readText(window, panel1).contains("COM12"); }, 5000);
        click("Command4");
        termios line{};
        const int fd = ::open(com12.slavePath.toLocal8Bit(), O_RDWR | O_NOCTTY);
        ::tcgetattr(fd, &line);
        ::close(fd);
        QCOMPARE(::cfgetospeed(&line), speed_t(B57600));
        QCOMPARE(line.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS), tcflag_t(CS8));
        click("Command1");
        QVERIFY(waitFor([&] { return com12.completed == 1; }, 60000));
        QStringList texts;
        QCOMPARE(boxes(10000, 1, texts), QStringList{"QX-LP4R Firmware Updater"});
        QVERIFY(com12.stream == wholeStream(true));
        removePort(12);
    }

    // The console companion, typed as a bench would: its lines and exit status come back.
    void commandLineUpdatesCom5()
    {
        program.kill(); // the window lets go of COM5
        program.waitForFinished(5000);
        sim.script.clear();
        sim.onItem = nullptr;
        sim.stream.clear();
        const int before = sim.completed;
        QProcess console;
        console.start("wine", {"C:\\Program Files\\" + kProduct + "\\qx-lp4r-updater.com",
                               "--update", "COM5"});
        QVERIFY(waitFor([&] { return console.state() == QProcess::NotRunning; }, 90000));
        const QStringList lines = QString::fromLocal8Bit(console.readAllStandardOutput())
                                      .split(QRegularExpression("\r?\n"));
        QVERIFY2(console.exitCode() == 0 && lines.contains("COM5: success") &&
                     lines.contains("COM5: 50%") && lines.contains("summary: 1 of 1 succeeded"),
                 qPrintable(lines.join('|') + console.readAllStandardError()));
        QCOMPARE(sim.completed, before + 1);
        QVERIFY(sim.stream == wholeStream(true));
        // the device now runs what was sent: checked first, it is sent no "1"
        sim.stream.clear();
        console.start("wine", {"C:\\Program Files\\" + kProduct + "\\qx-lp4r-updater.com",
                               "--update", "--skip-current", "COM5"});
        QVERIFY(waitFor([&] { return console.state() == QProcess::NotRunning; }, 90000));
        QVERIFY2(console.exitCode() == 0 && console.readAllStandardOutput().contains(
                                                "COM5: current (QX-LP4R-V1.3.7 already)"),
                 console.readAllStandardError().constData());
        QCOMPARE(sim.stream, QByteArray("2"));
    }

    // A failed update's trace, kept beside the record: the console companion reads it as a
    // timeline and replays it to the same outcome, as support would on a Windows laptop.
    void commandLineTraceExplainedAndReplayed()
    {
        sim.script[4] = {"\x15"}; // a NAK to data block 3
        const QString com = "C:\\Program Files\\" + kProduct + "\\qx-lp4r-updater.com";
        QProcess console;
        const auto run = [&](const QStringList& args) {
            console.start("wine", QStringList{com} + args);
            return waitFor([&] { return console.state() == QProcess::NotRunning; }, 90000);
        };
        QVERIFY(run({"--update", "COM5"}));
        QCOMPARE(console.exitCode(), 1);
        const QString trace = records().last().value(kTrace);
        QVERIFY2(trace.startsWith("traces/") && QFile::exists(recordFolder() + "/" + trace),
                 qPrintable(trace));
        // Wine's Z: drive is the host's root
        const QString file = "Z:" + QString(recordFolder() + "/" + trace).replace('/', '\\');
        QVERIFY(run({"--explain", file}));
        const QString told = QString::fromLocal8Bit(console.readAllStandardOutput());
        QVERIFY2(console.exitCode() == 0 &&
                     told.contains("outcome: failure at data block 3 of 372: reply 15 (NAK)"),
                 qPrintable(told.right(1000) + console.readAllStandardError()));
        QVERIFY(run({"--replay", file}));
        const QString replayed = QString::fromLocal8Bit(console.readAllStandardOutput());
        QVERIFY2(console.exitCode() == 0 &&
                     replayed.contains("the replay reaches the trace's outcome"),
                 qPrintable(replayed + console.readAllStandardError()));
    }

    // The shared record through ODBC: Wine's odbc32 hands the calls to the host's unixODBC and
    // its PostgreSQL driver, which has another name than on Windows. The update's line is in the
    // table once the program has said its summary, and the program ends.
    void commandLineRecordsThroughOdbc()
    {
        program.kill(); // the window lets go of COM5
        program.waitForFinished(5000);
        sim.stream.clear();
        Postgres server;
        QVERIFY2(server.ok, "a private PostgreSQL 15 server");
        QProcess console;
        auto environment = QProcessEnvironment::systemEnvironment();
        environment.insert("QX_ODBC_DRIVER", "PostgreSQL Unicode");
        console.setProcessEnvironment(environment);
        console.start("wine", {"C:\\Program Files\\" + kProduct + "\\qx-lp4r-updater.com",
                               "--update", "COM5", "--record-to", server.url()});
        QString out;
        QVERIFY2(waitFor(
                     [&] {
                         out += console.readAllStandardOutput();
                         return out.contains("summary: 1 of 1 succeeded");
                     },
                     90000),
                 qPrintable(out + console.readAllStandardError()));
        QVERIFY(waitFor(
            [&] {
                return server.psql("SELECT port, outcome FROM service_record") ==
                       std::optional(QStringList{"COM5|success"});
            },
            10000));
        // The driver is loaded in the delivering process only: Wine's odbc32 may wait as it
        // unloads the host's unixODBC there, and the program ends it rather than wait.
        QVERIFY2(waitFor([&] { return console.state() == QProcess::NotRunning; }, 15000),
                 "the program ends after its summary");
        QCOMPARE(console.exitCode(), 0);
        QVERIFY(sim.stream == wholeStream(true));
    }

    // The station in a console: a COM port whose SERIALCOMM value is added while it runs is
    // updated, and COM5, there before its start, is left alone.
    void stationServesAPortAddedWhileRunning()
    {
        sim.stream.clear();
        BootLoader com13;
        QProcess console;
        QString out;
        const auto printed = [&](const QString& line) {
            out += QString::fromLocal8Bit(console.readAllStandardOutput());
            return out.contains(line);
        };
        console.start("wine",
                      {"C:\\Program Files\\" + kProduct + "\\qx-lp4r-updater.com", "--station"});
        QVERIFY(waitFor([&] { return printed("station: serving every serial port"); }, 90000));
        addPort(13, com13);
        QVERIFY2(waitFor([&] { return printed("COM13: success"); }, 60000), qPrintable(out));
        QVERIFY(com13.stream == wholeStream(true));
        QVERIFY(printed("COM13: plugged in") && sim.stream.isEmpty());
        console.kill();
        console.waitForFinished(5000);
        removePort(13);
    }

    // The installed bench window, its rows named: F5 updates two COM ports at once; the
    // session ending mid-update leaves both interrupted lines.
    void benchUpdatesTwoPortsAtOnce()
    {
        BootLoader com14;
        addPort(14, com14);
        sim.stream.clear();
        const int before = sim.completed;
        QProcess bench;
        bench.start("wine", {"C:\\Program Files\\" + kProduct + "\\qx-lp4r-updater.exe", "--bench",
                             "COM5", "COM14"});
        QString id;
        QVERIFY(waitFor(
            [&] {
                id = xdo({"search", "--onlyvisible", "--name", "^QX-LP4R Bench \\(TEST BUILD: "});
                return !id.isEmpty();
            },
            90000));
        waitFor([] { return false; }, 1000); // drawn
        xdo({"windowfocus", "--sync", id, "key", "F5"});
        QVERIFY(
            waitFor([&] { return sim.completed == before + 1 && com14.completed == 1; }, 60000));
        QVERIFY(sim.stream == wholeStream(true) && com14.stream == wholeStream(true));

        // the session ends mid-update: no question asked, both recorded as interrupted
        sim.stream.clear();
        com14.stream.clear();
        xdo({"windowfocus", "--sync", id, "key", "F5"});
        QVERIFY(waitFor(
            [&] { return sim.stream.size() > 20 * 1029 && com14.stream.size() > 20 * 1029; },
            30000));
        const auto recorded = records().size();
        QCOMPARE(QProcess::execute("wine", {qEnvironmentVariable("QX_END_SESSION"),
                                            "QX-LP4R Bench (TEST BUILD: a generated test payload, "
                                            "not device firmware)"}),
                 0);
        const auto after = records();
        QCOMPARE(after.size(), recorded + 2);
        for (const QStringList& record : after.mid(recorded))
            QVERIFY2(record[kReason].startsWith("interrupted at data block "),
                     qPrintable(record[kReason]));
        bench.kill();
        bench.waitForFinished(5000);
        removePort(14);
    }

    void cleanupTestCase()
    {
        program.kill();
        program.waitForFinished(5000);
    }
};

QTEST_MAIN(TestWine)
#include "tst_wine.moc"
