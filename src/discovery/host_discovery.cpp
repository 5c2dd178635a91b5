#include "discovery/host_discovery.h"

#include <cstdlib>
#include <fstream>

#include "discovery/port_names.h"
#include "platform/linux/device_monitor_linux.h"

namespace zovir {
namespace {

std::string Trim(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return {};
  const size_t last = text.find_last_not_of(" \t\r\n");
  return text.substr(first, last - first + 1);
}

}  // namespace

std::string DeviceMapPathFromEnvironment() {
  const char* path = std::getenv("ZOVIR_DEVICE_MAP");
  return path ? std::string(path) : std::string();
}

std::vector<MappedPort> ReadDeviceMap(const std::string& path) {
  std::vector<MappedPort> ports;
  if (path.empty()) return ports;
  std::ifstream in(path);
  std::string line;
  MappedPort* current = nullptr;
  while (std::getline(in, line)) {
    line = Trim(line);
    if (line.empty() || line[0] == ';' || line[0] == '#') continue;
    if (line.front() == '[') {
      current = nullptr;
      const size_t close = line.find(']');
      if (close == std::string::npos) continue;
      const std::string name = ToUpperAscii(Trim(line.substr(1, close - 1)));
      int number = 0;
      if (name.rfind("COM", 0) != 0 || !PortNumberOf(name, number) || number <= 0) continue;
      ports.push_back(MappedPort{"COM" + std::to_string(number), {}, {}, {}});
      current = &ports.back();
      continue;
    }
    const size_t eq = line.find('=');
    if (!current || eq == std::string::npos) continue;
    const std::string key = ToUpperAscii(Trim(line.substr(0, eq)));
    const std::string value = Trim(line.substr(eq + 1));
    if (key == "PATH") current->Path = value;
    else if (key == "FRIENDLYNAME") current->FriendlyName = value;
    else if (key == "HARDWAREID") current->HardwareId = value;
  }
  return ports;
}

HostDiscovery::HostDiscovery(HostDiscoveryOptions options) {
  LinuxDeviceEnumeratorOptions enumeration;
  enumeration.sysfsRoot = options.sysfsRoot;
  enumeration.devRoot = options.devRoot;
  if (!options.deviceMapPath.empty())
    enumeration.mappedPorts = [path = options.deviceMapPath] { return ReadDeviceMap(path); };
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
