#include "engine/tcomms_thread.h"

#include "platform/clock.h"
#include "platform/thread_priority.h"
#include "preservation/backup_record.h"
#include "preservation/local_folders.h"

#include <ctime>
#include <exception>
#include <filesystem>
#include <initializer_list>
#include <system_error>

namespace zovir {

namespace fs = std::filesystem;

namespace {

bool In(int value, std::initializer_list<int> set) {
  for (int v : set)
    if (v == value) return true;
  return false;
}

// Project types whose backup NV set is the base list only (no RF items), and which have no
// IMEI to query.
constexpr std::initializer_list<int> kNoImeiTypes = {35, 36, 37, 38, 39, 41, 48};
constexpr int kPlatformTypeCdma2000 = 1;
constexpr int kPlatformTypeEvdo = 2;
constexpr int kDontCheckPlatform = 255;

// A start list that sets the radio's function level (e.g. off for the backup) leaves it to be
// given back when the run ends early.
bool SwitchesTheRadio(const StringList& list) {
  for (const std::string& entry : list)
    if (entry.find("CFUN=") != std::string::npos || entry.find("cfun=") != std::string::npos) return true;
  return false;
}

bool PhasesComplete(const EnginePhases& p) {
  return p.programmer && p.images && p.reconnection && p.nv && p.at && p.identity && p.userData && p.folders &&
         p.guard;
}

// The radio is switched back on at the end of the restore; a modem left off is no update.
constexpr int kOnlineAttempts = 3;
constexpr uint32_t kOnlineRetryMs = 1000;
constexpr const char* kResetFailedText = "Fail to reset or power off phone";
constexpr const char* kOfflineText = "the modem did not confirm it is back online: unplug and replug it";

// A folder that holds anything besides (empty) folders still holds someone's data. When it
// cannot be looked into completely, it counts as holding data.
bool HoldsFiles(const fs::path& folder) {
  std::error_code ec;
  if (fs::is_symlink(fs::symlink_status(folder, ec))) return true;
  if (!fs::is_directory(fs::symlink_status(folder, ec))) return true;
  fs::recursive_directory_iterator it(folder, ec), end;
  if (ec) return true;
  for (; it != end; it.increment(ec)) {
    if (ec) return true;
    const fs::file_status st = it->symlink_status(ec);
    if (ec || !fs::is_directory(st)) return true;
  }
  return ec.operator bool();
}

}  // namespace

std::string BackupFolderName(const EngineRunState& run) {
  if (!run.bSNRead) return "Default";
  std::string sn;
  sn.reserve(run.StringSN.size());
  for (char c : run.StringSN) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '\r' || c == '\n' || c == '"') continue;
    if (c == '/' || c == '\\' || u < 0x20 || u == 0x7F)
      sn.push_back('_');
    else
      sn.push_back(c);
  }
  return "SN[" + sn + "]";
}

std::string FormatFolderStamp(int64_t wallSeconds) {
  std::tm tm{};
  if (!UtcCalendarTime(wallSeconds, tm)) return "00000000-000000";
  char text[32];
  const size_t n = std::strftime(text, sizeof text, "%Y%m%d-%H%M%S", &tm);
  return std::string(text, n);
}

bool IsStrictlyBelow(const std::string& root, const std::string& path) { return LiesWithin(root, path, false); }

TCommsThread::TCommsThread(Clock& clock, SerialPortFactory& ports, EngineHost* host, PhaseFactory phases)
    : core_(clock, ports, host),
      cfg(core_.cfg),
      OnStatusText(core_.OnStatusText),
      OnError(core_.OnError),
      OnProgress(core_.OnProgress),
      link_(core_),
      makePhases_(std::move(phases)) {}

TCommsThread::~TCommsThread() {
  if (!thread_.joinable()) return;
  if (thread_.get_id() == std::this_thread::get_id()) {
    // The run released its last reference on its own thread: nothing of this object is
    // touched after this point, the thread only returns.
    thread_.detach();
    return;
  }
  core_.RequestStop();
  thread_.join();
}

bool TCommsThread::Resume() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (started_) return false;
  try {
    thread_ = std::thread(&TCommsThread::ThreadMain, this, weak_from_this().lock());
  } catch (const std::system_error&) {
    return false;
  }
  started_ = true;
  return true;
}

