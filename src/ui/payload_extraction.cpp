#include "ui/payload_extraction.h"

#include <algorithm>
#include <cerrno>
#include <cctype>
#include <filesystem>

#include "platform/processes.h"
#include "platform/regular_file.h"
#include "platform/shared_library.h"
#include "ui/work_folders.h"

namespace zovir {
namespace fs = std::filesystem;

namespace {

using Kind = PayloadAction::Kind;

bool InRange(int v, int lo, int hi) { return v >= lo && v <= hi; }

std::string Upper(std::string s) {
  for (char& ch : s) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
  return s;
}

// A name that may become one file directly inside the folder.
bool UsableFileName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find(':') == std::string::npos &&
         name.find('/') == std::string::npos && name.find('\\') == std::string::npos &&
         name.find('\0') == std::string::npos;
}

class Planner {
 public:
  explicit Planner(std::string folder) : folder_(std::move(folder)) {}
  void Extract(const std::string& key, const std::string& type, const std::string& file, bool executable = false) {
    PayloadAction a;
    a.kind = Kind::Extract;
    a.key = key;
    a.type = type;
    a.target = folder_ + "/" + file;
    a.executable = executable;
    actions_.push_back(std::move(a));
  }
  void Add(PayloadAction a) { actions_.push_back(std::move(a)); }
  const std::string& Folder() const { return folder_; }
  std::vector<PayloadAction> Take() { return std::move(actions_); }

 private:
  std::string folder_;
  std::vector<PayloadAction> actions_;
};

void PlanFastbootList(const ProjectConfiguration& c, Planner& p) {
  for (size_t i = 0; i < c.FastbootFileNameList.size(); ++i) {
    const std::string& name = c.FastbootFileNameList[i];
    if (name == "erase") continue;
    PayloadAction a;
    a.fastbootIndex = static_cast<int>(i);
    a.failMessage = "Copy file failed!";
    const size_t sep = name.find_last_of("\\/");
    const std::string bare = sep == std::string::npos ? name : name.substr(sep + 1);
    if (!UsableFileName(bare)) {
      a.kind = Kind::Refuse;
      a.source = name;
    } else if (sep != std::string::npos) {
      a.kind = Kind::Copy;
      a.source = name;
      a.target = p.Folder() + "/" + bare;
    } else {
      const size_t dot = name.find('.');
      a.kind = Kind::Extract;
      a.key = name.substr(0, dot) + "File";
      a.type = dot == std::string::npos ? "BIN" : Upper(name.substr(dot + 1));
      a.target = p.Folder() + "/" + name;
    }
    p.Add(std::move(a));
  }
}

void WriteBytes(const std::string& target, const uint8_t* data, uint64_t size, bool executable) {
  // Never written through a link planted under the target name.
  FileHandle file =
      CreatePrivateFile(target, CreateMode::Truncate, executable ? FileAccess::OwnerProgram : FileAccess::OwnerOnly);
  bool ok = file.IsOpen();
  uint64_t done = 0;
  while (ok && done < size) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(size - done, 1u << 24));
    ok = file.WriteAll(data + done, n);
    done += n;
  }
  if (!file.Close()) ok = false;
  if (!ok) throw StartupError("Cannot create file " + target);
}

bool CopyOver(const std::string& source, const std::string& target) {
  std::error_code ec;
  if (!fs::is_regular_file(source, ec)) return false;
  if (fs::is_symlink(target, ec)) fs::remove(target, ec);
  if (!fs::copy_file(source, target, fs::copy_options::overwrite_existing, ec) || ec) return false;
  fs::permissions(target, fs::perms::owner_read | fs::perms::owner_write, ec);
  return true;
}

