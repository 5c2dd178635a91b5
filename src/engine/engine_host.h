#pragma once
#include <atomic>
#include <string>

namespace zovir {

// What the window offers an engine. Every call that touches the window is performed on the
// window's thread; the call returns when it is done there. After the window began to shut
// down, calls become no-ops (reads return empty).
class EngineHost {
 public:
  virtual ~EngineHost() = default;
  virtual std::string ReadSNEntry() = 0;
  virtual void EnableSNEntry(bool enabled) = 0;
  virtual void OfferSNEntry() = 0;
  virtual void FinishSNEntry() = 0;
  virtual void ShowResultSN(const std::string& sn) = 0;
  // Selected port names: "COM" + number, or empty.
  virtual std::string SelectedDiagPortName() = 0;
  virtual std::string SelectedModemPortName() = 0;
  // Raised by the window's device-change handler; cleared and polled by the engine.
  virtual std::atomic<bool>& DeviceChangeSeen() = 0;
  virtual std::atomic<bool>& DeviceArrivalSeen() = 0;
  virtual void MessageBox(const std::string& text, const std::string& caption) = 0;
  // Port discovery the engine needs after a restart of the modem.
  virtual bool IsSameDiagPort(int portNumber) = 0;
  virtual void RefreshPortLists() = 0;
};

}  // namespace zovir
