// The launchers with real programs: the helper programs of the work folder, and a stand-in
// adb on the PATH that records how it was run and leaves a "server" behind.
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <signal.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <thread>

#include <gtest/gtest.h>

#include "discovery/launchers.h"
#include "platform/profile_file.h"
#include "support/scratch_dir.h"

namespace zovir {
namespace {

using test::ReadAll;
using test::ScratchDir;
namespace fs = std::filesystem;

std::string Install(const std::string& from, const std::string& folder, const std::string& name) {
  fs::create_directories(folder);
  std::string to = folder + "/" + name;
  fs::copy_file(from, to, fs::copy_options::overwrite_existing);
  chmod(to.c_str(), 0755);
  return to;
}

template <typename Pred>
bool WaitUntil(Pred pred, int ms = 20000) {
  for (int i = 0; i < ms / 5; ++i) {
    if (pred()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return pred();
}

bool Alive(int pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat((std::istreambuf_iterator<char>(in)), {});
  size_t paren = stat.rfind(')');
  return paren != std::string::npos && paren + 2 < stat.size() && stat[paren + 2] != 'Z' && stat[paren + 2] != 'X';
}

// Sleeps for real, a tenth of the asked time; `hook` runs before a sleep of the given
// position (0-based) so that a test waits for an event instead of a time.
class TestClock final : public Clock {
 public:
  uint64_t NowMs() override { return real_.NowMs(); }
  int64_t WallSeconds() override { return real_.WallSeconds(); }
  void SleepMs(uint32_t ms) override {
    if (hooks.count(sleeps.size())) hooks[sleeps.size()]();
    sleeps.push_back(ms);
    real_.SleepMs(ms / 10);
  }
  std::vector<uint32_t> sleeps;
  std::map<size_t, std::function<void()>> hooks;

 private:
  SteadyClock real_;
};

TEST(LaunchersWithPrograms, HelperProgramsLeaveTheirResultsInTheirConfigIni) {
  ScratchDir dir;
  std::string folder = dir.Sub("images");
  Install(ZOVIR_RESET_HELPER, folder, "ResetHelper");
  Install(ZOVIR_DRIVER_INSTALLER, folder, "DriverInstaller");
  dir.File("images/Config.ini", "[Project]\nExecuteResetModem=100\n[Uninstall]\nUninstallUDisk=1\n");
  // No modem anywhere: the reset helper must report that.
  setenv("ZOVIR_DEVICE_MAP", dir.File("devices.ini", "").c_str(), 1);
  setenv("ZOVIR_USB_MAP", dir.File("usb.ini", "").c_str(), 1);
  auto processes = MakeLinuxProcesses(dir.Sub("run"));

  ASSERT_TRUE(StartHelperHidden(*processes, folder, "ResetHelper"));
  EXPECT_TRUE(WaitUntil([&] {
    return ProfileFile(folder + "/Config.ini").GetString("Project", "ExecuteResetModem", "") == "-1";
  }));
  EXPECT_FALSE(StartHelperHidden(*processes, folder, "NoSuchHelper"));

  EXPECT_EQ(ResetDriverInstallerFlag(folder), 1);
  EXPECT_EQ(ProfileFile(folder + "/Config.ini").GetInt("Uninstall", "UninstallUDisk", -1), 0);
  if (getuid() == 0 && fs::exists("/sys/module/usbserial")) {
    GTEST_SKIP() << "the installer would install udev rules into this system";
  }
  SteadyClock clock;
  LauncherContext ctx{*processes, clock, {}};
  int result = RunDriverInstaller(ctx, folder);
  // Whatever this machine's drivers are, the answer is what the installer left there.
  EXPECT_EQ(result, ProfileFile(folder + "/Config.ini").GetInt("Uninstall", "UninstallUDisk", -1));
  if (!fs::exists("/sys/module/usbserial") && !fs::exists("/lib/modules")) {
    EXPECT_EQ(result, 0) << "no serial drivers here";
  }
  unsetenv("ZOVIR_DEVICE_MAP");
  unsetenv("ZOVIR_USB_MAP");
}

TEST(LaunchersWithPrograms, RebootRunsAdbFromThePathAndEndsOnlyTheServerItLeft) {
  ScratchDir dir;
  std::string bin = dir.Sub("bin");
  std::string record = dir.Sub("adb-record.txt");
  std::string server = Install("/bin/sleep", dir.Sub("server"), "adb");
  dir.File("bin/adb",
           "#!/bin/sh\n"
           "{ pwd; for a in \"$@\"; do printf '%s\\n' \"$a\"; done; } > \"$ZOVIR_TEST_ADB_RECORD.tmp\"\n"
           "\"$ZOVIR_TEST_ADB_SERVER\" 60 </dev/null >/dev/null 2>&1 &\n"
           "echo $! >> \"$ZOVIR_TEST_ADB_RECORD.tmp\"\n"
           "mv \"$ZOVIR_TEST_ADB_RECORD.tmp\" \"$ZOVIR_TEST_ADB_RECORD\"\n");
  chmod((bin + "/adb").c_str(), 0755);
  std::string oldPath = getenv("PATH") ? getenv("PATH") : "";
  setenv("PATH", (bin + ":" + oldPath).c_str(), 1);
  setenv("ZOVIR_TEST_ADB_RECORD", record.c_str(), 1);
  setenv("ZOVIR_TEST_ADB_SERVER", server.c_str(), 1);

  auto processes = MakeLinuxProcesses(dir.Sub("run"));
  // An adb server the user ran before the request.
  int error = 0;
  auto users = processes->Start({Install("/bin/sleep", dir.Sub("user"), "adb"), {"60"}, "", true}, error);
  ASSERT_NE(users, nullptr);
  ASSERT_TRUE(WaitUntil([&] { return fs::read_symlink("/proc/" + std::to_string(users->Pid()) + "/exe").filename() == "adb"; }));

  std::string images = dir.Sub("fw & touch pwned; \"q\" $(touch pwned2)");
  dir.File("fw & touch pwned; \"q\" $(touch pwned2)/partition.mbn", "x");
  TestClock clock;
  // Before the pause after the start, wait until the stand-in has done its work.
  clock.hooks[2] = [&] { WaitUntil([&] { return fs::exists(record); }); };
  auto table = MakeLinuxProcessTable();
  std::vector<std::string> statuses;
  LauncherContext ctx{*processes, clock, {}};
  RebootToBootloader(ctx, *table, images + "/partition.mbn", [&](const std::string& s) { statuses.push_back(s); });

  EXPECT_EQ(clock.sleeps, (std::vector<uint32_t>{2000, 5000, 5000, 5000}));
  EXPECT_EQ(statuses, (std::vector<std::string>{"Upgrading..."}));
  std::string text = ReadAll(record);
  size_t cut = text.rfind("\n", text.size() - 2);
  ASSERT_NE(cut, std::string::npos) << text;
  EXPECT_EQ(text.substr(0, cut + 1), images + "\nshell\nsys_reboot\nbootloader\n");
  int serverPid = std::stoi(text.substr(cut + 1));
  EXPECT_TRUE(WaitUntil([&] { return !Alive(serverPid); })) << "the server the command left is ended";
  EXPECT_EQ(users->Wait(0), std::nullopt) << "the user's own adb keeps running";
  EXPECT_FALSE(fs::exists(images + "/pwned"));
  EXPECT_FALSE(fs::exists(images + "/pwned2"));
  EXPECT_FALSE(fs::exists("pwned"));

  users->Terminate();
  users->Wait(10000);
  if (Alive(serverPid)) kill(serverPid, SIGKILL);
  setenv("PATH", oldPath.c_str(), 1);
}

}  // namespace
}  // namespace zovir
