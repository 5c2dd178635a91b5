#include "sim/efs_responders.h"

#include <algorithm>
#include <cstdio>
#include <sstream>

#include "sim/device_state.h"
#include "sim/virtual_modem.h"

namespace zovir::sim {

namespace {

constexpr uint8_t kEfsSubsystem = 0x13;

enum : uint16_t {
  kOpen = 0x0002,
  kClose = 0x0003,
  kRead = 0x0004,
  kWrite = 0x0005,
  kMkdir = 0x0009,
  kOpendir = 0x000B,
  kReaddir = 0x000C,
  kClosedir = 0x000D,
  kStat = 0x000F,
  kStatfs = 0x0013,
};

// POSIX error numbers.
constexpr uint32_t kENOENT = 2;
constexpr uint32_t kEBADF = 9;
constexpr uint32_t kEEXIST = 17;
constexpr uint32_t kENOTDIR = 20;
constexpr uint32_t kEISDIR = 21;
[[maybe_unused]] constexpr uint32_t kEINVAL = 22;
constexpr uint32_t kEMFILE = 24;

constexpr uint32_t kOAccMode = 03;
constexpr uint32_t kOCreat = 0100;
constexpr uint32_t kOTrunc = 01000;
constexpr uint32_t kOExcl = 0200;

constexpr uint32_t kModeDir = 040777;
constexpr uint32_t kModeFile = 0100666;
constexpr uint32_t kTime = 0x5F5E1000;
constexpr uint32_t kMaxRead = 1024;
constexpr uint32_t kMaxOpen = 16;

uint32_t Le32(std::span<const uint8_t> p, size_t at) {
  return static_cast<uint32_t>(p[at]) | (static_cast<uint32_t>(p[at + 1]) << 8) |
         (static_cast<uint32_t>(p[at + 2]) << 16) | (static_cast<uint32_t>(p[at + 3]) << 24);
}

void Put32(Bytes& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

Bytes Header(uint16_t command) {
  return Bytes{DiagDispatcher::kSubsystemCommand, kEfsSubsystem, static_cast<uint8_t>(command),
               static_cast<uint8_t>(command >> 8)};
}

// The zero-terminated path at `at`; nothing when it has no terminator.
std::optional<std::string> PathAt(std::span<const uint8_t> req, size_t at) {
  if (req.size() <= at) return std::nullopt;
  auto end = std::find(req.begin() + static_cast<std::ptrdiff_t>(at), req.end(), 0);
  if (end == req.end()) return std::nullopt;
  return std::string(req.begin() + static_cast<std::ptrdiff_t>(at), end);
}

// "/a/b" form; nothing for a path that climbs above the root.
std::optional<std::string> Normal(const std::string& path) {
  std::string out;
  std::stringstream ss(path);
  std::string part;
  while (std::getline(ss, part, '/')) {
    if (part.empty() || part == ".") continue;
    if (part == "..") return std::nullopt;
    out += "/" + part;
  }
  return out.empty() ? "/" : out;
}

std::string Parent(const std::string& p) {
  const size_t slash = p.rfind('/');
  return slash == 0 || slash == std::string::npos ? "/" : p.substr(0, slash);
}

size_t Depth(const std::string& normal) {
  return normal == "/" ? 0 : static_cast<size_t>(std::count(normal.begin(), normal.end(), '/'));
}

bool DirExists(DeviceState& state, const std::string& p) { return p == "/" || state.EfsDirExists(p); }

}  // namespace

uint32_t EfsSimulation::Count(uint16_t command) const {
  std::lock_guard lock(mu_);
  auto it = counts_.find(command);
  return it == counts_.end() ? 0 : it->second;
}

uint32_t EfsSimulation::Wipes() const {
  std::lock_guard lock(mu_);
  return wipes_;
}

void EfsSimulation::WipeLocked(DeviceState& state) {
  // Deepest first, so every folder is empty when it goes.
  std::vector<std::string> all;
  std::vector<std::string> pending{"/"};
  while (!pending.empty()) {
    const std::string dir = pending.back();
    pending.pop_back();
    for (const auto& name : state.ListEfs(dir)) {
      const std::string p = (dir == "/" ? "" : dir) + "/" + name;
      all.push_back(p);
      if (state.EfsDirExists(p)) pending.push_back(p);
    }
  }
  std::sort(all.begin(), all.end(), [](const std::string& a, const std::string& b) { return a.size() > b.size(); });
  for (const auto& p : all) state.RemoveEfs(p);
  ++wipes_;
}

void EfsSimulation::OnModemEvent(DeviceState& state, const std::string& event) {
  std::lock_guard lock(mu_);
  if (event.rfind("partition efs written", 0) == 0) {
    if (options_.wipeOnEfsImage) WipeLocked(state);
  } else if (event.rfind("restarting", 0) == 0) {
    files_.clear();
    dirs_.clear();
  }
}

std::optional<Bytes> EfsSimulation::Handle(std::span<const uint8_t> req, DiagContext& ctx) {
  if (req.size() < 4) return DiagDispatcher::ErrorReply(req);
  const auto command = static_cast<uint16_t>(req[2] | (req[3] << 8));
  BindIfUnbound(ctx.state);
  std::lock_guard lock(mu_);
  ++counts_[command];
  DeviceState& state = ctx.state;
  Bytes reply;
  switch (command) {
    case kStat: reply = Stat(req, state); break;
    case kOpen: reply = Open(req, state); break;
    case kRead: reply = Read(req, state); break;
    case kWrite: reply = Write(req, state); break;
    case kClose: reply = Close(req); break;
    case kMkdir: reply = Mkdir(req, state); break;
    case kOpendir: reply = Opendir(req, state); break;
    case kReaddir: reply = Readdir(req); break;
    case kClosedir: reply = Closedir(req); break;
    case kStatfs: reply = Statfs(req); break;
    default: break;
  }
  if (reply.empty()) return DiagDispatcher::ErrorReply(req);
  return reply;
}

bool EfsSimulation::HostileFile(const std::string& path, std::string& content) const {
  if (!options_.hostile) return false;
  content = "hostile:" + path;
  return true;
}

Bytes EfsSimulation::Stat(std::span<const uint8_t> req, DeviceState& state) {
  const auto raw = PathAt(req, 4);
  if (!raw) return {};
  Bytes r = Header(kStat);
  uint32_t err = 0, mode = 0, size = 0, links = 0;
  const auto p = Normal(*raw);
  std::string synthetic;
  if (!p) {
    err = kENOENT;
  } else if (auto file = state.EfsFile(*p)) {
    mode = kModeFile;
    size = static_cast<uint32_t>(file->size());
    links = 1;
  } else if (DirExists(state, *p)) {
    mode = kModeDir;
    links = 2;
  } else if (HostileFile(*p, synthetic)) {
    mode = kModeFile;
    size = static_cast<uint32_t>(synthetic.size());
    links = 1;
  } else {
    err = kENOENT;
  }
  Put32(r, err);
  Put32(r, mode);
  Put32(r, size);
  Put32(r, links);
  Put32(r, err ? 0 : kTime);
  Put32(r, err ? 0 : kTime);
  Put32(r, err ? 0 : kTime);
  return r;  // 32 bytes
}

Bytes EfsSimulation::Open(std::span<const uint8_t> req, DeviceState& state) {
  const auto raw = PathAt(req, 12);
  if (!raw) return {};
  const uint32_t flags = Le32(req, 4);
  Bytes r = Header(kOpen);
  const auto answer = [&r](uint32_t fd, uint32_t err) {
    Put32(r, fd);
    Put32(r, err);
    return r;  // 12 bytes
  };
  const auto p = Normal(*raw);
  if (!p || *p == "/") return answer(0xFFFFFFFF, p ? kEISDIR : kENOENT);
  uint32_t fd = 0;
  while (files_.count(fd)) ++fd;
  if (fd >= kMaxOpen) return answer(0xFFFFFFFF, kEMFILE);

  OpenFile of;
  of.path = *p;
  of.write = (flags & kOAccMode) != 0;
  const auto existing = state.EfsFile(*p);
  if (state.EfsDirExists(*p)) return answer(0xFFFFFFFF, kEISDIR);
  if (!existing) {
    std::string synthetic;
    if (!of.write && HostileFile(*p, synthetic)) {
      of.isSynthetic = true;
      of.synthetic = synthetic;
    } else if (!(flags & kOCreat)) {
      return answer(0xFFFFFFFF, kENOENT);
    } else if (!DirExists(state, Parent(*p))) {
      return answer(0xFFFFFFFF, state.EfsFile(Parent(*p)) ? kENOTDIR : kENOENT);
    } else {
      state.SetEfsFile(*p, {});
    }
  } else if ((flags & kOCreat) && (flags & kOExcl)) {
    return answer(0xFFFFFFFF, kEEXIST);
  } else if (of.write && (flags & kOTrunc)) {
    state.SetEfsFile(*p, {});
  }
  files_[fd] = of;
  return answer(fd, 0);
}

Bytes EfsSimulation::Read(std::span<const uint8_t> req, DeviceState& state) {
  if (req.size() < 16) return {};
  const uint32_t fd = Le32(req, 4);
  const uint32_t count = std::min(Le32(req, 8), kMaxRead);
  const uint32_t offset = Le32(req, 12);
  Bytes r = Header(kRead);
  Put32(r, fd);
  Put32(r, offset);
  auto it = files_.find(fd);
  if (it == files_.end() || it->second.write) {
    Put32(r, 0xFFFFFFFF);
    Put32(r, kEBADF);
    return r;
  }
  Bytes content;
  if (it->second.isSynthetic) {
    content.assign(it->second.synthetic.begin(), it->second.synthetic.end());
  } else if (auto f = state.EfsFile(it->second.path)) {
    content = std::move(*f);
  }
  const uint32_t n = offset >= content.size() ? 0 : std::min<uint32_t>(count, static_cast<uint32_t>(content.size()) - offset);
  Put32(r, n);
  Put32(r, 0);
  if (n > 0) r.insert(r.end(), content.begin() + offset, content.begin() + offset + n);
  return r;  // 20 bytes and the data
}

Bytes EfsSimulation::Write(std::span<const uint8_t> req, DeviceState& state) {
  if (req.size() < 12) return {};
  const uint32_t fd = Le32(req, 4);
  const uint32_t offset = Le32(req, 8);
  const auto count = static_cast<uint32_t>(req.size() - 12);
  Bytes r = Header(kWrite);
  Put32(r, fd);
  Put32(r, offset);
  auto it = files_.find(fd);
  if (it == files_.end() || !it->second.write) {
    Put32(r, 0xFFFFFFFF);
    Put32(r, kEBADF);
    return r;
  }
  Bytes content = state.EfsFile(it->second.path).value_or(Bytes{});
  if (content.size() < static_cast<size_t>(offset) + count) content.resize(static_cast<size_t>(offset) + count, 0);
  std::copy(req.begin() + 12, req.end(), content.begin() + offset);
  state.SetEfsFile(it->second.path, std::move(content));
  Put32(r, count);
  Put32(r, 0);
  return r;  // 20 bytes
}

Bytes EfsSimulation::Close(std::span<const uint8_t> req) {
  if (req.size() < 8) return {};
  Bytes r = Header(kClose);
  Put32(r, files_.erase(Le32(req, 4)) ? 0 : kEBADF);
  return r;  // 8 bytes
}

Bytes EfsSimulation::Mkdir(std::span<const uint8_t> req, DeviceState& state) {
  const auto raw = PathAt(req, 6);
  if (!raw) return {};
  Bytes r = Header(kMkdir);
  const auto p = Normal(*raw);
  uint32_t err = 0;
  if (!p) {
    err = kENOENT;
  } else if (*p == "/" || state.EfsDirExists(*p) || state.EfsFile(*p)) {
    err = kEEXIST;
  } else if (!DirExists(state, Parent(*p))) {
    err = state.EfsFile(Parent(*p)) ? kENOTDIR : kENOENT;
  } else {
    state.MakeEfsDir(*p);
  }
  Put32(r, err);
  return r;  // 8 bytes
}

std::vector<EfsSimulation::Entry> EfsSimulation::Listing(const std::string& path, DeviceState& state) const {
  std::vector<Entry> out;
  for (const auto& name : state.ListEfs(path)) {
    const std::string child = (path == "/" ? "" : path) + "/" + name;
    Entry e;
    e.name = name;
    e.dir = state.EfsDirExists(child);
    if (!e.dir) e.size = static_cast<uint32_t>(state.EfsFile(child).value_or(Bytes{}).size());
    out.push_back(e);
  }
  return out;
}

std::vector<EfsSimulation::Entry> EfsSimulation::HostileListing(const std::string& path) const {
  std::vector<Entry> out = {
      {".", true, 0},          {"..", true, 0},        {"../../x", false, 9}, {"../up", true, 0},
      {"a/b", false, 3},       {"c:d", false, 3},      {"ctl\x01name", false, 4}, {"esc\x1b[31m", false, 4},
      {"back\\slash", true, 0}, {"tab\there", false, 2}, {"..\\..\\win", false, 3}, {"del\x7f", false, 1},
  };
  const auto p = Normal(path).value_or("/");
  if (static_cast<int>(Depth(p)) < options_.hostileDepth) out.push_back({"deep", true, 0});
  char name[16];
  for (uint32_t i = 0; i < options_.hostileEntries; ++i) {
    std::snprintf(name, sizeof name, "x:%03u", i);
    out.push_back({name, i % 2 == 0, 0});
  }
  if (Depth(p) <= 1) {
    for (uint32_t i = 0; i < options_.hostileFiles; ++i) {
      std::snprintf(name, sizeof name, "n%03u", i);
      out.push_back({name, false, 0});
    }
  }
  return out;
}

Bytes EfsSimulation::Opendir(std::span<const uint8_t> req, DeviceState& state) {
  const auto raw = PathAt(req, 4);
  if (!raw) return {};
  Bytes r = Header(kOpendir);
  const auto p = Normal(*raw);
  uint32_t err = 0;
  std::vector<Entry> entries;
  if (options_.hostile) {
    entries = HostileListing(p.value_or(*raw));
    if (p && DirExists(state, *p)) {
      auto real = Listing(*p, state);
      entries.insert(entries.begin(), real.begin(), real.end());
    }
  } else if (!p) {
    err = kENOENT;
  } else if (state.EfsFile(*p)) {
    err = kENOTDIR;
  } else if (!DirExists(state, *p)) {
    err = kENOENT;
  } else {
    entries = Listing(*p, state);
  }
  uint32_t dirp = 0;
  if (err == 0) {
    dirp = 1;
    while (dirs_.count(dirp)) ++dirp;
    dirs_[dirp] = std::move(entries);
  }
  Put32(r, dirp);
  Put32(r, err);
  return r;  // 12 bytes
}

Bytes EfsSimulation::Readdir(std::span<const uint8_t> req) {
  if (req.size() < 12) return {};
  const uint32_t dirp = Le32(req, 4);
  const uint32_t seq = Le32(req, 8);
  Bytes r = Header(kReaddir);
  Put32(r, dirp);
  Put32(r, seq);
  auto it = dirs_.find(dirp);
  const Entry* e = nullptr;
  uint32_t err = 0;
  if (it == dirs_.end()) {
    err = kEBADF;
  } else if (seq >= 1 && seq <= it->second.size()) {
    e = &it->second[seq - 1];
  }
  Put32(r, err);
  Put32(r, e && e->dir ? 1 : 0);
  Put32(r, e ? (e->dir ? kModeDir : kModeFile) : 0);
  Put32(r, e ? e->size : 0);
  Put32(r, e ? kTime : 0);
  Put32(r, e ? kTime : 0);
  Put32(r, e ? kTime : 0);
  if (e) r.insert(r.end(), e->name.begin(), e->name.end());
  r.push_back(0);  // name at 40; an empty name ends the listing
  return r;
}

Bytes EfsSimulation::Closedir(std::span<const uint8_t> req) {
  if (req.size() < 8) return {};
  Bytes r = Header(kClosedir);
  Put32(r, dirs_.erase(Le32(req, 4)) ? 0 : kEBADF);
  return r;  // 8 bytes
}

Bytes EfsSimulation::Statfs(std::span<const uint8_t> req) {
  if (!PathAt(req, 4)) return {};
  Bytes r = Header(kStatfs);
  Put32(r, 0);           // errno
  Put32(r, 0x45465332);  // file system id
  const char type[8] = {'e', 'f', 's', '2', 0, 0, 0, 0};
  r.insert(r.end(), type, type + 8);
  Put32(r, 2048);    // block size
  Put32(r, 32768);   // total blocks
  Put32(r, 16384);   // available blocks
  Put32(r, 16384);   // free blocks
  Put32(r, 0x1000000);  // largest file
  Put32(r, 0);       // files
  Put32(r, 4096);    // most files
  return r;  // 48 bytes
}

void InstallEfsResponders(DiagDispatcher& diag, AtDispatcher& at) {
  InstallEfsResponders(diag, at, std::make_shared<EfsSimulation>());
}

void InstallEfsResponders(DiagDispatcher& diag, AtDispatcher& /*at*/, std::shared_ptr<EfsSimulation> efs) {
  diag.RegisterSubsystem(kEfsSubsystem, [efs](std::span<const uint8_t> req, DiagContext& ctx) {
    return efs->Handle(req, ctx);
  });
}

void AttachEfs(VirtualModemOptions& options, std::shared_ptr<EfsSimulation> efs) {
  options.extraResponders.push_back([efs](DiagDispatcher& diag, AtDispatcher& at) { InstallEfsResponders(diag, at, efs); });
  options.AddStore(efs);
}

}  // namespace zovir::sim
