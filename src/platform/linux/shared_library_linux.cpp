#include "platform/shared_library.h"

#include <dlfcn.h>

namespace zovir {

std::unique_ptr<SharedLibrary> SharedLibrary::Load(const std::string& path, std::string* error) {
  if (path.find('/') == std::string::npos) {
    if (error) *error = "not a path: " + path;
    return nullptr;
  }
  dlerror();
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    if (error) {
      const char* why = dlerror();
      *error = why ? why : "cannot load " + path;
    }
    return nullptr;
  }
  return std::make_unique<SharedLibrary>(Handle{handle});
}

SharedLibrary::~SharedLibrary() { dlclose(handle_); }

void* SharedLibrary::Find(const std::string& name) const { return dlsym(handle_, name.c_str()); }

}  // namespace zovir
