#include "discovery/host_discovery.h"

#include <cstdlib>


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

HostDiscovery::HostDiscovery(HostDiscoveryOptions options) : names_(options.deviceMapPath) {
  if (!options.deviceMapPath.empty()) options.mappedPorts = [this] { return MappedPortsOf(names_); };
  HostPorts made = MakeHostPorts(names_, options);
  ports_ = std::move(made.ports);
  enumerator_ = std::move(made.enumerator);
  monitor_ = std::move(made.monitor);
}

HostDiscovery::~HostDiscovery() {
  if (monitor_) monitor_->Stop();
}

DeviceEnumerator& HostDiscovery::Enumerator() { return *enumerator_; }
DeviceMonitor& HostDiscovery::Monitor() { return *monitor_; }

}  // namespace zovir
