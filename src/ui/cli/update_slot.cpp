#include "ui/cli/update_slot.h"

#include <cctype>

#include "discovery/device_flags.h"

namespace zovir::cli {

std::string CliEngineHost::ReadSNEntry() {
  std::lock_guard lock(mutex_);
  return sn_;
}

void CliEngineHost::OfferSNEntry() {
  snOffered_ = true;
  out_.Note("Input SN: run again with --sn <serial number> to restore from the saved backup.");
}

void CliEngineHost::FinishSNEntry() {
  std::lock_guard lock(mutex_);
  sn_.clear();
}

void CliEngineHost::ShowResultSN(const std::string& sn) {
  if (!sn.empty()) out_.Note("SN: " + sn);
}

int PortNumberOf(const std::string& name) {
  if (name.size() < 4 || name.compare(0, 3, "COM") != 0) return 0;
  int n = 0;
  for (size_t i = 3; i < name.size(); ++i) {
    if (!std::isdigit(static_cast<unsigned char>(name[i])) || n > 100000) return 0;
    n = n * 10 + (name[i] - '0');
  }
  return n;
}

UpdateSlot::UpdateSlot(SlotSetup setup, CliOutput& out, Clock& clock)
    : setup_(std::move(setup)), out_(out), clock_(clock) {
  if (setup_.virtualModem) {
    setup_.modem.deviceMapPath = setup_.deviceMapPath;
    modem_ = std::make_unique<sim::VirtualModem>(setup_.modem);
    modem_->Start();
  }
  names_ = std::make_unique<PortNamespace>(setup_.deviceMapPath);
  ports_ = std::make_unique<LinuxSerialPortFactory>(*names_);
  discovery_ = std::make_unique<HostDiscovery>(HostDiscoveryOptions{setup_.deviceMapPath});
  owner_ = std::make_unique<WorkerOwnerThread>();
  directory_ = std::make_unique<PortDirectory>(discovery_->Enumerator(), *ports_, clock_, *owner_);
  host_ = std::make_unique<CliEngineHost>(*directory_, out_, setup_.sn);
  discovery_->Monitor().Start([this](const DeviceEvent& e) {
    NoteDeviceEvent(e, host_->DeviceChangeSeen(), host_->DeviceArrivalSeen());
  });
}

UpdateSlot::~UpdateSlot() {
  Stop();
  Wait(60000);
  discovery_->Monitor().Stop();
  directory_.reset();
  owner_.reset();
  if (modem_) modem_->Stop();
}

bool UpdateSlot::Discover() { return directory_->RefreshPortLists() == 1; }

void UpdateSlot::Start(EngineConfig cfg, EngineEnvironment environment) {
  cfg.Index = setup_.index;
  cfg.ComPort = PortNumberOf(DiagPort());
  cfg.SerialComPort = PortNumberOf(ModemPort());
  directory_->CloseProbePort();
  engine_ = std::make_shared<TCommsThread>(clock_, *ports_, host_.get(), ProductionPhases(std::move(environment)));
  engine_->cfg = std::move(cfg);
  engine_->OnStatusText = [this](void*, CommStatus status, const std::string& text, int slot, MESSAGE_TYPE kind) {
    if (kind == mtPass && text == "PASS") passed_ = true;
    out_.Status(slot, status, text, kind);
  };
  engine_->OnError = [this](void*, const std::string& text, int slot) { out_.Error(slot, text); };
  engine_->OnProgress = [this](void*, int position, int slot, int) { out_.Progress(slot, position); };
  engine_->Resume();
}

void UpdateSlot::Stop() {
  if (engine_) engine_->Stop();
}

bool UpdateSlot::Wait(uint32_t ms) { return !engine_ || engine_->WaitFor(ms); }

bool UpdateSlot::Finished() const { return !engine_ || engine_->Finished(); }

int UpdateSlot::ErrorCode() const { return engine_ ? engine_->ErrorCode() : 0; }

}  // namespace zovir::cli
