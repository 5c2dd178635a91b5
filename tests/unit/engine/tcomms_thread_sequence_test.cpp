// The phase sequence of one update, driven with doubles: order, conditions, fail-stop,
// Stop, identity, restore from a saved backup.
#include <fstream>
#include <stdexcept>

#include "engine_fixture.h"
#include "preservation/backup_record.h"

namespace zovir::test {
namespace {

using Setup = std::function<void(EngineConfig&, Script&)>;

class EngineSequence : public EngineFixture {};

TEST_F(EngineSequence, FullRunKeepsThePhaseOrderAndEndsWithPass) {
  auto engine = MakeEngine([](EngineConfig& c) {
    c.Index = 3;
    c.ProjectType = 6;
  });
  Run(*engine);

  const std::string f = Folder("SN[SN123]");
  ExpectInOrder({
      "BuildNVLists",
      "status:Start succssfully",
      "status:Ready 1......",
      "status:COM7 Diagnostic Ready......",
      "ReadIdentity",
      "MakeLocalFolder:" + File(f, "EFS"),
      "WriteIdentityBackup",
      "ScrambleFile:" + File(f, "at1.bak") + ">" + File(f, "EncryptAT.bak"),
      "BackupNV:" + File(f, "nv.bak"),
      "BackupRFNV",
      "status:Backup succssfully",
      "ProgrammerPhase",
      "DownloadImages",
      "SendPowerOff",
      "status:Reset or power off command......",
      "WaitForReenumeration(15,100,60,100)",
      "CheckAndSearchPorts(50,200,Port has not changed.)",
      "ReportPortNames",
      "status:COM7 Initial Diagnostic0......ok",
      "status:COM8 Initial Modem0......ok",
      "AT:AT+CFUN=5",
      "RestoreNV:" + File(f, "nv.bak"),
      "RestoreRFNV",
      "AT:AT+CFUN=1",
      "UnscrambleFile:" + File(f, "EncryptAT.bak") + ">" + File(f, "at.bak"),
      "RestoreIdentity:" + File(f, "at.bak"),
      "ResetAndReconnect",
      "ShowModemVersion",
      "status:PASS",
      "ShowResultSN:SN123",
      "DeleteLocalFolder:" + f,
  });
  EXPECT_TRUE(trace().Errors().empty());
  EXPECT_EQ(ProgressPositions(), (std::vector<int>{0, 85, 90, 95, 98, 100}));
  for (const auto& r : trace().Reports()) EXPECT_EQ(r.slot, 3) << r.text;
  EXPECT_EQ(engine->ErrorCode(), 0);
  // Waits: 10 ms after the folder, 500 ms after scrambling, one 500 ms pause per reopen loop,
  // 2000 ms before the restore.
  EXPECT_EQ(clock_.SleptMs(), 10u + 500u + 500u + 500u + 2000u);
  EXPECT_FALSE(fs::exists(f)) << "a passed run removes its backup";
  EXPECT_TRUE(ports_.Port("COM7").Closed());
  EXPECT_TRUE(ports_.Port("COM8").Closed());
}

struct ConditionCase {
  const char* name;
  Setup setup;
  std::vector<std::string> present;  // event prefixes that must occur
  std::vector<std::string> absent;   // event prefixes that must not occur
};

TEST_F(EngineSequence, PhaseConditions) {
  const std::vector<ConditionCase> cases = {
      {"platform 255 is not checked", {}, {}, {"GetPlatformID", "status:check platform start."}},
      {"matching platform",
       [](EngineConfig& c, Script& s) {
         c.PlatformName = 9;
         s.platformId = 9;
       },
       {"status:check platform start.", "GetPlatformID", "status:check platform OK."},
       {"MessageBox:"}},
      {"type 3 sends no final reset",
       {},
       {"WaitForReenumeration"},
       {"SendPowerOff", "SendReset", "ResetAndReconnect", "ShowModemVersion"}},
      {"phone type resets", [](EngineConfig& c, Script&) { c.IsPhoneType = 1; }, {"SendReset"}, {"SendPowerOff"}},
      {"type 0 powers off", [](EngineConfig& c, Script&) { c.ProjectType = 0; }, {"SendPowerOff"}, {"SendReset"}},
      {"type 2 shows the version", [](EngineConfig& c, Script&) { c.ProjectType = 2; },
       {"SendPowerOff", "ShowModemVersion"}, {"ResetAndReconnect"}},
      {"type 19 resets twice", [](EngineConfig& c, Script&) { c.ProjectType = 19; },
       {"SendPowerOff", "ResetAndReconnect"}, {"ShowModemVersion"}},
      {"PC-suite image, type 3", [](EngineConfig& c, Script&) { c.PCSuiteImage = 1; },
       {"AT:AT+DISK=8,\"D1\""}, {"AT:AT+DISK=8,\"D2\""}},
      {"PC-suite image, type 13",
       [](EngineConfig& c, Script&) {
         c.PCSuiteImage = 1;
         c.ProjectType = 13;
       },
       {"AT:AT+DISK=8,\"D2\""}, {"AT:AT+DISK=8,\"D1\""}},
      {"PC-suite image, type 1 sends nothing",
       [](EngineConfig& c, Script&) {
         c.PCSuiteImage = 1;
         c.ProjectType = 1;
       },
       {}, {"AT:AT+DISK"}},
      {"AMSS-only type 29 opens the AT port and sets the disk mode",
       [](EngineConfig& c, Script&) {
         c.bBackup = c.bRestore = 0;
         c.bAMSSFile = 1;
         c.ProjectType = 29;
       },
       {"status:Ready 1......", "AT:AT+DISK=8,\"D1\""}, {}},
      {"AMSS file with an EFS image is no AMSS-only update",
       [](EngineConfig& c, Script&) {
         c.bBackup = c.bRestore = 0;
         c.bAMSSFile = c.bEFS = 1;
         c.ProjectType = 29;
       },
       {}, {"status:Ready 1......", "AT:AT+DISK"}},
      {"variant switch", [](EngineConfig& c, Script&) { c.VersionVariant[1] = 1; }, {"AT:AT+DISK=8,\"D1\""}, {}},
      {"full NV set for type 12 with the alternative table",
       [](EngineConfig& c, Script&) {
         c.ProjectType = 12;
         c.IsOmbrix = 1;
       },
       {"BackupFullNV", "RestoreFullNV"}, {"BackupNV", "BackupRFNV", "RestoreNV"}},
      {"CDMA2000 backs up the base set only", [](EngineConfig& c, Script&) { c.PlatformType = 1; },
       {"BackupNV", "RestoreNV", "RestoreRFNV"}, {"BackupRFNV", "BackupFullNV"}},
      {"type 35 needs no IMEI and backs up the base set",
       [](EngineConfig& c, Script& s) {
         c.ProjectType = 35;
         s.imeiRead = false;
       },
       {"BackupNV", "status:PASS"}, {"BackupRFNV", "error:"}},
      {"EVDO needs no IMEI",
       [](EngineConfig& c, Script& s) {
         c.PlatformType = 2;
         s.imeiRead = false;
       },
       {"status:PASS"}, {"error:", "MessageBox:"}},
      {"NV item list", [](EngineConfig& c, Script&) { c.NVItemList = {"10:01"}; }, {"WriteNVItemList"}, {}},
      {"start and end AT lists",
       [](EngineConfig& c, Script&) {
         c.StartATList = {"AT+A"};
         c.EndATList = {"AT+B"};
       },
       {"RunStartATList", "RunEndATList"}, {}},
      {"reset helper", [](EngineConfig& c, Script&) { c.ExecuteResetModem = 1; }, {"RunResetHelper"}, {}},
      {"user data", [](EngineConfig& c, Script&) { c.bBackupUserData = 1; },
       {"PrepareUserData", "BackupUserData", "RestoreUserData"}, {}},
      {"nothing to preserve",
       [](EngineConfig& c, Script&) { c.bBackup = c.bRestore = 0; },
       {"ProgrammerPhase", "status:PASS"},
       {"status:Ready 1......", "BuildNVLists", "ReadIdentity", "MakeLocalFolder", "status:Backup succssfully",
        "AT:AT+CFUN", "UnscrambleFile", "DeleteLocalFolder"}},
      {"backup without restore keeps the backup", [](EngineConfig& c, Script&) { c.bRestore = 0; },
       {"BackupNV", "status:PASS"}, {"AT:AT+CFUN", "RestoreNV", "UnscrambleFile", "DeleteLocalFolder"}},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.name);
    NewScript();
    Script* s = script_.get();
    auto engine = MakeEngine([&](EngineConfig& c) {
      if (tc.setup) tc.setup(c, *s);
    });
    Run(*engine);
    for (const auto& p : tc.present) EXPECT_TRUE(Saw(p)) << "expected " << p;
    for (const auto& a : tc.absent) EXPECT_FALSE(Saw(a)) << "unexpected " << a;
    EXPECT_TRUE(trace().Passed()) << "every case here is a good run";
  }
}

TEST_F(EngineSequence, ModemPortStaysClosedUntilTheResetWhenNothingNeedsIt) {
  script().hooks["ProgrammerPhase"] = [this](EngineCore& core) {
    EXPECT_EQ(ports_.Opens("COM8"), 0);
    EXPECT_FALSE(core.hModemPort);
  };
  RunWith([](EngineConfig& c) { c.bBackup = c.bRestore = 0; });
  EXPECT_TRUE(Saw("ProgrammerPhase"));
  EXPECT_TRUE(trace().Passed());
}

struct FailureCase {
  const char* name;
  Setup setup;
  std::string firstError;            // text of the one error report
  std::vector<std::string> absent;   // later phases that must not run
  std::vector<std::string> present;  // things that still happen
};

TEST_F(EngineSequence, FirstFailureStopsTheRunAndIsTheOnlyErrorReported) {
  const std::vector<FailureCase> cases = {
      {"platform mismatch",
       [](EngineConfig& c, Script& s) {
         c.PlatformName = 5;
         s.platformId = 9;
       },
       "Could not get platform type.", {"ReadIdentity", "ProgrammerPhase"},
       {"MessageBox:Plantform type is not matched|Warning"}},
      {"platform query fails",
       [](EngineConfig& c, Script& s) {
         c.PlatformName = 5;
         s.platformId = -1;
       },
       "Could not get platform type.", {"ReadIdentity", "MessageBox:"}, {}},
      {"two failures in a row",
       [](EngineConfig& c, Script& s) {
         c.StartATList = {"AT+X"};
         s.hooks["RunStartATList"] = [](EngineCore& core) {
           core.ReportError("first");
           core.ReportError("second");
         };
       },
       "first", {"ReadIdentity", "ProgrammerPhase"}, {}},
      {"disk mode refused",
       [](EngineConfig& c, Script& s) {
         c.PCSuiteImage = 1;
         s.failingAT = {"AT+DISK=8,\"D1\""};
       },
       "Fail to set from modem start", {"ReadIdentity"}, {}},
      {"NV backup fails",
       [](EngineConfig&, Script& s) { s.hooks["BackupNV"] = [](EngineCore& core) { core.ReportError("nv"); }; },
       "nv", {"BackupRFNV", "status:Backup succssfully", "ProgrammerPhase"}, {}},
      {"programmer phase fails without a report",
       [](EngineConfig&, Script& s) { s.programmerResult = 1; }, "Fail to upload the flash programmer",
       {"DownloadImages"}, {}},
      {"download fails",
       [](EngineConfig&, Script& s) {
         s.hooks["DownloadImages"] = [](EngineCore& core) { core.ReportError("image"); };
       },
       "image", {"SendPowerOff", "WaitForReenumeration", "AT:AT+CFUN"}, {}},
      {"power-off unanswered and the modem not back still resets type 6 again",
       [](EngineConfig& c, Script& s) {
         c.ProjectType = 6;
         s.powerOffResult = 1;
         s.hooks["ReportPortNames"] = [](EngineCore& core) { static_cast<FakeHost*>(core.host)->modemPort.clear(); };
       },
       "Fail to reset or power off phone", {"AT:AT+CFUN", "RestoreNV", "RestoreUserData"},
       {"WaitForReenumeration", "ResetAndReconnect"}},
      {"restore mode refused ends the run",
       [](EngineConfig& c, Script& s) {
         c.ProjectType = 6;
         s.failingAT = {"AT+CFUN=5"};
       },
       "Fail to Send Command!", {"RestoreNV", "ResetAndReconnect", "UnscrambleFile"}, {}},
      {"identity backup cannot be unscrambled",
       [](EngineConfig&, Script& s) { s.unscrambleResult = FileCopyResult::SourceOpenFailed; },
       "[Decrypt] Fail to open ATfile.", {"RestoreIdentity"}, {}},
      {"identity restore fails without a report",
       [](EngineConfig& c, Script& s) {
         c.EndATList = {"AT+E"};
         s.restoreIdentityResult = 0;
       },
       "Fail to restore the identity values", {"RunEndATList", "ShowResultSN"}, {}},
      {"reset helper fails",
       [](EngineConfig& c, Script& s) {
         c.ExecuteResetModem = 1;
         s.resetHelperResult = 0;
       },
       "Fail to execute reset modem.", {"ShowResultSN"}, {}},
      {"a phase throws",
       [](EngineConfig&, Script& s) {
         s.hooks["DownloadImages"] = [](EngineCore&) { throw std::runtime_error("boom"); };
       },
       "Internal error: boom", {"SendPowerOff"}, {}},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.name);
    NewScript();
    host_.modemPort = "COM8";
    // Each case meets a modem without a backup of an earlier case's failure.
    for (const auto& e : fs::directory_iterator(root_)) fs::remove_all(e.path());
    Script* s = script_.get();
    auto engine = MakeEngine([&](EngineConfig& c) { tc.setup(c, *s); });
    Run(*engine);
    EXPECT_EQ(trace().Errors(), std::vector<std::string>{"ERROR, " + tc.firstError + ", Error code: 31"});
    EXPECT_EQ(engine->ErrorCode(), ERR_GENERIC_FAILURE);
    EXPECT_FALSE(trace().Passed());
    EXPECT_FALSE(Saw("DeleteLocalFolder")) << "a failed run keeps its backup";
    for (const auto& a : tc.absent) EXPECT_FALSE(Saw(a)) << "unexpected " << a;
    for (const auto& p : tc.present) EXPECT_TRUE(Saw(p)) << "expected " << p;
    EXPECT_TRUE(ports_.Port("COM7").Closed());
    EXPECT_TRUE(ports_.Port("COM8").Closed());
  }
}

