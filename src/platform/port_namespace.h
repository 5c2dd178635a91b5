#pragma once
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/private_files.h"

namespace zovir {

// One port named by the device-map file.
struct PortMapEntry {
  int number = 0;            // n of "COM" + n
  std::string name;          // "COM" + n
  std::string path;          // device node
  std::string friendlyName;
  std::string hardwareId;
};

// Resolves "COM"+n names to device nodes and back. Two sources: the fixed mapping of the
// host's own nodes (/dev/ttyS<k> <-> COM<k+1> for k < 99, /dev/ttyUSB<k> <-> COM<k+100>
// for k < 100, /dev/ttyACM<k> <-> COM<k+200>), and a device-map file (INI, a section per
// port such as [COM7] with Path=, FriendlyName=, HardwareId=; names case-insensitive) whose
// entries add to or replace the fixed ones. The file is replaced by write-then-rename while
// we run, so it is read again whenever it changed.
class PortNamespace {
 public:
  // `deviceMapPath` may be empty (fixed mapping only). A missing file counts as empty.
  explicit PortNamespace(std::string deviceMapPath = {});

  // "COM7", "com7" or "\\.\COM12" -> device node; nullopt for a name that maps to nothing.
  std::optional<std::string> Resolve(const std::string& comName);
  // Device node -> port number (device map first, then the fixed mapping).
  std::optional<int> NumberOf(const std::string& path);
  // The device map's entries in file order (port discovery lists them).
  std::vector<PortMapEntry> MapEntries();
  const std::string& DeviceMapPath() const { return mapPath_; }

  // The number in "COM" + n (case-insensitive, "\\.\" prefix allowed); nullopt otherwise.
  static std::optional<int> ParseComName(const std::string& comName);
  static std::optional<std::string> FixedPath(int number);
  static std::optional<int> FixedNumber(const std::string& path);

 private:
  void Refresh();  // callers hold mutex_

  std::string mapPath_;
  std::mutex mutex_;
  std::vector<PortMapEntry> entries_;
  // The file version behind entries_ (mtimeNs_ -1: no file).
  int64_t mtimeNs_ = -1;
  uint64_t size_ = 0;
  FileIdentity identity_;
};

}  // namespace zovir
