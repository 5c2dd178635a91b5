// zovir-cli: the command-line front end. Runs the controller of the window from a terminal or
// a script: the same start-up, device checks, validation and engine, with a printing view.
#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

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

#include <zovir_build_info.h>

#include "config/engine_handover.h"
#include "config/preserved_paths.h"
#include "discovery/at_probe.h"
#include "common/text.h"
#include "discovery/at_result.h"
#include "discovery/host_discovery.h"
#include "discovery/launchers.h"
#include "discovery/owner_thread.h"
#include "discovery/port_directory.h"
#include "discovery/usb_boot.h"
#include "discovery/version_query.h"
#include "preservation/at_channel.h"
#include "engine/engine_assembly.h"
#include "platform/console.h"
#include "preservation/backup_catalogue.h"
#include "platform/key_value_store.h"
#include "platform/host_platform.h"
#include "platform/port_namespace.h"
#include "platform/profile_file.h"
#include "platform/processes.h"
#include "platform/system_paths.h"
#include "platform/system_services.h"
#include "platform/usb_bulk.h"
#include "ui/cli/backups_command.h"
#include "ui/cli/cli_output.h"
#include "ui/cli/cli_view.h"
#include "ui/cli/device_filter.h"
#include "ui/cli/modem_list.h"
#if ZOVIR_VIRTUAL_MODEMS
#include "sim/device_state.h"
#include "sim/virtual_modem.h"
#include "ui/session/virtual_factory.h"
#endif
#include "ui/controller.h"
#include "ui/engine_host_served.h"
#include "ui/payload.h"
#include "ui/payload_extraction.h"
#include "ui/session/run_history.h"
#include "ui/session/update_session.h"
#include "ui/startup.h"
#include "ui/work_folders.h"

namespace fs = std::filesystem;

namespace zovir::cli {
namespace {

using session::kErrVirtualContents;
using session::RunHistory;
using session::SessionSlot;
using session::UpdateSession;
#if ZOVIR_VIRTUAL_MODEMS
using session::Compare;
using session::LoadHeldBefore;
using session::ModemData;
using session::SaveHeldBefore;
using session::Snapshot;
using session::Verification;
using session::VirtualFactory;
#endif

enum ExitCode : int { kPass = 0, kFailed = 1, kUsage = 2, kNoDevice = 3, kStopped = 4, kAnotherCopy = 5 };

volatile std::sig_atomic_t gStopSignal = 0;
extern "C" void OnStopSignal(int signal) {
#ifdef _WIN32
  std::signal(signal, OnStopSignal);  // the C runtime resets a handler before calling it
#else
  (void)signal;
#endif
  gStopSignal = 1;
}

// A closed output (`zovir-cli run | head`) or a closed terminal must never end an update
// half-way: writes to them fail and are dropped, and the run goes on to its end with its
// backup, restore and result. Only Ctrl-C and SIGTERM stop it, as the Stop button does.
// (Windows raises neither signal for a closed pipe or console.)
void IgnoreOutputSignals() {
#ifndef _WIN32
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGHUP, SIG_IGN);
#endif
}

#ifdef _WIN32
// The C runtime calls the handler on its own thread for Ctrl-C and Ctrl-Break; a question
// waiting for the console sees the stop once its read returns.
void InstallStopSignals() {
  std::signal(SIGINT, OnStopSignal);
  std::signal(SIGTERM, OnStopSignal);
}
#else
// Without SA_RESTART, so that a question waiting for the terminal gives up at once.
void InstallStopSignals() {
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}
#endif

struct Options {
  std::string packet;
  bool virtualModem = false;
  int slots = 1;
  bool json = false;
  std::string sn;
  bool setAsideBackup = false;  // --set-aside-backup
  std::string state;
  bool yes = false, no = false;
  bool keepWork = false;
  bool verbose = false;
  bool probe = false;
  std::string device;  // --device: one attached modem by USB path or serial
  bool all = false;    // --all: every attached modem, one slot each
  std::vector<std::string> slotDevices;  // the modem of each slot (--device, --all)
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

// Opens the session: the single-instance lock, the work folders and the configuration file
// the controller reads. kPass, or the exit code (its message shown).
int OpenSession(const Options& o, CliOutput& out, UpdateSession& s) {
  const auto refusal = s.Open(session::SessionOptions{o.packet, o.keepWork});
  if (!refusal) return kPass;
  using Kind = session::SessionRefusal::Kind;
  if (refusal->kind == Kind::AnotherCopy) {
    out.Message(refusal->caption, refusal->text);
    return kAnotherCopy;
  }
  out.Message(refusal->caption,
              refusal->kind == Kind::NoPayload ? "This build carries no firmware packet; use --packet DIR." : refusal->text);
  return kUsage;
}

using session::ErrorText;

// Whether a complete backup was followed by writes to the modem, so that only its restore gives
// the modem its data back.
bool BackupFollowedByWrites(const BackupListing& listing) {
  return listing.complete && listing.contents.modem != ModemMark::Untouched;
}

// What the user can do after a run that did not pass, from where the modem is now: advice that
// cannot work there (a restore of a backup that was never completed, a restore of a modem that
// still holds its data, a run while the modem sits in its boot loader) is never given.
std::string NextStep(const RunResult& r, bool bootLoader) {
  const std::string replug =
      bootLoader ? "The modem is in boot-loader mode: unplug it and plug it in again (zovir-cli ports shows its mode). "
                 : "";
  if (r.backupFolder.empty()) return replug + "No backup of this modem was kept.";
  std::optional<BackupListing> kept;
  for (auto& listing : ListBackups(fs::path(r.backupFolder).parent_path().string()))
    if (listing.path == r.backupFolder) kept = std::move(listing);
  if (!kept || !kept->complete)
    return replug + "Nothing was written to the modem: its data are still on it (the unfinished backup in " +
           r.backupFolder + " cannot be restored). Run the update again.";
  if (!BackupFollowedByWrites(*kept))
    return replug + "Nothing was written to the modem: its data are still on it (backup kept in " + r.backupFolder +
           "). Run the update again.";
  const std::string restore = "zovir-cli run --sn " + (r.serialNumber.empty() ? kept->folder : r.serialNumber);
  return replug + "The modem's backup was kept in " + r.backupFolder + "; to restore it" +
         (bootLoader ? " after the replug" : "") + ": " + restore;
}

// What a virtual modem holds after the run, partition by partition, against the images.
struct PartitionRow {
  std::string name;
  uint64_t size = 0;
  uint16_t crc = 0;
  bool match = false;
};

#if ZOVIR_VIRTUAL_MODEMS
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
    out.Event(slot, "partitions", {{"partitions", json}});
  return all;
}
#endif

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
  std::string packetVersion;  // [Project] Version of the packet
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
#if ZOVIR_VIRTUAL_MODEMS
  VirtualFactory factory;
  std::unique_ptr<sim::VirtualModem> modem;
  ModemData before, after;
#endif
  std::unique_ptr<PortNamespace> names;
  std::unique_ptr<SerialPortFactory> serial;
  std::unique_ptr<HostDiscovery> discovery;
  std::unique_ptr<DeviceFilter> filter;  // this slot's modem among several
  std::unique_ptr<WorkerOwnerThread> worker;
  std::unique_ptr<PortDirectory> directory;
  std::unique_ptr<ControllerPorts> ports;
  std::unique_ptr<KeyValueStore> store;
  std::unique_ptr<ProcessTable> processTable;
  std::optional<LauncherContext> launcher;
  std::unique_ptr<CliView> view;
  std::unique_ptr<SessionSlot> runs;  // what surrounds each run: guard, check after PASS
  std::unique_ptr<Controller> controller;
  std::atomic<Controller*> live{nullptr};  // the controller, for threads other than the slot's
  std::thread thread;
  // Filled by the slot's thread, read after it was joined.
  bool started = false;
  bool verified = false;  // a virtual modem's run passed and what it holds was read
  std::vector<PartitionRow> partitions;
  bool leftInBootLoader = false;  // a run that did not pass left the modem in its boot loader

