// The real window with the simulated boot loader on a pty: start-up, captions, ports, Connect,
// Update and Get Version end to end from the click to the one outcome, and the fault matrix.
#include "commandline.h"
#include "endrequests.h"
#include "logind.h"
#include "rig.h"
#include "settings.h"
#include "statusbar.h"
#include "versionquery.h"

#include <QAction>
#include <QComboBox>
#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QSerialPort>
#include <QtTest>

#include <csignal>

#include <fcntl.h>
#include <sys/fsuid.h>
#include <sys/stat.h>
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

// Once the window has judged step `state`'s whole reply, `bytes` arrive, before the 1 ms tick
// that sends the next step can run.
void afterJudged(Rig& rig, int state, const QByteArray& bytes)
{
    auto& session = const_cast<qx::transfer::Session&>(rig.form->session());
    auto& port = const_cast<qx::serial::CommPort&>(rig.form->comm());
    auto once = std::make_shared<QMetaObject::Connection>();
    *once = QObject::connect(&session, &qx::transfer::Session::judged, &session,
                             [&, once, state, bytes](int judged, const char*) {
                                 if (judged != state)
                                     return;
                                 QObject::disconnect(*once);
                                 rig.sim.write(bytes);
                                 port.waitForInput(1000);
                             });
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

// One letter a column: S success; E the connection error at once (a lone byte where two are
// awaited too, unless it is the ACK they begin with); L the connection error when the reply
// limit runs out;
// W nothing until an ACK comes, then success; G the connection error and the port closed;
// V no message, Label1 shows what came. The command line ends as the window does, with its
// reason (E a wrong reply, L none in time, G the line lost) naming the step; its query has a
// limit, and succeeds once the reply is whole.
struct Row
{
    const char* name;
    int item;
    QByteArray proper;
    const char* outcomes;
    const char* commandLine = nullptr; // where its outcomes differ from the window's
} const kRows[] = {
    {"menu", 0, "C", "LEEESSGG"},
    {"header", 1, "\x06\x43", "LEEESEGG"},
    {"first data", 2, "\x06", "LEEESEGG"},
    {"middle data", 3, "\x06", "LEEESEGG"},
    {"last data", kShort + 1, "\x06", "LEEESEGG"},
    {"EOT", kShort + 2, "\x06\x43", "LEEESEGG"},
    {"closing header", kShort + 3, "\x06", "LWWWSWGG"},
    {"version", BootLoader::kVersion, "QX\xC9-V1.3.7.bin\r\n", "VVVVVVGG", "LLLLSSGG"}, // Latin-1
};

char outcomeOf(const Row& row, int column, bool commandLine)
{
    return (commandLine && row.commandLine ? row.commandLine : row.outcomes)[column];
}

} // namespace

class TestUpdate : public QObject
{
    Q_OBJECT

    std::unique_ptr<Logind> logind;

private slots:
    void initTestCase() { logind = std::make_unique<Logind>(); }

