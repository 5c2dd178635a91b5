#pragma once
// Doubles of every collaborator of TCommsThread. They record each call in one ordered trace
// (together with the engine's reports), so a test can assert what ran, what did not, and in
// which order. A hook per call name lets a test fail a phase, press Stop, or block.
#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "engine/engine_host.h"
#include "engine/phases.h"
#include "engine/tcomms_thread.h"
#include "preservation/backup_guard.h"

namespace zovir::test {

struct Report {
  enum Kind { Status, Error, Progress } kind;
  CommStatus status = csInfo;
  MESSAGE_TYPE type = mtInfo;
  std::string text;
  int slot = -1;
  int position = 0;
};

// Everything a run did, in order. Written on the engine thread, read by the test after the
// run has ended (WaitFor joins, which orders the two).
class Trace {
 public:
  void Add(const std::string& event) {
    std::lock_guard<std::mutex> lock(m_);
    events_.push_back(event);
  }
  void AddReport(const Report& r) {
    std::lock_guard<std::mutex> lock(m_);
    reports_.push_back(r);
    if (r.kind == Report::Status) events_.push_back("status:" + r.text);
    if (r.kind == Report::Error) events_.push_back("error:" + r.text);
  }
  std::vector<std::string> Events() const {
    std::lock_guard<std::mutex> lock(m_);
    return events_;
  }
  std::vector<Report> Reports() const {
    std::lock_guard<std::mutex> lock(m_);
    return reports_;
  }
  bool Has(const std::string& event) const { return Count(event) > 0; }
  int Count(const std::string& event) const {
    const auto e = Events();
    return static_cast<int>(std::count(e.begin(), e.end(), event));
  }
  // Position of the first occurrence, or -1.
  int IndexOf(const std::string& event) const {
    const auto e = Events();
    auto it = std::find(e.begin(), e.end(), event);
    return it == e.end() ? -1 : static_cast<int>(it - e.begin());
  }
  std::vector<std::string> Errors() const {
    std::vector<std::string> out;
    for (const auto& r : Reports())
      if (r.kind == Report::Error) out.push_back(r.text);
    return out;
  }
  bool Passed() const {
    for (const auto& r : Reports())
      if (r.kind == Report::Status && r.text == "PASS" && r.type == mtPass) return true;
    return false;
  }

 private:
  mutable std::mutex m_;
  std::vector<std::string> events_;
  std::vector<Report> reports_;
};

// What the doubles answer. Shared between the test and the PhaseSet the engine owns.
struct Script {
  Trace trace;
  std::map<std::string, std::function<void(EngineCore&)>> hooks;

  int platformId = 9;
  bool snRead = true, imeiRead = true, testInfoRead = true;
  std::string sn = "SN123";
  std::string imei = "356938035643809";
  int readIdentityCalls = 0;
  std::set<std::string> failingAT;  // commands (without line ends) answered with failure
  FileCopyResult scrambleResult = FileCopyResult::Ok;
  FileCopyResult unscrambleResult = FileCopyResult::Ok;
  int restoreIdentityResult = 1;
  int resetHelperResult = 1;
  int programmerResult = 0;
  int sendResetResult = 0;
  int powerOffResult = 0;
  bool makeFolderResult = true;
  bool markWrittenResult = true;
  std::function<void()> onPhaseSetDestroyed;

  // Hooks are found by the call's name without its argument ("BackupNV" for "BackupNV:path").
  void Call(const std::string& name, EngineCore& core) {
    trace.Add(name);
    auto it = hooks.find(name.substr(0, name.find(':')));
    if (it != hooks.end()) it->second(core);
  }
};

inline std::string WithoutLineEnds(std::string s) {
  s.erase(std::remove_if(s.begin(), s.end(), [](char c) { return c == '\r' || c == '\n'; }), s.end());
  return s;
}

class FakePhases final : public PhaseSet {
 public:
  FakePhases(std::shared_ptr<Script> script, EngineCore& core)
      : programmer_(*this), images_(*this), reconnection_(*this), nv_(*this), at_(*this), identity_(*this),
        userData_(*this), folders_(*this), script_(std::move(script)), core_(core), guard_(*this) {
    phases.programmer = &programmer_;
    phases.images = &images_;
    phases.reconnection = &reconnection_;
    phases.nv = &nv_;
    phases.at = &at_;
    phases.identity = &identity_;
    phases.userData = &userData_;
    phases.folders = &folders_;
    phases.guard = &guard_;
  }
  ~FakePhases() override {
    if (script_->onPhaseSetDestroyed) script_->onPhaseSetDestroyed();
  }

 private:
  void Call(const std::string& name) { script_->Call(name, core_); }
  Script& S() { return *script_; }

