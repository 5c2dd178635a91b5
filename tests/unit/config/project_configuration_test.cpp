#include "config/project_configuration.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>

#include "temp_dir.h"

namespace zovir {
namespace {

using test::TempDir;

const char* kEfsConflict = "Config was wrong.\nEFS and part of EFS can't be selected at same time.";

// Reads `ini` into `config` (which may hold the values of an earlier read).
struct ReadResult {
  bool ok = false;
  RecordingMessageSink sink;
  std::string message() const { return sink.messages.empty() ? std::string() : sink.messages.back().text; }
};

// Most cases give only the sections they are about; a file is read at all only with its
// [Project] section, which such a case then gets in front (UTF-16 text is left as it is).
ReadResult Read(ProjectConfiguration& config, std::string ini) {
  TempDir dir;
  ReadResult r;
  if (ini.find("[Project]") == std::string::npos && ini.compare(0, 1, "\xFF") != 0 && ini.compare(0, 1, "\xFE") != 0)
    ini = "[Project]\n" + ini;
  r.ok = ReadProjectConfiguration(config, dir.File("Config.ini", ini), r.sink);
  return r;
}

TEST(ReadProjectConfiguration, FileWithoutKeysGivesTheDefaults) {
  for (const char* text : {"[Project]\r\n", "[project]\n"}) {
    ProjectConfiguration c;
    ReadResult r = Read(c, text);
    ASSERT_TRUE(r.ok);
    EXPECT_TRUE(r.sink.messages.empty());
    EXPECT_EQ(c.Caption, "Quorvel_***");
    EXPECT_EQ(c.ProjectType, -1);
    EXPECT_EQ(c.IsPhoneType, 0);
    EXPECT_EQ(c.PlatformName, 255);
    EXPECT_EQ(c.PlatformType, 0);
    EXPECT_EQ(c.Name, "UNKNOWN");
    EXPECT_EQ(c.Language, 0);
    EXPECT_EQ(c.BlockSize, 1024);
    EXPECT_EQ(c.Packet, 1);
    EXPECT_EQ(c.FlashType, 0);
    // The five selections that are always on.
    EXPECT_EQ(c.bEFS + c.bBackup + c.bRestore + c.bBootloader + c.bRpmBootloader, 5);
    const int others[] = {c.bRawAppsEFS, c.bPartOfEFS, c.bBackupUserData, c.bAMSSFile, c.bPhoneImage,
                          c.bAppsBootloader, c.bAppsImageAndBootloader, c.bDSP, c.bCDROM, c.bDISK, c.bResImage,
                          c.bCfgdata, c.bEnprg9x15, c.bFastbootSystemImage, c.bSwitchFastbootMode,
                          c.bFastbootConfiguration, c.PCSuiteImage, c.SimLockSet, c.SimLockOn, c.ESN,
                          c.ExecuteResetModem, c.bFastSpeedDownload, c.IsOmbrix, c.RTRECFG, c.UIT_NewWays,
                          c.bCheckMainboardType, c.bCheckProjectCode, c.bCheckDataCardMemory, c.bCheckRouterMemory};
    for (int flag : others) EXPECT_EQ(flag, 0);
    EXPECT_TRUE(c.NVItemList.empty() && c.StartATList.empty() && c.EndATList.empty());
    EXPECT_TRUE(c.UserDataFilesList.empty() && c.UserDataDirList.empty() && c.FastbootFileCmdList.empty());
  }
}

TEST(ReadProjectConfiguration, ShippedFileIsReadCompletely) {
  ProjectConfiguration c;
  ReadResult r = Read(c,
                      "[Project]\r\nCaption=Quorvel_ZOVIR\r\nVersion=BTM1.0.3\r\nProject=QZ9x06\r\n"
                      "LTEType=LTE\r\nLSTProject=QZ9x06_LST\r\n"
                      "[Start_AT]\r\nAT1=AT+CFUN=5\r\n[End_AT]\r\nAT1=AT+CFUN=1\r\n"
                      "[DownloadItems]\r\nbFastbootConfiguration=0\r\nbSwitchFastbootMode=0\r\nbRpmBootloader=1\r\n"
                      "bBootloader=1\r\nbEnprg9x15=1\r\nbAppsBootloader=1\r\nbEFS=1\r\nbBackup=1\r\nbRestore=1\r\n"
                      "[SHIFTDEVICE]\r\nSCSICMD=11,06,20,00,00,00\r\nSCSIDEVICE=USBSTOR\\CdRom&Ven_QZ&Prod_Disk\r\n");
  ASSERT_TRUE(r.ok) << r.message();
  EXPECT_EQ(c.Caption, "Quorvel_ZOVIR");
  EXPECT_EQ(c.LSTProject, "QZ9x06_LST");
  EXPECT_EQ(c.LTEType, "LTE");
  EXPECT_EQ(c.ProjectType, -1);
  EXPECT_EQ(c.Version, "");  // not read: no check asks for it
  EXPECT_EQ(c.bEnprg9x15, 1);
  EXPECT_EQ(c.bAppsBootloader, 1);
  EXPECT_EQ(c.StartATList, ConfigList{"AT+CFUN=5\r\n\r\n"});
  EXPECT_EQ(c.EndATList, ConfigList{"AT+CFUN=1\r\n\r\n"});
}

#ifdef ZOVIR_DEMO_CONFIG
TEST(ReadProjectConfiguration, DemoPacketConfigurationIsValid) {
  ProjectConfiguration c;
  RecordingMessageSink sink;
  EXPECT_TRUE(ReadProjectConfiguration(c, ZOVIR_DEMO_CONFIG, sink));
  EXPECT_TRUE(sink.messages.empty());
  EXPECT_TRUE(sink.logLines.empty());
  EXPECT_FALSE(c.StartATList.empty());
}
#endif

TEST(ReadProjectConfiguration, ProjectCodesAreComparedExactly) {
  struct Case {
    const char* code;
    int type;
    int phone;
  } cases[] = {
      {"Abrast", 0, 0},   {"Fendor", 5, 1},   {"Hestrel", 7, 1},    {"Lummer", 11, 1}, {"Marvok", 12, 0},
      {"Norvane", 38, 0}, {"Zarvel", 48, 0},  {"Oskvel", 39, 0},    {"Yselt", 47, 0},  {"MDM9x15", 1013, 0},
      {"dunmar", -1, 0},  {"Dunmar2", -1, 0}, {"  Dunmar  ", 3, 0}, {"", -1, 0},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.code);
    ProjectConfiguration c;
    c.IsPhoneType = 1;
    // Version is required by some project types; give one so the read completes.
    ASSERT_TRUE(Read(c, std::string("[Project]\nProject=") + k.code + "\nVersion=V1\n").ok);
    EXPECT_EQ(c.ProjectType, k.type);
    EXPECT_EQ(c.IsPhoneType, k.phone);
  }
}

TEST(ReadProjectConfiguration, PlatformTexts) {
  struct Case {
    const char* platform;
    bool ok;
    int code;
  } cases[] = {
      {"UNKNOWN", true, 255}, {"MSM6290A", true, 29},   {"8200A", true, 8},     {"QSC6085", true, 119},
      {"6246 6260", true, 186} /* table order, not text order */, {"MDM9200", true, 0}, {"unknown", false, 0},
      {"MDM9x06", false, 0},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.platform);
    ProjectConfiguration c;
    c.bAMSSFile = 1;  // from an earlier read
    c.bDSP = 1;
    c.Name = "earlier";
    ReadResult r = Read(c, std::string("[Project]\nPlatform=") + k.platform + "\nName=Later\n");
    EXPECT_EQ(r.ok, k.ok);
    if (k.ok) {
      EXPECT_EQ(c.PlatformName, k.code);
      EXPECT_EQ(c.Name, "Later");
    } else {
      ASSERT_EQ(r.sink.messages.size(), 1u);
      EXPECT_EQ(r.message(), "Config was wrong.Not support platform configuration.");
      EXPECT_EQ(r.sink.messages[0].caption, "Warning");
      EXPECT_EQ(c.bAMSSFile, 0);  // image selection cleared
      EXPECT_EQ(c.bDSP, 1);       // other flags untouched
      EXPECT_EQ(c.Name, "earlier");  // reading stopped before it
    }
  }
}

