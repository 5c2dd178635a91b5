#pragma once
#include <functional>
#include <string>
#include <vector>

#include "config/project_configuration.h"

namespace zovir {

// What the port rescan and the AT probe learned about the connected modem.
struct DeviceFacts {
  std::string diagPort;  // selected diagnostic port text ("COM" + n), empty when none
  std::string atPort;    // selected AT port text, empty when none
  int diagPortCount = 0; // entries of the diagnostic port list
  std::string ModemVersion;
  std::string ModemFlashId;
  std::string ModemFlashInfo;
  std::string ModemHardware;
};

// The outcome of one poll, for the window to apply. `returnValue` is 1 when a decision was
// reached without a refusal, 0 otherwise.
struct DeviceCheckResult {
  int returnValue = 1;
  bool changeWindow = true;    // false: the driver installer failed, nothing changes
  bool ready = false;          // "Ready" with Start enabled, else "Not Ready" with Start disabled
  bool setVersionLabel = false;
  std::string versionLabel;
  std::string message;         // a refusal to show ("Warning" box), empty when none
  bool stopWatcher = false;
  bool disableTimer1 = false;
  bool setRestartMark = false;
  bool resetInstallerFlag = false;  // no complete modem: [Uninstall] UninstallUDisk = 0
};

// The driver-installer step of project types 6, 19, 20 and 42: 1 when it succeeded.
using DriverInstallerStep = std::function<int()>;

// One poll's decision over the facts of an already rescanned modem.
DeviceCheckResult CheckDevice(const ProjectConfiguration& config, const DeviceFacts& facts,
                              const DriverInstallerStep& installer);

// "256M", "512M", "1024M", "2048M" for the codes 0 to 3, "Unknown" otherwise.
std::string MemorySizeText(int code);

enum class PacketChoice {
  Refuse,             // the engine must not start; `message` says why
  Keep,               // start with the packet now selected
  SwitchReread,       // switch to the second packet and read its configuration
  SwitchKeepConfig,   // switch to the second packet's images, keep this configuration
};

struct PacketDecision {
  PacketChoice choice = PacketChoice::Keep;
  std::string message;
  std::string caption = "Warning";
  bool requestEnd = false;          // the application is asked to end (type 28 already updated)
  std::vector<std::string> logLines;  // status lines at level 0
  bool Accepted() const { return choice != PacketChoice::Refuse; }
};

// The pair products "Saltor"/"Saltrin", "KeplanA"/"KeplanB": the modem's hardware variant
// decides the packet.
PacketDecision SelectPacketByHardware(const ProjectConfiguration& config, const std::string& modemHardware);
bool IsPairProduct(const std::string& name);

// Flash size and version rules of project types 25, 28, 42 and the title variants.
PacketDecision SelectPacketByFlash(const ProjectConfiguration& config, const DeviceFacts& facts);

}  // namespace zovir
