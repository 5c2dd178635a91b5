#include "preservation/user_data.h"

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <string_view>
#include <limits>
#include <optional>
#include <set>

#include "platform/private_files.h"

namespace zovir {

namespace fs = std::filesystem;

namespace {

// The firmware rewrites this file itself; a preserved copy would bring back stale settings.
constexpr const char* kFirmwarePrefs = "prefs.dat";

std::string Shown(const std::string& text) {
  std::string out;
  for (char c : text) {
    const auto u = static_cast<unsigned char>(c);
    out += (u < 0x20 || u == 0x7F) ? '?' : c;
  }
  return out;
}

std::string Joined(const std::vector<std::string>& parts, size_t count) {
  std::string out;
  for (size_t i = 0; i < count && i < parts.size(); ++i) out += "/" + parts[i];
  return out;
}

}  // namespace

UserDataPreservation::UserDataPreservation(EngineCore& core, Link& link)
    : core_(core), efs_(core, link), folders_(core) {}

void UserDataPreservation::LogLine(const std::string& text) { core_.ReportStatus(csInfo, text, mtInfo); }
void UserDataPreservation::Progress(const std::string& text) { core_.ReportStatus(csWorking, text, mtProgress); }

void UserDataPreservation::AddRestoreFolder(const std::string& efsPath, bool withItself) {
  const auto parts = SplitEfsPath(efsPath);
  if (!parts) return;
  const size_t n = withItself ? parts->size() : (parts->empty() ? 0 : parts->size() - 1);
  for (size_t i = 1; i <= n; ++i) {
    const std::string folder = Joined(*parts, i);
    if (std::find(restoreFolders_.begin(), restoreFolders_.end(), folder) == restoreFolders_.end())
      restoreFolders_.push_back(folder);
  }
}

void UserDataPreservation::PrepareUserData() {
  efs_.ResetAnswerWatch();
  efs_.EFSDirList.clear();
  efs_.EFSFileList.clear();
  UserDataFilesList.clear();
  UserDataDirList.clear();
  UserDataLocalList.clear();
  UserDataFileSizes.clear();
  restoreFolders_.clear();
  const std::string mirror = MirrorRoot(core_);

  // A configured entry the mirror cannot hold would be erased with the update and never come
  // back: the run stops before anything is read or erased, naming the entry.
  const auto unusable = [](const std::string& path) -> std::optional<std::string> {
    NameVerdict verdict = NameVerdict::Ok;
    const auto parts = SplitEfsPath(path, nullptr, &verdict);
    if (path.size() > EFSFiles::kMaxPathLength) return "path too long";
    if (!parts) return NameVerdictText(verdict);
    if (parts->empty()) return "no name";
    return std::nullopt;
  };
  for (const auto& [list, what] : {std::pair{&core_.cfg.UserDataDirList, "folder"},
                                   std::pair{&core_.cfg.UserDataFilesList, "file"}}) {
    for (const auto& path : *list) {
      if (const auto why = unusable(path)) {
        const std::string shown = path.size() > 64 ? Shown(path.substr(0, 64)) + "..." : Shown(path);
        core_.ReportError(std::string("Could not keep the user data ") + what + " \"" + shown + "\" in the backup (" +
                          *why + ")");
        return;
      }
    }
  }

  for (const auto& dir : core_.cfg.UserDataDirList) {
    if (!core_.Healthy()) return;
    const int listed = efs_.EFSEnumDir(dir);
    if (listed == -1) return;
    if (listed == 1) {
      LogLine("User data folder not on the modem: " + dir);
      continue;
    }
    if (listed == 2) {
      // A partial listing would let the update erase files that were never copied.
      core_.ReportError("Fail to list folder:" + dir);
      return;
    }
    UserDataDirList.push_back(dir);
    const auto local = EfsMirrorPath(mirror, dir);
    if (!local || !folders_.MakeLocalFolder(*local)) {
      if (core_.Healthy()) core_.ReportError("Could not create folder!");
      return;
    }
  }

  if (!core_.Healthy()) return;
  for (const auto& file : core_.cfg.UserDataFilesList) {
    if (efs_.IsEFSFileAbsent(file)) continue;  // nothing to keep
    if (!core_.Healthy()) return;
    const auto local = EfsMirrorPath(mirror, file);
    if (!local || !folders_.MakeLocalFolder(fs::path(*local).parent_path().string())) {
      if (core_.Healthy()) core_.ReportError("Could not create folder!");
      return;
    }
    UserDataFilesList.push_back(file);
  }

  for (const auto& dir : efs_.EFSDirList) {
    const auto local = EfsMirrorPath(mirror, dir);
    if (!local || !folders_.MakeLocalFolder(*local)) {
      if (core_.Healthy()) core_.ReportError("Could not create folder!");
      return;
    }
  }

  for (const auto& file : efs_.EFSFileList) {
    if (fs::path(file).filename() == kFirmwarePrefs) continue;
    UserDataFilesList.push_back(file);
  }

  if (!core_.Healthy()) return;
  // Local names, one per distinct EFS file (a file listed twice, configured and found in a
  // preserved folder, is kept once). The mirror's names are a reversible encoding, so two EFS
  // names never share a local one.
  std::set<std::vector<std::string>> seenParts;
  std::vector<std::string> files;
  for (const auto& file : UserDataFilesList) {
    const auto parts = SplitEfsPath(file);
    if (!parts || !seenParts.insert(*parts).second) continue;
    auto local = EfsMirrorPath(mirror, file);
    if (!local || !LiesWithin(mirror, *local, false)) {
      core_.ReportError("Could not keep the user data file \"" + Shown(file) + "\" in the backup");
      return;
    }
    files.push_back(file);
    UserDataLocalList.push_back(*local);
  }
  if (!files.empty() && !MarkEncodedMirror()) return;
  UserDataFilesList = std::move(files);
  UserDataFileSizes.assign(UserDataFilesList.size(), 0);

  for (const auto& dir : UserDataDirList) AddRestoreFolder(dir, true);
  for (const auto& file : UserDataFilesList) AddRestoreFolder(file, false);
  for (const auto& dir : efs_.EFSDirList) AddRestoreFolder(dir, true);
}

bool UserDataPreservation::MarkEncodedMirror() {
  const fs::path marker = fs::path(core_.run.BackupFolder) / kMirrorNamesFile;
  static constexpr std::string_view kNote = "EFS names in the mirror: '%' and two hex digits stand for a byte\n";
  FileHandle file = CreatePrivateFile(marker.string(), CreateMode::Truncate);
  const bool written = file && file.WriteAll(kNote);
  if (!written || !file.Close()) {
    core_.SetSystemError(errno);
    core_.ReportError("Could not write file:" + marker.string());
    return false;
  }
  return true;
}

void UserDataPreservation::BackupUserData() {
  efs_.ResetAnswerWatch();
  const std::string mirror = MirrorRoot(core_);
  UserDataFileSizes.resize(UserDataFilesList.size(), 0);
  for (size_t i = 0; i < UserDataFilesList.size() && i < UserDataLocalList.size(); ++i) {
    if (!core_.Healthy()) return;
    const std::string& path = UserDataFilesList[i];
    uint32_t size = 0;
    const int opened = efs_.EFSFileSizeAndOpen(path, size);
    if (opened != 0) {
      if (core_.Healthy()) core_.ReportError("->Fail to read file:" + path);
      return;
    }
    UserDataFileSizes[i] = size;
    if (efs_.EFSReadFileToLocal(UserDataLocalList[i], size, mirror) != 0) {
      if (core_.Healthy()) core_.ReportError("*Fail to read file:" + path);
      return;
    }
    if (size != 0) {
      if (efs_.EFSCloseFile() != 0) {
        if (core_.Healthy()) core_.ReportError("Fail to close file packet:" + path);
        return;
      }
      Progress(path + " successfully.");
    }
  }
}

void UserDataPreservation::LoadSavedMirror() {
  efs_.EFSDirList.clear();
  efs_.EFSFileList.clear();
  UserDataFilesList.clear();
  UserDataDirList.clear();
  UserDataLocalList.clear();
  UserDataFileSizes.clear();
  restoreFolders_.clear();
  const std::string mirror = MirrorRoot(core_);
  std::error_code ec;
  if (mirror.empty() || !fs::is_directory(fs::symlink_status(mirror, ec))) {
    LogLine("No user files in the saved backup");
    return;
  }
  // Mirrors of older versions hold the EFS names as they are.
  const bool encoded = fs::exists(fs::path(core_.run.BackupFolder) / kMirrorNamesFile, ec);
  std::vector<fs::path> dirs, files;
  fs::recursive_directory_iterator it(mirror, fs::directory_options::none, ec), end;
  for (; !ec && it != end; it.increment(ec)) {
    const fs::file_status st = it->symlink_status(ec);
    if (ec) break;
    if (it.depth() >= EFSFiles::kMaxDepth) {
      it.disable_recursion_pending();
      LogLine("Saved folder not restored, too deep: " + Shown(it->path().string()));
      continue;
    }
    if (fs::is_directory(st)) {
      dirs.push_back(it->path());
    } else if (fs::is_regular_file(st)) {
      files.push_back(it->path());
    } else {
      LogLine("Saved entry skipped: " + Shown(it->path().string()));
    }
  }
  if (ec) {
    core_.SetSystemError(ec.value());
    core_.ReportError("Could not read the saved user files:" + mirror);
    return;
  }
  std::sort(dirs.begin(), dirs.end());
  std::sort(files.begin(), files.end());
  // What the saved backup holds and cannot be put back leaves the modem without it: the run
  // fails and the backup stays.
  for (const auto& d : dirs) {
    const auto efsPath = EfsPathFromMirror(mirror, d.string(), encoded);
    if (!efsPath) {
      core_.ReportError("Saved folder cannot be restored: " + Shown(d.string()));
      return;
    }
    efs_.EFSDirList.push_back("/" + *efsPath);
  }
  for (const auto& f : files) {
    const auto efsPath = EfsPathFromMirror(mirror, f.string(), encoded);
    const uintmax_t size = fs::file_size(f, ec);
    if (!efsPath || ec || size > std::numeric_limits<uint32_t>::max()) {
      core_.ReportError("Saved file cannot be restored: " + Shown(f.string()));
      return;
    }
    UserDataFilesList.push_back("/" + *efsPath);
    UserDataLocalList.push_back(f.string());
    UserDataFileSizes.push_back(static_cast<uint32_t>(size));
  }
  for (const auto& dir : efs_.EFSDirList) AddRestoreFolder(dir, true);
  for (const auto& file : UserDataFilesList) AddRestoreFolder(file, false);
}

void UserDataPreservation::RestoreUserData() {
  efs_.ResetAnswerWatch();
  if (core_.run.bRestoreFromSaved) LoadSavedMirror();
  for (const auto& dir : restoreFolders_) {
    if (!core_.Healthy()) return;
    if (efs_.EFSMakeDir(dir) != 0) {
      if (core_.Healthy()) core_.ReportError("[EFS] Fail to create directory");
      return;
    }
  }
  for (size_t j = 0; j < UserDataFilesList.size(); ++j) {
    const std::string& path = UserDataFilesList[j];
    if (!core_.Healthy()) return;
    if (efs_.EFSOpenForWrite(path) != 0) {
      if (core_.Healthy()) core_.ReportError("[upload] Fail to upload part of EFS file command");
      return;
    }
    const uint32_t size = j < UserDataFileSizes.size() ? UserDataFileSizes[j] : 0;
    if (size != 0 && core_.Healthy()) {
      if (j >= UserDataLocalList.size() || efs_.EFSUploadFile(UserDataLocalList[j], size) != 0) {
        if (core_.Healthy()) core_.ReportError("[upload] Fail to upload part of EFS file command");
        return;
      }
    }
    if (!core_.Healthy()) return;
    if (efs_.EFSCloseFile() != 0) {
      if (core_.Healthy()) core_.ReportError("[upload] Fail to close part of EFS packet");
      return;
    }
    Progress(path + " file OK");
  }
}

}  // namespace zovir