TEST(ReadProjectConfiguration, TypeAndLanguageTexts) {
  struct Case {
    const char* key;
    const char* value;
    int expected;
  } cases[] = {
      {"Type", "LTE", 3},       {"Type", "EVDO", 2},           {"Type", "CDMA2000", 1},
      {"Type", "lte", 0},       {"Type", "LTE-A", 0},          {"Language", "English", 0},
      {"Language", "Japanese", 1}, {"Language", "Japanese+English", 0}, {"Language", "Chinese", 7},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(std::string(k.key) + "=" + k.value);
    ProjectConfiguration c;
    c.Language = 7;  // an unknown language text leaves it as it was
    ASSERT_TRUE(Read(c, std::string("[Project]\n") + k.key + "=" + k.value + "\n").ok);
    EXPECT_EQ(std::string(k.key) == "Type" ? c.PlatformType : c.Language, k.expected);
  }
}

TEST(ReadProjectConfiguration, FlagsOnlyOnAtOneAndOrdinaryFlags) {
  ProjectConfiguration c;
  ASSERT_TRUE(Read(c,
                   "[Project]\nbCheckProjectCode=2\nExecuteResetModem=2\nRTRECFG=2\nIsOmbrix=1\nVersion=V\n"
                   "[General Option]\nbFastSpeedDownload=-1\n[DownloadItems]\nbDSP=5\nbEnprg9x15=x\n")
                  .ok);
  EXPECT_EQ(c.bCheckProjectCode, 0);
  EXPECT_EQ(c.ExecuteResetModem, 0);
  EXPECT_EQ(c.IsOmbrix, 0);  // only read for project type 12
  EXPECT_EQ(c.RTRECFG, 1);
  EXPECT_EQ(c.bFastSpeedDownload, 1);
  EXPECT_EQ(c.bDSP, 1);
  EXPECT_EQ(c.bEnprg9x15, 0);  // does not convert: the default

  ProjectConfiguration m;
  ASSERT_TRUE(Read(m, "[Project]\nProject=Marvok\nIsOmbrix=1\nExecuteResetModem=1\n").ok);
  EXPECT_EQ(m.IsOmbrix, 1);
  EXPECT_EQ(m.ExecuteResetModem, 1);
}

