#include "ui/qt/gui_session.h"

#include <QMessageBox>
#include <filesystem>
#include <optional>

#include "config/device_check_variants.h"
#include "config/preserved_paths.h"
#include "discovery/host_discovery.h"
#include "discovery/launchers.h"
#include "discovery/owner_thread.h"
#include "discovery/port_directory.h"
#include "engine/engine_assembly.h"
#include "platform/key_value_store.h"
#include "platform/host_platform.h"
#include "platform/port_namespace.h"
#include "platform/processes.h"
#include "platform/system_paths.h"
#if ZOVIR_VIRTUAL_MODEMS
#include "sim/virtual_modem.h"
#include "ui/session/virtual_factory.h"
#endif
#include "ui/controller.h"
#include "ui/payload.h"
#include "ui/payload_extraction.h"
#include "ui/work_folders.h"
#include "ui/qt/dialogs.h"

namespace fs = std::filesystem;

namespace zovir::qt {

namespace {

// Messages of the payload and the hex conversion go to the window.
class WindowSink final : public MessageSink {
 public:
  explicit WindowSink(View& view) : view_(view) {}
  void Show(const std::string& text, const std::string& caption, MessageButtons, MessageIcon) override {
    view_.Message(text, caption, MessageKind::Warning);
  }
  void Log(const std::string&) override {}

 private:
  View& view_;
};

// The port scans probe every candidate AT port and take a while: they run beside the
// window's thread, which keeps drawing meanwhile.
class ResponsivePorts final : public ControllerPorts {
 public:
  explicit ResponsivePorts(std::unique_ptr<ControllerPorts> inner) : inner_(std::move(inner)) {}
  int RefreshPortLists() override {
    int found = 0;
    RunServingWindow([&] { found = inner_->RefreshPortLists(); });
    return found;
  }
  PortLists Lists() override { return inner_->Lists(); }
  ModemFacts Facts() override { return inner_->Facts(); }
  void CloseProbePort() override {
    RunServingWindow([&] { inner_->CloseProbePort(); });
  }
  bool IsSameDiagPort(int portNumber) override {
    bool same = false;
    RunServingWindow([&] { same = inner_->IsSameDiagPort(portNumber); });
    return same;
  }
  void Configure(const ProjectConfiguration& config) override { inner_->Configure(config); }

 private:
  std::unique_ptr<ControllerPorts> inner_;
};

}  // namespace

struct GuiSession::Parts {
  explicit Parts(std::unique_ptr<SystemServices> services) : session(std::move(services)) {}
  session::UpdateSession session;
  GuiClock clock;
#if ZOVIR_VIRTUAL_MODEMS
  session::VirtualFactory factory;
  std::unique_ptr<sim::VirtualModem> modem;
  sim::VirtualModemOptions modemOptions;  // before the factory's stores are installed
#endif
  std::unique_ptr<PortNamespace> names;
  std::unique_ptr<SerialPortFactory> serial;
  std::unique_ptr<HostDiscovery> discovery;
  std::unique_ptr<WorkerOwnerThread> worker;
  std::unique_ptr<PortDirectory> directory;
  std::unique_ptr<ControllerPorts> ports;
  std::unique_ptr<KeyValueStore> store;
  std::unique_ptr<ProcessTable> processTable;
  std::optional<LauncherContext> launcher;
  std::unique_ptr<WindowSink> sink;
  std::unique_ptr<session::SessionSlot> runs;
  std::unique_ptr<Controller> controller;
  StartupResult startup;

