#pragma once
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/tcomms_thread.h"
#include "engine_doubles.h"
#include "platform/fake_clock.h"
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
    engine.OnStatusText = [t](void*, CommStatus s, const std::string& text, int slot, MESSAGE_TYPE k) {
      t->AddReport({Report::Status, s, k, text, slot, 0});
    };
    engine.OnError = [t](void*, const std::string& text, int slot) {
      t->AddReport({Report::Error, csInfo, mtError, text, slot, 0});
    };
    engine.OnProgress = [t](void*, int position, int slot, int maximum) {
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

  FakeClock clock_;
  ScriptedPortFactory ports_{clock_};
  std::shared_ptr<Script> script_ = std::make_shared<Script>();
  FakeHost host_{script_->trace};
  std::string tempDir_;
  std::string root_;
};

}  // namespace zovir::test
