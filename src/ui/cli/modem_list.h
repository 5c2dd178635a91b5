#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "platform/device_enumerator.h"

namespace zovir::cli {

// A process that has a device node open.
struct Holder {
  int pid = 0;
  std::string name;
};

struct ModemPort {
  std::string role;  // "diagnostic", "terminal", "modem", "download", "other"
  std::string node;  // device node
  std::string com;   // the tool's name for it ("COM" + n)
  std::vector<Holder> heldBy;
};

// One modem: one USB device with its serial ports.
struct ModemEntry {
  std::string usbPath;  // place on the bus, e.g. "1-4.2"
  std::string systemPath;
  uint16_t vid = 0, pid = 0;
  std::string serial;  // the USB serial-number string
  std::string mode;    // "normal", "boot loader"
  std::vector<ModemPort> ports;
  // Filled by --probe: what the modem says over AT.
  std::string atSerial, atFirmware;
};

// The port's role from its device-interface name.
std::string RoleOf(const PortDevice& device);
// The modems behind a list of ports, one per USB device in the order of their bus paths; ports
// without a USB device (a virtual modem's) are grouped by nothing and form one entry each.
std::vector<ModemEntry> GroupModems(const std::vector<PortDevice>& devices);
// The processes under `procRoot` (normally /proc) that hold `node` open; only those this user
// may look into are seen.
std::vector<Holder> HoldersOf(const std::string& procRoot, const std::string& node);
// "held by ModemManager (pid 812)", or empty.
std::string HeldText(const std::vector<Holder>& holders);

}  // namespace zovir::cli
