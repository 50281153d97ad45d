// The pure rules, as tables: COM numbering and the port list, the port-number rule, line
// settings, the version caption, the clock text, and the transfer's verdicts and percentage;
// then seeded device scripts against the transfer state machine.
#include "clock.h"
#include "commport.h"
#include "transfer.h"
#include "versionquery.h"

#include <QtTest>

#include <random>

using namespace qx::serial;
namespace t = qx::transfer;

namespace {
std::span<const std::uint8_t> bytesOf(const QByteArray& b)
{
    return {reinterpret_cast<const std::uint8_t*>(b.constData()), std::size_t(b.size())};
}
} // namespace

class TestRules : public QObject
{
    Q_OBJECT

private slots:
    void comNumbers()
    {
        QList<SerialDevice> devices;
        for (const char* path : {"/dev/ttyS0", "/dev/ttyS31", "/dev/ttyS32", "/dev/ttyACM1",
                                 "/dev/ttyUSB10", "/dev/ttyUSB0", "/dev/rfcomm0", "/dev/pts/3"})
            devices.append({path, {}, {}});
        QStringList map;
        for (const MapEntry& e : buildDeviceMap(devices))
            map << e.portName + "=" + e.device.systemLocation;
        QCOMPARE(map, (QStringList{"COM33=/dev/ttyUSB0", "COM43=/dev/ttyUSB10",
                                   "COM66=/dev/ttyACM1", "COM1=/dev/ttyS0", "COM32=/dev/ttyS31",
                                   "COM97=/dev/pts/3", "COM98=/dev/rfcomm0", "COM99=/dev/ttyS32"}));
        devices.clear();
        for (int i = 0; i < 200; ++i)
            devices.append({QString("/dev/ttyX%1").arg(i, 3, 10, QChar('0')), {}, {}});
        const auto many = buildDeviceMap(devices); // none numbered above COM255
        QCOMPARE(many.size(), 255 - 97 + 1);
        QCOMPARE(deviceFor(many, 255)->systemLocation, QString("/dev/ttyX158"));
        QVERIFY(!deviceFor(many, 96));
    }

    void portList()
    {
        const QString x999(999, 'x');
        const std::pair<QList<MapValue>, QStringList> rows[] = {
            {{{"a", "COM3"}, {"b", "COM1"}}, {"COM3", "COM1"}},               // map order
            {{}, {""}},                                                       // none
            {{{"a", "com4"}}, {"COM4"}},                                      // upper case
            {{{"a", "LPT1"}, {"b", "COM2"}}, {"COM2"}},                       // not COM: skipped
            {{{"a", "COM2"}, {"b", "COM2"}}, {"COM2", "COM2"}},               // duplicates kept
            {{{"a", "xcomy"}}, {"XCOMY"}},                                    // COM anywhere
            {{{x999, "COM7"}}, {"COM7"}},                                     // 999 characters fit
            {{{"a", "COM1"}, {x999 + 'x', "COM2"}, {"c", "COM3"}}, {"COM1"}}, // too long: ends
            {{{"a", "COM" + x999.left(997)}, {"c", "COM3"}}, {""}},
        };
        for (const auto& [values, ports] : rows)
            QCOMPARE(enumComPorts(values), ports);
    }

    void portNumberRule()
    {
        const std::pair<const char*, int> rows[] = {
            // -1: not a port, the selection is ignored
            {"COM1", 1},    {"COM10", 10},  {"COM03", 3},     {"COM255", 255}, {"COM0", 0},
            {"COM256", -1}, {"COM-1", -1},  {"COM", -1},      {"CO", -1},      {"COMx", -1},
            {"XCOMY", -1},  {"Combo1", -1}, {"COM99999", -1},
        };
        for (const auto& [name, number] : rows) {
            const auto n = portNumberFromName(name);
            QVERIFY2((n ? int(*n) : -1) == number, name);
        }
    }

    void lineSettings()
    {
        QVERIFY(
            parseLineSettings("57600,N,8,1") ==
            (LineSettings{57600, QSerialPort::NoParity, QSerialPort::Data8, QSerialPort::OneStop}));
        for (const char* bad : {"", "57600,N,8", "57600,X,8,1", "fast,N,8,1", "57600,N,9,1",
                                "57600,N,8,3", "57600,N,8,1,1", "-5,N,8,1"})
            QVERIFY2(!parseLineSettings(bad), bad);
    }

    void versionCaption()
    {
        for (auto [reply, caption] : {std::pair{"QX-LP4R-V1.3.7.bin\r\n", "QX-LP4R-V1.3.7"},
                                      {"QX-LP4R", "QX-LP4R"},
                                      {"ver: QX.bin.bin", "ver: QX"},
                                      {".bin", ""},
                                      {"QX.BIN", "QX.BIN"},
                                      {"QX.Bin\r\n", "QX.Bin\r\n"}})
            QCOMPARE(qx::serial::versionCaption(reply), QString(caption));
    }

