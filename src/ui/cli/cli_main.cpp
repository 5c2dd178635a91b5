// zovir-cli: the command-line front end. Runs the controller of the window from a terminal or
// a script: the same start-up, device checks, validation and engine, with a printing view.
#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <vector>

#include "discovery/host_discovery.h"
#include "discovery/launchers.h"
#include "discovery/owner_thread.h"
#include "discovery/port_directory.h"
#include "discovery/usb_boot.h"
#include "engine/engine_assembly.h"
#include "link/crc16.h"
#include "platform/key_value_store.h"
#include "platform/linux/serial_port_linux.h"
#include "platform/port_namespace.h"
#include "platform/processes.h"
#include "platform/system_paths.h"
#include "platform/usb_bulk.h"
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

// One slot: its ports (a virtual modem of its own with --virtual), discovery, view and
// controller. Slots share nothing but the session, so several update side by side.
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
  ModemData before;
  bool started = false;

  Slot() = default;
  Slot(const Slot&) = delete;
  Slot& operator=(const Slot&) = delete;
  ~Slot() {
    // The controller stops its engine, watcher and monitor before the ports go away.
    controller.reset();
    ports.reset();
    directory.reset();
    worker.reset();
    discovery.reset();
    if (modem) modem->Stop();
  }
  Controller& c() { return *controller; }
};

struct SlotContext {
  const Options& o;
  Session& s;
  CliOutput& out;
  PrintingSink& sink;
  Clock& clock;
  AnswerPolicy policy;
};

std::unique_ptr<Slot> MakeSlot(int i, const SlotContext& x) {
  auto slot = std::make_unique<Slot>();
  slot->index = i;
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
    slot->factory.Prepare(modem, i);
    slot->modem = std::make_unique<sim::VirtualModem>(modem);
    slot->modem->Start();
  } else if (const char* env = std::getenv("ZOVIR_DEVICE_MAP")) {
    deviceMap = env;
  }
  slot->names = std::make_unique<PortNamespace>(deviceMap);
  slot->serial = std::make_unique<LinuxSerialPortFactory>(*slot->names);
  slot->discovery = std::make_unique<HostDiscovery>(HostDiscoveryOptions{deviceMap});
  slot->worker = std::make_unique<WorkerOwnerThread>();
  slot->directory = std::make_unique<PortDirectory>(slot->discovery->Enumerator(), *slot->serial, x.clock, *slot->worker);
  slot->ports = MakeDirectoryPorts(*slot->directory);
  // Virtual modems keep their milestones to themselves: a later re-update of a real modem must
  // never skip its backup because of them.
  const std::string suffix = i == 0 ? "" : "-slot" + std::to_string(i);
  slot->store = MakeFileKeyValueStore(x.o.virtualModem ? x.s.folders->TempPath() + "/settings" + suffix + ".ini"
                                                       : x.s.paths.configDir + "/settings" + suffix + ".ini");
  slot->processTable = MakeLinuxProcessTable();
  Slot* self = slot.get();
  slot->launcher.emplace(LauncherContext{*x.s.processes, x.clock, [self](const std::string& line) {
                                           if (self->controller) self->controller->log().WriteLogLine(line);
                                         }});
  slot->view = std::make_unique<CliView>(x.out, i, x.policy, x.o.sn);

  ControllerOptions opts;
  opts.workFolder = x.s.imageFolder;
  opts.secondPacketFolder = x.s.folders->SecondPacketFolder();
  opts.backupFolder = x.s.folders->BackupFolder();
  opts.logFolder = x.s.folders->LogFolder() + (x.o.slots > 1 ? "/slot" + std::to_string(i) : "");
  opts.autotestMarker = x.s.paths.autotestMarker;
  opts.store = slot->store.get();
  const EngineEnvironment environment{x.s.processes.get(), x.s.folders->WorkFolder()};
  Clock& clock = x.clock;
  opts.makeEngine = [self, &clock, environment](EngineHost& host) {
    return std::make_shared<TCommsThread>(clock, *self->serial, &host, ProductionPhases(environment));
  };
  opts.runDriverInstaller = [self](const std::string& folder) { return RunDriverInstaller(*self->launcher, folder); };
  opts.resetDriverInstallerFlag = [](const std::string& folder) { ResetDriverInstallerFlag(folder); };
  opts.rebootToBootloader = [self] {
    Controller& c = self->c();
    RebootToBootloader(*self->launcher, *self->processTable, c.images().partitionFile,
                       [self](const std::string& text) { self->view->SetStatusLabel(text, {}); });
  };
  // The session folder goes once, with the last controller (slot 0 is destroyed last).
  if (i == 0 && !x.o.keepWork) opts.removeWorkFolders = [&s = x.s] { s.folders->RemoveWorkFolders(); };
  const std::string workFolder = x.s.folders->WorkFolder();
  PrintingSink* sink = &x.sink;
  opts.convertHex = [workFolder, sink](const std::string& hex, const std::string& bin) {
    uint32_t start = 0;
    ConvertHexImage(hex, bin, workFolder, *sink, start);
    return start;
  };
  slot->controller = std::make_unique<Controller>(*slot->view, *slot->ports, x.clock, std::move(opts));
  slot->controller->WatchDevices(slot->discovery->Monitor());
  return slot;
}

