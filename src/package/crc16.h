// CRC-16/XMODEM, the checksum of every YMODEM block the device's boot loader receives.
#pragma once

#include <cstdint>
#include <span>

namespace qx::package {

// Polynomial 0x1021, initial value 0, no reflection, no final XOR.
std::uint16_t crc16Xmodem(std::span<const std::uint8_t> bytes);

} // namespace qx::package
