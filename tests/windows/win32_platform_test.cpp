// The Win32 platform layer under wine: registry values, processes and named mutexes, known
// folders, library loading, and a COM port with a peer on its other side.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <thread>
#include <condition_variable>
#include <mutex>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/console.h"
#include "platform/private_files.h"
#include "platform/regular_file.h"
#include "platform/serial_port.h"
#include "platform/shared_library.h"
#include "platform/system_paths.h"
#include "platform/system_services.h"
#include "platform/win32/device_enumerator_win32.h"
#include "platform/win32/key_value_store_registry.h"
#include "platform/win32/processes_win32.h"
#include "platform/win32/serial_port_win32.h"
#include "platform/win32/system_services_win32.h"
#include "platform/win32/usb_bulk_win32.h"
// After windows.h.
#include <dbt.h>

namespace zovir {
namespace {

std::string UniqueName(const char* what) {
  return std::string("ZovirTest\\") + what + std::to_string(GetCurrentProcessId());
}

TEST(Registry, ValuesSurviveAStoreAndKeepEveryCharacter) {
  const std::string root = "Software\\" + UniqueName("kv");
  {
    auto store = MakeRegistryKeyValueStore(root);
    EXPECT_FALSE(store->Read("Driver", "Installed").has_value());
    ASSERT_TRUE(store->Write("Driver", "Installed", "1"));
    ASSERT_TRUE(store->Write("Paths", "Last", "C:\\Pakete\\ファーム ウェア"));
    ASSERT_TRUE(store->Write("Paths", "Empty", ""));
  }
  auto again = MakeRegistryKeyValueStore(root);
  EXPECT_EQ(again->Read("Driver", "Installed"), "1");
  EXPECT_EQ(again->Read("Paths", "Last"), "C:\\Pakete\\ファーム ウェア");
  EXPECT_EQ(again->Read("Paths", "Empty"), "");
  EXPECT_FALSE(again->Read("Paths", "Missing").has_value());
  RegDeleteTreeW(HKEY_CURRENT_USER, win32::Wide(root).c_str());
}

// The boot driver's handshake value: the machine's, in the 64-bit view.
TEST(Registry, TheMachineStoreWritesTheSixtyFourBitView) {
  const std::string section = "SOFTWARE\\" + UniqueName("driverinfo");
  auto store = MakeMachineRegistryKeyValueStore();
  ASSERT_TRUE(store->Write(section, "DownloadSupport", "NOK"));
  ASSERT_TRUE(store->Write(section, "DownloadSupport", "OK"));
  EXPECT_EQ(store->Read(section, "DownloadSupport"), "OK");
  wchar_t text[8] = {};
  DWORD bytes = sizeof text;
  ASSERT_EQ(RegGetValueW(HKEY_LOCAL_MACHINE, win32::Wide(section).c_str(), L"DownloadSupport",
                         RRF_RT_REG_SZ | RRF_SUBKEY_WOW6464KEY, nullptr, text, &bytes),
            ERROR_SUCCESS);
  EXPECT_EQ(std::wstring(text), L"OK");
  EXPECT_EQ(bytes, 3 * sizeof(wchar_t));
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, win32::Wide(section).c_str());
  RegDeleteKeyExW(HKEY_LOCAL_MACHINE, win32::Wide("SOFTWARE\\ZovirTest").c_str(), KEY_WOW64_64KEY, 0);
}

TEST(Processes, CommandLineQuotingRoundTrips) {
  struct Case {
    std::vector<std::string> args;
    std::wstring line;
  } cases[] = {
      {{"plain"}, LR"(C:\t\h.exe plain)"},
      {{"two words"}, LR"(C:\t\h.exe "two words")"},
      {{""}, LR"(C:\t\h.exe "")"},
      {{R"(say "hi")"}, LR"(C:\t\h.exe "say \"hi\"")"},
      {{R"(C:\dir with space\)"}, LR"(C:\t\h.exe "C:\dir with space\\")"},
      {{R"(a\\b)"}, LR"(C:\t\h.exe a\\b)"},
  };
  for (const auto& c : cases) EXPECT_EQ(QuoteCommandLine(R"(C:\t\h.exe)", c.args), c.line);
}

TEST(Processes, StartsWithoutAShellAndReportsTheExitCode) {
  auto processes = MakeWin32Processes();
  wchar_t system[MAX_PATH] = {};
  GetSystemDirectoryW(system, MAX_PATH);
  ProcessSpec spec;
  // An argument a command interpreter would act on reaches the program as plain text.
  spec.program = win32::Utf8(system, wcslen(system)) + "\\cmd.exe";
  spec.args = {"/c", "exit", "7"};
  int error = -1;
  auto p = processes->Start(spec, error);
  ASSERT_NE(p, nullptr) << error;
  EXPECT_EQ(error, 0);
  EXPECT_GT(p->Pid(), 0);
  EXPECT_EQ(p->Wait(20000), 7);

  spec.program = win32::Utf8(system, wcslen(system)) + "\\no-such-program.exe";
  EXPECT_EQ(processes->Start(spec, error), nullptr);
  EXPECT_EQ(error, ERROR_FILE_NOT_FOUND);
}

TEST(Processes, NamedMutexSaysWhenAnotherHolderHasIt) {
  auto processes = MakeWin32Processes();
  const std::string name = "zovir-test-" + std::to_string(GetCurrentProcessId());
  auto first = processes->CreateNamedLock(name);
  ASSERT_NE(first, nullptr);
  EXPECT_FALSE(first->AlreadyExisted());
  {
    auto second = processes->CreateNamedLock(name);
    ASSERT_NE(second, nullptr);
    EXPECT_TRUE(second->AlreadyExisted());
  }
  first.reset();
  auto third = processes->CreateNamedLock(name);
  EXPECT_FALSE(third->AlreadyExisted());
  // The machine's name, which another session's copy meets too.
  const win32::UniqueHandle global(OpenMutexW(SYNCHRONIZE, FALSE, win32::Wide("Global\\" + name).c_str()));
  EXPECT_TRUE(global.valid());
}

// Run with a pseudo-terminal as its output, which wine shows as a console: asking whether it
// is a terminal turns on UTF-8 output and control sequences.
TEST(Console, OutputConsolesGetUtf8AndControlSequences) {
  const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  ASSERT_TRUE(GetConsoleMode(out, &mode)) << "standard output is not a console";
  ASSERT_TRUE(SetConsoleMode(out, mode & ~DWORD{ENABLE_VIRTUAL_TERMINAL_PROCESSING}));
  ASSERT_TRUE(SetConsoleOutputCP(437));

  EXPECT_TRUE(IsTerminal(StandardStream::Output));
  EXPECT_EQ(GetConsoleOutputCP(), UINT{CP_UTF8});
  ASSERT_TRUE(GetConsoleMode(out, &mode));
  EXPECT_NE(mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING, 0u);
  EXPECT_TRUE(UnderstandsControlSequences(StandardStream::Output));
  EXPECT_FALSE(UnderstandsControlSequences(StandardStream::Input));
}

// A pipe is no terminal, and no control sequences go into it.
TEST(Console, PipesGetPlainLines) {
  HANDLE reader = nullptr, writer = nullptr;
  ASSERT_TRUE(CreatePipe(&reader, &writer, nullptr, 0));
  const win32::UniqueHandle r(reader), w(writer);
  const HANDLE before = GetStdHandle(STD_OUTPUT_HANDLE);
  SetStdHandle(STD_OUTPUT_HANDLE, w.get());
  EXPECT_FALSE(IsTerminal(StandardStream::Output));
  EXPECT_FALSE(UnderstandsControlSequences(StandardStream::Output));
  SetStdHandle(STD_OUTPUT_HANDLE, before);
}

TEST(SystemPaths, PerUserApplicationDataAndTheTemporaryFolder) {
  _wputenv(L"ZOVIR_HOME=");
  _wputenv(L"ZOVIR_TEMP_DIR=");
  const SystemPaths p = SystemPathsFromEnvironment();
  wchar_t local[MAX_PATH] = {};
  GetEnvironmentVariableW(L"LOCALAPPDATA", local, MAX_PATH);
  const std::string base = win32::Utf8(local, wcslen(local)) + "\\Quorvel_ZOVIR";
  EXPECT_EQ(p.backupRoot, base + "\\Backup");
  EXPECT_EQ(p.logDir, base + "\\logs");
  EXPECT_EQ(p.configDir, base);
  EXPECT_EQ(p.runtimeDir.substr(1, 2), ":\\");
  EXPECT_NE(p.runtimeDir.back(), '\\');

  _wputenv(L"ZOVIR_HOME=D:\\zovir");
  EXPECT_EQ(SystemPathsFromEnvironment().backupRoot, "D:\\zovir\\Backup");
  // A relative value would tie the folders to the current folder: ignored.
  _wputenv(L"ZOVIR_HOME=relative\\zovir");
  EXPECT_EQ(SystemPathsFromEnvironment().backupRoot, base + "\\Backup");
  _wputenv(L"ZOVIR_HOME=");
}

// The tool's paths are UTF-8 strings: a user folder named in Japanese or with accents must be
// the folder the system's wide calls see, through the file seam and the C library alike, and the
// programs' code page is UTF-8 (their arguments arrive as UTF-8).
TEST(SystemPaths, Utf8PathsReachTheSystemUnchanged) {
  EXPECT_EQ(GetACP(), static_cast<UINT>(CP_UTF8));
  wchar_t temp[MAX_PATH + 1] = {};
  GetTempPathW(MAX_PATH + 1, temp);
  const std::string folder = win32::Utf8(temp, wcslen(temp)) + "\xE3\x83\x86\xE3\x82\xB9\xE3\x83\x88-Jos\xC3\xA9";
  const std::wstring wide = win32::Wide(folder);
  ASSERT_EQ(wide.substr(wide.size() - 8), L"\u30C6\u30B9\u30C8-Jos\u00E9");
  ASSERT_TRUE(CreatePrivateFolders(folder + "\\Backup"));
  EXPECT_NE(GetFileAttributesW((wide + L"\\Backup").c_str()), INVALID_FILE_ATTRIBUTES);
  std::FILE* f = OpenStdioFile(folder + "\\run.log", "wb");
  ASSERT_NE(f, nullptr);
  std::fputs("line", f);
  std::fclose(f);
  EXPECT_NE(GetFileAttributesW((wide + L"\\run.log").c_str()), INVALID_FILE_ATTRIBUTES);
  std::string text;
  EXPECT_TRUE(ReadRegularFile(folder + "\\run.log", 100, text));
  EXPECT_EQ(text, "line");
  // Such a folder as the tool's home reaches the narrow std::filesystem calls of the core in a
  // form they read right.
  _wputenv_s(L"ZOVIR_HOME", wide.c_str());
  const SystemPaths home = SystemPathsFromEnvironment();
  _wputenv(L"ZOVIR_HOME=");
  EXPECT_TRUE(std::all_of(home.logDir.begin(), home.logDir.end(), [](char c) { return c > 0; })) << home.logDir;
  ASSERT_TRUE(CreatePrivateFolders(home.logDir));
  EXPECT_TRUE(std::filesystem::is_directory(home.logDir));
  EXPECT_NE(GetFileAttributesW((wide + L"\\logs").c_str()), INVALID_FILE_ATTRIBUTES);
  DeleteFileW((wide + L"\\run.log").c_str());
  RemoveDirectoryW((wide + L"\\logs").c_str());
  RemoveDirectoryW((wide + L"\\Backup").c_str());
  RemoveDirectoryW(wide.c_str());
}

TEST(SharedLibrary, LoadsByPathOnlyAndFindsExports) {
  std::string error;
  EXPECT_EQ(SharedLibrary::Load("kernel32.dll", &error), nullptr);
  EXPECT_NE(error.find("not a path"), std::string::npos);
  wchar_t system[MAX_PATH] = {};
  GetSystemDirectoryW(system, MAX_PATH);
  auto lib = SharedLibrary::Load(win32::Utf8(system, wcslen(system)) + "\\kernel32.dll", &error);
  ASSERT_NE(lib, nullptr) << error;
  EXPECT_NE(lib->Find("GetTickCount"), nullptr);
  EXPECT_EQ(lib->Find("NoSuchExport"), nullptr);
  EXPECT_EQ(SharedLibrary::Load("C:\\nowhere\\none.dll", &error), nullptr);
}

// A path relative to the current folder or with forward slashes is made whole before the
// system, which takes a library's folder only from a full path, sees it; a bare name is never
// looked for in the current folder.
TEST(SharedLibrary, RelativePathsAreMadeWholeAndTheCurrentFolderIsNeverSearched) {
  wchar_t system[MAX_PATH] = {}, before[MAX_PATH] = {};
  GetSystemDirectoryW(system, MAX_PATH);
  GetCurrentDirectoryW(MAX_PATH, before);
  ASSERT_TRUE(SetCurrentDirectoryW(system));
  std::string error;
  for (const char* path : {".\\msvcrt.dll", "..\\system32\\msvcrt.dll"}) {
    auto lib = SharedLibrary::Load(path, &error);
    EXPECT_NE(lib, nullptr) << path << ": " << error;
  }
  const std::string slashes = win32::Utf8(system, wcslen(system)) + "/msvcrt.dll";
  EXPECT_NE(SharedLibrary::Load(slashes, &error), nullptr) << error;

  // A library of the program's own name in the current folder stays unseen.
  wchar_t temp[MAX_PATH] = {};
  GetTempPathW(MAX_PATH, temp);
  const std::wstring folder = std::wstring(temp) + L"zovir-dll-" + std::to_wstring(GetCurrentProcessId());
  CreateDirectoryW(folder.c_str(), nullptr);
  const std::wstring planted = folder + L"\\zovirplanted.dll";
  ASSERT_TRUE(CopyFileW((std::wstring(system) + L"\\msvcrt.dll").c_str(), planted.c_str(), FALSE));
  ASSERT_TRUE(SetCurrentDirectoryW(folder.c_str()));
  const HMODULE found = LoadLibraryW(L"zovirplanted.dll");
  EXPECT_EQ(found, nullptr);
  if (found != nullptr) FreeLibrary(found);
  SetCurrentDirectoryW(before);
  DeleteFileW(planted.c_str());
  RemoveDirectoryW(folder.c_str());
}

TEST(SystemServices, SleepIsHeldOffWhileTheRequestLivesAndNoModemManagerIsAsked) {
  auto services = MakeSystemServices();
  std::vector<std::string> log;
  const auto logLine = [&](const std::string& line) { log.push_back(line); };
  EXPECT_EQ(services->InhibitModemManager("USB\\VID_05C6&PID_9025\\0123", logLine), nullptr);
  auto awake = services->InhibitSleep("Updating the modem's firmware", logLine);
  EXPECT_NE(awake, nullptr);
  EXPECT_TRUE(log.empty()) << log.front();
  awake.reset();
}

// The system's requests to end while an update holds the machine: Ctrl-C and Ctrl-Break are
// the program's stop; a closing console, a log-off and a shutdown stop it as well and are held
// off until the update has let go; a session's end is refused unless it is a critical one.
TEST(SystemServices, EndRequestsAreStopsWhileAnUpdateHolds) {
  using win32::EndRequest;
  struct Event {
    DWORD type;
    EndRequest updating;
  } events[] = {{CTRL_C_EVENT, EndRequest::Stop},
                {CTRL_BREAK_EVENT, EndRequest::Stop},
                {CTRL_CLOSE_EVENT, EndRequest::StopAndWait},
                {CTRL_LOGOFF_EVENT, EndRequest::StopAndWait},
                {CTRL_SHUTDOWN_EVENT, EndRequest::StopAndWait},
                {7, EndRequest::PassOn}};
  for (const auto& e : events) {
    EXPECT_EQ(win32::ConsoleEventRequest(e.type, true), e.updating) << e.type;
    EXPECT_EQ(win32::ConsoleEventRequest(e.type, false), EndRequest::PassOn) << e.type;
  }
  struct Query {
    LPARAM reason;
    bool mayEnd;
  } queries[] = {{0, false},
                 {static_cast<LPARAM>(ENDSESSION_LOGOFF), false},
                 {static_cast<LPARAM>(ENDSESSION_CLOSEAPP), false},
                 {static_cast<LPARAM>(ENDSESSION_CRITICAL), true},
                 {static_cast<LPARAM>(ENDSESSION_CRITICAL | ENDSESSION_LOGOFF), true}};
  for (const auto& q : queries) {
    EXPECT_EQ(win32::MayEndSession(q.reason, true), q.mayEnd) << q.reason;
    EXPECT_TRUE(win32::MayEndSession(q.reason, false)) << q.reason;
  }
  EXPECT_GE(win32::StopGrantMs(), 500u);
  EXPECT_LT(win32::StopGrantMs(), 60000u);
}

std::atomic<int> gInterrupts{0}, gTerminations{0};
extern "C" void CountStop(int signal) {
  std::signal(signal, CountStop);
  ++(signal == SIGINT ? gInterrupts : gTerminations);
}

// What Windows calls when the console closes under an update: the program's own stop handler
// runs, and the process is not let go until the update has ended.
TEST(SystemServices, AClosingConsoleStopsTheUpdateAndWaitsForItsEnd) {
  std::signal(SIGINT, CountStop);
  std::signal(SIGTERM, CountStop);
  const int interrupts = gInterrupts, terminations = gTerminations;
  auto services = MakeSystemServices();
  EXPECT_FALSE(win32::OnConsoleControl(CTRL_CLOSE_EVENT)) << "nothing held: the system's default";

  std::mutex mutex;
  std::vector<std::string> log;
  auto hold = services->InhibitSleep("Updating the modem's firmware", [&](const std::string& line) {
    std::lock_guard lock(mutex);
    log.push_back(line);
  });
  ASSERT_NE(hold, nullptr);
  EXPECT_TRUE(win32::OnConsoleControl(CTRL_BREAK_EVENT));
  EXPECT_EQ(gInterrupts, interrupts + 1);

  std::atomic<bool> returned{false};
  std::thread closing([&] {
    EXPECT_TRUE(win32::OnConsoleControl(CTRL_CLOSE_EVENT));
    returned = true;
  });
  for (int i = 0; i < 1000 && gTerminations == terminations; ++i) Sleep(10);
  EXPECT_EQ(gTerminations, terminations + 1);
  EXPECT_FALSE(returned) << "the process would end before the update stopped";
  hold.reset();
  closing.join();
  EXPECT_TRUE(returned);
  std::lock_guard lock(mutex);
  EXPECT_EQ(log, std::vector<std::string>{"The console is closing: the update stops now"});
  std::signal(SIGINT, SIG_DFL);
  std::signal(SIGTERM, SIG_DFL);
}

// Wine has no USB boot driver, so its class lists no board; a board's pipe is a file below
// its device path, which a folder and a file stand in for.
TEST(UsbBulk, NoBoardListedAndAPipeTakesEveryByte) {
  auto usb = MakeWin32UsbBulk();
  int error = -1;
  EXPECT_TRUE(usb->ListDevices(error).empty());
  EXPECT_EQ(error, 0);
  wchar_t temp[MAX_PATH] = {};
  GetTempPathW(MAX_PATH, temp);
  const std::string board = win32::Utf8(temp, wcslen(temp)) + UniqueName("usb").substr(sizeof "ZovirTest");
  EXPECT_FALSE(usb->CanOpen(board, error));
  EXPECT_TRUE(error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) << error;
  EXPECT_EQ(usb->OpenPipe(board + "\\PIPE01", error), nullptr);
  EXPECT_EQ(error, ERROR_PATH_NOT_FOUND);

  ASSERT_TRUE(CreateDirectoryW(win32::Wide(board).c_str(), nullptr));
  const std::wstring pipePath = win32::Wide(board + "\\PIPE01");
  CloseHandle(CreateFileW(pipePath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
  {
    auto pipe = usb->OpenPipe(board + "\\PIPE01", error);
    ASSERT_NE(pipe, nullptr) << error;
    const uint8_t length[4] = {5, 0, 0, 0}, image[5] = {'x', 'l', 'o', 'a', 'd'};
    size_t written = 0;
    EXPECT_TRUE(pipe->Write(length, sizeof length, written, error));
    EXPECT_EQ(written, 4u);
    EXPECT_TRUE(pipe->Write(image, sizeof image, written, error));
    EXPECT_EQ(written, 5u);
  }
  win32::UniqueHandle back(CreateFileW(pipePath.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
  char bytes[16] = {};
  DWORD got = 0;
  ASSERT_TRUE(ReadFile(back.get(), bytes, sizeof bytes, &got, nullptr));
  EXPECT_EQ(std::string(bytes, got), std::string("\x05\0\0\0xload", 9));
  back.reset();
  DeleteFileW(pipePath.c_str());
  RemoveDirectoryW(win32::Wide(board).c_str());
}

// The system's map of serial ports, as wine fills it from its own port links.
class SerialComm {
 public:
  SerialComm() {
    RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, nullptr, REG_OPTION_VOLATILE,
                    KEY_ALL_ACCESS, nullptr, &key_, nullptr);
  }
  ~SerialComm() {
    RegDeleteValueW(key_, kValue);
    RegCloseKey(key_);
  }
  void Plug(const wchar_t* port) {
    RegSetValueExW(key_, kValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(port),
                   static_cast<DWORD>((wcslen(port) + 1) * sizeof(wchar_t)));
  }
  void Unplug() { RegDeleteValueW(key_, kValue); }

 private:
  static constexpr const wchar_t* kValue = L"\\Device\\ZovirUsbSer0";
  HKEY key_ = nullptr;
};

TEST(DeviceEnumerator, ListsTheMapOfSerialPortsAndThePortsClass) {
  SerialComm map;
  map.Plug(L"COM42");
  auto e = MakeWin32DeviceEnumerator();
  std::vector<SerialCommEntry> ports;
  ASSERT_TRUE(e->ListSerialPorts(ports));
  bool usb = false;
  for (const auto& p : ports) {
    if (p.PortName == "COM42") {
      usb = true;
      EXPECT_EQ(p.ValueName, "\\Device\\ZovirUsbSer0");
      EXPECT_FALSE(p.LegacyUart);
    }
    if (p.ValueName.rfind("\\Device\\Serial", 0) == 0) {
      EXPECT_TRUE(p.LegacyUart) << p.PortName;
    }
  }
  EXPECT_TRUE(usb);
  // wine has no USB modem in its ports class; the call itself must work.
  std::vector<PortDevice> devices{PortDevice{}};
  EXPECT_TRUE(e->ListPortDevices(devices));
  for (const auto& d : devices) EXPECT_EQ(d.Path.rfind("\\\\.\\COM", 0), 0u) << d.FriendlyName;
}

TEST(DeviceMonitor, PortsThatComeAndGoBecomeEventsOnItsThread) {
  SerialComm map;
  std::mutex m;
  std::condition_variable changed;
  std::vector<DeviceEvent> events;
  auto enumerator = MakeWin32DeviceEnumerator();
  Win32DeviceMonitor monitor(*enumerator);
  ASSERT_TRUE(monitor.Start([&](const DeviceEvent& e) {
    const std::lock_guard lock(m);
    events.push_back(e);
    changed.notify_all();
  }));
  auto hwnd = static_cast<HWND>(monitor.WindowHandle());
  ASSERT_NE(hwnd, nullptr);
  auto waitFor = [&](size_t n) {
    std::unique_lock lock(m);
    return changed.wait_for(lock, std::chrono::seconds(20), [&] { return events.size() >= n; });
  };
  // A change of the device tree: the map is read again.
  map.Plug(L"COM42");
  SendMessageW(hwnd, WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0);
  ASSERT_TRUE(waitFor(1));
  // A port's own notice.
  std::vector<BYTE> notice(sizeof(DEV_BROADCAST_PORT_W) + 16 * sizeof(wchar_t));
  auto* port = reinterpret_cast<DEV_BROADCAST_PORT_W*>(notice.data());
  port->dbcp_size = static_cast<DWORD>(notice.size());
  port->dbcp_devicetype = DBT_DEVTYP_PORT;
  wcscpy(port->dbcp_name, L"COM43");
  SendMessageW(hwnd, WM_DEVICECHANGE, DBT_DEVICEARRIVAL, reinterpret_cast<LPARAM>(port));
  ASSERT_TRUE(waitFor(2));
  SendMessageW(hwnd, WM_DEVICECHANGE, DBT_DEVICEREMOVECOMPLETE, reinterpret_cast<LPARAM>(port));
  map.Unplug();
  SendMessageW(hwnd, WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0);
  ASSERT_TRUE(waitFor(4));
  monitor.Stop();
  monitor.Stop();
  const std::lock_guard lock(m);
  ASSERT_EQ(events.size(), 4u);
  const struct {
    DeviceEventKind kind;
    const char* port;
  } want[] = {{DeviceEventKind::Arrival, "COM42"},
              {DeviceEventKind::Arrival, "COM43"},
              {DeviceEventKind::Removal, "COM43"},
              {DeviceEventKind::Removal, "COM42"}};
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(events[i].kind, want[i].kind) << i;
    EXPECT_EQ(events[i].PortName, want[i].port) << i;
    EXPECT_EQ(events[i].Path, std::string("\\\\.\\") + want[i].port) << i;
  }
}

// A notice that comes before the system has listed the port: the second look shortly after
// finds it, with no further notice and no polling.
TEST(DeviceMonitor, ASecondLookAfterANoticeFindsAPortListedLate) {
  SerialComm map;
  std::mutex m;
  std::condition_variable changed;
  std::vector<DeviceEvent> events;
  auto enumerator = MakeWin32DeviceEnumerator();
  Win32DeviceMonitor monitor(*enumerator);
  ASSERT_TRUE(monitor.Start([&](const DeviceEvent& e) {
    const std::lock_guard lock(m);
    events.push_back(e);
    changed.notify_all();
  }));
  const auto hwnd = static_cast<HWND>(monitor.WindowHandle());
  ASSERT_NE(hwnd, nullptr);
  SendMessageW(hwnd, WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0);
  map.Plug(L"COM44");
  std::unique_lock lock(m);
  ASSERT_TRUE(changed.wait_for(lock, std::chrono::seconds(20), [&] { return !events.empty(); }));
  EXPECT_EQ(events[0].kind, DeviceEventKind::Arrival);
  EXPECT_EQ(events[0].PortName, "COM44");
  lock.unlock();
  monitor.Stop();
}

// A device map names the virtual modem's ports; the monitor sees its changes by rescanning.
TEST(DeviceEnumerator, TheDeviceMapAddsPortsAndTheMonitorFollowsIt) {
  SerialComm system;
  system.Plug(L"COM7");
  std::mutex m;
  std::vector<MappedPort> map = {
      {"COM7", "/dev/pts/4", "Quorvel HS-USB Diagnostics 9025 (COM7)", "USB\\VID_05C6&PID_9025&REV_0000&MI_00"},
      {"COM8", "/dev/pts/5", "", ""},
      {"COM9", "", "Quorvel HS-USB Modem AT Port 9025 (COM9)", "USB\\VID_05C6&PID_9025&REV_0000&MI_02"},
      {"LPT1", "/dev/lp0", "", ""}};
  Win32DeviceEnumeratorOptions options;
  options.mappedPorts = [&] {
    const std::lock_guard lock(m);
    return map;
  };
  auto e = MakeWin32DeviceEnumerator(options);
  std::vector<PortDevice> devices;
  ASSERT_TRUE(e->ListPortDevices(devices));
  ASSERT_EQ(devices.size(), 1u);
  EXPECT_EQ(devices[0].FriendlyName, "Quorvel HS-USB Diagnostics 9025 (COM7)");
  EXPECT_EQ(devices[0].DeviceDesc, "Quorvel HS-USB Diagnostics 9025");
  EXPECT_EQ(devices[0].Path, "\\\\.\\COM7");
  EXPECT_EQ(devices[0].Vid, 0x05C6);
  EXPECT_EQ(devices[0].Pid, 0x9025);
  EXPECT_EQ(devices[0].Interface, 0);
  std::vector<SerialCommEntry> ports;
  ASSERT_TRUE(e->ListSerialPorts(ports));
  std::vector<std::string> names;
  for (const auto& p : ports)
    if (p.ValueName.rfind("\\Device\\Serial", 0) != 0) names.push_back(p.PortName + "=" + p.ValueName);
  // The map's COM7 replaces the system's; COM9 has no Path (gone) and LPT1 is no COM port.
  EXPECT_EQ(names, (std::vector<std::string>{"COM7=/dev/pts/4", "COM8=/dev/pts/5"}));

  std::vector<DeviceEvent> events;
  std::condition_variable changed;
  Win32DeviceMonitor monitor(*e, {50});
  ASSERT_TRUE(monitor.Start([&](const DeviceEvent& ev) {
    const std::lock_guard lock(m);
    events.push_back(ev);
    changed.notify_all();
  }));
  // COM8 goes, COM9 comes, and COM7 comes back on another node at once.
  {
    const std::lock_guard lock(m);
    map[0].Path = "/dev/pts/7";
    map[1].Path.clear();
    map[2].Path = "/dev/pts/6";
  }
  std::unique_lock lock(m);
  ASSERT_TRUE(changed.wait_for(lock, std::chrono::seconds(20), [&] { return events.size() >= 4; }));
  std::vector<std::string> seen;
  for (const auto& ev : events)
    seen.push_back((ev.kind == DeviceEventKind::Arrival ? "+" : "-") + ev.PortName + " " + ev.Path);
  EXPECT_EQ(seen, (std::vector<std::string>{"-COM7 \\\\.\\COM7", "-COM8 \\\\.\\COM8", "+COM7 \\\\.\\COM7",
                                            "+COM9 \\\\.\\COM9"}));
  lock.unlock();
  monitor.Stop();
}

// COM9 is mapped to a pseudo-terminal whose peer answers every byte in upper case.
TEST(SerialPort, OnlyComNamesOpen) {
  Win32SerialPortFactory factory;
  int error = 0;
  for (const char* name : {"C:\\Windows\\win.ini", "COM", "COM1x", "\\\\.\\COM9", "LPT1"}) {
    EXPECT_EQ(factory.Open(name, error), nullptr) << name;
    EXPECT_EQ(error, ERROR_INVALID_NAME) << name;
  }
  EXPECT_EQ(factory.Open("COM250", error), nullptr);
  EXPECT_NE(error, 0);
}

TEST(SerialPort, SettingsTimeoutsAndAnExchangeWithThePeer) {
  Win32SerialPortFactory factory;
  int error = 0;
  auto port = factory.Open("COM9", error);
  ASSERT_NE(port, nullptr) << "error " << error;
  EXPECT_EQ(port->Name(), "COM9");
  // Not checked here: that a second open fails while this one holds the port (wine does not
  // enforce the share mode on a device), and DTR (a pseudo-terminal has no modem-control lines).

  LineSettings line;
  line.BaudRate = 115200;
  line.fDtrControl = LineControl::Enable;
  line.fRtsControl = LineControl::Enable;
  ASSERT_TRUE(port->SetLineSettings(line)) << port->LastError();
  LineSettings back;
  ASSERT_TRUE(port->GetLineSettings(back));
  EXPECT_EQ(back.BaudRate, 115200u);
  EXPECT_EQ(back.ByteSize, 8);
  EXPECT_EQ(back.parity, Parity::None);
  EXPECT_EQ(back.stopBits, StopBits::One);

  const CommTimeouts waitFor{MAXDWORD, MAXDWORD, 3000, 0, 3000};
  ASSERT_TRUE(port->SetTimeouts(waitFor));
  CommTimeouts t;
  ASSERT_TRUE(port->GetTimeouts(t));
  EXPECT_EQ(t.ReadIntervalTimeout, MAXDWORD);
  EXPECT_EQ(t.ReadTotalTimeoutConstant, 3000u);
  ASSERT_TRUE(port->SetQueueSizes(4096, 4096));
  ASSERT_TRUE(port->Purge(PURGE_ALL));
  uint32_t errors = 1;
  ASSERT_TRUE(port->ClearError(errors));
  EXPECT_EQ(errors, 0u);

  const char ping[] = "at+ping\r";
  uint32_t written = 0;
  ASSERT_TRUE(port->Write(reinterpret_cast<const uint8_t*>(ping), sizeof ping - 1, written));
  EXPECT_EQ(written, sizeof ping - 1);
  std::string reply;
  for (int i = 0; i < 20 && reply.size() < written; ++i) {
    uint8_t buffer[64];
    uint32_t got = 0;
    ASSERT_TRUE(port->Read(buffer, sizeof buffer, got)) << port->LastError();
    reply.append(reinterpret_cast<char*>(buffer), got);
  }
  EXPECT_EQ(reply, "AT+PING\r");

  // The first-byte form hands over what came as soon as something came, whatever the buffer's
  // size: a reply never waits for the total time-out.
  ASSERT_TRUE(port->SetTimeouts({MAXDWORD, MAXDWORD, 20000, 0, 3000}));
  ASSERT_TRUE(port->Write(reinterpret_cast<const uint8_t*>(ping), sizeof ping - 1, written));
  {
    const auto sent = std::chrono::steady_clock::now();
    std::vector<uint8_t> large(0x4000);
    uint32_t got = 0;
    reply.clear();
    while (reply.size() < written && std::chrono::steady_clock::now() - sent < std::chrono::seconds(30)) {
      ASSERT_TRUE(port->Read(large.data(), static_cast<uint32_t>(large.size()), got)) << port->LastError();
      ASSERT_GT(got, 0u) << "a read waited out its total time-out with the reply on its way";
      reply.append(reinterpret_cast<char*>(large.data()), got);
    }
    EXPECT_EQ(reply, "AT+PING\r");
    EXPECT_LT(std::chrono::steady_clock::now() - sent, std::chrono::seconds(15));
  }

  // Nothing queued: a read returns empty once its total time-out has passed, not before.
  ASSERT_TRUE(port->SetTimeouts({MAXDWORD, MAXDWORD, 300, 0, 3000}));
  uint32_t waiting = 1;
  ASSERT_TRUE(port->BytesWaiting(waiting));
  EXPECT_EQ(waiting, 0u);
  const auto start = std::chrono::steady_clock::now();
  uint8_t buffer[16];
  uint32_t got = 1;
  ASSERT_TRUE(port->Read(buffer, sizeof buffer, got));
  EXPECT_EQ(got, 0u);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(250));

  EXPECT_TRUE(port->Close());
  EXPECT_TRUE(port->Close());
  // Closed: the port can be opened again.
  EXPECT_NE(factory.Open("COM9", error), nullptr);
}

}  // namespace
}  // namespace zovir
