#pragma once
#include <memory>
#include <string>

#include "config/image_check.h"
#include "config/project_configuration.h"
#include "discovery/host_discovery.h"
#include "discovery/owner_thread.h"
#include "discovery/port_directory.h"
#include "platform/host_platform.h"
#include "platform/port_namespace.h"
#include "sim/virtual_modem.h"
#include "ui/controller.h"
#include "ui/session/update_session.h"
#include "ui/view.h"

namespace zovir::session {

struct SlotSetup {
  int index = 0;
  std::string deviceMapPath;       // empty: the host's ports only (sysfs)
  bool virtualModem = false;       // start a virtual modem on ptys for this slot
  sim::VirtualModemOptions modem;  // its options (device map filled in)
  std::string backupFolder;        // the backup root; empty: the session's
};

// One controller on its own ports (optionally a virtual modem) inside an update session, as
// zovir-cli runs each slot: the same start, validation, engine, guard, firmware check and
// history. Driven from the thread that made it, which the controller serves while it waits.
// For harnesses that run many updates in one process (the fault matrix).
class UpdateSlot {
 public:
  UpdateSlot(SlotSetup setup, UpdateSession& session, View& view, Clock& clock);
  ~UpdateSlot();
  UpdateSlot(const UpdateSlot&) = delete;
  UpdateSlot& operator=(const UpdateSlot&) = delete;

  int index() const { return setup_.index; }
  // Rescans the ports; true when a diagnostic port was found.
  bool Discover();
  std::string DiagPort() const { return directory_->SelectedDiagPortName(); }
  std::string ModemPort() const { return directory_->SelectedModemPortName(); }
  sim::VirtualModem* modem() { return modem_.get(); }
  Controller& controller() { return *controller_; }

  // START with `config` and the images the check of `imageFolder` found.
  void Start(const ProjectConfiguration& config, const ImageFolderState& images, const std::string& imageFolder);
  // The user's Stop.
  void Stop();
  // Serves the controller until the run has ended (true) or `ms` passed (false).
  bool Wait(uint32_t ms);
  // Serves the controller's queued work; true once no run is under way.
  bool Finished();
  // The run's error code and whether it passed, after the session's check of its end.
  int ErrorCode() const;
  bool Passed() const { return ended_ && passed_; }

 private:
  SlotSetup setup_;
  UpdateSession& session_;
  Clock& clock_;
  std::unique_ptr<sim::VirtualModem> modem_;
  std::unique_ptr<PortNamespace> names_;
  std::unique_ptr<SerialPortFactory> ports_;
  std::unique_ptr<HostDiscovery> discovery_;
  std::unique_ptr<WorkerOwnerThread> owner_;
  std::unique_ptr<PortDirectory> directory_;
  std::unique_ptr<ControllerPorts> controllerPorts_;
  std::unique_ptr<SessionSlot> runs_;
  std::unique_ptr<Controller> controller_;
  bool ended_ = false;
  bool passed_ = false;
  int errorCode_ = 0;
};

}  // namespace zovir::session
