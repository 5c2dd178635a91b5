#include "ui/work_folders.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "temp_folder.h"

namespace zovir {
namespace {

namespace fs = std::filesystem;
using testing_support::ModeOf;
using testing_support::ReadFile;
using testing_support::TempFolder;
using testing_support::WriteFile;

SystemPaths PathsIn(const TempFolder& t) {
  return SystemPaths{t / "run", t / "data/Backup", t / "state/logs", t / "config", t / "config/autotest"};
}

TEST(WorkFolders, EachStartGetsAFreshPrivateFolderThatGoesAtExitWhileTheBackupStays) {
  TempFolder t;
  std::string first, second;
  {
    WorkFolders a(PathsIn(t));
    WorkFolders b(PathsIn(t));
    first = a.TempPath();
    second = b.TempPath();
    EXPECT_NE(first, second);
    EXPECT_EQ(fs::path(first).parent_path(), fs::path(t / "run"));
    EXPECT_EQ(ModeOf(first), 0700u);
    EXPECT_EQ(a.WorkFolder(), first + "/TempFiles");
    EXPECT_EQ(a.SecondPacketFolder(), first + "/TempFiles2");
    EXPECT_TRUE(fs::is_directory(a.WorkFolder()));
    EXPECT_EQ(ModeOf(a.WorkFolder()), 0700u);
    EXPECT_EQ(ModeOf(a.BackupFolder()), 0700u);
    WriteFile(a.WorkFolder() + "/sub/x.mbn", "x");
    CreateFolderPath(a.SecondPacketFolder());
    WriteFile(a.BackupFolder() + "/SN[123]/nv.bak", "nv");
  }
  EXPECT_FALSE(fs::exists(first));
  EXPECT_FALSE(fs::exists(second));
  EXPECT_TRUE(fs::is_directory(t / "run"));
  EXPECT_EQ(ReadFile(t / "data/Backup/SN[123]/nv.bak"), "nv");
}

TEST(WorkFolders, KeepLeavesTheFolderForInspection) {
  TempFolder t;
  std::string session;
  {
    WorkFolders a(PathsIn(t));
    a.Keep();
    session = a.TempPath();
  }
  EXPECT_TRUE(fs::is_directory(session + "/TempFiles"));
}

TEST(WorkFolders, AStartRemovesTheFoldersOfRunsThatAreGoneAndNothingElse) {
  TempFolder t, outside;
  const SystemPaths paths = PathsIn(t);
  // A run killed outright: its process ends without any clean-up.
  int pipeFds[2];
  ASSERT_EQ(pipe(pipeFds), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    WorkFolders killed(paths);
    WriteFile(killed.WorkFolder() + "/NPRG9x06.mbn", std::string(4096, 'x'));
    const std::string path = killed.TempPath();
    (void)!write(pipeFds[1], path.data(), path.size());
    _exit(0);
  }
  close(pipeFds[1]);
  char buffer[512] = {};
  const ssize_t n = read(pipeFds[0], buffer, sizeof buffer - 1);
  close(pipeFds[0]);
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_GT(n, 0);
  const std::string killed(buffer, static_cast<size_t>(n));
  ASSERT_TRUE(fs::is_directory(killed));

  std::string kept;
  {
    WorkFolders k(paths);
    k.Keep();
    kept = k.TempPath();
  }
  WorkFolders running(paths);
  const std::string young = t / "run/quorvel-zovir-Ab12Cd";  // being made by another start
  fs::create_directories(young);
  WriteFile(outside / "precious", "keep");
  fs::create_directory_symlink(outside.Path(), t / "run/quorvel-zovir-LinkXX");
  const std::string unrelated = t / "run/other-folder";
  fs::create_directories(unrelated);

  WorkFolders next(paths);
  EXPECT_FALSE(fs::exists(killed)) << "the killed run's folder goes";
  EXPECT_TRUE(fs::is_directory(running.WorkFolder())) << "a running one stays";
  EXPECT_TRUE(fs::is_directory(kept + "/TempFiles")) << "a kept one stays";
  EXPECT_TRUE(fs::is_directory(young));
  EXPECT_TRUE(fs::exists(outside / "precious"));
  EXPECT_TRUE(fs::is_directory(unrelated));
}

TEST(CreateFolderPath, MakesOnlyTheMissingTailAndNamesThePartThatFailed) {
  TempFolder t;
  CreateFolderPath(t / "a/b/c");
  EXPECT_TRUE(fs::is_directory(t / "a/b/c"));
  EXPECT_EQ(ModeOf(t / "a"), 0700u);
  CreateFolderPath(t / "a/b/c/");  // existing folders are fine
  CreateFolderPath(t.Path());

  WriteFile(t / "file", "x");
  try {
    CreateFolderPath(t / "file/sub/deeper");
    FAIL() << "a file in the way must fail";
  } catch (const StartupError& e) {
    EXPECT_EQ(std::string(e.what()), "Could not create folder!" + (t / "file"));
  }
  EXPECT_THROW(CreateFolderPath("relative/path"), StartupError);
  EXPECT_THROW(CreateFolderPath(""), StartupError);
}

// Every file and folder below `root`, with file contents, to see that nothing changed.
std::map<std::string, std::string> Snapshot(const std::string& root) {
  std::map<std::string, std::string> s;
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
    const std::string p = it->path().string();
    s[p] = it->is_symlink() ? "link" : it->is_directory() ? "dir" : ReadFile(p);
  }
  return s;
}

TEST(RemoveFolder, RefusesEverythingOutsideTheToolsOwnFoldersAndTouchesNothing) {
  TempFolder t;
  WorkFolders folders(PathsIn(t));
  WriteFile(folders.BackupFolder() + "/SN[1]/nv.bak", "keep");
  WriteFile(t / "outside/important.txt", "keep");
  WriteFile(folders.WorkFolder() + "/a.mbn", "a");
  fs::create_directory_symlink(t / "outside", folders.WorkFolder() + "/link");
  const std::string cwdBefore = fs::current_path().string();
  fs::current_path(t.Path());  // a relative path would otherwise name something here
  const auto before = Snapshot(t.Path());

  const std::string refused[] = {
      "",
      "/",
      "//",
      "outside",
      "./outside",
      t / "outside",
      t.Path(),
      t / "run",
      folders.BackupFolder(),
      folders.BackupFolder() + "/",
      folders.BackupFolder() + "/SN[1]/..",
      folders.LogFolder(),
      folders.WorkFolder() + "/../../../outside",
      folders.WorkFolder() + "/link/",  // resolves outside the session folder
  };
  for (const std::string& p : refused) {
    SCOPED_TRACE(p);
    EXPECT_EQ(RemoveFolder(p, folders.Guard()), 0);
  }
  fs::current_path(cwdBefore);
  EXPECT_EQ(Snapshot(t.Path()), before);
}

TEST(RemoveFolder, RemovesATreeInsideItsFoldersWithoutFollowingLinks) {
  TempFolder t;
  WorkFolders folders(PathsIn(t));
  WriteFile(t / "outside/important.txt", "keep");
  WriteFile(folders.WorkFolder() + "/sub/deeper/a.mbn", "a");
  fs::create_directory_symlink(t / "outside", folders.WorkFolder() + "/sub/link");
  WriteFile(folders.BackupFolder() + "/SN[7]/EFS/x", "x");

  EXPECT_EQ(RemoveFolder(folders.WorkFolder() + "/", folders.Guard()), 1);
  EXPECT_FALSE(fs::exists(folders.WorkFolder()));
  EXPECT_EQ(ReadFile(t / "outside/important.txt"), "keep");

  EXPECT_EQ(RemoveFolder(folders.BackupFolder() + "/SN[7]", folders.Guard()), 1);
  EXPECT_TRUE(fs::is_directory(folders.BackupFolder()));
  // A folder that is not there is gone.
  EXPECT_EQ(RemoveFolder(folders.BackupFolder() + "/SN[7]", folders.Guard()), 1);
}

}  // namespace
}  // namespace zovir
