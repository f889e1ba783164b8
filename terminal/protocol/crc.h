// Checksums of the terminal protocol: CRC-16/IBM-3740 (often called CRC-16/CCITT-FALSE) over a
// frame, CRC-8/SMBUS over its header, and CRC-32C over the canonical form of a checked dense
// batch's records (version 4).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace terminal::protocol {

// Polynomial 0x1021, initial value 0xFFFF, no reflection, no final XOR; "123456789" gives 0x29B1.
std::uint16_t Crc16(std::span<const std::uint8_t> bytes, std::uint16_t crc = 0xFFFF);
// Polynomial 0x07, initial value 0x00, no reflection, no final XOR; "123456789" gives 0xF4.
std::uint8_t Crc8(std::span<const std::uint8_t> bytes);
// CRC-32C (Castagnoli): polynomial 0x1EDC6F41 reflected (0x82F63B78), initial value 0xFFFFFFFF,
// input and output reflected, final XOR 0xFFFFFFFF; "123456789" gives 0xE3069283.
std::uint32_t Crc32c(std::span<const std::uint8_t> bytes);

}  // namespace terminal::protocol
