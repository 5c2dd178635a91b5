// Each helper program runs as its own process, from a folder that holds it and its
// Config.ini, the way the tool leaves it in the work folder.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/profile_file.h"

extern char** environ;

namespace zovir {
namespace {

namespace fs = std::filesystem;

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

class Folder {
 public:
  Folder() {
    std::string t = (fs::temp_directory_path() / "zovir-helpers-XXXXXX").string();
    path_ = mkdtemp(t.data()) ? t : "";
  }
  ~Folder() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }
  std::string Write(const std::string& name, const std::string& text) const {
    std::ofstream(*this / name, std::ios::binary) << text;
    return *this / name;
  }
  // Puts a copy of the program into the folder, as the payload extraction does.
  std::string Install(const char* program) const {
    std::string target = *this / fs::path(program).filename().string();
    fs::copy_file(program, target, fs::copy_options::overwrite_existing);
    return target;
  }

 private:
  std::string path_;
};

struct ProgramRun {
  int exitCode = -1;
  std::string output;  // stdout and stderr
};

// Starts `program` with `args` and the extra environment, waits for it (at most a minute).
ProgramRun RunProgram(const std::string& program, const std::vector<std::string>& args,
               const std::map<std::string, std::string>& env = {}) {
  Folder out;
  const std::string log = out / "output";
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);

  std::vector<std::string> envStrings;
  for (char** e = environ; *e; ++e) {
    std::string s = *e;
    std::string name = s.substr(0, s.find('='));
    if (name == "ZOVIR_DEVICE_MAP" || name == "ZOVIR_USB_MAP" || env.count(name)) continue;
    envStrings.push_back(s);
  }
  for (const auto& [k, v] : env) envStrings.push_back(k + "=" + v);
  std::vector<char*> envp;
  for (std::string& s : envStrings) envp.push_back(s.data());
  envp.push_back(nullptr);
  std::vector<std::string> argStrings{program};
  argStrings.insert(argStrings.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& s : argStrings) argv.push_back(s.data());
  argv.push_back(nullptr);

  ProgramRun r;
  pid_t pid = 0;
  int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  EXPECT_EQ(rc, 0) << program;
  if (rc != 0) return r;
  int status = 0;
  for (int waited = 0;; waited += 10) {
    pid_t w = waitpid(pid, &status, WNOHANG);
    if (w == pid) break;
    if (waited > 60000) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      ADD_FAILURE() << program << " did not end";
      break;
    }
    usleep(10000);
  }
  r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  r.output = ReadAll(log);
  return r;
}

// A modem's AT port on a pseudo-terminal: answers "AT" with OK and the other commands as told.
class FakeAtModem {
 public:
  enum class Answer { Ok, Error, HangUp, Silence };

  explicit FakeAtModem(Answer probe = Answer::Ok) : probe_(probe) {
    int slave = -1;
    if (openpty(&master_, &slave, nullptr, nullptr, nullptr) != 0) {
      ADD_FAILURE() << "openpty";
      return;
    }
    // The programs under test must not inherit either end, or a hang-up would never reach them.
    fcntl(master_, F_SETFD, FD_CLOEXEC);
    fcntl(slave, F_SETFD, FD_CLOEXEC);
    termios tio{};
    tcgetattr(slave, &tio);
    cfmakeraw(&tio);
    tcsetattr(slave, TCSANOW, &tio);
    path_ = ttyname(slave);
    slave_ = slave;
    thread_ = std::thread([this] { Serve(); });
  }
  ~FakeAtModem() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (master_ >= 0) close(master_);
    if (slave_ >= 0) close(slave_);
  }
  void Answer_(const std::string& command, Answer a) {
    std::lock_guard<std::mutex> lock(mu_);
    answers_[command] = a;
  }
  const std::string& path() const { return path_; }
  int slave() const { return slave_; }
  std::vector<std::string> Received() {
    std::lock_guard<std::mutex> lock(mu_);
    return received_;
  }

 private:
  void Serve() {
    std::string pending;
    while (!stop_) {
      pollfd p{master_, POLLIN, 0};
      if (poll(&p, 1, 20) <= 0 || !(p.revents & POLLIN)) continue;
      char buf[256];
      ssize_t n = read(master_, buf, sizeof buf);
      if (n <= 0) continue;
      pending.append(buf, static_cast<size_t>(n));
      size_t end;
      while ((end = pending.find_first_of("\r\n")) != std::string::npos) {
        std::string line = pending.substr(0, end);
        pending.erase(0, end + 1);
        if (line.empty()) continue;
        Answer a;
        {
          std::lock_guard<std::mutex> lock(mu_);
          received_.push_back(line);
          a = line == "AT" ? probe_ : (answers_.count(line) ? answers_[line] : Answer::Ok);
        }
        if (a == Answer::Ok) Send("\r\nOK\r\n");
        if (a == Answer::Error) Send("\r\nERROR\r\n");
        if (a == Answer::HangUp) {
          close(master_);
          master_ = -1;
          return;
        }
      }
    }
  }
  void Send(const std::string& s) { (void)!write(master_, s.data(), s.size()); }

  Answer probe_;
  int master_ = -1;
  int slave_ = -1;
  std::string path_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::mutex mu_;
  std::map<std::string, Answer> answers_;
  std::vector<std::string> received_;
};

