#include <cerrno>
#include <cstdio>

#include "platform/usb_bulk.h"

#if defined(ZOVIR_HAVE_LIBUSB)
#include <libusb-1.0/libusb.h>
#endif

namespace zovir {

#if defined(ZOVIR_HAVE_LIBUSB)
namespace {

constexpr unsigned kWriteTimeoutMs = 5000;

int ErrnoOf(int libusbError) {
  switch (libusbError) {
    case LIBUSB_ERROR_ACCESS: return EACCES;
    case LIBUSB_ERROR_NO_DEVICE: return ENODEV;
    case LIBUSB_ERROR_NOT_FOUND: return ENOENT;
    case LIBUSB_ERROR_BUSY: return EBUSY;
    case LIBUSB_ERROR_TIMEOUT: return ETIMEDOUT;
    case LIBUSB_ERROR_PIPE: return EPIPE;
    case LIBUSB_ERROR_NO_MEM: return ENOMEM;
    case LIBUSB_ERROR_NOT_SUPPORTED: return ENOSYS;
    case LIBUSB_ERROR_INVALID_PARAM: return EINVAL;
    default: return EIO;
  }
}

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool SameNoCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (Lower(a[i]) != Lower(b[i])) return false;
  }
  return true;
}

struct BulkOut {
  int interfaceNumber = -1;
  unsigned char endpoint = 0;
};

// The first interface (in its first alternate setting) with a bulk OUT endpoint.
BulkOut FindBulkOut(libusb_device* device) {
  BulkOut found;
  libusb_config_descriptor* config = nullptr;
  if (libusb_get_active_config_descriptor(device, &config) != 0 || config == nullptr) {
    if (libusb_get_config_descriptor(device, 0, &config) != 0 || config == nullptr) return found;
  }
  for (int i = 0; i < config->bNumInterfaces && found.interfaceNumber < 0; ++i) {
    const libusb_interface& iface = config->interface[i];
    if (iface.num_altsetting < 1) continue;
    const libusb_interface_descriptor& alt = iface.altsetting[0];
    for (int e = 0; e < alt.bNumEndpoints; ++e) {
      const libusb_endpoint_descriptor& ep = alt.endpoint[e];
      if ((ep.bmAttributes & LIBUSB_TRANSFER_TYPE_MASK) == LIBUSB_TRANSFER_TYPE_BULK &&
          (ep.bEndpointAddress & LIBUSB_ENDPOINT_DIR_MASK) == LIBUSB_ENDPOINT_OUT) {
        found.interfaceNumber = alt.bInterfaceNumber;
        found.endpoint = ep.bEndpointAddress;
        break;
      }
    }
  }
  libusb_free_config_descriptor(config);
  return found;
}

std::string PathOf(libusb_device* device) {
  libusb_device_descriptor desc{};
  if (libusb_get_device_descriptor(device, &desc) != 0) return {};
  uint8_t ports[8];
  int n = libusb_get_port_numbers(device, ports, sizeof ports);
  std::string portPath;
  for (int i = 0; i < n; ++i) portPath += (i ? "." : "") + std::to_string(ports[i]);
  if (portPath.empty()) portPath = "0";
  char head[32];
  std::snprintf(head, sizeof head, "usb#vid_%04x&pid_%04x#", desc.idVendor, desc.idProduct);
  return head + std::to_string(libusb_get_bus_number(device)) + "-" + portPath;
}

class DeviceList {
 public:
  explicit DeviceList(libusb_context* ctx) { count_ = libusb_get_device_list(ctx, &list_); }
  ~DeviceList() {
    if (list_ != nullptr) libusb_free_device_list(list_, 1);
  }
  DeviceList(const DeviceList&) = delete;
  DeviceList& operator=(const DeviceList&) = delete;
  ssize_t Count() const { return count_; }
  libusb_device* operator[](ssize_t i) const { return list_[i]; }

 private:
  libusb_device** list_ = nullptr;
  ssize_t count_ = 0;
};

class LibusbPipe final : public UsbPipe {
 public:
  LibusbPipe(libusb_device_handle* handle, int interfaceNumber, unsigned char endpoint)
      : handle_(handle), interface_(interfaceNumber), endpoint_(endpoint) {}
  ~LibusbPipe() override {
    libusb_release_interface(handle_, interface_);
    libusb_close(handle_);
  }
  LibusbPipe(const LibusbPipe&) = delete;
  LibusbPipe& operator=(const LibusbPipe&) = delete;

