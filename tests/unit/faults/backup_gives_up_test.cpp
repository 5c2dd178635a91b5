// A backup walks hundreds of items. Every single wait is bounded, but a modem that vanished or
// answers every request too late must end the backup as failed within seconds, not after every
// item paid its full retry budget; a single late reply must not end it.
#include <gmock/gmock.h>

#include <filesystem>

#include "preservation/user_data.h"
#include "unit/efs/efs_fixture.h"
#include "unit/nv/nv_fixture.h"

namespace zovir::test {
namespace {

using ::testing::EndsWith;
using ::testing::IsEmpty;

// How the modem misbehaves from the `at`-th request on (1-based).
enum class Misbehaviour {
  Vanishes,       // the port disappears: every later operation on it fails
  FallsSilent,    // nothing is answered any more
  AlwaysLate,     // every reply comes 6 s after its request (the receive waits 5 s)
  OnceLate,       // only that one reply comes 6 s late
};

constexpr uint64_t kLateMs = 6000;

// Wraps a modem's answer with a misbehaviour. `answer` answers one request (the wire bytes).
class Saboteur {
 public:
  Saboteur(ScriptedPort& port, Misbehaviour how, size_t at) : port_(port), how_(how), at_(at) {}

  std::vector<uint8_t> Reply(std::vector<uint8_t> wire) {
    ++count_;
    if (count_ < at_) return wire;
    if (count_ == at_) faultAtMs = now();
    switch (how_) {
      case Misbehaviour::Vanishes:
        port_.Unplug();
        return {};
      case Misbehaviour::FallsSilent:
        return {};
      case Misbehaviour::AlwaysLate:
        port_.QueueBytesAfter(kLateMs, wire);
        return {};
      case Misbehaviour::OnceLate:
        if (count_ != at_) return wire;
        port_.QueueBytesAfter(kLateMs, wire);
        return {};
    }
    return wire;
  }
  size_t RequestsSinceFault() const { return count_ >= at_ ? count_ - at_ : 0; }

  std::function<uint64_t()> now;
  uint64_t faultAtMs = 0;

