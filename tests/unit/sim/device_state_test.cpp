#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>

#include "pty_client.h"
#include "sim/checksum.h"
#include "sim/device_map.h"
#include "sim/device_state.h"

namespace zovir::sim::test {
namespace {

TEST(DeviceState, EverythingPersistsAcrossInstancesOnOneFolder) {
  TempDir dir;
  {
    DeviceState s(dir.path());
    s.StorePartition("sbl1", Bytes{1, 2, 3});
    s.SetNv(550, Bytes{0x08, 0x3A, 0x65});
    s.SetIdentity("IMEI", "356938035643809");
    s.SetEfsFile("/nv/item_files/conf/a.conf", Bytes{9, 9});
    s.MakeEfsDir("/empty/dir");
  }
  DeviceState s(dir.path());
  EXPECT_EQ(s.Partition("sbl1"), (Bytes{1, 2, 3}));
  EXPECT_EQ(s.Partitions()["sbl1"].size, 3u);
  EXPECT_EQ(s.Nv(550), (Bytes{0x08, 0x3A, 0x65}));
  EXPECT_EQ(s.Identity("IMEI"), "356938035643809");
  EXPECT_EQ(s.EfsFile("/nv/item_files/conf/a.conf"), (Bytes{9, 9}));
  EXPECT_TRUE(s.EfsDirExists("/empty/dir"));
  EXPECT_EQ(s.ListEfs("/nv/item_files/conf"), std::vector<std::string>{"a.conf"});
}

TEST(DeviceState, DamagedStateFilesAreSkippedNotFatal) {
  TempDir dir;
  {
    std::ofstream nv(dir / "nv.ini");
    nv << "[NV]\nabc=0102\n550=zz\n551=0A0B\n-\n=\n";
    std::ofstream manifest(dir / "manifest.ini");
    manifest << "[../../etc]\nSize=1\n[missing]\nSize=3\n";
  }
  DeviceState s(dir.path());
  EXPECT_EQ(s.AllNv().size(), 1u);
  EXPECT_EQ(s.Nv(551), (Bytes{0x0A, 0x0B}));
  EXPECT_TRUE(s.Partitions().empty());
}

TEST(DeviceState, RefusesNamesAndPathsThatLeaveTheFolder) {
  TempDir dir;
  DeviceState s(dir.path());
  s.StorePartition("../escape", Bytes{1});
  s.StorePartition("a/b", Bytes{1});
  s.SetEfsFile("/../../etc/x", Bytes{1});
  EXPECT_TRUE(s.Partitions().empty());
  EXPECT_FALSE(s.EfsFile("/../../etc/x"));
  EXPECT_FALSE(std::filesystem::exists(dir.path() + "/../escape.bin"));
  // A folder with content is not removed; an empty one is.
  s.SetEfsFile("/d/f", Bytes{1});
  EXPECT_FALSE(s.RemoveEfs("/d"));
  EXPECT_TRUE(s.RemoveEfs("/d/f"));
  EXPECT_TRUE(s.RemoveEfs("/d"));
}

Bytes Ramp(size_t n, uint8_t seed) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(i * 13 + seed + (i >> 9));
  return b;
}

std::vector<std::string> Leftovers(const std::string& dir) {
  std::vector<std::string> out;
  for (const auto& e : std::filesystem::directory_iterator(dir + "/partitions")) {
    const std::string name = e.path().filename().string();
    if (name.size() < 4 || name.substr(name.size() - 4) != ".bin") out.push_back(name);
  }
  return out;
}

// One way an image can arrive: pieces at offsets, and cuts of what the host abandoned.
struct WriteStep {
  uint64_t offset;
  size_t size;  // bytes of Ramp(size, seed) written at offset; 0 with cut: truncate to offset
  uint8_t seed = 1;
  bool cut = false;
};
struct WriteCase {
  const char* what;
  std::vector<WriteStep> steps;
};

// Where the partition files of a state go: its folder, the private folder of a state without
// one (under TMPDIR), or memory when no such folder can be made.
enum class Where { StateFolder, PrivateFolder, Memory };

// Points TMPDIR elsewhere for the life of the object.
class TmpDirOverride {
 public:
  explicit TmpDirOverride(const std::string& value) {
    if (const char* old = std::getenv("TMPDIR")) old_ = old;
    ::setenv("TMPDIR", value.c_str(), 1);
  }
  ~TmpDirOverride() {
    if (old_)
      ::setenv("TMPDIR", old_->c_str(), 1);
    else
      ::unsetenv("TMPDIR");
  }

