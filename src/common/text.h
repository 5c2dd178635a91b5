#pragma once
#include <cctype>
#include <optional>
#include <string>
#include <string_view>

// Small text rules every layer shares; one definition each.
namespace zovir {

inline bool Contains(std::string_view text, std::string_view part) { return text.find(part) != std::string_view::npos; }

inline bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// Without the spaces and tabs around it (line ends stay).
inline std::string_view TrimBlanks(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

inline std::string ToUpperAscii(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return out;
}

inline bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::toupper(static_cast<unsigned char>(a[i])) != std::toupper(static_cast<unsigned char>(b[i]))) return false;
  }
  return true;
}

// The tool names every serial port "COM" + n.
inline std::string ComPortName(int number) { return "COM" + std::to_string(number); }

// n of a "COM" + n name: "COM" as written, then one to nine decimal digits and nothing else
// (no sign, no blanks). Nothing for any other text. "COM0" gives 0, which no port carries:
// callers that need a port check for it.
inline std::optional<int> ComPortNumber(std::string_view name) {
  constexpr size_t kMaxDigits = 9;  // fits an int
  if (name.size() <= 3 || name.size() > 3 + kMaxDigits || name.substr(0, 3) != "COM") return std::nullopt;
  int n = 0;
  for (const char c : name.substr(3)) {
    if (c < '0' || c > '9') return std::nullopt;
    n = n * 10 + (c - '0');
  }
  return n;
}

}  // namespace zovir
