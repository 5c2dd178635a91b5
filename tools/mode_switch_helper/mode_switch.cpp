#include "tools/mode_switch_helper/mode_switch.h"

#include <algorithm>
#include <cctype>

#include "tools/common/helper_support.h"

namespace zovir::tools {
namespace {

std::string Normalised(std::string s) {
  for (char& c : s) c = c == '_' ? ' ' : static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  while (!s.empty() && s.back() == ' ') s.pop_back();
  while (!s.empty() && s.front() == ' ') s.erase(s.begin());
  return s;
}

// The value of "&Tag_value&" in an instance identifier (up to the next "&" or "\").
std::string Field(const std::string& id, const std::string& tag) {
  std::string upper = id;
  std::transform(upper.begin(), upper.end(), upper.begin(), [](unsigned char c) { return std::toupper(c); });
  std::string t = tag;
  std::transform(t.begin(), t.end(), t.begin(), [](unsigned char c) { return std::toupper(c); });
  size_t p = upper.find(t);
  if (p == std::string::npos) return {};
  p += t.size();
  size_t end = id.find_first_of("&\\", p);
  return id.substr(p, end == std::string::npos ? std::string::npos : end - p);
}

}  // namespace

bool ParseCommandBytes(const std::string& text, std::vector<uint8_t>& out) {
  out.clear();
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t comma = text.find(',', pos);
    std::string part = text.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
    part.erase(std::remove_if(part.begin(), part.end(), [](unsigned char c) { return std::isspace(c); }), part.end());
    if (part.empty() || part.size() > 2 ||
        !std::all_of(part.begin(), part.end(), [](unsigned char c) { return std::isxdigit(c); })) {
      return false;
    }
    out.push_back(static_cast<uint8_t>(std::stoul(part, nullptr, 16)));
    if (comma == std::string::npos) break;
    pos = comma + 1;
  }
  return !out.empty() && out.size() <= 16;
}

bool ReadShiftDeviceSettings(const ProfileFile& ini, ShiftDeviceSettings& out, std::string& error) {
  std::string cmd = ini.GetString("SHIFTDEVICE", "SCSICMD", "");
  out.scsiDevice = ini.GetString("SHIFTDEVICE", "SCSIDEVICE", "");
  std::string hid = ini.GetString("SHIFTDEVICE", "SCSICMDHID", "");
  out.hidDevice = ini.GetString("SHIFTDEVICE", "SCSIDEVICEHID", "");
  if (!cmd.empty() && !ParseCommandBytes(cmd, out.scsiCommand)) {
    error = "SCSICMD '" + cmd + "' is not a list of 1 to 16 hexadecimal bytes";
    return false;
  }
  if (!hid.empty() && !ParseCommandBytes(hid, out.hidCommand)) {
    error = "SCSICMDHID '" + hid + "' is not a list of 1 to 16 hexadecimal bytes";
    return false;
  }
  const bool storage = !out.scsiCommand.empty() && !out.scsiDevice.empty();
  const bool hidOk = !out.hidCommand.empty() && !out.hidDevice.empty();
  if (!storage && !hidOk) {
    error = "[SHIFTDEVICE] names no device and command (SCSICMD with SCSIDEVICE, or SCSICMDHID with SCSIDEVICEHID)";
    return false;
  }
  return true;
}

std::vector<uint8_t> CommandBlockWrapper(const std::vector<uint8_t>& command, uint32_t tag) {
  std::vector<uint8_t> cbw(31, 0);
  cbw[0] = 'U';
  cbw[1] = 'S';
  cbw[2] = 'B';
  cbw[3] = 'C';
  for (int i = 0; i < 4; ++i) cbw[4 + i] = static_cast<uint8_t>(tag >> (8 * i));
  // Data transfer length 0, direction out, LUN 0.
  cbw[14] = static_cast<uint8_t>(command.size());
  std::copy(command.begin(), command.end(), cbw.begin() + 15);
  return cbw;
}

bool MatchesInstance(const UsbDevice& device, const std::string& instanceId, bool wantStorage) {
  if (wantStorage ? device.storageInterface < 0 : device.hidInterface < 0) return false;
  int vid = -1, pid = -1;
  if (ParseVidPid(instanceId, vid, pid)) return device.vendorId == vid && device.productId == pid;
  if (!wantStorage) return false;
  std::string vendor = Field(instanceId, "&Ven_"), model = Field(instanceId, "&Prod_");
  if (vendor.empty() || device.scsiVendor.empty()) return false;
  if (Normalised(vendor) != Normalised(device.scsiVendor)) return false;
  return model.empty() || Normalised(model) == Normalised(device.scsiModel);
}

SwitchResult SwitchMode(UsbBus& bus, const std::vector<UsbDevice>& devices, const ShiftDeviceSettings& s,
                        std::string& error) {
  if (!s.scsiCommand.empty() && !s.scsiDevice.empty()) {
    for (const UsbDevice& d : devices) {
      if (!MatchesInstance(d, s.scsiDevice, true)) continue;
      return bus.SendStorageCommand(d, CommandBlockWrapper(s.scsiCommand), error) ? SwitchResult::SentStorage
                                                                                  : SwitchResult::Refused;
    }
  }
  if (!s.hidCommand.empty() && !s.hidDevice.empty()) {
    for (const UsbDevice& d : devices) {
      if (!MatchesInstance(d, s.hidDevice, false)) continue;
      return bus.SendHidReport(d, s.hidCommand, error) ? SwitchResult::SentHid : SwitchResult::Refused;
    }
  }
  return SwitchResult::NoDevice;
}

}  // namespace zovir::tools
