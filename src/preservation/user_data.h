#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "engine/engine_core.h"
#include "engine/phases.h"
#include "link/link.h"
#include "preservation/efs_files.h"
#include "preservation/local_folders.h"

namespace zovir {

// Configured user files and folders of the modem's EFS, copied into the backup's mirror
// (`BackupFolder`/EFS) before the download and written back afterwards. Works on its own
// copies of the configured lists. A configured entry or a name from the modem that cannot be
// mirrored safely fails the preparation, naming it; no local path outside the mirror is ever
// created or written.
class UserDataPreservation final : public UserDataService {
 public:
  UserDataPreservation(EngineCore& core, Link& link);

  void PrepareUserData() override;
  void BackupUserData() override;
  // After a run that backed up itself: the lists of that backup. In restore-from-saved mode:
  // the files, their EFS paths and sizes found in the saved mirror.
  void RestoreUserData() override;

  // The work lists, index-aligned: EFS path, local mirror path, size read from the modem.
  std::vector<std::string> UserDataFilesList;
  std::vector<std::string> UserDataDirList;
  std::vector<std::string> UserDataLocalList;
  std::vector<uint32_t> UserDataFileSizes;

 private:
  void LoadSavedMirror();
  // Writes the note that the mirror's names are encoded (kMirrorNamesFile).
  bool MarkEncodedMirror();
  void AddRestoreFolder(const std::string& efsPath, bool withItself);
  void LogLine(const std::string& text);
  void Progress(const std::string& text);

  EngineCore& core_;
  EFSFiles efs_;
  BackupFolders folders_;
  // Folders created on the modem before the files, in order.
  std::vector<std::string> restoreFolders_;
};

}  // namespace zovir
