// The packet generator: what the boot loader and the download plan rely on in its files.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>

#include "pty_client.h"

namespace zovir::sim::test {
namespace {

int MakePacket(const std::string& args) {
  const int status = std::system((std::string(ZOVIR_MAKE_PACKET) + " " + args + " >/dev/null 2>&1").c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(PacketGenerator, WritesEveryImageAtItsSizeAndAProgrammerWhoseLastSegmentEndsTheFile) {
  TempDir dir;
  for (uint32_t programmer : {9000u, 65536u, 300001u}) {
    const std::string out = dir / std::to_string(programmer);
    ASSERT_EQ(MakePacket("--out " + out + " --size NPRG9x06=" + std::to_string(programmer) +
                         " --size sbl1=3000 --size apps=1K --size qdsp6sw=2M --config " + ZOVIR_PACKET_CONFIG +
                         " --set \"General Option.bFastSpeedDownload=1\""),
              0);
    EXPECT_EQ(std::filesystem::file_size(out + "/sbl1.mbn"), 3000u);
    EXPECT_EQ(std::filesystem::file_size(out + "/apps.mbn"), 1024u);
    EXPECT_EQ(std::filesystem::file_size(out + "/qdsp6sw.mbn"), 2u << 20);
    for (const char* name : {"tz", "mba", "rpm", "acdb", "efs", "efs2apps"}) {
      EXPECT_GT(std::filesystem::file_size(out + "/" + name + ".mbn"), 0u) << name;
    }
    const auto table = std::filesystem::file_size(out + "/partition.mbn");
    EXPECT_GT(table, 0u);
    EXPECT_LT(table, 1024u);

    const Bytes elf = ReadFile(out + "/NPRG9x06.mbn");
    ASSERT_GE(elf.size(), 52u);
    EXPECT_EQ(elf.size(), programmer);
    EXPECT_EQ(Bytes(elf.begin(), elf.begin() + 5), (Bytes{0x7F, 'E', 'L', 'F', 1}));
    const uint32_t phoff = GetLe32(elf, 28);
    const uint16_t phentsize = GetLe16(elf, 42), phnum = GetLe16(elf, 44);
    ASSERT_EQ(phentsize, 32);
    uint64_t lastEnd = 0;
    for (uint16_t i = 0; i < phnum; ++i) {
      const size_t at = phoff + 32u * i;
      const uint32_t type = GetLe32(elf, at), offset = GetLe32(elf, at + 4), size = GetLe32(elf, at + 16);
      EXPECT_LE(uint64_t(offset) + size, elf.size());
      if (type == 1) {
        EXPECT_GT(size, 0u) << "empty loadable segment " << i;
        EXPECT_GE(offset, lastEnd) << "segments out of file order";
        lastEnd = uint64_t(offset) + size;
      }
    }
    EXPECT_EQ(lastEnd, elf.size());

    const Bytes config = ReadFile(out + "/Config.ini");
    const std::string text(config.begin(), config.end());
    EXPECT_NE(text.find("[General Option]\r\nBlockSize=4096\r\nbFastSpeedDownload=1\r\n"), std::string::npos) << text;
  }
}

TEST(PacketGenerator, SameSeedSameBytesOtherSeedOtherBytes) {
  TempDir dir;
  ASSERT_EQ(MakePacket("--out " + (dir / "a") + " --size efs=5000"), 0);
  ASSERT_EQ(MakePacket("--out " + (dir / "b") + " --size efs=5000"), 0);
  ASSERT_EQ(MakePacket("--out " + (dir / "c") + " --size efs=5000 --seed 7"), 0);
  EXPECT_EQ(ReadFile(dir / "a/efs.mbn"), ReadFile(dir / "b/efs.mbn"));
  EXPECT_NE(ReadFile(dir / "a/efs.mbn"), ReadFile(dir / "c/efs.mbn"));
  EXPECT_NE(ReadFile(dir / "a/efs.mbn"), ReadFile(dir / "a/efs2apps.mbn"));
}

TEST(PacketGenerator, RefusesBadArguments) {
  TempDir dir;
  for (const char* args : {"", "--size sbl1=10", "--out X --size nope=10", "--out X --size sbl1=0",
                           "--out X --size sbl1=12Q", "--out X --set nodot=1", "--out X --bogus"}) {
    EXPECT_EQ(MakePacket(args), 2) << args;
  }
}

}  // namespace
}  // namespace zovir::sim::test
