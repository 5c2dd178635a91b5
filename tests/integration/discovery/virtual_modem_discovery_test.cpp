#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <mutex>

#include "discovery/device_flags.h"
#include "discovery/host_discovery.h"
#include "discovery/port_directory.h"
#include "sim/virtual_modem.h"

namespace zovir {
namespace {

using namespace std::chrono_literals;

struct TempDir {
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "zovir-disc-XXXXXX").string();
    path = mkdtemp(pattern.data());
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
  }
  std::filesystem::path path;
};

// The arrivals and removals the monitor reported, and the engine's two flags as the window
// raises them.
struct Watcher {
  std::mutex m;
  std::condition_variable cv;
  std::vector<DeviceEvent> events;
  std::atomic<bool> DeviceChangeSeen{false}, DeviceArrivalSeen{false};

  void Note(const DeviceEvent& e) {
    std::lock_guard lock(m);
    NoteDeviceEvent(e, DeviceChangeSeen, DeviceArrivalSeen);
    events.push_back(e);
    cv.notify_all();
  }
  bool WaitForArrival(const std::string& port) {
    std::unique_lock lock(m);
    return cv.wait_for(lock, 30s, [&] {
      for (const auto& e : events)
        if (e.kind == DeviceEventKind::Arrival && e.PortName == port) return true;
      return false;
    });
  }
};

// How the modem's ports come back after the switch to download mode, and what the port
// search then sees.
struct RestartCase {
  const char* what;
  sim::RestartPorts restartPorts;
  std::string downloadPort;
  bool sameDiagPort;
  std::string logLine;
};

class VirtualModemDiscovery : public ::testing::TestWithParam<RestartCase> {};

TEST_P(VirtualModemDiscovery, FindsThePortsAndFollowsTheSwitchToDownloadMode) {
  const RestartCase& c = GetParam();
  TempDir dir;
  sim::VirtualModemOptions options;
  options.deviceMapPath = (dir.path / "ports.ini").string();
  options.comNumbers = {7, 8, 9, 10, 11, 12};
  options.terminalPort = true;
  options.restartPorts = c.restartPorts;
  options.rebootDelayMs = 50;
  options.reenumerateDelayMs = 100;
  sim::VirtualModem modem(options);
  modem.Start();

  HostDiscovery host(HostDiscoveryOptions{options.deviceMapPath});
  SteadyClock clock;
  QueuedOwnerThread owner;
  std::vector<std::string> log;
  PortDirectory::Hooks hooks;
  hooks.log = [&](const std::string& s) { log.push_back(s); };
  PortDirectory directory(host.Enumerator(), host.Ports(), clock, owner, hooks);
  ProbeSettings settings;
  settings.ProjectType = 25;  // asks the version and the flash information
  settings.ProjectFlashIdEmpty = false;
  directory.SetProbeSettings(settings);
  Watcher watcher;
  ASSERT_TRUE(host.Monitor().Start([&](const DeviceEvent& e) { watcher.Note(e); }));

  // The window's rescan: the AT port is found by its answers over the pty.
  ASSERT_EQ(directory.RefreshPortLists(), 1);
  EXPECT_EQ(directory.Lists().PortCBox.items, PortList{"COM7"});
  EXPECT_EQ(directory.Lists().AppPortCBox.items, PortList{"COM9"});
  EXPECT_EQ(directory.Lists().SerialPortCBox.items, PortList{"COM8"});
  EXPECT_EQ(directory.Facts().ModemVersion, options.firmwareVersion);
  EXPECT_EQ(directory.Facts().ModemFlashId, "2CAC901556");
  EXPECT_EQ(host.Names().Resolve("COM8").value_or(""), modem.Ports().size() > 1 ? modem.Ports()[1].path : "");

  std::vector<SerialCommEntry> serial;
  ASSERT_TRUE(host.Enumerator().ListSerialPorts(serial));
  std::string diagPath;
  for (const auto& e : serial)
    if (e.PortName == "COM7") diagPath = e.ValueName;
  ASSERT_FALSE(diagPath.empty());

  // The download-mode switch (DIAG 3A): the modem restarts into its boot loader and its
  // emergency download port appears (a new device, even under the old number).
  const int fd = ::open(diagPath.c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(fd, 0);
  const uint8_t switchToDownload[] = {0x7E, 0x3A, 0xA1, 0x6E, 0x7E};
  ASSERT_EQ(::write(fd, switchToDownload, sizeof switchToDownload), static_cast<ssize_t>(sizeof switchToDownload));
  ASSERT_TRUE(watcher.WaitForArrival(c.downloadPort));
  ::close(fd);
  EXPECT_TRUE(watcher.DeviceChangeSeen);
  EXPECT_TRUE(watcher.DeviceArrivalSeen);

  log.clear();
  EXPECT_EQ(directory.IsSameDiagPort(7), c.sameDiagPort);
  EXPECT_EQ(log, std::vector<std::string>{c.logLine});
  // The engine's port search: the boot loader's port is the diagnostic port now, and it is
  // not probed (an AT command would disturb the boot protocol).
  EXPECT_EQ(directory.RefreshPortLists(), 1);
  EXPECT_EQ(directory.Lists().PortCBox.items, (PortList{c.downloadPort, c.downloadPort}));
  EXPECT_EQ(directory.SelectedDiagPortName(), c.downloadPort);
  EXPECT_EQ(directory.SelectedModemPortName(), "");
  EXPECT_EQ(modem.CommandCount("at:AT"), 1u);
  {
    std::lock_guard lock(watcher.m);
    bool diagRemoved = false;
    for (const auto& e : watcher.events) diagRemoved |= e.kind == DeviceEventKind::Removal && e.PortName == "COM7";
    EXPECT_TRUE(diagRemoved);
  }
  host.Monitor().Stop();
  modem.Stop();
}

INSTANTIATE_TEST_SUITE_P(
    Restarts, VirtualModemDiscovery,
    ::testing::Values(RestartCase{"new_numbers", sim::RestartPorts::NewNumbers, "COM10", false,
                                  "Different DiaComPort COM10"},
                      RestartCase{"diagnostic_port_kept", sim::RestartPorts::KeepDiagPort, "COM7", true,
                                  "Same DiaComPort COM7"}),
    [](const auto& info) { return std::string(info.param.what); });

}  // namespace
}  // namespace zovir

