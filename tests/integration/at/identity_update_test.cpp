// Whole updates of the virtual modem with backup and restore: the modem loses its identity
// when its firmware is written and holds it again afterwards, also when the restore comes from
// the folder an earlier, failed run left behind.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>

#include "platform/profile_file.h"
#include "platform/processes.h"
#include "sim/at_identity.h"
#include "sim/nv_responders.h"
#include "unit/at/drawn_identity.h"
#include "virtual_update.h"

namespace zovir::test {
namespace {

namespace fs = std::filesystem;

constexpr int kQuickProject = 15;  // no final power-off, no second reset
const char* const kXoFiles[] = {"field_cal_params", "ifc_c1_filter", "rgs_data", "xo_crystal_type",
                                "xo_factory_cal_debug"};
std::string XoPath(const char* name) { return std::string("/nv/item_files/mcs/tcxomgr/") + name; }

class IdentityUpdate : public ::testing::Test {
 protected:
  explicit IdentityUpdate(const std::string& faults = "") : update(Options(faults)) {
    names = std::make_unique<PortNamespace>((update.dir() / "ports.ini").string());
    ports = std::make_unique<LinuxSerialPortFactory>(*names);
    sim::DeviceState& state = update.modem().State();
    state.SetIdentity("SN", "QV9X06A0001234");
    state.SetIdentity("IMEI", "356938035643817");
    state.SetIdentity("TESTINF", "CAL:PASS,FT:PASS,UIT89:PASS,RF:PASS");
    for (size_t i = 0; i < std::size(kXoFiles); ++i) {
      sim::Bytes data;
      for (size_t b = 0; b < 16 + 4 * i; ++b) data.push_back(static_cast<uint8_t>(b * 53 + i));
      state.SetEfsFile(XoPath(kXoFiles[i]), data);
    }
    identityStore->LoseAllOnDownload();
    backupRoot = update.cfg().BackupFilePath;
    update.cfg().ProjectType = kQuickProject;
    update.cfg().PlatformType = 1;
    update.cfg().bBackup = 1;
    update.cfg().bRestore = 1;
    update.cfg().bFastSpeedDownload = 1;  // 100 ms / 300 ms AT polls, and the quick transfer
    update.cfg().m_nBlockSize = 4096;
  }
  ~IdentityUpdate() override {
    if (engine) {
      engine->Stop();
      engine->WaitFor(30000);
    }
  }

  sim::VirtualModemOptions Options(const std::string& faults) {
    sim::VirtualModemOptions options;
    if (!faults.empty()) {
      EXPECT_EQ(options.faults.AddSpec(faults), "");
    }
    sim::AttachNVStore(options, nvStore);
    sim::AttachAtIdentityStore(options, identityStore);
    // What the backup folder holds while the firmware is written (the plain file is gone by then).
    options.onEvent = [this, previous = options.onEvent](const std::string& event) {
      if (event.rfind("partition ", 0) == 0) {
        std::lock_guard lock(mutex);
        if (scrambledDuringDownload.empty()) {
          std::error_code ec;
          for (fs::recursive_directory_iterator it(backupRoot, ec), end; !ec && it != end; it.increment(ec)) {
            const fs::directory_entry& e = *it;
            if (e.path().filename() == "EncryptAT.bak") {
              std::ifstream in(e.path(), std::ios::binary);
              scrambledDuringDownload.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
            }
            if (e.path().filename() == "at1.bak") plainSeen = true;
          }
        }
      }
      if (previous) previous(event);
    };
    return options;
  }

  // Runs one engine to its end.
  bool Run() {
    if (engine) engine->WaitFor(30000);
    engine = std::make_shared<TCommsThread>(clock, *ports, &update.host(), ProductionPhases(environment));
    engine->cfg = update.cfg();
    statuses.clear();
    errors.clear();
    engine->OnStatusText = [this](CommStatus, const std::string& t, int, MESSAGE_TYPE) {
      std::lock_guard lock(mutex);
      statuses.push_back(t);
    };
    engine->OnError = [this](const std::string& t, int) {
      std::lock_guard lock(mutex);
      errors.push_back(t);
    };
    engine->Resume();
    return engine->WaitFor(240000);
  }

