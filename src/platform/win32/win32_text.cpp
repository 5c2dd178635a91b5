#include "platform/win32/win32_text.h"

namespace zovir::win32 {

std::wstring Wide(const std::string& utf8) {
  if (utf8.empty()) return {};
  const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(n > 0 ? n : 0), L'\0');
  if (n > 0) MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), n);
  return out;
}

std::string Utf8(const wchar_t* wide, size_t length) {
  if (length == 0) return {};
  const int n = WideCharToMultiByte(CP_UTF8, 0, wide, static_cast<int>(length), nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(n > 0 ? n : 0), '\0');
  if (n > 0) WideCharToMultiByte(CP_UTF8, 0, wide, static_cast<int>(length), out.data(), n, nullptr, nullptr);
  return out;
}

std::string Utf8(const std::wstring& wide) { return Utf8(wide.data(), wide.size()); }

}  // namespace zovir::win32

namespace {

// Before anything loads a library by name (the system's own libraries do, on the program's
// behalf): only the program's folder and the system's are searched, never the current
// folder or PATH, where a planted library of a common name would be loaded. Every program of
// the tool uses the conversions above, so this file, and this, is part of each.
[[gnu::constructor]] void SearchSafeLibraryFolders() { SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_DEFAULT_DIRS); }

}  // namespace
