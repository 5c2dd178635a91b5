#include "link/frame_buffer.h"

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

void FrameBuffer::AddEscaped(const uint8_t* data, uint32_t n) {
  for (uint32_t i = 0; i < n && !overflow; ++i) AddEscaped(data[i]);
}

void FrameBuffer::AddRaw(const uint8_t* data, uint32_t n) {
  for (uint32_t i = 0; i < n && !overflow; ++i) AddRaw(data[i]);
}

void FrameBuffer::FinishFrame() {
  uint16_t crc = kCrc16Init;
  if (!overflow) {
    for (uint32_t i = 0; i < length; ++i) {
      uint8_t b = data_[i];
      if (b == kEscape && i + 1 < length) b = static_cast<uint8_t>(data_[++i] ^ kEscapeXor);
      crc = Crc16UpdateByte(crc, b);
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