TEST(ReadProjectConfiguration, VersionRules) {
  struct Case {
    const char* name;
    const char* project;
    const char* checks;
    const char* version;  // nullptr: no Version key
    bool ok;
    const char* expectedVersion;
    std::array<int, 3> variants;
  } cases[] = {
      {"type 3 variant 1", "Dunmar", "", "X_BTM0031_BTMRK05", true, "X_BTM0031_BTMRK05", {1, 0, 0}},
      {"type 3 variant 2", "Dunmar", "", "BTMRK05", true, "BTMRK05", {0, 1, 0}},
      {"type 3 variant 3", "Dunmar", "", "BTMVV05", true, "BTMVV05", {0, 0, 1}},
      {"type 3 no variant", "Dunmar", "", "BTM1", true, "BTM1", {0, 0, 0}},
      {"type 3 without version", "Dunmar", "", nullptr, false, "", {9, 9, 9}},
      {"type 25 reads but does not require", "Ambrik", "", nullptr, true, "", {0, 0, 0}},
      {"type 6 requires", "Galvin", "", nullptr, false, "", {9, 9, 9}},
      {"mainboard check requires", "", "bCheckMainboardType=1\n", nullptr, false, "", {9, 9, 9}},
      {"project-code check reads only", "", "bCheckProjectCode=1\n", "BTMRK05", true, "BTMRK05", {0, 0, 0}},
      {"not read: kept", "Abrast", "", "NEW", true, "previous", {9, 9, 9}},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    ProjectConfiguration c;
    c.Version = "previous";
    c.VersionVariant = {9, 9, 9};
    c.bEFS = 1;  // from an earlier read
    std::string ini = std::string("[Project]\nProject=") + k.project + "\n" + k.checks;
    if (k.version) ini += std::string("Version=") + k.version + "\n";
    ReadResult r = Read(c, ini);
    EXPECT_EQ(r.ok, k.ok);
    EXPECT_EQ(c.Version, k.expectedVersion);
    EXPECT_EQ(c.VersionVariant, k.variants);
    if (!k.ok) {
      EXPECT_EQ(r.message(), "Could not find software version");
      EXPECT_EQ(c.bEFS, 1);  // the one error that leaves the selection alone
    }
  }
}

