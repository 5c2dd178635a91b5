#pragma once
#include <map>
#include <string>

#include "platform/private_files.h"

namespace zovir {

// The backups of one serial number belong to one run at a time. A run takes the key of its
// backup folder (BackupKeyOf) as a lock file beside the folders, ".<key>.lock" in the backup
// root; the lock ends with the holder (also when its process is killed).
class BackupFolderLocks {
 public:
  explicit BackupFolderLocks(std::string root) : root_(std::move(root)) {}
  ~BackupFolderLocks() { ReleaseAll(); }
  BackupFolderLocks(const BackupFolderLocks&) = delete;
  BackupFolderLocks& operator=(const BackupFolderLocks&) = delete;

  // Takes `key` without waiting. True when this holder has it (also when it had it already);
  // false with `why` when another holder has it or the lock file cannot be used.
  bool Take(const std::string& key, std::string& why);
  bool Holds(const std::string& key) const { return held_.count(key) != 0; }
  void Release(const std::string& key);
  void ReleaseAll();

 private:
  std::string LockPath(const std::string& key) const;
  std::string root_;
  std::map<std::string, FileHandle> held_;  // key -> its open, locked lock file
};

}  // namespace zovir
