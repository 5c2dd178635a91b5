#include "engine/engine_core.h"

#include <algorithm>

namespace zovir {

EngineCore::EngineCore(Clock& c, SerialPortFactory& ports, EngineHost* h)
    : clock(c), portFactory(ports), host(h) {}

void EngineCore::ReportStatus(CommStatus status, const std::string& text, MESSAGE_TYPE kind) {
  StatusText = text;
  if (OnStatusText) OnStatusText(status, StatusText, cfg.Index, kind);
}

void EngineCore::ReportError(const std::string& text) {
  const int systemError = lastSystemError_;
  lastSystemError_ = 0;
  int expected = 0;
  const int stored = systemError == 0 ? ERR_GENERIC_FAILURE : systemError;
  if (ErrorCode.compare_exchange_strong(expected, stored)) {
    // The text names the code the run ends with, so a log and a result never disagree.
    StatusText = "ERROR, " + text + ", Error code: " + std::to_string(stored);
    if (OnError) OnError(std::string(StatusText), cfg.Index);
  }
  if (hDiagPort) {
    uint32_t mask = 0;
    hDiagPort->ClearError(mask);
  }
}

void EngineCore::ReportProgress(int position) {
  if (OnProgress) OnProgress(position, cfg.Index, 100);
}

void EngineCore::ClearDeviceChangeFlags() {
  if (host == nullptr) return;
  host->DeviceChangeSeen() = false;
  host->DeviceArrivalSeen() = false;
}

bool EngineCore::RequestStop() {
  stopRequested_ = true;
  return Fail(ERR_USER_STOP);
}

bool EngineCore::Fail(int code) {
  int expected = 0;
  return ErrorCode.compare_exchange_strong(expected, code);
}

bool EngineCore::Wait(uint32_t ms) {
  constexpr uint32_t kSlice = 100;
  while (ms > 0) {
    if (StopRequested()) return false;
    const uint32_t step = std::min(ms, kSlice);
    clock.SleepMs(step);
    ms -= step;
  }
  return !StopRequested();
}

}  // namespace zovir
