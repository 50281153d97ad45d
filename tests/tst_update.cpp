// The real window with the simulated boot loader on a pty: start-up, captions, ports, Connect,
// Update and Get Version end to end from the click to the one outcome, and the fault matrix.
#include "rig.h"
#include "statusbar.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QSerialPort>
#include <QtTest>

#include <fcntl.h>
#include <sys/fsuid.h>
#include <termios.h>

namespace {
QString panel(const QWidget& form, int i)
{
    return form.findChild<StatusBar*>("MSBar")->panelText(i);
}

// Right after the window has handled the next receive event, `bytes` arrive, before any 1 ms
// tick can run; with `judged` they are judged in a second receive event at once.
void afterNextRead(Rig& rig, const QByteArray& bytes, bool judged)
{
    auto& port = const_cast<qx::serial::CommPort&>(rig.form->comm());
    QObject::connect(
        &port, &qx::serial::CommPort::commEvent, &port,
        [&, bytes, judged](int code) {
            rig.sim.write(bytes);
            port.waitForInput(1000);
            if (judged)
                emit port.commEvent(code);
        },
        Qt::SingleShotConnection);
}

constexpr int kShort = 3; // blocks in the matrix's package: no fault depends on the length

const QByteArray kFirmware = QByteArray::fromHex("0123456789abcdef").repeated(kShort * 128 - 12);
const auto kPackage = qx::package::buildPackage(
    "QX-LP4R-V1.3.7.bin", std::to_string(kFirmware.size()),
    {reinterpret_cast<const std::uint8_t*>(kFirmware.data()), std::size_t(kFirmware.size())});

using How = BootLoader::How;
struct Column
{
    const char* name;
    QByteArray bytes;
    bool thenProper; // the proper reply follows `bytes`
    How how;
} const kColumns[] = {
    {"silence", "", false, How::Write},     {"NAK", "\x15", false, How::Write},
    {"CAN", "\x18\x18", false, How::Write}, {"garbage", "Z", false, How::Write},
    {"split", "", true, How::Split},        {"extra C", "CC", true, How::Write},
    {"hang-up", "", false, How::HangUp},    {"unplugged", "", false, How::Unplug},
};

// One letter a column: S success; E the connection error at once; L the connection error
// when the reply limit runs out (a lone byte where two are awaited raises no event);
// W nothing until an ACK comes, then success; G the connection error and the port closed;
// V no message, Label1 shows what came.
struct Row
{
    const char* name;
    int item;
    QByteArray proper;
    const char* outcomes;
} const kRows[] = {
    {"menu", 0, "C", "LEEESSGG"},
    {"header", 1, "\x06\x43", "LLELSEGG"},
    {"first data", 2, "\x06", "LEEESEGG"},
    {"middle data", 3, "\x06", "LEEESEGG"},
    {"last data", kShort + 1, "\x06", "LEEESEGG"},
    {"EOT", kShort + 2, "\x06\x43", "LLELSEGG"},
    {"closing header", kShort + 3, "\x06", "LWWWSWGG"},
    {"version", BootLoader::kVersion, "QX\xC9-V1.3.7.bin\r\n", "VVVVVVGG"}, // read as Latin-1
};

} // namespace

class TestUpdate : public QObject
{
    Q_OBJECT

private slots:
    void startUpWithoutPorts()
    {
        Rig rig({}, QStringList{});
        Form1& form = *rig.form;
        // the captions are set; everything else keeps its design-time state
        QCOMPARE(form.windowTitle(), QString("Firmware Update - QX-LP4R-V1.3.7"));
        auto* combo = form.findChild<QComboBox*>("Combo1");
        QCOMPARE(combo->count(), 0);
        QCOMPARE(combo->currentText(), QString("Combo1"));
        QCOMPARE(panel(form, 1) + "|" + panel(form, 4), QString("Date|Version"));
        QCOMPARE(form.findChild<QLabel*>("lblPercent")->text(),
                 QString("Completion Percentage:  100%"));
        auto* bar = form.findChild<QProgressBar*>("prgPercent");
        QCOMPARE(QPair(bar->value(), bar->maximum()), QPair(0, 255));
        QCOMPARE(state(form), QString("closed 1111111 progress"));
        // the design's fonts resolve to installed faces that can show the Chinese texts
        QVERIFY(QFontMetrics(form.findChild<QLabel*>("Label1")->font()).inFont(QChar(0x5347)));
        // the clock runs all the same, and the date shows by itself
        QCOMPARE(panel(form, 3), QString("time"));
        QVERIFY(waitFor([&] { return panel(form, 3).size() == 8; }, 1000)); // hh:mm:ss
        QCOMPARE(panel(form, 2), QLocale().toString(QDate::currentDate(), QLocale::ShortFormat));
        rig.click("Command1");
        QCOMPARE(rig.boxes.seen, QStringList{box("", QMessageBox::Warning,
                                                 "No serial port was found at start-up, so the "
                                                 "firmware was not loaded: plug in the cable, then "
                                                 "restart the updater.")});
        // the captions in either language: 1 is Chinese, any other value English
        const QString english = "Firmware Update - QX-LP4R-V1.3.7|COMM|Update|Get Version|"
                                "Version Information|Please click  Get Version |Connect|Disconnect";
        const QString chinese =
            "升级程序|串口|升级|获取版本|版本信息|Please click  Get Version |连接|断开";
        for (auto [language, captions] : {std::pair{0, english}, {1, chinese}, {2, english}}) {
            form.formLoad(quint8(language));
            QString shown = form.windowTitle();
            for (const char* name :
                 {"Frame1", "Command1", "Command2", "Frame2", "Label1", "Command4", "Command5"})
                shown += "|" + form.findChild<QWidget*>(name)
                                   ->property(*name == 'F' ? "title" : "text")
                                   .toString();
            QCOMPARE(shown, captions);
        }
    }

