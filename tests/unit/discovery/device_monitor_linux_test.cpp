#include "platform/linux/device_monitor_linux.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <sstream>

#include "discovery/device_flags.h"
#include "fake_sysfs.h"
#include "platform/linux/device_enumerator_linux.h"

namespace zovir {
namespace {

using test::FakeSysfs;
using namespace std::chrono_literals;

// Collects events from the monitor's thread; tests wait for them instead of sleeping.
class Events {
 public:
  void Add(const DeviceEvent& e) {
    std::lock_guard lock(m_);
    events_.push_back((e.kind == DeviceEventKind::Arrival ? "+" : "-") + e.PortName);
    cv_.notify_all();
  }
  // Waits (generously: a shared, busy machine) until `n` events arrived; returns them.
  std::vector<std::string> WaitFor(size_t n) {
    std::unique_lock lock(m_);
    cv_.wait_for(lock, 20s, [&] { return events_.size() >= n; });
    return events_;
  }
  size_t Count() {
    std::lock_guard lock(m_);
    return events_.size();
  }
  void Clear() {
    std::lock_guard lock(m_);
    events_.clear();
  }

 private:
  std::mutex m_;
  std::condition_variable cv_;
  std::vector<std::string> events_;
};

// A device map written the way the virtual modem writes it: a sibling file renamed over the
// map. Entries are "COMn=path" or "COMn=path;friendly name;hardware id" lines in this test's
// own reader.
void WriteMap(const std::filesystem::path& map, const std::vector<std::pair<std::string, std::string>>& entries) {
  const auto sibling = map.string() + ".new";
  {
    std::ofstream out(sibling);
    for (const auto& [name, value] : entries) out << name << "=" << value << "\n";
  }
  std::filesystem::rename(sibling, map);
}

std::vector<MappedPort> ReadMap(const std::filesystem::path& map) {
  std::vector<MappedPort> out;
  std::ifstream in(map);
  std::string line;
  while (std::getline(in, line)) {
    const auto eq = line.find('=');
    if (eq == std::string::npos) continue;
    MappedPort port{line.substr(0, eq), {}, {}, {}};
    std::stringstream fields(line.substr(eq + 1));
    std::getline(fields, port.Path, ';');
    std::getline(fields, port.FriendlyName, ';');
    std::getline(fields, port.HardwareId, ';');
    out.push_back(port);
  }
  return out;
}

struct MonitorFixture : ::testing::Test {
  FakeSysfs sys;
  std::filesystem::path mapDir = sys.root / "run";
  std::filesystem::path map = mapDir / "devices.ini";
  LinuxDeviceEnumerator enumerator{[this] {
    LinuxDeviceEnumeratorOptions o;
    o.sysfsRoot = sys.root.string();
    o.devRoot = (sys.root / "dev").string();
    o.mappedPorts = [this] { return ReadMap(map); };
    return o;
  }()};
  Events events;

  void SetUp() override { std::filesystem::create_directories(mapDir); }
  std::string Node(const std::string& name) {
    const auto path = sys.root / "dev" / name;
    FakeSysfs::Write(path, "");
    return path.string();
  }
};

TEST_F(MonitorFixture, DeviceMapReplacementsAreSeenAtOnce) {
  WriteMap(map, {{"COM7", Node("pts7")}});
  LinuxDeviceMonitorOptions options;
  options.deviceMapPath = map.string();
  options.pollIntervalMs = 600'000;  // only the file watch can report within the test
  options.udevSafetyIntervalMs = 600'000;
  LinuxDeviceMonitor monitor(enumerator, options);
  ASSERT_TRUE(monitor.Start([this](const DeviceEvent& e) { events.Add(e); }));
  EXPECT_TRUE(monitor.WatchesDeviceMap());

  // The modem restarts: its diagnostic port comes back under a new number with a new node,
  // and a second port arrives.
  WriteMap(map, {{"COM9", Node("pts9")}, {"COM10", Node("pts10")}});
  EXPECT_EQ(events.WaitFor(3), (std::vector<std::string>{"-COM7", "+COM10", "+COM9"}));

  // The same number on a new node is a removal and an arrival.
  events.Clear();
  WriteMap(map, {{"COM9", Node("pts11")}, {"COM10", Node("pts10")}});
  EXPECT_EQ(events.WaitFor(2), (std::vector<std::string>{"-COM9", "+COM9"}));

  // The same number and node as another device (the diagnostic port handed over to the
  // boot loader's port) is a removal and an arrival too.
  events.Clear();
  const std::string pts9 = Node("pts11");
  WriteMap(map, {{"COM9", pts9 + ";Quorvel Diagnostics (COM9);USB\\VID_05C6&PID_9025&REV_0000&MI_00"},
                 {"COM10", Node("pts10")}});
  EXPECT_EQ(events.WaitFor(2), (std::vector<std::string>{"-COM9", "+COM9"}));
  events.Clear();
  WriteMap(map, {{"COM9", pts9 + ";Qualcomm HS-USB QDLoader 9008 (COM9);USB\\VID_05C6&PID_9008&REV_0000"},
                 {"COM10", Node("pts10")}});
  EXPECT_EQ(events.WaitFor(2), (std::vector<std::string>{"-COM9", "+COM9"}));

  // Unrelated files in the folder wake nobody.
  events.Clear();
  FakeSysfs::Write(mapDir / "other.txt", "x");
  monitor.Stop();
  EXPECT_EQ(events.Count(), 0u);

  // No events after Stop.
  WriteMap(map, {});
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(events.Count(), 0u);
  monitor.Stop();
}

TEST_F(MonitorFixture, PollingFindsUsbPortsWithoutUdev) {
  const auto modem = sys.UsbDevice("1-1", "05c6", "9025", "0000", 4);
  sys.TtyUSB(0, sys.Interface(modem, 0));
  LinuxDeviceMonitorOptions options;
  options.pollIntervalMs = 20;
  options.useUdev = false;
  LinuxDeviceMonitor monitor(enumerator, options);
  ASSERT_TRUE(monitor.Start([this](const DeviceEvent& e) { events.Add(e); }));
  EXPECT_FALSE(monitor.UsesUdev());

  sys.TtyUSB(1, sys.Interface(modem, 2));
  EXPECT_EQ(events.WaitFor(1), std::vector<std::string>{"+COM101"});
  sys.Remove("ttyUSB0");
  EXPECT_EQ(events.WaitFor(2), (std::vector<std::string>{"+COM101", "-COM100"}));
  monitor.Stop();
}

TEST(DeviceFlags, AnyEventIsAChangeAndOnlyArrivalsAreArrivals) {
  std::atomic<bool> change{false}, arrival{false};
  NoteDeviceEvent({DeviceEventKind::Removal, "COM7", "/dev/pts/7"}, change, arrival);
  EXPECT_TRUE(change);
  EXPECT_FALSE(arrival);
  NoteDeviceEvent({DeviceEventKind::Arrival, "COM9", "/dev/pts/9"}, change, arrival);
  EXPECT_TRUE(arrival);
}

}  // namespace
}  // namespace zovir