bool Run(std::vector<PayloadAction> actions, ProjectConfiguration& config, const std::string& folder,
         const PayloadContext& context) {
  bool endRequested = false;
  for (const PayloadAction& a : actions) {
    switch (a.kind) {
      case Kind::TerminateAdb:
        if (context.processes != nullptr) context.processes->TerminateProcessesByName("adb", folder);
        break;
      case Kind::Extract:
        WriteResource(context.payload, a.key, a.type, a.target, a.executable);
        break;
      case Kind::Copy:
        if (!CopyOver(a.source, a.target)) {
          context.sink.Show(a.failMessage, "Warning", MessageButtons::Ok, MessageIcon::None);
          endRequested = true;
          continue;
        }
        break;
      case Kind::Refuse:
        context.sink.Show(a.failMessage, "Warning", MessageButtons::Ok, MessageIcon::None);
        endRequested = true;
        continue;
    }
    if (a.fastbootIndex >= 0 && static_cast<size_t>(a.fastbootIndex) < config.FastbootFileNameList.size()) {
      config.FastbootFileNameList[static_cast<size_t>(a.fastbootIndex)] = a.target;
    }
  }
  return endRequested;
}

}  // namespace

std::vector<PayloadAction> PlanPayload(const ProjectConfiguration& c, const std::string& workFolder) {
  Planner p(workFolder);
  const int t = c.ProjectType;
  const bool oldFamily = InRange(t, 43, 47);
  PayloadAction adb;
  adb.kind = Kind::TerminateAdb;
  p.Add(adb);
  if (c.bFastbootRamdisk_recoveryImage) p.Extract("Ramdisk_RecoveryimageFile", "IMG", "ramdisk_recovery.img");
  if (c.bFastbootUserdataImage) p.Extract("UserdataimageFile", "IMG", "userdata.img");
  if (c.bFastbootBootImage) p.Extract("BootimageFile", "IMG", "boot.img");
  if (c.bFastbootPrimary_gpt) p.Extract("Primary_gptFile", "BIN", "primary_gpt");
  if (c.bFastbootSecondary_gpt) p.Extract("Secondary_gptFile", "BIN", "secondary_gpt");
  if (c.bFastbootzImage) p.Extract("ZimageFile", "BIN", "zImage");
  if (c.bFastbootRamdisk) p.Extract("RamdiskFile", "IMG", "ramdisk.img");
  if (c.bFastbootSystemImage) {
    if (!c.FastBootSystemImageFilePath.empty()) {
      PayloadAction a;
      a.kind = Kind::Copy;
      a.source = c.FastBootSystemImageFilePath + "/system.img";
      a.target = workFolder + "/system.img";
      a.failMessage = "Copy file failed [system.img]!";
      p.Add(std::move(a));
    } else {
      p.Extract("SystemimageFile", "IMG", "system.img");
    }
  }
  if (c.bFastbootzImage_recoveryImage) p.Extract("zImage_recoveryFile", "BIN", "zImage_recovery");
  if (c.bSwitchFastbootMode) p.Extract("xloadFile", "BIN", "xload.bin");
  if (c.bFastbootConfiguration) PlanFastbootList(c, p);
  p.Extract("NPRG9x06File", "MBN", c.bEnprg9x15 == 1 ? "ENPRG9x06.mbn" : "NPRG9x06.mbn");
  if (t != 35) p.Extract("PartitionFile", "MBN", "partition.mbn");
  if (c.bAMSSFile) {
    p.Extract("AmssFile", "MBN", "amss.mbn");
    if (!oldFamily) p.Extract("AmsshdFile", "MBN", "amsshd.mbn");
  }
  if (c.bEFS) {
    p.Extract("EfsFile", "MBN", "efs.mbn");
    p.Extract("AppEfsFile", "MBN", "efs2apps.mbn");
  }
  p.Extract("tzFile", "MBN", "tz.mbn");
  p.Extract("rpmFile", "MBN", "rpm.mbn");
  p.Extract("mbaFile", "MBN", "mba.mbn");
  p.Extract("qdsp6swFile", "MBN", "qdsp6sw.mbn");
  p.Extract("appsFile", "MBN", "apps.mbn");
  p.Extract("acdbFile", "MBN", "acdb.mbn");
  if (c.bRawAppsEFS) p.Extract("NandimageFile", "MBN", "nandimage");
  if (c.bBootloader) {
    if (oldFamily) {
      p.Extract("DblFile", "MBN", "dbl.mbn");
      p.Extract("FsblFile", "MBN", "fsbl.mbn");
      p.Extract("OsblFile", "MBN", "osbl.mbn");
    } else {
      p.Extract("sbl1File", "MBN", "sbl1.mbn");
      p.Extract("tzFile", "MBN", "tz.mbn");
    }
  }
  if (c.bDSP) {
    p.Extract("DSP1File", "MBN", "dsp1.mbn");
    p.Extract("DSP2File", "MBN", "dsp2.mbn");
  }
  if (c.bCDROM) p.Extract("CDROMFile", "ISO", "CDROM.iso");
  if (c.bDISK) p.Extract("FAT16File", "IMA", "FAT16.IMA");
  if (c.bResImage) p.Extract("ResimageFile", "MBN", "resimage");
  if (c.bCfgdata) p.Extract("CfgdataFile", "MBN", "cfgdata.mbn");
  if (c.bRpmBootloader) {
    p.Extract("rpmFile", "MBN", "rpm.mbn");
    p.Extract("mbaFile", "MBN", "mba.mbn");
  }
  if (c.bAppsBootloader) p.Extract("AppsBootloaderFile", "MBN", "appsboot.mbn");
  if (c.bAppsImageAndBootloader) {
    p.Extract("AppsImageHeaderFile", "MBN", "appshd.mbn");
    p.Extract("AppsImageFile", "MBN", "apps.mbn");
    p.Extract("AppsBootloaderHeaderFile", "MBN", "appsboothd.mbn");
    p.Extract("AppsBootloaderFile", "MBN", "appsboot.mbn");
  }
  if (c.ExecuteResetModem) p.Extract("ResetHelperFile", "EXE", kResetHelperName, true);
  p.Extract("ModeSwitchHelperFile", "EXE", kModeSwitchHelperName, true);
  p.Extract("NetSwitchHelperFile", "EXE", kNetSwitchHelperName, true);
  p.Extract("HexConverterFile", "DLL", kHexConverterName);
  if (t == 6 || t == 19 || t == 20 || t == 42) p.Extract("DriverInstallerFile", "EXE", kDriverInstallerName, true);
  p.Extract("EnvCleaner32File", "EXE", kEnvCleaner32Name, true);
  p.Extract("EnvCleaner64File", "EXE", kEnvCleaner64Name, true);
  return p.Take();
}

