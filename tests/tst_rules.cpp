// The rules as tables: the package, its check and loading, COM numbers, the port list, the
// version caption, the clock, the verdicts, and seeded device scripts against the state machine.
#include "arguments.h"
#include "clock.h"
#include "commport.h"
#include "crc16.h"
#include "inert.h"
#include "outbox.h"
#include "packageloader.h"
#include "recordto.h"
#include "servicerecord.h"
#include "sharedrecord.h"
#include "texts.h"
#include "transfer.h"
#include "unitserial.h"
#include "versionquery.h"

#include <QCryptographicHash>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimeZone>
#include <QtTest>

#include <optional>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include "platform.h"

#include <sys/fsuid.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

using namespace qx::package;
constexpr int kAppends = 1000;
using namespace qx::serial;
namespace t = qx::transfer;

namespace {
std::span<const std::uint8_t> bytesOf(const QByteArray& b)
{
    return {reinterpret_cast<const std::uint8_t*>(b.constData()), std::size_t(b.size())};
}
QByteArray bytesOf(std::span<const std::uint8_t> b)
{
    return QByteArray(reinterpret_cast<const char*>(b.data()), qsizetype(b.size()));
}

// Makes the service record unwritable while it lives, in one of the ways a technician meets.
enum class Blocked
{
    Folder,     // the record's folder is read-only, and the record is not there yet
    File,       // the record is read-only
    Unreadable, // the record's mode lets nobody read it: not a foreign file for that
    SizeLimit,  // a file size limit (a full disk alike) ends the write part-way
    Held,       // Windows: a spreadsheet holds the record open without sharing
};
class Unwritable
{
public:
    Unwritable(Blocked how, const QString& folder, const QString& path)
        : folder_(folder), path_(path)
    {
#ifdef Q_OS_WIN
        Q_UNUSED(how);
        held_ =
            CreateFileW(reinterpret_cast<const wchar_t*>(QDir::toNativeSeparators(path).utf16()),
                        GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                        FILE_ATTRIBUTE_NORMAL, nullptr);
        QVERIFY(held_ != INVALID_HANDLE_VALUE);
#else
        if (how == Blocked::SizeLimit) {
            QVERIFY(::getrlimit(RLIMIT_FSIZE, &limit_) == 0);
            const rlimit cut{rlim_t(QFileInfo(path).size() + 20), limit_.rlim_max};
            QVERIFY(::setrlimit(RLIMIT_FSIZE, &cut) == 0);
            return;
        }
        QVERIFY(::chmod(QFile::encodeName(how == Blocked::Folder ? folder : path),
                        how == Blocked::Unreadable ? 0200 : 0555) == 0);
        if (how == Blocked::Unreadable) // a foreign file's lines could go beside it
            QVERIFY(::chmod(QFile::encodeName(folder), 0777) == 0);
        ::setfsgid(65534); // root writes whatever the modes say: nobody does not
        ::setfsuid(65534);
#endif
    }
    ~Unwritable()
    {
#ifdef Q_OS_WIN
        CloseHandle(held_);
#else
        if (limit_.rlim_max)
            ::setrlimit(RLIMIT_FSIZE, &limit_);
        ::setfsuid(0);
        ::setfsgid(0);
        ::chmod(QFile::encodeName(folder_), 0755);
        ::chmod(QFile::encodeName(path_), 0644);
#endif
    }

private:
    QString folder_, path_;
#ifdef Q_OS_WIN
    HANDLE held_ = INVALID_HANDLE_VALUE;
#else
    rlimit limit_{};
#endif
};

// The i-th of a run of record lines, each a failed update.
QByteArray numberedLine(int i)
{
    const t::Outcome failed{t::Job::Update, t::Outcome::Failure, "line " + std::to_string(i), {}};
    return qx::service::recordLine(failed, {"COM7", "d", nullptr});
}

QByteArray contentsOf(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}
} // namespace

class TestRules : public QObject
{
    Q_OBJECT

private slots:
    // The check the build runs on every package it embeds: one flipped bit at each place.
    void packageCheck()
    {
        QCOMPARE(crc16Xmodem(bytesOf("123456789")), std::uint16_t(0x31C3));
        const std::pair<int, const char*> rows[] = {
            {-1, ""},
            {2 + 1029 * 10 + 500, "data packet 11: CRC mismatch"},
            {2 + 1029 * 255 + 1, "data packet 256: block number 1, expected 0"},
            {4, "data packet 1: block number complement"},
            {2, "does not start with STX"},
            {4 + 1029 * 372 + 5, "does not name"},
            {1, "length 382928, expected 383957"},
        };
        for (const auto& [offset, problem] : rows) {
            QByteArray bytes = bytesOf(embeddedPackage());
            if (offset >= 0)
                bytes[offset] = char(bytes[offset] ^ 1);
            QString found;
            for (const auto& p : checkPackage(bytesOf(bytes), "QX-LP4R-V1.3.7.bin", "380929"))
                found += QString::fromStdString(p) + '|';
            QVERIFY2(*problem ? found.contains(problem) : found.isEmpty(), qPrintable(found));
        }
        // from an image: its name and size as given, the last block padded as senders do
        const QByteArray image = QByteArray::fromHex("00071c2a").repeated(514).chopped(1);
        const std::string name = "fw 2.0 прошивка.bin";
        const auto built = buildPackage(name, "2055", bytesOf(image));
        QVERIFY(built.size() == packageSize(3) && checkPackage(built, name, "2055").empty());
        QCOMPARE(bytesOf(built).mid(2 + 1029 * 2 + 3, 1024), image.right(7) + QByteArray(1017, 26));
        // the header's name and size exactly: a name cut to fit, without its size, is not it
        auto cut = built;
        std::fill_n(cut.begin() + 3094, 127, 'n');
        cut[3094 + 127] = 0;
        const auto crc = crc16Xmodem(std::span(cut).subspan(3094, 128));
        cut[3222] = std::uint8_t(crc >> 8);
        cut[3223] = std::uint8_t(crc);
        const auto problems = checkPackage(cut, std::string(134, 'n'), "2055");
        QVERIFY(problems.size() == 1 && problems[0].find("does not name") != std::string::npos);
    }

