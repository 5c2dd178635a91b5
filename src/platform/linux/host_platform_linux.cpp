#include "platform/host_platform.h"
#include "platform/linux/device_enumerator_linux.h"
#include "platform/linux/device_monitor_linux.h"
#include "platform/linux/serial_port_linux.h"

namespace zovir {

HostPorts MakeHostPorts(PortNamespace& names, const HostPortOptions& options) {
  HostPorts host;
  host.ports = MakeSerialPortFactory(names);
  LinuxDeviceEnumeratorOptions enumeration;
  enumeration.sysfsRoot = options.sysfsRoot;
  enumeration.devRoot = options.devRoot;
  enumeration.mappedPorts = options.mappedPorts;
  host.enumerator = std::make_unique<LinuxDeviceEnumerator>(std::move(enumeration));
  LinuxDeviceMonitorOptions monitoring;
  monitoring.deviceMapPath = options.deviceMapPath;
  monitoring.pollIntervalMs = options.pollIntervalMs;
  host.monitor = std::make_unique<LinuxDeviceMonitor>(*host.enumerator, monitoring);
  return host;
}

std::unique_ptr<SerialPortFactory> MakeSerialPortFactory(PortNamespace& names) {
  return std::make_unique<LinuxSerialPortFactory>(names);
}

std::unique_ptr<Processes> MakeProcesses(const std::string& runtimeDir) { return MakeLinuxProcesses(runtimeDir); }

std::unique_ptr<UsbBulk> MakeUsbBulk() { return MakeLibusbBulk(); }

}  // namespace zovir