TEST_F(EngineSequence, PortThatCannotBeOpenedFailsWithTheSystemsErrorCode) {
  ports_.FailOpens("COM7", 1, 2);
  auto engine = RunWith();
  EXPECT_EQ(trace().Errors(), std::vector<std::string>{"ERROR, COM7Could not open Diagnostic port, Error code: 2"});
  EXPECT_EQ(engine->ErrorCode(), 2);
  EXPECT_FALSE(Saw("ReadIdentity"));
  EXPECT_FALSE(Saw("ProgrammerPhase"));
  EXPECT_TRUE(ports_.Port("COM8").Closed());
}

TEST_F(EngineSequence, DiagnosticPortThatNeverReturnsTimesOutAtAttemptTenAndTriesTwenty) {
  script().hooks["ReportPortNames"] = [this](EngineCore&) { ports_.FailOpens("COM7", 1000); };
  auto engine = RunWith();
  EXPECT_EQ(trace().Errors(), std::vector<std::string>{"ERROR, ComPort0 timeout, Error code: 31"});
  EXPECT_EQ(trace().Count("status:COM7 Initial Diagnostic0......wait"), 20);
  EXPECT_TRUE(Saw("status:COM8 Initial Modem0......ok"));
  EXPECT_FALSE(Saw("RestoreNV"));
  EXPECT_FALSE(trace().Passed());
}

