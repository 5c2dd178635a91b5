// Where a run keeps its backup, and that an earlier backup is never lost.
#include <fstream>
#include <iterator>
#include <regex>

#include "engine_fixture.h"

namespace zovir::test {
namespace {

TEST(BackupFolderName, NeverEmptyAndNeverLeavesTheRoot) {
  struct Case {
    bool snRead;
    bool imeiRead;
    std::string sn;
    std::string name;
  };
  for (const auto& c : std::vector<Case>{
           {true, true, "12\r\n\"34", "SN[1234]"},
           {false, false, "", "Default"},
           {false, true, "", "Default"},  // only the IMEI: not the root itself
           {true, false, "../../etc", "SN[.._.._etc]"},
           {true, false, "a\\b\tc", "SN[a_b_c]"},
       }) {
    EngineRunState run;
    run.bSNRead = c.snRead;
    run.bIMEIRead = c.imeiRead;
    run.StringSN = c.sn;
    EXPECT_EQ(BackupFolderName(run), c.name) << c.sn;
  }
}

TEST(BackupFolderName, StampIsUtcDateAndTime) {
  EXPECT_EQ(FormatFolderStamp(1'700'000'000), "20231114-221320");
  EXPECT_EQ(FormatFolderStamp(0), "19700101-000000");
}

TEST(BackupFolderName, OnlyFoldersStrictlyBelowTheRootCount) {
  const std::string root = "/var/tmp/zovir-root/Backup";
  struct Case {
    std::string root, path;
    bool below;
  };
  for (const auto& c : std::vector<Case>{
           {root, root + "/SN[1]", true},
           {root + "/", root + "/SN[1]/EFS", true},
           {root, root, false},
           {root, root + "/", false},
           {root, root + "/SN[1]/..", false},
           {root, root + "/../x", false},
           {root, root + "x/SN[1]", false},
           {root, "/tmp", false},
           {"", "SN[1]", false},
           {root, "", false},
       }) {
    EXPECT_EQ(IsStrictlyBelow(c.root, c.path), c.below) << c.root << " | " << c.path;
  }
}

class EngineBackupFolder : public EngineFixture {};

TEST_F(EngineBackupFolder, EarlierBackupWithFilesIsRenamedAsideNotDeleted) {
  const std::string old = Folder("SN[SN123]");
  fs::create_directories(fs::path(old) / "EFS");
  std::ofstream(File(old, "nv.bak")) << "original";
  RunWith([](EngineConfig& c) { c.bRestore = 0; });

  EXPECT_FALSE(Saw("DeleteLocalFolder:" + old));
  std::vector<fs::path> aside;
  for (const auto& e : fs::directory_iterator(root_))
    if (e.path().filename().string().rfind("SN[SN123].", 0) == 0) aside.push_back(e.path());
  ASSERT_EQ(aside.size(), 1u);
  EXPECT_TRUE(std::regex_match(aside[0].filename().string(), std::regex(R"(SN\[SN123\]\.\d{8}-\d{6})")));
  std::ifstream in(aside[0] / "nv.bak");
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "original");
  EXPECT_TRUE(Saw("status:Old backup folder renamed to " + aside[0].string()));
  EXPECT_TRUE(fs::is_directory(fs::path(old) / "EFS")) << "the new backup goes to the usual folder";
  EXPECT_TRUE(trace().Passed());
}

TEST_F(EngineBackupFolder, EarlierFolderWithoutFilesIsReplaced) {
  const std::string old = Folder("SN[SN123]");
  fs::create_directories(fs::path(old) / "EFS" / "empty");
  RunWith([](EngineConfig& c) { c.bRestore = 0; });
  ExpectInOrder({"DeleteLocalFolder:" + old, "MakeLocalFolder:" + File(old, "EFS")});
  EXPECT_FALSE(fs::exists(fs::path(old) / "EFS" / "empty"));
  for (const auto& e : fs::directory_iterator(root_)) EXPECT_EQ(e.path().string(), old);
}

TEST_F(EngineBackupFolder, FailedRunKeepsItsBackupAndAPassedRunRemovesIt) {
  script().hooks["BackupNV"] = [](EngineCore& core) { std::ofstream(core.cfg.bakFile) << "nv"; };
  script().hooks["DownloadImages"] = [](EngineCore& core) { core.ReportError("image"); };
  RunWith();
  EXPECT_TRUE(fs::exists(File(Folder("SN[SN123]"), "EncryptAT.bak")));

  NewScript();
  host_.snEntry = "SN123";
  RunWith();
  EXPECT_TRUE(trace().Passed()) << ::testing::PrintToString(trace().Errors());
  EXPECT_FALSE(fs::exists(Folder("SN[SN123]")));
  EXPECT_TRUE(fs::is_directory(root_)) << "never the root";
}

TEST_F(EngineBackupFolder, AFolderThatEscapesTheRootIsNeverDeleted) {
  // A saved folder that is a link to somewhere outside the root is no saved backup: nothing
  // is taken from it and nothing is deleted there.
  const std::string outside = (fs::path(tempDir_) / "elsewhere").string();
  fs::create_directories(outside);
  std::ofstream(File(outside, "EncryptAT.bak")) << "x";
  fs::create_directory_symlink(outside, Folder("SN[LINK]"));
  host_.snEntry = "LINK";
  RunWith();
  EXPECT_EQ(trace().Errors(), std::vector<std::string>{"ERROR, Backup files not exist!, Error code: 31"});
  EXPECT_FALSE(Saw("DeleteLocalFolder"));
  EXPECT_TRUE(fs::exists(File(outside, "EncryptAT.bak")));
}

}  // namespace
}  // namespace zovir::test
