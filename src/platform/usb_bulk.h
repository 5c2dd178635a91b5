#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace zovir {

// One write pipe of a USB device, open until the object goes.
class UsbPipe {
 public:
  virtual ~UsbPipe() = default;
  // Writes `size` bytes in one transfer. `written` tells how many the device took; false
  // (with `error` set) when the transfer failed or was cut short.
  virtual bool Write(const uint8_t* data, size_t size, size_t& written, int& error) = 0;
};

// The USB devices that offer a bulk interface, named by device paths in the form of the
// other platform's device interfaces, ids in lower case:
//   "usb#vid_0451&pid_d00e#<bus>-<port path>"
// A pipe is named by the device path, a backslash and the pipe's name ("...\PIPE01"); the
// pipe is the bulk OUT endpoint of the device's first interface that has one.
class UsbBulk {
 public:
  virtual ~UsbBulk() = default;
  // The present devices in bus order. Empty with `error` set when the bus cannot be read.
  virtual std::vector<std::string> ListDevices(int& error) = 0;
  // Opens the device for reading and writing and closes it again: false (with `error`) when
  // it cannot be opened (no right to it, gone meanwhile).
  virtual bool CanOpen(const std::string& devicePath, int& error) = 0;
  // Claims the device's bulk interface (a kernel driver bound to it is detached while it is
  // held) and opens the pipe; nullptr with `error` set on failure.
  virtual std::unique_ptr<UsbPipe> OpenPipe(const std::string& pipePath, int& error) = 0;
};

// libusb-1.0. Without the library in the build every call fails with ENOSYS.
std::unique_ptr<UsbBulk> MakeLibusbBulk();

}  // namespace zovir