TEST(ReadProjectConfiguration, MemoryTypeRules) {
  struct Case {
    const char* ini;
    const char* message;  // nullptr: read completes
    const char* ram;
    const char* supported;
  } cases[] = {
      {"bCheckDataCardMemory=1\nbCheckRouterMemory=1\nRAMSize=64\n", "Unknow the terminal type.", "old", "old"},
      {"bCheckRouterMemory=1\n", "Memory type configuration was wrong.", "", "old"},
      {"bCheckRouterMemory=1\nFlashSize=128\nSupportFlashID=EC,2C\n", nullptr, "", "EC,2C"},
      {"bCheckDataCardMemory=1\nRAMSize=64\n", nullptr, "64", ""},
      {"bCheckDataCardMemory=2\nRAMSize=64\n", nullptr, "old", "old"},  // not exactly 1: not read
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.ini);
    ProjectConfiguration c;
    c.RAMSize = "old";
    c.SupportFlashID = "old";
    ReadResult r = Read(c, std::string("[MemoryType]\n") + k.ini);
    EXPECT_EQ(r.ok, k.message == nullptr);
    if (k.message) {
      EXPECT_EQ(r.message(), k.message);
    }
    EXPECT_EQ(c.RAMSize, k.ram);
    EXPECT_EQ(c.SupportFlashID, k.supported);
  }
}

TEST(ReadProjectConfiguration, BlockSizeOutsideTheTransferRangeFallsBackWithALogLine) {
  struct Case {
    const char* value;
    int expected;
    bool logged;
  } cases[] = {
      {"4096", 4096, false}, {"1", 1, false},     {"65535", 65535, false}, {"0", 1024, true},
      {"-512", 1024, true},  {"65536", 1024, true}, {"abc", 1024, false},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.value);
    ProjectConfiguration c;
    ReadResult r = Read(c, std::string("[General Option]\nBlockSize=") + k.value + "\n");
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(c.BlockSize, k.expected);
    EXPECT_EQ(r.sink.logLines.size(), k.logged ? 1u : 0u);
    EXPECT_TRUE(r.sink.messages.empty());
  }
}

TEST(ReadProjectConfiguration, FastbootList) {
  struct Case {
    const char* name;
    const char* entries;
    bool ok;
    ConfigList commands;
    ConfigList files;
  } cases[] = {
      {"empty first entry ends the list", "DL1=flash boot|boot.img\n", true, {}, {}},
      {"parts trimmed, split at the first bar", "DL0= flash boot | boot.img \nDL1=a|b|c\n", true,
       {"flash boot", "a"}, {"boot.img", "b|c"}},
      {"gap ends the list", "DL0=a|b\nDL2=c|d\n", true, {"a"}, {"b"}},
      {"at most fifteen entries", "DL0=0|0\nDL1=1|1\nDL2=2|2\nDL3=3|3\nDL4=4|4\nDL5=5|5\nDL6=6|6\nDL7=7|7\n"
       "DL8=8|8\nDL9=9|9\nDL10=10|10\nDL11=11|11\nDL12=12|12\nDL13=13|13\nDL14=14|14\nDL15=15|15\n", true,
       {"0", "1", "2", "3", "4", "5", "6", "7", "8", "9", "10", "11", "12", "13", "14"},
       {"0", "1", "2", "3", "4", "5", "6", "7", "8", "9", "10", "11", "12", "13", "14"}},
      {"entry without a bar", "DL0=a|b\nDL1=flash boot.img\nDL2=c|d\n", false, {"a"}, {"b"}},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    ProjectConfiguration c;
    c.FastbootFileCmdList = {"stale"};
    c.bFastbootBootImage = 0;
    ReadResult r = Read(c, std::string("[DownloadItems]\nbFastbootConfiguration=1\nbFastbootBootImage=1\n"
                                       "[FastbootDownloadFiles]\n") + k.entries);
    EXPECT_EQ(r.ok, k.ok);
    EXPECT_EQ(c.FastbootFileCmdList, k.commands);
    EXPECT_EQ(c.FastbootFileNameList, k.files);
    if (!k.ok) {
      EXPECT_EQ(r.message(), "Fastboot configration is incorrect!");
      EXPECT_EQ(c.bFastbootBootImage, 0);
    }
  }
}

