#pragma once
#include <array>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "config/device_check.h"
#include "config/image_check.h"
#include "config/project_configuration.h"
#include "discovery/owner_thread.h"
#include "engine/tcomms_thread.h"
#include "platform/clock.h"
#include "platform/device_monitor.h"
#include "platform/key_value_store.h"
#include "ui/engine_host_served.h"
#include "ui/run_log.h"
#include "ui/view.h"

namespace zovir {

// The settings-store section of the tool's own values.
inline constexpr const char* kRegistryKey = "Software\\Dravik\\Quorvel_ZOVIR";
// The tool's version: the first line of every run log.
inline constexpr const char* kToolVersion = "1.3.5.0";
// A re-update asked for when this session saw no backup of the run it would repeat (the
// tool was started again since): its files could be another modem's.
inline constexpr const char* kNoReupdateBackupText =
    "The backup of the interrupted update is not known to this session: start a new update.";
// The question before an update of project types 27 and 28.
inline constexpr const char* kStartQuestionText =
    "他のアプリケーションをすべて終了して下さい。電源アダプタを接続し、PCのサスペンド又は、シャットダウンを絶対にしないで下さい。"
    "ソフトウェアのアップデートを開始しますか？";

// The number after "COM" (every digit of it), or -1 when the text is not "COM" + digits.
int ParsePortNumber(const std::string& text);

// The serial number a backup folder "SN[...]" was named after; empty for any other folder.
std::string SNOfBackupFolder(const std::string& folder);

// What a re-update does with the milestone the last run stored ("DownloadStatus").
struct ReupdatePlan {
  int reached = 0;          // phases done: 1 backup ... 6 EFS; 0 the full selection
  bool statusWrong = false;  // no milestone to resume from: "Status was wrong", full selection
  bool refused = false;      // it would resume from a backup this session never saw
};
ReupdatePlan PlanReupdate(const std::string& status, bool backupKnown);
// Clears the download items of the phases `reached` covers.
void SkipReachedPhases(ProjectConfiguration& config, int reached);

// START after a run has ended: the watcher polls again, but the modem just finished is not
// started a second time by accident. Its result stays on screen, START stays off until a
// modem arrives after it (a new one, or the same one unplugged and plugged in again), or the
// user typed the serial number the run asked for. The next START ends the wait.
class StartAfterRun {
 public:
  void RunEnded() {
    waiting_ = true;
    gone_ = false;
  }
  void StartBegins() { waiting_ = false; }
  // The finished modem's port went away (a removal, or a poll that found no modem).
  void ModemGone() {
    if (waiting_) gone_ = true;
  }
  // Whether a run's result is on screen: polls then leave the labels alone.
  bool Waiting() const { return waiting_; }
  // Whether START may come on for a ready modem while waiting.
  bool StartAllowed(bool snTyped) const { return !waiting_ || gone_ || snTyped; }

