#pragma once
#include <memory>
#include <string>
#include <vector>

#include "platform/device_enumerator.h"
#include "platform/device_monitor.h"
#include "platform/linux/device_enumerator_linux.h"

namespace zovir {

// The device map named by ZOVIR_DEVICE_MAP (empty when the variable is not set).
std::string DeviceMapPathFromEnvironment();

struct HostDiscoveryOptions {
  std::string deviceMapPath;  // empty: ports from sysfs only
  std::string sysfsRoot = "/sys";
  std::string devRoot = "/dev";
  int pollIntervalMs = 1000;  // rescans of the monitor when no udev daemon runs
};

// The ports of this host as a front end needs them: the enumerator the port directory
// classifies, and the monitor that reports ports coming and going.
class HostDiscovery {
 public:
  explicit HostDiscovery(HostDiscoveryOptions options);
  ~HostDiscovery();
  HostDiscovery(const HostDiscovery&) = delete;
  HostDiscovery& operator=(const HostDiscovery&) = delete;

  DeviceEnumerator& Enumerator();
  DeviceMonitor& Monitor();

 private:
  std::unique_ptr<DeviceEnumerator> enumerator_;
  std::unique_ptr<DeviceMonitor> monitor_;
};

// The ports the device-map file names, read afresh (the file is replaced while the virtual
// modem restarts). A missing or unreadable file names no port.
std::vector<MappedPort> ReadDeviceMap(const std::string& path);

}  // namespace zovir