std::string DeviceMap(const std::vector<std::pair<int, std::string>>& ports, const char* hardwareId) {
  std::string map;
  for (const auto& [com, path] : ports) {
    map += "[COM" + std::to_string(com) + "]\nPath=" + path + "\nFriendlyName=Quorvel USB Modem (COM" +
           std::to_string(com) + ")\nHardwareId=" + hardwareId + "\n";
  }
  return map;
}

const char* kModemHardwareId = "USB\\VID_05C6&PID_9025&REV_0000&MI_02";
const char* kModemUsb = "[USB1]\nVendorId=05C6\nProductId=9025\nBus=1\nAddress=7\n";

std::string ResetResult(const Folder& dir) {
  return ProfileFile(dir / "Config.ini").GetString("Project", "ExecuteResetModem", "missing");
}

TEST(ResetHelper, ResetsTheModemOverItsAtPort) {
  struct Case {
    const char* name;
    FakeAtModem::Answer reset;
    const char* usb;
    const char* expected;
    int usbResets;
  } cases[] = {
      {"modem accepts the reset", FakeAtModem::Answer::Ok, kModemUsb, "100", 0},
      {"modem drops its port at once", FakeAtModem::Answer::HangUp, kModemUsb, "100", 0},
      {"modem refuses, USB reset works", FakeAtModem::Answer::Error, kModemUsb, "100", 1},
      {"modem refuses, USB reset fails", FakeAtModem::Answer::Error,
       "[USB1]\nVendorId=05C6\nProductId=9025\nBus=1\nAddress=7\nFail=reset\n", "-2", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Folder dir;
    const std::string helper = dir.Install(ZOVIR_RESET_HELPER);
    // A value left by an earlier run must not survive.
    dir.Write("Config.ini", "[Project]\r\nCaption=Quorvel\r\nExecuteResetModem=100\r\n\r\n[Start_AT]\r\nAT1=AT\r\n");
    FakeAtModem modem;
    modem.Answer_("AT+CFUN=1,1", c.reset);
    const std::string map = dir.Write("devices.ini", DeviceMap({{12, modem.path()}}, kModemHardwareId));
    const std::string usb = dir.Write("usb.ini", c.usb);
    ProgramRun r = RunProgram(helper, {}, {{"ZOVIR_DEVICE_MAP", map}, {"ZOVIR_USB_MAP", usb}});
    EXPECT_EQ(ResetResult(dir), c.expected) << r.output;
    EXPECT_EQ(r.exitCode == 0, std::string(c.expected) == "100") << r.output;
    EXPECT_EQ(modem.Received(), (std::vector<std::string>{"AT", "AT+CFUN=1,1"}));
    EXPECT_EQ(ProfileFile(usb).GetInt("USB1", "ResetCount", 0), c.usbResets);
    // Only the one value changed.
    std::string config = ReadAll(dir / "Config.ini");
    EXPECT_EQ(config, "[Project]\r\nCaption=Quorvel\r\nExecuteResetModem=" + std::string(c.expected) +
                          "\r\n\r\n[Start_AT]\r\nAT1=AT\r\n");
  }
}

TEST(ResetHelper, FallsBackToTheUsbDeviceOrReportsTheMissingModem) {
  struct Case {
    const char* name;
    bool withPort;
    bool busy;
    const char* usb;
    const char* expected;
  } cases[] = {
      {"silent port, USB reset", true, false, kModemUsb, "100"},
      {"silent port, modem not on the bus", true, false, "[USB1]\nVendorId=1D6B\nProductId=0002\n", "-1"},
      {"no port at all", false, false, kModemUsb, "-1"},
      {"port held by another program", true, true, "", "0"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Folder dir;
    const std::string helper = dir.Install(ZOVIR_RESET_HELPER);
    dir.Write("Config.ini", "[Project]\nExecuteResetModem=100\n");
    FakeAtModem modem(FakeAtModem::Answer::Silence);
    int holder = -1;
    if (c.busy) {
      holder = open(modem.path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
      ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
    }
    std::vector<std::pair<int, std::string>> ports;
    if (c.withPort) ports.push_back({5, modem.path()});
    const std::string map = dir.Write("devices.ini", DeviceMap(ports, kModemHardwareId));
    const std::string usb = dir.Write("usb.ini", c.usb);
    ProgramRun r = RunProgram(helper, {}, {{"ZOVIR_DEVICE_MAP", map}, {"ZOVIR_USB_MAP", usb}});
    EXPECT_EQ(ResetResult(dir), c.expected) << r.output;
    EXPECT_NE(r.exitCode == 0, std::string(c.expected) != "100") << r.output;
    if (holder >= 0) close(holder);
  }
}

TEST(ResetHelper, RefusesBadInput) {
  Folder dir;
  const std::string helper = dir.Install(ZOVIR_RESET_HELPER);
  ProgramRun noConfig = RunProgram(helper, {}, {{"ZOVIR_DEVICE_MAP", dir / "none.ini"}});
  EXPECT_NE(noConfig.exitCode, 0);
  EXPECT_NE(noConfig.output.find("Config.ini"), std::string::npos) << noConfig.output;
  EXPECT_FALSE(fs::exists(dir / "Config.ini"));

  dir.Write("Config.ini", "[Project]\n");
  ProgramRun badArg = RunProgram(helper, {"--bogus"});
  EXPECT_EQ(badArg.exitCode, 2);
  EXPECT_NE(badArg.output.find("usage"), std::string::npos);
  EXPECT_EQ(RunProgram(helper, {"--help"}).exitCode, 0);
  EXPECT_EQ(ResetResult(dir), "missing");
}

// A kernel module tree with the given modules.
std::string ModuleTree(const Folder& dir, const std::string& name, const std::string& deps,
                       const std::string& builtin = "") {
  fs::create_directories(dir / name);
  dir.Write(name + "/modules.dep", deps);
  dir.Write(name + "/modules.builtin", builtin);
  fs::create_directories(dir / (name + "-loaded"));
  return dir / name;
}

TEST(DriverInstaller, InstallsTheRulesAndReportsCompletion) {
  Folder dir;
  const std::string installer = dir.Install(ZOVIR_DRIVER_INSTALLER);
  dir.Write("Config.ini", "[Project]\nCaption=Quorvel\n[Uninstall]\nUninstallUDisk=0\n");
  const std::string modules = ModuleTree(dir, "modules",
                                         "kernel/drivers/usb/serial/usbserial.ko.xz:\n"
                                         "kernel/drivers/usb/serial/option.ko.xz: kernel/drivers/usb/serial/usb_wwan.ko.xz\n");
  fs::create_directories(dir / "rules");
  const std::vector<std::string> args{"--rules-dir", dir / "rules", "--packaged-rules-dir", dir / "none",
                                      "--modules-dir", modules, "--loaded-modules-dir", modules + "-loaded"};
  ProgramRun r = RunProgram(installer, args);
  ASSERT_EQ(r.exitCode, 0) << r.output;
  EXPECT_EQ(ProfileFile(dir / "Config.ini").GetInt("Uninstall", "UninstallUDisk", 0), 1);
  std::vector<fs::path> rules;
  for (const auto& e : fs::directory_iterator(dir / "rules")) rules.push_back(e.path());
  ASSERT_EQ(rules.size(), 1u);
  EXPECT_EQ(rules[0].filename(), "70-zovir-modem.rules");
  const std::string text = ReadAll(rules[0].string());
  EXPECT_NE(text.find("ATTRS{idVendor}==\"05c6\""), std::string::npos) << text;
  EXPECT_NE(text.find("ID_MM_DEVICE_IGNORE"), std::string::npos) << text;

  // Run again (the tool resets the flag when the modem is gone): the rules stay as they are.
  ProfileFile(dir / "Config.ini").WriteString("Uninstall", "UninstallUDisk", "0");
  ProgramRun again = RunProgram(installer, args);
  EXPECT_EQ(again.exitCode, 0) << again.output;
  EXPECT_EQ(ProfileFile(dir / "Config.ini").GetInt("Uninstall", "UninstallUDisk", 0), 1);
  EXPECT_EQ(ReadAll(rules[0].string()), text);
}

TEST(DriverInstaller, DoesNotReportCompletionWhenItCouldNotFinish) {
  struct Case {
    const char* name;
    std::string deps, builtin;
    bool loadedSerial;
    bool rulesWritable;
    int exitCode;
    bool packaged = false;
  } cases[] = {
      {"no serial driver", "kernel/drivers/usb/serial/usbserial.ko:\n", "", false, true, 3},
      {"no usbserial", "kernel/drivers/usb/serial/option.ko:\n", "", false, true, 3},
      {"built-in and loaded drivers count", "", "kernel/drivers/usb/serial/qcserial.ko\n", true, true, 0},
      {"rules folder cannot be written: reported, not blocking",
       "kernel/drivers/usb/serial/usbserial.ko:\nkernel/qcserial.ko:\n", "", false, false, 0},
      {"rules installed by a package", "kernel/drivers/usb/serial/usbserial.ko:\nkernel/qcserial.ko:\n", "", false,
       false, 0, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Folder dir;
    const std::string installer = dir.Install(ZOVIR_DRIVER_INSTALLER);
    dir.Write("Config.ini", "[Uninstall]\nUninstallUDisk=0\n");
    const std::string modules = ModuleTree(dir, "modules", c.deps, c.builtin);
    if (c.loadedSerial) fs::create_directories(modules + "-loaded/usbserial");
    const std::string rules = c.rulesWritable ? dir / "rules" : dir / "missing/rules";
    if (c.rulesWritable) fs::create_directories(rules);
    fs::create_directories(dir / "packaged");
    if (c.packaged) dir.Write("packaged/70-zovir-modem.rules", "# from the package\n");
    ProgramRun r = RunProgram(installer, {"--rules-dir", rules, "--packaged-rules-dir", dir / "packaged", "--modules-dir",
                                          modules, "--loaded-modules-dir", modules + "-loaded"});
    EXPECT_EQ(r.exitCode, c.exitCode) << r.output;
    EXPECT_EQ(ProfileFile(dir / "Config.ini").GetInt("Uninstall", "UninstallUDisk", 0), c.exitCode == 0 ? 1 : 0);
    if (c.exitCode != 0) {
      EXPECT_NE(r.output.find("DriverInstaller: "), std::string::npos);
    }
    if (!c.rulesWritable && !c.packaged) {
      EXPECT_NE(r.output.find("administrator rights"), std::string::npos) << r.output;
    }
  }
  Folder dir;
  dir.Write("Config.ini", "");
  EXPECT_EQ(RunProgram(dir.Install(ZOVIR_DRIVER_INSTALLER), {"--frobnicate"}).exitCode, 2);
}

const char* kShiftDevice =
    "[SHIFTDEVICE]\r\n"
    "SCSICMD=11,06,20,00,00,00\r\n"
    "SCSIDEVICE=USBSTOR\\CdRom&Ven_Quorvel&Prod_Mass_Storage&Rev_2.31\\7&2b8cd5c&0&0123456789ABCDEF&0\r\n"
    "SCSICMDHID=12,34,56\r\n"
    "SCSIDEVICEHID=HID\\VID_05C6&PID_F00E&MI_01\\8&1c3a5b&0&0000\r\n";

const char* kUsbStick = "[USB1]\nVendorId=1234\nProductId=5678\nAddress=3\nStorageInterface=0\nBulkOut=02\nBulkIn=81\n"
                        "ScsiVendor=Generic\nScsiModel=Flash Disk\n";

TEST(ModeSwitchHelper, SendsTheConfiguredCommandToTheModemOnly) {
  struct Case {
    const char* name;
    std::string usb;
    int exitCode;
    const char* storageCommand;  // what the modem's CD-ROM received
    const char* hidReport;
  } cases[] = {
      {"CD-ROM personality", std::string(kUsbStick) +
           "[USB2]\nVendorId=05C6\nProductId=F000\nAddress=9\nStorageInterface=0\nBulkOut=01\nBulkIn=81\n"
           "ScsiVendor=Quorvel\nScsiModel=Mass Storage\n",
       0, "5553424352564F5A0000000000000611062000000000000000000000000000", ""},
      {"HID personality", std::string(kUsbStick) + "[USB2]\nVendorId=05C6\nProductId=F00E\nAddress=9\nHidInterface=1\n",
       0, "", "123456"},
      {"only somebody's USB stick", kUsbStick, 3, "", ""},
      {"modem refuses", "[USB2]\nVendorId=05C6\nProductId=F000\nAddress=9\nStorageInterface=0\nBulkOut=01\n"
                        "ScsiVendor=QUORVEL\nScsiModel=MASS_STORAGE\nFail=storage\n",
       4, "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Folder dir;
    const std::string helper = dir.Install(ZOVIR_MODE_SWITCH_HELPER);
    dir.Write("Config.ini", kShiftDevice);
    const std::string usb = dir.Write("usb.ini", c.usb);
    ProgramRun r = RunProgram(helper, {}, {{"ZOVIR_USB_MAP", usb}});
    EXPECT_EQ(r.exitCode, c.exitCode) << r.output;
    ProfileFile bus(usb);
    EXPECT_EQ(bus.GetString("USB2", "StorageCommand", ""), c.storageCommand);
    EXPECT_EQ(bus.GetString("USB2", "HidReport", ""), c.hidReport);
    EXPECT_EQ(bus.GetString("USB1", "StorageCommand", ""), "");  // the stick is never touched
  }
}

TEST(ModeSwitchHelper, RefusesBrokenShiftDeviceSettings) {
  struct Case {
    const char* config;
    const char* mentions;
  } cases[] = {
      {"[SHIFTDEVICE]\nSCSICMD=11,G6\nSCSIDEVICE=USBSTOR\\CdRom&Ven_Q\n", "SCSICMD"},
      {"[SHIFTDEVICE]\nSCSICMD=11,,06\nSCSIDEVICE=USBSTOR\\CdRom&Ven_Q\n", "SCSICMD"},
      {"[SHIFTDEVICE]\nSCSICMD=00,01,02,03,04,05,06,07,08,09,0A,0B,0C,0D,0E,0F,10\nSCSIDEVICE=USBSTOR\\x\n", "SCSICMD"},
      {"[SHIFTDEVICE]\nSCSICMD=11,06\n", "SHIFTDEVICE"},
      {"[Project]\nCaption=x\n", "SHIFTDEVICE"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.config);
    Folder dir;
    const std::string helper = dir.Install(ZOVIR_MODE_SWITCH_HELPER);
    dir.Write("Config.ini", c.config);
    const std::string usb = dir.Write("usb.ini", kUsbStick);
    ProgramRun r = RunProgram(helper, {}, {{"ZOVIR_USB_MAP", usb}});
    EXPECT_EQ(r.exitCode, 2) << r.output;
    EXPECT_NE(r.output.find(c.mentions), std::string::npos) << r.output;
  }
}

TEST(NetSwitchHelper, SwitchesTheRadioOverTheAtPort) {
  FakeAtModem modem;
  Folder dir;
  const std::string map = dir.Write("devices.ini", DeviceMap({{3, modem.path()}}, kModemHardwareId));
  ProgramRun off = RunProgram(ZOVIR_NET_SWITCH_HELPER, {"off"}, {{"ZOVIR_DEVICE_MAP", map}});
  EXPECT_EQ(off.exitCode, 0) << off.output;
  modem.Answer_("AT+CFUN=1", FakeAtModem::Answer::Error);
  ProgramRun on = RunProgram(ZOVIR_NET_SWITCH_HELPER, {"on", "--port", modem.path()});
  EXPECT_EQ(on.exitCode, 4) << on.output;
  EXPECT_EQ(modem.Received(), (std::vector<std::string>{"AT", "AT+CFUN=4", "AT", "AT+CFUN=1"}));

  EXPECT_EQ(RunProgram(ZOVIR_NET_SWITCH_HELPER, {}).exitCode, 2);
  EXPECT_EQ(RunProgram(ZOVIR_NET_SWITCH_HELPER, {"sideways"}).exitCode, 2);
  EXPECT_EQ(RunProgram(ZOVIR_NET_SWITCH_HELPER, {"--help"}).exitCode, 0);
  ProgramRun nobody = RunProgram(ZOVIR_NET_SWITCH_HELPER, {"on"}, {{"ZOVIR_DEVICE_MAP", dir / "empty.ini"}});
  EXPECT_EQ(nobody.exitCode, 3) << nobody.output;
}

TEST(EnvCleaner, RemovesLeftOverWorkFoldersThatNothingUses) {
  for (const char* cleaner : {ZOVIR_ENV_CLEANER32, ZOVIR_ENV_CLEANER64}) {
    SCOPED_TRACE(cleaner);
    Folder temp, outside;
    fs::create_directories(temp / "TempFiles/sub");
    temp.Write("TempFiles/sub/sbl1.mbn", "x");
    fs::create_directories(temp / "TempFiles2");
    temp.Write("TempFiles2/Config.ini", "[Project]\n");
    fs::create_directories(temp / "Backup/SN[123]");
    temp.Write("Backup/SN[123]/nv.bak", "keep");
    outside.Write("precious", "keep");

    // Dry run first: nothing goes.
    ProgramRun dry = RunProgram(cleaner, {"--temp-dir", temp.path(), "--dry-run"});
    EXPECT_EQ(dry.exitCode, 0) << dry.output;
    EXPECT_TRUE(fs::exists(temp / "TempFiles/sub/sbl1.mbn"));

    // A running program (this test) still has a file of the second folder open.
    int inUse = open((temp / "TempFiles2/Config.ini").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(inUse, 0);
    ProgramRun r = RunProgram(cleaner, {}, {{"ZOVIR_TEMP_DIR", temp.path()}});
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_FALSE(fs::exists(temp / "TempFiles"));
    EXPECT_TRUE(fs::exists(temp / "TempFiles2/Config.ini"));
    EXPECT_TRUE(fs::exists(temp / "Backup/SN[123]/nv.bak"));
    close(inUse);

    // A link named like a work folder is not followed out of the temporary folder.
    fs::remove_all(temp / "TempFiles2");
    fs::create_directory_symlink(outside.path(), temp / "TempFiles");
    EXPECT_EQ(RunProgram(cleaner, {"--temp-dir", temp.path()}).exitCode, 0);
    EXPECT_TRUE(fs::exists(outside / "precious"));

    EXPECT_EQ(RunProgram(cleaner, {"--temp-dir", temp / "nope"}).exitCode, 2);
    EXPECT_EQ(RunProgram(cleaner, {"--what"}).exitCode, 2);
    EXPECT_EQ(RunProgram(cleaner, {"--help"}).exitCode, 0);
  }
}

}  // namespace
}  // namespace zovir
