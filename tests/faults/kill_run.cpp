#include "kill_run.h"

#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <stdexcept>
#include <thread>

#include "config/engine_handover.h"
#include "config/image_check.h"
#include "config/message_sink.h"
#include "config/preserved_paths.h"
#include "config/project_configuration.h"
#include "platform/clock.h"
#include "platform/system_paths.h"
#include "ui/cli/cli_output.h"
#include "ui/cli/cli_view.h"
#include "ui/session/update_slot.h"
#include "ui/session/virtual_factory.h"

namespace zovir::faults {

namespace fs = std::filesystem;
using Ms = std::chrono::milliseconds;
using SteadyTime = std::chrono::steady_clock;

namespace {

// Long enough for a whole update with its retries on a shared, busy machine.
constexpr auto kRunLimit = std::chrono::minutes(10);

class SilentSink final : public MessageSink {
 public:
  void Show(const std::string&, const std::string&, MessageButtons, MessageIcon) override {}
  void Log(const std::string&) override {}
};

session::SlotSetup Setup(const KillSetup& k) {
  session::SlotSetup setup;
  setup.deviceMapPath = (k.home / "ports.ini").string();
  setup.virtualModem = true;
  setup.modem.comNumbers.clear();
  for (int n = 0; n < 12; ++n) setup.modem.comNumbers.push_back(20 + n);
  setup.modem.stateDir = (k.home / "state").string();
  setup.modem.rebootDelayMs = 300;
  setup.backupFolder = k.base.BackupFilePath;
  return setup;
}

struct RunResult {
  bool finished = false;
  bool passed = false;
  int code = 0;
  session::ModemData after;
};

// One whole update in this process on the modem kept in the state folder.
RunResult Update(const KillSetup& k, session::VirtualFactory& factory, const std::string& sn, std::FILE* output) {
  RunResult r;
  // Every engine line, as the run log has them: the kill points are engine lines.
  cli::CliOutput print(cli::CliOutput::Style::Plain, output, /*verbose=*/true);
  SteadyClock clock;
  session::SlotSetup setup = Setup(k);
  factory.Prepare(setup.modem, 0);
  cli::CliView view(print, 0, cli::AnswerPolicy::Safe, sn);
  session::UpdateSlot slot(setup, *k.session, view, clock);
  if (!slot.Discover()) return r;
  slot.Start(k.config, k.images, k.packet);
  const auto start = SteadyTime::now();
  while (!slot.Finished() && SteadyTime::now() - start < kRunLimit) std::this_thread::sleep_for(Ms(20));
  if (!slot.Finished()) slot.Stop();
  r.finished = slot.Wait(60000);
  r.code = slot.ErrorCode();
  r.passed = slot.Passed() && r.code == 0;
  slot.modem()->WaitForMode(sim::ModemMode::Normal, Ms(5000));
  r.after = session::Snapshot(*slot.modem(), *factory.nv, k.efsPaths);
  return r;
}

std::string Differences(const session::ModemData& before, const session::ModemData& after) {
  const session::Verification v = session::Compare(before, after);
  if (v.ok) return {};
  std::string s;
  for (const auto& line : v.lines) s += (s.empty() ? "" : "; ") + line;
  return s;
}

int CountLines(const fs::path& log, const std::string& text) {
  std::ifstream in(log);
  int n = 0;
  for (std::string line; std::getline(in, line);)
    if (line.find(text) != std::string::npos) ++n;
  return n;
}

// The update in a child process, killed at `point`. True when the line came (and the kill).
bool KilledUpdate(const KillSetup& k, session::VirtualFactory& factory, const KillPoint& point) {
  const fs::path log = k.home / "killed-run.log";
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    std::FILE* out = std::fopen(log.c_str(), "w");
    if (out) {
      setvbuf(out, nullptr, _IOLBF, 0);
      Update(k, factory, "", out);
      std::fclose(out);
    }
    _exit(0);
  }
  const auto start = SteadyTime::now();
  bool killed = false;
  int status = 0;
  for (;;) {
    if (waitpid(pid, &status, WNOHANG) == pid) break;
    if (CountLines(log, point.line) >= point.occurrence || SteadyTime::now() - start > kRunLimit) {
      killed = CountLines(log, point.line) >= point.occurrence;
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      break;
    }
    std::this_thread::sleep_for(Ms(5));
  }
  return killed;
}

}  // namespace

const std::vector<KillPoint>& KillPoints() {
  static const std::vector<KillPoint> points = {
      {"identity-read", "Read SN", 1},
      {"oscillator-read", "Read xo_crystal_type", 1},
      {"nv-backup", "Backup NV Start.", 1},
      {"nv-backup-done", "Backup NV......OK", 1},
      {"user-data-backup", " successfully.", 1},
      {"programmer-upload", "Sending RAM program...", 1},
      {"image-write", "Downloading Apps Image...", 1},
      {"reset", "Reset or power off command......", 1},
      {"user-data-restore", " file OK", 2},
      {"nv-restore", "Restore NV Start.", 1},
      {"identity-restore", "Restore IMEI", 1},
      {"end", "Restore TESTINFO", 1},
  };
  return points;
}

