#include "sim/hdlc.h"

#include <algorithm>
#include <cstring>

#include "sim/checksum.h"

namespace zovir::sim {
namespace {
void PutEscaped(Bytes& out, uint8_t b) {
  if (b == 0x7E || b == 0x7D) {
    out.push_back(0x7D);
    out.push_back(static_cast<uint8_t>(b ^ 0x20));
  } else {
    out.push_back(b);
  }
}
}  // namespace

Bytes EncodeFrame(std::span<const uint8_t> payload, bool leadingFlag) {
  Bytes out;
  out.reserve(payload.size() * 2 + 6);
  if (leadingFlag) out.push_back(0x7E);
  for (uint8_t b : payload) PutEscaped(out, b);
  uint16_t crc = Crc16(payload);
  PutEscaped(out, static_cast<uint8_t>(crc));
  PutEscaped(out, static_cast<uint8_t>(crc >> 8));
  out.push_back(0x7E);
  return out;
}

std::optional<DecodedFrame> Deframer::Push(uint8_t byte) {
  if (byte == 0x7E) {
    escape_ = false;
    if (buf_.empty()) return std::nullopt;
    DecodedFrame f;
    if (buf_.size() >= 3) {
      f.checkOk = Crc16Update(0xFFFF, buf_) == 0xF0B8;
      f.payload.assign(buf_.begin(), buf_.end() - 2);
    } else {
      f.payload = buf_;
    }
    buf_.clear();
    return f;
  }
  if (escape_) {
    escape_ = false;
    byte ^= 0x20;
  } else if (byte == 0x7D) {
    escape_ = true;
    return std::nullopt;
  }
  if (buf_.size() < kMaxFrame) buf_.push_back(byte);
  return std::nullopt;
}

std::optional<DecodedFrame> Deframer::Push(std::span<const uint8_t> data, size_t& used) {
  size_t i = 0;
  while (i < data.size()) {
    if (!escape_) {
      // A run of ordinary bytes goes in at once.
      const uint8_t* p = data.data() + i;
      const size_t n = data.size() - i;
      const auto* flag = static_cast<const uint8_t*>(std::memchr(p, 0x7E, n));
      const size_t limit = flag ? static_cast<size_t>(flag - p) : n;
      const auto* escape = static_cast<const uint8_t*>(std::memchr(p, 0x7D, limit));
      const size_t run = escape ? static_cast<size_t>(escape - p) : limit;
      if (run > 0) {
        const size_t room = buf_.size() < kMaxFrame ? kMaxFrame - buf_.size() : 0;
        buf_.insert(buf_.end(), p, p + std::min(run, room));
        i += run;
        continue;
      }
    }
    if (auto frame = Push(data[i++])) {
      used = i;
      return frame;
    }
  }
  used = i;
  return std::nullopt;
}

}  // namespace zovir::sim