bool TCommsThread::WaitFor(uint32_t ms) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (!started_) return true;
  if (thread_.get_id() == std::this_thread::get_id()) return false;
  if (!ended_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return finished_; })) return false;
  if (thread_.joinable()) thread_.join();
  return true;
}

bool TCommsThread::Started() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return started_;
}

bool TCommsThread::Finished() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return finished_;
}

void TCommsThread::ThreadMain(std::shared_ptr<TCommsThread> keepAlive) {
  RaiseThreadPriority();
  try {
    Execute();
  } catch (...) {
    // Execute reports its own failures; a throwing receiver must not end the process.
  }
  try {
    if (OnTerminate) OnTerminate(core_.cfg.Index);
  } catch (...) {
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    finished_ = true;
  }
  ended_.notify_all();
  keepAlive.reset();  // may destroy this object; nothing of it is used afterwards
}

void TCommsThread::Execute() {
  bool reachedEnd = false;
  try {
    if (!phaseSet_ && makePhases_) phaseSet_ = makePhases_(core_, link_);
    if (phaseSet_) p_ = phaseSet_->phases;
    if (!PhasesComplete(p_))
      core_.ReportError("Internal error: the engine has no complete set of phases");
    else
      reachedEnd = RunSequence();
  } catch (const std::exception& e) {
    reachedEnd = false;
    core_.ReportError(std::string("Internal error: ") + e.what());
  } catch (...) {
    reachedEnd = false;
    core_.ReportError("Internal error");
  }
  try {
    if (!reachedEnd || !core_.Healthy()) GiveRadioBack();
    ClosePorts(reachedEnd);
    if (reachedEnd) FinishRun();
  } catch (const std::exception& e) {
    core_.ReportError(std::string("Internal error: ") + e.what());
  } catch (...) {
    core_.ReportError("Internal error");
  }
  try {
    RemovePlainIdentityCopies();
    if (p_.guard) p_.guard->ReleaseBackupFolders();
  } catch (...) {
  }
  // Whatever happened above, no handle outlives the run.
  core_.hDiagPort.reset();
  core_.hModemPort.reset();
}

bool TCommsThread::RunSequence() {
  // Plain identity copies that a run which ended abruptly left behind go before anything else.
  p_.guard->RemovePlainIdentityCopies();
  if (!CheckSavedBackup()) return false;
  StartRun();
  OpenModemPortIfNeeded();
  if (core_.Healthy()) link_.OpenDiagPort();
  CheckPlatform();
  if (!cfg.StartATList.empty() && core_.Healthy()) {
    radioSwitched_ = SwitchesTheRadio(cfg.StartATList);
    p_.at->RunStartATList();
  }
  SetDiskMode();
  if (!Backup()) return false;
  // A restore from a saved backup takes the user files from that backup; the modem's own go
  // into the backup of what it held when this run found it, if one was made.
  if (cfg.bBackupUserData && core_.Healthy() && !madeBackup_.empty()) {
    p_.userData->PrepareUserData();
    if (core_.Healthy()) p_.userData->BackupUserData();
  }
  if (core_.Healthy() && !SealBackup()) return false;
  if (core_.run.bRestoreFromSaved) UseSavedBackup();
  if (!core_.Healthy()) GiveRadioBack();
  if (core_.hModemPort) link_.CloseModemPort("Warning-2");
  if (core_.Healthy()) {
    downloadModeAsked_ = true;
    const int result = p_.programmer->ProgrammerPhase();
    if (result != 0 && core_.Healthy()) core_.ReportError("Fail to upload the flash programmer");
  }
  if (core_.Healthy() && !MarkModemWritten()) return false;
  if (core_.Healthy()) {
    imagesBegun_ = true;
    p_.images->DownloadImages();
  }
  if (core_.Healthy() && !AfterDownload()) return false;
  return true;
}

