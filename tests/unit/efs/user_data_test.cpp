// User files and folders of the EFS: preparation, backup into the mirror and restore, against
// the virtual modem's EFS responder on a scripted port.
#include <gmock/gmock.h>

#include "preservation/user_data.h"
#include "unit/efs/efs_fixture.h"

namespace zovir::test {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::UnorderedElementsAre;
using Bytes = std::vector<uint8_t>;

class UserDataTest : public EfsFixture {
 protected:
  UserDataPreservation userData{core, link};

  // What the modem's EFS holds: every file with its bytes.
  std::map<std::string, Bytes> Files(const std::string& dir = "/") const {
    std::map<std::string, Bytes> out;
    for (const auto& name : state.ListEfs(dir)) {
      const std::string p = (dir == "/" ? "" : dir) + "/" + name;
      if (state.EfsDirExists(p)) {
        auto sub = Files(p);
        out.insert(sub.begin(), sub.end());
      } else {
        out[p] = state.EfsFile(p).value_or(Bytes{});
      }
    }
    return out;
  }
  void Wipe() {
    for (const auto& [p, _] : Files()) state.RemoveEfs(p);
    for (int pass = 0; pass < 8; ++pass)
      for (const std::string d : {"/data/sub/deeper", "/data/sub", "/data/empty", "/data", "/cfg", "/other"})
        state.RemoveEfs(d);
  }
};

TEST_F(UserDataTest, FilesAndFoldersSurviveAnErasedFileSystem) {
  state.SetEfsFile("/cfg/user.ini", Pattern(40, 1));
  state.SetEfsFile("/cfg/zero", {});
  state.SetEfsFile("/data/large.bin", Pattern(9000, 2));
  state.SetEfsFile("/data/sub/b.txt", Pattern(512, 3));
  state.SetEfsFile("/data/sub/deeper/c.txt", Pattern(1, 4));
  state.SetEfsFile("/data/sub/prefs.dat", Pattern(5, 5));
  state.SetEfsFile("/data/sub/prefs.dat.keep", Pattern(6, 6));
  state.MakeEfsDir("/data/empty");
  state.SetEfsFile("/other/untouched", Pattern(7, 7));
  core.cfg.UserDataFilesList = {"/cfg/user.ini", "/cfg/absent.ini", "/cfg/zero", "/data/large.bin"};
  core.cfg.UserDataDirList = {"/data"};
  const auto configuredFiles = core.cfg.UserDataFilesList;

  userData.PrepareUserData();
  userData.BackupUserData();
  ASSERT_THAT(errors, IsEmpty());
  EXPECT_EQ(core.cfg.UserDataFilesList, configuredFiles) << "the configuration is not the work list";
  EXPECT_THAT(userData.UserDataFilesList,
              ElementsAre("/cfg/user.ini", "/cfg/zero", "/data/large.bin", "data/sub/b.txt",
                          "data/sub/prefs.dat.keep", "data/sub/deeper/c.txt"));
  EXPECT_THAT(userData.UserDataFileSizes, ElementsAre(40u, 0u, 9000u, 512u, 6u, 1u));
  EXPECT_EQ(ReadFile(mirror + "/data/large.bin"), Pattern(9000, 2));
  EXPECT_EQ(ReadFile(mirror + "/data/sub/deeper/c.txt"), Pattern(1, 4));
  EXPECT_TRUE(fs::is_regular_file(mirror + "/cfg/zero"));
  EXPECT_TRUE(fs::is_directory(mirror + "/data/empty"));
  EXPECT_FALSE(fs::exists(mirror + "/data/sub/prefs.dat"));
  EXPECT_FALSE(fs::exists(mirror + "/cfg/absent.ini"));
  EXPECT_TRUE(Logged("/cfg/user.ini successfully."));

  const auto before = Files();
  Wipe();
  ASSERT_TRUE(Files().empty());
  userData.RestoreUserData();
  ASSERT_THAT(errors, IsEmpty());

  auto expected = before;
  expected.erase("/data/sub/prefs.dat");
  expected.erase("/other/untouched");
  EXPECT_EQ(Files(), expected);
  EXPECT_TRUE(state.EfsDirExists("/data/empty"));
  EXPECT_TRUE(Logged("/cfg/zero file OK"));
  EXPECT_EQ(state.EfsFile("/cfg/absent.ini"), std::nullopt);
}

TEST_F(UserDataTest, FilesStillOnTheModemAreOverwrittenInPlace) {
  state.SetEfsFile("/data/a", Pattern(100, 1));
  core.cfg.UserDataDirList = {"/data"};
  userData.PrepareUserData();
  userData.BackupUserData();
  state.SetEfsFile("/data/a", Pattern(3000, 9));  // the new firmware's own file, longer
  userData.RestoreUserData();
  ASSERT_THAT(errors, IsEmpty());
  EXPECT_EQ(state.EfsFile("/data/a"), Pattern(100, 1));
}

// A configured entry the mirror cannot hold would be erased by the update and never come back:
// the preparation fails naming it, before anything is asked of the modem.
TEST_F(UserDataTest, AConfiguredEntryThatCannotBeMirroredStopsThePreparationNamingIt) {
  state.SetEfsFile("/ok", Pattern(3));
  state.SetEfsFile("/data/x", Pattern(4));
  struct Case {
    std::vector<std::string> files, dirs;
    std::string error;
  };
  const std::string longName(300, 'a');  // fits the path limit, not one local name
  const Case cases[] = {
      {{"/ok", "/data/../../etc/passwd"}, {"/data"},
       "Could not keep the user data file \"/data/../../etc/passwd\" in the backup (name refers to a folder itself)"},
      {{"/ok"}, {"/data", "../up"}, "Could not keep the user data folder \"../up\" in the backup (name refers to a folder itself)"},
      {{"/./ok"}, {}, "Could not keep the user data file \"/./ok\" in the backup (name refers to a folder itself)"},
      {{"/cfg/" + longName}, {"/data"},
       "Could not keep the user data file \"/cfg/" + longName.substr(0, 59) + "...\" in the backup (" +
           NameVerdictText(NameVerdict::TooLong) + ")"},
      {{"/" + std::string(5000, 'a')}, {}, "Could not keep the user data file \"/" + std::string(63, 'a') + "...\" in the backup (path too long)"},
      {{"/ok", "/"}, {}, "Could not keep the user data file \"/\" in the backup (no name)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.error);
    errors.clear();
    core.ErrorCode = 0;
    const size_t requests = RequestsOf(EfsCommand::Stat).size() + RequestsOf(EfsCommand::Opendir).size();
    core.cfg.UserDataFilesList = c.files;
    core.cfg.UserDataDirList = c.dirs;
    UserDataPreservation prepared{core, link};
    prepared.PrepareUserData();
    EXPECT_EQ(Error(), ErrorText(c.error));
    EXPECT_NE(core.ErrorCode.load(), 0);
    EXPECT_EQ(RequestsOf(EfsCommand::Stat).size() + RequestsOf(EfsCommand::Opendir).size(), requests);
  }
}

TEST_F(UserDataTest, AbsentFoldersAndOddButMirrorableNamesTakePart) {
  state.SetEfsFile("/ok", Pattern(3));
  core.cfg.UserDataFilesList = {"/c:/x", "/ctl\x01", "/ok"};
  core.cfg.UserDataDirList = {"/nowhere"};
  userData.PrepareUserData();
  userData.BackupUserData();
  EXPECT_THAT(errors, IsEmpty());
  EXPECT_THAT(userData.UserDataFilesList, ElementsAre("/ok"));
  EXPECT_TRUE(Logged("User data folder not on the modem: /nowhere"));
  // A colon or a control character is no reason to drop a file: /c:/x and /ctl\x01 are looked
  // up (not on this modem), /ok is looked up and then read.
  EXPECT_EQ(RequestsOf(EfsCommand::Stat).size(), 4u);
}

TEST_F(UserDataTest, EveryNameIsPutBackExactlyAlsoFromASavedBackup) {
  state.SetEfsFile("/d/a?b", Pattern(10, 1));
  state.SetEfsFile("/d/a_b", Pattern(20, 2));
  state.SetEfsFile("/d/a*b", Pattern(30, 3));
  state.SetEfsFile("/d/x?y/in", Pattern(40, 4));
  state.SetEfsFile("/d/x_y", Pattern(50, 5));
  state.SetEfsFile("/d/c:\x01\\%41", Pattern(60, 6));
  state.MakeEfsDir("/d/empty:");
  core.cfg.UserDataDirList = {"/d"};
  core.cfg.UserDataFilesList = {"/d/a_b"};  // also found in the folder: kept once
  userData.PrepareUserData();
  userData.BackupUserData();
  ASSERT_THAT(errors, IsEmpty());
  EXPECT_THAT(userData.UserDataLocalList,
              UnorderedElementsAre(mirror + "/d/a_b", mirror + "/d/a%3Fb", mirror + "/d/a%2Ab", mirror + "/d/x_y",
                                   mirror + "/d/x%3Fy/in", mirror + "/d/c%3A%01%5C%2541"));
  // The mirror is its user's alone.
  EXPECT_EQ(fs::status(mirror + "/d/a_b").permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
  const auto before = Files();
  const auto wipe = [&] {
    for (const std::string p : {"/d/a?b", "/d/a_b", "/d/a*b", "/d/x_y", "/d/x?y/in", "/d/x?y", "/d/c:\x01\\%41",
                                "/d/empty:", "/d"})
      state.RemoveEfs(p);
    ASSERT_TRUE(Files().empty());
  };
  wipe();
  userData.RestoreUserData();
  ASSERT_THAT(errors, IsEmpty());
  EXPECT_EQ(Files(), before);
  EXPECT_EQ(state.EfsFile("/d/a?b"), Pattern(10, 1));
  EXPECT_TRUE(state.EfsDirExists("/d/empty:"));

  // A later run restores the saved backup: the same names, not the mirror's.
  wipe();
  core.run.bRestoreFromSaved = true;
  UserDataPreservation later{core, link};
  later.RestoreUserData();
  ASSERT_THAT(errors, IsEmpty());
  EXPECT_EQ(Files(), before);
  EXPECT_TRUE(state.EfsDirExists("/d/empty:"));
}

TEST_F(UserDataTest, ABrokenListingEndsTheRunBeforeAnythingIsErased) {
  state.SetEfsFile("/data/a", Pattern(3));
  state.SetEfsFile("/data/b", Pattern(4));
  intercept = [](const Bytes& r) -> std::optional<Bytes> {
    // The second entry never comes in an acceptable form.
    if (CommandOf(r) == 0x000C && U32(r, 8) == 2)
      return Bytes{0x4B, 0x13, 0x0C, 0x00, 1, 0, 0, 0, 7, 0, 0, 0};
    return std::nullopt;
  };
  core.cfg.UserDataDirList = {"/data"};
  userData.PrepareUserData();
  EXPECT_EQ(Error(), ErrorText("Fail to list folder:/data"));
  EXPECT_EQ(FieldOf(EfsCommand::Readdir, 8), std::vector<uint32_t>({1, 2, 2, 2, 2, 2}));
}

TEST_F(UserDataTest, BackupFailuresNameTheFile) {
  state.SetEfsFile("/f", Pattern(600));
  core.cfg.UserDataFilesList = {"/f"};
  userData.PrepareUserData();
  intercept = [](const Bytes& r) -> std::optional<Bytes> {
    if (CommandOf(r) == 0x0004 && U32(r, 12) == 512) return Bytes{0x4B, 0x13, 0x04, 0x00};
    return std::nullopt;
  };
  userData.BackupUserData();
  EXPECT_EQ(Error(), ErrorText("*Fail to read file:/f"));
}

TEST_F(UserDataTest, RestoreFromASavedBackupTakesTheFilesFromItsMirror) {
  core.run.bRestoreFromSaved = true;
  WriteFile(mirror + "/cfg/user.ini", Pattern(40, 1));
  WriteFile(mirror + "/data/sub/deeper/c.txt", Pattern(3000, 2));
  WriteFile(mirror + "/data/zero", {});
  fs::create_directories(mirror + "/data/empty");
  fs::create_directories(root + "/elsewhere");
  WriteFile(root + "/elsewhere/secret", Pattern(5));
  fs::create_symlink(root + "/elsewhere", mirror + "/data/link");
  fs::create_symlink(root + "/elsewhere/secret", mirror + "/data/secret");

  userData.RestoreUserData();
  ASSERT_THAT(errors, IsEmpty());
  EXPECT_THAT(Files(), ElementsAre(std::pair<const std::string, Bytes>("/cfg/user.ini", Pattern(40, 1)),
                                   std::pair<const std::string, Bytes>("/data/sub/deeper/c.txt", Pattern(3000, 2)),
                                   std::pair<const std::string, Bytes>("/data/zero", Bytes{})));
  EXPECT_TRUE(state.EfsDirExists("/data/empty"));
  EXPECT_FALSE(state.EfsDirExists("/data/link"));
  EXPECT_TRUE(LoggedContaining("Saved entry skipped: "));
  // Nothing was read from the modem: its files are the ones being restored.
  EXPECT_THAT(RequestsOf(EfsCommand::Read), IsEmpty());
  EXPECT_THAT(RequestsOf(EfsCommand::Opendir), IsEmpty());
}

TEST_F(UserDataTest, ASavedBackupWithoutUserFilesRestoresNothing) {
  core.run.bRestoreFromSaved = true;
  fs::remove_all(mirror);
  userData.RestoreUserData();
  EXPECT_THAT(errors, IsEmpty());
  EXPECT_TRUE(Logged("No user files in the saved backup"));
  EXPECT_THAT(requests, IsEmpty());
}

}  // namespace
}  // namespace zovir::test
