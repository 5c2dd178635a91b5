#include "platform/host_platform.h"
#include "platform/win32/device_enumerator_win32.h"
#include "platform/win32/processes_win32.h"
#include "platform/win32/serial_port_win32.h"
#include "platform/win32/usb_bulk_win32.h"

namespace zovir {

HostPorts MakeHostPorts(PortNamespace& names, const HostPortOptions& options) {
  HostPorts host;
  host.ports = MakeSerialPortFactory(names);
  host.enumerator = MakeWin32DeviceEnumerator({options.mappedPorts});
  // The system announces its own ports; only a device map needs looking at.
  host.monitor = std::make_unique<Win32DeviceMonitor>(
      *host.enumerator, Win32DeviceMonitorOptions{options.mappedPorts ? options.pollIntervalMs : 0});
  return host;
}

// A device map's port is opened by its name like any other: Windows has no other way in.
std::unique_ptr<SerialPortFactory> MakeSerialPortFactory(PortNamespace&) {
  return std::make_unique<Win32SerialPortFactory>();
}

std::unique_ptr<Processes> MakeProcesses(const std::string&) { return MakeWin32Processes(); }

std::unique_ptr<UsbBulk> MakeUsbBulk() { return MakeWin32UsbBulk(); }

}  // namespace zovir
