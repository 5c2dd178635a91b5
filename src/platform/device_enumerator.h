#pragma once
#include <cstdint>
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
  // The USB device the port belongs to (empty when unknown, e.g. a port of the device map):
  // its place on the bus ("1-2.4", stable while the modem stays in that socket), its system
  // path (what the modem manager names it by), identifiers and serial-number string, and the
  // port's interface number on it.
  std::string UsbPath;
  std::string UsbSystemPath;
  uint16_t Vid = 0, Pid = 0;
  std::string UsbSerial;
  int Interface = -1;
};

// One entry of the map of all serial ports of the host: the value name (the device node
// on Linux) and the port name it carries.
struct SerialCommEntry {
  std::string ValueName;
  std::string PortName;     // "COM" + number
  bool LegacyUart = false;  // a built-in UART rather than a USB port
};

// A port named by the device-map file: its own "COM" number for a device node, and the
// properties the device installation interface would show for it. Windows opens a port by its
// name, so there a Path only says that the port is present.
struct MappedPort {
  std::string PortName;  // "COM" + number
  std::string Path;
  std::string FriendlyName;
  std::string HardwareId;
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
