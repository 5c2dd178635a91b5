#include "sim/checksum.h"

#ifdef ZOVIR_SIM_SHARED_CRC
#include "link/crc16.h"
#else
#include <array>
#endif

namespace zovir::sim {

#ifdef ZOVIR_SIM_SHARED_CRC

uint16_t Crc16Update(uint16_t crc, std::span<const uint8_t> data) { return zovir::Crc16Update(crc, data.data(), data.size()); }
uint16_t Crc16(std::span<const uint8_t> data) { return zovir::Crc16X25(data.data(), data.size()); }

#else

// Stand-in used only when the tool's link library is not part of the build.
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

uint16_t Crc16(std::span<const uint8_t> data) { return static_cast<uint16_t>(~Crc16Update(0xFFFF, data)); }

#endif

}  // namespace zovir::sim
