#include "link/crc16.h"

#include <array>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define ZOVIR_CRC_CLMUL 1
#endif

namespace zovir {
namespace {

constexpr uint16_t kReflectedPoly = 0x8408;
constexpr uint16_t kNormalPoly = 0x1021;  // x^16 + x^12 + x^5 + 1 without the x^16 term

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

uint16_t UpdateSliced(uint16_t crc, const uint8_t* data, size_t length) {
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
  while (length--) crc = static_cast<uint16_t>((crc >> 8) ^ kTable[(crc ^ *data++) & 0xFF]);
  return crc;
}

#ifdef ZOVIR_CRC_CLMUL

// Carry-less multiplication folding. The bytes of a 16-byte block, read little-endian into a
// 128-bit register, hold the message polynomial bit-reflected: register bit j is the
// coefficient of x^(127-j). A block moved D bits further on is congruent (mod P) to
// lo * x^(D+64) + hi * x^D, where lo and hi are its two halves; both products of a 64-bit half
// with a 16-bit remainder fit in 128 bits again, so whole blocks fold into one register that
// stays congruent to everything read so far. Its 16 bytes then go through the table like any
// message, which spares the usual Barrett reduction.

// x^n mod P, normal bit order (bit d is the coefficient of x^d).
constexpr uint16_t XPowMod(unsigned n) {
  uint16_t r = 1;
  for (unsigned i = 0; i < n; ++i) r = static_cast<uint16_t>((r & 0x8000) ? (r << 1) ^ kNormalPoly : r << 1);
  return r;
}

// A remainder as a 64-bit reflected operand: the coefficient of x^d sits in bit 63 - d.
// pclmul's product of two such operands lands one bit short of the 128-bit convention above,
// so the constants carry one power of x less than the distance they stand for.
constexpr uint64_t Operand(uint16_t remainder) {
  uint64_t v = 0;
  for (unsigned d = 0; d < 16; ++d)
    if (remainder & (1u << d)) v |= uint64_t{1} << (63 - d);
  return v;
}

struct FoldConstants {
  uint64_t lo;  // multiplies the block's first eight bytes
  uint64_t hi;  // multiplies its last eight bytes
};

constexpr FoldConstants ConstantsFor(unsigned distanceBits) {
  return {Operand(XPowMod(distanceBits + 63)), Operand(XPowMod(distanceBits - 1))};
}

constexpr FoldConstants kFold128 = ConstantsFor(128);
constexpr FoldConstants kFold512 = ConstantsFor(512);
constexpr FoldConstants kFold2048 = ConstantsFor(2048);

__attribute__((target("pclmul,sse4.1"))) inline __m128i Fold(__m128i acc, __m128i k, __m128i next) {
  const __m128i lo = _mm_clmulepi64_si128(acc, k, 0x00);
  const __m128i hi = _mm_clmulepi64_si128(acc, k, 0x11);
  return _mm_xor_si128(_mm_xor_si128(lo, hi), next);
}

__attribute__((target("pclmul,sse4.1"))) inline __m128i Load(const uint8_t* p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

// Needs length >= 64.
__attribute__((target("pclmul,sse4.1"))) uint16_t UpdateClmul(uint16_t crc, const uint8_t* data, size_t length) {
  const __m128i k512 = _mm_set_epi64x(static_cast<long long>(kFold512.hi), static_cast<long long>(kFold512.lo));
  const __m128i k128 = _mm_set_epi64x(static_cast<long long>(kFold128.hi), static_cast<long long>(kFold128.lo));
  // The register's start value enters as if added to the first two message bytes.
  __m128i a0 = _mm_xor_si128(Load(data), _mm_cvtsi32_si128(crc));
  __m128i a1 = Load(data + 16);
  __m128i a2 = Load(data + 32);
  __m128i a3 = Load(data + 48);
  data += 64;
  length -= 64;
  // Four independent chains keep the multiplier busy while each product is in flight.
  while (length >= 64) {
    a0 = Fold(a0, k512, Load(data));
    a1 = Fold(a1, k512, Load(data + 16));
    a2 = Fold(a2, k512, Load(data + 32));
    a3 = Fold(a3, k512, Load(data + 48));
    data += 64;
    length -= 64;
  }
  __m128i acc = Fold(Fold(Fold(a0, k128, a1), k128, a2), k128, a3);
  while (length >= 16) {
    acc = Fold(acc, k128, Load(data));
    data += 16;
    length -= 16;
  }
  alignas(16) uint8_t folded[16];
  _mm_store_si128(reinterpret_cast<__m128i*>(folded), acc);
  return UpdateSliced(UpdateSliced(0, folded, sizeof folded), data, length);
}

#define ZOVIR_TARGET_512 __attribute__((target("avx512f,vpclmulqdq,pclmul,sse4.1")))

ZOVIR_TARGET_512 inline __m512i Broadcast512(FoldConstants k) {
  const auto lo = static_cast<long long>(k.lo), hi = static_cast<long long>(k.hi);
  return _mm512_set_epi64(hi, lo, hi, lo, hi, lo, hi, lo);
}

ZOVIR_TARGET_512 inline __m512i Load512(const uint8_t* p) { return _mm512_loadu_si512(p); }

ZOVIR_TARGET_512 inline __m512i Fold512(__m512i acc, __m512i k, __m512i next) {
  const __m512i lo = _mm512_clmulepi64_epi128(acc, k, 0x00);
  const __m512i hi = _mm512_clmulepi64_epi128(acc, k, 0x11);
  return _mm512_ternarylogic_epi64(lo, hi, next, 0x96);  // lo ^ hi ^ next
}

// The same folding, four 16-byte lanes per 512-bit register and four registers in flight.
// Needs length >= 256.
ZOVIR_TARGET_512 uint16_t UpdateClmul512(uint16_t crc, const uint8_t* data, size_t length) {
  const __m128i k128 = _mm_set_epi64x(static_cast<long long>(kFold128.hi), static_cast<long long>(kFold128.lo));
  const __m512i w2048 = Broadcast512(kFold2048);
  const __m512i w512 = Broadcast512(kFold512);
  __m512i a0 = _mm512_xor_si512(Load512(data), _mm512_zextsi128_si512(_mm_cvtsi32_si128(crc)));
  __m512i a1 = Load512(data + 64);
  __m512i a2 = Load512(data + 128);
  __m512i a3 = Load512(data + 192);
  data += 256;
  length -= 256;
  while (length >= 256) {
    a0 = Fold512(a0, w2048, Load512(data));
    a1 = Fold512(a1, w2048, Load512(data + 64));
    a2 = Fold512(a2, w2048, Load512(data + 128));
    a3 = Fold512(a3, w2048, Load512(data + 192));
    data += 256;
    length -= 256;
  }
  __m512i acc = Fold512(Fold512(Fold512(a0, w512, a1), w512, a2), w512, a3);
  while (length >= 64) {
    acc = Fold512(acc, w512, Load512(data));
    data += 64;
    length -= 64;
  }
  // The four lanes hold consecutive 16-byte pieces of the message.
  // (The zero-masking extracts: GCC 12 takes the plain ones' undefined filler for an
  // uninitialised read.)
  __m128i one = Fold(_mm512_maskz_extracti32x4_epi32(0xF, acc, 0), k128, _mm512_maskz_extracti32x4_epi32(0xF, acc, 1));
  one = Fold(one, k128, _mm512_maskz_extracti32x4_epi32(0xF, acc, 2));
  one = Fold(one, k128, _mm512_maskz_extracti32x4_epi32(0xF, acc, 3));
  while (length >= 16) {
    one = Fold(one, k128, Load(data));
    data += 16;
    length -= 16;
  }
  alignas(16) uint8_t folded[16];
  _mm_store_si128(reinterpret_cast<__m128i*>(folded), one);
  return UpdateSliced(UpdateSliced(0, folded, sizeof folded), data, length);
}

bool HasClmul512() {
  static const bool has = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("vpclmulqdq") &&
                          __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
  return has;
}

bool HasClmul() {
  static const bool has = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
  return has;
}

#undef ZOVIR_TARGET_512

// Below these the setup costs more than it saves.
constexpr size_t kClmulMinLength = 128;
constexpr size_t kClmul512MinLength = 1024;

#endif

}  // namespace

uint16_t Crc16UpdateByte(uint16_t crc, uint8_t byte) {
  return static_cast<uint16_t>((crc >> 8) ^ kTable[(crc ^ byte) & 0xFF]);
}

uint16_t Crc16Update(uint16_t crc, const uint8_t* data, size_t length) {
#ifdef ZOVIR_CRC_CLMUL
  if (length >= kClmul512MinLength && HasClmul512()) return UpdateClmul512(crc, data, length);
  if (length >= kClmulMinLength && HasClmul()) return UpdateClmul(crc, data, length);
#endif
  return UpdateSliced(crc, data, length);
}

uint16_t Crc16UpdateTable(uint16_t crc, const uint8_t* data, size_t length) {
  return UpdateSliced(crc, data, length);
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
