#include "ui/session/update_session.h"

#include <filesystem>

#include "engine/engine_types.h"
#include "platform/private_files.h"
#include "platform/profile_file.h"
#include "ui/payload_extraction.h"
#include "ui/platform_query.h"

namespace zovir::session {
namespace fs = std::filesystem;

std::string ErrorText(int code) {
  if (code == kErrVersionMismatch) return "version mismatch: the modem does not report the packet's firmware version";
  if (code == kErrVirtualContents) return "the virtual modem does not hold what the update should have left";
  return ErrorMeaning(code);
}

std::string KeptBackup(const std::string& root, std::chrono::system_clock::time_point since, bool oneSlot) {
  if (!oneSlot || root.empty()) return "";
  std::error_code ec;
  std::string best;
  fs::file_time_type bestTime{};
  const auto from = fs::file_time_type::clock::now() -
                    std::chrono::duration_cast<fs::file_time_type::duration>(std::chrono::system_clock::now() - since) -
                    std::chrono::seconds(2);
  for (const auto& entry : fs::directory_iterator(root, ec)) {
    const std::string name = entry.path().filename().string();
    if (!entry.is_directory(ec) || SNOfBackupFolder(name).empty()) continue;
    const auto when = fs::last_write_time(entry.path(), ec);
    if (ec || when < from || (!best.empty() && when <= bestTime)) continue;
    best = entry.path().string();
    bestTime = when;
  }
  return best;
}

std::string VerificationText(const RunRecord& record) {
  if (record.verification == "verified") return "verified: the modem reports firmware " + record.firmwareAfter;
  if (record.verification == "version mismatch")
    return "version mismatch: the modem reports firmware " + record.firmwareAfter + ", the packet is " +
           record.packetVersion;
  return record.verificationNote.empty() ? "" : "firmware not checked: " + record.verificationNote;
}

// ---- the session ----

UpdateSession::UpdateSession(std::unique_ptr<SystemServices> services)
    : services_(services ? std::move(services) : MakeSystemServices()) {}

UpdateSession::~UpdateSession() { StopUsbBoot(); }

std::optional<SessionRefusal> UpdateSession::Open(const SessionOptions& options) {
  using Kind = SessionRefusal::Kind;
  paths_ = SystemPathsFromEnvironment();
  history_ = RunHistory(RunHistory::PathFor(paths_.logDir));
  processes_ = MakeProcesses(paths_.runtimeDir);
  // One copy at a time: a second one would probe the ports of a modem being written.
  instance_ = std::make_unique<SingleInstance>(*processes_);
  if (instance_->AnotherCopyRuns()) return SessionRefusal{Kind::AnotherCopy, "", kAlreadyRunningText};
  try {
    folders_ = std::make_unique<WorkFolders>(paths_);
    if (options.keepWork) folders_->Keep();
    if (!options.packet.empty()) {
      imageFolder_ = fs::absolute(options.packet).string();
      if (std::error_code ec; !fs::is_directory(imageFolder_, ec))
        return SessionRefusal{Kind::NoPacketFolder, "Warning", "The packet folder " + imageFolder_ + " does not exist"};
      configPath_ = (fs::path(imageFolder_) / "Config.ini").string();
      if (!fs::exists(configPath_)) return SessionRefusal{Kind::NoConfig, "Warning", "No Config.ini in " + imageFolder_};
      return std::nullopt;
    }
    payload_ = Payload::Embedded();
    if (payload_.Empty()) return SessionRefusal{Kind::NoPayload, "Warning", "This build carries no firmware packet."};
    embedded_ = true;
    imageFolder_ = folders_->WorkFolder();
    CreateFolderPath(imageFolder_);
    configPath_ = imageFolder_ + "/Config.ini";
    WriteResource(payload_, "ConfigFile", "INI", configPath_);
  } catch (const StartupError& e) {
    return SessionRefusal{Kind::Folders, "Warning", e.what()};
  }
  return std::nullopt;
}

void UpdateSession::FillStartupSteps(StartupSteps& steps, std::function<Controller&()> first, MessageSink& sink,
                                     Clock& clock, std::function<void(const std::string&)> note) {
  steps.configPath = configPath_;
  if (embedded_) {
    steps.writePayload = [this, first, &sink](ProjectConfiguration& config) {
      if (!first().ConfigurationOk()) return false;
      try {
        payloadFailed_ |= ExtractPayload(config, imageFolder_, PayloadContext{payload_, sink, processes_.get()});
      } catch (const StartupError& e) {
        sink.Show(e.what(), "ERROR", MessageButtons::Ok, MessageIcon::Warning);
        payloadFailed_ = true;
      }
      return !payloadFailed_;
    };
    steps.writeSecondPacket = [this, &sink](ProjectConfiguration& config) {
      const std::string folder = folders_->SecondPacketFolder();
      try {
        payloadFailed_ |= ExtractPacketPayload(config, folder, 2, PayloadContext{payload_, sink, processes_.get()});
      } catch (const StartupError& e) {
        sink.Show(e.what(), "ERROR", MessageButtons::Ok, MessageIcon::Warning);
        payloadFailed_ = true;
      }
      return folder + "/Config.ini";
    };
  }
  // A board waiting in USB boot mode gets its loader while the program runs.
  steps.startUsbBoot = [this, first, &clock, note] {
    if (payloadFailed_) return;  // the program ends; its loader may be missing
    usb_ = MakeUsbBulk();
    driverInfo_ = MakeFileKeyValueStore(paths_.configDir + "/settings.ini");
    usbBoot_ = std::make_unique<UsbBootDownload>(*usb_, *driverInfo_, clock, note);
    usbBootRunning_ = usbBoot_->StartUsbBootDownload(first().ImageFolder());
    if (usbBootRunning_ && note) note("USB boot download started");
  };
}

bool UpdateSession::StopUsbBoot() {
  if (!usbBoot_) return false;
  usbBoot_->Stop();
  usbBoot_.reset();
  usbBootRunning_ = false;
  return true;
}

void UpdateSession::Record(int slot, const std::string& device, const RunResult& result) const {
  history_.Append(HistoryEntry{TimeStamp(std::chrono::system_clock::now()), slot, device, result});
}

// ---- one slot ----

// The backup folders of a run: a folder that holds files is deleted only once the session knows
// the run passed its check; until then the deletion waits, and a run that fails the check keeps
// the folder.
struct SessionSlot::HeldDeletions final : LocalFolders {
  LocalFolders* inner = nullptr;
  std::mutex mutex;
  std::vector<std::string> waiting;

