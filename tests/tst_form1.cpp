// The main window without a device: start-up with and without ports, captions in both
// languages, layout, port selection, the status bar, and Connect and Disconnect on a pty.
#include "rig.h"
#include "statusbar.h"

#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QProgressBar>
#include <QRegularExpression>
#include <QSerialPort>
#include <QtTest>

#include <fcntl.h>
#include <sys/fsuid.h>
#include <termios.h>

namespace {

Form1Setup withDevices(QStringList paths)
{
    Form1Setup setup;
    setup.devices = [paths] {
        QList<qx::serial::SerialDevice> out;
        for (const QString& path : paths)
            out.append({path, "USB-serial", "maker"});
        return out;
    };
    return setup;
}

QString panel(const QWidget& form, int i)
{
    return form.findChild<StatusBar*>("MSBar")->panelText(i);
}

} // namespace

class TestForm1 : public QObject
{
    Q_OBJECT

private slots:
    void startUpWithoutPorts()
    {
        Boxes boxes;
        Form1 form(withDevices({}));
        form.show();
        // the captions are set; everything else keeps its design-time state
        QCOMPARE(form.windowTitle(), QString("Firmware Update - QX-LP4R-V1.3.7"));
        auto* combo = form.findChild<QComboBox*>("Combo1");
        QVERIFY(combo->isEditable() && combo->count() == 0);
        QCOMPARE(combo->currentText(), QString("Combo1"));
        QCOMPARE(panel(form, 1) + "|" + panel(form, 4), QString("Date|Version"));
        QCOMPARE(form.findChild<QLabel*>("lblPercent")->text(),
                 QString("Completion Percentage:  100%"));
        auto* bar = form.findChild<QProgressBar*>("prgPercent");
        QCOMPARE(QPair(bar->value(), bar->maximum()), QPair(0, 255));
        QCOMPARE(state(form), QString("closed 1111111 progress"));
        QCOMPARE(form.package.packetCount, std::int16_t(0));
        // the clock runs all the same, and the date shows by itself
        QCOMPARE(panel(form, 3), QString("time"));
        QVERIFY(waitFor([&] { return panel(form, 3) != "time"; }, 1000));
        QVERIFY2(QRegularExpression("^\\d\\d\\D\\d\\d\\D\\d\\d$").match(panel(form, 3)).hasMatch(),
                 qPrintable(panel(form, 3)));
        QCOMPARE(panel(form, 2), QLocale().toString(QDate::currentDate(), QLocale::ShortFormat));
        QVERIFY(boxes.seen.isEmpty());
        QTest::mouseClick(form.findChild<QAbstractButton*>("Command1"), Qt::LeftButton);
        QCOMPARE(boxes.texts(), QStringList{"No serial port was found at start-up, so the firmware "
                                            "was not loaded: plug in the cable, then restart the "
                                            "updater."});
    }

    void startUpWithPorts()
    {
        Pty a, b;
        Form1Setup setup;
        setup.devices = [&] { return QList{b.device(), a.device()}; };
        Form1 form(setup);
        QCOMPARE(form.portList, (QStringList{"COM97", "COM98"}));
        QCOMPARE(form.findChild<QComboBox*>("Combo1")->itemData(0, Qt::ToolTipRole).toString(),
                 "COM97: " + std::min(a.slavePath(), b.slavePath()) + ", pseudo-terminal, test");
        QCOMPARE(int(form.portNumber), 97);
        QCOMPARE(panel(form, 1) + "|" + panel(form, 4), QString("COM97|V1.3.7"));
        QVERIFY(form.findChild<QWidget*>("lblPercent")->isHidden());
        QCOMPARE(form.package.packetCount, std::int16_t(372));
        QCOMPARE(form.findChild<QProgressBar*>("prgPercent")->maximum(), 375);
        QCOMPARE(state(form), kDisconnected);
    }

    void captions()
    {
        const QString english = "Firmware Update - QX-LP4R-V1.3.7|COMM|Update|Get Version|"
                                "Version Information|Please click  Get Version |Connect|Disconnect";
        const QString chinese =
            "升级程序|串口|升级|获取版本|版本信息|Please click  Get Version |连接|断开";
        Form1 form(withDevices({}));
        const auto text = [&](const char* name) {
            auto* w = form.findChild<QWidget*>(name);
            if (auto* frame = qobject_cast<QGroupBox*>(w))
                return frame->title();
            if (auto* label = qobject_cast<QLabel*>(w))
                return label->text();
            return qobject_cast<QAbstractButton*>(w)->text();
        };
        for (auto [language, captions] : {std::pair{0, english}, {1, chinese}, {2, english}}) {
            form.formLoad(quint8(language));
            QString shown = form.windowTitle();
            for (const char* name :
                 {"Frame1", "Command1", "Command2", "Frame2", "Label1", "Command4", "Command5"})
                shown += "|" + text(name);
            QCOMPARE(shown, captions);
        }
    }

