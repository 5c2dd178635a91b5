#include "sim/checksum.h"

#include <array>

namespace zovir::sim {
namespace {

constexpr std::array<uint16_t, 256> MakeTable() {
  std::array<uint16_t, 256> t{};
  for (unsigned i = 0; i < 256; ++i) {
    uint16_t c = static_cast<uint16_t>(i);
    for (int k = 0; k < 8; ++k) c = (c & 1) ? static_cast<uint16_t>((c >> 1) ^ 0x8408) : static_cast<uint16_t>(c >> 1);
    t[i] = c;
  }
  return t;
}
constexpr auto kTable = MakeTable();

}  // namespace

uint16_t Crc16Update(uint16_t crc, std::span<const uint8_t> data) {
  for (uint8_t b : data) crc = static_cast<uint16_t>((crc >> 8) ^ kTable[(crc ^ b) & 0xFF]);
  return crc;
}

uint16_t Crc16(std::span<const uint8_t> data) {
  return static_cast<uint16_t>(~Crc16Update(0xFFFF, data));
}

}  // namespace zovir::sim