TEST_F(EngineSequence, FailureEndsCloseOpenPortsWithTheirWarnings) {
  // The folder for the backup cannot be made: the run ends at once, through the normal end.
  script().makeFolderResult = false;
  ports_.Port("COM7").FailCloses(1);
  ports_.Port("COM8").FailCloses(1);
  RunWith();
  EXPECT_EQ(trace().Errors(), std::vector<std::string>{"ERROR, Could not create folder!, Error code: 31"});
  EXPECT_FALSE(Saw("WriteIdentityBackup"));
  EXPECT_FALSE(Saw("ProgrammerPhase"));
  ExpectInOrder({"status:Warning-7", "status:Warning-9"});
  EXPECT_FALSE(Saw("ShowModemVersion"));
  EXPECT_TRUE(ports_.Port("COM7").Closed());
  EXPECT_TRUE(ports_.Port("COM8").Closed());
}

// ---- Stop ------------------------------------------------------------------------------

TEST_F(EngineSequence, StopEndsTheRunWithCommClosedAndNoErrorReport) {
  script().hooks["DownloadImages"] = [](EngineCore& core) {
    EXPECT_TRUE(core.RequestStop());
    core.ReportError("a consequence of the stop");
  };
  auto engine = RunWith();
  EXPECT_EQ(engine->ErrorCode(), ERR_USER_STOP);
  EXPECT_TRUE(trace().Errors().empty());
  EXPECT_FALSE(trace().Passed());
  EXPECT_FALSE(Saw("SendPowerOff"));
  EXPECT_FALSE(Saw("DeleteLocalFolder"));
  int closed = 0;
  for (const auto& r : trace().Reports())
    if (r.kind == Report::Status && r.text == "COMM Closed") {
      ++closed;
      EXPECT_EQ(r.status, csClosed);
      EXPECT_EQ(r.type, mtError);
    }
  EXPECT_EQ(closed, 1);
  EXPECT_TRUE(fs::exists(Folder("SN[SN123]")));
}

