#include "discovery/port_names.h"

#include <algorithm>
#include <cctype>
#include <charconv>

namespace zovir {

std::string ExtractPortName(std::string_view text) {
  const size_t open = text.find('(');
  const size_t close = text.find(')');
  if (open == std::string_view::npos || close == std::string_view::npos) return {};
  if (close != text.size() - 1 || close < open) return {};
  return std::string(text.substr(open + 1, close - open - 1));
}

std::string ToUpperAscii(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return out;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && ToUpperAscii(a) == ToUpperAscii(b);
}

bool IsSettlePortId(std::string_view hardwareId) {
  return std::any_of(SettlePortIds.begin(), SettlePortIds.end(),
                     [&](std::string_view id) { return EqualsNoCase(id, hardwareId); });
}

bool PortNumberOf(std::string_view name, int& number) {
  if (name.size() <= 3) return false;
  const std::string_view digits = name.substr(3);
  int value = 0;
  const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (ec != std::errc() || end != digits.data() + digits.size() || value < 0) return false;
  number = value;
  return true;
}

}  // namespace zovir
