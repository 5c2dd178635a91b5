#pragma once
#include <string>
#include <vector>

#include "platform/device_enumerator.h"

namespace zovir::cli {

// The host's ports narrowed to one modem: the ports of the USB device whose bus path or USB
// serial-number string is `device`. Several slots each see their own modem through one of
// these, and `--device` picks one modem when several are attached.
class DeviceFilter final : public DeviceEnumerator {
 public:
  DeviceFilter(DeviceEnumerator& host, std::string device) : host_(host), device_(std::move(device)) {}
  bool ListPortDevices(std::vector<PortDevice>& out) override;
  bool ListSerialPorts(std::vector<SerialCommEntry>& out) override;

 private:
  DeviceEnumerator& host_;
  std::string device_;
};

// Whether `d` is a port of the modem named `device` (USB bus path or USB serial string).
bool IsPortOf(const PortDevice& d, const std::string& device);
// The USB bus paths of the modems attached now, in order.
std::vector<std::string> AttachedModems(DeviceEnumerator& host);

}  // namespace zovir::cli
