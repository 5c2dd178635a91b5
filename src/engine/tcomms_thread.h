#pragma once
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/engine_core.h"
#include "engine/phases.h"
#include "link/link.h"

namespace zovir {

// The collaborators of one run. The factory that builds them may keep whatever they need
// (NV tables, file handles, ...) in a subclass; the set lives exactly as long as the engine.
struct PhaseSet {
  virtual ~PhaseSet() = default;
  EnginePhases phases;
};
using PhaseFactory = std::function<std::unique_ptr<PhaseSet>(EngineCore&, Link&)>;

// Called on the engine's thread once Execute has returned and both ports are closed. A
// receiver that needs the window's thread must post the work there and must not wait for
// the owner (the owner may itself be waiting for this engine to end). It may drop a
// std::shared_ptr to the engine, but must not destroy an engine that is owned otherwise.
using TerminateCallback = std::function<void(int slot)>;

// Folder name of a run's backup inside the backup root: "SN[<serial>]" when the serial number
// was read, otherwise "Default". Never empty (an empty name would make the root itself the
// backup folder), and never able to leave the root: CR, LF and double quotes are dropped,
// path separators and other control characters become '_'.
std::string BackupFolderName(const EngineRunState& run);

// "YYYYMMDD-HHMMSS" (UTC) of a wall-clock time in seconds since the epoch.
std::string FormatFolderStamp(int64_t wallSeconds);

// True when `path` names something strictly below the folder `root` (".." and symbolic links
// resolved as far as they exist). An empty root contains nothing.
bool IsStrictlyBelow(const std::string& root, const std::string& path);

// One update of one modem on its own thread.
//
// Life cycle: construct (suspended), fill `cfg` and the callbacks, then Resume(). Stop() may
// be called from any thread at any time. When the object is owned by a std::shared_ptr the
// running thread keeps it alive until it has ended, so the owner may drop its reference at
// any point ("frees itself"); the clock, the port factory and the host passed in must outlive
// the run, i.e. stay valid until OnTerminate fired or WaitFor returned true. Destroying the
// object from another thread while it runs stops the run and joins the thread.
class TCommsThread : public std::enable_shared_from_this<TCommsThread> {
  // First, so that the public references below bind to a constructed core.
  EngineCore core_;

 public:
  TCommsThread(Clock& clock, SerialPortFactory& ports, EngineHost* host, PhaseFactory phases);
  ~TCommsThread();
  TCommsThread(const TCommsThread&) = delete;
  TCommsThread& operator=(const TCommsThread&) = delete;

  // Set these before Resume(); the engine thread reads them without locking.
  EngineConfig& cfg;
  StatusTextCallback& OnStatusText;
  ErrorCallback& OnError;
  ProgressCallback& OnProgress;
  TerminateCallback OnTerminate;

  // Starts the thread (once; later calls return false) at one priority step above normal
  // where the system permits it.
  bool Resume();
  // The window's Stop: 210 unless a failure came first. Seen by every wait within ~100 ms.
  bool Stop() { return core_.RequestStop(); }
  // Waits up to `ms` milliseconds of real time for the end of the run (OnTerminate has
  // returned) and joins the thread. True when the thread has ended, or was never started.
  bool WaitFor(uint32_t ms);
  bool Started() const;
  bool Finished() const;

  int ErrorCode() const { return core_.ErrorCode.load(); }
  EngineCore& core() { return core_; }
  Link& link() { return link_; }

  // The thread body: the whole phase sequence, once. Public so that a front end without
  // threads (or a test) can run an engine synchronously; never call it while the thread runs.
  void Execute();

 private:
  void ThreadMain(std::shared_ptr<TCommsThread> keepAlive);

  // The phase sequence; false when it ended early (an "end": ports closed, no "PASS").
  bool RunSequence();
  bool CheckSavedBackup();
  void StartRun();
  void OpenModemPortIfNeeded();
  void CheckPlatform();
  void SetDiskMode();
  bool Backup();
  bool BackupBeforeRestore();
  bool BackupIdentityAndNV();
  void ReadIdentityAttempts();
  bool ReadIdentityValues();
  bool PrepareBackupFolder(const std::string& name);
  bool FreshBackup();
  bool TakeBackups(const std::string& name);
  bool NoBackupAwaitsRestore(const std::string& name);
  bool SealBackup();
  bool MarkModemWritten();
  void UseSavedBackup();
  void RemovePlainIdentityCopies();
  // `folder` + "." + the time stamp (+ "-n" when taken): a name no folder has yet.
  std::string StampedFolder(const std::string& folder) const;
  bool SwitchRadioOn();
  void GiveRadioBack();
  bool ScrambleIdentityBackup();
  void BackupNVItems();
  bool AfterDownload();
  bool FinishAfterDownload();
  bool ModemPortPresent();
  bool ReopenPortLoop(bool diagnostic);
  bool RestoreData();
  void ClosePorts(bool showVersion);
  void FinishRun();
  void DeleteBackupFolder(const std::string& folder);

  void SetBackupFiles(const std::string& folder);
  void ReportInfo(const std::string& text) { core_.ReportStatus(csInfo, text, mtInfo); }
  void ReportCommClosed();
  bool IdentityComplete() const;
  bool ImeiQueried() const;

  Link link_;
  PhaseFactory makePhases_;
  std::unique_ptr<PhaseSet> phaseSet_;
  EnginePhases p_;
  bool commClosedReported_ = false;
  bool radioSwitched_ = false;      // the start list changed the radio's function level
  bool downloadModeAsked_ = false;  // the switch to download mode was begun
  bool imagesBegun_ = false;        // the first image write was begun: the modem is being erased
  std::string madeBackup_;       // the backup folder this run made, once made
  std::vector<std::string> heldFolders_;  // backup folders whose serial number this run holds
  SavedIdentity savedIdentity_;  // restore-from-saved: whose backup it is
  bool savedUntouched_ = false;  // restore-from-saved: nothing was written to the modem after it
  bool savedReplaced_ = false;   // a fresh backup of the modem is restored instead of the saved one

  mutable std::mutex mutex_;
  std::condition_variable ended_;
  bool started_ = false;
  bool finished_ = false;
  std::thread thread_;
};

}  // namespace zovir
