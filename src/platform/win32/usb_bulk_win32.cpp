// The USB boot driver of the SoC: every board waiting in its USB boot mode is a device
// interface of the driver's own class, and each of its endpoints is a file below the
// interface's path ("<device path>\PIPE01").
#include "platform/win32/usb_bulk_win32.h"

#include "platform/win32/setup_api.h"

#include <vector>

namespace zovir {
namespace {

constexpr GUID kUsbBootInterface = {0x00873FDF, 0x61A8, 0x11D1, {0xAA, 0x5E, 0x00, 0xC0, 0x4F, 0xB1, 0x72, 0x8B}};
// The driver offers a handful of boards at most; the tool looks at the first four.
constexpr DWORD kInterfacesExamined = 4;

win32::UniqueHandle OpenShared(const std::string& path, int& error) {
  win32::UniqueHandle h(CreateFileW(win32::Wide(path).c_str(), GENERIC_READ | GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
  if (!h.valid()) error = static_cast<int>(GetLastError());
  return h;
}

class Win32UsbPipe final : public UsbPipe {
 public:
  explicit Win32UsbPipe(win32::UniqueHandle pipe) : pipe_(std::move(pipe)) {}
  bool Write(const uint8_t* data, size_t size, size_t& written, int& error) override {
    written = 0;
    if (size > MAXDWORD) {
      error = ERROR_INVALID_PARAMETER;
      return false;
    }
    DWORD n = 0;
    if (!WriteFile(pipe_.get(), data, static_cast<DWORD>(size), &n, nullptr)) {
      error = static_cast<int>(GetLastError());
      return false;
    }
    written = n;
    if (n != size) {
      error = ERROR_WRITE_FAULT;
      return false;
    }
    return true;
  }

 private:
  win32::UniqueHandle pipe_;
};

class Win32UsbBulk final : public UsbBulk {
 public:
  std::vector<std::string> ListDevices(int& error) override {
    error = 0;
    std::vector<std::string> paths;
    const auto set = win32::AdoptDeviceInfoSet(
        SetupDiGetClassDevsW(&kUsbBootInterface, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE));
    if (set == nullptr) {
      error = static_cast<int>(GetLastError());
      return paths;
    }
    for (DWORD i = 0; i < kInterfacesExamined; ++i) {
      SP_DEVICE_INTERFACE_DATA data{};
      data.cbSize = sizeof data;
      if (!SetupDiEnumDeviceInterfaces(set.get(), nullptr, &kUsbBootInterface, i, &data)) break;
      DWORD bytes = 0;
      SetupDiGetDeviceInterfaceDetailW(set.get(), &data, nullptr, 0, &bytes, nullptr);
      if (bytes < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) break;
      // The detail is a header followed by the path; DWORD storage keeps it aligned.
      std::vector<DWORD> storage(bytes / sizeof(DWORD) + 1);
      auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(storage.data());
      detail->cbSize = sizeof *detail;
      if (!SetupDiGetDeviceInterfaceDetailW(set.get(), &data, detail, bytes, nullptr, nullptr)) break;
      paths.push_back(win32::Utf8(detail->DevicePath, wcslen(detail->DevicePath)));
    }
    return paths;
  }

  bool CanOpen(const std::string& devicePath, int& error) override { return OpenShared(devicePath, error).valid(); }

  std::unique_ptr<UsbPipe> OpenPipe(const std::string& pipePath, int& error) override {
    win32::UniqueHandle pipe = OpenShared(pipePath, error);
    if (!pipe.valid()) return nullptr;
    return std::make_unique<Win32UsbPipe>(std::move(pipe));
  }
};

}  // namespace

std::unique_ptr<UsbBulk> MakeWin32UsbBulk() { return std::make_unique<Win32UsbBulk>(); }

}  // namespace zovir
