// The Windows program as a technician gets it: installed by its installer under Wine, worked
// through its window with real input events on the X server Wine draws on, against the
// simulated boot loader on a pty that Wine maps to COM5. Texts on the screen are read back
// with OCR. Environment: QX_WIN_INSTALLER, QX_COM5_LINK (the path Wine's COM5 names),
// WINEPREFIX and DISPLAY.
#include "packageloader.h"
#include "rig.h"

#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QProcess>
#include <QScreen>
#include <QTemporaryDir>
#include <QtTest>

namespace {

constexpr int N = 372;
const QString kTitle = "Firmware Update - QX-LP4R-V1.3.7";

QString run(const QString& program, const QStringList& args, int ms = 60000)
{
    QProcess p;
    p.start(program, args);
    if (!p.waitForFinished(ms) || p.exitStatus() != QProcess::NormalExit)
        qWarning("%s %s: did not finish", qPrintable(program), qPrintable(args.join(' ')));
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

QPoint origin(const QString& id)
{
    QPoint p;
    for (const QString& line : xdo({"getwindowgeometry", "--shell", id}).split('\n')) {
        if (line.startsWith("X="))
            p.setX(line.mid(2).toInt());
        if (line.startsWith("Y="))
            p.setY(line.mid(2).toInt());
    }
    return p;
}

// What the screen shows in `area` of window `id`, read by OCR on one line.
QString readText(const QString& id, QRect area = {})
{
    QImage shot = QGuiApplication::primaryScreen()->grabWindow(id.toULongLong()).toImage();
    if (!area.isNull())
        shot = shot.copy(area);
    QTemporaryDir dir;
    const QString file = dir.filePath("text.png");
    shot.convertToFormat(QImage::Format_Grayscale8)
        .scaled(shot.size() * 4, Qt::IgnoreAspectRatio, Qt::SmoothTransformation)
        .save(file);
    return run("tesseract", {file, "stdout", "--psm", area.isNull() ? "6" : "7"}, 30000)
        .simplified();
}

QByteArray wholeStream()
{
    const auto p = qx::package::embeddedPackage();
    const QByteArray package(reinterpret_cast<const char*>(p.data()), qsizetype(p.size()));
    return "1" + package.mid(4 + 1029 * N, 133) + package.mid(2, 1029 * N) + '\x04' +
           QByteArray("\x01\x00\xFF", 3) + QByteArray(130, '\0');
}

} // namespace

class TestWine : public QObject
{
    Q_OBJECT

    BootLoader sim;
    QProcess program;
    QString window;
    QPoint at;                       // the window's client area on the screen
    std::unique_ptr<Form1> geometry; // where the design puts each control
    QElapsedTimer clock;
    qint64 firstBoxAt = -1; // on `clock`

