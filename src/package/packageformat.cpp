// Building, checking and slicing the firmware package.
#include "packageformat.h"

#include "crc16.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <stdexcept>

namespace qx::package {

namespace {

std::uint16_t storedCrc(std::span<const std::uint8_t> packet)
{
    const std::size_t n = packet.size();
    return static_cast<std::uint16_t>(packet[n - 2] << 8 | packet[n - 1]);
}

void putCrc(std::span<std::uint8_t> packet)
{
    const std::size_t n = packet.size();
    const std::uint16_t crc = crc16Xmodem(packet.subspan(3, n - 5));
    packet[n - 2] = static_cast<std::uint8_t>(crc >> 8);
    packet[n - 1] = static_cast<std::uint8_t>(crc & 0xFF);
}

} // namespace

SliceResult slicePackage(std::span<const std::uint8_t> bytes)
{
    if (bytes.size() < kCountSize)
        return {{}, SliceError::TooShort};
    const auto count = static_cast<std::int16_t>(bytes[0] << 8 | bytes[1]);
    if (count < 0 || count > kMaxPacketCount)
        return {{}, SliceError::CountOutOfRange};
    const std::size_t dataSize = kDataPacketSize * static_cast<std::size_t>(count);
    const std::size_t headerOffset = kCountSize + dataSize + kGapSize;
    if (bytes.size() < headerOffset + kHeaderPacketSize)
        return {{}, SliceError::TooShort};

    SliceResult result;
    result.package.packetCount = count;
    const auto data = bytes.subspan(kCountSize, dataSize);
    result.package.packageData.assign(data.begin(), data.end());
    std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(headerOffset), kHeaderPacketSize,
                result.package.headerPacket.begin());
    return result;
}

std::string describe(SliceError error)
{
    switch (error) {
    case SliceError::None:
        return "no error";
    case SliceError::CountOutOfRange:
        return "the firmware package's packet count is out of range";
    case SliceError::TooShort:
        return "the firmware package is shorter than its packet count requires";
    }
    return "unknown error";
}

HeaderFields headerFields(const HeaderPacket& packet)
{
    // name NUL size NUL within the 128-byte field; the field's end stops an unterminated one
    const std::string field(packet.begin() + 3, packet.begin() + 3 + kHeaderBlockSize);
    const std::string name = field.substr(0, field.find('\0'));
    const std::string rest = field.substr(std::min(field.size(), name.size() + 1));
    return {name, rest.substr(0, rest.find('\0'))};
}

std::vector<std::uint8_t> dataPacket(std::size_t blockIndex, std::span<const std::uint8_t> block)
{
    std::vector<std::uint8_t> packet(kDataPacketSize, kPadByte);
    const auto number = static_cast<std::uint8_t>((blockIndex + 1) % 256);
    packet[0] = STX;
    packet[1] = number;
    packet[2] = static_cast<std::uint8_t>(255 - number);
    std::copy_n(block.begin(), std::min(block.size(), kDataBlockSize), packet.begin() + 3);
    putCrc(packet);
    return packet;
}

namespace {

// The header's data field: name NUL size NUL, zero-filled; nullopt when it does not fit.
std::optional<std::string> headerField(const std::string& fileName, const std::string& sizeText)
{
    std::string field = fileName + '\0' + sizeText + '\0';
    if (field.size() > kHeaderBlockSize)
        return std::nullopt;
    field.resize(kHeaderBlockSize, '\0');
    return field;
}

bool startsWithNoCase(const std::string& text, const std::string& prefix)
{
    return text.size() >= prefix.size() &&
           std::equal(prefix.begin(), prefix.end(), text.begin(), [](char a, char b) {
               return std::tolower(static_cast<unsigned char>(a)) ==
                      std::tolower(static_cast<unsigned char>(b));
           });
}

} // namespace

HeaderPacket headerPacket(const std::string& fileName, const std::string& sizeText)
{
    const auto field = headerField(fileName, sizeText);
    if (!field)
        throw std::length_error("the header cannot hold the name \"" + fileName +
                                "\" with its size text");
    HeaderPacket packet{};
    packet[0] = SOH;
    packet[1] = 0x00;
    packet[2] = 0xFF;
    std::memcpy(packet.data() + 3, field->data(), kHeaderBlockSize);
    putCrc(packet);
    return packet;
}

std::vector<std::uint8_t> buildPackage(const std::string& fileName, const std::string& sizeText,
                                       std::span<const std::uint8_t> firmware)
{
    const std::size_t count = (firmware.size() + kDataBlockSize - 1) / kDataBlockSize;
    std::vector<std::uint8_t> out;
    out.reserve(packageSize(count));
    out.push_back(static_cast<std::uint8_t>(count >> 8));
    out.push_back(static_cast<std::uint8_t>(count & 0xFF));
    for (std::size_t k = 0; k < count; ++k) {
        const std::size_t offset = k * kDataBlockSize;
        const auto block =
            firmware.subspan(offset, std::min(kDataBlockSize, firmware.size() - offset));
        const auto packet = dataPacket(k, block);
        out.insert(out.end(), packet.begin(), packet.end());
    }
    out.insert(out.end(), kGapSize, 0x00);
    const auto header = headerPacket(fileName, sizeText);
    out.insert(out.end(), header.begin(), header.end());
    out.insert(out.end(), kTailSize, 0x00);
    return out;
}

