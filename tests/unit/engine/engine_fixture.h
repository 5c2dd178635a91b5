#pragma once
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/tcomms_thread.h"
#include "engine_doubles.h"
#include "platform/fake_clock.h"
#include "preservation/backup_record.h"
#include "preservation/identity_backup.h"
#include "support/scripted_port.h"

namespace zovir::test {

namespace fs = std::filesystem;

// A complete engine on a FakeClock with ScriptedPorts "COM7" (diagnostic) and "COM8" (AT)
// and doubles of every collaborator; backups go to a fresh temporary folder.
class EngineFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "zovir-engine-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    tempDir_ = pattern;
    root_ = (fs::path(tempDir_) / "Backup").string();
    fs::create_directories(root_);
    ports_.Port("COM7");
    ports_.Port("COM8");
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(tempDir_, ec);
  }

  PhaseFactory Phases() {
    return [script = script_](EngineCore& core, Link&) { return std::make_unique<FakePhases>(script, core); };
  }

  std::shared_ptr<TCommsThread> MakeEngine(const std::function<void(EngineConfig&)>& setup = {}) {
    auto engine = std::make_shared<TCommsThread>(clock_, ports_, &host_, Phases());
    Configure(*engine, setup);
    return engine;
  }

  // A typical configuration: backup and restore on, project type 3, no platform check; the
  // reports go to the trace.
  void Configure(TCommsThread& engine, const std::function<void(EngineConfig&)>& setup = {}) {
    EngineConfig& c = engine.cfg;
    c.Index = 0;
    c.ComPort = 7;
    c.SerialComPort = 8;
    c.PlatformName = 255;
    c.ProjectType = 3;
    c.bBackup = 1;
    c.bRestore = 1;
    c.BackupFilePath = root_;
    if (setup) setup(c);
    Trace* t = &script_->trace;
    engine.OnStatusText = [t](CommStatus s, const std::string& text, int slot, MESSAGE_TYPE k) {
      t->AddReport({Report::Status, s, k, text, slot, 0});
    };
    engine.OnError = [t](const std::string& text, int slot) {
      t->AddReport({Report::Error, csInfo, mtError, text, slot, 0});
    };
    engine.OnProgress = [t](int position, int slot, int maximum) {
      EXPECT_EQ(maximum, 100);
      t->AddReport({Report::Progress, csInfo, mtProgress, "", slot, position});
    };
  }

  void Run(TCommsThread& engine) {
    ASSERT_TRUE(engine.Resume());
    ASSERT_TRUE(engine.WaitFor(60000)) << "engine did not end";
  }

  std::shared_ptr<TCommsThread> RunWith(const std::function<void(EngineConfig&)>& setup = {}) {
    auto engine = MakeEngine(setup);
    Run(*engine);
    return engine;
  }

  // A fresh script (doubles' answers and trace) for the next run.
  void NewScript() {
    script_ = std::make_shared<Script>();
    host_.SetTrace(script_->trace);
  }
  Trace& trace() { return script_->trace; }
  Script& script() { return *script_; }
  std::string Folder(const std::string& name) const { return (fs::path(root_) / name).string(); }
  std::string File(const std::string& folder, const std::string& name) const {
    return (fs::path(folder) / name).string();
  }

  // True when some event starts with `prefix`.
  bool Saw(const std::string& prefix) const {
    for (const auto& e : script_->trace.Events())
      if (e.rfind(prefix, 0) == 0) return true;
    return false;
  }
  int CountPrefix(const std::string& prefix) const {
    int n = 0;
    for (const auto& e : script_->trace.Events())
      if (e.rfind(prefix, 0) == 0) ++n;
    return n;
  }
  // The events of `expected` occur in this order (others may lie between them).
  void ExpectInOrder(const std::vector<std::string>& expected) const {
    const auto events = script_->trace.Events();
    size_t at = 0;
    for (const auto& want : expected) {
      while (at < events.size() && events[at] != want) ++at;
      ASSERT_LT(at, events.size()) << "missing or out of order: " << want;
      ++at;
    }
  }
  std::vector<int> ProgressPositions() const {
    std::vector<int> out;
    for (const auto& r : script_->trace.Reports())
      if (r.kind == Report::Progress) out.push_back(r.position);
    return out;
  }

  // A backup an earlier run of the modem `sn` completed, with a real scrambled identity file;
  // `mark` is what became of the modem after it (by default: written, then the run failed).
  std::string MakeSavedBackup(const std::string& sn, const std::string& imei, bool seal = true,
                              const std::string& name = {}, ModemMark mark = ModemMark::Written) {
    const std::string folder = Folder(name.empty() ? "SN[" + sn + "]" : name);
    fs::create_directories(fs::path(folder) / "EFS" / "data" / "sub");
    const std::string plain = File(tempDir_, "plain.ini");
    std::ofstream(plain) << "[BACKUP]\r\nbSN=1\r\nbIMEI=1\r\n[Data]\r\nSN=" << sn << "\r\nIMEI=" << imei << "\r\n";
    EXPECT_EQ(ShiftFileBytes(plain, File(folder, "EncryptAT.bak"), +1), FileCopyResult::Ok);
    fs::remove(plain);
    std::ofstream(File(folder, "nv.bak")) << "nv items of " << sn;
    std::ofstream(File(folder, "nv1.bak")) << "rf items of " << sn;
    std::ofstream(fs::path(folder) / "EFS" / "data" / "settings.cfg") << "user settings";
    std::ofstream(fs::path(folder) / "EFS" / "data" / "sub" / "empty.dat");
    std::string why;
    if (seal) {
      EXPECT_TRUE(SealBackup(folder, sn, "20261210-101010", why, mark)) << why;
    }
    return folder;
  }

  // Nothing of the update reached the modem.
  void ExpectNothingWritten() {
    EXPECT_FALSE(Saw("ProgrammerPhase"));
    EXPECT_FALSE(Saw("DownloadImages"));
    EXPECT_FALSE(Saw("RestoreNV"));
    EXPECT_FALSE(Saw("RestoreIdentity"));
    EXPECT_FALSE(trace().Passed());
  }

  std::vector<std::string> FoldersStartingWith(const std::string& prefix) const {
    std::vector<std::string> out;
    for (const auto& e : fs::directory_iterator(root_))
      if (e.is_directory() && e.path().filename().string().rfind(prefix, 0) == 0) out.push_back(e.path().string());
    return out;
  }

  // What the record of `folder` says became of the modem (Untouched when it has none).
  ModemMark MarkOf(const std::string& folder) const {
    BackupContents contents;
    std::string why;
    return CheckBackupRecord(folder, contents, why) ? contents.modem : ModemMark::Untouched;
  }

  void ClearBackups() {
    for (const auto& e : fs::directory_iterator(root_)) fs::remove_all(e.path());
  }

  FakeClock clock_;
  ScriptedPortFactory ports_{clock_};
  std::shared_ptr<Script> script_ = std::make_shared<Script>();
  FakeHost host_{script_->trace};
  std::string tempDir_;
  std::string root_;
};

}  // namespace zovir::test