 private:
  bool waiting_ = false;
  bool gone_ = false;
};

// The configured platform code that asks for no platform check.
inline constexpr int kPlatformNotChecked = 255;

// Why a START would not begin with the modem attached now: `text` as a message shows it (with
// `detail` after it), `caption` its title. An empty text: a port is still busy with a run.
struct StartRefusal {
  StartRefusal() = default;
  StartRefusal(std::string t, std::string c, std::string d = {}, bool p = false)
      : text(std::move(t)), caption(std::move(c)), detail(std::move(d)), plain(p) {}
  std::string text, caption, detail;
  bool plain = false;  // a plain message, without the failure label
  std::string Message() const { return text + detail; }
  bool operator==(const StartRefusal&) const = default;
};

// The question closing the window asks while an update runs, and the answer that closes.
struct CloseQuestion {
  std::string text, caption;
  Question question = Question::OkCancel;
  Answer closes = Answer::Ok;
};

// Makes the engine of one run; the controller fills its configuration and callbacks.
using EngineMaker = std::function<std::shared_ptr<TCommsThread>(EngineHost& host)>;

struct ControllerOptions {
  std::string workFolder;          // the image folder at start
  std::string secondPacketFolder;  // the second packet of a two-packet tool
  std::string backupFolder;        // root of the backups handed to the engine
  std::string logFolder;           // where run logs are written
  std::string autotestMarker;      // the automatic-test marker file
  KeyValueStore* store = nullptr;  // null: no values are kept
  EngineMaker makeEngine;
  // Project types 6, 19, 20, 42: the driver installer of the image folder (1: succeeded) and
  // the reset of its flag when no modem is present.
  std::function<int(const std::string& imageFolder)> runDriverInstaller;
  std::function<void(const std::string& imageFolder)> resetDriverInstallerFlag;
  // The bootloader-reboot request (see RebootRequestListener): runs on the controller's thread.
  std::function<void()> rebootToBootloader;
  // Window destruction: removes the work folders (the backup folder stays).
  std::function<void()> removeWorkFolders;
  // Only checks (configuration, images, the modem): no update starts, no helper program runs,
  // nothing is written to a packet, a modem or the kept values.
  bool checkOnly = false;
  // The tool's private work folder: the only place helper programs are run from (a packet's
  // own copy is staged there first). Empty: the work folder above.
  std::string helperFolder;
  uint32_t watchIntervalMs = 2000;
  // The window watches again after a run (the next modem of a batch); a front end that ends
  // with its run leaves the watcher stopped.
  bool watchAfterRun = false;
  // Handed to each engine (EngineConfig::SetAsideWrittenBackup): the user chose to go on
  // without restoring a backup after which the modem was written.
  bool setAsideWrittenBackup = false;
  uint32_t hexStartAddress = 0;
  // START comes on only for a modem a start would accept (ValidateAsStart: the start's own
  // validation and the platform the modem reports), checked at each poll that finds it ready;
  // what does not fit is named. Off: a ready poll enables START as the device check says.
  bool startGate = false;
  // Asks the modem on `cfg.ComPort` for its platform code (-1: no answer). Empty: the
  // platform is not checked before a start (the engine's own check still asks it).
  std::function<int(const EngineConfig& cfg)> queryPlatform;
  // Converts an Intel-HEX image the image check finds (hex path, binary path) and returns the
  // start address it chose; empty: hex images are not converted.
  std::function<uint32_t(const std::string& hexPath, const std::string& binPath)> convertHex;
  // Asked on the controller's thread when a run has ended, before a PASS removes its run log and
  // before the view hears of the end: a check of the modem after the engine's PASS returns 0 when
  // it agrees, or the error code that fails the run (its run log then stays, as after any
  // failure). Empty: a PASS removes its run log at once.
  std::function<int(int slot, bool passed)> checkRunEnd;
};

// The main window's logic without a window: start, re-update, validation, the engine of
// slot 0 and its status lines, the run log, the device watcher, the kept values, closing.
//
// Usage (a front end, on one thread, the controller's):
//
//   Controller c(view, ports, clock, options);      // binds the controller's thread
//   c.ReadConfiguration(workFolder + "/Config.ini");
//   c.ReadRegistryValues(); c.ShowOptionSummary();    // the image checks
//   c.StartWatcher();                                 // or c.CheckDevice() once
//   while (!ready) c.Pump(100);                       // view.EnableStart(true) tells
//   c.StartClick();                                   // the run starts (or view.Message says why not)
//   while (c.Running()) c.Pump(100);                  // serves the engine; view.RunEnded tells the result
//   c.StopClick();                                    // the user's Stop, any time
//   c.Timer1Timer();                                  // 20 s after start-up when Timer1Enabled()
//   if (c.FormCloseQuery()) c.FlashDestroy();         // stops engines, keeps values, removes folders
//
// Engines and the watcher post their work to the controller's thread; nothing reaches the
// view unless the front end pumps.
class Controller {
 public:
  static constexpr int kSlots = 8;

  Controller(View& view, ControllerPorts& ports, Clock& clock, ControllerOptions options);
  ~Controller();
  Controller(const Controller&) = delete;
  Controller& operator=(const Controller&) = delete;

  // Serves the queued work of engines and watcher; with `waitMs` first waits that long for
  // some. Returns how many jobs ran.
  int Pump(int waitMs = 0);