  bool Write(const uint8_t* data, size_t size, size_t& written, int& error) override {
    written = 0;
    error = 0;
    int transferred = 0;
    int rc = libusb_bulk_transfer(handle_, endpoint_, const_cast<uint8_t*>(data), static_cast<int>(size),
                                  &transferred, kWriteTimeoutMs);
    written = transferred > 0 ? static_cast<size_t>(transferred) : 0;
    if (rc != 0) {
      error = ErrnoOf(rc);
      return false;
    }
    if (written != size) {
      error = EIO;
      return false;
    }
    return true;
  }

 private:
  libusb_device_handle* handle_;
  int interface_;
  unsigned char endpoint_;
};

class LibusbBulk final : public UsbBulk {
 public:
  ~LibusbBulk() override {
    if (ctx_ != nullptr) libusb_exit(ctx_);
  }

  std::vector<std::string> ListDevices(int& error) override {
    error = 0;
    std::vector<std::string> paths;
    if (!Init(error)) return paths;
    DeviceList list(ctx_);
    if (list.Count() < 0) {
      error = ErrnoOf(static_cast<int>(list.Count()));
      return paths;
    }
    for (ssize_t i = 0; i < list.Count(); ++i) {
      if (FindBulkOut(list[i]).interfaceNumber < 0) continue;
      std::string path = PathOf(list[i]);
      if (!path.empty()) paths.push_back(path);
    }
    return paths;
  }

  bool CanOpen(const std::string& devicePath, int& error) override {
    libusb_device_handle* handle = Open(devicePath, nullptr, error);
    if (handle == nullptr) return false;
    libusb_close(handle);
    return true;
  }

  std::unique_ptr<UsbPipe> OpenPipe(const std::string& pipePath, int& error) override {
    size_t slash = pipePath.rfind('\\');
    if (slash == std::string::npos) {
      error = ENOENT;
      return nullptr;
    }
    BulkOut bulk;
    libusb_device_handle* handle = Open(pipePath.substr(0, slash), &bulk, error);
    if (handle == nullptr) return nullptr;
    libusb_set_auto_detach_kernel_driver(handle, 1);
    int rc = libusb_claim_interface(handle, bulk.interfaceNumber);
    if (rc != 0) {
      error = ErrnoOf(rc);
      libusb_close(handle);
      return nullptr;
    }
    return std::make_unique<LibusbPipe>(handle, bulk.interfaceNumber, bulk.endpoint);
  }

 private:
  bool Init(int& error) {
    if (ctx_ != nullptr) return true;
    int rc = libusb_init(&ctx_);
    if (rc != 0) {
      ctx_ = nullptr;
      error = ErrnoOf(rc);
      return false;
    }
    return true;
  }

  libusb_device_handle* Open(const std::string& devicePath, BulkOut* bulk, int& error) {
    error = 0;
    if (!Init(error)) return nullptr;
    DeviceList list(ctx_);
    for (ssize_t i = 0; i < list.Count(); ++i) {
      if (!SameNoCase(PathOf(list[i]), devicePath)) continue;
      BulkOut found = FindBulkOut(list[i]);
      if (found.interfaceNumber < 0) break;
      libusb_device_handle* handle = nullptr;
      int rc = libusb_open(list[i], &handle);
      if (rc != 0) {
        error = ErrnoOf(rc);
        return nullptr;
      }
      if (bulk != nullptr) *bulk = found;
      return handle;
    }
    error = ENODEV;
    return nullptr;
  }

  libusb_context* ctx_ = nullptr;
};

}  // namespace

std::unique_ptr<UsbBulk> MakeLibusbBulk() { return std::make_unique<LibusbBulk>(); }

#else

namespace {

class MissingUsbBulk final : public UsbBulk {
 public:
  std::vector<std::string> ListDevices(int& error) override {
    error = ENOSYS;
    return {};
  }
  bool CanOpen(const std::string&, int& error) override {
    error = ENOSYS;
    return false;
  }
  std::unique_ptr<UsbPipe> OpenPipe(const std::string&, int& error) override {
    error = ENOSYS;
    return nullptr;
  }
};

}  // namespace

std::unique_ptr<UsbBulk> MakeLibusbBulk() { return std::make_unique<MissingUsbBulk>(); }

#endif

}  // namespace zovir