KillSetup PrepareKillSetup(const fs::path& home, const std::string& packetDir, int projectType) {
  KillSetup k;
  k.home = home;
  setenv("ZOVIR_HOME", home.c_str(), 1);
  k.session = std::make_shared<session::UpdateSession>();
  if (const auto refused = k.session->Open(session::SessionOptions{packetDir, false}))
    throw std::runtime_error("the session did not open: " + refused->text);
  SilentSink sink;
  ProjectConfiguration& config = k.config;
  if (!ReadProjectConfiguration(config, packetDir + "/Config.ini", sink))
    throw std::runtime_error("the packet's configuration was rejected");
  config.bBackupUserData = 1;
  if (config.UserDataFilesList.empty()) config.UserDataFilesList = {"/user/settings.cfg", "/user/apn.txt"};
  if (config.UserDataDirList.empty()) config.UserDataDirList = {"/user/profiles"};
  ImageFolderState& images = k.images;
  ImageCheckContext context{sink, config.Caption, k.session->folders().BackupFolder(), false, nullptr, nullptr};
  if (!CheckImageFolder(packetDir, config, images, context)) throw std::runtime_error("the packet's images were rejected");
  config.ProjectType = projectType;
  k.packet = packetDir;
  HandOverConfiguration(config, k.base);
  HandOverImages(images, k.base);
  k.base.BackupFilePath = k.session->folders().BackupFolder();
  k.userFiles = PreservedEfsPaths(config.UserDataFilesList);
  k.userDirs = PreservedEfsPaths(config.UserDataDirList);
  k.efsPaths = k.userFiles;
  k.efsPaths.insert(k.efsPaths.end(), k.userDirs.begin(), k.userDirs.end());
  return k;
}

KillOutcome RunKillCase(const KillSetup& k, const KillPoint& point) {
  KillOutcome out;
  session::VirtualFactory factory;
  session::ModemData before;
  {
    // The modem as it leaves the factory, written to its state folder.
    cli::CliOutput print(cli::CliOutput::Style::Plain, stdout);
    SteadyClock clock;
    session::SlotSetup setup = Setup(k);
    factory.Prepare(setup.modem, 0);
    cli::CliView view(print, 0, cli::AnswerPolicy::Safe, "");
    session::UpdateSlot slot(setup, *k.session, view, clock);
    factory.Seed(*slot.modem(), 0, k.userFiles, k.userDirs);
    before = session::Snapshot(*slot.modem(), *factory.nv, k.efsPaths);
  }
  const auto sn = before.identity.find("SN");
  if (sn == before.identity.end()) {
    out.detail = "the modem has no serial number";
    return out;
  }
  out.killed = KilledUpdate(k, factory, point);
  if (!out.killed) {
    out.detail = "the line \"" + point.line + "\" never came";
    return out;
  }
  // As a user would go on: the serial number typed in, restore from the saved backup.
  const RunResult sn1 = Update(k, factory, sn->second, stdout);
  if (!sn1.finished) {
    out.detail = "the restore from the saved backup did not end";
    return out;
  }
  out.snPassed = sn1.passed;
  if (sn1.passed) {
    const std::string diff = Differences(before, sn1.after);
    out.verdict = diff.empty() ? "pass" : "false_pass";
    out.detail = diff.empty() ? "restored from the saved backup" : "restore from the saved backup passed: " + diff;
    return out;
  }
  // A restore refused (the backup was cut short) must have left the modem as it was; a plain
  // update then keeps and restores its data itself.
  const std::string untouched = Differences(before, sn1.after);
  const RunResult plain = Update(k, factory, "", stdout);
  out.plainPassed = plain.passed;
  const std::string diff = Differences(before, plain.after);
  if (!plain.finished) {
    out.detail = "the plain update after the refused restore did not end";
  } else if (plain.passed && diff.empty()) {
    out.verdict = "pass";
    out.detail = "restore refused (error " + std::to_string(sn1.code) + "), plain update passed";
  } else if (!untouched.empty() || !diff.empty()) {
    out.verdict = "lost_backup";
    out.detail = "error " + std::to_string(sn1.code) + " from the saved backup, then " +
                 (plain.passed ? "PASS" : "error " + std::to_string(plain.code)) + " with " +
                 (diff.empty() ? untouched : diff);
  } else {
    out.verdict = "fail";
    out.detail = "no rerun passed (errors " + std::to_string(sn1.code) + ", " + std::to_string(plain.code) +
                 "), the modem holds what it held";
  }
  return out;
}

int KillChildMain(const std::string& phase, const std::string& packetDir, int projectType) {
  KillOutcome o;
  std::string pattern = (fs::temp_directory_path() / "zovir-faults-kill-XXXXXX").string();
  if (!mkdtemp(pattern.data())) {
    o.detail = "no temporary folder";
  } else {
    const auto& points = KillPoints();
    const auto point = std::find_if(points.begin(), points.end(), [&](const KillPoint& p) { return p.phase == phase; });
    try {
      if (point == points.end()) throw std::runtime_error("no kill point " + phase);
      o = RunKillCase(PrepareKillSetup(pattern, packetDir, projectType), *point);
    } catch (const std::exception& e) {
      o.verdict = "error";
      o.detail = e.what();
    }
  }
  std::printf("RESULT verdict=%s said=%s code=0 stop_ms=-1 detail=%s\n", o.verdict.c_str(),
              o.snPassed || o.plainPassed ? "PASS" : "-", o.detail.c_str());
  std::fflush(stdout);
  std::error_code ec;
  if (!pattern.empty()) fs::remove_all(pattern, ec);
  return 0;
}

}  // namespace zovir::faults
