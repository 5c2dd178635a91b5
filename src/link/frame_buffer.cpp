#include "link/frame_buffer.h"

#include <algorithm>
#include <cstring>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "link/hdlc.h"

namespace zovir {
namespace {

constexpr uint8_t kFlag = kHdlcFlag;
constexpr uint8_t kEscape = kHdlcEscape;
constexpr uint8_t kEscapeXor = kHdlcEscapeXor;
// Payload adds leave this much room for the escaped check bytes and the closing flag.
constexpr uint32_t kLastIndex = FrameBuffer::kCapacity - 1;
// What an overflowed frame turns into: a NAK with reason 3 and its check bytes.
constexpr uint8_t kOverflowNak[] = {0x03, 0x00, 0x03, 0x33, 0x1B};

}  // namespace

FrameBuffer::FrameBuffer() : data_(kCapacity + 1, 0) {}

void FrameBuffer::Clear() {
  length = 0;
  overflow = false;
  crc_ = kCrc16Init;
  crcLength_ = 0;
  crcTracked_ = true;
}

void FrameBuffer::AppendEscaped(uint8_t b) {
  if (overflow) return;
  const bool special = b == kFlag || b == kEscape;
  if (length + (special ? 7u : 6u) > kLastIndex) {
    overflow = true;
    return;
  }
  if (special) {
    data_[length++] = kEscape;
    data_[length++] = static_cast<uint8_t>(b ^ kEscapeXor);
  } else {
    data_[length++] = b;
  }
}

void FrameBuffer::AddEscaped(uint8_t b) {
  const bool tracked = crcTracked_ && crcLength_ == length;
  AppendEscaped(b);
  if (tracked && !overflow) {
    crc_ = Crc16UpdateByte(crc_, b);
    crcLength_ = length;
  } else {
    crcTracked_ = false;
  }
}

void FrameBuffer::AddRaw(uint8_t b) {
  if (overflow) return;
  // Unbounded in name only: a byte past the buffer marks the frame overflowed instead of
  // writing beyond it.
  if (length >= kCapacity) {
    overflow = true;
    return;
  }
  data_[length++] = b;
}

void FrameBuffer::AddRawBounded(uint8_t b) {
  if (overflow) return;
  if (length + 6 >= kCapacity) {
    overflow = true;
    return;
  }
  data_[length++] = b;
}

namespace {

// Offset of the next flag or escape byte in [data, data + n), or n.
uint32_t NextSpecial(const uint8_t* data, uint32_t n) {
  uint32_t i = 0;
#ifdef __SSE2__
  const __m128i flag = _mm_set1_epi8(static_cast<char>(kFlag));
  const __m128i escape = _mm_set1_epi8(static_cast<char>(kEscape));
  for (; i + 16 <= n; i += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i));
    const int hits = _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(v, flag), _mm_cmpeq_epi8(v, escape)));
    if (hits != 0) return i + static_cast<uint32_t>(__builtin_ctz(static_cast<unsigned>(hits)));
  }
#endif
  for (; i < n; ++i)
    if (data[i] == kFlag || data[i] == kEscape) break;
  return i;
}

}  // namespace

// Runs of ordinary bytes are copied whole; the bounds are the single-byte adds' own, so the
// frame and the point where it overflows are the same as adding byte by byte. The check goes
// over the whole input in one pass afterwards, which is what the wide CRC is fast at.
void FrameBuffer::AddEscaped(const uint8_t* data, uint32_t n) {
  const bool tracked = crcTracked_ && crcLength_ == length;
  uint32_t i = 0;
  while (i < n && !overflow) {
    const uint32_t run = NextSpecial(data + i, n - i);
    if (run > 0) {
      // An ordinary byte fits while length + 6 <= kLastIndex.
      const uint32_t room = length + 6 <= kLastIndex ? kLastIndex - 6 - length + 1 : 0;
      const uint32_t take = std::min(run, room);
      if (take > 0) std::memcpy(data_.data() + length, data + i, take);
      length += take;
      i += take;
      if (take < run) {
        overflow = true;
        break;
      }
    }
    if (i < n) AppendEscaped(data[i++]);
  }
  if (tracked && !overflow) {
    crc_ = Crc16Update(crc_, data, n);
    crcLength_ = length;
  } else {
    crcTracked_ = false;
  }
}

void FrameBuffer::AddRaw(const uint8_t* data, uint32_t n) {
  if (overflow) return;
  const uint32_t take = std::min(n, kCapacity - std::min(length, kCapacity));
  if (take > 0) std::memcpy(data_.data() + length, data, take);
  length += take;
  if (take < n) overflow = true;
}

void FrameBuffer::FinishFrame() {
  uint16_t crc = kCrc16Init;
  if (!overflow && crcTracked_ && crcLength_ == length) {
    crc = crc_;
    if (length + 4 > kCapacity) overflow = true;
  } else if (!overflow) {
    // Every escape byte, however it was added, is read as an escape (a trailing one as itself).
    const uint8_t* p = data_.data();
    uint32_t i = 0;
    while (i < length) {
      const auto* escape = static_cast<const uint8_t*>(std::memchr(p + i, kEscape, length - i));
      const uint32_t end = escape ? static_cast<uint32_t>(escape - p) : length;
      crc = Crc16Update(crc, p + i, end - i);
      i = end;
      if (i == length) break;
      if (i + 1 < length) {
        crc = Crc16UpdateByte(crc, static_cast<uint8_t>(p[i + 1] ^ kEscapeXor));
        i += 2;
      } else {
        crc = Crc16UpdateByte(crc, kEscape);
        i += 1;
      }
    }
    // Raw adds do not reserve room for the check: up to four escaped check bytes and the flag.
    if (length + 4 > kCapacity) overflow = true;
  }
  if (overflow) {
    length = 0;
    for (uint8_t b : kOverflowNak) data_[length++] = b;
    data_[length] = kFlag;
    return;
  }
  crc = static_cast<uint16_t>(~crc);
  for (uint8_t b : {static_cast<uint8_t>(crc & 0xFF), static_cast<uint8_t>(crc >> 8)}) {
    if (b == kFlag || b == kEscape) {
      data_[length++] = kEscape;
      data_[length++] = static_cast<uint8_t>(b ^ kEscapeXor);
    } else {
      data_[length++] = b;
    }
  }
  data_[length] = kFlag;
}

void FrameBuffer::FinishRawFrame() {
  if (overflow) {
    FinishFrame();
    return;
  }
  // Raw content is not escaped, so every byte counts as it is.
  const uint16_t crc = Crc16X25(data_.data(), length);
  AddRawBounded(static_cast<uint8_t>(crc & 0xFF));
  AddRawBounded(static_cast<uint8_t>(crc >> 8));
  if (overflow) FinishFrame();
}

}  // namespace zovir
