#include "config/image_check.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <memory>
#include <vector>

#include "engine/engine_config.h"
#include "link/crc16.h"
#include "platform/regular_file.h"

namespace zovir {
namespace fs = std::filesystem;

namespace {

using PathMember = std::string ImageFolderState::*;
using SizeMember = uint32_t ImageFolderState::*;

constexpr uint64_t kMiB = 1024 * 1024;
// Bytes read per step of the image checksum.
constexpr uint64_t kChecksumRun = 1024 * 1024;

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

bool Contains(const std::string& s, const char* part) { return s.find(part) != std::string::npos; }

// The member the scan stores a file under; nullptr for a name it does not know or a
// PC-suite image whose flag is off.
PathMember MemberForName(const std::string& n, const ProjectConfiguration& c, bool& known) {
  struct Row {
    const char* name;
    PathMember member;
  };
  static const Row kBefore[] = {
      {"partition.mbn", &ImageFolderState::partitionFile}, {"amss.mbn", &ImageFolderState::amssFile},
      {"efs.mbn", &ImageFolderState::EFSFile},             {"cefs.mbn", &ImageFolderState::CEfsFile},
      {"efs2apps.mbn", &ImageFolderState::AppEfsFile},     {"nandimage", &ImageFolderState::RawAppsEfsFile},
      {"amsshd.mbn", &ImageFolderState::amsshdFile},       {"dsp1.mbn", &ImageFolderState::DSP1File},
      {"dsp2.mbn", &ImageFolderState::DSP2File},
  };
  static const Row kAfter[] = {
      {"qcsbl.mbn", &ImageFolderState::QcFile},
      {"qcsblhd_cfgdata.mbn", &ImageFolderState::QchdFile},
      {"oemsbl.mbn", &ImageFolderState::OemFile},
      {"oemsblhd.mbn", &ImageFolderState::OemhdFile},
      {"fsbl.mbn", &ImageFolderState::FsblFile},
      {"dbl.mbn", &ImageFolderState::DblFile},
      {"osbl.mbn", &ImageFolderState::OsblFile},
      {"appshd.mbn", &ImageFolderState::AppsImageHeaderFile},
      {"apps.mbn", &ImageFolderState::AppsImageFile},
      {"appsboothd.mbn", &ImageFolderState::AppsBootloaderHeaderFile},
      {"appsboot.mbn", &ImageFolderState::AppsBootloaderFile},
      {"boot.img", &ImageFolderState::FastbootBootImageFile},
      {"primary_gpt", &ImageFolderState::FastbootPrimary_gptFile},
      {"secondary_gpt", &ImageFolderState::FastbootSecondary_gptFile},
      {"zimage", &ImageFolderState::FastbootzImageFile},
      {"ramdisk.img", &ImageFolderState::FastbootRamdiskFile},
      {"system.img", &ImageFolderState::FastbootSystemImageFile},
      {"ramdisk_recovery.img", &ImageFolderState::FastbootRecoveryImageFile},
      {"userdata.img", &ImageFolderState::FastbootUserdataImageFile},
      {"zimage_recovery", &ImageFolderState::FastbootSplashImageFile},
      {"cfgdata.mbn", &ImageFolderState::CfgDataFile},
      {"all.mbn", &ImageFolderState::PhoneImageFile},
      {"rpm.mbn", &ImageFolderState::rpmmbnFile},
      {"sbl1.mbn", &ImageFolderState::sbl1File},
      {"sbl2_dl.mbn", &ImageFolderState::sbl2dlFile},
      {"tz.mbn", &ImageFolderState::tzFile},
      {"mba.mbn", &ImageFolderState::mbaFile},
      {"qdsp6sw.mbn", &ImageFolderState::qdsp6swFile},
      {"acdb.mbn", &ImageFolderState::acdbmbnFile},
  };
  known = true;
  for (const Row& r : kBefore) {
    if (n == r.name) return r.member;
  }
  if (Contains(n, "iso") && n != "imageempty.iso") return c.bCDROM ? &ImageFolderState::FTLFile : nullptr;
  if (Contains(n, ".ima") && n != "fatempty.ima") return c.bDISK ? &ImageFolderState::FTLFile : nullptr;
  if (n == "resimage") return c.bResImage ? &ImageFolderState::FTLFile : nullptr;
  for (const Row& r : kAfter) {
    if (n == r.name) return r.member;
  }
  known = false;
  return nullptr;
}

// One file of a check row.
struct Item {
  PathMember path;
  SizeMember size;  // nullptr: no size is recorded
  const char* existPrefix;
  uint64_t limit;  // the size must be below this; 0: no size check
  const char* sizePrefix;
  int crcEntry = -1;
  const char* crcMessage = nullptr;
  PathMember crcPath = nullptr;  // the file the checksum is computed over, when not `path`
  bool listed = true;
};

struct FileFacts {
  bool exists = false;
  uint64_t size = 0;
};

FileFacts Facts(const std::string& path) {
  const std::optional<uint64_t> size = RegularFileSize(path);
  return {size.has_value(), size.value_or(0)};
}

class SystemImageReader final : public ImageFileReader {
 public:
  bool Open(const std::string& path) override {
    file_ = OpenRegularFile(path);
    return file_.IsOpen();
  }
  long long Read(uint8_t* buffer, size_t length) override { return file_.ReadSome(buffer, length); }
  void Close() override { file_.Close(); }