namespace zovir {
namespace {

// After the last image the streaming reset brings the modem back in normal mode, here under
// new numbers for both ports: the search finds the diagnostic port and, by its answers, the
// AT port.
TEST(VirtualModemDiscoveryAfterReset, FindsBothPortsUnderNewNumbers) {
  TempDir dir;
  sim::VirtualModemOptions options;
  options.deviceMapPath = (dir.path / "ports.ini").string();
  options.comNumbers = {9, 10, 11, 12};
  options.restartPorts = sim::RestartPorts::NewNumbers;
  options.startMode = sim::ModemMode::Programmer;
  options.resetDelayMs = 50;
  options.reenumerateDelayMs = 100;
  sim::VirtualModem modem(options);
  modem.Start();

  HostDiscovery host(HostDiscoveryOptions{options.deviceMapPath});
  SteadyClock clock;
  QueuedOwnerThread owner;
  std::vector<std::string> log;
  PortDirectory::Hooks hooks;
  hooks.log = [&](const std::string& s) { log.push_back(s); };
  PortDirectory directory(host.Enumerator(), host.Ports(), clock, owner, hooks);
  ProbeSettings settings;
  settings.bCheckProjectCode = true;
  directory.SetProbeSettings(settings);
  Watcher watcher;
  ASSERT_TRUE(host.Monitor().Start([&](const DeviceEvent& e) { watcher.Note(e); }));

  ASSERT_EQ(directory.RefreshPortLists(), 1);
  ASSERT_EQ(directory.SelectedDiagPortName(), "COM9");
  const std::string programmerPath = host.Names().Resolve("COM9").value_or("");
  ASSERT_FALSE(programmerPath.empty());
  const int fd = ::open(programmerPath.c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(fd, 0);
  const uint8_t reset[] = {0x7E, 0x0B, 0xAB, 0x4E, 0x7E};
  ASSERT_EQ(::write(fd, reset, sizeof reset), static_cast<ssize_t>(sizeof reset));
  ASSERT_TRUE(watcher.WaitForArrival("COM10"));
  ASSERT_TRUE(watcher.WaitForArrival("COM11"));
  ::close(fd);

  log.clear();
  EXPECT_FALSE(directory.IsSameDiagPort(9));
  EXPECT_EQ(log, std::vector<std::string>{"Different DiaComPort COM10"});
  EXPECT_EQ(directory.RefreshPortLists(), 1);
  EXPECT_EQ(directory.SelectedDiagPortName(), "COM10");
  EXPECT_EQ(directory.SelectedModemPortName(), "COM11");
  EXPECT_EQ(directory.Facts().ModemVersion, options.firmwareVersion);
  host.Monitor().Stop();
  modem.Stop();
}

}  // namespace
}  // namespace zovir
