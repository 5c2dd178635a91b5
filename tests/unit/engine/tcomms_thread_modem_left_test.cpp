// What a run leaves the modem in when it ends early or loses an answer at its end.
#include "engine_fixture.h"

namespace zovir::test {
namespace {

class ResetReply : public EngineFixture {};

struct ResetCase {
  const char* name;
  std::function<void(EngineConfig&, Script&)> setup;
};

const std::vector<ResetCase> kUnanswered = {
    {"power-off of type 0", [](EngineConfig& c, Script& s) {
       c.ProjectType = 0;
       s.powerOffResult = 1;
     }},
    {"reset of a phone type", [](EngineConfig& c, Script& s) {
       c.IsPhoneType = 1;
       s.sendResetResult = 1;
     }},
    {"the plan's own reset", [](EngineConfig&, Script& s) {
       s.hooks["DownloadImages"] = [](EngineCore& core) { core.run.ResetUnconfirmed = true; };
     }},
};

TEST_F(ResetReply, ModemThatComesBackIsRestoredAndPasses) {
  for (const auto& tc : kUnanswered) {
    SCOPED_TRACE(tc.name);
    NewScript();
    host_.modemPort = "COM8";
    for (const auto& e : fs::directory_iterator(root_)) fs::remove_all(e.path());
    Script* s = script_.get();
    auto engine = MakeEngine([&](EngineConfig& c) {
      c.bBackupUserData = 1;
      tc.setup(c, *s);
    });
    Run(*engine);
    EXPECT_TRUE(trace().Errors().empty()) << trace().Errors().front();
    EXPECT_TRUE(trace().Passed());
    ExpectInOrder({"WaitForReenumeration(15,100,60,100)", "RestoreUserData", "AT:AT+CFUN=5", "RestoreRFNV",
                   "status:PASS"});
    EXPECT_TRUE(Saw("RestoreNV:"));
    EXPECT_TRUE(Saw("RestoreIdentity:"));
  }
}

TEST_F(ResetReply, ModemThatDoesNotComeBackFailsBeforeAnyRestoreAndKeepsTheBackup) {
  for (const auto& tc : kUnanswered) {
    SCOPED_TRACE(tc.name);
    NewScript();
    // Still in the programmer after the wait: no AT port appears.
    host_.modemPort = "COM8";
    for (const auto& e : fs::directory_iterator(root_)) fs::remove_all(e.path());
    script().hooks["ReportPortNames"] = [this](EngineCore&) { host_.modemPort.clear(); };
    Script* s = script_.get();
    auto engine = MakeEngine([&](EngineConfig& c) {
      c.bBackupUserData = 1;
      tc.setup(c, *s);
    });
    Run(*engine);
    EXPECT_EQ(trace().Errors(), std::vector<std::string>{"ERROR, Fail to reset or power off phone, Error code: 31"});
    EXPECT_FALSE(trace().Passed());
    EXPECT_TRUE(Saw("WaitForReenumeration"));
    for (const char* never : {"RestoreUserData", "AT:AT+CFUN=5", "RestoreNV", "RestoreIdentity", "DeleteLocalFolder"})
      EXPECT_FALSE(Saw(never)) << never;
    EXPECT_TRUE(fs::exists(File(Folder("SN[SN123]"), "backup-record.txt")));
  }
}

// A start list that switched the radio off: a run that ends before the erase gives it back, from
// wherever the modem still has its AT port.
TEST_F(ResetReply, RunEndingBeforeTheEraseSwitchesTheRadioBackOn) {
  struct Case {
    const char* name;
    std::function<void(Script&)> setup;
    bool radioBack;
  };
  const std::vector<Case> cases = {
      {"NV backup fails", [](Script& s) { s.hooks["BackupNV"] = [](EngineCore& core) { core.ReportError("nv"); }; },
       true},
      {"stop during the backup",
       [](Script& s) { s.hooks["BackupNV"] = [](EngineCore& core) { core.RequestStop(); }; }, true},
      {"switch to download mode fails, modem still in normal mode",
       [](Script& s) { s.programmerResult = 1; }, true},
      {"programmer upload fails in the boot loader",
       [](Script& s) {
         s.programmerResult = 1;
         s.hooks["ProgrammerPhase"] = [](EngineCore& core) { static_cast<FakeHost*>(core.host)->modemPort.clear(); };
       },
       false},
      {"image write fails", [](Script& s) {
         s.hooks["DownloadImages"] = [](EngineCore& core) { core.ReportError("image"); };
       },
       false},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.name);
    NewScript();
    host_.modemPort = "COM8";
    for (const auto& e : fs::directory_iterator(root_)) fs::remove_all(e.path());
    tc.setup(script());
    RunWith([](EngineConfig& c) { c.StartATList = {"AT+CFUN=5\r\n\r\n"}; });
    EXPECT_FALSE(trace().Passed());
    EXPECT_EQ(Saw("AT:AT+CFUN=1"), tc.radioBack);
    EXPECT_TRUE(ports_.Port("COM8").Closed());
  }
  // A start list that leaves the radio alone gets no such command.
  NewScript();
  host_.modemPort = "COM8";
  for (const auto& e : fs::directory_iterator(root_)) fs::remove_all(e.path());
  script().programmerResult = 1;
  RunWith([](EngineConfig& c) { c.StartATList = {"AT+ZSTART\r\n\r\n"}; });
  EXPECT_FALSE(Saw("AT:AT+CFUN"));
}

}  // namespace
}  // namespace zovir::test
