#include "platform/shared_library.h"
#include "platform/win32/win32_text.h"

namespace zovir {

std::unique_ptr<SharedLibrary> SharedLibrary::Load(const std::string& path, std::string* error) {
  if (path.find_first_of("/\\") == std::string::npos) {
    if (error) *error = "not a path: " + path;
    return nullptr;
  }
  // The library's own folder first for its dependencies, never the current folder; the
  // system takes that folder only from a full path with backslashes.
  const std::wstring given = win32::Wide(path);
  std::wstring full(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetFullPathNameW(given.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    if (n == 0) {
      if (error) *error = "cannot load " + path + " (error " + std::to_string(GetLastError()) + ")";
      return nullptr;
    }
    if (n < full.size()) {
      full.resize(n);
      break;
    }
    full.resize(n);
  }
  HMODULE h = LoadLibraryExW(full.c_str(), nullptr, LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_DEFAULT_DIRS);
  if (h == nullptr) {
    if (error) *error = "cannot load " + path + " (error " + std::to_string(GetLastError()) + ")";
    return nullptr;
  }
  return std::make_unique<SharedLibrary>(Handle{reinterpret_cast<void*>(h)});
}

SharedLibrary::~SharedLibrary() { FreeLibrary(reinterpret_cast<HMODULE>(handle_)); }

void* SharedLibrary::Find(const std::string& name) const {
  return reinterpret_cast<void*>(GetProcAddress(reinterpret_cast<HMODULE>(handle_), name.c_str()));
}

}  // namespace zovir