 private:
  ScriptedPort& port_;
  Misbehaviour how_;
  size_t at_;
  size_t count_ = 0;
};

// ---- NV items ----

enum class NVStep { BaseBackup, RFBackup, Restore };

struct NVCase {
  const char* name;
  NVStep step;
  Misbehaviour how;
  bool finishes;          // the step ends with its OK line and complete data
  uint64_t withinMs;      // a failing step ends this soon after the fault (FakeClock)
};

class NVGivesUp : public NVFixture, public ::testing::WithParamInterface<NVCase> {
 protected:
  NVGivesUp() {
    core.cfg.PlatformType = 3;  // LTE: the base and LTE calibration items, and the RF items
    core.cfg.ProjectType = -1;
    core.cfg.strLTEType = "LTE";
    nv.BuildNVLists();
    Populate(nv.BaseNVList());
    for (const auto& e : nv.RFNVList()) modem.rf[static_cast<uint16_t>(e.Id)].data = {1, 2, 3, static_cast<uint8_t>(e.Id)};
  }
  void Sabotage(Misbehaviour how, size_t at) {
    saboteur = std::make_unique<Saboteur>(port(), how, at);
    saboteur->now = [this] { return clock.NowMs(); };
    port().SetResponder([this](const std::vector<uint8_t>& w) { return saboteur->Reply(modem.Handle(w)); });
  }
  NVItems nv{core, link};
  std::unique_ptr<Saboteur> saboteur;
};

TEST_P(NVGivesUp, EndsFailedSoonAfterTheModemIsLostButNotForOneLateReply) {
  const NVCase& c = GetParam();
  std::vector<uint8_t> backup;
  if (c.step == NVStep::Restore) {
    nv.BackupNV();
    ASSERT_THAT(errors, IsEmpty());
    backup = ReadFile(core.cfg.bakFile);
  }
  // The fault strikes inside the list, after some items went through.
  ASSERT_GT(nv.BaseNVList().size(), 10u);
  Sabotage(c.how, 6);
  switch (c.step) {
    case NVStep::BaseBackup: nv.BackupNV(); break;
    case NVStep::RFBackup: nv.BackupRFNV(); break;
    case NVStep::Restore: nv.RestoreNV(); break;
  }
  const char* ok = c.step == NVStep::Restore ? "Restore NV......OK" : "Backup NV......OK";
  if (c.finishes) {
    EXPECT_THAT(errors, IsEmpty());
    EXPECT_TRUE(Logged(ok));
    if (c.step == NVStep::BaseBackup) {
      EXPECT_EQ(ReadFile(core.cfg.bakFile).size(), 130u * nv.BaseNVList().size());
    } else if (c.step == NVStep::RFBackup) {
      EXPECT_EQ(ReadFile(core.run.nv1bakFile).size(), 8u * nv.RFNVList().size());
    }
    return;
  }
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_THAT(errors[0], EndsWith(c.step == NVStep::Restore ? ":Fail to restore NV, Error code: 31"
                                                            : ":Fail to backup NV, Error code: 31"));
  EXPECT_NE(core.ErrorCode.load(), 0);
  EXPECT_FALSE(Logged(ok));
  EXPECT_LE(clock.NowMs() - saboteur->faultAtMs, c.withinMs);
  // Not item by item to the end of the list: a handful of requests at most.
  EXPECT_LE(saboteur->RequestsSinceFault(), 6u);
}

// Bounds: a vanished port is noticed by the receive that waited for the lost reply (5 s); a
// silent modem after three receives of 5 s (with the 500 ms pauses between attempts); a modem
// whose every reply is 6 s late after three late exchanges of about 6.5 s each.
INSTANTIATE_TEST_SUITE_P(
    Faults, NVGivesUp,
    ::testing::Values(NVCase{"BackupPortVanishes", NVStep::BaseBackup, Misbehaviour::Vanishes, false, 5500},
                      NVCase{"BackupModemFallsSilent", NVStep::BaseBackup, Misbehaviour::FallsSilent, false, 16000},
                      NVCase{"BackupEveryReplyLate", NVStep::BaseBackup, Misbehaviour::AlwaysLate, false, 21000},
                      NVCase{"BackupOneReplyLate", NVStep::BaseBackup, Misbehaviour::OnceLate, true, 0},
                      NVCase{"RFBackupPortVanishes", NVStep::RFBackup, Misbehaviour::Vanishes, false, 5500},
                      NVCase{"RFBackupEveryReplyLate", NVStep::RFBackup, Misbehaviour::AlwaysLate, false, 21000},
                      NVCase{"RFBackupOneReplyLate", NVStep::RFBackup, Misbehaviour::OnceLate, true, 0},
                      NVCase{"RestorePortVanishes", NVStep::Restore, Misbehaviour::Vanishes, false, 5500},
                      NVCase{"RestoreEveryReplyLate", NVStep::Restore, Misbehaviour::AlwaysLate, false, 21000},
                      NVCase{"RestoreOneReplyLate", NVStep::Restore, Misbehaviour::OnceLate, true, 0}),
    [](const auto& info) { return std::string(info.param.name); });

// Late replies that alternate with timely ones are a slow modem, not a lost one.
TEST_F(NVGivesUp, LateRepliesBetweenTimelyOnesNeverAddUp) {
  size_t n = 0;
  port().SetResponder([&](const std::vector<uint8_t>& w) {
    auto wire = modem.Handle(w);
    if (++n % 2 == 0) return wire;
    port().QueueBytesAfter(kLateMs, wire);
    return std::vector<uint8_t>{};
  });
  core.cfg.PlatformType = 0;  // the 13 base items
  nv.BuildNVLists();
  nv.BackupNV();
  EXPECT_THAT(errors, IsEmpty());
  EXPECT_TRUE(Logged("Backup NV......OK"));
  EXPECT_EQ(ReadFile(core.cfg.bakFile).size(), 130u * nv.BaseNVList().size());
}

// ---- user files over EFS ----

class EfsGivesUp : public EfsFixture {
 protected:
  EfsGivesUp() {
    state.SetEfsFile("/cfg/a.ini", Pattern(3000, 1));
    state.SetEfsFile("/cfg/b.ini", Pattern(700, 2));
    core.cfg.UserDataFilesList = {"/cfg/a.ini", "/cfg/b.ini"};
  }
  void Sabotage(Misbehaviour how, size_t at) {
    saboteur = std::make_unique<Saboteur>(port(), how, at);
    saboteur->now = [this] { return clock.NowMs(); };
    port().SetResponder([this](const std::vector<uint8_t>& w) { return saboteur->Reply(Answer(w)); });
  }
  std::string Local(const std::string& name) const { return mirror + "/cfg/" + name; }