  std::map<std::string, std::string> Held() {
    std::map<std::string, std::string> held;
    sim::DeviceState& state = update.modem().State();
    for (const char* key : {"SN", "IMEI", "TESTINF"}) held[key] = state.Identity(key).value_or("");
    for (const char* f : kXoFiles) held[f] = sim::HexText(state.EfsFile(XoPath(f)).value_or(sim::Bytes{}));
    return held;
  }
  bool Saw(const std::string& text) {
    std::lock_guard lock(mutex);
    return std::find(statuses.begin(), statuses.end(), text) != statuses.end();
  }
  std::string FirstError() {
    std::lock_guard lock(mutex);
    return errors.empty() ? std::string() : errors.front();
  }
  fs::path Saved() { return fs::path(update.cfg().BackupFilePath) / "SN[QV9X06A0001234]"; }

  std::shared_ptr<sim::NVStore> nvStore = std::make_shared<sim::NVStore>();
  std::shared_ptr<sim::AtIdentityStore> identityStore = std::make_shared<sim::AtIdentityStore>();
  std::mutex mutex;
  std::string scrambledDuringDownload;
  bool plainSeen = false;
  std::string backupRoot;  // set before the modem reports its first event
  VirtualUpdate update;
  std::unique_ptr<PortNamespace> names;
  std::unique_ptr<LinuxSerialPortFactory> ports;
  SteadyClock clock;
  std::shared_ptr<TCommsThread> engine;
  EngineEnvironment environment;
  std::vector<std::string> statuses, errors;
};

TEST_F(IdentityUpdate, AnUpdateLeavesTheIdentityAsItWas) {
  std::map<std::string, std::string> before = Held();
  ASSERT_TRUE(Run());
  EXPECT_EQ(FirstError(), "");
  EXPECT_TRUE(Saw("PASS"));
  EXPECT_GE(identityStore->Losses(), 1u) << "the download never erased the identity";

  before["TESTINF"] = "CAL:PASS,FT:PASS,RF:PASS";  // the UIT results are not carried over
  EXPECT_EQ(Held(), before);
  EXPECT_EQ(update.host().resultSN, "QV9X06A0001234");
  EXPECT_FALSE(fs::exists(Saved())) << "a passed run leaves no backup behind";

  // While the firmware was written only the scrambled copy was on disk, and it decodes to the
  // values the modem held.
  std::lock_guard lock(mutex);
  EXPECT_FALSE(plainSeen);
  ASSERT_FALSE(scrambledDuringDownload.empty());
  std::string plain = scrambledDuringDownload;
  for (char& c : plain) c = static_cast<char>(static_cast<uint8_t>(c) - 1);
  const ProfileFile ini = ProfileFile::FromText(plain);
  EXPECT_EQ(ini.GetString("Data", "SN", ""), before["SN"]);
  EXPECT_EQ(ini.GetString("Data", "IMEI", ""), before["IMEI"]);
  EXPECT_EQ(ini.GetString("Data", "TESTINF", ""), before["TESTINF"]);
  for (const char* f : kXoFiles) EXPECT_EQ(ini.GetString("Data", f, ""), before[f]) << f;
}

// The modem answers one IMEI read after the read gave up on it and the next one while the test
// information is read.
class LateAnswersUpdate : public IdentityUpdate {
 protected:
  LateAnswersUpdate() : IdentityUpdate("at:+ZRVSN@2=delay:9000,at:+ZRVSN@3=delay:1500") {}
};

TEST_F(LateAnswersUpdate, NoAnswerCountsForALaterQuery) {
  const uint32_t seed = std::random_device{}();
  SCOPED_TRACE("contents drawn from seed " + std::to_string(seed));
  DrawIdentity(update.modem().State(), seed);
  const std::map<std::string, std::string> before = Held();
  ASSERT_TRUE(Run());
  EXPECT_EQ(FirstError(), "");
  EXPECT_TRUE(Saw("PASS"));
  EXPECT_GE(identityStore->Losses(), 1u) << "the download never erased the identity";
  EXPECT_EQ(Held(), before);
  EXPECT_EQ(update.modem().FiredFaults().size(), 2u);
}

// A modem whose file system holds no file for some oscillator reads answers ERROR for them:
// they are left out and the update passes, the rest carried over.
TEST_F(IdentityUpdate, OscillatorFilesTheModemLacksAreLeftOut) {
  for (const char* f : {"rgs_data", "xo_factory_cal_debug"}) ASSERT_TRUE(update.modem().State().RemoveEfs(XoPath(f)));
  const std::map<std::string, std::string> before = Held();
  ASSERT_TRUE(Run());
  EXPECT_EQ(FirstError(), "");
  EXPECT_TRUE(Saw("rgs_data ERROR"));
  std::map<std::string, std::string> expected = before;
  expected["TESTINF"] = "CAL:PASS,FT:PASS,RF:PASS";
  EXPECT_EQ(Held(), expected);
}

// Every oscillator read is refused although the files are there: the backup would leave the
// calibration out and the update wipe it. The run stops before anything is written.
class RefusedOscillatorReads : public IdentityUpdate {
 protected:
  RefusedOscillatorReads() : IdentityUpdate("at:+EFSRW@1+=nak") {}
};

TEST_F(RefusedOscillatorReads, StopTheRunBeforeAnythingIsWritten) {
  const std::map<std::string, std::string> before = Held();
  ASSERT_TRUE(Run());
  EXPECT_NE(FirstError().find("[Dload] Fail to Read field_cal_params"), std::string::npos) << FirstError();
  EXPECT_FALSE(Saw("PASS"));
  EXPECT_EQ(identityStore->Losses(), 0u) << "the modem was written";
  EXPECT_EQ(Held(), before);
}

TEST_F(IdentityUpdate, TypedSerialNumberRestoresFromTheSavedFolder) {
  std::map<std::string, std::string> before = Held();
  before["TESTINF"] = "CAL:PASS,FT:PASS,RF:PASS";
  // The first run fails once the modem was erased: the radio refuses to go off for the restore.
  identityStore->SetUnsupported({"+CFUN=5"});
  ASSERT_TRUE(Run());
  EXPECT_EQ(FirstError(), "ERROR, Fail to Send Command!, Error code: 31");
  EXPECT_FALSE(Saw("PASS"));
  EXPECT_EQ(update.modem().State().Identity("SN").value_or(""), "");
  ASSERT_TRUE(fs::exists(Saved() / "EncryptAT.bak"));
  ASSERT_TRUE(fs::exists(Saved() / "nv.bak"));

  identityStore->SetUnsupported({});
  {
    std::lock_guard lock(update.host().mutex);
    update.host().snEntry = "QV9X06A0001234";
  }
  ASSERT_TRUE(Run());
  EXPECT_EQ(FirstError(), "");
  EXPECT_TRUE(Saw("Backup succssfully"));
  EXPECT_TRUE(Saw("PASS"));
  EXPECT_EQ(Held(), before);
  EXPECT_TRUE(update.host().snFinished);
  EXPECT_FALSE(fs::exists(Saved())) << "the saved folder is deleted after the restore passed";
}

TEST_F(IdentityUpdate, TypedSerialNumberWithoutSavedFolderEndsAtOnce) {
  {
    std::lock_guard lock(update.host().mutex);
    update.host().snEntry = "NOSUCHSN";
  }
  ASSERT_TRUE(Run());
  EXPECT_EQ(FirstError(), "ERROR, Backup files not exist!, Error code: 31");
  EXPECT_FALSE(Saw("Start succssfully"));
  EXPECT_EQ(update.modem().CommandCount("at:+ZRVSN"), 0u);
  EXPECT_EQ(update.modem().State().Identity("SN").value_or(""), "QV9X06A0001234");
}

#ifdef ZOVIR_RESET_HELPER
TEST_F(IdentityUpdate, TheResetHelperResetsTheModemAfterTheRestore) {
  // The work folder with the helper program and the Config.ini it answers in; a "100" of an
  // earlier run is already there.
  const fs::path work = update.dir() / "TempFiles";
  fs::create_directories(work);
  fs::copy_file(ZOVIR_RESET_HELPER, work / "ResetHelper");
  std::ofstream(work / "Config.ini") << "[Project]\r\nExecuteResetModem=100\r\n";
  std::unique_ptr<Processes> processes = MakeLinuxProcesses(update.dir().string());
  environment = {processes.get(), work.string()};
  ASSERT_EQ(setenv("ZOVIR_DEVICE_MAP", (update.dir() / "ports.ini").c_str(), 1), 0);
  update.cfg().ExecuteResetModem = 1;
  const uint32_t normalBefore = update.modem().ModeEntries(sim::ModemMode::Normal);

  ASSERT_TRUE(Run());
  unsetenv("ZOVIR_DEVICE_MAP");
  EXPECT_EQ(FirstError(), "");
  EXPECT_TRUE(Saw("PASS"));
  EXPECT_EQ(ProfileFile((work / "Config.ini").string()).GetString("Project", "ExecuteResetModem", ""), "100");
  EXPECT_GE(update.modem().CommandCount("at:+CFUN"), 3u);  // off, on, and the helper's reset
  // Restarted after the download and once more by the helper.
  EXPECT_TRUE(update.modem().WaitForMode(sim::ModemMode::Normal, std::chrono::seconds(10)));
  EXPECT_GE(update.modem().ModeEntries(sim::ModemMode::Normal), normalBefore + 2);
}
#endif

}  // namespace
}  // namespace zovir::test
