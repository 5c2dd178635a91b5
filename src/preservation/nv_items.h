#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <string_view>
#include <vector>

#include "engine/engine_core.h"
#include "engine/phases.h"
#include "link/link.h"
#include "preservation/answer_watch.h"
#include "preservation/nv_item_tables.h"

namespace zovir {

class NVBackupFile;

// Which NV statuses an operation tolerates (see CheckNVStatus).
enum class NVStatusPolicy {
  Strict,    // every non-zero status is an engine error
  Skip,      // 5 and 6: log line, the caller skips the item; others: engine error
  Tolerant,  // 5 and 6: log line, counted as success; others: engine error
};

// What a reply must look like before the exchange takes it. Anything else (a time-out, a
// bad check, a short or foreign frame) is one failed attempt.
enum class NVReplyShape {
  Item,     // NV read/write: 135 bytes with the check, echoing the item id
  RFRead,   // factory-test RF read: header echo, status, item, length, exactly that much data
  RFWrite,  // factory-test RF write: header echo and the status word
  BuildID,  // extended build ID: version 2 and the model id byte present
};

struct NVReplyCheck {
  uint8_t code = 0;
  NVReplyShape shape = NVReplyShape::Item;
  int32_t item = -1;  // the item the reply must echo (Item, RFRead)
};

// NV items over DIAG on the diagnostic port, and the nv.bak / nv1.bak backups. One per run.
class NVItems final : public NVService {
 public:
  static constexpr uint32_t kRecordSize = 130;     // one nv.bak record: id + 128 data bytes
  static constexpr uint32_t kItemReplyLength = 135;  // NV read/write reply with its check
  static constexpr uint32_t kRFReplyMinLength = 18;  // header, status, item, length, check

  NVItems(EngineCore& core, Link& link, const NVItemTables& tables = NVItemTables::BuiltIn());

  // NVService
  int GetPlatformID() override;
  void WriteNVItemList() override;
  void BuildNVLists() override;
  void BackupNV() override;
  void BackupRFNV() override;
  void BackupFullNV() override;
  void RestoreNV() override;
  void RestoreRFNV() override;
  void RestoreFullNV() override;

  // Sends `request` framed and receives replies until one passes `check`. Fails once the
  // attempt counter reaches `failAt` (that attempt's reply is not examined), the engine
  // is no longer healthy, or the modem is given up on (see AnswerWatch: its port failed, or
  // too many receives in a row saw nothing); waits 500 ms after every attempt from
  // `waitFrom` on. On success
  // the reply is in the link's response buffer and its length (check included) in
  // `replyLength`.
  bool NVExchange(const std::vector<uint8_t>& request, const NVReplyCheck& check, int failAt, int waitFrom,
                  uint32_t& replyLength);
  // Decodes the status word before the check, high byte first. Returns 0 or the value of
  // the status table (100 for an unknown status); reports as `policy` says.
  int CheckNVStatus(const uint8_t* reply, uint32_t length, const std::string& label, NVStatusPolicy policy);
  // "00".."FF" to its value; anything else raises "String to hex failed!" and gives 0.
  uint8_t HexTextToByte(std::string_view text);
  void WriteCustomNV(const std::string& idText, const std::string& dataText);

  static bool ReplyMatches(const uint8_t* reply, uint32_t length, const NVReplyCheck& check);
  static std::vector<uint8_t> NVReadRequest(uint16_t item);
  static std::vector<uint8_t> RFReadRequest(uint16_t item);

  const NVItemTable& BaseNVList() const { return baseList_; }
  const NVItemTable& RFNVList() const { return rfList_; }
  const NVItemTable& FullNVList() const { return tables_.full; }
  const NVItemTable& NVWrittenItems() const { return written_; }
  // The ids the base-list backup reads beyond its list (first, last; empty when none): every
  // id the LTE calibration table's rows span, when the vendor's complete list is not known
  // (the packet carries no such table).
  const std::optional<std::pair<int32_t, int32_t>>& BaseSweep() const { return baseSweep_; }
  // Likewise for the full list.
  std::optional<std::pair<int32_t, int32_t>> FullSweep() const;
  // Whether the RF backup of this run created nv1.bak.
  bool RFBackupWritten() const { return rfBackupWritten_; }

 private:
  enum class Variant { Base, Full };
  void BackupList(Variant variant);
  // Reads every id of `range` not read already and keeps those the modem holds. False when
  // the backup must stop (an engine error is set or the file could not be written).
  bool SweepRange(std::pair<int32_t, int32_t> range, const NVItemTable& listed, bool base, NVBackupFile& file);
  void RestoreList(Variant variant);
  bool SkipsUITItem(int32_t id) const;
  std::string RecordLabel(int32_t id, size_t position, const NVItemTable& primary,
                          const NVItemTable* secondary) const;
  std::string SavedOr(const std::string& path, const char* fileName) const;
  void LogLine(const std::string& text);
  void FailureStatus(const std::string& text);
  void FileError(const std::string& text, int error);

  EngineCore& core_;
  Link& link_;
  NVItemTables tables_;
  NVItemTable baseList_;
  NVItemTable rfList_;
  NVItemTable written_;
  std::optional<std::pair<int32_t, int32_t>> baseSweep_;
  bool baseFromPacket_ = false;  // a table of the base list came from the packet
  bool rfBackupWritten_ = false;
  AnswerWatch watch_{core_, Link::kReceiveTimeLimitMs};
};

// The message suffix of an NV status (":Item was read-only", ...; ":Unkown error" beyond 10).
const char* NVStatusSuffix(uint8_t status);

// Project type 12 with IsOmbrix: the full list replaces the base and RF lists.
bool UsesFullNVList(const EngineConfig& cfg);

}  // namespace zovir
