#pragma once
#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace zovir {

using StringList = std::vector<std::string>;

// What the main window hands an engine before it runs: the published members and the
// configuration flags. Each engine owns its copy (lists included), so a run never changes
// the window's configuration and eight engines never share state.
struct EngineConfig {
  int Index = 0;              // port slot 0..7
  int ComPort = 0;            // diagnostic port number ("COM" + n); rewritten by the port search
  int SerialComPort = 0;      // modem (AT) port number
  int PlatformName = 255;     // 255 = do not check the platform
  int PlatformType = 0;
  std::string strLTEType;
  std::string strProjectName;  // [Project] LSTProject
  std::string strGPIO;

  std::string ramFile;
  uint32_t ramFileSize = 0;
  std::string partitionFile;
  std::string sbl1File, tzFile, qdsp6swFile, mbaFile, rpmmbnFile, acdbmbnFile;
  uint32_t sbl1Size = 0, tzFileSize = 0, qdsp6swFileSize = 0, mbaFileSize = 0, rpmmbnSize = 0, acdbmbnSize = 0;
  std::string AppsImageFile;
  uint32_t AppsImageSize = 0;
  std::string EFSFile;
  uint32_t EFSFileSize = 0;
  std::string AppEfsFile;
  uint32_t AppEfsFileSize = 0;

  std::string bakFile;     // nv.bak (recomputed by the engine)
  std::string atbakFile;   // EncryptAT.bak (recomputed by the engine)
  std::string BackupFilePath;  // root of all backups
  std::string PacketFolder;    // the firmware packet (Config.ini, images, nv_tables.txt)

  StringList UserDataFilesList, UserDataDirList;
  StringList NVItemList;
  StringList StartATList, EndATList;

  uint32_t allTotalFileSize = 0;
  int m_nBlockSize = 1024;
  int bEnprg9x15 = 0;

  // Configuration flags (copies of the window's values).
  int ESN = 0;
  int SimLockSet = 0;
  int SimLockOn = 0;
  std::string bSimLock;
  int bBackup = 0;
  int bRestore = 0;
  int bBootloader = 0;
  int bEFS = 0;
  int bRawAppsEFS = 0;
  int bAMSSFile = 0;
  int bBackupUserData = 0;
  int ExecuteResetModem = 0;
  int bFastSpeedDownload = 0;
  int IsOmbrix = 0;
  int RTRECFG = 0;
  int UIT_NewWays = 0;
  int bFastbootUserdataImage = 0;
  int bFastbootRamdisk_recoveryImage = 0;
  int bFastbootBootImage = 0;
  int bFastbootPrimary_gpt = 0;
  int bFastbootSecondary_gpt = 0;
  int bFastbootzImage = 0;
  int bFastbootRamdisk = 0;
  int bFastbootSystemImage = 0;
  int bFastbootzImage_recoveryImage = 0;

  int ProjectType = -1;
  int IsPhoneType = 0;
  int PCSuiteImage = 0;
  // The three VersionVariant flags of the configuration.
  std::array<int, 3> VersionVariant{0, 0, 0};

  // A front end's explicit override: restore a saved backup onto a modem that reports another
  // serial number or IMEI. Off, such a restore is refused before anything is written.
  bool RestoreOntoOtherUnit = false;
  // A front end's explicit choice: go on with a plain update although a complete backup of this
  // serial number, after which the modem was written, was never restored. Off, such an update
  // stops before anything is written and names that backup.
  bool SetAsideWrittenBackup = false;

  uint32_t HexStartAddress = 0;
  // Whole-file CRC-16 of each image (fast-speed transfer), by image slot.
  std::array<uint16_t, 17> ImageChecksum{};
};

// The engine's own state during a run (never set by the window).
struct EngineRunState {
  bool bRestoreFromSaved = false;
  std::string SavedBackupFolder;
  // Restore-from-saved: where the modem's data as this run found them were backed up first
  // (empty when the modem no longer answered with its identity).
  std::string SafetyBackupFolder;
  std::string BackupFolder;
  std::string at1bakFile, nv1bakFile, atRestoreFile;
  bool bSNRead = false, bIMEIRead = false, bTestInfoRead = false;
  // The plan's final reset went unanswered: only the modem's return confirms it.
  bool ResetUnconfirmed = false;
  std::string StringSN, StringIMEI, StringTESTINFO, StringSIMLOCK;
  std::vector<std::string> NotPreserved;  // identity values the backup leaves out ("IMEI", "TESTINF rewritten")
};

}  // namespace zovir
