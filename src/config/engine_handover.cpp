#include "config/engine_handover.h"

namespace zovir {

void HandOverConfiguration(const ProjectConfiguration& c, EngineConfig& e) {
  e.PlatformName = c.PlatformName;
  e.PlatformType = c.PlatformType;
  e.strLTEType = c.LTEType;
  // The reader already rejects other sizes; a model edited in memory must not reach the
  // transfer with a block size it cannot divide by.
  e.m_nBlockSize = (c.BlockSize >= 1 && c.BlockSize <= kMaxBlockSize) ? c.BlockSize : kDefaultBlockSize;
  e.bEnprg9x15 = c.bEnprg9x15;

  e.ESN = c.ESN;
  e.SimLockSet = c.SimLockSet;
  e.SimLockOn = c.SimLockOn;
  e.bSimLock = c.bSimLock;
  e.bBackup = c.bBackup;
  e.bRestore = c.bRestore;
  e.bBootloader = c.bBootloader;
  e.bEFS = c.bEFS;
  e.bRawAppsEFS = c.bRawAppsEFS;
  e.bAMSSFile = c.bAMSSFile;
  e.bBackupUserData = c.bBackupUserData;
  e.ExecuteResetModem = c.ExecuteResetModem;
  e.bFastSpeedDownload = c.bFastSpeedDownload;
  e.IsOmbrix = c.IsOmbrix;
  e.RTRECFG = c.RTRECFG;
  e.UIT_NewWays = c.UIT_NewWays;
  e.bFastbootUserdataImage = c.bFastbootUserdataImage;
  e.bFastbootRamdisk_recoveryImage = c.bFastbootRamdisk_recoveryImage;
  e.bFastbootBootImage = c.bFastbootBootImage;
  e.bFastbootPrimary_gpt = c.bFastbootPrimary_gpt;
  e.bFastbootSecondary_gpt = c.bFastbootSecondary_gpt;
  e.bFastbootzImage = c.bFastbootzImage;
  e.bFastbootRamdisk = c.bFastbootRamdisk;
  e.bFastbootSystemImage = c.bFastbootSystemImage;
  e.bFastbootzImage_recoveryImage = c.bFastbootzImage_recoveryImage;

  e.ProjectType = c.ProjectType;
  e.IsPhoneType = c.IsPhoneType;
  e.PCSuiteImage = c.PCSuiteImage;
  e.VersionVariant = c.VersionVariant;

  e.UserDataFilesList = c.UserDataFilesList;
  e.UserDataDirList = c.UserDataDirList;
  e.NVItemList = c.NVItemList;
  e.StartATList = c.StartATList;
  e.EndATList = c.EndATList;
}

}  // namespace zovir
