#include "config/engine_handover.h"

#include <gtest/gtest.h>

namespace zovir {
namespace {

struct IntMember {
  const char* name;
  int ProjectConfiguration::*config;
  int EngineConfig::*engine;
};

#define SAME_NAME(m) IntMember{#m, &ProjectConfiguration::m, &EngineConfig::m}
const IntMember kIntMembers[] = {
    SAME_NAME(PlatformName), SAME_NAME(PlatformType), SAME_NAME(bEnprg9x15), SAME_NAME(ESN),
    SAME_NAME(SimLockSet), SAME_NAME(SimLockOn), SAME_NAME(bBackup), SAME_NAME(bRestore), SAME_NAME(bBootloader),
    SAME_NAME(bEFS), SAME_NAME(bRawAppsEFS), SAME_NAME(bAMSSFile), SAME_NAME(bBackupUserData),
    SAME_NAME(ExecuteResetModem), SAME_NAME(bFastSpeedDownload), SAME_NAME(IsOmbrix), SAME_NAME(RTRECFG),
    SAME_NAME(UIT_NewWays), SAME_NAME(bFastbootUserdataImage), SAME_NAME(bFastbootRamdisk_recoveryImage),
    SAME_NAME(bFastbootBootImage), SAME_NAME(bFastbootPrimary_gpt), SAME_NAME(bFastbootSecondary_gpt),
    SAME_NAME(bFastbootzImage), SAME_NAME(bFastbootRamdisk), SAME_NAME(bFastbootSystemImage),
    SAME_NAME(bFastbootzImage_recoveryImage), SAME_NAME(ProjectType), SAME_NAME(IsPhoneType),
    SAME_NAME(PCSuiteImage),
    IntMember{"BlockSize", &ProjectConfiguration::BlockSize, &EngineConfig::m_nBlockSize},
};
#undef SAME_NAME

struct ListMember {
  const char* name;
  ConfigList ProjectConfiguration::*config;
  StringList EngineConfig::*engine;
};
const ListMember kLists[] = {
    {"UserDataFilesList", &ProjectConfiguration::UserDataFilesList, &EngineConfig::UserDataFilesList},
    {"UserDataDirList", &ProjectConfiguration::UserDataDirList, &EngineConfig::UserDataDirList},
    {"NVItemList", &ProjectConfiguration::NVItemList, &EngineConfig::NVItemList},
    {"StartATList", &ProjectConfiguration::StartATList, &EngineConfig::StartATList},
    {"EndATList", &ProjectConfiguration::EndATList, &EngineConfig::EndATList},
};

// A configuration in which every handed-over value differs from the engine's default.
ProjectConfiguration Distinct() {
  ProjectConfiguration c;
  int v = 2;
  for (const IntMember& m : kIntMembers) c.*(m.config) = v++;
  c.LTEType = "LTE";
  c.bSimLock = "1,46001";
  c.VersionVariant = {0, 1, 0};
  for (const ListMember& l : kLists) c.*(l.config) = {std::string(l.name) + "-1", std::string(l.name) + "-2"};
  return c;
}

TEST(HandOverConfiguration, EveryConfigurationMemberReachesTheEngine) {
  const ProjectConfiguration c = Distinct();
  EngineConfig e;
  e.ComPort = 7;
  e.ramFile = "/work/NPRG9x06.mbn";
  e.HexStartAddress = 0x8000;
  HandOverConfiguration(c, e);
  for (const IntMember& m : kIntMembers) {
    SCOPED_TRACE(m.name);
    EXPECT_EQ(e.*(m.engine), c.*(m.config));
    EXPECT_NE(e.*(m.engine), EngineConfig{}.*(m.engine));
  }
  EXPECT_EQ(e.strLTEType, "LTE");
  EXPECT_EQ(e.bSimLock, "1,46001");
  EXPECT_EQ(e.VersionVariant, c.VersionVariant);
  for (const ListMember& l : kLists) {
    SCOPED_TRACE(l.name);
    EXPECT_EQ(e.*(l.engine), c.*(l.config));
  }
  // What does not come from Config.ini stays as the window set it.
  EXPECT_EQ(e.ComPort, 7);
  EXPECT_EQ(e.ramFile, "/work/NPRG9x06.mbn");
  EXPECT_EQ(e.HexStartAddress, 0x8000u);
}

TEST(HandOverConfiguration, TheEngineEditsItsOwnListsOnly) {
  ProjectConfiguration c = Distinct();
  const ProjectConfiguration before = c;
  EngineConfig e;
  HandOverConfiguration(c, e);
  for (const ListMember& l : kLists) {
    (e.*(l.engine)).push_back("added by the run");
    (e.*(l.engine))[0] = "changed by the run";
  }
  for (const ListMember& l : kLists) {
    SCOPED_TRACE(l.name);
    EXPECT_EQ(c.*(l.config), before.*(l.config));
  }
  // And a second engine starts from the configuration, not from the first engine's edits.
  EngineConfig second;
  HandOverConfiguration(c, second);
  EXPECT_EQ(second.NVItemList, before.NVItemList);
}

TEST(HandOverConfiguration, BlockSizeTheTransferCannotUseIsReplaced) {
  for (int size : {0, -1, 65536}) {
    ProjectConfiguration c;
    c.BlockSize = size;
    EngineConfig e;
    HandOverConfiguration(c, e);
    EXPECT_EQ(e.m_nBlockSize, 1024) << size;
  }
}

}  // namespace
}  // namespace zovir