    void clockText()
    {
        QCOMPARE(qx::ui::clockText(QTime(0, 0, 0), ':'), QString("00:00:00"));
        QCOMPARE(qx::ui::clockText(QTime(13, 0, 0), ':'), QString("13:00:00"));
        QCOMPARE(qx::ui::clockText(QTime(9, 5, 7), '.'), QString("09.05.07"));
        QCOMPARE(qx::ui::timeSeparator(QLocale(QLocale::English)), QChar(':'));
        QCOMPARE(qx::ui::timeSeparator(QLocale(QLocale::Finnish)), QChar('.'));
    }

    void verdicts()
    {
        using V = t::Verdict;
        const std::tuple<int, QByteArray, V> rows[] = {
            // one data packet: states 0 to 4
            {0, "C", V::Advance},        {0, "xyC", V::Advance},      {0, "Cx", V::Fail},
            {0, "\x06", V::Fail},        {1, "\x06\x43", V::Advance}, {1, "C\x06", V::Fail},
            {2, "\x06zz", V::Advance},   {2, "\x15", V::Fail},        {2, "\x18\x18", V::Fail},
            {3, "\x06\x43", V::Advance}, {4, "\x06", V::Complete},    {4, "\x15", V::KeepWaiting},
            {2, "", V::Ignore},          {5, "\x06", V::Fail}, // past the last state
        };
        for (const auto& [state, reply, verdict] : rows)
            QVERIFY2(t::judgeReply(state, 1, bytesOf(reply)) == verdict,
                     qPrintable(QString("state %1, reply %2").arg(state).arg(reply.toHex())));
    }

    void nothingToSendOutsideThePackage()
    {
        qx::package::Package three;
        three.packetCount = 3;
        three.packageData.resize(1029); // fewer packets than its count says
        QCOMPARE(t::sendBytes(2, three).size(), std::size_t(1029));
        for (int state : {3, 7, -1})
            QVERIFY(t::sendBytes(state, three).empty());
    }

    void percentText()
    {
        for (auto [value, maximum, text] : {std::tuple{1.0f, 375.0f, "0%"}, // the first advance
                                            {375.0f, 375.0f, "100%"},       // after EOT's ACK
                                            {374.0f, 375.0f, "100%"},       // begun at the header
                                            {1.0f, 2.0f, "50%"},
                                            {1.0f, 200.0f, "1%"}, // an exact half rounds up
                                            {1.0f, 201.0f, "0%"},
                                            {2.0f, 3.0f, "67%"},
                                            {1.0f, 0.0f, "0%"}})
            QCOMPARE(QString::fromStdString(t::percentText(value, maximum)), QString(text));
    }

    // Random packages and random device replies, many at each state: the machine always
    // ends, never passes its maximum, and succeeds only after sending the whole batch in order.
    void seededScripts()
    {
        int successes = 0;
        for (int seed = 1; seed <= 10000; ++seed) {
            const QByteArray tag = "seed " + QByteArray::number(seed);
            std::mt19937 rng(seed);
            const int count = rng() % 50 == 0 ? 260 : int(rng() % 12);
            std::vector<std::uint8_t> image(count ? (count - 1) * 1024 + 1 + rng() % 1024 : 0);
            for (auto& b : image)
                b = std::uint8_t(rng());
            const auto built = qx::package::buildPackage("f", std::to_string(image.size()), image);
            const auto pkg = qx::package::slicePackage(built).package;
            const auto* raw = reinterpret_cast<const char*>(built.data());
            QByteArray whole = "1" + QByteArray(raw + 4 + 1029 * count, 133);
            whole.append(raw + 2, 1029 * count);
            whole += '\x04' + QByteArray("\x01\x00\xFF", 3) + QByteArray(130, '\0');

            const bool waiting = rng() % 3 == 0; // the device asked before Update
            int state = waiting ? 1 : 0;
            QByteArray sent;
            auto verdict = t::Verdict::Advance;
            for (; verdict == t::Verdict::Advance; ++state) {
                QVERIFY2(state <= count + 3, tag);
                const auto bytes = t::sendBytes(state, pkg);
                sent.append(reinterpret_cast<const char*>(bytes.data()), qsizetype(bytes.size()));
                const auto step = t::stepOf(state, count);
                // up to five replies to one send, as long as they are ignored; then the limit
                for (int reply = 0; reply < 5; ++reply) {
                    const bool twoBytes =
                        step == t::Step::Header || step == t::Step::EndOfTransmission;
                    QByteArray r = step == t::Step::Menu ? (rng() % 2 ? "C" : "xC")
                                   : twoBytes            ? "\x06\x43"
                                                         : (rng() % 2 ? "\x06" : "\x06z");
                    if (rng() % 100 < 7) { // a wrong reply instead, perhaps an empty read
                        r.clear();
                        for (int n = rng() % 4; n > 0; --n)
                            r += "\x06\x15\x18\x43Z\xFF"[rng() % 6];
                    }
                    verdict = t::judgeReply(state, count, bytesOf(r));
                    if (verdict != t::Verdict::KeepWaiting && verdict != t::Verdict::Ignore)
                        break;
                }
            }
            if (verdict == t::Verdict::Complete) {
                ++successes;
                QVERIFY2(sent == (waiting ? whole.mid(1) : whole), tag);
            }
        }
        QVERIFY(successes > 1000); // the scripts do reach the end
    }
};

QTEST_GUILESS_MAIN(TestRules)
#include "tst_rules.moc"
