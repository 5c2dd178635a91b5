// EnvCleaner: removes the work folders that crashed runs of the tool left in the temporary
// folder. A folder that a running program still uses is kept.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

const char* const kWorkFolders[] = {"TempFiles", "TempFiles2"};

void Usage(FILE* out, const char* name) {
  std::fprintf(out,
               "usage: %s [--temp-dir DIR] [--dry-run]\n"
               "Removes the work folders TempFiles and TempFiles2 that runs of the update tool left\n"
               "behind in the temporary folder (DIR, else $ZOVIR_TEMP_DIR, else $TMPDIR, else /tmp).\n"
               "Folders a running program still uses are kept. The Backup folder is never touched.\n"
               "Exit status: 0 done, 2 bad arguments, 1 a folder could not be removed.\n",
               name);
}

bool Within(const fs::path& p, const fs::path& folder) {
  auto f = folder.begin();
  auto q = p.begin();
  for (; f != folder.end(); ++f, ++q) {
    if (q == p.end() || *q != *f) return false;
  }
  return true;
}

// True when a process has its working folder or an open file inside `folder`.
bool InUse(const fs::path& folder) {
  std::error_code ec;
  const pid_t self = getpid();
  for (const auto& proc : fs::directory_iterator("/proc", ec)) {
    const std::string pid = proc.path().filename().string();
    if (pid.find_first_not_of("0123456789") != std::string::npos || std::stol(pid) == self) continue;
    std::error_code e2;
    fs::path cwd = fs::read_symlink(proc.path() / "cwd", e2);
    if (!e2 && Within(cwd, folder)) return true;
    for (const auto& fd : fs::directory_iterator(proc.path() / "fd", e2)) {
      std::error_code e3;
      fs::path target = fs::read_symlink(fd.path(), e3);
      if (!e3 && Within(target, folder)) return true;
    }
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  const char* self = argc > 0 ? argv[0] : "EnvCleaner";
  std::string tempDir;
  bool dryRun = false;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      Usage(stdout, self);
      return 0;
    }
    if (a == "--temp-dir" && i + 1 < argc) {
      tempDir = argv[++i];
    } else if (a == "--dry-run") {
      dryRun = true;
    } else {
      std::fprintf(stderr, "%s: unexpected argument '%s'\n", self, a.c_str());
      Usage(stderr, self);
      return 2;
    }
  }
  if (tempDir.empty()) {
    for (const char* var : {"ZOVIR_TEMP_DIR", "TMPDIR"}) {
      const char* v = std::getenv(var);
      if (v && *v) {
        tempDir = v;
        break;
      }
    }
    if (tempDir.empty()) tempDir = "/tmp";
  }
  std::error_code ec;
  fs::path base = fs::canonical(tempDir, ec);
  if (ec || !fs::is_directory(base, ec)) {
    std::fprintf(stderr, "%s: %s is not a folder\n", self, tempDir.c_str());
    return 2;
  }
  int result = 0;
  for (const char* name : kWorkFolders) {
    fs::path folder = base / name;
    // Never follow a link out of the temporary folder.
    if (fs::is_symlink(folder, ec) || !fs::is_directory(folder, ec)) continue;
    if (InUse(folder)) {
      std::printf("%s: %s is in use, kept\n", self, folder.c_str());
      continue;
    }
    if (dryRun) {
      std::printf("%s: would remove %s\n", self, folder.c_str());
      continue;
    }
    fs::remove_all(folder, ec);
    if (ec) {
      std::fprintf(stderr, "%s: cannot remove %s: %s\n", self, folder.c_str(), ec.message().c_str());
      result = 1;
    } else {
      std::printf("%s: removed %s\n", self, folder.c_str());
    }
  }
  return result;
}
