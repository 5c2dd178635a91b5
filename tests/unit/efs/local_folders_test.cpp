// The local mirror of EFS paths and the backup's folders on disk.
#include <gmock/gmock.h>

#include <random>

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
      {"a?b*<c>|\"d", NameVerdict::Ok},  // encoded, not refused
      {"..hidden", NameVerdict::Ok},
      {"..\\..\\x", NameVerdict::Ok},
      {"c:d", NameVerdict::Ok},
      {std::string("a\0b", 3), NameVerdict::Ok},
      {"tab\there", NameVerdict::Ok},
      {"del\x7f", NameVerdict::Ok},
      {std::string(255, 'x'), NameVerdict::Ok},
      {"", NameVerdict::Empty},
      {".", NameVerdict::DotName},
      {"..", NameVerdict::DotName},
      {"a/b", NameVerdict::Separator},
      {std::string(256, 'x'), NameVerdict::TooLong},
      {std::string(86, ':'), NameVerdict::TooLong},  // 258 bytes once encoded
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
      {"/what?/a*b", root + "/what%3F/a%2Ab"},
      {"/a<b>|\"c\"", root + "/a%3Cb%3E%7C%22c%22"},
      {"/100%", root + "/100%25"},
      {"/", root},
      {"/data/../../etc/passwd", std::nullopt},
      {"../x", std::nullopt},
      {"/data/./x", std::nullopt},
      {"/c:/x", root + "/c%3A/x"},
      {"/a\\..\\..\\x", root + "/a%5C..%5C..%5Cx"},
      {"/ctl\x01/x", root + "/ctl%01/x"},
  };
  for (const auto& c : cases) EXPECT_EQ(EfsMirrorPath(root, c.efs), c.local) << c.efs;
  EXPECT_EQ(EfsMirrorPath("", "/a"), std::nullopt);

  EXPECT_EQ(EfsPathFromMirror(root, root + "/data/sub/x.bin"), "data/sub/x.bin");
  EXPECT_EQ(EfsPathFromMirror(root, root + "/"), std::nullopt);
  EXPECT_EQ(EfsPathFromMirror(root, root + "/../nv.bak"), std::nullopt);
  EXPECT_EQ(EfsPathFromMirror(root, "/b/SN[1]/EFSX/a"), std::nullopt);
  // Mirrors of older versions hold the names as they are.
  EXPECT_EQ(EfsPathFromMirror(root, root + "/a%41", false), "a%41");
  EXPECT_EQ(EfsPathFromMirror(root, root + "/a%41"), std::nullopt) << "not how 'aA' is written";
}

// Every name the modem can give is written back exactly as it was read: the encoding
// round-trips for names drawn at random from every byte but '/' and NUL's neighbours alike.
TEST(EfsNamesTest, MirrorNamesGiveBackTheExactName) {
  const unsigned seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  const std::string root = "/b/SN[1]/EFS";
  for (int i = 0; i < 2000; ++i) {
    std::string name(1 + rng() % 40, '\0');
    for (char& c : name) {
      do c = static_cast<char>(rng() % 256);
      while (c == '/');
    }
    if (CheckEfsName(name) != NameVerdict::Ok) continue;
    const std::string local = EncodeMirrorName(name);
    EXPECT_EQ(local.find_first_of(std::string("/\\:*?\"<>|\0", 11)), std::string::npos);
    EXPECT_EQ(DecodeMirrorName(local), name);
    const auto mirrored = EfsMirrorPath(root, "/d/" + name);
    ASSERT_TRUE(mirrored);
    EXPECT_EQ(EfsPathFromMirror(root, *mirrored), "d/" + name);
  }
  for (const char* bad : {"%", "%4", "%zz", "%41", "a%2f"}) EXPECT_EQ(DecodeMirrorName(bad), std::nullopt) << bad;
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
  fs::permissions(core.run.BackupFolder, fs::perms::owner_all | fs::perms::group_read | fs::perms::others_read);
  ASSERT_TRUE(folders.MakeLocalFolder(EfsMirrorPath(mirror, "/what?/a*b/c").value()));
  EXPECT_TRUE(fs::is_directory(mirror + "/what%3F/a%2Ab/c"));
  // Characters a caller left in a path are still mapped, as they always were.
  ASSERT_TRUE(folders.MakeLocalFolder(mirror + "/what?/a*b/c"));
  EXPECT_TRUE(fs::is_directory(mirror + "/what_/a_b/c"));
  EXPECT_TRUE(folders.MakeLocalFolder(mirror + "/what?/a*b/c")) << "a folder that is there";
  // A fresh backup folder is created with its mirror root.
  core.run.BackupFolder = root + "/Backup/Default";
  ASSERT_TRUE(folders.MakeLocalFolder(root + "/Backup/Default/EFS"));
  EXPECT_TRUE(fs::is_directory(root + "/Backup/Default/EFS"));
  EXPECT_THAT(errors, IsEmpty());
  // A backup is its user's alone, also a folder an older version left open to others.
  for (const std::string& d : {root + "/Backup/SN[123]", mirror + "/what%3F", root + "/Backup/Default",
                               root + "/Backup/Default/EFS"})
    EXPECT_EQ(fs::status(d).permissions() & fs::perms::all, fs::perms::owner_all) << d;
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
