#pragma once
#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/key_value_store.h"
#include "platform/processes.h"

namespace zovir {

// The helper programs and outside tools the tool starts itself, and the driver-information
// value. Usage from the controller (all on its own thread unless noted):
//
//   LauncherContext ctx{processes, clock, [&](const std::string& l) { runLog.WriteLogLine(l); }};
//   // device check, project types 6, 19, 20 and 42:
//   if (RunDriverInstaller(ctx, imageFolder) == 1) ...;   // blocks 3000 ms
//   ResetDriverInstallerFlag(imageFolder);                 // when no modem port is present
//   // the bootloader-reboot request (see RebootRequestListener below):
//   RebootToBootloader(ctx, imageState.partitionPath, [&](const std::string& t) { view.SetStatus(t); });
//   // driver information (the USB boot download sets it itself):
//   SetDownloadSupport(store, 1, ctx.log);

using LogLineFn = std::function<void(const std::string&)>;

struct LauncherContext {
  Processes& processes;
  Clock& clock;
  LogLineFn log;  // the run log's WriteLogLine; may be empty
};

// File name of the driver installer in the image folder.
inline constexpr const char* kDriverInstallerProgram = "DriverInstaller";

// The section and value of the driver information in the settings store.
inline constexpr const char* kDriverInfoSection = "SOFTWARE\\rgdriverinfo";
inline constexpr const char* kDownloadSupportName = "DownloadSupport";

// The text the window's status label shows once the reboot has been asked for.
inline constexpr const char* kRebootStatusText = "Upgrading...";

// Starts `program` (a file name in `folder`) hidden, without arguments, in `folder`. Nothing
// is kept of the process and a program that cannot be started is not reported. True when it
// was started.
bool StartHelperHidden(Processes& processes, const std::string& folder, const std::string& program);

// Starts the driver installer of the image folder, waits 3000 ms and returns 1 when the
// folder's Config.ini then holds [Uninstall] UninstallUDisk = 1, else 0.
int RunDriverInstaller(const LauncherContext& ctx, const std::string& imageFolder,
                       const std::string& program = kDriverInstallerProgram);

// Writes [Uninstall] UninstallUDisk = 0 into the image folder's Config.ini; returns 1.
int ResetDriverInstallerFlag(const std::string& imageFolder);

// The running processes of a program, so that a launcher ends exactly the ones it caused.
class ProcessTable {
 public:
  virtual ~ProcessTable() = default;
  // Processes of this user whose executable file is named `name` (without regard to case).
  virtual std::vector<int> PidsNamed(const std::string& name) = 0;
  virtual bool End(int pid) = 0;
};
// The system's own: /proc on Linux, a snapshot of the running processes on Windows.
std::unique_ptr<ProcessTable> MakeProcessTable();
std::unique_ptr<ProcessTable> MakeLinuxProcessTable();

// Asks a modem running Android to reboot into its boot loader: runs "adb shell sys_reboot
// bootloader" (adb from the PATH, no command interpreter) in the folder of `partitionPath`
// (the tool's own folder when that is empty), with the fixed pauses (2000 ms, 5000 ms, a
// second start after 30000 ms when the first could not start, 5000 ms), then ends the adb
// programs that the command left running (its server) and none that ran before, waits
// 5000 ms and sets the status text "Upgrading...". Blocks at least 17 seconds.
void RebootToBootloader(const LauncherContext& ctx, ProcessTable& table, const std::string& partitionPath,
                        const std::function<void(const std::string&)>& setStatus);

// Writes the driver information "DownloadSupport" = "OK" (flag 1) or "NOK" (flag 0). Failures
// are only logged.
void SetDownloadSupport(KeyValueStore& store, int flag, const LogLineFn& log);

// The word another program sends to ask for the bootloader reboot.
inline constexpr const char* kRebootRequestWord = "bootloader";
// The socket's file name in the user's runtime folder.
inline constexpr const char* kRebootSocketName = "zovir-reboot.sock";

// Where another program asks the running tool for the bootloader reboot: on Linux a local
// socket in the runtime folder that takes one request word per connection and answers "OK\n"
// (a known word) or "ERROR\n"; on Windows a message-only window that takes the request
// message WM_USER + 101. A request is passed to `onRequest` on the listener's own thread; the
// controller owns the listener and posts the work to its own thread. Stops and joins its
// thread when destroyed.
class RebootRequestListener {
 public:
  RebootRequestListener(const std::string& runtimeDir, std::function<void()> onRequest);
  ~RebootRequestListener();
  RebootRequestListener(const RebootRequestListener&) = delete;
  RebootRequestListener& operator=(const RebootRequestListener&) = delete;

  // False when the listener could not be set up (another instance listens, no folder); `Error`
  // then tells why (an errno value on Linux, a system error code on Windows).
  bool Listening() const;
  int Error() const;
  // The socket's path (Linux) or the window's class name (Windows).
  const std::string& SocketPath() const;

 private:
  struct Channel;  // the system's side
  std::unique_ptr<Channel> channel_;
};

// What another program does to ask the running tool for the reboot: sends `word` and returns
// the tool's answer ("OK", "ERROR"), or nothing when no tool listens.
std::string SendRebootRequest(const std::string& runtimeDir, const std::string& word = kRebootRequestWord);

}  // namespace zovir
