// The identity backup and restore with the real serial code on ptys against the virtual
// modem's AT responder: what the modem holds afterwards is what it held before.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <fstream>

#include "engine/engine_core.h"
#include "link/link.h"
#include "platform/clock.h"
#include "platform/linux/serial_port_linux.h"
#include "platform/port_namespace.h"
#include "platform/profile_file.h"
#include "preservation/identity_backup.h"
#include "sim/at_identity.h"
#include "sim/virtual_modem.h"
#include "unit/at/drawn_identity.h"

namespace zovir::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

const char* const kXoFiles[] = {"field_cal_params", "ifc_c1_filter", "rgs_data", "xo_crystal_type",
                                "xo_factory_cal_debug"};

std::string XoPath(const char* name) { return std::string("/nv/item_files/mcs/tcxomgr/") + name; }

class IdentityOnPty : public ::testing::Test {
 protected:
  IdentityOnPty() {
    char tmpl[] = "/tmp/zovir-at-pty-XXXXXX";
    dir = mkdtemp(tmpl);
  }
  ~IdentityOnPty() override {
    modem_.reset();
    std::error_code ec;
    fs::remove_all(dir, ec);
  }

  void StartModem(int replySplit, const std::string& faults = "") {
    sim::VirtualModemOptions options;
    options.deviceMapPath = dir + "/ports.ini";
    options.replySplit = replySplit;
    if (!faults.empty()) {
      EXPECT_EQ(options.faults.AddSpec(faults), "");
    }
    options.rebootDelayMs = 100;
    options.reenumerateDelayMs = 500;  // long enough to be seen without ports
    sim::AttachAtIdentityStore(options, store);
    modem_ = std::make_unique<sim::VirtualModem>(options);
    sim::DeviceState& state = modem_->State();
    state.SetIdentity("SN", "QV9X06A0001234");
    state.SetIdentity("IMEI", "356938035643817");
    state.SetIdentity("TESTINF", "CAL:PASS,FT:PASS,UIT87:PASS,RF:PASS");
    for (size_t i = 0; i < std::size(kXoFiles); ++i) {
      sim::Bytes data;
      for (size_t b = 0; b < 24 + 8 * i; ++b) data.push_back(static_cast<uint8_t>(b * 37 + i));
      state.SetEfsFile(XoPath(kXoFiles[i]), data);
    }
    modem_->Start();
    for (const auto& p : modem_->Ports()) {
      if (p.friendlyName.find("Diagnostics") != std::string::npos) diagCom = p.com;
      if (p.friendlyName.find("Modem AT Port") != std::string::npos) atCom = p.com;
    }
    names_ = std::make_unique<PortNamespace>(options.deviceMapPath);
    ports_ = std::make_unique<LinuxSerialPortFactory>(*names_);
    core_ = std::make_unique<EngineCore>(clock_, *ports_, nullptr);
    core_->cfg.ComPort = diagCom;
    core_->cfg.SerialComPort = atCom;
    core_->cfg.ProjectType = 3;
    core_->cfg.bFastSpeedDownload = 1;  // 100 ms / 300 ms polls keep the test short
    core_->OnStatusText = [this](CommStatus, const std::string& t, int, MESSAGE_TYPE) { log.push_back(t); };
    core_->OnError = [this](const std::string& t, int) { errors.push_back(t); };
    core_->run.at1bakFile = dir + "/at1.bak";
    core_->cfg.atbakFile = dir + "/EncryptAT.bak";
    core_->run.atRestoreFile = dir + "/at.bak";
    link_ = std::make_unique<Link>(*core_);
    identity_ = std::make_unique<IdentityBackup>(*core_, *link_);
  }

  std::map<std::string, std::string> Held() {
    std::map<std::string, std::string> held;
    sim::DeviceState& state = modem_->State();
    for (const char* key : {"SN", "IMEI", "TESTINF"}) held[key] = state.Identity(key).value_or("");
    for (const char* f : kXoFiles) held[f] = sim::HexText(state.EfsFile(XoPath(f)).value_or(sim::Bytes{}));
    return held;
  }

  // Backs the identity up, lets the download take it and restores it, as an update does.
  int RoundTrip() {
    EXPECT_EQ(identity_->ReadIdentity(), 1);
    identity_->WriteIdentityBackup();
    EXPECT_EQ(identity_->ScrambleFile(core_->run.at1bakFile, core_->cfg.atbakFile), FileCopyResult::Ok);
    store->LoseAllOnDownload();
    store->LoseNow(modem_->State());
    EXPECT_EQ(identity_->UnscrambleFile(core_->cfg.atbakFile, core_->run.atRestoreFile), FileCopyResult::Ok);
    return identity_->RestoreIdentity();
  }

  static std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }

  int diagCom = 0, atCom = 0;
  std::string dir;
  std::shared_ptr<sim::AtIdentityStore> store = std::make_shared<sim::AtIdentityStore>();
  std::vector<std::string> log, errors;

  SteadyClock clock_;
  std::unique_ptr<sim::VirtualModem> modem_;
  std::unique_ptr<PortNamespace> names_;
  std::unique_ptr<LinuxSerialPortFactory> ports_;
  std::unique_ptr<EngineCore> core_;
  std::unique_ptr<Link> link_;
  std::unique_ptr<IdentityBackup> identity_;
};

