// ModeSwitchHelper: switches the modem from its CD-ROM (or HID) personality to its serial
// personality with the vendor command of the [SHIFTDEVICE] keys of the Config.ini beside it.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/profile_file.h"
#include "tools/common/helper_support.h"
#include "tools/common/usb_bus.h"
#include "tools/mode_switch_helper/mode_switch.h"

using namespace zovir;
using namespace zovir::tools;

namespace {

void Usage(FILE* out) {
  std::fprintf(out,
               "usage: ModeSwitchHelper\n"
               "Reads [SHIFTDEVICE] of the Config.ini in the program's folder:\n"
               "  SCSICMD     vendor SCSI command, hexadecimal bytes separated by commas\n"
               "  SCSIDEVICE  the CD-ROM personality, USBSTOR\\CdRom&Ven_<vendor>&Prod_<model>...\n"
               "              (or one that names VID_xxxx&PID_xxxx)\n"
               "  SCSICMDHID, SCSIDEVICEHID  the same for the HID personality (HID\\VID_xxxx&PID_xxxx...)\n"
               "and sends the command to the first personality that is present.\n"
               "Exit status: 0 sent, 2 bad Config.ini, 3 no such device present, 4 the device\n"
               "refused the command.\n");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1) {
    bool help = std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0;
    if (!help) std::fprintf(stderr, "ModeSwitchHelper: unexpected argument '%s'\n", argv[1]);
    Usage(help ? stdout : stderr);
    return help ? 0 : 2;
  }
  const std::string config = ConfigBesideExecutable();
  ProfileFile ini(config);
  if (!ini.Loaded()) {
    std::fprintf(stderr, "ModeSwitchHelper: cannot read %s: %s\n", config.c_str(), ErrnoText(errno).c_str());
    return 2;
  }
  ShiftDeviceSettings settings;
  std::string error;
  if (!ReadShiftDeviceSettings(ini, settings, error)) {
    std::fprintf(stderr, "ModeSwitchHelper: %s in %s\n", error.c_str(), config.c_str());
    return 2;
  }
  auto bus = OpenUsbBus();
  std::vector<UsbDevice> devices;
  if (!bus->List(devices, error)) {
    std::fprintf(stderr, "ModeSwitchHelper: cannot list USB devices: %s\n", error.c_str());
    return 3;
  }
  SwitchResult r = SwitchMode(*bus, devices, settings, error);
  switch (r) {
    case SwitchResult::SentStorage:
      std::printf("ModeSwitchHelper: command sent to the CD-ROM personality\n");
      return 0;
    case SwitchResult::SentHid:
      std::printf("ModeSwitchHelper: command sent to the HID personality\n");
      return 0;
    case SwitchResult::NoDevice:
      std::fprintf(stderr, "ModeSwitchHelper: no modem in CD-ROM or HID mode is present\n");
      return 3;
    case SwitchResult::Refused:
      std::fprintf(stderr, "ModeSwitchHelper: %s\n", error.c_str());
      return 4;
  }
  return 4;
}
