#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "discovery/host_discovery.h"
#include "discovery/port_directory.h"
#include "engine/engine_assembly.h"
#include "link/crc16.h"
#include "platform/linux/serial_port_linux.h"
#include "platform/port_namespace.h"
#include "sim/virtual_modem.h"
#include "ui/controller.h"

namespace zovir {
namespace {

namespace fs = std::filesystem;

class ConsoleView final : public View {
 public:
  void SetStatusLabel(const std::string& text, LabelStyle) override { status = text; }
  void ShowStatusLabel(bool) override {}
  void SetJapaneseStatusLabel(const std::string&, LabelColor, bool) override {}
  void SetVersionLabel(const std::string&) override {}
  void SetStatusBar(const std::string&) override {}
  void SetResultState(int) override {}
  void SetOptionSummary(const std::string&) override {}
  void SetImageFolder(const std::string&) override {}
  void ShowPorts(const PortLists&) override {}
  void EnableStart(bool e) override { start = e; }
  void EnableStop(bool) override {}
  void EnableClose(bool) override {}
  void ShowStartArt(StartArt) override {}
  void ShowWorking(bool, bool) override {}
  void ShowReupdate(bool) override {}
  void EnablePortGroup(bool) override {}
  void StatusLine(const std::string& text, int kind) override { lines.push_back(std::to_string(kind) + " " + text); }
  void Progress(int, int position, int) override { progress = std::max(progress, position); }
  void Message(const std::string& text, const std::string& caption, MessageKind) override {
    messages.push_back(caption + ": " + text);
  }
  Answer Ask(const std::string&, const std::string&, Question) override { return Answer::No; }
  std::string ReadSNEntry() override { return ""; }
  void EnableSNEntry(bool) override {}
  void OfferSNEntry() override {}
  void FinishSNEntry() override {}
  void ShowResultSN(const std::string&) override {}
  void RunEnded(int, bool p, int code) override {
    ended = true;
    passed = p;
    errorCode = code;
  }
  void RequestEnd() override {}

  std::string status;
  bool start = false, ended = false, passed = false;
  int errorCode = -1, progress = 0;
  std::vector<std::string> lines, messages;
};

std::string Packet(const std::string& name) { return (fs::path(ZOVIR_TEST_PACKET_DIR) / name).string(); }

uint16_t FileCrc(const std::string& path, uint64_t& size) {
  std::ifstream in(path, std::ios::binary);
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  size = bytes.size();
  return Crc16X25(bytes.data(), bytes.size());
}

class ControllerUpdate : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "zovir-ctl-update-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    sim::VirtualModemOptions options;
    options.deviceMapPath = dir_ + "/ports.ini";
    options.comNumbers = {7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    options.rebootDelayMs = 200;
    modem_ = std::make_unique<sim::VirtualModem>(options);
    modem_->Start();
    names_ = std::make_unique<PortNamespace>(options.deviceMapPath);
    serial_ = std::make_unique<LinuxSerialPortFactory>(*names_);
    discovery_ = std::make_unique<HostDiscovery>(HostDiscoveryOptions{options.deviceMapPath});
    directory_ = std::make_unique<PortDirectory>(discovery_->Enumerator(), *serial_, clock_, worker_);
    ports_ = MakeDirectoryPorts(*directory_);

    ControllerOptions o;
    o.workFolder = ZOVIR_TEST_PACKET_DIR;
    o.backupFolder = dir_ + "/Backup";
    o.logFolder = dir_ + "/logs";
    o.autotestMarker = dir_ + "/autotest";
    fs::create_directories(o.backupFolder);
    o.makeEngine = [this](EngineHost& host) {
      return std::make_shared<TCommsThread>(clock_, *serial_, &host, ProductionPhases());
    };
    controller_ = std::make_unique<Controller>(view_, *ports_, clock_, o);
  }
  void TearDown() override {
    controller_.reset();  // stops engine, watcher and monitor first
    ports_.reset();
    directory_.reset();
    modem_->Stop();
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  std::string dir_;
  SteadyClock clock_;
  std::unique_ptr<sim::VirtualModem> modem_;
  std::unique_ptr<PortNamespace> names_;
  std::unique_ptr<LinuxSerialPortFactory> serial_;
  std::unique_ptr<HostDiscovery> discovery_;
  WorkerOwnerThread worker_;
  std::unique_ptr<PortDirectory> directory_;
  std::unique_ptr<ControllerPorts> ports_;
  ConsoleView view_;
  std::unique_ptr<Controller> controller_;
};

TEST_F(ControllerUpdate, WatcherFindsTheModemAndStartUpdatesIt) {
  Controller& c = *controller_;
  ASSERT_TRUE(c.ReadConfiguration(Packet("Config.ini")));
  // Images only: the preservation phases have whole-update tests of their own.
  ProjectConfiguration& cfg = c.config();
  cfg.PlatformName = 255;
  cfg.bBackup = cfg.bRestore = cfg.bBackupUserData = 0;
  cfg.StartATList.clear();
  cfg.EndATList.clear();
  ASSERT_TRUE(c.ShowOptionSummary()) << (view_.messages.empty() ? "" : view_.messages.front());
  ASSERT_TRUE(c.WatchDevices(discovery_->Monitor()));
  c.StartWatcher();
  for (int i = 0; i < 600 && !view_.start; ++i) c.Pump(100);
  ASSERT_TRUE(view_.start) << "the device check never found the modem ready";
  EXPECT_EQ(view_.status, "Ready");

  c.StartClick();
  ASSERT_TRUE(c.Running()) << (view_.messages.empty() ? "" : view_.messages.front());
  for (int i = 0; i < 1800 && !view_.ended; ++i) c.Pump(100);
  ASSERT_TRUE(view_.ended) << "the update did not end";
  EXPECT_TRUE(view_.passed) << [&] {
    std::string all;
    for (const auto& l : view_.lines) all += l + "\n";
    return all;
  }();
  EXPECT_EQ(view_.errorCode, 0);
  EXPECT_EQ(view_.status, " Complete");
  EXPECT_EQ(view_.progress, 100);
  EXPECT_TRUE(view_.messages.empty()) << view_.messages.front();
  for (const char* name : {"sbl1", "tz", "qdsp6sw", "apps", "efs"}) {
    uint64_t size = 0;
    const uint16_t crc = FileCrc(Packet(std::string(name) + ".mbn"), size);
    const auto held = modem_->Partitions();
    ASSERT_TRUE(held.count(name)) << name;
    EXPECT_EQ(held.at(name).size, size) << name;
    EXPECT_EQ(held.at(name).crc, crc) << name;
  }
}

}  // namespace
}  // namespace zovir
