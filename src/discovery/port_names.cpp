#include "discovery/port_names.h"

#include <algorithm>

namespace zovir {

std::string ExtractPortName(std::string_view text) {
  const size_t open = text.find('(');
  const size_t close = text.find(')');
  if (open == std::string_view::npos || close == std::string_view::npos) return {};
  if (close != text.size() - 1 || close < open) return {};
  return std::string(text.substr(open + 1, close - open - 1));
}

bool IsSettlePortId(std::string_view hardwareId) {
  return std::any_of(SettlePortIds.begin(), SettlePortIds.end(),
                     [&](std::string_view id) { return EqualsNoCase(id, hardwareId); });
}

}  // namespace zovir
