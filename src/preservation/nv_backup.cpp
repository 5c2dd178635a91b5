#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <unordered_set>

#include "platform/private_files.h"
#include "platform/regular_file.h"
#include "preservation/nv_items.h"

namespace zovir {

namespace {

constexpr uint8_t kNVRead = 0x26;
constexpr uint8_t kNVWrite = 0x27;
constexpr uint8_t kSubsystemDispatch = 0x4B;
constexpr int kBackupFailAt = 99;
constexpr int kBackupWaitFrom = 2;
constexpr int kRestoreFailAt = 99;
constexpr int kRestoreWaitFrom = 3;
constexpr uint32_t kRFHeaderSize = 12;
constexpr uint32_t kRFRecordHeader = 4;  // item code + data length
// The largest data an RF read reply can carry in the response buffer; a record claiming
// more cannot have come from a backup.
constexpr uint32_t kRFMaxData = Link::kResponseSize - NVItems::kRFReplyMinLength;
// RF status word value of a factory-test NV write the modem carried out.
constexpr uint8_t kRFWriteDone = 2;
// NV statuses by which a modem says it holds nothing under an id.
constexpr uint16_t kItemInactive = 5;
constexpr uint16_t kItemNotDefined = 8;
// How often a swept id is read when the modem answers that the read failed. The item may well
// be there; one failed read among the thousands of a sweep must not cost the whole update, but
// an item that never reads fails the backup.
constexpr int kSweepReadAttempts = 5;
constexpr uint32_t kSweepRereadWaitMs = 500;
// The section names of the tables whose built-in rows are incomplete (see SpanOf).
constexpr const char* kLteCalibrationSection = "lte_calibration";
constexpr const char* kFullSection = "full";

// The engine error of a restore that could not put every backed-up item back.
std::string RefusedItemsText(const std::vector<std::string>& labels) {
  std::string text = "Fail to restore NV items: ";
  for (size_t i = 0; i < labels.size(); ++i) text += (i ? ", " : "") + labels[i];
  return text;
}

uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

// The ids a table's rows span, lowest to highest; empty for an empty table.
std::optional<std::pair<int32_t, int32_t>> SpanOf(const NVItemTable& table) {
  std::optional<std::pair<int32_t, int32_t>> span;
  for (const NVItemEntry& e : table) {
    if (e.Id < 0) continue;
    if (!span) span.emplace(e.Id, e.Id);
    span->first = std::min(span->first, e.Id);
    span->second = std::max(span->second, e.Id);
  }
  return span;
}

}  // namespace

// A backup or restore file, closed on every path.
class NVBackupFile {
 public:
  // Backups hold a modem's own data: the user's alone, never written through a link.
  bool Create(const std::string& path) {
    file_ = CreatePrivateFile(path, CreateMode::Truncate);
    return file_.IsOpen();
  }
  bool OpenForReading(const std::string& path) {
    file_ = OpenRegularFile(path);
    return file_.IsOpen();
  }
  bool Size(uint64_t& size) {
    const std::optional<uint64_t> n = file_.Size();
    if (n) size = *n;
    return n.has_value();
  }
  bool Write(const uint8_t* data, size_t n) { return file_.WriteAll(data, n); }
  // Reads exactly n bytes; a short file is a failure.
  bool Read(uint8_t* data, size_t n) {
    if (file_.ReadFull(data, n) == n) return true;
    if (errno == 0) errno = EIO;
    return false;
  }
  // The backup is what the restore relies on after the flash is rewritten: it must be on
  // disk, not in a cache, before the run goes on.
  bool Finish() {
    const bool synced = file_.Sync();
    const int saved = errno;
    const bool closed = file_.Close();
    if (!synced) errno = saved;
    return synced && closed;
  }

