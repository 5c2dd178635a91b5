#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace zovir::tools {

// A USB device as the helpers need to see it.
struct UsbDevice {
  int vendorId = 0;
  int productId = 0;
  int bus = 0;
  int address = 0;
  // The mass-storage (CD-ROM) personality: interface number and bulk endpoints, -1 if none.
  int storageInterface = -1;
  int bulkOut = -1;
  int bulkIn = -1;
  // The SCSI inquiry strings of its disk or CD-ROM, when the kernel has one attached.
  std::string scsiVendor;
  std::string scsiModel;
  // The HID personality: interface number, -1 if none.
  int hidInterface = -1;
};

// The USB operations of the helper programs. The real bus uses libusb-1.0; with the
// environment variable ZOVIR_USB_MAP naming an INI file, a file-backed bus stands in for it
// (each [USBn] section one device; what the helpers do to it is recorded in the same file).
class UsbBus {
 public:
  virtual ~UsbBus() = default;
  virtual bool List(std::vector<UsbDevice>& out, std::string& error) = 0;
  // A port reset of the device: it drops off the bus and enumerates again.
  virtual bool Reset(const UsbDevice& device, std::string& error) = 0;
  // Writes `data` to the bulk OUT endpoint of the storage interface, then reads the status
  // reply (up to 13 bytes) when the device sends one.
  virtual bool SendStorageCommand(const UsbDevice& device, const std::vector<uint8_t>& data, std::string& error) = 0;
  // Sends `data` as a HID output report (report id 0) to the HID interface.
  virtual bool SendHidReport(const UsbDevice& device, const std::vector<uint8_t>& data, std::string& error) = 0;
};

std::unique_ptr<UsbBus> OpenUsbBus();
std::unique_ptr<UsbBus> OpenLibUsbBus();
std::unique_ptr<UsbBus> OpenFileUsbBus(const std::string& path);

std::string HexBytes(const std::vector<uint8_t>& data);

}  // namespace zovir::tools
