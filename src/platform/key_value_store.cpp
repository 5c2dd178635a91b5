#include "platform/key_value_store.h"

#include <mutex>

#include "platform/private_files.h"
#include "platform/profile_file.h"

namespace zovir {
namespace {

bool MakeParentFolders(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos || slash == 0) return true;
  return CreatePrivateFolders(path.substr(0, slash));
}

bool HasLineBreak(const std::string& s) { return s.find_first_of("\r\n") != std::string::npos; }

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// Section and key names end at "]" and "=" in the file, so such names cannot be stored.
bool ValidName(const std::string& s, const char* forbidden) {
  if (s.empty() || HasLineBreak(s) || s.find_first_of(forbidden) != std::string::npos) return false;
  return !IsBlank(s.front()) && !IsBlank(s.back());
}

// Blanks around a value and one pair of enclosing quotes are not part of it when the file is
// read; quoting such a value keeps it exactly as written.
std::string Encode(const std::string& value) {
  bool needsQuotes = !value.empty() && (IsBlank(value.front()) || IsBlank(value.back()) ||
                                        (value.size() >= 2 && value.front() == '"' && value.back() == '"'));
  return needsQuotes ? "\"" + value + "\"" : value;
}

class FileKeyValueStore final : public KeyValueStore {
 public:
  explicit FileKeyValueStore(std::string path) : path_(std::move(path)) {}

  std::optional<std::string> Read(const std::string& section, const std::string& name) override {
    std::lock_guard<std::mutex> lock(mutex_);
    ProfileFile file(path_);
    return file.Find(section, name);
  }

  bool Write(const std::string& section, const std::string& name, const std::string& value) override {
    if (!ValidName(section, "]") || !ValidName(name, "=") || HasLineBreak(value)) return false;
    if (name.front() == ';' || name.front() == '[') return false;
    std::lock_guard<std::mutex> lock(mutex_);
    if (!MakeParentFolders(path_)) return false;
    ProfileFile file(path_);
    return file.WriteString(section, name, Encode(value));
  }

 private:
  std::string path_;
  std::mutex mutex_;
};

}  // namespace

std::unique_ptr<KeyValueStore> MakeFileKeyValueStore(const std::string& path) {
  return std::make_unique<FileKeyValueStore>(path);
}

}  // namespace zovir
