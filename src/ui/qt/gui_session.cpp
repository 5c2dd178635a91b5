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
#include "ui/cli/virtual_factory.h"
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
  SystemPaths paths;
  GuiClock clock;
  std::unique_ptr<Processes> processes;
  std::unique_ptr<SingleInstance> instance;
  std::unique_ptr<WorkFolders> folders;
  Payload payload;
  bool embedded = false;
  std::string imageFolder;
  std::string configPath;
#if ZOVIR_VIRTUAL_MODEMS
  cli::VirtualFactory factory;
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
  std::unique_ptr<Controller> controller;
  StartupResult startup;

  ~Parts() {
    controller.reset();
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
    : options_(std::move(options)), parts_(std::make_unique<Parts>()), window_(std::make_unique<TDudorIvoUiForm>()) {}

GuiSession::~GuiSession() {
  // The controller talks to the window until it is gone: it goes first.
  window_->Unbind();
  parts_.reset();
  window_.reset();
}

Controller& GuiSession::controller() { return *parts_->controller; }
#if ZOVIR_VIRTUAL_MODEMS
sim::VirtualModem* GuiSession::modem() { return parts_->modem.get(); }
cli::VirtualFactory& GuiSession::factory() { return parts_->factory; }
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
  p.factory = cli::VirtualFactory{};
  p.factory.Prepare(modem, slot);
  p.modem = std::make_unique<sim::VirtualModem>(modem);
  p.modem->Start();
  const auto& config = p.controller->config();
  p.factory.Seed(*p.modem, slot, PreservedEfsPaths(config.UserDataFilesList), PreservedEfsPaths(config.UserDataDirList));
#else
  (void)slot;
#endif
}

const std::string& GuiSession::PacketFolder() const { return parts_->imageFolder; }

std::vector<std::string> GuiSession::PreservedPaths() const {
  return PreservedEfsPaths(parts_->controller->config().UserDataFilesList);
}