 private:
  FileHandle file_;
};

void NVItems::FileError(const std::string& text, int error) {
  core_.SetSystemError(error);
  core_.ReportError(text);
}

bool NVItems::SkipsUITItem(int32_t id) const {
  if (id != 6503 && id != 6504) return false;
  const int p = core_.cfg.ProjectType;
  return !(core_.cfg.UIT_NewWays == 0 && (p == 38 || p == 39 || p == 48));
}

std::string NVItems::RecordLabel(int32_t id, size_t position, const NVItemTable& primary,
                                 const NVItemTable* secondary) const {
  const std::string prefix = "[" + std::to_string(id) + "]";
  if (position < primary.size() && primary[position].Id == id) return prefix + primary[position].Name;
  for (const NVItemTable* t : {&primary, secondary}) {
    if (t == nullptr) continue;
    for (const NVItemEntry& e : *t)
      if (e.Id == id) return prefix + e.Name;
  }
  return prefix + tables_.NameOf(id);
}

std::string NVItems::SavedOr(const std::string& path, const char* fileName) const {
  if (!core_.run.bRestoreFromSaved) return path;
  return (std::filesystem::path(core_.run.SavedBackupFolder) / fileName).string();
}

std::optional<std::pair<int32_t, int32_t>> NVItems::FullSweep() const {
  // A packet that lists the items is the authority on them: nothing beyond its list is read.
  if (tables_.Supplies(kFullSection)) return std::nullopt;
  return SpanOf(tables_.full);
}

void NVItems::BuildNVLists() {
  const EngineConfig& c = core_.cfg;
  // A packet that carries the vendor's complete tables knows better than the built-in rows.
  if (!c.PacketFolder.empty()) {
    NVItemTables packet;
    std::string error;
    if (!LoadPacketNVTables(c.PacketFolder, packet, error)) {
      core_.ReportError("NV item tables of the packet cannot be used: " + error);
      return;
    }
    tables_ = std::move(packet);
  }
  baseSweep_.reset();
  baseFromPacket_ = tables_.Supplies("base");
  if (!UsesFullNVList(c)) {
    baseList_ = tables_.base;
    const int p = c.ProjectType;
    const bool cdmaProject = p == 36 || p == 37 || p == 38 || p == 39 || p == 41 || p == 48;
    if (c.PlatformType == 2 || cdmaProject) {
      baseList_.insert(baseList_.end(), tables_.cdmaCalibration.begin(), tables_.cdmaCalibration.end());
      baseFromPacket_ = baseFromPacket_ || tables_.Supplies("cdma_calibration");
      if (c.RTRECFG != 0 && (p == 36 || p == 37)) {
        baseList_.insert(baseList_.end(), tables_.cdmaIdentity.begin(), tables_.cdmaIdentity.end());
        baseFromPacket_ = baseFromPacket_ || tables_.Supplies("cdma_identity");
      }
    } else if (c.PlatformType == 3) {
      baseList_.insert(baseList_.end(), tables_.lteCalibration.begin(), tables_.lteCalibration.end());
      // Only the built-in rows need the sweep; a packet's list is complete.
      if (tables_.Supplies(kLteCalibrationSection))
        baseFromPacket_ = true;
      else
        baseSweep_ = SpanOf(tables_.lteCalibration);
    }
    if (c.strLTEType == "LTE")
      rfList_ = tables_.rf;
    else
      rfList_.clear();
  }
  written_.clear();
  written_.reserve(baseList_.size());
}

void NVItems::BackupNV() { BackupList(Variant::Base); }
void NVItems::BackupFullNV() { BackupList(Variant::Full); }
void NVItems::RestoreNV() { RestoreList(Variant::Base); }
void NVItems::RestoreFullNV() { RestoreList(Variant::Full); }

void NVItems::BackupList(Variant variant) {
  watch_.Reset();
  LogLine("Backup NV Start.");
  const bool base = variant == Variant::Base;
  const NVItemTable& list = base ? baseList_ : tables_.full;
  const std::string& path = core_.cfg.bakFile;
  NVBackupFile file;
  if (path.empty() || !file.Create(path)) {
    FileError("Fail to create......", path.empty() ? ENOENT : errno);
    return;
  }
  if (base) written_.clear();
  const std::optional<std::pair<int32_t, int32_t>> sweep = base ? baseSweep_ : FullSweep();
  // Which list decides what is kept, for the technician reading the run log.
  const bool fromPacket = base ? baseFromPacket_ : tables_.Supplies(kFullSection);
  std::string source = "NV item list: " + std::to_string(list.size()) + " items from " +
                       (fromPacket ? std::string("the packet's ") + kPacketNVTablesFile : "the built-in tables");
  if (sweep) source += ", and every id of " + std::to_string(sweep->first) + "-" + std::to_string(sweep->second);
  LogLine(source);
  for (const NVItemEntry& entry : list) {
    if (base && SkipsUITItem(entry.Id)) continue;
    const std::string label = "[" + std::to_string(entry.Id) + "]" + entry.Name;
    const uint16_t id = static_cast<uint16_t>(entry.Id);
    uint32_t length = 0;
    if (!NVExchange(NVReadRequest(id), {kNVRead, NVReplyShape::Item, id}, kBackupFailAt, kBackupWaitFrom,
                    length)) {
      core_.ReportError(label + ":Fail to backup NV");
      return;
    }
    const int status = CheckNVStatus(link_.Response(), length, label,
                                     base ? NVStatusPolicy::Skip : NVStatusPolicy::Tolerant);
    // Under the skip policy 5 and 6 were logged and the item is not backed up.
    if (status != 0 && status != 5 && status != 6) return;
    if (status == 0) {
      if (!file.Write(link_.Response() + 1, kRecordSize)) {
        FileError("Fail to write NV......", errno);
        return;
      }
      if (base) written_.push_back(entry);
    }
    if (!core_.Healthy()) {
      FailureStatus("Fail to backup NV......");
      return;
    }
  }
  if (sweep && !SweepRange(*sweep, list, base, file)) return;
  if (!file.Finish()) {
    FileError("Fail to write NV......", errno);
    return;
  }
  LogLine("Backup NV......OK");
}

bool NVItems::SweepRange(std::pair<int32_t, int32_t> range, const NVItemTable& listed, bool base,
                         NVBackupFile& file) {
  std::unordered_set<int32_t> done;
  for (const NVItemEntry& e : listed) done.insert(e.Id);
  const std::string span = std::to_string(range.first) + "-" + std::to_string(range.second);
  core_.ReportStatus(csWorking, "Reading NV items " + span + "......", mtProgress);
  uint32_t read = 0, kept = 0, inactive = 0, reread = 0;
  for (int32_t id = range.first; id <= range.second; ++id) {
    if (done.count(id) || (base && SkipsUITItem(id))) continue;
    const auto item = static_cast<uint16_t>(id);
    const std::string label = "[" + std::to_string(id) + "]" + tables_.NameOf(id);
    uint32_t length = 0;
    uint16_t status = 0;
    for (int attempt = 1;; ++attempt) {
      if (!NVExchange(NVReadRequest(item), {kNVRead, NVReplyShape::Item, item}, kBackupFailAt, kBackupWaitFrom,
                      length)) {
        core_.ReportError(label + ":Fail to backup NV");
        return false;
      }
      status = Le16(link_.Response() + length - 4);
      if (status == 0 || status == kItemInactive || status == kItemNotDefined) break;
      // Any other status is a read that failed, not an id without an item: the item may be
      // there, and leaving it out would lose it with the erase.
      if (attempt >= kSweepReadAttempts) {
        CheckNVStatus(link_.Response(), length, label, NVStatusPolicy::Strict);
        return false;
      }
      ++reread;
      if (!core_.Wait(kSweepRereadWaitMs)) {
        FailureStatus("Fail to backup NV......");
        return false;
      }
    }
    ++read;
    const uint8_t* reply = link_.Response();
    if (status != 0) {
      ++inactive;
    } else {
      if (!file.Write(reply + 1, kRecordSize)) {
        FileError("Fail to write NV......", errno);
        return false;
      }
      if (base) written_.push_back({id, tables_.NameOf(id)});
      ++kept;
    }
    if (!core_.Healthy()) {
      FailureStatus("Fail to backup NV......");
      return false;
    }
  }
  LogLine("NV items " + span + ": " + std::to_string(read) + " read, " + std::to_string(kept) + " kept, " +
          std::to_string(inactive) + " inactive" +
          (reread ? ", " + std::to_string(reread) + " failed reads asked again" : std::string()));
  return true;
}

void NVItems::BackupRFNV() {
  watch_.Reset();
  // A failed or stopped run must stay failed; there is nothing to add to it.
  if (!core_.Healthy()) return;
  const std::string& path = core_.run.nv1bakFile;
  NVBackupFile file;
  if (path.empty() || !file.Create(path)) {
    FileError("Fail to create......", path.empty() ? ENOENT : errno);
    return;
  }
  rfBackupWritten_ = true;
  for (const NVItemEntry& entry : rfList_) {
    if (SkipsUITItem(entry.Id)) continue;
    const uint16_t id = static_cast<uint16_t>(entry.Id);
    uint32_t length = 0;
    if (!NVExchange(RFReadRequest(id), {kSubsystemDispatch, NVReplyShape::RFRead, id}, kBackupFailAt,
                    kBackupWaitFrom, length)) {
      core_.ReportError("[" + std::to_string(entry.Id) + "]" + entry.Name + ":Fail to backup NV");
      return;
    }
    const uint8_t* reply = link_.Response();
    const std::string label = "[" + std::to_string(entry.Id) + "]";
    switch (const uint8_t status = reply[10]) {
      case 0:
        if (!file.Write(reply + kRFHeaderSize, length - kRFHeaderSize - 2)) {
          FileError("Fail to write NV......", errno);
          return;
        }
        break;
      case 4:
        break;  // nothing stored under this item on this modem
      case 5:
        // Logged and skipped: ending here would leave every later item without a backup
        // while the run goes on to flash.
        LogLine(label + ":status Error Received:Item inactive");
        break;
      case 6:
        LogLine(label + ":Bad parameter in command block");
        break;
      default:
        core_.ReportError(label + NVStatusSuffix(status));
        return;
    }
    if (!core_.Healthy()) {
      FailureStatus("Fail to backup NV......");
      return;
    }
  }
  if (!file.Finish()) {
    FileError("Fail to write NV......", errno);
    return;
  }
  LogLine("Backup NV......OK");
}

void NVItems::RestoreList(Variant variant) {
  watch_.Reset();
  LogLine("Restore NV Start.");
  const bool base = variant == Variant::Base;
  const std::string path = SavedOr(core_.cfg.bakFile, "nv.bak");
  NVBackupFile file;
  uint64_t size = 0;
  if (path.empty() || !file.OpenForReading(path) || !file.Size(size)) {
    FileError("Could not open backup file: " + path, path.empty() ? ENOENT : errno);
    return;
  }
  if (size == 0) {
    LogLine("Backup file length <= 0");
    return;
  }
  if (size % kRecordSize != 0) {
    core_.ReportError("backup file size error: " + path);
    return;
  }
  const NVItemTable& primary = base ? written_ : tables_.full;
  const NVItemTable* secondary = base ? &baseList_ : nullptr;
  const uint64_t records = size / kRecordSize;
  // Every record was backed up because the modem held it: a write it refuses loses the item.
  // The remaining records are still written, then the run fails naming the refused ones.
  std::vector<std::string> refused;
  std::vector<uint8_t> request(1 + kRecordSize + 2, 0);
  request[0] = kNVWrite;
  for (uint64_t position = 0; position < records; ++position) {
    if (!file.Read(request.data() + 1, kRecordSize)) {
      FileError("Could not read from BIN file: " + path, errno);
      return;
    }
    const uint16_t id = Le16(request.data() + 1);
    uint32_t length = 0;
    if (!NVExchange(request, {kNVWrite, NVReplyShape::Item, id}, kRestoreFailAt, kRestoreWaitFrom, length)) {
      core_.ReportError(RecordLabel(id, position, primary, secondary) + ":Fail to restore NV");
      return;
    }
    const std::string label = RecordLabel(id, position, primary, secondary);
    const int status = CheckNVStatus(link_.Response(), length, label, NVStatusPolicy::Skip);
    if (status == 5 || status == 6) refused.push_back(label);  // logged by the decoder
    else if (status != 0) return;
    if (!core_.Healthy()) {
      FailureStatus("Fail to restore......");
      return;
    }
  }
  if (!refused.empty()) {
    core_.ReportError(RefusedItemsText(refused));
    return;
  }
  LogLine("Restore NV......OK");
}

void NVItems::RestoreRFNV() {
  watch_.Reset();
  LogLine("Restore NV Start.");
  const std::string path = SavedOr(core_.run.nv1bakFile, "nv1.bak");
  // Only a file this run wrote, or one a saved backup holds, is restored; a run whose
  // configuration makes no RF backup has nothing to put back.
  std::error_code ec;
  const bool present = !path.empty() && std::filesystem::exists(path, ec);
  if (core_.run.bRestoreFromSaved ? !present : !rfBackupWritten_) {
    LogLine("Backup file length <= 0");
    return;
  }
  NVBackupFile file;
  uint64_t size = 0;
  if (!file.OpenForReading(path) || !file.Size(size)) {
    FileError("Could not open backup file: " + path, errno);
    return;
  }
  if (size == 0) {
    LogLine("Backup file length <= 0");
    return;
  }
  std::vector<uint8_t> request{kSubsystemDispatch, 0x0B, 0x24, 0x00, 0x5D, 0x02, 0x00, 0x00, 0x0E, 0x00};
  std::vector<std::string> refused;  // as in RestoreList
  uint64_t consumed = 0;
  for (size_t position = 0; consumed < size; ++position) {
    request.resize(kRFHeaderSize - 2 + kRFRecordHeader);
    if (!file.Read(request.data() + kRFHeaderSize - 2, kRFRecordHeader)) {
      FileError("Could not read from BIN file: " + path, errno);
      return;
    }
    const uint16_t id = Le16(request.data() + kRFHeaderSize - 2);
    const uint16_t n = Le16(request.data() + kRFHeaderSize);
    if (n > kRFMaxData) {
      core_.ReportError("backup file size error: " + path);
      return;
    }
    request.resize(request.size() + n);
    if (!file.Read(request.data() + kRFHeaderSize + 2, n)) {
      FileError("Could not read from BIN file: " + path, errno);
      return;
    }
    consumed += kRFRecordHeader + n;
    const std::string label = RecordLabel(id, position, rfList_, nullptr);
    uint32_t length = 0;
    if (!NVExchange(request, {kSubsystemDispatch, NVReplyShape::RFWrite, id}, kRestoreFailAt, kRestoreWaitFrom,
                    length)) {
      core_.ReportError(label + ":Fail to restore NV");
      return;
    }
    // Anything but "written" leaves the item without its backed-up value.
    if (const uint8_t status = link_.Response()[10]; status != kRFWriteDone) {
      LogLine(label + ":Fail to restore NV (status " + std::to_string(status) + ")");
      refused.push_back(label);
    }
    if (!core_.Healthy()) {
      FailureStatus("Fail to restore......");
      return;
    }
  }
  if (!refused.empty()) {
    core_.ReportError(RefusedItemsText(refused));
    return;
  }
  LogLine("Restore NV......OK");
}

}  // namespace zovir
