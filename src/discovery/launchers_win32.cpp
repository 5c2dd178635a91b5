// The Windows side of the launchers: the process table from a snapshot of the running
// processes, and the bootloader-reboot request as the window message other programs send.
#include <windows.h>
// After windows.h, which it needs and does not include.
#include <tlhelp32.h>

#include <cwctype>
#include <future>
#include <thread>
#include <vector>

#include "discovery/launchers.h"

namespace zovir {
namespace {

constexpr UINT kRebootRequestMessage = WM_USER + 101;
constexpr const wchar_t* kRequestWindowClass = L"Quorvel_ZOVIR.RebootRequest";
constexpr UINT kRequestTimeoutMs = 2000;

std::wstring Wide(const std::string& s) {
  std::wstring out(s.size(), L'\0');
  const int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), out.data(),
                                    static_cast<int>(out.size()));
  out.resize(n > 0 ? static_cast<size_t>(n) : 0);
  return out;
}

bool SameNoCase(const std::wstring& a, const std::wstring& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::towlower(a[i]) != std::towlower(b[i])) return false;
  return true;
}

class Handle {
 public:
  explicit Handle(HANDLE h) : h_(h) {}
  ~Handle() {
    if (h_ != nullptr && h_ != INVALID_HANDLE_VALUE) CloseHandle(h_);
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  HANDLE get() const { return h_; }
  bool valid() const { return h_ != nullptr && h_ != INVALID_HANDLE_VALUE; }

 private:
  HANDLE h_;
};

// The user a process runs as, as bytes of its SID (empty when it cannot be read).
std::vector<BYTE> UserOf(HANDLE process) {
  HANDLE raw = nullptr;
  if (!OpenProcessToken(process, TOKEN_QUERY, &raw)) return {};
  const Handle token(raw);
  DWORD bytes = 0;
  GetTokenInformation(token.get(), TokenUser, nullptr, 0, &bytes);
  std::vector<BYTE> info(bytes);
  if (bytes == 0 || !GetTokenInformation(token.get(), TokenUser, info.data(), bytes, &bytes)) return {};
  PSID sid = reinterpret_cast<TOKEN_USER*>(info.data())->User.Sid;
  const auto* p = static_cast<const BYTE*>(sid);
  return std::vector<BYTE>(p, p + GetLengthSid(sid));
}

class SnapshotTable final : public ProcessTable {
 public:
  std::vector<int> PidsNamed(const std::string& name) override {
    std::vector<int> pids;
    const Handle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot.valid()) return pids;
    const std::vector<BYTE> me = UserOf(GetCurrentProcess());
    const std::wstring wanted = Wide(name);
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more; more = Process32NextW(snapshot.get(), &entry)) {
      if (entry.th32ProcessID == GetCurrentProcessId() || !SameNoCase(entry.szExeFile, wanted)) continue;
      // Only this user's: another user's program of that name is none of ours.
      const Handle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ProcessID));
      if (process.valid() && !me.empty() && UserOf(process.get()) == me) pids.push_back(static_cast<int>(entry.th32ProcessID));
    }
    return pids;
  }

  // Ended with exit code 0, as the tool has always ended them.
  bool End(int pid) override {
    const Handle process(OpenProcess(PROCESS_TERMINATE, FALSE, static_cast<DWORD>(pid)));
    return process.valid() && TerminateProcess(process.get(), 0) != 0;
  }
};

}  // namespace

std::unique_ptr<ProcessTable> MakeProcessTable() { return std::make_unique<SnapshotTable>(); }

// A message-only window of a class named for the tool, on a thread of its own: one per user
// session, found by its class.
struct RebootRequestListener::Channel {
  std::string className;
  std::function<void()> onRequest;
  int error = 0;
  HWND window = nullptr;
  DWORD threadId = 0;
  std::thread thread;

  static LRESULT CALLBACK Proc(HWND w, UINT msg, WPARAM wp, LPARAM lp) {
    auto* self = reinterpret_cast<Channel*>(GetWindowLongPtrW(w, GWLP_USERDATA));
    if (msg == kRebootRequestMessage && self != nullptr) {
      if (self->onRequest) self->onRequest();
      return 1;
    }
    return DefWindowProcW(w, msg, wp, lp);
  }
};

RebootRequestListener::RebootRequestListener(const std::string&, std::function<void()> onRequest)
    : channel_(std::make_unique<Channel>()) {
  Channel& c = *channel_;
  c.onRequest = std::move(onRequest);
  c.className = "Quorvel_ZOVIR.RebootRequest";
  if (FindWindowExW(HWND_MESSAGE, nullptr, kRequestWindowClass, nullptr) != nullptr) {
    // Another running tool takes the requests; they are not ours to take over.
    c.error = ERROR_ALREADY_EXISTS;
    return;
  }
  std::promise<int> ready;
  std::future<int> started = ready.get_future();
  c.thread = std::thread([&c, &ready] {
    const HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSW wc{};
    wc.lpfnWndProc = &Channel::Proc;
    wc.hInstance = instance;
    wc.lpszClassName = kRequestWindowClass;
    RegisterClassW(&wc);
    HWND w = CreateWindowExW(0, kRequestWindowClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, instance, nullptr);
    if (w == nullptr) {
      ready.set_value(static_cast<int>(GetLastError()));
      return;
    }
    SetWindowLongPtrW(w, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&c));
    c.window = w;
    c.threadId = GetCurrentThreadId();
    ready.set_value(0);
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) DispatchMessageW(&msg);
    DestroyWindow(w);
  });
  c.error = started.get();
  if (c.error != 0) c.thread.join();
}

RebootRequestListener::~RebootRequestListener() {
  Channel& c = *channel_;
  if (!c.thread.joinable()) return;
  // WM_QUIT ends the window's loop; no request is handed on once the thread is joined.
  PostThreadMessageW(c.threadId, WM_QUIT, 0, 0);
  c.thread.join();
}

bool RebootRequestListener::Listening() const { return channel_->window != nullptr && channel_->error == 0; }
int RebootRequestListener::Error() const { return channel_->error; }
const std::string& RebootRequestListener::SocketPath() const { return channel_->className; }

// The message carries no word: only the known one is sent, any other is refused here.
std::string SendRebootRequest(const std::string&, const std::string& word) {
  HWND tool = FindWindowExW(HWND_MESSAGE, nullptr, kRequestWindowClass, nullptr);
  if (tool == nullptr) return {};
  if (!SameNoCase(Wide(word), Wide(kRebootRequestWord))) return "ERROR";
  DWORD_PTR answer = 0;
  if (!SendMessageTimeoutW(tool, kRebootRequestMessage, 0, 0, SMTO_ABORTIFHUNG, kRequestTimeoutMs, &answer)) return {};
  return answer == 1 ? "OK" : "ERROR";
}

}  // namespace zovir