TEST_F(IdentityOnPty, LostValuesComeBackExactly) {
  StartModem(/*replySplit=*/7);  // every reply arrives in pieces of 7 bytes
  std::map<std::string, std::string> before = Held();
  ASSERT_TRUE(link_->OpenModemPort()) << (errors.empty() ? "" : errors.front());

  ASSERT_EQ(identity_->ReadIdentity(), 1);
  EXPECT_TRUE(core_->run.bSNRead && core_->run.bIMEIRead && core_->run.bTestInfoRead);
  identity_->WriteIdentityBackup();
  const std::string plain = ReadFile(core_->run.at1bakFile);
  ASSERT_EQ(identity_->ScrambleFile(core_->run.at1bakFile, core_->cfg.atbakFile), FileCopyResult::Ok);

  // The download erases them.
  store->LoseAllOnDownload();
  store->LoseNow(modem_->State());
  EXPECT_EQ(Held()["SN"], "");

  ASSERT_EQ(identity_->UnscrambleFile(core_->cfg.atbakFile, core_->run.atRestoreFile), FileCopyResult::Ok);
  EXPECT_EQ(ReadFile(core_->run.atRestoreFile), plain);
  ASSERT_EQ(identity_->RestoreIdentity(), 1) << (errors.empty() ? "" : errors.front());
  EXPECT_TRUE(errors.empty()) << errors.front();

  before["TESTINF"] = "CAL:PASS,FT:PASS,RF:PASS";  // the UIT results are not carried over
  EXPECT_EQ(Held(), before);
}

// Late answers: the modem answers one IMEI read after the read gave up on it and the next one
// while the test information is read; it answers the restore's first two port probes late, the
// second while the serial number is written. No answer may count for a later command.
const char* const kLateReads = "at:+ZRVSN@2=delay:9000,at:+ZRVSN@3=delay:1500";
const char* const kLateProbes = "at:AT@1=delay:9000,at:AT@2=delay:1500";

TEST_F(IdentityOnPty, LateAnswersCountForNoLaterCommand) {
  const uint32_t seed = std::random_device{}();
  SCOPED_TRACE("contents drawn from seed " + std::to_string(seed));
  StartModem(0, std::string(kLateReads) + "," + kLateProbes);
  DrawIdentity(modem_->State(), seed);
  const std::map<std::string, std::string> before = Held();
  ASSERT_TRUE(link_->OpenModemPort()) << (errors.empty() ? "" : errors.front());

  ASSERT_EQ(RoundTrip(), 1) << (errors.empty() ? "" : errors.front());
  EXPECT_TRUE(errors.empty()) << errors.front();
  EXPECT_EQ(Held(), before);
  EXPECT_EQ(modem_->FiredFaults().size(), 4u);
}

TEST_F(IdentityOnPty, ARefusedSerialNumberFailsTheRestoreBehindLateAnswers) {
  const uint32_t seed = std::random_device{}();
  SCOPED_TRACE("contents drawn from seed " + std::to_string(seed));
  StartModem(0, kLateProbes);
  DrawIdentity(modem_->State(), seed);
  std::map<std::string, std::string> before = Held();
  ASSERT_TRUE(link_->OpenModemPort()) << (errors.empty() ? "" : errors.front());
  store->SetUnsupported({"+ZRVSN=1,5"});

  EXPECT_EQ(RoundTrip(), 0);
  ASSERT_FALSE(errors.empty());
  EXPECT_EQ(errors.front(), "ERROR, Fail to write SN, Error code: 31");
  // Nothing was restored after the refusal; the backup still holds the values.
  std::map<std::string, std::string> held = Held();
  EXPECT_EQ(held["SN"], "");
  EXPECT_EQ(held["IMEI"], "");
  const ProfileFile backup(core_->run.atRestoreFile);
  EXPECT_EQ(backup.GetString("Data", "SN", ""), before["SN"]);
  EXPECT_EQ(backup.GetString("Data", "IMEI", ""), before["IMEI"]);
}

TEST_F(IdentityOnPty, DiagResetRestartsTheModem) {
  StartModem(0);
  link_->OpenDiagPort();
  ASSERT_TRUE(errors.empty()) << errors.front();
  ATCommands& at = identity_->at();
  EXPECT_EQ(at.DiagModeOffline(), 0);
  EXPECT_EQ(store->LastDiagMode(), 1);
  EXPECT_EQ(at.DiagModeReset(), 0);
  EXPECT_EQ(store->DiagResets(), 1u);
  EXPECT_TRUE(modem_->WaitForMode(sim::ModemMode::Rebooting, 10s));
  link_->CloseDiagPort("Warning-7");
  EXPECT_TRUE(modem_->WaitForMode(sim::ModemMode::Normal, 10s));
  EXPECT_GE(modem_->ModeEntries(sim::ModemMode::Normal), 2u);
}

TEST_F(IdentityOnPty, UnsupportedCommandsAnswerError) {
  store->SetUnsupported({"+ZRVSN=0,7", "+EFSRW=0,0,\"/nv/item_files/mcs/tcxomgr/rgs_data\""});
  StartModem(0);
  ASSERT_TRUE(link_->OpenModemPort());
  identity_->ReadIdentity();
  EXPECT_TRUE(core_->run.bSNRead);
  EXPECT_FALSE(core_->run.bIMEIRead);
  EXPECT_EQ(identity_->values().bXOCalRead, (std::array<bool, 5>{true, true, false, true, true}));
  EXPECT_EQ(modem_->CommandCount("at:+ZRVSN"), 1u + 3u);  // SN once, IMEI three times
}

}  // namespace
}  // namespace zovir::test
