#pragma once
#include <atomic>
#include <memory>
#include <string>

#include "engine/engine_config.h"
#include "engine/engine_host.h"
#include "engine/engine_types.h"
#include "platform/clock.h"
#include "platform/serial_port.h"

namespace zovir {

// The state every part of one update shares: the configuration, the run state, the two
// port handles, `ErrorCode` and the reports. The engine thread and its collaborators
// (link, protocols, preservation) all work on one EngineCore; nothing here is global.
class EngineCore {
 public:
  EngineCore(Clock& clock, SerialPortFactory& ports, EngineHost* host);
  EngineCore(const EngineCore&) = delete;
  EngineCore& operator=(const EngineCore&) = delete;

  EngineConfig cfg;
  EngineRunState run;

  // 0 while healthy. Leaves 0 only through compare-and-swap and never returns to 0 during a
  // run: the first failure (or the user's Stop, 210) wins.
  std::atomic<int> ErrorCode{0};
  std::string StatusText;

  StatusTextCallback OnStatusText;
  ErrorCallback OnError;
  ProgressCallback OnProgress;

  std::unique_ptr<SerialPort> hDiagPort;
  std::unique_ptr<SerialPort> hModemPort;

  Clock& clock;
  SerialPortFactory& portFactory;
  EngineHost* host;  // may be null in protocol tests

  bool Healthy() const { return ErrorCode.load() == 0; }

  void ReportStatus(CommStatus status, const std::string& text, MESSAGE_TYPE kind = mtInfo);
  // The first failure of a run: "ERROR, " + text + ", Error code: " + the code stored in
  // ErrorCode (the last system error, or ERR_GENERIC_FAILURE when there was none).
  void ReportError(const std::string& text);
  void ReportProgress(int position);
  // Lowers the window's two device-change flags before a reset, so that only events of the
  // restart it causes are seen afterwards.
  void ClearDeviceChangeFlags();

  // The window's Stop: 210 unless an error was recorded first (the first failure stays the
  // run's outcome). Always raises StopRequested(), which ends waits early.
  bool RequestStop();
  bool StopRequested() const { return stopRequested_.load(); }
  // Records a failure code without a report (for steps that report through other means).
  bool Fail(int code);

  // The operating system's last error as the failing operation saw it; ReportError uses it
  // and resets it. Port wrappers set it when an operation fails.
  void SetSystemError(int error) { lastSystemError_ = error; }

  // Sleeps `ms` through the clock in slices of at most 100 ms and ends early when the user
  // stopped the run. Returns false when it ended early.
  bool Wait(uint32_t ms);

 private:
  int lastSystemError_ = 0;
  std::atomic<bool> stopRequested_{false};
};

}  // namespace zovir
