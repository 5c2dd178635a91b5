#include "platform/win32/key_value_store_registry.h"

#include <mutex>

#include "platform/win32/win32_text.h"

namespace zovir {
namespace {

class RegistryKeyValueStore final : public KeyValueStore {
 public:
  RegistryKeyValueStore(HKEY hive, REGSAM view, std::string root) : hive_(hive), view_(view), root_(std::move(root)) {}

  std::optional<std::string> Read(const std::string& section, const std::string& name) override {
    const std::wstring key = win32::Wide(KeyOf(section)), value = win32::Wide(name);
    const DWORD flags = RRF_RT_REG_SZ | (view_ == KEY_WOW64_64KEY ? RRF_SUBKEY_WOW6464KEY : 0);
    DWORD type = 0, bytes = 0;
    if (RegGetValueW(hive_, key.c_str(), value.c_str(), flags, &type, nullptr, &bytes) != ERROR_SUCCESS)
      return std::nullopt;
    std::wstring text(bytes / sizeof(wchar_t) + 1, L'\0');
    if (RegGetValueW(hive_, key.c_str(), value.c_str(), flags, &type, text.data(), &bytes) != ERROR_SUCCESS)
      return std::nullopt;
    text.resize(wcsnlen(text.c_str(), text.size()));
    return win32::Utf8(text);
  }

  bool Write(const std::string& section, const std::string& name, const std::string& value) override {
    // One writer at a time: the flush below is per key, and two threads of one store share it.
    const std::lock_guard lock(mutex_);
    const std::wstring key = win32::Wide(KeyOf(section)), n = win32::Wide(name), v = win32::Wide(value);
    HKEY h = nullptr;
    if (RegCreateKeyExW(hive_, key.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_SET_VALUE | view_, nullptr, &h,
                        nullptr) != ERROR_SUCCESS)
      return false;
    const win32::UniqueKey owned(h);
    const auto bytes = static_cast<DWORD>((v.size() + 1) * sizeof(wchar_t));
    bool ok = RegSetValueExW(h, n.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(v.c_str()), bytes) == ERROR_SUCCESS;
    // "Durable when it returns": the registry otherwise writes its hive back lazily.
    return ok && RegFlushKey(h) == ERROR_SUCCESS;
  }

 private:
  std::string KeyOf(const std::string& section) const { return root_.empty() ? section : root_ + "\\" + section; }

  HKEY hive_;
  REGSAM view_;
  std::string root_;
  std::mutex mutex_;
};

}  // namespace

std::unique_ptr<KeyValueStore> MakeRegistryKeyValueStore(const std::string& root) {
  return std::make_unique<RegistryKeyValueStore>(HKEY_CURRENT_USER, 0, root);
}

std::unique_ptr<KeyValueStore> MakeMachineRegistryKeyValueStore() {
  return std::make_unique<RegistryKeyValueStore>(HKEY_LOCAL_MACHINE, KEY_WOW64_64KEY, "");
}

}  // namespace zovir
