// The firmware package: CRC, the embedded package's layout, slicing limits, and staging.
#include "crc16.h"
#include "packageformat.h"
#include "packageloader.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <unistd.h>

using namespace qx::package;

namespace {

std::uint16_t crcAt(std::span<const std::uint8_t> packet)
{
    return static_cast<std::uint16_t>(packet[packet.size() - 2] << 8 | packet.back());
}

// A package of `count` packets whose bytes are only as long as `length`; content irrelevant.
std::vector<std::uint8_t> rawPackage(int count, std::size_t length)
{
    std::vector<std::uint8_t> bytes(length, 0xAB);
    if (length >= 2) {
        bytes[0] = static_cast<std::uint8_t>(count >> 8);
        bytes[1] = static_cast<std::uint8_t>(count);
    }
    return bytes;
}

bool writeFile(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

QStringList filesIn(const QString& dir)
{
    return QDir(dir).entryList(QDir::Files | QDir::Hidden);
}

} // namespace

class TestPackage : public QObject
{
    Q_OBJECT

private slots:
    void crcMatchesStandardCheckValue()
    {
        const std::string text = "123456789";
        QCOMPARE(crc16Xmodem({reinterpret_cast<const std::uint8_t*>(text.data()), text.size()}),
                 std::uint16_t(0x31C3));
        QCOMPARE(crc16Xmodem({}), std::uint16_t(0));
    }

    void embeddedPackageIsTheGeneratedFile()
    {
        const auto embedded = embeddedPackage();
        QCOMPARE(embedded.size(), std::size_t(382928));
        QFile file(QX_PACKAGE_FILE);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray onDisk = file.readAll();
        QVERIFY(
            std::equal(embedded.begin(), embedded.end(),
                       reinterpret_cast<const std::uint8_t*>(onDisk.constData()),
                       reinterpret_cast<const std::uint8_t*>(onDisk.constData()) + onDisk.size()));
    }

    // Walks every packet with its own reading of the format, not through checkPackage.
    void embeddedPackageLayoutIsSound()
    {
        const auto p = embeddedPackage();
        QCOMPARE(int(p[0]), 0x01);
        QCOMPARE(int(p[1]), 0x74);
        for (std::size_t k = 1; k <= 372; ++k) {
            const auto packet = p.subspan(2 + 1029 * (k - 1), 1029);
            QCOMPARE(int(packet[0]), 0x02);
            QCOMPARE(int(packet[1]), int(k % 256));
            QCOMPARE(int(packet[1]) + int(packet[2]), 255);
            QCOMPARE(crcAt(packet), crc16Xmodem(packet.subspan(3, 1024)));
        }
        QCOMPARE(int(p[2 + 1029 * 255 + 1]), 0); // packet 256 wraps to block 0
        QCOMPARE(int(p[2 + 1029 * 255 + 2]), 0xFF);
        QCOMPARE(int(p[2 + 1029 * 371 + 1]), 116); // the last packet
        QCOMPARE(int(p[2 + 1029 * 372]), 0);
        QCOMPARE(int(p[3 + 1029 * 372]), 0);
        const auto header = p.subspan(4 + 1029 * 372, 133);
        QCOMPARE(int(header[0]), 0x01);
        QCOMPARE(int(header[1]), 0x00);
        QCOMPARE(int(header[2]), 0xFF);
        const std::string field(reinterpret_cast<const char*>(header.data()) + 3, 128);
        QCOMPARE(field.substr(0, 26), std::string("QX-LP4R-V1.3.7.bin\0"
                                                  "380929\0",
                                                  26));
        QVERIFY(field.find_first_not_of('\0', 26) == std::string::npos);
        QCOMPARE(crcAt(header), crc16Xmodem(header.subspan(3, 128)));
        for (std::size_t i = p.size() - 3; i < p.size(); ++i)
            QCOMPARE(int(p[i]), 0);
        QVERIFY(checkPackage(p, "QX-LP4R-V1.3.7.bin", "380929").empty());
    }