  struct Programmer final : ProgrammerUpload {
    explicit Programmer(FakePhases& o) : o(o) {}
    int ProgrammerPhase() override {
      o.Call("ProgrammerPhase");
      return o.S().programmerResult;
    }
    FakePhases& o;
  } programmer_;

  struct Images final : ImageDownload {
    explicit Images(FakePhases& o) : o(o) {}
    void DownloadImages() override { o.Call("DownloadImages"); }
    int SendReset() override {
      o.Call("SendReset");
      return o.S().sendResetResult;
    }
    int SendPowerOff() override {
      o.Call("SendPowerOff");
      return o.S().powerOffResult;
    }
    FakePhases& o;
  } images_;

  struct Reconnect final : Reconnection {
    explicit Reconnect(FakePhases& o) : o(o) {}
    void WaitForReenumeration(int c, int ci, int a, int ai) override {
      o.Call("WaitForReenumeration(" + std::to_string(c) + "," + std::to_string(ci) + "," + std::to_string(a) +
             "," + std::to_string(ai) + ")");
    }
    void CheckAndSearchPorts(int m, int p, const std::string& text) override {
      o.Call("CheckAndSearchPorts(" + std::to_string(m) + "," + std::to_string(p) + "," + text + ")");
    }
    void ReportPortNames() override { o.Call("ReportPortNames"); }
    bool ResetAndReconnect() override {
      o.Call("ResetAndReconnect");
      return true;
    }
    FakePhases& o;
  } reconnection_;

  struct NV final : NVService {
    explicit NV(FakePhases& o) : o(o) {}
    int GetPlatformID() override {
      o.Call("GetPlatformID");
      return o.S().platformId;
    }
    void WriteNVItemList() override { o.Call("WriteNVItemList"); }
    void BuildNVLists() override { o.Call("BuildNVLists"); }
    void BackupNV() override { o.Call("BackupNV:" + o.core_.cfg.bakFile); }
    void BackupRFNV() override { o.Call("BackupRFNV"); }
    void BackupFullNV() override { o.Call("BackupFullNV"); }
    void RestoreNV() override { o.Call("RestoreNV:" + o.core_.cfg.bakFile); }
    void RestoreRFNV() override { o.Call("RestoreRFNV"); }
    void RestoreFullNV() override { o.Call("RestoreFullNV"); }
    FakePhases& o;
  } nv_;

  struct AT final : ATChannel {
    explicit AT(FakePhases& o) : o(o) {}
    bool SendATCommand(const std::string& command, std::string& reply) override {
      const std::string c = WithoutLineEnds(command);
      o.Call("AT:" + c);
      reply = "OK";
      return o.S().failingAT.count(c) == 0;
    }
    void RunStartATList() override { o.Call("RunStartATList"); }
    void RunEndATList() override { o.Call("RunEndATList"); }
    void ShowModemVersion() override { o.Call("ShowModemVersion"); }
    FakePhases& o;
  } at_;

  struct Identity final : IdentityService {
    explicit Identity(FakePhases& o) : o(o) {}
    int ReadIdentity() override {
      o.Call("ReadIdentity");
      auto& run = o.core_.run;
      ++o.S().readIdentityCalls;
      run.bSNRead = o.S().snRead;
      run.bIMEIRead = o.S().imeiRead;
      run.bTestInfoRead = o.S().testInfoRead;
      run.StringSN = o.S().snRead ? o.S().sn : "";
      run.StringIMEI = o.S().imeiRead ? o.S().imei : "";
      return 1;
    }
    void WriteIdentityBackup() override {
      o.Call("WriteIdentityBackup");
      std::ofstream(o.core_.run.at1bakFile) << "[BACKUP]\nbSN=1\n";
    }
    FileCopyResult ScrambleFile(const std::string& src, const std::string& dst) override {
      o.Call("ScrambleFile:" + src + ">" + dst);
      if (o.S().scrambleResult == FileCopyResult::Ok) std::ofstream(dst) << "scrambled";
      return o.S().scrambleResult;
    }
    FileCopyResult UnscrambleFile(const std::string& src, const std::string& dst) override {
      o.Call("UnscrambleFile:" + src + ">" + dst);
      return o.S().unscrambleResult;
    }
    int RestoreIdentity() override {
      o.Call("RestoreIdentity:" + o.core_.run.atRestoreFile);
      return o.S().restoreIdentityResult;
    }
    int RunResetHelper() override {
      o.Call("RunResetHelper");
      return o.S().resetHelperResult;
    }
    FakePhases& o;
  } identity_;

