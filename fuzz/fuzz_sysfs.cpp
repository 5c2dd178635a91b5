// sysfs attributes of serial ports (USB identification, interface names, UART types), as a
// device or a driver may present them, and the device map merged with them.
#include <filesystem>
#include <fstream>
#include <string>

#include "fuzz_support.h"
#include "platform/linux/device_enumerator_linux.h"

using namespace zovir;
namespace fs = std::filesystem;

namespace {

void Put(const fs::path& file, const fuzz::Bytes& bytes) {
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// sysroot/class/tty/{ttyUSB0,ttyACM0,ttyS0} with their devices below sysroot/devices.
const fs::path& Tree() {
  static const fs::path root = [] {
    const fs::path r = fs::path(fuzz::TempDir()) / "sys";
    const fs::path usb = r / "devices/usb1/1-1";
    fs::create_directories(usb / "1-1:1.0/ttyUSB0");
    fs::create_directories(usb / "1-1:1.2");
    fs::create_directories(r / "devices/platform/serial8250/tty/ttyS0");
    fs::create_directories(r / "class/tty/ttyUSB0");
    fs::create_directories(r / "class/tty/ttyACM0");
    fs::create_directories(r / "class/tty/ttyS0");
    fs::create_directory_symlink(usb / "1-1:1.0/ttyUSB0", r / "class/tty/ttyUSB0/device");
    fs::create_directory_symlink(usb / "1-1:1.2", r / "class/tty/ttyACM0/device");
    fs::create_directory_symlink(r / "devices/platform/serial8250", r / "class/tty/ttyS0/device");
    return r;
  }();
  return root;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::InputReader in(data, size);
  const fs::path& r = Tree();
  const fs::path usb = r / "devices/usb1/1-1";
  Put(usb / "idVendor", in.Piece());
  Put(usb / "idProduct", in.Piece());
  Put(usb / "bcdDevice", in.Piece());
  Put(usb / "bNumInterfaces", in.Piece());
  Put(usb / "product", in.Piece());
  Put(usb / "1-1:1.0/bInterfaceNumber", in.Piece());
  Put(usb / "1-1:1.0/interface", in.Piece());
  Put(usb / "1-1:1.2/bInterfaceNumber", in.Piece());
  Put(usb / "1-1:1.2/interface", in.Piece());
  Put(r / "class/tty/ttyS0/type", in.Piece());
  const auto mapPath = in.Piece();
  const auto mapName = in.Piece();

  LinuxDeviceEnumeratorOptions options;
  options.sysfsRoot = r.string();
  options.devRoot = "/dev";
  options.mappedPorts = [&] {
    MappedPort m;
    m.PortName = std::string(mapName.begin(), mapName.end());
    m.Path = std::string(mapPath.begin(), mapPath.end());
    m.FriendlyName = "Mapped";
    return std::vector<MappedPort>{m};
  };
  LinuxDeviceEnumerator enumerator(options);
  std::vector<PortDevice> devices;
  std::vector<SerialCommEntry> entries;
  (void)enumerator.ListPortDevices(devices);
  (void)enumerator.ListSerialPorts(entries);
  (void)FixedPortNumber(std::string(mapPath.begin(), mapPath.end()));
  return 0;
}
