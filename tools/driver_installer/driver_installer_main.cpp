// DriverInstaller: makes sure this PC can serve the modem (the kernel's USB serial drivers
// are there, the udev rules that give the user its ports and keep the modem manager off
// them are installed) and then writes [Uninstall] UninstallUDisk = 1 into the Config.ini in
// its folder.
#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/profile_file.h"
#include "tools/common/helper_support.h"
#include "tools/driver_installer/udev_rules.h"

using namespace zovir;
using namespace zovir::tools;
namespace fs = std::filesystem;

namespace {

// The project's udev rules (packaging/70-zovir-modem.rules), built into the program.
constexpr const char* kRulesName = "70-zovir-modem.rules";
constexpr const char* kRules = kUdevRules;

struct Options {
  std::string rulesDir = "/etc/udev/rules.d";
  std::string modulesDir;  // /lib/modules/<release>
  std::string loadedDir = "/sys/module";
  std::string packagedRulesDir = "/lib/udev/rules.d";
  bool defaultRulesDir = true;
};

void Usage(FILE* out) {
  std::fprintf(out,
               "usage: DriverInstaller [--rules-dir DIR] [--packaged-rules-dir DIR] [--modules-dir DIR]\n"
               "                       [--loaded-modules-dir DIR]\n"
               "Checks that the kernel has the USB serial drivers the modem needs (usbserial with\n"
               "option or qcserial) and that the udev rules %s are installed\n"
               "(by a package in /lib/udev/rules.d, or in /etc/udev/rules.d); installs them into\n"
               "the latter when they are not (needs the right to write there). When both are in\n"
               "place it writes\n"
               "[Uninstall] UninstallUDisk=1 into the Config.ini in the program's folder.\n"
               "Rules that cannot be installed for want of rights are reported but do not stop it.\n"
               "Exit status: 0 done, 2 bad arguments or Config.ini, 3 drivers missing.\n",
               kRulesName);
}

bool ReadFile(const fs::path& p, std::string& out) {
  std::ifstream in(p, std::ios::binary);
  if (!in) return false;
  std::ostringstream ss;
  ss << in.rdbuf();
  out = ss.str();
  return true;
}

// A driver is there when it is loaded, built into the kernel or installed as a module.
bool HasDriver(const Options& o, const std::string& name, const std::string& builtin, const std::string& deps) {
  std::error_code ec;
  if (fs::exists(fs::path(o.loadedDir) / name, ec)) return true;
  const std::string file = "/" + name + ".ko";
  for (const std::string* list : {&builtin, &deps}) {
    std::istringstream in(*list);
    std::string line;
    while (std::getline(in, line)) {
      std::string entry = line.substr(0, line.find(':'));
      size_t slash = entry.rfind('/');
      std::string base = slash == std::string::npos ? entry : entry.substr(slash);
      if (base.rfind(file, 0) == 0) return true;  // also name.ko.xz and the like
    }
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  utsname u{};
  if (uname(&u) == 0) o.modulesDir = std::string("/lib/modules/") + u.release;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      Usage(stdout);
      return 0;
    }
    if ((a == "--rules-dir" || a == "--packaged-rules-dir" || a == "--modules-dir" ||
         a == "--loaded-modules-dir") &&
        i + 1 < argc) {
      std::string v = argv[++i];
      if (a == "--packaged-rules-dir") {
        o.packagedRulesDir = v;
      } else if (a == "--rules-dir") {
        o.rulesDir = v;
        o.defaultRulesDir = false;
      } else if (a == "--modules-dir") {
        o.modulesDir = v;
      } else {
        o.loadedDir = v;
      }
      continue;
    }
    std::fprintf(stderr, "DriverInstaller: unexpected argument '%s'\n", a.c_str());
    Usage(stderr);
    return 2;
  }

  const std::string config = ConfigBesideExecutable();
  ProfileFile ini(config);
  if (!ini.Loaded()) {
    std::fprintf(stderr, "DriverInstaller: cannot read %s: %s\n", config.c_str(), ErrnoText(errno).c_str());
    return 2;
  }

  std::string builtin, deps;
  ReadFile(fs::path(o.modulesDir) / "modules.builtin", builtin);
  ReadFile(fs::path(o.modulesDir) / "modules.dep", deps);
  std::vector<std::string> missing;
  if (!HasDriver(o, "usbserial", builtin, deps)) missing.push_back("usbserial");
  if (!HasDriver(o, "option", builtin, deps) && !HasDriver(o, "qcserial", builtin, deps)) {
    missing.push_back("option or qcserial");
  }
  if (!missing.empty()) {
    std::string list;
    for (const std::string& m : missing) list += (list.empty() ? "" : ", ") + m;
    std::fprintf(stderr, "DriverInstaller: the kernel lacks the modem's drivers: %s\n", list.c_str());
    return 3;
  }

  const fs::path rules = fs::path(o.rulesDir) / kRulesName;
  std::string present;
  std::error_code ec;
  const bool packaged = fs::exists(fs::path(o.packagedRulesDir) / kRulesName, ec);
  if (!packaged && (!ReadFile(rules, present) || present != kRules)) {
    if (!WriteFileAtomically(rules.string(), kRules)) {
      // The rules only make access easier and keep the modem manager away; the tool found
      // and opened the modem's ports before it started this program, so the update can go
      // on. Say what is missing instead of blocking every later device check.
      std::fprintf(stderr,
                   "DriverInstaller: warning: cannot install %s: %s; run DriverInstaller with administrator "
                   "rights to install the udev rules\n",
                   rules.c_str(), ErrnoText(errno).c_str());
    } else {
      std::printf("DriverInstaller: installed %s\n", rules.c_str());
      if (o.defaultRulesDir) {
        // Best effort: new rules apply to the next plug-in even without the reload.
        if (std::system("udevadm control --reload >/dev/null 2>&1 && "
                        "udevadm trigger --subsystem-match=tty --subsystem-match=usb >/dev/null 2>&1") != 0) {
          std::fprintf(stderr, "DriverInstaller: udev did not reload its rules; replug the modem\n");
        }
      }
    }
  }

  if (!ini.WriteString("Uninstall", "UninstallUDisk", "1")) {
    std::fprintf(stderr, "DriverInstaller: cannot write %s: %s\n", config.c_str(), ErrnoText(errno).c_str());
    return 2;
  }
  std::printf("DriverInstaller: done\n");
  return 0;
}
