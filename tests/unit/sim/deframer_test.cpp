#include <gtest/gtest.h>

#include <vector>

#include "sim/hdlc.h"

namespace zovir::sim {
namespace {

struct Seen {
  Bytes payload;
  bool checkOk;
  bool operator==(const Seen&) const = default;
};

std::vector<Seen> ByteByByte(const Bytes& wire) {
  Deframer d;
  std::vector<Seen> out;
  for (uint8_t b : wire) {
    if (auto f = d.Push(b)) out.push_back({f->payload, f->checkOk});
  }
  return out;
}

std::vector<Seen> InChunks(const Bytes& wire, size_t chunk, Bytes& pending) {
  Deframer d;
  std::vector<Seen> out;
  for (size_t at = 0; at < wire.size(); at += chunk) {
    std::span<const uint8_t> part(wire.data() + at, std::min(chunk, wire.size() - at));
    while (!part.empty()) {
      size_t used = 0;
      auto f = d.Push(part, used);
      EXPECT_GT(used, 0u);
      if (f) {
        out.push_back({f->payload, f->checkOk});
      } else {
        EXPECT_EQ(used, part.size()) << "without a frame every byte is taken";
      }
      part = part.subspan(used);
    }
  }
  pending = d.Pending();
  return out;
}

// Feeding whole buffers finds the same frames as feeding bytes: frames with and without an
// opening flag, escapes split across buffers, a bad check, flag runs and a frame left open.
TEST(Deframer, BuffersGiveTheSameFramesAsBytes) {
  Bytes big(5000);
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i * 131 + 7);
  Bytes wire = EncodeFrame(Bytes{0x01, 0x7E, 0x7D, 0x02}, true);
  const Bytes second = EncodeFrame(big, false);
  wire.insert(wire.end(), second.begin(), second.end());
  Bytes bad = EncodeFrame(Bytes{0x10, 0x20, 0x30}, true);
  bad[2] ^= 0x01;
  wire.insert(wire.end(), bad.begin(), bad.end());
  wire.insert(wire.end(), {0x7E, 0x7E, 0x7E, 0x05, 0x7D});  // a flag run, then an open frame
  wire.insert(wire.end(), {0x5E, 0x06});

  const auto expected = ByteByByte(wire);
  ASSERT_EQ(expected.size(), 3u);
  EXPECT_FALSE(expected[2].checkOk);
  for (size_t chunk : {size_t{1}, size_t{2}, size_t{3}, size_t{7}, size_t{64}, size_t{4096}, wire.size()}) {
    Bytes pending;
    EXPECT_EQ(InChunks(wire, chunk, pending), expected) << "chunk " << chunk;
    EXPECT_EQ(pending, (Bytes{0x05, 0x7E, 0x06})) << "chunk " << chunk;
  }
}

}  // namespace
}  // namespace zovir::sim
