#include "platform/win32/processes_win32.h"

#include "platform/win32/win32_text.h"
// After windows.h, which it needs and does not include.
#include <tlhelp32.h>

namespace zovir {
namespace {

std::wstring QuoteArgument(const std::wstring& arg) {
  if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) return arg;
  std::wstring out = L"\"";
  size_t backslashes = 0;
  for (wchar_t c : arg) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    // Backslashes are literal unless they precede a quote: then each one is doubled.
    out.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
    backslashes = 0;
    out.push_back(c);
  }
  out.append(backslashes * 2, L'\\');
  out.push_back(L'"');
  return out;
}

class Win32Process final : public ProcessHandle {
 public:
  Win32Process(win32::UniqueHandle process, int pid) : process_(std::move(process)), pid_(pid) {}
  int Pid() const override { return pid_; }
  std::optional<int> Wait(int ms) override {
    if (WaitForSingleObject(process_.get(), ms < 0 ? INFINITE : static_cast<DWORD>(ms)) != WAIT_OBJECT_0)
      return std::nullopt;
    DWORD code = 0;
    if (!GetExitCodeProcess(process_.get(), &code)) return std::nullopt;
    return static_cast<int>(code);
  }
  bool Terminate() override { return TerminateProcess(process_.get(), 1) != 0; }

 private:
  win32::UniqueHandle process_;
  int pid_;
};

class Win32NamedLock final : public NamedLock {
 public:
  Win32NamedLock(win32::UniqueHandle mutex, bool existed) : mutex_(std::move(mutex)), existed_(existed) {}
  bool AlreadyExisted() const override { return existed_; }

 private:
  win32::UniqueHandle mutex_;
  bool existed_;
};

std::wstring Lower(std::wstring s) {
  for (auto& c : s) c = static_cast<wchar_t>(towlower(c));
  return s;
}

class Win32Processes final : public Processes {
 public:
  std::unique_ptr<ProcessHandle> Start(const ProcessSpec& spec, int& error) override {
    std::wstring command = QuoteCommandLine(spec.program, spec.args);
    const std::wstring program = win32::Wide(spec.program), dir = win32::Wide(spec.workingDir);
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    // The program path is given, so the system never searches the current folder for it.
    if (!CreateProcessW(program.c_str(), command.data(), nullptr, nullptr, FALSE,
                        spec.hidden ? CREATE_NO_WINDOW : 0, nullptr, dir.empty() ? nullptr : dir.c_str(), &si, &pi)) {
      error = static_cast<int>(GetLastError());
      return nullptr;
    }
    CloseHandle(pi.hThread);
    error = 0;
    return std::make_unique<Win32Process>(win32::UniqueHandle(pi.hProcess), static_cast<int>(pi.dwProcessId));
  }

  int TerminateProcessesByName(const std::string& name, const std::string& folder) override {
    win32::UniqueHandle snap(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snap.valid()) return 0;
    std::wstring prefix = Lower(win32::Wide(folder));
    if (!prefix.empty() && prefix.back() != L'\\') prefix.push_back(L'\\');
    const std::wstring wanted = Lower(win32::Wide(name));
    int ended = 0;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snap.get(), &entry); more; more = Process32NextW(snap.get(), &entry)) {
      if (Lower(entry.szExeFile) != wanted) continue;
      win32::UniqueHandle p(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE, FALSE,
                                        entry.th32ProcessID));
      if (!p.valid()) continue;
      wchar_t image[MAX_PATH * 2] = {};
      DWORD size = MAX_PATH * 2;
      if (!QueryFullProcessImageNameW(p.get(), 0, image, &size)) continue;
      // Only the copy inside our folder: a program of the same name elsewhere is the user's.
      const std::wstring path = Lower(std::wstring(image, size));
      if (path.rfind(prefix, 0) != 0 || path.find(L'\\', prefix.size()) != std::wstring::npos) continue;
      if (TerminateProcess(p.get(), 1)) ++ended;
    }
    return ended;
  }

  std::unique_ptr<NamedLock> CreateNamedLock(const std::string& name) override {
    // "Global\": one user at the console and another over remote desktop (or a second
    // session of the same user) reach the same USB ports, so the locks are the machine's.
    const std::wstring full = L"Global\\" + win32::Wide(name);
    win32::UniqueHandle m(CreateMutexW(nullptr, FALSE, full.c_str()));
    // Another user's copy holds the name: its mutex is not ours to open.
    if (!m.valid()) return GetLastError() == ERROR_ACCESS_DENIED ? std::make_unique<Win32NamedLock>(std::move(m), true)
                                                                  : nullptr;
    const bool existed = GetLastError() == ERROR_ALREADY_EXISTS;
    return std::make_unique<Win32NamedLock>(std::move(m), existed);
  }
};

}  // namespace

std::wstring QuoteCommandLine(const std::string& program, const std::vector<std::string>& args) {
  std::wstring line = QuoteArgument(win32::Wide(program));
  for (const auto& a : args) line += L" " + QuoteArgument(win32::Wide(a));
  return line;
}

std::unique_ptr<Processes> MakeWin32Processes() { return std::make_unique<Win32Processes>(); }

}  // namespace zovir
