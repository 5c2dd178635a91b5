#include "sim/device_state.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
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

// Pieces in which partition files are read and the CRC of a gap is fed.
constexpr size_t kIoChunk = 256 * 1024;

bool PwriteAll(int fd, const uint8_t* data, size_t n, uint64_t offset) {
  while (n > 0) {
    const ssize_t w = ::pwrite(fd, data, n, static_cast<off_t>(offset));
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    data += w;
    n -= static_cast<size_t>(w);
    offset += static_cast<uint64_t>(w);
  }
  return true;
}

// CRC register over the first `size` bytes of a file, read in pieces.
std::optional<uint16_t> CrcOfFile(int fd, uint64_t size) {
  std::vector<uint8_t> buf(kIoChunk);
  uint16_t crc = 0xFFFF;
  for (uint64_t at = 0; at < size;) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(buf.size(), size - at));
    const ssize_t got = ::pread(fd, buf.data(), want, static_cast<off_t>(at));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return std::nullopt;
    crc = Crc16Update(crc, std::span<const uint8_t>(buf.data(), static_cast<size_t>(got)));
    at += static_cast<uint64_t>(got);
  }
  return crc;
}

uint16_t CrcOfZeros(uint16_t crc, uint64_t count) {
  static const std::vector<uint8_t> zeros(kIoChunk, 0);
  while (count > 0) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(zeros.size(), count));
    crc = Crc16Update(crc, std::span<const uint8_t>(zeros.data(), n));
    count -= n;
  }
  return crc;
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

std::optional<PartitionSummary> SummarizeFile(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::optional<PartitionSummary> out;
  struct stat st {};
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
    if (auto crc = CrcOfFile(fd, static_cast<uint64_t>(st.st_size))) out = PartitionSummary{static_cast<uint64_t>(st.st_size), static_cast<uint16_t>(~*crc)};
  }
  ::close(fd);
  return out;
}

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

void StateBoundStore::Bind(DeviceState& state) {
  std::lock_guard lock(bindMu_);
  bound_ = &state;
}

void StateBoundStore::Unbind(const DeviceState& state) {
  std::lock_guard lock(bindMu_);
  if (bound_ == &state) bound_ = nullptr;
}

void StateBoundStore::BindIfUnbound(DeviceState& state) {
  std::lock_guard lock(bindMu_);
  if (!bound_) bound_ = &state;
}

DeviceState* StateBoundStore::Bound() const {
  std::lock_guard lock(bindMu_);
  return bound_;
}

void StateBoundStore::OnModemEvent(const std::string& event) {
  if (DeviceState* state = Bound()) OnModemEvent(*state, event);
}

PartitionWriter::PartitionWriter(Key, DeviceState& state, std::string name) : state_(state), name_(std::move(name)) {}

PartitionWriter::~PartitionWriter() {
  if (fd_ >= 0) ::close(fd_);
  if (!done_ && !tmpPath_.empty()) ::unlink(tmpPath_.c_str());
}

bool PartitionWriter::Put(uint64_t offset, std::span<const uint8_t> data) {
  const uint64_t end = offset + data.size();
  if (tmpPath_.empty()) {
    if (memory_.size() < end) memory_.resize(static_cast<size_t>(end));
    std::copy(data.begin(), data.end(), memory_.begin() + static_cast<std::ptrdiff_t>(offset));
    return true;
  }
  if (!data.empty()) return PwriteAll(fd_, data.data(), data.size(), offset);
  // Nothing to write but the image grows to `offset` (zeros): the file must grow too.
  return end <= size_ || ::ftruncate(fd_, static_cast<off_t>(end)) == 0;
}

bool PartitionWriter::Write(uint64_t offset, std::span<const uint8_t> data) {
  if (failed_ || done_) return false;
  if (offset > (uint64_t{1} << 40)) {  // far beyond any flash; refuse rather than make a huge file
    failed_ = true;
    return false;
  }
  if (crcValid_) {
    if (offset >= size_) {
      crcRegister_ = Crc16Update(CrcOfZeros(crcRegister_, offset - size_), data);
    } else {
      crcValid_ = false;  // bytes already counted change: counted again at Commit
    }
  }
  if (!Put(offset, data)) {
    failed_ = true;
    return false;
  }
  size_ = std::max(size_, offset + data.size());
  return true;
}

