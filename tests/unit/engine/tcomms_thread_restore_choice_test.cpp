// Which backup a run restores, and which it keeps: the unit is checked whatever the backup
// flags say, a backup the modem was never written after is not restored over newer data, and
// a backup that may be a modem's only copy is never hidden by a plain run.
#include <gmock/gmock.h>

#include <fstream>
#include <iterator>

#include "engine_fixture.h"
#include "preservation/backup_catalogue.h"

namespace zovir::test {
namespace {

using ::testing::HasSubstr;

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

class EngineRestoreChoice : public EngineFixture {
 protected:
  // The NV backup double writes a file, so that a backup it made can be restored later.
  void WriteNVBackups() {
    script().hooks["BackupNV"] = [](EngineCore& core) { std::ofstream(core.cfg.bakFile) << "nv items now"; };
  }
  void FailImageWrite() {
    script().hooks["DownloadImages"] = [](EngineCore& core) { core.ReportError("image"); };
  }
};

// A re-update turns the backup flags off and hands the engine the failed run's serial number:
// the modem in hand is still asked who it is, another unit is refused, and what the same unit
// holds now is backed up before anything is written.
TEST_F(EngineRestoreChoice, ARestoreFromASavedBackupAsksWhoseModemItIsWhateverTheBackupFlags) {
  struct Case {
    int backup, userData;
    bool otherUnit;
  };
  for (const auto& c : std::vector<Case>{{0, 0, false}, {0, 0, true}, {0, 1, true}, {1, 0, true}, {0, 1, false}}) {
    SCOPED_TRACE(::testing::Message() << "bBackup " << c.backup << " bBackupUserData " << c.userData
                                      << (c.otherUnit ? ", another unit" : ", the same unit"));
    NewScript();
    ClearBackups();
    const std::string saved = MakeSavedBackup("SAVED1", "111111111111111");
    script().sn = c.otherUnit ? "OTHER9" : "SAVED1";
    script().imei = c.otherUnit ? "999999999999999" : "111111111111111";
    host_.snEntry = "SAVED1";
    RunWith([&](EngineConfig& cfg) {
      cfg.bBackup = c.backup;
      cfg.bBackupUserData = c.userData;
    });
    EXPECT_TRUE(Saw("ReadIdentity")) << "the modem is always asked who it is";
    if (c.otherUnit) {
      ASSERT_EQ(trace().Errors().size(), 1u);
      EXPECT_THAT(trace().Errors()[0], HasSubstr("The modem is another unit"));
      ExpectNothingWritten();
      EXPECT_FALSE(Saw("BackupNV"));
      BackupContents contents;
      std::string why;
      EXPECT_TRUE(CheckBackupRecord(saved, contents, why)) << "the saved backup is left as it was: " << why;
      continue;
    }
    EXPECT_TRUE(trace().Passed()) << ::testing::PrintToString(trace().Errors());
    const auto safety = FoldersStartingWith("SN[SAVED1].");
    ASSERT_EQ(safety.size(), 1u) << "what the modem held is backed up first";
    ExpectInOrder({"ReadIdentity", "BuildNVLists", "BackupNV:" + File(safety[0], "nv.bak"), "SealBackup:" + safety[0],
                   "ProgrammerPhase", "RestoreNV:" + File(saved, "nv.bak")});
    EXPECT_EQ(Saw("status:Backup succssfully"), c.backup || c.userData) << "the milestone is the flags' own";
    EXPECT_FALSE(fs::exists(saved)) << "the backup restored from goes with the PASS";
    EXPECT_EQ(MarkOf(safety[0]), ModemMark::Finished) << "the one made first stays, no longer needed";
  }
}

TEST_F(EngineRestoreChoice, TheModemIsMarkedWrittenAfterTheProgrammerAndBeforeTheFirstImage) {
  struct Case {
    const char* what;
    std::function<void(Script&)> arrange;
    bool marked;  // the record says the modem was written
    const char* error;
  };
  const std::vector<Case> cases = {
      {"the switch to download mode fails", [](Script& s) { s.programmerResult = 1; }, false,
       "Fail to upload the flash programmer"},
      {"an image write fails",
       [](Script& s) { s.hooks["DownloadImages"] = [](EngineCore& core) { core.ReportError("image"); }; }, true,
       "image"},
      {"the mark cannot be recorded", [](Script& s) { s.markWrittenResult = false; }, false,
       "Could not record in the backup"},
  };
  const std::string folder = Folder("SN[SN123]");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    NewScript();
    ClearBackups();
    c.arrange(script());
    RunWith();
    ASSERT_EQ(trace().Errors().size(), 1u);
    EXPECT_THAT(trace().Errors()[0], HasSubstr(c.error));
    EXPECT_EQ(MarkOf(folder), c.marked ? ModemMark::Written : ModemMark::Untouched);
    if (c.marked) {
      ExpectInOrder({"SealBackup:" + folder, "ProgrammerPhase", "MarkModemWritten:" + folder, "DownloadImages"});
    } else {
      EXPECT_FALSE(Saw("DownloadImages")) << "nothing is written without the mark";
    }
  }
}

// A backup whose run never wrote the modem may be older than what the modem holds now: asked to
// restore it, the engine backs up the modem afresh and restores that, and the older backup stays.
TEST_F(EngineRestoreChoice, ARestoreFromABackupTheModemWasNeverWrittenAfterBacksTheModemUpAfresh) {
  for (const std::string name : {"SN[SN123]", "SN[SN123].20261209-080000"}) {
    SCOPED_TRACE(name);
    NewScript();
    ClearBackups();
    WriteNVBackups();
    MakeSavedBackup("SN123", "356938035643809", true, name, ModemMark::Untouched);
    const std::string oldNv = ReadText(File(Folder(name), "nv.bak"));
    host_.snEntry = name == "SN[SN123]" ? "SN123" : name;
    RunWith();
    EXPECT_TRUE(trace().Passed()) << ::testing::PrintToString(trace().Errors());
    const std::string fresh = Folder("SN[SN123]");
    ExpectInOrder({"ReadIdentity", "BackupNV:" + File(fresh, "nv.bak"), "SealBackup:" + fresh, "DownloadImages",
                   "RestoreNV:" + File(fresh, "nv.bak"), "RestoreIdentity:" + File(fresh, "at.bak"), "status:PASS",
                   "FinishSNEntry", "DeleteLocalFolder:" + fresh});
    EXPECT_TRUE(Saw("status:Nothing was written to the modem after the backup"));
    const auto kept = FoldersStartingWith("SN[SN123].");
    ASSERT_EQ(kept.size(), 1u) << "the older backup is kept aside";
    EXPECT_EQ(ReadText(File(kept[0], "nv.bak")), oldNv);
    EXPECT_EQ(MarkOf(kept[0]), ModemMark::Untouched);
    EXPECT_FALSE(fs::exists(fresh)) << "the backup restored from goes with the PASS";
  }

  // A modem that lost its identity holds nothing newer: the backup it has is restored, and from
  // the first write on it is the modem's only copy.
  NewScript();
  ClearBackups();
  FailImageWrite();
  const std::string saved = MakeSavedBackup("SN123", "356938035643809", true, {}, ModemMark::Untouched);
  script().snRead = script().imeiRead = script().testInfoRead = false;
  host_.snEntry = "SN123";
  RunWith();
  EXPECT_FALSE(Saw("BackupNV"));
  EXPECT_TRUE(Saw("MarkModemWritten:" + saved));
  EXPECT_EQ(MarkOf(saved), ModemMark::Written);
}

// After an update that failed once the modem was written, a plain run on the emptied modem
// would back up nothing and pass: it stops before anything is written and names the backup and
// its restore, unless told to set that backup aside.
TEST_F(EngineRestoreChoice, APlainRunStopsWhileABackupOfAWrittenModemAwaitsItsRestore) {
  struct Case {
    std::string folder;
    bool seal;
    ModemMark mark;
    const char* command;  // empty: the plain run goes on
  };
  const std::vector<Case> cases = {
      {"SN[SN123]", true, ModemMark::Written, "zovir-cli run --sn SN123,"},
      {"SN[SN123].20261209-080000", true, ModemMark::Written, "zovir-cli run --sn SN[SN123].20261209-080000,"},
      {"SN[SN123].20261209-080000", true, ModemMark::Untouched, ""},
      {"SN[SN123].20261209-080000", true, ModemMark::Finished, ""},
      {"SN[SN123].20261209-080000", true, ModemMark::SetAside, ""},
      {"SN[SN123].20261209-080000", false, ModemMark::Written, ""},
      {"SN[OTHER9]", true, ModemMark::Written, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.folder + " " + ModemMarkName(c.mark) + (c.seal ? "" : " (cut short)"));
    NewScript();
    ClearBackups();
    const std::string backup = MakeSavedBackup(SerialOfBackupFolder(c.folder), "356938035643809", c.seal, c.folder, c.mark);
    const std::string before = ReadText(File(backup, "nv.bak"));
    RunWith();
    if (std::string(c.command).empty()) {
      EXPECT_TRUE(trace().Passed()) << ::testing::PrintToString(trace().Errors());
      continue;
    }
    ASSERT_EQ(trace().Errors().size(), 1u);
    const std::string error = trace().Errors()[0];
    EXPECT_THAT(error, HasSubstr(backup));
    EXPECT_THAT(error, HasSubstr(c.command));
    EXPECT_THAT(error, HasSubstr("--set-aside-backup"));
    EXPECT_TRUE(Saw("MessageBox:" + error.substr(7, error.find(", Error code") - 7) + "|Warning"));
    ExpectNothingWritten();
    EXPECT_FALSE(Saw("WriteIdentityBackup")) << "no backup of the emptied modem";
    EXPECT_EQ(ListBackups(root_).size(), 1u) << "nothing is made or set aside";
    EXPECT_EQ(MarkOf(backup), ModemMark::Written);
    EXPECT_EQ(ReadText(File(backup, "nv.bak")), before);

    // Told to set it aside, the run goes on and keeps it.
    NewScript();
    RunWith([](EngineConfig& cfg) { cfg.SetAsideWrittenBackup = true; });
    EXPECT_TRUE(trace().Passed()) << ::testing::PrintToString(trace().Errors());
    EXPECT_TRUE(Saw("SetAside:" + backup));
    EXPECT_LT(trace().IndexOf("SetAside:" + backup), trace().IndexOf("WriteIdentityBackup"));
    const auto left = ListBackups(root_);
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0].contents.modem, ModemMark::SetAside);
    EXPECT_EQ(ReadText(File(left[0].path, "nv.bak")), before);
  }
}

// The sequence on one modem: a run fails after writing, a plain run is stopped, the
// restore brings the modem back, and plain runs go on as before.
TEST_F(EngineRestoreChoice, AfterARestoreAPlainRunGoesOnAgain) {
  WriteNVBackups();
  FailImageWrite();
  RunWith();
  ASSERT_FALSE(trace().Passed());
  EXPECT_EQ(MarkOf(Folder("SN[SN123]")), ModemMark::Written);

  NewScript();
  RunWith();
  EXPECT_FALSE(trace().Passed());
  ExpectNothingWritten();

  NewScript();
  WriteNVBackups();
  host_.snEntry = "SN123";
  RunWith();
  EXPECT_TRUE(trace().Passed()) << ::testing::PrintToString(trace().Errors());
  host_.snEntry.clear();
  const auto kept = ListBackups(root_);
  ASSERT_EQ(kept.size(), 1u) << "the backup the restore made of the modem first stays";
  EXPECT_EQ(kept[0].contents.modem, ModemMark::Finished);

  NewScript();
  RunWith();
  EXPECT_TRUE(trace().Passed()) << ::testing::PrintToString(trace().Errors());
}

}  // namespace
}  // namespace zovir::test
