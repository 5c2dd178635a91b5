#include "preservation/backup_catalogue.h"

#include <algorithm>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <system_error>

#include "platform/clock.h"

namespace zovir {

namespace fs = std::filesystem;

namespace {

bool IsBackupFolderName(const std::string& name) {
  return name == "Default" || name.rfind("Default.", 0) == 0 || !SerialOfBackupFolder(name).empty();
}

// "20261210-101010" -> "2026-12-10 10:10:10 UTC"; anything else stays as it is.
std::string ShownStamp(const std::string& stamp) {
  if (stamp.size() != 15 || stamp[8] != '-') return stamp;
  return stamp.substr(0, 4) + "-" + stamp.substr(4, 2) + "-" + stamp.substr(6, 2) + " " + stamp.substr(9, 2) + ":" +
         stamp.substr(11, 2) + ":" + stamp.substr(13, 2) + " UTC";
}

std::string ModifiedAt(const fs::path& folder) {
  std::error_code ec;
  const auto written = fs::last_write_time(folder, ec);
  if (ec) return "unknown";
  const auto system = std::chrono::file_clock::to_sys(written);
  std::tm tm{};
  if (!UtcCalendarTime(std::chrono::system_clock::to_time_t(system), tm)) return "unknown";
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &tm);
  return text;
}

// What an incomplete backup has on disk.
BackupContents Present(const fs::path& folder) {
  BackupContents c;
  // Without its record it was never followed by a write to the modem.
  c.modem = ModemMark::Untouched;
  std::error_code ec;
  c.identity = fs::is_regular_file(fs::symlink_status(folder / "EncryptAT.bak", ec));
  c.nv = fs::is_regular_file(fs::symlink_status(folder / "nv.bak", ec));
  c.rfNv = fs::is_regular_file(fs::symlink_status(folder / "nv1.bak", ec));
  const fs::path mirror = folder / "EFS";
  if (fs::is_directory(fs::symlink_status(mirror, ec))) {
    for (fs::recursive_directory_iterator it(mirror, ec), end; !ec && it != end; it.increment(ec)) {
      const fs::file_status st = it->symlink_status(ec);
      if (fs::is_regular_file(st)) ++c.userFiles;
      else if (fs::is_directory(st)) ++c.userFolders;
    }
  }
  return c;
}

}  // namespace

std::vector<BackupListing> ListBackups(const std::string& root) {
  std::vector<BackupListing> out;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(root, ec)) {
    const std::string name = e.path().filename().string();
    if (e.is_symlink(ec) || !e.is_directory(ec) || !IsBackupFolderName(name)) continue;
    BackupListing b;
    b.folder = name;
    b.path = e.path().string();
    b.serial = SerialOfBackupFolder(name);
    b.complete = CheckBackupRecord(b.path, b.contents, b.problem);
    if (b.complete) {
      b.date = ShownStamp(b.contents.created);
    } else {
      b.contents = Present(e.path());
      b.date = ModifiedAt(e.path());
    }
    out.push_back(std::move(b));
  }
  std::sort(out.begin(), out.end(), [](const BackupListing& a, const BackupListing& b) {
    return a.serial != b.serial ? a.serial < b.serial : a.date != b.date ? a.date < b.date : a.folder < b.folder;
  });
  return out;
}

std::string DescribeContents(const BackupContents& c) {
  std::string s;
  auto add = [&s](const std::string& part) { s += (s.empty() ? "" : ", ") + part; };
  if (c.identity) add("identity");
  if (c.nv) add("NV");
  if (c.rfNv) add("RF NV");
  if (c.userFiles > 0) add(std::to_string(c.userFiles) + (c.userFiles == 1 ? " user file" : " user files"));
  return s.empty() ? "nothing" : s;
}

std::string DescribeModemMark(ModemMark mark) {
  switch (mark) {
    case ModemMark::Untouched: return "modem not written";
    case ModemMark::Written: return "modem written, not restored";
    case ModemMark::Finished: return "modem written, update passed";
    case ModemMark::SetAside: return "modem written, set aside";
  }
  return "modem written, not restored";
}

std::vector<BackupListing> BackupsAwaitingRestore(const std::string& root, const std::string& folderName) {
  const std::string key = BackupKeyOf(folderName);
  std::vector<BackupListing> out;
  for (auto& b : ListBackups(root))
    if (b.complete && b.contents.modem == ModemMark::Written && BackupKeyOf(b.folder) == key) out.push_back(std::move(b));
  return out;  // the list is ordered by serial number and date already
}

}  // namespace zovir
