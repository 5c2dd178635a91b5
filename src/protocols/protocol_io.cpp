#include "protocols/protocol_io.h"

#include <algorithm>

#include "link/hdlc.h"

namespace zovir {

size_t ReadFull(EngineCore& core, Link& link, uint8_t* buffer, size_t n, int emptyReads) {
  size_t got = 0;
  int empty = 0;
  while (got < n && core.Healthy()) {
    const uint32_t r = link.ReadRaw(buffer + got, static_cast<uint32_t>(n - got));
    if (r == 0) {
      if (++empty >= emptyReads) break;
      continue;
    }
    got += r;
  }
  return got;
}

size_t ReadFullWithin(EngineCore& core, Link& link, uint8_t* buffer, size_t n, uint32_t limitMs) {
  const uint64_t began = core.clock.NowMs();
  size_t got = 0;
  while (got < n && core.Healthy() && core.clock.NowMs() - began < limitMs)
    got += link.ReadRaw(buffer + got, static_cast<uint32_t>(n - got));
  return got;
}

void BuildCommandFrame(Link& link, const uint8_t* payload, size_t n) {
  FrameBuffer& frame = link.Frame();
  frame.Clear();
  frame.AddEscaped(payload, static_cast<uint32_t>(n));
  frame.FinishFrame();
}

void BuildResetFrame(Link& link) {
  static constexpr uint8_t kReset[] = {0x0B};
  BuildCommandFrame(link, kReset, sizeof kReset);
}

namespace {
// A frame is complete once a closing flag follows the opening flag and some content.
bool EndsFrame(const uint8_t* buffer, size_t got) {
  if (got < 3 || buffer[got - 1] != kHdlcFlag) return false;
  for (size_t i = 0; i + 1 < got; ++i) {
    if (buffer[i] != kHdlcFlag) return true;  // content seen before the last flag
  }
  return false;
}
}  // namespace

size_t ReadRawReply(EngineCore& core, Link& link, uint8_t* buffer, size_t capacity, int emptyReads,
                    size_t firstRead) {
  size_t got = 0;
  int empty = 0;
  while (got < capacity && core.Healthy()) {
    // A reply longer than usual (escaped bytes) is completed a byte at a time.
    const size_t want = got < firstRead ? firstRead - got : 1;
    const uint32_t r = link.ReadRaw(buffer + got, static_cast<uint32_t>(std::min(want, capacity - got)));
    if (r == 0) {
      if (++empty >= emptyReads) break;
      continue;
    }
    got += r;
    if (EndsFrame(buffer, got)) break;
  }
  return got;
}

std::string HexBytes(const uint8_t* data, size_t n) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(n * 3);
  for (size_t i = 0; i < n; ++i) {
    out += ' ';
    out += kDigits[data[i] >> 4];
    out += kDigits[data[i] & 0x0F];
  }
  return out;
}

void PutLE32(uint8_t* out, uint32_t value) {
  out[0] = static_cast<uint8_t>(value);
  out[1] = static_cast<uint8_t>(value >> 8);
  out[2] = static_cast<uint8_t>(value >> 16);
  out[3] = static_cast<uint8_t>(value >> 24);
}

uint32_t GetLE32(const uint8_t* in) {
  return static_cast<uint32_t>(in[0]) | (static_cast<uint32_t>(in[1]) << 8) |
         (static_cast<uint32_t>(in[2]) << 16) | (static_cast<uint32_t>(in[3]) << 24);
}

}  // namespace zovir
