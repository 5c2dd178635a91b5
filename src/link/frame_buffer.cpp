#include "link/frame_buffer.h"

#include <algorithm>
#include <cstring>

#include "link/crc16.h"

namespace zovir {
namespace {

constexpr uint8_t kFlag = 0x7E;
constexpr uint8_t kEscape = 0x7D;
constexpr uint8_t kEscapeXor = 0x20;
// Payload adds leave this much room for the escaped check bytes and the closing flag.
constexpr uint32_t kLastIndex = FrameBuffer::kCapacity - 1;
// What an overflowed frame turns into: a NAK with reason 3 and its check bytes.
constexpr uint8_t kOverflowNak[] = {0x03, 0x00, 0x03, 0x33, 0x1B};

}  // namespace

FrameBuffer::FrameBuffer() : data_(kCapacity + 1, 0) {}

void FrameBuffer::Clear() {
  length = 0;
  overflow = false;
}

void FrameBuffer::AddEscaped(uint8_t b) {
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
  const auto* flag = static_cast<const uint8_t*>(std::memchr(data, kFlag, n));
  const uint32_t limit = flag ? static_cast<uint32_t>(flag - data) : n;
  const auto* escape = static_cast<const uint8_t*>(std::memchr(data, kEscape, limit));
  return escape ? static_cast<uint32_t>(escape - data) : limit;
}

}  // namespace

// Runs of ordinary bytes are copied whole; the bounds are the single-byte adds' own, so the
// frame and the point where it overflows are the same as adding byte by byte.
void FrameBuffer::AddEscaped(const uint8_t* data, uint32_t n) {
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
        return;
      }
    }
    if (i < n) AddEscaped(data[i++]);
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
  if (!overflow) {
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
