// zovir-cli: the command-line front end. Runs a whole update from a terminal or a script.
#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <thread>

#include "config/engine_handover.h"
#include "config/image_check.h"
#include "config/project_configuration.h"
#include "discovery/usb_boot.h"
#include "platform/key_value_store.h"
#include "platform/usb_bulk.h"
#include "link/crc16.h"
#include "platform/processes.h"
#include "platform/system_paths.h"
#include "ui/cli/cli_output.h"
#include "ui/cli/update_slot.h"
#include "ui/cli/virtual_factory.h"
#include "ui/payload.h"
#include "ui/payload_extraction.h"
#include "ui/work_folders.h"

namespace fs = std::filesystem;

namespace zovir::cli {
namespace {

enum ExitCode : int { kPass = 0, kFailed = 1, kUsage = 2, kNoDevice = 3, kStopped = 4 };

volatile std::sig_atomic_t gStopSignal = 0;
extern "C" void OnStopSignal(int) { gStopSignal = 1; }

struct Options {
  std::string packet;
  bool virtualModem = false;
  int slots = 1;
  bool json = false;
  std::string sn;
  std::string state;
  bool yes = false, no = false;
  bool keepWork = false;
};

// Message boxes of the configuration and the checks, printed.
class PrintingSink final : public MessageSink {
 public:
  explicit PrintingSink(CliOutput& out) : out_(out) {}
  void Show(const std::string& text, const std::string& caption, MessageButtons, MessageIcon) override {
    out_.Message(caption, text);
    ++shown_;
  }
  void Log(const std::string& line) override { out_.Note(line); }
  int shown() const { return shown_; }

