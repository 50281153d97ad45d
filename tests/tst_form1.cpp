// The main window: design-time state, start-up with and without ports, both languages, the
// status bar, connect and disconnect on a real pseudo-terminal, a hang-up, and closing.
#include "rig.h"
#include "statusbar.h"

#include <QLineEdit>
#include <QRegularExpression>
#include <QSerialPort>
#include <QtTest>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

namespace {

QString panel(const Form1& form, int i)
{
    return control<StatusBar>(&form, "MSBar")->panelText(i);
}

Form1Setup noPorts()
{
    Form1Setup setup;
    setup.devices = [] { return QList<qx::serial::SerialDevice>{}; };
    return setup;
}

Form1Setup fakeDevices(QStringList paths)
{
    Form1Setup setup;
    setup.devices = [paths] {
        QList<qx::serial::SerialDevice> out;
        for (const QString& p : paths)
            out.append({p, "USB-serial", "maker"});
        return out;
    };
    return setup;
}

bool connectedEnabling(const Form1& f)
{
    return !control(&f, "Command4")->isEnabled() && control(&f, "Command5")->isEnabled() &&
           !control(&f, "Frame1")->isEnabled() && !control(&f, "Combo1")->isEnabled() &&
           control(&f, "Command1")->isEnabled() && control(&f, "Command2")->isEnabled();
}

bool disconnectedEnabling(const Form1& f)
{
    return control(&f, "Command4")->isEnabled() && !control(&f, "Command5")->isEnabled() &&
           control(&f, "Frame1")->isEnabled() && control(&f, "Combo1")->isEnabled() &&
           !control(&f, "Command1")->isEnabled() && !control(&f, "Command2")->isEnabled();
}

} // namespace

