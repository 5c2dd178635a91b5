#pragma once
#include <memory>
#include <string>
#include <vector>

#include "platform/device_enumerator.h"
#include "platform/device_monitor.h"
#include "platform/host_platform.h"
#include "platform/port_namespace.h"
#include "platform/serial_port.h"

namespace zovir {

// The device map named by ZOVIR_DEVICE_MAP (empty when the variable is not set).
std::string DeviceMapPathFromEnvironment();

// The device map (empty: the system's own ports only), and where Linux reads its devices.
using HostDiscoveryOptions = HostPortOptions;

// The ports of this host as a front end needs them: the names of the ports, the factory that
// opens them, the enumerator the port directory classifies, and the monitor that reports
// ports coming and going. All of them see the same device map.
class HostDiscovery {
 public:
  explicit HostDiscovery(HostDiscoveryOptions options);
  ~HostDiscovery();
  HostDiscovery(const HostDiscovery&) = delete;
  HostDiscovery& operator=(const HostDiscovery&) = delete;

  PortNamespace& Names() { return names_; }
  SerialPortFactory& Ports() { return *ports_; }
  DeviceEnumerator& Enumerator();
  DeviceMonitor& Monitor();

 private:
  PortNamespace names_;
  std::unique_ptr<SerialPortFactory> ports_;
  std::unique_ptr<DeviceEnumerator> enumerator_;
  std::unique_ptr<DeviceMonitor> monitor_;
};

// The ports the device map names, as the enumerator merges them.
std::vector<MappedPort> MappedPortsOf(PortNamespace& names);

}  // namespace zovir
