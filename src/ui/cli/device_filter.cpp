#include "ui/cli/device_filter.h"

#include <algorithm>
#include <set>

namespace zovir::cli {

bool IsPortOf(const PortDevice& d, const std::string& device) {
  return !device.empty() && ((!d.UsbPath.empty() && d.UsbPath == device) || (!d.UsbSerial.empty() && d.UsbSerial == device));
}

bool DeviceFilter::ListPortDevices(std::vector<PortDevice>& out) {
  std::vector<PortDevice> all;
  const bool ok = host_.ListPortDevices(all);
  out.clear();
  for (auto& d : all)
    if (IsPortOf(d, device_)) out.push_back(std::move(d));
  return ok;
}

bool DeviceFilter::ListSerialPorts(std::vector<SerialCommEntry>& out) {
  std::vector<PortDevice> devices;
  std::vector<SerialCommEntry> all;
  const bool ok = host_.ListPortDevices(devices) && host_.ListSerialPorts(all);
  std::set<std::string> nodes;
  for (const auto& d : devices)
    if (IsPortOf(d, device_)) nodes.insert(d.Path);
  out.clear();
  for (auto& e : all)
    if (nodes.count(e.ValueName)) out.push_back(std::move(e));
  return ok;
}

std::vector<std::string> AttachedModems(DeviceEnumerator& host) {
  std::vector<PortDevice> devices;
  host.ListPortDevices(devices);
  std::set<std::string> paths;
  for (const auto& d : devices)
    if (!d.UsbPath.empty()) paths.insert(d.UsbPath);
  return {paths.begin(), paths.end()};
}

}  // namespace zovir::cli
