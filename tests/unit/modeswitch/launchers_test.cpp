#include "discovery/launchers.h"

#include <sys/stat.h>

#include <filesystem>
#include <map>

#include <gtest/gtest.h>

#include "platform/fake_clock.h"
#include "platform/profile_file.h"
#include "support/scratch_dir.h"

namespace zovir {
namespace {

using test::ReadAll;
using test::ScratchDir;

// Records what is started; `onStart` plays the program's part; `failStarts` refuses the
// first so many starts.
class FakeProcesses final : public Processes {
 public:
  struct Started {
    ProcessSpec spec;
    uint64_t atMs;
  };
  class Handle final : public ProcessHandle {
   public:
    Handle(FakeProcesses& owner, int pid) : owner_(owner), pid_(pid) {}
    int Pid() const override { return pid_; }
    std::optional<int> Wait(int) override {
      if (owner_.running) return std::nullopt;
      return 0;
    }
    bool Terminate() override {
      owner_.terminated.push_back(pid_);
      return true;
    }

   private:
    FakeProcesses& owner_;
    int pid_;
  };

  explicit FakeProcesses(Clock& clock) : clock_(clock) {}
  std::unique_ptr<ProcessHandle> Start(const ProcessSpec& spec, int& error) override {
    started.push_back({spec, clock_.NowMs()});
    if (failStarts > 0) {
      --failStarts;
      error = ENOENT;
      return nullptr;
    }
    if (onStart) onStart(spec);
    return std::make_unique<Handle>(*this, 500);
  }
  int TerminateProcessesByName(const std::string&, const std::string&) override { return 0; }
  std::unique_ptr<NamedLock> CreateNamedLock(const std::string&) override { return nullptr; }

  std::vector<Started> started;
  std::vector<int> terminated;
  std::function<void(const ProcessSpec&)> onStart;
  int failStarts = 0;
  bool running = false;