    // A real click on the middle of the control the design names.
    void click(const char* name)
    {
        const QWidget* w = geometry->findChild<QWidget*>(name);
        const QPoint p = at + w->mapTo(geometry.get(), w->rect().center());
        // From outside the window, so the program sees the pointer come to the control.
        xdo({"mousemove", "0", "0", "sleep", "0.1", "mousemove", QString::number(p.x()),
             QString::number(p.y()), "sleep", "0.2", "click", "1"});
    }
    QRect areaOf(const char* name) const
    {
        const QWidget* w = geometry->findChild<QWidget*>(name);
        return {w->mapTo(geometry.get(), QPoint()), w->size()};
    }
    // Return on the box until it is gone: a key can reach Wine before the box has the focus.
    void close(const QString& box)
    {
        for (int attempt = 0; attempt < 20 && windows().contains(box); ++attempt) {
            xdo({"windowfocus", "--sync", box});
            xdo({"key", "Return"});
            waitFor([] { return false; }, 250);
        }
        QVERIFY2(!windows().contains(box), "a message box stays open");
    }
    // Waits up to `ms` for message boxes and closes each with Return, as a user would;
    // returns the title of each, and the text read from it in `texts`.
    QStringList boxes(int ms, int atLeast, QStringList* texts = nullptr)
    {
        QStringList seen;
        QSet<QString> known;
        for (QDeadlineTimer end(ms); !end.hasExpired() && seen.size() < atLeast + 1;) {
            waitFor([] { return false; }, 200); // the simulator answers meanwhile
            const auto now = windows();
            for (auto it = now.begin(); it != now.end(); ++it) {
                if (it.key() == window || known.contains(it.key()))
                    continue;
                known.insert(it.key());
                if (seen.isEmpty())
                    firstBoxAt = clock.elapsed();
                seen << it.value();
                if (texts)
                    *texts << readText(it.key());
                close(it.key());
            }
            if (seen.size() >= atLeast) // a second box would come at once: look a little longer
                end = QDeadlineTimer(std::min(end.remainingTime(), qint64(1500)));
        }
        return seen;
    }

private slots:
    void initTestCase()
    {
        const QString installer = qEnvironmentVariable("QX_WIN_INSTALLER");
        const QString link = qEnvironmentVariable("QX_COM5_LINK");
        QVERIFY2(QFile::exists(installer) && !link.isEmpty(), "QX_WIN_INSTALLER, QX_COM5_LINK");
        geometry = std::make_unique<Form1>(
            Form1Setup{.devices = [] { return QList<qx::serial::MapEntry>(); }});

        // Installed silently, as an administrator deploys it: the program, its Start-menu
        // entry and its uninstaller.
        QCOMPARE(QProcess::execute("wine", {installer, "/S"}), 0);
        const QString product = "QX-LP4R Firmware Updater (test payload)";
        const QString drive = qEnvironmentVariable("WINEPREFIX") + "/drive_c/";
        for (const QString& file :
             {"Program Files/" + product + "/qx-lp4r-updater.exe",
              "Program Files/" + product + "/uninstall.exe",
              "ProgramData/Microsoft/Windows/Start Menu/Programs/" + product + ".lnk"})
            QVERIFY2(QFile::exists(drive + file), qPrintable(file));
        const QString exe = "C:\\Program Files\\" + product + "\\qx-lp4r-updater.exe";

        QFile::remove(link);
        QVERIFY(QFile::link(sim.slavePath, link));
        program.start("wine", {exe});
        QVERIFY(waitFor(
            [&] {
                window = xdo({"search", "--onlyvisible", "--name",
                              "^" + QRegularExpression::escape(kTitle) + "$"});
                return !window.isEmpty();
            },
            90000));
        at = origin(window);
        waitFor([] { return false; }, 1000); // drawn

        // The registry lists Wine's own COM1 before COM5: the technician picks COM5.
        click("Combo1");
        xdo({"key", "Down"});
        click("Command4");
        QVERIFY(boxes(1500, 0).isEmpty()); // connected, no complaint
    }

    void getVersionShowsTheDevicesText()
    {
        sim.versionReply = "QX-LP4R-V1.3.7.bin\r\n";
        sim.stream.clear();
        click("Command2");
        QVERIFY(waitFor([&] { return sim.stream == "2"; }, 5000));
        waitFor([] { return false; }, 1000);
        QCOMPARE(readText(window, areaOf("Label1")), QString("QX-LP4R-V1.3.7"));
    }

    void wholeUpdateArrivesByteExact()
    {
        sim.stream.clear();
        clock.start();
        click("Command1");
        QVERIFY(waitFor([&] { return sim.completed == 1; }, 60000));
        qInfo("the whole update took %lld ms under Wine", clock.elapsed());
        QStringList texts;
        QCOMPARE(boxes(10000, 1, &texts), QStringList{"QX-LP4R Firmware Updater"});
        QVERIFY2(texts.first().endsWith("Upgrade Successfully"), qPrintable(texts.first()));
        QVERIFY(sim.stream == wholeStream()); // every byte, in order, nothing more
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
        QCOMPARE(boxes(20000, 1, &texts), QStringList{"Error"});
        QCOMPARE(texts, QStringList{"Plese Check Connection!"});
        QVERIFY2(firstBoxAt >= 9900 && firstBoxAt < 12000, qPrintable(QString::number(firstBoxAt)));
    }

    void cleanupTestCase()
    {
        program.kill();
        program.waitForFinished(5000);
    }
};

QTEST_MAIN(TestWine)
#include "tst_wine.moc"
