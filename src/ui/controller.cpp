#include "ui/controller.h"

#include <algorithm>
#include <cctype>
#include <ctime>
#include <filesystem>
#include <future>

#include "config/device_check_variants.h"
#include "config/engine_handover.h"
#include "config/option_summary.h"
#include "discovery/launchers.h"
#include "engine/engine_types.h"
#include "platform/clock.h"
#include "ui/work_folders.h"

namespace zovir {

namespace fs = std::filesystem;

namespace {

constexpr const char* kMilestones[] = {"Start succssfully",  "Backup succssfully",
                                       "Bootloader succssfully", "AMSSFile succssfully",
                                       "AppsImageAndBootloader succssfully", "PCSuite succssfully",
                                       "EFSFile succssfully", "PASS"};

// A modem in its emergency download mode is listed twice: count each port once.
size_t DistinctPorts(std::vector<std::string> names) {
  std::sort(names.begin(), names.end());
  return static_cast<size_t>(std::unique(names.begin(), names.end()) - names.begin());
}

bool IsMilestone(const std::string& text) {
  for (const char* m : kMilestones)
    if (text == m) return true;
  return false;
}

// Configuration messages go to the view as message boxes, their log lines to the status lines.
class ViewSink final : public MessageSink {
 public:
  ViewSink(View& view, std::function<void(const std::string&)> log) : view_(view), log_(std::move(log)) {}
  void Show(const std::string& text, const std::string& caption, MessageButtons, MessageIcon icon) override {
    view_.Message(text, caption, icon == MessageIcon::Warning ? MessageKind::Warning : MessageKind::Plain);
  }
  void Log(const std::string& line) override {
    if (log_) log_(line);
  }