    void portSelection()
    {
        // the USB adapter is listed, and selected, before the built-in ports
        Rig rig({}, QStringList{"/dev/ttyS11", "/dev/ttyUSB31", "/dev/ttyS9"});
        const Form1& form = *rig.form;
        QCOMPARE(form.portList, (QStringList{"COM64", "COM10", "COM12"}));
        QCOMPARE(int(form.portNumber), 64);
        // a port listed but not there
        rig.click("Command4");
        QCOMPARE(rig.boxes.seen,
                 QStringList{box("", QMessageBox::Warning,
                                 "COM64 does not exist: /dev/ttyUSB31 is not there.")});
        QCOMPARE(state(form), kDisconnected);
        auto* combo = rig.w<QComboBox>("Combo1");
        combo->setCurrentIndex(1);
        QCOMPARE(int(form.portNumber), 10);
        QCOMPARE(panel(form, 1), QString("COM10"));
        // typing is not selecting: the list, the port and the panel stay
        combo->clearEditText();
        QTest::keyClicks(combo, "COM7");
        QTest::keyClick(combo, Qt::Key_Return);
        QCOMPARE(combo->count(), 3);
        QCOMPARE(int(form.portNumber), 10);
        QCOMPARE(panel(form, 1), QString("COM10"));
    }

