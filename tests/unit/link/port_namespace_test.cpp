#include "platform/port_namespace.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include <unistd.h>

namespace zovir {
namespace {

namespace fs = std::filesystem;

TEST(PortNamespace, NamesAndFixedMapping) {
  struct Case {
    const char* name;
    std::optional<int> number;
    std::optional<std::string> path;
  };
  const Case cases[] = {
      {"COM1", 1, "/dev/ttyS0"},
      {"com9", 9, "/dev/ttyS8"},
      {"\\\\.\\COM10", 10, "/dev/ttyS9"},
      {"COM99", 99, "/dev/ttyS98"},
      {"COM100", 100, "/dev/ttyUSB0"},
      {"COM199", 199, "/dev/ttyUSB99"},
      {"COM200", 200, "/dev/ttyACM0"},
      {"COM213", 213, "/dev/ttyACM13"},
      {"COM0", std::nullopt, std::nullopt},
      {"COM", std::nullopt, std::nullopt},
      {"COM7x", std::nullopt, std::nullopt},
      {"LPT1", std::nullopt, std::nullopt},
      {"COM-3", std::nullopt, std::nullopt},
  };
  PortNamespace names;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(PortNamespace::ParseComName(c.name), c.number);
    EXPECT_EQ(names.Resolve(c.name), c.path);
    if (c.path) {
      EXPECT_EQ(names.NumberOf(*c.path), c.number);
    }
  }
  EXPECT_EQ(PortNamespace::FixedNumber("/dev/ttyUSB100"), std::nullopt);
  EXPECT_EQ(PortNamespace::FixedNumber("/dev/ttyUSBx"), std::nullopt);
  EXPECT_EQ(PortNamespace::FixedNumber("/dev/pts/3"), std::nullopt);
}

class DeviceMapFile : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = fs::temp_directory_path() / ("zovir_map_" + std::to_string(::getpid()) + "_" +
                                       ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir);
    path = dir / "devices.ini";
  }
  void TearDown() override { fs::remove_all(dir); }
  // Written the way the virtual modem does it: a new file renamed over the old one.
  void Write(const std::string& text) {
    const fs::path tmp = dir / "devices.ini.tmp";
    std::ofstream(tmp) << text;
    fs::rename(tmp, path);
  }
  fs::path dir, path;
};

TEST_F(DeviceMapFile, EntriesAddToAndReplaceTheFixedMapping) {
  Write("; ports of the virtual modem\n"
        "[COM7]\nPath=/dev/pts/5\nFriendlyName=Modem Diagnostics (COM7)\nHardwareId=USB\\VID_1234&PID_0001&MI_00\n"
        "[com101]\n  path = /dev/pts/6 \nFRIENDLYNAME=Modem AT (COM101)\n"
        "[Settings]\nPath=/dev/null\n"
        "garbage line\n");
  PortNamespace names(path.string());
  EXPECT_EQ(names.Resolve("COM7"), "/dev/pts/5");
  EXPECT_EQ(names.Resolve("COM101"), "/dev/pts/6") << "replaces /dev/ttyUSB1";
  EXPECT_EQ(names.Resolve("COM102"), "/dev/ttyUSB2");
  EXPECT_EQ(names.NumberOf("/dev/pts/6"), 101);
  const auto entries = names.MapEntries();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].name, "COM7");
  EXPECT_EQ(entries[0].friendlyName, "Modem Diagnostics (COM7)");
  EXPECT_EQ(entries[0].hardwareId, "USB\\VID_1234&PID_0001&MI_00");
  EXPECT_EQ(entries[1].number, 101);
  EXPECT_EQ(entries[1].path, "/dev/pts/6");
  EXPECT_EQ(entries[1].hardwareId, "");
}

TEST_F(DeviceMapFile, RereadAfterEveryReplacementAndGoneWhenRemoved) {
  PortNamespace names(path.string());
  EXPECT_EQ(names.Resolve("COM7"), "/dev/ttyS6") << "no file yet: fixed mapping";
  for (int round = 0; round < 5; ++round) {
    // Same size, written within the same instant: the rename still shows.
    Write("[COM7]\nPath=/dev/pts/" + std::to_string(round) + "\n");
    EXPECT_EQ(names.Resolve("COM7"), "/dev/pts/" + std::to_string(round));
  }
  fs::remove(path);
  EXPECT_EQ(names.Resolve("COM7"), "/dev/ttyS6");
  EXPECT_TRUE(names.MapEntries().empty());
}

}  // namespace
}  // namespace zovir