    // What the build refuses to make a release of, in one line each.
    void releaseImages()
    {
        // (the image's name, its size, the release's version)
        const std::tuple<std::string, std::size_t, std::string, const char*> rows[] = {
            {"QX-LP4R-V1.3.7.bin", 380929, "1.3.7", ""},
            {"QX-LP4R-V1.4.0.bin", 100, "1.4.0", ""},
            {"qx-lp4r-v10.20.300.BIN", 100, "10.20.300", ""},
            {"fw 2.0 прошивка.bin", 100, "2.0.0", ""}, // spaces and any letters, as YMODEM allows
            {"firmware.bin", 100, "1.4.0", ""},
            {"QX-LP4R-V1.4.bin", 100, "1.4.0", ""}, // a version of its own is no version
            {"QX-LP4R-V1.4.0.bin", 100, "1.4.1", "names version 1.4.0, but the release is 1.4.1"},
            {"qx-lp4r-v1.3.7.bin", 100, "1.4.0", "names version 1.3.7, but the release is 1.4.0"},
            {"firmware.bin", 100, "1.4", "cannot go into a release of version '1.4'"},
            {"firmware.bin", 100, "", "cannot go into a release of version ''"},
            {"firmware.bin", 100, "1.4.0.1", "cannot go into a release of version '1.4.0.1'"},
            {"firmware.bin", 100, "1..0", "cannot go into a release of version '1..0'"},
            {"QX-LP4R-V1.3.7.bin", 0, "1.3.7", "is empty"},
            {std::string(122, 'n'), 1000, "1.3.7", ""}, // name NUL "1000" NUL: 128 bytes
            {std::string(123, 'n'), 1000, "1.3.7",
             "does not fit the 128-byte header (at most 122 bytes)"},
            {"f", 1024 * 32764, "1.3.7", ""},
            {"f", 1024 * 32764 + 1, "1.3.7", "needs 32765 blocks"},
        };
        for (const auto& [name, size, version, problem] : rows) {
            const QString found = QString::fromStdString(imageProblem(name, size, version));
            QVERIFY2(*problem ? found.contains(problem) : found.isEmpty(), qPrintable(found));
        }
        const QString here = QCoreApplication::applicationDirPath();
        QTemporaryDir dir;
        QFile big(dir.filePath("disk.img")); // sparse: refused by its size, never read
        QVERIFY(big.open(QIODevice::WriteOnly) && big.resize(qint64(kMaxImageBytes) + 1));
        // an image of its own: this test's file outgrows a transfer in the sanitizer build
        QFile image(dir.filePath("image.bin"));
        QVERIFY(image.open(QIODevice::WriteOnly) && image.write(QByteArray(5000, 'i')) == 5000);
        image.close();
        const std::pair<QString, const char*> files[] = {
            {image.fileName(), ""},
            {here + "/none.bin", "does not exist"},
            {here, "is a directory"},
            {"/proc/self/mem", "failed while being read"}, // a file whose every read fails
            {big.fileName(), "is 33550337 bytes, and at most 33550336 fit a transfer"},
        };
        for (const auto& [path, error] : files) {
            const auto read = readImage(path.toStdString(), kMaxImageBytes);
            QVERIFY2(QString::fromStdString(read.error).contains(error) &&
                         read.bytes.empty() == bool(*error),
                     qPrintable(path + ": " + QString::fromStdString(read.error)));
        }
    }

    void slicingLimits() // a package needs its count, data packets, gap and header, not its tail
    {
        const int most = int(packageSize(32764));
        const std::tuple<int, int, bool> rows[] = {
            {0, 140, true},       {0, 137, true},
            {0, 136, false},      {1, 1165, false},
            {372, 100000, false}, {0, 1, false},
            {0, 0, false},        {0x8001, 400000, false},
            {32764, most, true},  {32765, most + 1029, false},
        };
        for (const auto& [count, length, accepted] : rows) {
            QByteArray bytes(length, '\xAB');
            if (length >= 2)
                bytes.replace(0, 2, QByteArray(1, char(count >> 8)) + char(count));
            const auto result = slicePackage(bytesOf(bytes));
            const QByteArray tag = QByteArray::number(count) + " / " + QByteArray::number(length);
            QVERIFY2((result.error == SliceError::None) == accepted, tag);
            QVERIFY2(result.package.packetCount == (accepted ? count : 0), tag);
            QVERIFY2(result.package.packageData.size() == (accepted ? 1029u * count : 0u), tag);
            QVERIFY2(result.package.headerPacket[0] == (accepted ? 0xAB : 0), tag); // 4 + 1029 N
        }
    }

