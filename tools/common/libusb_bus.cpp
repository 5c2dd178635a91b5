#include <libusb-1.0/libusb.h>

#include <filesystem>
#include <fstream>

#include "tools/common/usb_bus.h"

namespace zovir::tools {
namespace {
namespace fs = std::filesystem;

constexpr unsigned kTimeoutMs = 3000;

std::string Trimmed(std::string s) {
  while (!s.empty() && (s.back() == ' ' || s.back() == '\n')) s.pop_back();
  while (!s.empty() && s.front() == ' ') s.erase(s.begin());
  return s;
}

// The SCSI inquiry strings the kernel shows for a storage interface of the device whose
// sysfs name is `name` (such as "1-2.3").
void ReadScsiStrings(const std::string& name, UsbDevice& d) {
  std::error_code ec;
  fs::path root = fs::path("/sys/bus/usb/devices") / (name + ":1." + std::to_string(d.storageInterface));
  if (!fs::exists(root, ec)) return;
  for (auto it = fs::recursive_directory_iterator(root, ec); it != fs::recursive_directory_iterator(); it.increment(ec)) {
    if (ec || it.depth() > 4) break;
    if (it->path().filename() == "model" && fs::exists(it->path().parent_path() / "vendor", ec)) {
      std::ifstream vendor(it->path().parent_path() / "vendor"), model(it->path());
      std::getline(vendor, d.scsiVendor);
      std::getline(model, d.scsiModel);
      d.scsiVendor = Trimmed(d.scsiVendor);
      d.scsiModel = Trimmed(d.scsiModel);
      return;
    }
  }
}

class LibUsbBus : public UsbBus {
 public:
  LibUsbBus() { ok_ = libusb_init(&ctx_) == 0; }
  ~LibUsbBus() override {
    if (ok_) libusb_exit(ctx_);
  }
  LibUsbBus(const LibUsbBus&) = delete;
  LibUsbBus& operator=(const LibUsbBus&) = delete;

  bool List(std::vector<UsbDevice>& out, std::string& error) override {
    if (!ok_) {
      error = "USB access is not available";
      return false;
    }
    libusb_device** list = nullptr;
    ssize_t n = libusb_get_device_list(ctx_, &list);
    if (n < 0) {
      error = libusb_strerror(static_cast<int>(n));
      return false;
    }
    out.clear();
    for (ssize_t i = 0; i < n; ++i) out.push_back(Describe(list[i]));
    libusb_free_device_list(list, 1);
    return true;
  }

  bool Reset(const UsbDevice& device, std::string& error) override {
    return WithHandle(device, error, [&](libusb_device_handle* h) {
      int r = libusb_reset_device(h);
      // A device that re-enumerates under a new address reports NOT_FOUND: it did reset.
      if (r == 0 || r == LIBUSB_ERROR_NOT_FOUND) return true;
      error = libusb_strerror(r);
      return false;
    });
  }

  bool SendStorageCommand(const UsbDevice& device, const std::vector<uint8_t>& data, std::string& error) override {
    if (device.storageInterface < 0 || device.bulkOut < 0) {
      error = "the device has no mass-storage interface";
      return false;
    }
    return WithInterface(device, device.storageInterface, error, [&](libusb_device_handle* h) {
      int sent = 0;
      std::vector<uint8_t> buf = data;
      int r = libusb_bulk_transfer(h, static_cast<unsigned char>(device.bulkOut), buf.data(),
                                   static_cast<int>(buf.size()), &sent, kTimeoutMs);
      if (r != 0 || sent != static_cast<int>(buf.size())) {
        error = r != 0 ? libusb_strerror(r) : "short write";
        return false;
      }
      if (device.bulkIn >= 0) {
        // The status reply; a device that switches at once never sends it.
        unsigned char status[13];
        int got = 0;
        libusb_bulk_transfer(h, static_cast<unsigned char>(device.bulkIn), status, sizeof status, &got, 1000);
      }
      return true;
    });
  }

