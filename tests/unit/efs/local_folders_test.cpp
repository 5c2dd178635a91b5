// The local mirror of EFS paths and the backup's folders on disk.
#include <gmock/gmock.h>

#include "preservation/local_folders.h"
#include "unit/efs/efs_fixture.h"

namespace zovir::test {
namespace {

namespace fs = std::filesystem;
using ::testing::IsEmpty;

TEST(EfsNamesTest, WhichNamesMayBecomeLocalNames) {
  struct Case {
    std::string name;
    NameVerdict verdict;
  } cases[] = {
      {"prefs.txt", NameVerdict::Ok},
      {"a?b*<c>|\"d", NameVerdict::Ok},  // mapped, not refused
      {"..hidden", NameVerdict::Ok},
      {"", NameVerdict::Empty},
      {".", NameVerdict::DotName},
      {"..", NameVerdict::DotName},
      {"a/b", NameVerdict::Separator},
      {"..\\..\\x", NameVerdict::Separator},
      {"c:d", NameVerdict::Colon},
      {std::string("a\0b", 3), NameVerdict::Control},
      {"tab\there", NameVerdict::Control},
      {"del\x7f", NameVerdict::Control},
      {std::string(256, 'x'), NameVerdict::TooLong},
  };
  for (const auto& c : cases) EXPECT_EQ(CheckEfsName(c.name), c.verdict) << c.name;
}

TEST(EfsNamesTest, MirrorPaths) {
  const std::string root = "/b/SN[1]/EFS";
  struct Case {
    std::string efs;
    std::optional<std::string> local;
  } cases[] = {
      {"/data/prefs.txt", root + "/data/prefs.txt"},
      {"data/prefs.txt", root + "/data/prefs.txt"},
      {"//data///x", root + "/data/x"},
      {"/what?/a*b", root + "/what_/a_b"},
      {"/a<b>|\"c\"", root + "/a_b___c_"},
      {"/", root},
      {"/data/../../etc/passwd", std::nullopt},
      {"../x", std::nullopt},
      {"/data/./x", std::nullopt},
      {"/c:/x", std::nullopt},
      {"/a\\..\\..\\x", std::nullopt},
      {"/ctl\x01/x", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(EfsMirrorPath(root, c.efs), c.local) << c.efs;
  EXPECT_EQ(EfsMirrorPath("", "/a"), std::nullopt);

  EXPECT_EQ(EfsPathFromMirror(root, root + "/data/sub/x.bin"), "data/sub/x.bin");
  EXPECT_EQ(EfsPathFromMirror(root, root + "/"), std::nullopt);
  EXPECT_EQ(EfsPathFromMirror(root, root + "/../nv.bak"), std::nullopt);
  EXPECT_EQ(EfsPathFromMirror(root, "/b/SN[1]/EFSX/a"), std::nullopt);
}

class BackupFoldersTest : public EfsFixture {
 protected:
  BackupFolders folders{core};

  // Every path below `dir`, symbolic links not followed.
  static std::set<std::string> Tree(const std::string& dir) {
    std::set<std::string> out;
    std::error_code ec;
    for (fs::recursive_directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
      out.insert(it->path().string());
    return out;
  }
};

TEST_F(BackupFoldersTest, MakesNestedFoldersWithMappedNames) {
  ASSERT_TRUE(folders.MakeLocalFolder(mirror + "/what?/a*b/c"));
  EXPECT_TRUE(fs::is_directory(mirror + "/what_/a_b/c"));
  EXPECT_TRUE(folders.MakeLocalFolder(mirror + "/what?/a*b/c")) << "a folder that is there";
  // A fresh backup folder is created with its mirror root.
  core.run.BackupFolder = root + "/Backup/Default";
  ASSERT_TRUE(folders.MakeLocalFolder(root + "/Backup/Default/EFS"));
  EXPECT_TRUE(fs::is_directory(root + "/Backup/Default/EFS"));
  EXPECT_THAT(errors, IsEmpty());
}

TEST_F(BackupFoldersTest, RefusesEverythingOutsideTheRunsBackupFolder) {
  fs::create_directories(root + "/elsewhere");
  fs::create_symlink(root + "/elsewhere", mirror + "/link");
  fs::create_directories(mirror + "/plain");
  std::ofstream(mirror + "/file") << "x";
  const std::set<std::string> before = Tree(root);
  for (const std::string& path : {root + "/x", root + "/Backup/other", mirror + "/../../other", mirror + "/link/x",
                                  mirror + "/file/x", std::string("/tmp/zovir-never-made")}) {
    errors.clear();
    core.ErrorCode = 0;
    EXPECT_FALSE(folders.MakeLocalFolder(path)) << path;
    EXPECT_THAT(Error(), ::testing::StartsWith("ERROR, Could not create folder!")) << path;
  }
  EXPECT_EQ(Tree(root), before);
  EXPECT_FALSE(fs::exists("/tmp/zovir-never-made"));

  // The backup root is never a run's backup folder.
  core.ErrorCode = 0;
  core.run.BackupFolder = core.cfg.BackupFilePath;
  EXPECT_FALSE(folders.MakeLocalFolder(core.cfg.BackupFilePath + "/EFS"));
  EXPECT_FALSE(fs::exists(core.cfg.BackupFilePath + "/EFS"));
}

TEST_F(BackupFoldersTest, DeletesOnlyStrictlyBelowTheBackupRoot) {
  fs::create_directories(mirror + "/data/sub");
  std::ofstream(mirror + "/data/sub/f") << "x";
  fs::create_directories(root + "/elsewhere");
  std::ofstream(root + "/elsewhere/keep") << "x";
  fs::create_symlink(root + "/elsewhere", mirror + "/data/link");

  EXPECT_EQ(folders.DeleteLocalFolder(core.cfg.BackupFilePath), 0);
  EXPECT_EQ(folders.DeleteLocalFolder(root), 0);
  EXPECT_EQ(folders.DeleteLocalFolder(core.cfg.BackupFilePath + "/.."), 0);
  EXPECT_TRUE(fs::exists(mirror + "/data/sub/f"));

  EXPECT_EQ(folders.DeleteLocalFolder(core.run.BackupFolder), 1);
  EXPECT_FALSE(fs::exists(core.run.BackupFolder));
  EXPECT_TRUE(fs::exists(root + "/elsewhere/keep")) << "a link inside is removed, not followed";
  EXPECT_EQ(folders.DeleteLocalFolder(core.run.BackupFolder), 1) << "already gone";
}

}  // namespace
}  // namespace zovir::test