    void loading()
    {
        QTemporaryDir dir;
        const auto result = loadPackage(dir.path(), embeddedPackage());
        QVERIFY(result.ok && result.staged);
        QCOMPARE(bytesOf(result.package.packageData), bytesOf(embeddedPackage()).mid(2, 382788));
        QCOMPARE(bytesOf(result.package.headerPacket).left(21),
                 QByteArray("\x01\x00\xFFQX-LP4R-V1.3.7.bin", 21));
        QVERIFY(QDir(dir.path()).isEmpty()); // the staging file is gone
        QVERIFY(loadPackage(dir.path(), embeddedPackage()).package == result.package);
        QCOMPARE(bytesOf(stagingDescriptor(382928)),
                 QByteArray::fromHex("11200100d0d7050000000000"));
        // a data.bin already there is someone else's: left alone, and the result is the same
        QFile foreign(dir.filePath("data.bin"));
        QVERIFY(foreign.open(QIODevice::WriteOnly) && foreign.write(QByteArray(9, 'x')) == 9);
        foreign.close();
        QVERIFY(loadPackage(dir.path(), embeddedPackage()).package == result.package);
        QVERIFY(foreign.open(QIODevice::ReadOnly) && foreign.readAll() == QByteArray(9, 'x'));
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList{"data.bin"});
        // root writes through mode bits, but nobody creates a file in /proc: sliced from memory
        const auto unstaged = loadPackage("/proc", embeddedPackage());
        QVERIFY(unstaged.ok && !unstaged.staged && unstaged.package == result.package);
        // a package shorter than its count requires is refused
        const auto refused = loadPackage(dir.path(), embeddedPackage().first(5000));
        QVERIFY(!refused.ok && refused.package == Package{});
        QCOMPARE(refused.error, describe(SliceError::TooShort));
        // what was read back is used only if it is the package itself, byte for byte
        const auto package = buildPackage("f", "3000", bytesOf(QByteArray(3000, 'p')));
        QByteArray changed = bytesOf(package);
        changed[2 + 1029 + 500] = 'X';
        const std::pair<std::optional<QByteArray>, bool> rows[] = {
            {bytesOf(package), true},
            {bytesOf(package) + "tail", true},
            {changed, false},
            {bytesOf(package).chopped(1), false},
            {"", false},
            {std::nullopt, false},
        };
        for (const auto& [readBack, used] : rows) {
            const auto loaded =
                sliceReadBack(readBack ? std::optional(bytesOf(*readBack)) : std::nullopt, package);
            QVERIFY(loaded.ok && loaded.staged == used);
            QVERIFY(loaded.package == slicePackage(package).package);
        }
    }

    void comNumbers()
    {
        QList<SerialDevice> devices;
        for (const char* path : {"/dev/ttyS0", "/dev/ttyS31", "/dev/ttyS32", "/dev/ttyACM1",
                                 "/dev/ttyUSB10", "/dev/ttyUSB0", "/dev/rfcomm0", "/dev/pts/3"})
            devices.append({path, {}, {}});
        QStringList map;
        for (const MapEntry& e : buildDeviceMap(devices))
            map << e.portName + "=" + e.device.systemLocation;
        QCOMPARE(map.join(' '), QString("COM33=/dev/ttyUSB0 COM43=/dev/ttyUSB10 COM66=/dev/ttyACM1 "
                                        "COM1=/dev/ttyS0 COM32=/dev/ttyS31 COM97=/dev/pts/3 "
                                        "COM98=/dev/rfcomm0 COM99=/dev/ttyS32"));
        // Another device keeps its number while present: one going from the middle of the group
        // renumbers none, and a new one takes the lowest free number.
        const auto numbered = [](const QList<MapEntry>& map) {
            QStringList shown;
            for (const MapEntry& e : map)
                shown << e.portName + "=" + QFileInfo(e.device.systemLocation).fileName();
            return shown.join(' ');
        };
        const auto others = [](const QStringList& names) {
            QList<SerialDevice> list;
            for (const QString& name : names)
                list.append({"/dev/" + name, {}, {}});
            return list;
        };
        auto seen = buildDeviceMap(others({"rfcomm0", "rfcomm1", "rfcomm2", "ttyUSB0"}));
        QCOMPARE(numbered(seen), "COM33=ttyUSB0 COM97=rfcomm0 COM98=rfcomm1 COM99=rfcomm2");
        seen = buildDeviceMap(others({"rfcomm0", "rfcomm2"}), seen);
        QCOMPARE(numbered(seen), "COM97=rfcomm0 COM99=rfcomm2");
        seen = buildDeviceMap(others({"rfcomm0", "rfcomm2", "rfcomm3", "pts/1"}), seen);
        QCOMPARE(numbered(seen), "COM97=rfcomm0 COM98=1 COM99=rfcomm2 COM100=rfcomm3");
        for (int i = 0; i < 200; ++i) // none numbered above COM255
            devices.append({QString("/dev/ttyX%1").arg(i, 3, 10, QChar('0')), {}, {}});
        const auto many = buildDeviceMap(devices);
        QVERIFY(many.size() == 8 + 255 - 99 && !deviceFor(many, 2));
        QCOMPARE(deviceFor(many, 255)->systemLocation, QString("/dev/ttyX155"));
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
        for (const auto& [values, ports] : rows) {
            QCOMPARE(enumComPorts(values), ports);
            QCOMPARE(mapValues(mapFromValues(values)), values); // as read from the registry
        }
        // which entry is selected when the list changes: a port that appeared, else the choice
        // while it is there, else the first
        const std::tuple<QStringList, QString, QStringList, int> changes[] = {
            {{""}, "", {"COM3"}, 0},
            {{"COM3"}, "COM3", {"COM3", "COM7"}, 1},
            {{"COM3", "COM7"}, "COM7", {"COM3", "COM5", "COM7", "COM9"}, 1},
            {{"COM3", "COM5", "COM7"}, "COM5", {"COM5", "COM7"}, 0},
            {{"COM3", "COM5", "COM7"}, "COM7", {"COM3", "COM5"}, 0},
            {{"COM3", "COM5"}, "COM5", {"COM3", "COM5"}, 1},
            {{"COM3"}, "COM3", {""}, -1},
        };
        for (const auto& [before, selected, after, chosen] : changes)
            QCOMPARE(selectionAfter(before, selected, after), chosen);
        const auto read = mapFromValues({{"\\Device\\VCP0", "com12"}, {"b", "LPT9"}});
        QVERIFY(read[0].comNumber == 12 && read[1].comNumber == -1);
        QCOMPARE(portToolTip(read[0]), QString("COM12: \\Device\\VCP0"));
        // which ports are built into the machine, and so left unchecked on the bench
        const std::pair<const char*, bool> builtIn[] = {
            {"/dev/ttyS0", true},         {"/dev/ttyS31", true},
            {"\\Device\\Serial0", true},  {"\\Device\\Serial12", true},
            {"/dev/ttyUSB0", false},      {"/dev/ttyACM1", false},
            {"\\Device\\VCP0", false},    {"\\Device\\Silabser0", false},
            {"/dev/serial/ttyS0", false}, {"\\Device\\SerialX", false},
        };
        for (const auto& [device, expected] : builtIn)
            QVERIFY2(isBuiltIn({1, "COM1", {device, {}, {}}}) == expected, device);
    }

    // The machine's own device map: a port it lacks cannot be opened; on Windows the
    // registry's values are read whole and in its order (Wine's is by name: these sort last).
    void systemPortList()
    {
        try {
            CommPort port;
            const auto device = deviceFor(systemDeviceMap(), 200);
            port.setDevice({200, "COM200", device.value_or(SerialDevice{})});
            port.setPortOpen(true);
            QFAIL("COM200 opened");
        } catch (const CommError& error) {
            QCOMPARE(error.description(), QString("COM200 does not exist on this machine."));
        }
        if (QSysInfo::productType() != "windows")
            QSKIP("the registry's serial device map is Windows'");
        QSettings registry("HKEY_LOCAL_MACHINE\\HARDWARE\\DEVICEMAP\\SERIALCOMM",
                           QSettings::NativeFormat);
        const QList<MapValue> added{{"zqx0", "com12"}, {"zqx1", "COM" + QString(997, '9')}};
        const auto before = mapValues(systemDeviceMap());
        for (const auto& [name, data] : added)
            registry.setValue(name, data);
        registry.sync();
        const auto during = mapValues(systemDeviceMap());
        for (const auto& [name, data] : added)
            registry.remove(name);
        registry.sync();
        QCOMPARE(during, before + added);
        QCOMPARE(mapValues(systemDeviceMap()), before);
    }

    void portNumberAndLineRules()
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
        QVERIFY(parseLineSettings("57600,N,8,1") ==
                (LineSettings{57600, Parity::None, 8, StopBits::One}));
        QVERIFY(!parseLineSettings("57600,N,8") && !parseLineSettings("57600,X,8,1"));
    }

    void versionCaptionAndClock()
    {
        const std::pair<const char*, const char*> rows[] = {
            {"QX.bin\r\n", "QX"}, {"QX", "QX"},         {"v: QX.bin.bin", "v: QX"},
            {".bin", ""},         {"QX.BIN", "QX.BIN"}, {"QX.Bin\r\n", "QX.Bin\r\n"},
        };
        for (const auto& [reply, caption] : rows)
            QCOMPARE(t::versionCaption(reply), QString(caption));
        // a query with a time limit ends once the reply is whole: a file name or a line
        for (const auto& [reply, whole] : {std::pair{"QX-LP4R-V1.3.7.b", false},
                                           {"QX.bin", true},
                                           {"V1.3.7\r", true},
                                           {"\r\n", false},
                                           {"", false}})
            QVERIFY2(t::versionReplyComplete(reply) == whole, reply);
        // a unit's serial: bounded, matching its pattern whole, and pending once at a time
        const std::tuple<QString, const char*, const char*> serials[] = {
            {"2412-0042", "", ""},
            {"AB/12.x_9", "", ""},
            {"abc", "does not match", ""},
            {"2412 0042", "does not match", ""},
            {"2412-0042\n", "does not match", ""},
            {QString(41, 'A'), "does not match", ""},
            {QString(65, 'A'), "longer than 64", "A{65}"},
            {"2412-0042", "is waiting for another device", ""},
            {"=1+2", "", "=1\\+2"},
        };
        for (const auto& [serial, problem, pattern] : serials) {
            const QString said = qx::service::serialProblem(
                serial, *pattern ? pattern : qx::service::kDefaultSerialPattern,
                problem == std::string_view("is waiting for another device") ? QStringList{serial}
                                                                             : QStringList{});
            QVERIFY2(*problem ? said.startsWith(problem) : said.isEmpty(), qPrintable(serial));
        }
        // the checks around an update: the file a reply names, and what it says of the
        // package's QX-LP4R-V1.4.0.bin
        using F = t::Found;
        const std::tuple<const char*, const char*, F> judged[] = {
            {"QX-LP4R-V1.4.0.bin\r\n", "QX-LP4R-V1.4.0.bin", F::Current},
            {"boot QX-LP4R-V1.4.0.bin", "QX-LP4R-V1.4.0.bin", F::Current},
            {"\r\nQX-LP4R-V1.3.7.bin", "QX-LP4R-V1.3.7.bin", F::OtherVersion},
            {"qx-lp4r-v1.4.0.bin\n", "qx-lp4r-v1.4.0.bin", F::OtherVersion},
            {"QX-LP4R-V1.10.0.bin\r\n", "QX-LP4R-V1.10.0.bin", F::Newer}, // numbers, not text
            {"QX-LP4R-V1.4.1.bin", "QX-LP4R-V1.4.1.bin", F::Newer},
            {"QX-LP4R-V2.bin", "QX-LP4R-V2.bin", F::Newer},
            {"QX-LP4R-V1.4.0.0.bin", "QX-LP4R-V1.4.0.0.bin", F::OtherVersion},
            {"QX-LP4R-V1.3.99.bin", "QX-LP4R-V1.3.99.bin", F::OtherVersion},
            {"QX-LP4R-V9.x.bin", "QX-LP4R-V9.x.bin", F::OtherVersion}, // unreadable: no refusal
            {"QX-LP9-V2.0.0.bin\r", "QX-LP9-V2.0.0.bin", F::OtherProduct},
            {"QX-LP4R-V1.4.0.BIN\r\n", "", F::Unknown},
            {" .bin \r\n", "", F::Unknown},
            {"V1.4.0\r\n ", "", F::Unknown},
        };
        for (const auto& [reply, file, found] : judged)
            QVERIFY2(t::namedFile(reply) == file &&
                         t::judgeVersion(reply, "QX-LP4R-V1.4.0.bin") == found,
                     reply);
        // what a terminal would obey is printed as an escape; letters of any script stay
        for (const auto& [text, shown] : {std::pair{u"V1\u001b[2K\r\n", u"V1\\x1b[2K\\x0d\\x0a"},
                                          {u"\u007f\u009b31m", u"\\x7f\\x9b31m"},
                                          {u"\u202eV1\u2028", u"\\u202eV1\\u2028"},
                                          {u"测试 Ä\\", u"测试 Ä\\"}})
            QCOMPARE(qx::inert(QString::fromUtf16(text)), QString::fromUtf16(shown));
        // a build with the test payload says so in each window's title; a release's are its own
        namespace x = qx::ui::texts;
        QCOMPARE(x::titleOf(x::kTitle, 0, false), "Firmware Update - QX-LP4R-V1.3.7");
        QCOMPARE(x::titleOf(x::bench::kTitle, 1, false), "QX-LP4R 批量升级");
        QVERIFY(x::titleOf(x::bench::kTitle, 0, true)
                    .endsWith("(TEST BUILD: a generated test "
                              "payload, not device firmware)"));
        QVERIFY(x::titleOf(x::kTitle, 1, true).endsWith(QString::fromUtf8(x::kTestBuild.chinese)));
        QCOMPARE(qx::ui::clockText(QTime(0, 0, 0), ':'), QString("00:00:00"));
        QCOMPARE(qx::ui::clockText(QTime(13, 0, 0), ':'), QString("13:00:00"));
        QCOMPARE(qx::ui::clockText(QTime(9, 5, 7), '.'), QString("09.05.07"));
        QCOMPARE(qx::ui::timeSeparator(QLocale(QLocale::English)), QChar(':'));
        QCOMPARE(qx::ui::timeSeparator(QLocale(QLocale::Finnish)), QChar('.'));
    }

    void verdictsAndPercentage()
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
        // a part of a reply waits for the rest only while the rest could make it acceptable
        const std::tuple<int, QByteArray, bool> partial[] = {
            {1, "\x06", true},   {1, "\x15", false}, {1, "\x18", false}, {1, "C", false},
            {3, "\x06", true},   {3, "\x15", false}, {1, "", true},      {0, "x", false},
            {1, "\x06C", false}, {4, "\x15", false}, {2, "\x06", false},
        };
        for (const auto& [state, reply, waits] : partial)
            QVERIFY2(t::awaitsRest(state, 1, bytesOf(reply)) == waits,
                     qPrintable(QString("state %1, reply %2").arg(state).arg(reply.toHex())));
        Package three; // fewer packets than its count says: nothing is read past them
        three.packetCount = 3;
        three.packageData.resize(1029);
        QCOMPARE(t::sendBytes(2, three).size(), std::size_t(1029));
        for (int state : {3, 7, -1})
            QVERIFY(t::sendBytes(state, three).empty());
        const std::tuple<float, float, const char*> percent[] = {
            {1, 375, "0%"},     {375, 375, "100%"},
            {374, 375, "100%"}, // begun at the header
            {1, 2, "50%"},      {1, 200, "1%"} /* half rounds up */,
            {1, 201, "0%"},     {2, 3, "67%"},
            {1, 0, "0%"},
        };
        for (const auto& [value, maximum, text] : percent)
            QCOMPARE(QString::fromStdString(t::percentText(value, maximum)), QString(text));
        // a failure's reason: the step and the cause, in the words of the table
        using C = t::Cause;
        const std::pair<t::Failure, const char*> reasons[] = {
            {{C::NoReply, 35}, "no answer to data block 34 of 372 within 10 s"},
            {{C::NoReply, 0}, "no answer to the menu command within 4 s"},
            {{C::NoReply, 1, {}, "1 of 2 bytes"},
             "an incomplete answer to the header within 10 s (1 of 2 bytes)"},
            {{C::NoReply, t::kQueryState, {'V', 0x15}},
             "an incomplete answer to the version command within 4 s: 56 15 (V NAK)"},
            {{C::WrongReply, 1, {0x15}}, "reply 15 (NAK) to the header, expected ACK and C"},
            {{C::WrongReply, 374, {0x18, 0xC9}},
             "reply 18 C9 (CAN ?) to the end of transmission, expected ACK and C"},
            {{C::WrongReply, 2, std::vector<std::uint8_t>(20, 'Z')},
             "reply 5A 5A 5A 5A 5A 5A 5A 5A 5A 5A 5A 5A 5A 5A 5A 5A and 4 more (Z Z Z Z Z Z Z Z Z "
             "Z Z Z Z Z Z Z) to data block 1 of 372, expected ACK"},
            {{C::LineLost, 201, {}, "the adapter was removed"},
             "the line was lost at data block 200 of 372 (the adapter was removed)"},
            {{C::PortRefused, 375, {}, "Write refused"},
             "the port refused the closing header (Write refused)"},
            {{C::ReplyTooLong, t::kQueryState}, "the version reply ran past 300 reads"},
            {{C::Interrupted, 373}, "interrupted at data block 372 of 372"},
            {{C::Interrupted, 376}, "interrupted at state 376"},
        };
        for (const auto& [failure, reason] : reasons)
            QCOMPARE(QString::fromStdString(t::describe(failure, 372)), QString(reason));
    }

    // The windows' language: --language's, else the system's first user-interface language,
    // Simplified Chinese for zh-CN, zh-Hans and zh-SG only.
    void languageRule()
    {
        const std::tuple<QStringList, QString, int> rows[] = {
            {{"zh-Hans-CN", "zh-CN", "zh-Hans", "zh"}, "", 1},
            {{"zh-CN"}, "", 1},
            {{"zh_CN"}, "", 1},
            {{"zh-Hans"}, "", 1},
            {{"zh-Hans-SG"}, "", 1},
            {{"zh-SG"}, "", 1},
            {{"zh-Hant-TW", "zh-TW"}, "", 0},
            {{"zh-HK"}, "", 0},
            {{"zh"}, "", 0},
            {{"en-US", "zh-CN"}, "", 0},
            {{"de-DE"}, "", 0},
            {{}, "", 0},
            {{"en-US"}, "zh", 1},
            {{"zh-CN"}, "en", 0},
        };
        for (const auto& [languages, choice, flag] : rows)
            QVERIFY2(qx::ui::languageFor(languages, choice) == flag,
                     qPrintable(languages.join(',') + " " + choice));
    }

    // A line of the record as a spreadsheet reads it: quoted where it must be, nothing it could
    // run, one line whatever the device sent; and two programs appending at once cut nothing.
    void serviceRecord()
    {
        t::Outcome outcome{t::Job::Query,
                           t::Outcome::Failure,
                           "reply 15 (NAK), \"quoted\"",
                           "\t=HYPERLINK(\"x\")\r\nV1",
                           QDateTime({2026, 12, 8}, {9, 5, 7}, QTimeZone(3600)),
                           1.5};
        const QByteArray line = qx::service::recordLine(outcome, {"COM7",
                                                                  "\\Device\\VCP0, 测试",
                                                                  nullptr,
                                                                  {},
                                                                  "=SN\x1b"
                                                                  "1",
                                                                  "A1",
                                                                  "Line 3, A (3f2a9c1b0d4e)",
                                                                  "traces/x.trace"});
        QVERIFY2(
            line.startsWith("2026-12-08T09:05:07+01:00,1.500,") &&
                line.contains(
                    ",COM7,\"\\Device\\VCP0, 测试\",version query,,,,yes,failure,"
                    "\"reply 15 (NAK), \"\"quoted\"\"\",\"\\x09=HYPERLINK(\"\"x\"\")\\x0d\\x0aV1\","
                    "1.3.7,,,'=SN\\x1b1,A1,\"Line 3, A (3f2a9c1b0d4e)\",traces/x.trace\r\n"),
            line.constData());
        QVERIFY(qx::service::recordHeader().startsWith("\xEF\xBB\xBFtime,duration_s,"));
        // read back as it was written: what a later run rebuilds a missed outbox line from
        const QStringList fields = qx::service::recordFields(outcome, {"COM7", "a,\"b\""});
        QCOMPARE(qx::service::recordLineFields(qx::service::recordLine(fields)), fields);
        // a line the outbox missed, rebuilt from its CSV from the offset noted; one the CSV no
        // longer holds comes back as lost, to be set aside
        QTemporaryDir missed;
        const qx::service::Outbox box(missed.path(), std::get<qx::service::Database>(
                                                         qx::service::parseRecordTo("service=x")));
        const QString csv = missed.filePath("service-record.csv");
        const QByteArray kept = qx::service::recordLine(fields), gone = kept + "x";
        QVERIFY(qx::platform::createWith(csv, qx::service::recordHeader() + kept));
        const QByteArray lostNote = qx::service::missedNote("id-2", csv, 0, gone);
        QVERIFY(qx::platform::createWith(box.missed,
                                         qx::service::missedNote("id-1", csv, 3, kept) + lostNote));
        const auto rebuilt = qx::service::rebuildMissed(box);
        QCOMPARE(rebuilt.lines, qx::service::outboxLine("id-1", fields));
        QCOMPARE(rebuilt.lost, QList<QByteArray>{lostNote.chopped(1)});

        // firmware_sha256 is the image's own: sha256sum of the release's file gives the same,
        // whatever the last block's padding
        for (const int size : {1, 1000, 1023, 1024, 1025, 2976, 5 * 1024}) {
            QByteArray image(size, '\0');
            for (int i = 0; i < size; ++i)
                image[i] = char(i * 7 + i / 251);
            const auto built = buildPackage("f.bin", std::to_string(size), bytesOf(image));
            const auto sliced = slicePackage(built).package;
            const t::Outcome updated{t::Job::Update, t::Outcome::Success, {}, {}};
            const QByteArray fields = qx::service::recordLine(updated, {"COM7", "d", &sliced});
            QCOMPARE(fields.split(',').value(9),
                     QCryptographicHash::hash(image, QCryptographicHash::Sha256).toHex());
        }

        QTemporaryDir folder;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("QX_APPEND_TO", folder.path());
        QProcess writers[2];
        for (QProcess& writer : writers) {
            writer.setProcessEnvironment(environment);
            writer.start(QCoreApplication::applicationFilePath());
        }
        for (QProcess& writer : writers)
            QVERIFY(writer.waitForFinished(60000) && writer.exitCode() == 0);
        QFile file(folder.filePath("service-record.csv"));
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QList<QByteArray> lines = file.readAll().split('\n');
        QCOMPARE(lines.size(), 1 + 2 * kAppends + 1); // the header, the lines, "" after the last
        QSet<QByteArray> seen;
        for (const QByteArray& l : lines.mid(1, 2 * kAppends)) {
            const QList<QByteArray> fields = l.split(',');
            QVERIFY2(fields.size() == 3 && fields[2] == QByteArray(100, 'x') + '\r', l.constData());
            seen.insert(fields[0] + ',' + fields[1]);
        }
        QCOMPARE(seen.size(), 2 * kAppends);
    }

    // A record that cannot be written keeps each line and writes it, whole and once, with the
    // next line that can be written; what is still kept when the program ends goes to standard
    // error. As the service laptop meets it: a read-only folder or file, or on Windows a file
    // that a spreadsheet holds open without sharing.
    void recordKeepsLines_data()
    {
        QTest::addColumn<int>("how");
#ifdef Q_OS_WIN
        QTest::newRow("held open without sharing") << int(Blocked::Held);
#else
        QTest::newRow("read-only folder") << int(Blocked::Folder);
        QTest::newRow("read-only file") << int(Blocked::File);
        QTest::newRow("unreadable file") << int(Blocked::Unreadable);
        QTest::newRow("file size limit") << int(Blocked::SizeLimit);
#endif
    }

    void recordKeepsLines()
    {
        QFETCH(int, how);
        QTemporaryDir dir;
        QFile::setPermissions(dir.path(), QFile::permissions(dir.path()) | QFile::ExeOther);
        const QString folder = dir.filePath("record"), path = folder + "/service-record.csv";
        QVERIFY(QDir().mkpath(folder));
        const auto line = numberedLine;
        QByteArray expected = qx::service::recordHeader();
        auto record = std::make_optional<qx::service::ServiceRecord>(folder);
        if (how != int(Blocked::Folder)) {
            QVERIFY(record->append(line(0)).isEmpty());
            expected += line(0);
        }
        const auto read = [&] { return contentsOf(path); };
        {
            const Unwritable blocked(Blocked(how), folder, path);
            const QString said = record->append(line(1));
            QVERIFY2(said.contains("the line is kept"), qPrintable(said));
        }
        QCOMPARE(read(), how == int(Blocked::Folder) ? QByteArray() : expected);
        QVERIFY(record->append(line(2)).isEmpty());
        QVERIFY(record->append(line(4)).isEmpty()); // what was kept is written once
        expected += line(1) + line(2) + line(4);
        QCOMPARE(read(), expected);
        QVERIFY(!QFile::exists(folder + "/service-record (2).csv"));

        static QStringList warned;
        warned.clear();
        const auto previous = qInstallMessageHandler(
            [](QtMsgType, const QMessageLogContext&, const QString& m) { warned << m; });
        {
            const Unwritable blocked(Blocked(how), folder, path);
            record->append(line(3));
            record.reset(); // the program ends
        }
        qInstallMessageHandler(previous);
        QCOMPARE(read(), expected);
        QCOMPARE(warned.size(), 1);
        QVERIFY2(warned[0].endsWith(QString::fromUtf8(line(3))), qPrintable(warned[0]));
    }

    // What stands in the record's place and is no file of ours is left alone without waiting on
    // it; a file system without hard links still gets its record.
    void recordInOddPlaces_data()
    {
        QTest::addColumn<QString>("place");
        QTest::addColumn<QString>("file"); // where the line goes
        QTest::newRow("FIFO") << "fifo"
                              << "service-record (2).csv";
        QTest::newRow("link to a FIFO") << "link"
                                        << "service-record (2).csv";
        QTest::newRow("no hard links") << "FAT"
                                       << "service-record.csv";
        QTest::newRow("an earlier version's") << "earlier"
                                              << "service-record.csv";
    }

    void recordInOddPlaces()
    {
#ifdef Q_OS_WIN
        QSKIP("the record's place is a FIFO or a FAT folder on Linux");
#else
        QFETCH(QString, place);
        QFETCH(QString, file);
        QTemporaryDir dir;
        const QByteArray fifo = QFile::encodeName(dir.filePath("f"));
        const QString path = dir.filePath("service-record.csv");
        if (place == "fifo")
            QVERIFY(::mkfifo(QFile::encodeName(path), 0600) == 0);
        if (place == "link")
            QVERIFY(::mkfifo(fifo, 0600) == 0 && QFile::link(fifo, path));
        const QByteArray header =
            qx::service::recordHeader(place == "earlier" ? qx::service::kFirstRecordColumnCount
                                                         : qx::service::kRecordColumnCount);
        if (place == "earlier") // its 15 columns: the lines with more go on below them
            QVERIFY(qx::platform::createWith(path, header));
        if (place == "FAT") // FAT, exFAT and many SMB shares refuse link()
            qx::platform::makeHardLink = [](const char*, const char*) { return errno = EPERM, -1; };
        ::alarm(10); // a record that waited for a FIFO's reader would hang here: this ends it
        qx::service::ServiceRecord(dir.path()).append(numberedLine(1));
        ::alarm(0);
        qx::platform::makeHardLink = ::link;
        QCOMPARE(contentsOf(dir.filePath(file)), header + numberedLine(1));
#endif
    }

    // Where the shared record is: host|port|dbname|user|options, or the refusal's words. A
    // password never comes from the URL, and no value can smuggle in another parameter.
    void recordToUrls()
    {
        const std::pair<const char*, const char*> rows[] = {
            {"postgresql://station@db.example:5433/service?sslmode=verify-full",
             "db.example|5433|service|station|sslmode=verify-full connect_timeout=3"},
            {"postgres://db/service?connect_timeout=9", "db|-1|service||connect_timeout=9"},
            {"service=line3", "|-1|||service=line3 connect_timeout=3"},
            {"host=/run/pg dbname=qx", "/run/pg|-1|qx||connect_timeout=3"},
            {"postgresql://station:secret@db/service", "a password does not go in the URL"},
            {"dbname=qx password=secret", "a password does not go in the URL"},
            {"postgresql://db/s?sslpassword=secret", "a password does not go in the URL"},
            {"dbname=qx PWD=secret", "a password does not go in the URL"},
            {"host=db password:secret", "a password does not go in the URL"},
            {"postgresql://db/s?sslmode%3Dprefer%20password=secret",
             "a password does not go in the URL"},
            {"postgresql://db/s?application_name=a%20password%3Dsecret",
             "a password does not go in the URL"},
            {"postgresql://station@db:99999/secret", "not a postgresql://"},
            {"postgresql://db/s?Sslmode=secret", "a parameter's name is lower-case"},
            {"postgresql://db/s?sslmode=require%20host%3Devil", "cannot hold spaces"},
            {"postgresql://db/s?application_name=a';b", "cannot hold spaces"},
            {"db.example", "neither a postgresql:// URL nor key=value"},
            {"postgresql:///", "name a database"},
        };
        for (const auto& [url, expected] : rows) {
            const auto parsed = qx::service::parseRecordTo(url);
            QString got;
            if (const auto* d = std::get_if<qx::service::Database>(&parsed))
                got = QStringList{d->host, QString::number(d->port), d->name, d->user,
                                  d->options.join(' ')}
                          .join('|');
            else
                got = std::get<QString>(parsed);
            QVERIFY2((got == expected || (!got.contains('|') && got.contains(expected))) &&
                         !got.contains("secret"),
                     qPrintable(QString("%1 -> %2").arg(url, got)));
        }
        // QX_RECORD_TO names the database where --record-to does not
        for (const bool given : {false, true}) {
            const QStringList arguments{"--list"};
            const auto parsed = qx::ui::parseArguments(
                given ? arguments + QStringList{"--record-to", "service=given"} : arguments,
                "service=environment");
            QCOMPARE(std::get<qx::ui::Arguments>(parsed).policy.recordTo->url,
                     given ? "service=given" : "service=environment");
        }
    }
};

// With QX_APPEND_TO=folder, appends kAppends numbered lines to the service record there and
// exits: the other half of the test of two programs appending at once.
int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (const QString folder = qEnvironmentVariable("QX_APPEND_TO"); !folder.isEmpty()) {
        qx::service::ServiceRecord record(folder);
        const QByteArray tag = QByteArray::number(QCoreApplication::applicationPid());
        for (int i = 0; i < kAppends; ++i)
            record.append(tag + ',' + QByteArray::number(i) + ',' + QByteArray(100, 'x') + "\r\n");
        return 0;
    }
    TestRules rules;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&rules, argc, argv);
}
#include "tst_rules.moc"
