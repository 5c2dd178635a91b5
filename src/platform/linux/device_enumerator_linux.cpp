#include "platform/linux/device_enumerator_linux.h"

#include "common/text.h"
#include "platform/port_namespace.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <system_error>

namespace zovir {
namespace fs = std::filesystem;
namespace {

std::string ReadAttribute(const fs::path& file) {
  std::ifstream in(file);
  if (!in) return {};
  std::string text;
  std::getline(in, text);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) text.pop_back();
  return text;
}

bool ParseHex(const std::string& text, unsigned& value) {
  if (text.empty()) return false;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, 16);
  return ec == std::errc() && end == text.data() + text.size();
}

bool ParseIndex(std::string_view digits, int& value) {
  if (digits.empty()) return false;
  const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  return ec == std::errc() && end == digits.data() + digits.size() && value >= 0;
}

// Parentheses in a name taken from the device would hide the port name at its end.
std::string CleanName(std::string text) {
  for (char& c : text) {
    if (c == '(') c = '[';
    else if (c == ')') c = ']';
    else if (static_cast<unsigned char>(c) < 0x20) c = ' ';
  }
  return text;
}

std::string Hex(unsigned value, int digits) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "%0*X", digits, value);
  return buffer;
}

// Fills the device-interface properties of a USB serial port from the interface directory
// above its tty. False when the device's identification cannot be read.
bool ReadUsbProperties(const fs::path& deviceLink, const std::string& portName, PortDevice& device) {
  std::error_code ec;
  fs::path dir = fs::canonical(deviceLink, ec);
  if (ec) return false;
  // ttyACM: the link points at the interface; ttyUSB: at the usb-serial port below it.
  fs::path interfaceDir;
  for (int up = 0; up < 3 && !dir.empty(); ++up, dir = dir.parent_path()) {
    if (fs::exists(dir / "bInterfaceNumber", ec)) {
      interfaceDir = dir;
      break;
    }
  }
  if (interfaceDir.empty()) return false;
  const fs::path usbDevice = interfaceDir.parent_path();
  unsigned vid = 0, pid = 0, rev = 0, ifnum = 0;
  if (!ParseHex(ReadAttribute(usbDevice / "idVendor"), vid) || !ParseHex(ReadAttribute(usbDevice / "idProduct"), pid) ||
      !ParseHex(ReadAttribute(interfaceDir / "bInterfaceNumber"), ifnum))
    return false;
  ParseHex(ReadAttribute(usbDevice / "bcdDevice"), rev);
  // sysfs prints the interface count in decimal, right-aligned in two places.
  std::string numText = ReadAttribute(usbDevice / "bNumInterfaces");
  numText.erase(0, numText.find_first_not_of(' '));
  int interfaces = 0;
  const bool single = ParseIndex(numText, interfaces) && interfaces == 1;

  device.HardwareId = "USB\\VID_" + Hex(vid, 4) + "&PID_" + Hex(pid, 4) + "&REV_" + Hex(rev, 4);
  if (!single) device.HardwareId += "&MI_" + Hex(ifnum, 2);

  std::string description = CleanName(ReadAttribute(interfaceDir / "interface"));
  if (description.empty()) {
    for (const PortRole& role : KnownPortRoles()) {
      if (role.vid == vid && role.pid == pid && role.interfaceNumber == static_cast<int>(ifnum)) {
        description = role.role;
        break;
      }
    }
  }
  if (description.empty()) description = CleanName(ReadAttribute(usbDevice / "product"));
  if (description.empty()) description = "USB Serial Device";
  device.DeviceDesc = description;
  device.FriendlyName = description + " (" + portName + ")";
  device.UsbPath = usbDevice.filename().string();
  device.UsbSystemPath = usbDevice.string();
  device.Vid = static_cast<uint16_t>(vid);
  device.Pid = static_cast<uint16_t>(pid);
  device.UsbSerial = CleanName(ReadAttribute(usbDevice / "serial"));
  device.Interface = static_cast<int>(ifnum);
  return true;
}

// The node a path names, so that a link to a node (e.g. below /dev/serial/by-id) matches it.
std::string NodeKey(const std::string& path) {
  std::error_code ec;
  const fs::path resolved = fs::weakly_canonical(path, ec);
  return ec ? path : resolved.string();
}

}  // namespace

