// A backup is trusted only when it is complete and belongs to the modem in hand: completion
// records, restore-from-saved checks, the identity guard, one run per serial number, no plain
// identity copy left behind, and a radio that must come back on.
#include <gmock/gmock.h>

#include <fstream>
#include <iterator>
#include <regex>

#include "engine_fixture.h"
#include "preservation/backup_lock.h"
#include "preservation/backup_record.h"
#include "preservation/identity_backup.h"

namespace zovir::test {
namespace {

using ::testing::HasSubstr;

constexpr const char* kOffline = "the modem did not confirm it is back online: unplug and replug it";

class EngineSavedBackup : public EngineFixture {
 protected:
  std::vector<std::string> PlainCopiesLeft() const {
    std::vector<std::string> out;
    for (const auto& e : fs::recursive_directory_iterator(root_))
      if (e.path().filename() == "at1.bak" || e.path().filename() == "at.bak") out.push_back(e.path().string());
    return out;
  }
};

TEST_F(EngineSavedBackup, ABackupIsSealedAfterItsLastFileAndBeforeTheDownload) {
  script().hooks["DownloadImages"] = [](EngineCore& core) { core.ReportError("image"); };
  RunWith([](EngineConfig& c) { c.bBackupUserData = 1; });
  const std::string folder = Folder("SN[SN123]");
  ExpectInOrder({"BackupNV:" + File(folder, "nv.bak"), "BackupUserData", "SealBackup:" + folder, "ProgrammerPhase"});
  BackupContents contents;
  std::string why;
  EXPECT_TRUE(CheckBackupRecord(folder, contents, why)) << why;
  EXPECT_EQ(contents.serial, "SN123");
  EXPECT_TRUE(contents.identity);
}

// Each way a saved backup can be short or changed: the restore refuses before it reads the
// modem, and the backup stays as it is.
TEST_F(EngineSavedBackup, AnIncompleteOrAlteredSavedBackupIsRefusedBeforeAnythingIsWritten) {
  struct Case {
    const char* what;
    std::function<void(const std::string& folder)> spoil;
    const char* why;
  };
  const std::vector<Case> cases = {
      {"cut short before its record", [](const std::string& f) { fs::remove(fs::path(f) / kBackupRecordName); },
       "no completion record"},
      {"a user file emptied", [](const std::string& f) { std::ofstream(fs::path(f) / "EFS/data/settings.cfg"); },
       "EFS/data/settings.cfg was changed"},
      {"an empty user file dropped", [](const std::string& f) { fs::remove(fs::path(f) / "EFS/data/sub/empty.dat"); },
       "EFS/data/sub/empty.dat is missing"},
      {"nv.bak dropped", [](const std::string& f) { fs::remove(fs::path(f) / "nv.bak"); }, "nv.bak is missing"},
      {"a file added", [](const std::string& f) { std::ofstream(fs::path(f) / "EFS/data/new.txt") << "x"; },
       "EFS/data/new.txt was added"},
      {"the record edited", [](const std::string& f) { std::ofstream(fs::path(f) / kBackupRecordName, std::ios::app) << "file 1 0 x\n"; },
       "record is damaged"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    NewScript();
    const std::string folder = MakeSavedBackup("SAVED1", "111111111111111");
    c.spoil(folder);
    host_.snEntry = "SAVED1";
    RunWith();
    ASSERT_EQ(trace().Errors().size(), 1u);
    EXPECT_THAT(trace().Errors()[0], HasSubstr("The saved backup SN[SAVED1] is incomplete or altered"));
    EXPECT_THAT(trace().Errors()[0], HasSubstr(c.why));
    EXPECT_FALSE(Saw("ReadIdentity")) << "no port is even asked";
    ExpectNothingWritten();
    EXPECT_TRUE(fs::exists(File(folder, "EncryptAT.bak"))) << "the backup stays";
    fs::remove_all(folder);
  }
}

TEST_F(EngineSavedBackup, ASavedBackupIsRestoredOnlyOntoTheUnitItBelongsTo) {
  struct Case {
    const char* what;
    bool snRead, imeiRead;
    std::string sn, imei;
    bool override;
    bool restored;
    bool safetyBackup;  // the modem's present data are backed up first
  };
  const std::vector<Case> cases = {
      {"the same unit", true, true, "SAVED1", "111111111111111", false, true, true},
      {"another serial number", true, true, "OTHER9", "111111111111111", false, false, false},
      {"another IMEI", true, true, "SAVED1", "999999999999999", false, false, false},
      {"another unit whose IMEI is lost", true, false, "OTHER9", "", false, false, false},
      {"a unit that lost its identity", false, false, "", "", false, true, false},
      {"another unit, with the front end's override", true, true, "OTHER9", "999999999999999", true, true, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    NewScript();
    const std::string saved = MakeSavedBackup("SAVED1", "111111111111111");
    script().snRead = c.snRead;
    script().imeiRead = c.imeiRead;
    script().testInfoRead = c.snRead;
    script().sn = c.sn;
    script().imei = c.imei;
    host_.snEntry = "SAVED1";
    RunWith([&](EngineConfig& cfg) { cfg.RestoreOntoOtherUnit = c.override; });
    EXPECT_TRUE(Saw("ReadIdentity")) << "the modem is always asked who it is";
    if (c.restored) {
      EXPECT_TRUE(trace().Passed()) << ::testing::PrintToString(trace().Errors());
      EXPECT_TRUE(Saw("RestoreNV:" + File(saved, "nv.bak")));
      EXPECT_EQ(Saw("SealBackup:"), c.safetyBackup);
    } else {
      ASSERT_EQ(trace().Errors().size(), 1u);
      const std::string error = trace().Errors()[0];
      EXPECT_THAT(error, HasSubstr("The modem is another unit"));
      EXPECT_THAT(error, HasSubstr("the saved backup holds SN \"SAVED1\" and IMEI \"111111111111111\""));
      EXPECT_THAT(error, HasSubstr(c.snRead ? "it reports SN \"" + c.sn + "\"" : "it reports SN (none)"));
      EXPECT_TRUE(Saw("MessageBox:" + error.substr(7, error.find(", Error code") - 7) + "|Warning"));
      ExpectNothingWritten();
      EXPECT_FALSE(Saw("BackupNV"));
      EXPECT_TRUE(fs::exists(File(saved, "nv.bak")));
      EXPECT_TRUE(FoldersStartingWith("SN[SAVED1].").empty()) << "nothing made for a refused run";
    }
    for (const auto& e : fs::directory_iterator(root_)) fs::remove_all(e.path());
  }
}

TEST_F(EngineSavedBackup, AModemThatStillAnswersIsBackedUpIntoANewFolderBeforeTheRestore) {
  const std::string saved = MakeSavedBackup("SN123", "356938035643809");
  script().hooks["DownloadImages"] = [](EngineCore& core) { core.ReportError("image"); };
  host_.snEntry = "SN123";
  RunWith([](EngineConfig& c) { c.bBackupUserData = 1; });

  const auto safety = FoldersStartingWith("SN[SN123].");
  ASSERT_EQ(safety.size(), 1u);
  EXPECT_TRUE(std::regex_match(fs::path(safety[0]).filename().string(), std::regex(R"(SN\[SN123\]\.\d{8}-\d{6})")));
  ExpectInOrder({"BuildNVLists", "BackupNV:" + File(safety[0], "nv.bak"), "PrepareUserData", "BackupUserData",
                 "SealBackup:" + safety[0], "ProgrammerPhase"});
  BackupContents contents;
  std::string why;
  EXPECT_TRUE(CheckBackupRecord(safety[0], contents, why)) << why;
  EXPECT_TRUE(CheckBackupRecord(saved, contents, why)) << "the saved backup is left as it was: " << why;

  // The rerun restores the saved backup, never the one just made, and its PASS removes only
  // the saved one: what the modem held when each run found it stays.
  NewScript();
  host_.snEntry = "SN123";
  RunWith([](EngineConfig& c) { c.bBackupUserData = 1; });
  EXPECT_TRUE(trace().Passed()) << ::testing::PrintToString(trace().Errors());
  EXPECT_TRUE(Saw("RestoreNV:" + File(saved, "nv.bak")));
  EXPECT_FALSE(fs::exists(saved));
  EXPECT_TRUE(fs::exists(safety[0])) << "an earlier run's backup is not this run's to delete";
  EXPECT_EQ(FoldersStartingWith("SN[SN123].").size(), 2u) << "this run's own one stays too";
}

TEST_F(EngineSavedBackup, ASetAsideBackupCanBeChosenByItsFolderName) {
  const std::string aside = MakeSavedBackup("SN123", "356938035643809", true, "SN[SN123].20261209-080000");
  script().snRead = false;
  script().imeiRead = false;
  script().testInfoRead = false;
  host_.snEntry = "SN[SN123].20261209-080000";
  RunWith();
  EXPECT_TRUE(trace().Passed()) << ::testing::PrintToString(trace().Errors());
  EXPECT_TRUE(Saw("RestoreNV:" + File(aside, "nv.bak")));
  EXPECT_FALSE(fs::exists(aside));
}

TEST_F(EngineSavedBackup, ASecondRunForTheSameSerialNumberIsRefusedAndTouchesNothing) {
  const std::string folder = MakeSavedBackup("SN123", "356938035643809");
  BackupFolderLocks other(root_);
  std::string why;
  ASSERT_TRUE(other.Take("SN[SN123]", why)) << why;

  RunWith();
  ASSERT_EQ(trace().Errors().size(), 1u);
  EXPECT_THAT(trace().Errors()[0], HasSubstr("The backup folder SN[SN123] is not free"));
  EXPECT_THAT(trace().Errors()[0], HasSubstr("two modems with one serial number"));
  ExpectNothingWritten();
  EXPECT_FALSE(Saw("WriteIdentityBackup"));
  EXPECT_TRUE(FoldersStartingWith("SN[SN123].").empty()) << "the other run's backup is not set aside";
  BackupContents contents;
  EXPECT_TRUE(CheckBackupRecord(folder, contents, why)) << why;

  // Restoring a backup another run holds is refused the same way.
  NewScript();
  host_.snEntry = "SN123";
  RunWith();
  ASSERT_EQ(trace().Errors().size(), 1u);
  EXPECT_THAT(trace().Errors()[0], HasSubstr("The saved backup SN[SN123] cannot be used now"));
  ExpectNothingWritten();

  other.ReleaseAll();
  NewScript();
  RunWith();
  EXPECT_TRUE(trace().Passed()) << ::testing::PrintToString(trace().Errors());
}

TEST_F(EngineSavedBackup, PlainIdentityCopiesAreRemovedOnEveryExitPath) {
  struct Case {
    const char* what;
    std::function<void(Script&)> arrange;
    bool passes;
  };
  auto writeAtBak = [](EngineCore& core) { std::ofstream(core.run.atRestoreFile) << "[Data]\nSN=SN123\n"; };
  const std::vector<Case> cases = {
      {"a passing run", [&](Script& s) { s.hooks["RestoreIdentity"] = writeAtBak; }, true},
      {"the scrambling fails", [](Script& s) { s.scrambleResult = FileCopyResult::DestinationFailed; }, false},
      {"a Stop during the download", [](Script& s) { s.hooks["DownloadImages"] = [](EngineCore& c) { c.RequestStop(); }; },
       false},
      {"the identity restore fails",
       [&](Script& s) {
         s.restoreIdentityResult = 0;
         s.hooks["RestoreIdentity"] = writeAtBak;
       },
       false},
      {"the end AT commands fail after the restore",
       [&](Script& s) {
         s.hooks["RestoreIdentity"] = writeAtBak;
         s.hooks["RunEndATList"] = [](EngineCore& c) { c.ReportError("end"); };
       },
       false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    NewScript();
    c.arrange(script());
    RunWith([](EngineConfig& cfg) { cfg.EndATList = {"AT+END"}; });
    EXPECT_EQ(trace().Passed(), c.passes) << ::testing::PrintToString(trace().Errors());
    EXPECT_THAT(PlainCopiesLeft(), ::testing::IsEmpty());
    for (const auto& e : fs::directory_iterator(root_)) fs::remove_all(e.path());
  }
}

TEST_F(EngineSavedBackup, PlainIdentityCopiesOfAKilledRunAreRemovedAtTheNextStart) {
  for (const char* folder : {"SN[OLD1]", "SN[OLD2].20261209-080000", "Default"}) {
    fs::create_directories(Folder(folder));
    std::ofstream(File(Folder(folder), "at1.bak")) << "[Data]\nSN=OLD\nIMEI=35\n";
    std::ofstream(File(Folder(folder), "at.bak")) << "[Data]\nSN=OLD\n";
    std::ofstream(File(Folder(folder), "EncryptAT.bak")) << "kept";
  }
  std::ofstream(File(root_, "at1.bak")) << "[Data]\nSN=ROOT\n";
  // A folder another run holds may be between its identity read and the scrambling.
  fs::create_directories(Folder("SN[BUSY]"));
  std::ofstream(File(Folder("SN[BUSY]"), "at1.bak")) << "[Data]\nSN=BUSY\n";
  BackupFolderLocks other(root_);
  std::string why;
  ASSERT_TRUE(other.Take("SN[BUSY]", why)) << why;
  script().hooks["ProgrammerPhase"] = [](EngineCore& c) { c.ReportError("stop here"); };

  RunWith();
  EXPECT_THAT(PlainCopiesLeft(), ::testing::ElementsAre(File(Folder("SN[BUSY]"), "at1.bak")));
  EXPECT_TRUE(fs::exists(File(Folder("SN[OLD1]"), "EncryptAT.bak")));
  EXPECT_LT(trace().IndexOf("status:Plain identity copy of an earlier run removed: " + File(Folder("SN[OLD1]"), "at1.bak")),
            trace().IndexOf("ReadIdentity"));
}

TEST_F(EngineSavedBackup, ARadioThatStaysOffIsNoPass) {
  struct Case {
    int refusals;  // AT+CFUN=1 answers that fail before one succeeds
    bool passes;
  };
  for (const auto& c : std::vector<Case>{{0, true}, {2, true}, {4, true}, {6, false}}) {
    SCOPED_TRACE(c.refusals);
    NewScript();
    int calls = 0;
    script().failingAT.insert("AT+CFUN=1");
    script().hooks["AT"] = [&](EngineCore&) {
      const auto events = trace().Events();
      if (events.back() != "AT:AT+CFUN=1") return;
      if (++calls > c.refusals) script().failingAT.erase("AT+CFUN=1");
    };
    RunWith();
    EXPECT_EQ(trace().Passed(), c.passes);
    EXPECT_EQ(trace().Count("AT:AT+CFUN=1"), std::min(c.refusals + 1, 6));
    EXPECT_TRUE(Saw("RestoreIdentity")) << "the data are restored whatever the radio does";
    if (!c.passes) {
      EXPECT_EQ(trace().Errors(), std::vector<std::string>{std::string("ERROR, ") + kOffline + ", Error code: 31"});
      EXPECT_TRUE(fs::exists(File(Folder("SN[SN123]"), "EncryptAT.bak"))) << "no PASS: the backup stays";
    }
    for (const auto& e : fs::directory_iterator(root_)) fs::remove_all(e.path());
  }
}

}  // namespace
}  // namespace zovir::test
