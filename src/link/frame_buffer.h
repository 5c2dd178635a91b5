#pragma once
#include <cstdint>
#include <vector>

namespace zovir {

// The frame being built for the diagnostic port: bytes as they go on the wire, without the
// opening flag. One per run, reused for every frame.
class FrameBuffer {
 public:
  static constexpr uint32_t kCapacity = 102400;
  FrameBuffer();

  void Clear();  // length = 0, overflow = false
  void AddEscaped(uint8_t b);
  void AddRaw(uint8_t b);
  void AddRawBounded(uint8_t b);
  void AddEscaped(const uint8_t* data, uint32_t n);
  void AddRaw(const uint8_t* data, uint32_t n);
  // Appends the escaped check bytes and a closing flag (not counted in length). An
  // overflowed frame becomes the fixed NAK 03 00 03 33 1B (+ 7E), length 5.
  void FinishFrame();
  // Appends the check bytes unescaped (AddRawBounded), no closing flag.
  void FinishRawFrame();

  uint32_t length = 0;
  bool overflow = false;
  const uint8_t* data() const { return data_.data(); }
  uint8_t* data() { return data_.data(); }

 private:
  void AppendEscaped(uint8_t b);  // AddEscaped without the running check

  std::vector<uint8_t> data_;  // kCapacity + 1 (room for the uncounted closing flag)
  // The check register over what AddEscaped appended since Clear, valid while the frame is
  // exactly that (`crcLength` == length): FinishFrame then need not read the frame back.
  uint16_t crc_ = 0xFFFF;
  uint32_t crcLength_ = 0;
  bool crcTracked_ = true;
};

}  // namespace zovir
