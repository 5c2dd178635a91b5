// The programmer upload and the image plan on pseudo-terminals against the virtual modem,
// in the situations the whole-update tests leave out: ports that come back under new
// numbers, replies that arrive in pieces, the long port time-outs of some project types and
// read-data requests larger than any fixed buffer.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <thread>

#include "common/text.h"
#include "discovery/host_discovery.h"
#include "discovery/owner_thread.h"
#include "discovery/port_directory.h"
#include "engine/engine_core.h"
#include "link/crc16.h"
#include "link/link.h"
#include "protocols/image_plan.h"
#include "protocols/programmer_upload.h"
#include "sim/virtual_modem.h"

namespace zovir::test {
namespace {

using namespace std::chrono_literals;

std::string Packet(const std::string& name) { return (std::filesystem::path(ZOVIR_TEST_PACKET_DIR) / name).string(); }

// The window's side as far as the protocols use it: the real port lists of this host.
class DirectoryHost final : public EngineHost {
 public:
  explicit DirectoryHost(PortDirectory& ports) : ports_(ports) {}
  std::string ReadSNEntry() override { return {}; }
  void EnableSNEntry(bool) override {}
  void OfferSNEntry() override {}
  void FinishSNEntry() override {}
  void ShowResultSN(const std::string&) override {}
  std::string SelectedDiagPortName() override { return ports_.SelectedDiagPortName(); }
  std::string SelectedModemPortName() override { return ports_.SelectedModemPortName(); }
  std::atomic<bool>& DeviceChangeSeen() override { return change_; }
  std::atomic<bool>& DeviceArrivalSeen() override { return arrival_; }
  void MessageBox(const std::string&, const std::string&) override {}
  bool IsSameDiagPort(int n) override { return ports_.IsSameDiagPort(n); }
  void RefreshPortLists() override { ports_.RefreshPortLists(); }

