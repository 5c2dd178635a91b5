// zovir-cli: the command-line front end. Runs the controller of the window from a terminal or
// a script: the same start-up, device checks, validation and engine, with a printing view.
#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <iterator>
#include <memory>
#include <optional>
#include <thread>
#include <mutex>
#include <condition_variable>
#include <atomic>
#include <vector>

#include "discovery/host_discovery.h"
#include "discovery/launchers.h"
#include "discovery/owner_thread.h"
#include "discovery/port_directory.h"
#include "discovery/usb_boot.h"
#include "engine/engine_assembly.h"
#include "platform/key_value_store.h"
#include "platform/linux/serial_port_linux.h"
#include "platform/port_namespace.h"
#include "platform/processes.h"
#include "platform/system_paths.h"
#include "platform/usb_bulk.h"
#include "sim/device_state.h"
#include "sim/virtual_modem.h"
#include "ui/cli/cli_output.h"
#include "ui/cli/cli_view.h"
#include "ui/cli/virtual_factory.h"
#include "ui/controller.h"
#include "ui/engine_host_served.h"
#include "ui/payload.h"
#include "ui/payload_extraction.h"
#include "ui/startup.h"
#include "ui/work_folders.h"

namespace fs = std::filesystem;

namespace zovir::cli {
namespace {

enum ExitCode : int { kPass = 0, kFailed = 1, kUsage = 2, kNoDevice = 3, kStopped = 4 };

volatile std::sig_atomic_t gStopSignal = 0;
extern "C" void OnStopSignal(int) { gStopSignal = 1; }

// Ctrl-C and SIGTERM are Stop. Without SA_RESTART, so that a question waiting for the
// terminal gives up at once.
void InstallStopSignals() {
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

struct Options {
  std::string packet;
  bool virtualModem = false;
  int slots = 1;
  bool json = false;
  std::string sn;
  std::string state;
  bool yes = false, no = false;
  bool keepWork = false;
  int waitSeconds = -1;  // -1: the command's default
};

// Messages of the payload and the hex conversion, printed.
class PrintingSink final : public MessageSink {
 public:
  explicit PrintingSink(CliOutput& out) : out_(out) {}
  void Show(const std::string& text, const std::string& caption, MessageButtons, MessageIcon) override {
    out_.Message(caption, text);
  }
  void Log(const std::string& line) override { out_.Note(line); }

 private:
  CliOutput& out_;
};

// What one start of the tool holds before any modem is looked at: the single-instance lock,
// the work folders and the configuration file the controller reads.
struct Session {
  SystemPaths paths;
  std::unique_ptr<Processes> processes;
  std::unique_ptr<SingleInstance> instance;
  std::unique_ptr<WorkFolders> folders;
  Payload payload;
  bool embedded = false;
  std::string imageFolder;
  std::string configPath;
};

int OpenSession(const Options& o, CliOutput& out, Session& s) {
  s.paths = SystemPathsFromEnvironment();
  s.processes = MakeLinuxProcesses(s.paths.runtimeDir);
  // One copy at a time: a second one would probe the ports of a modem being written.
  s.instance = std::make_unique<SingleInstance>(*s.processes);
  if (s.instance->AnotherCopyRuns()) {
    out.Message("", kAlreadyRunningText);
    return kFailed;
  }
  try {
    s.folders = std::make_unique<WorkFolders>(s.paths);
    if (o.keepWork) s.folders->Keep();
    if (!o.packet.empty()) {
      s.imageFolder = fs::absolute(o.packet).string();
      s.configPath = (fs::path(s.imageFolder) / "Config.ini").string();
      if (!fs::exists(s.configPath)) {
        out.Message("Warning", "No Config.ini in " + s.imageFolder);
        return kUsage;
      }
      return kPass;
    }
    s.payload = Payload::Embedded();
    if (s.payload.Empty()) {
      out.Message("Warning", "This build carries no firmware packet; use --packet DIR.");
      return kUsage;
    }
    s.embedded = true;
    s.imageFolder = s.folders->WorkFolder();
    CreateFolderPath(s.imageFolder);
    s.configPath = s.imageFolder + "/Config.ini";
    WriteResource(s.payload, "ConfigFile", "INI", s.configPath);
  } catch (const StartupError& e) {
    out.Message("Warning", e.what());
    return kUsage;
  }
  return kPass;
}

std::vector<std::string> EfsPaths(const ConfigList& list) {
  std::vector<std::string> out;
  for (std::string entry : list) {
    while (!entry.empty() && (entry.back() == '\r' || entry.back() == '\n')) entry.pop_back();
    if (entry.empty()) continue;
    for (auto& c : entry)
      if (c == '\\') c = '/';
    if (entry.front() != '/') entry.insert(entry.begin(), '/');
    out.push_back(entry);
  }
  return out;
}

// What a virtual modem holds after the run, partition by partition, against the images.
struct PartitionRow {
  std::string name;
  uint64_t size = 0;
  uint16_t crc = 0;
  bool match = false;
};

std::vector<PartitionRow> CheckPartitions(sim::VirtualModem& modem, const std::string& imageFolder) {
  std::vector<PartitionRow> rows;
  for (const auto& [name, held] : modem.Partitions()) {
    // Read in pieces (images run to hundreds of MiB); an unreadable image is a mismatch.
    const auto image = sim::SummarizeFile((fs::path(imageFolder) / (name + ".mbn")).string());
    rows.push_back({name, held.size, held.crc, image && image->size == held.size && image->crc == held.crc});
  }
  return rows;
}

bool ReportPartitions(const std::vector<PartitionRow>& rows, int slot, CliOutput& out) {
  bool all = true;
  nlohmann::json json = nlohmann::json::array();
  for (const auto& row : rows) {
    all &= row.match;
    char line[160];
    std::snprintf(line, sizeof line, "  %-10s %10llu bytes  CRC 0x%04X  %s", row.name.c_str(),
                  static_cast<unsigned long long>(row.size), row.crc, row.match ? "match" : "MISMATCH");
    if (out.style() == CliOutput::Style::Json)
      json.push_back({{"partition", row.name}, {"size", row.size}, {"crc", row.crc}, {"match", row.match}});
    else
      out.Note(line);
  }
  if (out.style() == CliOutput::Style::Json)
    out.JsonEvent(nlohmann::json{{"event", "partitions"}, {"slot", slot}, {"partitions", json}}.dump());
  return all;
}

// What the slots of one command share: the first slot's start-up (its configuration and
// image check serve every slot), each slot's readiness, the decision to start, and Stop.
struct Line {
  explicit Line(int slots) : readyCode(static_cast<size_t>(slots), -1), controllersLeft(slots) {}
  std::mutex mutex;
  std::condition_variable changed;
  bool startupDone = false;
  int startupCode = kPass;
  ProjectConfiguration config;
  ImageFolderState images;
  std::string imageFolder;
  std::vector<int> readyCode;  // -1 while the slot still waits for its modem
  bool decided = false, go = false;
  int controllersLeft;
  std::atomic<bool> stop{false};
  std::mutex questions;
};

// One slot: its ports (a virtual modem of its own with --virtual), discovery, view and
// controller. The controller lives on the slot's own thread, so slots share nothing but the
// session and update side by side.
struct Slot {
  int index = 0;
  VirtualFactory factory;
  std::unique_ptr<sim::VirtualModem> modem;
  std::unique_ptr<PortNamespace> names;
  std::unique_ptr<LinuxSerialPortFactory> serial;
  std::unique_ptr<HostDiscovery> discovery;
  std::unique_ptr<WorkerOwnerThread> worker;
  std::unique_ptr<PortDirectory> directory;
  std::unique_ptr<ControllerPorts> ports;
  std::unique_ptr<KeyValueStore> store;
  std::unique_ptr<ProcessTable> processTable;
  std::optional<LauncherContext> launcher;
  std::unique_ptr<CliView> view;
  std::unique_ptr<Controller> controller;
  std::thread thread;
  // Filled by the slot's thread, read after it was joined.
  bool started = false;
  bool verified = false;  // a virtual modem's run passed and what it holds was read
  ModemData before, after;
  std::vector<PartitionRow> partitions;

  Slot() = default;
  Slot(const Slot&) = delete;
  Slot& operator=(const Slot&) = delete;
  ~Slot() {
    if (thread.joinable()) thread.join();
    controller.reset();
    ports.reset();
    directory.reset();
    worker.reset();
    discovery.reset();
    if (modem) modem->Stop();
  }
  Controller& c() { return *controller; }
};

using Slots = std::vector<std::unique_ptr<Slot>>;

struct SlotContext {
  const Options& o;
  Session& s;
  CliOutput& out;
  PrintingSink& sink;
  Clock& clock;
  AnswerPolicy policy;
  Line& line;
  const StartupSteps& firstSteps;  // start-up of slot 0
  bool& payloadFailed;
  bool checkOnly = false;  // `check`: no start, nothing written
};

// Builds a slot's ports and its controller, on the slot's thread (the controller's thread).
void BuildSlot(Slot& slot, const SlotContext& x) {
  const int i = slot.index;
  std::string deviceMap;
  if (x.o.virtualModem) {
    deviceMap = x.s.folders->TempPath() + "/ports-" + std::to_string(i) + ".ini";
    sim::VirtualModemOptions modem;
    modem.deviceMapPath = deviceMap;
    modem.comNumbers.clear();
    for (int n = 0; n < 8; ++n) modem.comNumbers.push_back(20 + i * 10 + n);
    if (!x.o.state.empty()) {
      modem.stateDir = (fs::path(x.o.state) / ("slot" + std::to_string(i))).string();
      fs::create_directories(modem.stateDir);
    }
    modem.rebootDelayMs = 300;
    slot.factory.Prepare(modem, i);
    slot.modem = std::make_unique<sim::VirtualModem>(modem);
    slot.modem->Start();
  } else if (const char* env = std::getenv("ZOVIR_DEVICE_MAP")) {
    deviceMap = env;
  }
  slot.names = std::make_unique<PortNamespace>(deviceMap);
  slot.serial = std::make_unique<LinuxSerialPortFactory>(*slot.names);
  slot.discovery = std::make_unique<HostDiscovery>(HostDiscoveryOptions{deviceMap});
  slot.worker = std::make_unique<WorkerOwnerThread>();
  slot.directory = std::make_unique<PortDirectory>(slot.discovery->Enumerator(), *slot.serial, x.clock, *slot.worker);
  slot.ports = MakeDirectoryPorts(*slot.directory);
  // Virtual modems keep their milestones to themselves: a later re-update of a real modem must
  // never skip its backup because of them.
  const std::string suffix = i == 0 ? "" : "-slot" + std::to_string(i);
  slot.store = MakeFileKeyValueStore(x.o.virtualModem ? x.s.folders->TempPath() + "/settings" + suffix + ".ini"
                                                      : x.s.paths.configDir + "/settings" + suffix + ".ini");
  slot.processTable = MakeLinuxProcessTable();
  Slot* self = &slot;
  slot.launcher.emplace(LauncherContext{*x.s.processes, x.clock, [self](const std::string& line) {
                                          if (self->controller) self->controller->log().WriteLogLine(line);
                                        }});
  slot.view = std::make_unique<CliView>(x.out, i, x.policy, x.o.sn);
  slot.view->SerializeQuestions(x.line.questions);

  ControllerOptions opts;
  opts.workFolder = x.s.imageFolder;
  opts.secondPacketFolder = x.s.folders->SecondPacketFolder();
  opts.backupFolder = x.s.folders->BackupFolder();
  opts.logFolder = x.s.folders->LogFolder() + (x.o.slots > 1 ? "/slot" + std::to_string(i) : "");
  opts.autotestMarker = x.s.paths.autotestMarker;
  opts.checkOnly = x.checkOnly;
  opts.helperFolder = x.s.folders->WorkFolder();
  opts.store = slot.store.get();
  const EngineEnvironment environment{x.s.processes.get(), x.s.folders->WorkFolder()};
  Clock& clock = x.clock;
  opts.makeEngine = [self, &clock, environment](EngineHost& host) {
    return std::make_shared<TCommsThread>(clock, *self->serial, &host, ProductionPhases(environment));
  };
  opts.runDriverInstaller = [self](const std::string& folder) { return RunDriverInstaller(*self->launcher, folder); };
  opts.resetDriverInstallerFlag = [](const std::string& folder) { ResetDriverInstallerFlag(folder); };
  opts.rebootToBootloader = [self] {
    RebootToBootloader(*self->launcher, *self->processTable, self->c().images().partitionFile,
                       [self](const std::string& text) { self->view->SetStatusLabel(text, {}); });
  };
  // The session folder goes with the last controller: slot 0's, destroyed after the others.
  if (i == 0 && !x.o.keepWork) opts.removeWorkFolders = [&s = x.s] { s.folders->RemoveWorkFolders(); };
  const std::string workFolder = x.s.folders->WorkFolder();
  PrintingSink* sink = &x.sink;
  opts.convertHex = [workFolder, sink](const std::string& hex, const std::string& bin) {
    uint32_t start = 0;
    ConvertHexImage(hex, bin, workFolder, *sink, start);
    return start;
  };
  slot.controller = std::make_unique<Controller>(*slot.view, *slot.ports, x.clock, std::move(opts));
  slot.controller->WatchDevices(slot.discovery->Monitor());
}

// Start-up's payload step: the packet the program carries, unpacked into the work folder once
// the configuration was read. `failed` tells the command to end with a configuration error.
std::function<bool(ProjectConfiguration&)> PayloadStep(Session& s, PrintingSink& sink, CliOutput& out, Slot& first,
                                                       bool& failed) {
  return [&s, &sink, &out, &first, &failed](ProjectConfiguration& config) {
    if (!first.c().ConfigurationOk()) return false;
    try {
      failed = ExtractPayload(config, s.imageFolder, PayloadContext{s.payload, sink, s.processes.get()});
    } catch (const StartupError& e) {
      out.Message("ERROR", e.what());
      failed = true;
    }
    return !failed;
  };
}

AnswerPolicy PolicyOf(const Options& o, CliOutput::Style style) {
  if (o.yes) return AnswerPolicy::Yes;
  if (o.no) return AnswerPolicy::No;
  return style == CliOutput::Style::Terminal && isatty(STDIN_FILENO) ? AnswerPolicy::Prompt : AnswerPolicy::Safe;
}

std::string SlotTag(const SlotContext& x, const Slot& slot) {
  return x.o.slots > 1 ? " for slot " + std::to_string(slot.index) : std::string();
}

// Start-up: slot 0 runs it (configuration, payload, image checks, companion programs,
// watcher); the others take its configuration and image check (one packet, read once) and
// start their watchers. kPass, or the exit code of what stopped it (its message shown).
int StartSlot(Slot& slot, const SlotContext& x) {
  Line& line = x.line;
  Controller& c = slot.c();
  if (slot.index == 0) {
    const StartupResult startup = RunStartup(c, *slot.view, *x.s.processes, x.firstSteps);
    int code = kPass;
    if (!c.ConfigurationOk() || x.payloadFailed) {
      code = kUsage;
    } else if (!c.ImagesOk()) {
      x.out.Message("Warning", "No Image File Loaded!");
      code = kUsage;
    } else if (startup.endRequested || slot.view->EndRequested()) {
      code = kFailed;
    }
    if (code == kPass && x.checkOnly) {
      if (x.out.style() != CliOutput::Style::Json && !slot.view->OptionSummary().empty())
        x.out.Note(slot.view->OptionSummary());
      x.out.Note("Configuration and images are fine (" + std::to_string(c.images().lvFileList.size()) + " files).");
    }
    std::lock_guard lock(line.mutex);
    line.startupDone = true;
    line.startupCode = code;
    line.config = c.config();
    line.images = c.images();
    line.imageFolder = c.ImageFolder();
    line.changed.notify_all();
    return code;
  }
  std::unique_lock lock(line.mutex);
  line.changed.wait(lock, [&] { return line.startupDone; });
  if (line.startupCode != kPass) return line.startupCode;
  c.SetConfiguration(line.config, true);
  c.SetImageFolder(line.imageFolder);
  c.SetImageCheck(line.images, true);
  lock.unlock();
  c.DiscoverPorts();
  c.ReadRegistryValues();
  c.SetStartEnabled(false);
  c.StartWatcher();
  return kPass;
}

// Pumps until the slot's device check made Start available (or a start already runs).
int WaitForReadyDevice(Slot& slot, const SlotContext& x) {
  using std::chrono::steady_clock;
  const int waitSeconds = x.o.waitSeconds >= 0 ? x.o.waitSeconds : x.checkOnly ? 10 : 30;
  const auto begin = steady_clock::now();
  const auto deadline = begin + std::chrono::seconds(waitSeconds);
  Controller& c = slot.c();
  for (;;) {
    if (c.StartEnabled() || c.Running()) return kPass;
    // A refusal (its message shown) ends the watcher; nothing will make this modem ready.
    if (!c.WatcherRunning() || slot.view->EndRequested()) return kFailed;
    if (x.line.stop) return kStopped;
    const auto now = steady_clock::now();
    if (c.Timer1Enabled() && now - begin >= std::chrono::seconds(20)) {
      c.Timer1Timer();
      if (slot.view->EndRequested()) return kNoDevice;
    }
    if (now >= deadline) {
      x.out.Message("Warning", "Not Ready: no ready device" + SlotTag(x, slot) + " within " +
                                   std::to_string(waitSeconds) + " s");
      return kNoDevice;
    }
    c.Pump(100);
  }
}

// Start and follow the run to its end (a re-update or an automatic-test repeat included);
// Stop when the user asks.
void RunToEnd(Slot& slot, const SlotContext& x) {
  Controller& c = slot.c();
  CliView& view = *slot.view;
  const auto userFiles = EfsPaths(c.config().UserDataFilesList);
  if (slot.modem) {
    slot.factory.Seed(*slot.modem, slot.index, userFiles, EfsPaths(c.config().UserDataDirList));
    slot.before = Snapshot(*slot.modem, *slot.factory.nv, userFiles);
  }
  x.out.SetTotalBytes(slot.index, c.images().allTotalFileSize);
  const PortLists ports = view.Ports();
  x.out.Note(slot.index, "Diagnostic port " + (ports.PortCBox.items.empty() ? "-" : ports.PortCBox.SelectedText()) +
                             ", modem port " +
                             (ports.SerialPortCBox.items.empty() ? "-" : ports.SerialPortCBox.SelectedText()));
  if (x.line.stop) return;
  if (!c.Running()) c.StartClick();
  slot.started = c.Running();
  if (!slot.started) return;
  bool stopSent = false;
  for (;;) {
    // A re-update (or the automatic-test repeat) begins in the job that ended the run before.
    if (view.Ended() && c.Running()) view.ResetResult();
    if (view.Ended()) break;
    if (x.line.stop && !stopSent) {
      stopSent = true;
      c.StopClick();
    }
    c.Pump(50);
  }
  // Read while the images are still there: the work folder goes with the controllers.
  if (slot.modem && view.Passed() && view.ErrorCode() == 0) {
    slot.partitions = CheckPartitions(*slot.modem, c.ImageFolder());
    slot.after = Snapshot(*slot.modem, *slot.factory.nv, userFiles);
    slot.verified = true;
  }
}

// The whole life of one slot, on its own thread.
void SlotMain(Slot& slot, const SlotContext& x) {
  Line& line = x.line;
  int code = kPass;
  try {
    BuildSlot(slot, x);
  } catch (const std::exception& e) {
    x.out.Message("Warning", std::string("The virtual modem could not start: ") + e.what());
    code = kUsage;
  }
  if (!slot.controller) {
    // Slot 0 must still tell the others that start-up is over.
    std::lock_guard lock(line.mutex);
    if (slot.index == 0) {
      line.startupDone = true;
      line.startupCode = code;
    }
  } else {
    code = StartSlot(slot, x);
  }
  std::unique_ptr<RebootRequestListener> rebootRequests;
  if (code == kPass) {
    // Another program may ask for the bootloader reboot of the connected modem while the tool
    // waits or runs; never for virtual modems, whose reboot would reach a real one.
    if (slot.index == 0 && !x.o.virtualModem && !x.checkOnly) {
      Controller* c = slot.controller.get();
      rebootRequests = std::make_unique<RebootRequestListener>(x.s.paths.runtimeDir, [c] { c->PostRebootRequest(); });
    }
    code = WaitForReadyDevice(slot, x);
  }
  {
    std::unique_lock lock(line.mutex);
    line.readyCode[static_cast<size_t>(slot.index)] = code;
    line.changed.notify_all();
  }
  // The watcher and the modem's ports are still served while the other slots get ready.
  for (;;) {
    {
      std::lock_guard lock(line.mutex);
      if (line.decided) break;
    }
    if (slot.controller)
      slot.c().Pump(50);
    else
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  if (line.go && !x.checkOnly) RunToEnd(slot, x);
  rebootRequests.reset();
  // Slot 0's controller removes the work folders: it goes last.
  std::unique_lock lock(line.mutex);
  if (slot.index == 0) line.changed.wait(lock, [&] { return line.controllersLeft <= 1; });
  lock.unlock();
  slot.controller.reset();
  lock.lock();
  --line.controllersLeft;
  line.changed.notify_all();
}

// Runs every slot on its own thread up to the point where all have a ready modem (or one
// cannot get one), then lets them start together unless it is a check. Ctrl-C is Stop.
int RunSlots(Slots& slots, const SlotContext& x) {
  Line& line = x.line;
  InstallStopSignals();
  for (auto& slot : slots) {
    Slot* p = slot.get();
    slot->thread = std::thread([p, &x] { SlotMain(*p, x); });
  }
  auto waitUntil = [&](auto done) {
    std::unique_lock lock(line.mutex);
    while (!done()) {
      if (gStopSignal) line.stop = true;
      line.changed.wait_for(lock, std::chrono::milliseconds(100));
    }
  };
  int rc = kPass;
  waitUntil([&] {
    for (int code : line.readyCode)
      if (code < 0) return false;
    return true;
  });
  {
    std::lock_guard lock(line.mutex);
    for (int code : line.readyCode)
      if (rc == kPass) rc = code;
    line.go = rc == kPass;
    line.decided = true;
    line.changed.notify_all();
  }
  waitUntil([&] { return line.controllersLeft == 0; });
  for (auto& slot : slots) slot->thread.join();
  return rc;
}

int RunCommand(const Options& o, CliOutput& out) {
  if (o.slots < 1 || o.slots > 8) {
    out.Message("Warning", "--slots takes 1 to 8");
    return kUsage;
  }
  if (o.slots > 1 && !o.virtualModem) {
    out.Message("Warning", "Several slots need --virtual on this platform");
    return kUsage;
  }
  Session s;
  if (int rc = OpenSession(o, out, s); rc != kPass) return rc;
  PrintingSink sink(out);
  SteadyClock clock;

  // A board waiting in USB boot mode gets its loader while the tool runs.
  std::unique_ptr<UsbBulk> usb;
  std::unique_ptr<KeyValueStore> driverInfo;
  std::unique_ptr<UsbBootDownload> usbBoot;
  Line line(o.slots);
  Slots slots;
  for (int i = 0; i < o.slots; ++i) {
    slots.push_back(std::make_unique<Slot>());
    slots.back()->index = i;
    // Several slots: every line says its slot from the first on.
    if (o.slots > 1) out.SetTotalBytes(i, 0);
  }
  StartupSteps steps;
  steps.configPath = s.configPath;
  bool payloadFailed = false;
  if (s.embedded) {
    steps.writePayload = PayloadStep(s, sink, out, *slots[0], payloadFailed);
    steps.writeSecondPacket = [&](ProjectConfiguration& config) {
      const std::string folder = s.folders->SecondPacketFolder();
      try {
        if (ExtractPacketPayload(config, folder, 2, PayloadContext{s.payload, sink, s.processes.get()}))
          payloadFailed = true;
      } catch (const StartupError& e) {
        out.Message("ERROR", e.what());
        payloadFailed = true;
      }
      return folder + "/Config.ini";
    };
  }
  steps.startUsbBoot = [&] {
    usb = MakeLibusbBulk();
    driverInfo = MakeFileKeyValueStore(s.paths.configDir + "/settings.ini");
    usbBoot = std::make_unique<UsbBootDownload>(*usb, *driverInfo, clock,
                                                [&out](const std::string& text) { out.Note(text); });
    if (usbBoot->StartUsbBootDownload(slots[0]->c().ImageFolder())) out.Note("USB boot download started");
  };
  const SlotContext x{o, s, out, sink, clock, PolicyOf(o, out.style()), line, steps, payloadFailed, false};
  int rc = RunSlots(slots, x);
  out.Finish();
  if (usbBoot) {
    usbBoot->Stop();
    usbBoot.reset();
    out.Note("USB boot download stopped");
  }
  if (!line.go) return rc;

  auto worse = [&rc](int code) {
    if (code == kStopped || (code == kFailed && rc != kStopped)) rc = code;
  };
  for (auto& slot : slots) {
    CliView& view = *slot->view;
    if (!slot->started) {
      // The start was refused (its message shown), a question was declined, or Stop came first.
      const bool stopped = view.Declined() || line.stop;
      out.Result(slot->index, stopped ? "STOPPED" : "FAIL", 0);
      worse(stopped ? kStopped : kFailed);
      continue;
    }
    const int code = view.ErrorCode();
    const bool pass = view.Passed() && code == 0;
    out.Result(slot->index, pass ? "PASS" : code == ERR_USER_STOP ? "STOPPED" : "FAIL", code);
    if (!pass) worse(code == ERR_USER_STOP ? kStopped : kFailed);
    if (slot->verified && pass) {
      const bool partitions = ReportPartitions(slot->partitions, slot->index, out);
      const Verification v = Compare(slot->before, slot->after);
      if (out.style() == CliOutput::Style::Json) {
        out.JsonEvent(nlohmann::json{{"event", "verification"}, {"slot", slot->index}, {"partitions", partitions},
                                     {"data", v.ok}, {"lines", v.lines}}
                          .dump());
      } else {
        for (const auto& text : v.lines) out.Note("  " + text);
      }
      if (!partitions || !v.ok) worse(kFailed);
    }
  }
  if (gStopSignal) rc = kStopped;
  return rc;
}

int PortsCommand(const Options&, CliOutput& out) {
  const char* envMap = std::getenv("ZOVIR_DEVICE_MAP");
  HostDiscovery discovery(HostDiscoveryOptions{envMap ? envMap : ""});
  std::vector<PortDevice> devices;
  discovery.Enumerator().ListPortDevices(devices);
  nlohmann::json rows = nlohmann::json::array();
  for (const auto& d : devices) {
    const std::string role = d.FriendlyName.find("QDLoader") != std::string::npos ? "download"
                             : d.FriendlyName.find("Diag") != std::string::npos    ? "diagnostic"
                             : d.FriendlyName.find("Modem") != std::string::npos || d.FriendlyName.find("AT") != std::string::npos
                                 ? "modem"
                                 : "other";
    if (out.style() == CliOutput::Style::Json)
      rows.push_back({{"path", d.Path}, {"role", role}, {"friendly_name", d.FriendlyName}, {"hardware_id", d.HardwareId}});
    else
      out.Note(d.Path + "  " + role + "  " + d.FriendlyName + "  " + d.HardwareId);
  }
  if (out.style() == CliOutput::Style::Json)
    out.JsonEvent(nlohmann::json{{"event", "ports"}, {"ports", rows}}.dump());
  else if (devices.empty())
    out.Note("No modem ports found.");
  return kPass;
}

// Configuration, image and device checks as a Start would meet them; nothing is written to
// a modem (no start, no USB boot download).
int CheckCommand(const Options& o, CliOutput& out) {
  Session s;
  if (int rc = OpenSession(o, out, s); rc != kPass) return rc;
  PrintingSink sink(out);
  SteadyClock clock;
  Options one = o;
  one.slots = 1;
  Line line(1);
  Slots slots;
  slots.push_back(std::make_unique<Slot>());
  StartupSteps steps;
  steps.configPath = s.configPath;
  bool payloadFailed = false;
  if (s.embedded) steps.writePayload = PayloadStep(s, sink, out, *slots[0], payloadFailed);
  const SlotContext x{one, s, out, sink, clock, PolicyOf(o, out.style()), line, steps, payloadFailed, true};
  const int rc = RunSlots(slots, x);
  if (rc == kPass) out.Note("The modem passed the device checks.");
  return rc;
}

}  // namespace
}  // namespace zovir::cli

int main(int argc, char** argv) {
  using namespace zovir::cli;
  Options o;
  CLI::App app{"zovir-cli: firmware update of USB LTE modems from the command line"};
  app.footer(
      "Exit codes: 0 PASS, 1 update failed, 2 usage or configuration error, 3 no ready device, "
      "4 stopped by the user (Ctrl-C stops the update cleanly; the backup stays).\n"
      "Questions: --yes or --no answers them; without either, a terminal asks and anything else "
      "gets the choice that writes nothing (No, Cancel).");
  app.require_subcommand(1);
  auto* run = app.add_subcommand("run", "update the connected modem (or --virtual ones) and wait for the result");
  auto* ports = app.add_subcommand("ports", "list the modem ports of this host");
  auto* check = app.add_subcommand(
      "check", "check configuration, images and the connected modem (or a --virtual one) without writing anything");
  for (auto* sub : {run, ports, check}) {
    sub->add_flag("--json", o.json, "one JSON object per event");
  }
  for (auto* sub : {run, check}) {
    sub->add_option("--packet", o.packet, "use an unpacked firmware packet folder instead of the embedded one");
    sub->add_flag("--keep-work", o.keepWork, "leave the work folder on disk");
    sub->add_flag("--virtual", o.virtualModem, "use virtual modems on pseudo-terminals (no hardware)");
    sub->add_option("--wait", o.waitSeconds, "seconds to wait for a ready modem (run: 30, check: 10)")
        ->check(CLI::NonNegativeNumber);
  }
  run->add_option("--slots", o.slots, "number of modems updated at once (1-8)");
  run->add_option("--sn", o.sn, "serial number: restore from the backup saved under it");
  run->add_option("--state", o.state, "folder keeping the virtual modems' state between runs");
  auto* yes = run->add_flag("--yes", o.yes, "answer questions with yes");
  run->add_flag("--no", o.no, "answer questions with no")->excludes(yes);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e) == 0 ? 0 : kUsage;
  }
  const CliOutput::Style style =
      o.json ? CliOutput::Style::Json : isatty(STDOUT_FILENO) ? CliOutput::Style::Terminal : CliOutput::Style::Plain;
  CliOutput out(style);
  try {
    if (*run) return RunCommand(o, out);
    if (*ports) return PortsCommand(o, out);
    if (*check) return CheckCommand(o, out);
  } catch (const std::exception& e) {
    out.Message("ERROR", e.what());
    return kFailed;
  }
  return kUsage;
}