  struct UserData final : UserDataService {
    explicit UserData(FakePhases& o) : o(o) {}
    void PrepareUserData() override { o.Call("PrepareUserData"); }
    void BackupUserData() override { o.Call("BackupUserData"); }
    void RestoreUserData() override { o.Call("RestoreUserData"); }
    FakePhases& o;
  } userData_;

  // Works on the real file system, so the engine's own folder checks see what it did.
  struct Folders final : LocalFolders {
    explicit Folders(FakePhases& o) : o(o) {}
    bool MakeLocalFolder(const std::string& path) override {
      o.Call("MakeLocalFolder:" + path);
      if (!o.S().makeFolderResult) {
        o.core_.ReportError("Could not create folder!");
        return false;
      }
      std::error_code ec;
      std::filesystem::create_directories(path, ec);
      return !ec;
    }
    int DeleteLocalFolder(const std::string& path) override {
      o.Call("DeleteLocalFolder:" + path);
      std::error_code ec;
      std::filesystem::remove_all(path, ec);
      return ec ? 0 : 1;
    }
    FakePhases& o;
  } folders_;

  // The real locks and completion records, with each call traced.
  struct Guard final : BackupGuard {
    explicit Guard(FakePhases& o) : o(o), real(o.core_) {}
    bool TakeBackupFolder(const std::string& name, std::string& why) override {
      o.Call("TakeBackupFolder:" + name);
      return real.TakeBackupFolder(name, why);
    }
    void ReleaseBackupFolders() override { real.ReleaseBackupFolders(); }
    bool SealBackup(const std::string& folder, const std::string& serial, const std::string& created,
                    std::string& why) override {
      o.Call("SealBackup:" + folder);
      return real.SealBackup(folder, serial, created, why);
    }
    bool CheckSavedBackup(const std::string& folder, std::string& why) override {
      o.Call("CheckSavedBackup:" + folder);
      return real.CheckSavedBackup(folder, why);
    }
    SavedIdentity ReadSavedIdentity(const std::string& folder) override { return real.ReadSavedIdentity(folder); }
    std::string UnitMismatch(const SavedIdentity& saved) override { return real.UnitMismatch(saved); }
    void RemovePlainIdentityCopies() override { real.RemovePlainIdentityCopies(); }
    bool ModemWrittenAfter(const std::string& folder) override { return real.ModemWrittenAfter(folder); }
    bool MarkModemWritten(const std::string& folder, std::string& why) override {
      o.Call("MarkModemWritten:" + folder);
      if (!o.S().markWrittenResult) {
        why = "the disk is full";
        return false;
      }
      return real.MarkModemWritten(folder, why);
    }
    bool MarkUpdatePassed(const std::string& folder, std::string& why) override {
      o.Call("MarkUpdatePassed:" + folder);
      return real.MarkUpdatePassed(folder, why);
    }
    bool SetAside(const std::string& folder, std::string& why) override {
      o.Call("SetAside:" + folder);
      return real.SetAside(folder, why);
    }
    std::vector<std::string> BackupsAwaitingRestore(const std::string& name) override {
      return real.BackupsAwaitingRestore(name);
    }
    FakePhases& o;
    BackupFolderGuard real;
  };

  std::shared_ptr<Script> script_;
  EngineCore& core_;
  Guard guard_;  // after core_, which it uses when it is made
};

class FakeHost final : public EngineHost {
 public:
  explicit FakeHost(Trace& trace) : trace_(&trace) {}
  void SetTrace(Trace& trace) { trace_ = &trace; }
  std::string snEntry;
  std::string modemPort = "COM8";  // empty: no AT port, as in the boot loader or the programmer

  std::string ReadSNEntry() override { return snEntry; }
  void EnableSNEntry(bool enabled) override { trace_->Add(enabled ? "EnableSNEntry(1)" : "EnableSNEntry(0)"); }
  void OfferSNEntry() override { trace_->Add("OfferSNEntry"); }
  void FinishSNEntry() override { trace_->Add("FinishSNEntry"); }
  void ShowResultSN(const std::string& sn) override { trace_->Add("ShowResultSN:" + sn); }
  std::string SelectedDiagPortName() override { return "COM7"; }
  std::string SelectedModemPortName() override { return modemPort; }
  std::atomic<bool>& DeviceChangeSeen() override { return change_; }
  std::atomic<bool>& DeviceArrivalSeen() override { return arrival_; }
  void MessageBox(const std::string& text, const std::string& caption) override {
    trace_->Add("MessageBox:" + text + "|" + caption);
  }
  bool IsSameDiagPort(int) override { return true; }
  void RefreshPortLists() override {}

 private:
  Trace* trace_;
  std::atomic<bool> change_{false}, arrival_{false};
};

}  // namespace zovir::test
