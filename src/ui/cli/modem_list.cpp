#include "ui/cli/modem_list.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>

namespace zovir::cli {
namespace fs = std::filesystem;

namespace {
constexpr uint16_t kQualcommVid = 0x05C6;
constexpr uint16_t kEmergencyDownloadPid = 0x9008;

std::string ComOf(const std::string& friendlyName) {
  const auto open = friendlyName.rfind(" (");
  if (open == std::string::npos || friendlyName.back() != ')') return "";
  return friendlyName.substr(open + 2, friendlyName.size() - open - 3);
}
}  // namespace

std::string RoleOf(const PortDevice& d) {
  const std::string& name = d.FriendlyName;
  if (name.find("QDLoader") != std::string::npos) return "download";
  if (name.find("Diag") != std::string::npos) return "diagnostic";
  if (name.find("Terminal") != std::string::npos) return "terminal";
  if (name.find("Modem") != std::string::npos || name.find("AT") != std::string::npos) return "modem";
  return "other";
}

std::vector<ModemEntry> GroupModems(const std::vector<PortDevice>& devices) {
  std::map<std::string, ModemEntry> byUsb;
  std::vector<ModemEntry> loose;
  for (const auto& d : devices) {
    ModemPort port{RoleOf(d), d.Path, ComOf(d.FriendlyName), {}};
    if (d.UsbPath.empty()) {
      ModemEntry e;
      e.mode = port.role == "download" ? "boot loader" : "normal";
      e.ports.push_back(std::move(port));
      loose.push_back(std::move(e));
      continue;
    }
    ModemEntry& e = byUsb[d.UsbPath];
    e.usbPath = d.UsbPath;
    e.systemPath = d.UsbSystemPath;
    e.vid = d.Vid;
    e.pid = d.Pid;
    e.serial = d.UsbSerial;
    e.ports.push_back(std::move(port));
  }
  std::vector<ModemEntry> out;
  for (auto& [path, e] : byUsb) {
    const bool download = (e.vid == kQualcommVid && e.pid == kEmergencyDownloadPid) ||
                          std::any_of(e.ports.begin(), e.ports.end(), [](auto& p) { return p.role == "download"; });
    e.mode = download ? "boot loader" : "normal";
    out.push_back(std::move(e));
  }
  for (auto& e : loose) out.push_back(std::move(e));
  return out;
}

std::vector<Holder> HoldersOf(const std::string& procRoot, const std::string& node) {
  std::vector<Holder> out;
  std::error_code ec;
  const fs::path target = fs::weakly_canonical(node, ec);
  for (const auto& proc : fs::directory_iterator(procRoot, ec)) {
    const std::string pidText = proc.path().filename().string();
    if (pidText.empty() || !std::all_of(pidText.begin(), pidText.end(), ::isdigit)) continue;
    std::error_code fdEc;
    for (const auto& fd : fs::directory_iterator(proc.path() / "fd", fdEc)) {
      std::error_code linkEc;
      const fs::path link = fs::read_symlink(fd.path(), linkEc);
      if (linkEc || (link != target && link != fs::path(node))) continue;
      Holder h;
      h.pid = std::stoi(pidText);
      std::ifstream(proc.path() / "comm") >> h.name;
      out.push_back(h);
      break;
    }
  }
  std::sort(out.begin(), out.end(), [](const Holder& a, const Holder& b) { return a.pid < b.pid; });
  return out;
}

std::string HeldText(const std::vector<Holder>& holders) {
  std::string text;
  for (const auto& h : holders)
    text += (text.empty() ? "held by " : ", ") + (h.name.empty() ? "a process" : h.name) + " (pid " +
            std::to_string(h.pid) + ")";
  return text;
}

}  // namespace zovir::cli