TEST_F(EngineSequence, StopBeforeTheStartIsNotWipedOut) {
  // Once before the thread runs, once while the start step builds its lists.
  for (bool beforeResume : {true, false}) {
    SCOPED_TRACE(beforeResume ? "before Resume" : "during the start step");
    NewScript();
    auto engine = MakeEngine();
    if (beforeResume)
      engine->Stop();
    else
      script().hooks["BuildNVLists"] = [](EngineCore& core) { core.RequestStop(); };
    Run(*engine);
    EXPECT_EQ(engine->ErrorCode(), ERR_USER_STOP);
    EXPECT_FALSE(Saw("status:Ready 1......"));
    EXPECT_FALSE(Saw("status:COM7 Diagnostic Ready......"));
    EXPECT_FALSE(Saw("ReadIdentity"));
    EXPECT_FALSE(Saw("ProgrammerPhase"));
    EXPECT_TRUE(trace().Errors().empty());
    EXPECT_EQ(trace().Count("status:COMM Closed"), 1);
  }
  EXPECT_EQ(ports_.Opens("COM7"), 0);
  EXPECT_EQ(ports_.Opens("COM8"), 0);
}

TEST_F(EngineSequence, StopDuringThePortWaitEndsTheReopenLoop) {
  int opensBefore = 0;
  uint64_t sleptBefore = 0;
  script().hooks["ReportPortNames"] = [&](EngineCore& core) {
    opensBefore = ports_.Opens("COM7");
    sleptBefore = clock_.SleptMs();
    core.RequestStop();
  };
  auto engine = RunWith();
  EXPECT_EQ(ports_.Opens("COM7"), opensBefore) << "no reopen after the stop";
  EXPECT_GE(trace().Count("status:COMM Closed"), 1);
  EXPECT_EQ(trace().Count("status:COM7 Initial Diagnostic0......wait"), 0);
  EXPECT_TRUE(trace().Errors().empty());
  EXPECT_FALSE(trace().Passed());
  EXPECT_EQ(clock_.SleptMs(), sleptBefore) << "a stopped run sits out none of its pauses";
}