    void layout()
    {
        Form1 form(withDevices({}));
        form.show();
        QCOMPARE(form.minimumSize(), QSize(451, 204));
        QCOMPARE(form.maximumSize(), QSize(451, 204));
        QVERIFY(!form.rect().intersects(form.findChild<QWidget*>("Command6")->geometry()));
        QVERIFY(form.findChild<QWidget*>("Command3")->isHidden());
        QVERIFY(form.findChild<QWidget*>("Text1")->isHidden());
        // the design's fonts resolve to installed faces that can show the Chinese texts
        QVERIFY(QFontMetrics(form.findChild<QLabel*>("Label1")->font()).inFont(QChar(0x5347)));
        QStringList order; // what the Tab key visits, from Command6
        QWidget* w = form.findChild<QWidget*>("Command6");
        do {
            if (!w->objectName().isEmpty() && w->isVisible() && (w->focusPolicy() & Qt::TabFocus))
                order << w->objectName();
            w = w->nextInFocusChain();
        } while (w->objectName() != "Command6");
        QCOMPARE(order, (QStringList{"Command6", "Command5", "Command4", "Command2", "Command1",
                                     "Combo1"}));
    }

    void portSelection()
    {
        // the USB adapter is listed, and selected, before the built-in ports
        Form1 form(withDevices({"/dev/ttyS11", "/dev/ttyUSB3", "/dev/ttyS9"}));
        QCOMPARE(form.portList, (QStringList{"COM36", "COM10", "COM12"}));
        QCOMPARE(int(form.portNumber), 36);
        auto* combo = form.findChild<QComboBox*>("Combo1");
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

    void connectAndDisconnect()
    {
        Rig rig;
        QVERIFY(rig.connectPort());
        QCOMPARE(state(*rig.form), kConnected);
        QCOMPARE(rig.form->comm().rThreshold(), 0); // no receive event until a query or send
        // low latency is asked for; a pty has no such mode, and works all the same
        QCOMPARE(rig.form->comm().lowLatency(), qx::serial::CommPort::LowLatency::Refused);
        termios tio{};
        const int fd = ::open(rig.pty.slavePath().toLocal8Bit(), O_RDWR | O_NOCTTY);
        QCOMPARE(::tcgetattr(fd, &tio), 0);
        ::close(fd);
        QCOMPARE(::cfgetospeed(&tio), speed_t(B57600));
        QCOMPARE(tio.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS), tcflag_t(CS8));
        QVERIFY(!(tio.c_iflag & (IXON | IXOFF)));
        rig.click("Command5");
        QCOMPARE(state(*rig.form), kDisconnected);
        QVERIFY(rig.connectPort()); // the same port again
        QVERIFY(rig.boxes.seen.isEmpty());
        QVERIFY(rig.form->close()); // closing the window closes the port
        QSerialPort other(rig.pty.slavePath());
        QVERIFY(other.open(QIODevice::ReadWrite));
    }

    void connectFailures()
    {
        for (QString how : {"missing", "busy", "denied"}) {
            Rig rig;
            const QString port = "COM97 (" + rig.pty.slavePath() + ")";
            QString text = port + " is in use by another program.";
            QSerialPort holder(rig.pty.slavePath());
            if (how == "missing") {
                rig.form = std::make_unique<Form1>(withDevices({"/dev/ttyUSB7"}));
                rig.form->show();
                text = "COM40 does not exist: /dev/ttyUSB7 is not there.";
            } else if (how == "busy") {
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
            QCOMPARE(rig.boxes.texts(), QStringList{text});
            QCOMPARE(rig.boxes.seen[0].icon, QMessageBox::Warning);
            QCOMPARE(rig.boxes.seen[0].title, QString());
            QCOMPARE(state(*rig.form), kDisconnected);
            holder.close();
            QVERIFY(how == "missing" || rig.connectPort()); // the attempt left nothing behind
        }
    }

    void hangUpWhileIdle()
    {
        Rig rig;
        QVERIFY(rig.connectPort());
        rig.sim.hangUp();
        QVERIFY(waitFor([&] { return !rig.form->comm().portOpen(); }, 2000));
        QCOMPARE(state(*rig.form), kDisconnected);
        waitFor([] { return false; }, 100);
        QVERIFY(rig.boxes.seen.isEmpty()); // nothing was running: nothing to report
    }
};

QTEST_MAIN(TestForm1)
#include "tst_form1.moc"
