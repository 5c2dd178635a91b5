#include "preservation/backup_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

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
  if (::mkdir(root_.c_str(), 0700) != 0 && errno == ENOENT) {
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(root_).parent_path(), ec);
    ::mkdir(root_.c_str(), 0700);
  }
  const std::string path = LockPath(key);
  // The holder removes its lock file when it lets go; a lock taken on a file that was removed
  // (or replaced) meanwhile protects nothing, so the file is opened again then.
  for (int attempt = 0; attempt < 5; ++attempt) {
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
      why = "cannot open the lock " + path + ": " + std::strerror(errno);
      return false;
    }
    int rc;
    while ((rc = ::flock(fd, LOCK_EX | LOCK_NB)) != 0 && errno == EINTR) {
    }
    if (rc != 0) {
      const int error = errno;
      ::close(fd);
      why = error == EWOULDBLOCK ? "another run is using the backup " + key
                                 : "cannot lock " + path + ": " + std::strerror(error);
      return false;
    }
    struct stat held {}, named {};
    if (::fstat(fd, &held) == 0 && ::lstat(path.c_str(), &named) == 0 && held.st_dev == named.st_dev &&
        held.st_ino == named.st_ino) {
      held_[key] = fd;
      return true;
    }
    ::close(fd);
  }
  why = "cannot lock " + path + ": it keeps changing";
  return false;
}

void BackupFolderLocks::Release(const std::string& key) {
  auto it = held_.find(key);
  if (it == held_.end()) return;
  // Removed while still held, so nobody can lock the old file after this point.
  ::unlink(LockPath(key).c_str());
  ::close(it->second);
  held_.erase(it);
}

void BackupFolderLocks::ReleaseAll() {
  while (!held_.empty()) Release(held_.begin()->first);
}

}  // namespace zovir