const std::vector<PortRole>& KnownPortRoles() {
  static const std::vector<PortRole> roles = {
      {0x05C6, 0x9008, 0, "QDLoader 9008"},
      {0x05C6, 0x9025, 0, "Diagnostics"}, {0x05C6, 0x9025, 2, "Terminal"}, {0x05C6, 0x9025, 3, "Modem"},
      {0x05C6, 0x90DB, 0, "Diagnostics"}, {0x05C6, 0x90DB, 2, "Terminal"}, {0x05C6, 0x90DB, 3, "Modem"},
      {0x05C6, 0x9091, 0, "Diagnostics"}, {0x05C6, 0x9091, 2, "Terminal"}, {0x05C6, 0x9091, 3, "Modem"},
      {0x05C6, 0x6B3D, 0, "Diagnostics"},
      {0x1C9E, 0x9B3C, 0, "Diagnostics"}, {0x1C9E, 0x9B3C, 1, "Terminal"}, {0x1C9E, 0x9B3C, 2, "Modem"},
      {0x1C9E, 0x9B05, 0, "Diagnostics"}, {0x1C9E, 0x9B05, 1, "Terminal"}, {0x1C9E, 0x9B05, 2, "Modem"},
      {0x1C9E, 0xF101, 0, "Modem"},
      {0x1C9E, 0xF108, 0, "Diagnostics"}, {0x1C9E, 0xF108, 2, "Modem"},
      {0x2DF3, 0x6B3D, 0, "Diagnostics"}, {0x2DF3, 0x6B3D, 2, "Terminal"}, {0x2DF3, 0x6B3D, 3, "Modem"},
  };
  return roles;
}

int FixedPortNumber(const std::string& nodeName) {
  return PortNamespace::FixedNumber("/dev/" + nodeName).value_or(0);
}

LinuxDeviceEnumerator::LinuxDeviceEnumerator(LinuxDeviceEnumeratorOptions options) : options_(std::move(options)) {}

bool LinuxDeviceEnumerator::Scan(std::vector<Found>& out) {
  out.clear();
  std::map<std::string, Found> byPath;
  std::error_code ec;
  const fs::path classDir = fs::path(options_.sysfsRoot) / "class" / "tty";
  bool readable = false;
  fs::directory_iterator it(classDir, ec);
  if (!ec) {
    readable = true;
    for (; it != fs::directory_iterator(); it.increment(ec)) {
      if (ec) break;
      const std::string node = it->path().filename().string();
      const int number = FixedPortNumber(node);
      if (number == 0) continue;
      const fs::path deviceLink = it->path() / "device";
      // Terminals without a device behind them (consoles, ptys) are no serial ports.
      if (!fs::exists(deviceLink, ec)) continue;
      Found found;
      found.number = number;
      found.entry.ValueName = (fs::path(options_.devRoot) / node).string();
      found.entry.PortName = "COM" + std::to_string(number);
      if (node.rfind("ttyS", 0) == 0) {
        // The 8250 driver registers placeholder ports; a type of 0 means no UART answered.
        const std::string type = ReadAttribute(it->path() / "type");
        if (type.empty() || type == "0") continue;
        found.entry.LegacyUart = true;
      } else {
        found.usb = ReadUsbProperties(deviceLink, found.entry.PortName, found.device);
        found.device.Path = found.entry.ValueName;
      }
      byPath[NodeKey(found.entry.ValueName)] = std::move(found);
    }
  }

  std::vector<MappedPort> mapped;
  if (options_.mappedPorts) {
    mapped = options_.mappedPorts();
    readable = true;  // the map alone is a source of ports
  }
  for (const MappedPort& m : mapped) {
    const int number = ComPortNumber(m.PortName).value_or(0);
    if (number == 0 || m.Path.empty()) continue;
    // A map entry whose node is gone is a stale entry, not a port.
    if (!fs::exists(m.Path, ec)) continue;
    Found& found = byPath[NodeKey(m.Path)];
    const bool known = !found.entry.ValueName.empty();
    found.number = number;
    found.entry.ValueName = m.Path;
    found.entry.PortName = m.PortName;
    if (!known) found.entry.LegacyUart = false;
    found.device.Path = m.Path;
    if (!m.FriendlyName.empty() && !m.HardwareId.empty()) {
      found.usb = true;
      found.device.FriendlyName = m.FriendlyName;
      found.device.HardwareId = m.HardwareId;
      found.device.DeviceDesc = m.FriendlyName.substr(0, m.FriendlyName.rfind(" ("));
    } else if (found.usb) {
      // Same device under the map's number: its name must carry that number.
      found.device.FriendlyName = found.device.DeviceDesc + " (" + m.PortName + ")";
    }
  }

  // One port per name: a map entry's number replaces a fixed one it collides with.
  std::map<int, Found> byNumber;
  for (auto& [path, found] : byPath) {
    auto [pos, inserted] = byNumber.try_emplace(found.number, found);
    if (!inserted && found.entry.ValueName != pos->second.entry.ValueName) {
      const bool foundFromMap =
          std::any_of(mapped.begin(), mapped.end(), [&, &key = path](const MappedPort& m) { return NodeKey(m.Path) == key; });
      if (foundFromMap) pos->second = found;
    }
  }
  for (auto& [number, found] : byNumber) out.push_back(std::move(found));
  return readable;
}

bool LinuxDeviceEnumerator::ListPortDevices(std::vector<PortDevice>& out) {
  std::vector<Found> found;
  const bool ok = Scan(found);
  out.clear();
  for (const Found& f : found)
    if (f.usb) out.push_back(f.device);
  return ok;
}

bool LinuxDeviceEnumerator::ListSerialPorts(std::vector<SerialCommEntry>& out) {
  std::vector<Found> found;
  const bool ok = Scan(found);
  out.clear();
  for (const Found& f : found) out.push_back(f.entry);
  return ok;
}

}  // namespace zovir
