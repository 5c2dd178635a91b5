#include "discovery/port_directory.h"

#include <gtest/gtest.h>

#include <atomic>
#include <deque>
#include <thread>

#include "support/scripted_port.h"

namespace zovir {
namespace {

using test::ScriptedPortFactory;

// Scans as the device installation interface would report them, one scripted answer per
// scan (the last one repeats).
class FakeEnumerator final : public DeviceEnumerator {
 public:
  std::deque<std::vector<PortDevice>> scans{{}};
  bool devicesFail = false;
  std::vector<SerialCommEntry> serial;
  bool serialFails = false;
  int deviceScans = 0;
  std::atomic<int> inFlight{0};
  std::atomic<bool> overlapped{false};
  std::thread::id lastThread;

  bool ListPortDevices(std::vector<PortDevice>& out) override {
    if (inFlight.fetch_add(1) != 0) overlapped = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    lastThread = std::this_thread::get_id();
    ++deviceScans;
    out = scans.front();
    if (scans.size() > 1) scans.pop_front();
    inFlight.fetch_sub(1);
    return !devicesFail;
  }
  bool ListSerialPorts(std::vector<SerialCommEntry>& out) override {
    out = serial;
    return !serialFails;
  }
};

// A port as the enumerator lists it; the USB fields stay unknown, as for a port of the device map.
PortDevice Port(const std::string& friendly, const std::string& desc, const std::string& hardwareId,
                const std::string& path) {
  PortDevice device;
  device.FriendlyName = friendly;
  device.DeviceDesc = desc;
  device.HardwareId = hardwareId;
  device.Path = path;
  return device;
}

PortDevice Dev(const std::string& friendly, const std::string& hardwareId) {
  return Port(friendly, friendly.substr(0, friendly.find(" (")), hardwareId, "/dev/null");
}

const PortDevice kDiag = Dev("Quorvel HS-USB Diagnostics 9025 (COM7)", "USB\\VID_05C6&PID_9025&REV_0000&MI_00");
const PortDevice kTerminal = Dev("Quorvel Application Terminal (COM8)", "USB\\VID_05C6&PID_9025&REV_0000&MI_02");
const PortDevice kModem = Dev("Quorvel Modem (COM9)", "USB\\VID_05C6&PID_9025&REV_0000&MI_03");
const PortDevice kQDLoader = Dev("Qualcomm HS-USB QDLoader 9008 (COM5)", "USB\\VID_05C6&PID_9008&REV_0000");

struct Fixture : ::testing::Test {
  FakeClock clock;
  ScriptedPortFactory ports{clock};
  FakeEnumerator devices;
  QueuedOwnerThread owner;  // this test's thread is the owner
  std::vector<std::string> log, messages;
  std::vector<PortLists> shown;
  PortDirectory directory{devices, ports, clock, owner,
                          PortDirectory::Hooks{[this](const std::string& s) { log.push_back(s); },
                                               [this](const std::string& s) { messages.push_back(s); },
                                               [this](const PortLists& l) { shown.push_back(l); }}};

