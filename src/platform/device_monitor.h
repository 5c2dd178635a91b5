#pragma once
#include <functional>
#include <string>

namespace zovir {

enum class DeviceEventKind { Arrival, Removal };

// A serial port that appeared or went away.
struct DeviceEvent {
  DeviceEventKind kind = DeviceEventKind::Arrival;
  std::string PortName;  // "COM" + number
  std::string Path;      // device node
};

// Watches the host for serial ports coming and going. The callback runs on the monitor's
// own thread; a front end hands the event to its window thread (any event raises
// DeviceChangeSeen, an arrival also DeviceArrivalSeen).
class DeviceMonitor {
 public:
  using Callback = std::function<void(const DeviceEvent&)>;
  virtual ~DeviceMonitor() = default;
  // Takes the current ports as the baseline (no events for them) and starts watching.
  // False when watching cannot start at all.
  virtual bool Start(Callback callback) = 0;
  // Stops watching; no callback runs after Stop returns. Idempotent.
  virtual void Stop() = 0;
};

}  // namespace zovir