 private:
  FileHandle file_;
};

class Checker {
 public:
  Checker(const ProjectConfiguration& c, ImageFolderState& s, const ImageCheckContext& ctx) : c_(c), s_(s), ctx_(ctx) {}

  // Checks one file; false after the failure message.
  bool File(const std::string& path, uint32_t* size, const char* existPrefix, uint64_t limit, const char* sizePrefix,
            int crcEntry, const char* crcMessage, const std::string& crcPath, bool listed) {
    const FileFacts f = Facts(path);
    if (!f.exists) return Fail(std::string(existPrefix) + path + " does not exist!\n");
    if (limit != 0 && (f.size == 0 || f.size >= limit)) return Fail(std::string(sizePrefix) + path + " size error!\n");
    if (crcEntry >= 0 && c_.bFastSpeedDownload) {
      uint16_t crc = 0;
      if (!ComputeImageChecksum(crcPath.empty() ? path : crcPath, c_.BlockSize, crc, ctx_.sink, ctx_.reader)) {
        return Fail(crcMessage);
      }
      s_.ImageChecksum[static_cast<size_t>(crcEntry)] = crc;
      s_.ChecksumComputed[static_cast<size_t>(crcEntry)] = true;
    }
    if (listed) {
      const fs::path p(path);
      s_.lvFileList.push_back({p.filename().string(), p.parent_path().string() + "/", true});
    }
    if (size != nullptr) *size = static_cast<uint32_t>(f.size);
    return true;
  }

  bool Row(std::initializer_list<Item> items) {
    for (const Item& i : items) {
      const std::string crcPath = i.crcPath ? s_.*(i.crcPath) : std::string();
      if (!File(s_.*(i.path), i.size ? &(s_.*(i.size)) : nullptr, i.existPrefix, i.limit, i.sizePrefix, i.crcEntry,
                i.crcMessage, crcPath, i.listed)) {
        return false;
      }
    }
    return true;
  }

 private:
  bool Fail(const std::string& message) {
    ctx_.sink.Show(message, ctx_.caption, MessageButtons::Ok, MessageIcon::None);
    s_.lvFileList.clear();
    return false;
  }