TEST_F(EngineSequence, StopDuringTheIdentityReadAsksForNothing) {
  script().snRead = false;
  script().hooks["ReadIdentity"] = [this](EngineCore& core) {
    if (script().readIdentityCalls == 1) core.RequestStop();
  };
  RunWith();
  EXPECT_EQ(trace().Count("ReadIdentity"), 2);
  EXPECT_FALSE(Saw("MessageBox:"));
  EXPECT_FALSE(Saw("OfferSNEntry"));
  EXPECT_TRUE(trace().Errors().empty());
  EXPECT_FALSE(Saw("MakeLocalFolder"));
}

// ---- Identity --------------------------------------------------------------------------

TEST_F(EngineSequence, MissingIdentityEndsTheRunAndOffersSNEntry) {
  struct Missing {
    bool sn, imei, test;
    std::string error;
  };
  for (const auto& m : std::vector<Missing>{{false, true, true, "[Dload] Fail to Read SN"},
                                           {true, false, true, "[Dload] Fail to Read IMEI"},
                                           {false, false, false, "[Dload] Fail to Read IMEI"},
                                           {true, true, false, "[Dload] Fail to Read Testinf"}}) {
    SCOPED_TRACE(m.error);
    NewScript();
    script().snRead = m.sn;
    script().imeiRead = m.imei;
    script().testInfoRead = m.test;
    const uint64_t slept = clock_.SleptMs();
    RunWith();
    EXPECT_EQ(trace().Count("ReadIdentity"), 5);
    EXPECT_EQ(clock_.SleptMs() - slept, 4000u) << "four pauses of 1000 ms between five reads";
    EXPECT_EQ(trace().Errors(), std::vector<std::string>{"ERROR, " + m.error + ", Error code: 31"});
    ExpectInOrder({"MessageBox:Test info is lost!|Warning", "MessageBox:input SN and start!|Hint", "OfferSNEntry"});
    EXPECT_FALSE(Saw("MakeLocalFolder"));
    EXPECT_FALSE(Saw("ProgrammerPhase"));
    EXPECT_FALSE(trace().Passed());
  }
}