  UserDataPreservation userData{core, link};
  std::unique_ptr<Saboteur> saboteur;
};

class EfsBackupGivesUp : public EfsGivesUp, public ::testing::WithParamInterface<Misbehaviour> {};

TEST_P(EfsBackupGivesUp, InsteadOfWaitingForeverForTheLostModem) {
  userData.PrepareUserData();
  ASSERT_THAT(errors, IsEmpty());
  // Requests of the backup: stat, open, then reads of 512 bytes; the fault hits the third read.
  Sabotage(GetParam(), 5);
  userData.BackupUserData();
  EXPECT_EQ(Error(), ErrorText("*Fail to read file:/cfg/a.ini"));
  EXPECT_LE(clock.NowMs() - saboteur->faultAtMs, 16000u);
  // What was copied before the modem was lost is not left to pass for the file.
  EXPECT_FALSE(std::filesystem::exists(Local("a.ini")));
  EXPECT_FALSE(std::filesystem::exists(Local("b.ini")));
}

INSTANTIATE_TEST_SUITE_P(Faults, EfsBackupGivesUp, ::testing::Values(Misbehaviour::FallsSilent, Misbehaviour::Vanishes),
                         [](const auto& info) {
                           return std::string(info.param == Misbehaviour::Vanishes ? "PortVanishes" : "ModemFallsSilent");
                         });

TEST_F(EfsGivesUp, OneLateReplyStillCopiesEveryFile) {
  userData.PrepareUserData();
  ASSERT_THAT(errors, IsEmpty());
  Sabotage(Misbehaviour::OnceLate, 4);
  userData.BackupUserData();
  EXPECT_THAT(errors, IsEmpty());
  EXPECT_EQ(ReadFile(Local("a.ini")), Pattern(3000, 1));
  EXPECT_EQ(ReadFile(Local("b.ini")), Pattern(700, 2));
}

TEST_F(EfsGivesUp, EveryReplyLateEndsTheRestoreWithinSeconds) {
  userData.PrepareUserData();
  userData.BackupUserData();
  ASSERT_THAT(errors, IsEmpty());
  Sabotage(Misbehaviour::AlwaysLate, 1);
  const uint64_t began = clock.NowMs();
  userData.RestoreUserData();
  // The folder and the open still went through, each on a late reply; the write of the
  // first block is where the third late exchange in a row ends it.
  EXPECT_THAT(errors, ::testing::ElementsAre(ErrorText("a.ini, fail to write block 0 of 1")));
  EXPECT_LE(clock.NowMs() - began, 30000u);
}

// A preserved folder is only absent when the modem says so. One it never answered for may hold
// files the update would erase.
struct OpendirCase {
  const char* name;
  bool answered;         // the modem answers the opendir at all
  size_t opendirs;       // how often it was asked
  std::string error;     // the run's error, or empty
  std::string logged;    // a log line that must appear
};

class PreservedFolder : public EfsGivesUp, public ::testing::WithParamInterface<OpendirCase> {};

TEST_P(PreservedFolder, IsTakenForAbsentOnlyWhenTheModemSaysSo) {
  const OpendirCase& c = GetParam();
  // The diagnostic port's time-outs as the engine sets them: a read waits up to a second for
  // its first byte.
  ASSERT_TRUE(core.hDiagPort->SetTimeouts(CommTimeouts{MAXDWORD, MAXDWORD, 1000, 1, 1000}));
  core.cfg.UserDataDirList = {"/profiles"};
  if (c.answered) {
    // The folder is not there: the modem answers the opendir with no handle.
  } else {
    state.MakeEfsDir("/profiles");
    state.SetEfsFile("/profiles/p1.cfg", Pattern(100, 3));
    intercept = [](const sim::Bytes& request) -> std::optional<sim::Bytes> {
      if (CommandOf(request) == static_cast<uint16_t>(EfsCommand::Opendir)) return sim::Bytes{};
      return std::nullopt;
    };
  }
  userData.PrepareUserData();
  EXPECT_EQ(RequestsOf(EfsCommand::Opendir).size(), c.opendirs);
  EXPECT_EQ(Error(), c.error.empty() ? std::string() : ErrorText(c.error));
  EXPECT_TRUE(Logged(c.logged)) << c.logged;
}

INSTANTIATE_TEST_SUITE_P(
    Faults, PreservedFolder,
    ::testing::Values(OpendirCase{"ModemSaysAbsent", true, 1, "", "User data folder not on the modem: /profiles"},
                      OpendirCase{"ModemNeverAnswers", false, 3, "Fail to list folder:/profiles",
                                  "No answer opening the folder profiles"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace zovir::test