  const ProjectConfiguration& c_;
  ImageFolderState& s_;
  const ImageCheckContext& ctx_;
};

bool RunRows(const ProjectConfiguration& c, ImageFolderState& s, const ImageCheckContext& ctx) {
  using S = ImageFolderState;
  Checker k(c, s, ctx);
  const int t = c.ProjectType;
  const char* file = "Error: File ";
  const uint64_t k100 = 100 * kMiB, k200 = 200 * kMiB;
  const char* appsboot = "appsboot file crc error.\n";

  if (c.bRestore && !c.bBackup &&
      !k.Row({{&S::atbakFile, nullptr, file, 0, file}, {&S::bakFile, nullptr, file, 0, file}})) {
    return false;
  }
  const bool images = c.bBackup || c.bAMSSFile || c.bPhoneImage || c.bEFS || c.bRawAppsEFS || c.bBootloader ||
                      c.bCfgdata || c.PCSuiteImage || c.bAppsBootloader || c.bAppsImageAndBootloader;
  if (images) {
    Item ram{&S::ramFile, &S::ramFileSize, "Error: BIN file ", 10 * kMiB, "Error:BIN file "};
    ram.listed = false;
    if (!k.Row({ram})) return false;
    if (t != 35 && !k.Row({{&S::partitionFile, &S::partitionFileSize, "Error:partition file ", 1024,
                            "Error:partition file "}})) {
      return false;
    }
  }
  if (c.bBootloader &&
      !k.Row({{&S::sbl1File, &S::sbl1Size, file, k100, file}, {&S::tzFile, &S::tzFileSize, file, k100, file}})) {
    return false;
  }
  if (c.bCfgdata && !k.Row({{&S::CfgDataFile, &S::CfgDataFileSize, "Error:Cofiguration file ", k100,
                             "Error:Configuration file ", 6, "cfgdata file crc error.\n"}})) {
    return false;
  }
  if (c.bAMSSFile) {
    if (!k.Row({{&S::amssFile, &S::amssFileSize, "Error:AMss file ", k100, "Error:Amss file ", 7,
                 "Amss file crc error.\n"}})) {
      return false;
    }
    if (!(t >= 43 && t <= 47) &&
        !k.Row({{&S::amsshdFile, &S::amsshdFileSize, "Error:Amsshd file ", 512, "Error:Amsshd file "}})) {
      return false;
    }
  }
  if (c.bPhoneImage && !k.Row({{&S::PhoneImageFile, &S::PhoneImageFileSize, "Error:Phone image file ", k100,
                                "Error:Phone image file ", 8, "Phone image file crc error.\n"}})) {
    return false;
  }
  if (c.bDSP && !k.Row({{&S::DSP1File, &S::DSP1FileSize, file, k100, file, 9, "DSP1 image file crc error.\n"},
                        {&S::DSP2File, &S::DSP2FileSize, file, k100, file, 10, "DSP2 image file crc error.\n"}})) {
    return false;
  }
  if (c.bAppsImageAndBootloader &&
      !k.Row({{&S::AppsImageHeaderFile, &S::AppsImageHeaderSize, file, k100, file},
              {&S::AppsImageFile, &S::AppsImageSize, file, k100, file, 11, "Apps image file crc error.\n"},
              {&S::AppsBootloaderHeaderFile, &S::AppsBootloaderHeaderSize, file, 512, file},
              {&S::AppsBootloaderFile, &S::AppsBootloaderSize, file, k100, file, 12, appsboot}})) {
    return false;
  }
  if (c.bAppsBootloader &&
      !k.Row({{&S::AppsBootloaderFile, &S::AppsBootloaderSize, file, k100, file, 12, appsboot}})) {
    return false;
  }
  struct Fastboot {
    int flag;
    PathMember path;
    SizeMember size;
    const char* prefix;
    uint64_t limit;
  };
  const Fastboot fastboot[] = {
      {c.bFastbootBootImage, &S::FastbootBootImageFile, &S::FastbootBootImageSize, file, k100},
      {c.bFastbootPrimary_gpt, &S::FastbootPrimary_gptFile, &S::FastbootPrimary_gptSize, "Error:Primary File ", k200},
      {c.bFastbootSecondary_gpt, &S::FastbootSecondary_gptFile, &S::FastbootSecondary_gptSize,
       "Error:Secondary File ", k200},
      {c.bFastbootzImage, &S::FastbootzImageFile, &S::FastbootzImageSize, "Error:zImage File ", k200},
      {c.bFastbootRamdisk, &S::FastbootRamdiskFile, &S::FastbootRamdiskSize, "Error:ramdisk File ", k200},
      {c.bFastbootSystemImage, &S::FastbootSystemImageFile, &S::FastbootSystemImageSize, "Error:system File ", k200},
      {c.bFastbootRamdisk_recoveryImage, &S::FastbootRecoveryImageFile, &S::FastbootRecoveryImageSize, file, k200},
      {c.bFastbootUserdataImage, &S::FastbootUserdataImageFile, &S::FastbootUserdataImageSize, file, k200},
      {c.bFastbootzImage_recoveryImage, &S::FastbootSplashImageFile, &S::FastbootSplashImageSize, file, k200},
  };
  for (const Fastboot& f : fastboot) {
    if (f.flag && !k.Row({{f.path, f.size, f.prefix, f.limit, file}})) return false;
  }
  if (c.bFastbootConfiguration) {
    for (size_t i = 0; i < c.FastbootFileNameList.size(); ++i) {
      const std::string& name = c.FastbootFileNameList[i];
      if (name == "erase") continue;
      uint32_t size = 0;
      if (!k.File(name, &size, file, 500 * kMiB, file, -1, nullptr, {}, true)) return false;
      if (i < s.FastbootFileSize.size()) s.FastbootFileSize[i] = size;
    }
  }
  if (c.bRawAppsEFS && !k.Row({{&S::RawAppsEfsFile, &S::RawAppsEfsFileSize, file, k100, file, 14,
                                "Nandimage file crc error.\n"}})) {
    return false;
  }
  if (c.bEFS) {
    const char* efsCrc = "EFS file crc error.\n";
    const char* appEfsCrc = "AppEFS file crc error.\n";
    bool ok = true;
    if (t == 7) {
      ok = k.Row({{&S::CEfsFile, &S::CEfsFileSize, file, k100, file, 15, efsCrc, &S::EFSFile},
                  {&S::AppEfsFile, &S::AppEfsFileSize, file, k100, file, 13, appEfsCrc}});
    } else if (t == 46) {
      ok = k.Row({{&S::AppEfsFile, &S::AppEfsFileSize, file, k100, file, 15, efsCrc, &S::EFSFile}});
    } else {
      ok = k.Row({{&S::EFSFile, &S::EFSFileSize, "Error:EFS file ", k100, "Error:EFS file ", 15, efsCrc},
                  {&S::AppEfsFile, &S::AppEfsFileSize, file, k100, file, 13, appEfsCrc}});
    }
    if (!ok) return false;
  }
  if (c.PCSuiteImage && !k.Row({{&S::FTLFile, &S::FTLFileSize, "Error:PCSuit file ", 240 * kMiB,
                                 "Error:PCSuit file ", 16, "PCSuit file crc error.\n"}})) {
    return false;
  }
  if (c.bRpmBootloader && !k.Row({{&S::rpmmbnFile, &S::rpmmbnSize, file, k100, file, 12, appsboot},
                                  {&S::mbaFile, &S::mbaFileSize, file, k100, file, 12, appsboot},
                                  {&S::acdbmbnFile, &S::acdbmbnSize, file, k100, file, 12, appsboot}})) {
    return false;
  }
  return k.Row({{&S::qdsp6swFile, &S::qdsp6swFileSize, file, k100, file, 12, appsboot},
                {&S::AppsMbnFile, &S::AppsMbnSize, file, k100, file, 12, appsboot}});
}

uint64_t TotalSize(const ProjectConfiguration& c, const ImageFolderState& s) {
  using S = ImageFolderState;
  static constexpr SizeMember kSizes[] = {
      &S::ramFileSize, &S::partitionFileSize, &S::amssFileSize, &S::EFSFileSize, &S::CEfsFileSize,
      &S::AppEfsFileSize, &S::RawAppsEfsFileSize, &S::amsshdFileSize, &S::DSP1FileSize, &S::DSP2FileSize,
      &S::FTLFileSize, &S::AppsImageHeaderSize, &S::AppsImageSize, &S::AppsBootloaderHeaderSize,
      &S::AppsBootloaderSize, &S::FastbootBootImageSize, &S::FastbootPrimary_gptSize,
      &S::FastbootSecondary_gptSize, &S::FastbootzImageSize, &S::FastbootRamdiskSize, &S::FastbootSystemImageSize,
      &S::FastbootRecoveryImageSize, &S::FastbootUserdataImageSize, &S::FastbootSplashImageSize,
      &S::CfgDataFileSize, &S::PhoneImageFileSize, &S::rpmmbnSize, &S::sbl1Size, &S::tzFileSize, &S::mbaFileSize,
      &S::qdsp6swFileSize, &S::acdbmbnSize, &S::AppsMbnSize};
  uint64_t total = 0;
  for (SizeMember m : kSizes) total += s.*m;
  if (c.bFastbootConfiguration) {
    for (uint32_t v : s.FastbootFileSize) total += v;
  }
  return total;
}

}  // namespace

void ScanImageFolder(const std::string& folder, const ProjectConfiguration& config, ImageFolderState& state,
                     const ImageCheckContext& context) {
  std::error_code ec;
  std::vector<fs::directory_entry> entries;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) entries.push_back(*it);
  // A fixed order, so "the last one met wins" means the same on every file system.
  std::sort(entries.begin(), entries.end(),
            [](const fs::directory_entry& a, const fs::directory_entry& b) { return a.path() < b.path(); });
  std::string base = folder;
  if (base.empty() || base.back() != '/') base += '/';
  for (const fs::directory_entry& e : entries) {
    const std::string name = e.path().filename().string();
    std::error_code e2;
    // Links to folders are not followed: a link back up the tree would never end.
    if (e.symlink_status(e2).type() == fs::file_type::directory) {
      ScanImageFolder(base + name + "/", config, state, context);
      continue;
    }
    const std::string lower = Lower(name);
    if (Contains(lower, ".hex")) {
      if (context.convertHex) context.convertHex(base + name, base + name.substr(0, name.find('.') + 1) + "BIN");
      continue;
    }
    bool known = false;
    if (PathMember m = MemberForName(lower, config, known)) state.*m = base + name;
  }
}

