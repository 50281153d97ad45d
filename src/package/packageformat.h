// The firmware package: a ready-made YMODEM-1K packet stream with its packet count,
// how to build one, check one, and slice one into what the transfer sends.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace qx::package {

inline constexpr std::uint8_t SOH = 0x01;      // starts a 128-byte block (the header)
inline constexpr std::uint8_t STX = 0x02;      // starts a 1024-byte block (data)
inline constexpr std::uint8_t kPadByte = 0x1A; // fills the last block of an image, as senders do

inline constexpr std::size_t kDataBlockSize = 1024;
inline constexpr std::size_t kHeaderBlockSize = 128;
inline constexpr std::size_t kDataPacketSize = 3 + kDataBlockSize + 2;     // 1029
inline constexpr std::size_t kHeaderPacketSize = 3 + kHeaderBlockSize + 2; // 133
inline constexpr std::size_t kCountSize = 2;
inline constexpr std::size_t kGapSize = 2;  // the two 0x00 between the data packets and the header
inline constexpr std::size_t kTailSize = 3; // the three trailing 0x00
// The transfer numbers its steps 0 .. N + 3 as signed 16-bit values.
inline constexpr int kMaxPacketCount = 32764;

// The device's naming of firmware files, QX-LP4R-V<a>.<b>.<c>.bin; the generated test payload
// is named as the first release, whose version a test build keeps.
inline constexpr char kFirmwareNamePrefix[] = "QX-LP4R-V";
inline constexpr char kTestPayloadName[] = "QX-LP4R-V1.3.7.bin";

inline constexpr std::size_t packageSize(std::size_t packetCount)
{
    return kCountSize + kDataPacketSize * packetCount + kGapSize + kHeaderPacketSize + kTailSize;
}

using HeaderPacket = std::array<std::uint8_t, kHeaderPacketSize>;

// What loading yields; the initial (empty) value is also what a refused package leaves.
struct Package
{
    std::int16_t packetCount = 0;
    std::vector<std::uint8_t> packageData; // packetCount data packets back to back
    HeaderPacket headerPacket{};           // all zero until loaded
    bool operator==(const Package&) const = default;
};

enum class SliceError
{
    None,
    CountOutOfRange, // N negative (high bit set) or above kMaxPacketCount
    TooShort,        // fewer bytes than the count requires
};

struct SliceResult
{
    Package package;
    SliceError error = SliceError::None;
};

// Cuts a package (offset 0 = the count) into count, data packets and header packet.
// Never reads outside `bytes`; on error the package is the empty one.
SliceResult slicePackage(std::span<const std::uint8_t> bytes);

std::string describe(SliceError error);

// What a header packet names: the file and its size text.
struct HeaderFields
{
    std::string fileName, sizeText;
};
HeaderFields headerFields(const HeaderPacket& packet);

// Building, for the build-time generator and for tests.
std::vector<std::uint8_t> dataPacket(std::size_t blockIndex, std::span<const std::uint8_t> block);
// Throws std::length_error when the name, NUL, size text and NUL do not fit its 128 bytes.
HeaderPacket headerPacket(const std::string& fileName, const std::string& sizeText);
// A whole package from a firmware file's bytes; the last block is padded with kPadByte.
std::vector<std::uint8_t> buildPackage(const std::string& fileName, const std::string& sizeText,
                                       std::span<const std::uint8_t> firmware);

// A firmware image read whole from a file, or why it could not be.
struct Image
{
    std::vector<std::uint8_t> bytes;
    std::string error; // empty when read
};
// A file read whole; one larger than `maxBytes` is refused by its size before it is read.
Image readImage(const std::string& path, std::size_t maxBytes = SIZE_MAX);
// The largest image one transfer carries.
inline constexpr std::size_t kMaxImageBytes = std::size_t(kMaxPacketCount) * kDataBlockSize;

// The version <a>.<b>.<c> that a firmware file's name carries ("QX-LP4R-V1.4.0.bin", in any
// case), or empty.
std::string versionInName(const std::string& fileName);
bool isVersion(const std::string& text); // <a>.<b>.<c>, each decimal digits

// Why the image `fileName` of `size` bytes cannot go into release `version`, as one line; empty
// when it can. Refused: a version that is not <a>.<b>.<c>, a name that carries another version
// (the window and the record would misname what it installs), an empty image, one of more
// blocks than the transfer counts, and a name that the header's 128 bytes cannot hold with its
// size text. Any other name is taken as given.
std::string imageProblem(const std::string& fileName, std::size_t size, const std::string& version);

// Every problem found in a package, as readable lines; empty when it is sound.
std::vector<std::string> checkPackage(std::span<const std::uint8_t> bytes,
                                      const std::string& expectedName,
                                      const std::string& expectedSizeText);

} // namespace qx::package