  void AnswersAT(const std::string& name) {
    test::ScriptedPort& port = ports.Port(name);
    port.SetResponder([&port](const std::vector<uint8_t>& w) {
      if (std::string(w.begin(), w.end()) == "AT\r\n") port.QueueBytesAfter(50, {'O', 'K', '\r', '\n'});
      return std::vector<uint8_t>{};
    });
  }
};

struct ModemPortsCase {
  const char* what;
  std::vector<PortDevice> devices;
  bool enprg9x15;
  PortList diag, terminal;
  int result;
  uint64_t waitedMs;
};

class EnumerateModemPortsTest : public Fixture, public ::testing::WithParamInterface<ModemPortsCase> {};

TEST_P(EnumerateModemPortsTest, ClassifiesByFriendlyName) {
  const ModemPortsCase& c = GetParam();
  devices.scans = {c.devices};
  directory.SetEnprg9x15(c.enprg9x15);
  PortList diag{"COM3"}, terminal;  // appends to what the caller passes
  EXPECT_EQ(directory.EnumerateModemPorts(diag, terminal), c.result);
  PortList expectedDiag{"COM3"};
  expectedDiag.insert(expectedDiag.end(), c.diag.begin(), c.diag.end());
  EXPECT_EQ(diag, expectedDiag);
  EXPECT_EQ(terminal, c.terminal);
  EXPECT_EQ(clock.SleptMs(), c.waitedMs);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, EnumerateModemPortsTest,
    ::testing::Values(
        ModemPortsCase{"normal_mode", {kDiag, kTerminal, kModem}, false, {"COM7"}, {"COM8"}, 1, 0},
        ModemPortsCase{"qdloader_listed_twice", {kQDLoader}, false, {"COM5", "COM5"}, {}, 1, 0},
        ModemPortsCase{"qdloader_id_in_lower_case",
                       {Dev("Qualcomm HS-USB QDLoader 9008 (COM5)", "usb\\vid_05c6&pid_9008&rev_0000")}, false,
                       {"COM5", "COM5"}, {}, 1, 0},
        ModemPortsCase{"text_after_the_parentheses",
                       {Dev("Quorvel Diagnostics (COM7) #2", "USB\\VID_05C6&PID_9025&REV_0000&MI_00"),
                        Dev("Quorvel Terminal (COM8) x", "USB\\VID_05C6&PID_9025&REV_0000&MI_02")},
                       false, {}, {}, 0, 0},
        ModemPortsCase{"diag_name_is_case_sensitive",
                       {Dev("Quorvel diagnostics (COM7)", "USB\\VID_05C6&PID_9025&REV_0000&MI_00")}, false, {}, {}, 0,
                       0},
        ModemPortsCase{"upper_case_DIAG", {Dev("Quorvel DIAG (COM7)", "USB\\VID_05C6&PID_9025&REV_0000&MI_00")},
                       false, {"COM7"}, {}, 1, 0},
        ModemPortsCase{"9x15_programmer_only_counts_the_qdloader", {kDiag, kQDLoader}, true, {"COM5", "COM5"}, {},
                       1, 0},
        ModemPortsCase{"9x15_programmer_without_qdloader", {kDiag, kTerminal}, true, {}, {"COM8"}, 0, 0},
        ModemPortsCase{"settle_id_pauses",
                       {Dev("Quorvel Modem (COM9)", "USB\\Vid_1C9E&Pid_9B3C&Rev_0318&MI_02"),
                        Dev("Quorvel Modem (COM10)", "USB\\VID_2DF3&PID_6B3D&REV_0000&MI_03"), kDiag},
                       false, {"COM7"}, {}, 1, 1000},
        ModemPortsCase{"settle_id_without_port_name_does_not_pause",
                       {Dev("Quorvel Modem", "USB\\VID_10C4&PID_EA60&REV_0100")}, false, {}, {}, 0, 0},
        ModemPortsCase{"unreadable_property_skips_the_device",
                       {Port("Quorvel Diagnostics (COM7)", "", "USB\\VID_05C6&PID_9025&REV_0000&MI_00", ""),
                        Port("Quorvel Diagnostics (COM6)", "Quorvel Diagnostics", "", "")},
                       false, {}, {}, 0, 0},
        ModemPortsCase{"name_cut_at_the_port", {Dev("DIAG (port 1) (COM11)", "USB\\VID_05C6&PID_9025&REV_0000&MI_00")},
                       false, {"COM11"}, {}, 1, 0}),
    [](const auto& info) { return std::string(info.param.what); });

TEST_F(Fixture, NoDeviceSetShowsAMessage) {
  devices.devicesFail = true;
  PortList diag, terminal;
  EXPECT_EQ(directory.EnumerateModemPorts(diag, terminal), 0);
  EXPECT_EQ(messages, (std::vector<std::string>{"SetupDiGetClassDevs failed"}));
}

TEST_F(Fixture, RefreshFillsTheThreeListsAndProbesOnlyOtherPorts) {
  devices.scans = {{kDiag, kTerminal, kModem}};
  devices.serial = {{"/dev/ttyS0", "COM1", true},     {"/dev/ttyS1", "COM2", true},  {"/dev/ttyS4", "COM5", true},
                    {"/dev/pts/3", "com7", false},    {"/dev/pts/4", "COM8", false}, {"/dev/pts/5", "COM9", false},
                    {"/dev/pts/6", "COM12", false},   {"/dev/x", "TTY3", false}};
  for (const char* name : {"COM1", "COM2", "COM5", "COM7", "COM8", "COM9"}) AnswersAT(name);

  EXPECT_EQ(directory.RefreshPortLists(), 1);

  const PortLists lists = directory.Lists();
  EXPECT_EQ(lists.PortCBox.items, PortList{"COM7"});
  EXPECT_EQ(lists.AppPortCBox.items, PortList{"COM8"});
  EXPECT_EQ(lists.SerialPortCBox.items, PortList{"COM9"});  // COM12 is silent
  EXPECT_EQ(directory.SelectedDiagPortName(), "COM7");
  EXPECT_EQ(directory.SelectedAppPortName(), "COM8");
  EXPECT_EQ(directory.SelectedModemPortName(), "COM9");
  for (const char* skipped : {"COM1", "COM2", "COM5", "COM7", "COM8"}) EXPECT_EQ(ports.Opens(skipped), 0) << skipped;
  EXPECT_EQ(ports.Opens("COM9"), 1);
  EXPECT_EQ(ports.Opens("COM12"), 1);
  EXPECT_EQ(log, (std::vector<std::string>{"CheckForComPorts start", "CheckForComPorts end", "Enum AT port start",
                                           "Enum AT port end"}));
  EXPECT_EQ(devices.deviceScans, 1);
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0].SerialPortCBox.SelectedText(), "COM9");
}

