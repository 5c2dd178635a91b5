#pragma once
#include <atomic>
#include <memory>
#include <string>

#include "discovery/host_discovery.h"
#include "discovery/owner_thread.h"
#include "discovery/port_directory.h"
#include "engine/engine_assembly.h"
#include "engine/tcomms_thread.h"
#include "platform/host_platform.h"
#include "platform/port_namespace.h"
#include "sim/virtual_modem.h"
#include "ui/cli/cli_output.h"
#include "ui/cli/cli_view.h"
#include "ui/engine_host_served.h"

namespace zovir::cli {

struct SlotSetup {
  int index = 0;
  std::string deviceMapPath;        // empty: the host's ports only (sysfs)
  bool virtualModem = false;        // start a virtual modem on ptys for this slot
  sim::VirtualModemOptions modem;   // its options (device map filled in)
  std::string sn;                   // --sn
};

// One engine on its own ports (optionally a virtual modem), without a controller: the engine's
// host is served on the slot's discovery thread and prints through a CliView. For harnesses
// that drive an engine directly (the fault matrix); zovir-cli itself runs controllers.
class UpdateSlot {
 public:
  UpdateSlot(SlotSetup setup, CliOutput& out, Clock& clock);
  ~UpdateSlot();
  UpdateSlot(const UpdateSlot&) = delete;
  UpdateSlot& operator=(const UpdateSlot&) = delete;

  int index() const { return setup_.index; }
  // Rescans the ports; true when a diagnostic port was found.
  bool Discover();
  std::string DiagPort() const { return directory_->SelectedDiagPortName(); }
  std::string ModemPort() const { return directory_->SelectedModemPortName(); }
  PortDirectory& directory() { return *directory_; }
  sim::VirtualModem* modem() { return modem_.get(); }

  // Starts the engine with `cfg` (ports filled in from the discovery).
  void Start(EngineConfig cfg, EngineEnvironment environment);
  void Stop();
  bool Wait(uint32_t ms);
  bool Finished() const;
  int ErrorCode() const;
  bool Passed() const { return passed_; }

 private:
  SlotSetup setup_;
  CliOutput& out_;
  Clock& clock_;
  std::unique_ptr<sim::VirtualModem> modem_;
  std::unique_ptr<PortNamespace> names_;
  std::unique_ptr<SerialPortFactory> ports_;
  std::unique_ptr<HostDiscovery> discovery_;
  std::unique_ptr<WorkerOwnerThread> owner_;
  std::unique_ptr<PortDirectory> directory_;
  std::unique_ptr<ControllerPorts> controllerPorts_;
  std::unique_ptr<CliView> view_;
  std::unique_ptr<ServedEngineHost> host_;
  std::shared_ptr<TCommsThread> engine_;
  std::atomic<bool> passed_{false};
};

}  // namespace zovir::cli
