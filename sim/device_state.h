#pragma once
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace zovir::sim {

using Bytes = std::vector<uint8_t>;

struct PartitionSummary {
  uint64_t size = 0;
  uint16_t crc = 0;  // CRC-16/X-25 over the whole partition, as the image checksum
};

// What the modem keeps across restarts: flash partitions, NV items, identity values and the
// EFS tree. With a state folder everything persists there and a later modem started on the
// same folder continues with it:
//   DIR/manifest.ini          [name] Size=<bytes> CRC=0x<crc16> per partition
//   DIR/partitions/NAME.bin   the partition's bytes
//   DIR/nv.ini                [NV] <id>=<hex bytes>
//   DIR/identity.ini          [Identity] <key>=<value>
//   DIR/efs/...               the EFS tree as files and folders
// Without a folder the state lives in memory only. Every method is thread-safe: the modem's
// thread writes while tests read.
class DeviceState {
 public:
  explicit DeviceState(std::string dir = {});
  const std::string& Dir() const { return dir_; }

  // Flash partitions. Storing replaces the partition and persists it before returning.
  void StorePartition(const std::string& name, Bytes data);
  std::optional<Bytes> Partition(const std::string& name) const;
  std::map<std::string, PartitionSummary> Partitions() const;

  // NV items by id (the item's data bytes as stored).
  std::optional<Bytes> Nv(uint32_t id) const;
  void SetNv(uint32_t id, Bytes data);
  void EraseNv(uint32_t id);
  std::map<uint32_t, Bytes> AllNv() const;

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
  static bool SafeName(const std::string& name);
  void Load();
  void SaveManifestLocked() const;
  void SaveNvLocked() const;
  void SaveIdentityLocked() const;
  std::string EfsHostPath(const std::string& path) const;

  std::string dir_;
  mutable std::mutex mu_;
  std::map<std::string, Bytes> partitions_;
  std::map<uint32_t, Bytes> nv_;
  std::map<std::string, std::string> identity_;
  std::map<std::string, Bytes> efsFiles_;
  std::map<std::string, bool> efsDirs_;
};

// Writes a file through a sibling and a rename. False when it cannot be written.
bool WriteFileAtomic(const std::string& path, const void* data, size_t size);

}  // namespace zovir::sim
