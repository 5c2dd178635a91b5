#include "protocols/reconnection.h"

#include "common/text.h"
#include "protocols/protocol_io.h"

namespace zovir {

PortReconnection::PortReconnection(EngineCore& core, Link& link) : core_(core), link_(link) {}

PortReconnection::Found PortReconnection::Search() {
  core_.ReportStatus(csInfo, "FindComPort", mtInfo);
  Found found;
  if (core_.host == nullptr) {
    core_.Wait(500);
    return found;
  }
  core_.host->RefreshPortLists();
  core_.Wait(500);
  const int diag = ComPortNumber(core_.host->SelectedDiagPortName()).value_or(0);
  const int modem = ComPortNumber(core_.host->SelectedModemPortName()).value_or(0);
  if (diag > 0) {
    core_.cfg.ComPort = diag;
    found.diag = true;
  }
  if (modem > 0) {
    core_.cfg.SerialComPort = modem;
    found.modem = true;
  }
  return found;
}

bool PortReconnection::FindComPort() {
  const Found found = Search();
  return found.diag || found.modem;
}

bool PortReconnection::SameDiagPort() {
  return core_.host == nullptr || core_.host->IsSameDiagPort(core_.cfg.ComPort);
}

void PortReconnection::WaitForReenumeration(int changeTries, int changeIntervalMs, int arrivalTries,
                                            int arrivalIntervalMs) {
  EngineHost* host = core_.host;
  for (int i = 0; i < changeTries; ++i) {
    if (!core_.Wait(static_cast<uint32_t>(changeIntervalMs))) return;
    if (host != nullptr && host->DeviceChangeSeen().load()) {
      core_.ReportStatus(csInfo, "Receive device change after reset", mtInfo);
      break;
    }
  }
  for (int i = 0; i < arrivalTries; ++i) {
    if (host != nullptr && host->DeviceArrivalSeen().load()) {
      core_.ReportStatus(csInfo, "Receive device Arrival after reset", mtInfo);
      break;
    }
    if (!core_.Wait(static_cast<uint32_t>(arrivalIntervalMs))) return;
  }
}

void PortReconnection::CheckAndSearchPorts(int maxSearches, int pauseMs, const std::string& unchangedText) {
  const std::string modem = core_.host != nullptr ? core_.host->SelectedModemPortName() : std::string();
  const bool changed = !SameDiagPort() || modem.empty();
  if (!changed) {
    core_.ReportStatus(csInfo, unchangedText, mtInfo);
    return;
  }
  core_.ReportStatus(csInfo, "Port has changed", mtInfo);
  for (int i = 0; i < maxSearches && !core_.StopRequested(); ++i) {
    const Found found = Search();
    if (!found.diag && !found.modem) continue;
    if (found.diag && found.modem) break;
    if (!core_.Wait(static_cast<uint32_t>(pauseMs))) break;
  }
}

void PortReconnection::ReportPortNames() {
  const std::string diag = core_.host != nullptr ? core_.host->SelectedDiagPortName() : std::string();
  const std::string modem = core_.host != nullptr ? core_.host->SelectedModemPortName() : std::string();
  core_.ReportStatus(csInfo, diag.empty() ? std::string("Diagnostic commport0......empty") : diag + " Diagnostic ready",
                     mtInfo);
  core_.ReportStatus(csInfo, modem.empty() ? std::string("Modem commport0......empty") : modem + " Modem ready",
                     mtInfo);
}

bool PortReconnection::ResetAndReconnect() {
  core_.ClearDeviceChangeFlags();
  if (core_.hDiagPort) {
    BuildResetFrame(link_);
    link_.SendFramed();
  }
  core_.ReportStatus(csInfo, "Reset or power off command......", mtInfo);
  if (core_.hDiagPort) link_.CloseDiagPort("Warning-39");
  if (core_.hModemPort) link_.CloseModemPort("Warning-40");
  WaitForReenumeration(10, 500, 60, 200);
  CheckAndSearchPorts(10, 0, "Port has not changed");
  ReportPortNames();
  constexpr int kAttempts = 5;
  for (int attempt = 1; attempt <= kAttempts; ++attempt) {
    if (!core_.Wait(500)) return false;
    if (!core_.hDiagPort) link_.ReopenDiagPort();
    if (!core_.hModemPort) link_.ReopenModemPort();
    if (core_.hDiagPort && core_.hModemPort) {
      core_.ReportStatus(csInfo, "Reset or poweroff successfully!", mtInfo);
      return true;
    }
    core_.ReportStatus(csWorking, "Reset or poweroff......wait", mtProgress);
  }
  core_.ReportError("Fail to initial port after rest");
  return false;
}

}  // namespace zovir
