#include "sim/checksum.h"

#include "link/crc16.h"

namespace zovir::sim {

uint16_t Crc16Update(uint16_t crc, std::span<const uint8_t> data) { return zovir::Crc16Update(crc, data.data(), data.size()); }
uint16_t Crc16(std::span<const uint8_t> data) { return zovir::Crc16X25(data.data(), data.size()); }

}  // namespace zovir::sim
