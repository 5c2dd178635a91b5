#include "sim/device_state.h"

#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "sim/checksum.h"

namespace fs = std::filesystem;

namespace zovir::sim {
namespace {

std::string Hex(const Bytes& b) {
  static const char* d = "0123456789ABCDEF";
  std::string s;
  for (uint8_t x : b) {
    s += d[x >> 4];
    s += d[x & 15];
  }
  return s;
}

std::optional<Bytes> Unhex(const std::string& s) {
  if (s.size() % 2) return std::nullopt;
  Bytes b;
  for (size_t i = 0; i < s.size(); i += 2) {
    unsigned v = 0;
    if (std::sscanf(s.substr(i, 2).c_str(), "%2x", &v) != 1) return std::nullopt;
    b.push_back(static_cast<uint8_t>(v));
  }
  return b;
}

Bytes ReadAll(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

// "key=value" lines of one INI file, sections ignored.
std::vector<std::pair<std::string, std::string>> ReadPairs(const fs::path& p) {
  std::vector<std::pair<std::string, std::string>> out;
  std::ifstream in(p);
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '[' || line[0] == ';') continue;
    auto eq = line.find('=');
    if (eq == std::string::npos) continue;
    out.push_back({line.substr(0, eq), line.substr(eq + 1)});
  }
  return out;
}

// "/a//b/" -> "/a/b"; empty when the path tries to leave the tree.
std::string NormalizeEfs(const std::string& path) {
  std::string out;
  std::stringstream ss(path);
  std::string part;
  while (std::getline(ss, part, '/')) {
    if (part.empty() || part == ".") continue;
    if (part == "..") return {};
    out += "/" + part;
  }
  return out.empty() ? "/" : out;
}

std::string ParentOf(const std::string& p) {
  auto slash = p.rfind('/');
  return slash == 0 || slash == std::string::npos ? "/" : p.substr(0, slash);
}

}  // namespace

bool WriteFileAtomic(const std::string& path, const void* data, size_t size) {
  const std::string tmp = path + ".tmp";
  FILE* f = std::fopen(tmp.c_str(), "wb");
  if (!f) return false;
  bool ok = size == 0 || std::fwrite(data, 1, size, f) == size;
  ok = std::fflush(f) == 0 && ok;
  ok = ::fsync(fileno(f)) == 0 && ok;
  std::fclose(f);
  if (!ok || std::rename(tmp.c_str(), path.c_str()) != 0) {
    std::remove(tmp.c_str());
    return false;
  }
  return true;
}

DeviceState::DeviceState(std::string dir) : dir_(std::move(dir)) {
  efsDirs_["/"] = true;
  if (!dir_.empty()) {
    std::error_code ec;
    fs::create_directories(fs::path(dir_) / "partitions", ec);
    fs::create_directories(fs::path(dir_) / "efs", ec);
    Load();
  }
}

bool DeviceState::SafeName(const std::string& name) {
  if (name.empty() || name.size() > 64) return false;
  for (char c : name) {
    if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-' || c == '.')) return false;
  }
  return name != "." && name != "..";
}

void DeviceState::Load() {
  const fs::path root(dir_);
  // The manifest names the partitions; their bytes are the files.
  std::ifstream in(root / "manifest.ini");
  std::string line;
  while (std::getline(in, line)) {
    if (line.size() > 2 && line.front() == '[' && line.back() == ']') {
      std::string name = line.substr(1, line.size() - 2);
      if (SafeName(name) && fs::exists(root / "partitions" / (name + ".bin"))) {
        partitions_[name] = ReadAll(root / "partitions" / (name + ".bin"));
      }
    }
  }
  for (const auto& [key, value] : ReadPairs(root / "nv.ini")) {
    auto data = Unhex(value);
    char* end = nullptr;
    const unsigned long id = std::strtoul(key.c_str(), &end, 10);
    if (data && !key.empty() && end && *end == '\0' && id <= 0xFFFFFFFFul) nv_[static_cast<uint32_t>(id)] = *data;
  }
  for (const auto& [key, value] : ReadPairs(root / "identity.ini")) identity_[key] = value;
  std::error_code ec;
  const fs::path efsRoot = root / "efs";
  for (auto it = fs::recursive_directory_iterator(efsRoot, ec); !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    std::string rel = "/" + fs::relative(it->path(), efsRoot).generic_string();
    if (it->is_directory()) {
      efsDirs_[rel] = true;
    } else if (it->is_regular_file() && rel.find(".tmp") == std::string::npos) {
      efsFiles_[rel] = ReadAll(it->path());
    }
  }
}

void DeviceState::SaveManifestLocked() const {
  if (dir_.empty()) return;
  std::ostringstream os;
  for (const auto& [name, data] : partitions_) {
    char crc[16];
    std::snprintf(crc, sizeof crc, "0x%04X", Crc16(data));
    os << '[' << name << "]\nSize=" << data.size() << "\nCRC=" << crc << "\n\n";
  }
  const std::string s = os.str();
  WriteFileAtomic(dir_ + "/manifest.ini", s.data(), s.size());
}

void DeviceState::SaveNvLocked() const {
  if (dir_.empty()) return;
  std::ostringstream os;
  os << "[NV]\n";
  for (const auto& [id, data] : nv_) os << id << '=' << Hex(data) << '\n';
  const std::string s = os.str();
  WriteFileAtomic(dir_ + "/nv.ini", s.data(), s.size());
}