bool TCommsThread::CheckSavedBackup() {
  const std::string text = core_.host ? core_.host->ReadSNEntry() : std::string();
  if (text.empty()) return true;
  EngineRunState& run = core_.run;
  run.bRestoreFromSaved = true;
  core_.host->EnableSNEntry(false);
  // A serial number, or the whole name of a backup folder (one set aside as "SN[x].<stamp>"
  // included) as the backup list shows it.
  const std::string name = text.rfind("SN[", 0) == 0 && text.find(']') != std::string::npos ? text
                                                                                          : "SN[" + text + "]";
  run.SavedBackupFolder = (fs::path(cfg.BackupFilePath) / name).string();
  // The typed text is one folder name: a separator would let it point anywhere.
  std::error_code ec;
  const bool exists = text.find_first_of(std::string("/\\\0", 3)) == std::string::npos &&
                      fs::is_directory(run.SavedBackupFolder, ec) &&
                      fs::path(run.SavedBackupFolder).filename().string().find(text) != std::string::npos &&
                      IsStrictlyBelow(cfg.BackupFilePath, run.SavedBackupFolder);
  if (!exists) {
    core_.ReportError("Backup files not exist!");
    core_.host->MessageBox("备份文件不存在", "Warning");
    return false;
  }
  // Nothing is written to the modem from a backup that another run holds, that was cut short
  // or that was altered since.
  std::string why;
  if (!p_.guard->TakeBackupFolder(name, why)) {
    core_.ReportError("The saved backup " + name + " cannot be used now: " + why);
    return false;
  }
  if (!p_.guard->CheckSavedBackup(run.SavedBackupFolder, why)) {
    core_.ReportError("The saved backup " + name + " is incomplete or altered: " + why +
                      "; nothing was written to the modem");
    core_.host->MessageBox("The saved backup " + name + " is incomplete or altered: " + why, "Warning");
    return false;
  }
  heldFolders_.push_back(run.SavedBackupFolder);
  savedIdentity_ = p_.guard->ReadSavedIdentity(run.SavedBackupFolder);
  savedUntouched_ = !p_.guard->ModemWrittenAfter(run.SavedBackupFolder);
  UseSavedBackup();
  return true;
}

void TCommsThread::UseSavedBackup() {
  EngineRunState& run = core_.run;
  run.BackupFolder = run.SavedBackupFolder;
  SetBackupFiles(run.SavedBackupFolder);
}

void TCommsThread::StartRun() {
  // ErrorCode is not set back to 0 here: a Stop that arrived before this point must end the run.
  if (!core_.run.bRestoreFromSaved && cfg.bBackup) p_.nv->BuildNVLists();
  ReportInfo("Start succssfully");
  core_.StatusText.clear();
  core_.ReportProgress(0);
}

void TCommsThread::OpenModemPortIfNeeded() {
  if (!core_.Healthy()) return;
  const bool amssOnly = cfg.bAMSSFile && !cfg.bEFS && !cfg.bRawAppsEFS && !cfg.PCSuiteImage;
  const bool variantSwitch =
      cfg.ProjectType == 3 && (cfg.VersionVariant[0] || cfg.VersionVariant[1] || cfg.VersionVariant[2]);
  // A restore from a saved backup always asks the modem who it is first.
  if (cfg.bBootloader || cfg.bBackup || cfg.bRestore || core_.run.bRestoreFromSaved || cfg.PCSuiteImage ||
      !cfg.StartATList.empty() ||
      (amssOnly && (cfg.ProjectType == 20 || cfg.ProjectType == 29)) || !cfg.EndATList.empty() || variantSwitch)
    link_.OpenModemPort();
}

void TCommsThread::CheckPlatform() {
  if (!core_.Healthy() || cfg.PlatformName == kDontCheckPlatform) return;
  ReportInfo("check platform start.");
  const int id = p_.nv->GetPlatformID();
  if (id == -1) {
    core_.ReportError("Could not get platform type.");
  } else if (id == cfg.PlatformName) {
    ReportInfo("check platform OK.");
  } else {
    core_.ReportError("Could not get platform type.");
    if (core_.host) core_.host->MessageBox("Plantform type is not matched", "Warning");
  }
}

