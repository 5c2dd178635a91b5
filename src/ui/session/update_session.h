#pragma once
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "config/message_sink.h"
#include "discovery/usb_boot.h"
#include "discovery/version_query.h"
#include "platform/device_enumerator.h"
#include "platform/host_platform.h"
#include "platform/key_value_store.h"
#include "platform/processes.h"
#include "platform/system_paths.h"
#include "platform/system_services.h"
#include "platform/usb_bulk.h"
#include "ui/controller.h"
#include "ui/payload.h"
#include "ui/session/run_history.h"
#include "ui/session/update_guard.h"
#include "ui/startup.h"
#include "ui/work_folders.h"

namespace zovir::session {

// Error codes of the session's own checks after the engine's PASS, above the range of the
// system's error numbers.
inline constexpr int kErrVersionMismatch = 1001;
inline constexpr int kErrVirtualContents = 1002;

// What an error code of a result means: the engine's codes and the session's own.
std::string ErrorText(int code);

// The modem restarts into its new firmware before the restore; its AT port may still be busy
// coming up when the version is asked.
inline constexpr int kVersionAttemptsAfterUpdate = 5;

// The backup folder a run that did not pass left for a later restore: the newest "SN[...]"
// folder of the backup root written since the run began. With several slots side by side the
// newest folder may be another slot's, so none is named then.
std::string KeptBackup(const std::string& root, std::chrono::system_clock::time_point since, bool oneSlot);

struct SessionOptions {
  std::string packet;     // an unpacked packet folder instead of the one the program carries
  bool keepWork = false;  // the work folder stays on disk
};

// Why a session cannot begin; the front end shows `text` (under `caption`) and ends.
struct SessionRefusal {
  enum class Kind { AnotherCopy, NoPacketFolder, NoConfig, NoPayload, Folders } kind;
  std::string caption;
  std::string text;
};

// One start of a front end, whichever it is: the single-instance lock, the work folders, the
// packet and its configuration file, the desktop's services, the start-up steps that unpack
// what the program carries, and the history of runs. Each controller of the session gets a
// SessionSlot, which surrounds its runs.
class UpdateSession {
 public:
  // `services` null: the system's own.
  explicit UpdateSession(std::unique_ptr<SystemServices> services = nullptr);
  ~UpdateSession();
  UpdateSession(const UpdateSession&) = delete;
  UpdateSession& operator=(const UpdateSession&) = delete;

  std::optional<SessionRefusal> Open(const SessionOptions& options);

  const SystemPaths& paths() const { return paths_; }
  Processes& processes() { return *processes_; }
  WorkFolders& folders() { return *folders_; }
  SystemServices& services() { return *services_; }
  bool embedded() const { return embedded_; }
  const std::string& imageFolder() const { return imageFolder_; }
  const std::string& configPath() const { return configPath_; }

  // The start-up steps of the first controller: the payload unpacked once the configuration was
  // read, the second packet, and the USB boot download (`note` gets its lines). Messages go to
  // `sink`, which must outlive the start-up.
  void FillStartupSteps(StartupSteps& steps, std::function<Controller&()> first, MessageSink& sink, Clock& clock,
                        std::function<void(const std::string&)> note);
  // An unpacking failed: the program must end, as with a configuration error.
  bool PayloadFailed() const { return payloadFailed_; }
  // Whether start-up began a USB boot download (the packet carries its loader).
  bool UsbBootRunning() const { return usbBootRunning_; }
  // Stops a USB boot download start-up began; true when one ran.
  bool StopUsbBoot();

  // The history this session's runs go to.
  const RunHistory& history() const { return history_; }
  void Record(int slot, const std::string& device, const RunResult& result) const;

