#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "platform/processes.h"
#include "support/scratch_dir.h"

namespace zovir {
namespace {

using test::ReadAll;
using test::ScratchDir;

std::string Trimmed(std::string s) {
  while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
  return s;
}

// Copies a long-running program under another name, the way a payload folder holds its tools.
std::string InstallSleeper(const std::string& folder, const std::string& name) {
  std::filesystem::create_directories(folder);
  std::string path = folder + "/" + name;
  std::filesystem::copy_file("/bin/sleep", path, std::filesystem::copy_options::overwrite_existing);
  chmod(path.c_str(), 0755);
  return path;
}

TEST(Processes, ArgumentsReachTheProgramVerbatimInItsWorkingFolder) {
  ScratchDir dir;
  std::string work = dir.Sub("folder with & and \"quotes\"");
  std::filesystem::create_directories(work);
  auto processes = MakeLinuxProcesses(dir.Sub("run"));
  // The script prints its arguments one per line; none of them may be interpreted.
  ProcessSpec spec{"/bin/sh",
                   {"-c", "pwd > args.txt; for a in \"$@\"; do printf '%s\\n' \"$a\" >> args.txt; done", "sh",
                    "a b", "x & touch injected", "$(touch injected2)", "'\"", ""},
                   work,
                   true};
  int error = -1;
  auto child = processes->Start(spec, error);
  ASSERT_NE(child, nullptr);
  EXPECT_EQ(error, 0);
  ASSERT_EQ(child->Wait(10000), 0);
  EXPECT_EQ(ReadAll(work + "/args.txt"),
            work + "\na b\nx & touch injected\n$(touch injected2)\n'\"\n\n");
  EXPECT_FALSE(std::filesystem::exists(work + "/injected"));
  EXPECT_FALSE(std::filesystem::exists(work + "/injected2"));
}

TEST(Processes, HiddenProcessHasNoTerminalAndItsOwnSession) {
  ScratchDir dir;
  auto processes = MakeLinuxProcesses(dir.Sub("run"));
  int error = -1;
  // A bare program name is looked up on the PATH.
  auto child = processes->Start(
      {"sh", {"-c", "readlink /proc/$$/fd/0 > stdin.txt; cut -d' ' -f6 /proc/$$/stat > session.txt"}, dir.path(), true},
      error);
  ASSERT_NE(child, nullptr);
  ASSERT_EQ(child->Wait(10000), 0);
  EXPECT_EQ(Trimmed(ReadAll(dir.Sub("stdin.txt"))), "/dev/null");
  EXPECT_EQ(Trimmed(ReadAll(dir.Sub("session.txt"))), std::to_string(child->Pid()));
}

TEST(Processes, ExitCodeWaitAndTerminate) {
  ScratchDir dir;
  auto processes = MakeLinuxProcesses(dir.Sub("run"));
  int error = -1;
  auto quick = processes->Start({"/bin/sh", {"-c", "exit 7"}, "", true}, error);
  ASSERT_NE(quick, nullptr);
  EXPECT_EQ(quick->Wait(10000), 7);
  EXPECT_EQ(quick->Wait(0), 7) << "the code stays available";
  EXPECT_FALSE(quick->Terminate()) << "an ended process is never signalled again";

  auto slow = processes->Start({"/bin/sleep", {"60"}, "", true}, error);
  ASSERT_NE(slow, nullptr);
  EXPECT_EQ(slow->Wait(0), std::nullopt);
  EXPECT_TRUE(slow->Terminate());
  EXPECT_EQ(slow->Wait(10000), 128 + SIGTERM);
}

TEST(Processes, StartFailuresAreReportedWithACode) {
  ScratchDir dir;
  auto processes = MakeLinuxProcesses(dir.Sub("run"));
  struct Case {
    const char* what;
    ProcessSpec spec;
  } cases[] = {
      {"missing program", {dir.Sub("no-such-program"), {}, "", true}},
      {"missing program on the PATH", {"zovir-no-such-program", {}, "", true}},
      {"missing working folder", {"/bin/true", {}, dir.Sub("no-such-folder"), true}},
      {"empty program", {"", {}, "", true}},
  };
  for (const Case& c : cases) {
    int error = 0;
    EXPECT_EQ(processes->Start(c.spec, error), nullptr) << c.what;
    EXPECT_NE(error, 0) << c.what;
  }
}

TEST(Processes, TerminateByNameEndsOnlyThatFoldersPrograms) {
  ScratchDir dir;
  auto processes = MakeLinuxProcesses(dir.Sub("run"));
  std::string work = dir.Sub("TempFiles");
  // A folder whose name merely starts like the work folder is another folder.
  std::string other = dir.Sub("TempFiles-other");
  struct Case {
    std::string path;
    bool ended;
  } cases[] = {
      {InstallSleeper(work, "adb"), true},
      {InstallSleeper(work, "ADB.EXE"), true},
      {InstallSleeper(work + "/platform-tools", "Adb"), true},
      {InstallSleeper(work, "adbd"), false},
      {InstallSleeper(other, "adb"), false},
  };
  std::vector<std::unique_ptr<ProcessHandle>> children;
  for (const Case& c : cases) {
    int error = 0;
    children.push_back(processes->Start({c.path, {"60"}, "", true}, error));
    ASSERT_NE(children.back(), nullptr) << c.path;
  }
  // Wait until every child runs its program, not the spawner's copy of us.
  for (auto& child : children) {
    std::string exe = "/proc/" + std::to_string(child->Pid()) + "/exe";
    for (int i = 0; i < 2000 && std::filesystem::read_symlink(exe).filename() == "processes_linux_test"; ++i) usleep(1000);
  }

  EXPECT_EQ(processes->TerminateProcessesByName("adb.exe", work), 3);
  for (size_t i = 0; i < children.size(); ++i) {
    if (cases[i].ended) {
      EXPECT_TRUE(children[i]->Wait(10000).has_value()) << cases[i].path;
    } else {
      EXPECT_EQ(children[i]->Wait(0), std::nullopt) << cases[i].path;
      children[i]->Terminate();
      children[i]->Wait(10000);
    }
  }
  EXPECT_EQ(processes->TerminateProcessesByName("adb", dir.Sub("missing")), 0);
}

TEST(Processes, NamedLockIsExclusiveWhileHeld) {
  ScratchDir dir;
  std::string runtime = dir.Sub("not/yet/there");
  auto processes = MakeLinuxProcesses(runtime);
  auto first = processes->CreateNamedLock("Downloading_Mutex");
  ASSERT_NE(first, nullptr);
  EXPECT_FALSE(first->AlreadyExisted());
  EXPECT_TRUE(std::filesystem::exists(runtime + "/Downloading_Mutex"));

  auto second = processes->CreateNamedLock("Downloading_Mutex");
  ASSERT_NE(second, nullptr);
  EXPECT_TRUE(second->AlreadyExisted());

  // Another program holding it (a separate process) counts as well.
  int error = 0;
  auto holder = processes->Start(
      {"/usr/bin/flock", {"--no-fork", runtime + "/inno setup valmora sw", "/bin/sleep", "60"}, "", true}, error);
  ASSERT_NE(holder, nullptr);
  bool seen = false;
  for (int i = 0; i < 2000 && !seen; ++i) {
    seen = processes->CreateNamedLock("inno setup valmora sw")->AlreadyExisted();
    if (!seen) usleep(2000);
  }
  EXPECT_TRUE(seen);
  holder->Terminate();
  holder->Wait(10000);

  second.reset();
  first.reset();
  EXPECT_FALSE(processes->CreateNamedLock("Downloading_Mutex")->AlreadyExisted());

  // A name cannot lead out of the runtime folder.
  auto odd = processes->CreateNamedLock("../escape/name");
  ASSERT_NE(odd, nullptr);
  EXPECT_FALSE(odd->AlreadyExisted());
  EXPECT_FALSE(std::filesystem::exists(dir.Sub("not/yet/escape")));
  EXPECT_TRUE(std::filesystem::exists(runtime + "/.._escape_name"));
}

TEST(Processes, ALockThatCannotBeTakenCountsAsHeldAndSharedFoldersGetAPrivateOne) {
  ScratchDir dir;
  const std::string runtime = dir.Sub("run");
  auto processes = MakeLinuxProcesses(runtime);
  ASSERT_FALSE(processes->CreateNamedLock("probe")->AlreadyExisted());
  // A link planted where the lock file goes.
  std::filesystem::create_symlink(dir.Sub("elsewhere"), runtime + "/Downloading_Mutex");
  EXPECT_TRUE(processes->CreateNamedLock("Downloading_Mutex")->AlreadyExisted());
  EXPECT_FALSE(std::filesystem::exists(dir.Sub("elsewhere")));

  // A folder others may write (as /tmp): the locks go into a folder of the user's own.
  const std::string shared = dir.Sub("shared");
  std::filesystem::create_directories(shared);
  std::filesystem::permissions(shared, std::filesystem::perms::all | std::filesystem::perms::sticky_bit);
  auto inShared = MakeLinuxProcesses(shared);
  auto lock = inShared->CreateNamedLock("Downloading_Mutex");
  EXPECT_FALSE(lock->AlreadyExisted());
  EXPECT_FALSE(std::filesystem::exists(shared + "/Downloading_Mutex"));
  const std::string own = shared + "/zovir-locks-" + std::to_string(geteuid());
  EXPECT_TRUE(std::filesystem::exists(own + "/Downloading_Mutex"));
  EXPECT_TRUE(inShared->CreateNamedLock("Downloading_Mutex")->AlreadyExisted());
  lock.reset();
  // Someone else's folder (here: one others may write) in that place is never used.
  std::filesystem::remove_all(own);
  std::filesystem::create_directories(own);
  std::filesystem::permissions(own, std::filesystem::perms::all);
  EXPECT_TRUE(inShared->CreateNamedLock("Downloading_Mutex")->AlreadyExisted());
}

}  // namespace
}  // namespace zovir
