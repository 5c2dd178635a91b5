#include "platform/port_namespace.h"

#include "platform/regular_file.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <chrono>
#include <filesystem>
#include <sstream>

namespace zovir {
namespace {

std::string Trim(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
  while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
  return s.substr(b, e - b);
}

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

std::optional<int> ParseNumber(std::string_view digits) {
  if (digits.empty() || digits.size() > 6) return std::nullopt;
  int n = 0;
  auto [p, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), n);
  if (ec != std::errc() || p != digits.data() + digits.size()) return std::nullopt;
  return n;
}

struct FixedKind {
  std::string_view prefix;
  int first;  // COM number of k = 0
  int count;  // how many k belong to this kind
};
constexpr FixedKind kFixed[] = {{"/dev/ttyS", 1, 99}, {"/dev/ttyUSB", 100, 100}, {"/dev/ttyACM", 200, 100000}};

}  // namespace

PortNamespace::PortNamespace(std::string deviceMapPath) : mapPath_(std::move(deviceMapPath)) {}

std::optional<int> PortNamespace::ParseComName(const std::string& comName) {
  std::string_view s = comName;
  if (s.rfind("\\\\.\\", 0) == 0) s.remove_prefix(4);
  if (s.size() < 4 || Upper(std::string(s.substr(0, 3))) != "COM") return std::nullopt;
  auto n = ParseNumber(s.substr(3));
  if (!n || *n < 1) return std::nullopt;
  return n;
}

std::optional<std::string> PortNamespace::FixedPath(int number) {
  for (const auto& k : kFixed)
    if (number >= k.first && number < k.first + k.count)
      return std::string(k.prefix) + std::to_string(number - k.first);
  return std::nullopt;
}

std::optional<int> PortNamespace::FixedNumber(const std::string& path) {
  for (const auto& k : kFixed) {
    if (path.rfind(k.prefix, 0) != 0) continue;
    auto idx = ParseNumber(std::string_view(path).substr(k.prefix.size()));
    if (idx && *idx < k.count) return k.first + *idx;
  }
  return std::nullopt;
}

void PortNamespace::Refresh() {
  if (mapPath_.empty()) return;
  std::error_code ec;
  const auto written = std::filesystem::last_write_time(mapPath_, ec);
  const uintmax_t size = ec ? 0 : std::filesystem::file_size(mapPath_, ec);
  const std::optional<FileIdentity> identity = IdentityAt(mapPath_);
  if (ec || !identity) {
    entries_.clear();
    mtimeNs_ = -1;
    return;
  }
  const int64_t mtime = std::chrono::duration_cast<std::chrono::nanoseconds>(written.time_since_epoch()).count();
  // A rename brings a new file even when the time stamp cannot tell two writes apart.
  if (mtime == mtimeNs_ && static_cast<uint64_t>(size) == size_ && *identity == identity_) return;
  // The map may name a FIFO or a device: read only a regular file, and only so much of it.
  std::string text;
  if (!ReadRegularFile(mapPath_, kMaxDeviceMapBytes, text)) {
    entries_.clear();
    mtimeNs_ = -1;
    return;
  }
  std::istringstream in(text);
  std::vector<PortMapEntry> parsed;
  PortMapEntry* current = nullptr;
  std::string line;
  while (std::getline(in, line)) {
    line = Trim(line);
    if (line.empty() || line[0] == ';' || line[0] == '#') continue;
    if (line.front() == '[') {
      current = nullptr;
      const auto close = line.find(']');
      if (close == std::string::npos) continue;
      const std::string section = Trim(line.substr(1, close - 1));
      const auto number = ParseComName(section);
      if (!number) continue;
      auto same = std::find_if(parsed.begin(), parsed.end(), [&](const PortMapEntry& e) { return e.number == *number; });
      if (same == parsed.end()) {
        parsed.push_back({*number, "COM" + std::to_string(*number), {}, {}, {}});
        current = &parsed.back();
      } else {
        current = &*same;
      }
      continue;
    }
    if (!current) continue;
    const auto eq = line.find('=');
    if (eq == std::string::npos) continue;
    const std::string key = Upper(Trim(line.substr(0, eq)));
    const std::string value = Trim(line.substr(eq + 1));
    if (key == "PATH") current->path = value;
    else if (key == "FRIENDLYNAME") current->friendlyName = value;
    else if (key == "HARDWAREID") current->hardwareId = value;
  }
  entries_ = std::move(parsed);
  mtimeNs_ = mtime;
  size_ = static_cast<uint64_t>(size);
  identity_ = *identity;
}

std::optional<std::string> PortNamespace::Resolve(const std::string& comName) {
  const auto number = ParseComName(comName);
  if (!number) return std::nullopt;
  {
    std::lock_guard lock(mutex_);
    Refresh();
    for (const auto& e : entries_)
      if (e.number == *number && !e.path.empty()) return e.path;
  }
  return FixedPath(*number);
}

std::optional<int> PortNamespace::NumberOf(const std::string& path) {
  {
    std::lock_guard lock(mutex_);
    Refresh();
    for (const auto& e : entries_)
      if (e.path == path) return e.number;
  }
  return FixedNumber(path);
}

std::vector<PortMapEntry> PortNamespace::MapEntries() {
  std::lock_guard lock(mutex_);
  Refresh();
  return entries_;
}

}  // namespace zovir
