#include "tools/hex_converter/hex_converter.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

struct Segment {
  uint32_t address;
  size_t size;
};

struct HexStyle {
  size_t recordBytes = 16;
  bool segmentAddressing = false;  // type 02 records instead of type 04
  bool lowerCase = false;
  bool crlf = false;
  bool startRecord = false;
};

class TempFolder {
 public:
  TempFolder() {
    std::string t = (fs::temp_directory_path() / "zovir-hex-XXXXXX").string();
    path_ = mkdtemp(t.data()) ? t : "";
  }
  ~TempFolder() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

std::string Record(uint8_t type, uint16_t offset, const std::vector<uint8_t>& data, const HexStyle& style) {
  std::vector<uint8_t> bytes{static_cast<uint8_t>(data.size()), static_cast<uint8_t>(offset >> 8),
                             static_cast<uint8_t>(offset), type};
  bytes.insert(bytes.end(), data.begin(), data.end());
  uint8_t sum = 0;
  for (uint8_t b : bytes) sum = static_cast<uint8_t>(sum + b);
  bytes.push_back(static_cast<uint8_t>(-sum));
  std::string line = ":";
  char buf[3];
  for (uint8_t b : bytes) {
    std::snprintf(buf, sizeof buf, style.lowerCase ? "%02x" : "%02X", b);
    line += buf;
  }
  return line + (style.crlf ? "\r\n" : "\n");
}

// An Intel-HEX text holding `segments` filled with random bytes; records never cross a
// 64 KiB boundary.
std::string MakeHex(const std::vector<Segment>& segments, const HexStyle& style, uint32_t seed = 1) {
  std::mt19937 rng(seed);
  std::string out;
  if (style.startRecord) {
    out += style.segmentAddressing ? Record(0x03, 0, {0x12, 0x34, 0x00, 0x10}, style)
                                   : Record(0x05, 0, {0x08, 0x00, 0x01, 0x00}, style);
  }
  int64_t upper = -1;
  for (const Segment& s : segments) {
    size_t done = 0;
    while (done < s.size) {
      uint32_t address = s.address + static_cast<uint32_t>(done);
      if (static_cast<int64_t>(address >> 16) != upper) {
        upper = address >> 16;
        uint16_t value = style.segmentAddressing ? static_cast<uint16_t>(upper << 12) : static_cast<uint16_t>(upper);
        out += Record(style.segmentAddressing ? 0x02 : 0x04, 0,
                      {static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)}, style);
      }
      size_t room = 0x10000 - (address & 0xFFFF);
      size_t n = std::min({style.recordBytes, s.size - done, room});
      std::vector<uint8_t> data(n);
      for (uint8_t& b : data) b = static_cast<uint8_t>(rng());
      out += Record(0x00, static_cast<uint16_t>(address), data, style);
      done += n;
    }
  }
  return out + Record(0x01, 0, {}, style);
}

std::string ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void WriteText(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

std::string ObjcopyImage(const std::string& hex, const std::string& bin) {
  std::string cmd = std::string("'") + ZOVIR_OBJCOPY + "' --gap-fill 0xFF -I ihex -O binary '" + hex + "' '" + bin + "'";
  EXPECT_EQ(std::system(cmd.c_str()), 0) << cmd;
  return ReadBytes(bin);
}

TEST(ConvertHexFile, ProducesTheImageObjcopyProduces) {
  struct Case {
    const char* name;
    std::vector<Segment> segments;
    HexStyle style;
  };
  HexStyle lower;
  lower.lowerCase = true;
  lower.crlf = true;
  lower.startRecord = true;
  lower.recordBytes = 32;
  HexStyle segmented;
  segmented.segmentAddressing = true;
  segmented.startRecord = true;
  HexStyle odd;
  odd.recordBytes = 7;
  const Case cases[] = {
      {"one block at zero", {{0, 300}}, {}},
      {"extended linear addresses across a 64 KiB boundary", {{0x0800FF00, 0x300}}, {}},
      {"gaps between several segments", {{0x08000000, 0x100}, {0x08000400, 0x33}, {0x08020010, 0x50}}, lower},
      {"segments out of order", {{0x00030000, 0x40}, {0x00001000, 0x80}, {0x00010000, 0x10}}, odd},
      {"extended segment addresses", {{0x00000100, 0x20}, {0x00024000, 0x200}}, segmented},
      {"high addresses", {{0xFFFF0000, 0x100}, {0xFFFFFF00, 0x100}}, {}},
  };
  uint32_t seed = 1;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempFolder dir;
    const std::string hex = dir / "image.hex";
    WriteText(hex, MakeHex(c.segments, c.style, seed++));
    const std::string expected = ObjcopyImage(hex, dir / "objcopy.bin");
    ASSERT_FALSE(expected.empty());
    ASSERT_NE(ConvertHexFile(hex.c_str(), (dir / "image.BIN").c_str()), 0);
    EXPECT_EQ(ReadBytes(dir / "image.BIN"), expected);
  }
}