class TestForm1 : public QObject
{
    Q_OBJECT

private slots:
    void geometryOfEveryControl_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QRect>("rect");
        // twips / 15
        QTest::newRow("Frame1") << "Frame1" << QRect(16, 8, 89, 67);
        QTest::newRow("Combo1") << "Combo1" << QRect(8, 24, 73, 20);
        QTest::newRow("Command4") << "Command4" << QRect(140, 15, 81, 25);
        QTest::newRow("Command5") << "Command5" << QRect(140, 47, 81, 25);
        QTest::newRow("Command1") << "Command1" << QRect(256, 12, 89, 63);
        QTest::newRow("Command2") << "Command2" << QRect(352, 12, 89, 63);
        QTest::newRow("Frame2") << "Frame2" << QRect(4, 84, 448, 57);
        QTest::newRow("Label1") << "Label1" << QRect(8, 16, 425, 33);
        QTest::newRow("Text1") << "Text1" << QRect(16, 92, 41, 18);
        QTest::newRow("lblPercent") << "lblPercent" << QRect(181, 148, 175, 21);
        QTest::newRow("prgPercent") << "prgPercent" << QRect(0, 164, 451, 17);
        QTest::newRow("MSBar") << "MSBar" << QRect(1, 180, 448, 23);
        QTest::newRow("Command3") << "Command3" << QRect(608, 12, 89, 63);
        QTest::newRow("Command6") << "Command6" << QRect(608, 96, 89, 63);
    }

    void geometryOfEveryControl()
    {
        QFETCH(QString, name);
        QFETCH(QRect, rect);
        Form1 form(noPorts());
        QCOMPARE(form.size(), QSize(451, 204));
        QCOMPARE(form.minimumSize(), form.maximumSize());
        auto* w = form.findChild<QWidget*>(name);
        QVERIFY(w);
        QCOMPARE(w->geometry(), rect);
    }

    void designTimeStateWithoutPorts()
    {
        MessageBoxes boxes;
        Form1 form(noPorts());
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        // captions are set, the rest keeps its design
        QCOMPARE(form.windowTitle(), QString("Firmware Update - QX-LP4R-V1.3.7"));
        QCOMPARE(control<QGroupBox>(&form, "Frame1")->title(), QString("COMM"));
        QCOMPARE(control<QLabel>(&form, "Label1")->text(), QString("Please click  Get Version "));
        auto* combo = control<QComboBox>(&form, "Combo1");
        QVERIFY(combo->isEditable());
        QCOMPARE(combo->count(), 0);
        QCOMPARE(combo->currentText(), QString("Combo1"));
        QCOMPARE(panel(form, 1), QString("Date"));
        QCOMPARE(panel(form, 4), QString("Version"));
        auto* label = control<QLabel>(&form, "lblPercent");
        QCOMPARE(label->text(), QString("Completion Percentage:  100%"));
        QVERIFY(label->isVisible());
        auto* bar = control<QProgressBar>(&form, "prgPercent");
        QVERIFY(bar->isVisible());
        QCOMPARE(bar->value(), 0);
        QCOMPARE(bar->maximum(), 255);
        for (const char* b : {"Command1", "Command2", "Command4", "Command5", "Command6"})
            QVERIFY2(control(&form, b)->isEnabled(), b);
        QVERIFY(!control(&form, "Command3")->isVisible());
        QVERIFY(!control(&form, "Text1")->isVisible());
        QVERIFY(!form.rect().intersects(control(&form, "Command6")->geometry()));
        QCOMPARE(form.package.packetCount, std::int16_t(0));
        QVERIFY(form.package.packageData.empty());
        QVERIFY(!form.packageError.isEmpty());
        QCOMPARE(control<QPushButton>(&form, "Command3")->text(),
                 QString::fromUtf8("载入缺省文件"));
        QCOMPARE(control<QPushButton>(&form, "Command6")->text(), QString::fromUtf8("载入文件"));
        QTest::qWait(50);
        QCOMPARE(boxes.count(), 0);
        QVERIFY(!form.Time.interval() || form.Time.interval() == 1);
        QVERIFY(form.Time.isActive());
        QVERIFY(!form.tmrSend.isActive());
        QVERIFY(!form.tmrOvertime.isActive());
    }

    void designColoursAndFonts()
    {
        Form1 form(noPorts());
        auto* label1 = control<QLabel>(&form, "Label1");
        auto* percent = control<QLabel>(&form, "lblPercent");
        label1->ensurePolished();
        percent->ensurePolished();
        QCOMPARE(label1->palette().color(QPalette::WindowText), QColor(255, 0, 0));
        QCOMPARE(percent->palette().color(QPalette::WindowText), QColor(0, 0, 0));
        QCOMPARE(form.palette().color(QPalette::Window), QColor(255, 255, 255));
        QCOMPARE(label1->font().pointSizeF(), 10.5);
        QCOMPARE(percent->font().pointSizeF(), 9.0);
        QVERIFY(label1->alignment() & Qt::AlignHCenter);
        // the Windows faces resolve to installed families that can show the texts
        QVERIFY(QFontInfo(label1->font()).family() != QString());
        QVERIFY(QFontMetrics(label1->font()).inFont(QChar(0x5347))); // 升
        QVERIFY(!form.windowIcon().isNull());
    }

    void tabOrderStartsAtCommand6()
    {
        Form1 form(noPorts());
        QWidget* w = control(&form, "Command6");
        QStringList order;
        for (int i = 0; i < 8; ++i) {
            order.append(w->objectName());
            w = w->nextInFocusChain();
            while (w && w->objectName().isEmpty())
                w = w->nextInFocusChain();
        }
        QCOMPARE(order.mid(0, 3), (QStringList{"Command6", "Command5", "Command4"}));
    }

    void startUpWithPorts()
    {
        Pty a, b;
        Form1Setup setup;
        setup.devices = ptySource({&a, &b});
        Form1 form(setup);
        form.show();
        auto* combo = control<QComboBox>(&form, "Combo1");
        QCOMPARE(combo->count(), 2);
        QCOMPARE(combo->itemText(0), QString("COM97"));
        QCOMPARE(combo->itemText(1), QString("COM98"));
        QVERIFY(combo->itemData(0, Qt::ToolTipRole).toString().startsWith("COM97: /dev/pts/"));
        QCOMPARE(form.portList, (QStringList{"COM97", "COM98"}));
        QCOMPARE(int(form.portNumber), 97);
        QCOMPARE(panel(form, 1), QString("COM97"));
        QCOMPARE(panel(form, 4), QString("V1.3.7"));
        QVERIFY(!control(&form, "lblPercent")->isVisible());
        QVERIFY(!control(&form, "prgPercent")->isVisible());
        QCOMPARE(form.package.packetCount, std::int16_t(372));
        QCOMPARE(control<QProgressBar>(&form, "prgPercent")->maximum(), 375);
        QVERIFY(form.packageError.isEmpty());
        QVERIFY(disconnectedEnabling(form));
        QCOMPARE(form.windowTitle(), QString("Firmware Update - QX-LP4R-V1.3.7"));
        for (auto [name, text] : {std::pair{"Command1", "Update"},
                                  {"Command2", "Get Version"},
                                  {"Command4", "Connect"},
                                  {"Command5", "Disconnect"}})
            QCOMPARE(control<QPushButton>(&form, name)->text(), QString(text));
        QCOMPARE(control<QGroupBox>(&form, "Frame2")->title(), QString("Version Information"));
    }

    void firstListedPortIsSelected()
    {
        // a built-in port listed after the USB adapter: the adapter is selected
        Form1 form(fakeDevices({"/dev/ttyS11", "/dev/ttyUSB3"}));
        QCOMPARE(form.portList, (QStringList{"COM36", "COM12"}));
        QCOMPARE(int(form.portNumber), 36);
        Form1 only(fakeDevices({"/dev/ttyS11"}));
        QCOMPARE(int(only.portNumber), 12);
        QCOMPARE(panel(only, 1), QString("COM12"));
    }

    void portSelection()
    {
        Form1 form(fakeDevices({"/dev/ttyS0", "/dev/ttyS9"}));
        auto* combo = control<QComboBox>(&form, "Combo1");
        combo->setCurrentIndex(1);
        QCOMPARE(int(form.portNumber), 10);
        QCOMPARE(panel(form, 1), QString("COM10"));
        combo->addItem("COM03");
        combo->setCurrentIndex(2);
        QCOMPARE(int(form.portNumber), 3);
        QCOMPARE(panel(form, 1), QString("COM3"));
        // a name without a number from 0 to 255 changes nothing
        combo->addItem("COM300");
        combo->addItem("XCOMY");
        combo->setCurrentIndex(3);
        combo->setCurrentIndex(4);
        QCOMPARE(int(form.portNumber), 3);
        QCOMPARE(panel(form, 1), QString("COM3"));
    }

    void chineseTexts()
    {
        Form1 form(noPorts());
        form.formLoad(1);
        QCOMPARE(form.windowTitle(), QString::fromUtf8("升级程序"));
        QCOMPARE(control<QGroupBox>(&form, "Frame1")->title(), QString::fromUtf8("串口"));
        QCOMPARE(control<QPushButton>(&form, "Command1")->text(), QString::fromUtf8("升级"));
        QCOMPARE(control<QPushButton>(&form, "Command2")->text(), QString::fromUtf8("获取版本"));
        QCOMPARE(control<QGroupBox>(&form, "Frame2")->title(), QString::fromUtf8("版本信息"));
        QCOMPARE(control<QLabel>(&form, "Label1")->text(), QString("Please click  Get Version "));
        QCOMPARE(control<QPushButton>(&form, "Command4")->text(), QString::fromUtf8("连接"));
        QCOMPARE(control<QPushButton>(&form, "Command5")->text(), QString::fromUtf8("断开"));
    }

    void clockAndDatePanels()
    {
        Form1 form(noPorts());
        form.show();
        QCOMPARE(panel(form, 3), QString("time"));
        QVERIFY(QTest::qWaitFor([&] { return panel(form, 3) != "time"; }, 1000));
        QVERIFY2(QRegularExpression("^\\d\\d\\D\\d\\d\\D\\d\\d$").match(panel(form, 3)).hasMatch(),
                 qPrintable(panel(form, 3)));
        QCOMPARE(panel(form, 2), QLocale().toString(QDate::currentDate(), QLocale::ShortFormat));
    }

    void connectAndDisconnect()
    {
        Rig rig;
        QVERIFY(rig.connectPort());
        QVERIFY(connectedEnabling(*rig.form));
        QCOMPARE("/dev/" + rig.form->comm().device().portName(), rig.pty.slavePath());
        termios tio{};
        const int fd = ::open(rig.pty.slavePath().toLocal8Bit().constData(), O_RDWR | O_NOCTTY);
        QVERIFY(fd >= 0);
        QCOMPARE(::tcgetattr(fd, &tio), 0);
        ::close(fd);
        QCOMPARE(::cfgetospeed(&tio), speed_t(B57600));
        QCOMPARE(tio.c_cflag & CSIZE, tcflag_t(CS8));
        QVERIFY(!(tio.c_cflag & (PARENB | CSTOPB | CRTSCTS)));
        QCOMPARE(rig.form->comm().rThreshold(), 0); // no idle events after the first Connect
        QCOMPARE(rig.boxes.count(), 0);

        rig.click("Command5");
        QVERIFY(!rig.form->comm().portOpen());
        QVERIFY(disconnectedEnabling(*rig.form));
        QVERIFY(rig.connectPort()); // again, same port
        rig.click("Command5");
        QVERIFY(!rig.form->comm().portOpen());
    }

    void connectToAMissingPort()
    {
        MessageBoxes boxes;
        Form1 form(fakeDevices({"/dev/ttyUSB7"}));
        form.show();
        QCOMPARE(int(form.portNumber), 40);
        click(&form, "Command4");
        QTRY_COMPARE(boxes.count(), 1);
        QVERIFY2(boxes.seen()[0].text.contains("COM40"), qPrintable(boxes.seen()[0].text));
        QCOMPARE(boxes.seen()[0].icon, QMessageBox::Warning);
        QCOMPARE(boxes.seen()[0].title, QString());
        QVERIFY(!form.comm().portOpen());
        QVERIFY(disconnectedEnabling(form));
        QCOMPARE(int(form.commMode), 0);
    }

    void connectToABusyPort()
    {
        Rig rig;
        QSerialPort other(rig.pty.slavePath());
        QVERIFY(other.open(QIODevice::ReadWrite));
        rig.click("Command4");
        QTRY_COMPARE(rig.boxes.count(), 1);
        QVERIFY2(rig.boxes.texts()[0].contains("in use"), qPrintable(rig.boxes.texts()[0]));
        QVERIFY(!rig.form->comm().portOpen());
        QVERIFY(disconnectedEnabling(*rig.form));
        other.close();
        QVERIFY(rig.connectPort()); // nothing was left open by the failed attempt
    }

    void hangUpWhileConnected()
    {
        Rig rig;
        QVERIFY(rig.connectPort());
        rig.sim.hangUp();
        QTRY_VERIFY(!rig.form->comm().portOpen());
        QVERIFY(disconnectedEnabling(*rig.form));
        QTest::qWait(200);
        QCOMPARE(rig.boxes.count(), 0); // idle: nothing was running, nothing to report
    }

    void closingTheWindowClosesThePort()
    {
        Rig rig;
        QVERIFY(rig.connectPort());
        QVERIFY(rig.form->close());
        QVERIFY(!rig.form->comm().portOpen());
        QSerialPort other(rig.pty.slavePath());
        QVERIFY(other.open(QIODevice::ReadWrite)); // free again
    }
};

QTEST_MAIN(TestForm1)
#include "tst_form1.moc"
