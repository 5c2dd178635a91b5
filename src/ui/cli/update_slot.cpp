#include "ui/cli/update_slot.h"

#include <algorithm>

#include "discovery/device_flags.h"
#include "ui/controller.h"

namespace zovir::cli {

UpdateSlot::UpdateSlot(SlotSetup setup, CliOutput& out, Clock& clock)
    : setup_(std::move(setup)), out_(out), clock_(clock) {
  if (setup_.virtualModem) {
    setup_.modem.deviceMapPath = setup_.deviceMapPath;
    modem_ = std::make_unique<sim::VirtualModem>(setup_.modem);
    modem_->Start();
  }
  names_ = std::make_unique<PortNamespace>(setup_.deviceMapPath);
  ports_ = MakeSerialPortFactory(*names_);
  discovery_ = std::make_unique<HostDiscovery>(HostDiscoveryOptions{setup_.deviceMapPath});
  owner_ = std::make_unique<WorkerOwnerThread>();
  directory_ = std::make_unique<PortDirectory>(discovery_->Enumerator(), *ports_, clock_, *owner_);
  controllerPorts_ = MakeDirectoryPorts(*directory_);
  // Nobody answers questions here: the engine never asks any.
  view_ = std::make_unique<CliView>(out_, setup_.index, AnswerPolicy::Safe, setup_.sn);
  host_ = std::make_unique<ServedEngineHost>(*owner_, *view_, *controllerPorts_);
  discovery_->Monitor().Start([this](const DeviceEvent& e) {
    NoteDeviceEvent(e, host_->DeviceChangeSeen(), host_->DeviceArrivalSeen());
  });
}

UpdateSlot::~UpdateSlot() {
  Stop();
  Wait(60000);
  discovery_->Monitor().Stop();
  host_->Close();
  directory_.reset();
  owner_.reset();
  if (modem_) modem_->Stop();
}

bool UpdateSlot::Discover() { return directory_->RefreshPortLists() == 1; }

void UpdateSlot::Start(EngineConfig cfg, EngineEnvironment environment) {
  cfg.Index = setup_.index;
  cfg.ComPort = std::max(0, ParsePortNumber(DiagPort()));
  cfg.SerialComPort = std::max(0, ParsePortNumber(ModemPort()));
  directory_->CloseProbePort();
  engine_ = std::make_shared<TCommsThread>(clock_, *ports_, host_.get(), ProductionPhases(std::move(environment)));
  engine_->cfg = std::move(cfg);
  engine_->OnStatusText = [this](CommStatus status, const std::string& text, int slot, MESSAGE_TYPE kind) {
    if (kind == mtPass && text == "PASS") passed_ = true;
    (void)status;
    out_.StatusLine(slot, text, kind);
  };
  engine_->OnError = [this](const std::string& text, int slot) { out_.Error(slot, text); };
  engine_->OnProgress = [this](int position, int slot, int) { out_.Progress(slot, position); };
  engine_->Resume();
}

void UpdateSlot::Stop() {
  if (engine_) engine_->Stop();
}

bool UpdateSlot::Wait(uint32_t ms) { return !engine_ || engine_->WaitFor(ms); }

bool UpdateSlot::Finished() const { return !engine_ || engine_->Finished(); }

int UpdateSlot::ErrorCode() const { return engine_ ? engine_->ErrorCode() : 0; }

}  // namespace zovir::cli
