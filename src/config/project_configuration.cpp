#include "config/project_configuration.h"

#include <algorithm>
#include <utility>

#include "platform/profile_file.h"

namespace zovir {
namespace {

constexpr const char* kWarning = "Warning";

struct ProjectRow {
  const char* code;
  int type;
  bool phone;
};

// In comparison order; the first equal code wins.
constexpr ProjectRow kProjects[] = {
    {"Abrast", 0, false},   {"Brosk", 1, false},    {"Calder", 2, false},  {"Dunmar", 3, false},
    {"Elsket", 4, false},   {"Fendor", 5, true},    {"Galvin", 6, false},  {"Hestrel", 7, true},
    {"Istvar", 8, false},   {"Jasken", 9, false},   {"Kolvar", 10, false}, {"Lummer", 11, true},
    {"Marvok", 12, false},  {"Nessel", 13, false},  {"Orvik", 14, false},  {"Pendrel", 15, false},
    {"Quillan", 16, false}, {"Rusket", 17, false},  {"Selvar", 18, false}, {"Torvane", 19, false},
    {"Ulmer", 20, false},   {"Varnet", 21, false},  {"Wesker", 22, false}, {"Yarvel", 23, false},
    {"Zolden", 24, false},  {"Ambrik", 25, false},  {"Belvon", 26, false}, {"Corsent", 27, false},
    {"Delvik", 28, false},  {"Ersken", 29, false},  {"Falbrin", 30, false}, {"Gorvel", 31, false},
    {"Hanvik", 32, false},  {"Ilmar", 33, false},   {"Jervan", 34, false}, {"Kestor", 35, false},
    {"Lorvik", 36, false},  {"Mendal", 37, false},  {"Norvane", 38, false}, {"Zarvel", 48, false},
    {"Oskvel", 39, false},  {"Pelvar", 40, false},  {"Rathel", 41, false}, {"Sorvik", 42, false},
    {"Tamsel", 43, false},  {"Urvane", 44, false},  {"Veskar", 45, false}, {"Wendrel", 46, false},
    {"Yselt", 47, false},   {"MDM9x15", 1013, false},
};

struct PlatformRow {
  const char* chipset;
  int code;
};

constexpr PlatformRow kPlatforms[] = {
    {"9200", 0}, {"6260", 186}, {"6246", 33}, {"6290", 29}, {"6270", 19}, {"6085", 119}, {"7225", 13}, {"8200", 8},
};

bool Contains(std::string_view text, std::string_view part) { return text.find(part) != std::string_view::npos; }

bool TypeIn(int type, std::initializer_list<int> types) {
  return std::find(types.begin(), types.end(), type) != types.end();
}

std::string UpperCase(std::string s) {
  for (char& c : s) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return s;
}

std::string TrimBlanks(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return std::string(s);
}

// Reads one configuration file in the order the rules depend on; every error ends it.
class Reader {
 public:
  Reader(ProjectConfiguration& c, const std::string& path, MessageSink& sink)
      : c_(c), ini_(path), sink_(sink) {}

  bool Run();

 private:
  std::string Text(const char* section, const char* key, const char* def = "") const {
    return ini_.GetString(section, key, def);
  }
  int Int(const char* section, const char* key, int def) const { return ini_.GetInt(section, key, def); }
  // On when the value is not 0.
  int Flag(const char* section, const char* key) const { return Int(section, key, 0) != 0 ? 1 : 0; }
  // On only when the value is exactly 1.
  int FlagIsOne(const char* section, const char* key) const { return Int(section, key, 0) == 1 ? 1 : 0; }