std::string ProgrammerPath(const std::string& dir, const ProjectConfiguration& config) {
  // The payload writes the programmer as ENPRG9x06.mbn when bEnprg9x15 is 1, the second packet
  // and packets unpacked by hand may carry it under the plain name: the configured name first.
  const std::string plain = dir + "/NPRG9x06.mbn", enprg = dir + "/ENPRG9x06.mbn";
  const bool wantsEnprg = config.bEnprg9x15 == 1;
  const std::string& preferred = wantsEnprg ? enprg : plain;
  const std::string& other = wantsEnprg ? plain : enprg;
  return !Facts(preferred).exists && Facts(other).exists ? other : preferred;
}

bool CheckImageFolder(const std::string& folder, const ProjectConfiguration& config, ImageFolderState& state,
                      const ImageCheckContext& context) {
  state.lvFileList.clear();
  if (folder.empty()) return false;
  state = ImageFolderState{};
  std::string dir = folder;
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  ScanImageFolder(dir + "/", config, state, context);

  std::string backupBase = context.ReupdateMode ? context.backupFolder : dir;
  while (backupBase.size() > 1 && backupBase.back() == '/') backupBase.pop_back();
  state.bakFile = backupBase + "/nv.bak";
  // A re-update restores what its engine backed up: the scrambled identity backup (the plain
  // at.bak only exists once a restore has begun).
  state.atbakFile = backupBase + (context.ReupdateMode ? "/EncryptAT.bak" : "/at.bak");
  state.packetFolder = dir;
  state.ramFile = ProgrammerPath(dir, config);
  state.sbl1File = dir + "/sbl1.mbn";
  state.tzFile = dir + "/tz.mbn";
  state.mbaFile = dir + "/mba.mbn";
  state.rpmmbnFile = dir + "/rpm.mbn";
  state.qdsp6swFile = dir + "/qdsp6sw.mbn";
  state.AppsMbnFile = dir + "/apps.mbn";
  state.EFSFile = dir + "/efs.mbn";
  state.acdbmbnFile = dir + "/acdb.mbn";
  state.AppEfsFile = dir + "/efs2apps.mbn";

  if (!RunRows(config, state, context)) return false;
  // The engine sends the applications image with entry 11 in fast-speed mode; the rows fill
  // it only for the combined apps selection, so without it the modem would be handed a
  // checksum of 0 and refuse a good image.
  if (config.bFastSpeedDownload && !state.ChecksumComputed[11] && Facts(state.AppsImageFile).exists) {
    uint16_t crc = 0;
    if (!ComputeImageChecksum(state.AppsImageFile, config.BlockSize, crc, context.sink, context.reader)) {
      context.sink.Show("Apps image file crc error.\n", context.caption, MessageButtons::Ok, MessageIcon::None);
      state.lvFileList.clear();
      return false;
    }
    state.ImageChecksum[11] = crc;
    state.ChecksumComputed[11] = true;
  }
  state.allTotalFileSize = TotalSize(config, state);
  return true;
}

