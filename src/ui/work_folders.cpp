#include "ui/work_folders.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>

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

WorkFolders::WorkFolders(const SystemPaths& paths) : paths_(paths) {
  CreateFolderPath(paths_.runtimeDir);
  std::string templ = DropTrailingSeparators(paths_.runtimeDir) + "/quorvel-zovir-XXXXXX";
  if (mkdtemp(templ.data()) == nullptr) throw StartupError("Could not create folder!" + templ);
  session_ = Resolved(templ);
  guard_ = FolderGuard({session_}, {paths_.backupRoot, paths_.logDir});
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
}

bool WorkFolders::RemoveWorkFolders() {
  RemoveFolder(WorkFolder(), guard_);
  RemoveFolder(SecondPacketFolder(), guard_);
  return RemoveFolder(session_, guard_) == 1;
}

}  // namespace zovir
