#include <gmock/gmock.h>

#include "unit/nv/nv_fixture.h"

namespace zovir::test {
namespace {

using ::testing::ElementsAre;

class NVRestore : public NVFixture {
 protected:
  NVRestore() {
    core.cfg.PlatformType = 3;
    core.cfg.strLTEType = "LTE";
  }
  // Backs up the base and RF lists from a populated modem, then has the modem lose every
  // value, as an erase can.
  void BackupAndErase(NVItems& nv) {
    nv.BuildNVLists();
    Populate(nv.BaseNVList());
    for (const auto& e : nv.RFNVList()) modem.rf[static_cast<uint16_t>(e.Id)].data.assign(e.Id % 40, 0x7E);
    nv.BackupNV();
    nv.BackupRFNV();
    ASSERT_TRUE(errors.empty()) << Error();
    before = modem;
    modem.items.clear();
    modem.rf.clear();
    lines.clear();
  }
  FakeNVModem before;
};

TEST_F(NVRestore, PutsBackEveryBackedUpValue) {
  NVItems nv{core, link};
  BackupAndErase(nv);
  nv.RestoreNV();
  nv.RestoreRFNV();
  ASSERT_TRUE(errors.empty()) << Error();
  for (const auto& [id, item] : before.items) EXPECT_EQ(modem.items[id].data, item.data) << id;
  for (const auto& [id, item] : before.rf) EXPECT_EQ(modem.rf[id].data, item.data) << id;
  EXPECT_THAT(Texts(), ElementsAre("Restore NV Start.", "Restore NV......OK", "Restore NV Start.",
                                   "Restore NV......OK"));
  // The first write request is 0x27, the record, 00 00.
  const auto bak = ReadFile(core.cfg.bakFile);
  std::vector<uint8_t> first{0x27};
  first.insert(first.end(), bak.begin(), bak.begin() + 130);
  first.insert(first.end(), {0x00, 0x00});
  const auto it = std::find_if(modem.requests.begin(), modem.requests.end(),
                               [](const auto& r) { return r[0] == 0x27; });
  ASSERT_NE(it, modem.requests.end());
  EXPECT_EQ(*it, first);
}

// An item that was backed up and is refused on the way back is lost from the modem: the rest
// is still written, then the run fails naming every refused item, so the backup is kept.
TEST_F(NVRestore, RefusedWritesFailTheRunAfterTheRestIsWritten) {
  NVItems nv{core, link};
  BackupAndErase(nv);
  modem.items[1882].writeStatus = 5;
  modem.items[4212].writeStatus = 6;
  nv.RestoreNV();
  EXPECT_TRUE(Logged("[1882]NV_VCO_DEFAULT_I:NV status Error Received:Item inactive"));
  EXPECT_TRUE(Logged("[4212]NV_XO_TRIM_VALUES_I:Bad parameter in command block"));
  EXPECT_EQ(modem.items[4954].data, before.items[4954].data);  // after both
  EXPECT_THAT(errors, ElementsAre(ErrorText("Fail to restore NV items: [1882]NV_VCO_DEFAULT_I, [4212]NV_XO_TRIM_VALUES_I")));
  EXPECT_FALSE(Logged("Restore NV......OK"));
}

TEST_F(NVRestore, RefusedWriteIsAnEngineErrorNamedAfterTheRecord) {
  NVItems nv{core, link};
  BackupAndErase(nv);
  modem.items[1886].writeStatus = 7;
  nv.RestoreNV();
  EXPECT_THAT(errors, ElementsAre(ErrorText("[1886]NV_RGS_TIME_I:Item was read-only")));
  EXPECT_FALSE(Logged("Restore NV......OK"));
}

TEST_F(NVRestore, LabelsNameTheRecordsItemEvenWhenTheBackupSkippedOne) {
  NVItems nv{core, link};
  nv.BuildNVLists();
  Populate(nv.BaseNVList());
  modem.items[141].status = 5;  // first base item not in nv.bak
  nv.BackupNV();
  modem.items.clear();
  port().SetResponder([](const std::vector<uint8_t>&) { return FakeNVModem::Frame({0x13, 0x27}); });
  const size_t before = port().Writes().size();
  nv.RestoreNV();
  EXPECT_THAT(errors, ElementsAre(ErrorText("[5479]NV_ENH_THERM_I:Fail to restore NV")));
  EXPECT_EQ(port().Writes().size() - before, 99u);
}

struct FileCase {
  const char* name;
  std::vector<uint8_t> content;  // empty with `exists` false: no file
  bool exists;
  std::string error;   // engine error before the path, or empty
  std::string logged;  // expected log line, or empty
};

class NVRestoreFileChecks : public NVFixture, public ::testing::WithParamInterface<FileCase> {};

TEST_P(NVRestoreFileChecks, RefuseWhatIsNoBackup) {
  const FileCase& c = GetParam();
  if (c.exists) WriteFile(core.cfg.bakFile, c.content);
  for (const bool full : {false, true}) {
    errors.clear();
    lines.clear();
    EngineCore fresh{clock, ports, nullptr};
    fresh.cfg = core.cfg;
    fresh.OnStatusText = core.OnStatusText;
    fresh.OnError = core.OnError;
    Link freshLink{fresh};
    NVItems nv{fresh, freshLink};
    full ? nv.RestoreFullNV() : nv.RestoreNV();
    if (c.error.empty()) {
      EXPECT_TRUE(errors.empty()) << errors.front();
    } else {
      ASSERT_EQ(errors.size(), 1u);
      EXPECT_THAT(errors[0], ::testing::StartsWith("ERROR, " + c.error + core.cfg.bakFile + ", Error code: "));
    }
    if (!c.logged.empty()) {
      EXPECT_TRUE(Logged(c.logged));
    }
    EXPECT_FALSE(Logged("Restore NV......OK"));
    EXPECT_TRUE(modem.requests.empty());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Files, NVRestoreFileChecks,
    ::testing::Values(FileCase{"Missing", {}, false, "Could not open backup file: ", ""},
                      FileCase{"Empty", {}, true, "", "Backup file length <= 0"},
                      FileCase{"OneByteTooMany", std::vector<uint8_t>(131, 1), true, "backup file size error: ", ""},
                      FileCase{"OneByteShort", std::vector<uint8_t>(259, 1), true, "backup file size error: ", ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(NVRestore, FromASavedBackupBothVariantsReadTheSavedFolder) {
  const std::string saved = dir + "/SN[123]";
  std::filesystem::create_directories(saved);
  WriteFile(saved + "/nv.bak", Record(74, ValueOf(74)));
  core.run.bRestoreFromSaved = true;
  core.run.SavedBackupFolder = saved;
  core.cfg.bakFile.clear();  // not set in such a run
  NVItems nv{core, link};
  nv.RestoreFullNV();
  EXPECT_TRUE(errors.empty()) << Error();
  EXPECT_EQ(modem.items[74].data, ValueOf(74));
  modem.items.clear();
  nv.RestoreNV();
  EXPECT_EQ(modem.items[74].data, ValueOf(74));
  EXPECT_TRUE(errors.empty()) << Error();
}

TEST_F(NVRestore, FullListFailsOnARefusedWrite) {
  WriteFile(core.cfg.bakFile, [] {
    std::vector<uint8_t> f;
    for (uint16_t id : {74, 3649}) {
      const auto r = Record(id, ValueOf(id));
      f.insert(f.end(), r.begin(), r.end());
    }
    return f;
  }());
  modem.items[74].writeStatus = 5;
  NVItems nv{core, link};
  nv.RestoreFullNV();
  EXPECT_TRUE(Logged("[74]NV_AUTO_ANSWER_I:NV status Error Received:Item inactive"));
  EXPECT_EQ(modem.items[3649].data, ValueOf(3649));
  EXPECT_THAT(errors, ElementsAre(ErrorText("Fail to restore NV items: [74]NV_AUTO_ANSWER_I")));
}

TEST_F(NVRestore, FullListStopsAtAnUntoleratedStatus) {
  WriteFile(core.cfg.bakFile, [] {
    std::vector<uint8_t> f;
    for (uint16_t id : {74, 3649, 1102}) {
      const auto r = Record(id, ValueOf(id));
      f.insert(f.end(), r.begin(), r.end());
    }
    return f;
  }());
  modem.items[74].writeStatus = 5;
  modem.items[3649].writeStatus = 4;
  NVItems nv{core, link};
  nv.RestoreFullNV();
  EXPECT_TRUE(Logged("[74]NV_AUTO_ANSWER_I:NV status Error Received:Item inactive"));
  EXPECT_THAT(errors, ElementsAre(ErrorText("[3649]NV_DPA_OR_UPA_I:Command failed")));
  EXPECT_EQ(modem.items.count(1102), 0u);
}

// ---- RF restore ----

TEST_F(NVRestore, RFRestoreRunsOnlyWhenThereIsAnRFBackup) {
  // This run made no RF backup (project 48): nothing to restore, no error.
  {
    NVItems nv{core, link};
    nv.RestoreRFNV();
    EXPECT_TRUE(errors.empty());
    EXPECT_THAT(Texts(), ElementsAre("Restore NV Start.", "Backup file length <= 0"));
  }
  // A saved backup without nv1.bak: the same.
  lines.clear();
  core.run.bRestoreFromSaved = true;
  core.run.SavedBackupFolder = dir;
  {
    NVItems nv{core, link};
    nv.RestoreRFNV();
    EXPECT_TRUE(errors.empty());
    EXPECT_THAT(Texts(), ElementsAre("Restore NV Start.", "Backup file length <= 0"));
  }
  // A saved backup with one.
  lines.clear();
  WriteFile(dir + "/nv1.bak", {0x3B, 0x02, 0x02, 0x00, 0xAA, 0xBB});
  {
    NVItems nv{core, link};
    nv.RestoreRFNV();
    EXPECT_TRUE(errors.empty()) << Error();
    EXPECT_EQ(modem.rf[571].data, (std::vector<uint8_t>{0xAA, 0xBB}));
    EXPECT_EQ(modem.requests.back(), (std::vector<uint8_t>{0x4B, 0x0B, 0x24, 0x00, 0x5D, 0x02, 0x00, 0x00, 0x0E,
                                                           0x00, 0x3B, 0x02, 0x02, 0x00, 0xAA, 0xBB}));
  }
}

TEST_F(NVRestore, RFBackupOfThisRunThatVanishedIsAnEngineError) {
  NVItems nv{core, link};
  BackupAndErase(nv);
  std::filesystem::remove(core.run.nv1bakFile);
  nv.RestoreRFNV();
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_THAT(errors[0], ::testing::StartsWith("ERROR, Could not open backup file: " + core.run.nv1bakFile));
}

TEST_F(NVRestore, RFRecordsAreCheckedAndAFailedWriteIsAnError) {
  struct Case {
    std::vector<uint8_t> file;
    uint8_t writeStatus;
    std::string error;
  };
  const Case cases[] = {
      {{0x3B, 0x02, 0x03, 0x00, 0xAA}, 2, "Could not read from BIN file: "},  // data cut short
      {{0x3B, 0x02, 0x01}, 2, "Could not read from BIN file: "},              // header cut short
      {{0x3B, 0x02, 0xFF, 0xFF}, 2, "backup file size error: "},              // impossible length
      {{0x3B, 0x02, 0x01, 0x00, 0xAA}, 3, "Fail to restore NV items: [571]NV_RF_CAL_DATE_I"},
      {{0x3B, 0x02, 0x01, 0x00, 0xAA}, 4, "Fail to restore NV items: [571]NV_RF_CAL_DATE_I"},
  };
  for (const Case& c : cases) {
    EngineCore fresh{clock, ports, nullptr};
    std::vector<std::string> freshErrors;
    fresh.OnError = [&](const std::string& t, int) { freshErrors.push_back(t); };
    fresh.run.bRestoreFromSaved = true;
    fresh.run.SavedBackupFolder = dir;
    Link freshLink{fresh};
    fresh.hDiagPort = std::move(core.hDiagPort);
    WriteFile(dir + "/nv1.bak", c.file);
    modem.rf[571].writeStatus = c.writeStatus;
    NVItems nv{fresh, freshLink};
    nv.RestoreRFNV();
    ASSERT_EQ(freshErrors.size(), 1u);
    EXPECT_THAT(freshErrors[0], ::testing::StartsWith("ERROR, " + c.error));
    core.hDiagPort = std::move(fresh.hDiagPort);
  }
}

TEST_F(NVRestore, StopDuringARestoreEndsIt) {
  NVItems nv{core, link};
  BackupAndErase(nv);
  // The user stops while the modem answers: the exchange ends, nothing further is written.
  int writes = 0;
  port().SetResponder([&](const std::vector<uint8_t>& w) {
    if (++writes == 3) core.RequestStop();
    return modem.Handle(w);
  });
  nv.RestoreNV();
  EXPECT_EQ(writes, 3);
  EXPECT_FALSE(Logged("Restore NV......OK"));
  EXPECT_TRUE(errors.empty());
  EXPECT_EQ(core.ErrorCode.load(), ERR_USER_STOP);
}

TEST_F(NVRestore, StopBetweenTwoRecordsReportsTheFailureStatus) {
  NVItems nv{core, link};
  BackupAndErase(nv);
  modem.items[1882].writeStatus = 5;
  const auto log = core.OnStatusText;
  core.OnStatusText = [&](CommStatus st, const std::string& t, int i, MESSAGE_TYPE k) {
    log(st, t, i, k);
    if (t.find(":Item inactive") != std::string::npos) core.RequestStop();
  };
  nv.RestoreNV();
  EXPECT_TRUE(Logged("Fail to restore......"));
  EXPECT_FALSE(Logged("Restore NV......OK"));
  EXPECT_EQ(modem.items.count(1883), 0u);  // the record after it
  EXPECT_TRUE(errors.empty());
}

}  // namespace
}  // namespace zovir::test