std::vector<std::string> checkPackage(std::span<const std::uint8_t> bytes,
                                      const std::string& expectedName,
                                      const std::string& expectedSizeText)
{
    std::vector<std::string> problems;
    if (bytes.size() < kCountSize) {
        problems.push_back("package shorter than its count field");
        return problems;
    }
    const int count = bytes[0] << 8 | bytes[1];
    if (count > kMaxPacketCount)
        problems.push_back("packet count " + std::to_string(count) + " above " +
                           std::to_string(kMaxPacketCount));
    if (bytes.size() != packageSize(static_cast<std::size_t>(count))) {
        problems.push_back("length " + std::to_string(bytes.size()) + ", expected " +
                           std::to_string(packageSize(static_cast<std::size_t>(count))) + " for " +
                           std::to_string(count) + " packets");
        return problems;
    }
    for (int k = 1; k <= count; ++k) {
        const auto packet = bytes.subspan(kCountSize + kDataPacketSize * (k - 1), kDataPacketSize);
        const std::string where = "data packet " + std::to_string(k) + ": ";
        const auto number = static_cast<std::uint8_t>(k % 256);
        if (packet[0] != STX)
            problems.push_back(where + "does not start with STX");
        if (packet[1] != number)
            problems.push_back(where + "block number " + std::to_string(packet[1]) + ", expected " +
                               std::to_string(number));
        if (packet[2] != static_cast<std::uint8_t>(255 - packet[1]))
            problems.push_back(where + "block number complement is wrong");
        if (storedCrc(packet) != crc16Xmodem(packet.subspan(3, kDataBlockSize)))
            problems.push_back(where + "CRC mismatch");
    }
    const std::size_t gap = kCountSize + kDataPacketSize * static_cast<std::size_t>(count);
    if (bytes[gap] != 0 || bytes[gap + 1] != 0)
        problems.push_back("the two bytes after the data packets are not 0x00");
    const auto header = bytes.subspan(gap + kGapSize, kHeaderPacketSize);
    if (header[0] != SOH || header[1] != 0x00 || header[2] != 0xFF)
        problems.push_back("header packet framing is not 01 00 FF");
    if (storedCrc(header) != crc16Xmodem(header.subspan(3, kHeaderBlockSize)))
        problems.push_back("header packet: CRC mismatch");
    // Exactly: a cut name, or one without its size, is not the file.
    const auto expected = headerField(expectedName, expectedSizeText);
    if (!expected || std::memcmp(expected->data(), header.data() + 3, kHeaderBlockSize) != 0)
        problems.push_back("header packet does not name \"" + expectedName + "\" with size \"" +
                           expectedSizeText + "\"");
    const auto tail = bytes.last(kTailSize);
    if (std::any_of(tail.begin(), tail.end(), [](std::uint8_t b) { return b != 0; }))
        problems.push_back("the three trailing bytes are not 0x00");
    return problems;
}

Image readImage(const std::string& path, std::size_t maxBytes)
{
    namespace fs = std::filesystem;
    std::error_code ec;
    const auto status = fs::status(path, ec);
    if (!fs::exists(status))
        return {{}, "does not exist"};
    if (fs::is_directory(status))
        return {{}, "is a directory, not a file"};
    if (!fs::is_regular_file(status))
        return {{}, "is not a regular file"};
    if (const auto size = fs::file_size(path, ec); !ec && size > maxBytes)
        return {{},
                "is " + std::to_string(size) + " bytes, and at most " + std::to_string(maxBytes) +
                    " fit a transfer"};
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (!file)
        return {{}, std::string("cannot be opened: ") + std::strerror(errno)};
    Image image;
    std::uint8_t chunk[1 << 16];
    std::size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, file)) > 0)
        image.bytes.insert(image.bytes.end(), chunk, chunk + n);
    if (std::ferror(file))
        image = {{}, std::string("failed while being read: ") + std::strerror(errno)};
    std::fclose(file);
    return image;
}

bool isVersion(const std::string& text)
{
    int parts = 0;
    for (std::size_t at = 0; at <= text.size(); ++parts) {
        const std::size_t end = std::min(text.find('.', at), text.size());
        if (end == at ||
            !std::all_of(text.begin() + std::ptrdiff_t(at), text.begin() + std::ptrdiff_t(end),
                         [](char c) { return c >= '0' && c <= '9'; }))
            return false;
        at = end + 1;
    }
    return parts == 3;
}

std::string versionInName(const std::string& fileName)
{
    constexpr std::size_t prefix = sizeof kFirmwareNamePrefix - 1;
    if (fileName.size() <= prefix + 4 || !startsWithNoCase(fileName, kFirmwareNamePrefix) ||
        !startsWithNoCase(fileName.substr(fileName.size() - 4), ".bin"))
        return {};
    const std::string version = fileName.substr(prefix, fileName.size() - prefix - 4);
    return isVersion(version) ? version : std::string();
}

std::string imageProblem(const std::string& fileName, std::size_t size, const std::string& version)
{
    if (!isVersion(version))
        return "cannot go into a release of version '" + version + "': give it as <a>.<b>.<c>";
    if (const std::string named = versionInName(fileName); !named.empty() && named != version)
        return "names version " + named + ", but the release is " + version +
               ": the window and the service record would misname what it installs";
    if (size == 0)
        return "is empty: a release of it would leave the device without firmware";
    const std::size_t blocks = (size + kDataBlockSize - 1) / kDataBlockSize;
    if (blocks > static_cast<std::size_t>(kMaxPacketCount))
        return "needs " + std::to_string(blocks) + " blocks, and at most " +
               std::to_string(kMaxPacketCount) + " fit a transfer";
    const std::string sizeText = std::to_string(size);
    if (!headerField(fileName, sizeText))
        return "has a name of " + std::to_string(fileName.size()) +
               " bytes: with its size text it does not fit the 128-byte header (at most " +
               std::to_string(kHeaderBlockSize - 2 - sizeText.size()) + " bytes)";
    return {};
}

} // namespace qx::package
