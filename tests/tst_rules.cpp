// The small rules of the serial link and the window: COM numbering, the port enumeration,
// the port-number rule, line settings, the version caption, the clock text and the texts.
#include "clock.h"
#include "commport.h"
#include "devicemap.h"
#include "texts.h"
#include "versionquery.h"

#include <QtTest>

using namespace qx::serial;

namespace {
SerialDevice dev(const char* path)
{
    return {QString::fromLatin1(path), {}, {}};
}
QStringList portNames(const QList<MapEntry>& map)
{
    QStringList out;
    for (const auto& e : map)
        out.append(e.portName + "=" + e.device.systemLocation);
    return out;
}
} // namespace

class TestRules : public QObject
{
    Q_OBJECT

private slots:
    void comNumbersOfLinuxDevices()
    {
        const auto map =
            buildDeviceMap({dev("/dev/ttyS0"), dev("/dev/ttyS31"), dev("/dev/ttyS32"),
                            dev("/dev/ttyACM1"), dev("/dev/ttyUSB10"), dev("/dev/ttyUSB0"),
                            dev("/dev/rfcomm0"), dev("/dev/pts/3"), dev("/dev/ttyAMA0")});
        QCOMPARE(portNames(map),
                 (QStringList{"COM33=/dev/ttyUSB0", "COM43=/dev/ttyUSB10", "COM66=/dev/ttyACM1",
                              "COM1=/dev/ttyS0", "COM32=/dev/ttyS31", "COM97=/dev/pts/3",
                              "COM98=/dev/rfcomm0", "COM99=/dev/ttyAMA0", "COM100=/dev/ttyS32"}));
        QCOMPARE(deviceFor(map, 33)->systemLocation, QString("/dev/ttyUSB0"));
        QVERIFY(!deviceFor(map, 2));
    }

    void devicesBeyondCom255AreLeftOut()
    {
        QList<SerialDevice> many;
        for (int i = 0; i < 200; ++i)
            many.append({QStringLiteral("/dev/ttyX%1").arg(i, 3, 10, QLatin1Char('0')), {}, {}});
        const auto map = buildDeviceMap(many);
        QCOMPARE(map.size(), 255 - 97 + 1);
        QCOMPARE(map.last().portName, QString("COM255"));
        QCOMPARE(map.first().device.systemLocation, QString("/dev/ttyX000"));
    }

    void enumeration_data()
    {
        QTest::addColumn<QList<MapValue>>("values");
        QTest::addColumn<QStringList>("ports");
        const QString longName(1000, 'x');
        QTest::newRow("two ports, map order")
            << QList<MapValue>{{"a", "COM3"}, {"b", "COM1"}} << QStringList{"COM3", "COM1"};
        QTest::newRow("none") << QList<MapValue>{} << QStringList{""};
        QTest::newRow("lower case") << QList<MapValue>{{"a", "com4"}} << QStringList{"COM4"};
        QTest::newRow("not COM skipped")
            << QList<MapValue>{{"a", "LPT1"}, {"b", "COM2"}} << QStringList{"COM2"};
        QTest::newRow("duplicates kept")
            << QList<MapValue>{{"a", "COM2"}, {"b", "COM2"}} << QStringList{"COM2", "COM2"};
        QTest::newRow("COM anywhere") << QList<MapValue>{{"a", "xcomy"}} << QStringList{"XCOMY"};
        QTest::newRow("over-long name ends it")
            << QList<MapValue>{{"a", "COM1"}, {longName, "COM2"}, {"c", "COM3"}}
            << QStringList{"COM1"};
        QTest::newRow("over-long data ends it")
            << QList<MapValue>{{"a", "COM" + QString(997, '9')}, {"c", "COM3"}} << QStringList{""};
        QTest::newRow("999 characters fit")
            << QList<MapValue>{{QString(999, 'n'), "COM7"}} << QStringList{"COM7"};
    }

    void enumeration()
    {
        QFETCH(QList<MapValue>, values);
        QFETCH(QStringList, ports);
        QCOMPARE(enumComPorts(values), ports);
    }

