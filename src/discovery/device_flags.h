#pragma once
#include <atomic>

#include "platform/device_monitor.h"

namespace zovir {

// How the window turns a device event into the engine's two flags: any change raises
// DeviceChangeSeen, an arrival also DeviceArrivalSeen.
inline void NoteDeviceEvent(const DeviceEvent& event, std::atomic<bool>& DeviceChangeSeen,
                            std::atomic<bool>& DeviceArrivalSeen) {
  DeviceChangeSeen = true;
  if (event.kind == DeviceEventKind::Arrival) DeviceArrivalSeen = true;
}

}  // namespace zovir
