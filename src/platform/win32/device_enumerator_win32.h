#pragma once
#include <functional>
#include <memory>
#include <vector>

#include "platform/device_enumerator.h"
#include "platform/device_monitor.h"

namespace zovir {

struct Win32DeviceEnumeratorOptions {
  // The device map's entries, read afresh for every scan: each one with a Path is a port of
  // that name, and with a friendly name and hardware id also a device of the ports class (in
  // place of the system's port of that name). Empty: no map.
  std::function<std::vector<MappedPort>()> mappedPorts;
};

// The ports class of SetupAPI (friendly name, description, first hardware id, the port name
// from the device's own key, the USB parent's instance id and serial number) and the system's
// map of serial ports (HKLM\HARDWARE\DEVICEMAP\SERIALCOMM), merged with the device map.
std::unique_ptr<DeviceEnumerator> MakeWin32DeviceEnumerator(Win32DeviceEnumeratorOptions options = {});

struct Win32DeviceMonitorOptions {
  // Rescans every this many ms besides the system's notices (0: none); a device map changes
  // without any notice of the system.
  int pollIntervalMs = 0;
};

// A message-only window on a thread of its own, told of COM-port interfaces coming and going:
// on each notice the enumerator's list of serial ports is read again and every port that came
// or went becomes an event (a port's own notice, naming it, is taken as it is). The window's
// handle is the target for a test's own WM_DEVICECHANGE.
class Win32DeviceMonitor final : public DeviceMonitor {
 public:
  explicit Win32DeviceMonitor(DeviceEnumerator& enumerator, Win32DeviceMonitorOptions options = {});
  ~Win32DeviceMonitor() override;
  bool Start(Callback callback) override;
  void Stop() override;
  void* WindowHandle() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace zovir
