#pragma once
#include "platform/win32/win32_text.h"
// After windows.h, which it needs and does not include.
#include <setupapi.h>

namespace zovir::win32 {

// Destroys a SetupAPI device information set when it goes.
struct DeviceInfoSetDestroyer {
  void operator()(HDEVINFO set) const { SetupDiDestroyDeviceInfoList(set); }
};
using UniqueDeviceInfoSet = std::unique_ptr<void, DeviceInfoSetDestroyer>;

// Takes over what SetupDiGetClassDevs returned: null when it failed.
inline UniqueDeviceInfoSet AdoptDeviceInfoSet(HDEVINFO set) {
  return UniqueDeviceInfoSet(set == INVALID_HANDLE_VALUE ? nullptr : set);
}

}  // namespace zovir::win32
