#pragma once
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/device_enumerator.h"
#include "platform/device_monitor.h"
#include "platform/port_namespace.h"
#include "platform/processes.h"
#include "platform/serial_port.h"
#include "platform/usb_bulk.h"

namespace zovir {

// The pieces a front end takes from the system it was built for; each system's folder below
// platform/ has the one implementation. Tests build the pieces they need directly.

struct HostPortOptions {
  // The device map (empty: none); its entries, read afresh for every scan.
  std::string deviceMapPath;
  std::function<std::vector<MappedPort>()> mappedPorts = {};
  // Where Linux reads its device tree (tests point them elsewhere); unused on Windows.
  std::string sysfsRoot = "/sys";
  std::string devRoot = "/dev";
  // Rescans when nothing announces a change: on Linux without a udev daemon, on Windows while
  // a device map is in use (it changes without a notice of the system).
  int pollIntervalMs = 1000;
};

// The ports of this host: the factory that opens them by their "COM" names, the enumerator the
// port directory classifies and the monitor that reports ports coming and going. The monitor
// watches the enumerator, so it is declared last and goes first.
struct HostPorts {
  std::unique_ptr<SerialPortFactory> ports;
  std::unique_ptr<DeviceEnumerator> enumerator;
  std::unique_ptr<DeviceMonitor> monitor;
};
HostPorts MakeHostPorts(PortNamespace& names, const HostPortOptions& options);

// Opens "COM"+n names: through `names` on Linux, as the system's own devices on Windows.
std::unique_ptr<SerialPortFactory> MakeSerialPortFactory(PortNamespace& names);

// Processes and named locks; Linux keeps its locks in `runtimeDir`, Windows in named mutexes.
std::unique_ptr<Processes> MakeProcesses(const std::string& runtimeDir);

// The USB boot device: libusb on Linux, the USB boot driver's interface on Windows.
std::unique_ptr<UsbBulk> MakeUsbBulk();

}  // namespace zovir