// The slots of a command. Slot 0 goes last: its controller removes the work folders.
struct Slots : std::vector<std::unique_ptr<Slot>> {
  Slots() = default;
  Slots(const Slots&) = delete;
  Slots& operator=(const Slots&) = delete;
  ~Slots() {
    while (!empty()) pop_back();
  }
};

// Serves every controller's queue, each waiting its share of `waitMs` when it has no work.
void PumpAll(Slots& slots, int waitMs) {
  const int share = std::max(1, waitMs / static_cast<int>(slots.size()));
  for (auto& slot : slots) slot->c().Pump(share);
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

uint16_t FileCrc(const fs::path& path, uint64_t& size) {
  std::ifstream in(path, std::ios::binary);
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  size = bytes.size();
  return Crc16X25(bytes.data(), bytes.size());
}

// What a virtual modem holds after the run, partition by partition, against the images.
bool ReportPartitions(sim::VirtualModem& modem, const std::string& imageFolder, int slot, CliOutput& out) {
  bool all = true;
  nlohmann::json rows = nlohmann::json::array();
  for (const auto& [name, held] : modem.Partitions()) {
    uint64_t size = 0;
    const fs::path image = fs::path(imageFolder) / (name + ".mbn");
    const bool present = fs::exists(image);
    const uint16_t crc = present ? FileCrc(image, size) : 0;
    const bool match = present && size == held.size && crc == held.crc;
    all &= match;
    char line[160];
    std::snprintf(line, sizeof line, "  %-10s %10llu bytes  CRC 0x%04X  %s", name.c_str(),
                  static_cast<unsigned long long>(held.size), held.crc, match ? "match" : "MISMATCH");
    if (out.style() == CliOutput::Style::Json)
      rows.push_back({{"partition", name}, {"size", held.size}, {"crc", held.crc}, {"match", match}});
    else
      out.Note(line);
  }
  if (out.style() == CliOutput::Style::Json)
    out.JsonEvent(nlohmann::json{{"event", "partitions"}, {"slot", slot}, {"partitions", rows}}.dump());
  return all;
}

// Start-up's payload step: the packet the program carries, unpacked into the work folder once
// the configuration was read. `failed` tells the command to end with a configuration error.
std::function<bool(ProjectConfiguration&)> PayloadStep(Session& s, PrintingSink& sink, CliOutput& out, Slots& slots,
                                                       bool& failed) {
  return [&s, &sink, &out, &slots, &failed](ProjectConfiguration& config) {
    if (!slots[0]->c().ConfigurationOk()) return false;
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

std::string SlotTag(const Slots& slots, const Slot& slot) {
  return slots.size() > 1 ? " for slot " + std::to_string(slot.index) : std::string();
}

// Builds the slots and runs start-up: configuration, payload, image checks, companion
// programs, watcher. kPass, or the exit code of what stopped it (its message shown).
int StartSlots(const SlotContext& x, Slots& slots, const StartupSteps& firstSteps) {
  const int count = x.o.slots;
  for (int i = 0; i < count; ++i) x.out.SetTotalBytes(i, 0);
  try {
    slots.push_back(MakeSlot(0, x));
  } catch (const std::exception& e) {
    x.out.Message("Warning", std::string("The virtual modem could not start: ") + e.what());
    return kUsage;
  }
  Controller& first = slots[0]->c();
  const StartupResult startup = RunStartup(first, *slots[0]->view, *x.s.processes, firstSteps);
  if (!first.ConfigurationOk()) return kUsage;
  if (!first.ImagesOk()) {
    x.out.Message("Warning", "No Image File Loaded!");
    return kUsage;
  }
  if (startup.endRequested || slots[0]->view->EndRequested()) return kFailed;
  // Further slots take the configuration and image check of the first: one packet, read once.
  for (int i = 1; i < count; ++i) {
    try {
      slots.push_back(MakeSlot(i, x));
    } catch (const std::exception& e) {
      x.out.Message("Warning", std::string("The virtual modem could not start: ") + e.what());
      return kUsage;
    }
    Controller& c = slots.back()->c();
    c.SetConfiguration(first.config(), true);
    c.SetImageFolder(first.ImageFolder());
    c.SetImageCheck(first.images(), true);
    c.DiscoverPorts();
    c.ReadRegistryValues();
    c.SetStartEnabled(false);
    c.StartWatcher();
  }
  return kPass;
}

// Pumps until every slot's device check made Start available (or a start already runs).
int WaitForReadyDevices(Slots& slots, CliOutput& out, int waitSeconds) {
  using std::chrono::steady_clock;
  const auto begin = steady_clock::now();
  const auto deadline = begin + std::chrono::seconds(waitSeconds);
  for (;;) {
    bool all = true;
    for (auto& slot : slots) {
      Controller& c = slot->c();
      if (c.StartEnabled() || c.Running()) continue;
      // A refusal (its message shown) ends the watcher; nothing will make this modem ready.
      if (!c.WatcherRunning() || slot->view->EndRequested()) return kFailed;
      all = false;
    }
    if (all) return kPass;
    if (gStopSignal) return kStopped;
    const auto now = steady_clock::now();
    for (auto& slot : slots) {
      Controller& c = slot->c();
      if (c.Timer1Enabled() && now - begin >= std::chrono::seconds(20)) c.Timer1Timer();
      if (slot->view->EndRequested()) return kNoDevice;
    }
    if (now >= deadline) {
      for (auto& slot : slots)
        if (!slot->c().StartEnabled())
          out.Message("Warning", "Not Ready: no ready device" + SlotTag(slots, *slot) + " within " +
                                     std::to_string(waitSeconds) + " s");
      return kNoDevice;
    }
    PumpAll(slots, 100);
  }
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
  SlotContext x{o, s, out, sink, clock, PolicyOf(o, out.style())};

  // A board waiting in USB boot mode gets its loader while the tool runs.
  std::unique_ptr<UsbBulk> usb;
  std::unique_ptr<KeyValueStore> driverInfo;
  std::unique_ptr<UsbBootDownload> usbBoot;
  Slots slots;
  StartupSteps steps;
  steps.configPath = s.configPath;
  bool payloadFailed = false;
  if (s.embedded) {
    steps.writePayload = PayloadStep(s, sink, out, slots, payloadFailed);
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
                                                [&out](const std::string& line) { out.Note(line); });
    if (usbBoot->StartUsbBootDownload(slots[0]->c().ImageFolder())) out.Note("USB boot download started");
  };
  auto stopUsbBoot = [&] {
    if (!usbBoot) return;
    usbBoot->Stop();
    usbBoot.reset();
    out.Note("USB boot download stopped");
  };
  InstallStopSignals();
  int rc = StartSlots(x, slots, steps);
  if (rc == kPass && payloadFailed) rc = kUsage;
  if (rc == kPass) rc = WaitForReadyDevices(slots, out, o.waitSeconds < 0 ? 30 : o.waitSeconds);
  if (rc != kPass) {
    stopUsbBoot();
    return rc;
  }

  const ProjectConfiguration& config = slots[0]->c().config();
  const auto userFiles = EfsPaths(config.UserDataFilesList);
  const auto userDirs = EfsPaths(config.UserDataDirList);
  for (auto& slot : slots) {
    out.SetTotalBytes(slot->index, slot->c().images().allTotalFileSize);
    const PortLists ports = slot->view->Ports();
    out.Note(slot->index, "Diagnostic port " + (ports.PortCBox.items.empty() ? "-" : ports.PortCBox.SelectedText()) +
                              ", modem port " +
                              (ports.SerialPortCBox.items.empty() ? "-" : ports.SerialPortCBox.SelectedText()));
    if (slot->modem) {
      slot->factory.Seed(*slot->modem, slot->index, userFiles, userDirs);
      slot->before = Snapshot(*slot->modem, *slot->factory.nv, userFiles);
    }
  }
  for (auto& slot : slots) {
    Controller& c = slot->c();
    if (!c.Running()) c.StartClick();
    slot->started = c.Running();
  }

  bool stopSent = false;
  for (;;) {
    bool busy = false;
    for (auto& slot : slots) {
      if (!slot->started) continue;
      Controller& c = slot->c();
      // A re-update (or the automatic-test repeat) begins in the job that ended the run before.
      if (slot->view->Ended() && c.Running()) slot->view->ResetResult();
      if (!slot->view->Ended()) busy = true;
    }
    if (!busy) break;
    if (gStopSignal && !stopSent) {
      stopSent = true;
      for (auto& slot : slots)
        if (slot->started) slot->c().StopClick();
    }
    PumpAll(slots, 50);
  }
  out.Finish();
  stopUsbBoot();

  rc = kPass;
  auto worse = [&rc](int code) {
    if (code == kStopped || (code == kFailed && rc != kStopped)) rc = code;
  };
  for (auto& slot : slots) {
    CliView& view = *slot->view;
    if (!slot->started) {
      // The start was refused (its message shown) or a question was declined.
      out.Result(slot->index, view.Declined() ? "STOPPED" : "FAIL", 0);
      worse(view.Declined() ? kStopped : kFailed);
      continue;
    }
    const int code = view.ErrorCode();
    const bool pass = view.Passed() && code == 0;
    out.Result(slot->index, pass ? "PASS" : code == ERR_USER_STOP ? "STOPPED" : "FAIL", code);
    if (!pass) worse(code == ERR_USER_STOP ? kStopped : kFailed);
    if (slot->modem && pass) {
      const bool partitions = ReportPartitions(*slot->modem, s.imageFolder, slot->index, out);
      const ModemData after = Snapshot(*slot->modem, *slot->factory.nv, userFiles);
      const Verification v = Compare(slot->before, after);
      if (out.style() == CliOutput::Style::Json) {
        out.JsonEvent(nlohmann::json{{"event", "verification"}, {"slot", slot->index}, {"partitions", partitions},
                                     {"data", v.ok}, {"lines", v.lines}}
                          .dump());
      } else {
        for (const auto& line : v.lines) out.Note("  " + line);
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
  SlotContext x{one, s, out, sink, clock, PolicyOf(o, out.style())};
  Slots slots;
  StartupSteps steps;
  steps.configPath = s.configPath;
  bool payloadFailed = false;
  if (s.embedded) steps.writePayload = PayloadStep(s, sink, out, slots, payloadFailed);
  InstallStopSignals();
  int rc = StartSlots(x, slots, steps);
  if (rc == kPass && payloadFailed) rc = kUsage;
  if (rc != kPass) return rc;
  Controller& c = slots[0]->c();
  if (out.style() != CliOutput::Style::Json && !slots[0]->view->OptionSummary().empty())
    out.Note(slots[0]->view->OptionSummary());
  out.Note("Configuration and images are fine (" + std::to_string(c.images().lvFileList.size()) + " files).");
  rc = WaitForReadyDevices(slots, out, o.waitSeconds < 0 ? 10 : o.waitSeconds);
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
