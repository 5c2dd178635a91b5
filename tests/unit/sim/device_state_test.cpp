#include <gtest/gtest.h>

#include "pty_client.h"
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
