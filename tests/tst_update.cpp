// End to end through the real window, a pseudo-terminal and the simulated boot loader:
// Update and Get Version, from the click to the one outcome.
#include "packageloader.h"
#include "rig.h"

#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QSerialPort>
#include <QtTest>

namespace {
constexpr int N = 372;
QByteArray package() // read at run time: the resource is registered by then
{
    const auto p = qx::package::embeddedPackage();
    return QByteArray(reinterpret_cast<const char*>(p.data()), qsizetype(p.size()));
}

// What goes on the wire in a whole transfer, composed from the package's layout.
QByteArray wholeStream(bool withMenu)
{
    return (withMenu ? "1" : "") + package().mid(4 + 1029 * N, 133) + package().mid(2, 1029 * N) +
           '\x04' + QByteArray("\x01\x00\xFF", 3) + QByteArray(130, '\0');
}
// Right after the next receive event, `bytes` arrive and are judged in a second receive event,
// before the watchdog's 1 ms tick can run.
void secondRead(Rig& rig, const QByteArray& bytes)
{
    auto& port = const_cast<qx::serial::CommPort&>(rig.form->comm());
    auto once = std::make_shared<QMetaObject::Connection>();
    *once = QObject::connect(&port, &qx::serial::CommPort::commEvent, [&, bytes, once](int code) {
        QObject::disconnect(*once);
        rig.sim.write(bytes);
        const_cast<QSerialPort&>(port.device()).waitForReadyRead(1000);
        emit port.commEvent(code);
    });
}
} // namespace

class TestUpdate : public QObject
{
    Q_OBJECT

private slots:
    void wholeTransferTwice()
    {
        Rig rig;
        QVERIFY(rig.connectPort());
        QMap<int, QString> shown; // the percentage as each item reaches the device
        rig.sim.onItem = [&](int item) { shown[item] = rig.w<QLabel>("lblPercent")->text(); };
        for (int run = 1; run <= 2; ++run) {
            rig.sim.stream.clear();
            QVERIFY(rig.update());
            QCOMPARE(rig.sim.stream, wholeStream(true));
        }
        QCOMPARE(rig.sim.completed, 2);
        QCOMPARE(rig.sim.problems, QStringList());
        QCOMPARE(rig.sim.fileName, QByteArray("QX-LP4R-V1.3.7.bin"));
        QByteArray payload;
        for (const QByteArray p = package(); payload.size() < 1024 * N;)
            payload += p.mid(5 + payload.size() / 1024 * 1029, 1024);
        QCOMPARE(rig.sim.file, payload);
        QCOMPARE(rig.boxes.texts(), (QStringList{kSuccess, kSuccess}));
        QCOMPARE(rig.boxes.seen[0].icon, QMessageBox::Information);
        QCOMPARE(shown[0], QString("Completion percentage:  0%"));
        QCOMPARE(shown[1], QString("Completion percentage0%")); // 1 of 375
        QCOMPARE(shown[N + 3], QString("Completion percentage100%"));
        QCOMPARE(rig.w<QProgressBar>("prgPercent")->value(), N + 3);
        QCOMPARE(state(*rig.form), kConnected);
        QVERIFY(!rig.form->deviceWaiting);
    }

    void aDeviceAskingFirstGetsTheHeaderFirst()
    {
        Rig rig;
        const auto asks = [&](const char* bytes) {
            rig.sim.write(bytes);
            waitFor([] { return false; }, 50);
            return rig.form->deviceWaiting;
        };
        QVERIFY(rig.connectPort());
        QVERIFY(!asks("C"));   // the first Connect leaves the threshold at 0: no event
        rig.click("Command2"); // threshold 1 and text input from now on
        rig.click("Command5");
        QVERIFY(rig.connectPort());
        QVERIFY(asks("C"));
        QVERIFY(rig.update()); // binary input afterwards
        QVERIFY(asks("xC"));
        QVERIFY(!asks("Cx"));
        QVERIFY(asks("C"));
        rig.sim.stream.clear();
        QVERIFY(rig.update());
        QCOMPARE(rig.sim.stream, wholeStream(false));
        QCOMPARE(rig.boxes.texts().last(), kSuccess);
        QCOMPARE(rig.w<QProgressBar>("prgPercent")->value(), N + 2);
        QVERIFY(!rig.form->deviceWaiting);
    }

