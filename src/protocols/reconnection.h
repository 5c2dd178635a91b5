#pragma once
#include <string>

#include "engine/engine_core.h"
#include "engine/phases.h"
#include "link/link.h"

namespace zovir {

// Finding the modem again after it restarted: the device-change wait, the port search
// through the window's discovery, and the second reset some project types need.
class PortReconnection final : public Reconnection {
 public:
  PortReconnection(EngineCore& core, Link& link);

  // Rescans the ports and takes the selected diagnostic and modem port numbers; true when
  // at least one of the two names was found.
  bool FindComPort();
  void WaitForReenumeration(int changeTries, int changeIntervalMs, int arrivalTries, int arrivalIntervalMs) override;
  void CheckAndSearchPorts(int maxSearches, int pauseMs, const std::string& unchangedText) override;
  void ReportPortNames() override;
  bool ResetAndReconnect() override;

 private:
  struct Found {
    bool diag = false;
    bool modem = false;
  };
  Found Search();
  bool SameDiagPort();

  EngineCore& core_;
  Link& link_;
};

}  // namespace zovir
