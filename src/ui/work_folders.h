#pragma once
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/private_files.h"
#include "platform/system_paths.h"

namespace zovir {

// A start-up failure that ends the program once its message has been shown (a folder that
// cannot be made, a resource that is missing or cannot be written).
class StartupError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Creates every missing folder along the absolute `path` (mode 0700; existing folders are
// fine). Throws StartupError "Could not create folder!" followed by the first partial path
// that could not be made.
void CreateFolderPath(const std::string& path);

// The folders in which the tool may delete anything. A path is removable only when it is
// absolute, not the root, and lies inside one of the roots: the tool's own session folder
// (itself included) or strictly below the backup and log roots (never those roots
// themselves). Links are resolved before the comparison.
class FolderGuard {
 public:
  FolderGuard() = default;
  FolderGuard(std::vector<std::string> ownFolders, std::vector<std::string> keptRoots);
  bool MayRemove(const std::string& path) const;

 private:
  std::vector<std::string> own_;
  std::vector<std::string> kept_;
};

// Deletes the folder `path` and everything in it, without following links out of it.
// 1 when the folder is gone afterwards, 0 otherwise (also when the guard refuses it).
int RemoveFolder(const std::string& path, const FolderGuard& guard);

// Copies the regular file `from` (a helper program a packet carries, or its Config.ini) to
// `to`, the tool's private work folder: mode 0700 when `from` was executable, else 0600. Empty
// when done or when there is no such file; otherwise why it was not copied.
std::string StageFile(const std::string& from, const std::string& to);

// Removes the session folders in `runtimeDir` that belong to runs that are gone (killed,
// crashed): their owner no longer holds the session's lock. Folders of other users, links,
// kept sessions (WorkFolders::Keep) and a folder just being made are left alone. Returns how
// many were removed.
int RemoveAbandonedSessions(const std::string& runtimeDir);

// The folders of one run of the tool. The session folder is made fresh (a new name, mode
// 0700) under the runtime folder and takes the place of the user's temporary path: the work
// folder is its "TempFiles", the second-packet folder its "TempFiles2". The backup root
// lives in the user's data folder so that a backup survives a reboot. Destroying the object
// removes the session folder and nothing else.
//
// The environment cleaners look for "TempFiles" and "TempFiles2" directly inside the
// temporary folder they are given; the folders of a run that crashed are reached by giving
// them its session folder (`--temp-dir <session>` or ZOVIR_TEMP_DIR=<session>). The runtime
// folder itself honours ZOVIR_TEMP_DIR first, so one variable moves the tool and the cleaners
// together.
class WorkFolders {
 public:
  // Throws StartupError when a folder cannot be made. Sessions of runs that are gone are
  // removed first (RemoveAbandonedSessions); this one is locked for the object's life.
  explicit WorkFolders(const SystemPaths& paths);
  ~WorkFolders();
  WorkFolders(const WorkFolders&) = delete;
  WorkFolders& operator=(const WorkFolders&) = delete;

  const std::string& TempPath() const { return session_; }
  std::string WorkFolder() const { return session_ + "/TempFiles"; }
  std::string SecondPacketFolder() const { return session_ + "/TempFiles2"; }
  const std::string& BackupFolder() const { return paths_.backupRoot; }
  const std::string& LogFolder() const { return paths_.logDir; }
  const FolderGuard& Guard() const { return guard_; }

  // Window destruction: the work folder, the second-packet folder when there is one, then
  // the session folder. True when all of them are gone.
  bool RemoveWorkFolders();
  // Leaves the session folder on disk at exit (for inspection).
  void Keep();

 private:
  SystemPaths paths_;
  std::string session_;
  FolderGuard guard_;
  FileHandle owner_;  // the session's ".owner" file, locked while the run lives
  bool keep_ = false;
};

}  // namespace zovir
