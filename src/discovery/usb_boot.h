#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/key_value_store.h"
#include "platform/usb_bulk.h"

namespace zovir {

// The first-stage loader a SoC waiting in its USB boot mode receives, and its limits.
inline constexpr const char* kUsbBootImageName = "xload.bin";
inline constexpr size_t kUsbBootImageMax = 65535;
// What a device path must contain (after upper-casing) to be a board in USB boot mode.
inline constexpr const char* kUsbBootDeviceId = "VID_0451&PID_D00E";
inline constexpr const char* kUsbBootPipeName = "PIPE01";
inline constexpr size_t kUsbBootPipePathMax = 255;

// Finds the first present board in USB boot mode and opens its pipe, logging each step.
// nullptr when there is none (or it cannot be opened).
std::unique_ptr<UsbPipe> OpenUsbBootPipe(UsbBulk& usb, const std::function<void(const std::string&)>& log);

enum class UsbBootSend { Sent, SizeFailed, ImageFailed };
// Sends `image` over an open pipe: its length as a 32-bit little-endian number, then the
// bytes; logs the outcome.
UsbBootSend SendUsbBootImage(UsbPipe& pipe, const std::vector<uint8_t>& image,
                             const std::function<void(const std::string&)>& log);

// The USB boot download thread. The controller owns one and calls StartUsbBootDownload once
// when [DownloadItems] bSwitchFastbootMode is on; destroying it (or Stop) clears the run
// flag and joins the thread.
//
//   UsbBootDownload usbBoot(*usb, settings, clock, [&](const std::string& l) { runLog.WriteLogLine(l); });
//   if (config.bSwitchFastbootMode) usbBoot.StartUsbBootDownload(imageFolder);
//   ...
//   usbBoot.Stop();  // at shut-down
class UsbBootDownload {
 public:
  using LogFn = std::function<void(const std::string&)>;
  UsbBootDownload(UsbBulk& usb, KeyValueStore& store, Clock& clock, LogFn log);
  ~UsbBootDownload();
  UsbBootDownload(const UsbBootDownload&) = delete;
  UsbBootDownload& operator=(const UsbBootDownload&) = delete;

  // Starts (or restarts) the thread for image folder + "/xload.bin". False, with nothing
  // done (no thread, no driver information written), when that file does not exist.
  bool StartUsbBootDownload(const std::string& imageFolder);
  // Clears the run flag and waits for the thread to end.
  void Stop();
  // True from a start until the thread has ended.
  bool Running() const { return running_.load(); }
  // Loaders sent since construction.
  int Downloads() const { return downloads_.load(); }

 private:
  void Thread(std::string imagePath);
  void Log(const std::string& line);
  // Waits `ms` in small steps so that a stop is not held up.
  void Pause(uint32_t ms);

  UsbBulk& usb_;
  KeyValueStore& store_;
  Clock& clock_;
  LogFn log_;
  std::atomic<bool> runFlag_{false};
  std::atomic<bool> running_{false};
  std::atomic<int> downloads_{0};
  std::mutex startMutex_;
  std::thread thread_;
};

}  // namespace zovir
