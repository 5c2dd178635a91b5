// zovir-modem-sim as its own process: ports in the map while it runs, a download-mode switch
// over a pty, a clean map after SIGTERM, and --show on the state it left.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include "pty_client.h"

extern char** environ;

namespace zovir::sim::test {
namespace {

class SimProcess {
 public:
  explicit SimProcess(std::vector<std::string> args) {
    int fds[2];
    if (::pipe(fds) != 0) return;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, fds[1], 1);
    posix_spawn_file_actions_addclose(&fa, fds[0]);
    args.insert(args.begin(), ZOVIR_MODEM_SIM);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, ZOVIR_MODEM_SIM, &fa, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&fa);
    ::close(fds[1]);
    out_ = fds[0];
  }
  ~SimProcess() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    if (out_ >= 0) ::close(out_);
  }
  // Reads the program's output until a line holds `text`.
  bool WaitFor(const std::string& text, int timeoutMs = 10000) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (seen_.find(text) == std::string::npos) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
      pollfd p{out_, POLLIN, 0};
      if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) <= 0) return false;
      char buf[512];
      ssize_t n = ::read(out_, buf, sizeof buf);
      if (n <= 0) return false;
      seen_.append(buf, static_cast<size_t>(n));
    }
    return true;
  }
  int Terminate() {
    ::kill(pid_, SIGTERM);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  // The exit code of a program that ends by itself.
  int Wait() {
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  const std::string& Output() const { return seen_; }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  std::string seen_;
};

int RunShow(const std::string& state, const std::string& images, std::string& out) {
  std::string cmd = std::string(ZOVIR_MODEM_SIM) + " --show " + state + " --compare " + images;
  FILE* f = ::popen(cmd.c_str(), "r");
  char buf[256];
  while (f && std::fgets(buf, sizeof buf, f)) out += buf;
  int status = f ? ::pclose(f) : -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(ModemSimProgram, RunsUntilStoppedAndLeavesNoPortsBehind) {
  TempDir dir;
  const std::string map = dir / "ports.ini";
  SimProcess sim({"--device-map", map, "--state", dir / "state", "--com", "17,18,19", "--restart-ports", "new",
                  "--reboot-delay", "50", "--reenumerate-delay", "50", "--fault", "diag:3a@1=ignore"});
  ASSERT_TRUE(sim.WaitFor("mode normal")) << sim.Output();
  EXPECT_NE(sim.Output().find("port COM17 "), std::string::npos);
  auto ports = ReadMap(map);
  ASSERT_EQ(ports.size(), 2u);

  PtyClient diag(ports["COM17"]["Path"]);
  diag.Write(Bytes{0x3A, 0xA1, 0x6E, 0x7E});  // the first switch is lost (fault)
  EXPECT_TRUE(diag.ReadFor(150).empty());
  diag.Write(Bytes{0x3A, 0xA1, 0x6E, 0x7E});
  EXPECT_EQ(diag.ReadExactly(4), (Bytes{0x3A, 0xA1, 0x6E, 0x7E}));
  ASSERT_TRUE(sim.WaitFor("mode boot (Sahara)")) << sim.Output();
  ports = ReadMap(map);
  ASSERT_EQ(ports.size(), 1u);
  EXPECT_EQ(ports["COM19"]["FriendlyName"], "Qualcomm HS-USB QDLoader 9008 (COM19)");

  EXPECT_EQ(sim.Terminate(), 0);
  EXPECT_TRUE(ReadMap(map).empty());
}

TEST(ModemSimProgram, ShowComparesTheStateWithAnImageFolder) {
  TempDir dir;
  {
    DeviceState state(dir / "state");
    state.StorePartition("sbl1", ReadFile(std::string(ZOVIR_TEST_PACKET_DIR) + "/sbl1.mbn"));
  }
  std::string out;
  EXPECT_EQ(RunShow(dir / "state", ZOVIR_TEST_PACKET_DIR, out), 0) << out;
  EXPECT_NE(out.find("sbl1"), std::string::npos);
  EXPECT_NE(out.find("yes"), std::string::npos);
  {
    DeviceState state(dir / "state");
    state.StorePartition("tz", Bytes{1, 2, 3});
  }
  out.clear();
  EXPECT_EQ(RunShow(dir / "state", ZOVIR_TEST_PACKET_DIR, out), 1) << out;
  EXPECT_NE(out.find("NO"), std::string::npos);
}

TEST(ModemSimProgram, IdentitySeededByHandIsAnsweredOnTheAtPortAndKeptInTheState) {
  TempDir dir;
  const std::string map = dir / "ports.ini";
  {
    SimProcess sim({"--device-map", map, "--state", dir / "state", "--identity", "SN=ZV9X06123456", "--identity",
                    "TESTINF=CALIBRATION PASS FINALTEST PASS"});
    ASSERT_TRUE(sim.WaitFor("mode normal")) << sim.Output();
    PtyClient at(ReadMap(map)["COM8"]["Path"]);
    at.Write(std::string("AT+ZRVSN=0,5\r"));
    EXPECT_NE(at.ReadUntil("OK\r\n").find("+ZRVSN: ZV9X06123456"), std::string::npos);
    at.Write(std::string("AT+TESTINF2=?\r"));
    EXPECT_NE(at.ReadUntil("OK\r\n").find("CALIBRATION PASS FINALTEST PASS"), std::string::npos);
    EXPECT_EQ(sim.Terminate(), 0);
  }
  DeviceState state(dir / "state");
  EXPECT_EQ(state.Identity("SN"), "ZV9X06123456");

  // A key the modem has no use for, or a value that would break its files, is refused.
  for (const char* bad : {"Sn=1", "SN", "TESTINF=a\nb"}) {
    SimProcess sim({"--device-map", map, "--identity", bad});
    EXPECT_EQ(sim.Wait(), 2) << bad;
  }
}

TEST(ModemSimProgram, CarriesTheFirmwaresStoresAndStartsAsAFactoryModemUnlessBlank) {
  TempDir dir;
  const std::string map = dir / "ports.ini";
  Bytes nvRead{0x26, 141, 0x00};
  nvRead.resize(133, 0x00);
  struct Case {
    std::vector<std::string> extra;
    uint8_t nvStatus;       // NV item 141, a calibration item of the tool's tables
    const char* serial;     // what AT+ZRVSN=0,5 answers
  };
  for (const Case& c : {Case{{"--state", dir / "factory"}, 0x00, "+ZRVSN: ZV9X06100000"},
                        Case{{"--state", dir / "blank", "--blank"}, 0x05, "ERROR"}}) {
    std::vector<std::string> args{"--device-map", map};
    args.insert(args.end(), c.extra.begin(), c.extra.end());
    SimProcess sim(args);
    ASSERT_TRUE(sim.WaitFor("mode normal")) << sim.Output();
    PtyClient diag(ReadMap(map)["COM7"]["Path"]);
    diag.Write(EncodeFrame(Bytes{0x7C}, true));
    const Bytes build = diag.ReadFrame();
    ASSERT_GE(build.size(), 10u);
    EXPECT_EQ(build[0], 0x7C);
    EXPECT_EQ(build[1], 0x02);
    EXPECT_EQ(build[8], 8);  // the platform of the demo packet
    diag.Write(EncodeFrame(nvRead, true));
    Bytes reply;
    Deframer frames;
    for (uint8_t b : diag.ReadFrame())
      if (auto f = frames.Push(b)) reply = f->payload;
    ASSERT_EQ(reply.size(), 133u);
    EXPECT_EQ(reply[131], c.nvStatus) << c.extra.back();
    PtyClient at(ReadMap(map)["COM8"]["Path"]);
    at.Write(std::string("AT+ZRVSN=0,5\r"));
    EXPECT_NE(at.ReadUntil(c.serial).find(c.serial), std::string::npos) << c.extra.back();
    EXPECT_EQ(sim.Terminate(), 0);
  }
}

}  // namespace
}  // namespace zovir::sim::test
