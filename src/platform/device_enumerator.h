#pragma once
#include <string>
#include <vector>

namespace zovir {

// One present serial-port device interface with the properties the port classification
// reads. Empty text means the property could not be read.
struct PortDevice {
  std::string FriendlyName;  // ends with the port name in parentheses, e.g. "... Diagnostics (COM7)"
  std::string DeviceDesc;
  std::string HardwareId;    // first hardware identifier, e.g. USB\VID_05C6&PID_9025&REV_0000&MI_00
  std::string Path;          // device node the port opens
};

// One entry of the map of all serial ports of the host: the value name (the device node
// on Linux) and the port name it carries.
struct SerialCommEntry {
  std::string ValueName;
  std::string PortName;     // "COM" + number
  bool LegacyUart = false;  // a built-in UART rather than a USB port
};

// The host's serial ports in two views: the present USB device interfaces with their
// descriptive properties, and the plain list of every serial port.
class DeviceEnumerator {
 public:
  virtual ~DeviceEnumerator() = default;
  // False when the set of present devices cannot be obtained at all; `out` is replaced.
  virtual bool ListPortDevices(std::vector<PortDevice>& out) = 0;
  // False when the map of serial ports cannot be read; `out` is replaced.
  virtual bool ListSerialPorts(std::vector<SerialCommEntry>& out) = 0;
};

}  // namespace zovir
