#pragma once
#include <string>

#include "discovery/at_probe.h"

namespace zovir {

// What the modem says of its firmware when asked after an update.
struct VersionAnswer {
  std::string version;  // empty when it never answered
  std::string reason;   // why there is no version (empty when there is one)
};

// Asks the modem on `port` ("COM" + n) for its firmware version the way the device watcher does,
// up to `attempts` times `intervalMs` apart: a modem that has just restarted may need a while
// before its AT port answers.
VersionAnswer QueryFirmwareVersion(SerialPortFactory& ports, Clock& clock, const std::string& port,
                                   const ProbeSettings& settings, const ATProbe::Log& log = {}, int attempts = 5,
                                   uint32_t intervalMs = 2000);

}  // namespace zovir