 private:
  Clock& clock_;
};

TEST(DriverInstaller, ResultIsWhatTheInstallerLeftInConfigIniAfterThreeSeconds) {
  struct Case {
    const char* name;
    std::string before;       // Config.ini before the start
    const char* written;      // what the "installer" writes, nullptr: nothing
    bool startable;
    int result;
  } cases[] = {
      {"installer reports completion", "[Uninstall]\nUninstallUDisk=0\n", "1", true, 1},
      {"installer reports something else", "[Uninstall]\nUninstallUDisk=0\n", "2", true, 0},
      {"installer writes nothing", "[Project]\nCaption=x\n", nullptr, true, 0},
      {"installer cannot start: the old value stands", "[Uninstall]\nUninstallUDisk=1\n", nullptr, false, 1},
      {"no Config.ini", "", nullptr, true, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir dir;
    if (!c.before.empty()) dir.File("Config.ini", c.before);
    FakeClock clock;
    FakeProcesses processes(clock);
    processes.failStarts = c.startable ? 0 : 1;
    processes.onStart = [&](const ProcessSpec&) {
      if (c.written) ProfileFile(dir.Sub("Config.ini")).WriteString("Uninstall", "UninstallUDisk", c.written);
    };
    LauncherContext ctx{processes, clock, {}};
    EXPECT_EQ(RunDriverInstaller(ctx, dir.path()), c.result);
    EXPECT_EQ(clock.SleptMs(), 3000u);
    ASSERT_EQ(processes.started.size(), 1u);
    const ProcessSpec& spec = processes.started[0].spec;
    EXPECT_EQ(spec.program, dir.Sub("DriverInstaller"));
    EXPECT_TRUE(spec.args.empty());
    EXPECT_EQ(spec.workingDir, dir.path());
    EXPECT_TRUE(spec.hidden);
  }
}

TEST(DriverInstaller, ResetClearsOnlyTheFlag) {
  ScratchDir dir;
  std::string config = dir.File("Config.ini", "[Project]\r\nCaption=Quorvel\r\n[Uninstall]\r\nUninstallUDisk=1\r\n");
  EXPECT_EQ(ResetDriverInstallerFlag(dir.path()), 1);
  EXPECT_EQ(ReadAll(config), "[Project]\r\nCaption=Quorvel\r\n[Uninstall]\r\nUninstallUDisk=0\r\n");
}

class FakeTable final : public ProcessTable {
 public:
  std::vector<std::vector<int>> snapshots;  // returned in turn
  std::vector<int> ended;
  std::vector<int> PidsNamed(const std::string& name) override {
    names.push_back(name);
    if (snapshots.empty()) return {};
    std::vector<int> s = snapshots.front();
    snapshots.erase(snapshots.begin());
    return s;
  }
  bool End(int pid) override {
    ended.push_back(pid);
    return true;
  }
  std::vector<std::string> names;
};

TEST(RebootToBootloader, RunsAdbWithArgumentsInThePartitionFolder) {
  struct Case {
    const char* name;
    std::string partition;
    std::string workingDir;
    int failStarts;
    uint64_t slept;
    std::vector<uint64_t> startTimes;  // after the call began
    std::vector<int> ended;
  } cases[] = {
      {"ordinary folder", "/images/fw/partition.mbn", "/images/fw", 0, 17000, {7000}, {31}},
      {"folder with shell characters", "/tmp/a & rm -rf x \"q\" $(id)/partition.mbn", "/tmp/a & rm -rf x \"q\" $(id)", 0,
       17000, {7000}, {31}},
      {"no partition image: the tool's own folder", "", "", 0, 17000, {7000}, {31}},
      {"adb cannot start: one more try after 30 s", "/images/partition.mbn", "/images", 1, 47000, {7000, 37000}, {31}},
      {"adb cannot start at all: 500 is not ours either", "/images/partition.mbn", "/images", 2, 47000, {7000, 37000},
       {31, 500}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeClock clock;
    uint64_t t0 = clock.NowMs();
    FakeProcesses processes(clock);
    processes.failStarts = c.failStarts;
    FakeTable table;
    table.snapshots = {{10, 20}, {10, 20, 31, 500}};
    std::vector<std::string> statuses;
    LauncherContext ctx{processes, clock, {}};
    RebootToBootloader(ctx, table, c.partition, [&](const std::string& s) { statuses.push_back(s); });

    EXPECT_EQ(clock.SleptMs(), c.slept);
    ASSERT_EQ(processes.started.size(), c.startTimes.size());
    for (size_t i = 0; i < c.startTimes.size(); ++i) {
      const ProcessSpec& spec = processes.started[i].spec;
      EXPECT_EQ(processes.started[i].atMs - t0, c.startTimes[i]);
      EXPECT_EQ(spec.program, "adb");
      EXPECT_EQ(spec.args, (std::vector<std::string>{"shell", "sys_reboot", "bootloader"}));
      EXPECT_EQ(spec.workingDir, c.workingDir);
      EXPECT_TRUE(spec.hidden);
    }
    // The server the command left (31) is ended; adb programs that ran before are not, and
    // our own client (500) is dealt with through its handle.
    EXPECT_EQ(table.ended, c.ended);
    EXPECT_EQ(table.names, (std::vector<std::string>{"adb", "adb"}));
    EXPECT_EQ(statuses, (std::vector<std::string>{"Upgrading..."}));
  }
}

TEST(RebootToBootloader, AClientStillRunningAfterThePauseIsEnded) {
  FakeClock clock;
  FakeProcesses processes(clock);
  processes.running = true;
  FakeTable table;
  LauncherContext ctx{processes, clock, {}};
  RebootToBootloader(ctx, table, "/images/partition.mbn", {});
  EXPECT_EQ(processes.terminated, (std::vector<int>{500}));
}

// A store whose writes fail, with or without a value already there.
class BrokenStore final : public KeyValueStore {
 public:
  explicit BrokenStore(bool hasValue) : hasValue_(hasValue) {}
  std::optional<std::string> Read(const std::string&, const std::string&) override {
    return hasValue_ ? std::optional<std::string>("OK") : std::nullopt;
  }
  bool Write(const std::string&, const std::string&, const std::string&) override { return false; }

 private:
  bool hasValue_;
};

TEST(SetDownloadSupport, WritesTheValueAndLogsFailures) {
  ScratchDir dir;
  auto store = MakeFileKeyValueStore(dir.Sub("settings.ini"));
  std::vector<std::string> log;
  auto sink = [&](const std::string& l) { log.push_back(l); };
  SetDownloadSupport(*store, 1, sink);
  EXPECT_EQ(store->Read("SOFTWARE\\rgdriverinfo", "DownloadSupport"), "OK");
  SetDownloadSupport(*store, 0, sink);
  EXPECT_EQ(store->Read("SOFTWARE\\rgdriverinfo", "DownloadSupport"), "NOK");
  EXPECT_TRUE(log.empty());

  BrokenStore fresh(false), existing(true);
  SetDownloadSupport(fresh, 1, sink);
  SetDownloadSupport(existing, 1, sink);
  SetDownloadSupport(existing, 0, {});  // no log: nothing happens
  EXPECT_EQ(log, (std::vector<std::string>{"Failed to create key. Do you run it in administrator's right?",
                                           "Failed to modify reg information."}));
}

TEST(RebootRequestListener, TakesOneWordPerConnection) {
  ScratchDir dir;
  std::string runtime = dir.Sub("run");
  std::atomic<int> requests{0};
  {
    RebootRequestListener listener(runtime, [&] { ++requests; });
    ASSERT_TRUE(listener.Listening()) << listener.Error();
    struct stat st {};
    ASSERT_EQ(stat(listener.SocketPath().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 077, 0u) << "only this user may ask";

    struct Case {
      std::string word, answer;
      int requestsAfter;
    } cases[] = {
        {"bootloader", "OK", 1}, {"BOOTLOADER", "OK", 2}, {"reboot", "ERROR", 2}, {"", "ERROR", 2},
        {std::string(1000, 'b'), "ERROR", 2},
    };
    for (const Case& c : cases) {
      EXPECT_EQ(SendRebootRequest(runtime, c.word), c.answer) << c.word;
      // The answer comes before the request is handed on; wait for it.
      for (int i = 0; i < 2000 && requests.load() < c.requestsAfter; ++i) usleep(1000);
      EXPECT_EQ(requests.load(), c.requestsAfter) << c.word;
    }

    RebootRequestListener second(runtime, [] {});
    EXPECT_FALSE(second.Listening()) << "a running tool keeps its socket";
    EXPECT_EQ(second.Error(), EADDRINUSE);
    EXPECT_EQ(SendRebootRequest(runtime), "OK");
  }
  EXPECT_FALSE(std::filesystem::exists(runtime + "/zovir-reboot.sock"));
  EXPECT_EQ(SendRebootRequest(runtime), "") << "nobody listens";
}

}  // namespace
}  // namespace zovir