    void startUpThenConnectAndDisconnect()
    {
        Rig rig;
        const Form1& form = *rig.form;
        QCOMPARE(form.portList, QStringList{"COM97"});
        QCOMPARE(rig.w<QComboBox>("Combo1")->itemData(0, Qt::ToolTipRole).toString(),
                 "COM97: " + rig.sim.slavePath + ", pseudo-terminal, test");
        QCOMPARE(int(form.portNumber), 97);
        QCOMPARE(panel(form, 1) + "|" + panel(form, 4), QString("COM97|V1.3.7"));
        QVERIFY(rig.w("lblPercent")->isHidden());
        QCOMPARE(rig.w<QProgressBar>("prgPercent")->maximum(), 375); // the package is loaded
        QCOMPARE(state(form), kDisconnected);
        QVERIFY(rig.connectPort());
        QCOMPARE(state(*rig.form), kConnected);
        QCOMPARE(rig.form->comm().rThreshold(), 0); // no receive event until a query or send
        // low latency is asked for; a pty has no such mode, and works all the same
        QCOMPARE(rig.form->comm().lowLatency(), qx::serial::LowLatency::Refused);
        termios tio{};
        const int fd = ::open(rig.sim.slavePath.toLocal8Bit(), O_RDWR | O_NOCTTY);
        QCOMPARE(::tcgetattr(fd, &tio), 0);
        ::close(fd);
        QCOMPARE(::cfgetospeed(&tio), speed_t(B57600));
        QCOMPARE(tio.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS), tcflag_t(CS8));
        QVERIFY(!(tio.c_iflag & (IXON | IXOFF)));
        rig.click("Command5");
        QCOMPARE(state(*rig.form), kDisconnected);
        QVERIFY(rig.connectPort()); // the same port again
        rig.sim.hangUp(); // while idle: the window shows the port closed, and says nothing
        QVERIFY(waitFor([&] { return !rig.form->comm().portOpen(); }, 2000));
        QCOMPARE(state(*rig.form), kDisconnected);
        waitFor([] { return false; }, 100);
        QVERIFY(rig.boxes.seen.isEmpty());
    }

    void connectFailures()
    {
        for (QString how : {"busy", "denied"}) {
            Rig rig;
            const QString port = "COM97 (" + rig.sim.slavePath + ")";
            QString text = port + " is in use by another program.";
            QSerialPort holder(rig.sim.slavePath);
            if (how == "busy") {
                QVERIFY(holder.open(QIODevice::ReadWrite));
            } else if (geteuid() == 0) { // act as nobody; the pty belongs to root, mode 0620
                ::setfsgid(65534);
                ::setfsuid(65534);
                text = "Permission denied on " + port +
                       ": add your user to the dialout group, then log in again.";
            } else {
                QSKIP("needs root to act as an unprivileged user");
            }
            rig.click("Command4");
            ::setfsuid(0);
            ::setfsgid(0);
            QCOMPARE(rig.boxes.seen, QStringList{box("", QMessageBox::Warning, text)});
            QCOMPARE(state(*rig.form), kDisconnected);
            holder.close();
            QVERIFY(rig.connectPort()); // the failed attempt left nothing behind
            QVERIFY(rig.form->close()); // and closing the window closes the port
            QVERIFY(holder.open(QIODevice::ReadWrite));
        }
    }

    // A whole transfer from the menu byte; then a device asking with 'C' while idle (read as
    // bytes after a transfer, as text after a query) makes the next one start at the header.
    void wholeTransfersThenClose()
    {
        Rig rig;
        const auto asks = [&](const char* bytes) {
            rig.sim.write(bytes);
            waitFor([] { return false; }, 50);
            return rig.form->deviceWaiting;
        };
        QVERIFY(rig.connectPort());
        QVERIFY(!asks("C"));      // the first Connect leaves the threshold at 0: no event
        QMap<int, QString> shown; // the percentage as each item reaches the device
        rig.sim.onItem = [&](int item) {
            shown[item] = rig.w<QLabel>("lblPercent")->text();
            if (item == 1) // a stray byte after the header's ACK 'C' is dropped before block 1
                afterNextRead(rig, "\x15", false);
        };
        QVERIFY(rig.update());
        QCOMPARE(rig.sim.stream, wholeStream(true));
        QByteArray payload;
        for (const QByteArray p = package(); payload.size() < 1024 * N;)
            payload += p.mid(5 + payload.size() / 1024 * 1029, 1024);
        QCOMPARE(rig.sim.file, payload);
        QCOMPARE(rig.boxes.texts, QStringList{kSuccess});
        QCOMPARE(shown[0], QString("Completion percentage:  0%"));
        QCOMPARE(shown[1], QString("Completion percentage0%")); // 1 of 375
        QCOMPARE(shown[N + 3], QString("Completion percentage100%"));
        QCOMPARE(rig.w<QProgressBar>("prgPercent")->value(), N + 3);
        QCOMPARE(state(*rig.form), kConnected);
        QVERIFY(asks("xC"));
        QVERIFY(!asks("Cx"));
        rig.click("Command2"); // text input
        rig.click("Command5");
        QVERIFY(rig.connectPort() && !asks("Cx") && asks("C")); // as text: 'C' last
        rig.sim.stream.clear();
        QVERIFY(rig.update());
        QCOMPARE(rig.sim.stream, wholeStream(false));
        QCOMPARE(rig.w<QProgressBar>("prgPercent")->value(), N + 2);
        QVERIFY(!rig.form->deviceWaiting);
        // closing the window mid-transfer ends it without a word, and nothing more is sent
        rig.click("Command1");
        QVERIFY(waitFor([&] { return rig.sim.blocks > 20; }));
        QVERIFY(rig.form->close());
        const auto sent = rig.sim.stream.size();
        waitFor([] { return false; }, 200);
        QCOMPARE(rig.sim.stream.size(), sent);
        QCOMPARE(rig.boxes.texts, (QStringList{kSuccess, kSuccess}));
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
                    afterNextRead(rig, "\x06", true);
                for (int i = 1; i <= 5; ++i)
                    QTimer::singleShot(40 * i, &rig.sim, [&, reply] { rig.sim.write(reply); });
            };
            rig.sim.stream.clear();
            QVERIFY(rig.update());
        }
        waitFor([] { return false; }, 300);
        QCOMPARE(rig.sim.stream.size(), 1 + 133 + 5 * 1029); // nothing after block 5
        QCOMPARE(rig.boxes.texts, (QStringList{kSuccess, kError}));
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
            QCOMPARE(rig.w<QLabel>("Label1")->text(), QString()); // the last reply is gone
            for (int i = 1; i <= 300; ++i) {
                rig.sim.write("x");
                QVERIFY(waitFor([&] { return rig.form->versionReplyCount == i; }, 5000));
            }
            if (outcome == kError)
                afterNextRead(rig, "C", true); // not taken as the device asking
            rig.sim.write("y");
            QVERIFY(waitFor([&] { return rig.form->commMode == 0 && rig.idle(); }, 5000));
            waitFor([] { return false; }, 50);
            QCOMPARE(rig.boxes.texts.last(), outcome);
            QVERIFY(rig.form->versionText.endsWith('y') && !rig.form->deviceWaiting);
            QCOMPARE(rig.w<QLabel>("Label1")->text(), QString(300, 'x'));
            if (outcome == kError)
                QVERIFY(rig.update());
        }
        QCOMPARE(rig.boxes.texts, (QStringList{kError, kSuccess}));
    }

    void updateWithoutAPackageSendsNothing()
    {
        Rig rig(qx::package::embeddedPackage().first(50000));
        QCOMPARE(rig.form->package.packetCount, std::int16_t(0));
        QVERIFY(rig.connectPort());
        rig.click("Command1");
        QCOMPARE(rig.boxes.seen, QStringList{box("", QMessageBox::Warning,
                                                 "The built-in firmware package is damaged and "
                                                 "cannot be sent: reinstall the updater.")});
        waitFor([] { return false; }, 100);
        QCOMPARE(rig.sim.stream, QByteArray());
        QCOMPARE(state(*rig.form), kConnected);
    }

    // The fault matrix: each way a device or a cable fails, at each state of a transfer and
    // in the version query. QX_SHARD=k/n runs every n-th cell from the k-th, so that CTest
    // can wait out the reply limits side by side.
    void matrix_data()
    {
        QTest::addColumn<int>("row");
        QTest::addColumn<int>("column");
        if (!qEnvironmentVariableIsSet("QX_SHARD"))
            QSKIP("the fault matrix runs in shards: QX_SHARD=k/n tst_update matrix");
        const QStringList shard = qEnvironmentVariable("QX_SHARD").split('/');
        int dealt[2] = {}; // cells that wait for a reply limit, and the others, dealt out in turn
        for (int r = 0; r < int(std::size(kRows)); ++r)
            for (int c = 0; c < int(std::size(kColumns)); ++c)
                if (dealt[kRows[r].outcomes[c] == 'L']++ % shard.value(1).toInt() ==
                    shard.value(0).toInt())
                    QTest::addRow("%s / %s", kRows[r].name, kColumns[c].name) << r << c;
    }

    void matrix()
    {
        QFETCH(int, row);
        QFETCH(int, column);
        const Row& r = kRows[row];
        const Column& c = kColumns[column];
        const char outcome = r.outcomes[column];
        const QByteArray answer = c.bytes + (c.thenProper ? r.proper : QByteArray());
        Rig rig(kPackage);
        rig.sim.versionReply = r.proper;
        rig.sim.script[r.item] = {answer, c.how};
        QElapsedTimer sinceFault;
        rig.sim.onItem = [&](int item) {
            if (item == r.item)
                sinceFault.start();
        };
        QVERIFY(rig.connectPort());
        rig.click(r.item == BootLoader::kVersion ? "Command2" : "Command1");
        if (outcome == 'W') { // the closing header's wrong reply is ignored
            QVERIFY(waitFor([&] { return sinceFault.isValid(); }));
            waitFor([] { return false; }, 300);
            QVERIFY(rig.boxes.seen.isEmpty());
            QCOMPARE(state(*rig.form), QString("open 0000000 progress"));
            rig.sim.write("\x06");
        }
        const bool ended = waitFor([&] { return !rig.boxes.seen.isEmpty() && rig.idle(); },
                                   outcome == 'V' ? 300 : 15000); // a query has no outcome box
        QVERIFY(ended || outcome == 'V');
        const qint64 ms = sinceFault.elapsed();
        waitFor([] { return false; }, 50); // whatever would come late

        const bool success = outcome == 'S' || outcome == 'W';
        const QString shown = success ? box("", QMessageBox::Information, kSuccess)
                                      : box("Error", QMessageBox::NoIcon, kError);
        QCOMPARE(rig.boxes.seen, outcome == 'V' ? QStringList() : QStringList{shown});
        QCOMPARE(state(*rig.form), outcome == 'G' ? kDisconnected : kConnected);
        if (outcome == 'E')
            QVERIFY2(ms < 1000, qPrintable(QString::number(ms)));
        if (outcome == 'L') {
            const int limit = r.item == 0 ? 4000 : 10000;
            QVERIFY2(ms >= limit - 100 && ms < limit + 1500, qPrintable(QString::number(ms)));
        }
        if (success) {
            QCOMPARE(rig.sim.completed, 1);
            QCOMPARE(rig.sim.file, kFirmware);
        }
        if (outcome == 'V') {
            QCOMPARE(rig.w<QLabel>("Label1")->text(),
                     QString::fromLatin1(answer).section(".bin", 0, 0));
            QCOMPARE(rig.w<QLineEdit>("Text1")->text() + rig.sim.stream, QString("22"));
        }
    }
};

QTEST_MAIN(TestUpdate)
#include "tst_update.moc"