    // One outcome, one box: replies read while a box is open, or after a wrong reply but
    // before the watchdog's tick, are not judged, and nothing more is sent.
    void oneOutcomeWhileRepliesKeepComing()
    {
        Rig rig;
        QVERIFY(rig.connectPort());
        rig.boxes.closeAfterMs = 300;
        for (auto [item, reply] : {std::pair{N + 3, "\x06"}, {6, "\x15"}}) { // 6: block 5
            rig.sim.script[item] = {reply};
            rig.sim.onItem = [&, item, reply](int at) {
                if (at != item)
                    return;
                if (item == 6)
                    secondRead(rig, "\x06");
                for (int i = 1; i <= 5; ++i)
                    QTimer::singleShot(40 * i, &rig.sim, [&, reply] { rig.sim.write(reply); });
            };
            rig.sim.stream.clear();
            QVERIFY(rig.update());
        }
        waitFor([] { return false; }, 300);
        QCOMPARE(rig.sim.stream.size(), 1 + 133 + 5 * 1029); // nothing after block 5
        QCOMPARE(rig.boxes.texts(), (QStringList{kSuccess, kError}));
        QCOMPARE(state(*rig.form), kConnected);
    }

    void versionQuery()
    {
        Rig rig;
        rig.sim.versionReply = "QX\xE9-V1.3.7.bin\r\n"; // read as Latin-1
        QVERIFY(rig.connectPort());
        for (const char* reply : {"QX\xE9-V1.3.7", "other"}) {
            rig.click("Command2");
            QCOMPARE(rig.w<QLabel>("Label1")->text(), QString()); // the old reply is gone
            QVERIFY(waitFor([&] { return !rig.w<QLabel>("Label1")->text().isEmpty(); }));
            QCOMPARE(rig.w<QLabel>("Label1")->text(), QString::fromLatin1(reply));
            rig.sim.versionReply = "other";
        }
        QCOMPARE(rig.form->versionText, QString("other"));
        QCOMPARE(rig.w<QLineEdit>("Text1")->text(), QString("2"));
        QCOMPARE(rig.sim.stream, QByteArray("22"));
        QVERIFY(rig.boxes.seen.isEmpty());
        QCOMPARE(state(*rig.form), kConnected);
    }

    void the301stReadEndsTheQuery()
    {
        Rig rig;
        rig.sim.versionReply.clear();
        QVERIFY(rig.connectPort());
        // the connection error; after a transfer that reached its last state, nothing
        for (const QString& outcome : {kError, kSuccess}) {
            rig.click("Command2");
            for (int i = 1; i <= 300; ++i) {
                rig.sim.write("x");
                QVERIFY(waitFor([&] { return rig.form->versionReplyCount == i; }, 5000));
            }
            if (outcome == kError)
                secondRead(rig, "C"); // not taken as the device asking
            rig.sim.write("y");
            QVERIFY(waitFor([&] { return rig.form->commMode == 0 && rig.idle(); }, 5000));
            waitFor([] { return false; }, 50);
            QCOMPARE(rig.boxes.texts().last(), outcome);
            QVERIFY(rig.form->versionText.endsWith('y') && !rig.form->deviceWaiting);
            QCOMPARE(rig.w<QLabel>("Label1")->text(), QString(300, 'x'));
            if (outcome == kError)
                QVERIFY(rig.update());
        }
        QCOMPARE(rig.boxes.texts(), (QStringList{kError, kSuccess}));
    }

    void closingTheWindowMidTransfer()
    {
        Rig rig;
        QVERIFY(rig.connectPort());
        rig.click("Command1");
        QVERIFY(waitFor([&] { return rig.sim.blocks > 20; }));
        QVERIFY(rig.form->close());
        rig.form.reset();
        const auto sent = rig.sim.stream.size();
        waitFor([] { return false; }, 200);
        QCOMPARE(rig.sim.stream.size(), sent);
        QVERIFY(rig.boxes.seen.isEmpty());
    }

    void updateWithoutAPackageSendsNothing()
    {
        Rig rig(qx::package::embeddedPackage().first(50000));
        QCOMPARE(rig.form->package.packetCount, std::int16_t(0));
        QVERIFY(rig.connectPort());
        rig.click("Command1");
        QCOMPARE(rig.boxes.texts(), QStringList{"The built-in firmware package is damaged and "
                                                "cannot be sent: reinstall the updater."});
        QCOMPARE(rig.boxes.seen[0].icon, QMessageBox::Warning);
        waitFor([] { return false; }, 100);
        QCOMPARE(rig.sim.stream, QByteArray());
        QCOMPARE(state(*rig.form), kConnected);
    }
};

QTEST_MAIN(TestUpdate)
#include "tst_update.moc"
