#include <gtest/gtest.h>

#include <sys/ioctl.h>

#include <algorithm>

#include "pty_client.h"
#include "sim/virtual_modem.h"

namespace zovir::sim::test {
namespace {

using namespace std::chrono_literals;

std::string PortPath(const VirtualModem& m, int com) {
  for (const auto& p : m.Ports()) {
    if (p.com == com) return p.path;
  }
  return {};
}

TEST(VirtualModemNormal, PublishesDiagAndAtPortsAsAWindowsHostWouldListThem) {
  TempDir dir;
  auto opt = BaseOptions(dir);
  opt.comNumbers = {12, 13, 14};
  opt.terminalPort = true;
  VirtualModem modem(opt);
  modem.Start();
  auto map = ReadMap(opt.deviceMapPath);
  ASSERT_EQ(map.size(), 3u);
  EXPECT_EQ(map["COM12"]["FriendlyName"], "Quorvel HS-USB Diagnostics 9025 (COM12)");
  EXPECT_EQ(map["COM12"]["HardwareId"], "USB\\VID_05C6&PID_9025&REV_0000&MI_00");
  EXPECT_NE(map["COM13"]["FriendlyName"].find("AT Port"), std::string::npos);
  EXPECT_EQ(map["COM13"]["HardwareId"], "USB\\VID_05C6&PID_9025&REV_0000&MI_02");
  EXPECT_NE(map["COM14"]["FriendlyName"].find("Terminal"), std::string::npos);
  for (auto& [com, keys] : map) EXPECT_TRUE(std::filesystem::exists(keys["Path"])) << com;
  modem.Stop();
  EXPECT_TRUE(ReadMap(opt.deviceMapPath).empty());
}

TEST(VirtualModemLifecycle, RefusesToStartWhenTheDeviceMapCannotBeWritten) {
  TempDir dir;
  auto opt = BaseOptions(dir);
  opt.deviceMapPath = dir / "missing-folder/ports.ini";
  VirtualModem modem(opt);
  EXPECT_THROW(modem.Start(), std::runtime_error);
  EXPECT_EQ(modem.Mode(), ModemMode::Stopped);
}

TEST(VirtualModemNormal, DiagRepliesCarryNoOpeningFlagAndUnknownCommandsGetTheErrorReply) {
  TempDir dir;
  VirtualModem modem(BaseOptions(dir));
  modem.Start();
  PtyClient diag(PortPath(modem, 7));
  ASSERT_TRUE(diag.ok());
  // Unknown command 0x55 with one argument byte: 13 55 01 + check, no opening flag.
  ASSERT_TRUE(diag.Write(EncodeFrame(Bytes{0x55, 0x01}, false)));
  EXPECT_EQ(diag.ReadFrame(), EncodeFrame(Bytes{0x13, 0x55, 0x01}, false));
  // A frame with a broken check is dropped: the next good one is answered normally.
  Bytes bad = EncodeFrame(Bytes{0x55, 0x02}, true);
  bad[2] ^= 0x01;
  ASSERT_TRUE(diag.Write(bad));
  ASSERT_TRUE(diag.Write(EncodeFrame(Bytes{0x00}, true)));
  Bytes version = diag.ReadFrame();
  ASSERT_FALSE(version.empty());
  EXPECT_EQ(version[0], 0x00);
}

TEST(VirtualModemNormal, AddedRespondersAnswerByCommandAndSubsystemAndPassTheFaultPlan) {
  TempDir dir;
  auto opt = BaseOptions(dir);
  opt.extraResponders.push_back([](DiagDispatcher& diag, AtDispatcher& at) {
    diag.Register(0x26, [](std::span<const uint8_t> req, DiagContext& ctx) -> std::optional<Bytes> {
      ctx.state.SetNv(req[1], Bytes{0x42});
      return Bytes(req.begin(), req.end());
    });
    diag.RegisterSubsystem(0x13, [](std::span<const uint8_t>, DiagContext&) -> std::optional<Bytes> {
      return Bytes{0x4B, 0x13, 0x00, 0x00};
    });
    at.Register("+ZTEST", [](const AtCommand& cmd, AtContext&) { return "\r\n+ZTEST: " + cmd.args + "\r\n\r\nOK\r\n"; });
  });
  ASSERT_EQ(opt.faults.AddSpec("diag:4b:13@2=nak"), "");
  VirtualModem modem(opt);
  modem.Start();
  PtyClient diag(PortPath(modem, 7));
  diag.Write(EncodeFrame(Bytes{0x26, 0x05}, true));
  EXPECT_EQ(diag.ReadFrame(), EncodeFrame(Bytes{0x26, 0x05}, false));
  EXPECT_EQ(modem.State().Nv(5), Bytes{0x42});
  const Bytes efs{0x4B, 0x13, 0x01, 0x00};
  diag.Write(EncodeFrame(efs, true));
  EXPECT_EQ(diag.ReadFrame(), EncodeFrame(Bytes{0x4B, 0x13, 0x00, 0x00}, false));
  diag.Write(EncodeFrame(efs, true));
  EXPECT_EQ(diag.ReadFrame(), EncodeFrame(Bytes{0x13, 0x4B, 0x13, 0x01, 0x00}, false));
  // Another subsystem nobody registered gets the error reply.
  diag.Write(EncodeFrame(Bytes{0x4B, 0x0B, 0x00, 0x00}, true));
  EXPECT_EQ(diag.ReadFrame(), EncodeFrame(Bytes{0x13, 0x4B, 0x0B, 0x00, 0x00}, false));
  EXPECT_EQ(modem.CommandCount("diag:4b:13"), 2u);

  PtyClient at(PortPath(modem, 8));
  at.Write(std::string("AT+ZTEST=1,2\r"));
  const std::string reply = at.ReadUntil("OK");
  EXPECT_NE(reply.find("+ZTEST: =1,2"), std::string::npos) << reply;
}

TEST(VirtualModemNormal, AtPortAnswersTheProbeQueries) {
  TempDir dir;
  VirtualModem modem(BaseOptions(dir));
  modem.Start();
  PtyClient at(PortPath(modem, 8));
  ASSERT_TRUE(at.ok());
  struct Case {
    std::string command;
    std::string expect;
  } cases[] = {
      {"AT\r\n", "OK"},
      {"AT+CGMR\r\n\r\n", "BTM9X06_V1.0.0_R01"},
      {"ATI\r\n\r\n", "Ver.BTM9X06_V1.0.0_R01\r\nIMEI"},
      {"AT+FLASHINFO\r\n\r\n", "ID : 2C AC 90 15 56 PageSize"},
      {"AT+PMU\r\n\r\n", "PMU: PM9X06"},
      {"AT+NOSUCH\r\n", "ERROR"},
  };
  for (const auto& c : cases) {
    at.Discard();
    ASSERT_TRUE(at.Write(c.command));
    const std::string reply = at.ReadUntil(c.expect);
    EXPECT_NE(reply.find(c.expect), std::string::npos) << c.command << " -> " << reply;
  }
}

// The switch to download mode under each way of coming back.
struct RestartCase {
  RestartPorts restart;
  int expectedCom;
  bool oldHandleWorks;
};

class VirtualModemSwitch : public ::testing::TestWithParam<RestartCase> {};

TEST_P(VirtualModemSwitch, EchoesThenReappearsAsQdloaderAndGreetsWithSaharaHello) {
  TempDir dir;
  auto opt = BaseOptions(dir);
  opt.comNumbers = {7, 8, 9};
  opt.restartPorts = GetParam().restart;
  opt.saharaMaxCommand = 0x1000;
  VirtualModem modem(opt);
  modem.Start();
  PtyClient diag(PortPath(modem, 7));
  ASSERT_TRUE(diag.Write(Bytes{0x3A, 0xA1, 0x6E, 0x7E}));
  EXPECT_EQ(diag.ReadExactly(4), (Bytes{0x3A, 0xA1, 0x6E, 0x7E}));
  ASSERT_TRUE(modem.WaitForMode(ModemMode::BootSahara, 5s));

  auto map = ReadMap(opt.deviceMapPath);
  ASSERT_EQ(map.size(), 1u);
  const std::string section = "COM" + std::to_string(GetParam().expectedCom);
  ASSERT_TRUE(map.count(section)) << map.begin()->first;
  EXPECT_EQ(map[section]["FriendlyName"], "Qualcomm HS-USB QDLoader 9008 " + std::string("(") + section + ")");
  EXPECT_EQ(map[section]["HardwareId"], "USB\\VID_05C6&PID_9008&REV_0000");

  // The hello was sent on entry, before anyone read: it waits in the port.
  PtyClient dload(map[section]["Path"]);
  Bytes hello = (GetParam().oldHandleWorks ? diag : dload).ReadExactly(48);
  ASSERT_EQ(hello.size(), 48u);
  EXPECT_EQ(Le32(hello, 0), 1u);
  EXPECT_EQ(Le32(hello, 4), 48u);
  EXPECT_EQ(Le32(hello, 8), 2u);
  EXPECT_EQ(Le32(hello, 12), 1u);
  EXPECT_EQ(Le32(hello, 16), 0x1000u);
  EXPECT_EQ(Le32(hello, 20), 0u);
  if (!GetParam().oldHandleWorks) {
    uint8_t b;
    EXPECT_LE(::read(diag.fd(), &b, 1), 0);  // the old port is gone
  }
}

INSTANTIATE_TEST_SUITE_P(Restart, VirtualModemSwitch,
                         ::testing::Values(RestartCase{RestartPorts::KeepDiagPort, 7, true},
                                           RestartCase{RestartPorts::SameNumbers, 7, false},
                                           RestartCase{RestartPorts::NewNumbers, 9, false}));

// Serves the boot loader's requests from `file` the way a host does; returns the requests.
std::vector<std::pair<uint32_t, uint32_t>> ServeProgrammer(PtyClient& port, const Bytes& file, Bytes& last) {
  std::vector<std::pair<uint32_t, uint32_t>> requests;
  for (int guard = 0; guard < 10000; ++guard) {
    Bytes head = port.ReadExactly(8);
    if (head.size() < 8) break;
    Bytes rest = port.ReadExactly(Le32(head, 4) - 8);
    head.insert(head.end(), rest.begin(), rest.end());
    last = head;
    if (Le32(head, 0) != 3) break;
    const uint32_t off = Le32(head, 12), len = Le32(head, 16);
    requests.push_back({off, len});
    if (off + len > file.size()) break;
    port.Write(Bytes(file.begin() + off, file.begin() + off + len));
  }
  return requests;
}

TEST(VirtualModemSahara, PullsHeaderThenProgramHeadersThenSegmentsInFileOrderAndRunsTheProgrammer) {
  TempDir dir;
  auto opt = BaseOptions(dir);
  opt.startMode = ModemMode::BootSahara;
  opt.saharaMaxChunk = 1000;
  VirtualModem modem(opt);
  modem.Start();
  const Bytes file = ReadFile(std::string(ZOVIR_TEST_PACKET_DIR) + "/NPRG9x06.mbn");
  ASSERT_GT(file.size(), 4000u);
  PtyClient port(PortPath(modem, 7));
  ASSERT_EQ(port.ReadExactly(48).size(), 48u);
  port.Write(Le32Words({2, 48, 2, 1, 0, 0, 0, 0, 0, 0, 0, 0}));
  Bytes last;
  auto req = ServeProgrammer(port, file, last);

  ASSERT_GE(req.size(), 3u);
  EXPECT_EQ(req[0], (std::pair<uint32_t, uint32_t>{0, 52}));
  EXPECT_EQ(req[1], (std::pair<uint32_t, uint32_t>{52, 5 * 32}));
  for (size_t i = 2; i < req.size(); ++i) {
    EXPECT_LE(req[i].second, 1000u);
    if (i > 2) {
      EXPECT_GT(req[i].first, req[i - 1].first);
    }
  }
  EXPECT_EQ(req.back().first + req.back().second, file.size());  // the last piece ends the file
  ASSERT_EQ(last.size(), 16u);
  EXPECT_EQ(Le32(last, 0), 4u);   // end of image transfer
  EXPECT_EQ(Le32(last, 12), 0u);  // success

  port.Write(Le32Words({5, 8}));
  Bytes done = port.ReadExactly(12);
  ASSERT_EQ(done.size(), 12u);
  EXPECT_EQ(Le32(done, 0), 6u);
  ASSERT_TRUE(modem.WaitForMode(ModemMode::Programmer, 3s));
  // What the loader holds of the programmer equals the file wherever it was requested.
  Bytes got = modem.ReceivedProgrammer();
  for (auto [off, len] : req) {
    ASSERT_LE(off + len, got.size());
    EXPECT_TRUE(std::equal(file.begin() + off, file.begin() + off + len, got.begin() + off)) << off;
  }
  // The programmer speaks on the same port.
  port.Write(EncodeFrame(Bytes{0x17, 0x01}, true));
  Bytes reply = port.ReadFrame();
  ASSERT_GE(reply.size(), 2u);
  EXPECT_EQ(reply[0], 0x7E);
  EXPECT_EQ(reply[1], 0x0D);  // out of order: security mode before hello
}

TEST(VirtualModemSahara, AProgrammerThatIsNotElfGetsEndOfImageWithAnErrorStatus) {
  TempDir dir;
  auto opt = BaseOptions(dir);
  opt.startMode = ModemMode::BootSahara;
  VirtualModem modem(opt);
  modem.Start();
  PtyClient port(PortPath(modem, 7));
  ASSERT_EQ(port.ReadExactly(48).size(), 48u);
  port.Write(Le32Words({2, 48, 2, 1, 0, 0, 0, 0, 0, 0, 0, 0}));
  Bytes req = port.ReadExactly(20);
  ASSERT_EQ(Le32(req, 0), 3u);
  port.Write(Bytes(52, 0x41));
  Bytes end = port.ReadExactly(16);
  ASSERT_EQ(end.size(), 16u);
  EXPECT_EQ(Le32(end, 0), 4u);
  EXPECT_NE(Le32(end, 12), 0u);
  // Done after a failed transfer does not start a programmer.
  port.Write(Le32Words({5, 8}));
  EXPECT_EQ(Le32(port.ReadExactly(12), 0), 6u);
  EXPECT_FALSE(modem.WaitForMode(ModemMode::Programmer, 200ms));
}

TEST(VirtualModemDmss, PreCommandsAreHarmlessThenNopParameterAndARawHeaderStartThePull) {
  TempDir dir;
  auto opt = BaseOptions(dir);
  opt.bootProtocol = BootProtocol::Dmss;
  VirtualModem modem(opt);
  modem.Start();
  PtyClient diag(PortPath(modem, 7));
  diag.Write(EncodeFrame(Bytes{0x00}, false));
  diag.Write(EncodeFrame(Bytes{0x41, '0', '0', '0', '0', '0', '0'}, false));
  diag.ReadFor(100);
  EXPECT_EQ(modem.Mode(), ModemMode::Normal);
  diag.Write(Bytes{0x3A, 0xA1, 0x6E, 0x7E});
  EXPECT_EQ(diag.ReadExactly(4), (Bytes{0x3A, 0xA1, 0x6E, 0x7E}));
  ASSERT_TRUE(modem.WaitForMode(ModemMode::BootDmss, 5s));
  EXPECT_TRUE(diag.ReadFor(100).empty());  // no Sahara hello from a DMSS loader

  diag.Write(EncodeFrame(Bytes{0x06}, true));
  EXPECT_EQ(diag.ReadExactly(5), (Bytes{0x7E, 0x02, 0x6A, 0xD3, 0x7E}));
  diag.Write(EncodeFrame(Bytes{0x0C}, false));
  Bytes version = diag.ReadFrame();
  ASSERT_GE(version.size(), 2u);
  EXPECT_EQ(version[1], 0x0D);
  diag.Write(EncodeFrame(Bytes{0x07}, true));
  Bytes param = diag.ReadExactly(11);
  ASSERT_EQ(param.size(), 11u);
  EXPECT_EQ(param[0], 0x08);
  EXPECT_EQ(param[3], 0x10);
  EXPECT_EQ(param[4], 0x00);
  EXPECT_EQ(param[10], 0x7E);

  const Bytes file = ReadFile(std::string(ZOVIR_TEST_PACKET_DIR) + "/NPRG9x06.mbn");
  diag.Write(Bytes(file.begin(), file.begin() + 52));
  Bytes req = diag.ReadExactly(20);
  ASSERT_EQ(req.size(), 20u);
  EXPECT_EQ(Le32(req, 0), 3u);
  EXPECT_EQ(Le32(req, 12), 52u);
}

TEST(VirtualModemLifecycle, StartsAgainAfterAStopWithTheSameState) {
  TempDir dir;
  auto opt = BaseOptions(dir);
  VirtualModem modem(opt);
  modem.Start();
  modem.State().StorePartition("tz", Bytes{1, 2});
  modem.Stop();
  EXPECT_EQ(modem.Mode(), ModemMode::Stopped);
  EXPECT_TRUE(modem.Ports().empty());
  modem.Start();
  EXPECT_EQ(modem.Mode(), ModemMode::Normal);
  PtyClient diag(PortPath(modem, 7));
  diag.Write(EncodeFrame(Bytes{0x55}, false));
  EXPECT_EQ(diag.ReadFrame(), EncodeFrame(Bytes{0x13, 0x55}, false));
  EXPECT_EQ(modem.State().Partition("tz"), (Bytes{1, 2}));
}

TEST(VirtualModemNormal, DiagResetRestartsTheFirmwareUnderItsPortNumbers) {
  TempDir dir;
  auto opt = BaseOptions(dir);
  opt.restartPorts = RestartPorts::SameNumbers;
  VirtualModem modem(opt);
  modem.Start();
  PtyClient diag(PortPath(modem, 7));
  diag.Write(EncodeFrame(Bytes{0x29, 0x01, 0x00}, false));  // offline: acknowledged, no restart
  EXPECT_EQ(diag.ReadFrame(), EncodeFrame(Bytes{0x29, 0x01, 0x00}, false));
  diag.Write(EncodeFrame(Bytes{0x29, 0x02, 0x00}, false));
  EXPECT_EQ(diag.ReadFrame(), EncodeFrame(Bytes{0x29, 0x02, 0x00}, false));
  ASSERT_TRUE(modem.WaitForMode(ModemMode::Rebooting, 5s));
  ASSERT_TRUE(modem.WaitForMode(ModemMode::Normal, 5s));
  EXPECT_EQ(modem.ModeEntries(ModemMode::Normal), 2u);
  EXPECT_TRUE(modem.WaitForPort(8, 1s));
  EXPECT_EQ(ReadMap(opt.deviceMapPath).size(), 2u);
  EXPECT_NE(PortPath(modem, 8), "");
}

TEST(VirtualModemLifecycle, AnExclusiveFlagDoesNotOutliveTheClientThatSetIt) {
  TempDir dir;
  VirtualModem modem(BaseOptions(dir));
  modem.Start();
  const std::string path = PortPath(modem, 8);
  {
    PtyClient first(path);
    ASSERT_EQ(::ioctl(first.fd(), TIOCEXCL), 0);
  }
  // The modem lifts it within its sweep; a later client (not root) could open the port again.
  PtyClient next(path);
  int exclusive = 1;
  for (int i = 0; i < 100 && exclusive; ++i) {
    ASSERT_EQ(::ioctl(next.fd(), TIOCGEXCL, &exclusive), 0);
    if (exclusive) ::poll(nullptr, 0, 10);
  }
  EXPECT_EQ(exclusive, 0);
}

TEST(VirtualModemFleet, EightModemsShareOneDeviceMapEachWithItsOwnPorts) {
  TempDir dir;
  std::vector<std::unique_ptr<VirtualModem>> fleet;
  for (int i = 0; i < 8; ++i) {
    auto opt = BaseOptions(dir);
    opt.comNumbers = {20 + 2 * i, 21 + 2 * i};
    fleet.push_back(std::make_unique<VirtualModem>(opt));
  }
  for (auto& m : fleet) m->Start();
  auto map = ReadMap(dir / "ports.ini");
  EXPECT_EQ(map.size(), 16u);
  // One modem switching and another stopping leave the rest untouched.
  {
    PtyClient diag(PortPath(*fleet[3], 26));
    diag.Write(Bytes{0x3A, 0xA1, 0x6E, 0x7E});
    ASSERT_TRUE(fleet[3]->WaitForMode(ModemMode::BootSahara, 5s));
  }
  fleet[5]->Stop();
  map = ReadMap(dir / "ports.ini");
  EXPECT_EQ(map.size(), 13u);
  EXPECT_EQ(map["COM26"]["HardwareId"], "USB\\VID_05C6&PID_9008&REV_0000");
  EXPECT_FALSE(map.count("COM27"));
  EXPECT_FALSE(map.count("COM30"));
  EXPECT_TRUE(map.count("COM20"));
}

}  // namespace
}  // namespace zovir::sim::test
