// pe-tidy FILE...: gives each Windows executable the form Authenticode signing leaves behind
// when its signature is removed again: the file padded with zeros to a multiple of eight bytes,
// and the PE header's checksum set. An unsigned release is built in this form, so that a signed
// file with its signature removed (osslsigncode remove-signature) equals the unsigned one.
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <vector>

namespace {

std::uint32_t read32(const std::vector<unsigned char>& bytes, std::size_t at)
{
    return std::uint32_t(bytes[at]) | std::uint32_t(bytes[at + 1]) << 8 |
           std::uint32_t(bytes[at + 2]) << 16 | std::uint32_t(bytes[at + 3]) << 24;
}

// The PE checksum: 16-bit words summed with their carries folded in, the checksum field taken
// as zero, plus the file's length.
std::uint32_t peChecksum(const std::vector<unsigned char>& bytes, std::size_t field)
{
    std::uint64_t sum = 0;
    for (std::size_t i = 0; i < bytes.size(); i += 2) {
        if (i >= field && i < field + 4)
            continue;
        sum += bytes[i] | (i + 1 < bytes.size() ? bytes[i + 1] << 8 : 0);
        sum = (sum & 0xffff) + (sum >> 16);
    }
    sum = (sum & 0xffff) + (sum >> 16);
    return std::uint32_t(sum + bytes.size());
}

bool tidy(const char* path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    std::vector<unsigned char> bytes{std::istreambuf_iterator<char>(in), {}};
    if (bytes.size() < 0x40 || bytes[0] != 'M' || bytes[1] != 'Z')
        return false;
    const std::size_t pe = read32(bytes, 0x3c);
    // The signature, the file header (20 bytes), then the optional header's checksum at 64.
    const std::size_t field = pe + 4 + 20 + 64;
    if (field + 4 > bytes.size() || read32(bytes, pe) != 0x4550) // "PE\0\0"
        return false;
    bytes.resize((bytes.size() + 7) / 8 * 8, 0);
    const std::uint32_t sum = peChecksum(bytes, field);
    for (int k = 0; k < 4; ++k)
        bytes[field + k] = static_cast<unsigned char>(sum >> (8 * k));
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    return bool(out);
}

} // namespace

int main(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i)
        if (!tidy(argv[i])) {
            std::fprintf(stderr, "pe-tidy: %s is not a Windows executable that can be written\n",
                         argv[i]);
            return 1;
        }
    return argc > 1 ? 0 : 2;
}
