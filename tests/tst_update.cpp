// End to end: Update and Get Version through the real window, a pseudo-terminal and the
// simulated boot loader, from the click to the one outcome message.
#include "packageloader.h"
#include "rig.h"
#include "transfer.h"

#include <QElapsedTimer>
#include <QtTest>

using BL = BootLoader;

namespace {

constexpr int N = 372;
const char* kSuccess = "Upgrade Successfully";
const char* kConnError = "Plese Check Connection!";

QByteArray embeddedBytes()
{
    const auto p = qx::package::embeddedPackage();
    return QByteArray(reinterpret_cast<const char*>(p.data()), qsizetype(p.size()));
}

// What must be on the wire for a transfer that starts with the menu byte.
QByteArray expectedStream(bool withMenu = true)
{
    const QByteArray pkg = embeddedBytes();
    QByteArray s = withMenu ? QByteArray("1") : QByteArray();
    s += pkg.mid(4 + 1029 * N, 133);
    s += pkg.mid(2, 1029 * N);
    s += '\x04';
    QByteArray closing(133, '\0');
    closing[0] = 0x01;
    closing[2] = char(0xFF);
    s += closing;
    return s;
}

QString percentLabel(const Rig& rig)
{
    return control<QLabel>(rig.form.get(), "lblPercent")->text();
}
int barValue(const Rig& rig)
{
    return control<QProgressBar>(rig.form.get(), "prgPercent")->value();
}

// After a transfer ended: the connected idle state of Parts 2.3/2.4.
void verifyConnectedIdle(const Rig& rig)
{
    QVERIFY(rig.idle());
    for (const char* b : {"Command1", "Command2", "Command5", "Command6"})
        QVERIFY2(rig.enabled(b), b);
    QVERIFY(!rig.enabled("Frame1"));
    QVERIFY(!rig.enabled("Command4"));
    QVERIFY(!control(rig.form.get(), "lblPercent")->isVisible());
    QVERIFY(!control(rig.form.get(), "prgPercent")->isVisible());
    QVERIFY(rig.form->comm().portOpen());
}

void verifyDisconnected(const Rig& rig)
{
    QVERIFY(!rig.form->comm().portOpen());
    QVERIFY(rig.enabled("Command4"));
    QVERIFY(!rig.enabled("Command5"));
    QVERIFY(!rig.enabled("Command1"));
    QVERIFY(!rig.enabled("Command2"));
    QVERIFY(rig.enabled("Frame1"));
}

} // namespace

class TestUpdate : public QObject
{
    Q_OBJECT

private slots:
    void fullTransferOfTheEmbeddedPackage()
    {
        Rig rig;
        QVERIFY(rig.connectPort());
        QHash<int, QString> labels;
        rig.sim.onItem = [&](int item) { labels[item] = percentLabel(rig); };

        QVERIFY(rig.update());
        QCOMPARE(rig.boxes.texts(), QStringList{kSuccess});
        QCOMPARE(rig.boxes.seen()[0].icon, QMessageBox::Information);
        QCOMPARE(rig.sim.problems(), QStringList());
        QCOMPARE(rig.sim.completedTransfers(), 1);
        QCOMPARE(rig.sim.stream(), expectedStream());
        const QByteArray pkg = embeddedBytes();
        QByteArray payload;
        for (int k = 0; k < N; ++k)
            payload += pkg.mid(2 + 1029 * k + 3, 1024);
        QCOMPARE(rig.sim.firmware(), payload);

        QCOMPARE(labels[0], QString("Completion percentage:  0%"));
        QCOMPARE(labels[1], QString("Completion percentage0%"));       // after the first advance
        QCOMPARE(labels[N + 3], QString("Completion percentage100%")); // after EOT's ACK
        QCOMPARE(barValue(rig), N + 3);
        verifyConnectedIdle(rig);
        QVERIFY(!rig.form->deviceWaiting);

        // and at once a second one
        rig.sim.clearStream();
        QVERIFY(rig.update());
        QCOMPARE(rig.boxes.texts(), (QStringList{kSuccess, kSuccess}));
        QCOMPARE(rig.sim.stream(), expectedStream());
        QCOMPARE(rig.sim.completedTransfers(), 2);
        verifyConnectedIdle(rig);
    }

