// The reset helper against the virtual modem: it finds the modem's AT port through the
// device map, the modem restarts, and the Config.ini beside the helper says so.
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/profile_file.h"
#include "sim/port_protocol.h"
#include "sim/virtual_modem.h"

extern char** environ;

namespace zovir {
namespace {

namespace fs = std::filesystem;

int RunHelper(const std::string& program, const std::string& deviceMap) {
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) {
    std::string s = *e;
    if (s.rfind("ZOVIR_DEVICE_MAP=", 0) != 0 && s.rfind("ZOVIR_USB_MAP=", 0) != 0) env.push_back(s);
  }
  env.push_back("ZOVIR_DEVICE_MAP=" + deviceMap);
  std::vector<char*> envp;
  for (std::string& s : env) envp.push_back(s.data());
  envp.push_back(nullptr);
  std::string arg0 = program;
  char* argv[] = {arg0.data(), nullptr};
  pid_t pid = 0;
  if (posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv, envp.data()) != 0) return -1;
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(ResetHelperWithVirtualModem, ResetsTheModemAndReportsIt) {
  std::string tmpl = (fs::temp_directory_path() / "zovir-reset-XXXXXX").string();
  ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
  const fs::path work = tmpl;
  const std::string helper = (work / "ResetHelper").string();
  fs::copy_file(ZOVIR_RESET_HELPER, helper);
  std::ofstream(work / "Config.ini") << "[Project]\r\nCaption=Quorvel_ZOVIR\r\nExecuteResetModem=1\r\n";

  sim::VirtualModemOptions options;
  options.deviceMapPath = (work / "devices.ini").string();
  options.comNumbers = {21, 22, 23};
  options.reenumerateDelayMs = 50;
  // The firmware restarts on the reset command.
  options.extraResponders.push_back([](sim::DiagDispatcher&, sim::AtDispatcher& at) {
    at.Register("+CFUN", [](const sim::AtCommand& cmd, sim::AtContext& ctx) {
      if (cmd.args == "=1,1") ctx.port.Request(sim::Transition::ToNormal, 100);
      return std::string("\r\nOK\r\n");
    });
  });
  sim::VirtualModem modem(options);
  modem.Start();
  ASSERT_TRUE(modem.WaitForMode(sim::ModemMode::Normal, std::chrono::seconds(10)));

  EXPECT_EQ(RunHelper(helper, options.deviceMapPath), 0);
  EXPECT_EQ(ProfileFile((work / "Config.ini").string()).GetString("Project", "ExecuteResetModem", ""), "100");
  EXPECT_EQ(modem.CommandCount("at:+CFUN"), 1u);
  // The modem went away and came back in normal mode.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (modem.ModeEntries(sim::ModemMode::Normal) < 2 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_EQ(modem.ModeEntries(sim::ModemMode::Normal), 2u);
  EXPECT_TRUE(modem.WaitForMode(sim::ModemMode::Normal, std::chrono::seconds(10)));

  modem.Stop();
  // Without the modem there is no port to reset.
  EXPECT_NE(RunHelper(helper, options.deviceMapPath), 0);
  EXPECT_EQ(ProfileFile((work / "Config.ini").string()).GetString("Project", "ExecuteResetModem", ""), "-1");
  std::error_code ec;
  fs::remove_all(work, ec);
}

}  // namespace
}  // namespace zovir
