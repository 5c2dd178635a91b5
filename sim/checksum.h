#pragma once
#include <cstddef>
#include <cstdint>
#include <span>

namespace zovir::sim {

// CRC-16/X-25 over a buffer, complemented: the frame check and the image checksum.
uint16_t Crc16(std::span<const uint8_t> data);
// Register update without the final complement, for incremental use.
uint16_t Crc16Update(uint16_t crc, std::span<const uint8_t> data);

}  // namespace zovir::sim