  // Configuration and image checks.
  bool ReadConfiguration(const std::string& configPath);
  void SetConfiguration(const ProjectConfiguration& config, bool readOk);
  bool ShowOptionSummary();
  void SetImageFolder(const std::string& folder);
  // The user chose another image folder: the file list is rebuilt by a new check there.
  bool ImageFolderSelected(const std::string& folder);
  // The result of an image check run elsewhere (a front end that checked a packet itself).
  void SetImageCheck(const ImageFolderState& state, bool passed) {
    images_ = state;
    imagesOk_ = passed;
  }

  // Registry values.
  int ReadRegInteger(const std::string& name, int defaultValue);
  std::string ReadRegString(const std::string& name, const std::string& defaultValue);
  void ReadRegistryValues();
  void WriteRegistryValues();

  // Handlers.
  void StartClick();
  void Reupdate1Click();
  // The user edited the serial-number field: START follows it while a run's result is shown.
  void SNEntryChanged();
  void StopClick();
  bool FormCloseQuery();
  // Closing as a window does it, in two steps so that the question can stand while the engine
  // goes on being served: the question to ask (none while no update runs), then the answer.
  // True: close now. A confirmed close during an update stops it where it stands (the engine
  // never begins a further phase after a stop); once it ended the window is told where its
  // log and backups are and asked to end (View::RequestEnd).
  std::optional<CloseQuestion> CloseQuestionNow() const;
  bool CloseAnswered(bool confirmed);
  // A confirmed close waits for the update to end.
  bool Closing() const { return closing_; }
  void FlashDestroy();
  void Timer1Timer();
  void EnableTimer1(bool on) { timer1Enabled_ = on; }
  // The device-change message: any change, an arrival, a removed port. On the controller's thread.
  void DeviceChanged(bool arrival, bool portRemoved);
  // Feeds the device-change flags from `monitor` (at once, from its thread) and hands removals
  // to the controller's thread. The monitor is stopped by FlashDestroy and must outlive it.
  bool WatchDevices(DeviceMonitor& monitor);
  // Another program asked for the bootloader reboot (any thread); it runs on the controller's
  // thread at the next Pump.
  void PostRebootRequest();

  // Rescans the ports and shows the lists.
  void DiscoverPorts();
  // Asks the front end to leave its loop at the next opportunity.
  void RequestEnd();
  void SetStartEnabled(bool enabled) { SetStart(enabled); }

  // Steps of a run (slot 0 in this program).
  int ValidateRun(int slot);
  // What a START would refuse now, shown nowhere: the start's own validation (ValidateRun) and
  // the platform the modem reports over its diagnostic port. Nothing is written to the modem.
  std::optional<StartRefusal> StartRefusalOf(int slot);
  // The same as a check (zovir-cli check) and the window's gate: 1 when a START would begin;
  // otherwise its refusal is shown as ValidateRun shows it, 0.
  int ValidateAsStart(int slot);
  int BeginRun(int slot);
  void EnterRunningState(int slot);
  void CreateEngine(int slot);
  void LaunchEngine(int slot);
  void StopRun(int slot);
  // The single receiver of status lines, from any thread.
  void AddStatusLine(const std::string& text, int kind);

  // The device watcher.
  void StartWatcher();
  void StopWatcher();
  bool WatcherRunning() const;
  // One poll of the device check, on the controller's thread.
  int CheckDevice();
  // The start gate's packet choices.
  bool SelectPacketByHardware();
  bool SelectPacketByFlash();

  // State.
  bool Running() const;
  bool EndRequested() const { return endRequested_; }
  bool CheckOnly() const { return options_.checkOnly; }
  int ResultState() const { return resultState_; }
  bool BackupDone() const { return backupDone_; }
  bool ReupdateMode() const { return reupdateMode_; }
  // The backup folder of the last run that reported its backup (what a re-update restores).
  const std::string& LastBackupFolder() const { return lastBackupFolder_; }
  bool DiagPortBusy(int port) const { return port > 0 && port < 999 && diagBusy_[port]; }
  bool AtPortBusy(int port) const { return port > 0 && port < 999 && atBusy_[port]; }
  bool StartEnabled() const { return startEnabled_; }
  // Device polls run so far (the watcher's or a direct CheckDevice).
  int Polls() const { return polls_; }
  bool Timer1Enabled() const { return timer1Enabled_; }
  const std::string& StatusText() const { return statusText_; }
  const std::string& ImageFolder() const { return imageFolder_; }
  ProjectConfiguration& config() { return config_; }
  ImageFolderState& images() { return images_; }
  RunLog& log() { return log_; }
  ServedEngineHost& host() { return host_; }
  int LastErrorCode() const { return lastErrorCode_; }
  // The identity values the last run's backup left out, as the packet chose.
  const std::vector<std::string>& LastNotPreserved() const { return lastNotPreserved_; }
  // Whether the last configuration read and the last image check succeeded.
  bool ConfigurationOk() const { return configOk_; }
  bool ImagesOk() const { return imagesOk_; }