TEST(ReadProjectConfiguration, PartOfEfsListsAreReadAndThenRefused) {
  ProjectConfiguration c;
  ReadResult r = Read(c,
                      "[DownloadItems]\nbEFS=0\nbPartOfEFS=1\nbAMSSFile=1\nbDSP=1\n"
                      "[RemoveFiles]\nRF0=/a\nRF1=/b\nRF3=/never\n[RemoveDir]\nRD0=/d\n"
                      "[CreateDir]\nCD1=/not-from-zero\n[AddFiles]\nAF0=/f\n[NV_Default]\nNV1=1:2\n");
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.message(), kEfsConflict);
  EXPECT_EQ(c.RemoveFilesList, (ConfigList{"/a", "/b"}));
  EXPECT_EQ(c.RemoveDirList, ConfigList{"/d"});
  EXPECT_TRUE(c.CreateDirList.empty());
  EXPECT_EQ(c.AddFilesList, ConfigList{"/f"});
  EXPECT_EQ(c.bEFS, 0);
  EXPECT_EQ(c.bPartOfEFS, 0);
  EXPECT_EQ(c.bAMSSFile, 0);
  EXPECT_EQ(c.bDSP, 1);
  EXPECT_EQ(c.bBackup, 1);
  EXPECT_TRUE(c.NVItemList.empty());  // reading stopped before the NV lists
}

TEST(ReadProjectConfiguration, UserDataLists) {
  ProjectConfiguration none;
  ReadResult r = Read(none, "[DownloadItems]\nbBackupUserData=1\n[UserDataFiles]\nUF1=/skipped\n");
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.message(), "User data file not found.");
  EXPECT_EQ(r.sink.messages.back().buttons, MessageButtons::OkCancel);

  ProjectConfiguration dirs;
  ASSERT_TRUE(Read(dirs, "[DownloadItems]\nbBackupUserData=1\n[UserDataDir]\nUD0=/sms\nUD1=/pb\n").ok);
  EXPECT_TRUE(dirs.UserDataFilesList.empty());
  EXPECT_EQ(dirs.UserDataDirList, (ConfigList{"/sms", "/pb"}));

  // Not selected: the lists are not read at all.
  ProjectConfiguration off;
  ASSERT_TRUE(Read(off, "[UserDataFiles]\nUF0=/x\n").ok);
  EXPECT_TRUE(off.UserDataFilesList.empty());
}

TEST(ReadProjectConfiguration, PcSuiteImagesAreExclusive) {
  struct Case {
    int disk, cdrom, res;
    int eDisk, eCdrom, eRes, eSuite;
  } cases[] = {
      {1, 1, 1, 1, 0, 0, 1}, {1, 1, 0, 1, 0, 0, 1}, {0, 1, 1, 0, 1, 0, 1},
      {0, 0, 1, 0, 0, 1, 1}, {0, 0, 0, 0, 0, 0, 0},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(testing::Message() << k.disk << k.cdrom << k.res);
    ProjectConfiguration c;
    ASSERT_TRUE(Read(c, "[DownloadItems]\nbDISK=" + std::to_string(k.disk) + "\nbCDROM=" + std::to_string(k.cdrom) +
                            "\nbResImage=" + std::to_string(k.res) + "\n")
                    .ok);
    EXPECT_EQ(c.bDISK, k.eDisk);
    EXPECT_EQ(c.bCDROM, k.eCdrom);
    EXPECT_EQ(c.bResImage, k.eRes);
    EXPECT_EQ(c.PCSuiteImage, k.eSuite);
  }
}

TEST(ReadProjectConfiguration, PhoneTypeCannotTakeThePcSuite) {
  ProjectConfiguration c;
  ReadResult r = Read(c, "[Project]\nProject=Fendor\n[DownloadItems]\nbResImage=1\n");
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.message(), "Config was wrong.Phone type can't download PCSuite.");
  EXPECT_EQ(c.PCSuiteImage, 0);
  EXPECT_EQ(c.bEFS, 0);
  EXPECT_EQ(c.bResImage, 1);  // not an image-selection flag that is cleared
}