std::vector<PayloadAction> PlanPacketPayload(const ProjectConfiguration& c, const std::string& folder, int packet) {
  Planner p(folder);
  const std::string s = std::to_string(packet);
  const int t = c.ProjectType;
  p.Extract("NPRG9x06File" + s, "MBN", "NPRG9x06.mbn");
  if (t != 35) p.Extract("PartitionFile" + s, "MBN", "partition.mbn");
  if (c.bAMSSFile) {
    p.Extract("AmssFile" + s, "MBN", "amss.mbn");
    if (!InRange(t, 43, 47)) p.Extract("AmsshdFile" + s, "MBN", "amsshd.mbn");
  }
  if (c.bPhoneImage) p.Extract("AllFile" + s, "MBN", "all.mbn");
  if (c.bEFS) {
    if (t == 7) {
      p.Extract("CEfsFile" + s, "MBN", "cefs.mbn");
      p.Extract("AppEfsFile" + s, "MBN", "cefs_apps.mbn");
    } else {
      p.Extract("EfsFile" + s, "MBN", "efs.mbn");
      p.Extract("AppEfsFile" + s, "MBN", "efs2apps.mbn");
    }
  }
  if (c.bDSP) {
    p.Extract("DSP1File" + s, "MBN", "dsp1.mbn");
    p.Extract("DSP2File" + s, "MBN", "dsp2.mbn");
  }
  if (c.bCDROM) p.Extract("CDROMFile" + s, "ISO", "CDROM.iso");
  if (c.bDISK) p.Extract("FAT16File" + s, "IMA", "FAT16.IMA");
  if (c.bResImage) p.Extract("ResimageFile" + s, "MBN", "resimage");
  if (c.bCfgdata) p.Extract("CfgdataFile" + s, "MBN", "cfgdata.mbn");
  if (c.bAppsBootloader) {
    p.Extract("AppsBootloaderHeaderFile" + s, "MBN", "appsboothd.mbn");
    p.Extract("AppsBootloaderFile" + s, "MBN", "appsboot.mbn");
  }
  if (c.bAppsImageAndBootloader) {
    p.Extract("AppsImageHeaderFile" + s, "MBN", "appshd.mbn");
    p.Extract("AppsImageFile" + s, "MBN", "apps.mbn");
    p.Extract("AppsBootloaderHeaderFile" + s, "MBN", "appsboothd.mbn");
    p.Extract("AppsBootloaderFile" + s, "MBN", "appsboot.mbn");
  }
  if (c.bFastbootRamdisk_recoveryImage) p.Extract("RecoveryimageFile", "IMG", "recovery.img");
  if (c.bFastbootUserdataImage) p.Extract("UserdataimageFile", "IMG", "userdata.img");
  if (c.bFastbootBootImage) p.Extract("BootimageFile", "IMG", "boot.img");
  if (c.bFastbootSystemImage) p.Extract("SystemimageFile", "IMG", "system.img");
  if (c.bFastbootzImage_recoveryImage) p.Extract("SplashimageFile", "BIN", "splash.bin");
  p.Extract("ModeSwitchHelperFile" + s, "EXE", kModeSwitchHelperName, true);
  p.Extract("HexConverterFile" + s, "DLL", kHexConverterName);
  if (t == 6 || t == 19 || t == 20 || t == 42) {
    p.Extract("DriverInstallerFile", "EXE", kDriverInstallerName, true);
    p.Extract("EnvCleaner32File", "EXE", kEnvCleaner32Name, true);
    p.Extract("EnvCleaner64File", "EXE", kEnvCleaner64Name, true);
  }
  p.Extract("ConfigFile" + s, "INI", "Config.ini");
  return p.Take();
}

