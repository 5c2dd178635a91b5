#pragma once
#include <memory>
#include <optional>
#include <string>

namespace zovir {

// The few values the tool keeps between runs (on Windows: registry keys under the user's
// hive). Keys are "section" + "name"; values are text. Writes are durable when they return.
class KeyValueStore {
 public:
  virtual ~KeyValueStore() = default;
  virtual std::optional<std::string> Read(const std::string& section, const std::string& name) = 0;
  virtual bool Write(const std::string& section, const std::string& name, const std::string& value) = 0;
};

// An INI file (e.g. $XDG_CONFIG_HOME/quorvel-zovir/settings.ini), written atomically.
std::unique_ptr<KeyValueStore> MakeFileKeyValueStore(const std::string& path);

}  // namespace zovir
