#include "ui/work_folders.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>

#include "platform/profile_file.h"
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
  struct stat st {};
  if (lstat(from.c_str(), &st) != 0 && errno == ENOENT) return {};
  std::string bytes, why;
  if (!ReadRegularFile(from, kMaxStagedBytes, bytes, &why)) return "Could not copy " + from + ": " + why;
  const bool program = stat(from.c_str(), &st) == 0 && (st.st_mode & S_IXUSR) != 0;
  if (!WriteFileAtomically(to, bytes, FileAccess::OwnerOnly) || (program && chmod(to.c_str(), 0700) != 0))
    return "Could not copy " + from + " to " + to;
  return {};
}

void CreateFolderPath(const std::string& path) {
  if (path.empty() || path.front() != '/') throw StartupError("Could not create folder!" + path);
  std::string partial;
  size_t pos = 1;
  while (pos <= path.size()) {
    size_t next = path.find('/', pos);
    if (next == std::string::npos) next = path.size();
    if (next > pos) {
      partial = path.substr(0, next);
      struct stat st {};
      if (stat(partial.c_str(), &st) == 0) {
        if (!S_ISDIR(st.st_mode)) throw StartupError("Could not create folder!" + partial);
      } else if (mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST) {
        throw StartupError("Could not create folder!" + partial);
      }
    }
    pos = next + 1;
  }
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
// Held with flock by the run that owns the session; a kept session has the other file.
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
    struct stat st {};
    if (lstat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != geteuid()) continue;
    if (lstat((folder + "/" + kKeptFile).c_str(), &st) == 0) continue;
    const int fd = open((folder + "/" + kOwnerFile).c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
      const auto age = fs::file_time_type::clock::now() - fs::last_write_time(folder, ec);
      if (ec || age < kUnownedGrace) continue;
    } else {
      const bool ownerGone = flock(fd, LOCK_EX | LOCK_NB) == 0;
      close(fd);
      if (!ownerGone) continue;
    }
    removed += RemoveFolder(folder, FolderGuard({folder}, {}));
  }
  return removed;
}

WorkFolders::WorkFolders(const SystemPaths& paths) : paths_(paths) {
  CreateFolderPath(paths_.runtimeDir);
  RemoveAbandonedSessions(paths_.runtimeDir);
  std::string templ = DropTrailingSeparators(paths_.runtimeDir) + "/" + kSessionPrefix + "XXXXXX";
  if (mkdtemp(templ.data()) == nullptr) throw StartupError("Could not create folder!" + templ);
  session_ = Resolved(templ);
  guard_ = FolderGuard({session_}, {paths_.backupRoot, paths_.logDir});
  ownerFd_ = open((session_ + "/" + kOwnerFile).c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (ownerFd_ >= 0) flock(ownerFd_, LOCK_EX | LOCK_NB);
  try {
    CreateFolderPath(WorkFolder());
    CreateFolderPath(paths_.backupRoot);
    chmod(paths_.backupRoot.c_str(), 0700);
  } catch (...) {
    RemoveFolder(session_, guard_);
    throw;
  }
}

WorkFolders::~WorkFolders() {
  if (!keep_) RemoveWorkFolders();
  if (ownerFd_ >= 0) close(ownerFd_);
}

void WorkFolders::Keep() {
  keep_ = true;
  // Left for inspection: a later start must not take it for the folder of a killed run.
  const int fd = open((session_ + "/" + kKeptFile).c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd >= 0) close(fd);
}

bool WorkFolders::RemoveWorkFolders() {
  RemoveFolder(WorkFolder(), guard_);
  RemoveFolder(SecondPacketFolder(), guard_);
  return RemoveFolder(session_, guard_) == 1;
}

}  // namespace zovir
