#pragma once
#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/device_enumerator.h"
#include "platform/device_monitor.h"

namespace zovir {

struct LinuxDeviceMonitorOptions {
  // The device-map file; its folder is watched, since the file is replaced by rename.
  std::string deviceMapPath;
  // Rescan interval when no udev daemon announces devices (containers, build machines).
  int pollIntervalMs = 1000;
  // Rescan interval as a safety net while udev events arrive.
  int udevSafetyIntervalMs = 5000;
  // Whether to listen to udev at all (it is only used when its daemon runs).
  bool useUdev = true;
};

// Reports serial ports coming and going. Wakes on udev's netlink events for the tty
// subsystem when the udev daemon runs, on changes of the device-map file, and on a timer;
// each wake-up compares the enumerator's ports with the previous ones. A port whose node or
// device changed (e.g. the modem's diagnostic port coming back as its boot loader's port
// under the same number) is reported as removed and arrived.
class LinuxDeviceMonitor final : public DeviceMonitor {
 public:
  LinuxDeviceMonitor(DeviceEnumerator& enumerator, LinuxDeviceMonitorOptions options = {});
  ~LinuxDeviceMonitor() override;
  LinuxDeviceMonitor(const LinuxDeviceMonitor&) = delete;
  LinuxDeviceMonitor& operator=(const LinuxDeviceMonitor&) = delete;

  bool Start(Callback callback) override;
  void Stop() override;

  // How the monitor learns of changes (after Start).
  bool UsesUdev() const { return udevActive_; }
  bool WatchesDeviceMap() const { return mapWatch_ >= 0; }

 private:
  struct Seen {
    std::string path;
    std::string identity;  // hardware id and friendly name, when the port has them
    bool operator==(const Seen&) const = default;
  };
  using Snapshot = std::map<std::string, Seen>;  // by port name
  bool Take(Snapshot& out);
  void Run();
  void Compare();

  DeviceEnumerator& enumerator_;
  LinuxDeviceMonitorOptions options_;
  Callback callback_;
  Snapshot last_;
  std::mutex startStop_;
  std::thread thread_;
  int stopFd_ = -1;
  int inotifyFd_ = -1;
  int mapWatch_ = -1;
  std::string mapFileName_;
  bool udevActive_ = false;
  struct Udev;
  std::unique_ptr<Udev> udev_;
};

}  // namespace zovir