    void deviceAlreadyAskingSkipsTheMenuByte()
    {
        Rig rig;
        QVERIFY(rig.connectPort());
        QVERIFY(rig.update()); // leaves the receive threshold at 1, so idle events come
        rig.sim.startAsking(20);
        QTRY_VERIFY(rig.form->deviceWaiting);
        // A 'C' that crosses the header on the line would be taken as its reply (only the
        // first byte counts), so the test lets the loader fall quiet first.
        rig.sim.stopAsking();
        QTest::qWait(50);
        rig.sim.clearStream();
        QVERIFY(rig.update());
        QCOMPARE(rig.boxes.texts().last(), QString(kSuccess));
        QCOMPARE(rig.sim.stream(), expectedStream(false));
        QCOMPARE(barValue(rig), N + 2); // 374 of 375
        QVERIFY(!rig.form->deviceWaiting);
    }

    void idleTextEndingInCSetsAndClearsTheFlag()
    {
        Rig rig;
        QVERIFY(rig.connectPort());
        rig.sim.writeRaw("C"); // after the first Connect: no event at all
        QTest::qWait(100);
        QVERIFY(!rig.form->deviceWaiting);
        QVERIFY(rig.update());
        rig.sim.writeRaw("xC"); // binary input mode after a transfer
        QTRY_VERIFY(rig.form->deviceWaiting);
        rig.sim.writeRaw("Cx");
        QTRY_VERIFY(!rig.form->deviceWaiting);
    }

