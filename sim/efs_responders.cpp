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
  kHello = 0x0000,
  kOpen = 0x0002,
  kClose = 0x0003,
  kRead = 0x0004,
  kWrite = 0x0005,
  kUnlink = 0x0008,
  kMkdir = 0x0009,
  kRmdir = 0x000A,
  kOpendir = 0x000B,
  kReaddir = 0x000C,
  kClosedir = 0x000D,
  kRename = 0x000E,
  kStat = 0x000F,
  kLstat = 0x0010,
  kFstat = 0x0011,
  kChmod = 0x0012,
  kStatfs = 0x0013,
};

// POSIX error numbers.
constexpr uint32_t kENOENT = 2;
constexpr uint32_t kEBADF = 9;
constexpr uint32_t kEEXIST = 17;
constexpr uint32_t kENOTDIR = 20;
constexpr uint32_t kEBUSY = 16;
constexpr uint32_t kEISDIR = 21;
constexpr uint32_t kEINVAL = 22;
constexpr uint32_t kEMFILE = 24;
constexpr uint32_t kENOTEMPTY = 39;

constexpr uint32_t kOAccMode = 03;
constexpr uint32_t kOCreat = 0100;
constexpr uint32_t kOTrunc = 01000;
constexpr uint32_t kOExcl = 0200;