TEST(ReadProjectConfiguration, SimLock) {
  struct Case {
    const char* value;
    bool ok;
    int set, on;
  } cases[] = {
      {"", true, 0, 5}, {"0", true, 1, 0},   {"0,46000", true, 1, 0}, {"1", false, 0, 1},
      {"1,", false, 0, 1}, {"1,4", true, 1, 1}, {"2abc", true, 1, 5},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.value);
    ProjectConfiguration c;
    c.SimLockOn = 5;  // left alone unless the first character decides
    ReadResult r = Read(c, std::string("[SIMLOCK]\nbSimLock=") + k.value + "\n[Start_AT]\nAT1=AT\n");
    EXPECT_EQ(r.ok, k.ok);
    EXPECT_EQ(c.SimLockSet, k.set);
    EXPECT_EQ(c.SimLockOn, k.on);
    EXPECT_EQ(c.bSimLock, k.value);
    if (!k.ok) {
      EXPECT_EQ(r.message(), "SIMLOCKList is empty!");
      EXPECT_EQ(r.sink.messages.back().icon, MessageIcon::Warning);
      EXPECT_TRUE(c.StartATList.empty());
    }
  }
}

TEST(ReadProjectConfiguration, NvAndAtLists) {
  struct Case {
    const char* name;
    const char* ini;
    const char* message;
    ConfigList nv, start, end;
  } cases[] = {
      {"upper case, gap ends default, custom still read",
       "[NV_Default]\nNV0=0:ignored\nNV1=453:01ab\nNV3=never:read\n[NV_Custom]\nNV1=  10:ff  \n", nullptr,
       {"453:01AB", "10:FF"}, {}, {}},
      {"default entry without colon", "[NV_Default]\nNV1=1:2\nNV2=12\n", "Default NV configration is incorrect!",
       {"1:2"}, {}, {}},
      {"custom entry without colon", "[NV_Custom]\nNV1=12\n", "Custom NV configration is incorrect!", {}, {}, {}},
      {"AT lists get CR LF CR LF", "[Start_AT]\nAT1=AT+CFUN=5\nAT2=AT^X\n[End_AT]\nAT1=AT+CFUN=1\n", nullptr, {},
       {"AT+CFUN=5\r\n\r\n", "AT^X\r\n\r\n"}, {"AT+CFUN=1\r\n\r\n"}},
      {"lower-case start command", "[Start_AT]\nAT1=at+cfun=5\n", "Start AT command configration is incorrect!", {},
       {}, {}},
      {"lower-case end command", "[Start_AT]\nAT1=AT\n[End_AT]\nAT1=ATE0\nAT2=at\n",
       "End AT command configration is incorrect!", {}, {"AT\r\n\r\n"}, {"ATE0\r\n\r\n"}},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    ProjectConfiguration c;
    c.NVItemList = c.StartATList = c.EndATList = {"stale"};
    ReadResult r = Read(c, k.ini);
    EXPECT_EQ(r.ok, k.message == nullptr);
    if (k.message) {
      EXPECT_EQ(r.message(), k.message);
    }
    EXPECT_EQ(c.NVItemList, k.nv);
    if (!k.message || std::string(k.message).find("AT") != std::string::npos) {
      EXPECT_EQ(c.StartATList, k.start);
      if (!k.message || std::string(k.message).find("End") != std::string::npos) {
        EXPECT_EQ(c.EndATList, k.end);
      }
    }
  }
}

TEST(ReadProjectConfiguration, ReReadReplacesWhatItReachesAndKeepsConditionalValues) {
  ProjectConfiguration c;
  ASSERT_TRUE(Read(c,
                   "[Project]\nProject=Dunmar\nVersion=BTMRK05\nCaption=First\n"
                   "[MemoryType]\nbCheckDataCardMemory=1\nRAMSize=64\nFlashSize=128\n"
                   "[DownloadItems]\nbFastbootSystemImage=1\nFastBootSystemImageFilePath=/images\nbDISK=1\n"
                   "[NV_Default]\nNV1=1:1\nNV2=2:2\n[Start_AT]\nAT1=AT+A\n")
                  .ok);
  ASSERT_TRUE(Read(c, "[Project]\nCaption=Second\n[NV_Default]\nNV1=3:3\n").ok);
  EXPECT_EQ(c.Caption, "Second");
  EXPECT_EQ(c.ProjectType, -1);
  EXPECT_EQ(c.Version, "BTMRK05");
  EXPECT_EQ(c.VersionVariant, (std::array<int, 3>{0, 1, 0}));
  EXPECT_EQ(c.RAMSize, "64");
  EXPECT_EQ(c.FlashSize, "128");
  EXPECT_EQ(c.FastBootSystemImageFilePath, "/images");
  EXPECT_EQ(c.bCheckDataCardMemory, 0);
  EXPECT_EQ(c.bFastbootSystemImage, 0);
  EXPECT_EQ(c.bDISK, 0);
  EXPECT_EQ(c.PCSuiteImage, 0);
  EXPECT_EQ(c.NVItemList, ConfigList{"3:3"});
  EXPECT_TRUE(c.StartATList.empty());
}

