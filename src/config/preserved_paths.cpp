#include "config/preserved_paths.h"

namespace zovir {

std::vector<std::string> PreservedEfsPaths(const ConfigList& list) {
  std::vector<std::string> out;
  for (std::string entry : list) {
    while (!entry.empty() && (entry.back() == '\r' || entry.back() == '\n')) entry.pop_back();
    if (entry.empty()) continue;
    for (auto& c : entry)
      if (c == '\\') c = '/';
    if (entry.front() != '/') entry.insert(entry.begin(), '/');
    out.push_back(entry);
  }
  return out;
}

}  // namespace zovir
