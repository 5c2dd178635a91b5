#include <cstdio>
#include <cstdlib>

#include "platform/profile_file.h"
#include "tools/common/usb_bus.h"

namespace zovir::tools {
namespace {

int HexNumber(const std::string& text, int def) {
  if (text.empty()) return def;
  char* end = nullptr;
  long v = std::strtol(text.c_str(), &end, 16);
  return (end && *end == '\0') ? static_cast<int>(v) : def;
}

// A bus described by an INI file, for tests and demonstrations without hardware:
//   [USB1] VendorId=05C6 ProductId=9025 Bus=1 Address=4
//          StorageInterface=0 BulkOut=01 BulkIn=81 ScsiVendor=... ScsiModel=...
//          HidInterface=1 Fail=reset|storage|hid
// Every operation leaves a record in its section: ResetCount, StorageCommand, HidReport.
class FileUsbBus : public UsbBus {
 public:
  explicit FileUsbBus(std::string path) : path_(std::move(path)) {}

  bool List(std::vector<UsbDevice>& out, std::string& error) override {
    ProfileFile ini(path_);
    if (!ini.Loaded()) {
      error = "cannot read " + path_;
      return false;
    }
    out.clear();
    for (int i = 1; i <= 64; ++i) {
      std::string s = "USB" + std::to_string(i);
      if (!ini.Find(s, "VendorId")) continue;
      UsbDevice d;
      d.vendorId = HexNumber(ini.GetString(s, "VendorId", ""), 0);
      d.productId = HexNumber(ini.GetString(s, "ProductId", ""), 0);
      d.bus = ini.GetInt(s, "Bus", 1);
      d.address = ini.GetInt(s, "Address", i);
      d.storageInterface = ini.GetInt(s, "StorageInterface", -1);
      d.bulkOut = HexNumber(ini.GetString(s, "BulkOut", ""), -1);
      d.bulkIn = HexNumber(ini.GetString(s, "BulkIn", ""), -1);
      d.scsiVendor = ini.GetString(s, "ScsiVendor", "");
      d.scsiModel = ini.GetString(s, "ScsiModel", "");
      d.hidInterface = ini.GetInt(s, "HidInterface", -1);
      out.push_back(d);
    }
    return true;
  }

  bool Reset(const UsbDevice& device, std::string& error) override {
    return Record(device, "reset", "ResetCount", "", error);
  }
  bool SendStorageCommand(const UsbDevice& device, const std::vector<uint8_t>& data, std::string& error) override {
    return Record(device, "storage", "StorageCommand", HexBytes(data), error);
  }
  bool SendHidReport(const UsbDevice& device, const std::vector<uint8_t>& data, std::string& error) override {
    return Record(device, "hid", "HidReport", HexBytes(data), error);
  }

 private:
  bool Record(const UsbDevice& device, const std::string& op, const char* key, const std::string& value,
              std::string& error) {
    ProfileFile ini(path_);
    for (int i = 1; i <= 64; ++i) {
      std::string s = "USB" + std::to_string(i);
      if (!ini.Find(s, "VendorId")) continue;
      if (ini.GetInt(s, "Bus", 1) != device.bus || ini.GetInt(s, "Address", i) != device.address) continue;
      if (ini.GetString(s, "Fail", "") == op) {
        error = "the device refused the " + op + " request";
        return false;
      }
      std::string v = value.empty() ? std::to_string(ini.GetInt(s, key, 0) + 1) : value;
      if (!ini.WriteString(s, key, v)) {
        error = "cannot write " + path_;
        return false;
      }
      return true;
    }
    error = "no such device";
    return false;
  }
  std::string path_;
};

}  // namespace

std::string HexBytes(const std::vector<uint8_t>& data) {
  std::string out;
  char buf[4];
  for (uint8_t b : data) {
    std::snprintf(buf, sizeof buf, "%02X", b);
    out += buf;
  }
  return out;
}

std::unique_ptr<UsbBus> OpenFileUsbBus(const std::string& path) { return std::make_unique<FileUsbBus>(path); }

std::unique_ptr<UsbBus> OpenUsbBus() {
  const char* map = std::getenv("ZOVIR_USB_MAP");
  if (map && *map) return OpenFileUsbBus(map);
  return OpenLibUsbBus();
}

}  // namespace zovir::tools
