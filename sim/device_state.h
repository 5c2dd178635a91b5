#pragma once
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace zovir::sim {

using Bytes = std::vector<uint8_t>;

struct PartitionSummary {
  uint64_t size = 0;
  uint16_t crc = 0;  // CRC-16/X-25 over the whole partition, as the image checksum
};

// Size and CRC of a regular file as it is on disk (a partition or an image), read in pieces;
// nothing when it cannot be read to its end.
std::optional<PartitionSummary> SummarizeFile(const std::string& path);

class DeviceState;

// One partition image as it arrives, piece by piece. The bytes go straight into a private file
// beside the partition (DIR/partitions/NAME.bin.part-XXXXXX, or in the private folder of a
// state without a folder), so an image of any size costs no memory; the partition is replaced only by Commit, and a writer
// destroyed without it leaves the old partition as it was. Size and CRC are kept up to date
// while the image is written in order; anything else is checked once more at Commit.
// Used by one thread at a time; must not outlive its DeviceState.
class PartitionWriter {
  struct Key {
    explicit Key() = default;
  };

 public:
  PartitionWriter(Key, DeviceState& state, std::string name);  // made by DeviceState::WritePartition
  ~PartitionWriter();
  PartitionWriter(const PartitionWriter&) = delete;
  PartitionWriter& operator=(const PartitionWriter&) = delete;

  // Places bytes at `offset`; a gap before them reads as zeros. False when they cannot be
  // stored (the writer then refuses to commit).
  bool Write(uint64_t offset, std::span<const uint8_t> data);
  // Drops everything from `size` on (a transfer the host abandoned). No-op past the end.
  bool Truncate(uint64_t size);
  uint64_t Size() const { return size_; }
  // Replaces the partition with what was written and persists it before returning. False
  // when it could not be stored; the old partition then stays. Once only.
  bool Commit();

 private:
  friend class DeviceState;
  bool Put(uint64_t offset, std::span<const uint8_t> data);
  bool RecomputeCrc();

  DeviceState& state_;
  std::string name_;
  std::string tmpPath_;  // empty: the image is kept in memory (a state without a folder)
  int fd_ = -1;
  Bytes memory_;
  uint64_t size_ = 0;
  uint16_t crcRegister_ = 0xFFFF;  // over bytes [0, size_) while crcValid_
  bool crcValid_ = true;
  bool failed_ = false;
  bool done_ = false;
};

// What the modem keeps across restarts: flash partitions, NV items, identity values and the
// EFS tree. With a state folder everything persists there and a later modem started on the
// same folder continues with it:
//   DIR/manifest.ini          [name] Size=<bytes> CRC=0x<crc16> per partition
//   DIR/partitions/NAME.bin   the partition's bytes
//   DIR/nv.ini                [NV] <id>=<hex bytes>
//   DIR/rf.ini                [RF] <id>=<hex bytes>
//   DIR/identity.ini          [Identity] <key>=<value>
//   DIR/efs/...               the EFS tree as files and folders
// Without a folder nothing persists: NV items, identity and EFS live in memory, and partition
// bytes in a private temporary folder that goes with the object (in memory only if no such
// folder can be made). Either way partition bytes are not held in memory: they stream into
// their files (PartitionWriter). Every method is thread-safe: the modem's thread writes while
// tests read.
class DeviceState {
 public:
  explicit DeviceState(std::string dir = {});
  ~DeviceState();  // removes the private partition folder of a state without a folder
  DeviceState(const DeviceState&) = delete;
  DeviceState& operator=(const DeviceState&) = delete;
  const std::string& Dir() const { return dir_; }

  // Flash partitions. Storing replaces the partition and persists it before returning.
  void StorePartition(const std::string& name, Bytes data);
  // A writer that replaces the partition when it commits; nullptr for a name that cannot be
  // a partition or a folder where nothing can be written.
  std::unique_ptr<PartitionWriter> WritePartition(const std::string& name);
  // The partition's bytes (read from its file when the state has a folder).
  std::optional<Bytes> Partition(const std::string& name) const;
  std::map<std::string, PartitionSummary> Partitions() const;

  // NV items by id (the item's data bytes as stored).
  std::optional<Bytes> Nv(uint32_t id) const;
  void SetNv(uint32_t id, Bytes data);
  void EraseNv(uint32_t id);
  std::map<uint32_t, Bytes> AllNv() const;

  // Factory-test RF NV items by item code (variable length).
  std::optional<Bytes> Rf(uint16_t id) const;
  void SetRf(uint16_t id, Bytes data);
  void EraseRf(uint16_t id);
  std::map<uint16_t, Bytes> AllRf() const;

  // Whether the state held no modem when it was made: no folder, or a folder without
  // partitions, NV, RF NV, identity or EFS entries. A modem that lost its data in an earlier
  // run is not fresh, so a factory never fills it again.
  bool Fresh() const { return fresh_; }

  // Identity values by name (e.g. "IMEI", "SN").
  std::optional<std::string> Identity(const std::string& key) const;
  void SetIdentity(const std::string& key, const std::string& value);
  std::map<std::string, std::string> AllIdentity() const;

  // EFS tree: absolute paths ("/nv/item_files/x"); folders are kept explicitly.
  std::optional<Bytes> EfsFile(const std::string& path) const;
  void SetEfsFile(const std::string& path, Bytes data);
  bool RemoveEfs(const std::string& path);  // a file or an empty folder
  void MakeEfsDir(const std::string& path);
  bool EfsDirExists(const std::string& path) const;
  std::vector<std::string> ListEfs(const std::string& dir) const;  // direct children, names only

 private:
  friend class PartitionWriter;
  static bool SafeName(const std::string& name);
  // A writer's image becomes the partition: its file renamed into place (or its bytes taken).
  bool CommitPartition(const std::string& name, const std::string& tmpPath, Bytes memory, PartitionSummary summary);
  // Where partition files live; empty when a state without a folder got no scratch folder.
  std::string PartitionFolder() const;
  // The same, making the scratch folder on first use.
  std::string PartitionFolderLocked();
  std::string PartitionPath(const std::string& name) const;
  void Load();
  void SaveManifestLocked() const;
  void SaveNvLocked() const;
  void SaveIdentityLocked() const;
  void SaveRfLocked() const;
  std::string EfsHostPath(const std::string& path) const;

  std::string dir_;
  mutable std::mutex mu_;
  std::map<std::string, PartitionSummary> partitions_;
  std::string scratchDir_;  // partition files of a state without a folder, made on first use
  bool scratchTried_ = false;
  std::map<std::string, Bytes> memoryPartitions_;  // only when no folder could be had
  std::map<uint32_t, Bytes> nv_;
  std::map<uint16_t, Bytes> rf_;
  bool fresh_ = true;
  std::map<std::string, std::string> identity_;
  std::map<std::string, Bytes> efsFiles_;
  std::map<std::string, bool> efsDirs_;
};

// What acts on a modem's DeviceState when things happen to the modem, beyond the requests it
// answers (the NV, identity and EFS stores). A VirtualModem given one in
// VirtualModemOptions::stores holds it, binds it to its own state when it is created and when
// it starts, hands it every event together with that state, and unbinds it when it goes, so a
// store never acts on another modem's state or on a state that is gone. One modem per store.
class StateBoundStore {
 public:
  StateBoundStore() = default;
  StateBoundStore(const StateBoundStore&) = delete;
  StateBoundStore& operator=(const StateBoundStore&) = delete;
  virtual ~StateBoundStore() = default;

  // The state an event without one applies to.
  void Bind(DeviceState& state);
  // Forgets the state if it is `state` (its modem goes away); another binding stays.
  void Unbind(const DeviceState& state);
  // Binds `state` unless one is bound: a request answered by a store that no modem bound.
  void BindIfUnbound(DeviceState& state);
  DeviceState* Bound() const;

  // Reacts to one of the modem's events (VirtualModemOptions::onEvent texts) on `state`.
  virtual void OnModemEvent(DeviceState& state, const std::string& event) = 0;
  // The same on the bound state; nothing when none is bound.
  void OnModemEvent(const std::string& event);

 private:
  mutable std::mutex bindMu_;
  DeviceState* bound_ = nullptr;
};

// Writes a file through a sibling and a rename. False when it cannot be written.
bool WriteFileAtomic(const std::string& path, const void* data, size_t size);

}  // namespace zovir::sim
