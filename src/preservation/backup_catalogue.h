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

}  // namespace zovir