 private:
  struct Watcher;
  struct SlotPorts {
    int diag = 0, app = 0, at = 0;
  };

  void PortRemoved();
  std::string HelperFolder();
  void ApplyStatusLine(const std::string& text, int kind);
  void RunEnded(int slot, const std::shared_ptr<TCommsThread>& engine);
  void WaitEngineEnded(std::shared_ptr<TCommsThread> engine);
  int FailValidation(const std::string& text, const std::string& caption);
  int ShowRefusal(const StartRefusal& refusal);
  std::optional<StartRefusal> RunRefusalOf(SlotPorts& ports) const;
  std::optional<StartRefusal> PlatformRefusalOf(int diagPort);
  std::optional<int> QueryPlatform(const EngineConfig& cfg);
  // The gate of one ready poll: the refusal, shown once per modem when `tell`.
  std::optional<StartRefusal> GateRefusal(const PortLists& lists, const ModemFacts& modem, bool tell);
  void ShowFailureLabel();
  void EndAfterStoppedRun();
  void CloseProbePortLogged(const char* tag);
  void PrepareRun(const char* tag);
  void AfterBeginRun(int result);
  void OpenRunLog();
  void DeleteRunLog();
  void RemovePassedRunLog();
  std::string RunLogFolder() const;
  void RemoveVariantLogFolder();
  bool AutotestMarkerExists() const;
  void SwitchToSecondPacket(bool reread);
  bool ApplyPacketDecision(const PacketDecision& decision);
  void RequestWatcherStop();
  std::string LogStamp();
  void SetStart(bool enabled);
  void ShowStartAfterRun(bool enabled);
  bool AnyEngine() const;

  View& view_;
  ControllerPorts& ports_;
  Clock& clock_;
  ControllerOptions options_;
  QueuedOwnerThread owner_;
  ServedEngineHost host_;
  RunLog log_;

  ProjectConfiguration config_;
  bool configOk_ = false;
  ImageFolderState images_;
  bool imagesOk_ = false;
  std::string imageFolder_;
  std::string optionSummary_;

  std::array<std::shared_ptr<TCommsThread>, kSlots> engines_{};
  std::array<SlotPorts, kSlots> slotPorts_{};
  std::array<bool, 999> diagBusy_{};
  std::array<bool, 999> atBusy_{};
  int resultState_ = 0;
  bool backupDone_ = false;
  bool reupdateMode_ = false;
  bool reupdateAnswered_ = false;  // the question after a failure started a re-update
  bool startEnabled_ = false;
  bool timer1Enabled_ = false;
  bool watcherRestartMark_ = false;
  bool endRequested_ = false;
  bool destroyed_ = false;
  bool closing_ = false;
  bool passed_ = false;
  bool helpersStaged_ = false;
  int lastErrorCode_ = 0;
  std::vector<std::string> lastNotPreserved_;
  std::string statusText_;
  std::string lastBackupFolder_;
  // The full download selection while a re-update runs with the phases it skips cleared.
  std::optional<ProjectConfiguration> fullSelection_;
  StartAfterRun afterRun_;
  bool lastPollReady_ = false;
  // The modem the gate last asked for its platform, and what it found.
  struct GateMemo {
    std::string modem;
    bool asked = false;
    std::optional<StartRefusal> platform;
    std::optional<StartRefusal> shown;
  };
  std::optional<GateMemo> gate_;
  int polls_ = 0;

  DeviceMonitor* monitor_ = nullptr;
  std::shared_ptr<Watcher> watcher_;
  std::thread watcherThread_;
};

}  // namespace zovir
