#pragma once
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace zovir::sim {

using Bytes = std::vector<uint8_t>;

// Wire form of one frame: [7E] escaped(payload + CRC low, CRC high) 7E.
Bytes EncodeFrame(std::span<const uint8_t> payload, bool leadingFlag);

// One frame taken off the wire: its unescaped payload (check bytes removed) and whether the
// check matched.
struct DecodedFrame {
  Bytes payload;
  bool checkOk = false;
};

// Collects bytes into frames. Flags delimit frames; empty frames (flag runs) are skipped, so
// frames with and without an opening flag are both taken.
class Deframer {
 public:
  // Feeds one byte; returns a frame when this byte closed one.
  std::optional<DecodedFrame> Push(uint8_t byte);
  // Feeds bytes up to and including the one that closes a frame; `used` receives how many
  // were taken (all of them when none closed a frame). Same frames as feeding them one by one.
  std::optional<DecodedFrame> Push(std::span<const uint8_t> data, size_t& used);
  // Bytes held for the frame in progress (escapes removed).
  const Bytes& Pending() const { return buf_; }
  bool InFrame() const { return !buf_.empty() || escape_; }
  void Reset() {
    buf_.clear();
    escape_ = false;
  }

 private:
  static constexpr size_t kMaxFrame = 128 * 1024;
  Bytes buf_;
  bool escape_ = false;
};

inline void PutLe16(Bytes& b, uint16_t v) {
  b.push_back(static_cast<uint8_t>(v));
  b.push_back(static_cast<uint8_t>(v >> 8));
}
inline void PutLe32(Bytes& b, uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
inline uint32_t GetLe32(std::span<const uint8_t> b, size_t at) {
  if (b.size() < at + 4) return 0;
  return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 | uint32_t(b[at + 3]) << 24;
}
inline uint16_t GetLe16(std::span<const uint8_t> b, size_t at) {
  if (b.size() < at + 2) return 0;
  return static_cast<uint16_t>(b[at] | b[at + 1] << 8);
}

}  // namespace zovir::sim