    void loadingTheEmbeddedPackage()
    {
        QTemporaryDir dir;
        const auto result = loadPackage(dir.path(), embeddedPackage());
        QVERIFY(result.ok);
        QVERIFY(result.staged);
        const Package& pkg = result.package;
        QCOMPARE(pkg.packetCount, std::int16_t(372));
        QCOMPARE(pkg.packageData.size(), std::size_t(382788));
        QCOMPARE(int(pkg.packageData[0]), 0x02);
        QCOMPARE(int(pkg.packageData[1]), 0x01);
        QCOMPARE(int(pkg.packageData[2]), 0xFE);
        QCOMPARE(int(pkg.headerPacket[0]), 0x01);
        QCOMPARE(int(pkg.headerPacket[1]), 0x00);
        QCOMPARE(int(pkg.headerPacket[2]), 0xFF);
        QCOMPARE(std::string(reinterpret_cast<const char*>(&pkg.headerPacket[3]), 18),
                 std::string("QX-LP4R-V1.3.7.bin"));
        QVERIFY(std::equal(pkg.packageData.begin(), pkg.packageData.end(),
                           embeddedPackage().begin() + 2));
        QVERIFY2(filesIn(dir.path()).isEmpty(), qPrintable(filesIn(dir.path()).join(',')));

        const auto again = loadPackage(dir.path(), embeddedPackage());
        QVERIFY(again.package == pkg);
    }

    void stagingFileLayout()
    {
        const auto d = stagingDescriptor(382928);
        const std::array<std::uint8_t, 12> expected{0x11, 0x20, 0x01, 0x00, 0xD0, 0xD7,
                                                    0x05, 0x00, 0x00, 0x00, 0x00, 0x00};
        QVERIFY(d == expected);
    }

    void existingDataBinIsLeftAlone()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("data.bin");
        QByteArray foreign(400000, '\x5A');
        foreign[0] = '\x7F'; // a count that would be refused if this file were sliced
        QVERIFY(writeFile(path, foreign));
        const auto result = loadPackage(dir.path(), embeddedPackage());
        QVERIFY(result.ok);
        QVERIFY(result.staged);
        QVERIFY(result.package == loadPackage(QString(), embeddedPackage()).package);
        QFile f(path);
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(f.readAll(), foreign);
        QCOMPARE(filesIn(dir.path()), QStringList{"data.bin"});
    }