TEST(ClearImageSelection, ClearsOnlyTheImageSelection) {
  ProjectConfiguration c;
  int* cleared[] = {&c.bEFS, &c.bRawAppsEFS, &c.bPartOfEFS, &c.bAMSSFile, &c.bAppsBootloader,
                    &c.bAppsImageAndBootloader, &c.PCSuiteImage, &c.bCfgdata, &c.SimLockSet,
                    &c.bFastbootRamdisk_recoveryImage, &c.bFastbootUserdataImage, &c.bFastbootPrimary_gpt,
                    &c.bFastbootSecondary_gpt, &c.bFastbootzImage, &c.bFastbootRamdisk, &c.bFastbootSystemImage,
                    &c.bFastbootBootImage, &c.bFastbootzImage_recoveryImage};
  int* kept[] = {&c.bBackup, &c.bRestore, &c.bBootloader, &c.bRpmBootloader, &c.bEnprg9x15, &c.bDSP,
                 &c.bPhoneImage, &c.bCDROM, &c.bDISK, &c.bResImage, &c.bSwitchFastbootMode,
                 &c.bFastbootConfiguration, &c.bBackupUserData, &c.SimLockOn};
  for (int* f : cleared) *f = 1;
  for (int* f : kept) *f = 1;
  ClearImageSelection(c);
  for (int* f : cleared) EXPECT_EQ(*f, 0);
  for (int* f : kept) EXPECT_EQ(*f, 1);
}

TEST(CheckSecondPackage, TwoPacketRules) {
  const char* kSameFlash = "两个版本包中不能是相同Flash大小的版本[FlashType]";
  const char* kPairs = "Saltrin或Keplan售后方案的配置不正确";
  struct Case {
    const char* first;
    int firstFlash;
    const char* secondIni;
    bool ok;
    std::vector<std::string> messages;
  } cases[] = {
      {"UNKNOWN", 0, "[Project]\n", false, {kSameFlash}},
      {"Modem", 0, "[Project]\nFlashType=1\n", true, {}},
      {"Modem", 1, "[Project]\nFlashType=1\nName=Saltor\n", false, {kSameFlash}},
      {"Saltrin", 0, "[Project]\nName=Saltor\n", true, {}},
      {"Saltor", 0, "[Project]\nName=Saltrin\n", true, {}},
      {"KeplanA", 1, "[Project]\nName=KeplanB\nFlashType=1\n", true, {}},
      {"KeplanB", 0, "[Project]\nName=KeplanB\nFlashType=1\n", false, {kPairs}},
      {"Saltrin", 0, "[Project]\nName=KeplanA\n", false, {kPairs}},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(std::string(k.first) + " / " + k.secondIni);
    TempDir dir;
    ProjectConfiguration c;
    c.Name = k.first;
    c.FlashType = k.firstFlash;
    c.bEFS = 1;
    RecordingMessageSink sink;
    EXPECT_EQ(CheckSecondPackage(c, dir.File("Config.ini", k.secondIni), sink), k.ok);
    std::vector<std::string> texts;
    for (const auto& m : sink.messages) {
      texts.push_back(m.text);
      EXPECT_EQ(m.caption, "警告");
    }
    EXPECT_EQ(texts, k.messages);
    EXPECT_EQ(c.bEFS, k.ok ? 1 : 0);
  }
}

