#include "platform/system_paths.h"
#include "platform/win32/win32_text.h"
// After windows.h.
#include <shlobj.h>

#include <algorithm>
#include <cstdlib>

namespace zovir {
namespace {

// Only absolute values count ("C:\..." or "\\server\..."), as on every platform.
std::string AbsoluteEnv(const wchar_t* name) {
  const wchar_t* v = _wgetenv(name);
  if (v == nullptr) return {};
  std::string s = win32::Utf8(v, wcslen(v));
  const bool absolute = (s.size() >= 3 && s[1] == ':' && (s[2] == '\\' || s[2] == '/')) || s.rfind("\\\\", 0) == 0;
  if (!absolute) return {};
  while (s.size() > 3 && (s.back() == '\\' || s.back() == '/')) s.pop_back();
  return s;
}

std::string KnownFolder(REFKNOWNFOLDERID id) {
  PWSTR path = nullptr;
  std::string out;
  if (SUCCEEDED(SHGetKnownFolderPath(id, KF_FLAG_CREATE, nullptr, &path))) out = win32::Utf8(path, wcslen(path));
  CoTaskMemFree(path);
  return out;
}

std::string TempFolder() {
  wchar_t buffer[MAX_PATH + 2] = {};
  const DWORD n = GetTempPathW(MAX_PATH + 1, buffer);
  std::string s = n > 0 && n <= MAX_PATH + 1 ? win32::Utf8(buffer, n) : std::string();
  while (s.size() > 3 && (s.back() == '\\' || s.back() == '/')) s.pop_back();
  return s;
}

bool IsAscii(const std::string& s) {
  return std::all_of(s.begin(), s.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// The core still hands many paths to std::filesystem as narrow strings, which this C++ library
// reads byte by byte, so a folder with letters beyond ASCII in its path (a user name in Chinese,
// an accent) would not be found. Such a folder is named by its short form where the volume
// keeps one: the deepest folder that exists along the path, shortened, and the rest as it is.
// Where there is no short form the path stays as it was.
std::string AsciiForm(const std::string& path) {
  if (IsAscii(path)) return path;
  std::string head = path, rest;
  for (;;) {
    const std::wstring wide = win32::Wide(head);
    const DWORD need = GetShortPathNameW(wide.c_str(), nullptr, 0);
    if (need > 0) {
      std::wstring shortForm(need, L'\0');
      const DWORD n = GetShortPathNameW(wide.c_str(), shortForm.data(), need);
      if (n == 0 || n >= need) return path;
      shortForm.resize(n);
      const std::string out = win32::Utf8(shortForm) + rest;
      return IsAscii(out) ? out : path;
    }
    const size_t cut = head.find_last_of("\\/");
    if (cut == std::string::npos || cut < 3) return path;
    rest = head.substr(cut) + rest;
    head.resize(cut);
  }
}

}  // namespace

// Backups, logs and settings go to the user's local application data, which neither roams to
// other machines nor is cleared like the temporary folder; work folders go to the temporary one.
SystemPaths SystemPathsFromEnvironment() {
  SystemPaths paths;
  const std::string zovirHome = AbsoluteEnv(L"ZOVIR_HOME");
  if (!zovirHome.empty()) return SystemPathsBelow(AsciiForm(zovirHome), '\\');
  paths.runtimeDir = AbsoluteEnv(L"ZOVIR_TEMP_DIR");
  if (paths.runtimeDir.empty()) paths.runtimeDir = TempFolder();
  paths.runtimeDir = AsciiForm(paths.runtimeDir);
  std::string local = KnownFolder(FOLDERID_LocalAppData);
  if (local.empty()) local = AbsoluteEnv(L"LOCALAPPDATA");
  const std::string base = AsciiForm(local + "\\Quorvel_ZOVIR");
  paths.backupRoot = base + "\\Backup";
  paths.logDir = base + "\\logs";
  paths.configDir = base;
  paths.autotestMarker = base + "\\autotest";
  return paths;
}

}  // namespace zovir
