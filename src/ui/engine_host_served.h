#pragma once
#include <atomic>
#include <functional>
#include <future>
#include <memory>
#include <string>

#include "config/project_configuration.h"
#include "discovery/owner_thread.h"
#include "engine/engine_host.h"
#include "preservation/at_channel.h"
#include "ui/view.h"

namespace zovir {

// Port discovery as the controller and its engines use it.
class ControllerPorts {
 public:
  virtual ~ControllerPorts() = default;
  // Rebuilds the lists and probes the AT ports; 1 when a diagnostic port was found.
  virtual int RefreshPortLists() = 0;
  virtual PortLists Lists() = 0;
  virtual ModemFacts Facts() = 0;
  // Closes the probe port left open between polls (several attempts); ProbePortOpen() tells
  // afterwards whether it is still open.
  virtual void CloseProbePort() = 0;
  virtual bool ProbePortOpen() { return false; }
  // Selects the remembered ports ("COM" + number) where the lists hold them; the first entries
  // stay selected otherwise.
  virtual void SelectSavedPorts(int diagPort, int atPort) {
    (void)diagPort;
    (void)atPort;
  }
  virtual bool IsSameDiagPort(int portNumber) = 0;
  // What the probe asks depends on the configuration's checks.
  virtual void Configure(const ProjectConfiguration& config) { (void)config; }
};

// The controller's ports over a PortDirectory.
std::unique_ptr<ControllerPorts> MakeDirectoryPorts(PortDirectory& directory);

// The EngineHost of the controller: every call runs on the controller's thread, in the
// order the calls were made, and returns once it ran there. After Close() every call is a
// no-op (reads return empty), so an engine that is being stopped never waits for a window
// that is going away.
class ServedEngineHost final : public EngineHost, public ModemVersionView {
 public:
  ServedEngineHost(OwnerThread& owner, View& view, ControllerPorts& ports) : owner_(owner), view_(view), ports_(ports) {}

  std::string ReadSNEntry() override;
  void EnableSNEntry(bool enabled) override;
  void OfferSNEntry() override;
  void FinishSNEntry() override;
  void ShowResultSN(const std::string& sn) override;
  std::string SelectedDiagPortName() override;
  std::string SelectedModemPortName() override;
  std::atomic<bool>& DeviceChangeSeen() override { return change_; }
  std::atomic<bool>& DeviceArrivalSeen() override { return arrival_; }
  void MessageBox(const std::string& text, const std::string& caption) override;
  bool IsSameDiagPort(int portNumber) override;
  void RefreshPortLists() override;
  // The modem's version after a run ("Version:" + version).
  void SetVersionLabel(const std::string& text) override;

  // A re-update restores from the backup of the run it repeats: the engine is given that
  // backup's serial number as if it had been typed. Empty: the view's entry.
  void SetSavedBackupSN(std::string sn) { savedSN_ = std::move(sn); }

  void Close() { closed_ = true; }
  bool Closed() const { return closed_; }

 private:
  template <typename F>
  auto Served(F work) -> decltype(work());

  OwnerThread& owner_;
  View& view_;
  ControllerPorts& ports_;
  std::atomic<bool> closed_{false};
  std::atomic<bool> change_{false}, arrival_{false};
  std::string savedSN_;  // touched on the controller's thread only
};

template <typename F>
auto ServedEngineHost::Served(F work) -> decltype(work()) {
  using R = decltype(work());
  if (closed_) return R();
  if (owner_.IsCurrent()) return work();
  auto task = std::make_shared<std::packaged_task<R()>>([this, work]() mutable {
    if (closed_) return R();
    return work();
  });
  auto result = task->get_future();
  if (!owner_.Post([task] { (*task)(); })) return R();
  try {
    return result.get();
  } catch (const std::future_error&) {
    return R();  // the controller's queue was shut down before the call ran
  }
}

}  // namespace zovir