 private:
  CliOutput& out_;
  int shown_ = 0;
};

// The packet, configuration and image check every command needs.
struct Prepared {
  SystemPaths paths;
  std::unique_ptr<WorkFolders> folders;
  std::unique_ptr<Processes> processes;
  ProjectConfiguration config;
  ImageFolderState images;
  std::string imageFolder;
  std::string workFolder;
};

int Prepare(const Options& o, CliOutput& out, PrintingSink& sink, Prepared& p) {
  const SystemPaths paths = SystemPathsFromEnvironment();
  p.paths = paths;
  try {
    p.folders = std::make_unique<WorkFolders>(paths);
  } catch (const StartupError& e) {
    out.Message("Warning", e.what());
    return kUsage;
  }
  if (o.keepWork) p.folders->Keep();
  p.processes = MakeLinuxProcesses(paths.runtimeDir);
  p.workFolder = p.folders->WorkFolder();
  std::string configPath;
  const Payload payload = Payload::Embedded();
  try {
    CreateFolderPath(p.workFolder);
    if (!o.packet.empty()) {
      p.imageFolder = fs::absolute(o.packet).string();
      configPath = (fs::path(p.imageFolder) / "Config.ini").string();
      if (!fs::exists(configPath)) {
        out.Message("Warning", "No Config.ini in " + p.imageFolder);
        return kUsage;
      }
    } else {
      if (payload.Empty()) {
        out.Message("Warning", "This build carries no firmware packet; use --packet DIR.");
        return kUsage;
      }
      configPath = p.workFolder + "/Config.ini";
      WriteResource(payload, "ConfigFile", "INI", configPath);
      p.imageFolder = p.workFolder;
    }
    if (!ReadProjectConfiguration(p.config, configPath, sink)) return kUsage;
    if (o.packet.empty() && ExtractPayload(p.config, p.workFolder, PayloadContext{payload, sink, p.processes.get()}))
      return kUsage;
  } catch (const StartupError& e) {
    out.Message("Warning", e.what());
    return kUsage;
  }
  auto convertHex = [&](const std::string& hex, const std::string& bin) {
    uint32_t start = 0;
    ConvertHexImage(hex, bin, p.workFolder, sink, start);
  };
  ImageCheckContext context{sink, p.config.Caption, p.folders->BackupFolder(), false, convertHex, nullptr};
  if (!CheckImageFolder(p.imageFolder, p.config, p.images, context)) {
    out.Message("Warning", "No Image File Loaded!");
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

int RunCommand(const Options& o, CliOutput& out) {
  PrintingSink sink(out);
  Prepared p;
  if (int rc = Prepare(o, out, sink, p); rc != kPass) return rc;

  // One update at a time on this machine, like the window.
  auto instance = p.processes->CreateNamedLock("Downloading_Mutex");
  if (!instance || instance->AlreadyExisted()) {
    out.Message("Download", "Upgrading procedures have been in operation!");
    return kFailed;
  }
  if (o.slots < 1 || o.slots > 8) {
    out.Message("Warning", "--slots takes 1 to 8");
    return kUsage;
  }
  if (o.slots > 1 && !o.virtualModem) {
    out.Message("Warning", "Several slots need --virtual on this platform");
    return kUsage;
  }

  // A board waiting in USB boot mode gets its loader while the tool runs.
  SteadyClock usbClock;
  std::unique_ptr<UsbBulk> usb;
  std::unique_ptr<KeyValueStore> settings;
  std::unique_ptr<UsbBootDownload> usbBoot;
  if (p.config.bSwitchFastbootMode) {
    usb = MakeLibusbBulk();
    settings = MakeFileKeyValueStore(p.paths.configDir + "/settings.ini");
    usbBoot = std::make_unique<UsbBootDownload>(*usb, *settings, usbClock,
                                                [&out](const std::string& line) { out.Note(line); });
    if (usbBoot->StartUsbBootDownload(p.imageFolder)) out.Note("USB boot download started");
  }

  const auto userFiles = EfsPaths(p.config.UserDataFilesList);
  const auto userDirs = EfsPaths(p.config.UserDataDirList);
  std::vector<VirtualFactory> factories(static_cast<size_t>(o.slots));
  std::vector<std::unique_ptr<UpdateSlot>> slots;
  SteadyClock clock;
  const char* envMap = std::getenv("ZOVIR_DEVICE_MAP");
  for (int i = 0; i < o.slots; ++i) {
    SlotSetup setup;
    setup.index = i;
    setup.sn = o.sn;
    setup.virtualModem = o.virtualModem;
    if (o.virtualModem) {
      setup.deviceMapPath = p.folders->TempPath() + "/ports-" + std::to_string(i) + ".ini";
      setup.modem.comNumbers.clear();
      for (int n = 0; n < 8; ++n) setup.modem.comNumbers.push_back(20 + i * 10 + n);
      if (!o.state.empty()) {
        setup.modem.stateDir = (fs::path(o.state) / ("slot" + std::to_string(i))).string();
        fs::create_directories(setup.modem.stateDir);
      }
      setup.modem.rebootDelayMs = 300;
      factories[static_cast<size_t>(i)].Prepare(setup.modem, i);
    } else {
      setup.deviceMapPath = envMap ? envMap : "";
    }
    try {
      slots.push_back(std::make_unique<UpdateSlot>(setup, out, clock));
    } catch (const std::exception& e) {
      out.Message("Warning", std::string("The virtual modem could not start: ") + e.what());
      return kUsage;
    }
    if (o.virtualModem) factories[static_cast<size_t>(i)].Seed(*slots.back()->modem(), i, userFiles, userDirs);
  }

  std::vector<ModemData> before(slots.size());
  for (auto& slot : slots) {
    if (!slot->Discover()) {
      out.Message("Warning", "Not Ready: no diagnostic port found" +
                                 (o.slots > 1 ? " for slot " + std::to_string(slot->index()) : std::string()));
      return kNoDevice;
    }
    out.Note((o.slots > 1 ? "[slot " + std::to_string(slot->index()) + "] " : std::string()) + "Diagnostic port " +
             slot->DiagPort() + ", modem port " + (slot->ModemPort().empty() ? "-" : slot->ModemPort()));
    if (slot->modem())
      before[static_cast<size_t>(slot->index())] =
          Snapshot(*slot->modem(), *factories[static_cast<size_t>(slot->index())].nv, userFiles);
  }

  EngineConfig base;
  HandOverConfiguration(p.config, base);
  HandOverImages(p.images, base);
  base.BackupFilePath = p.folders->BackupFolder();
  for (auto& slot : slots) {
    out.SetTotalBytes(slot->index(), base.allTotalFileSize);
    slot->Start(base, EngineEnvironment{p.processes.get(), p.workFolder});
  }

  std::signal(SIGINT, OnStopSignal);
  std::signal(SIGTERM, OnStopSignal);
  bool stopped = false;
  for (;;) {
    bool all = true;
    for (auto& slot : slots) all &= slot->Finished();
    if (all) break;
    if (gStopSignal && !stopped) {
      stopped = true;
      out.Note("Shutting down COMM...");
      for (auto& slot : slots) slot->Stop();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  for (auto& slot : slots) slot->Wait(60000);
  out.Finish();

  int rc = kPass;
  for (auto& slot : slots) {
    const int code = slot->ErrorCode();
    const bool pass = slot->Passed() && code == 0;
    out.Result(slot->index(), pass ? "PASS" : code == ERR_USER_STOP ? "STOPPED" : "FAIL", code);
    if (!pass) rc = code == ERR_USER_STOP ? kStopped : kFailed;
    if (slot->modem() && pass) {
      const bool partitions = ReportPartitions(*slot->modem(), p.imageFolder, slot->index(), out);
      const ModemData after =
          Snapshot(*slot->modem(), *factories[static_cast<size_t>(slot->index())].nv, userFiles);
      const Verification v = Compare(before[static_cast<size_t>(slot->index())], after);
      if (out.style() == CliOutput::Style::Json) {
        out.JsonEvent(nlohmann::json{{"event", "verification"}, {"slot", slot->index()}, {"partitions", partitions},
                                     {"data", v.ok}, {"lines", v.lines}}
                          .dump());
      } else {
        for (const auto& line : v.lines) out.Note("  " + line);
      }
      if (!partitions || !v.ok) rc = kFailed;
    }
  }
  if (gStopSignal) rc = kStopped;
  if (usbBoot) {
    usbBoot->Stop();
    out.Note("USB boot download stopped");
  }
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

int CheckCommand(const Options& o, CliOutput& out) {
  PrintingSink sink(out);
  Prepared p;
  const int rc = Prepare(o, out, sink, p);
  if (rc == kPass) out.Note("Configuration and images are fine (" + std::to_string(p.images.lvFileList.size()) + " files).");
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
      "4 stopped by the user (Ctrl-C stops the update cleanly; the backup stays).");
  app.require_subcommand(1);
  auto* run = app.add_subcommand("run", "update the connected modem (or --virtual ones) and wait for the result");
  auto* ports = app.add_subcommand("ports", "list the modem ports of this host");
  auto* check = app.add_subcommand("check", "check configuration and images without writing anything");
  for (auto* sub : {run, ports, check}) {
    sub->add_flag("--json", o.json, "one JSON object per event");
  }
  for (auto* sub : {run, check}) {
    sub->add_option("--packet", o.packet, "use an unpacked firmware packet folder instead of the embedded one");
    sub->add_flag("--keep-work", o.keepWork, "leave the work folder on disk");
  }
  run->add_flag("--virtual", o.virtualModem, "update virtual modems on pseudo-terminals (no hardware)");
  run->add_option("--slots", o.slots, "number of modems updated at once (1-8)");
  run->add_option("--sn", o.sn, "serial number: restore from the backup saved under it");
  run->add_option("--state", o.state, "folder keeping the virtual modems' state between runs");
  run->add_flag("--yes", o.yes, "answer questions with yes");
  run->add_flag("--no", o.no, "answer questions with no");
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
