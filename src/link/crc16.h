#pragma once
#include <cstddef>
#include <cstdint>

namespace zovir {

// CRC-16/X-25 (the FCS-16 of RFC 1662): reflected 0x1021, init 0xFFFF, final complement.
// Crc16X25("123456789") == 0x906E.
constexpr uint16_t kCrc16Init = 0xFFFF;
constexpr uint16_t kCrc16Residue = 0xF0B8;  // register after payload + check bytes

// Register update without the final complement: carry-less-multiply folding where the
// processor has it, slicing-by-8 otherwise.
uint16_t Crc16Update(uint16_t crc, const uint8_t* data, size_t length);
// The same update through the slicing-by-8 tables only, whatever the processor offers.
uint16_t Crc16UpdateTable(uint16_t crc, const uint8_t* data, size_t length);
// Single byte, table form: crc = (crc >> 8) ^ table[(crc ^ b) & 0xFF].
uint16_t Crc16UpdateByte(uint16_t crc, uint8_t byte);
// The complemented check value over a whole buffer.
uint16_t Crc16X25(const uint8_t* data, size_t length);
// The plain byte-at-a-time table form, kept as the reference the fast one is measured against.
uint16_t Crc16X25Bytewise(const uint8_t* data, size_t length);

}  // namespace zovir
