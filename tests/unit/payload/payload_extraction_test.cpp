#include "ui/payload_extraction.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "platform/processes.h"
#include "temp_folder.h"
#include "ui/work_folders.h"

namespace zovir {
namespace {

namespace fs = std::filesystem;
using testing_support::ModeOf;
using testing_support::ReadFile;
using testing_support::TempFolder;
using testing_support::WriteFile;
using Kind = PayloadAction::Kind;

// "key TYPE file" for each extraction, "copy <source> file", "adb" for the terminate step.
std::vector<std::string> Describe(const std::vector<PayloadAction>& plan, const std::string& folder) {
  std::vector<std::string> out;
  for (const PayloadAction& a : plan) {
    const std::string file = a.target.rfind(folder + "/", 0) == 0 ? a.target.substr(folder.size() + 1) : a.target;
    switch (a.kind) {
      case Kind::TerminateAdb:
        out.push_back("adb");
        break;
      case Kind::Extract:
        out.push_back(a.key + " " + a.type + " " + file);
        break;
      case Kind::Copy:
        out.push_back("copy " + a.source + " " + file);
        break;
      case Kind::Refuse:
        out.push_back("refuse " + a.source);
        break;
    }
  }
  return out;
}

ProjectConfiguration DemoLike() {
  ProjectConfiguration c;
  c.ProjectType = 3;
  c.bEFS = c.bBackup = c.bRestore = c.bBootloader = c.bRpmBootloader = 1;
  return c;
}

TEST(PlanPayload, ThisPlatformsTableForTheDemoSelection) {
  const std::vector<std::string> expected = {
      "adb",
      "NPRG9x06File MBN NPRG9x06.mbn",
      "PartitionFile MBN partition.mbn",
      "EfsFile MBN efs.mbn",
      "AppEfsFile MBN efs2apps.mbn",
      "tzFile MBN tz.mbn",
      "rpmFile MBN rpm.mbn",
      "mbaFile MBN mba.mbn",
      "qdsp6swFile MBN qdsp6sw.mbn",
      "appsFile MBN apps.mbn",
      "acdbFile MBN acdb.mbn",
      "sbl1File MBN sbl1.mbn",
      "tzFile MBN tz.mbn",
      "rpmFile MBN rpm.mbn",
      "mbaFile MBN mba.mbn",
      "ModeSwitchHelperFile EXE ModeSwitchHelper",
      "NetSwitchHelperFile EXE NetSwitchHelper",
      "HexConverterFile DLL libHexConverter.so",
      "EnvCleaner32File EXE EnvCleaner32",
      "EnvCleaner64File EXE EnvCleaner64",
  };
  EXPECT_EQ(Describe(PlanPayload(DemoLike(), "/w"), "/w"), expected);
}

TEST(PlanPayload, SelectionsChangeTheTableButNeverBringTheOtherPlatformsTools) {
  struct Case {
    const char* what;
    void (*set)(ProjectConfiguration&);
    std::vector<std::string> present;
    std::vector<std::string> absent;
  };
  const Case cases[] = {
      {"bEnprg9x15 renames the programmer", [](ProjectConfiguration& c) { c.bEnprg9x15 = 1; },
       {"NPRG9x06File MBN ENPRG9x06.mbn"}, {"NPRG9x06File MBN NPRG9x06.mbn"}},
      {"type 35 has no partition table", [](ProjectConfiguration& c) { c.ProjectType = 35; }, {},
       {"PartitionFile MBN partition.mbn"}},
      {"the older families take their own boot loaders",
       [](ProjectConfiguration& c) {
         c.ProjectType = 45;
         c.bAMSSFile = 1;
       },
       {"AmssFile MBN amss.mbn", "DblFile MBN dbl.mbn", "FsblFile MBN fsbl.mbn", "OsblFile MBN osbl.mbn"},
       {"AmsshdFile MBN amsshd.mbn", "sbl1File MBN sbl1.mbn"}},
      {"a modem image comes with its header", [](ProjectConfiguration& c) { c.bAMSSFile = 1; },
       {"AmssFile MBN amss.mbn", "AmsshdFile MBN amsshd.mbn"}, {}},
      {"the reset helper only when the reset is configured", [](ProjectConfiguration& c) { c.ExecuteResetModem = 1; },
       {"ResetHelperFile EXE ResetHelper"}, {}},
      {"the driver installer for its product types", [](ProjectConfiguration& c) { c.ProjectType = 19; },
       {"DriverInstallerFile EXE DriverInstaller"}, {}},
      {"fastboot items bring their images but no adb libraries",
       [](ProjectConfiguration& c) {
         c.bFastbootBootImage = c.bFastbootzImage = c.bSwitchFastbootMode = 1;
       },
       {"BootimageFile IMG boot.img", "ZimageFile BIN zImage", "xloadFile BIN xload.bin"}, {}},
      {"a system image from a folder is copied",
       [](ProjectConfiguration& c) {
         c.bFastbootSystemImage = 1;
         c.FastBootSystemImageFilePath = "/images";
       },
       {"copy /images/system.img system.img"}, {"SystemimageFile IMG system.img"}},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    ProjectConfiguration c = DemoLike();
    k.set(c);
    const auto plan = Describe(PlanPayload(c, "/w"), "/w");
    for (const std::string& p : k.present) EXPECT_NE(std::find(plan.begin(), plan.end(), p), plan.end()) << p;
    for (const std::string& a : k.absent) EXPECT_EQ(std::find(plan.begin(), plan.end(), a), plan.end()) << a;
    for (const std::string& entry : plan) {
      for (const char* windowsOnly : {"adbFile", "fastbootFile", "AdbWinApiFile", "AdbWinUsbApiFile", "BATFiles"}) {
        EXPECT_NE(entry.rfind(std::string(windowsOnly) + " ", 0), 0u) << entry;
      }
    }
  }
}

TEST(PlanPacketPayload, SecondPacketKeysCarryTheSuffixAndConfigComesLast) {
  ProjectConfiguration c = DemoLike();
  c.bAMSSFile = 1;
  c.ProjectType = 7;
  const std::vector<std::string> expected = {
      "NPRG9x06File2 MBN NPRG9x06.mbn", "PartitionFile2 MBN partition.mbn",  "AmssFile2 MBN amss.mbn",
      "AmsshdFile2 MBN amsshd.mbn",     "CEfsFile2 MBN cefs.mbn",            "AppEfsFile2 MBN cefs_apps.mbn",
      "ModeSwitchHelperFile2 EXE ModeSwitchHelper", "HexConverterFile2 DLL libHexConverter.so",
      "ConfigFile2 INI Config.ini"};
  EXPECT_EQ(Describe(PlanPacketPayload(c, "/w2", 2), "/w2"), expected);
}

// A payload that has every resource the demo selection needs, each holding its own key.
Payload DemoPayload(const ProjectConfiguration& c) {
  Payload p;
  for (const PayloadAction& a : PlanPayload(c, "/w")) {
    if (a.kind == Kind::Extract && p.Find(a.key, a.type) == nullptr) p.Add(a.key, a.type, a.key, "bytes of " + a.key);
  }
  return p;
}

TEST(ExtractPayload, WritesEveryResourceWithPrivateModesAndReplacesOldFiles) {
  TempFolder t;
  ProjectConfiguration c = DemoLike();
  const Payload payload = DemoPayload(c);
  RecordingMessageSink sink;
  WriteFile(t / "tz.mbn", "an old tz image that is longer than the new one");
  EXPECT_FALSE(ExtractPayload(c, t.Path(), PayloadContext{payload, sink, nullptr}));
  EXPECT_TRUE(sink.messages.empty());
  EXPECT_EQ(ReadFile(t / "tz.mbn"), "bytes of tzFile");
  EXPECT_EQ(ReadFile(t / "efs2apps.mbn"), "bytes of AppEfsFile");
  EXPECT_EQ(ModeOf(t / "tz.mbn"), 0600u);
  EXPECT_EQ(ModeOf(t / "ModeSwitchHelper"), 0700u);
  EXPECT_EQ(ModeOf(t / "libHexConverter.so"), 0600u);
}

TEST(ExtractPayload, AMissingResourceOrAnUnwritableTargetEndsTheStart) {
  TempFolder t;
  ProjectConfiguration c = DemoLike();
  Payload payload = DemoPayload(c);
  RecordingMessageSink sink;
  c.bCfgdata = 1;
  try {
    ExtractPayload(c, t.Path(), PayloadContext{payload, sink, nullptr});
    FAIL();
  } catch (const StartupError& e) {
    EXPECT_STREQ(e.what(), "Resource CfgdataFile not found");
  }
  c.bCfgdata = 0;
  // A link planted under a target name is not written through.
  WriteFile(t / "victim", "keep");
  fs::remove(t / "apps.mbn");
  fs::create_symlink(t / "victim", t / "apps.mbn");
  try {
    ExtractPayload(c, t.Path(), PayloadContext{payload, sink, nullptr});
    FAIL();
  } catch (const StartupError& e) {
    EXPECT_EQ(std::string(e.what()), "Cannot create file " + (t / "apps.mbn"));
  }
  EXPECT_EQ(ReadFile(t / "victim"), "keep");
}

TEST(ExtractPayload, FastbootListNamesBecomeFilesInTheWorkFolder) {
  TempFolder t;
  const std::string work = t / "work";
  CreateFolderPath(work);
  WriteFile(t / "images/boot.img", "boot from a folder");
  ProjectConfiguration c = DemoLike();
  c.bFastbootConfiguration = 1;
  struct Case {
    std::string name;
    std::string after;  // the list entry afterwards
    bool refused;
  };
  const Case cases[] = {
      {"erase", "erase", false},
      {t / "images/boot.img", work + "/boot.img", false},
      {"primary_gpt", work + "/primary_gpt", false},
      {"recovery.img", work + "/recovery.img", false},
      {"C:\\images\\missing.img", "C:\\images\\missing.img", true},
      {"C:\\images\\..", "C:\\images\\..", true},
      {t / "images/.", t / "images/.", true},
      {"..", "..", true},
      {"data:stream", "data:stream", true},
  };
  for (const Case& k : cases) c.FastbootFileNameList.push_back(k.name);
  Payload payload = DemoPayload(DemoLike());
  payload.Add("primary_gptFile", "BIN", "primary_gpt", "gpt");
  payload.Add("recoveryFile", "IMG", "recovery.img", "recovery");
  RecordingMessageSink sink;

  EXPECT_TRUE(ExtractPayload(c, work, PayloadContext{payload, sink, nullptr}));
  for (size_t i = 0; i < std::size(cases); ++i) EXPECT_EQ(c.FastbootFileNameList[i], cases[i].after) << i;
  EXPECT_EQ(ReadFile(work + "/boot.img"), "boot from a folder");
  EXPECT_EQ(ReadFile(work + "/primary_gpt"), "gpt");
  EXPECT_EQ(ReadFile(work + "/recovery.img"), "recovery");
  const auto refusals = std::count_if(std::begin(cases), std::end(cases), [](const Case& k) { return k.refused; });
  ASSERT_EQ(sink.messages.size(), static_cast<size_t>(refusals));
  for (const auto& m : sink.messages) {
    EXPECT_EQ(m.text, "Copy file failed!");
    EXPECT_EQ(m.caption, "Warning");
  }
  // Nothing was written outside the work folder.
  EXPECT_EQ(std::distance(fs::directory_iterator(t.Path()), fs::directory_iterator()), 2);
}

// Records which processes the extraction asks to end.
class RecordingProcesses final : public Processes {
 public:
  std::unique_ptr<ProcessHandle> Start(const ProcessSpec&, int& error) override {
    error = 1;
    return nullptr;
  }
  int TerminateProcessesByName(const std::string& name, const std::string& folder) override {
    calls.push_back(name + " in " + folder);
    return 0;
  }
  std::unique_ptr<NamedLock> CreateNamedLock(const std::string&) override { return nullptr; }
  std::vector<std::string> calls;
};

TEST(ExtractPayload, OnlyAnAdbStartedFromTheWorkFolderIsEnded) {
  TempFolder t;
  ProjectConfiguration c = DemoLike();
  RecordingMessageSink sink;
  RecordingProcesses processes;
  EXPECT_FALSE(ExtractPayload(c, t.Path(), PayloadContext{DemoPayload(c), sink, &processes}));
  EXPECT_EQ(processes.calls, std::vector<std::string>{"adb in " + t.Path()});
}

TEST(ExtractPayload, AMissingSystemImageFolderIsACopyFailure) {
  TempFolder t;
  ProjectConfiguration c = DemoLike();
  c.bFastbootSystemImage = 1;
  c.FastBootSystemImageFilePath = t / "nowhere";
  RecordingMessageSink sink;
  EXPECT_TRUE(ExtractPayload(c, t.Path(), PayloadContext{DemoPayload(DemoLike()), sink, nullptr}));
  ASSERT_EQ(sink.messages.size(), 1u);
  EXPECT_EQ(sink.messages[0].text, "Copy file failed [system.img]!");
}

TEST(HexStartAddress, OnlyTheKnownUpperDigitsSelectAnAddress) {
  const std::pair<const char*, uint32_t> cases[] = {
      {"0080", 0x00800000}, {"00A0", 0x00A00000}, {"0805", 0x08050000}, {"0570", 0x05700000},
      {"01E0", 0x01E00000}, {"0DB0", 0x0DB00000}, {"2D90", 0x2D900000}, {"1D90", 0x1D900000},
      {"0DF0", 0x0DF00000}, {"0010", 0x00100000}, {"0700", 0x07000000}, {"4170", 0x41700000},
      {"2A00", 0x2A000000}, {"1234", 0},          {"00a0", 0},          {"0000", 0}};
  for (const auto& [digits, address] : cases) EXPECT_EQ(HexStartAddressOf(digits), address) << digits;
}

#ifdef ZOVIR_HEX_CONVERTER
TEST(ConvertHexImage, ConvertsWithTheLibraryOfTheWorkFolderAndReportsEachFailure) {
  TempFolder t;
  fs::copy_file(ZOVIR_HEX_CONVERTER, t / kHexConverterName);
  // Extended linear address 0x0080, four data bytes at 0x00800000, end of file.
  WriteFile(t / "FW.HEX", ":0200000400807A\n:0400000001020304F2\n:00000001FF\n");
  WriteFile(t / "OTHER.HEX", ":020000041234B4\n:0100000055AA\n:00000001FF\n");
  WriteFile(t / "BAD.HEX", ":020000040080FF\n");
  RecordingMessageSink sink;
  uint32_t start = 7;

  EXPECT_EQ(ConvertHexImage(t / "FW.HEX", t / "FW.BIN", t.Path(), sink, start), 1);
  EXPECT_EQ(start, 0x00800000u);
  EXPECT_EQ(ReadFile(t / "FW.BIN"), std::string("\x01\x02\x03\x04"));
  EXPECT_TRUE(sink.messages.empty());

  EXPECT_EQ(ConvertHexImage(t / "OTHER.HEX", t / "OTHER.BIN", t.Path(), sink, start), 1);
  EXPECT_EQ(start, 0u);

  struct Failure {
    std::string hex, folder, text;
    MessageIcon icon;
  };
  const Failure failures[] = {
      {t / "NONE.HEX", t.Path(), "Read hex file failed(INVALID_HANDLE)!", MessageIcon::None},
      {t / "FW.HEX", t / "empty", "Load library failed [libHexConverter.so]!", MessageIcon::Warning},
      {t / "BAD.HEX", t.Path(), "switch hex to bin failed!", MessageIcon::Warning},
  };
  for (const Failure& f : failures) {
    SCOPED_TRACE(f.text);
    sink.messages.clear();
    EXPECT_EQ(ConvertHexImage(f.hex, t / "X.BIN", f.folder, sink, start), 0);
    ASSERT_EQ(sink.messages.size(), 1u);
    EXPECT_EQ(sink.messages[0].text, f.text);
    EXPECT_EQ(sink.messages[0].caption, "ERROR");
    EXPECT_EQ(sink.messages[0].icon, f.icon);
  }
  EXPECT_FALSE(fs::exists(t / "X.BIN"));
}
#endif

}  // namespace
}  // namespace zovir
