#include "discovery/launchers.h"

#include <algorithm>

#include "platform/profile_file.h"

namespace zovir {
namespace {

constexpr uint32_t kDriverInstallerWaitMs = 3000;
constexpr uint32_t kRebootFirstPauseMs = 2000;
constexpr uint32_t kRebootBeforeStartMs = 5000;
constexpr uint32_t kRebootRetryPauseMs = 30000;
constexpr uint32_t kRebootAfterStartMs = 5000;
constexpr uint32_t kRebootAfterEndMs = 5000;

constexpr const char* kAdbProgram = "adb";

std::string FolderOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return {};
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string ConfigOf(const std::string& folder) { return folder + "/Config.ini"; }

void Log(const LogLineFn& log, const std::string& line) {
  if (log) log(line);
}

}  // namespace

bool StartHelperHidden(Processes& processes, const std::string& folder, const std::string& program) {
  int error = 0;
  ProcessSpec spec{folder + "/" + program, {}, folder, true};
  return processes.Start(spec, error) != nullptr;
}

int RunDriverInstaller(const LauncherContext& ctx, const std::string& imageFolder, const std::string& program) {
  StartHelperHidden(ctx.processes, imageFolder, program);
  ctx.clock.SleepMs(kDriverInstallerWaitMs);
  ProfileFile config(ConfigOf(imageFolder));
  return config.GetInt("Uninstall", "UninstallUDisk", 0) == 1 ? 1 : 0;
}

int ResetDriverInstallerFlag(const std::string& imageFolder) {
  ProfileFile config(ConfigOf(imageFolder));
  config.WriteString("Uninstall", "UninstallUDisk", "0");
  return 1;
}

void RebootToBootloader(const LauncherContext& ctx, ProcessTable& table, const std::string& partitionPath,
                        const std::function<void(const std::string&)>& setStatus) {
  ctx.clock.SleepMs(kRebootFirstPauseMs);
  // Arguments and a working folder, never a command line: no folder name can become a command.
  ProcessSpec spec{kAdbProgram, {"shell", "sys_reboot", "bootloader"}, FolderOf(partitionPath), true};
  std::vector<int> before = table.PidsNamed(kAdbProgram);

  ctx.clock.SleepMs(kRebootBeforeStartMs);
  int error = 0;
  std::unique_ptr<ProcessHandle> client = ctx.processes.Start(spec, error);
  if (client == nullptr) {
    ctx.clock.SleepMs(kRebootRetryPauseMs);
    client = ctx.processes.Start(spec, error);
  }

  ctx.clock.SleepMs(kRebootAfterStartMs);
  // The command leaves an adb server behind when none ran before; one that served the user
  // before this request is not ours to end.
  if (client != nullptr && !client->Wait(0).has_value()) client->Terminate();
  for (int pid : table.PidsNamed(kAdbProgram)) {
    if (std::find(before.begin(), before.end(), pid) != before.end()) continue;
    if (client != nullptr && pid == client->Pid()) continue;
    table.End(pid);
  }
  if (client != nullptr) client->Wait(0);
  ctx.clock.SleepMs(kRebootAfterEndMs);
  if (setStatus) setStatus(kRebootStatusText);
}

void SetDownloadSupport(KeyValueStore& store, int flag, const LogLineFn& log) {
  bool existed = store.Read(kDriverInfoSection, kDownloadSupportName).has_value();
  if (store.Write(kDriverInfoSection, kDownloadSupportName, flag == 1 ? "OK" : "NOK")) return;
  if (!existed) {
    Log(log, "Failed to create key. Do you run it in administrator's right?");
  } else {
    Log(log, "Failed to modify reg information.");
  }
}

}  // namespace zovir