bool PartitionWriter::Truncate(uint64_t size) {
  if (failed_ || done_) return false;
  if (size >= size_) return true;
  if (tmpPath_.empty()) {
    memory_.resize(static_cast<size_t>(size));
  } else if (::ftruncate(fd_, static_cast<off_t>(size)) != 0) {
    failed_ = true;
    return false;
  }
  size_ = size;
  crcValid_ = false;
  return true;
}

bool PartitionWriter::RecomputeCrc() {
  if (tmpPath_.empty()) {
    crcRegister_ = Crc16Update(0xFFFF, memory_);
  } else {
    auto crc = CrcOfFile(fd_, size_);
    if (!crc) return false;
    crcRegister_ = *crc;
  }
  crcValid_ = true;
  return true;
}

bool PartitionWriter::Commit() {
  if (failed_ || done_) return false;
  bool ok = crcValid_ || RecomputeCrc();
  if (fd_ >= 0) {
    ok = ::fsync(fd_) == 0 && ok;
    ok = ::close(fd_) == 0 && ok;
    fd_ = -1;
  }
  const PartitionSummary summary{size_, static_cast<uint16_t>(~crcRegister_)};
  if (ok) ok = state_.CommitPartition(name_, tmpPath_, std::move(memory_), summary);
  memory_.clear();
  failed_ = !ok;
  done_ = ok;
  return ok;
}