bool ComputeImageChecksum(const std::string& path, int blockSize, uint16_t& checksum, MessageSink& sink,
                          ImageFileReader* reader) {
  auto warn = [&sink](const char* text) {
    sink.Show(text, "Warning", MessageButtons::Ok, MessageIcon::None);
    return false;
  };
  if (blockSize <= 0 || blockSize > kMaxBlockSize) blockSize = kDefaultBlockSize;
  const FileFacts f = Facts(path);
  if (!f.exists || f.size == 0) return warn("file size error.");
  SystemImageReader system;
  ImageFileReader& in = reader ? *reader : system;
  if (!in.Open(path)) return warn("Could not open file");
  // Whole blocks first, then the remainder. The file is read in large runs of whole blocks;
  // a short read is reported by the part it falls in. A run stays small enough to be still
  // in the processor's cache when the checksum goes over it, and the buffer is not cleared
  // first: every byte the checksum sees was just read into it.
  const uint64_t block = static_cast<uint64_t>(blockSize);
  const uint64_t wholeEnd = f.size / block * block;
  const size_t chunk = static_cast<size_t>(std::max<uint64_t>(block, kChecksumRun / block * block));
  const size_t capacity = static_cast<size_t>(std::min<uint64_t>(chunk, f.size));
  const auto buffer = std::make_unique_for_overwrite<uint8_t[]>(capacity);
  uint16_t crc = kCrc16Init;
  uint64_t done = 0;
  while (done < f.size) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(capacity, f.size - done));
    const long long n = in.Read(buffer.get(), want);
    if (n <= 0) {
      in.Close();
      return warn(done < wholeEnd ? "Read file error." : "Read file error!");
    }
    crc = Crc16Update(crc, buffer.get(), static_cast<size_t>(n));
    done += static_cast<uint64_t>(n);
  }
  in.Close();
  checksum = static_cast<uint16_t>(~crc);
  return true;
}

