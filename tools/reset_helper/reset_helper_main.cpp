// ResetHelper: resets the modem whose ports it finds and leaves the result in
// [Project] ExecuteResetModem of the Config.ini beside it:
//   "100" reset done, "-1" no modem port found, "0" reset not executed, "-2" reset failed.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/profile_file.h"
#include "tools/common/helper_support.h"
#include "tools/common/usb_bus.h"

using namespace zovir;
using namespace zovir::tools;

namespace {

constexpr const char* kResetCommand = "AT+CFUN=1,1\r\n";

void Usage(FILE* out) {
  std::fprintf(out,
               "usage: ResetHelper\n"
               "Resets the modem and writes the result to [Project] ExecuteResetModem of the\n"
               "Config.ini in the program's folder: 100 done, -1 no modem port found,\n"
               "0 reset not executed, -2 reset failed.\n"
               "Ports come from the device map named by ZOVIR_DEVICE_MAP, else /dev/ttyUSB* and\n"
               "/dev/ttyACM*. Exit status 0 only when the modem was reset.\n");
}

// USB reset of the device that carries `port`.
bool UsbReset(UsbBus& bus, const CandidatePort& port, bool& found) {
  found = false;
  std::vector<UsbDevice> devices;
  std::string error;
  if (!bus.List(devices, error)) {
    std::fprintf(stderr, "ResetHelper: cannot list USB devices: %s\n", error.c_str());
    return false;
  }
  for (const UsbDevice& d : devices) {
    if (d.vendorId != port.vendorId || d.productId != port.productId) continue;
    found = true;
    if (bus.Reset(d, error)) return true;
    std::fprintf(stderr, "ResetHelper: USB reset of %04x:%04x failed: %s\n", d.vendorId, d.productId, error.c_str());
    return false;
  }
  return false;
}

const char* Reset() {
  std::vector<CandidatePort> ports = FindModemPorts();
  if (ports.empty()) {
    std::fprintf(stderr, "ResetHelper: no modem port found\n");
    return "-1";
  }
  bool anyBusy = false;
  for (const CandidatePort& port : ports) {
    AtPort at;
    if (!at.Open(port.path)) {
      anyBusy = anyBusy || errno == EBUSY;
      std::fprintf(stderr, "ResetHelper: cannot open %s: %s\n", port.path.c_str(), ErrnoText(errno).c_str());
      continue;
    }
    if (at.Command("AT\r\n", std::chrono::milliseconds(1000)) != AtPort::Reply::Ok) continue;
    AtPort::Reply reply = at.Command(kResetCommand, std::chrono::milliseconds(3000));
    at.Close();
    // A modem that resets at once may drop its port before it answers.
    if (reply == AtPort::Reply::Ok || reply == AtPort::Reply::Hangup) {
      std::printf("ResetHelper: modem on %s reset\n", port.name.c_str());
      return "100";
    }
    std::fprintf(stderr, "ResetHelper: %s did not accept the reset command\n", port.name.c_str());
    if (port.vendorId < 0) return "-2";
    auto bus = OpenUsbBus();
    bool found = false;
    if (UsbReset(*bus, port, found)) return "100";
    return "-2";
  }
  // No port answered: reset the modem's USB device instead.
  for (const CandidatePort& port : ports) {
    if (port.vendorId < 0) continue;
    auto bus = OpenUsbBus();
    bool found = false;
    if (UsbReset(*bus, port, found)) {
      std::printf("ResetHelper: USB device %04x:%04x reset\n", port.vendorId, port.productId);
      return "100";
    }
    if (found) return "-2";
  }
  if (anyBusy) {
    std::fprintf(stderr, "ResetHelper: the modem's ports are held by another program\n");
    return "0";
  }
  std::fprintf(stderr, "ResetHelper: no port answered and no USB device of the modem was found\n");
  return "-1";
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1) {
    bool help = std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0;
    if (!help) std::fprintf(stderr, "ResetHelper: unexpected argument '%s'\n", argv[1]);
    Usage(help ? stdout : stderr);
    return help ? 0 : 2;
  }
  const std::string config = ConfigBesideExecutable();
  ProfileFile ini(config);
  if (!ini.Loaded()) {
    std::fprintf(stderr, "ResetHelper: cannot read %s: %s\n", config.c_str(), ErrnoText(errno).c_str());
    return 2;
  }

  // One reset at a time: the tool may start the helper again before this one has finished.
  const std::string lockPath = ExecutableDir() + "/.ResetHelper.lock";
  int lock = open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (lock < 0 || flock(lock, LOCK_EX | LOCK_NB) != 0) {
    std::fprintf(stderr, "ResetHelper: another reset is running\n");
    return 3;
  }
  // Until this run has a result, a value left by an earlier run must not be read as one.
  if (!ini.WriteString("Project", "ExecuteResetModem", "0")) {
    std::fprintf(stderr, "ResetHelper: cannot write %s: %s\n", config.c_str(), ErrnoText(errno).c_str());
    return 2;
  }
  const char* result = Reset();
  if (!ini.WriteString("Project", "ExecuteResetModem", result)) {
    std::fprintf(stderr, "ResetHelper: cannot write %s: %s\n", config.c_str(), ErrnoText(errno).c_str());
    return 2;
  }
  close(lock);
  return std::strcmp(result, "100") == 0 ? 0 : 1;
}
