// Build-time generator of the embedded firmware package.
//   mkpackage --out FILE [--image FIRMWARE --version A.B.C]   write a package, read it back
//                                                              and check it
//   mkpackage --check FILE --name NAME --size TEXT   check an existing package
// Without --image the payload is 372 blocks from a fixed-seed generator, so every build
// embeds the same bytes; the header names "QX-LP4R-V1.3.7.bin" with the size text "380929".
#include "packageformat.h"

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

constexpr std::size_t kDefaultBlocks = 372;
constexpr const char* kDefaultName = qx::package::kTestPayloadName;
constexpr const char* kDefaultSizeText = "380929";
constexpr std::uint64_t kPayloadSeed = 0x51584C5034520137ULL;

std::vector<std::uint8_t> defaultPayload()
{
    std::vector<std::uint8_t> payload(kDefaultBlocks * qx::package::kDataBlockSize);
    std::uint64_t state = kPayloadSeed;
    for (auto& byte : payload) {
        // splitmix64: simple, well distributed, identical on every compiler.
        std::uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        byte = static_cast<std::uint8_t>(z ^ (z >> 31));
    }
    return payload;
}

int check(const std::string& path, const std::string& name, const std::string& sizeText)
{
    const auto package = qx::package::readImage(path);
    if (!package.error.empty()) {
        std::fprintf(stderr, "mkpackage: %s %s\n", path.c_str(), package.error.c_str());
        return 1;
    }
    const auto problems = qx::package::checkPackage(package.bytes, name, sizeText);
    for (const auto& problem : problems)
        std::fprintf(stderr, "mkpackage: %s: %s\n", path.c_str(), problem.c_str());
    return problems.empty() ? 0 : 1;
}

int usage()
{
    std::fprintf(stderr, "usage: mkpackage --out FILE [--image FIRMWARE --version A.B.C]\n"
                         "       mkpackage --check FILE --name NAME --size TEXT\n");
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    std::string out, image, checkPath, version, name = kDefaultName, sizeText = kDefaultSizeText;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (i + 1 >= argc)
            return usage();
        const std::string value = argv[++i];
        if (arg == "--out")
            out = value;
        else if (arg == "--image")
            image = value;
        else if (arg == "--version")
            version = value;
        else if (arg == "--check")
            checkPath = value;
        else if (arg == "--name")
            name = value;
        else if (arg == "--size")
            sizeText = value;
        else
            return usage();
    }
    if (!checkPath.empty())
        return check(checkPath, name, sizeText);
    if (out.empty())
        return usage();

    std::vector<std::uint8_t> firmware;
    if (image.empty()) {
        firmware = defaultPayload();
    } else {
        // One line on what is wrong with the image, and nothing built from it.
        auto read = qx::package::readImage(image, qx::package::kMaxImageBytes);
        name = std::filesystem::path(image).filename().string();
        const std::string problem =
            read.error.empty() ? qx::package::imageProblem(name, read.bytes.size(), version)
                               : read.error;
        if (!problem.empty()) {
            std::fprintf(stderr, "mkpackage: firmware image %s %s\n", image.c_str(),
                         problem.c_str());
            std::filesystem::remove(out);
            return 1;
        }
        firmware = std::move(read.bytes);
        sizeText = std::to_string(firmware.size());
    }

    const auto package = qx::package::buildPackage(name, sizeText, firmware);
    {
        std::ofstream file(out, std::ios::binary | std::ios::trunc);
        file.write(reinterpret_cast<const char*>(package.data()),
                   static_cast<std::streamsize>(package.size()));
        if (!file) {
            std::fprintf(stderr, "mkpackage: cannot write %s\n", out.c_str());
            return 1;
        }
    }
    // Read back what reached the disk, not what is in memory.
    if (check(out, name, sizeText) != 0) {
        std::filesystem::remove(out);
        std::fprintf(stderr, "mkpackage: the written package failed its check\n");
        return 1;
    }
    return 0;
}
