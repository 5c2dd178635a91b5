#include "ui/payload.h"

#include <cctype>

// The assembled resource table (cmake/payload_pack). Weak, so that programs which carry no
// payload still link and simply see an empty one.
extern "C" {
struct ZovirPayloadRecord {
  const char* key;
  const char* type;
  const char* name;
  const unsigned char* data;
  unsigned long long size;
};
extern const ZovirPayloadRecord zovir_payload_table[] __attribute__((weak));
extern const unsigned long long zovir_payload_count __attribute__((weak));
}

namespace zovir {

bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

Payload Payload::Embedded() {
  Payload payload;
  if (&zovir_payload_count == nullptr || zovir_payload_table == nullptr) return payload;
  for (unsigned long long i = 0; i < zovir_payload_count; ++i) {
    const ZovirPayloadRecord& r = zovir_payload_table[i];
    payload.AddView(r.key, r.type, r.name, r.data, r.size);
  }
  return payload;
}

void Payload::Add(std::string key, std::string type, std::string name, std::string bytes) {
  auto stored = std::make_shared<const std::string>(std::move(bytes));
  AddView(std::move(key), std::move(type), std::move(name), reinterpret_cast<const uint8_t*>(stored->data()),
          stored->size());
  owned_.push_back(std::move(stored));
}

void Payload::AddView(std::string key, std::string type, std::string name, const uint8_t* data, uint64_t size) {
  entries_.push_back({std::move(key), std::move(type), std::move(name), data, size});
}

const PayloadEntry* Payload::Find(std::string_view key, std::string_view type) const {
  for (const PayloadEntry& e : entries_) {
    if (EqualsIgnoreCase(e.key, key) && EqualsIgnoreCase(e.type, type)) return &e;
  }
  return nullptr;
}

}  // namespace zovir