TEST(CheckSecondPackage, BothRulesReportAndVersionFollowsTheMainboardCheck) {
  TempDir dir;
  ProjectConfiguration c;
  c.Name = "Saltrin";
  RecordingMessageSink sink;
  const std::string second = dir.File("Config.ini", "[Project]\nName=Other\nVersion=V2\n");
  EXPECT_FALSE(CheckSecondPackage(c, second, sink));
  EXPECT_EQ(c.SecondPacketName, "Other");
  EXPECT_EQ(c.SecondPacketVersion, "");

  c.Name = "Modem";
  c.bCheckMainboardType = 1;
  RecordingMessageSink sink2;
  // Same flash class and a name outside the pairs: only the flash rule speaks.
  EXPECT_FALSE(CheckSecondPackage(c, second, sink2));
  EXPECT_EQ(sink2.messages.size(), 1u);
  EXPECT_EQ(c.SecondPacketVersion, "V2");
}

// The text as a Windows editor saves it in "Unicode": UTF-16 with its byte-order mark.
std::string Utf16(const std::string& ascii, bool bigEndian) {
  std::string out = bigEndian ? "\xFE\xFF" : "\xFF\xFE";
  for (char c : ascii) {
    out.push_back(bigEndian ? '\0' : c);
    out.push_back(bigEndian ? c : '\0');
  }
  return out;
}

TEST(ReadProjectConfiguration, AUtf16FileReadsAsItsEightBitTwin) {
  const std::string text =
      "[Project]\r\nCaption=Wide tool\r\nProject=Torvane\r\n[DownloadItems]\r\nbBackupUserData=1\r\n"
      "[UserDataFiles]\r\nUF0=/data/a.cfg\r\n[General Option]\r\nBlockSize=2048\r\n";
  ProjectConfiguration plain;
  ReadResult first = Read(plain, text);
  ASSERT_TRUE(first.ok) << first.message();
  for (const bool bigEndian : {false, true}) {
    ProjectConfiguration wide;
    ReadResult r = Read(wide, Utf16(text, bigEndian));
    ASSERT_TRUE(r.ok) << bigEndian << " " << r.message();
    EXPECT_EQ(wide.Caption, "Wide tool");
    EXPECT_EQ(wide.ProjectType, plain.ProjectType);
    EXPECT_EQ(wide.bBackupUserData, 1);
    EXPECT_EQ(wide.UserDataFilesList, plain.UserDataFilesList);
    EXPECT_EQ(wide.BlockSize, 2048);
  }
}

TEST(ReadProjectConfiguration, AFileThatCannotBeReadIsRefusedNeverTakenForTheDefaults) {
  TempDir dir;
  const std::string good = "[Project]\nProject=Galvin\n";
  struct Case {
    const char* what;
    std::function<std::string()> make;
    const char* reason;
  } cases[] = {
      {"empty", [&] { return dir.File("empty.ini", ""); }, "has no [Project] section"},
      {"no [Project]", [&] { return dir.File("other.ini", "[DownloadItems]\nbEFS=0\n"); }, "has no [Project] section"},
      {"missing", [&] { return dir.Sub("missing.ini"); }, "does not exist"},
      {"a folder", [&] { return dir.Sub("folder.ini/"); }, "not a regular file"},
      {"a FIFO",
       [&] {
         const std::string p = dir.Sub("fifo.ini");
         mkfifo(p.c_str(), 0600);
         return p;
       },
       "not a regular file"},
      {"a link to /dev/zero",
       [&] {
         const std::string p = dir.Sub("zero.ini");
         std::filesystem::create_symlink("/dev/zero", p);
         return p;
       },
       "not a regular file"},
      {"unreadable",
       [&] {
         const std::string p = dir.File("locked.ini", good);
         chmod(p.c_str(), 0);
         return p;
       },
       "Permission denied"},
  };
  for (const auto& k : cases) {
    std::string path = k.make();
    if (std::string(k.what) == "a folder") std::filesystem::create_directories(path);
    if (std::string(k.what) == "unreadable" && geteuid() == 0) continue;  // root reads it anyway
    ProjectConfiguration c;
    c.bBackupUserData = 1;
    RecordingMessageSink sink;
    EXPECT_FALSE(ReadProjectConfiguration(c, path, sink)) << k.what;
    ASSERT_EQ(sink.messages.size(), 1u) << k.what;
    EXPECT_NE(sink.messages[0].text.find(k.reason), std::string::npos) << k.what << ": " << sink.messages[0].text;
    EXPECT_EQ(sink.messages[0].caption, "Warning");
  }
}

}  // namespace
}  // namespace zovir