  Slot() = default;
  Slot(const Slot&) = delete;
  Slot& operator=(const Slot&) = delete;
  ~Slot() {
    if (thread.joinable()) thread.join();
    live = nullptr;
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
  Controller& c() { return *controller; }
};

using Slots = std::vector<std::unique_ptr<Slot>>;

struct SlotContext {
  const Options& o;
  UpdateSession& s;
  CliOutput& out;
  PrintingSink& sink;
  Clock& clock;
  AnswerPolicy policy;
  Line& line;
  const StartupSteps& firstSteps;  // start-up of slot 0
  bool checkOnly = false;  // `check`: no start, nothing written
};

// Builds a slot's ports and its controller, on the slot's thread (the controller's thread).
void BuildSlot(Slot& slot, const SlotContext& x) {
  const int i = slot.index;
  std::string deviceMap;
  if (x.o.virtualModem) {
#if !ZOVIR_VIRTUAL_MODEMS
    throw std::runtime_error("virtual modems run on pseudo-terminals, which this system does not have");
#else
    deviceMap = x.s.folders().TempPath() + "/ports-" + std::to_string(i) + ".ini";
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
    // A new modem leaves the factory full; one that exists keeps what earlier runs left it,
    // and a restore from a saved backup meets the modem as it is.
    if (x.o.sn.empty())
      slot.factory.Seed(*slot.modem, i, sim::ModemFactory::DefaultUserFiles(), sim::ModemFactory::DefaultUserDirs());
    slot.modem->Start();
#endif
  } else if (const char* env = std::getenv("ZOVIR_DEVICE_MAP")) {
    deviceMap = env;
  }
  slot.names = std::make_unique<PortNamespace>(deviceMap);
  slot.serial = MakeSerialPortFactory(*slot.names);
  slot.discovery = std::make_unique<HostDiscovery>(HostDiscoveryOptions{deviceMap});
  slot.worker = std::make_unique<WorkerOwnerThread>();
  Slot* self = &slot;
  // What discovery and the AT probe find goes where the controller's own lines go: the run
  // log, and the terminal with -v.
  PortDirectory::Hooks hooks;
  hooks.log = [self](const std::string& line) {
    if (Controller* c = self->live.load()) c->AddStatusLine(line, mtProgress);
  };
  hooks.showMessage = [&out = x.out](const std::string& text) { out.Message("", text); };
  DeviceEnumerator* ports = &slot.discovery->Enumerator();
  if (static_cast<size_t>(i) < x.o.slotDevices.size()) {
    slot.filter = std::make_unique<DeviceFilter>(*ports, x.o.slotDevices[static_cast<size_t>(i)]);
    ports = slot.filter.get();
  }
  slot.directory = std::make_unique<PortDirectory>(*ports, *slot.serial, x.clock, *slot.worker, std::move(hooks));
  slot.ports = MakeDirectoryPorts(*slot.directory);
  // Virtual modems keep their milestones to themselves: a later re-update of a real modem must
  // never skip its backup because of them.
  const std::string suffix = i == 0 ? "" : "-slot" + std::to_string(i);
  slot.store = MakeFileKeyValueStore(x.o.virtualModem ? x.s.folders().TempPath() + "/settings" + suffix + ".ini"
                                                      : x.s.paths().configDir + "/settings" + suffix + ".ini");
  slot.processTable = MakeProcessTable();
  slot.launcher.emplace(LauncherContext{x.s.processes(), x.clock, [self](const std::string& line) {
                                          if (self->controller) self->controller->log().WriteLogLine(line);
                                        }});
  slot.view = std::make_unique<CliView>(x.out, i, x.policy, x.o.sn);
  slot.view->SerializeQuestions(x.line.questions);

  ControllerOptions opts;
  opts.workFolder = x.s.imageFolder();
  opts.secondPacketFolder = x.s.folders().SecondPacketFolder();
  opts.backupFolder = x.s.folders().BackupFolder();
  opts.logFolder = x.s.folders().LogFolder() + (x.o.slots > 1 ? "/slot" + std::to_string(i) : "");
  opts.autotestMarker = x.s.paths().autotestMarker;
  opts.checkOnly = x.checkOnly;
  opts.setAsideWrittenBackup = x.o.setAsideBackup;
  opts.helperFolder = x.s.folders().WorkFolder();
  opts.store = slot.store.get();
  session::SlotWiring wiring;
  wiring.index = i;
  wiring.serial = slot.serial.get();
  wiring.usb = &slot.discovery->Enumerator();
  wiring.virtualModem = x.o.virtualModem;
  wiring.oneSlot = x.o.slots == 1;
  // The command writes the history itself, once it has checked what a virtual modem holds.
  wiring.recordHistory = false;
  slot.runs = std::make_unique<SessionSlot>(x.s, std::move(wiring), x.clock);
  slot.runs->Wire(opts, ProductionPhases(EngineEnvironment{&x.s.processes(), x.s.folders().WorkFolder()}));
  opts.runDriverInstaller = [self](const std::string& folder) { return RunDriverInstaller(*self->launcher, folder); };
  opts.resetDriverInstallerFlag = [](const std::string& folder) { ResetDriverInstallerFlag(folder); };
  opts.rebootToBootloader = [self] {
    RebootToBootloader(*self->launcher, *self->processTable, self->c().images().partitionFile,
                       [self](const std::string& text) { self->view->SetStatusLabel(text, {}); });
  };
  // The session folder goes with the last controller: slot 0's, destroyed after the others.
  if (i == 0 && !x.o.keepWork) opts.removeWorkFolders = [&s = x.s] { s.folders().RemoveWorkFolders(); };
  const std::string workFolder = x.s.folders().WorkFolder();
  PrintingSink* sink = &x.sink;
  opts.convertHex = [workFolder, sink](const std::string& hex, const std::string& bin) {
    uint32_t start = 0;
    ConvertHexImage(hex, bin, workFolder, *sink, start);
    return start;
  };
  slot.controller = std::make_unique<Controller>(*slot.view, *slot.ports, x.clock, std::move(opts));
  slot.runs->Bind(*slot.controller, *slot.ports);
  slot.live = slot.controller.get();
  slot.controller->WatchDevices(slot.discovery->Monitor());
}

AnswerPolicy PolicyOf(const Options& o, CliOutput::Style style) {
  if (o.yes) return AnswerPolicy::Yes;
  if (o.no) return AnswerPolicy::No;
  return style == CliOutput::Style::Terminal && IsTerminal(StandardStream::Input) ? AnswerPolicy::Prompt : AnswerPolicy::Safe;
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
    const StartupResult startup = RunStartup(c, *slot.view, x.s.processes(), x.firstSteps);
    int code = kPass;
    if (!c.ConfigurationOk() || x.s.PayloadFailed()) {
      code = kUsage;
    } else if (!c.ImagesOk()) {
      x.out.Message("Warning", "No Image File Loaded!");
      code = kUsage;
    } else if (startup.endRequested || slot.view->EndRequested()) {
      code = slot.view->Declined() ? kStopped : kFailed;
    }
    std::string version;
    if (code == kPass) {
      // The configuration keeps the version only for the types that check it; the packet says
      // it for all.
      version = ProfileFile(c.ImageFolder() + "/Config.ini").GetString("Project", "Version", "");
      const ProjectConfiguration& config = c.config();
      x.out.Event(std::nullopt, "packet", {{"name", config.Name}, {"version", version}, {"folder", c.ImageFolder()}},
                  "Packet: " + config.Name + (version.empty() ? "" : " " + version));
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
    line.packetVersion = version;
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

// Whether the slot's modem shows only its download port (boot loader or programmer): no update
// starts there, and unplugging it brings back its normal mode.
bool InBootLoaderMode(Slot& slot) {
  DeviceEnumerator& ports = slot.filter ? static_cast<DeviceEnumerator&>(*slot.filter) : slot.discovery->Enumerator();
  std::vector<PortDevice> devices;
  if (!ports.ListPortDevices(devices)) return false;
  const auto modems = GroupModems(devices);
  return std::any_of(modems.begin(), modems.end(), [](const ModemEntry& m) { return m.mode == "boot loader"; });
}

// Pumps until the slot's device check made Start available (or a start already runs).
int WaitForReadyDevice(Slot& slot, const SlotContext& x) {
  using std::chrono::steady_clock;
  const int waitSeconds = x.o.waitSeconds >= 0 ? x.o.waitSeconds : x.checkOnly ? 10 : 30;
  const auto begin = steady_clock::now();
  const auto deadline = begin + std::chrono::seconds(waitSeconds);
  Controller& c = slot.c();
  bool told = false;
  for (;;) {
    if (c.StartEnabled() || c.Running()) return kPass;
    if (!told && steady_clock::now() - begin >= std::chrono::seconds(2)) {
      told = true;
      x.out.Note(slot.index, "Waiting for a ready modem (up to " + std::to_string(waitSeconds) + " s)...");
    }
    // A refusal (its message shown) ends the watcher; nothing will make this modem ready.
    if (!c.WatcherRunning() || slot.view->EndRequested()) return kFailed;
    if (x.line.stop) return kStopped;
    const auto now = steady_clock::now();
    if (c.Timer1Enabled() && now - begin >= std::chrono::seconds(20)) {
      c.Timer1Timer();
      if (slot.view->EndRequested()) return kNoDevice;
    }
    if (now >= deadline) {
      if (slot.discovery && InBootLoaderMode(slot))
        x.out.Message("Warning", "Not Ready: modem in boot-loader mode" + SlotTag(x, slot) +
                                     ": replug it (unplug it and plug it in again), then run again");
      else
        x.out.Message("Warning", "Not Ready: no ready device" + SlotTag(x, slot) + " within " +
                                     std::to_string(waitSeconds) + " s");
      return kNoDevice;
    }
    c.Pump(100);
  }
}

// A check refuses what a start refuses: the start's own validation of the ports (one modem, its
// ports found) and the platform the modem reports over its diagnostic port. Nothing is written.
int ValidateAsStart(Slot& slot, const SlotContext& x) {
  Controller& c = slot.c();
  if (c.ValidateRun(0) != 1) return kFailed;  // refused and shown as a start refuses it
  const std::optional<StartRefusal> refusal = c.StartRefusalOf(0);
  if (!refusal) {
    if (c.config().PlatformName != kPlatformNotChecked) x.out.Note(slot.index, "check platform OK.");
    return kPass;
  }
  x.out.Message(refusal->caption, refusal->text + SlotTag(x, slot) + refusal->detail);
  return kFailed;
}

// Start and follow the run to its end (a re-update or an automatic-test repeat included);
// Stop when the user asks.
void RunToEnd(Slot& slot, const SlotContext& x) {
  Controller& c = slot.c();
  CliView& view = *slot.view;
  auto preserved = PreservedEfsPaths(c.config().UserDataFilesList);
  const auto userDirs = PreservedEfsPaths(c.config().UserDataDirList);
#if ZOVIR_VIRTUAL_MODEMS
  if (slot.modem) {
    if (x.o.sn.empty()) slot.factory.Seed(*slot.modem, slot.index, preserved, userDirs);
    preserved.insert(preserved.end(), userDirs.begin(), userDirs.end());
    slot.before = Snapshot(*slot.modem, *slot.factory.nv, preserved);
    // A restore from the saved backup must give back what the modem held before the run that
    // failed, which a kept state folder remembers.
    const std::string& stateDir = slot.modem->Options().stateDir;
    if (!stateDir.empty() && x.o.sn.empty()) {
      SaveHeldBefore(stateDir, slot.before);
    } else if (!stateDir.empty()) {
      if (auto held = LoadHeldBefore(stateDir)) slot.before = std::move(*held);
    }
  }
#endif
  x.out.SetTotalBytes(slot.index, c.images().allTotalFileSize);
  const PortLists ports = view.Ports();
  const std::string diag = ports.PortCBox.items.empty() ? "" : ports.PortCBox.SelectedText();
  const std::string at = ports.SerialPortCBox.items.empty() ? "" : ports.SerialPortCBox.SelectedText();
  const std::string firmwareBefore = slot.runs->PrepareRun().firmwareBefore;
  x.out.Event(slot.index, "modem",
              {{"diagnostic_port", diag}, {"modem_port", at}, {"firmware", firmwareBefore}},
              "Modem: diagnostic port " + (diag.empty() ? "-" : diag) + ", modem port " + (at.empty() ? "-" : at) +
                  (firmwareBefore.empty() ? "" : ", firmware " + firmwareBefore));
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
  // Where the modem was left decides what the user can do next; asked while the ports are known.
  if (!(view.Passed() && view.ErrorCode() == 0)) slot.leftInBootLoader = InBootLoaderMode(slot);
  // Read while the images are still there: the work folder goes with the controllers.
#if ZOVIR_VIRTUAL_MODEMS
  if (slot.modem && view.Passed() && view.ErrorCode() == 0) {
    slot.partitions = CheckPartitions(*slot.modem, c.ImageFolder());
    slot.after = Snapshot(*slot.modem, *slot.factory.nv, preserved);
    slot.verified = true;
  }
#endif
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
      rebootRequests = std::make_unique<RebootRequestListener>(x.s.paths().runtimeDir, [c] { c->PostRebootRequest(); });
    }
    code = WaitForReadyDevice(slot, x);
    if (code == kPass && x.checkOnly) code = ValidateAsStart(slot, x);
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
  slot.live = nullptr;
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

// --device and --all: the attached modems each slot updates. kPass, or the exit code of a refusal.
int ChooseModems(Options& o, CliOutput& out) {
  if (o.device.empty() && !o.all) return kPass;
  if (o.virtualModem) {
    out.Message("Warning", "--device and --all choose attached modems; virtual ones are counted with --slots");
    return kUsage;
  }
  const char* envMap = std::getenv("ZOVIR_DEVICE_MAP");
  HostDiscovery discovery(HostDiscoveryOptions{envMap ? envMap : ""});
  std::vector<PortDevice> devices;
  discovery.Enumerator().ListPortDevices(devices);
  if (o.all) {
    o.slotDevices = AttachedModems(discovery.Enumerator());
    if (o.slotDevices.empty()) {
      out.Message("Warning", "No modem is attached (zovir-cli ports lists them)");
      return kNoDevice;
    }
    if (o.slotDevices.size() > 8) {
      out.Message("Warning", "More than 8 modems are attached: use --device for each");
      return kUsage;
    }
    o.slots = static_cast<int>(o.slotDevices.size());
    return kPass;
  }
  if (std::none_of(devices.begin(), devices.end(), [&](const PortDevice& d) { return IsPortOf(d, o.device); })) {
    out.Message("Warning", "No attached modem is " + o.device + " (zovir-cli ports lists them)");
    return kNoDevice;
  }
  o.slotDevices = {o.device};
  return kPass;
}

int RunCommand(Options o, CliOutput& out) {
  if (!o.all && (o.slots < 1 || o.slots > 8)) {
    out.Message("Warning", "--slots takes 1 to 8");
    return kUsage;
  }
  if (o.slots > 1 && !o.virtualModem) {
    out.Message("Warning", "Several slots update virtual modems (--virtual); for attached modems use --all");
    return kUsage;
  }
  // One unit's backup restored onto several modems would give them all its identity.
  if (!o.sn.empty() && (o.slots > 1 || o.all)) {
    out.Message("Warning", "--sn restores one modem's backup: it cannot be used with more than one slot");
    return kUsage;
  }
  if (int rc = ChooseModems(o, out); rc != kPass) return rc;
  UpdateSession s;
  if (int rc = OpenSession(o, out, s); rc != kPass) return rc;
  PrintingSink sink(out);
  SteadyClock clock;

  Line line(o.slots);
  Slots slots;
  for (int i = 0; i < o.slots; ++i) {
    slots.push_back(std::make_unique<Slot>());
    slots.back()->index = i;
  }
  // Several slots: every line says its slot from the first on.
  out.SetSlots(o.slots);
  StartupSteps steps;
  s.FillStartupSteps(steps, [&slots]() -> Controller& { return slots[0]->c(); }, sink, clock,
                     [&out](const std::string& text) { out.Note(text); });
  const SlotContext x{o, s, out, sink, clock, PolicyOf(o, out.style()), line, steps, false};
  int rc = RunSlots(slots, x);
  out.Finish();
  if (s.StopUsbBoot()) out.Note("USB boot download stopped");
  if (!line.go) return rc;

  auto worse = [&rc](int code) {
    if (code == kStopped || (code == kFailed && rc != kStopped)) rc = code;
  };

  for (auto& slot : slots) {
    CliView& view = *slot->view;
    RunResult r;
    if (!slot->started) {
      // The start was refused (its message shown), a question was declined, or Stop came first.
      const bool stopped = view.Declined() || line.stop;
      r.result = stopped ? "STOPPED" : "FAIL";
      r.errorCode = stopped ? ERR_USER_STOP : ERR_GENERIC_FAILURE;
      r.verification = "not checked";
      if (slot->runs) r.firmwareBefore = slot->runs->last().firmwareBefore;
    } else {
      const session::RunRecord& record = slot->runs->last();
      r = slot->runs->ResultOf(record);
      if (!view.ResultSN().empty()) r.serialNumber = view.ResultSN();
#if ZOVIR_VIRTUAL_MODEMS
      if (slot->verified && r.result == "PASS") {
        const bool partitions = ReportPartitions(slot->partitions, slot->index, out);
        const Verification v = Compare(slot->before, slot->after);
        out.Event(slot->index, "verification", {{"partitions", partitions}, {"data", v.ok}, {"lines", v.lines}});
        if (out.style() != CliOutput::Style::Json)
          for (const auto& text : v.lines) out.Note("  " + text);
        if (!partitions || !v.ok) {
          r.result = "FAIL";
          r.errorCode = kErrVirtualContents;
          r.backupFolder = session::KeptBackup(s.folders().BackupFolder(), record.startedAt, slots.size() == 1);
        }
      }
#endif
    }
    r.packetVersion = line.packetVersion;
    r.error = ErrorText(r.errorCode);
    out.Result(slot->index, r);
    if (r.result != "PASS" && slot->started) {
      const std::string advice = NextStep(r, slot->leftInBootLoader);
      if (r.result == "STOPPED")
        out.Note(slot->index, "Stopped. " + advice);
      else if (!advice.empty())
        out.Note(slot->index, advice);
    }
    if (r.result != "PASS") worse(r.result == "STOPPED" ? kStopped : kFailed);
    if (slot->started || r.result != "STOPPED") s.Record(slot->index, slot->runs ? slot->runs->last().device : "", r);
  }
  if (gStopSignal) rc = kStopped;
  return rc;
}

// One AT command on an open port: the value of its "+NAME:" line (quotes and blanks trimmed),
// empty when the modem does not answer OK within a second.
std::string AskAT(SerialPort& port, Clock& clock, const std::string& command) {
  uint32_t written = 0;
  port.Write(reinterpret_cast<const uint8_t*>(command.data()), static_cast<uint32_t>(command.size()), written);
  std::string reply;
  size_t finalAt = 0;
  ATFinal result = ATFinal::None;
  for (int pass = 0; pass < 10 && result == ATFinal::None; ++pass) {
    clock.SleepMs(100);
    uint8_t buffer[256];
    uint32_t got = 0;
    if (!port.Read(buffer, sizeof buffer, got)) return "";
    reply.append(reinterpret_cast<const char*>(buffer), got);
    result = FindFinalResult(reply, finalAt);
  }
  if (result != ATFinal::Ok) return "";
  const std::string value = StripQuotes(ATReplyValue(command, reply, finalAt));
  return std::string(TrimBlanks(value));
}

// Asks a modem in normal mode for its serial number and firmware version over its AT port.
void ProbeModem(ModemEntry& modem, SerialPortFactory& ports, Clock& clock) {
  for (const auto& port : modem.ports) {
    if (port.role != "modem" || port.com.empty() || !port.heldBy.empty()) continue;
    ProbeSettings settings;
    settings.bCheckProjectCode = true;  // asks the version
    ModemFacts facts;
    {
      ATProbe probe(ports, clock);
      if (!probe.ProbeATPort(port.com, settings, facts)) continue;
    }
    modem.atFirmware = facts.ModemVersion;
    int error = 0;
    if (auto open = ports.Open(port.com, error)) {
      CommTimeouts timeouts;
      timeouts.ReadIntervalTimeout = MAXDWORD;
      open->SetTimeouts(timeouts);
      modem.atSerial = AskAT(*open, clock, "AT+ZRVSN=0,5\r\n");
      open->Close();
    }
    return;
  }
}

// The modems of this host, one entry per USB device, with each port's role, node and name and
// who holds a busy port.
int PortsCommand(const Options& o, CliOutput& out) {
  const char* envMap = std::getenv("ZOVIR_DEVICE_MAP");
  const std::string deviceMap = envMap ? envMap : "";
  HostDiscovery discovery(HostDiscoveryOptions{deviceMap});
  std::vector<PortDevice> devices;
  discovery.Enumerator().ListPortDevices(devices);
  auto modems = GroupModems(devices);
  PortNamespace names(deviceMap);
  const std::unique_ptr<SerialPortFactory> serial = MakeSerialPortFactory(names);
  SteadyClock clock;
  nlohmann::json rows = nlohmann::json::array();
  for (auto& m : modems) {
    for (auto& p : m.ports) p.heldBy = HoldersOf("/proc", p.node);
    if (o.probe && m.mode == "normal") ProbeModem(m, *serial, clock);
    char id[16];
    std::snprintf(id, sizeof id, "%04x:%04x", m.vid, m.pid);
    nlohmann::json ports = nlohmann::json::array();
    for (const auto& p : m.ports) {
      nlohmann::json holders = nlohmann::json::array();
      for (const auto& h : p.heldBy) holders.push_back({{"pid", h.pid}, {"name", h.name}});
      ports.push_back({{"role", p.role}, {"node", p.node}, {"com", p.com}, {"held_by", holders}});
    }
    const bool usb = !m.usbPath.empty();
    nlohmann::json row{{"usb_path", m.usbPath}, {"id", usb ? id : ""}, {"serial", m.serial},
                       {"mode", m.mode},        {"ports", ports}};
    if (o.probe) {
      row["at_serial_number"] = m.atSerial;
      row["firmware"] = m.atFirmware;
    }
    rows.push_back(row);
    if (out.style() == CliOutput::Style::Json) continue;
    std::string head = usb ? "USB " + m.usbPath + "  " + id + (m.serial.empty() ? "" : "  serial " + m.serial)
                           : std::string("no USB device");
    head += "  " + m.mode;
    if (o.probe)
      head += "  SN " + (m.atSerial.empty() ? std::string("?") : m.atSerial) + "  firmware " +
              (m.atFirmware.empty() ? std::string("?") : m.atFirmware);
    out.Note(head);
    for (const auto& p : m.ports) {
      char line[256];
      std::snprintf(line, sizeof line, "  %-10s %-16s %-7s", p.role.c_str(), p.node.c_str(), p.com.c_str());
      const std::string held = HeldText(p.heldBy);
      out.Note(std::string(line) + (held.empty() ? "" : "  " + held));
    }
  }
  if (out.style() == CliOutput::Style::Json)
    out.Event(std::nullopt, "modems", {{"modems", rows}});
  else if (modems.empty())
    out.Note("No modems found.");
  return kPass;
}

// Configuration, image and device checks as a Start would meet them; nothing is written to
// a modem (no start, no USB boot download).
int CheckCommand(Options o, CliOutput& out) {
  o.all = false;
  if (int rc = ChooseModems(o, out); rc != kPass) return rc;
  UpdateSession s;
  if (int rc = OpenSession(o, out, s); rc != kPass) return rc;
  PrintingSink sink(out);
  SteadyClock clock;
  Options one = o;
  one.slots = 1;
  Line line(1);
  Slots slots;
  slots.push_back(std::make_unique<Slot>());
  StartupSteps steps;
  s.FillStartupSteps(steps, [&slots]() -> Controller& { return slots[0]->c(); }, sink, clock,
                     [&out](const std::string& text) { out.Note(text); });
  const SlotContext x{one, s, out, sink, clock, PolicyOf(o, out.style()), line, steps, true};
  const int rc = RunSlots(slots, x);
  if (rc == kPass) out.Note("The modem passed the device checks.");
  return rc;
}

// Every run of this user, oldest first.
int HistoryCommand(const Options&, CliOutput& out) {
  const RunHistory history(RunHistory::PathFor(SystemPathsFromEnvironment().logDir));
  const auto entries = history.Read();
  if (out.style() == CliOutput::Style::Json) {
    for (const auto& e : entries) {
      nlohmann::json fields = ToJson(e);
      fields.erase("slot");
      fields["run_time"] = fields["time"];
      fields.erase("time");
      out.Event(e.slot, "history", std::move(fields));
    }
    return kPass;
  }
  if (entries.empty()) out.Note("No runs yet (" + history.path() + ").");
  for (const auto& e : entries) {
    const RunResult& r = e.result;
    out.Note(e.time + "  " + (r.serialNumber.empty() ? "-" : r.serialNumber) + "  " +
             (r.packetVersion.empty() ? "-" : r.packetVersion) + "  " + r.result +
             (r.errorCode ? " (error code " + std::to_string(r.errorCode) + ": " + r.error + ")" : "") +
             (r.verification == "not checked" || r.verification.empty() ? "" : "  " + r.verification));
  }
  return kPass;
}

// The exit codes, as --help and the manual page list them.
constexpr const char* kExitCodeHelp =
    "Exit codes: 0 PASS; 1 the update failed; 2 usage or configuration error; 3 no ready modem; "
    "4 stopped by the user (Ctrl-C or SIGTERM; the backup stays); 5 another copy of the tool runs.";



// The first word that is not an option, when it names no command.
std::optional<std::string> UnknownCommand(int argc, char** argv, const CLI::App& app) {
  for (int i = 1; i < argc; ++i) {
    const std::string word = argv[i];
    if (word.empty() || word[0] == '-') continue;
    for (const auto* sub : app.get_subcommands({}))
      if (sub->check_name(word)) return std::nullopt;
    return word;
  }
  return std::nullopt;
}

}  // namespace
}  // namespace zovir::cli

int main(int argc, char** argv) {
  using namespace zovir::cli;
  IgnoreOutputSignals();
  Options o;
  CLI::App app{"zovir-cli: firmware update of USB LTE modems from the command line"};
  app.footer(std::string(kExitCodeHelp) +
             "\nQuestions: --yes or --no answers them; without either, a terminal asks and anything else "
             "gets the choice that writes nothing (No, Cancel).");
  app.set_version_flag("--version", std::string("zovir-cli ") + ZOVIR_TOOL_VERSION + " (build " + ZOVIR_BUILD_VERSION + ")",
                       "print the tool's version and the build's, then exit");
  app.require_subcommand(1);
  auto* run = app.add_subcommand("run", "update the connected modem (or --virtual ones) and wait for the result");
  auto* ports = app.add_subcommand("ports", "list the modems of this host with their ports");
  auto* check = app.add_subcommand(
      "check", "check configuration, images and the connected modem (or a --virtual one) without writing anything");
  auto* historyCmd = app.add_subcommand("history", "list every earlier update of this user");
  for (auto* sub : {run, ports, check, historyCmd}) {
    sub->add_flag("--json", o.json, "one JSON object per event (docs/json-events.md)");
  }
  auto* backups = AddBackupsCommand(app, o.json);
  for (auto* sub : {run, check}) {
    sub->add_option("--packet", o.packet, "use an unpacked firmware packet folder instead of the embedded one");
    sub->add_flag("--keep-work", o.keepWork, "leave the work folder on disk");
    sub->add_flag("--virtual", o.virtualModem, "use virtual modems on pseudo-terminals (no hardware)");
    sub->add_flag("-v,--verbose", o.verbose, "show every line of the update, as the run log has them");
    sub->add_option("--wait", o.waitSeconds, "seconds to wait for a ready modem (run: 30, check: 10)")
        ->check(CLI::Validator(
            [](std::string& text) {
              try {
                size_t used = 0;
                const long value = std::stol(text, &used);
                if (used == text.size() && value >= 0 && value <= 24 * 3600) return std::string();
              } catch (const std::exception&) {
              }
              return std::string("must be 0 or more (seconds)");
            },
            "SECONDS"));
    auto* yes = sub->add_flag("--yes", o.yes, "answer questions with yes (agreement pages included)");
    sub->add_flag("--no", o.no, "answer questions with no")->excludes(yes);
  }
  ports->add_flag("--probe", o.probe, "ask each modem over AT for its serial number and firmware version");
  run->add_option("--slots", o.slots, "number of virtual modems updated at once (1-8)");
  for (auto* sub : {run, check})
    sub->add_option("--device", o.device, "the attached modem to use, by USB path or serial (zovir-cli ports)");
  run->add_flag("--all", o.all, "update every attached modem side by side, one slot each")->excludes("--device");
  auto* sn = run->add_option("--sn", o.sn, "serial number: restore from the backup saved under it (one slot only)");
  run->add_flag("--set-aside-backup", o.setAsideBackup,
                "go on although a backup of the modem from an update that wrote it was never restored (it is kept, "
                "marked set aside)")
      ->excludes(sn);
  run->add_option("--state", o.state, "folder keeping the virtual modems' state between runs");
  if (const auto unknown = UnknownCommand(argc, argv, app)) {
    std::string list;
    for (const auto* sub : app.get_subcommands({})) list += (list.empty() ? "" : ", ") + sub->get_name();
    std::fprintf(stderr, "zovir-cli: unknown command \"%s\"; the commands are: %s (zovir-cli --help)\n",
                 unknown->c_str(), list.c_str());
    return kUsage;
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e) == 0 ? 0 : kUsage;
  }
  const CliOutput::Style style =
      o.json ? CliOutput::Style::Json : zovir::UnderstandsControlSequences(zovir::StandardStream::Output) ? CliOutput::Style::Terminal : CliOutput::Style::Plain;
  CliOutput out(style, stdout, o.verbose);
  const char* command = *run ? "run" : *ports ? "ports" : *check ? "check" : *backups ? "backups" : "history";
  out.Event(std::nullopt, "start",
            {{"schema", kJsonSchemaVersion}, {"program", "zovir-cli"}, {"version", ZOVIR_TOOL_VERSION},
             {"build", ZOVIR_BUILD_VERSION}, {"command", command}});
  try {
    if (*run) return RunCommand(o, out);
    if (*ports) return PortsCommand(o, out);
    if (*check) return CheckCommand(o, out);
    if (*historyCmd) return HistoryCommand(o, out);
    if (*backups) return BackupsCommand(out);
  } catch (const std::exception& e) {
    out.Message("ERROR", e.what());
    return kFailed;
  }
  return kUsage;
}
