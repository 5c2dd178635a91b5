#include "discovery/usb_boot.h"

#include <cerrno>

#include <algorithm>
#include <fstream>
#include <iterator>

#include "discovery/launchers.h"
#include "platform/regular_file.h"

namespace zovir {
namespace {

constexpr uint32_t kRetryPauseMs = 1000;
constexpr uint32_t kPauseStepMs = 100;

std::string Upper(std::string s) {
  for (char& c : s) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return s;
}

void Emit(const std::function<void(const std::string&)>& log, const std::string& line) {
  if (log) log(line);
}

bool IsFile(const std::string& path) { return RegularFileSize(path).has_value(); }

enum class ReadResult { Ok, Unreadable, TooLong, Empty };

ReadResult ReadImage(const std::string& path, std::vector<uint8_t>& image) {
  std::string bytes, why;
  if (!ReadRegularFile(path, kUsbBootImageMax, bytes, &why)) {
    // Larger than the loader may be, or not something to read at all.
    return RegularFileSize(path).value_or(0) > kUsbBootImageMax ? ReadResult::TooLong : ReadResult::Unreadable;
  }
  image.assign(bytes.begin(), bytes.end());
  if (image.empty()) return ReadResult::Empty;
  return ReadResult::Ok;
}

}  // namespace

std::unique_ptr<UsbPipe> OpenUsbBootPipe(UsbBulk& usb, const std::function<void(const std::string&)>& log) {
  int error = 0;
  std::vector<std::string> devices = usb.ListDevices(error);
  std::string found;
  for (const std::string& path : devices) {
    Emit(log, "Attempting to open " + path);
    if (Upper(path).find(kUsbBootDeviceId) == std::string::npos) {
      Emit(log, path + " is not our device");
      continue;
    }
    int openError = 0;
    if (!usb.CanOpen(path, openError)) {
      Emit(log, "FAILED to open " + path);
      error = openError;
      continue;
    }
    found = path;
    break;
  }
  if (found.empty()) {
    if (error == 0) error = ENODEV;
    Emit(log, "Failed to GetUsbDeviceFileName err - " + std::to_string(error));
    return nullptr;
  }
  std::string pipePath = found + "\\" + kUsbBootPipeName;
  if (pipePath.size() > kUsbBootPipePathMax) {
    Emit(log, "Failed to open handle - possibly long filename");
    return nullptr;
  }
  Emit(log, "completeDeviceName = (" + pipePath + ")");
  std::unique_ptr<UsbPipe> pipe = usb.OpenPipe(pipePath, error);
  if (pipe == nullptr) {
    Emit(log, "Failed to open (" + pipePath + ") = " + std::to_string(error));
    return nullptr;
  }
  Emit(log, "Opened successfully.");
  return pipe;
}

UsbBootSend SendUsbBootImage(UsbPipe& pipe, const std::vector<uint8_t>& image,
                             const std::function<void(const std::string&)>& log) {
  uint32_t size = static_cast<uint32_t>(image.size());
  const uint8_t length[4] = {static_cast<uint8_t>(size), static_cast<uint8_t>(size >> 8),
                             static_cast<uint8_t>(size >> 16), static_cast<uint8_t>(size >> 24)};
  size_t written = 0;
  int error = 0;
  if (!pipe.Write(length, sizeof length, written, error)) {
    Emit(log, "Failed to write file's size to board, try to continue....");
    return UsbBootSend::SizeFailed;
  }
  Emit(log, "size " + std::to_string(size) + " nBytesWrite " + std::to_string(written));
  if (!pipe.Write(image.data(), image.size(), written, error)) {
    Emit(log, "Failed to write file to board, try to continue....");
    return UsbBootSend::ImageFailed;
  }
  Emit(log, "Successfully make download....");
  return UsbBootSend::Sent;
}

UsbBootDownload::UsbBootDownload(UsbBulk& usb, KeyValueStore& store, Clock& clock, LogFn log)
    : usb_(usb), store_(store), clock_(clock), log_(std::move(log)) {}

UsbBootDownload::~UsbBootDownload() { Stop(); }

void UsbBootDownload::Log(const std::string& line) { Emit(log_, line); }

bool UsbBootDownload::StartUsbBootDownload(const std::string& imageFolder) {
  std::string imagePath = imageFolder + "/" + kUsbBootImageName;
  if (!IsFile(imagePath)) return false;
  std::lock_guard<std::mutex> lock(startMutex_);
  SetDownloadSupport(store_, 0, log_);
  runFlag_ = false;
  if (thread_.joinable()) thread_.join();
  runFlag_ = true;
  SetDownloadSupport(store_, 1, log_);
  running_ = true;
  thread_ = std::thread([this, imagePath] { Thread(imagePath); });
  return true;
}

void UsbBootDownload::Stop() {
  std::lock_guard<std::mutex> lock(startMutex_);
  runFlag_ = false;
  if (thread_.joinable()) thread_.join();
}

void UsbBootDownload::Pause(uint32_t ms) {
  while (ms > 0 && runFlag_.load()) {
    uint32_t step = std::min(ms, kPauseStepMs);
    clock_.SleepMs(step);
    ms -= step;
  }
}

void UsbBootDownload::Thread(std::string imagePath) {
  Log("ThreadFastbootFunc start");
  std::vector<uint8_t> image;
  switch (ReadImage(imagePath, image)) {
    case ReadResult::Ok:
      break;
    case ReadResult::Unreadable:
      Log("Failed to read file " + imagePath + " , please check whether it's in the exe dir.");
      running_ = false;
      return;
    case ReadResult::TooLong:
      // Cut short, the loader would run as a broken program on the board.
      Log("File " + imagePath + " is longer than " + std::to_string(kUsbBootImageMax) +
          " bytes and is not sent to the board.");
      running_ = false;
      return;
    case ReadResult::Empty:
      Log("File " + imagePath + " is empty and is not sent to the board.");
      running_ = false;
      return;
  }

  while (runFlag_.load()) {
    std::unique_ptr<UsbPipe> pipe = OpenUsbBootPipe(usb_, log_);
    if (pipe == nullptr) {
      Log("Failed to find device. try again");
      Pause(kRetryPauseMs);
      continue;
    }
    if (!runFlag_.load()) {
      pipe.reset();
      Log("_endthread();");
      break;
    }
    UsbBootSend sent = SendUsbBootImage(*pipe, image, log_);
    pipe.reset();
    if (sent == UsbBootSend::Sent) ++downloads_;
    // Also after a failed write: a board that keeps refusing is tried again once a second,
    // not in a tight loop.
    Pause(kRetryPauseMs);
  }
  running_ = false;
}

}  // namespace zovir