 private:
  View& view_;
  std::function<void(const std::string&)> log_;
};

}  // namespace

ReupdatePlan PlanReupdate(const std::string& status, bool backupKnown) {
  ReupdatePlan plan;
  plan.reached = status == "Backup succssfully"                   ? 1
                 : status == "Bootloader succssfully"             ? 2
                 : status == "AMSSFile succssfully"               ? 3
                 : status == "AppsImageAndBootloader succssfully" ? 4
                 : status == "PCSuite succssfully"                ? 5
                 : status == "EFSFile succssfully"                ? 6
                                                                  : 0;
  plan.statusWrong = status == "Start succssfully" || status == "PASS" || status.empty();
  // Skipping the backup means restoring one: only the one this session saw its run write.
  plan.refused = plan.reached >= 1 && !backupKnown;
  return plan;
}

void SkipReachedPhases(ProjectConfiguration& c, int reached) {
  if (reached >= 1) c.bBackup = 0;
  if (reached >= 2) c.bBootloader = 0;
  if (reached >= 3) c.bAMSSFile = 0;
  if (reached >= 4) c.bAppsBootloader = c.bAppsImageAndBootloader = 0;
  if (reached >= 5) c.PCSuiteImage = 0;
  if (reached >= 6) c.bEFS = c.bRawAppsEFS = 0;
}

std::string SNOfBackupFolder(const std::string& folder) {
  const std::string name = fs::path(folder).filename().string();
  if (name.size() < 6 || name.compare(0, 3, "SN[") != 0 || name.back() != ']') return {};
  return name.substr(3, name.size() - 4);
}

int ParsePortNumber(const std::string& text) {
  if (text.size() < 4 || text.compare(0, 3, "COM") != 0 || text.size() > 12) return -1;
  int n = 0;
  for (size_t i = 3; i < text.size(); ++i) {
    if (!std::isdigit(static_cast<unsigned char>(text[i]))) return -1;
    n = n * 10 + (text[i] - '0');
  }
  return n;
}

// The device watcher's shared state: the thread may outlive a stop request by one poll.
struct Controller::Watcher {
  std::mutex mutex;
  std::condition_variable cv;
  std::atomic<bool> stop{false};
};

Controller::Controller(View& view, ControllerPorts& ports, Clock& clock, ControllerOptions options)
    : view_(view),
      ports_(ports),
      clock_(clock),
      options_(std::move(options)),
      host_(owner_, view, ports),
      imageFolder_(options_.workFolder) {}

Controller::~Controller() {
  if (!destroyed_) FlashDestroy();
}

int Controller::Pump(int waitMs) { return owner_.RunPending(waitMs); }

bool Controller::ReadConfiguration(const std::string& configPath) {
  ViewSink sink(view_, [this](const std::string& l) { AddStatusLine(l, mtProgress); });
  configOk_ = zovir::ReadProjectConfiguration(config_, configPath, sink);
  ports_.Configure(config_);
  return configOk_;
}

void Controller::SetConfiguration(const ProjectConfiguration& config, bool readOk) {
  config_ = config;
  configOk_ = readOk;
  ports_.Configure(config_);
}

void Controller::SetImageFolder(const std::string& folder) {
  imageFolder_ = folder;
  view_.SetImageFolder(folder);
}

bool Controller::ImageFolderSelected(const std::string& folder) {
  images_.lvFileList.clear();
  SetImageFolder(folder);
  return ShowOptionSummary();
}

bool Controller::ShowOptionSummary() {
  ViewSink sink(view_, [this](const std::string& l) { AddStatusLine(l, mtProgress); });
  std::function<void(const std::string&, const std::string&)> convertHex;
  // The conversion writes its binary beside the hex file, in the packet: never in a check.
  if (options_.convertHex && !options_.checkOnly)
    convertHex = [this](const std::string& hex, const std::string& bin) {
      options_.hexStartAddress = options_.convertHex(hex, bin);
    };
  // A re-update takes the backup files from the folder its first run wrote them to.
  ImageCheckContext context{sink, config_.Caption, reupdateMode_ ? lastBackupFolder_ : options_.backupFolder,
                            reupdateMode_, convertHex, nullptr};
  std::string folder = imageFolder_;
  if (!folder.empty() && folder.back() != '/') folder += '/';
  imagesOk_ = zovir::ShowOptionSummary(config_, optionSummary_, folder, images_, context);
  view_.SetOptionSummary(optionSummary_);
  return imagesOk_;
}

// ---- registry values ----

int Controller::ReadRegInteger(const std::string& name, int defaultValue) {
  if (!options_.store) return defaultValue;
  auto value = options_.store->Read(kRegistryKey, name);
  if (!value) {
    if (!options_.checkOnly) options_.store->Write(kRegistryKey, name, std::to_string(defaultValue));
    return defaultValue;
  }
  try {
    return std::stoi(*value);
  } catch (const std::exception&) {
    return defaultValue;
  }
}

std::string Controller::ReadRegString(const std::string& name, const std::string& defaultValue) {
  if (!options_.store) return defaultValue;
  auto value = options_.store->Read(kRegistryKey, name);
  if (!value) {
    if (!options_.checkOnly) options_.store->Write(kRegistryKey, name, defaultValue);
    return defaultValue;
  }
  return *value;
}

void Controller::ReadRegistryValues() {
  if (!options_.store) return;
  const std::string status = ReadRegString("DownloadStatus", "");
  // A new session knows no backup: a re-update that resumes would only be refused.
  const ReupdatePlan plan = PlanReupdate(status, !lastBackupFolder_.empty());
  view_.ShowReupdate(!plan.statusWrong && !plan.refused);
  const int diag = ReadRegInteger("COMM Port", 1);
  const int at = ReadRegInteger("SerialCOMM Port", 1);
  ports_.SelectSavedPorts(diag, at);
  view_.ShowPorts(ports_.Lists());
}

void Controller::WriteRegistryValues() {
  if (!options_.store || options_.checkOnly) return;
  const PortLists lists = ports_.Lists();
  auto number = [](const std::string& text) {
    const int n = ParsePortNumber(text);
    return n > 0 ? n : 1;
  };
  options_.store->Write(kRegistryKey, "COMM Port", std::to_string(number(lists.PortCBox.SelectedText())));
  options_.store->Write(kRegistryKey, "SerialCOMM Port", std::to_string(number(lists.SerialPortCBox.SelectedText())));
  options_.store->Write(kRegistryKey, "Image File Folder", imageFolder_);
}

// ---- run log ----

std::string Controller::LogStamp() {
  std::tm tm{};
  LocalCalendarTime(clock_.WallSeconds(), tm);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y/%m/%d %H:%M:%S", &tm);
  return stamp;
}

std::string Controller::RunLogFolder() const {
  const VariantTexts& texts = TextsOf(VariantOf(config_));
  if (IsJapaneseType(config_) && *texts.logFolder) return options_.logFolder + "/" + texts.logFolder;
  return options_.logFolder;
}

void Controller::OpenRunLog() {
  const std::string folder = RunLogFolder();
  try {
    CreateFolderPath(folder);
  } catch (const StartupError&) {
    return;  // the log stays closed; the next Start tries again
  }
  log_.OpenRunLog(folder + "/" + RunLogFileName(config_.Caption, clock_.WallSeconds()));
}

bool Controller::AutotestMarkerExists() const {
  std::error_code ec;
  return !options_.autotestMarker.empty() && fs::is_regular_file(options_.autotestMarker, ec);
}

void Controller::DeleteRunLog() {
  if (AutotestMarkerExists()) return;
  const std::string path = log_.LogFilePath();
  std::error_code ec;
  if (!path.empty()) fs::remove(path, ec);
}

void Controller::RemovePassedRunLog() {
  if (config_.ProjectType == 28)
    RemoveVariantLogFolder();
  else
    DeleteRunLog();
}

void Controller::RemoveVariantLogFolder() {
  if (AutotestMarkerExists()) return;
  // Only ever below the log root, never the root itself.
  RemoveFolder(RunLogFolder(), FolderGuard({}, {options_.logFolder}));
}

// ---- status lines ----

void Controller::AddStatusLine(const std::string& text, int kind) {
  // The log line is written at once, on the caller's thread; the display follows in order on
  // the controller's thread.
  log_.WriteLogLine(LogStamp() + " " + text);
  if (owner_.IsCurrent()) {
    ApplyStatusLine(text, kind);
  } else {
    owner_.Post([this, text, kind] { ApplyStatusLine(text, kind); });
  }
}

void Controller::ShowFailureLabel() {
  if (IsJapaneseType(config_)) {
    statusText_ = "アップデートに失敗しました";
    view_.SetStatusLabel(statusText_, {LabelColor::Red, true});
  } else {
    statusText_ = " Upgrade failure";
    view_.SetStatusLabel(statusText_, {LabelColor::Red, false});
  }
}

void Controller::ApplyStatusLine(const std::string& text, int kind) {
  view_.StatusLine(text, kind);
  if (IsMilestone(text)) {
    if (options_.store) options_.store->Write(kRegistryKey, "DownloadStatus", text);
    if (text == "Backup succssfully") backupDone_ = true;
  }
  const bool titleOrJapanese = IsTitleVariant(config_) || config_.Language == 1;
  if (kind == mtPass) {
    view_.ShowReupdate(false);
    log_.CloseRunLog();
    if (!options_.checkRunEnd) RemovePassedRunLog();
    passed_ = true;
    resultState_ = 3;
    view_.SetResultState(3);
    if (titleOrJapanese) {
      view_.ShowStatusLabel(false);
      view_.SetJapaneseStatusLabel(" 更新完了", LabelColor::Green, true);
      statusText_ = " Complete";
    } else if (IsJapaneseType(config_)) {
      statusText_ = "アップデートが完了しました";
      view_.SetStatusLabel(statusText_, {LabelColor::Green, true});
    } else {
      statusText_ = " Complete";
      view_.SetStatusLabel(statusText_, {LabelColor::Green, false});
    }
    if (IsTitleVariant(config_)) view_.ShowFinishWarning(true);
    view_.ShowWorking(false, false);
    if (config_.ProjectType == 41) view_.ShowCompactPanel(CompactPanel::Completion);
    return;
  }
  if (kind == mtError) {
    // A failed re-update is offered again: its backup is still there. A run that is still
    // ending hands over its backup folder at its end, which decides again.
    if (backupDone_ && (!lastBackupFolder_.empty() || AnyEngine())) view_.ShowReupdate(true);
    const std::string rule(98, '-');
    log_.WriteLogLine("\r\n");
    log_.WriteLogLine(rule);
    log_.WriteLogLine(TextsOf(VariantOf(config_)).contactLine);
    log_.WriteLogLine("We will reply to you as soon as possible and resolve the issue.");
    log_.WriteLogLine("To cause any inconvenience to your understanding.");
    log_.WriteLogLine(rule);
    log_.CloseRunLog();
    passed_ = false;
    resultState_ = 1;
    view_.SetResultState(1);
    if (titleOrJapanese) {
      view_.ShowStatusLabel(false);
      view_.SetJapaneseStatusLabel(" 更新失敗", LabelColor::Red, true);
      view_.ShowFinishWarning(false);
      statusText_ = " Upgrade failure";
    } else {
      ShowFailureLabel();
    }
    view_.ShowWorking(false, true);
    if (config_.ProjectType == 41) view_.ShowCompactPanel(CompactPanel::Failure);
    const int type = config_.ProjectType;
    bool ask = type == 6 || type == 19 || type == 20;
    if (type == 20 && config_.bAMSSFile && !config_.bEFS && !config_.bRawAppsEFS && !config_.PCSuiteImage) ask = false;
    // Asked once per Start: a re-update that failed as well is offered through Re_update only,
    // so that an answer given in advance (--yes) cannot repeat a refused re-update for ever.
    if (ask && !destroyed_ && !reupdateAnswered_ &&
        view_.Ask("Are you sure reupdate again? If you sure please do this:Please unplug USB cable then plug in USB "
                  "cable and click the \"Yes\" button.If no,please click the \"No\" button.",
                  "Warning", Question::YesNo) == Answer::Yes) {
      reupdateAnswered_ = true;
      Reupdate1Click();
    }
    return;
  }
  if (kind == mtInfo) {
    resultState_ = 2;
    view_.SetResultState(2);
    view_.SetStatusLabel(statusText_, {LabelColor::Black, IsJapaneseType(config_)});
    return;
  }
  resultState_ = 0;
  view_.SetResultState(0);
}

// ---- start ----

void Controller::SetStart(bool enabled) {
  startEnabled_ = enabled;
  view_.EnableStart(enabled);
}

bool Controller::AnyEngine() const {
  for (const auto& e : engines_)
    if (e) return true;
  return false;
}

bool Controller::Running() const { return AnyEngine(); }

void Controller::DiscoverPorts() {
  ports_.RefreshPortLists();
  view_.ShowPorts(ports_.Lists());
}

void Controller::RequestEnd() {
  endRequested_ = true;
  view_.RequestEnd();
}

void Controller::CloseProbePortLogged(const char* tag) {
  const std::string t(tag);
  for (int round = 0; round < 10; ++round) {
    clock_.SleepMs(500);
    if (!ports_.ProbePortOpen()) {
      AddStatusLine("com null-" + t, mtProgress);
      return;
    }
    AddStatusLine("com not null-" + t, mtProgress);
    ports_.CloseProbePort();
    if (!ports_.ProbePortOpen()) {
      AddStatusLine("close com-" + t, mtProgress);
      return;
    }
    AddStatusLine("Warning-" + t, mtProgress);
    clock_.SleepMs(100);
  }
}

void Controller::PrepareRun(const char* tag) {
  view_.ShowWorking(true, false);
  SetStart(false);
  view_.EnableStop(true);
  view_.ShowStartArt(StartArt::Running);
  StopWatcher();
  clock_.SleepMs(500);
  CloseProbePortLogged(tag);
  view_.ShowWorking(true, false);
  AddStatusLine("Check......", mtProgress);
  ports_.RefreshPortLists();
  // The rescan probes the AT port again and may keep it open; the engine needs it.
  ports_.CloseProbePort();
  view_.ShowPorts(ports_.Lists());
}

void Controller::AfterBeginRun(int result) {
  if (result == 1) {
    if (IsJapaneseType(config_) || config_.Language == 1) {
      statusText_ = "アップデートしています";
      view_.SetStatusLabel(statusText_, {LabelColor::Black, true});
    } else {
      statusText_ = " Upgrading...";
      view_.SetStatusLabel(statusText_, {LabelColor::Black, false});
    }
    return;
  }
  view_.EnableStop(false);
  view_.ShowWorking(false, true);
  ShowFailureLabel();
  if (config_.ProjectType == 41) view_.ShowCompactPanel(CompactPanel::Failure);
  if (options_.startGate && options_.watchAfterRun && !endRequested_) {
    // START stays off over the refusal; the watcher polls again and the gate decides.
    SetStart(false);
    view_.ShowStartArt(StartArt::Idle);
    StartWatcher();
    return;
  }
  SetStart(true);
  view_.ShowStartArt(StartArt::Idle);
}

void Controller::StartClick() {
  if (options_.checkOnly) return;  // a check never starts an update
  // A re-update skipped phases; a new update runs them all again.
  if (fullSelection_) {
    config_ = *fullSelection_;
    fullSelection_.reset();
  }
  if (!log_.IsOpen()) OpenRunLog();
  AddStatusLine(kToolVersion, mtProgress);
  const int type = config_.ProjectType;
  if (type == 27 || type == 28) {
    if (type == 28 && !SelectPacketByFlash()) {
      log_.CloseRunLog();
      return;
    }
    // The label keeps its ready text while the question stands and after a Cancel.
    if (view_.AskToStart(kStartQuestionText, TextsOf(VariantOf(config_)).title) == Answer::Cancel) {
      if (type == 28) {
        log_.CloseRunLog();
        RequestEnd();
      }
      return;
    }
  }
  statusText_ = " Upgrading...";
  view_.SetStatusLabel(statusText_, {LabelColor::Black, false});
  backupDone_ = false;
  reupdateMode_ = false;
  reupdateAnswered_ = false;
  afterRun_.StartBegins();
  host_.SetSavedBackupSN({});
  if (IsTitleVariant(config_)) timer1Enabled_ = false;
  PrepareRun("26");

  bool gate = true;
  if (type == 25 || type == 26 || type == 42 || IsTitleVariant(config_)) {
    gate = SelectPacketByFlash();
  } else if (IsPairProduct(config_.Name)) {
    gate = SelectPacketByHardware();
  }
  if (!gate) {
    log_.CloseRunLog();
    DeleteRunLog();
    view_.EnableStop(false);
    RequestEnd();
    return;
  }
  AddStatusLine("Check......completely", mtProgress);
  // The images may have changed since start-up: sizes and check values are taken again.
  ShowOptionSummary();
  // Behind the gate the modem is asked again right before the run (the compact window starts
  // without a poll): what a start refuses never reaches the engine.
  const bool accepted = !options_.startGate || ValidateAsStart(0) == 1;
  AfterBeginRun(accepted ? BeginRun(0) : 0);
}

void Controller::Reupdate1Click() {
  if (options_.checkOnly) return;
  // An engine that just failed may still be closing its ports.
  if (auto old = engines_[0]) {
    WaitEngineEnded(old);
    // Its end may be queued behind the very job that asked for this re-update.
    if (engines_[0] == old) RunEnded(0, old);
  }
  const std::string status = ReadRegString("DownloadStatus", "");
  const ReupdatePlan plan = PlanReupdate(status, !lastBackupFolder_.empty());
  // Refused before anything changes: the selection, the window and the next START stay as
  // they were.
  if (plan.refused) {
    view_.ShowReupdate(false);
    view_.Message(kNoReupdateBackupText, "Download", MessageKind::Warning);
    return;
  }
  backupDone_ = true;
  reupdateMode_ = true;
  afterRun_.StartBegins();
  // Each re-update skips from the full selection; the next START gets it back.
  if (fullSelection_)
    config_ = *fullSelection_;
  else
    fullSelection_ = config_;
  if (plan.statusWrong) {
    AddStatusLine("Status was wrong", mtError);
  } else {
    SkipReachedPhases(config_, plan.reached);
    // The engine restores from the backup of the run this repeats, as from a saved one.
    if (plan.reached >= 1) host_.SetSavedBackupSN(SNOfBackupFolder(lastBackupFolder_));
  }
  ShowOptionSummary();
  if (!log_.IsOpen()) OpenRunLog();
  PrepareRun("25");
  AddStatusLine("Check......completely", mtProgress);
  AfterBeginRun(BeginRun(0));
}

int Controller::FailValidation(const std::string& text, const std::string& caption) {
  view_.ShowWorking(false, true);
  ShowFailureLabel();
  view_.Message(text, caption, MessageKind::Warning);
  return 0;
}

int Controller::ShowRefusal(const StartRefusal& refusal) {
  if (refusal.text.empty()) return 0;  // a port still busy with a run: nothing to say
  if (gate_) gate_->shown = refusal;  // the gate's next poll need not tell it again
  if (refusal.plain) {
    view_.Message(refusal.Message(), refusal.caption, MessageKind::Plain);
    return 0;
  }
  return FailValidation(refusal.Message(), refusal.caption);
}

std::optional<StartRefusal> Controller::RunRefusalOf(SlotPorts& ports) const {
  const auto& c = config_;
  // A failed configuration read or image check must never let a run begin: the missing
  // image would only be found after the modem was half written.
  if (!configOk_ || !imagesOk_ || (images_.lvFileList.empty() && !c.bBackup))
    return StartRefusal{"No Image File Loaded!", "", "", true};
  const bool japanese = IsJapaneseType(c);
  const std::string title = TextsOf(VariantOf(c)).title;
  const PortLists lists = ports_.Lists();
  if (lists.PortCBox.items.empty())
    return japanese ? StartRefusal{"ポートが見つかりません。", title} : StartRefusal{"Port is empty", "Download"};
  if (!reupdateMode_ && lists.SerialPortCBox.items.empty())
    return StartRefusal{"Serial Port was not found.", "Download"};
  if (DistinctPorts(lists.PortCBox.items) >= 2)
    return japanese ? StartRefusal{"複数のデバイスが見つかりました。", title}
                    : StartRefusal{"Two or more devices were found", "Warning"};

  ports.diag = ParsePortNumber(lists.PortCBox.SelectedText());
  if (!lists.AppPortCBox.items.empty()) ports.app = std::max(0, ParsePortNumber(lists.AppPortCBox.SelectedText()));
  const std::string atText = lists.SerialPortCBox.SelectedText();
  // A re-update may begin without a modem port (the modem can still be in its boot loader),
  // but when one is listed it takes it: it asks the modem who it is before it restores onto
  // it, and its restore talks to the modem over that port.
  const bool wantsAt =
      !c.IsPhoneType || c.PCSuiteImage || c.bBackup || c.bRestore || !c.StartATList.empty() || reupdateMode_;
  if (atText.size() > 3 && wantsAt) ports.at = ParsePortNumber(atText);
  if (ports.diag < 1 || ports.diag > 998 || ports.at < 0 || ports.at > 998)
    return StartRefusal{"Invalid port number", "Download"};
  if (diagBusy_[ports.diag]) return StartRefusal{};
  if ((c.PCSuiteImage || c.bBackup || c.bRestore) && ports.at > 0 && atBusy_[ports.at]) return StartRefusal{};

  if (c.bAppsBootloader || c.bAppsImageAndBootloader || c.bPhoneImage || c.bAMSSFile || c.bBackup ||
      c.bBootloader || c.bCfgdata || c.bEFS)
    return std::nullopt;
  if (!c.bRawAppsEFS && !c.bPartOfEFS && !c.PCSuiteImage && !c.bRestore)
    return StartRefusal{"No download option selected", "Download"};
  return std::nullopt;
}

int Controller::ValidateRun(int slot) {
  SlotPorts ports;
  if (const auto refusal = RunRefusalOf(ports)) return ShowRefusal(*refusal);
  slotPorts_[slot] = ports;
  return 1;
}

std::optional<int> Controller::QueryPlatform(const EngineConfig& cfg) {
  if (options_.queryPlatform) return options_.queryPlatform(cfg);
  return std::nullopt;
}

std::optional<StartRefusal> Controller::PlatformRefusalOf(int diagPort) {
  if (config_.PlatformName == kPlatformNotChecked) return std::nullopt;
  EngineConfig cfg;
  HandOverConfiguration(config_, cfg);
  cfg.ComPort = diagPort;
  const std::optional<int> id = QueryPlatform(cfg);
  if (!id || *id == config_.PlatformName) return std::nullopt;
  if (*id < 0) return StartRefusal{"Could not get platform type.", "Warning"};
  return StartRefusal{"Plantform type is not matched", "Warning",
                      " (the modem reports " + std::to_string(*id) + ", the packet is for " +
                          std::to_string(config_.PlatformName) + ")"};
}

std::optional<StartRefusal> Controller::StartRefusalOf(int) {
  SlotPorts ports;
  if (auto refusal = RunRefusalOf(ports)) return refusal;
  return PlatformRefusalOf(ports.diag);
}

int Controller::ValidateAsStart(int slot) {
  if (ValidateRun(slot) != 1) return 0;
  if (const auto refusal = PlatformRefusalOf(slotPorts_[slot].diag)) return ShowRefusal(*refusal);
  return 1;
}

std::optional<StartRefusal> Controller::GateRefusal(const PortLists& lists, const ModemFacts& modem, bool tell) {
  SlotPorts ports;
  std::optional<StartRefusal> refusal = RunRefusalOf(ports);
  // The platform is asked once per modem: the port it sits on and what its AT port told.
  const std::string key = lists.PortCBox.SelectedText() + "|" + lists.SerialPortCBox.SelectedText() + "|" +
                          modem.ModemVersion + "|" + modem.ModemHardware;
  if (!gate_ || gate_->modem != key) gate_ = GateMemo{key, false, std::nullopt, std::nullopt};
  if (!refusal) {
    if (!gate_->asked) {
      gate_->platform = PlatformRefusalOf(ports.diag);
      gate_->asked = true;
    }
    refusal = gate_->platform;
  }
  if (tell && refusal && !refusal->text.empty() && gate_->shown != refusal) {
    gate_->shown = refusal;
    view_.Message(refusal->Message(), refusal->caption, MessageKind::Warning);
  }
  return refusal;
}

int Controller::BeginRun(int slot) {
  const int result = ValidateRun(slot);
  if (result == 1) {
    EnterRunningState(slot);
    LaunchEngine(slot);
  }
  return result;
}

void Controller::EnterRunningState(int slot) {
  const SlotPorts& p = slotPorts_[slot];
  if (p.diag > 0) diagBusy_[p.diag] = true;
  if (p.at > 0) atBusy_[p.at] = true;
  view_.Progress(slot, 0, 100);
  SetStart(false);
  view_.EnableStop(true);
  view_.ShowStartArt(StartArt::Running);
  view_.ShowWorking(true, false);
  view_.EnablePortGroup(false);
  AddStatusLine("Syncing......", mtProgress);
}

void Controller::WaitEngineEnded(std::shared_ptr<TCommsThread> engine) {
  // Held by value: serving the queue may run RunEnded, which empties the slot this came from.
  // The engine may be waiting for this thread (a host call, a status line): keep serving.
  while (!engine->WaitFor(20)) owner_.RunPending(0);
  owner_.RunPending(0);
}

void Controller::CreateEngine(int slot) {
  if (auto old = engines_[slot]) {
    old->Stop();
    WaitEngineEnded(old);
    engines_[slot].reset();
  }
  if (!options_.makeEngine) return;
  auto engine = options_.makeEngine(host_);
  if (!engine) return;
  engines_[slot] = engine;
  EngineConfig& cfg = engine->cfg;
  HandOverConfiguration(config_, cfg);
  HandOverImages(images_, cfg);
  cfg.Index = slot;
  cfg.ComPort = slotPorts_[slot].diag;
  cfg.SerialComPort = slotPorts_[slot].at;
  cfg.BackupFilePath = options_.backupFolder;
  cfg.HexStartAddress = options_.hexStartAddress;
  cfg.SetAsideWrittenBackup = options_.setAsideWrittenBackup;
  engine->OnStatusText = [this](CommStatus, const std::string& text, int s, MESSAGE_TYPE kind) {
    if (s < 0 || s >= kSlots)
      AddStatusLine(std::string("Internal error found: ") + " Index value out of bounds", mtError);
    else
      AddStatusLine(text, kind);
  };
  engine->OnError = [this](const std::string& text, int) { AddStatusLine(text, mtError); };
  engine->OnProgress = [this](int position, int s, int maximum) {
    owner_.Post([this, position, s, maximum] { view_.Progress(s, position, maximum); });
  };
  std::weak_ptr<TCommsThread> weak = engine;
  engine->OnTerminate = [this, weak](int s) {
    owner_.Post([this, weak, s] {
      if (auto e = weak.lock()) RunEnded(s, e);
    });
  };
}

void Controller::LaunchEngine(int slot) {
  CreateEngine(slot);
  view_.ShowWorking(true, false);
  if (engines_[slot]) engines_[slot]->Resume();
}

void Controller::RunEnded(int slot, const std::shared_ptr<TCommsThread>& engine) {
  if (slot < 0 || slot >= kSlots || engines_[slot] != engine) return;  // already replaced
  engine->WaitFor(5000);
  lastErrorCode_ = engine->ErrorCode();
  lastNotPreserved_ = engine->core().run.NotPreserved;
  if (backupDone_ && !engine->core().run.BackupFolder.empty()) lastBackupFolder_ = engine->core().run.BackupFolder;
  engines_[slot].reset();
  gate_.reset();  // the modem was written: asked again before it is offered
  const SlotPorts p = slotPorts_[slot];
  if (p.diag > 0) diagBusy_[p.diag] = false;
  if (p.at > 0) atBusy_[p.at] = false;
  slotPorts_[slot] = {};
  view_.EnableStop(false);
  if (config_.ProjectType == 6 || IsTitleVariant(config_)) view_.EnableClose(true);
  view_.ShowStartArt(StartArt::Ended);
  view_.ShowWorking(false, false);
  view_.EnablePortGroup(true);
  bool passed = passed_ && resultState_ == 3 && lastErrorCode_ == 0;
  if (options_.checkRunEnd) {
    const int code = options_.checkRunEnd(slot, passed);
    if (passed && code == 0) RemovePassedRunLog();
    if (passed && code != 0) {
      passed = passed_ = false;
      lastErrorCode_ = code;
      resultState_ = 1;
      view_.SetResultState(1);
      ShowFailureLabel();
    }
  }
  if (!passed) view_.ShowReupdate(backupDone_ && !lastBackupFolder_.empty());
  view_.RunEnded(slot, passed, lastErrorCode_);
  if (destroyed_) return;
  if (closing_) {
    if (!AnyEngine()) EndAfterStoppedRun();
    return;
  }
  // Watch again for the next modem of a batch, or for this one replugged or given its serial
  // number; the compact window of type 41 never watches.
  if (options_.watchAfterRun && !endRequested_ && config_.ProjectType != 41) {
    afterRun_.RunEnded();
    if (passed && watcherRestartMark_) clock_.SleepMs(1000);
    watcherRestartMark_ = false;
    StartWatcher();
  } else if (passed && watcherRestartMark_) {
    clock_.SleepMs(1000);
    watcherRestartMark_ = false;
    StartWatcher();
  }
  if ((config_.bBackup || config_.PCSuiteImage) && statusText_.find("Complete") != std::string::npos &&
      AutotestMarkerExists()) {
    clock_.SleepMs(5000);
    StartClick();
  }
}

void Controller::StopClick() { StopRun(0); }

void Controller::StopRun(int slot) {
  AddStatusLine("Shutting down COMM...", mtProgress);
  if (engines_[slot]) engines_[slot]->Stop();
}

std::optional<CloseQuestion> Controller::CloseQuestionNow() const {
  if (!AnyEngine()) return std::nullopt;
  if (IsJapaneseType(config_))
    return CloseQuestion{"ダウンロード実行中です。終了しますか？", TextsOf(VariantOf(config_)).title, Question::YesNo,
                         Answer::Yes};
  return CloseQuestion{"There are tasks still downloading, do you want to terminate?", "Close", Question::OkCancel,
                       Answer::Ok};
}

bool Controller::FormCloseQuery() {
  const auto question = CloseQuestionNow();
  return !question || view_.Ask(question->text, question->caption, question->question) == question->closes;
}

bool Controller::CloseAnswered(bool confirmed) {
  if (!confirmed) return false;
  if (!AnyEngine()) return true;  // the update ended while the question stood
  if (closing_) return false;
  closing_ = true;
  StopWatcher();
  for (int slot = 0; slot < kSlots; ++slot)
    if (engines_[slot]) StopRun(slot);
  return false;
}

void Controller::EndAfterStoppedRun() {
  std::string text = "The update was stopped.\n\n";
  text += lastBackupFolder_.empty() ? "Backups are kept in:\n" + options_.backupFolder
                                    : "The backup of this modem is kept in:\n" + lastBackupFolder_;
  const std::string log = log_.LogFilePath();
  if (!log.empty()) text += "\n\nThe log of the update:\n" + log;
  view_.Message(text, "Close", MessageKind::Info);
  RequestEnd();
}

void Controller::FlashDestroy() {
  if (destroyed_) return;
  destroyed_ = true;
  if (monitor_) monitor_->Stop();
  host_.Close();
  for (auto& e : engines_)
    if (e) e->Stop();
  StopWatcher();
  for (auto& e : engines_)
    if (auto engine = e) WaitEngineEnded(engine);
  for (auto& e : engines_) e.reset();
  WriteRegistryValues();
  owner_.Shutdown();
  log_.CloseRunLog();
  if (options_.removeWorkFolders) options_.removeWorkFolders();
}

void Controller::Timer1Timer() {
  if (!timer1Enabled_ || startEnabled_) return;
  timer1Enabled_ = false;
  StopWatcher();
  const VariantTexts& texts = TextsOf(VariantOf(config_));
  view_.Message(texts.deviceNotFoundEnd, texts.title, MessageKind::Plain);
  RequestEnd();
}

void Controller::DeviceChanged(bool arrival, bool portRemoved) {
  host_.DeviceChangeSeen() = true;
  if (arrival) host_.DeviceArrivalSeen() = true;
  if (portRemoved) PortRemoved();
}

void Controller::PortRemoved() {
  afterRun_.ModemGone();
  if ((IsJapaneseType(config_) || config_.bCheckProjectCode) && !AnyEngine() && !destroyed_) StartWatcher();
}

void Controller::PostRebootRequest() {
  owner_.Post([this] {
    if (!destroyed_ && options_.rebootToBootloader) options_.rebootToBootloader();
  });
}

bool Controller::WatchDevices(DeviceMonitor& monitor) {
  monitor_ = &monitor;
  return monitor.Start([this](const DeviceEvent& event) {
    // The engine polls these while it waits for the modem to come back: raise them at once.
    host_.DeviceChangeSeen() = true;
    if (event.kind == DeviceEventKind::Arrival) {
      host_.DeviceArrivalSeen() = true;
    } else {
      owner_.Post([this] { PortRemoved(); });
    }
  });
}

// ---- device watcher ----

void Controller::StartWatcher() {
  StopWatcher();
  if (destroyed_) return;
  clock_.SleepMs(500);
  auto state = std::make_shared<Watcher>();
  watcher_ = state;
  const uint32_t interval = options_.watchIntervalMs;
  watcherThread_ = std::thread([this, state, interval] {
    while (!state->stop) {
      auto done = std::make_shared<std::promise<void>>();
      auto finished = done->get_future();
      if (!owner_.Post([this, state, done] {
            if (!state->stop) CheckDevice();
            done->set_value();
          }))
        break;
      // Wait for the poll to run, but never past a stop request: whoever stops the watcher
      // may be the very thread that would run the poll.
      while (!state->stop && finished.wait_for(std::chrono::milliseconds(20)) != std::future_status::ready) {
      }
      std::unique_lock lock(state->mutex);
      state->cv.wait_for(lock, std::chrono::milliseconds(interval), [&] { return state->stop.load(); });
    }
  });
}

void Controller::RequestWatcherStop() {
  if (!watcher_) return;
  watcher_->stop = true;
  watcher_->cv.notify_all();
}

void Controller::StopWatcher() {
  RequestWatcherStop();
  if (watcherThread_.joinable()) watcherThread_.join();
  watcher_.reset();
}

bool Controller::WatcherRunning() const { return watcher_ && !watcher_->stop; }

int Controller::CheckDevice() {
  ++polls_;
  ports_.RefreshPortLists();
  const PortLists lists = ports_.Lists();
  view_.ShowPorts(lists);
  const ModemFacts modem = ports_.Facts();
  DeviceFacts facts{lists.PortCBox.SelectedText(), lists.SerialPortCBox.SelectedText(),
                    static_cast<int>(DistinctPorts(lists.PortCBox.items)), modem.ModemVersion, modem.ModemFlashId,
                    modem.ModemFlashInfo, modem.ModemHardware};
  // A check starts no program and writes nothing: the installer counts as done there.
  const bool helpers = !options_.checkOnly;
  const DeviceCheckResult r = zovir::CheckDevice(config_, facts, [this, helpers] {
    if (!helpers || !options_.runDriverInstaller) return 1;
    return options_.runDriverInstaller(HelperFolder());
  });
  if (r.resetInstallerFlag && helpers && options_.resetDriverInstallerFlag)
    options_.resetDriverInstallerFlag(HelperFolder());
  if (!r.changeWindow) return r.returnValue;
  if (lists.PortCBox.items.empty()) {
    afterRun_.ModemGone();
    gate_.reset();
  }
  if (afterRun_.Waiting()) {
    // The finished run's result and serial number stay on screen until the next START; only
    // a modem that may be started turns START on, and only its refusal is shown.
    const bool allowed = afterRun_.StartAllowed(!view_.ReadSNEntry().empty());
    const bool ready = r.ready && !(options_.startGate && GateRefusal(lists, modem, allowed));
    lastPollReady_ = ready;
    ShowStartAfterRun(ready && allowed);
    if (allowed && !r.message.empty()) view_.Message(r.message, "Warning", MessageKind::Warning);
    if (allowed && r.stopWatcher) RequestWatcherStop();
    return r.returnValue;
  }
  const bool japanese = IsJapaneseType(config_);
  const std::optional<StartRefusal> refusal =
      r.ready && options_.startGate ? GateRefusal(lists, modem, true) : std::nullopt;
  const bool ready = r.ready && !refusal;
  lastPollReady_ = ready;
  if (refusal && !refusal->text.empty()) {
    // What does not fit, where "Ready" would stand; the status bar has the whole text.
    statusText_ = refusal->text;
    view_.SetStatusLabel(statusText_, {LabelColor::Red, japanese});
    view_.SetStatusBar(refusal->Message());
  } else {
    statusText_ = ready ? (japanese ? "準備完了" : "Ready") : (japanese ? "準備中" : "Not Ready");
    view_.SetStatusLabel(statusText_, {LabelColor::Black, japanese});
  }
  if (r.setVersionLabel) view_.SetVersionLabel(r.versionLabel);
  SetStart(ready);
  if (r.disableTimer1) timer1Enabled_ = false;
  if (r.setRestartMark) watcherRestartMark_ = true;
  view_.ShowStartArt(StartArt::Idle);
  if (!r.message.empty()) view_.Message(r.message, "Warning", MessageKind::Warning);
  // A refusal ends the watcher after this poll; it is never joined from inside its own poll.
  if (r.stopWatcher) RequestWatcherStop();
  return r.returnValue;
}

void Controller::ShowStartAfterRun(bool enabled) {
  if (enabled == startEnabled_) return;
  SetStart(enabled);
  view_.ShowStartArt(enabled ? StartArt::Idle : StartArt::Ended);
}

void Controller::SNEntryChanged() {
  if (!afterRun_.Waiting() || AnyEngine() || destroyed_) return;
  ShowStartAfterRun(lastPollReady_ && afterRun_.StartAllowed(!view_.ReadSNEntry().empty()));
}

std::string Controller::HelperFolder() {
  const std::string folder = options_.helperFolder.empty() ? options_.workFolder : options_.helperFolder;
  // A packet given from outside keeps its helper programs where they are: a copy in the
  // private folder is what runs, with the Config.ini the installer reports into.
  if (!helpersStaged_ && folder != imageFolder_) {
    helpersStaged_ = true;
    try {
      CreateFolderPath(folder);
    } catch (const StartupError& e) {
      AddStatusLine(e.what(), mtProgress);
    }
    for (const char* name : {kDriverInstallerProgram, "Config.ini"}) {
      const std::string error = StageFile(imageFolder_ + "/" + name, folder + "/" + name);
      if (!error.empty()) AddStatusLine(error, mtProgress);
    }
  }
  return folder;
}

// ---- packet selection ----

void Controller::SwitchToSecondPacket(bool reread) {
  if (reread) {
    ViewSink sink(view_, [this](const std::string& l) { AddStatusLine(l, mtProgress); });
    // The re-read starts from the current model: the second packet's name and version and the
    // values behind a condition that is now off keep what they held.
    ProjectConfiguration second = config_;
    configOk_ = zovir::ReadProjectConfiguration(second, options_.secondPacketFolder + "/Config.ini", sink);
    config_ = second;
    ports_.Configure(config_);
    view_.SetTitle(config_.Caption, true);
  }
  SetImageFolder(options_.secondPacketFolder);
  ShowOptionSummary();
}

bool Controller::ApplyPacketDecision(const PacketDecision& d) {
  for (const auto& line : d.logLines) AddStatusLine(line, mtProgress);
  if (!d.Accepted()) {
    view_.Message(d.message, d.caption, MessageKind::Warning);
    if (d.requestEnd) RequestEnd();
    return false;
  }
  if (d.choice == PacketChoice::SwitchReread) SwitchToSecondPacket(true);
  if (d.choice == PacketChoice::SwitchKeepConfig) SwitchToSecondPacket(false);
  return true;
}

bool Controller::SelectPacketByHardware() {
  return ApplyPacketDecision(zovir::SelectPacketByHardware(config_, ports_.Facts().ModemHardware));
}

bool Controller::SelectPacketByFlash() {
  const ModemFacts m = ports_.Facts();
  DeviceFacts facts;
  facts.ModemVersion = m.ModemVersion;
  facts.ModemFlashId = m.ModemFlashId;
  facts.ModemFlashInfo = m.ModemFlashInfo;
  facts.ModemHardware = m.ModemHardware;
  return ApplyPacketDecision(zovir::SelectPacketByFlash(config_, facts));
}

}  // namespace zovir
