#pragma once
#include <memory>
#include <string>

namespace zovir {

// A loaded shared library; unloaded when the object goes.
class SharedLibrary {
 public:
  // Loads `path` (a path, never a bare name, so the system's search list is not used).
  // Nothing when it cannot be loaded; `error` then holds the loader's reason.
  static std::unique_ptr<SharedLibrary> Load(const std::string& path, std::string* error = nullptr);
  struct Handle {
    void* value;
  };
  explicit SharedLibrary(Handle handle) : handle_(handle.value) {}
  ~SharedLibrary();
  SharedLibrary(const SharedLibrary&) = delete;
  SharedLibrary& operator=(const SharedLibrary&) = delete;

  // The address of the exported symbol `name`, or nullptr.
  void* Find(const std::string& name) const;

  // The exported function `name` as `Fn` (a plain function pointer type), or nullptr.
  template <typename Fn>
  Fn FindFunction(const std::string& name) const {
    return reinterpret_cast<Fn>(Find(name));
  }

 private:
  void* handle_;
};

}  // namespace zovir