void TCommsThread::SetDiskMode() {
  const int type = cfg.ProjectType;
  const bool amssOnly = cfg.bAMSSFile && !cfg.bEFS && !cfg.bRawAppsEFS && !cfg.PCSuiteImage;
  const bool variantSwitch =
      type == 3 && (cfg.VersionVariant[0] || cfg.VersionVariant[1] || cfg.VersionVariant[2]);
  if (!(cfg.PCSuiteImage || (amssOnly && (type == 20 || type == 29)) || (variantSwitch && core_.Healthy())))
    return;
  std::string command;
  if (In(type, {3, 12, 15, 16, 17, 18, 21, 22, 24, 25, 26, 27, 28, 29, 30, 31, 32, 33, 38, 39, 48}))
    command = "AT+DISK=8,\"D1\"\r\n\r\n";
  else if (In(type, {13, 23, 34}))
    command = "AT+DISK=8,\"D2\"\r\n\r\n";
  if (command.empty()) return;
  std::string reply;
  if (!p_.at->SendATCommand(command, reply)) core_.ReportError("Fail to set from modem start");
}

bool TCommsThread::ImeiQueried() const {
  return !(cfg.PlatformType == kPlatformTypeEvdo || In(cfg.ProjectType, kNoImeiTypes));
}

bool TCommsThread::IdentityComplete() const {
  const EngineRunState& run = core_.run;
  return run.bSNRead && run.bTestInfoRead && (run.bIMEIRead || !ImeiQueried());
}

bool TCommsThread::Backup() {
  if (!core_.Healthy()) return true;
  EngineRunState& run = core_.run;
  const bool asked = cfg.bBackup || cfg.bBackupUserData;
  // A restore from a saved backup checks the unit and keeps what it holds whatever the flags
  // say: a re-update turns the backup flags off, and the modem in hand may be another one.
  if (!asked && !run.bRestoreFromSaved) return true;
  if (run.bRestoreFromSaved) {
    if (!BackupBeforeRestore()) return false;
  } else {
    if (!ReadIdentityValues()) return false;
    if (!core_.Healthy()) return false;
    if (!FreshBackup()) return false;
  }
  if (asked && core_.Healthy()) ReportInfo("Backup succssfully");
  return true;
}

bool TCommsThread::FreshBackup() {
  const std::string name = BackupFolderName(core_.run);
  if (!TakeBackups(name) || !NoBackupAwaitsRestore(name)) return false;
  if (!PrepareBackupFolder(name)) return false;
  return BackupIdentityAndNV();
}

bool TCommsThread::TakeBackups(const std::string& name) {
  // One run at a time per serial number: two modems that report the same one must never
  // share (and cross) a backup.
  std::string why;
  if (p_.guard->TakeBackupFolder(name, why)) return true;
  core_.ReportError("The backup folder " + name + " is not free (" + why +
                    ", two modems with one serial number?); nothing was written to this modem");
  return false;
}

bool TCommsThread::NoBackupAwaitsRestore(const std::string& name) {
  const std::vector<std::string> waiting = p_.guard->BackupsAwaitingRestore(name);
  if (waiting.empty()) return true;
  std::string folders;
  for (const std::string& folder : waiting) folders += (folders.empty() ? "" : ", ") + folder;
  if (!cfg.SetAsideWrittenBackup) {
    // A new backup of a modem an update left emptied would hold nothing, and its PASS would
    // hide the only copy of the modem's data: that copy is restored first.
    const std::string first = fs::path(waiting.front()).filename().string();
    const std::string serial = SerialOfBackupFolder(first);
    const std::string text = "The modem's data from an update that wrote it and did not pass are kept in " + folders +
                             ": restore them with zovir-cli run --sn " +
                             (BackupKeyOf(first) == first && !serial.empty() ? serial : first) +
                             ", or run with --set-aside-backup to go on without them; nothing was written to the modem";
    core_.ReportError(text);
    if (core_.host) core_.host->MessageBox(text, "Warning");
    return false;
  }
  for (const std::string& folder : waiting) {
    std::string why;
    if (!p_.guard->SetAside(folder, why)) {
      core_.ReportError("Could not set the backup " + folder + " aside: " + why + "; nothing was written to the modem");
      return false;
    }
    ReportInfo("Set aside as asked, not restored: " + folder);
  }
  return true;
}

bool TCommsThread::BackupIdentityAndNV() {
  if (core_.Healthy()) p_.identity->WriteIdentityBackup();
  if (!ScrambleIdentityBackup()) return false;
  if (core_.Healthy()) BackupNVItems();
  return true;
}

