#pragma once
#include <array>
#include <string>
#include <string_view>
#include <vector>

#include "config/message_sink.h"

namespace zovir {

using ConfigList = std::vector<std::string>;

// The values of Config.ini and what the tool derives from them. Owned by the main window;
// an engine receives copies (see engine_handover.h). Flags hold 0 or 1.
struct ProjectConfiguration {
  // [Project]
  std::string Caption = "Quorvel_***";
  std::string LSTProject;
  std::string Platform = "UNKNOWN";
  std::string Name = "UNKNOWN";
  int Language = 0;  // 0 English, 1 Japanese
  std::string LTEType;
  std::string GPIO;
  std::string Type;
  int bCheckMainboardType = 0;
  int bCheckProjectCode = 0;
  int ExecuteResetModem = 0;
  std::string Version;
  int IsOmbrix = 0;
  int Packet = 1;
  int FlashType = 0;
  std::string FlashID;
  int RTRECFG = 0;

  // [Custom_About_Interface]
  std::string AboutDescription;
  std::string AboutCopyright;
  std::string AboutVersion;

  // [MemoryType]
  int bCheckDataCardMemory = 0;
  int bCheckRouterMemory = 0;
  std::string RAMSize;
  std::string FlashSize;
  std::string SupportFlashID;

  // [General Option]
  int BlockSize = 1024;
  int bFastSpeedDownload = 0;

  // [BackupRestore_AT]
  int UIT_NewWays = 0;
  int ESN = 0;

  // [DownloadItems]
  int bEFS = 0;
  int bRawAppsEFS = 0;
  int bPartOfEFS = 0;
  int bBackupUserData = 0;
  int bBackup = 0;
  int bRestore = 0;
  int bAMSSFile = 0;
  int bPhoneImage = 0;
  int bAppsBootloader = 0;
  int bAppsImageAndBootloader = 0;
  int bDSP = 0;
  int bCDROM = 0;
  int bDISK = 0;
  int bResImage = 0;
  int bBootloader = 0;
  int bCfgdata = 0;
  int bRpmBootloader = 0;
  int bEnprg9x15 = 0;
  int bFastbootRamdisk_recoveryImage = 0;
  int bFastbootUserdataImage = 0;
  int bFastbootPrimary_gpt = 0;
  int bFastbootSecondary_gpt = 0;
  int bFastbootzImage = 0;
  int bFastbootRamdisk = 0;
  int bFastbootSystemImage = 0;
  std::string FastBootSystemImageFilePath;
  int bFastbootBootImage = 0;
  int bFastbootzImage_recoveryImage = 0;
  int bSwitchFastbootMode = 0;
  int bFastbootConfiguration = 0;

  // Derived values.
  int ProjectType = -1;
  int IsPhoneType = 0;
  int PlatformName = 255;  // the platform code
  int PlatformType = 0;    // from Type: LTE 3, EVDO 2, CDMA2000 1, else 0
  std::array<int, 3> VersionVariant{0, 0, 0};
  int PCSuiteImage = 0;

  // [SIMLOCK]
  std::string bSimLock;
  int SimLockSet = 0;
  int SimLockOn = 0;

  // Lists.
  ConfigList FastbootFileCmdList;
  ConfigList FastbootFileNameList;
  ConfigList RemoveFilesList;
  ConfigList RemoveDirList;
  ConfigList CreateDirList;
  ConfigList AddFilesList;
  ConfigList UserDataFilesList;
  ConfigList UserDataDirList;
  ConfigList NVItemList;
  ConfigList StartATList;
  ConfigList EndATList;

  // The second packet of a two-packet tool (CheckSecondPackage).
  std::string SecondPacketName;
  std::string SecondPacketVersion;
};

// Block sizes the transfer code can use; anything else falls back to the default.
constexpr int kDefaultBlockSize = 1024;
constexpr int kMaxBlockSize = 65535;

// Fills `config` from the Config.ini at `path`. Returns true when the whole file was read;
// on a configuration error the message goes to `sink` (caption "Warning"), the reading
// stops there and the values read so far stay in `config`.
bool ReadProjectConfiguration(ProjectConfiguration& config, const std::string& path, MessageSink& sink);

// Checks the second packet's Config.ini against this one. Returns false when the tool must
// end (the messages have been shown by then).
bool CheckSecondPackage(ProjectConfiguration& config, const std::string& path, MessageSink& sink);

// Turns off the image selections that a broken configuration must not leave on.
void ClearImageSelection(ProjectConfiguration& config);

// Project table: -1 and no phone type for a code that is not in it.
struct ProjectTypeInfo {
  int type = -1;
  bool phone = false;
};
ProjectTypeInfo LookupProjectType(std::string_view code);

// Platform table: "UNKNOWN" gives 255; false when the text names no known chipset.
bool LookupPlatformCode(std::string_view platform, int& code);

// The network type code of [Project] Type.
int PlatformTypeOf(std::string_view type);

}  // namespace zovir