    void silenceAfterTheMenuByte()
    {
        Rig rig;
        QVERIFY(rig.connectPort());
        rig.sim.setFault(0, {BL::Action::Silence});
        QElapsedTimer clock;
        clock.start();
        QVERIFY(rig.update(10000));
        QVERIFY2(clock.elapsed() >= 3900, qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(rig.boxes.texts(), QStringList{kConnError});
        QCOMPARE(rig.boxes.seen()[0].title, QString("Error"));
        QCOMPARE(rig.boxes.seen()[0].icon, QMessageBox::NoIcon);
        verifyConnectedIdle(rig);
    }

    void silenceLaterHitsTheReplyLimit()
    {
        Rig rig;
        QVERIFY(rig.connectPort());
        rig.sim.setFault(7, {BL::Action::Silence});
        QElapsedTimer clock;
        clock.start();
        QVERIFY(rig.update(20000));
        QVERIFY2(clock.elapsed() >= 9900, qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(rig.boxes.texts(), QStringList{kConnError});
        QCOMPARE(rig.sim.packetsAcked(), 6);
        verifyConnectedIdle(rig);
    }

    void wrongRepliesEndTheTransferAtOnce_data()
    {
        QTest::addColumn<int>("item");
        QTest::addColumn<int>("action");
        QTest::newRow("NAK on data") << 100 << int(BL::Action::Nak);
        QTest::newRow("garbage on data") << 40 << int(BL::Action::Garbage);
        QTest::newRow("CAN on header") << 1 << int(BL::Action::Can);
        QTest::newRow("garbage for the menu") << 0 << int(BL::Action::Garbage);
        QTest::newRow("C before ACK") << 3 << int(BL::Action::ExtraC);
    }

    void wrongRepliesEndTheTransferAtOnce()
    {
        QFETCH(int, item);
        QFETCH(int, action);
        Rig rig;
        QVERIFY(rig.connectPort());
        rig.sim.setFault(item, {BL::Action(action)});
        QElapsedTimer clock;
        clock.start();
        QVERIFY(rig.update());
        QVERIFY2(clock.elapsed() < 3000, qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(rig.boxes.texts(), QStringList{kConnError});
        QCOMPARE(rig.sim.completedTransfers(), 0);
        verifyConnectedIdle(rig);
        // nothing was retransmitted: the stream ends with the item that was refused
        QVERIFY(rig.sim.stream().size() < expectedStream().size());
    }

    void harmlessVariationsStillSucceed_data()
    {
        QTest::addColumn<int>("item");
        QTest::addColumn<int>("action");
        QTest::newRow("header ACK and C split") << 1 << int(BL::Action::Split);
        QTest::newRow("EOT ACK and C split") << N + 2 << int(BL::Action::Split);
        QTest::newRow("chatter after ACK") << 50 << int(BL::Action::Chatter);
        QTest::newRow("noise before the C") << 0 << int(BL::Action::ExtraC);
        QTest::newRow("slow data ACK") << 20 << int(BL::Action::Delay);
    }

    void harmlessVariationsStillSucceed()
    {
        QFETCH(int, item);
        QFETCH(int, action);
        Rig rig;
        QVERIFY(rig.connectPort());
        rig.sim.setFault(item, {BL::Action(action), 300});
        QVERIFY(rig.update());
        QCOMPARE(rig.boxes.texts(), QStringList{kSuccess});
        QCOMPARE(rig.sim.completedTransfers(), 1);
    }

    void wrongReplyToTheClosingHeaderIsIgnoredUntilAnAck()
    {
        Rig rig;
        QVERIFY(rig.connectPort());
        rig.sim.setFault(N + 3, {BL::Action::Nak});
        rig.click("Command1");
        QVERIFY(waitFor([&] { return rig.sim.stream().size() == expectedStream().size(); }));
        QTest::qWait(300);
        QCOMPARE(rig.boxes.count(), 0);
        QCOMPARE(int(rig.form->commMode), 1);
        QVERIFY(!rig.enabled("Command1"));
        rig.sim.writeRaw("\x06");
        QTRY_COMPARE(rig.boxes.count(), 1);
        QTRY_VERIFY(rig.idle());
        QCOMPARE(rig.boxes.texts(), QStringList{kSuccess});
        verifyConnectedIdle(rig);
    }

    void oneOutcomeEvenWhenRepliesKeepComing()
    {
        Rig rig;
        QVERIFY(rig.connectPort());
        rig.boxes.setCloseDelay(300);
        rig.sim.setFault(N + 3, {BL::Action::Custom, 0, 5, QByteArray("\x06\x06")});
        // ACKs arriving while the success box is open are not a second success
        rig.sim.onItem = [&](int item) {
            if (item == N + 3)
                for (int i = 1; i <= 5; ++i)
                    QTimer::singleShot(40 * i, &rig.sim, [&] { rig.sim.writeRaw("\x06"); });
        };
        QVERIFY(rig.update());
        QTest::qWait(400);
        QCOMPARE(rig.boxes.texts(), QStringList{kSuccess});

        // NAKs piling up while the error box is open are not a second error
        rig.sim.onItem = [&](int item) {
            if (item == 5)
                for (int i = 1; i <= 5; ++i)
                    QTimer::singleShot(40 * i, &rig.sim, [&] { rig.sim.writeRaw("\x15"); });
        };
        rig.sim.setFault(5, {BL::Action::Nak});
        QVERIFY(rig.update());
        QTest::qWait(400);
        QCOMPARE(rig.boxes.texts(), (QStringList{kSuccess, kConnError}));
        verifyConnectedIdle(rig);
    }

    void hangUpMidTransfer()
    {
        Rig rig;
        QVERIFY(rig.connectPort());
        rig.sim.setFault(200, {BL::Action::HangUp});
        QVERIFY(rig.update());
        QTest::qWait(200);
        QCOMPARE(rig.boxes.texts(), QStringList{kConnError});
        verifyDisconnected(rig);
        QVERIFY(rig.enabled("Command6"));
        QVERIFY(!control(rig.form.get(), "prgPercent")->isVisible());
    }

    void updateWithoutAPackageSendsNothing()
    {
        QByteArray truncated = embeddedBytes().left(50000);
        Form1Setup setup;
        setup.package = {reinterpret_cast<const std::uint8_t*>(truncated.constData()),
                         std::size_t(truncated.size())};
        Rig rig(N, setup);
        QCOMPARE(rig.form->package.packetCount, std::int16_t(0));
        QVERIFY(rig.connectPort());
        rig.click("Command1");
        QTRY_COMPARE(rig.boxes.count(), 1);
        QVERIFY2(rig.boxes.texts()[0].contains("not loaded"), qPrintable(rig.boxes.texts()[0]));
        QCOMPARE(rig.boxes.seen()[0].icon, QMessageBox::Warning);
        QTest::qWait(100);
        QCOMPARE(rig.sim.stream(), QByteArray());
        QVERIFY(rig.enabled("Command1"));
    }

    void closingTheWindowMidTransfer()
    {
        Rig rig;
        QVERIFY(rig.connectPort());
        rig.click("Command1");
        QVERIFY(waitFor([&] { return rig.sim.packetsAcked() > 20; }));
        QVERIFY(rig.form->close());
        rig.form.reset();
        const auto sent = rig.sim.stream().size();
        QTest::qWait(200);
        QCOMPARE(rig.sim.stream().size(), sent);
        QCOMPARE(rig.boxes.count(), 0);
    }

    // ---- version query

    void versionQuery_data()
    {
        QTest::addColumn<QList<QByteArray>>("chunks");
        QTest::addColumn<QString>("caption");
        QTest::newRow("one piece")
            << QList<QByteArray>{"QX-LP4R-V1.3.7.bin\r\n"} << "QX-LP4R-V1.3.7";
        QTest::newRow(".bin split over reads")
            << QList<QByteArray>{"QX-LP4R-V1.3.7.b", "in\r\n"} << "QX-LP4R-V1.3.7";
        QTest::newRow("starts with .bin") << QList<QByteArray>{".bin\r\n"} << "";
        QTest::newRow(".BIN not recognised") << QList<QByteArray>{"QX-LP4R.BIN"} << "QX-LP4R.BIN";
        QTest::newRow("text before the name")
            << QList<QByteArray>{"ver=", "QX.bin", " tail.bin"} << "ver=QX";
    }

    void versionQuery()
    {
        QFETCH(QList<QByteArray>, chunks);
        QFETCH(QString, caption);
        Rig rig;
        rig.sim.setVersionReply(chunks, 30);
        QVERIFY(rig.connectPort());
        rig.click("Command2");
        QTRY_COMPARE(rig.form->versionReplyCount, qint16(chunks.size()));
        QCOMPARE(control<QLabel>(rig.form.get(), "Label1")->text(), caption);
        QCOMPARE(control<QLineEdit>(rig.form.get(), "Text1")->text(), QString("2"));
        QCOMPARE(rig.sim.stream(), QByteArray("2"));
        QCOMPARE(rig.boxes.count(), 0);
        QVERIFY(rig.enabled("Command1"));
    }

    void secondQueryClearsTheFirst()
    {
        Rig rig;
        rig.sim.setVersionReply({"first"});
        QVERIFY(rig.connectPort());
        rig.click("Command2");
        QTRY_COMPARE(control<QLabel>(rig.form.get(), "Label1")->text(), QString("first"));
        rig.sim.setVersionReply({"QX.bin"}, 100);
        rig.click("Command2");
        QCOMPARE(control<QLabel>(rig.form.get(), "Label1")->text(), QString());
        QTRY_COMPARE(control<QLabel>(rig.form.get(), "Label1")->text(), QString("QX"));
        QCOMPARE(rig.form->versionText, QString("QX.bin"));
    }

    void the301stEventEndsTheQuery()
    {
        Rig rig;
        rig.sim.setVersionReply({});
        QVERIFY(rig.connectPort());
        rig.click("Command2");
        for (int i = 1; i <= 300; ++i) {
            rig.sim.writeRaw("x");
            QVERIFY(waitFor([&] { return rig.form->versionReplyCount == i; }, 5000));
        }
        QCOMPARE(rig.form->versionText.size(), 300);
        QCOMPARE(rig.boxes.count(), 0);
        rig.sim.writeRaw("y");
        QTRY_COMPARE(rig.boxes.count(), 1);
        QCOMPARE(rig.boxes.texts(), QStringList{kConnError});
        QTRY_VERIFY(rig.idle());
        QCOMPARE(control<QLabel>(rig.form.get(), "Label1")->text().size(), 300);
        QVERIFY(rig.form->versionText.endsWith('y'));

        // after a finished transfer the same end shows nothing
        QVERIFY(rig.update());
        rig.click("Command2");
        for (int i = 1; i <= 301; ++i) {
            rig.sim.writeRaw("z");
            QVERIFY(waitFor(
                [&] { return rig.form->versionReplyCount == i || rig.form->commMode == 0; }, 5000));
        }
        QTRY_COMPARE(int(rig.form->commMode), 0);
        QTest::qWait(100);
        QCOMPARE(rig.boxes.texts(), (QStringList{kConnError, kSuccess}));
    }

    void hangUpDuringAQuery()
    {
        Rig rig;
        rig.sim.setVersionReply({});
        QVERIFY(rig.connectPort());
        rig.click("Command2");
        QTest::qWait(50);
        rig.sim.hangUp();
        QTRY_COMPARE(rig.boxes.count(), 1);
        QCOMPARE(rig.boxes.texts(), QStringList{kConnError});
        QTRY_VERIFY(rig.idle());
        verifyDisconnected(rig);
    }
};

QTEST_MAIN(TestUpdate)
#include "tst_update.moc"
