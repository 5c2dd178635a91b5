#include "ui/work_folders.h"

#include <chrono>
#include <filesystem>

#include "platform/private_files.h"
#include "platform/regular_file.h"

namespace zovir {
namespace fs = std::filesystem;

namespace {

std::string DropTrailingSeparators(std::string p) {
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  return p;
}

// Absolute and normal, with the links of the part that exists resolved.
std::string Resolved(const std::string& p) {
  std::error_code ec;
  fs::path r = fs::weakly_canonical(fs::path(p), ec);
  if (ec) return {};
  return DropTrailingSeparators(r.lexically_normal().string());
}

bool Below(const std::string& root, const std::string& path, bool allowEqual) {
  if (root.empty() || path.empty()) return false;
  if (path == root) return allowEqual;
  if (root == "/") return path.size() > 1;
  return path.size() > root.size() && path.compare(0, root.size(), root) == 0 && path[root.size()] == '/';
}

}  // namespace

std::string StageFile(const std::string& from, const std::string& to) {
  constexpr size_t kMaxStagedBytes = 64u << 20;
  std::error_code ec;
  if (fs::symlink_status(from, ec).type() == fs::file_type::not_found) return {};
  std::string bytes, why;
  if (!ReadRegularFile(from, kMaxStagedBytes, bytes, &why)) return "Could not copy " + from + ": " + why;
  const bool program = (fs::status(from, ec).permissions() & fs::perms::owner_exec) != fs::perms::none;
  if (!WriteFileAtomically(to, bytes, program ? FileAccess::OwnerProgram : FileAccess::OwnerOnly))
    return "Could not copy " + from + " to " + to;
  return {};
}

void CreateFolderPath(const std::string& path) {
  if (path.empty() || !fs::path(path).is_absolute()) throw StartupError("Could not create folder!" + path);
  std::string failedAt;
  if (!CreatePrivateFolders(path, &failedAt)) throw StartupError("Could not create folder!" + failedAt);
}

FolderGuard::FolderGuard(std::vector<std::string> ownFolders, std::vector<std::string> keptRoots) {
  for (const std::string& f : ownFolders) {
    if (!f.empty() && f.front() == '/') own_.push_back(Resolved(f));
  }
  for (const std::string& f : keptRoots) {
    if (!f.empty() && f.front() == '/') kept_.push_back(Resolved(f));
  }
}

bool FolderGuard::MayRemove(const std::string& path) const {
  if (path.empty() || path.front() != '/') return false;
  const std::string target = Resolved(path);
  if (target.empty() || target == "/") return false;
  for (const std::string& root : own_) {
    if (root != "/" && Below(root, target, true)) return true;
  }
  for (const std::string& root : kept_) {
    if (root != "/" && Below(root, target, false)) return true;
  }
  return false;
}

int RemoveFolder(const std::string& path, const FolderGuard& guard) {
  const std::string p = DropTrailingSeparators(path);
  if (!guard.MayRemove(p)) return 0;
  std::error_code ec;
  // remove_all deletes links themselves and never descends through them.
  fs::remove_all(fs::path(p), ec);
  if (ec) return 0;
  return fs::symlink_status(fs::path(p), ec).type() == fs::file_type::not_found ? 1 : 0;
}

namespace {

constexpr const char* kSessionPrefix = "quorvel-zovir-";
constexpr size_t kSessionNameLength = 14 + 6;  // the prefix and mkdtemp's six characters
// Locked by the run that owns the session; a kept session has the other file.
constexpr const char* kOwnerFile = ".owner";
constexpr const char* kKeptFile = ".kept";
// A session without an owner file younger than this may still be being made.
constexpr auto kUnownedGrace = std::chrono::minutes(10);

}  // namespace

int RemoveAbandonedSessions(const std::string& runtimeDir) {
  std::error_code ec;
  int removed = 0;
  for (fs::directory_iterator it(runtimeDir, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (name.size() != kSessionNameLength || name.compare(0, 14, kSessionPrefix) != 0) continue;
    const std::string folder = it->path().string();
    const FolderState state = InspectFolder(folder);
    if (state == FolderState::Missing || state == FolderState::NotAFolder || state == FolderState::Foreign) continue;
    std::error_code error;  // the listing's own stays clear
    if (fs::exists(fs::symlink_status(folder + "/" + kKeptFile, error))) continue;
    FileHandle owner = OpenNoFollow(folder + "/" + kOwnerFile);
    if (!owner) {
      const auto age = fs::file_time_type::clock::now() - fs::last_write_time(folder, error);
      if (error || age < kUnownedGrace) continue;
    } else if (!owner.Lock(false)) {
      continue;
    }
    owner.Close();
    removed += RemoveFolder(folder, FolderGuard({folder}, {}));
  }
  return removed;
}

WorkFolders::WorkFolders(const SystemPaths& paths) : paths_(paths) {
  CreateFolderPath(paths_.runtimeDir);
  RemoveAbandonedSessions(paths_.runtimeDir);
  const std::string prefix = DropTrailingSeparators(paths_.runtimeDir) + "/" + kSessionPrefix;
  const std::string made = MakePrivateTempFolder(prefix);
  if (made.empty()) throw StartupError("Could not create folder!" + prefix + "XXXXXX");
  session_ = Resolved(made);
  guard_ = FolderGuard({session_}, {paths_.backupRoot, paths_.logDir});
  owner_ = CreatePrivateFile(session_ + "/" + kOwnerFile, CreateMode::New);
  if (owner_) owner_.Lock(false);
  try {
    CreateFolderPath(WorkFolder());
    CreateFolderPath(paths_.backupRoot);
    // Narrowed when it is the user's own real folder; a link to one is left as the user made it.
    CreatePrivateFolder(paths_.backupRoot);
  } catch (...) {
    RemoveFolder(session_, guard_);
    throw;
  }
}

WorkFolders::~WorkFolders() {
  if (!keep_) RemoveWorkFolders();
}

void WorkFolders::Keep() {
  keep_ = true;
  // Left for inspection: a later start must not take it for the folder of a killed run.
  CreatePrivateFile(session_ + "/" + kKeptFile, CreateMode::Keep);
}

bool WorkFolders::RemoveWorkFolders() {
  RemoveFolder(WorkFolder(), guard_);
  RemoveFolder(SecondPacketFolder(), guard_);
  return RemoveFolder(session_, guard_) == 1;
}

}  // namespace zovir
