#include "platform/shared_library.h"
#include "platform/win32/win32_text.h"

namespace zovir {

std::unique_ptr<SharedLibrary> SharedLibrary::Load(const std::string& path, std::string* error) {
  if (path.find_first_of("/\\") == std::string::npos) {
    if (error) *error = "not a path: " + path;
    return nullptr;
  }
  // The library's own folder first for its dependencies, never the current folder.
  HMODULE h = LoadLibraryExW(win32::Wide(path).c_str(), nullptr,
                             LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_DEFAULT_DIRS);
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
