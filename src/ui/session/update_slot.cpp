#include "ui/session/update_slot.h"

#include <chrono>

#include "engine/engine_assembly.h"

namespace zovir::session {

UpdateSlot::UpdateSlot(SlotSetup setup, UpdateSession& session, View& view, Clock& clock)
    : setup_(std::move(setup)), session_(session), clock_(clock) {
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

  SlotWiring wiring;
  wiring.index = setup_.index;
  wiring.serial = ports_.get();
  wiring.usb = &discovery_->Enumerator();
  wiring.virtualModem = setup_.virtualModem;
  wiring.runChecked = [this](const RunRecord& record) {
    ended_ = true;
    passed_ = record.passed;
    errorCode_ = record.errorCode;
  };
  runs_ = std::make_unique<SessionSlot>(session_, std::move(wiring), clock_);
  ControllerOptions options;
  options.workFolder = session_.imageFolder();
  options.secondPacketFolder = session_.folders().SecondPacketFolder();
  options.backupFolder = setup_.backupFolder.empty() ? session_.folders().BackupFolder() : setup_.backupFolder;
  options.logFolder = session_.folders().LogFolder();
  options.helperFolder = session_.folders().WorkFolder();
  runs_->Wire(options,
              ProductionPhases(EngineEnvironment{&session_.processes(), session_.folders().WorkFolder()}));
  controller_ = std::make_unique<Controller>(view, *controllerPorts_, clock_, std::move(options));
  runs_->Bind(*controller_, *controllerPorts_);
  controller_->WatchDevices(discovery_->Monitor());
}

UpdateSlot::~UpdateSlot() {
  Stop();
  Wait(60000);
  controller_->FlashDestroy();
  controller_.reset();
  runs_.reset();
  controllerPorts_.reset();
  directory_.reset();
  owner_.reset();
  if (modem_) modem_->Stop();
}

bool UpdateSlot::Discover() {
  controller_->DiscoverPorts();
  return !directory_->SelectedDiagPortName().empty();
}

void UpdateSlot::Start(const ProjectConfiguration& config, const ImageFolderState& images,
                       const std::string& imageFolder) {
  Controller& c = *controller_;
  c.SetConfiguration(config, true);
  c.SetImageFolder(imageFolder);
  c.SetImageCheck(images, true);
  ended_ = passed_ = false;
  errorCode_ = 0;
  c.StartClick();
}

void UpdateSlot::Stop() {
  if (controller_->Running()) controller_->StopClick();
}

bool UpdateSlot::Wait(uint32_t ms) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!Finished()) {
    if (std::chrono::steady_clock::now() >= end) return false;
    controller_->Pump(20);
  }
  return true;
}

bool UpdateSlot::Finished() {
  controller_->Pump(0);
  return !controller_->Running();
}

int UpdateSlot::ErrorCode() const { return ended_ ? errorCode_ : controller_->LastErrorCode(); }

}  // namespace zovir::session
