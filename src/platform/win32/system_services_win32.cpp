#include "platform/win32/system_services_win32.h"

#include <csignal>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

namespace zovir {
namespace win32 {

EndRequest ConsoleEventRequest(DWORD controlType, bool updating) {
  if (!updating) return EndRequest::PassOn;
  switch (controlType) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
      return EndRequest::Stop;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      return EndRequest::StopAndWait;
    default:
      return EndRequest::PassOn;
  }
}

bool MayEndSession(LPARAM reason, bool updating) {
  return !updating || (static_cast<DWORD>(reason) & ENDSESSION_CRITICAL) != 0;
}

DWORD StopGrantMs() {
  // The system's wait for a program that does not end: SPI_GETHUNGAPPTIMEOUT for a closing
  // console, the same five seconds by default for a session's end.
  UINT grantedMs = 0;
  if (!SystemParametersInfoW(SPI_GETHUNGAPPTIMEOUT, 0, &grantedMs, 0) || grantedMs < 1000) grantedMs = 5000;
  return grantedMs - 500;
}

}  // namespace win32

namespace {

using Log = SystemServices::Log;

// The updates holding the machine now. Console control handlers and the session's end reach
// the program through functions without a context of their own, so the one set of the process
// lives here, made on first use.
class Holds {
 public:
  static Holds& Instance() {
    static Holds holds;
    return holds;
  }
  // A process that ends with an update still holding (exit from another thread) leaves the
  // window's thread to the system.
  ~Holds() {
    if (windowThread_.joinable()) windowThread_.detach();
  }

  int Add(const Log& log) {
    std::unique_lock lock(mutex_);
    const int id = nextId_++;
    logs_[id] = log;
    if (logs_.size() == 1) {
      SetConsoleCtrlHandler(win32::OnConsoleControl, TRUE);
      window_ = nullptr;
      windowDone_ = false;
      windowThread_ = std::thread([this] { WindowThread(); });
      // The window exists (or could not be made) before the update starts writing.
      changed_.wait(lock, [this] { return window_ != nullptr || windowDone_; });
    }
    return id;
  }

  void Remove(int id) {
    std::thread ending;
    {
      std::lock_guard lock(mutex_);
      logs_.erase(id);
      if (logs_.empty()) {
        SetConsoleCtrlHandler(win32::OnConsoleControl, FALSE);
        if (window_ != nullptr) PostMessageW(window_, WM_CLOSE, 0, 0);
        ending = std::move(windowThread_);
      }
    }
    changed_.notify_all();
    if (ending.joinable()) ending.join();
  }

  bool Updating() {
    std::lock_guard lock(mutex_);
    return !logs_.empty();
  }

  // Asks the program to stop through its own handler of `signal` and says why; for the ends
  // that come anyway, waits until every update has let go or the grant is over.
  void Stop(int signal, const std::string& why, bool wait) {
    std::unique_lock lock(mutex_);
    for (auto& [id, log] : logs_)
      if (log && !why.empty()) log(why);
    lock.unlock();
    RaiseToHandler(signal);
    if (!wait) return;
    lock.lock();
    changed_.wait_for(lock, std::chrono::milliseconds(win32::StopGrantMs()), [this] { return logs_.empty(); });
  }

 private:
  // Only a handler the program installed is called: the C library's default would end the
  // process at once, which is what the stop is there to prevent.
  static void RaiseToHandler(int signal) {
    const auto handler = std::signal(signal, SIG_IGN);
    std::signal(signal, handler);
    if (handler != SIG_DFL && handler != SIG_IGN && handler != SIG_ERR) std::raise(signal);
  }

  static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    Holds& holds = Instance();
    switch (message) {
      case WM_QUERYENDSESSION:
        return win32::MayEndSession(lParam, holds.Updating()) ? TRUE : FALSE;
      case WM_ENDSESSION:
        // The session ends although we asked it not to (or could not ask): the process is
        // ended when this returns, so the update is stopped first.
        if (wParam && holds.Updating())
          holds.Stop(SIGTERM, "Windows is ending the session: the update stops now", true);
        return 0;
      case WM_CLOSE:
        DestroyWindow(window);
        return 0;
      case WM_DESTROY:
        ShutdownBlockReasonDestroy(window);
        PostQuitMessage(0);
        return 0;
      default:
        return DefWindowProcW(window, message, wParam, lParam);
    }
  }

