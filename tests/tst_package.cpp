// The firmware package: CRC, the build's own check, building from an image, slicing limits,
// and loading through the staging file.
#include "crc16.h"
#include "packageloader.h"

#include <QDir>
#include <QTemporaryDir>
#include <QtTest>

#include <unistd.h>

using namespace qx::package;

namespace {
std::span<const std::uint8_t> bytesOf(const QByteArray& b)
{
    return {reinterpret_cast<const std::uint8_t*>(b.constData()), std::size_t(b.size())};
}
QByteArray embedded()
{
    const auto e = embeddedPackage();
    return QByteArray(reinterpret_cast<const char*>(e.data()), qsizetype(e.size()));
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
    void crcCheckValue() { QCOMPARE(crc16Xmodem(bytesOf("123456789")), std::uint16_t(0x31C3)); }

    // The check the build runs on every package it embeds: one flipped bit at each place.
    void checkFindsEachFault()
    {
        const std::pair<int, const char*> rows[] = {
            {-1, ""},
            {2 + 1029 * 10 + 500, "data packet 11: CRC mismatch"},
            {2 + 1029 * 255 + 1, "data packet 256: block number 1, expected 0"},
            {4, "data packet 1: block number complement"},
            {2, "does not start with STX"},
            {4 + 1029 * 372 + 5, "does not name"},
            {1, "length 382928, expected 383957"},
            {3 + 1029 * 372, "after the data packets"},
            {382927, "trailing"},
        };
        for (const auto& [offset, problem] : rows) {
            QByteArray bytes = embedded();
            if (offset >= 0)
                bytes[offset] = char(bytes[offset] ^ 1);
            QStringList found;
            for (const auto& p : checkPackage(bytesOf(bytes), "QX-LP4R-V1.3.7.bin", "380929"))
                found << QString::fromStdString(p);
            QVERIFY2(*problem ? found.join('|').contains(problem) : found.isEmpty(),
                     qPrintable(found.join('|')));
        }
    }

    void buildFromAnImage()
    {
        QByteArray image(2 * 1024 + 7, '\0');
        for (int i = 0; i < image.size(); ++i)
            image[i] = char(i * 7);
        const auto built = buildPackage("fw-2.0.bin", "2055", bytesOf(image));
        QCOMPARE(built.size(), packageSize(3));
        QVERIFY(checkPackage(built, "fw-2.0.bin", "2055").empty());
        const QByteArray last(reinterpret_cast<const char*>(built.data()) + 2 + 1029 * 2 + 3, 1024);
        QCOMPARE(last, image.right(7) + QByteArray(1017, '\x1A')); // padded as senders do
    }

    void slicingLimits()
    {
        const std::tuple<int, int, bool> rows[] = {
            {0, 140, true},
            {0, 137, true}, // without its tail
            {0, 136, false},
            {1, 1165, false},
            {372, 100000, false},
            {0x8001, 400000, false},
            {0, 1, false},
            {0, 0, false},
            {32764, int(packageSize(32764)), true},
            {32765, int(packageSize(32765)), false},
        };
        for (const auto& [count, length, accepted] : rows) {
            QByteArray bytes(length, '\xAB');
            if (length >= 2) {
                bytes[0] = char(count >> 8);
                bytes[1] = char(count);
            }
            const auto result = slicePackage(bytesOf(bytes));
            const QByteArray tag = QByteArray::number(count) + "/" + QByteArray::number(length);
            QVERIFY2((result.error == SliceError::None) == accepted, tag);
            QVERIFY2(result.package.packetCount == (accepted ? count : 0), tag);
            QVERIFY2(result.package.packageData.size() == (accepted ? 1029u * count : 0u), tag);
            QVERIFY2(result.package.headerPacket[0] == (accepted ? 0xAB : 0), tag); // 4 + 1029 N
        }
    }

    void loadingTheEmbeddedPackage()
    {
        QTemporaryDir dir;
        const auto result = loadPackage(dir.path(), embeddedPackage());
        QVERIFY(result.ok && result.staged);
        const Package& pkg = result.package;
        QCOMPARE(pkg.packetCount, std::int16_t(372));
        QCOMPARE(pkg.packageData.size(), std::size_t(382788));
        QCOMPARE(QByteArray(reinterpret_cast<const char*>(pkg.packageData.data()), 3),
                 QByteArray("\x02\x01\xFE"));
        QCOMPARE(QByteArray(reinterpret_cast<const char*>(pkg.headerPacket.data()), 21),
                 QByteArray("\x01\x00\xFFQX-LP4R-V1.3.7.bin", 21));
        QCOMPARE(filesIn(dir.path()), QStringList());
        QVERIFY(loadPackage(dir.path(), embeddedPackage()).package == pkg);
        const std::array<std::uint8_t, 12> descriptor{0x11, 0x20, 0x01, 0x00, 0xD0, 0xD7,
                                                      0x05, 0x00, 0x00, 0x00, 0x00, 0x00};
        QVERIFY(stagingDescriptor(382928) == descriptor);
    }

    void aForeignDataBinIsLeftAlone()
    {
        QTemporaryDir dir;
        QFile foreign(dir.filePath("data.bin"));
        QVERIFY(foreign.open(QIODevice::WriteOnly));
        foreign.write(QByteArray(400000, '\x7F')); // a count that slicing would refuse
        foreign.close();
        const auto result = loadPackage(dir.path(), embeddedPackage());
        QVERIFY(result.ok && result.staged);
        QCOMPARE(result.package.packetCount, std::int16_t(372));
        QVERIFY(foreign.open(QIODevice::ReadOnly));
        QCOMPARE(foreign.readAll(), QByteArray(400000, '\x7F'));
        QCOMPARE(filesIn(dir.path()), QStringList{"data.bin"});
    }

    void aReadOnlyDirectoryLoadsFromMemory()
    {
        // root writes through mode bits; nobody can create a file in /proc
        const auto result = loadPackage(geteuid() == 0 ? "/proc" : "/", embeddedPackage());
        QVERIFY(result.ok && !result.staged);
        QVERIFY(result.package == loadPackage(QDir::tempPath(), embeddedPackage()).package);
    }

    // What was read back is used only if it is the package itself, byte for byte.
    void onlyAnUnchangedReadBackIsUsed()
    {
        const QByteArray package = embedded().left(5000);
        QByteArray changed = package;
        changed[4321] = 'X';
        for (auto [readBack, used] : {std::pair{package, true},
                                      {package + "tail", true},
                                      {changed, false},
                                      {package.chopped(1), false},
                                      {"", false}})
            QCOMPARE(readBackMatches(bytesOf(readBack), bytesOf(package)), used);
    }

    void aRefusedPackageIsReported()
    {
        QTemporaryDir dir;
        const auto result = loadPackage(dir.path(), bytesOf(embedded().left(5000)));
        QVERIFY(!result.ok);
        QCOMPARE(result.error, describe(SliceError::TooShort));
        QVERIFY(result.package == Package{});
        QCOMPARE(filesIn(dir.path()), QStringList());
    }
};

QTEST_GUILESS_MAIN(TestPackage)
#include "tst_package.moc"