TEST_F(Fixture, RefreshWithoutDiagnosticPortScansTwice) {
  devices.scans = {{kTerminal, kModem}};
  EXPECT_EQ(directory.RefreshPortLists(), 0);
  EXPECT_EQ(devices.deviceScans, 2);
  const PortLists lists = directory.Lists();
  EXPECT_TRUE(lists.PortCBox.items.empty());
  EXPECT_EQ(lists.PortCBox.selected, -1);
  EXPECT_EQ(directory.SelectedDiagPortName(), "");
  EXPECT_EQ(lists.AppPortCBox.items, (PortList{"COM8", "COM8"}));

  // The diagnostic port appearing in the second scan still counts.
  devices.scans = {{kTerminal}, {kDiag, kTerminal}};
  EXPECT_EQ(directory.RefreshPortLists(), 1);
  EXPECT_EQ(directory.Lists().PortCBox.items, PortList{"COM7"});
}

TEST_F(Fixture, MissingSerialMapLeavesNoATPorts) {
  devices.scans = {{kDiag}};
  devices.serial = {{"/dev/pts/5", "COM9", false}};
  devices.serialFails = true;
  AnswersAT("COM9");
  EXPECT_EQ(directory.RefreshPortLists(), 1);
  EXPECT_TRUE(directory.Lists().SerialPortCBox.items.empty());
  EXPECT_EQ(ports.Opens("COM9"), 0);
}

TEST_F(Fixture, ProbeFactsStayForTheDeviceCheck) {
  devices.scans = {{kDiag}};
  devices.serial = {{"/dev/pts/5", "COM9", false}};
  test::ScriptedPort& port = ports.Port("COM9");
  port.SetResponder([&port](const std::vector<uint8_t>& w) {
    const std::string cmd(w.begin(), w.end());
    if (cmd == "AT\r\n") port.QueueBytesAfter(50, {'O', 'K'});
    if (cmd == kQueryVersion) {
      const std::string reply = "+CGMR: BTM_7.1\r\n\r\nOK\r\n";
      port.QueueBytesAfter(50, {reply.begin(), reply.end()});
    }
    return std::vector<uint8_t>{};
  });
  ProbeSettings settings;
  settings.bCheckProjectCode = true;
  directory.SetProbeSettings(settings);
  directory.RefreshPortLists();
  EXPECT_EQ(directory.Facts().ModemVersion, "BTM_7.1");
  EXPECT_EQ(directory.SelectedModemPortName(), "COM9");
}

TEST_F(Fixture, HasDiagPortEmptiesTheDiagnosticAndApplicationLists) {
  devices.scans = {{kDiag, kTerminal}};
  directory.RefreshPortLists();
  ASSERT_EQ(directory.SelectedDiagPortName(), "COM7");
  EXPECT_TRUE(directory.HasDiagPort());
  EXPECT_TRUE(directory.Lists().PortCBox.items.empty());
  EXPECT_TRUE(directory.Lists().AppPortCBox.items.empty());
  ASSERT_EQ(shown.size(), 2u);
  EXPECT_TRUE(shown[1].PortCBox.items.empty());
  devices.scans = {{kTerminal}};
  EXPECT_FALSE(directory.HasDiagPort());
}

struct SameCase {
  const char* what;
  std::deque<std::vector<PortDevice>> scans;
  int number;
  bool same;
  std::string logLine;
  int deviceScans;
  uint64_t waitedMs;
};
class IsSameDiagPortTest : public Fixture, public ::testing::WithParamInterface<SameCase> {};