 private:
  std::optional<std::string> old_;
};

class PartitionWriting : public ::testing::TestWithParam<std::tuple<WriteCase, Where>> {};

TEST_P(PartitionWriting, PartitionHoldsTheBytesAndItsSizeAndCrcAgreeWithThem) {
  const auto& [c, where] = GetParam();
  TempDir dir;
  const bool withFolder = where == Where::StateFolder;
  TmpDirOverride tmp(where == Where::Memory ? dir / "no such folder" : dir.path());
  Bytes expected;
  {
    DeviceState s(withFolder ? dir.path() : std::string());
    auto w = s.WritePartition("apps");
    ASSERT_TRUE(w);
    for (const auto& step : c.steps) {
      if (step.cut) {
        ASSERT_TRUE(w->Truncate(step.offset));
        if (expected.size() > step.offset) expected.resize(step.offset);
        continue;
      }
      const Bytes data = Ramp(step.size, step.seed);
      ASSERT_TRUE(w->Write(step.offset, data));
      if (expected.size() < step.offset + data.size()) expected.resize(step.offset + data.size());
      std::copy(data.begin(), data.end(), expected.begin() + static_cast<std::ptrdiff_t>(step.offset));
    }
    EXPECT_EQ(w->Size(), expected.size());
    EXPECT_FALSE(s.Partition("apps"));  // nothing replaced before the image is closed
    ASSERT_TRUE(w->Commit());
    EXPECT_EQ(s.Partition("apps"), expected) << c.what;
    EXPECT_EQ(s.Partitions()["apps"].size, expected.size());
    EXPECT_EQ(s.Partitions()["apps"].crc, Crc16(expected)) << c.what;
    if (where == Where::PrivateFolder) {
      EXPECT_FALSE(std::filesystem::is_empty(dir.path()));
    }
  }
  if (!withFolder) {
    EXPECT_TRUE(std::filesystem::is_empty(dir.path()));  // the private folder went with the state
    return;
  }
  char crc[8];
  std::snprintf(crc, sizeof crc, "0x%04X", Crc16(expected));
  auto manifest = ReadMap(dir / "manifest.ini");
  EXPECT_EQ(manifest["apps"]["CRC"], crc) << c.what;
  EXPECT_EQ(manifest["apps"]["Size"], std::to_string(expected.size()));
  EXPECT_EQ(ReadFile(dir / "partitions/apps.bin"), expected);
  EXPECT_TRUE(Leftovers(dir.path()).empty());
}

INSTANTIATE_TEST_SUITE_P(
    Orders, PartitionWriting,
    ::testing::Combine(
        ::testing::Values(
            WriteCase{"in order", {{0, 1024}, {1024, 1024}, {2048, 452}}},
            WriteCase{"gap of zeros", {{0, 100}, {5000, 300, 2}}},
            WriteCase{"empty piece past the end", {{0, 100}, {700000, 0}}},
            WriteCase{"a piece sent again", {{0, 1024}, {1024, 1024}, {1024, 1024, 3}, {2048, 10}}},
            WriteCase{"out of order", {{4096, 1024}, {0, 4096, 4}}},
            WriteCase{"abandoned tail", {{0, 3000}, {3000, 2000, 5}, {3000, 0, 0, true}, {3000, 500, 6}}},
            WriteCase{"nothing", {}}),
        ::testing::Values(Where::StateFolder, Where::PrivateFolder, Where::Memory)));

TEST(DeviceState, AnImageNeverCommittedLeavesTheOldPartitionAndNoFile) {
  TempDir dir;
  DeviceState s(dir.path());
  s.StorePartition("tz", Bytes{1, 2, 3});
  {
    auto w = s.WritePartition("tz");
    ASSERT_TRUE(w);
    ASSERT_TRUE(w->Write(0, Ramp(70000, 9)));
    EXPECT_EQ(Leftovers(dir.path()).size(), 1u);  // the image in transfer
  }
  EXPECT_EQ(s.Partition("tz"), (Bytes{1, 2, 3}));
  EXPECT_EQ(s.Partitions()["tz"].crc, Crc16(Bytes{1, 2, 3}));
  EXPECT_TRUE(Leftovers(dir.path()).empty());
  EXPECT_EQ(s.WritePartition("../tz"), nullptr);

  // A modem that died while receiving leaves its image file; the next start drops it.
  {
    auto w = s.WritePartition("tz");
    ASSERT_TRUE(w->Write(0, Ramp(10, 1)));
    std::filesystem::copy_file(dir / ("partitions/" + Leftovers(dir.path()).at(0)), dir / "partitions/tz.bin.part-crash1");
  }
  DeviceState again(dir.path());
  EXPECT_TRUE(Leftovers(dir.path()).empty());
  EXPECT_EQ(again.Partition("tz"), (Bytes{1, 2, 3}));
}

TEST(DeviceState, APartitionFileChangedBehindTheManifestIsMeasuredAgain) {
  TempDir dir;
  { DeviceState(dir.path()).StorePartition("rpm", Ramp(5000, 1)); }
  {
    std::ofstream f(dir / "partitions/rpm.bin", std::ios::binary | std::ios::trunc);
    f.write("abc", 3);
  }
  DeviceState s(dir.path());
  EXPECT_EQ(s.Partitions()["rpm"].size, 3u);
  EXPECT_EQ(s.Partitions()["rpm"].crc, Crc16(Bytes{'a', 'b', 'c'}));
}

TEST(DeviceMap, KeepsOtherSectionsAndUnknownKeysWhenOneModemChangesItsOwn) {
  TempDir dir;
  const std::string path = dir / "map.ini";
  {
    std::ofstream out(path);
    out << "[COM3]\nPath=/dev/ttyS3\nFriendlyName=Communications Port (COM3)\nHardwareId=ACPI\\PNP0501\nExtra=1\n";
  }
  DeviceMap map(path);
  ASSERT_TRUE(map.Put({7, "/dev/pts/9", "Quorvel HS-USB Diagnostics 9025 (COM7)", "USB\\VID_05C6&PID_9025&REV_0000&MI_00"}));
  ASSERT_TRUE(map.Put({7, "/dev/pts/10", "Qualcomm HS-USB QDLoader 9008 (COM7)", "USB\\VID_05C6&PID_9008&REV_0000"}));
  auto m = ReadMap(path);
  EXPECT_EQ(m["COM3"]["Extra"], "1");
  EXPECT_EQ(m["COM7"]["Path"], "/dev/pts/10");
  ASSERT_TRUE(map.Remove(7));
  m = ReadMap(path);
  EXPECT_EQ(m.size(), 1u);
  EXPECT_TRUE(m.count("COM3"));
}

}  // namespace
}  // namespace zovir::sim::test