    void portNumberRule_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("number"); // -1: no number
        QTest::newRow("COM1") << "COM1" << 1;
        QTest::newRow("COM10") << "COM10" << 10;
        QTest::newRow("COM03") << "COM03" << 3;
        QTest::newRow("COM255") << "COM255" << 255;
        QTest::newRow("COM0") << "COM0" << 0;
        QTest::newRow("COM256") << "COM256" << -1;
        QTest::newRow("COM-1") << "COM-1" << -1;
        QTest::newRow("COM") << "COM" << -1;
        QTest::newRow("short") << "CO" << -1;
        QTest::newRow("letters") << "COMx" << -1;
        QTest::newRow("XCOMY") << "XCOMY" << -1;
        QTest::newRow("Combo1") << "Combo1" << -1;
        QTest::newRow("huge") << "COM99999" << -1;
    }

    void portNumberRule()
    {
        QFETCH(QString, name);
        QFETCH(int, number);
        const auto n = portNumberFromName(name);
        QCOMPARE(n ? int(*n) : -1, number);
    }

    void toolTipNamesDeviceAndMaker()
    {
        const MapEntry entry{33, "COM33", {"/dev/ttyUSB0", "FT232R USB UART", "FTDI"}};
        QCOMPARE(portToolTip(entry), QString("COM33: /dev/ttyUSB0, FT232R USB UART, FTDI"));
        const MapEntry bare{1, "COM1", {"/dev/ttyS0", {}, {}}};
        QCOMPARE(portToolTip(bare), QString("COM1: /dev/ttyS0"));
    }

    void lineSettings()
    {
        const auto s = parseLineSettings("57600,N,8,1");
        QVERIFY(s);
        QCOMPARE(s->baudRate, 57600);
        QCOMPARE(s->parity, QSerialPort::NoParity);
        QCOMPARE(s->dataBits, QSerialPort::Data8);
        QCOMPARE(s->stopBits, QSerialPort::OneStop);
        QCOMPARE(parseLineSettings("9600,e,7,2")->parity, QSerialPort::EvenParity);
        for (const char* bad : {"", "57600", "57600,N,8", "57600,X,8,1", "fast,N,8,1",
                                "57600,N,9,1", "57600,N,8,3", "57600,N,8,1,1", "-5,N,8,1"})
            QVERIFY2(!parseLineSettings(bad), bad);
    }

    void lineSettingsRefusedWithADescription()
    {
        CommPort port([] { return QList<SerialDevice>{}; });
        try {
            port.setSettings("57600;N;8;1");
            QFAIL("accepted");
        } catch (const CommError& e) {
            QVERIFY(e.description().contains("57600;N;8;1"));
        }
    }

    void openFailureTexts()
    {
        QVERIFY(openFailureText(QSerialPort::PermissionError, 33, "/dev/ttyUSB0", true)
                    .contains("add your user to the dialout group, then log in again"));
        QVERIFY(openFailureText(QSerialPort::PermissionError, 33, "/dev/ttyUSB0", false)
                    .contains("in use"));
        QVERIFY(openFailureText(QSerialPort::DeviceNotFoundError, 5, "/dev/ttyS4", false)
                    .contains("COM5"));
    }

    void versionCaptionCutsBeforeBin_data()
    {
        QTest::addColumn<QString>("reply");
        QTest::addColumn<QString>("caption");
        QTest::newRow("file name") << "QX-LP4R-V1.3.7.bin\r\n"
                                   << "QX-LP4R-V1.3.7";
        QTest::newRow("no extension") << "QX-LP4R"
                                      << "QX-LP4R";
        QTest::newRow("prefix kept") << "ver: QX.bin.bin"
                                     << "ver: QX";
        QTest::newRow("starts with .bin") << ".bin"
                                          << "";
        QTest::newRow("upper case") << "QX.BIN"
                                    << "QX.BIN";
        QTest::newRow("mixed case") << "QX.Bin\r\n"
                                    << "QX.Bin\r\n";
        QTest::newRow("empty") << ""
                               << "";
    }

    void versionCaptionCutsBeforeBin()
    {
        QFETCH(QString, reply);
        QFETCH(QString, caption);
        QCOMPARE(versionCaption(reply), caption);
    }

    void clockText()
    {
        using qx::ui::clockText;
        QCOMPARE(clockText(QTime(0, 0, 0), ':'), QString("00:00:00"));
        QCOMPARE(clockText(QTime(13, 0, 0), ':'), QString("13:00:00"));
        QCOMPARE(clockText(QTime(9, 5, 7), '.'), QString("09.05.07"));
        QCOMPARE(qx::ui::timeSeparator(QLocale(QLocale::English, QLocale::UnitedStates)),
                 QChar(':'));
        QCOMPARE(qx::ui::timeSeparator(QLocale(QLocale::Finnish, QLocale::Finland)), QChar('.'));
    }

    void textsChosenByLanguageFlag()
    {
        using namespace qx::ui;
        QCOMPARE(pick(texts::kConnectionError, 0), QString("Plese Check Connection!"));
        QCOMPARE(pick(texts::kConnectionError, 2), QString("Plese Check Connection!"));
        QCOMPARE(pick(texts::kConnectionError, 1), QString::fromUtf8("请检测连接！"));
        QCOMPARE(pick(texts::kSuccess, 1), QString::fromUtf8("升级成功"));
        QCOMPARE(pick(texts::kLabel1, 1), QString("Please click  Get Version "));
    }
};

QTEST_GUILESS_MAIN(TestRules)
#include "tst_rules.moc"
