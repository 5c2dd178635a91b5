#pragma once
#include <functional>
#include <string>
#include <vector>

#include "platform/device_enumerator.h"

namespace zovir {

struct LinuxDeviceEnumeratorOptions {
  std::string sysfsRoot = "/sys";
  std::string devRoot = "/dev";
  // The device map's entries, read afresh for every scan; they add ports (the virtual
  // modem's) or give a device node its own number and names. Empty: no map.
  std::function<std::vector<MappedPort>()> mappedPorts;
};

// One USB serial interface the role table names when the device carries no interface string.
struct PortRole {
  uint16_t vid;
  uint16_t pid;
  int interfaceNumber;
  const char* role;  // "Diagnostics", "Terminal", "Modem", "QDLoader 9008"
};
const std::vector<PortRole>& KnownPortRoles();

// The host's serial ports from sysfs: /sys/class/tty/ttyS<k> (legacy UARTs with hardware
// behind them), ttyUSB<k> and ttyACM<k> (USB serial interfaces), named COM<k+1>,
// COM<k+100> and COM<k+200>, merged with the device map. Ports are listed in the order
// of their numbers. Holds no state between scans, so several threads may scan at once.
class LinuxDeviceEnumerator final : public DeviceEnumerator {
 public:
  explicit LinuxDeviceEnumerator(LinuxDeviceEnumeratorOptions options = {});
  bool ListPortDevices(std::vector<PortDevice>& out) override;
  bool ListSerialPorts(std::vector<SerialCommEntry>& out) override;

  // One port as found: the serial-map entry and, for a USB port whose properties could be
  // read, the device-interface properties.
  struct Found {
    SerialCommEntry entry;
    int number = 0;
    bool usb = false;
    PortDevice device;
  };
  // Everything found in one scan (sysfs merged with the map). False when the tty class of
  // sysfs cannot be read and there is no map entry either.
  bool Scan(std::vector<Found>& out);

 private:
  LinuxDeviceEnumeratorOptions options_;
};

// The number of a serial device node of this host by its name in /dev (the fixed mapping of
// the PortNamespace: ttyS<k> -> COM<k+1>, ttyUSB<k> -> COM<k+100>, ttyACM<k> -> COM<k+200>);
// 0 for any other node name.
int FixedPortNumber(const std::string& nodeName);

}  // namespace zovir