int GuiSession::Open() {
  Parts& p = *parts_;
  p.paths = SystemPathsFromEnvironment();
  p.processes = MakeProcesses(p.paths.runtimeDir);
  p.instance = std::make_unique<SingleInstance>(*p.processes);
  if (p.instance->AnotherCopyRuns()) {
    window_->Message(kAlreadyRunningText, "", MessageKind::Plain);
    return 1;
  }
  try {
    p.folders = std::make_unique<WorkFolders>(p.paths);
    if (!options_.packet.empty()) {
      p.imageFolder = fs::absolute(options_.packet).string();
      p.configPath = (fs::path(p.imageFolder) / "Config.ini").string();
      if (!fs::exists(p.configPath)) {
        window_->Message("No Config.ini in " + p.imageFolder, "Warning", MessageKind::Warning);
        return 2;
      }
      return 0;
    }
    p.payload = Payload::Embedded();
    if (p.payload.Empty()) {
      window_->Message("This build carries no firmware packet.", "Warning", MessageKind::Warning);
      return 2;
    }
    p.embedded = true;
    p.imageFolder = p.folders->WorkFolder();
    CreateFolderPath(p.imageFolder);
    p.configPath = p.imageFolder + "/Config.ini";
    WriteResource(p.payload, "ConfigFile", "INI", p.configPath);
  } catch (const StartupError& e) {
    window_->Message(e.what(), "", MessageKind::Plain);
    return 2;
  }
  return 0;
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
    deviceMap = p.folders->TempPath() + "/ports-gui.ini";
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
  p.store = MakeFileKeyValueStore(options_.virtualModem ? p.folders->TempPath() + "/settings.ini"
                                                        : p.paths.configDir + "/settings.ini");
  p.processTable = MakeProcessTable();
  Parts* parts = &p;
  p.launcher.emplace(LauncherContext{*p.processes, p.clock, [parts](const std::string& line) {
                                       if (parts->controller) parts->controller->log().WriteLogLine(line);
                                     }});
  p.sink = std::make_unique<WindowSink>(*window_);

  ControllerOptions opts;
  opts.workFolder = p.imageFolder;
  opts.secondPacketFolder = p.folders->SecondPacketFolder();
  opts.backupFolder = p.folders->BackupFolder();
  opts.logFolder = p.folders->LogFolder();
  opts.autotestMarker = p.paths.autotestMarker;
  opts.store = p.store.get();
  opts.watchIntervalMs = options_.watchIntervalMs;
  opts.watchAfterRun = true;
  opts.startGate = true;
  const EngineEnvironment environment{p.processes.get(), p.folders->WorkFolder()};
  Clock& clock = p.clock;
  opts.makeEngine = [parts, &clock, environment](EngineHost& host) {
    return std::make_shared<TCommsThread>(clock, *parts->serial, &host, ProductionPhases(environment));
  };
  opts.runDriverInstaller = [parts](const std::string& folder) { return RunDriverInstaller(*parts->launcher, folder); };
  opts.resetDriverInstallerFlag = [](const std::string& folder) { ResetDriverInstallerFlag(folder); };
  TDudorIvoUiForm* window = window_.get();
  opts.rebootToBootloader = [parts, window] {
    RebootToBootloader(*parts->launcher, *parts->processTable, parts->controller->images().partitionFile,
                       [window](const std::string& text) { window->SetStatusLabel(text, {}); });
  };
  opts.removeWorkFolders = [parts] { parts->folders->RemoveWorkFolders(); };
  const std::string workFolder = p.folders->WorkFolder();
  opts.convertHex = [workFolder, parts](const std::string& hex, const std::string& bin) {
    uint32_t start = 0;
    ConvertHexImage(hex, bin, workFolder, *parts->sink, start);
    return start;
  };
  p.controller = std::make_unique<Controller>(*window_, *p.ports, p.clock, std::move(opts));
  p.controller->WatchDevices(p.discovery->Monitor());
  window_->Bind(*p.controller, p.clock);

  StartupSteps steps;
  steps.configPath = p.configPath;
  TDudorIvoUiForm* shown = window_.get();
  const bool embedded = p.embedded;
  // Once the configuration is read the window takes its look; without a wizard to come first
  // it shows at once and is drawn while start-up finishes.
  steps.writePayload = [parts, shown, embedded](ProjectConfiguration& config) {
    shown->ApplyLook(config);
    if (!ShowsWizardFirst(config)) shown->show();
    if (!embedded) return true;
    if (!parts->controller->ConfigurationOk()) return false;
    try {
      return !ExtractPayload(config, parts->imageFolder,
                             PayloadContext{parts->payload, *parts->sink, parts->processes.get()});
    } catch (const StartupError& e) {
      parts->sink->Show(e.what(), "ERROR", MessageButtons::Ok, MessageIcon::Warning);
      return false;
    }
  };
  steps.showWizard = showWizard ? std::move(showWizard) : [this](WizardPage page) { return ShowWizard(page); };
  window_->RunInController([&] {
    // The look needs the configuration, the start-up's last steps need the look.
    p.startup = RunStartup(*p.controller, *window_, *p.processes, steps);
  });
  window_->ApplyLook(p.controller->config());
#if ZOVIR_VIRTUAL_MODEMS
  if (p.modem) {
    const auto& config = p.controller->config();
    p.factory.Seed(*p.modem, 0, PreservedEfsPaths(config.UserDataFilesList), PreservedEfsPaths(config.UserDataDirList));
  }
#endif
  return !p.startup.endRequested && !window_->EndRequested();
}

bool GuiSession::ShowWizard(WizardPage page) {
  Parts& p = *parts_;
  const ProjectConfiguration& config = p.controller->config();
  int result = 0;
  switch (page) {
    case WizardPage::Guide: {
      TFormGuide guide(GuideKind::Guide, config, p.imageFolder);
      result = guide.exec();
      break;
    }
    case WizardPage::Guide1: {
      TFormGuide1 guide(config, p.imageFolder);
      result = guide.exec();
      break;
    }
    case WizardPage::Guide2: {
      TFormGuide2 guide(config, p.imageFolder);
      result = guide.exec();
      break;
    }
    case WizardPage::Guide3: {
      Controller* c = p.controller.get();
      // The device presence check: the port lists are refilled and a modem port must be there.
      TFormGuide3 guide(p.imageFolder, [c] {
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
