#include "platform/linux/device_enumerator_linux.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <iostream>
#include <regex>

#include "discovery/port_directory.h"
#include "fake_sysfs.h"
#include "support/scripted_port.h"

namespace zovir {
namespace {

using test::FakeSysfs;

// A modem in normal mode (option driver: diagnostics, terminal, modem), the same family's
// emergency download device (qcserial, one interface), a modem whose modem port needs to
// settle, a cdc-acm device with interface strings, an unknown cdc-acm device, a port whose
// USB device cannot be read, the built-in UARTs and a few virtual terminals.
struct HostTree : ::testing::Test {
  FakeSysfs sys;
  std::vector<MappedPort> map;

  void SetUp() override {
    const auto modem = sys.UsbDevice("1-1", "05c6", "9025", "0000", 5, "Quorvel LTE");
    sys.TtyUSB(0, sys.Interface(modem, 0));
    sys.TtyUSB(1, sys.Interface(modem, 2));
    sys.TtyUSB(2, sys.Interface(modem, 3));
    sys.Interface(modem, 4, "RmNet");  // a network interface: no tty
    const auto edl = sys.UsbDevice("1-2", "05c6", "9008", "0000", 1, "QUSB__BULK");
    sys.TtyUSB(3, sys.Interface(edl, 0));
    const auto settle = sys.UsbDevice("1-3", "1c9e", "9b3c", "0318", 3);
    sys.TtyUSB(5, sys.Interface(settle, 2));
    const auto acm = sys.UsbDevice("1-4", "1234", "5678", "0100", 2, "Widget (rev B)");
    sys.TtyACM(0, sys.Interface(acm, 0, "CDC Abstract Control Model (ACM)"));
    const auto bare = sys.UsbDevice("1-5", "abcd", "0001", "0200", 2);
    sys.TtyACM(1, sys.Interface(bare, 0));
    const auto broken = sys.root / "devices" / "pci0000:00" / "usb1" / "1-6";
    sys.TtyUSB(4, sys.Interface(broken, 0));  // no idVendor: properties unreadable
    sys.TtyS(0, 4);
    sys.TtyS(1, 0);
    sys.TtyS(3, 0);
    sys.VirtualTty("tty0");
    sys.VirtualTty("console");
    sys.VirtualTty("ttyprintk");
  }