TEST_P(IsSameDiagPortTest, ComparesTheFirstDiagnosticPort) {
  const SameCase& c = GetParam();
  devices.scans = c.scans;
  EXPECT_EQ(directory.IsSameDiagPort(c.number), c.same);
  EXPECT_EQ(log, std::vector<std::string>{c.logLine});
  EXPECT_EQ(devices.deviceScans, c.deviceScans);
  EXPECT_EQ(clock.SleptMs(), c.waitedMs);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, IsSameDiagPortTest,
    ::testing::Values(SameCase{"same", {{kDiag}}, 7, true, "Same DiaComPort COM7", 1, 0},
                      SameCase{"different", {{kDiag}}, 12, false, "Different DiaComPort COM7", 1, 0},
                      SameCase{"qdloader_first", {{kQDLoader, kDiag}}, 5, true, "Same DiaComPort COM5", 1, 0},
                      SameCase{"no_port_after_four_scans", {{kTerminal}}, 7, false, "Port list <= 0", 4, 1500},
                      SameCase{"port_back_at_third_scan", {{}, {}, {kDiag}}, 7, true, "Same DiaComPort COM7", 3, 1000},
                      SameCase{"odd_name", {{Dev("Quorvel DIAG (PORTA)", "USB\\VID_05C6&PID_9025&REV_0000&MI_00")}}, 0,
                               false, "Different DiaComPort COMTA", 1, 0}),
    [](const auto& info) { return std::string(info.param.what); });

TEST_F(Fixture, ARememberedChoiceIsSelectedOnlyWhenListed) {
  devices.scans = {{kQDLoader, Dev("Quorvel DIAG (COM6)", "USB\\VID_05C6&PID_9025&REV_0000&MI_00")}};
  directory.RefreshPortLists();
  EXPECT_TRUE(directory.SelectDiagPort("COM6"));
  EXPECT_EQ(directory.SelectedDiagPortName(), "COM6");
  EXPECT_FALSE(directory.SelectDiagPort("COM9"));
  EXPECT_EQ(directory.SelectedDiagPortName(), "COM6");
}

// Calls from other threads run on the owner's thread, one at a time, and their callers get
// the result.
TEST(PortDirectoryThreads, RescansRunOnTheOwnersThreadOneAtATime) {
  FakeClock clock;
  ScriptedPortFactory ports(clock);
  FakeEnumerator devices;
  devices.scans = {{kDiag, kTerminal}};
  WorkerOwnerThread owner;
  PortDirectory directory(devices, ports, clock, owner);

  std::vector<std::thread> callers;
  std::atomic<int> sameCount{0}, refreshCount{0};
  for (int i = 0; i < 4; ++i) {
    callers.emplace_back([&] {
      for (int k = 0; k < 10; ++k) {
        if (directory.IsSameDiagPort(7)) ++sameCount;
        if (directory.RefreshPortLists() == 1) ++refreshCount;
      }
    });
  }
  for (auto& t : callers) t.join();
  EXPECT_EQ(sameCount.load(), 40);
  EXPECT_EQ(refreshCount.load(), 40);
  EXPECT_FALSE(devices.overlapped.load());
  std::thread::id ownerId;
  owner.Post([&] { ownerId = std::this_thread::get_id(); });
  // The last scan ran on the owner's thread.
  std::promise<void> done;
  owner.Post([&] { done.set_value(); });
  done.get_future().wait();
  EXPECT_EQ(devices.lastThread, ownerId);
  EXPECT_EQ(directory.SelectedDiagPortName(), "COM7");
}

TEST(PortDirectoryThreads, CallersGetAnEmptyResultOnceTheOwnerShutsDown) {
  FakeClock clock;
  ScriptedPortFactory ports(clock);
  FakeEnumerator devices;
  devices.scans = {{kDiag}};
  QueuedOwnerThread owner;
  PortDirectory directory(devices, ports, clock, owner);

  std::atomic<int> result{-1};
  std::thread caller([&] { result = directory.RefreshPortLists(); });
  // Served by the owner's loop.
  while (owner.RunPending(50) == 0) {
  }
  caller.join();
  EXPECT_EQ(result.load(), 1);

  owner.Shutdown();
  std::thread late([&] { result = directory.IsSameDiagPort(7) ? 1 : 0; });
  late.join();
  EXPECT_EQ(result.load(), 0);
  EXPECT_EQ(devices.deviceScans, 1);
}

}  // namespace
}  // namespace zovir