void WriteResource(const Payload& payload, const std::string& key, const std::string& type, const std::string& target,
                   bool executable) {
  const PayloadEntry* e = payload.Find(key, type);
  if (e == nullptr) throw StartupError("Resource " + key + " not found");
  WriteBytes(target, e->data, e->size, executable);
}

bool ExtractPayload(ProjectConfiguration& config, const std::string& workFolder, const PayloadContext& context) {
  return Run(PlanPayload(config, workFolder), config, workFolder, context);
}

bool ExtractPacketPayload(ProjectConfiguration& config, const std::string& folder, int packet,
                          const PayloadContext& context) {
  CreateFolderPath(folder);
  return Run(PlanPacketPayload(config, folder, packet), config, folder, context);
}

uint32_t HexStartAddressOf(std::string_view digits) {
  static constexpr std::string_view kKnown[] = {"0080", "00A0", "0805", "0570", "01E0", "0DB0", "2D90",
                                                "1D90", "0DF0", "0010", "0700", "4170", "2A00"};
  for (std::string_view k : kKnown) {
    if (digits == k) return static_cast<uint32_t>(std::stoul(std::string(k), nullptr, 16)) << 16;
  }
  return 0;
}

int ConvertHexImage(const std::string& hexPath, const std::string& binPath, const std::string& workFolder,
                    MessageSink& sink, uint32_t& startAddress) {
  startAddress = 0;
  FileHandle hex = OpenRegularFile(hexPath);
  if (!hex) {
    sink.Show("Read hex file failed(INVALID_HANDLE)!", "ERROR", MessageButtons::Ok, MessageIcon::None);
    return 0;
  }
  char head[13] = {};
  const size_t got = hex.ReadFull(head, sizeof head);
  if (got < sizeof head && errno != 0) {
    sink.Show("Read hex file failed!", "ERROR", MessageButtons::Ok, MessageIcon::None);
    return 0;
  }
  hex.Close();
  // A file shorter than one address record carries no start address.
  if (got == sizeof head) startAddress = HexStartAddressOf(std::string_view(head + 9, 4));

  const std::string library = workFolder + "/" + kHexConverterName;
  auto lib = SharedLibrary::Load(library);
  if (!lib) {
    sink.Show(std::string("Load library failed [") + kHexConverterName + "]!", "ERROR", MessageButtons::Ok,
              MessageIcon::Warning);
    return 0;
  }
  using ConvertFn = int (*)(const char*, const char*);
  const auto convert = lib->FindFunction<ConvertFn>("ConvertHexFile");
  if (convert == nullptr || convert(hexPath.c_str(), binPath.c_str()) == 0) {
    sink.Show("switch hex to bin failed!", "ERROR", MessageButtons::Ok, MessageIcon::Warning);
    return 0;
  }
  return 1;
}

}  // namespace zovir
