// An update killed at a chosen line of its output, then run again as a user would: the modem
// ends with what it held before, and a saved backup goes only onto its own unit.
#include <gmock/gmock.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "kill_run.h"
#include "preservation/backup_catalogue.h"
#include "support/scratch_dir.h"
#include "ui/cli/cli_output.h"
#include "ui/cli/cli_view.h"
#include "ui/session/update_slot.h"
#include "ui/session/virtual_factory.h"

#ifndef ZOVIR_TEST_PACKET_DIR
#error "ZOVIR_TEST_PACKET_DIR must name the generated test packet"
#endif

namespace zovir::faults {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;

// A project type without the pause before the programmer's hello: short runs.
constexpr int kQuickProject = 15;

class KillRerun : public ::testing::Test {
 protected:
  test::ScratchDir scratch_{"zovir-kill"};
  fs::path home_ = scratch_.path();
};

// Before the erase (the backup cut short) and in the middle of the identity restore (the
// modem erased, half its identity back). The fault matrix kills at every phase.
TEST_F(KillRerun, AnUpdateKilledAtAnyPhaseEndsWithTheModemAsItWas) {
  for (const char* phase : {"nv-backup", "identity-restore"}) {
    SCOPED_TRACE(phase);
    const bool beforeTheErase = std::string(phase) == "nv-backup";
    const auto& points = KillPoints();
    const auto point = std::find_if(points.begin(), points.end(), [&](const KillPoint& p) { return p.phase == phase; });
    ASSERT_NE(point, points.end());
    const fs::path home = home_ / phase;
    fs::create_directories(home);
    const KillOutcome o = RunKillCase(PrepareKillSetup(home, ZOVIR_TEST_PACKET_DIR, kQuickProject), *point);
    EXPECT_TRUE(o.killed) << o.detail;
    EXPECT_EQ(o.verdict, "pass") << o.detail;
    // A backup cut short is refused and a plain update does the work; a complete one brings
    // the modem back by itself.
    EXPECT_EQ(o.snPassed, !beforeTheErase) << o.detail;
    EXPECT_EQ(o.plainPassed, beforeTheErase) << o.detail;
    // A PASS removes its own backup; the one cut short stays aside, marked incomplete.
    const auto left = ListBackups((home / "Backup").string());
    ASSERT_EQ(left.size(), beforeTheErase ? 1u : 0u);
    if (beforeTheErase) {
      EXPECT_FALSE(left[0].complete);
      EXPECT_THAT(left[0].folder, ::testing::MatchesRegex(R"(SN\[.*\]\.[0-9]{8}-[0-9]{6})"));
    }
  }
}

TEST_F(KillRerun, ASavedBackupIsNeverRestoredOntoAnotherUnit) {
  const KillSetup a = PrepareKillSetup(home_ / "a", ZOVIR_TEST_PACKET_DIR, kQuickProject);
  KillSetup b = PrepareKillSetup(home_ / "b", ZOVIR_TEST_PACKET_DIR, kQuickProject);
  b.base.BackupFilePath = a.base.BackupFilePath;  // one machine, one backup root
  cli::CliOutput print(cli::CliOutput::Style::Plain, stdout);
  SteadyClock clock;
  auto slotSetup = [](const KillSetup& k, int slot, session::VirtualFactory& factory) {
    session::SlotSetup s;
    s.backupFolder = k.base.BackupFilePath;
    s.deviceMapPath = (k.home / "ports.ini").string();
    s.virtualModem = true;
    s.modem.stateDir = (k.home / "state").string();
    s.modem.rebootDelayMs = 300;
    fs::create_directories(s.modem.stateDir);
    factory.Prepare(s.modem, slot);
    return s;
  };
  {
    // Unit A: an update stopped once it switched to download mode leaves a complete backup.
    session::VirtualFactory fa;
    cli::CliView view(print, 0, cli::AnswerPolicy::Safe, "");
    session::UpdateSlot slot(slotSetup(a, 0, fa), *a.session, view, clock);
    fa.Seed(*slot.modem(), 0, a.userFiles, a.userDirs);
    ASSERT_TRUE(slot.Discover());
    slot.Start(a.config, a.images, a.packet);
    while (!slot.Finished() && slot.modem()->CommandCount("diag:3a") == 0)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    slot.Stop();
    ASSERT_TRUE(slot.Wait(60000));
    ASSERT_FALSE(slot.Passed());
  }
  const auto saved = ListBackups(a.base.BackupFilePath);
  ASSERT_EQ(saved.size(), 1u);
  ASSERT_TRUE(saved[0].complete) << saved[0].problem;

  // Unit B, with its own serial number and IMEI, is offered A's backup.
  session::VirtualFactory fb;
  cli::CliView view(print, 0, cli::AnswerPolicy::Safe, saved[0].serial);
  session::UpdateSlot slot(slotSetup(b, 1, fb), *b.session, view, clock);
  fb.Seed(*slot.modem(), 1, b.userFiles, b.userDirs);
  const session::ModemData before = session::Snapshot(*slot.modem(), *fb.nv, b.efsPaths);
  ASSERT_NE(before.identity.at("SN"), saved[0].serial);
  ASSERT_TRUE(slot.Discover());
  slot.Start(b.config, b.images, b.packet);
  ASSERT_TRUE(slot.Wait(600000));
  EXPECT_FALSE(slot.Passed());
  EXPECT_EQ(slot.modem()->CommandCount("diag:3a"), 0u) << "never switched to download mode";
  EXPECT_TRUE(slot.modem()->Partitions().empty()) << "nothing was written";
  EXPECT_TRUE(session::Compare(before, session::Snapshot(*slot.modem(), *fb.nv, b.efsPaths)).ok);
  const auto left = ListBackups(a.base.BackupFilePath);
  ASSERT_EQ(left.size(), 1u) << "A's backup stays, and nothing of B is added";
  EXPECT_TRUE(left[0].complete) << left[0].problem;
}

}  // namespace
}  // namespace zovir::faults