bool TCommsThread::BackupBeforeRestore() {
  EngineRunState& run = core_.run;
  // Read only: whose modem this is decides whether the saved backup may go onto it.
  ReadIdentityAttempts();
  if (!core_.Healthy()) return false;
  const std::string otherUnit = p_.guard->UnitMismatch(savedIdentity_);
  if (!otherUnit.empty()) {
    if (!cfg.RestoreOntoOtherUnit) {
      core_.ReportError(otherUnit);
      if (core_.host) core_.host->MessageBox(otherUnit, "Warning");
      return false;
    }
    ReportInfo("Restoring onto another unit as asked: " + otherUnit);
  }
  if (!IdentityComplete()) {
    ReportInfo("The modem no longer reports its identity: no backup of what it holds now");
    return true;
  }
  p_.nv->BuildNVLists();
  if (savedUntouched_) {
    // Nothing was written to the modem after that backup, and the modem still answers: what
    // it holds is as new as the backup or newer. It is backed up afresh and restored from
    // that; the older backup stays.
    ReportInfo("Nothing was written to the modem after the backup " + run.SavedBackupFolder +
               " and it still answers: a fresh backup is made and restored instead; that backup is kept");
    run.bRestoreFromSaved = false;
    savedReplaced_ = true;
    return FreshBackup();
  }
  // The modem still answers: what it holds now is kept in a folder of its own before the
  // update erases it, should the restore from the saved backup go wrong.
  ReportInfo("The modem still answers: what it holds now is backed up first");
  const std::string name =
      fs::path(StampedFolder((fs::path(cfg.BackupFilePath) / BackupFolderName(run)).string())).filename().string();
  if (!PrepareBackupFolder(name)) return false;
  run.SafetyBackupFolder = run.BackupFolder;
  return BackupIdentityAndNV();
}

void TCommsThread::ReadIdentityAttempts() {
  for (int attempt = 0; attempt < 5; ++attempt) {
    if (attempt > 0 && !core_.Wait(1000)) break;
    if (!core_.Healthy()) break;
    p_.identity->ReadIdentity();
    if (IdentityComplete()) return;
  }
}

bool TCommsThread::ReadIdentityValues() {
  ReadIdentityAttempts();
  if (IdentityComplete()) return true;
  // A user's Stop is not a lost identity: no prompt for the serial number then.
  if (core_.ErrorCode.load() == ERR_USER_STOP) return false;
  const EngineRunState& run = core_.run;
  if (ImeiQueried() && !run.bIMEIRead) core_.ReportError("[Dload] Fail to Read IMEI");
  if (!run.bSNRead) core_.ReportError("[Dload] Fail to Read SN");
  if (!run.bTestInfoRead) core_.ReportError("[Dload] Fail to Read Testinf");
  core_.ReportError("Test info is lost!");
  if (core_.host) {
    core_.host->MessageBox("Test info is lost!", "Warning");
    core_.host->MessageBox("input SN and start!", "Hint");
    core_.host->OfferSNEntry();
  }
  return false;
}

bool TCommsThread::PrepareBackupFolder(const std::string& name) {
  EngineRunState& run = core_.run;
  if (!TakeBackups(name)) return false;
  const fs::path folder = fs::path(cfg.BackupFilePath) / name;
  heldFolders_.push_back(folder.string());
  run.BackupFolder = folder.string();
  std::error_code ec;
  const fs::file_status st = fs::symlink_status(folder, ec);
  if (fs::exists(st)) {
    if (HoldsFiles(folder)) {
      // The old backup may be the only copy of a modem's original data (an earlier run that
      // failed after its backup): keep it under a new name instead of deleting it.
      const fs::path aside = StampedFolder(folder.string());
      fs::rename(folder, aside, ec);
      if (ec) {
        core_.SetSystemError(ec.value());
        core_.ReportError("Could not rename the old backup folder " + folder.string());
        return false;
      }
      ReportInfo("Old backup folder renamed to " + aside.string());
    } else {
      DeleteBackupFolder(folder.string());
    }
  }
  if (!p_.folders->MakeLocalFolder((folder / "EFS").string())) {
    if (core_.Healthy()) core_.ReportError("Could not create folder!");
    return false;
  }
  core_.Wait(10);
  SetBackupFiles(folder.string());
  madeBackup_ = folder.string();
  return true;
}