void HandOverImages(const ImageFolderState& s, EngineConfig& e) {
  e.PacketFolder = s.packetFolder;
  e.ramFile = s.ramFile;
  e.ramFileSize = s.ramFileSize;
  e.partitionFile = s.partitionFile;
  e.sbl1File = s.sbl1File;
  e.sbl1Size = s.sbl1Size;
  e.tzFile = s.tzFile;
  e.tzFileSize = s.tzFileSize;
  e.qdsp6swFile = s.qdsp6swFile;
  e.qdsp6swFileSize = s.qdsp6swFileSize;
  e.mbaFile = s.mbaFile;
  e.mbaFileSize = s.mbaFileSize;
  e.rpmmbnFile = s.rpmmbnFile;
  e.rpmmbnSize = s.rpmmbnSize;
  e.acdbmbnFile = s.acdbmbnFile;
  e.acdbmbnSize = s.acdbmbnSize;
  e.AppsImageFile = s.AppsImageFile;
  e.AppsImageSize = s.AppsImageSize;
  e.EFSFile = s.EFSFile;
  e.EFSFileSize = s.EFSFileSize;
  e.AppEfsFile = s.AppEfsFile;
  e.AppEfsFileSize = s.AppEfsFileSize;
  e.bakFile = s.bakFile;
  e.atbakFile = s.atbakFile;
  e.allTotalFileSize = static_cast<uint32_t>(std::min<uint64_t>(s.allTotalFileSize, UINT32_MAX));
  e.ImageChecksum = s.ImageChecksum;
}

}  // namespace zovir