  // A console program has no window for the session's end to ask, and since it uses the
  // window functions the system no longer sends it log-off and shutdown control events: a
  // hidden top-level window of its own is asked instead (a message-only window would not be,
  // as it receives no broadcasts), and carries the reason shown while it blocks the shutdown.
  void WindowThread() {
    static constexpr wchar_t kClass[] = L"Quorvel_ZOVIR.UpdateHold";
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = WindowProc;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = kClass;
    RegisterClassW(&windowClass);  // already there from an earlier update: fine
    const HWND window = CreateWindowExW(0, kClass, L"Quorvel_ZOVIR", WS_OVERLAPPED, 0, 0, 0, 0, nullptr, nullptr,
                                        windowClass.hInstance, nullptr);
    if (window != nullptr) ShutdownBlockReasonCreate(window, L"A modem's firmware is being written");
    {
      std::lock_guard lock(mutex_);
      window_ = window;
      windowDone_ = window == nullptr;
    }
    changed_.notify_all();
    if (window == nullptr) return;
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
    std::lock_guard lock(mutex_);
    window_ = nullptr;
    windowDone_ = true;
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  std::map<int, Log> logs_;
  int nextId_ = 0;
  std::thread windowThread_;
  HWND window_ = nullptr;
  bool windowDone_ = false;
};

// The machine stays awake, with the update's work going on, while this lives: a power request
// for the system and for execution (which the user's own sleep through the start menu
// respects, unlike the thread's execution state alone); the thread's execution state where
// the system has no power requests. The console's and session's end are held off as well.
class UpdateHold final : public Held {
 public:
  UpdateHold(win32::UniqueHandle request, bool threadState, const Log& log)
      : request_(std::move(request)), threadState_(threadState), id_(Holds::Instance().Add(log)) {}
  ~UpdateHold() override {
    Holds::Instance().Remove(id_);
    if (request_.valid()) {
      PowerClearRequest(request_.get(), PowerRequestExecutionRequired);
      PowerClearRequest(request_.get(), PowerRequestSystemRequired);
    }
    if (threadState_) SetThreadExecutionState(ES_CONTINUOUS);
  }

 private:
  win32::UniqueHandle request_;
  bool threadState_;
  int id_;
};

win32::UniqueHandle PowerRequest(const std::string& why) {
  std::wstring reason = win32::Wide(why);
  REASON_CONTEXT context{};
  context.Version = POWER_REQUEST_CONTEXT_VERSION;
  context.Flags = POWER_REQUEST_CONTEXT_SIMPLE_STRING;
  context.Reason.SimpleReasonString = reason.data();
  win32::UniqueHandle request(PowerCreateRequest(&context));
  if (!request.valid() || !PowerSetRequest(request.get(), PowerRequestSystemRequired)) return {};
  // Execution-required keeps a program's work going on systems that would otherwise suspend
  // it (modern standby); older systems do not know it, and system-required covers them.
  PowerSetRequest(request.get(), PowerRequestExecutionRequired);
  return request;
}

class Win32SystemServices final : public SystemServices {
 public:
  // Windows has no modem manager that opens a modem's ports behind the tool's back.
  std::unique_ptr<Held> InhibitModemManager(const std::string&, const Log&) override { return nullptr; }

  std::unique_ptr<Held> InhibitSleep(const std::string& why, const Log& log) override {
    win32::UniqueHandle request = PowerRequest(why);
    bool threadState = false;
    if (!request.valid()) {
      if (SetThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED) == 0) {
        if (log) log("sleep is not held off (error " + std::to_string(GetLastError()) + ")");
        return nullptr;
      }
      threadState = true;
    }
    return std::make_unique<UpdateHold>(std::move(request), threadState, log);
  }
};

}  // namespace

namespace win32 {

BOOL WINAPI OnConsoleControl(DWORD controlType) {
  Holds& holds = Holds::Instance();
  switch (ConsoleEventRequest(controlType, holds.Updating())) {
    case EndRequest::PassOn:
      return FALSE;
    case EndRequest::Stop:
      holds.Stop(SIGINT, "", false);
      return TRUE;
    case EndRequest::StopAndWait:
      holds.Stop(SIGTERM,
                 controlType == CTRL_CLOSE_EVENT ? "The console is closing: the update stops now"
                                                 : "Windows is ending the session: the update stops now",
                 true);
      return TRUE;
  }
  return FALSE;
}

}  // namespace win32

std::unique_ptr<SystemServices> MakeSystemServices() { return std::make_unique<Win32SystemServices>(); }

}  // namespace zovir
