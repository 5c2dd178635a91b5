#include "config/device_check.h"

#include <gtest/gtest.h>

#include "config/device_check_variants.h"

namespace zovir {
namespace {

DeviceFacts Complete(std::string version = "") {
  DeviceFacts f;
  f.diagPort = "COM5";
  f.atPort = "COM6";
  f.diagPortCount = 1;
  f.ModemVersion = std::move(version);
  return f;
}

int NoInstaller() { return 1; }

TEST(CheckDevice, PlainToolIsReadyExactlyWithBothPorts) {
  ProjectConfiguration c;
  struct Case {
    std::string diag, at;
    bool ready;
  } cases[] = {{"COM5", "COM6", true}, {"COM5", "", false}, {"", "COM6", false}, {"", "", false}};
  for (const auto& k : cases) {
    DeviceFacts f = Complete();
    f.diagPort = k.diag;
    f.atPort = k.at;
    const auto r = CheckDevice(c, f, NoInstaller);
    EXPECT_EQ(r.ready, k.ready) << k.diag << "/" << k.at;
    EXPECT_EQ(r.returnValue, 1);
    EXPECT_TRUE(r.message.empty());
    EXPECT_FALSE(r.stopWatcher);
  }
}

TEST(CheckDevice, ProjectCodeComparesUpToTheConfiguredFirstDot) {
  ProjectConfiguration c;
  c.bCheckProjectCode = 1;
  c.Version = "abc12.01.05";
  struct Case {
    std::string configured, modem, message;
  } cases[] = {
      {"abc12.01.05", "ABC12.99.zz", ""},
      {"abc12.01.05", "ABC13.01.05", "Could not update other irrelevant model device!"},
      {"abc12.01.05", "ABC", "Can't get project code from model verison!"},
      {"abc12", "ABC12.01", "Can't get project code from config verison!"},
      {"abc12.01.05", "AB.", "Could not update other irrelevant model device!"},
  };
  for (const auto& k : cases) {
    c.Version = k.configured;
    const auto r = CheckDevice(c, Complete(k.modem), NoInstaller);
    EXPECT_EQ(r.message, k.message) << k.modem;
    EXPECT_EQ(r.ready, k.message.empty());
    EXPECT_EQ(r.stopWatcher, !k.message.empty()) << "a refusal ends the watcher";
    EXPECT_EQ(r.returnValue, k.message.empty() ? 1 : 0);
  }
}

TEST(CheckDevice, MainboardMarkerAndTail) {
  ProjectConfiguration c;
  c.bCheckMainboardType = 1;
  struct Case {
    std::string name, second, configured, modem, message;
  } cases[] = {
      {"X", "", "BTM0001.3.00ABCD", "btm0001.3.99abcd", ""},
      {"X", "", "BTM0001.3.00ABCD", "BTM0001.3.00ZZZZ", "Can't update other irrelevant mobile devices."},
      {"Saltor", "", "BTM0001.3.00ABCD", "BTM0001.3.00NONE", ""},
      {"X", "", "BTM0001.3.00ABCD", "BTM0001.4.00ABCD", "Can't update other irrelevant mobile devices!"},
      {"X", "", "BTM0001.2.00ABCD", "BTM0001.2.00abcd", ""},
      {"X", "", "BTM0001.2.00ABCD", "BTM0001.2.00ABCE", "Can't update other irrelevant mobile devices."},
      {"Saltor", "", "BTM0001.2.00ABCD", "BTM0001.2.00NONE", ""},
      {"Saltor", "v2.00wxyz", "BTM0001.2.00ABCD", "BTM0001.2.00WXYZ", ""},
      {"Saltrin", "v2.00wxyz", "BTM0001.2.00ABCD", "BTM0001.2.00NONE",
       "Could not update other irrelevant mobile devices."},
  };
  for (const auto& k : cases) {
    c.Name = k.name;
    c.SecondPacketVersion = k.second;
    c.Version = k.configured;
    EXPECT_EQ(CheckDevice(c, Complete(k.modem), NoInstaller).message, k.message) << k.name << " " << k.modem;
  }
}

TEST(CheckDevice, MemoryRules) {
  struct Case {
    bool dataCard, router;
    std::string flash, ram, support, info, message;
  } cases[] = {
      {false, true, "512M", "1024M", "", "ID:0x2C PAGESIZE:2048 MCP:1,2 DEVICEWIDTH:8", ""},
      {false, true, "512M", "512M", "", "ID:0x2C PAGESIZE:2048 MCP:1,2 DEVICEWIDTH:8", "Memory size is not matched!"},
      {false, true, "512M", "", "", "ID:0x2C PAGESIZE:2048 MCP:1,x", ""},
      {false, true, "", "1024M", "", "ID:0x2C PAGESIZE:2048 MCP:1,9", "Memory size is not matched!"},
      {false, true, "", "", "0X2C,0X98", "ID:0x2C PAGESIZE:2048 MCP:1,2", ""},
      {false, true, "", "", "0X98", "ID:0x2C PAGESIZE:2048 MCP:1,2", "Memory size is not matched!"},
      {false, true, "", "1024M", "", "ID:0XECA1 PAGESIZE:2048", "Memory size is not matched!"},
      {false, true, "1024M", "512M", "", "ID:0XECA1 PAGESIZE:2048", ""},
      {false, true, "1024M", "1024M", "", "ID:0x2CB1 PAGESIZE:2048", ""},
      {false, true, "", "", "", "ID:0x1234 PAGESIZE:2048", "Can not check memory size!"},
      {true, false, "1024M", "", "", "ID:0xECA1 PAGESIZE:2048", ""},
      {true, false, "1024M", "", "", "ID:0xECB1 PAGESIZE:2048", "Memory size is not matched!"},
      {true, false, "512M", "", "", "ID:0xECB1 PAGESIZE:2048", ""},
      {true, false, "512M", "", "", "error", ""},
      {true, false, "1024M", "", "", "ERROR", "Memory size is not matched!"},
      {false, true, "1024M", "512M", "", "ERROR", "Memory size is not matched!"},
      {false, true, "", "", "", "ERROR", ""},
  };
  for (const auto& k : cases) {
    ProjectConfiguration c;
    c.bCheckDataCardMemory = k.dataCard;
    c.bCheckRouterMemory = k.router;
    c.FlashSize = k.flash;
    c.RAMSize = k.ram;
    c.SupportFlashID = k.support;
    DeviceFacts f = Complete();
    f.ModemFlashInfo = k.info;
    EXPECT_EQ(CheckDevice(c, f, NoInstaller).message, k.message) << k.info << " flash " << k.flash << " ram " << k.ram;
  }
}

TEST(CheckDevice, DataCardAndPhoneTypes) {
  struct Case {
    int type;
    std::string modem;
    int ports;
    bool ready;
    std::string label, message;
  } cases[] = {
      {2, "BTM0027.1", 1, true, "Version:BTM0027.1", ""},
      {2, "CFG", 1, false, "Version:", "Can't update the software because it is the latest"},
      {2, "BTM0029.1", 1, false, "Version:", "Can't update other irrelevant Data Cards"},
      {6, "BTM0027.1", 1, false, "Version:", "Can't update other irrelevant mobile devices"},
      {6, "BTM0029.1", 2, false, "Version:", "Two or more devices were found"},
      {2, "BTM0027.1", 3, false, "Version:", "Two or more devices were found"},
  };
  for (const auto& k : cases) {
    ProjectConfiguration c;
    c.ProjectType = k.type;
    c.Version = "CFG";
    DeviceFacts f = Complete(k.modem);
    f.diagPortCount = k.ports;
    const auto r = CheckDevice(c, f, NoInstaller);
    EXPECT_EQ(r.ready, k.ready) << k.type << " " << k.modem;
    EXPECT_EQ(r.versionLabel, k.label);
    EXPECT_EQ(r.message, k.message);
    EXPECT_EQ(r.stopWatcher, !k.message.empty());
  }
  ProjectConfiguration c;
  c.ProjectType = 6;
  DeviceFacts none;
  const auto r = CheckDevice(c, none, NoInstaller);
  EXPECT_EQ(r.versionLabel, "Versinon:");
  EXPECT_TRUE(r.resetInstallerFlag);
}

TEST(CheckDevice, DriverInstallerFailureChangesNothing) {
  ProjectConfiguration c;
  c.ProjectType = 42;
  int calls = 0;
  const auto failed = CheckDevice(c, Complete("BTM0029"), [&] { return ++calls, 0; });
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(failed.returnValue, 0);
  EXPECT_FALSE(failed.changeWindow);
  const auto ok = CheckDevice(c, Complete("BTM0029"), [] { return 1; });
  EXPECT_TRUE(ok.ready);
  EXPECT_TRUE(ok.disableTimer1);
  c.ProjectType = 3;
  EXPECT_EQ(CheckDevice(c, Complete(), [&] { return ++calls, 0; }).returnValue, 1);
  EXPECT_EQ(calls, 1) << "no installer for other types";
}

TEST(CheckDevice, TypeSpecificDecisions) {
  struct Case {
    int type;
    bool stop, timer, restart;
    std::string label;
  } cases[] = {{10, false, false, false, ""}, {27, true, false, false, ""}, {41, true, false, false, ""},
               {3, true, false, false, ""},   {29, true, false, false, ""}, {1013, false, false, true, "Version:"},
               {-1, false, false, false, ""}};
  for (const auto& k : cases) {
    ProjectConfiguration c;
    c.ProjectType = k.type;
    const auto r = CheckDevice(c, Complete(), NoInstaller);
    EXPECT_TRUE(r.ready) << k.type;
    EXPECT_EQ(r.returnValue, 1);
    EXPECT_EQ(r.stopWatcher, k.stop) << k.type;
    EXPECT_EQ(r.setRestartMark, k.restart) << k.type;
    EXPECT_EQ(r.versionLabel, k.label) << k.type;
  }
}

TEST(SelectPacketByHardware, Rules) {
  constexpr const char* bang = "Device and software version is not matched!";
  constexpr const char* dot = "Device and software version is not matched.";
  struct Case {
    int packet;
    std::string name, second, hardware;
    PacketChoice choice;
    std::string message;
  } cases[] = {
      {1, "Saltor", "", "Saltor", PacketChoice::Keep, ""},
      {1, "Saltor", "", "Saltrin", PacketChoice::Refuse, bang},
      {1, "Saltrin", "", "Saltor", PacketChoice::Refuse, dot},
      {1, "KeplanB", "", "KeplanA", PacketChoice::Refuse, dot},
      {1, "KeplanA", "", "KeplanA", PacketChoice::Keep, ""},
      {1, "KeplanA", "", "Other", PacketChoice::Refuse, bang},
      {2, "Saltor", "Saltrin", "Saltor", PacketChoice::Keep, ""},
      {2, "Saltrin", "Saltor", "Saltor", PacketChoice::SwitchReread, ""},
      {2, "Saltrin", "Saltrin", "Saltrin", PacketChoice::SwitchReread, ""},
      {2, "Saltrin", "Saltor", "Saltrin", PacketChoice::Keep, ""},
      {2, "KeplanA", "KeplanB", "KeplanB", PacketChoice::SwitchReread, ""},
      {2, "KeplanA", "KeplanA", "KeplanB", PacketChoice::Refuse, bang},
      {3, "Saltor", "Saltrin", "Saltor", PacketChoice::Refuse, bang},
  };
  for (const auto& k : cases) {
    ProjectConfiguration c;
    c.Packet = k.packet;
    c.Name = k.name;
    c.SecondPacketName = k.second;
    const auto d = SelectPacketByHardware(c, k.hardware);
    EXPECT_EQ(d.choice, k.choice) << k.packet << " " << k.name << " hw " << k.hardware;
    EXPECT_EQ(d.message, k.message) << k.packet << " " << k.name << " hw " << k.hardware;
  }
}

TEST(SelectPacketByFlash, FlashSizeRules) {
  struct Case {
    int type, packet, flashType;
    std::string flashId, modem;
    PacketChoice choice;
    std::string message, lastLog;
  } cases[] = {
      {25, 2, 1, "a1", "", PacketChoice::Keep, "", ""},
      {25, 2, 0, "A1", "", PacketChoice::SwitchKeepConfig, "", ""},
      {25, 2, 1, "B1", "", PacketChoice::SwitchReread, "", ""},
      {25, 2, 0, "B1", "", PacketChoice::Keep, "", ""},
      {25, 3, 0, "B1", "", PacketChoice::Refuse, "Unkonwn the flash size.", ""},
      {25, 1, 0, "A1", "", PacketChoice::Refuse, "Flash size is not matched!", ""},
      {25, 1, 1, "B1", "", PacketChoice::Refuse, "Flash size is not matched.", ""},
      {25, 1, 1, "A1", "", PacketChoice::Keep, "", ""},
      {28, 2, 0, "A1", "1.2.0", PacketChoice::SwitchKeepConfig, "", "Load 1G Flash software OK"},
      {28, 2, 1, "B1", "1.2.0", PacketChoice::SwitchReread, "", "Load 512M Flash software."},
      {26, 3, 1, "B1", "", PacketChoice::Keep, "", ""},
  };
  for (const auto& k : cases) {
    ProjectConfiguration c;
    c.ProjectType = k.type;
    c.Packet = k.packet;
    c.FlashType = k.flashType;
    DeviceFacts f = Complete(k.modem);
    f.ModemFlashId = k.flashId;
    const auto d = SelectPacketByFlash(c, f);
    EXPECT_EQ(d.choice, k.choice) << k.type << " packet " << k.packet << " id " << k.flashId;
    EXPECT_EQ(d.message, k.message);
    EXPECT_EQ(d.logLines.empty() ? "" : d.logLines.back(), k.lastLog);
  }
  ProjectConfiguration c;
  c.ProjectType = 28;
  const auto updated = SelectPacketByFlash(c, Complete("1.3.0"));
  EXPECT_FALSE(updated.Accepted());
  EXPECT_TRUE(updated.requestEnd);
  EXPECT_EQ(updated.caption, TextsOf(ProductVariant::Japan28).title);
}

TEST(SelectPacketByFlash, TitleVariantVersions) {
  constexpr const char* latest = "最新のファームウェアが実装されているため、アップデートは不要です。";
  // Positions 9 and 11 of these versions hold the release numbers.
  struct Case {
    std::string version, modem, message;
  } cases[] = {
      {"BTM0031_2_5", "BTM0031_1_9", ""},
      {"BTM0031_2_5", "BTM0031_2_4", ""},
      {"BTM0031_2_5", "BTM0031_2_5X", latest},
      {"BTM0031_2_5", "BTM0031_2_5", latest},
      {"BTM0031_2_5", "BTM0031_3_0", latest},
      {"BTM0031_2_5", "BTM0031_2", "The phone's software version was wrong!"},
      {"BTM0031_2", "BTM0031_2_5", "Configration version was wrong!"},
      {"BTM0031_2_5", "BTM0031_x_y", "The phone's software version was wrong!"},
      {"BTM0031_x_5", "BTM0031_2_5Z", "Configration version was wrong!"},
      {"BTM0031_2_5", "", "Could not find SWVerison from phone"},
      {"BTM0031_2_5", "BTM0029_2_4", TextsOf(ProductVariant::Title1).deviceNotConnected},
  };
  for (const auto& k : cases) {
    ProjectConfiguration c;
    c.ProjectType = 3;
    c.VersionVariant = {1, 0, 0};
    c.Version = k.version;
    const auto d = SelectPacketByFlash(c, Complete(k.modem));
    EXPECT_EQ(d.message, k.message) << k.version << " vs " << k.modem;
    EXPECT_EQ(d.Accepted(), k.message.empty());
  }
}

}  // namespace
}  // namespace zovir