  LinuxDeviceEnumerator Enumerator() {
    LinuxDeviceEnumeratorOptions options;
    options.sysfsRoot = sys.root.string();
    options.devRoot = (sys.root / "dev").string();
    options.mappedPorts = [this] { return map; };
    return LinuxDeviceEnumerator(options);
  }
};

TEST_F(HostTree, DeviceInterfacesOfUsbSerialPorts) {
  std::vector<PortDevice> devices;
  ASSERT_TRUE(Enumerator().ListPortDevices(devices));
  struct Row {
    std::string friendly, desc, hardwareId, node;
  };
  const std::vector<Row> expected = {
      {"Diagnostics (COM100)", "Diagnostics", "USB\\VID_05C6&PID_9025&REV_0000&MI_00", "ttyUSB0"},
      {"Terminal (COM101)", "Terminal", "USB\\VID_05C6&PID_9025&REV_0000&MI_02", "ttyUSB1"},
      {"Modem (COM102)", "Modem", "USB\\VID_05C6&PID_9025&REV_0000&MI_03", "ttyUSB2"},
      {"QDLoader 9008 (COM103)", "QDLoader 9008", "USB\\VID_05C6&PID_9008&REV_0000", "ttyUSB3"},
      {"Modem (COM105)", "Modem", "USB\\VID_1C9E&PID_9B3C&REV_0318&MI_02", "ttyUSB5"},
      {"CDC Abstract Control Model [ACM] (COM200)", "CDC Abstract Control Model [ACM]",
       "USB\\VID_1234&PID_5678&REV_0100&MI_00", "ttyACM0"},
      {"USB Serial Device (COM201)", "USB Serial Device", "USB\\VID_ABCD&PID_0001&REV_0200&MI_00", "ttyACM1"},
  };
  ASSERT_EQ(devices.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    SCOPED_TRACE(expected[i].node);
    EXPECT_EQ(devices[i].FriendlyName, expected[i].friendly);
    EXPECT_EQ(devices[i].DeviceDesc, expected[i].desc);
    EXPECT_EQ(devices[i].HardwareId, expected[i].hardwareId);
    EXPECT_EQ(devices[i].Path, sys.Dev(expected[i].node));
  }
}

TEST_F(HostTree, SerialMapListsEveryRealPort) {
  std::vector<SerialCommEntry> entries;
  ASSERT_TRUE(Enumerator().ListSerialPorts(entries));
  std::vector<std::string> names;
  for (const auto& e : entries) names.push_back(e.PortName + (e.LegacyUart ? " uart " : " usb ") + e.ValueName);
  const std::vector<std::string> expected = {
      "COM1 uart " + sys.Dev("ttyS0"),     "COM100 usb " + sys.Dev("ttyUSB0"), "COM101 usb " + sys.Dev("ttyUSB1"),
      "COM102 usb " + sys.Dev("ttyUSB2"),  "COM103 usb " + sys.Dev("ttyUSB3"), "COM104 usb " + sys.Dev("ttyUSB4"),
      "COM105 usb " + sys.Dev("ttyUSB5"),  "COM200 usb " + sys.Dev("ttyACM0"), "COM201 usb " + sys.Dev("ttyACM1"),
  };
  EXPECT_EQ(names, expected);
}

TEST_F(HostTree, DeviceMapAddsPortsAndRenumbersNodes) {
  const std::string pts = (sys.root / "dev" / "pts5").string();
  FakeSysfs::Write(pts, "");
  // The map may name a node through a link to it.
  const auto by_id = sys.root / "dev" / "serial" / "by-id" / "usb-Quorvel_LTE-if03";
  std::filesystem::create_directories(by_id.parent_path());
  std::filesystem::create_symlink(sys.Dev("ttyUSB2"), by_id);
  map = {
      {"COM7", pts, "Quorvel Diagnostics (COM7)", "USB\\VID_05C6&PID_9025&REV_0000&MI_00"},
      {"COM9", (sys.root / "dev" / "gone").string(), "Quorvel Modem (COM9)", "USB\\VID_05C6&PID_9025&REV_0000&MI_03"},
      {"COM150", by_id.string(), "", ""},
      {"COM12", sys.Dev("ttyS0"), "", ""},
  };
  std::vector<PortDevice> devices;
  ASSERT_TRUE(Enumerator().ListPortDevices(devices));
  std::vector<std::string> friendly;
  for (const auto& d : devices) friendly.push_back(d.FriendlyName);
  EXPECT_EQ(friendly, (std::vector<std::string>{"Quorvel Diagnostics (COM7)", "Diagnostics (COM100)",
                                                "Terminal (COM101)", "QDLoader 9008 (COM103)", "Modem (COM105)",
                                                "Modem (COM150)", "CDC Abstract Control Model [ACM] (COM200)",
                                                "USB Serial Device (COM201)"}));
  EXPECT_EQ(devices[0].Path, pts);
  EXPECT_EQ(devices[0].DeviceDesc, "Quorvel Diagnostics");

  std::vector<SerialCommEntry> entries;
  ASSERT_TRUE(Enumerator().ListSerialPorts(entries));
  ASSERT_GE(entries.size(), 2u);
  EXPECT_EQ(entries[0].PortName, "COM7");
  EXPECT_EQ(entries[1].PortName, "COM12");
  EXPECT_TRUE(entries[1].LegacyUart);
  for (const auto& e : entries) EXPECT_NE(e.PortName, "COM9") << "stale map entry listed";
}

TEST_F(HostTree, MapOnlyHostStillEnumerates) {
  LinuxDeviceEnumeratorOptions options;
  options.sysfsRoot = (sys.root / "missing").string();
  options.mappedPorts = [] { return std::vector<MappedPort>{}; };
  std::vector<PortDevice> devices{PortDevice{}};
  EXPECT_TRUE(LinuxDeviceEnumerator(options).ListPortDevices(devices));
  EXPECT_TRUE(devices.empty());
  // Without sysfs and without a map there is nothing to enumerate from.
  options.mappedPorts = nullptr;
  EXPECT_FALSE(LinuxDeviceEnumerator(options).ListPortDevices(devices));
}

// The classification over the fake host, as the window's rescan runs it.
struct ClassifyCase {
  const char* what;
  bool enprg9x15;
  std::vector<MappedPort> map;
  PortList diag, terminal;
  uint64_t waitedMs;
};
class ClassifyHost : public HostTree, public ::testing::WithParamInterface<ClassifyCase> {};

TEST_P(ClassifyHost, FillsTheDiagnosticAndTerminalLists) {
  const ClassifyCase& c = GetParam();
  for (MappedPort m : c.map) {
    m.Path = (sys.root / "dev" / m.Path).string();
    FakeSysfs::Write(m.Path, "");
    map.push_back(m);
  }
  LinuxDeviceEnumerator devices = Enumerator();
  FakeClock clock;
  test::ScriptedPortFactory ports(clock);
  QueuedOwnerThread owner;
  PortDirectory directory(devices, ports, clock, owner);
  directory.SetEnprg9x15(c.enprg9x15);
  PortList diag, terminal;
  directory.EnumerateModemPorts(diag, terminal);
  EXPECT_EQ(diag, c.diag);
  EXPECT_EQ(terminal, c.terminal);
  EXPECT_EQ(clock.SleptMs(), c.waitedMs);  // the settle pause of the 1C9E:9B3C modem port
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ClassifyHost,
    ::testing::Values(
        ClassifyCase{"sysfs_only", false, {}, {"COM100", "COM103", "COM103"}, {"COM101"}, 500},
        ClassifyCase{"9x15_programmer", true, {}, {"COM103", "COM103"}, {"COM101"}, 500},
        ClassifyCase{"virtual_modem",
                     false,
                     {{"COM7", "pts7", "Quorvel Diagnostics Interface (COM7)", "USB\\VID_05C6&PID_9025&REV_0000&MI_00"},
                      {"COM8", "pts8", "Quorvel Application Terminal (COM8)", "USB\\VID_05C6&PID_9025&REV_0000&MI_02"},
                      {"COM9", "pts9", "Quorvel Diagnostics (COM9) spare", "USB\\VID_05C6&PID_9025&REV_0000&MI_00"}},
                     {"COM7", "COM100", "COM103", "COM103"},
                     {"COM8", "COM101"},
                     500}),
    [](const auto& info) { return std::string(info.param.what); });

// What the real enumerator finds on the machine that runs the tests. On the project's build
// machine (a container without USB) that is one built-in UART, /dev/ttyS0 as COM1, and no
// USB serial port; whatever the machine, nothing listed may be anything but a present
// character device, and the placeholders of the UART driver must not appear.
TEST(RealHost, ListsOnlyPresentSerialPorts) {
  LinuxDeviceEnumerator devices;
  std::vector<SerialCommEntry> entries;
  std::vector<PortDevice> usb;
  ASSERT_TRUE(devices.ListSerialPorts(entries));
  ASSERT_TRUE(devices.ListPortDevices(usb));
  const std::regex comName("COM[1-9][0-9]*");
  for (const SerialCommEntry& e : entries) {
    std::cout << "[ serial ] " << e.PortName << " " << e.ValueName << (e.LegacyUart ? " (built-in UART)" : "") << "\n";
    EXPECT_TRUE(std::regex_match(e.PortName, comName)) << e.PortName;
    struct stat st {};
    ASSERT_EQ(::stat(e.ValueName.c_str(), &st), 0) << e.ValueName;
    EXPECT_TRUE(S_ISCHR(st.st_mode)) << e.ValueName;
    if (e.LegacyUart) {
      const std::string node = e.ValueName.substr(e.ValueName.rfind('/') + 1);
      std::ifstream type("/sys/class/tty/" + node + "/type");
      int value = 0;
      type >> value;
      EXPECT_NE(value, 0) << node << " is a placeholder";
    }
  }
  for (const PortDevice& d : usb) {
    std::cout << "[ usb    ] " << d.FriendlyName << " " << d.HardwareId << " " << d.Path << "\n";
    EXPECT_TRUE(std::regex_match(d.HardwareId, std::regex(R"(USB\\VID_[0-9A-F]{4}&PID_[0-9A-F]{4}&REV_[0-9A-F]{4}(&MI_[0-9A-F]{2})?)")))
        << d.HardwareId;
    EXPECT_EQ(d.FriendlyName.back(), ')');
  }
  EXPECT_LE(usb.size(), entries.size());
  RecordProperty("serial_ports", static_cast<int>(entries.size()));
  RecordProperty("usb_serial_ports", static_cast<int>(usb.size()));
}

// The rules file installed for Linux hosts: every rule line is a list of key/operator/value
// triples udev accepts, the modem's ports get uaccess, and ModemManager leaves the
// emergency download device alone.
TEST(UdevRules, AreWellFormedAndCoverTheModem) {
  std::ifstream in(ZOVIR_UDEV_RULES);
  ASSERT_TRUE(in) << ZOVIR_UDEV_RULES;
  const std::regex pair(R"re(\s*([A-Z_]+(\{[A-Za-z_]+\})?)\s*(==|!=|\+=|=|:=)\s*"([^"]*)"\s*(,|$))re");
  std::string line, all;
  int rules = 0;
  bool mmIgnore9008 = false;
  while (std::getline(in, line)) {
    all += line + "\n";
    if (line.empty() || line[0] == '#') continue;
    ++rules;
    std::string rest = line;
    std::smatch m;
    int pairs = 0;
    while (!rest.empty() && std::regex_search(rest, m, pair, std::regex_constants::match_continuous)) {
      ++pairs;
      rest = m.suffix();
    }
    EXPECT_TRUE(rest.empty()) << "unparsed: " << rest << " in: " << line;
    EXPECT_GT(pairs, 0) << line;
    if (line.find("\"9008\"") != std::string::npos && line.find("ID_MM_DEVICE_IGNORE}=\"1\"") != std::string::npos)
      mmIgnore9008 = true;
  }
  EXPECT_GT(rules, 3);
  EXPECT_TRUE(mmIgnore9008);
  EXPECT_NE(all.find("SUBSYSTEM==\"tty\", ATTRS{idVendor}==\"05c6\", TAG+=\"uaccess\""), std::string::npos);
  EXPECT_NE(all.find("LABEL=\"zovir_modem_end\""), std::string::npos);
}

}  // namespace
}  // namespace zovir
