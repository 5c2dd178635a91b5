// Whole updates that preserve the modem's own data: what the modem holds afterwards is compared
// with what it held before, after a firmware that forgot all of it.
#include <gtest/gtest.h>

#include <fstream>

#include "ui/session/virtual_factory.h"
#include "virtual_update.h"

namespace zovir::test {
namespace {

using namespace std::chrono_literals;

constexpr int kQuickProject = 15;

struct PreservedUpdate {
  session::VirtualFactory factory;
  std::unique_ptr<VirtualUpdate> update;
  std::vector<std::string> userFiles{"/cfg/user.ini"};
  std::vector<std::string> userDirs{"/data"};

  explicit PreservedUpdate(sim::VirtualModemOptions options = {}) {
    factory.Prepare(options, 0);
    update = std::make_unique<VirtualUpdate>(options);
    factory.Seed(update->modem(), 0, userFiles, userDirs);
    EngineConfig& cfg = update->cfg();
    cfg.ProjectType = kQuickProject;
    cfg.bBackup = 1;
    cfg.bRestore = 1;
    cfg.bBackupUserData = 1;
    cfg.strLTEType = "LTE";  // selects the RF calibration items too
    cfg.UserDataFilesList = userFiles;
    cfg.UserDataDirList = userDirs;
  }
  session::ModemData Snapshot() { return session::Snapshot(update->modem(), *factory.nv, userFiles); }
};

TEST(Preservation, AnUpdateThatErasesTheModemGivesBackEveryValue) {
  PreservedUpdate run;
  const session::ModemData before = run.Snapshot();
  ASSERT_FALSE(before.nv.empty());
  ASSERT_FALSE(before.rf.empty());
  ASSERT_TRUE(run.update->Run());
  EXPECT_EQ(run.update->LastStatus(), "PASS");
  EXPECT_TRUE(run.update->PartitionsMatchImages());
  const session::ModemData after = run.Snapshot();
  EXPECT_EQ(after.nv, before.nv);
  EXPECT_EQ(after.rf, before.rf);
  EXPECT_EQ(after.identity, before.identity);
  EXPECT_EQ(after.files, before.files);
  // The modem really forgot them: the restore is what brought them back.
  EXPECT_GE(run.factory.identity->Losses(), 1u);
}

TEST(Preservation, ABackupFolderThatCannotBeWrittenStopsTheRunBeforeTheSwitch) {
  PreservedUpdate run;
  // A plain file where the backup root's parent should be: no folder can be made below it.
  const auto blocker = run.update->dir() / "not-a-folder";
  std::ofstream(blocker) << "x";
  run.update->cfg().BackupFilePath = (blocker / "Backup").string();
  ASSERT_TRUE(run.update->Run());
  EXPECT_FALSE(run.update->Saw("PASS"));
  EXPECT_NE(run.update->engine()->ErrorCode(), 0);
  EXPECT_EQ(run.update->modem().ModeEntries(sim::ModemMode::BootSahara), 0u);
  EXPECT_TRUE(run.update->modem().Partitions().empty());
  EXPECT_EQ(run.update->modem().CommandCount("diag:3a"), 0u);
}

TEST(Reenumeration, PortsUnderNewNumbersAreFoundAfterEveryRestart) {
  sim::VirtualModemOptions options;
  options.restartPorts = sim::RestartPorts::NewNumbers;
  PreservedUpdate run(options);
  const std::string diagBefore = "COM" + std::to_string(run.update->cfg().ComPort);
  ASSERT_TRUE(run.update->Run());
  EXPECT_EQ(run.update->LastStatus(), "PASS");
  EXPECT_TRUE(run.update->Saw("Port has changed"));
  EXPECT_TRUE(run.update->PartitionsMatchImages());
  bool diagReopened = false, modemReopened = false;
  for (const auto& text : run.update->StatusTexts()) {
    if (text.ends_with(" Initial Diagnostic0......ok")) {
      diagReopened = true;
      EXPECT_NE(text, diagBefore + " Initial Diagnostic0......ok") << "the diagnostic port kept its number";
    }
    modemReopened |= text.ends_with(" Initial Modem0......ok");
  }
  EXPECT_TRUE(diagReopened);
  EXPECT_TRUE(modemReopened);
}

}  // namespace
}  // namespace zovir::test

namespace zovir::test {
namespace {

TEST(Reenumeration, TheSecondResetFindsThePortsAgain) {
  sim::VirtualModemOptions options;
  options.restartPorts = sim::RestartPorts::NewNumbers;
  VirtualUpdate update(options);
  update.cfg().ProjectType = 20;  // a project that resets the modem once more after the restore
  ASSERT_TRUE(update.Run(240000));
  EXPECT_EQ(update.LastStatus(), "PASS");
  EXPECT_TRUE(update.Saw("Reset or poweroff successfully!"));
  EXPECT_TRUE(update.PartitionsMatchImages());
}

}  // namespace
}  // namespace zovir::test