TEST_F(EngineSequence, IdentityReadIsRetriedUntilComplete) {
  script().snRead = false;
  script().hooks["ReadIdentity"] = [this](EngineCore&) {
    if (script().readIdentityCalls == 2) script().snRead = true;
  };
  RunWith();
  EXPECT_EQ(trace().Count("ReadIdentity"), 3);
  EXPECT_TRUE(trace().Passed());
}

// ---- Scrambled identity backup ---------------------------------------------------------

TEST_F(EngineSequence, PlainIdentityBackupNeverOutlivesTheRun) {
  struct Case {
    FileCopyResult result;
    std::string error;  // empty: the run goes on
  };
  for (const auto& c : std::vector<Case>{{FileCopyResult::Ok, ""},
                                         {FileCopyResult::SourceOpenFailed, "[Encrypt] Fail to open AT1file."},
                                         {FileCopyResult::DestinationFailed, "[Encrypt] Fail to open ATfile."}}) {
    SCOPED_TRACE(c.error);
    NewScript();
    script().scrambleResult = c.result;
    RunWith([](EngineConfig& cfg) { cfg.bRestore = 0; });
    const std::string at1 = File(Folder("SN[SN123]"), "at1.bak");
    if (c.error.empty()) {
      EXPECT_FALSE(fs::exists(at1));
      EXPECT_TRUE(trace().Passed());
    } else {
      // The modem still holds its identity: nothing was written to it.
      EXPECT_FALSE(fs::exists(at1));
      EXPECT_EQ(trace().Errors(), std::vector<std::string>{"ERROR, " + c.error + ", Error code: 31"});
      EXPECT_FALSE(Saw("BackupNV"));
      EXPECT_FALSE(Saw("ProgrammerPhase"));
    }
    fs::remove_all(Folder("SN[SN123]"));
  }
}

// ---- Restore from a saved backup -------------------------------------------------------

TEST_F(EngineSequence, RestoreFromSavedBackupUsesTheSavedFolder) {
  const std::string saved = Folder("SN[ABC]");
  fs::create_directories(fs::path(saved) / "EFS");
  std::ofstream(File(saved, "EncryptAT.bak")) << "x";
  std::ofstream(File(saved, "nv.bak")) << "x";
  std::string why;
  ASSERT_TRUE(SealBackup(saved, "ABC", "20261210-101010", why)) << why;
  // A modem that lost its identity: asked who it is (read only), it answers nothing, so there
  // is nothing of it to back up first.
  script().snRead = script().imeiRead = script().testInfoRead = false;
  host_.snEntry = "ABC";
  RunWith([](EngineConfig& c) { c.bBackupUserData = 1; });

  ExpectInOrder({"EnableSNEntry(0)", "status:Start succssfully", "status:Backup succssfully", "ProgrammerPhase",
                 "RestoreUserData", "RestoreNV:" + File(saved, "nv.bak"),
                 "UnscrambleFile:" + File(saved, "EncryptAT.bak") + ">" + File(saved, "at.bak"),
                 "RestoreIdentity:" + File(saved, "at.bak"), "status:PASS", "FinishSNEntry",
                 "DeleteLocalFolder:" + saved});
  for (const char* a : {"BuildNVLists", "MakeLocalFolder", "WriteIdentityBackup", "ScrambleFile",
                        "BackupNV", "PrepareUserData", "BackupUserData"})
    EXPECT_FALSE(Saw(a)) << a;
}

TEST_F(EngineSequence, SavedBackupThatDoesNotExistEndsBeforeAnyPortOpens) {
  fs::create_directories(fs::path(root_) / "SN[a" / "b]");
  fs::create_directories(fs::path(tempDir_) / "SN[x]");
  for (const std::string text : {"XYZ", "a/b", "../SN[x", "a\\b"}) {
    SCOPED_TRACE(text);
    NewScript();
    host_.snEntry = text;
    auto engine = RunWith();
    EXPECT_EQ(trace().Errors(), std::vector<std::string>{"ERROR, Backup files not exist!, Error code: 31"});
    EXPECT_TRUE(Saw("MessageBox:备份文件不存在|Warning"));
    EXPECT_FALSE(Saw("status:Start succssfully"));
    EXPECT_FALSE(Saw("DeleteLocalFolder"));
  }
  EXPECT_EQ(ports_.Opens("COM7"), 0);
  EXPECT_EQ(ports_.Opens("COM8"), 0);
}

}  // namespace
}  // namespace zovir::test
