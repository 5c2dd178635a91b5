#include "discovery/host_discovery.h"

#include <cstdlib>

#include "platform/linux/device_monitor_linux.h"
#include "platform/linux/serial_port_linux.h"

namespace zovir {

std::string DeviceMapPathFromEnvironment() {
  const char* path = std::getenv("ZOVIR_DEVICE_MAP");
  return path ? std::string(path) : std::string();
}

std::vector<MappedPort> MappedPortsOf(PortNamespace& names) {
  std::vector<MappedPort> ports;
  for (const PortMapEntry& e : names.MapEntries()) ports.push_back({e.name, e.path, e.friendlyName, e.hardwareId});
  return ports;
}

HostDiscovery::HostDiscovery(HostDiscoveryOptions options)
    : names_(options.deviceMapPath), ports_(std::make_unique<LinuxSerialPortFactory>(names_)) {
  LinuxDeviceEnumeratorOptions enumeration;
  enumeration.sysfsRoot = options.sysfsRoot;
  enumeration.devRoot = options.devRoot;
  if (!options.deviceMapPath.empty())
    enumeration.mappedPorts = [this] { return MappedPortsOf(names_); };
  enumerator_ = std::make_unique<LinuxDeviceEnumerator>(std::move(enumeration));
  LinuxDeviceMonitorOptions monitoring;
  monitoring.deviceMapPath = options.deviceMapPath;
  monitoring.pollIntervalMs = options.pollIntervalMs;
  monitor_ = std::make_unique<LinuxDeviceMonitor>(*enumerator_, monitoring);
}

HostDiscovery::~HostDiscovery() {
  if (monitor_) monitor_->Stop();
}

DeviceEnumerator& HostDiscovery::Enumerator() { return *enumerator_; }
DeviceMonitor& HostDiscovery::Monitor() { return *monitor_; }

}  // namespace zovir