  bool SendHidReport(const UsbDevice& device, const std::vector<uint8_t>& data, std::string& error) override {
    if (device.hidInterface < 0) {
      error = "the device has no HID interface";
      return false;
    }
    return WithInterface(device, device.hidInterface, error, [&](libusb_device_handle* h) {
      std::vector<uint8_t> buf = data;
      // SET_REPORT, output report 0.
      int r = libusb_control_transfer(h, 0x21, 0x09, 0x0200, static_cast<uint16_t>(device.hidInterface), buf.data(),
                                      static_cast<uint16_t>(buf.size()), kTimeoutMs);
      if (r < 0) {
        error = libusb_strerror(r);
        return false;
      }
      return true;
    });
  }

 private:
  UsbDevice Describe(libusb_device* dev) {
    UsbDevice d;
    libusb_device_descriptor desc{};
    if (libusb_get_device_descriptor(dev, &desc) == 0) {
      d.vendorId = desc.idVendor;
      d.productId = desc.idProduct;
    }
    d.bus = libusb_get_bus_number(dev);
    d.address = libusb_get_device_address(dev);
    libusb_config_descriptor* cfg = nullptr;
    if (libusb_get_active_config_descriptor(dev, &cfg) == 0 && cfg) {
      for (int i = 0; i < cfg->bNumInterfaces; ++i) {
        if (cfg->interface[i].num_altsetting < 1) continue;
        const libusb_interface_descriptor& alt = cfg->interface[i].altsetting[0];
        if (alt.bInterfaceClass == LIBUSB_CLASS_MASS_STORAGE && d.storageInterface < 0) {
          d.storageInterface = alt.bInterfaceNumber;
          for (int e = 0; e < alt.bNumEndpoints; ++e) {
            const libusb_endpoint_descriptor& ep = alt.endpoint[e];
            if ((ep.bmAttributes & 0x03) != LIBUSB_TRANSFER_TYPE_BULK) continue;
            if (ep.bEndpointAddress & 0x80) {
              d.bulkIn = ep.bEndpointAddress;
            } else {
              d.bulkOut = ep.bEndpointAddress;
            }
          }
        } else if (alt.bInterfaceClass == LIBUSB_CLASS_HID && d.hidInterface < 0) {
          d.hidInterface = alt.bInterfaceNumber;
        }
      }
      libusb_free_config_descriptor(cfg);
    }
    if (d.storageInterface >= 0) {
      uint8_t ports[8];
      int n = libusb_get_port_numbers(dev, ports, sizeof ports);
      if (n > 0) {
        std::string name = std::to_string(d.bus) + "-" + std::to_string(ports[0]);
        for (int i = 1; i < n; ++i) name += "." + std::to_string(ports[i]);
        ReadScsiStrings(name, d);
      }
    }
    return d;
  }

  template <typename F>
  bool WithHandle(const UsbDevice& device, std::string& error, F&& action) {
    if (!ok_) {
      error = "USB access is not available";
      return false;
    }
    libusb_device** list = nullptr;
    ssize_t n = libusb_get_device_list(ctx_, &list);
    if (n < 0) {
      error = libusb_strerror(static_cast<int>(n));
      return false;
    }
    libusb_device_handle* handle = nullptr;
    int r = LIBUSB_ERROR_NO_DEVICE;
    for (ssize_t i = 0; i < n; ++i) {
      if (libusb_get_bus_number(list[i]) == device.bus && libusb_get_device_address(list[i]) == device.address) {
        r = libusb_open(list[i], &handle);
        break;
      }
    }
    libusb_free_device_list(list, 1);
    if (r != 0 || !handle) {
      error = libusb_strerror(r);
      return false;
    }
    bool ok = action(handle);
    libusb_close(handle);
    return ok;
  }

  template <typename F>
  bool WithInterface(const UsbDevice& device, int iface, std::string& error, F&& action) {
    return WithHandle(device, error, [&](libusb_device_handle* h) {
      libusb_set_auto_detach_kernel_driver(h, 1);
      int r = libusb_claim_interface(h, iface);
      if (r != 0) {
        error = libusb_strerror(r);
        return false;
      }
      bool ok = action(h);
      libusb_release_interface(h, iface);
      return ok;
    });
  }

  libusb_context* ctx_ = nullptr;
  bool ok_ = false;
};

}  // namespace

std::unique_ptr<UsbBus> OpenLibUsbBus() { return std::make_unique<LibUsbBus>(); }

}  // namespace zovir::tools
