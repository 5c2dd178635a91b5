// zovir-make-packet: writes a synthetic firmware packet (flash programmer, partition table,
// boot chain, application and EFS images, Config.ini) into a folder. Contents are
// pseudo-random but deterministic: the same sizes and seed give the same bytes.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<uint8_t>;

// splitmix64: small, fast and fixed, so packets are reproducible everywhere.
class Random {
 public:
  explicit Random(uint64_t seed) : s_(seed) {}
  uint64_t Next() {
    uint64_t z = (s_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  void Fill(uint8_t* p, size_t n) {
    for (size_t i = 0; i < n; i += 8) {
      uint64_t v = Next();
      std::memcpy(p + i, &v, std::min<size_t>(8, n - i));
    }
  }

 private:
  uint64_t s_;
};

uint64_t Seed(const std::string& name, uint64_t seed) {
  uint64_t h = 1469598103934665603ull ^ seed;
  for (char c : name) h = (h ^ static_cast<uint8_t>(c)) * 1099511628211ull;
  return h;
}

void Le16(Bytes& b, size_t at, uint16_t v) {
  b[at] = static_cast<uint8_t>(v);
  b[at + 1] = static_cast<uint8_t>(v >> 8);
}
void Le32(Bytes& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

// An ELF32 (ARM, little-endian) flash programmer of about `size` bytes: a program-header
// table, a non-loadable hash segment and three loadable segments, the last of which ends at
// the end of the file (the boot loader's last read ends there).
Bytes MakeProgrammer(uint32_t size, uint64_t seed) {
  constexpr uint32_t kPhnum = 5, kHashOff = 0x1000, kHashSize = 0x200, kFirstLoad = 0x2000;
  if (size < kFirstLoad + 3 * 64) size = kFirstLoad + 3 * 64;
  Bytes f(size, 0);
  Random rnd(Seed("NPRG9x06", seed));
  const uint8_t ident[16] = {0x7F, 'E', 'L', 'F', 1, 1, 1, 0};
  std::memcpy(f.data(), ident, 16);
  Le16(f, 16, 2);         // ET_EXEC
  Le16(f, 18, 40);        // EM_ARM
  Le32(f, 20, 1);         // EV_CURRENT
  Le32(f, 24, 0x08000000);  // entry
  Le32(f, 28, 52);        // e_phoff
  Le32(f, 32, 0);         // e_shoff
  Le32(f, 36, 0x05000000);  // flags
  Le16(f, 40, 52);        // e_ehsize
  Le16(f, 42, 32);        // e_phentsize
  Le16(f, 44, kPhnum);
  Le16(f, 46, 40);        // e_shentsize
  Le16(f, 48, 0);
  Le16(f, 50, 0);
  const uint32_t body = size - kFirstLoad;
  const uint32_t seg1 = (body / 2) & ~0xFu, seg2 = (body / 4) & ~0xFu;
  struct Ph {
    uint32_t type, offset, vaddr, filesz, flags;
  } ph[kPhnum] = {
      {0, 0, 0, 52 + 32 * kPhnum, 0x07000000},         // the headers themselves
      {0, kHashOff, 0x08100000, kHashSize, 0x02200000},  // hash segment, not loaded
      {1, kFirstLoad, 0x08000000, seg1, 5},              // code
      {1, kFirstLoad + seg1, 0x08000000 + seg1, seg2, 6},  // data
      {1, kFirstLoad + seg1 + seg2, 0x08000000 + seg1 + seg2, body - seg1 - seg2, 6},
  };
  for (uint32_t i = 0; i < kPhnum; ++i) {
    const size_t at = 52 + 32 * i;
    Le32(f, at, ph[i].type);
    Le32(f, at + 4, ph[i].offset);
    Le32(f, at + 8, ph[i].vaddr);
    Le32(f, at + 12, ph[i].vaddr);
    Le32(f, at + 16, ph[i].filesz);
    Le32(f, at + 20, ph[i].filesz);
    Le32(f, at + 24, ph[i].flags);
    Le32(f, at + 28, 0x1000);
  }
  rnd.Fill(f.data() + kHashOff, kHashSize);
  rnd.Fill(f.data() + kFirstLoad, body);
  return f;
}

// A small partition table: magic, version, count, then named entries.
Bytes MakePartitionTable() {
  static const char* kNames[] = {"0:SBL", "0:TZ", "0:QDSP", "0:MBA", "0:RPM", "0:ACDB", "0:APPS", "0:EFS2", "0:EFS2APPS"};
  Bytes t(16, 0);
  const uint32_t magic1 = 0x55EE73AA, magic2 = 0xE35EBDDB;
  Le32(t, 0, magic1);
  Le32(t, 4, magic2);
  Le32(t, 8, 4);  // version
  Le32(t, 12, static_cast<uint32_t>(std::size(kNames)));
  uint32_t start = 0;
  for (const char* n : kNames) {
    Bytes e(28, 0);
    std::memcpy(e.data(), n, std::strlen(n));
    Le32(e, 16, start);
    Le32(e, 20, 64);  // blocks
    e[24] = 0xFF;
    t.insert(t.end(), e.begin(), e.end());
    start += 64;
  }
  return t;
}

bool Write(const fs::path& p, const Bytes& b) {
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
  return static_cast<bool>(out);
}

// Copies the Config.ini template, replacing the value of [section] key where asked.
bool WriteConfig(const fs::path& from, const fs::path& to, const std::map<std::string, std::string>& overrides) {
  std::ifstream in(from);
  if (!in) return false;
  std::ostringstream os;
  std::string line, section;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.size() > 2 && line.front() == '[') section = line.substr(1, line.find(']') - 1);
    auto eq = line.find('=');
    if (eq != std::string::npos) {
      auto it = overrides.find(section + "." + line.substr(0, eq));
      if (it != overrides.end()) line = line.substr(0, eq + 1) + it->second;
    }
    os << line << "\r\n";
  }
  std::ofstream out(to, std::ios::binary | std::ios::trunc);
  out << os.str();
  return static_cast<bool>(out);
}

const char* kUsage =
    "usage: zovir-make-packet --out DIR [--size NAME=BYTES]... [--seed N] [--config TEMPLATE]\n"
    "                         [--set SECTION.KEY=VALUE]...\n"
    "  NAME: NPRG9x06 sbl1 tz qdsp6sw mba rpm acdb apps efs efs2apps (BYTES may end in K or M)\n"
    "  Writes NAME.mbn for each, partition.mbn and, with --config, Config.ini.\n";

bool ParseSize(const std::string& s, uint32_t& out) {
  if (s.empty()) return false;
  char* end = nullptr;
  unsigned long long v = std::strtoull(s.c_str(), &end, 10);
  if (end == s.c_str()) return false;
  std::string unit(end);
  if (unit == "K" || unit == "k") v *= 1024;
  else if (unit == "M" || unit == "m") v *= 1024 * 1024;
  else if (!unit.empty()) return false;
  if (v == 0 || v > 0x7FFFFFFF) return false;
  out = static_cast<uint32_t>(v);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::map<std::string, uint32_t> sizes = {
      {"NPRG9x06", 64 * 1024}, {"sbl1", 256 * 1024}, {"tz", 512 * 1024}, {"qdsp6sw", 4 * 1024 * 1024},
      {"mba", 128 * 1024},     {"rpm", 160 * 1024},  {"acdb", 256 * 1024}, {"apps", 4 * 1024 * 1024},
      {"efs", 2 * 1024 * 1024}, {"efs2apps", 1024 * 1024},
  };
  std::string out, config;
  uint64_t seed = 1;
  std::map<std::string, std::string> overrides;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto next = [&]() -> std::string {
      if (i + 1 >= argc) {
        std::cerr << a << " needs a value\n" << kUsage;
        std::exit(2);
      }
      return argv[++i];
    };
    if (a == "--out") {
      out = next();
    } else if (a == "--seed") {
      seed = std::strtoull(next().c_str(), nullptr, 10);
    } else if (a == "--config") {
      config = next();
    } else if (a == "--size") {
      std::string v = next();
      auto eq = v.find('=');
      uint32_t n = 0;
      if (eq == std::string::npos || !sizes.count(v.substr(0, eq)) || !ParseSize(v.substr(eq + 1), n)) {
        std::cerr << "bad --size " << v << "\n" << kUsage;
        return 2;
      }
      sizes[v.substr(0, eq)] = n;
    } else if (a == "--set") {
      std::string v = next();
      auto eq = v.find('=');
      if (eq == std::string::npos || v.find('.') > eq) {
        std::cerr << "bad --set " << v << "\n" << kUsage;
        return 2;
      }
      overrides[v.substr(0, eq)] = v.substr(eq + 1);
    } else if (a == "-h" || a == "--help") {
      std::cout << kUsage;
      return 0;
    } else {
      std::cerr << "unknown argument " << a << "\n" << kUsage;
      return 2;
    }
  }
  if (out.empty()) {
    std::cerr << kUsage;
    return 2;
  }
  std::error_code ec;
  fs::create_directories(out, ec);
  bool ok = Write(fs::path(out) / "NPRG9x06.mbn", MakeProgrammer(sizes["NPRG9x06"], seed));
  ok = Write(fs::path(out) / "partition.mbn", MakePartitionTable()) && ok;
  for (const auto& [name, size] : sizes) {
    if (name == "NPRG9x06") continue;
    Bytes b(size);
    Random(Seed(name, seed)).Fill(b.data(), b.size());
    ok = Write(fs::path(out) / (name + ".mbn"), b) && ok;
  }
  if (!config.empty()) ok = WriteConfig(config, fs::path(out) / "Config.ini", overrides) && ok;
  if (!ok) {
    std::cerr << "cannot write the packet into " << out << "\n";
    return 1;
  }
  return 0;
}
