#pragma once
#include <string>

namespace zovir::sim {

// One port as a Windows host would list it.
struct PortEntry {
  int com = 0;              // the N of "COMN"
  std::string path;         // the pty slave the tool opens
  std::string friendlyName; // e.g. "Quorvel HS-USB Diagnostics 9025 (COM7)"
  std::string hardwareId;   // e.g. USB\VID_05C6&PID_9025&REV_0000&MI_00
};

// The device-map file: INI, one section per port ("[COM7]" with Path, FriendlyName,
// HardwareId). Several modems (in one process or in several) share one file; each only ever
// touches its own sections. Every change is made under an flock on FILE.lock, read-modify-
// write, and lands by writing a sibling file and renaming it over the map, so a reader sees
// either the old or the new map, never half of one.
class DeviceMap {
 public:
  explicit DeviceMap(std::string path);
  const std::string& Path() const { return path_; }
  // Adds or replaces the section of entry.com. Returns false when the file cannot be written.
  bool Put(const PortEntry& entry);
  bool Remove(int com);

 private:
  template <typename F>
  bool Update(F&& change);
  std::string path_;
};

}  // namespace zovir::sim
