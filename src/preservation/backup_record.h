#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace zovir {

// The file that marks a backup folder complete. It is written last, after every other file of
// the backup was synced, and lists each of them with its size and CRC-32; a restore believes a
// backup only when its record is there, intact, and every file still matches it.
inline constexpr const char* kBackupRecordName = "backup-record.txt";

// The plain identity copies: at1.bak lives between the identity read and its scrambling,
// at.bak during the identity restore. Neither belongs to a backup.
inline constexpr const char* kPlainIdentityFiles[] = {"at1.bak", "at.bak"};

// What became of the modem after its backup was complete, as the record says. A record written
// before the tool kept this says nothing and counts as Written: it may be the only copy.
enum class ModemMark {
  Untouched,  // nothing was written to the modem: it holds these data still, or newer ones
  Written,    // the modem was about to be erased or written: this may be its only copy now
  Finished,   // the update that made it wrote the modem and passed: kept, no longer needed
  SetAside,   // a later update was told to go on without restoring it
};

// The word of a mark in the record and in listings: "untouched", "written", "finished",
// "set-aside".
const char* ModemMarkName(ModemMark mark);

// What a backup holds, as its record lists it.
struct BackupContents {
  std::string serial;   // the serial number the backup was made for ("" for "Default")
  std::string created;  // "YYYYMMDD-HHMMSS" (UTC)
  bool identity = false;  // EncryptAT.bak
  bool nv = false;        // nv.bak
  bool rfNv = false;      // nv1.bak
  int userFiles = 0;      // files below EFS/
  int userFolders = 0;    // folders below EFS/ (EFS itself not counted)
  std::vector<std::string> files;  // every file the record lists, relative to the folder
  ModemMark modem = ModemMark::Written;
};

// Syncs every file and folder below `folder` and then writes its record (atomically, 0600).
// False with `why` when a file cannot be read or synced, an entry is neither a plain file nor a
// folder, or the record cannot be written.
// `modem` is what became of the modem so far (a run seals before it writes: Untouched).
bool SealBackup(const std::string& folder, const std::string& serial, const std::string& created,
                std::string& why, ModemMark modem = ModemMark::Written);

// Records `mark` in the completion record of `folder`, which must be intact (its own check value);
// the files it lists are not read again. The new record replaces the old one atomically and is
// on the disk when this returns true; false with `why` otherwise.
bool MarkBackup(const std::string& folder, ModemMark mark, std::string& why);

// Reads the record of `folder` and compares the folder with it: every listed file present with
// its size and CRC-32, every listed folder present, nothing else there (plain identity copies
// aside). True when the backup is complete and unaltered; otherwise `why` says what is wrong.
bool CheckBackupRecord(const std::string& folder, BackupContents& contents, std::string& why);

// The key that ties a backup folder to its serial number: "SN[x]" for "SN[x]" and for a folder
// set aside as "SN[x].<stamp>"; other names are their own key.
std::string BackupKeyOf(const std::string& folderName);
// The serial number in a folder name ("SN[x]" or "SN[x].<stamp>"), or "" when it has none.
std::string SerialOfBackupFolder(const std::string& folderName);

}  // namespace zovir