  // Reads prefix + index from `first` to `last`, stopping at the first empty value.
  template <typename Accept>
  bool ReadList(const char* section, const char* prefix, int first, int last, Accept accept) const {
    for (int i = first; i <= last; ++i) {
      std::string key = std::string(prefix) + std::to_string(i);
      std::string value = Text(section, key.c_str());
      if (value.empty()) break;
      if (!accept(std::move(value))) return false;
    }
    return true;
  }
  bool ReadPlainList(const char* section, const char* prefix, int last, ConfigList& out) const {
    out.clear();
    return ReadList(section, prefix, 0, last, [&out](std::string v) {
      out.push_back(std::move(v));
      return true;
    });
  }

  bool Fail(const std::string& message, MessageButtons buttons = MessageButtons::Ok,
            MessageIcon icon = MessageIcon::None) {
    ClearImageSelection(c_);
    sink_.Show(message, kWarning, buttons, icon);
    return false;
  }

  ProjectConfiguration& c_;
  ProfileFile ini_;
  MessageSink& sink_;
};

bool Reader::Run() {
  // A file that cannot be read must never pass for one that asks for nothing: the defaults
  // would drop the backups the packet asks for.
  if (!ini_.Loaded())
    return Fail("Could not read the configuration file " + ini_.Path() + ": " + ini_.LoadError() + ".");
  if (!ini_.HasSection("Project"))
    return Fail("The configuration file " + ini_.Path() + " has no [Project] section.");
  c_.Caption = Text("Project", "Caption", "Quorvel_***");
  c_.LSTProject = Text("Project", "LSTProject");

  ProjectTypeInfo project = LookupProjectType(Text("Project", "Project"));
  c_.ProjectType = project.type;
  c_.IsPhoneType = project.phone ? 1 : 0;

  c_.Platform = Text("Project", "Platform", "UNKNOWN");
  if (!LookupPlatformCode(c_.Platform, c_.PlatformName)) {
    return Fail("Config was wrong.Not support platform configuration.");
  }

  c_.Name = Text("Project", "Name", "UNKNOWN");
  std::string language = Text("Project", "Language", "English");
  if (Contains(language, "English")) {
    c_.Language = 0;
  } else if (Contains(language, "Japanese")) {
    c_.Language = 1;
  }
  c_.AboutDescription = Text("Custom_About_Interface", "Description");
  c_.AboutCopyright = Text("Custom_About_Interface", "Copyright");
  c_.AboutVersion = Text("Custom_About_Interface", "Version");
  c_.LTEType = Text("Project", "LTEType");
  c_.GPIO = Text("Project", "GPIO");
  c_.Type = Text("Project", "Type");
  c_.PlatformType = PlatformTypeOf(c_.Type);

  c_.bCheckMainboardType = FlagIsOne("Project", "bCheckMainboardType");
  c_.bCheckProjectCode = FlagIsOne("Project", "bCheckProjectCode");
  c_.bCheckDataCardMemory = FlagIsOne("MemoryType", "bCheckDataCardMemory");
  c_.bCheckRouterMemory = FlagIsOne("MemoryType", "bCheckRouterMemory");
  if (c_.bCheckDataCardMemory && c_.bCheckRouterMemory) return Fail("Unknow the terminal type.");
  if (c_.bCheckDataCardMemory || c_.bCheckRouterMemory) {
    c_.RAMSize = Text("MemoryType", "RAMSize");
    c_.FlashSize = Text("MemoryType", "FlashSize");
    if (c_.RAMSize.empty() && c_.FlashSize.empty()) return Fail("Memory type configuration was wrong.");
    c_.SupportFlashID = Text("MemoryType", "SupportFlashID");
  }

  c_.ExecuteResetModem = FlagIsOne("Project", "ExecuteResetModem");

  if (c_.bCheckProjectCode || c_.bCheckMainboardType || TypeIn(c_.ProjectType, {2, 3, 6, 25, 26, 41, 42})) {
    c_.Version = Text("Project", "Version");
    if ((c_.bCheckMainboardType || TypeIn(c_.ProjectType, {2, 3, 6, 41})) && c_.Version.empty()) {
      // The only error that leaves the image selection alone.
      sink_.Show("Could not find software version", kWarning, MessageButtons::Ok, MessageIcon::None);
      return false;
    }
    c_.VersionVariant = {0, 0, 0};
    if (c_.ProjectType == 3) {
      if (Contains(c_.Version, "BTM0031")) {
        c_.VersionVariant[0] = 1;
      } else if (Contains(c_.Version, "BTMRK05")) {
        c_.VersionVariant[1] = 1;
      } else if (Contains(c_.Version, "BTMVV05")) {
        c_.VersionVariant[2] = 1;
      }
    }
  }

  c_.IsOmbrix = c_.ProjectType == 12 ? FlagIsOne("Project", "IsOmbrix") : 0;

  c_.Packet = Int("Project", "Packet", 1);
  c_.FlashType = Int("Project", "FlashType", 0);
  c_.FlashID = Text("Project", "FlashID");
  int blockSize = Int("General Option", "BlockSize", kDefaultBlockSize);
  if (blockSize < 1 || blockSize > kMaxBlockSize) {
    // 0 would divide by zero in the transfer; a negative or oversized block cannot be sent.
    sink_.Log("BlockSize " + std::to_string(blockSize) + " is outside 1.." + std::to_string(kMaxBlockSize) +
              "; using " + std::to_string(kDefaultBlockSize));
    blockSize = kDefaultBlockSize;
  }
  c_.BlockSize = blockSize;
  c_.bFastSpeedDownload = Flag("General Option", "bFastSpeedDownload");
  c_.UIT_NewWays = Flag("BackupRestore_AT", "UIT_NewWays");
  c_.RTRECFG = Flag("Project", "RTRECFG");

  c_.bEFS = 1;
  c_.bRawAppsEFS = Flag("DownloadItems", "bRawAppsEFS");
  c_.bFastbootRamdisk_recoveryImage = Flag("DownloadItems", "bFastbootRamdisk_recoveryImage");
  c_.bFastbootUserdataImage = Flag("DownloadItems", "bFastbootUserdataImage");
  c_.bFastbootPrimary_gpt = Flag("DownloadItems", "bFastbootPrimary_gpt");
  c_.bFastbootSecondary_gpt = Flag("DownloadItems", "bFastbootSecondary_gpt");
  c_.bFastbootzImage = Flag("DownloadItems", "bFastbootzImage");
  c_.bFastbootRamdisk = Flag("DownloadItems", "bFastbootRamdisk");
  c_.bFastbootSystemImage = Flag("DownloadItems", "bFastbootSystemImage");
  if (c_.bFastbootSystemImage) {
    c_.FastBootSystemImageFilePath = Text("DownloadItems", "FastBootSystemImageFilePath");
  }
  c_.bFastbootBootImage = Flag("DownloadItems", "bFastbootBootImage");
  c_.bFastbootzImage_recoveryImage = Flag("DownloadItems", "bFastbootzImage_recoveryImage");
  c_.bSwitchFastbootMode = Flag("DownloadItems", "bSwitchFastbootMode");
  c_.bFastbootConfiguration = Flag("DownloadItems", "bFastbootConfiguration");

  if (c_.bFastbootConfiguration) {
    c_.FastbootFileCmdList.clear();
    c_.FastbootFileNameList.clear();
    bool ok = ReadList("FastbootDownloadFiles", "DL", 0, 14, [this](std::string v) {
      size_t bar = v.find('|');
      if (bar == std::string::npos) return false;
      c_.FastbootFileCmdList.push_back(TrimBlanks(std::string_view(v).substr(0, bar)));
      c_.FastbootFileNameList.push_back(TrimBlanks(std::string_view(v).substr(bar + 1)));
      return true;
    });
    if (!ok) return Fail("Fastboot configration is incorrect!");
  }

  c_.bPartOfEFS = Flag("DownloadItems", "bPartOfEFS");
  if (c_.bPartOfEFS) {
    ReadPlainList("RemoveFiles", "RF", 99, c_.RemoveFilesList);
    ReadPlainList("RemoveDir", "RD", 99, c_.RemoveDirList);
    ReadPlainList("CreateDir", "CD", 99, c_.CreateDirList);
    ReadPlainList("AddFiles", "AF", 99, c_.AddFilesList);
  }

  c_.bBackupUserData = Flag("DownloadItems", "bBackupUserData");
  if (c_.bBackupUserData) {
    ReadPlainList("UserDataFiles", "UF", 999, c_.UserDataFilesList);
    ReadPlainList("UserDataDir", "UD", 999, c_.UserDataDirList);
    if (c_.UserDataFilesList.empty() && c_.UserDataDirList.empty()) {
      return Fail("User data file not found.", MessageButtons::OkCancel);
    }
  }

  c_.ESN = Flag("BackupRestore_AT", "ESN");

  c_.bBackup = 1;
  c_.bRestore = 1;
  c_.bAMSSFile = Flag("DownloadItems", "bAMSSFile");
  c_.bPhoneImage = Flag("DownloadItems", "bPhoneImage");
  c_.bAppsBootloader = Flag("DownloadItems", "bAppsBootloader");
  c_.bAppsImageAndBootloader = Flag("DownloadItems", "bAppsImageAndBootloader");
  c_.bDSP = Flag("DownloadItems", "bDSP");
  c_.bCDROM = Flag("DownloadItems", "bCDROM");
  c_.bDISK = Flag("DownloadItems", "bDISK");
  c_.bResImage = Flag("DownloadItems", "bResImage");
  // The PC-suite images exclude each other: bDISK, then bCDROM, then bResImage.
  if (c_.bDISK) {
    c_.bCDROM = 0;
    c_.bResImage = 0;
  } else if (c_.bCDROM) {
    c_.bResImage = 0;
  }
  c_.PCSuiteImage = (c_.bDISK || c_.bCDROM || c_.bResImage) ? 1 : 0;

  c_.bBootloader = 1;
  c_.bCfgdata = Flag("DownloadItems", "bCfgdata");
  c_.bRpmBootloader = 1;
  c_.bEnprg9x15 = Flag("DownloadItems", "bEnprg9x15");

  if (c_.IsPhoneType && c_.PCSuiteImage) return Fail("Config was wrong.Phone type can't download PCSuite.");
  if (c_.bEFS && c_.bPartOfEFS) return Fail("Config was wrong.\nEFS and part of EFS can't be selected at same time.");

  c_.bSimLock = Text("SIMLOCK", "bSimLock");
  if (c_.bSimLock.empty()) {
    c_.SimLockSet = 0;
  } else {
    c_.SimLockSet = 1;
    if (c_.bSimLock[0] == '0') {
      c_.SimLockOn = 0;
    } else if (c_.bSimLock[0] == '1') {
      c_.SimLockOn = 1;
      if (c_.bSimLock.size() <= 2) {
        return Fail("SIMLOCKList is empty!", MessageButtons::Ok, MessageIcon::Warning);
      }
    }
  }

  auto nvEntry = [this](std::string v) {
    v = UpperCase(std::move(v));
    if (v.find(':') == std::string::npos) return false;
    c_.NVItemList.push_back(std::move(v));
    return true;
  };
  c_.NVItemList.clear();
  if (!ReadList("NV_Default", "NV", 1, 1000, nvEntry)) return Fail("Default NV configration is incorrect!");
  if (!ReadList("NV_Custom", "NV", 1, 1000, nvEntry)) return Fail("Custom NV configration is incorrect!");

  auto atEntry = [](ConfigList& list) {
    return [&list](std::string v) {
      if (v.find("AT") == std::string::npos) return false;
      list.push_back(v + "\r\n\r\n");
      return true;
    };
  };
  c_.StartATList.clear();
  if (!ReadList("Start_AT", "AT", 1, 1000, atEntry(c_.StartATList))) {
    return Fail("Start AT command configration is incorrect!");
  }
  c_.EndATList.clear();
  if (!ReadList("End_AT", "AT", 1, 1000, atEntry(c_.EndATList))) {
    return Fail("End AT command configration is incorrect!");
  }
  return true;
}

}  // namespace

ProjectTypeInfo LookupProjectType(std::string_view code) {
  for (const ProjectRow& row : kProjects) {
    if (code == row.code) return {row.type, row.phone};
  }
  return {};
}

bool LookupPlatformCode(std::string_view platform, int& code) {
  if (platform == "UNKNOWN") {
    code = 255;
    return true;
  }
  for (const PlatformRow& row : kPlatforms) {
    if (Contains(platform, row.chipset)) {
      code = row.code;
      return true;
    }
  }
  return false;
}

int PlatformTypeOf(std::string_view type) {
  if (type == "LTE") return 3;
  if (type == "EVDO") return 2;
  if (type == "CDMA2000") return 1;
  return 0;
}

void ClearImageSelection(ProjectConfiguration& c) {
  c.bEFS = 0;
  c.bRawAppsEFS = 0;
  c.bPartOfEFS = 0;
  c.bAMSSFile = 0;
  c.bAppsBootloader = 0;
  c.bAppsImageAndBootloader = 0;
  c.PCSuiteImage = 0;
  c.bCfgdata = 0;
  c.SimLockSet = 0;
  c.bFastbootRamdisk_recoveryImage = 0;
  c.bFastbootUserdataImage = 0;
  c.bFastbootPrimary_gpt = 0;
  c.bFastbootSecondary_gpt = 0;
  c.bFastbootzImage = 0;
  c.bFastbootRamdisk = 0;
  c.bFastbootSystemImage = 0;
  c.bFastbootBootImage = 0;
  c.bFastbootzImage_recoveryImage = 0;
}

bool ReadProjectConfiguration(ProjectConfiguration& config, const std::string& path, MessageSink& sink) {
  return Reader(config, path, sink).Run();
}

bool CheckSecondPackage(ProjectConfiguration& c, const std::string& path, MessageSink& sink) {
  ProfileFile ini(path);
  if (!ini.Loaded() || !ini.HasSection("Project")) {
    ClearImageSelection(c);
    sink.Show("Could not read the configuration file " + path + ": " +
                  (ini.Loaded() ? std::string("it has no [Project] section") : ini.LoadError()) + ".",
              kWarning, MessageButtons::Ok, MessageIcon::None);
    return false;
  }
  const int secondFlashType = ini.GetInt("Project", "FlashType", 0);
  c.SecondPacketName = ini.GetString("Project", "Name", "UNKNOWN");
  const std::string& first = c.Name;
  const std::string& second = c.SecondPacketName;
  bool ok = true;

  const bool paired = first == "Saltrin" || first == "Saltor" || first == "KeplanA" || first == "KeplanB";
  if (!paired && c.FlashType == secondFlashType) {
    ClearImageSelection(c);
    sink.Show("两个版本包中不能是相同Flash大小的版本[FlashType]", "警告", MessageButtons::Ok, MessageIcon::None);
    ok = false;
  }
  if ((first == "Saltrin" && second != "Saltor") || (first == "Saltor" && second != "Saltrin") ||
      (first == "KeplanA" && second != "KeplanB") || (first == "KeplanB" && second != "KeplanA")) {
    ClearImageSelection(c);
    sink.Show("Saltrin或Keplan售后方案的配置不正确", "警告", MessageButtons::Ok, MessageIcon::None);
    ok = false;
  }
  if (c.bCheckMainboardType) c.SecondPacketVersion = ini.GetString("Project", "Version", "");
  return ok;
}

}  // namespace zovir