  bool MakeLocalFolder(const std::string& path) override { return inner->MakeLocalFolder(path); }
  int DeleteLocalFolder(const std::string& path) override {
    std::error_code ec;
    bool holdsFiles = false;
    for (auto it = fs::recursive_directory_iterator(path, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec))
      if (it->is_regular_file(ec)) {
        holdsFiles = true;
        break;
      }
    if (!holdsFiles) return inner->DeleteLocalFolder(path);
    std::lock_guard lock(mutex);
    waiting.push_back(path);
    return 1;
  }
  // Called once the engine has ended.
  void Finish(bool deleteThem) {
    std::vector<std::string> folders;
    {
      std::lock_guard lock(mutex);
      folders.swap(waiting);
    }
    if (deleteThem)
      for (const auto& folder : folders) inner->DeleteLocalFolder(folder);
  }
};

namespace {

// The engine's collaborators with the backup folders' deletions held back.
struct HeldPhaseSet final : PhaseSet {
  std::unique_ptr<PhaseSet> inner;
};

}  // namespace

SessionSlot::SessionSlot(UpdateSession& session, SlotWiring wiring, Clock& clock)
    : session_(session), wiring_(std::move(wiring)), clock_(clock) {}

SessionSlot::~SessionSlot() { guard_.reset(); }

void SessionSlot::Wire(ControllerOptions& options, PhaseFactory phases) {
  phases_ = std::move(phases);
  options.makeEngine = [this](EngineHost& host) { return MakeEngine(host); };
  // The start gate asks over the ports and clock the run's engine will use, without making
  // one: an engine made here would count as a run (the guard taken, the history written).
  options.queryPlatform = [this](const EngineConfig& cfg) { return QueryPlatformId(clock_, *wiring_.serial, cfg); };
  options.checkRunEnd = [this](int, bool passed) { return CheckRunEnd(passed); };
}

void SessionSlot::Bind(Controller& controller, ControllerPorts& ports) {
  controller_ = &controller;
  ports_ = &ports;
}

VersionAnswer SessionSlot::ReadFirmwareVersion(int attempts) {
  const std::string name = ports_->Lists().SerialPortCBox.SelectedText();
  ports_->CloseProbePort();
  ProbeSettings settings;
  settings.ProjectType = controller_->config().ProjectType;
  Controller* c = controller_;
  return QueryFirmwareVersion(*wiring_.serial, clock_, name, settings,
                              [c](const std::string& line) { c->log().WriteLogLine(line); }, attempts);
}

const RunRecord& SessionSlot::PrepareRun() {
  last_ = RunRecord{};
  prepared_ = true;
  const PortLists lists = ports_->Lists();
  const std::string diag = lists.PortCBox.items.empty() ? "" : lists.PortCBox.SelectedText();
  PortDevice usb;
  std::vector<PortDevice> devices;
  if (!diag.empty() && wiring_.usb && wiring_.usb->ListPortDevices(devices))
    for (const auto& d : devices)
      if (d.FriendlyName.size() > diag.size() + 2 &&
          d.FriendlyName.compare(d.FriendlyName.size() - diag.size() - 1, diag.size(), diag) == 0)
        usb = d;
  last_.usbSystemPath = usb.UsbSystemPath;
  last_.device = wiring_.virtualModem ? "virtual " + diag : !usb.UsbPath.empty() ? "usb " + usb.UsbPath : diag;
  // The configuration keeps the version only for the types that check it; the packet says it
  // for all.
  last_.packetVersion = ProfileFile(controller_->ImageFolder() + "/Config.ini").GetString("Project", "Version", "");
  if (!controller_->Running()) last_.firmwareBefore = ReadFirmwareVersion().version;
  return last_;
}

std::shared_ptr<TCommsThread> SessionSlot::MakeEngine(EngineHost& host) {
  // A re-update (or an automatic-test repeat) begins in the end of the run before.
  if (!prepared_ || last_.started) PrepareRun();
  prepared_ = false;
  last_.started = true;
  last_.startedAt = std::chrono::system_clock::now();
  Controller* c = controller_;
  // From before the engine opens a port until the run has ended.
  guard_.reset();
  guard_.emplace(session_.services(), last_.usbSystemPath,
                 [c](const std::string& line) { c->AddStatusLine(line, mtProgress); });
  auto held = std::make_shared<HeldDeletions>();
  held_ = held;
  PhaseFactory inner = phases_;
  PhaseFactory phases = [inner, held](EngineCore& core, Link& link) -> std::unique_ptr<PhaseSet> {
    auto set = std::make_unique<HeldPhaseSet>();
    set->inner = inner(core, link);
    set->phases = set->inner->phases;
    held->inner = set->phases.folders;
    set->phases.folders = held.get();
    return set;
  };
  auto engine = std::make_shared<TCommsThread>(clock_, *wiring_.serial, &host, std::move(phases));
  engine_ = engine;
  return engine;
}

int SessionSlot::CheckRunEnd(bool passed) {
  RunRecord& r = last_;
  r.ended = true;
  r.errorCode = controller_->LastErrorCode();
  if (auto engine = engine_.lock(); engine && passed) r.serialNumber = engine->core().run.StringSN;
  r.logPath = controller_->log().LogFilePath();
  r.notPreserved = controller_->LastNotPreserved();
  int code = 0;
  if (passed) {
    const VersionAnswer after = ReadFirmwareVersion(kVersionAttemptsAfterUpdate);
    r.firmwareAfter = after.version;
    if (r.packetVersion.empty()) {
      r.verificationNote = "the packet names no firmware version";
    } else if (r.firmwareAfter.empty()) {
      r.verificationNote = after.reason;
    } else {
      const bool same = r.firmwareAfter == r.packetVersion;
      r.verification = same ? "verified" : "version mismatch";
      if (!same) code = kErrVersionMismatch;
    }
  }
  r.passed = passed && code == 0;
  // The run log was closed at the engine's PASS; it stays now, and says why.
  if (code != 0 && !r.logPath.empty())
    AppendToFile(r.logPath, VerificationText(r) + "\r\n");
  if (code != 0) r.errorCode = code;
  // The backup goes with a PASS only; whatever else ended the run, it stays.
  if (held_) held_->Finish(r.passed);
  held_.reset();
  guard_.reset();
  if (wiring_.recordHistory) session_.Record(wiring_.index, r.device, ResultOf(r));
  if (wiring_.runChecked) wiring_.runChecked(r);
  return code;
}

RunResult SessionSlot::ResultOf(const RunRecord& record) const {
  RunResult result;
  result.packetVersion = record.packetVersion;
  result.firmwareBefore = record.firmwareBefore;
  result.firmwareAfter = record.firmwareAfter;
  result.verification = record.verification;
  result.verificationNote = record.verificationNote;
  result.serialNumber = record.serialNumber;
  result.errorCode = record.passed ? 0 : record.errorCode;
  result.result = record.passed ? "PASS" : result.errorCode == ERR_USER_STOP ? "STOPPED" : "FAIL";
  if (!record.passed) {
    result.backupFolder = KeptBackup(session_.folders().BackupFolder(), record.startedAt, wiring_.oneSlot);
    if (result.serialNumber.empty()) result.serialNumber = SNOfBackupFolder(result.backupFolder);
  }
  std::error_code ec;
  if (!record.logPath.empty() && fs::exists(record.logPath, ec)) result.logPath = record.logPath;
  result.notPreserved = record.notPreserved;
  result.error = ErrorText(result.errorCode);
  return result;
}

}  // namespace zovir::session
