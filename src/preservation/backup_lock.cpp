#include "preservation/backup_lock.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace zovir {

std::string BackupFolderLocks::LockPath(const std::string& key) const {
  std::string name = key;
  for (char& c : name)
    if (c == '/' || c == '\\' || c == '\0') c = '_';
  return root_ + "/." + name + ".lock";
}

bool BackupFolderLocks::Take(const std::string& key, std::string& why) {
  if (Holds(key)) return true;
  if (root_.empty()) {
    why = "there is no backup folder";
    return false;
  }
  // The backup root is made here when it is not there yet: it is the user's alone.
  CreatePrivateFolders(root_);
  const std::string path = LockPath(key);
  // The holder removes its lock file when it lets go; a lock taken on a file that was removed
  // (or replaced) meanwhile protects nothing, so the file is opened again then.
  for (int attempt = 0; attempt < 5; ++attempt) {
    FileHandle file = CreatePrivateFile(path, CreateMode::Keep);
    if (!file) {
      why = "cannot open the lock " + path + ": " + std::strerror(errno);
      return false;
    }
    if (!file.Lock(false)) {
      const int error = errno;
      why = error == EWOULDBLOCK ? "another run is using the backup " + key
                                 : "cannot lock " + path + ": " + std::strerror(error);
      return false;
    }
    const std::optional<FileIdentity> held = file.Identity();
    if (held && held == IdentityAt(path)) {
      held_[key] = std::move(file);
      return true;
    }
  }
  why = "cannot lock " + path + ": it keeps changing";
  return false;
}

void BackupFolderLocks::Release(const std::string& key) {
  auto it = held_.find(key);
  if (it == held_.end()) return;
  // Removed while still held, so nobody can lock the old file after this point.
  std::error_code ec;
  std::filesystem::remove(LockPath(key), ec);
  held_.erase(it);
}

void BackupFolderLocks::ReleaseAll() {
  while (!held_.empty()) Release(held_.begin()->first);
}

}  // namespace zovir