bool TCommsThread::SealBackup() {
  if (madeBackup_.empty()) return true;
  std::string why;
  const EngineRunState& run = core_.run;
  if (!p_.guard->SealBackup(madeBackup_, run.bSNRead ? run.StringSN : std::string(),
                            FormatFolderStamp(core_.clock.WallSeconds()), why)) {
    core_.ReportError("Could not complete the backup " + madeBackup_ + ": " + why);
    return false;
  }
  return true;
}

bool TCommsThread::MarkModemWritten() {
  // Before the first erase or image write: from here on a backup may be the modem's only copy.
  std::vector<std::string> folders;
  if (!madeBackup_.empty()) folders.push_back(madeBackup_);
  if (core_.run.bRestoreFromSaved) folders.push_back(core_.run.SavedBackupFolder);
  for (const std::string& folder : folders) {
    std::string why;
    if (!p_.guard->MarkModemWritten(folder, why)) {
      core_.ReportError("Could not record in the backup " + folder + " that the modem is being written: " + why +
                        "; nothing was written to the modem");
      return false;
    }
  }
  return true;
}

std::string TCommsThread::StampedFolder(const std::string& folder) const {
  std::error_code ec;
  const std::string stamp = FormatFolderStamp(core_.clock.WallSeconds());
  std::string name = folder + "." + stamp;
  for (int n = 2; fs::exists(fs::symlink_status(name, ec)) && n < 100; ++n)
    name = folder + "." + stamp + "-" + std::to_string(n);
  return name;
}

void TCommsThread::RemovePlainIdentityCopies() {
  // Only in folders this run held: another run's at1.bak may be waiting for its scrambling.
  std::error_code ec;
  for (const std::string& folder : heldFolders_) {
    fs::remove(fs::path(folder) / "at1.bak", ec);
    fs::remove(fs::path(folder) / "at.bak", ec);
  }
}

bool TCommsThread::ScrambleIdentityBackup() {
  const EngineRunState& run = core_.run;
  const FileCopyResult result = p_.identity->ScrambleFile(run.at1bakFile, cfg.atbakFile);
  if (result == FileCopyResult::SourceOpenFailed) {
    core_.ReportError("[Encrypt] Fail to open AT1file.");
    return false;
  }
  if (result != FileCopyResult::Ok) {
    core_.ReportError("[Encrypt] Fail to open ATfile.");
    return false;
  }
  core_.Wait(500);
  // The scrambled copy is complete and checked: the plain one must not stay on disk.
  std::error_code ec;
  fs::remove(run.at1bakFile, ec);
  return true;
}

void TCommsThread::BackupNVItems() {
  if (cfg.ProjectType == 12 && cfg.IsOmbrix) {
    p_.nv->BackupFullNV();
  } else if (cfg.PlatformType == kPlatformTypeCdma2000 || cfg.PlatformType == kPlatformTypeEvdo ||
             In(cfg.ProjectType, kNoImeiTypes)) {
    p_.nv->BackupNV();
  } else {
    p_.nv->BackupNV();
    if (core_.Healthy()) p_.nv->BackupRFNV();
  }
}

bool TCommsThread::AfterDownload() {
  int result = 0;
  if (cfg.IsPhoneType)
    result = p_.images->SendReset();
  else if (In(cfg.ProjectType, {0, 1, 2, 4, 5, 6, 7, 8, 9, 10, 11, 14, 19, 20, 42}))
    result = p_.images->SendPowerOff();
  // A modem restarting on the command may drop its answer on the way: its return on its normal
  // ports confirms the reset just as well, and the data it lost still have to go back. Only a
  // modem that does not come back fails here.
  const bool replyLost = result > 0 || core_.run.ResetUnconfirmed;
  if (result > 0) ReportInfo("No answer to the reset or power-off command: waiting for the modem to come back");
  if (result < 0) {
    core_.ReportError(kResetFailedText);
  } else {
    ReportInfo("Reset or power off command......");
    if (core_.hDiagPort) link_.CloseDiagPort("Warning-1");
    core_.ReportProgress(85);
    if (core_.hModemPort) link_.CloseModemPort("Warning-2");
    p_.reconnection->WaitForReenumeration(15, 100, 60, 100);
    core_.ReportProgress(90);
    p_.reconnection->CheckAndSearchPorts(50, 200, "Port has not changed.");
    p_.reconnection->ReportPortNames();
    if (replyLost && !ModemPortPresent()) {
      core_.ReportError(kResetFailedText);
      return FinishAfterDownload();
    }
    ReopenPortLoop(true);
    if (cfg.bBackupUserData && core_.Healthy()) p_.userData->RestoreUserData();
    ReopenPortLoop(false);
    core_.ReportProgress(95);
    if (!RestoreData()) return false;
  }
  return FinishAfterDownload();
}

