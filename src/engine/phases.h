#pragma once
#include <string>
#include <vector>

namespace zovir {

// The engine's collaborators. TCommsThread calls these in its phase order; production
// implementations live in protocols/ and preservation/, tests substitute doubles. Unless
// stated, an operation reports its own failures through the EngineCore (ReportError) and
// its outcome is the engine's ErrorCode.

// Switch to download mode and upload the flash programmer.
class ProgrammerUpload {
 public:
  virtual ~ProgrammerUpload() = default;
  // 0 on success, -1 when ErrorCode was already set, a positive protocol code otherwise.
  virtual int ProgrammerPhase() = 0;
};

// The image plan and the final reset or power-off of the streaming download protocol.
class ImageDownload {
 public:
  virtual ~ImageDownload() = default;
  virtual void DownloadImages() = 0;
  virtual int SendReset() = 0;     // 0 when the modem acknowledged
  virtual int SendPowerOff() = 0;  // 0 when the modem acknowledged
};

// Waiting for the modem to come back and finding its ports again.
class Reconnection {
 public:
  virtual ~Reconnection() = default;
  virtual void WaitForReenumeration(int changeTries, int changeIntervalMs, int arrivalTries,
                                    int arrivalIntervalMs) = 0;
  virtual void CheckAndSearchPorts(int maxSearches, int pauseMs, const std::string& unchangedText) = 0;
  virtual void ReportPortNames() = 0;
  virtual bool ResetAndReconnect() = 0;
};

// NV items over DIAG and their backup files.
class NVService {
 public:
  virtual ~NVService() = default;
  virtual int GetPlatformID() = 0;  // the platform byte, or -1
  virtual void WriteNVItemList() = 0;
  virtual void BuildNVLists() = 0;
  virtual void BackupNV() = 0;
  virtual void BackupRFNV() = 0;
  virtual void BackupFullNV() = 0;
  virtual void RestoreNV() = 0;
  virtual void RestoreRFNV() = 0;
  virtual void RestoreFullNV() = 0;
};

// AT commands on the modem port.
class ATChannel {
 public:
  virtual ~ATChannel() = default;
  // True when the modem answered "OK"; `reply` receives the value of the answer.
  virtual bool SendATCommand(const std::string& command, std::string& reply) = 0;
  virtual void RunStartATList() = 0;
  virtual void RunEndATList() = 0;
  virtual void ShowModemVersion() = 0;
};

enum class FileCopyResult { Ok, SourceOpenFailed, DestinationFailed };

// Identity values (SN, IMEI, test information) and their scrambled backup.
class IdentityService {
 public:
  virtual ~IdentityService() = default;
  virtual int ReadIdentity() = 0;  // 1, or 0 when the modem port is not open
  virtual void WriteIdentityBackup() = 0;
  // Copies `source` into `destination` with every byte +1 (Scramble) or -1 (Unscramble).
  // Ok only when the destination was written completely and verified.
  virtual FileCopyResult ScrambleFile(const std::string& source, const std::string& destination) = 0;
  virtual FileCopyResult UnscrambleFile(const std::string& source, const std::string& destination) = 0;
  virtual int RestoreIdentity() = 0;  // from run.atRestoreFile; 1 on success
  virtual int RunResetHelper() = 0;  // 1 on success
};

// User files in the modem's EFS.
class UserDataService {
 public:
  virtual ~UserDataService() = default;
  virtual void PrepareUserData() = 0;
  virtual void BackupUserData() = 0;
  virtual void RestoreUserData() = 0;
};

// Local folders of the backup. Deletion refuses anything that is not a folder strictly
// below the backup root.
class LocalFolders {
 public:
  virtual ~LocalFolders() = default;
  virtual bool MakeLocalFolder(const std::string& path) = 0;  // false: "Could not create folder!" reported
  virtual int DeleteLocalFolder(const std::string& path) = 0;  // 1 when the folder is gone
};

// The serial number and IMEI a saved identity backup holds.
struct SavedIdentity {
  bool snSaved = false, imeiSaved = false;
  std::string sn, imei;
};

// The backup folders as a whole: which run holds one, and whether one is complete.
class BackupGuard {
 public:
  virtual ~BackupGuard() = default;
  // Takes the backups of `folderName`'s serial number in the backup root for this run. False
  // with `why` when another run holds them (two modems with one serial number).
  virtual bool TakeBackupFolder(const std::string& folderName, std::string& why) = 0;
  virtual void ReleaseBackupFolders() = 0;
  // Marks `folder` complete once every file of it is on the disk; false with `why`.
  virtual bool SealBackup(const std::string& folder, const std::string& serial, const std::string& created,
                          std::string& why) = 0;
  // True when `folder` holds a complete backup that nothing altered since; otherwise `why`.
  virtual bool CheckSavedBackup(const std::string& folder, std::string& why) = 0;
  virtual SavedIdentity ReadSavedIdentity(const std::string& folder) = 0;
  // Empty when the modem's identity read in this run (what of it was read) matches `saved`;
  // otherwise a message that names both units.
  virtual std::string UnitMismatch(const SavedIdentity& saved) = 0;
  // Removes plain identity copies that runs which ended abruptly left in the backup root's
  // folders, except in folders another run holds.
  virtual void RemovePlainIdentityCopies() = 0;

  // False only when the record of the complete backup `folder` says that nothing was written
  // to the modem after it (the modem holds its data still, or newer ones).
  virtual bool ModemWrittenAfter(const std::string& folder) = 0;
  // Each records in the completion record of `folder`, durably, what became of the modem: it is
  // about to be erased or written; the update that made the backup passed; a later update goes
  // on without restoring it. False with `why`.
  virtual bool MarkModemWritten(const std::string& folder, std::string& why) = 0;
  virtual bool MarkUpdatePassed(const std::string& folder, std::string& why) = 0;
  virtual bool SetAside(const std::string& folder, std::string& why) = 0;
  // The complete backups of `folderName`'s serial number after which the modem was written and
  // that were neither restored nor set aside since (oldest first).
  virtual std::vector<std::string> BackupsAwaitingRestore(const std::string& folderName) = 0;
};

// Everything TCommsThread calls besides the link. Non-owning.
struct EnginePhases {
  ProgrammerUpload* programmer = nullptr;
  ImageDownload* images = nullptr;
  Reconnection* reconnection = nullptr;
  NVService* nv = nullptr;
  ATChannel* at = nullptr;
  IdentityService* identity = nullptr;
  UserDataService* userData = nullptr;
  LocalFolders* folders = nullptr;
  BackupGuard* guard = nullptr;
};

}  // namespace zovir