 private:
  std::unique_ptr<SystemServices> services_;
  SystemPaths paths_;
  std::unique_ptr<Processes> processes_;
  std::unique_ptr<SingleInstance> instance_;
  std::unique_ptr<WorkFolders> folders_;
  Payload payload_;
  bool embedded_ = false;
  bool payloadFailed_ = false;
  bool usbBootRunning_ = false;
  std::string imageFolder_;
  std::string configPath_;
  RunHistory history_{""};
  std::unique_ptr<UsbBulk> usb_;
  std::unique_ptr<KeyValueStore> driverInfo_;
  std::unique_ptr<UsbBootDownload> usbBoot_;
};

// What one run of a slot was, as the session saw it around the engine.
struct RunRecord {
  bool started = false;
  std::chrono::system_clock::time_point startedAt{};
  std::string device;  // "usb <path>", "virtual <port>" or the diagnostic port
  std::string usbSystemPath;
  std::string packetVersion;
  std::string firmwareBefore, firmwareAfter;
  std::string verification = "not checked";  // "verified", "version mismatch", "not checked"
  std::string verificationNote;              // why it was not checked
  std::string serialNumber;
  std::string logPath;
  // What the packet did not keep, as the engine named it (taken at the run's end: the
  // controller may be gone when the result is read).
  std::vector<std::string> notPreserved;
  bool passed = false;  // after the session's check
  int errorCode = 0;    // after the session's check
  bool ended = false;
};

// One line that says how the firmware check of a run came out ("verified: ...", "version
// mismatch: ..."); empty when nothing was checked and nothing is to be said.
std::string VerificationText(const RunRecord& record);

// How a slot sits in the session.
struct SlotWiring {
  int index = 0;
  SerialPortFactory* serial = nullptr;  // the slot's serial ports (the version query)
  DeviceEnumerator* usb = nullptr;      // the host's ports: the USB device of the modem's port
  bool virtualModem = false;
  bool oneSlot = true;         // the only slot writing to the backup root
  bool recordHistory = true;   // each run's end goes to the history at once
  // Told on the controller's thread when a run has ended and was checked.
  std::function<void(const RunRecord&)> runChecked;
};

// Surrounds every run of one controller: from before its engine opens a port until the run
// has ended the desktop's services are held off (UpdateGuard); a PASS is checked against the
// packet's firmware version before anything of the run is cleaned up, so that a mismatch keeps
// the run log and the backup as any failure does; each end goes to the history.
class SessionSlot {
 public:
  SessionSlot(UpdateSession& session, SlotWiring wiring, Clock& clock);
  ~SessionSlot();
  SessionSlot(const SessionSlot&) = delete;
  SessionSlot& operator=(const SessionSlot&) = delete;

  // Makes `options` build engines with `phases` inside this slot and check each run's end.
  void Wire(ControllerOptions& options, PhaseFactory phases);
  // The controller made with those options; before its first run.
  void Bind(Controller& controller, ControllerPorts& ports);

  // What the run about to start will be reported as (the modem's ports and firmware now); a
  // front end that shows them before the start calls it, otherwise the start does.
  const RunRecord& PrepareRun();
  // The firmware version the modem's AT port reports now (up to `attempts` asks). Runs on the
  // controller's thread, so the device watcher's probe never shares the port.
  VersionAnswer ReadFirmwareVersion(int attempts = 1);
  const RunRecord& last() const { return last_; }
  bool GuardHeld() const { return guard_.has_value(); }
  // The run's result as the history and the front ends give it.
  RunResult ResultOf(const RunRecord& record) const;

 private:
  struct HeldDeletions;
  std::shared_ptr<TCommsThread> MakeEngine(EngineHost& host);
  int CheckRunEnd(bool passed);

  UpdateSession& session_;
  SlotWiring wiring_;
  Clock& clock_;
  PhaseFactory phases_;
  EngineMaker inner_;
  Controller* controller_ = nullptr;
  ControllerPorts* ports_ = nullptr;
  RunRecord last_;
  bool prepared_ = false;
  std::optional<UpdateGuard> guard_;
  std::shared_ptr<HeldDeletions> held_;
  std::weak_ptr<TCommsThread> engine_;
};

}  // namespace zovir::session