bool TCommsThread::FinishAfterDownload() {
  // These types need a second reset whatever happened above.
  if (In(cfg.ProjectType, {6, 19, 20})) p_.reconnection->ResetAndReconnect();
  if (!cfg.EndATList.empty() && core_.Healthy()) p_.at->RunEndATList();
  return true;
}

bool TCommsThread::ModemPortPresent() {
  // Only a modem in its normal mode offers its AT port; the boot loader and the programmer do not.
  // The lists are taken anew: the port search keeps the old ones when the diagnostic port kept
  // its name, as the programmer's does.
  if (core_.host == nullptr) return true;
  core_.host->RefreshPortLists();
  return !core_.host->SelectedModemPortName().empty();
}

bool TCommsThread::ReopenPortLoop(bool diagnostic) {
  const char* what = diagnostic ? " Initial Diagnostic0......" : " Initial Modem0......";
  for (int attempt = 1; attempt <= 20; ++attempt) {
    core_.Wait(500);
    if (core_.ErrorCode.load() == ERR_USER_STOP) {
      ReportCommClosed();
      return false;
    }
    const std::string name = Link::PortName(diagnostic ? cfg.ComPort : cfg.SerialComPort);
    const bool open = diagnostic ? link_.ReopenDiagPort() : link_.ReopenModemPort();
    if (open) {
      ReportInfo(name + what + "ok");
      return true;
    }
    core_.ReportStatus(csWorking, name + what + "wait", mtProgress);
    if (attempt == 10) core_.ReportError(diagnostic ? "ComPort0 timeout" : "SerialPort0 timeout");
  }
  return false;
}

bool TCommsThread::RestoreData() {
  EngineRunState& run = core_.run;
  std::string reply;
  if (cfg.bRestore) {
    core_.Wait(2000);
    if (!p_.at->SendATCommand("AT+CFUN=5\r\n\r\n", reply)) {
      core_.ReportError("Fail to Send Command!");
      return false;
    }
    if (core_.Healthy()) {
      if (cfg.ProjectType == 12 && cfg.IsOmbrix)
        p_.nv->RestoreFullNV();
      else
        p_.nv->RestoreNV();
    }
  }
  if (!cfg.NVItemList.empty() && core_.Healthy()) p_.nv->WriteNVItemList();
  core_.ReportProgress(98);
  if (cfg.bRestore && core_.Healthy()) {
    p_.nv->RestoreRFNV();
    bool online = SwitchRadioOn();
    if (run.bRestoreFromSaved) {
      cfg.atbakFile = (fs::path(run.SavedBackupFolder) / "EncryptAT.bak").string();
      run.atRestoreFile = (fs::path(run.SavedBackupFolder) / "at.bak").string();
    } else {
      run.atRestoreFile = (fs::path(run.BackupFolder) / "at.bak").string();
    }
    if (p_.identity->UnscrambleFile(cfg.atbakFile, run.atRestoreFile) != FileCopyResult::Ok) {
      core_.ReportError("[Decrypt] Fail to open ATfile.");
      return false;
    }
    const int restored = p_.identity->RestoreIdentity();
    // The plain copy has served its purpose, whatever the restore made of it.
    std::error_code ec;
    fs::remove(run.atRestoreFile, ec);
    if (restored != 1) {
      if (core_.Healthy()) core_.ReportError("Fail to restore the identity values");
      return false;
    }
    // Asked again once the identity is back; the data are restored either way, but a modem
    // whose radio stays off is no finished update.
    if (!online && core_.Healthy()) online = SwitchRadioOn();
    if (!online && core_.Healthy()) {
      core_.ReportError(kOfflineText);
      return false;
    }
  }
  return true;
}