DeviceState::DeviceState(std::string dir) : dir_(std::move(dir)) {
  efsDirs_["/"] = true;
  if (!dir_.empty()) {
    std::error_code ec;
    const fs::path root(dir_);
    for (const char* file : {"manifest.ini", "nv.ini", "rf.ini", "identity.ini"})
      if (fs::exists(root / file, ec)) fresh_ = false;
    if (fs::is_directory(root / "efs", ec) && !fs::is_empty(root / "efs", ec)) fresh_ = false;
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
  // The manifest names the partitions and says what they hold; their bytes are the files. A
  // file that no longer matches its entry is measured again.
  std::map<std::string, std::pair<std::string, std::string>> manifest;  // name -> Size, CRC
  {
    std::ifstream in(root / "manifest.ini");
    std::string line, section;
    while (std::getline(in, line)) {
      if (line.size() > 2 && line.front() == '[' && line.back() == ']') {
        section = line.substr(1, line.size() - 2);
        manifest[section];
      } else if (!section.empty() && line.rfind("Size=", 0) == 0) {
        manifest[section].first = line.substr(5);
      } else if (!section.empty() && line.rfind("CRC=", 0) == 0) {
        manifest[section].second = line.substr(4);
      }
    }
  }
  for (const auto& [name, entry] : manifest) {
    if (!SafeName(name)) continue;
    const std::string path = PartitionPath(name);
    std::error_code ec;
    if (!fs::is_regular_file(path, ec)) continue;
    const uint64_t onDisk = fs::file_size(path, ec);
    char* end = nullptr;
    const unsigned long long size = std::strtoull(entry.first.c_str(), &end, 10);
    const bool sizeOk = !ec && !entry.first.empty() && end && *end == '\0' && size == onDisk;
    unsigned crc = 0;
    char tail = 0;
    const bool crcOk = std::sscanf(entry.second.c_str(), "0x%4X%c", &crc, &tail) == 1;
    if (sizeOk && crcOk) {
      partitions_[name] = {onDisk, static_cast<uint16_t>(crc)};
    } else if (auto summary = SummarizeFile(path)) {
      partitions_[name] = *summary;
    }
  }
  // Images a stopped modem was still receiving never became partitions.
  {
    std::vector<fs::path> leftovers;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(root / "partitions", ec)) {
      if (e.path().filename().string().find(".bin.part-") != std::string::npos) leftovers.push_back(e.path());
    }
    for (const auto& p : leftovers) fs::remove(p, ec);
  }
  for (const auto& [key, value] : ReadPairs(root / "nv.ini")) {
    auto data = Unhex(value);
    char* end = nullptr;
    const unsigned long id = std::strtoul(key.c_str(), &end, 10);
    if (data && !key.empty() && end && *end == '\0' && id <= 0xFFFFFFFFul) nv_[static_cast<uint32_t>(id)] = *data;
  }
  for (const auto& [key, value] : ReadPairs(root / "rf.ini")) {
    auto data = Unhex(value);
    char* end = nullptr;
    const unsigned long id = std::strtoul(key.c_str(), &end, 10);
    if (data && !key.empty() && end && *end == '\0' && id <= 0xFFFFul) rf_[static_cast<uint16_t>(id)] = *data;
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
  for (const auto& [name, summary] : partitions_) {
    char crc[16];
    std::snprintf(crc, sizeof crc, "0x%04X", summary.crc);
    os << '[' << name << "]\nSize=" << summary.size << "\nCRC=" << crc << "\n\n";
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

void DeviceState::SaveRfLocked() const {
  if (dir_.empty()) return;
  std::ostringstream os;
  os << "[RF]\n";
  for (const auto& [id, data] : rf_) os << id << '=' << Hex(data) << '\n';
  const std::string s = os.str();
  WriteFileAtomic(dir_ + "/rf.ini", s.data(), s.size());
}

void DeviceState::SaveIdentityLocked() const {
  if (dir_.empty()) return;
  std::ostringstream os;
  os << "[Identity]\n";
  for (const auto& [k, v] : identity_) os << k << '=' << v << '\n';
  const std::string s = os.str();
  WriteFileAtomic(dir_ + "/identity.ini", s.data(), s.size());
}

DeviceState::~DeviceState() {
  if (scratchDir_.empty()) return;
  std::error_code ec;
  fs::remove_all(scratchDir_, ec);
}

std::string DeviceState::PartitionFolder() const { return dir_.empty() ? scratchDir_ : dir_ + "/partitions"; }

std::string DeviceState::PartitionFolderLocked() {
  if (dir_.empty() && scratchDir_.empty() && !scratchTried_) {
    scratchTried_ = true;
    std::error_code ec;
    const fs::path base = fs::temp_directory_path(ec);
    std::string path = (base / "zovir-sim-flash-XXXXXX").string();
    if (!ec && ::mkdtemp(path.data())) scratchDir_ = path;
  }
  return PartitionFolder();
}

std::string DeviceState::PartitionPath(const std::string& name) const {
  return PartitionFolder() + "/" + name + ".bin";
}

void DeviceState::StorePartition(const std::string& name, Bytes data) {
  if (auto writer = WritePartition(name)) {
    if (writer->Write(0, data)) writer->Commit();
  }
}

std::unique_ptr<PartitionWriter> DeviceState::WritePartition(const std::string& name) {
  if (!SafeName(name)) return nullptr;
  auto writer = std::make_unique<PartitionWriter>(PartitionWriter::Key{}, *this, name);
  std::string folder;
  {
    std::lock_guard lock(mu_);
    folder = PartitionFolderLocked();
  }
  if (!folder.empty()) {
    std::string path = folder + "/" + name + ".bin.part-XXXXXX";
    const int fd = ::mkostemp(path.data(), O_CLOEXEC);
    if (fd < 0) return nullptr;
    ::fchmod(fd, 0644);
    writer->fd_ = fd;
    writer->tmpPath_ = std::move(path);
  }
  return writer;
}

bool DeviceState::CommitPartition(const std::string& name, const std::string& tmpPath, Bytes memory,
                                  PartitionSummary summary) {
  std::lock_guard lock(mu_);
  if (!tmpPath.empty()) {
    if (std::rename(tmpPath.c_str(), PartitionPath(name).c_str()) != 0) return false;
    memoryPartitions_.erase(name);
  } else {
    memoryPartitions_[name] = std::move(memory);
  }
  partitions_[name] = summary;
  SaveManifestLocked();
  return true;
}

std::optional<Bytes> DeviceState::Partition(const std::string& name) const {
  std::lock_guard lock(mu_);
  if (!partitions_.count(name)) return std::nullopt;
  if (auto it = memoryPartitions_.find(name); it != memoryPartitions_.end()) return it->second;
  std::ifstream in(PartitionPath(name), std::ios::binary);
  if (!in) return std::nullopt;
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

std::map<std::string, PartitionSummary> DeviceState::Partitions() const {
  std::lock_guard lock(mu_);
  return partitions_;
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

std::optional<Bytes> DeviceState::Rf(uint16_t id) const {
  std::lock_guard lock(mu_);
  auto it = rf_.find(id);
  if (it == rf_.end()) return std::nullopt;
  return it->second;
}

void DeviceState::SetRf(uint16_t id, Bytes data) {
  std::lock_guard lock(mu_);
  rf_[id] = std::move(data);
  SaveRfLocked();
}

void DeviceState::EraseRf(uint16_t id) {
  std::lock_guard lock(mu_);
  rf_.erase(id);
  SaveRfLocked();
}

std::map<uint16_t, Bytes> DeviceState::AllRf() const {
  std::lock_guard lock(mu_);
  return rf_;
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
