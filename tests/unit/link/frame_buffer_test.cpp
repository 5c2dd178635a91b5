#include "link/frame_buffer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <vector>

#include "link/crc16.h"

namespace zovir {
namespace {

std::vector<uint8_t> Wire(const FrameBuffer& f, bool withClosingFlag = true) {
  return std::vector<uint8_t>(f.data(), f.data() + f.length + (withClosingFlag ? 1 : 0));
}

// Payloads chosen so that payload bytes, the low check byte or the high check byte need
// escaping (found by search over the CRC; the expected bytes are written out by hand).
struct EncodeCase {
  const char* name;
  std::vector<uint8_t> payload;
  std::vector<uint8_t> wire;  // without opening flag, with closing flag
};

class FrameEncode : public ::testing::TestWithParam<EncodeCase> {};

TEST_P(FrameEncode, EscapesPayloadAndCheckBytes) {
  const auto& c = GetParam();
  FrameBuffer f;
  f.Clear();
  f.AddEscaped(c.payload.data(), static_cast<uint32_t>(c.payload.size()));
  f.FinishFrame();
  EXPECT_FALSE(f.overflow);
  EXPECT_EQ(Wire(f), c.wire);
  EXPECT_EQ(f.length, c.wire.size() - 1);  // closing flag not counted
}

std::vector<uint8_t> Framed(std::vector<uint8_t> payload) {
  const uint16_t crc = Crc16X25(payload.data(), payload.size());
  std::vector<uint8_t> out;
  for (uint8_t b : payload) {
    if (b == 0x7E || b == 0x7D) {
      out.push_back(0x7D);
      out.push_back(b ^ 0x20);
    } else {
      out.push_back(b);
    }
  }
  for (uint8_t b : {static_cast<uint8_t>(crc), static_cast<uint8_t>(crc >> 8)}) {
    if (b == 0x7E || b == 0x7D) {
      out.push_back(0x7D);
      out.push_back(b ^ 0x20);
    } else {
      out.push_back(b);
    }
  }
  out.push_back(0x7E);
  return out;
}

// Finds a two-byte suffix for `prefix` whose check has the given byte in the given place.
std::vector<uint8_t> WithCheckByte(std::vector<uint8_t> prefix, int place, uint8_t value) {
  for (int x = 0; x < 0x10000; ++x) {
    auto p = prefix;
    p.push_back(static_cast<uint8_t>(x >> 8));
    p.push_back(static_cast<uint8_t>(x));
    const uint16_t crc = Crc16X25(p.data(), p.size());
    if (((place == 0 ? crc : crc >> 8) & 0xFF) == value && ((place == 0 ? crc >> 8 : crc) & 0xFF) != 0x7E &&
        ((place == 0 ? crc >> 8 : crc) & 0xFF) != 0x7D && p[p.size() - 1] < 0x7D && p[p.size() - 2] < 0x7D)
      return p;
  }
  return {};
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FrameEncode,
    ::testing::Values(
        EncodeCase{"FlagAndEscapeInPayload", {0x7E, 0x7D, 0x41}, {0x7D, 0x5E, 0x7D, 0x5D, 0x41, 0x3E, 0x45, 0x7E}},
        EncodeCase{"Ack", {0x02}, {0x02, 0x6A, 0xD3, 0x7E}},
        EncodeCase{"NakReason3", {0x03, 0x00, 0x03}, {0x03, 0x00, 0x03, 0x33, 0x1B, 0x7E}},
        EncodeCase{"LowCheckIsFlag", WithCheckByte({0x4B, 0x13}, 0, 0x7E), Framed(WithCheckByte({0x4B, 0x13}, 0, 0x7E))},
        EncodeCase{"LowCheckIsEscape", WithCheckByte({0x4B, 0x13}, 0, 0x7D), Framed(WithCheckByte({0x4B, 0x13}, 0, 0x7D))},
        EncodeCase{"HighCheckIsFlag", WithCheckByte({0x26, 0x01}, 1, 0x7E), Framed(WithCheckByte({0x26, 0x01}, 1, 0x7E))},
        EncodeCase{"HighCheckIsEscape", WithCheckByte({0x26, 0x01}, 1, 0x7D), Framed(WithCheckByte({0x26, 0x01}, 1, 0x7D))}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(FrameEncode, SearchedCasesReallyEscapeTheirCheckBytes) {
  // Guards the table above: each searched payload must lead to an escaped check byte.
  for (auto [prefix, place, value] : {std::tuple{std::vector<uint8_t>{0x4B, 0x13}, 0, 0x7E},
                                      std::tuple{std::vector<uint8_t>{0x4B, 0x13}, 0, 0x7D},
                                      std::tuple{std::vector<uint8_t>{0x26, 0x01}, 1, 0x7E},
                                      std::tuple{std::vector<uint8_t>{0x26, 0x01}, 1, 0x7D}}) {
    const auto p = WithCheckByte(prefix, place, static_cast<uint8_t>(value));
    ASSERT_FALSE(p.empty());
    const auto wire = Framed(p);
    EXPECT_EQ(wire.size(), p.size() + 4) << "exactly one check byte escaped";
  }
}

TEST(FrameBuffer, OverflowBecomesFixedNak) {
  FrameBuffer f;
  f.Clear();
  // Fill until the room check refuses a byte.
  uint32_t added = 0;
  while (!f.overflow) {
    f.AddEscaped(0x11);
    ++added;
  }
  EXPECT_EQ(added, FrameBuffer::kCapacity - 6 + 1) << "last index 102399 leaves room for check and flag";
  const uint32_t lengthAtOverflow = f.length;
  f.AddEscaped(0x22);
  EXPECT_EQ(f.length, lengthAtOverflow) << "adds after overflow are ignored";
  f.FinishFrame();
  EXPECT_EQ(Wire(f), (std::vector<uint8_t>{0x03, 0x00, 0x03, 0x33, 0x1B, 0x7E}));
  EXPECT_EQ(f.length, 5u);

  f.Clear();
  EXPECT_FALSE(f.overflow);
  EXPECT_EQ(f.length, 0u);
}

TEST(FrameBuffer, RoomChecksAtTheBoundary) {
  struct Case {
    const char* name;
    uint32_t fill;  // plain bytes added first
    uint8_t byte;
    bool overflows;
  };
  // A plain byte needs length + 6 <= 102399, a flag or escape byte length + 7 <= 102399.
  const Case cases[] = {
      {"plain fits", 102393, 0x11, false},
      {"plain does not fit", 102394, 0x11, true},
      {"escaped fits", 102392, 0x7E, false},
      {"escaped does not fit", 102393, 0x7D, true},
  };
  for (const auto& c : cases) {
    FrameBuffer f;
    f.Clear();
    for (uint32_t i = 0; i < c.fill; ++i) f.AddEscaped(0x11);
    ASSERT_FALSE(f.overflow) << c.name;
    f.AddEscaped(c.byte);
    EXPECT_EQ(f.overflow, c.overflows) << c.name;
    if (!c.overflows) {
      f.FinishFrame();
      EXPECT_LE(f.length, FrameBuffer::kCapacity) << c.name;
      EXPECT_EQ(f.data()[f.length], 0x7E) << c.name;
    }
  }
}

TEST(FrameBuffer, RawAddsNeverWritePastTheBuffer) {
  FrameBuffer f;
  f.Clear();
  for (uint32_t i = 0; i < FrameBuffer::kCapacity; ++i) f.AddRaw(0x55);
  EXPECT_FALSE(f.overflow);
  f.AddRaw(0x55);
  EXPECT_TRUE(f.overflow);
  EXPECT_EQ(f.length, FrameBuffer::kCapacity);

  f.Clear();
  for (uint32_t i = 0; i < FrameBuffer::kCapacity - 7; ++i) f.AddRawBounded(0x55);
  EXPECT_FALSE(f.overflow);
  f.AddRawBounded(0x55);  // length 102393: 102393 + 6 < 102400
  EXPECT_FALSE(f.overflow);
  f.AddRawBounded(0x55);  // length 102394: no longer below
  EXPECT_TRUE(f.overflow);

  // A full raw frame leaves no room for its check: it is finished as the NAK.
  f.Clear();
  for (uint32_t i = 0; i < FrameBuffer::kCapacity; ++i) f.AddRaw(0x55);
  f.FinishFrame();
  EXPECT_EQ(Wire(f), (std::vector<uint8_t>{0x03, 0x00, 0x03, 0x33, 0x1B, 0x7E}));
}

TEST(FrameBuffer, RawFrameCarriesUnescapedCheckWithoutFlag) {
  FrameBuffer f;
  f.Clear();
  const std::vector<uint8_t> cmd = {0x21, 0x00, 0x00, 0x00, 0x00};
  f.AddRaw(cmd.data(), static_cast<uint32_t>(cmd.size()));
  f.FinishRawFrame();
  const uint16_t crc = Crc16X25(cmd.data(), cmd.size());
  EXPECT_EQ(Wire(f, false), (std::vector<uint8_t>{0x21, 0x00, 0x00, 0x00, 0x00, static_cast<uint8_t>(crc),
                                                  static_cast<uint8_t>(crc >> 8)}));

  // Raw content is taken as it is: a 7D byte is data, not an escape.
  f.Clear();
  const std::vector<uint8_t> withEscapeByte = {0x7D, 0x5E};
  f.AddRaw(withEscapeByte.data(), 2);
  f.FinishRawFrame();
  const uint16_t crc2 = Crc16X25(withEscapeByte.data(), 2);
  EXPECT_EQ(Wire(f, false), (std::vector<uint8_t>{0x7D, 0x5E, static_cast<uint8_t>(crc2), static_cast<uint8_t>(crc2 >> 8)}));
}

// Buffer adds copy runs at once; they must build exactly what byte-by-byte adds build,
// also where the room check cuts the frame off and when raw adds put escape bytes in it.
TEST(FrameBuffer, BufferAddsMatchByteAdds) {
  std::vector<uint8_t> mixed(3000);
  for (size_t i = 0; i < mixed.size(); ++i) mixed[i] = static_cast<uint8_t>(i * 37 + (i >> 3));
  for (size_t i = 0; i < mixed.size(); i += 97) mixed[i] = (i & 1) ? 0x7E : 0x7D;
  const std::vector<uint8_t> allSpecial(63, 0x7D);  // odd: the last escape byte ends the frame
  struct Case {
    const char* name;
    uint32_t prefill;  // plain bytes added first
    bool raw;          // AddRaw instead of AddEscaped
    const std::vector<uint8_t>* data;
  };
  const Case cases[] = {
      {"escaped, empty frame", 0, false, &mixed},
      {"escaped, cut at the room check", FrameBuffer::kCapacity - 6 - 1500, false, &mixed},
      {"escaped specials, cut at the room check", FrameBuffer::kCapacity - 6 - 40, false, &allSpecial},
      {"escaped, already full", FrameBuffer::kCapacity - 5, false, &mixed},
      {"raw escape bytes, read as escapes by the check, one left at the end", 10, true, &allSpecial},
      {"raw, mixed content", 11, true, &mixed},
      {"raw, cut at the capacity", FrameBuffer::kCapacity - 700, true, &mixed},
  };
  for (const auto& c : cases) {
    FrameBuffer bulk, bytes;
    for (FrameBuffer* f : {&bulk, &bytes}) {
      f->Clear();
      for (uint32_t i = 0; i < c.prefill; ++i) f->AddEscaped(0x11);
    }
    const auto n = static_cast<uint32_t>(c.data->size());
    if (c.raw) {
      bulk.AddRaw(c.data->data(), n);
      for (uint8_t b : *c.data) bytes.AddRaw(b);
    } else {
      bulk.AddEscaped(c.data->data(), n);
      for (uint8_t b : *c.data) bytes.AddEscaped(b);
    }
    EXPECT_EQ(bulk.overflow, bytes.overflow) << c.name;
    ASSERT_EQ(bulk.length, bytes.length) << c.name;
    EXPECT_TRUE(std::equal(bulk.data(), bulk.data() + bulk.length, bytes.data())) << c.name;
    // The check over the same content, computed without the single-byte path.
    bulk.FinishFrame();
    uint16_t crc = kCrc16Init;
    const uint8_t* p = bytes.data();
    if (!bytes.overflow) {
      for (uint32_t i = 0; i < bytes.length; ++i) {
        uint8_t b = p[i];
        if (b == 0x7D && i + 1 < bytes.length) b = static_cast<uint8_t>(p[++i] ^ 0x20);
        crc = Crc16UpdateByte(crc, b);
      }
    }
    const uint32_t contentLength = bytes.length;
    const bool nak = bytes.overflow;
    bytes.FinishFrame();
    ASSERT_EQ(bulk.length, bytes.length) << c.name;
    EXPECT_TRUE(std::equal(bulk.data(), bulk.data() + bulk.length + 1, bytes.data())) << c.name;
    if (!nak && bulk.length != 5) {
      std::vector<uint8_t> check;
      crc = static_cast<uint16_t>(~crc);
      for (uint8_t b : {static_cast<uint8_t>(crc), static_cast<uint8_t>(crc >> 8)}) {
        if (b == 0x7E || b == 0x7D) {
          check.push_back(0x7D);
          check.push_back(static_cast<uint8_t>(b ^ 0x20));
        } else {
          check.push_back(b);
        }
      }
      check.push_back(0x7E);
      EXPECT_TRUE(std::equal(check.begin(), check.end(), bulk.data() + contentLength)) << c.name;
    }
  }
}

// The check of escaped adds is kept as they are made; whatever else changed the frame (raw
// adds before or between them, bytes written straight into the buffer) makes the check read
// the frame back, escape bytes taken as escapes.
TEST(FrameBuffer, CheckFollowsTheContentHoweverItWasAdded) {
  auto expectedCheck = [](const FrameBuffer& f) {
    uint16_t crc = kCrc16Init;
    for (uint32_t i = 0; i < f.length; ++i) {
      uint8_t b = f.data()[i];
      if (b == 0x7D && i + 1 < f.length) b = static_cast<uint8_t>(f.data()[++i] ^ 0x20);
      crc = Crc16UpdateByte(crc, b);
    }
    return static_cast<uint16_t>(~crc);
  };
  auto finishedCheck = [](FrameBuffer& f) {
    f.FinishFrame();
    // The two check bytes before the flag, unescaped.
    std::vector<uint8_t> tail;
    for (uint32_t i = 0; i < f.length; ++i) tail.push_back(f.data()[i]);
    std::vector<uint8_t> plain;
    for (size_t i = 0; i < tail.size(); ++i) plain.push_back(tail[i] == 0x7D ? static_cast<uint8_t>(tail[++i] ^ 0x20) : tail[i]);
    return static_cast<uint16_t>(plain[plain.size() - 2] | (plain[plain.size() - 1] << 8));
  };
  std::vector<uint8_t> block(1029);
  for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<uint8_t>(i * 13 + 5);
  const struct {
    const char* name;
    std::function<void(FrameBuffer&)> build;
  } cases[] = {
      {"escaped only", [&](FrameBuffer& f) { f.AddEscaped(0x07); f.AddEscaped(block.data(), 1029); }},
      {"raw escape byte first", [&](FrameBuffer& f) { f.AddRaw(0x7D); f.AddEscaped(block.data(), 1029); }},
      {"raw bytes between", [&](FrameBuffer& f) { f.AddEscaped(block.data(), 100); f.AddRaw(0x7D); f.AddEscaped(0x41); }},
      {"written into the buffer", [&](FrameBuffer& f) {
         f.AddEscaped(block.data(), 10);
         std::memcpy(f.data(), block.data() + 500, 40);
         f.length = 40;
       }},
  };
  for (const auto& c : cases) {
    FrameBuffer f;
    f.Clear();
    c.build(f);
    const uint16_t expected = expectedCheck(f);
    EXPECT_EQ(finishedCheck(f), expected) << c.name;
  }
}

}  // namespace
}  // namespace zovir