    void readOnlyDirectoryFallsBackToMemory()
    {
        // root writes through mode bits, so use a directory even root cannot create files in.
        QTemporaryDir tmp;
        QString dir = tmp.path();
        if (geteuid() == 0)
            dir = "/proc";
        else
            QVERIFY(QFile::setPermissions(dir, QFile::ReadOwner | QFile::ExeOwner));
        const auto result = loadPackage(dir, embeddedPackage());
        QVERIFY(result.ok);
        QVERIFY(!result.staged);
        QCOMPARE(result.package.packetCount, std::int16_t(372));
        QVERIFY(result.package == loadPackage(tmp.path(), embeddedPackage()).package);
        QFile::setPermissions(tmp.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }

    void slicingLimits_data()
    {
        QTest::addColumn<int>("count");
        QTest::addColumn<qint64>("length");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("N=0") << 0 << qint64(packageSize(0)) << true;
        QTest::newRow("N=0 without tail") << 0 << qint64(2 + 2 + 133) << true;
        QTest::newRow("N=0 one byte short") << 0 << qint64(2 + 2 + 132) << false;
        QTest::newRow("N=1 truncated") << 1 << qint64(packageSize(1) - 4) << false;
        QTest::newRow("N=372 truncated in data") << 372 << qint64(100000) << false;
        QTest::newRow("N=32764") << 32764 << qint64(packageSize(32764)) << true;
        QTest::newRow("N=32765") << 32765 << qint64(packageSize(32765)) << false;
        QTest::newRow("high bit set") << 0x8001 << qint64(400000) << false;
        QTest::newRow("0xFFFF") << 0xFFFF << qint64(400000) << false;
        QTest::newRow("one byte") << 0 << qint64(1) << false;
        QTest::newRow("empty") << 0 << qint64(0) << false;
    }

    void slicingLimits()
    {
        QFETCH(int, count);
        QFETCH(qint64, length);
        QFETCH(bool, accepted);
        const auto bytes = rawPackage(count, std::size_t(length));
        const auto result = slicePackage(bytes);
        QCOMPARE(result.error == SliceError::None, accepted);
        if (accepted) {
            QCOMPARE(int(result.package.packetCount), count);
            QCOMPARE(result.package.packageData.size(), std::size_t(1029) * count);
            // the header comes from package offset 4 + 1029 N
            QCOMPARE(int(result.package.headerPacket[0]), 0xAB);
        } else {
            QVERIFY(result.package == Package{});
        }
    }

    void refusedPackageIsReportedByTheLoader()
    {
        QTemporaryDir dir;
        const auto bytes = rawPackage(372, 5000);
        const auto result = loadPackage(dir.path(), bytes);
        QVERIFY(!result.ok);
        QVERIFY(!result.error.empty());
        QVERIFY(result.package == Package{});
        QVERIFY(filesIn(dir.path()).isEmpty());
    }

    void generatorRejectsCorruption_data()
    {
        QTest::addColumn<qint64>("offset");
        QTest::addColumn<int>("xorMask");
        QTest::addColumn<QString>("problem");
        QTest::newRow("payload byte") << qint64(2 + 1029 * 10 + 500) << 0x01 << "CRC mismatch";
        QTest::newRow("block number") << qint64(2 + 1029 * 255 + 1) << 0x01 << "block number";
        QTest::newRow("complement") << qint64(2 + 2) << 0x10 << "complement";
        QTest::newRow("framing") << qint64(2) << 0x03 << "STX";
        QTest::newRow("header name") << qint64(4 + 1029 * 372 + 5) << 0x20 << "header";
        QTest::newRow("count") << qint64(1) << 0x01 << "length";
        QTest::newRow("trailer") << qint64(382927) << 0x01 << "trailing";
    }

    void generatorRejectsCorruption()
    {
        QFETCH(qint64, offset);
        QFETCH(int, xorMask);
        QFETCH(QString, problem);
        QTemporaryDir dir;
        const auto p = embeddedPackage();
        QByteArray bytes(reinterpret_cast<const char*>(p.data()), qsizetype(p.size()));
        bytes[offset] = char(bytes[offset] ^ xorMask);
        const QString path = dir.filePath("bad.pkg");
        QVERIFY(writeFile(path, bytes));

        QProcess tool;
        tool.start(QX_MKPACKAGE,
                   {"--check", path, "--name", "QX-LP4R-V1.3.7.bin", "--size", "380929"});
        QVERIFY(tool.waitForFinished());
        QCOMPARE(tool.exitCode(), 1);
        const QString err = QString::fromUtf8(tool.readAllStandardError());
        QVERIFY2(err.contains(problem), qPrintable(err));

        tool.start(QX_MKPACKAGE, {"--check", QX_PACKAGE_FILE, "--name", "QX-LP4R-V1.3.7.bin",
                                  "--size", "380929"});
        QVERIFY(tool.waitForFinished());
        QCOMPARE(tool.exitCode(), 0);
    }

    void generatorBuildsFromAnImage()
    {
        QTemporaryDir dir;
        QByteArray image(2 * 1024 + 7, '\0');
        for (int i = 0; i < image.size(); ++i)
            image[i] = char(i * 7);
        const QString imagePath = dir.filePath("fw-2.0.bin");
        QVERIFY(writeFile(imagePath, image));
        QProcess tool;
        tool.start(QX_MKPACKAGE, {"--out", dir.filePath("out.pkg"), "--image", imagePath});
        QVERIFY(tool.waitForFinished());
        QCOMPARE(tool.exitCode(), 0);
        QFile out(dir.filePath("out.pkg"));
        QVERIFY(out.open(QIODevice::ReadOnly));
        const QByteArray pkg = out.readAll();
        QCOMPARE(pkg.size(), qsizetype(packageSize(3)));
        const auto* u = reinterpret_cast<const std::uint8_t*>(pkg.constData());
        QVERIFY(checkPackage({u, std::size_t(pkg.size())}, "fw-2.0.bin", "2055").empty());
        // last block: 7 image bytes, then 0x1A padding
        QCOMPARE(pkg.mid(2 + 1029 * 2 + 3, 7), image.right(7));
        QCOMPARE(pkg.at(2 + 1029 * 2 + 3 + 7), '\x1A');
        QCOMPARE(pkg.at(2 + 1029 * 2 + 3 + 1023), '\x1A');
    }
};

QTEST_GUILESS_MAIN(TestPackage)
#include "tst_package.moc"
