#pragma once
#include <string>
#include <vector>

#include "engine/engine_core.h"
#include "engine/phases.h"
#include "link/link.h"
#include "preservation/backup_lock.h"

namespace zovir {

// The serial number and IMEI in a scrambled identity backup (EncryptAT.bak), read in memory:
// no plain copy is written.
SavedIdentity ReadScrambledIdentity(const std::string& encryptAtPath);

// The backup folders of a run below `BackupFilePath`: locks, completion records and the
// removal of plain identity copies.
class BackupFolderGuard final : public BackupGuard {
 public:
  explicit BackupFolderGuard(EngineCore& core);
  BackupFolderGuard(EngineCore& core, Link&) : BackupFolderGuard(core) {}

  bool TakeBackupFolder(const std::string& folderName, std::string& why) override;
  void ReleaseBackupFolders() override { locks_.ReleaseAll(); }
  bool SealBackup(const std::string& folder, const std::string& serial, const std::string& created,
                  std::string& why) override;
  bool CheckSavedBackup(const std::string& folder, std::string& why) override;
  SavedIdentity ReadSavedIdentity(const std::string& folder) override;
  std::string UnitMismatch(const SavedIdentity& saved) override;
  void RemovePlainIdentityCopies() override;
  bool ModemWrittenAfter(const std::string& folder) override;
  bool MarkModemWritten(const std::string& folder, std::string& why) override;
  bool MarkUpdatePassed(const std::string& folder, std::string& why) override;
  bool SetAside(const std::string& folder, std::string& why) override;
  std::vector<std::string> BackupsAwaitingRestore(const std::string& folderName) override;

 private:
  EngineCore& core_;
  BackupFolderLocks locks_;
};

}  // namespace zovir
