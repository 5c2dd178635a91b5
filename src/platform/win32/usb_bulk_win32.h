#pragma once
#include <memory>

#include "platform/usb_bulk.h"

namespace zovir {

// The bulk-transfer device interfaces of the USB boot driver (SetupAPI), their pipes opened
// as files. Errors are GetLastError() values.
std::unique_ptr<UsbBulk> MakeWin32UsbBulk();

}  // namespace zovir
