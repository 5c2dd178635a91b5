#pragma once
#include <memory>

#include "platform/device_enumerator.h"
#include "platform/device_monitor.h"

namespace zovir {

// The ports class of SetupAPI (friendly name, description, first hardware id, the port name
// from the device's own key, the USB parent's instance id and serial number) and the system's
// map of serial ports (HKLM\HARDWARE\DEVICEMAP\SERIALCOMM).
std::unique_ptr<DeviceEnumerator> MakeWin32DeviceEnumerator();

// A message-only window on a thread of its own, told of COM-port interfaces coming and going:
// on each notice the map of serial ports is read again and every port that came or went
// becomes an event (a port's own notice, naming it, is taken as it is). The window's handle is the
// target for a test's own WM_DEVICECHANGE.
class Win32DeviceMonitor final : public DeviceMonitor {
 public:
  Win32DeviceMonitor();
  ~Win32DeviceMonitor() override;
  bool Start(Callback callback) override;
  void Stop() override;
  void* WindowHandle() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace zovir
