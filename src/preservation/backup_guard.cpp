#include "preservation/backup_guard.h"

#include <filesystem>
#include <vector>

#include "common/text.h"
#include "platform/profile_file.h"
#include "platform/regular_file.h"
#include "preservation/at_channel.h"
#include "preservation/backup_catalogue.h"
#include "preservation/backup_record.h"
#include "preservation/identity_backup.h"

namespace zovir {

namespace fs = std::filesystem;

namespace {

// Identity values as a comparison sees them: without quotes, line ends and outer blanks.
std::string Comparable(std::string_view value) { return std::string(TrimBlanks(StripQuotes(value))); }

std::string Named(const char* what, bool known, const std::string& value) {
  return std::string(what) + " " + (known ? "\"" + value + "\"" : std::string("(none)"));
}

}  // namespace

SavedIdentity ReadScrambledIdentity(const std::string& encryptAtPath) {
  SavedIdentity saved;
  std::string text;
  {
    std::error_code ec;
    if (!fs::is_regular_file(fs::symlink_status(encryptAtPath, ec))) return saved;
    std::FILE* f = OpenStdioFile(encryptAtPath, "rb");
    if (!f) return saved;
    char chunk[4096];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0 && text.size() < (1u << 20)) text.append(chunk, n);
    std::fclose(f);
  }
  for (char& c : text) c = static_cast<char>(UnscrambledIdentityByte(static_cast<uint8_t>(c)));
  const ProfileFile ini = ProfileFile::FromText(std::move(text));
  saved.snSaved = ini.GetInt("BACKUP", "bSN", 0) != 0;
  saved.imeiSaved = ini.GetInt("BACKUP", "bIMEI", 0) != 0;
  if (saved.snSaved) saved.sn = Comparable(ini.GetString("Data", "SN", ""));
  if (saved.imeiSaved) saved.imei = Comparable(ini.GetString("Data", "IMEI", ""));
  return saved;
}

BackupFolderGuard::BackupFolderGuard(EngineCore& core) : core_(core), locks_(core.cfg.BackupFilePath) {}

bool BackupFolderGuard::TakeBackupFolder(const std::string& folderName, std::string& why) {
  return locks_.Take(BackupKeyOf(folderName), why);
}

bool BackupFolderGuard::SealBackup(const std::string& folder, const std::string& serial, const std::string& created,
                                   std::string& why) {
  // A run seals its backup before anything is written to the modem.
  return zovir::SealBackup(folder, serial, created, why, ModemMark::Untouched);
}

bool BackupFolderGuard::CheckSavedBackup(const std::string& folder, std::string& why) {
  BackupContents contents;
  if (!CheckBackupRecord(folder, contents, why)) return false;
  // A backup that holds no identity or no NV cannot bring a modem back.
  if (core_.cfg.bRestore && (!contents.identity || !contents.nv)) {
    why = std::string("it holds no ") + (!contents.identity ? "EncryptAT.bak" : "nv.bak");
    return false;
  }
  return true;
}

SavedIdentity BackupFolderGuard::ReadSavedIdentity(const std::string& folder) {
  return ReadScrambledIdentity((fs::path(folder) / "EncryptAT.bak").string());
}

std::string BackupFolderGuard::UnitMismatch(const SavedIdentity& saved) {
  const EngineRunState& run = core_.run;
  const std::string sn = Comparable(run.StringSN), imei = Comparable(run.StringIMEI);
  const bool snDiffers = run.bSNRead && saved.snSaved && sn != saved.sn;
  const bool imeiDiffers = run.bIMEIRead && saved.imeiSaved && imei != saved.imei;
  if (!snDiffers && !imeiDiffers) return {};
  return "The modem is another unit: it reports " + Named("SN", run.bSNRead, sn) + " and " +
         Named("IMEI", run.bIMEIRead, imei) + ", the saved backup holds " + Named("SN", saved.snSaved, saved.sn) +
         " and " + Named("IMEI", saved.imeiSaved, saved.imei) + "; nothing was written to the modem";
}

void BackupFolderGuard::RemovePlainIdentityCopies() {
  const std::string& root = core_.cfg.BackupFilePath;
  std::error_code ec;
  if (root.empty() || !fs::is_directory(fs::symlink_status(root, ec))) return;
  std::vector<fs::path> folders{fs::path(root)};
  for (const auto& e : fs::directory_iterator(root, ec))
    if (e.is_directory(ec) && !e.is_symlink(ec)) folders.push_back(e.path());
  for (const auto& folder : folders) {
    const bool isRoot = folder == fs::path(root);
    const std::string key = BackupKeyOf(folder.filename().string());
    bool present = false;
    for (const char* name : kPlainIdentityFiles) present |= fs::exists(fs::symlink_status(folder / name, ec));
    if (!present) continue;
    // A folder another run holds may be between its identity read and the scrambling.
    const bool ours = isRoot || locks_.Holds(key);
    std::string why;
    if (!ours && !locks_.Take(key, why)) continue;
    for (const char* name : kPlainIdentityFiles)
      if (fs::remove(folder / name, ec))
        core_.ReportStatus(csInfo, "Plain identity copy of an earlier run removed: " + (folder / name).string(), mtInfo);
    if (!ours) locks_.Release(key);
  }
}

bool BackupFolderGuard::ModemWrittenAfter(const std::string& folder) {
  BackupContents contents;
  std::string why;
  // A record that cannot be read says nothing: the backup may be the only copy.
  if (!CheckBackupRecord(folder, contents, why)) return true;
  return contents.modem != ModemMark::Untouched;
}

bool BackupFolderGuard::MarkModemWritten(const std::string& folder, std::string& why) {
  return MarkBackup(folder, ModemMark::Written, why);
}

bool BackupFolderGuard::MarkUpdatePassed(const std::string& folder, std::string& why) {
  return MarkBackup(folder, ModemMark::Finished, why);
}

bool BackupFolderGuard::SetAside(const std::string& folder, std::string& why) {
  return MarkBackup(folder, ModemMark::SetAside, why);
}

std::vector<std::string> BackupFolderGuard::BackupsAwaitingRestore(const std::string& folderName) {
  std::vector<std::string> out;
  for (const BackupListing& b : zovir::BackupsAwaitingRestore(core_.cfg.BackupFilePath, folderName))
    out.push_back(b.path);
  return out;
}

}  // namespace zovir
