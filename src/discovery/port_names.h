#pragma once
#include <array>
#include <string>
#include <string_view>
#include <vector>

#include "common/text.h"

namespace zovir {

using PortList = std::vector<std::string>;

// Hardware identifiers of modem ports that need a moment to settle once they are seen.
inline constexpr std::array<std::string_view, 8> SettlePortIds = {
    "USB\\Vid_1C9E&Pid_f101&Rev_0100&MI_00", "USB\\Vid_1C9E&Pid_f108&Rev_0100&MI_02",
    "USB\\Vid_11F6&Pid_001b&Rev_0100&MI_00", "USB\\Vid_1C9E&Pid_9B3C&Rev_0318&MI_02",
    "USB\\Vid_1C9E&Pid_9B05&Rev_0318&MI_02", "USB\\VID_2DF3&PID_6B3D&REV_0000&MI_03",
    "USB\\VID_10C4&PID_EA60&REV_0100",       "USB\\VID_05C6&PID_6B3D&REV_0000",
};

// The emergency download device of the boot ROM (QDLoader 9008).
inline constexpr std::string_view EmergencyDownloadId = "USB\\VID_05C6&PID_9008&REV_0000";

// The text between the first "(" and the first ")" when that ")" ends the text; otherwise
// empty (the text names no port).
std::string ExtractPortName(std::string_view text);

bool IsSettlePortId(std::string_view hardwareId);

}  // namespace zovir
