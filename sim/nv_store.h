#pragma once
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "sim/device_state.h"

namespace zovir::sim {

// The NV side of the modem beyond the stored values: per-item statuses, the factory-test RF
// items, the build ID, and which values a firmware download makes the modem lose.
//
// Regular NV item values live in DeviceState (Nv/SetNv/EraseNv), 128 bytes each, so they
// survive the firmware download like the rest of the device state. A value that is absent
// reads as inactive (status 5). Thread-safe: the modem's thread answers while tests set and
// read.
class NVStore final : public StateBoundStore {
 public:
  static constexpr size_t kItemSize = 128;

  // NV status codes of the read/write replies.
  static constexpr uint8_t kDone = 0;
  static constexpr uint8_t kInactive = 5;
  static constexpr uint8_t kReadOnly = 7;
  static constexpr uint8_t kNotDefined = 8;  // the item is not one of this target's
  // The highest item id this firmware's item table holds by default.
  static constexpr uint32_t kHighestItem = 0x7FFF;
  // Status word of the factory-test RF replies.
  static constexpr uint16_t kRFReadOk = 0, kRFReadFailed = 1, kRFWriteOk = 2, kRFWriteFailed = 3,
                            kRFInactive = 4;

  // A status the item answers in place of its value. 5 (inactive): reads answer 5, a write
  // stores the value and clears the status. 7 (read-only): reads answer the value, writes
  // answer 7 and change nothing. Any other non-zero status: reads and writes answer it and
  // change nothing. 0 removes the status.
  void SetStatus(uint32_t id, uint8_t status);
  std::optional<uint8_t> Status(uint32_t id) const;
  // Items the target does not define: reads and writes answer status 8 and change nothing.
  // By default every id up to kHighestItem is defined.
  void SetHighestItem(uint32_t id);
  void SetUndefined(uint32_t id, bool undefined = true);
  bool Defined(uint32_t id) const;
  // Writes of the item answer `status` and store nothing (one-off faults of a restore).
  void SetWriteStatus(uint32_t id, std::optional<uint8_t> status);
  std::optional<uint8_t> WriteStatus(uint32_t id) const;

  // Factory-test RF items: variable-length data by item code, kept in the bound DeviceState
  // (values set before a state is bound move into it when one is). Absent items read as
  // inactive.
  void SetRFItem(uint16_t id, Bytes data);
  std::optional<Bytes> RFItem(uint16_t id) const;
  void EraseRFItem(uint16_t id);
  std::map<uint16_t, Bytes> AllRFItems() const;
  // Status word answered to reads (1 read failed, 4 inactive; 0 removes it) / to writes (3).
  void SetRFStatus(uint16_t id, uint16_t status);
  void SetRFWriteStatus(uint16_t id, uint16_t status);
  std::optional<uint16_t> RFStatus(uint16_t id) const;
  std::optional<uint16_t> RFWriteStatus(uint16_t id) const;

  // Extended build ID: reply version (2), mobile model id (its low byte is the platform
  // code the tool checks) and the build text. Without a model id set here the reply carries
  // the modem's VirtualModemOptions::platformId.
  void SetBuildID(uint8_t version, uint32_t modelId, std::string buildText);
  uint8_t BuildVersion() const;
  std::optional<uint32_t> ModelId() const;
  std::string BuildText() const;

  // Values the modem loses when its firmware is written (as a real erase can): the listed
  // NV items and RF items, or all of them. Applied to the bound DeviceState at every
  // partition write; nothing is lost unless a test asks for it.
  void LoseOnDownload(std::vector<uint32_t> nvItems, std::vector<uint16_t> rfItems);
  void LoseAllOnDownload();
  // Drops the values now (NV items become inactive, RF items absent).
  void LoseValues(DeviceState& state, const std::vector<uint32_t>& nvItems, const std::vector<uint16_t>& rfItems);
  void LoseAllValues(DeviceState& state);

  // Events of the modem: a partition write applies the configured losses to `state`. The
  // modem the store is attached to binds it; a store used without a modem is bound by the
  // first request its responders answer.
  using StateBoundStore::OnModemEvent;
  void OnModemEvent(DeviceState& state, const std::string& event) override;
  // How many times the configured losses were applied.
  uint32_t Losses() const;

  // Reads and writes answered, per NV item (tests assert what the tool asked for).
  uint32_t Reads(uint32_t id) const;
  uint32_t Writes(uint32_t id) const;
  void CountRead(uint32_t id);
  void CountWrite(uint32_t id);

 private:
  // The bound state, after moving the RF values set while none was bound into it.
  DeviceState* RFState() const;
  void MovePendingRF(DeviceState& state) const;

  mutable std::mutex mu_;
  std::map<uint32_t, uint8_t> status_;
  std::map<uint32_t, uint8_t> writeStatus_;
  uint32_t highestItem_ = kHighestItem;
  std::set<uint32_t> undefined_;
  mutable std::map<uint16_t, Bytes> rf_;  // only while no state is bound
  std::map<uint16_t, uint16_t> rfStatus_;
  std::map<uint16_t, uint16_t> rfWriteStatus_;
  uint8_t buildVersion_ = 2;
  std::optional<uint32_t> modelId_;
  std::string buildText_ = "BTM9X06_V1.0.0_R01";
  bool loseAll_ = false;
  std::set<uint32_t> loseNv_;
  std::set<uint16_t> loseRf_;
  uint32_t losses_ = 0;
  std::map<uint32_t, uint32_t> reads_, writes_;
};

}  // namespace zovir::sim
