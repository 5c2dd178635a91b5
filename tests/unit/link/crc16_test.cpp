#include "link/crc16.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>
#include <cstdlib>

namespace zovir {
namespace {

TEST(Crc16, CheckValueAndResidue) {
  const std::string text = "123456789";
  const auto* p = reinterpret_cast<const uint8_t*>(text.data());
  EXPECT_EQ(Crc16X25(p, text.size()), 0x906E);
  EXPECT_EQ(Crc16X25Bytewise(p, text.size()), 0x906E);
  EXPECT_EQ(Crc16X25(p, 0), 0x0000);

  // A receiver running over payload + check bytes (low first) lands on the residue.
  std::vector<uint8_t> frame(text.begin(), text.end());
  frame.push_back(0x6E);
  frame.push_back(0x90);
  EXPECT_EQ(Crc16Update(kCrc16Init, frame.data(), frame.size()), kCrc16Residue);
}

TEST(Crc16, SlicedAgreesWithBytewiseAtEveryLengthAndSplit) {
  std::mt19937 rng(7);
  std::vector<uint8_t> data(300);
  for (auto& b : data) b = static_cast<uint8_t>(rng());
  for (size_t n = 0; n <= data.size(); ++n) {
    ASSERT_EQ(Crc16X25(data.data(), n), Crc16X25Bytewise(data.data(), n)) << "length " << n;
  }
  // Continuing the register over pieces equals one pass.
  for (size_t split : {1u, 7u, 8u, 9u, 150u}) {
    uint16_t crc = Crc16Update(kCrc16Init, data.data(), split);
    crc = Crc16Update(crc, data.data() + split, data.size() - split);
    EXPECT_EQ(static_cast<uint16_t>(~crc), Crc16X25Bytewise(data.data(), data.size())) << "split " << split;
  }
  uint16_t crc = kCrc16Init;
  for (uint8_t b : data) crc = Crc16UpdateByte(crc, b);
  EXPECT_EQ(static_cast<uint16_t>(~crc), Crc16X25(data.data(), data.size()));
}

// The folding path (where the processor has it) against the plain table over every length
// and start alignment around its block sizes, register start values other than the initial
// one, and buffers large enough for the four-way folding to run many rounds.
TEST(Crc16, FoldingAgreesWithTableOverLengthsAlignmentsAndLargeBuffers) {
  std::mt19937_64 rng(11);
  std::vector<uint8_t> data(300 + 16);
  for (auto& b : data) b = static_cast<uint8_t>(rng());
  for (size_t offset = 0; offset < 16; ++offset) {
    for (size_t n = 0; n <= 300; ++n) {
      const uint8_t* p = data.data() + offset;
      ASSERT_EQ(Crc16X25(p, n), Crc16X25Bytewise(p, n)) << "offset " << offset << " length " << n;
    }
  }
  // Longer messages take the wider folding where the processor has it: every remainder of
  // its 256-, 64- and 16-byte steps.
  std::vector<uint8_t> mid(1400 + 64);
  for (auto& b : mid) b = static_cast<uint8_t>(rng());
  for (size_t offset : {0u, 1u, 13u, 63u}) {
    for (size_t n = 1000; n <= 1400; ++n) {
      const uint8_t* p = mid.data() + offset;
      ASSERT_EQ(Crc16X25(p, n), Crc16X25Bytewise(p, n)) << "offset " << offset << " length " << n;
    }
  }
  for (uint16_t start : {uint16_t{0}, uint16_t{0x1234}, uint16_t{0xFFFF}, uint16_t{0x8001}}) {
    EXPECT_EQ(Crc16Update(start, mid.data(), 1300), Crc16UpdateTable(start, mid.data(), 1300)) << start;
    EXPECT_EQ(Crc16Update(start, data.data(), 257), Crc16UpdateTable(start, data.data(), 257)) << start;
  }

  std::vector<uint8_t> big((8u << 20) + 77);
  for (auto& b : big) b = static_cast<uint8_t>(rng());
  for (size_t n : {big.size(), size_t{1u << 20}, size_t{65535}, size_t{4096 + 63}}) {
    EXPECT_EQ(Crc16X25(big.data() + 3, n - 3), Crc16X25Bytewise(big.data() + 3, n - 3)) << "length " << n - 3;
  }
  // Runs of 0x00 and 0xFF and a single set bit: patterns where a wrong folding constant
  // shows at once.
  std::vector<uint8_t> zeros(100000, 0x00), ones(100000, 0xFF);
  EXPECT_EQ(Crc16X25(zeros.data(), zeros.size()), Crc16X25Bytewise(zeros.data(), zeros.size()));
  EXPECT_EQ(Crc16X25(ones.data(), ones.size()), Crc16X25Bytewise(ones.data(), ones.size()));
  for (size_t bit : {0u, 7u, 63u, 64u, 127u, 128u, 511u, 512u, 4000u}) {
    std::vector<uint8_t> one(1024, 0);
    one[bit / 8] = static_cast<uint8_t>(1u << (bit % 8));
    EXPECT_EQ(Crc16X25(one.data(), one.size()), Crc16X25Bytewise(one.data(), one.size())) << "bit " << bit;
  }
  // A message and its own check land on the residue through the folding path too.
  std::vector<uint8_t> framed(big.begin(), big.begin() + 5000);
  const uint16_t check = Crc16X25(framed.data(), framed.size());
  framed.push_back(static_cast<uint8_t>(check));
  framed.push_back(static_cast<uint8_t>(check >> 8));
  EXPECT_EQ(Crc16Update(kCrc16Init, framed.data(), framed.size()), kCrc16Residue);
}

// Debian's crcmod computes X-25 independently of this code base.
TEST(Crc16, AgreesWithIndependentImplementationOnRandomData) {
  const char* python = "/usr/bin/python3";
  if (!std::filesystem::exists(python) ||
      std::system("/usr/bin/python3 -c 'import crcmod.predefined' >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "python3-crcmod is not installed";
  }
  std::mt19937 rng(20240611);
  std::vector<std::vector<uint8_t>> buffers;
  for (int i = 0; i < 64; ++i) {
    std::vector<uint8_t> b(rng() % 5000);
    for (auto& x : b) x = static_cast<uint8_t>(rng());
    buffers.push_back(std::move(b));
  }
  const auto path = std::filesystem::temp_directory_path() / ("crc_vectors_" + std::to_string(::getpid()) + ".txt");
  {
    std::ofstream out(path);
    for (const auto& b : buffers) {
      for (uint8_t x : b) {
        char hex[3];
        std::snprintf(hex, sizeof hex, "%02x", x);
        out << hex;
      }
      out << '\n';
    }
  }
  const std::string cmd = std::string(python) +
                          " -c 'import sys,crcmod.predefined as p\n"
                          "f=p.mkCrcFun(\"x-25\")\n"
                          "for l in open(sys.argv[1]): print(f(bytes.fromhex(l.strip())))' " +
                          path.string();
  FILE* pipe = ::popen(cmd.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::string output;
  char chunk[4096];
  while (size_t n = std::fread(chunk, 1, sizeof chunk, pipe)) output.append(chunk, n);
  ASSERT_EQ(::pclose(pipe), 0);
  std::filesystem::remove(path);

  std::istringstream lines(output);
  for (const auto& b : buffers) {
    unsigned expected = 0;
    ASSERT_TRUE(lines >> expected);
    EXPECT_EQ(Crc16X25(b.data(), b.size()), expected) << "length " << b.size();
  }
}

}  // namespace
}  // namespace zovir