  ~Parts() {
    // The USB boot download reports to the controller from its own thread.
    session.StopUsbBoot();
    controller.reset();
    runs.reset();
    ports.reset();
    directory.reset();
    worker.reset();
    discovery.reset();
#if ZOVIR_VIRTUAL_MODEMS
    if (modem) modem->Stop();
#endif
  }
};

GuiSession::GuiSession(GuiOptions options)
    : options_(std::move(options)),
      parts_(std::make_unique<Parts>(options_.makeServices ? options_.makeServices() : nullptr)),
      window_(std::make_unique<TDudorIvoUiForm>()) {}

GuiSession::~GuiSession() {
  // The controller talks to the window until it is gone: it goes first.
  window_->Unbind();
  parts_.reset();
  window_.reset();
}

Controller& GuiSession::controller() { return *parts_->controller; }
#if ZOVIR_VIRTUAL_MODEMS
sim::VirtualModem* GuiSession::modem() { return parts_->modem.get(); }
session::VirtualFactory& GuiSession::factory() { return parts_->factory; }
#endif
void GuiSession::UnplugVirtualModem() {
#if ZOVIR_VIRTUAL_MODEMS
  if (parts_->modem) parts_->modem->Stop();
  parts_->modem.reset();
#endif
}

void GuiSession::PlugVirtualModem(int slot) {
#if ZOVIR_VIRTUAL_MODEMS
  Parts& p = *parts_;
  UnplugVirtualModem();
  sim::VirtualModemOptions modem = p.modemOptions;
  if (!options_.state.empty()) {
    modem.stateDir = (fs::path(options_.state) / ("slot" + std::to_string(slot))).string();
    fs::create_directories(modem.stateDir);
  }
  p.factory = session::VirtualFactory{};
  p.factory.Prepare(modem, slot);
  p.modem = std::make_unique<sim::VirtualModem>(modem);
  p.modem->Start();
  const auto& config = p.controller->config();
  p.factory.Seed(*p.modem, slot, PreservedEfsPaths(config.UserDataFilesList), PreservedEfsPaths(config.UserDataDirList));
#else
  (void)slot;
#endif
}

const std::string& GuiSession::PacketFolder() const { return parts_->session.imageFolder(); }
session::UpdateSession& GuiSession::updateSession() { return parts_->session; }
const session::SessionSlot& GuiSession::runs() const { return *parts_->runs; }

std::vector<std::string> GuiSession::PreservedPaths() const {
  return PreservedEfsPaths(parts_->controller->config().UserDataFilesList);
}

int GuiSession::Open() {
  using Kind = session::SessionRefusal::Kind;
  const auto refusal = parts_->session.Open(session::SessionOptions{options_.packet, false});
  if (!refusal) return 0;
  if (refusal->kind == Kind::AnotherCopy) {
    window_->Message(refusal->text, "", MessageKind::Plain);
    return 1;
  }
  if (refusal->kind == Kind::Folders)
    window_->Message(refusal->text, "", MessageKind::Plain);
  else
    window_->Message(refusal->text, refusal->caption, MessageKind::Warning);
  return 2;
}

bool GuiSession::Start(std::function<bool(WizardPage)> showWizard) {
  Parts& p = *parts_;
  std::string deviceMap;
  if (options_.virtualModem) {
#if !ZOVIR_VIRTUAL_MODEMS
    window_->Message("A virtual modem runs on pseudo-terminals, which this system does not have.", "",
                     MessageKind::Plain);
    return false;
#else
    deviceMap = p.session.folders().TempPath() + "/ports-gui.ini";
    sim::VirtualModemOptions modem;
    modem.deviceMapPath = deviceMap;
    modem.comNumbers.clear();
    for (int n = 0; n < 8; ++n) modem.comNumbers.push_back(20 + n);
    if (!options_.state.empty()) {
      modem.stateDir = (fs::path(options_.state) / "slot0").string();
      fs::create_directories(modem.stateDir);
    }
    modem.rebootDelayMs = 300;
    p.modemOptions = modem;
    p.factory.Prepare(modem, 0);
    p.modem = std::make_unique<sim::VirtualModem>(modem);
    p.modem->Start();
#endif
  } else if (const char* env = std::getenv("ZOVIR_DEVICE_MAP")) {
    deviceMap = env;
  }
  p.names = std::make_unique<PortNamespace>(deviceMap);
  p.serial = MakeSerialPortFactory(*p.names);
  p.discovery = std::make_unique<HostDiscovery>(HostDiscoveryOptions{deviceMap});
  p.worker = std::make_unique<WorkerOwnerThread>();
  p.directory = std::make_unique<PortDirectory>(p.discovery->Enumerator(), *p.serial, p.clock, *p.worker);
  p.ports = std::make_unique<ResponsivePorts>(MakeDirectoryPorts(*p.directory));
  // A virtual modem keeps its milestones to itself: a later re-update of a real modem must
  // never skip its backup because of them.
  p.store = MakeFileKeyValueStore(options_.virtualModem ? p.session.folders().TempPath() + "/settings.ini"
                                                        : p.session.paths().configDir + "/settings.ini");
  p.processTable = MakeProcessTable();
  Parts* parts = &p;
  p.launcher.emplace(LauncherContext{p.session.processes(), p.clock, [parts](const std::string& line) {
                                       if (parts->controller) parts->controller->log().WriteLogLine(line);
                                     }});
  p.sink = std::make_unique<WindowSink>(*window_);

  ControllerOptions opts;
  opts.workFolder = p.session.imageFolder();
  opts.secondPacketFolder = p.session.folders().SecondPacketFolder();
  opts.backupFolder = p.session.folders().BackupFolder();
  opts.logFolder = p.session.folders().LogFolder();
  opts.autotestMarker = p.session.paths().autotestMarker;
  opts.store = p.store.get();
  opts.watchIntervalMs = options_.watchIntervalMs;
  opts.watchAfterRun = true;
  opts.startGate = true;
  session::SlotWiring wiring;
  wiring.serial = p.serial.get();
  wiring.usb = &p.discovery->Enumerator();
  wiring.virtualModem = options_.virtualModem;
  TDudorIvoUiForm* window = window_.get();
  // The window shows how the firmware check came out in its status bar.
  wiring.runChecked = [window](const session::RunRecord& record) {
    const std::string text = session::VerificationText(record);
    if (!text.empty()) window->SetStatusBar(text);
  };
  p.runs = std::make_unique<session::SessionSlot>(p.session, std::move(wiring), p.clock);
  p.runs->Wire(opts, ProductionPhases(EngineEnvironment{&p.session.processes(), p.session.folders().WorkFolder()}));
  opts.runDriverInstaller = [parts](const std::string& folder) { return RunDriverInstaller(*parts->launcher, folder); };
  opts.resetDriverInstallerFlag = [](const std::string& folder) { ResetDriverInstallerFlag(folder); };
  opts.rebootToBootloader = [parts, window] {
    RebootToBootloader(*parts->launcher, *parts->processTable, parts->controller->images().partitionFile,
                       [window](const std::string& text) { window->SetStatusLabel(text, {}); });
  };
  opts.removeWorkFolders = [parts] { parts->session.folders().RemoveWorkFolders(); };
  const std::string workFolder = p.session.folders().WorkFolder();
  opts.convertHex = [workFolder, parts](const std::string& hex, const std::string& bin) {
    uint32_t start = 0;
    ConvertHexImage(hex, bin, workFolder, *parts->sink, start);
    return start;
  };
  p.controller = std::make_unique<Controller>(*window_, *p.ports, p.clock, std::move(opts));
  p.runs->Bind(*p.controller, *p.ports);
  p.controller->WatchDevices(p.discovery->Monitor());
  window_->Bind(*p.controller, p.clock);

  StartupSteps steps;
  Controller* controller = p.controller.get();
  p.session.FillStartupSteps(steps, [controller]() -> Controller& { return *controller; }, *p.sink, p.clock,
                             [controller](const std::string& line) { controller->AddStatusLine(line, mtInfo); });
  TDudorIvoUiForm* shown = window_.get();
  // Once the configuration is read the window takes its look; without a wizard to come first
  // it shows at once and is drawn while start-up finishes. A packet that cannot be unpacked
  // ends the program (its message shown).
  steps.writePayload = [shown, controller, unpack = std::move(steps.writePayload)](ProjectConfiguration& config) {
    shown->ApplyLook(config);
    if (!ShowsWizardFirst(config)) shown->show();
    if (!unpack || unpack(config)) return true;
    controller->RequestEnd();
    return false;
  };
  if (steps.writeSecondPacket)
    steps.writeSecondPacket = [controller, &session = p.session,
                               unpack = std::move(steps.writeSecondPacket)](ProjectConfiguration& config) {
      std::string secondConfig = unpack(config);
      if (session.PayloadFailed()) controller->RequestEnd();
      return secondConfig;
    };
  steps.showWizard = showWizard ? std::move(showWizard) : [this](WizardPage page) { return ShowWizard(page); };
  window_->RunInController([&] {
    // The look needs the configuration, the start-up's last steps need the look.
    p.startup = RunStartup(*p.controller, *window_, p.session.processes(), steps);
  });
  window_->ApplyLook(p.controller->config());
#if ZOVIR_VIRTUAL_MODEMS
  if (p.modem) {
    const auto& config = p.controller->config();
    p.factory.Seed(*p.modem, 0, PreservedEfsPaths(config.UserDataFilesList), PreservedEfsPaths(config.UserDataDirList));
  }
#endif
  return !p.startup.endRequested && !window_->EndRequested() && !p.session.PayloadFailed();
}

bool GuiSession::ShowWizard(WizardPage page) {
  Parts& p = *parts_;
  const ProjectConfiguration& config = p.controller->config();
  int result = 0;
  switch (page) {
    case WizardPage::Guide: {
      TFormGuide guide(GuideKind::Guide, config, p.session.imageFolder());
      result = guide.exec();
      break;
    }
    case WizardPage::Guide1: {
      TFormGuide1 guide(config, p.session.imageFolder());
      result = guide.exec();
      break;
    }
    case WizardPage::Guide2: {
      TFormGuide2 guide(config, p.session.imageFolder());
      result = guide.exec();
      break;
    }
    case WizardPage::Guide3: {
      Controller* c = p.controller.get();
      // The device presence check: the port lists are refilled and a modem port must be there.
      TFormGuide3 guide(p.session.imageFolder(), [c] {
        c->DiscoverPorts();
        return !c->host().SelectedDiagPortName().empty();
      });
      // The compact window shows its progress panel under the wizard.
      window_->ApplyLook(config);
      result = guide.exec();
      break;
    }
  }
  return result == kResultOk;
}

}  // namespace zovir::qt
