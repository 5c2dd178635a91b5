#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace zovir {

// One named resource: a key and a type (both compared without regard to ASCII case), the
// file name it was packed from, and its bytes.
struct PayloadEntry {
  std::string key;
  std::string type;
  std::string name;
  const uint8_t* data = nullptr;
  uint64_t size = 0;
};

// The resources a program carries. The embedded set is assembled into the executable at
// build time (see cmake/payload.cmake); tests build their own sets in memory.
class Payload {
 public:
  Payload() = default;

  // The resources linked into this program; empty when it carries none.
  static Payload Embedded();

  // Adds a resource whose bytes the payload keeps itself.
  void Add(std::string key, std::string type, std::string name, std::string bytes);
  // Adds a resource whose bytes live elsewhere for as long as the payload is used.
  void AddView(std::string key, std::string type, std::string name, const uint8_t* data, uint64_t size);

  // Lookup by key and type, case-insensitive; nullptr when absent.
  const PayloadEntry* Find(std::string_view key, std::string_view type) const;
  const std::vector<PayloadEntry>& List() const { return entries_; }
  bool Empty() const { return entries_.empty(); }

 private:
  std::vector<PayloadEntry> entries_;
  std::vector<std::shared_ptr<const std::string>> owned_;
};

bool EqualsIgnoreCase(std::string_view a, std::string_view b);

}  // namespace zovir
