#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "platform/profile_file.h"
#include "tools/common/usb_bus.h"

namespace zovir::tools {

struct ShiftDeviceSettings {
  std::vector<uint8_t> scsiCommand;  // SCSICMD
  std::string scsiDevice;            // SCSIDEVICE
  std::vector<uint8_t> hidCommand;   // SCSICMDHID
  std::string hidDevice;             // SCSIDEVICEHID
};

// "11,06,20,00,00,00" → bytes. False for anything that is not 1..16 two-digit hex bytes.
bool ParseCommandBytes(const std::string& text, std::vector<uint8_t>& out);

// Reads [SHIFTDEVICE]; at least one personality must be configured completely.
bool ReadShiftDeviceSettings(const ProfileFile& ini, ShiftDeviceSettings& out, std::string& error);

// The 31-byte mass-storage command block wrapper that carries `command` (no data stage).
std::vector<uint8_t> CommandBlockWrapper(const std::vector<uint8_t>& command, uint32_t tag = 0x5A4F5652);

// True when `device` is the personality `instanceId` names: by VID_/PID_ when it has them,
// else (USBSTOR\...&Ven_x&Prod_y&...) by the SCSI vendor and model strings, where "_"
// stands for a blank and case does not matter.
bool MatchesInstance(const UsbDevice& device, const std::string& instanceId, bool wantStorage);

enum class SwitchResult { SentStorage, SentHid, NoDevice, Refused };
SwitchResult SwitchMode(UsbBus& bus, const std::vector<UsbDevice>& devices, const ShiftDeviceSettings& s,
                        std::string& error);

}  // namespace zovir::tools
