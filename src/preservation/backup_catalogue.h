#pragma once
#include <string>
#include <vector>

#include "preservation/backup_record.h"

namespace zovir {

// One backup in the backup root, as a user chooses it for a restore.
struct BackupListing {
  std::string folder;  // its name in the root: what a restore from a saved backup takes
  std::string path;
  std::string serial;
  std::string date;  // "YYYY-MM-DD HH:MM:SS UTC": when it was completed, else last changed
  BackupContents contents;  // from its record when complete, else from the files there
  bool complete = false;
  std::string problem;  // why it is not complete
};

// Every backup folder in `root` ("SN[x]", "SN[x].<stamp>", "Default"), ordered by serial
// number and date. A root that does not exist holds none.
std::vector<BackupListing> ListBackups(const std::string& root);

// "identity, NV, RF NV, 3 user files" (or "nothing").
std::string DescribeContents(const BackupContents& contents);

// What became of the modem after the backup, for a person: "modem not written",
// "modem written, not restored", "modem written, update passed", "modem written, set aside".
std::string DescribeModemMark(ModemMark mark);

// The complete backups of `folderName`'s serial number (BackupKeyOf) after which the modem was
// written and that no update has restored or set aside since: each may be the only copy of the
// modem's own data. Oldest first.
std::vector<BackupListing> BackupsAwaitingRestore(const std::string& root, const std::string& folderName);

}  // namespace zovir
