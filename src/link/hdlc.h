#pragma once
#include <cstdint>

#include "link/crc16.h"

namespace zovir {

// The byte framing of the diagnostic port: a flag ends a frame (and may open one), an escape
// byte stands before a flag or escape of the content, which then travels XOR 0x20.
constexpr uint8_t kHdlcFlag = 0x7E;
constexpr uint8_t kHdlcEscape = 0x7D;
constexpr uint8_t kHdlcEscapeXor = 0x20;

// Reads framed bytes one at a time into a caller's buffer, unescaping them and checking each
// frame's CRC-16/X-25 when its flag arrives. Flags with no content between them are skipped.
// A flag always ends a frame, even right after an escape byte: that pair aborts the frame (it
// is reported as a bad check), so a damaged frame never swallows the start of the next one.
class FrameDecoder {
 public:
  enum class Event : uint8_t {
    None,      // the byte was taken; no frame ended
    Frame,     // a frame of at least 3 bytes (payload + check) whose check holds
    BadCheck,  // a frame whose check does not hold, or one aborted by escape + flag
    TooShort,  // a flag after fewer than 3 bytes
    TooLong,   // more bytes than the buffer holds; what follows up to the next flag is skipped
  };

  // With `huntOpeningFlag`, everything before the first flag is skipped (a receive that may
  // start in the middle of some other frame); without it the first byte may already be content.
  FrameDecoder(uint8_t* out, uint32_t capacity, bool huntOpeningFlag)
      : out_(out), capacity_(capacity), hunting_(huntOpeningFlag) {}

  Event Push(uint8_t b) {
    if (hunting_) {
      hunting_ = b != kHdlcFlag;
      return Event::None;
    }
    if (b == kHdlcFlag) {
      if (length_ == 0 && !escaped_) return Event::None;
      return Close();
    }
    if (escaped_) {
      escaped_ = false;
      b ^= kHdlcEscapeXor;
    } else if (b == kHdlcEscape) {
      escaped_ = true;
      return Event::None;
    }
    if (length_ == capacity_) {
      frameLength_ = length_;
      Restart(true);
      return Event::TooLong;
    }
    out_[length_++] = b;
    crc_ = Crc16UpdateByte(crc_, b);
    return Event::None;
  }

  // The content length of the frame the last event was about (unescaped, check included).
  uint32_t Length() const { return frameLength_; }

 private:
  Event Close() {
    const Event e = length_ < 3                            ? Event::TooShort
                    : escaped_ || crc_ != kCrc16Residue ? Event::BadCheck
                                                           : Event::Frame;
    frameLength_ = length_;
    Restart(false);
    return e;
  }
  void Restart(bool hunt) {
    length_ = 0;
    crc_ = kCrc16Init;
    escaped_ = false;
    hunting_ = hunt;
  }

  uint8_t* out_;
  uint32_t capacity_;
  uint32_t length_ = 0;
  uint32_t frameLength_ = 0;
  uint16_t crc_ = kCrc16Init;
  bool escaped_ = false;
  bool hunting_;
};

}  // namespace zovir