void DeviceState::SaveIdentityLocked() const {
  if (dir_.empty()) return;
  std::ostringstream os;
  os << "[Identity]\n";
  for (const auto& [k, v] : identity_) os << k << '=' << v << '\n';
  const std::string s = os.str();
  WriteFileAtomic(dir_ + "/identity.ini", s.data(), s.size());
}

void DeviceState::StorePartition(const std::string& name, Bytes data) {
  std::lock_guard lock(mu_);
  if (!SafeName(name)) return;
  if (!dir_.empty()) WriteFileAtomic(dir_ + "/partitions/" + name + ".bin", data.data(), data.size());
  partitions_[name] = std::move(data);
  SaveManifestLocked();
}

std::optional<Bytes> DeviceState::Partition(const std::string& name) const {
  std::lock_guard lock(mu_);
  auto it = partitions_.find(name);
  if (it == partitions_.end()) return std::nullopt;
  return it->second;
}

std::map<std::string, PartitionSummary> DeviceState::Partitions() const {
  std::lock_guard lock(mu_);
  std::map<std::string, PartitionSummary> out;
  for (const auto& [name, data] : partitions_) out[name] = {data.size(), Crc16(data)};
  return out;
}

std::optional<Bytes> DeviceState::Nv(uint32_t id) const {
  std::lock_guard lock(mu_);
  auto it = nv_.find(id);
  if (it == nv_.end()) return std::nullopt;
  return it->second;
}

void DeviceState::SetNv(uint32_t id, Bytes data) {
  std::lock_guard lock(mu_);
  nv_[id] = std::move(data);
  SaveNvLocked();
}

void DeviceState::EraseNv(uint32_t id) {
  std::lock_guard lock(mu_);
  nv_.erase(id);
  SaveNvLocked();
}

std::map<uint32_t, Bytes> DeviceState::AllNv() const {
  std::lock_guard lock(mu_);
  return nv_;
}

std::optional<std::string> DeviceState::Identity(const std::string& key) const {
  std::lock_guard lock(mu_);
  auto it = identity_.find(key);
  if (it == identity_.end()) return std::nullopt;
  return it->second;
}

void DeviceState::SetIdentity(const std::string& key, const std::string& value) {
  std::lock_guard lock(mu_);
  identity_[key] = value;
  SaveIdentityLocked();
}

std::map<std::string, std::string> DeviceState::AllIdentity() const {
  std::lock_guard lock(mu_);
  return identity_;
}

std::string DeviceState::EfsHostPath(const std::string& path) const { return dir_ + "/efs" + path; }

std::optional<Bytes> DeviceState::EfsFile(const std::string& path) const {
  std::lock_guard lock(mu_);
  auto it = efsFiles_.find(NormalizeEfs(path));
  if (it == efsFiles_.end()) return std::nullopt;
  return it->second;
}

void DeviceState::SetEfsFile(const std::string& path, Bytes data) {
  std::lock_guard lock(mu_);
  const std::string p = NormalizeEfs(path);
  if (p.empty() || p == "/" || efsDirs_.count(p)) return;
  for (std::string d = ParentOf(p); d != "/"; d = ParentOf(d)) efsDirs_[d] = true;
  if (!dir_.empty()) {
    std::error_code ec;
    fs::create_directories(fs::path(EfsHostPath(ParentOf(p))), ec);
    WriteFileAtomic(EfsHostPath(p), data.data(), data.size());
  }
  efsFiles_[p] = std::move(data);
}

bool DeviceState::RemoveEfs(const std::string& path) {
  std::lock_guard lock(mu_);
  const std::string p = NormalizeEfs(path);
  if (p.empty() || p == "/") return false;
  if (efsFiles_.erase(p)) {
    if (!dir_.empty()) std::remove(EfsHostPath(p).c_str());
    return true;
  }
  if (!efsDirs_.count(p)) return false;
  const std::string prefix = p + "/";
  for (const auto& [f, _] : efsFiles_) {
    if (f.rfind(prefix, 0) == 0) return false;
  }
  for (const auto& [d, _] : efsDirs_) {
    if (d.rfind(prefix, 0) == 0) return false;
  }
  efsDirs_.erase(p);
  if (!dir_.empty()) {
    std::error_code ec;
    fs::remove(EfsHostPath(p), ec);
  }
  return true;
}

void DeviceState::MakeEfsDir(const std::string& path) {
  std::lock_guard lock(mu_);
  const std::string p = NormalizeEfs(path);
  if (p.empty() || efsFiles_.count(p)) return;
  for (std::string d = p; d != "/"; d = ParentOf(d)) efsDirs_[d] = true;
  if (!dir_.empty()) {
    std::error_code ec;
    fs::create_directories(EfsHostPath(p), ec);
  }
}

bool DeviceState::EfsDirExists(const std::string& path) const {
  std::lock_guard lock(mu_);
  return efsDirs_.count(NormalizeEfs(path)) > 0;
}

std::vector<std::string> DeviceState::ListEfs(const std::string& dir) const {
  std::lock_guard lock(mu_);
  const std::string d = NormalizeEfs(dir);
  std::vector<std::string> out;
  auto child = [&](const std::string& p) {
    if (p != d && ParentOf(p) == d) out.push_back(p.substr(p.rfind('/') + 1));
  };
  for (const auto& [p, _] : efsDirs_) child(p);
  for (const auto& [p, _] : efsFiles_) child(p);
  return out;
}

}  // namespace zovir::sim