constexpr uint32_t kModeDir = 040777;
constexpr uint32_t kModeFile = 0100666;
constexpr uint32_t kTypeMask = 0170000;
// Parameters of the hello: window sizes (packets and bytes) for the target's sends, the host's
// sends and directory iteration, then the protocol version, oldest and newest version spoken,
// and the feature bits.
constexpr uint32_t kHelloParams[10] = {0x100000, 0x100000, 0x100000, 0x100000, 0x100000, 0x100000, 1, 1, 1, 0};
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
  modes_.clear();
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
    case kHello: reply = Hello(req); break;
    case kUnlink: reply = Unlink(req, state); break;
    case kRmdir: reply = Rmdir(req, state); break;
    case kRename: reply = Rename(req, state); break;
    case kLstat: reply = Lstat(req, state); break;
    case kFstat: reply = Fstat(req, state); break;
    case kChmod: reply = Chmod(req, state); break;
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
    default: return DiagDispatcher::ErrorReply(req);
  }
  // A known command cut short (a missing field or path terminator).
  if (reply.empty()) return DiagDispatcher::BadLengthReply(req);
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
    mode = ModeOf(*p, kModeFile);
    size = static_cast<uint32_t>(file->size());
    links = 1;
  } else if (DirExists(state, *p)) {
    mode = ModeOf(*p, kModeDir);
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

uint32_t EfsSimulation::ModeOf(const std::string& path, uint32_t fallback) const {
  auto it = modes_.find(path);
  return it == modes_.end() ? fallback : (fallback & kTypeMask) | it->second;
}

Bytes EfsSimulation::Hello(std::span<const uint8_t> req) {
  if (req.size() != 4 + sizeof kHelloParams) return {};
  Bytes r = Header(kHello);
  for (uint32_t v : kHelloParams) Put32(r, v);
  return r;  // 44 bytes
}

// The error number of a path that names nothing: ENOTDIR when one of its folders is a file.
uint32_t EfsSimulation::MissingError(const std::string& p, DeviceState& state) const {
  for (std::string d = Parent(p); d != "/"; d = Parent(d))
    if (state.EfsFile(d)) return kENOTDIR;
  return kENOENT;
}

Bytes EfsSimulation::ErrnoReply(uint16_t command, uint32_t err) {
  Bytes r = Header(command);
  Put32(r, err);
  return r;  // 8 bytes
}

Bytes EfsSimulation::Unlink(std::span<const uint8_t> req, DeviceState& state) {
  const auto raw = PathAt(req, 4);
  if (!raw) return {};
  const auto p = Normal(*raw);
  if (!p) return ErrnoReply(kUnlink, kENOENT);
  if (DirExists(state, *p)) return ErrnoReply(kUnlink, kEISDIR);
  if (!state.EfsFile(*p)) return ErrnoReply(kUnlink, MissingError(*p, state));
  state.RemoveEfs(*p);
  modes_.erase(*p);
  return ErrnoReply(kUnlink, 0);
}

Bytes EfsSimulation::Rmdir(std::span<const uint8_t> req, DeviceState& state) {
  const auto raw = PathAt(req, 4);
  if (!raw) return {};
  const auto p = Normal(*raw);
  if (!p) return ErrnoReply(kRmdir, kENOENT);
  if (*p == "/") return ErrnoReply(kRmdir, kEBUSY);
  if (state.EfsFile(*p)) return ErrnoReply(kRmdir, kENOTDIR);
  if (!state.EfsDirExists(*p)) return ErrnoReply(kRmdir, MissingError(*p, state));
  if (!state.ListEfs(*p).empty()) return ErrnoReply(kRmdir, kENOTEMPTY);
  state.RemoveEfs(*p);
  modes_.erase(*p);
  return ErrnoReply(kRmdir, 0);
}

Bytes EfsSimulation::Rename(std::span<const uint8_t> req, DeviceState& state) {
  const auto rawFrom = PathAt(req, 4);
  if (!rawFrom) return {};
  const auto rawTo = PathAt(req, 4 + rawFrom->size() + 1);
  if (!rawTo) return {};
  const auto from = Normal(*rawFrom), to = Normal(*rawTo);
  if (!from || !to) return ErrnoReply(kRename, kENOENT);
  const bool fromFile = state.EfsFile(*from).has_value();
  const bool fromDir = !fromFile && DirExists(state, *from);
  if (!fromFile && !fromDir) return ErrnoReply(kRename, MissingError(*from, state));
  if (*from == "/" || *to == "/") return ErrnoReply(kRename, kEBUSY);
  if (*to == *from) return ErrnoReply(kRename, 0);
  if (fromDir && to->rfind(*from + "/", 0) == 0) return ErrnoReply(kRename, kEINVAL);
  if (!DirExists(state, Parent(*to))) return ErrnoReply(kRename, MissingError(*to, state));
  const bool toFile = state.EfsFile(*to).has_value();
  const bool toDir = !toFile && state.EfsDirExists(*to);
  if (fromFile && toDir) return ErrnoReply(kRename, kEISDIR);
  if (fromDir && toFile) return ErrnoReply(kRename, kENOTDIR);
  if (toDir && !state.ListEfs(*to).empty()) return ErrnoReply(kRename, kENOTEMPTY);
  if (toDir || toFile) state.RemoveEfs(*to);
  if (fromFile) {
    state.SetEfsFile(*to, *state.EfsFile(*from));
    state.RemoveEfs(*from);
  } else {
    // The folder's tree moves entry by entry: folders first, files, then the old folders
    // from the deepest up.
    std::vector<std::string> dirs{*from}, files;
    for (size_t i = 0; i < dirs.size(); ++i)
      for (const auto& name : state.ListEfs(dirs[i])) {
        const std::string child = dirs[i] + "/" + name;
        (state.EfsDirExists(child) ? dirs : files).push_back(child);
      }
    for (const auto& d : dirs) state.MakeEfsDir(*to + d.substr(from->size()));
    for (const auto& f : files) {
      state.SetEfsFile(*to + f.substr(from->size()), *state.EfsFile(f));
      state.RemoveEfs(f);
    }
    for (auto it = dirs.rbegin(); it != dirs.rend(); ++it) state.RemoveEfs(*it);
  }
  std::map<std::string, uint32_t> moved;
  for (auto it = modes_.begin(); it != modes_.end();) {
    if (it->first == *from || it->first.rfind(*from + "/", 0) == 0) {
      moved[*to + it->first.substr(from->size())] = it->second;
      it = modes_.erase(it);
    } else {
      ++it;
    }
  }
  for (auto& [path, mode] : moved) modes_[path] = mode;
  return ErrnoReply(kRename, 0);
}

Bytes EfsSimulation::Lstat(std::span<const uint8_t> req, DeviceState& state) {
  const auto raw = PathAt(req, 4);
  if (!raw) return {};
  Bytes r = Header(kLstat);
  const auto p = Normal(*raw);
  uint32_t err = 0, mode = 0;
  if (!p) {
    err = kENOENT;
  } else if (state.EfsFile(*p)) {
    mode = ModeOf(*p, kModeFile);
  } else if (DirExists(state, *p)) {
    mode = ModeOf(*p, kModeDir);
  } else {
    err = MissingError(*p, state);
  }
  Put32(r, err);
  Put32(r, mode);
  for (int i = 0; i < 3; ++i) Put32(r, err ? 0 : kTime);
  return r;  // 24 bytes
}

Bytes EfsSimulation::Fstat(std::span<const uint8_t> req, DeviceState& state) {
  if (req.size() != 8) return {};
  Bytes r = Header(kFstat);
  auto it = files_.find(Le32(req, 4));
  uint32_t err = 0, size = 0, mode = 0;
  if (it == files_.end()) {
    err = kEBADF;
  } else if (it->second.isSynthetic) {
    size = static_cast<uint32_t>(it->second.synthetic.size());
    mode = kModeFile;
  } else {
    size = static_cast<uint32_t>(state.EfsFile(it->second.path).value_or(Bytes{}).size());
    mode = ModeOf(it->second.path, kModeFile);
  }
  Put32(r, err);
  Put32(r, mode);
  Put32(r, size);
  Put32(r, err ? 0 : 1);
  for (int i = 0; i < 3; ++i) Put32(r, err ? 0 : kTime);
  return r;  // 32 bytes
}

Bytes EfsSimulation::Chmod(std::span<const uint8_t> req, DeviceState& state) {
  const auto raw = PathAt(req, 6);
  if (!raw) return {};
  const uint32_t mode = static_cast<uint32_t>(req[4] | (req[5] << 8)) & 07777;
  const auto p = Normal(*raw);
  if (!p) return ErrnoReply(kChmod, kENOENT);
  if (!state.EfsFile(*p) && !DirExists(state, *p)) return ErrnoReply(kChmod, MissingError(*p, state));
  modes_[*p] = mode;
  return ErrnoReply(kChmod, 0);
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