 private:
  PortDirectory& ports_;
  std::atomic<bool> change_{false}, arrival_{false};
};

struct PtyCase {
  const char* name;
  sim::RestartPorts restart;
  sim::BootProtocol boot;
  int projectType;
  bool fast;
  int replySplit;
  uint32_t saharaChunk;
  bool bigProgrammer;  // the demo packet's programmer, whose segments exceed 90 KiB
};

class DownloadOverPtys : public ::testing::TestWithParam<PtyCase> {
 protected:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "zovir-protocols-pty-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  std::filesystem::path dir_;
};

TEST_P(DownloadOverPtys, EveryPartitionHoldsItsImage) {
  const PtyCase& c = GetParam();
  sim::VirtualModemOptions options;
  options.deviceMapPath = (dir_ / "ports.ini").string();
  options.comNumbers = {7, 8, 9, 10, 11, 12, 13, 14};
  options.restartPorts = c.restart;
  options.bootProtocol = c.boot;
  options.replySplit = c.replySplit;
  options.saharaMaxChunk = c.saharaChunk;
  options.fastBlockSize = 4096;
  options.rebootDelayMs = 200;
  sim::VirtualModem modem(options);
  modem.Start();

  SteadyClock clock;
  HostDiscovery discovery(HostDiscoveryOptions{options.deviceMapPath});
  WorkerOwnerThread owner;
  PortDirectory directory(discovery.Enumerator(), discovery.Ports(), clock, owner);
  DirectoryHost host(directory);
  directory.RefreshPortLists();

  EngineCore core(clock, discovery.Ports(), &host);
  EngineConfig& cfg = core.cfg;
  cfg.ComPort = ComPortNumber(directory.SelectedDiagPortName()).value_or(0);
  cfg.SerialComPort = ComPortNumber(directory.SelectedModemPortName()).value_or(0);
  ASSERT_GT(cfg.ComPort, 0);
  cfg.ProjectType = c.projectType;
  cfg.bFastSpeedDownload = c.fast ? 1 : 0;
  cfg.m_nBlockSize = c.fast ? 4096 : 1024;
  cfg.ramFile = c.bigProgrammer ? (std::filesystem::path(ZOVIR_DEMO_PACKET_DIR) / "NPRG9x06.mbn").string()
                                : Packet("NPRG9x06.mbn");
  cfg.partitionFile = Packet("partition.mbn");
  cfg.sbl1File = Packet("sbl1.mbn");
  cfg.tzFile = Packet("tz.mbn");
  cfg.qdsp6swFile = Packet("qdsp6sw.mbn");
  cfg.mbaFile = Packet("mba.mbn");
  cfg.rpmmbnFile = Packet("rpm.mbn");
  cfg.acdbmbnFile = Packet("acdb.mbn");
  cfg.AppsImageFile = Packet("apps.mbn");
  cfg.EFSFile = Packet("efs.mbn");
  cfg.AppEfsFile = Packet("efs2apps.mbn");
  const int startPort = cfg.ComPort;

  std::vector<std::string> statuses;
  core.OnStatusText = [&](CommStatus, const std::string& text, int, MESSAGE_TYPE) { statuses.push_back(text); };
  std::string error;
  core.OnError = [&](const std::string& text, int) { error = text; };

  Link link(core);
  link.OpenDiagPort();
  ProgrammerUploader programmer(core, link);
  ImagePlan plan(core, link);
  ASSERT_EQ(programmer.ProgrammerPhase(), 0) << error;
  plan.DownloadImages();
  ASSERT_EQ(core.ErrorCode.load(), 0) << error;
  EXPECT_EQ(statuses.back(), "Reset Comm succssfully");
  if (c.restart == sim::RestartPorts::NewNumbers) {
    EXPECT_NE(cfg.ComPort, startPort);
  }
  link.CloseDiagPort("Warning-1");

  EXPECT_EQ(modem.ReceivedProgrammer().size(), std::filesystem::file_size(cfg.ramFile));
  const std::pair<const char*, std::string> expected[] = {
      {"partition", cfg.partitionFile}, {"sbl1", cfg.sbl1File},         {"tz", cfg.tzFile},
      {"qdsp6sw", cfg.qdsp6swFile},     {"mba", cfg.mbaFile},           {"rpm", cfg.rpmmbnFile},
      {"acdb", cfg.acdbmbnFile},        {"apps", cfg.AppsImageFile},    {"efs", cfg.EFSFile},
      {"efs2apps", cfg.AppEfsFile},
  };
  const auto held = modem.Partitions();
  for (const auto& [name, image] : expected) {
    std::ifstream in(image, std::ios::binary);
    const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const auto it = held.find(name);
    ASSERT_NE(it, held.end()) << name;
    EXPECT_EQ(it->second.size, bytes.size()) << name;
    EXPECT_EQ(it->second.crc, Crc16X25(bytes.data(), bytes.size())) << name;
  }
  EXPECT_TRUE(modem.WaitForMode(sim::ModemMode::Normal, 10s));
}

TEST_F(DownloadOverPtys, ProgrammerThatIsNotAnElfImageFailsTheUpload) {
  sim::VirtualModemOptions options;
  options.deviceMapPath = (dir_ / "ports.ini").string();
  options.startMode = sim::ModemMode::BootSahara;
  sim::VirtualModem modem(options);
  modem.Start();
  SteadyClock clock;
  HostDiscovery discovery(HostDiscoveryOptions{options.deviceMapPath});
  EngineCore core(clock, discovery.Ports(), nullptr);
  core.cfg.ComPort = options.comNumbers.front();
  core.cfg.bEnprg9x15 = 1;  // already in the boot loader
  core.cfg.ramFile = Packet("sbl1.mbn");
  std::string error;
  core.OnError = [&](const std::string& text, int) { error = text; };
  Link link(core);
  link.OpenDiagPort();
  ProgrammerUploader programmer(core, link);
  EXPECT_GT(programmer.ProgrammerPhase(), 0);
  EXPECT_EQ(error, "ERROR, sbl1.mbn, fail to write block 1 of 1, Error code: 31");
  EXPECT_NE(modem.Mode(), sim::ModemMode::Programmer);
  link.CloseDiagPort("Warning-1");
}

// A boot loader that asks again for the piece it was just sent: twice is served again, for
// ever ends the upload after the block's attempts, with the modem left in its boot loader.
TEST_F(DownloadOverPtys, BootLoaderAskingAgainIsServedOnlyWhileTheBlockHasAttempts) {
  struct Case {
    const char* fault;
    bool uploads;
    uint32_t requests;  // read-data requests the boot loader sent
  };
  for (const Case& c : {Case{"sahara:read@3x2=repeat", true, 0}, Case{"sahara:read@3+=repeat", false, 2 + 3}}) {
    SCOPED_TRACE(c.fault);
    sim::VirtualModemOptions options;
    options.deviceMapPath = (dir_ / "ports.ini").string();
    options.startMode = sim::ModemMode::BootSahara;
    ASSERT_EQ(options.faults.AddSpec(c.fault), "");
    sim::VirtualModem modem(options);
    modem.Start();
    SteadyClock clock;
    HostDiscovery discovery(HostDiscoveryOptions{options.deviceMapPath});
    EngineCore core(clock, discovery.Ports(), nullptr);
    core.cfg.ComPort = options.comNumbers.front();
    core.cfg.bEnprg9x15 = 1;  // already in the boot loader
    core.cfg.ramFile = Packet("NPRG9x06.mbn");
    std::string error;
    core.OnError = [&](const std::string& text, int) { error = text; };
    Link link(core);
    link.OpenDiagPort();
    ProgrammerUploader programmer(core, link);
    // An upload without a bound of its own would go on until Stop: the watchdog's Stop makes
    // that a failure of this test instead of a hang.
    std::mutex mutex;
    std::condition_variable ended;
    bool done = false;
    std::thread watchdog([&] {
      std::unique_lock lock(mutex);
      if (!ended.wait_for(lock, 60s, [&] { return done; })) core.RequestStop();
    });
    const int result = programmer.ProgrammerPhase();
    {
      std::lock_guard lock(mutex);
      done = true;
    }
    ended.notify_all();
    watchdog.join();
    link.CloseDiagPort("Warning-1");
    ASSERT_FALSE(core.StopRequested()) << "the upload was still going after a minute";
    EXPECT_FALSE(modem.FiredFaults().empty()) << "the boot loader never asked again";
    if (c.uploads) {
      EXPECT_EQ(result, 0) << error;
      EXPECT_TRUE(modem.WaitForMode(sim::ModemMode::Programmer, 10s));
      EXPECT_EQ(modem.ReceivedProgrammer().size(), std::filesystem::file_size(core.cfg.ramFile));
    } else {
      EXPECT_GT(result, 0);
      // The program headers follow the 52-byte ELF header: block 1.
      const uint64_t blocks = (std::filesystem::file_size(core.cfg.ramFile) + 4095) / 4096;
      EXPECT_EQ(error, "ERROR, NPRG9x06.mbn, fail to write block 1 of " + std::to_string(blocks) + ", Error code: 31");
      EXPECT_EQ(modem.CommandCount("sahara:read"), c.requests);
      EXPECT_EQ(modem.Mode(), sim::ModemMode::BootSahara);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Situations, DownloadOverPtys,
    ::testing::Values(
        PtyCase{"RenumberedPorts", sim::RestartPorts::NewNumbers, sim::BootProtocol::Sahara, 0, false, 0, 0x1000, false},
        PtyCase{"RenumberedPortsDmss", sim::RestartPorts::NewNumbers, sim::BootProtocol::Dmss, 44, false, 0, 0x1000, false},
        PtyCase{"RepliesInPieces", sim::RestartPorts::SameNumbers, sim::BootProtocol::Sahara, 0, true, 3, 0x1000, false},
        PtyCase{"LongPortTimeouts", sim::RestartPorts::KeepDiagPort, sim::BootProtocol::Sahara, 20, true, 0, 0x1000, false},
        PtyCase{"LargeReadDataRequests", sim::RestartPorts::KeepDiagPort, sim::BootProtocol::Sahara, 0, false, 0,
                0x20000, true}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace zovir::test