void TCommsThread::GiveRadioBack() {
  // Only a modem still in its normal mode has its radio to give back; once the images are being
  // written the new firmware starts with its own setting.
  if (!radioSwitched_ || imagesBegun_) return;
  if (!core_.hModemPort) {
    // The switch to download mode was asked for and failed: the modem may still be in its normal
    // mode, which only its AT port shows.
    if (!downloadModeAsked_ || core_.host == nullptr) return;
    core_.host->RefreshPortLists();
    if (core_.host->SelectedModemPortName().empty() || !link_.ReopenModemPort()) return;
  }
  radioSwitched_ = false;  // once is enough
  ReportInfo("Switching the modem's radio back on");
  // After a Stop the command still goes out; only its answer is not waited for.
  std::string reply;
  p_.at->SendATCommand("AT+CFUN=1\r\n\r\n", reply);
}

bool TCommsThread::SwitchRadioOn() {
  std::string reply;
  for (int attempt = 0; attempt < kOnlineAttempts; ++attempt) {
    if (attempt > 0 && !core_.Wait(kOnlineRetryMs)) return false;
    if (p_.at->SendATCommand("AT+CFUN=1\r\n\r\n", reply)) return true;
  }
  return false;
}

void TCommsThread::ClosePorts(bool showVersion) {
  if (core_.hDiagPort) {
    link_.CloseDiagPort("Warning-7");
    if (core_.ErrorCode.load() == ERR_USER_STOP) ReportCommClosed();
  }
  if (core_.hModemPort) {
    if (showVersion && (cfg.ProjectType == 2 || cfg.ProjectType == 6)) p_.at->ShowModemVersion();
    link_.CloseModemPort("Warning-9");
  }
  // A Stop always ends with this line, also when it came before a port was open.
  if (core_.ErrorCode.load() == ERR_USER_STOP && !commClosedReported_) ReportCommClosed();
}

void TCommsThread::FinishRun() {
  EngineRunState& run = core_.run;
  if (core_.Healthy() && cfg.ExecuteResetModem) {
    if (p_.identity->RunResetHelper() != 1 && core_.Healthy()) core_.ReportError("Fail to execute reset modem.");
  }
  if (!core_.Healthy()) return;
  // Only the backup this run restored from goes with its PASS. The one a restore from a saved
  // backup made of the modem first holds what nothing else holds, and stays, no longer needed
  // to bring the modem back (said before "PASS", the run's last word).
  const bool removes = cfg.bRestore || cfg.bBackupUserData;
  const std::string restoredFrom = run.bRestoreFromSaved ? run.SavedBackupFolder : run.BackupFolder;
  if (!madeBackup_.empty() && !(removes && madeBackup_ == restoredFrom)) {
    std::string why;
    if (p_.guard->MarkUpdatePassed(madeBackup_, why))
      ReportInfo("The modem's data as this update found them stay in " + madeBackup_);
    else
      ReportInfo("The backup " + madeBackup_ + " stays, still marked as not restored: " + why);
  }
  core_.ReportProgress(100);
  core_.ReportStatus(csInfo, "PASS", mtPass);
  if (core_.host) core_.host->ShowResultSN(run.StringSN);
  if (removes) {
    run.BackupFolder = restoredFrom;
    if ((run.bRestoreFromSaved || savedReplaced_) && core_.host) core_.host->FinishSNEntry();
    DeleteBackupFolder(run.BackupFolder);
  }
  // The Windows build also deletes the USB helper library it left beside the executable;
  // this platform has no such file.
}

void TCommsThread::DeleteBackupFolder(const std::string& folder) {
  if (!IsStrictlyBelow(cfg.BackupFilePath, folder)) {
    ReportInfo("Backup folder kept: " + folder);
    return;
  }
  p_.folders->DeleteLocalFolder(folder);
}

void TCommsThread::SetBackupFiles(const std::string& folder) {
  EngineRunState& run = core_.run;
  const fs::path f(folder);
  run.at1bakFile = (f / "at1.bak").string();
  cfg.atbakFile = (f / "EncryptAT.bak").string();
  cfg.bakFile = (f / "nv.bak").string();
  run.nv1bakFile = (f / "nv1.bak").string();
  run.atRestoreFile = (f / "at.bak").string();
}

void TCommsThread::ReportCommClosed() {
  commClosedReported_ = true;
  core_.ReportStatus(csClosed, "COMM Closed", mtError);
}

}  // namespace zovir
