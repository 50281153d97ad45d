// Staging the package through a file in the program's directory, with an in-memory fallback.
#include "packageloader.h"

#include <QFile>
#include <QResource>
#include <QTemporaryFile>

#include <algorithm>
#include <optional>

namespace qx::package {

namespace {

// Writes, closes, reopens, reads back whole and removes `file`; nullopt if any step fails.
std::optional<QByteArray> roundTrip(QFile& file, std::span<const std::uint8_t> package)
{
    const auto descriptor = stagingDescriptor(static_cast<std::uint32_t>(package.size()));
    const bool written =
        file.write(reinterpret_cast<const char*>(descriptor.data()), descriptor.size()) ==
            static_cast<qint64>(descriptor.size()) &&
        file.write(reinterpret_cast<const char*>(package.data()),
                   static_cast<qint64>(package.size())) == static_cast<qint64>(package.size());
    file.close();
    std::optional<QByteArray> contents;
    if (written && file.open(QIODevice::ReadOnly)) {
        contents = file.readAll();
        file.close();
    }
    file.remove();
    if (contents && static_cast<std::size_t>(contents->size()) < kStagingDescriptorSize)
        contents.reset();
    return contents;
}

std::optional<QByteArray> stage(const QString& programDir, std::span<const std::uint8_t> package)
{
    if (programDir.isEmpty())
        return std::nullopt;
    QFile file(programDir + '/' + kStagingFileName);
    if (file.open(QIODevice::ReadWrite | QIODevice::NewOnly))
        return roundTrip(file, package);
    if (!file.exists())
        return std::nullopt; // not writable
    QTemporaryFile unique(programDir + "/data.XXXXXX.bin");
    if (!unique.open())
        return std::nullopt;
    return roundTrip(unique, package);
}

LoadResult slice(std::span<const std::uint8_t> bytes, bool staged)
{
    LoadResult result;
    auto sliced = slicePackage(bytes);
    result.ok = sliced.error == SliceError::None;
    result.error = result.ok ? std::string() : describe(sliced.error);
    result.package = std::move(sliced.package);
    result.staged = staged;
    return result;
}

} // namespace

std::span<const std::uint8_t> embeddedPackage()
{
    // Registered at static initialisation; stored uncompressed, so data() is the bytes.
    static const QResource resource(kPackageResourcePath);
    if (!resource.isValid() || resource.compressionAlgorithm() != QResource::NoCompression)
        return {};
    return {resource.data(), static_cast<std::size_t>(resource.size())};
}

bool embeddedIsTestPayload()
{
    return QX_TEST_PAYLOAD;
}

std::string embeddedSummary()
{
    const auto sliced = slicePackage(embeddedPackage());
    if (sliced.error != SliceError::None)
        return "firmware package refused: " + describe(sliced.error);
    const auto [name, size] = headerFields(sliced.package.headerPacket);
    return "firmware package " + name + ", " + size + " bytes in " +
           std::to_string(sliced.package.packetCount) + " blocks, " +
           (embeddedIsTestPayload() ? "a GENERATED TEST PAYLOAD, not device firmware"
                                    : "from the firmware image given to the build");
}

std::array<std::uint8_t, kStagingDescriptorSize> stagingDescriptor(std::uint32_t packageLength)
{
    // Little-endian: type tag 0x2011 (a byte array), 1 dimension, element count, lower bound 0.
    return {0x11,
            0x20,
            0x01,
            0x00,
            static_cast<std::uint8_t>(packageLength),
            static_cast<std::uint8_t>(packageLength >> 8),
            static_cast<std::uint8_t>(packageLength >> 16),
            static_cast<std::uint8_t>(packageLength >> 24),
            0x00,
            0x00,
            0x00,
            0x00};
}

LoadResult sliceReadBack(std::optional<std::span<const std::uint8_t>> readBack,
                         std::span<const std::uint8_t> package)
{
    // Only the embedded bytes ever go on the wire: a file that reads back otherwise (a disk
    // fault, another writer in the directory) is not used.
    if (readBack && readBack->size() >= package.size() &&
        std::equal(package.begin(), package.end(), readBack->begin()))
        return slice(*readBack, true);
    return slice(package, false);
}

LoadResult loadPackage(const QString& programDir, std::span<const std::uint8_t> package)
{
    const auto file = stage(programDir, package);
    if (!file)
        return sliceReadBack(std::nullopt, package);
    return sliceReadBack(std::span(reinterpret_cast<const std::uint8_t*>(file->constData()),
                                   static_cast<std::size_t>(file->size()))
                             .subspan(kStagingDescriptorSize),
                         package);
}

LoadResult loadFirmware(const QString& programDir, std::span<const std::uint8_t> given)
{
    return loadPackage(programDir, given.empty() ? embeddedPackage() : given);
}

} // namespace qx::package
