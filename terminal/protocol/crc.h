// Checksums of the terminal protocol: CRC-16/IBM-3740 (often called CRC-16/CCITT-FALSE) over a
// frame and CRC-8/SMBUS over its header.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace terminal::protocol {

// Polynomial 0x1021, initial value 0xFFFF, no reflection, no final XOR; "123456789" gives 0x29B1.
std::uint16_t Crc16(std::span<const std::uint8_t> bytes, std::uint16_t crc = 0xFFFF);
// Polynomial 0x07, initial value 0x00, no reflection, no final XOR; "123456789" gives 0xF4.
std::uint8_t Crc8(std::span<const std::uint8_t> bytes);

}  // namespace terminal::protocol