TEST(ConvertHexFile, RefusesMalformedInputAndLeavesTheBinaryAlone) {
  const std::string good = MakeHex({{0x1000, 64}}, {});
  auto replaceFirst = [&good](const std::string& from, const std::string& to) {
    std::string s = good;
    s.replace(s.find(from), from.size(), to);
    return s;
  };
  std::string badChecksum = good;
  size_t secondLineEnd = badChecksum.find('\n', badChecksum.find('\n') + 1);
  badChecksum[secondLineEnd - 1] = badChecksum[secondLineEnd - 1] == '0' ? '1' : '0';
  std::string flippedData = good;
  size_t dataPos = flippedData.find('\n') + 1 + 9 + 4;  // a data digit of the first data record
  flippedData[dataPos] = flippedData[dataPos] == 'A' ? 'B' : 'A';
  struct Case {
    const char* name;
    std::string text;
  } cases[] = {
      {"checksum digit changed", badChecksum},
      {"data digit changed", flippedData},
      {"no end-of-file record", good.substr(0, good.rfind(':'))},
      {"not a hex digit", replaceFirst(":10", ":1G")},
      {"record shorter than its count", replaceFirst(":10", ":11")},
      {"no colon", replaceFirst(":02", "02")},
      {"unknown record type", good.substr(0, good.rfind(':')) + ":00000006FA\n:00000001FF\n"},
      {"extended address with a wrong length", ":0300000400000AEF\n" + good},
      {"end-of-file record with data", good.substr(0, good.rfind(':')) + ":01000001AA54\n"},
      {"two values for one address", MakeHex({{0x10, 16}, {0x18, 16}}, {}, 7)},
      {"no data at all", ":00000001FF\n"},
      {"empty file", ""},
      {"image larger than the limit", MakeHex({{0x00000000, 16}, {0x7FFFFFF0, 16}}, {})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempFolder dir;
    const std::string hex = dir / "image.hex";
    WriteText(hex, c.text);
    WriteText(dir / "image.BIN", "previous");
    EXPECT_EQ(ConvertHexFile(hex.c_str(), (dir / "image.BIN").c_str()), 0);
    EXPECT_EQ(ReadBytes(dir / "image.BIN"), "previous");
  }
  TempFolder dir;
  EXPECT_EQ(ConvertHexFile((dir / "missing.hex").c_str(), (dir / "out.bin").c_str()), 0);
  EXPECT_EQ(ConvertHexFile(nullptr, (dir / "out.bin").c_str()), 0);
  EXPECT_FALSE(fs::exists(dir / "out.bin"));
  WriteText(dir / "ok.hex", good);
  EXPECT_EQ(ConvertHexFile((dir / "ok.hex").c_str(), (dir / "no/such/folder/out.bin").c_str()), 0);
}

TEST(ConvertHexFile, IsTheOnlyExportAndLoadsByName) {
  void* lib = dlopen(ZOVIR_HEX_CONVERTER_LIBRARY, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(lib, nullptr) << dlerror();
  using Convert = int (*)(const char*, const char*);
  auto convert = reinterpret_cast<Convert>(dlsym(lib, "ConvertHexFile"));
  ASSERT_NE(convert, nullptr);
  TempFolder dir;
  WriteText(dir / "a.hex", MakeHex({{0x20, 40}}, {}));
  EXPECT_NE(convert((dir / "a.hex").c_str(), (dir / "a.BIN").c_str()), 0);
  EXPECT_EQ(ReadBytes(dir / "a.BIN").size(), 40u);
  dlclose(lib);
  std::string cmd = std::string("nm -D --defined-only '") + ZOVIR_HEX_CONVERTER_LIBRARY + "' | grep -c ' T '";
  FILE* p = popen(cmd.c_str(), "r");
  ASSERT_NE(p, nullptr);
  char buf[32] = {};
  ASSERT_NE(fgets(buf, sizeof buf, p), nullptr);
  pclose(p);
  EXPECT_EQ(std::stoi(buf), 1) << "exported functions";
}

}  // namespace
