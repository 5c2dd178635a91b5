#include "link/crc16.h"

#include <array>

namespace zovir {
namespace {

constexpr uint16_t kReflectedPoly = 0x8408;

using Table = std::array<uint16_t, 256>;

constexpr Table MakeByteTable() {
  Table t{};
  for (unsigned n = 0; n < 256; ++n) {
    uint16_t c = static_cast<uint16_t>(n);
    for (int k = 0; k < 8; ++k) c = (c & 1) ? static_cast<uint16_t>((c >> 1) ^ kReflectedPoly) : static_cast<uint16_t>(c >> 1);
    t[n] = c;
  }
  return t;
}

// slices[k][n]: the register contribution of byte n followed by k zero bytes.
constexpr std::array<Table, 8> MakeSlices() {
  std::array<Table, 8> s{};
  s[0] = MakeByteTable();
  for (int k = 1; k < 8; ++k)
    for (unsigned n = 0; n < 256; ++n)
      s[k][n] = static_cast<uint16_t>((s[k - 1][n] >> 8) ^ s[0][s[k - 1][n] & 0xFF]);
  return s;
}

constexpr std::array<Table, 8> kSlices = MakeSlices();
constexpr const Table& kTable = kSlices[0];

static_assert(kTable[1] == 0x1189 && kTable[255] == 0x0F78, "CRC-16/X-25 table");

}  // namespace

uint16_t Crc16UpdateByte(uint16_t crc, uint8_t byte) {
  return static_cast<uint16_t>((crc >> 8) ^ kTable[(crc ^ byte) & 0xFF]);
}

uint16_t Crc16Update(uint16_t crc, const uint8_t* data, size_t length) {
  // Eight bytes per step: only the first two meet the 16-bit register, the other six enter
  // through their own pre-shifted tables.
  while (length >= 8) {
    const unsigned b0 = (crc ^ data[0]) & 0xFF;
    const unsigned b1 = ((crc >> 8) ^ data[1]) & 0xFF;
    crc = static_cast<uint16_t>(kSlices[7][b0] ^ kSlices[6][b1] ^ kSlices[5][data[2]] ^ kSlices[4][data[3]] ^
                                kSlices[3][data[4]] ^ kSlices[2][data[5]] ^ kSlices[1][data[6]] ^
                                kSlices[0][data[7]]);
    data += 8;
    length -= 8;
  }
  while (length--) crc = Crc16UpdateByte(crc, *data++);
  return crc;
}

uint16_t Crc16X25(const uint8_t* data, size_t length) {
  return static_cast<uint16_t>(~Crc16Update(kCrc16Init, data, length));
}

uint16_t Crc16X25Bytewise(const uint8_t* data, size_t length) {
  uint16_t crc = kCrc16Init;
  for (size_t i = 0; i < length; ++i) crc = static_cast<uint16_t>((crc >> 8) ^ kTable[(crc ^ data[i]) & 0xFF]);
  return static_cast<uint16_t>(~crc);
}

}  // namespace zovir
