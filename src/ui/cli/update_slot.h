#pragma once
#include <atomic>
#include <memory>
#include <mutex>
#include <string>

#include "discovery/host_discovery.h"
#include "discovery/owner_thread.h"
#include "discovery/port_directory.h"
#include "engine/engine_assembly.h"
#include "engine/tcomms_thread.h"
#include "platform/linux/serial_port_linux.h"
#include "platform/port_namespace.h"
#include "sim/virtual_modem.h"
#include "ui/cli/cli_output.h"

namespace zovir::cli {

// The window's side of an engine on the command line: the port lists of the slot's own
// discovery, the device flags from its monitor, message boxes printed, the SN from --sn.
class CliEngineHost final : public EngineHost {
 public:
  CliEngineHost(PortDirectory& ports, CliOutput& out, std::string sn) : ports_(ports), out_(out), sn_(std::move(sn)) {}
  std::string ReadSNEntry() override;
  void EnableSNEntry(bool) override {}
  void OfferSNEntry() override;
  void FinishSNEntry() override;
  void ShowResultSN(const std::string& sn) override;
  std::string SelectedDiagPortName() override { return ports_.SelectedDiagPortName(); }
  std::string SelectedModemPortName() override { return ports_.SelectedModemPortName(); }
  std::atomic<bool>& DeviceChangeSeen() override { return change_; }
  std::atomic<bool>& DeviceArrivalSeen() override { return arrival_; }
  void MessageBox(const std::string& text, const std::string& caption) override { out_.Message(caption, text); }
  bool IsSameDiagPort(int n) override { return ports_.IsSameDiagPort(n); }
  void RefreshPortLists() override { ports_.RefreshPortLists(); }

  bool SNEntryOffered() const { return snOffered_; }

 private:
  PortDirectory& ports_;
  CliOutput& out_;
  std::mutex mutex_;
  std::string sn_;
  std::atomic<bool> change_{false}, arrival_{false}, snOffered_{false};
};

struct SlotSetup {
  int index = 0;
  std::string deviceMapPath;        // empty: the host's ports only (sysfs)
  bool virtualModem = false;        // start a virtual modem on ptys for this slot
  sim::VirtualModemOptions modem;   // its options (device map filled in)
  std::string sn;                   // --sn
};

// One slot of the command line: its ports (optionally a virtual modem), discovery, host and
// engine. Slots share nothing, so several update side by side.
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
  bool SNEntryOffered() const { return host_ && host_->SNEntryOffered(); }

 private:
  SlotSetup setup_;
  CliOutput& out_;
  Clock& clock_;
  std::unique_ptr<sim::VirtualModem> modem_;
  std::unique_ptr<PortNamespace> names_;
  std::unique_ptr<LinuxSerialPortFactory> ports_;
  std::unique_ptr<HostDiscovery> discovery_;
  std::unique_ptr<WorkerOwnerThread> owner_;
  std::unique_ptr<PortDirectory> directory_;
  std::unique_ptr<CliEngineHost> host_;
  std::shared_ptr<TCommsThread> engine_;
  std::atomic<bool> passed_{false};
};

int PortNumberOf(const std::string& name);

}  // namespace zovir::cli
