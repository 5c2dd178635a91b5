#pragma once
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace zovir::test {

// A throw-away folder with the sysfs shape the enumerator reads: class/tty/<node> with a
// "device" link into devices/, USB devices with their interfaces, and a dev/ folder with
// stand-ins for the device nodes.
class FakeSysfs {
 public:
  FakeSysfs() {
    std::string pattern = (std::filesystem::temp_directory_path() / "zovir-sysfs-XXXXXX").string();
    root = mkdtemp(pattern.data());
    std::filesystem::create_directories(root / "class" / "tty");
    std::filesystem::create_directories(root / "dev");
  }
  ~FakeSysfs() {
    std::error_code ec;
    std::filesystem::remove_all(root, ec);
  }
  FakeSysfs(const FakeSysfs&) = delete;
  FakeSysfs& operator=(const FakeSysfs&) = delete;

  static void Write(const std::filesystem::path& file, const std::string& text) {
    std::filesystem::create_directories(file.parent_path());
    std::ofstream(file) << text << "\n";
  }

  // A USB device; returns its folder.
  std::filesystem::path UsbDevice(const std::string& busPath, const std::string& vid, const std::string& pid,
                                  const std::string& rev, int interfaces, const std::string& product = "") {
    const auto dir = root / "devices" / "pci0000:00" / "usb1" / busPath;
    Write(dir / "idVendor", vid);
    Write(dir / "idProduct", pid);
    Write(dir / "bcdDevice", rev);
    Write(dir / "bNumInterfaces", (interfaces < 10 ? " " : "") + std::to_string(interfaces));
    if (!product.empty()) Write(dir / "product", product);
    return dir;
  }

  // One interface of `device`; `name` is its interface string (none when empty).
  std::filesystem::path Interface(const std::filesystem::path& device, int number, const std::string& name = "") {
    const auto dir = device / (device.filename().string() + ":1." + std::to_string(number));
    char hex[3];
    std::snprintf(hex, sizeof hex, "%02x", number);
    Write(dir / "bInterfaceNumber", hex);
    if (!name.empty()) Write(dir / "interface", name);
    return dir;
  }

  // A usb-serial port (option, qcserial, ...) below an interface.
  void TtyUSB(int k, const std::filesystem::path& interface) {
    const std::string node = "ttyUSB" + std::to_string(k);
    std::filesystem::create_directories(interface / node);
    Tty(node, interface / node);
  }
  // A cdc-acm port: the tty's device is the interface itself.
  void TtyACM(int k, const std::filesystem::path& interface) { Tty("ttyACM" + std::to_string(k), interface); }
  // A built-in UART; type 0 is the placeholder of a port without hardware.
  void TtyS(int k, int type) {
    const std::string node = "ttyS" + std::to_string(k);
    const auto platform = root / "devices" / "platform" / "serial8250";
    std::filesystem::create_directories(platform);
    Tty(node, platform);
    Write(root / "class" / "tty" / node / "type", std::to_string(type));
  }
  // A terminal without a device behind it (console, virtual terminal).
  void VirtualTty(const std::string& node) {
    std::filesystem::create_directories(root / "class" / "tty" / node);
    Write(root / "dev" / node, "");
  }
  void Remove(const std::string& node) {
    std::filesystem::remove_all(root / "class" / "tty" / node);
    std::filesystem::remove(root / "dev" / node);
  }
  std::string Dev(const std::string& node) const { return (root / "dev" / node).string(); }

  std::filesystem::path root;

 private:
  void Tty(const std::string& node, const std::filesystem::path& device) {
    const auto dir = root / "class" / "tty" / node;
    std::filesystem::create_directories(dir);
    std::filesystem::create_directory_symlink(device, dir / "device");
    Write(root / "dev" / node, "");
  }
};

}  // namespace zovir::test