    void startUpWithoutPorts()
    {
        Rig rig({}, QStringList{});
        Form1& form = *rig.form;
        // the captions are set; everything else keeps its design-time state
        // this build carries the test payload, and its title says so
        const QString mark = " (TEST BUILD: a generated test payload, not device firmware)";
        QCOMPARE(form.windowTitle(), "Firmware Update - QX-LP4R-V1.3.7" + mark);
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
                                                 "No serial port is present yet, so the firmware "
                                                 "is not loaded: plug in the cable.")});
        // the captions in either language: 1 is Chinese, any other value English
        // (Label1 says that there is no port yet)
        const QString english = "Firmware Update - QX-LP4R-V1.3.7" + mark +
                                "|COMM|Update|Get Version|Version Information|No serial port is "
                                "present: plug in the cable.|Connect|Disconnect";
        const QString chinese = "升级程序（测试版本：内含生成的测试数据，不是设备固件）|串口|升级|"
                                "获取版本|版本信息|没有串口：请插上串口线。|连接|断开";
        for (auto [language, captions] : {std::pair{0, english}, {1, chinese}, {2, english}}) {
            form.formLoad(quint8(language));
            QString shown = form.windowTitle();
            for (const char* name :
                 {"Frame1", "Command1", "Command2", "Frame2", "Label1", "Command4", "Command5"}) {
                const auto* w = form.findChild<QWidget*>(name);
                const QString text = w->property(*name == 'F' ? "title" : "text").toString();
                shown += "|" + text;
                // every caption fits its control at the window's fixed size
                QVERIFY2(QFontMetrics(w->font()).horizontalAdvance(text) <= w->width() - 8,
                         qPrintable(QString("%1: %2").arg(name, text)));
            }
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

    // While disconnected the list follows the machine's ports: the first one to appear ends
    // start-up, one that appears is selected, the choice survives while its port is there, the
    // first entry is selected when it goes; while connected nothing changes.
    void portListFollowsTheCable()
    {
        Rig rig({}, QStringList{});
        auto* combo = rig.w<QComboBox>("Combo1");
        const auto shows = [&](const QStringList& ports, const QString& selected) {
            return waitFor(
                [&] {
                    QStringList listed;
                    for (int i = 0; i < combo->count(); ++i)
                        listed << combo->itemText(i);
                    return listed == ports && combo->currentText() == selected &&
                           panel(*rig.form, 1) == selected;
                },
                1000);
        };
        BootLoader a, b, c, d;
        rig.plug(a, 20); // COM53
        QVERIFY(shows({"COM53"}, "COM53"));
        QCOMPARE(rig.w<QLabel>("Label1")->text(), QString("Please click  Get Version "));
        QCOMPARE(state(*rig.form), kDisconnected);
        QCOMPARE(rig.w<QProgressBar>("prgPercent")->maximum(), 375); // the package is loaded
        rig.plug(b, 22);
        QVERIFY(shows({"COM53", "COM55"}, "COM55"));
        rig.plug(c, 21);
        QVERIFY(shows({"COM53", "COM54", "COM55"}, "COM54"));
        rig.plug(d, 23);
        QVERIFY(shows({"COM53", "COM54", "COM55", "COM56"}, "COM56"));
        combo->setCurrentIndex(2);
        rig.unplug(20);
        QVERIFY(shows({"COM54", "COM55", "COM56"}, "COM55"));
        rig.unplug(22);
        QVERIFY(shows({"COM54", "COM56"}, "COM54"));
        QVERIFY(rig.connectPort());
        rig.plug(a, 20);
        QVERIFY(!shows({"COM53", "COM54", "COM56"}, "COM53"));
        rig.click("Command5");
        QVERIFY(shows({"COM53", "COM54", "COM56"}, "COM53"));
        QVERIFY(rig.connectPort() && rig.update());
        QVERIFY(a.completed == 1 && a.stream == wholeStream(true));
        QCOMPARE(rig.boxes.texts, QStringList{kSuccess});
    }

    // An update and a query keep the machine awake from their start to their outcome, and let
    // it sleep afterwards: after success, a wrong reply, the line lost, the window closed.
    void machineKeptAwake()
    {
        Rig rig;
        int heldDuring = -1;
        rig.sim.onItem = [&](int item) {
            if (item == 100 || item == BootLoader::kVersion)
                heldDuring = logind->held();
        };
        const auto released = [&] { return waitFor([&] { return logind->held() == 0; }, 1000); };
        QVERIFY(rig.connectPort());
        for (BootLoader::Answer fault : {BootLoader::Answer{"\x06"}, {"\x15"}, {"", How::Unplug}}) {
            heldDuring = -1;
            rig.sim.script[100] = fault;
            QVERIFY(rig.connectPort() || rig.form->comm().portOpen());
            QVERIFY(rig.update());
            QCOMPARE(heldDuring, 1);
            QVERIFY(released());
        }
        QVERIFY(rig.connectPort());
        rig.click("Command2");
        QVERIFY(waitFor([&] { return heldDuring == 1; }) && released());
        heldDuring = -1;
        rig.sim.onItem = [&](int item) {
            if (item == 100) {
                heldDuring = logind->held();
                rig.form->close();
            }
        };
        rig.click("Command1");
        QVERIFY(waitFor([&] { return heldDuring == 1; }) && released());
        QCOMPARE(logind->asked.first(), QString("sleep:idle|block"));
        QCOMPARE(rig.boxes.texts, (QStringList{kSuccess, kError, kError}));
    }

    void startUpThenConnectAndDisconnect()
    {
        Rig rig;
        const Form1& form = *rig.form;
        QCOMPARE(form.portList, QStringList{"COM97"});
        QCOMPARE(rig.w<QComboBox>("Combo1")->itemData(0, Qt::ToolTipRole).toString(),
                 qx::ui::plainToolTip("COM97: " + rig.sim.slavePath + ", pseudo-terminal, test"));
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
        QCOMPARE(rig.w<QComboBox>("Combo1")->lineEdit()->text(), QString("COM97")); // the field
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
            return rig.form->session().deviceIsWaiting();
        };
        QVERIFY(rig.connectPort());
        QVERIFY(!asks("C"));      // the first Connect leaves the threshold at 0: no event
        QMap<int, QString> shown; // the percentage as each item reaches the device
        rig.sim.onItem = [&](int item) {
            shown[item] = rig.w<QLabel>("lblPercent")->text();
            if (item == 1) // a stray byte after the header's ACK 'C' is dropped before block 1
                afterJudged(rig, 1, "\x15");
        };
        QList<int> recordedAtBox; // the line is on disk before a box waits for its OK
        rig.boxes.onShow = [&] { recordedAtBox << rig.records().size(); };
        QVERIFY(rig.update());
        QCOMPARE(recordedAtBox, QList<int>{1});
        QCOMPARE(rig.sim.stream, wholeStream(true));
        QByteArray payload;
        for (const QByteArray p = package(); payload.size() < 1024 * N;)
            payload += p.mid(5 + payload.size() / 1024 * 1029, 1024);
        QCOMPARE(rig.sim.file, payload);
        QCOMPARE(rig.boxes.texts, QStringList{kSuccess});
        // the record names the firmware by the image's own hash, and the query by its text
        const QStringList updated = rig.records().value(0);
        QCOMPARE(updated.mid(kFirmwareFile, 2), (QStringList{"QX-LP4R-V1.3.7.bin", "380929"}));
        QCOMPARE(updated.value(kSha),
                 QCryptographicHash::hash(payload, QCryptographicHash::Sha256).toHex());
        QCOMPARE(shown[0], QString("Completion percentage:  0%"));
        QCOMPARE(shown[1], QString("Completion percentage0%")); // 1 of 375
        QCOMPARE(shown[N + 3], QString("Completion percentage100%"));
        QCOMPARE(rig.w<QProgressBar>("prgPercent")->value(), N + 3);
        QCOMPARE(state(*rig.form), kConnected);
        QVERIFY(asks("xC"));
        QVERIFY(!asks("Cx"));
        rig.click("Command2"); // text input
        QVERIFY(waitFor([&] { return rig.records().size() == 2; }, 2000));
        QCOMPARE(rig.records()[1].value(kVersion), rig.w<QLabel>("Label1")->text());
        rig.click("Command5");
        QVERIFY(rig.connectPort() && !asks("Cx") && asks("C")); // as text: 'C' last
        rig.sim.stream.clear();
        QVERIFY(rig.update());
        QCOMPARE(rig.sim.stream, wholeStream(false));
        QCOMPARE(rig.w<QProgressBar>("prgPercent")->value(), N + 2);
        QVERIFY(!rig.form->session().deviceIsWaiting());
        // its terminal closed (SIGHUP) mid-transfer, the window closes as its close button does:
        // the update ends without a word, recorded as interrupted, and nothing more is sent
        qx::platform::InterruptWatcher requests;
        qx::ui::endOnRequest(requests, [&] { rig.form->close(); });
        const auto before = rig.sim.stream.size();
        rig.click("Command1");
        QVERIFY(waitFor([&] { return rig.sim.stream.size() > before + 20 * 1029; }));
        ::raise(SIGHUP);
        QVERIFY(waitFor([&] { return !rig.form->isVisible(); }, 3000));
        QVERIFY(!rig.form->comm().portOpen());
        const auto sent = rig.sim.stream.size();
        waitFor([] { return false; }, 200);
        QCOMPARE(rig.sim.stream.size(), sent);
        QCOMPARE(rig.boxes.texts, (QStringList{kSuccess, kSuccess}));
        QVERIFY2(rig.records().last().value(kReason).startsWith("interrupted at data block "),
                 qPrintable(rig.records().last().join(',')));
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
        rig.sim.keepsOldName = true; // silent at "2" after the update too
        QVERIFY(rig.connectPort());
        // the connection error; after a transfer that reached its last state, nothing
        for (const QString& outcome : {kError, kSuccess}) {
            rig.click("Command2");
            QCOMPARE(rig.w<QLabel>("Label1")->text(), QString()); // the last reply is gone
            for (int i = 1; i <= 300; ++i) {
                rig.sim.write("x");
                QVERIFY(waitFor([&] { return rig.form->session().versionReads() == i; }, 5000));
            }
            if (outcome == kError)
                afterNextRead(rig, "C", true); // not taken as the device asking
            rig.sim.write("y");
            QVERIFY(waitFor([&] { return rig.idle(); }, 5000));
            waitFor([] { return false; }, 50);
            QCOMPARE(rig.boxes.texts.last(), outcome);
            // kept, shown and recorded at most to the limit: a device never stops talking
            const QString limit(qx::transfer::kVersionTextLimit, 'x');
            QVERIFY(rig.form->session().versionSoFar() == limit &&
                    !rig.form->session().deviceIsWaiting());
            QCOMPARE(rig.w<QLabel>("Label1")->text(), limit);
            if (outcome == kError)
                QVERIFY(rig.update());
        }
        QCOMPARE(rig.boxes.texts, (QStringList{kError, kSuccess}));
    }

    // The window's one setting keeps a success's trace too, from the next job on: a job keeps
    // the settings it began with. Its Error box saves a job's diagnostics: the record line and
    // the trace, the device's bytes in hex.
    void windowTracesAndDiagnostics()
    {
        Rig rig;
        QVERIFY(rig.connectPort());
        const auto before = rig.boxes.seen.size();
        rig.click("Command1");
        QVERIFY(waitFor([&] { return rig.sim.blocks > 20; }));
        rig.form->findChild<QAction*>("keepTraces")->setChecked(true); // mid-update
        QVERIFY(waitFor([&] { return rig.boxes.seen.size() > before && rig.idle(); }, 30000));
        QCOMPARE(rig.records().value(0).value(kTrace), QString());
        QVERIFY(rig.update());
        const QString kept = rig.records().value(1).value(kTrace);
        QVERIFY2(kept.startsWith("traces/") && QFileInfo::exists(rig.recordDir.filePath(kept)),
                 qPrintable(kept));

        rig.form->findChild<QAction*>("keepTraces")->setChecked(false);
        rig.sim.script[2] = {"\x15Z"};
        rig.boxes.closeAfterMs = -1;
        const QString saved = rig.recordDir.filePath("diagnostics.txt");
        onceShown<QMessageBox>([&](QMessageBox* box) {
            for (QAbstractButton* button : box->buttons())
                if (button->text() == "Save diagnostics...") {
                    saveAs(saved);
                    button->click();
                }
        });
        rig.click("Command1");
        QVERIFY(waitFor([&] { return QFileInfo::exists(saved) && rig.idle(); }));
        QFile file(saved);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray text = file.readAll();
        QVERIFY2(text.contains(",failure,\"reply 15 5A (NAK Z) to data block 1 of 372") &&
                     text.contains(" read 15 5A |.Z|") && text.contains("trace: traces/"),
                 text.left(2000).constData());
    }

    // What a device sends is text and nothing else: escape sequences, a carriage return and
    // markup show as plain text in Label1, and escaped alike on standard output and in the
    // record.
    void deviceTextIsInert()
    {
        const QByteArray hostile = "\x1b]52;c;aGk=\x07\x1b[2K\r<b>V9.9.9</b><!--";
        Rig rig;
        rig.sim.versionReply = hostile + ".bin\r\n";
        QVERIFY(rig.connectPort());
        rig.click("Command2");
        const auto* label = rig.w<QLabel>("Label1");
        QVERIFY(waitFor([&] { return label->text() == QString::fromLatin1(hostile); }, 3000));
        QCOMPARE(label->textFormat(), Qt::PlainText);

        BootLoader sim;
        sim.versionReply = rig.sim.versionReply;
        CommandLineRun run;
        QCOMPARE(run.run({"--query", sim.slavePath}), 0);
        const QString shown = "\\x1b]52;c;aGk=\\x07\\x1b[2K\\x0d<b>V9.9.9</b><!--";
        QCOMPARE(run.out.filter(": version "), QStringList{sim.slavePath + ": version " + shown});
        QCOMPARE(run.records()[0][kVersion], shown); // the record shows it alike
        // as JSON: the text itself, every control character in a JSON escape (a C1 CSI too)
        const QByteArray csi = hostile + "\x9b"
                                         "2J";
        sim.versionReply = csi + ".bin\r\n";
        CommandLineRun json;
        QCOMPARE(json.run({"--query", sim.slavePath, "--json"}), 0);
        const QString outcome = json.out.filter("\"outcome\"").value(0);
        QVERIFY2(!outcome.contains(QChar(0x1b)) && !outcome.contains(QChar(0x9b)) &&
                     outcome.contains("\\u009b"),
                 qPrintable(outcome));
        QCOMPARE(QJsonDocument::fromJson(outcome.toUtf8())["version"].toString(),
                 QString::fromLatin1(csi));
    }

    // --json: one object a line, each with the port and the time, carrying what the text
    // lines carry: start, each 10 %, the outcome with its step and reason, the summary.
    void jsonLines()
    {
        BootLoader sim, silent, current; // current: runs the firmware sent
        sim.versionReply = silent.versionReply = "QX-LP4R-V1.3.6.bin\r\n";
        silent.script[3] = {"\x15"}; // a NAK to data block 2
        CommandLineRun run;
        QCOMPARE(run.run({"--json", "--update", "--skip-current", sim.slavePath, silent.slavePath,
                          current.slavePath}),
                 1);
        QStringList events;
        QList<int> percents;
        QJsonObject failure, found;
        for (const QString& line : run.out) {
            QJsonParseError error;
            const QJsonObject o = QJsonDocument::fromJson(line.toUtf8(), &error).object();
            QVERIFY2(error.error == QJsonParseError::NoError && o["time"].isString() &&
                         o["format"] == 1,
                     qPrintable(line));
            if (o["port"] == sim.slavePath)
                events << o["event"].toString();
            if (o["port"] == sim.slavePath && o["event"] == "progress")
                percents << o["percent"].toInt();
            if (o["result"] == "failure")
                failure = o;
            if (o["result"] == "current")
                found = o;
        }
        QCOMPARE(events.first(), QString("started"));
        QCOMPARE(events.mid(events.size() - 1), QStringList{"outcome"});
        QCOMPARE(percents, (QList<int>{10, 20, 30, 40, 50, 60, 70, 80, 90, 100}));
        QCOMPARE(failure["port"].toString(), silent.slavePath);
        QCOMPARE(failure["step"].toString(), QString("data block 2 of 372"));
        const auto records = run.records();
        QCOMPARE(failure["reason"].toString(), records[records[0][kReason].isEmpty()][kReason]);
        // the failure's trace, as its record line names it; a success keeps none
        QCOMPARE(failure["trace"].toString(), records[records[0][kReason].isEmpty()][kTrace]);
        QVERIFY(failure["trace"].toString().startsWith("traces/") && !found.contains("trace"));
        const QJsonObject summary = QJsonDocument::fromJson(run.out.last().toUtf8()).object();
        QCOMPARE(summary["event"].toString(), QString("summary"));
        QCOMPARE(summary["succeeded"].toInt() * 10 + summary["of"].toInt(), 13);
        QCOMPARE(summary["current"].toInt(), 1);
        QCOMPARE(found["port"].toString() + found["version_before"].toString(),
                 current.slavePath + "QX-LP4R-V1.3.7");
        QCOMPARE(summary["failed"].toArray().first().toString(), silent.slavePath);
        // a query's failure names the version command, not an update's step
        silent.script[BootLoader::kVersion] = {};
        CommandLineRun query;
        QCOMPARE(query.run({"--json", "--query", silent.slavePath}), 1);
        QCOMPARE(QJsonDocument::fromJson(query.out.value(1).toUtf8())["step"].toString(),
                 QString("the version command"));
    }

    // The checks around an update: a current device is left alone, another product's refused
    // unless forced, another version updated and, with --verify, asked again; what each found
    // is in the outcome, the record and the summary. The menu command never meets a reply
    // still arriving.
    void checksAroundAnUpdate()
    {
        const QByteArray v137 = "QX-LP4R-V1.3.7.bin\r\n", v136 = "QX-LP4R-V1.3.6.bin\r\n",
                         other = "QX-LP9-V2.0.0.bin\r\n", v140 = "QX-LP4R-V1.4.0.bin\r\n",
                         v1100 = "QX-LP4R-V1.10.0.bin\r\n";
        struct Row
        {
            QByteArray reply; // to "2"; empty: none
            QString device;   // "keeps": its old name after the update; "split": a byte at a time
            QString options, outcome, before, after;
        };
        const Row rows[] = {
            {v137, "", "--skip-current", "current (QX-LP4R-V1.3.7 already)", "QX-LP4R-V1.3.7", ""},
            {v136, "split", "--skip-current --verify", "success, verified", "QX-LP4R-V1.3.6",
             "QX-LP4R-V1.3.7"},
            {other, "", "--skip-current",
             "failure: the device runs QX-LP9-V2.0.0, another product's firmware", "QX-LP9-V2.0.0",
             ""},
            {other, "", "--skip-current --force", "success", "QX-LP9-V2.0.0", ""},
            {"", "", "--skip-current --verify", "success, verified", "unknown", "QX-LP4R-V1.3.7"},
            {v136, "keeps", "--verify",
             "failure: the device reports QX-LP4R-V1.3.6 after the update", "", "QX-LP4R-V1.3.6"},
            {v136, "keeps", "--skip-current", "success", "QX-LP4R-V1.3.6", ""},
            {v140, "", "--skip-current",
             "failure: the device runs QX-LP4R-V1.4.0, newer than QX-LP4R-V1.3.7", "QX-LP4R-V1.4.0",
             ""},
            {v1100, "", "--skip-current --allow-older", "success", "QX-LP4R-V1.10.0", ""},
            {"", "keeps", "--verify", "success, not verified", "", "unknown"}, // silent after
        };
        for (const Row& row : rows) {
            BootLoader sim;
            sim.versionReply = row.reply;
            sim.keepsOldName = row.device == "keeps";
            if (row.device == "split")
                sim.script[BootLoader::kVersion] = {row.reply, BootLoader::How::Split};
            QByteArray sentAtMenu;
            sim.onItem = [&](int item) { sentAtMenu = item == 0 ? sim.sent : sentAtMenu; };
            CommandLineRun run;
            const QString kind = row.outcome.section(QRegularExpression("[: ,]"), 0, 0);
            QCOMPARE(run.run(QStringList{"--update", sim.slavePath} + row.options.split(' ')),
                     int(kind == "failure"));
            const QStringList record = run.records().value(0);
            QVERIFY2(run.out.contains(sim.slavePath + ": " + row.outcome) &&
                         record.value(kOutcome) == kind && record.value(kBefore) == row.before &&
                         record.value(kAfter) == row.after,
                     qPrintable(run.out.join('|') + " | " + record.join('|')));
            const bool updates = kind != "current" && !row.outcome.contains("another product") &&
                                 !row.outcome.contains("newer");
            QVERIFY(updates ? sim.completed == 1 : sim.stream == "2");
            // the log says "updating" only for a device that is; a silent one waits 5 s, not 60
            QCOMPARE(run.out.filter("updating with").size(), int(updates));
            QCOMPARE(run.out.filter(": asking which firmware it runs").size(),
                     int(row.options.contains("--skip-current")));
            QVERIFY2(record.value(kDuration).toDouble() < 30, qPrintable(record.value(kDuration)));
            QVERIFY(row.device != "split" || sentAtMenu.endsWith(row.reply));
            QVERIFY(!row.options.contains("--skip-current") ||
                    run.out.last().startsWith(QString("summary: %1 updated, %2 current, %3 failed")
                                                  .arg(int(kind == "success"))
                                                  .arg(int(kind == "current"))
                                                  .arg(int(kind == "failure"))));
        }
    }

    // A device that talks while nobody listens (connected, idle) costs a bounded buffer.
    void idleInputIsBounded()
    {
        Rig rig;
        QVERIFY(rig.connectPort());
        for (int i = 0; i < 64; ++i) {
            rig.sim.write(QByteArray(1024, 'x'));
            waitFor([] { return false; }, 2);
        }
        waitFor([] { return false; }, 200);
        QVERIFY2(rig.form->comm().bytesWaiting() == qx::serial::kIdleKeepBytes,
                 qPrintable(QString::number(rig.form->comm().bytesWaiting())));
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

    // The record never holds up an update: unwritable, the update still ends with its box,
    // the problem is told once, and the line is written with the next one; a file at the
    // record's place that is not its own is left as it is, and the record goes beside it.
    void serviceRecordProblems()
    {
        static QStringList told;
        told.clear();
        const auto previous = qInstallMessageHandler(
            [](QtMsgType, const QMessageLogContext&, const QString& message) {
                if (message.contains("service record"))
                    told << message;
            });
        Rig rig(kPackage);
        const QByteArray foreign = "name,age\r\nbob,3\r\n";
        QFile file(rig.recordDir.filePath("service-record.csv"));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(foreign) == foreign.size());
        file.close();
        QVERIFY(rig.connectPort());
        rig.boxes.closeAfterMs = 1500; // a box read slowly is not the update's time
        ::setfsgid(65534);             // the record's folder belongs to root, mode 0700
        ::setfsuid(65534);
        QElapsedTimer clock;
        clock.start();
        const bool both = rig.update() && rig.update();
        const double seconds = clock.elapsed() / 1000.0; // two transfers, two boxes of 1.5 s
        ::setfsuid(0);
        ::setfsgid(0);
        QVERIFY(both);
        QCOMPARE(rig.boxes.texts, (QStringList{kSuccess, kSuccess}));
        QCOMPARE(told.size(), 1);
        QVERIFY2(told[0].contains("kept and written with the next one"), qPrintable(told[0]));
        rig.click("Command2");
        QVERIFY(waitFor([&] { return rig.records("service-record (2).csv").size() == 3; }, 2000));
        qInstallMessageHandler(previous);
        const auto records = rig.records("service-record (2).csv");
        QCOMPARE(QStringList({records[0][kAction], records[1][kAction], records[2][kAction]}),
                 (QStringList{"update", "update", "version query"}));
        const double recorded = records[0][kDuration].toDouble() + records[1][kDuration].toDouble();
        QVERIFY2(recorded < seconds - 2.0, qPrintable(QString::number(recorded)));
        QVERIFY(file.open(QIODevice::ReadOnly) && file.readAll() == foreign);
        QCOMPARE(told.size(), 2);
        QVERIFY2(told[1].contains("is not this program's record, so it is left alone"),
                 qPrintable(told[1]));
    }

    // Four devices at once from the command line, each on its own line with its own limits: one
    // falls silent at data block 100 while the others finish byte for byte.
    void commandLineUpdatesSideBySide()
    {
        std::array<BootLoader, 4> sims;
        QStringList ports;
        for (const BootLoader& sim : sims)
            ports << sim.slavePath;
        sims[2].script[101] = {};
        BootLoader held; // another program has it: it fails at once, and is recorded
        QSerialPort holder(held.slavePath);
        QVERIFY(holder.open(QIODevice::ReadWrite));
        CommandLineRun run;
        QCOMPARE(run.run(QStringList{"--update"} + ports + QStringList{held.slavePath}), 1);
        for (int i = 0; i < 4; ++i) {
            const QStringList mine = run.out.filter(QRegularExpression(
                "^" + QRegularExpression::escape(ports[i]) + ": (\\d+%|success|failure)"));
            if (i != 2) { // 10 % to 100 %, then the verdict
                QCOMPARE(mine.size(), 11);
                QVERIFY(sims[i].stream == wholeStream(true));
            }
        }
        // the silent one's verdict comes last: no other device waited for it
        QCOMPARE(
            run.out.mid(run.out.size() - 2),
            (QStringList{ports[2] + ": failure: no answer to data block 100 of 372 within 10 s",
                         "summary: 3 of 5 succeeded; failed: " + held.slavePath + " " + ports[2]}));
        const auto records = run.records();
        QCOMPARE(records.size(), 5);
        QSet<QString> numbers; // devices outside the machine's map: one COM number each
        for (const QStringList& record : records)
            numbers << record[4];
        QCOMPARE(numbers.size(), 5);
        QVERIFY2(records[0][kReason].startsWith("the port could not be started: COM101 (" +
                                                held.slavePath + ") is in use"),
                 qPrintable(records[0][kReason]));
    }

    // A usage error says so on standard error, touches no port and records nothing; a path that
    // is no serial device is one. --list shows the ports.
    void commandLineUsage()
    {
        BootLoader sim;
        const QString p = sim.slavePath;
        termios before{}, after{};
        const int fd = ::open(p.toLocal8Bit(), O_RDWR | O_NOCTTY);
        ::tcgetattr(fd, &before);
        ::cfsetspeed(&before, B9600); // the program would set 57600 if it opened the port
        ::tcsetattr(fd, TCSANOW, &before);
        QTemporaryDir dir;
        const QString file = dir.filePath("file"), fifo = dir.filePath("fifo");
        QFile(file).open(QIODevice::WriteOnly);
        QVERIFY(::mkfifo(QFile::encodeName(fifo), 0600) == 0);
        const QString link = dir.filePath("link"); // one device by two names
        QVERIFY(QFile::link(p, link));
        const std::pair<QStringList, QString> rows[] = {
            {{"--update", "/dev/null"}, "/dev/null is a character device that is not a terminal"},
            {{"--query", p, file}, file + " is a regular file, not a serial port"},
            {{"--update", dir.path()}, dir.path() + " is a directory, not a serial port"},
            {{"--station", p, fifo}, fifo + " is a FIFO, not a serial port"},
            {{"--station", "/dev/null"}, "/dev/null is a character device"},
            {{"--station", "ttyUSB0"}, "ttyUSB0: no such port"},
            {{"--frob"}, "unknown option '--frob'"},
            {{"--update"}, "--update needs at least one port"},
            {{"--update", p, p}, p + " is named twice"},
            {{"--update", p, link}, link + " is named twice"},
            {{"--station", link, p}, p + " is named twice"},
            {{"--station", "COM5", "com5"}, "com5 is named twice"},
            {{"--update", "/dev/tty"}, "/dev/tty is the terminal of whoever runs this program"},
            {{"--query", "/dev/ptmx"}, "/dev/ptmx is the pseudo-terminal multiplexer"},
            {{"--query", p, "COM250"}, "COM250: no such port on this machine"},
            {{"--update", p, "/dev/qx-none"}, "/dev/qx-none: no such port"},
            {{"--update", p, "-x"}, "unknown option '-x'"},
            {{"--update", p, "--query"}, "--update and --query cannot go together"},
            {{"--list", p}, "--list takes no ports"},
            {{"--query", p, "--record-to", "postgresql://u:secret@db/qx"},
             "--record-to: a password does not go in the URL"},
            {{"--deliver-record", "/tmp"},
             "--deliver-record takes a record folder and --record-to"},
            {{"--language", "fr"}, "--language takes zh or en"},
            {{"--query", p, "--record-to"}, "--record-to takes a database's URL"},
            {{"--bench", "--update", p}, "--bench and --update cannot go together"},
            {{"--station", "--start-on-plug"}, "--start-on-plug goes with --bench"},
            {{"--open-record-folder", p}, "--open-record-folder takes no ports"},
            {{"--update", p, "-style", "fusion"}, "-style goes with the window or --bench"},
            {{p}, "'" + p + "': a port goes with --update, --query, --station or --bench"},
            {{"--query", p, "--verify"}, "--verify goes with --update, --station or --bench"},
            {{"--update", p, "--force"}, "--force goes with --skip-current"},
            {{"--update", p, "--allow-older"}, "--allow-older goes with --skip-current"},
            {{"--query", p, "--skip-current"}, "--skip-current goes with --update, --station or"},
            {{"--list", "--skip-current"}, "--skip-current goes with --update, --station or"},
            {{"--skip-current"}, "--skip-current goes with --update, --station or --bench"},
            {{"--update", p, "--language", "zh"}, "--language goes with the window or --bench"},
            {{"--station", "--language", "en"}, "--language goes with the window or --bench"},
            {{"--update", p, "--require-serial"}, "--require-serial: " + p + " has no --serial"},
            {{"--update", p, "--serial-pattern", "[a-"},
             "--serial-pattern is no regular expression: missing terminating ]"},
            {{"--update", p, "--serial", "COM2=SN-2"}, "--serial: COM2 is not one of the ports"},
            {{"--update", p, "--trace", "some"}, "--trace takes failures, all or off"},
            {{"--update", p, "--trace"}, "--trace takes failures, all or off"},
            {{"--trace", "all"}, "--trace goes with --update, --query, --station or --bench"},
            {{"--list", "--trace", "all"}, "--trace goes with --update, --query, --station or"},
            {{"--explain"}, "--explain takes a trace's file"},
            {{"--replay", file, p}, "--replay <FILE> takes no ports"},
            {{"--replay", file, "--explain", file}, "--explain <FILE> and --replay <FILE> cannot"},
            {{"--explain", fifo}, fifo + ": not a regular file"},
        };
        for (const auto& [arguments, problem] : rows) {
            CommandLineRun run;
            QCOMPARE(run.run(arguments), 2);
            QVERIFY2(run.out.isEmpty() && run.err.size() == 1 &&
                         run.err[0].startsWith("qx-lp4r-updater: " + problem),
                     qPrintable(run.err.join('|')));
            QVERIFY(!QFile::exists(run.recordDir.filePath("service-record.csv")));
        }
        waitFor([] { return false; }, 50);
        ::tcgetattr(fd, &after);
        ::close(fd);
        QVERIFY(sim.stream.isEmpty() && ::cfgetospeed(&after) == B9600);

        CommandLineRun list({}, [&] {
            return qx::serial::buildDeviceMap({{p, "pseudo-terminal", "test"}});
        });
        QCOMPARE(list.run({"--list"}), 0);
        QCOMPARE(list.out, QStringList{"COM97: " + p + ", pseudo-terminal, test"});
        CommandLineRun help;
        QCOMPARE(help.run({"--help"}), 0);
        QVERIFY(help.out.first().startsWith("Usage: qx-lp4r-updater [options] [PORT...]\n"));
        QCOMPARE(help.out.first().section('\n', 2, 2), // a test build says so, as --version does
                 "THIS IS A TEST BUILD: it carries a generated test payload, not device firmware.");
        CommandLineRun version;
        QCOMPARE(version.run({"--version"}), 0);
        QVERIFY(version.out.first().endsWith("1.3.7 (test build: a generated test payload, not "
                                             "device firmware)"));
        // a serial given for one port of two is that port's alone
        const auto two =
            qx::ui::parseArguments({"--update", "COM1", "COM2", "--serial", "COM2=SN-22"});
        QCOMPARE(std::get<qx::ui::Arguments>(two).serials,
                 (QHash<QString, QString>{{"COM2", "SN-22"}}));
        // Qt's own options, and their values, are the window's
        const auto window = qx::ui::parseArguments({"-style", "fusion", "-platform", "xcb"});
        QVERIFY(std::get<qx::ui::Arguments>(window).face == qx::ui::Arguments::Face::Window);
    }

    // A station's profile: each fault refused with its file and line, exit 2 and no port
    // touched; a locked one fixes every setting it can hold; the default one is taken unasked.
    void profiles()
    {
        BootLoader sim;
        QTemporaryDir dir;
        const QString p = sim.slavePath, link = dir.filePath("slot-a");
        QVERIFY(QFile::link(p, link));
        const QString head = "; line 3's station\n[station]\nname = Line 3\n";
        const QString slotA = "[slots]\nA1 = " + link + "\n";
        const std::tuple<QString, QStringList, QString> rows[] = {
            {head + "colour = red\n", {}, ":4: unknown key 'colour'"},
            {head + "verify = maybe\n", {}, ":4: verify takes true or false, not 'maybe'"},
            {head + "serial-pattern = [a-\n", {}, ":4: serial-pattern is no regular expression"},
            {head + "record-to = postgresql://u:pw@db/x\n", {}, ":4: record-to: a password"},
            {head + "force = yes\n", {}, ":4: force goes with skip-current"},
            {head + "verify = true\nverify = false\n", {}, ":5: verify is given twice"},
            {"name = x\n", {}, ":1: name comes before [station]"},
            {head + "[ports]\n", {}, ":4: unknown section [ports]"},
            {head + "colour\x1b]0;x\x07 = 1\n", {}, ":4: unknown key 'colour\\x1b]0;x\\x07'"},
            {QString(70000, ';'), {}, ": the profile is larger than 64 KiB"},
            {head + slotA + "A1 = COM9\n", {}, ":6: slot A1 is named twice (line 5 too)"},
            {head + slotA + "A2 = " + p + "\n", {}, ":6: slots A1 and A2 are one device"},
            {head + slotA + "A3 = ttyUSB0\n", {}, ":6: slot A3: 'ttyUSB0' is no port"},
            {head + "firmware = 1.4.0\n",
             {},
             ":4: the profile is for the firmware 1.4.0, but this program "
             "carries QX-LP4R-V1.3.7"},
            {head + "locked = true\n" + slotA, {"--verify"}, "--verify: the profile "},
            {head + "locked = true\n" + slotA, {"--force"}, "--force: the profile "},
            {head + "locked = true\n" + slotA, {"--record-to", "service=x"}, "--record-to: the "},
            {head + "locked = true\n" + slotA, {p}, "'" + p + "': the profile "},
            {head, {"--query", p}, "--profile goes with --update, --station or --bench"},
            {head + "trace = some\n", {}, ":4: trace takes failures, all or off, not 'some'"},
            {head + "locked = true\n" + slotA, {"--trace", "all"}, "--trace: the profile "},
            // no profile at all: empty, only comments, a lock that serves every port
            {"", {}, ":1: no [station] section"},
            {"; nothing here\n", {}, ":1: no [station] section"},
            {head + "locked = true\n[slots]\n", {}, ":5: [slots] names no port"},
            {head + "[slots]\nverify = true\n", {}, ":5: verify is a [station] key, not a slot"},
            {head + "[slots]\n= /dev/ttyUSB0\n", {}, ":5: a slot needs a name"},
            {head + "allow-older = true\n", {}, ":4: allow-older goes with skip-current"},
            // a slot's port that is no serial port, or missing where it must be there now
            {head + "[slots]\nA1 = /dev/null\n", {}, ":5: slot A1: /dev/null is a character"},
            {head + "[slots]\nA1 = /dev/qx-none\n", {"--update"}, ":5: slot A1: /dev/qx-none: no"},
        };
        int row = 0;
        for (const auto& [text, options, problem] : rows) {
            const QString file = dir.filePath(QString("p%1.ini").arg(++row));
            QFile out(file);
            QVERIFY(out.open(QIODevice::WriteOnly) && out.write(text.toUtf8()) >= 0);
            out.close();
            CommandLineRun run;
            const QStringList face = options.contains("--query") || options.contains("--update")
                                         ? QStringList()
                                         : QStringList{"--station"};
            QCOMPARE(run.run(face + options + QStringList{"--profile", file}), 2);
            QVERIFY2(run.err.size() == 1 && run.err[0].contains(problem) &&
                         (problem.startsWith("--profile") || run.err[0].contains(file)),
                     qPrintable(run.err.join('|')));
        }
        for (const QString& missing : {dir.filePath("none.ini"), dir.path()}) { // and unreadable
            CommandLineRun run;
            QCOMPARE(run.run({"--station", "--profile", missing}), 2);
        }
        QVERIFY(sim.stream.isEmpty());

        // a locked profile whose folder this user could change is no lock (as root it holds)
        QTemporaryDir open;
        QFile::setPermissions(open.path(), QFileDevice::Permissions(0x7777));
        const QString unsafe = open.filePath("station.ini");
        QVERIFY(QFile::copy(dir.filePath("p15.ini"), unsafe));
        QProcess nobody;
        nobody.start("setpriv", {"--reuid=nobody", "--regid=nogroup", "--clear-groups", QX_PROGRAM,
                                 "--station", "--profile", unsafe});
        QVERIFY(nobody.waitForFinished(30000));
        QVERIFY2(nobody.exitCode() == 2 &&
                     nobody.readAllStandardError().contains(
                         "a locked profile that this user can change is no lock"),
                 qPrintable(QString::number(nobody.exitCode())));

        // beside a locked default profile an operator's own profile is refused; a second
        // locked one, which only an administrator can change, stands in for it
        QTemporaryDir shared;
        QFile::setPermissions(shared.path(), QFileDevice::Permissions(0x7755));
        const auto adminFile = [&](const QString& name, const QString& text) {
            const QString path = shared.filePath(name);
            QFile out(path);
            [&] { QVERIFY(out.open(QIODevice::WriteOnly) && out.write(text.toUtf8()) > 0); }();
            out.setPermissions(QFileDevice::Permissions(0x6444));
            return path;
        };
        const QString lockedDefault =
            adminFile("station.ini", head + "locked = true\nverify = true\n" + slotA);
        const QString mine = open.filePath("mine.ini"); // the checks off, its own slots
        QFile own(mine);
        QVERIFY(own.open(QIODevice::WriteOnly) && own.write((head + slotA).toUtf8()) > 0);
        own.close();
        const QString product =
            adminFile("other.ini", head + "locked = true\n[slots]\nB1 = /dev/qx-none\n");
        for (const auto& [profile, said] : {std::pair{mine, QString("is locked: only another")},
                                            {product, QString("/dev/qx-none: no such port")}}) {
            QProcess operatorRun;
            QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
            environment.insert("QX_DEFAULT_PROFILE", lockedDefault);
            environment.insert("XDG_STATE_HOME", open.path()); // a record folder nobody can write
            operatorRun.setProcessEnvironment(environment);
            operatorRun.start("setpriv", {"--reuid=nobody", "--regid=nogroup", "--clear-groups",
                                          QX_PROGRAM, "--update", "--profile", profile});
            QVERIFY(operatorRun.waitForFinished(30000));
            const QString err = operatorRun.readAllStandardError();
            QVERIFY2(operatorRun.exitCode() == 2 && err.contains(said), qPrintable(err));
        }

        // --check-profile: what a profile sets and where from, whether this user could change
        // it (the program run as nobody), and a fault in a run's own words
        for (const auto& [profile, could] :
             {std::pair{mine, QString("yes")}, {product, QString("no")}}) {
            QProcess check;
            check.start("setpriv", {"--reuid=nobody", "--regid=nogroup", "--clear-groups",
                                    QX_PROGRAM, "--check-profile", profile});
            QVERIFY(check.waitForFinished(30000));
            const QStringList lines = QString(check.readAllStandardOutput()).split('\n');
            QVERIFY2(check.exitCode() == 0 &&
                         lines.contains("this user could change it: " + could) &&
                         lines.contains("verify = false (default)") &&
                         lines.contains("locked: " + QString(profile == mine ? "no" : "yes")) &&
                         lines.contains(profile == mine ? "slot A1 = " + link
                                                        : QString("slot B1 = /dev/qx-none")),
                     qPrintable(lines.join('|')));
        }
        CommandLineRun checked;
        QCOMPARE(checked.run({"--check-profile", dir.filePath("p1.ini")}), 2);
        QVERIFY2(checked.err.value(0).contains("p1.ini:4: unknown key 'colour'"),
                 qPrintable(checked.err.join('|')));

        // the default profile, taken by a station given none; options add to an unlocked one
        QFile good(dir.filePath("good.ini"));
        QVERIFY(good.open(QIODevice::WriteOnly) && good.write((head + slotA).toUtf8()) > 0);
        good.close();
        const auto taken = qx::ui::parseArguments({"--station", "--verify"}, {}, good.fileName());
        QVERIFY(std::holds_alternative<qx::ui::Arguments>(taken));
        const auto& policy = std::get<qx::ui::Arguments>(taken).policy;
        QCOMPARE(policy.slotOf(link) + policy.profile->name, "A1Line 3");
        QVERIFY(policy.checks.after && !policy.locked());
        // a locked profile's record is its own: QX_RECORD_TO is not read
        for (const char* environment : {"service=line", "postgresql://u:pw@db/line"}) {
            const auto locked =
                qx::ui::parseArguments({"--station"}, environment, dir.filePath("p15.ini"));
            QVERIFY(std::holds_alternative<qx::ui::Arguments>(locked) &&
                    !std::get<qx::ui::Arguments>(locked).policy.recordTo);
        }
        // the example that ships for supervisors reads as it says
        const auto example = qx::ui::parseArguments({"--bench"}, {}, QX_EXAMPLE_PROFILE);
        QVERIFY(std::holds_alternative<qx::ui::Arguments>(example));
        const auto& shipped = std::get<qx::ui::Arguments>(example).policy;
        QVERIFY(shipped.locked() && shipped.checks.before && shipped.requireSerial &&
                shipped.portSlots.size() == 2 && shipped.recordTo);
    }

    // --record-folder: the record goes there, for an account without a home too; a folder that
    // cannot be written, or none at all, is refused before any port is touched.
    void recordFolder()
    {
        BootLoader sim;
        QVERIFY(::chmod(QFile::encodeName(sim.slavePath), 0666) == 0); // for nobody too
        QTemporaryDir dir;
        QFile::setPermissions(dir.path(), QFileDevice::Permissions(0x7777));
        const QString folder = dir.filePath("records");
        const auto run = [&](const QStringList& options, bool home) {
            Program program;
            QProcessEnvironment environment = program.processEnvironment();
            if (!home) { // a service account's: neither a home nor a state folder
                environment.remove("HOME");
                environment.remove("XDG_STATE_HOME");
            }
            program.setProcessEnvironment(environment);
            program.start("setpriv",
                          QStringList{"--reuid=nobody", "--regid=nogroup", "--clear-groups",
                                      QX_PROGRAM, "--update", sim.slavePath} +
                              options);
            [&] { QVERIFY(program.ended(30000)); }();
            return std::pair{program.exitCode(), QString(program.readAllStandardError())};
        };
        const auto [homeless, said] = run({}, false);
        QVERIFY2(homeless == 2 && said.contains("/.local/state/qx-lp4r-updater cannot be"),
                 qPrintable(said));
        for (const QString& unwritable : {QString("/proc/qx-records"), QString("/")}) {
            const auto [status, why] = run({"--record-folder", unwritable}, true);
            QVERIFY2(status == 2 && why.contains("the record folder " + unwritable + " cannot be"),
                     qPrintable(why));
        }
        QVERIFY(sim.stream.isEmpty());
        QCOMPARE(run({"--record-folder", folder}, false).first, 0);
        QCOMPARE(recordsIn(folder + "/service-record.csv").value(0).value(kOutcome), "success");
    }

    void settingsTable_data()
    {
        QTest::addColumn<QString>("name");
        for (const qx::service::Setting& setting : qx::service::settings())
            QTest::newRow(setting.name) << QString::fromLatin1(setting.name);
    }

    // Each setting of the table: set by its option and by its profile key alike, refused beside
    // a locked profile, a bad value said in the same words from both, refused by a command that
    // does not take it, and listed in --help and in the profiles page's key table.
    void settingsTable()
    {
        namespace s = qx::service;
        QFETCH(QString, name);
        const s::Setting& setting = *s::settingNamed(name);
        const auto parse = [](const QStringList& arguments, const QString& profile = {}) {
            return qx::ui::parseArguments(arguments, {}, profile);
        };
        const auto problemOf = [&](const QStringList& arguments, const QString& profile = {}) {
            const auto parsed = parse(arguments, profile);
            return std::holds_alternative<QString>(parsed) ? std::get<QString>(parsed) : QString();
        };
        // a value that is not the default, and one that is no value
        const auto [good, bad] = [&]() -> std::pair<QString, QString> {
            switch (setting.kind) {
            case s::SettingKind::YesNo:
                return {"true", "maybe"};
            case s::SettingKind::Number:
                return {QString::number(setting.most), QString::number(setting.most + 1)};
            case s::SettingKind::Word:
                return {QString::fromLatin1(setting.valueName).section('|', -1), "nonsense"};
            case s::SettingKind::Pattern:
                return {"[A-Z]{4}", "[a-"};
            case s::SettingKind::DatabaseUrl:
                return {"service=x", "postgresql://u:pw@db/x"};
            case s::SettingKind::Folder:
                return {"/srv/qx-records", "records"};
            }
            return {};
        }();
        QVERIFY(good != s::settingText(setting, s::StationPolicy()));
        const bool yesNo = setting.kind == s::SettingKind::YesNo;
        const QStringList needs =
            setting.needs ? QStringList{"--" + QString(setting.needs)} : QStringList();
        const auto option = [&](const QString& value) {
            return QStringList{"--bench", "--" + name} +
                   (yesNo ? QStringList() : QStringList{value});
        };
        QTemporaryDir dir;
        const auto profile = [&](const QString& text) {
            const QString file = dir.filePath(QString("p%1.ini").arg(QDir(dir.path()).count()));
            QFile out(file);
            [&] { QVERIFY(out.open(QIODevice::WriteOnly) && out.write(text.toUtf8()) > 0); }();
            return file;
        };
        const QString needsKey = setting.needs ? QString(setting.needs) + " = true\n" : QString();

        // set by option, and by profile
        const auto byOption = parse(option(good) + needs);
        QVERIFY2(std::holds_alternative<qx::ui::Arguments>(byOption),
                 qPrintable(problemOf(option(good) + needs)));
        QCOMPARE(s::settingText(setting, std::get<qx::ui::Arguments>(byOption).policy), good);
        const QString unlocked = profile("[station]\n" + needsKey + name + " = " + good + "\n");
        const auto byProfile = parse({"--bench"}, unlocked);
        QVERIFY2(std::holds_alternative<qx::ui::Arguments>(byProfile),
                 qPrintable(problemOf({"--bench"}, unlocked)));
        QCOMPARE(s::settingText(setting, std::get<qx::ui::Arguments>(byProfile).policy), good);
        // refused beside a locked profile
        const QString locked = profile("[station]\nlocked = true\n[slots]\nA1 = COM1\n");
        QCOMPARE(problemOf(option(good), locked).startsWith("--" + name + ": the profile "),
                 setting.lockable);
        // a bad value, in the same words from an option and from a profile
        const QString fromProfile =
            problemOf({"--bench"}, profile("[station]\n" + name + " = " + bad + "\n"));
        QVERIFY2(fromProfile.contains(":2: " + name), qPrintable(fromProfile));
        const QString words = fromProfile.section(":2: " + name, 1);
        if (!yesNo)
            QCOMPARE(problemOf(option(bad)), "--" + name + words);
        // one it needs, from each
        if (setting.needs) {
            QCOMPARE(problemOf(option(good)),
                     QString("--%1 goes with --%2").arg(name, setting.needs));
            const QString alone =
                problemOf({"--bench"}, profile("[station]\n" + name + " = " + good + "\n"));
            QVERIFY2(alone.endsWith(QString(":2: %1 goes with %2").arg(name, setting.needs)),
                     qPrintable(alone));
        }
        // a command that does not take it
        if (setting.takers != s::kTakenByEvery) {
            const QStringList other = setting.takers & s::kTakenByQuery
                                          ? QStringList{"--list"}
                                          : QStringList{"--query", "COM1"};
            QCOMPARE(problemOf(other + option(good).mid(1)),
                     "--" + name + " goes with " + s::takersWords(setting.takers));
        }
        // listed in --help, and in the profiles page's key table
        QVERIFY(std::get<qx::ui::Arguments>(parse({"--help"})).helpText.contains("\n  --" + name));
        QFile page(QX_PROFILES_PAGE);
        QVERIFY(page.open(QIODevice::ReadOnly));
        bool listed = false;
        for (const QString& line : QString::fromUtf8(page.readAll()).split('\n'))
            listed = listed ||
                     (line.startsWith("| ") && line.section('|', 1, 1).contains('`' + name + '`'));
        QVERIFY2(listed, "missing from docs/profiles.md's key table");
    }

    // The program itself: --query prints each device's version; Ctrl+C mid-transfer closes
    // every port, reports each device as interrupted and exits 1.
    void programQueriesAndIsInterrupted()
    {
        BootLoader a, b;
        b.versionReply = "QX-LP4R-V1.3.6.bin\r\n";
        Program program;
        // a machine without a system bus still answers, and says once that it may sleep
        QProcessEnvironment noBus = program.processEnvironment();
        noBus.insert("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent");
        program.setProcessEnvironment(noBus);
        program.start(QX_PROGRAM, {"--query", a.slavePath, b.slavePath});
        QVERIFY(program.ended(10000));
        const QStringList queried = program.lines();
        QCOMPARE(program.exitCode(), 0);
        QCOMPARE(QString(program.readAllStandardError()).count("may sleep"), 1);
        QVERIFY(queried.contains(a.slavePath + ": version QX-LP4R-V1.3.7"));
        QVERIFY(queried.contains(b.slavePath + ": version QX-LP4R-V1.3.6"));

        program.start(QX_PROGRAM, {"--update", a.slavePath, b.slavePath});
        QVERIFY(waitFor([&] { return a.blocks > 20 && b.blocks > 20; }));
        ::kill(pid_t(program.processId()), SIGINT);
        QVERIFY(program.ended(3000));
        QCOMPARE(program.exitStatus(), QProcess::NormalExit);
        QCOMPARE(program.exitCode(), 1);
        const QStringList lines = program.lines();
        for (const BootLoader* sim : {&a, &b})
            QVERIFY2(lines.filter(QRegularExpression(
                                      "^" + QRegularExpression::escape(sim->slavePath) +
                                      ": failure: interrupted at data block \\d+ of 372$"))
                             .size() == 1,
                     qPrintable(lines.join('|')));
        const auto sent = a.stream.size() + b.stream.size();
        waitFor([] { return false; }, 200);
        QCOMPARE(a.stream.size() + b.stream.size(), sent);
        // both runs left their lines in the record under $XDG_STATE_HOME
        QStringList recorded;
        for (const QStringList& record : program.records())
            recorded << record[kOutcome] + " " + record[kVersion] + record[kReason].left(14);
        recorded.sort();
        QCOMPARE(recorded, (QStringList{"failure interrupted at", "failure interrupted at",
                                        "success QX-LP4R-V1.3.6", "success QX-LP4R-V1.3.7"}));

        // its reader gone after two lines, the update runs on and is recorded: the status is
        // the program's own (pipefail), with SIGPIPE's default whatever this process ignores
        program.start("bash", {"-c",
                               "set -o pipefail; env --default-signal=PIPE \"$0\" --update "
                               "\"$1\" | head -n 2",
                               QX_PROGRAM, a.slavePath});
        QVERIFY(program.ended(30000));
        QCOMPARE(program.exitCode(), 0);
        QCOMPARE(program.records().size(), 5);
        QCOMPARE(program.records().last()[kOutcome], "success");
    }

    // The fault matrix: each way a device or a cable fails, at each state of a transfer and
    // in the version query. QX_SHARD=k/n runs every n-th cell from the k-th, so that CTest
    // can wait out the reply limits side by side.
    void matrix_data()
    {
        QTest::addColumn<int>("row");
        QTest::addColumn<int>("column");
        QTest::addColumn<bool>("cli");
        if (!qEnvironmentVariableIsSet("QX_SHARD"))
            QSKIP("the fault matrix runs in shards: QX_SHARD=k/n tst_update matrix");
        const QStringList shard = qEnvironmentVariable("QX_SHARD").split('/');
        int dealt[2] = {}; // cells that wait for a reply limit, and the others, dealt out in turn
        for (bool cli : {false, true})
            for (int r = 0; r < int(std::size(kRows)); ++r)
                for (int c = 0; c < int(std::size(kColumns)); ++c)
                    if (dealt[outcomeOf(kRows[r], c, cli) == 'L']++ % shard.value(1).toInt() ==
                        shard.value(0).toInt())
                        QTest::addRow("%s / %s%s", kRows[r].name, kColumns[c].name,
                                      cli ? " / command line" : "")
                            << r << c << cli;
    }

    void matrix()
    {
        QFETCH(int, row);
        QFETCH(int, column);
        QFETCH(bool, cli);
        const Row& r = kRows[row];
        const Column& c = kColumns[column];
        const char outcome = outcomeOf(r, column, cli);
        const bool query = r.item == BootLoader::kVersion;
        const QByteArray answer = c.bytes + (c.thenProper ? r.proper : QByteArray());
        Rig rig(kPackage);
        rig.sim.versionReply = r.proper;
        rig.sim.script[r.item] = {answer, c.how};
        QElapsedTimer sinceFault;
        rig.sim.onItem = [&](int item) {
            if (item == r.item)
                sinceFault.start();
        };
        CommandLineRun commandLine(kPackage);
        const auto ended = [&] {
            return cli ? commandLine.status >= 0 : !rig.boxes.seen.isEmpty() && rig.idle();
        };
        if (cli) {
            QVERIFY(commandLine.start({query ? "--query" : "--update", rig.sim.slavePath}));
        } else {
            QVERIFY(rig.connectPort());
            rig.click(query ? "Command2" : "Command1");
        }
        if (outcome == 'W') { // the closing header's wrong reply is ignored
            QVERIFY(waitFor([&] { return sinceFault.isValid(); }));
            waitFor([] { return false; }, 300);
            QVERIFY(!ended());
            if (!cli)
                QCOMPARE(state(*rig.form), QString("open 0000000 progress"));
            rig.sim.write("\x06");
        }
        QVERIFY(waitFor(ended, outcome == 'V' ? 300 : 15000) || outcome == 'V');
        const qint64 ms = sinceFault.elapsed();
        waitFor([] { return false; }, 50); // whatever would come late

        const bool success = outcome == 'S' || outcome == 'W';
        const int limit = r.item <= 0 ? 4000 : 10000;
        if (outcome == 'E')
            QVERIFY2(ms < 1000, qPrintable(QString::number(ms)));
        if (outcome == 'L')
            QVERIFY2(ms >= limit - 100 && ms < limit + 1500, qPrintable(QString::number(ms)));
        if (success && !query) {
            QCOMPARE(rig.sim.completed, 1);
            QCOMPARE(rig.sim.file, kFirmware);
        }
        const QString caption = QString::fromLatin1(answer).section(".bin", 0, 0);
        // The service record's one line says what the box or the verdict said, and why.
        const auto records = cli ? commandLine.records() : rig.records();
        const bool answered =
            outcome == 'V' && qx::transfer::versionReplyComplete(QString::fromLatin1(answer));
        QCOMPARE(records.size(), outcome == 'V' && !answered ? 0 : 1);
        const QStringList record = records.value(0);
        const QString reason = record.value(kReason);
        const QString cause = outcome == 'E'   ? "reply "
                              : outcome == 'G' ? "the line was lost at "
                                               : QString(" within %1 s").arg(limit / 1000);
        const QString step = QString::fromStdString(qx::transfer::stepName(r.item, kShort));
        if (!records.isEmpty()) {
            QCOMPARE(record.value(kAction), query ? "version query" : "update");
            QCOMPARE(record.value(kOutcome), success || answered ? "success" : "failure");
            QCOMPARE(record.value(kVersion), (success && query) || answered ? caption : "");
            if (!success && !answered)
                QVERIFY2(reason.contains(cause) && reason.contains(step), qPrintable(reason));
        }
        if (cli) {
            QCOMPARE(commandLine.status, success ? 0 : 1);
            const QString verdict = commandLine.out.value(commandLine.out.size() - 2);
            const QString port = rig.sim.slavePath + ": ";
            QCOMPARE(verdict, port + (!success ? "failure: " + reason
                                      : query  ? "version " + caption
                                               : "success"));
            return;
        }
        const QString shown = success ? box("", QMessageBox::Information, kSuccess)
                                      : box("Error", QMessageBox::NoIcon, kError);
        QCOMPARE(rig.boxes.seen, outcome == 'V' ? QStringList() : QStringList{shown});
        // the Error box's details are the record's reason; the success box has none
        QCOMPARE(rig.boxes.details, outcome == 'V' ? QStringList() : QStringList{reason});
        QCOMPARE(state(*rig.form), outcome == 'G' ? kDisconnected : kConnected);
        if (outcome == 'V') {
            QCOMPARE(rig.w<QLabel>("Label1")->text(), caption);
            QCOMPARE(rig.w<QLineEdit>("Text1")->text() + rig.sim.stream, QString("22"));
        }
    }
};

QTEST_MAIN(TestUpdate)
#include "tst_update.moc"
