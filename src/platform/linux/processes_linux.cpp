#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <thread>
#include <utility>
#include <vector>

#include "platform/processes.h"

extern char** environ;

namespace zovir {
namespace {

char Upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

bool SameNoCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (Upper(a[i]) != Upper(b[i])) return false;
  }
  return true;
}

bool EndsWithNoCase(const std::string& s, const std::string& suffix) {
  return s.size() >= suffix.size() && SameNoCase(s.substr(s.size() - suffix.size()), suffix);
}

// A program name matches its Windows spelling too: "adb.exe" names the program "adb".
bool NameMatches(const std::string& exeName, const std::string& wanted) {
  if (SameNoCase(exeName, wanted)) return true;
  return EndsWithNoCase(wanted, ".exe") && SameNoCase(exeName, wanted.substr(0, wanted.size() - 4));
}

std::string RealFolder(const std::string& folder) {
  char buf[PATH_MAX];
  if (folder.empty() || realpath(folder.c_str(), buf) == nullptr) return {};
  std::string out(buf);
  while (out.size() > 1 && out.back() == '/') out.pop_back();
  return out;
}

// The executable of a process, or nothing when it is gone or belongs to someone we may not see.
std::string ExecutableOf(pid_t pid) {
  std::string link = "/proc/" + std::to_string(pid) + "/exe";
  char buf[PATH_MAX];
  ssize_t n = readlink(link.c_str(), buf, sizeof buf - 1);
  if (n <= 0) return {};
  std::string exe(buf, static_cast<size_t>(n));
  // An executable replaced or removed while it runs still names its old path.
  static constexpr char kDeleted[] = " (deleted)";
  if (exe.size() > sizeof kDeleted - 1 && exe.compare(exe.size() - (sizeof kDeleted - 1), std::string::npos, kDeleted) == 0) {
    exe.resize(exe.size() - (sizeof kDeleted - 1));
  }
  return exe;
}

// True while the process exists and has not yet ended (a zombie counts as ended).
bool StillRunning(pid_t pid) {
  std::string statPath = "/proc/" + std::to_string(pid) + "/stat";
  int fd = open(statPath.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char buf[512];
  ssize_t n = read(fd, buf, sizeof buf - 1);
  close(fd);
  if (n <= 0) return false;
  buf[n] = '\0';
  const char* paren = strrchr(buf, ')');
  if (paren == nullptr || paren[1] == '\0' || paren[2] == '\0') return true;
  return paren[2] != 'Z' && paren[2] != 'X';
}

bool MakeFolders(const std::string& path) {
  if (path.empty()) return false;
  std::string partial;
  size_t pos = 0;
  while (pos != std::string::npos) {
    pos = path.find('/', pos + 1);
    partial = path.substr(0, pos);
    if (partial.empty()) continue;
    if (mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST) return false;
  }
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

class LinuxProcessHandle final : public ProcessHandle {
 public:
  explicit LinuxProcessHandle(pid_t pid) : pid_(pid) {}
  ~LinuxProcessHandle() override {
    if (reaped_) return;
    // The process keeps running on its own; something must still collect its exit status so
    // that it does not stay behind as a zombie.
    if (waitpid(pid_, nullptr, WNOHANG) == pid_) return;
    pid_t pid = pid_;
    std::thread([pid] {
      while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
      }
    }).detach();
  }
  LinuxProcessHandle(const LinuxProcessHandle&) = delete;
  LinuxProcessHandle& operator=(const LinuxProcessHandle&) = delete;

  int Pid() const override { return pid_; }

  std::optional<int> Wait(int ms) override {
    if (reaped_) return exitCode_;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms < 0 ? 0 : ms);
    auto pause = std::chrono::milliseconds(1);
    for (;;) {
      int status = 0;
      pid_t r = waitpid(pid_, &status, WNOHANG);
      if (r == pid_) {
        reaped_ = true;
        exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
        return exitCode_;
      }
      if (r < 0 && errno != EINTR) return std::nullopt;
      auto now = std::chrono::steady_clock::now();
      if (now >= deadline) return std::nullopt;
      std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(pause, deadline - now));
      pause = std::min(pause * 2, std::chrono::milliseconds(20));
    }
  }

  bool Terminate() override {
    // Until its status is collected the process id cannot be reused, so the signal reaches
    // our child and nothing else.
    if (reaped_) return false;
    return kill(pid_, SIGTERM) == 0;
  }

 private:
  pid_t pid_;
  bool reaped_ = false;
  int exitCode_ = 0;
};

// A folder only this user can change: the user's own, a real folder (not a link), writable by
// nobody else. A lock file in any other folder could be replaced or pre-empted by another user.
bool IsPrivateFolder(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == geteuid() && (st.st_mode & 022) == 0;
}

class FileLock final : public NamedLock {
 public:
  FileLock(int fd, bool existed) : fd_(fd), existed_(existed) {}
  ~FileLock() override {
    if (fd_ >= 0) close(fd_);
  }
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;
  bool AlreadyExisted() const override { return existed_; }

 private:
  int fd_;
  bool existed_;
};

class SpawnAttributes {
 public:
  SpawnAttributes() { ok_ = posix_spawnattr_init(&attr_) == 0; }
  ~SpawnAttributes() {
    if (ok_) posix_spawnattr_destroy(&attr_);
  }
  SpawnAttributes(const SpawnAttributes&) = delete;
  SpawnAttributes& operator=(const SpawnAttributes&) = delete;
  posix_spawnattr_t* Get() { return &attr_; }
  bool Ok() const { return ok_; }

 private:
  posix_spawnattr_t attr_{};
  bool ok_ = false;
};

class SpawnActions {
 public:
  SpawnActions() { ok_ = posix_spawn_file_actions_init(&actions_) == 0; }
  ~SpawnActions() {
    if (ok_) posix_spawn_file_actions_destroy(&actions_);
  }
  SpawnActions(const SpawnActions&) = delete;
  SpawnActions& operator=(const SpawnActions&) = delete;
  posix_spawn_file_actions_t* Get() { return &actions_; }
  bool Ok() const { return ok_; }

 private:
  posix_spawn_file_actions_t actions_{};
  bool ok_ = false;
};

class LinuxProcesses final : public Processes {
 public:
  explicit LinuxProcesses(std::string runtimeDir) : runtimeDir_(std::move(runtimeDir)) {}

  std::unique_ptr<ProcessHandle> Start(const ProcessSpec& spec, int& error) override {
    error = 0;
    if (spec.program.empty()) {
      error = ENOENT;
      return nullptr;
    }
    std::string program = spec.program;
    bool searchPath = program.find('/') == std::string::npos;
    // A relative path names a file from our folder, not from the child's new working folder.
    if (!searchPath && program.front() != '/') {
      char cwd[PATH_MAX];
      if (getcwd(cwd, sizeof cwd) != nullptr) program = std::string(cwd) + "/" + program;
    }
    if (!spec.workingDir.empty()) {
      struct stat st {};
      if (stat(spec.workingDir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        error = ENOENT;
        return nullptr;
      }
    }

    SpawnAttributes attr;
    SpawnActions actions;
    if (!attr.Ok() || !actions.Ok()) {
      error = ENOMEM;
      return nullptr;
    }
    sigset_t none;
    sigemptyset(&none);
    sigset_t all;
    sigfillset(&all);
    posix_spawnattr_setsigmask(attr.Get(), &none);
    posix_spawnattr_setsigdefault(attr.Get(), &all);
    short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
    if (spec.hidden) {
      // No terminal: a helper must neither read the user's keys nor get the terminal's signals.
      flags |= POSIX_SPAWN_SETSID;
      posix_spawn_file_actions_addopen(actions.Get(), 0, "/dev/null", O_RDONLY, 0);
      posix_spawn_file_actions_addopen(actions.Get(), 1, "/dev/null", O_WRONLY, 0);
      posix_spawn_file_actions_addopen(actions.Get(), 2, "/dev/null", O_WRONLY, 0);
    }
    posix_spawnattr_setflags(attr.Get(), flags);
    if (!spec.workingDir.empty()) posix_spawn_file_actions_addchdir_np(actions.Get(), spec.workingDir.c_str());

    std::vector<std::string> argStore;
    argStore.reserve(spec.args.size() + 1);
    argStore.push_back(spec.program);
    for (const std::string& a : spec.args) argStore.push_back(a);
    std::vector<char*> argv;
    for (std::string& a : argStore) argv.push_back(a.data());
    argv.push_back(nullptr);

    pid_t pid = -1;
    int rc = searchPath ? posix_spawnp(&pid, program.c_str(), actions.Get(), attr.Get(), argv.data(), environ)
                        : posix_spawn(&pid, program.c_str(), actions.Get(), attr.Get(), argv.data(), environ);
    if (rc != 0) {
      error = rc;
      return nullptr;
    }
    return std::make_unique<LinuxProcessHandle>(pid);
  }

  int TerminateProcessesByName(const std::string& name, const std::string& folder) override {
    std::string root = RealFolder(folder);
    if (root.empty() || name.empty()) return 0;
    std::string prefix = root == "/" ? root : root + "/";
    DIR* dir = opendir("/proc");
    if (dir == nullptr) return 0;
    std::vector<pid_t> asked;
    pid_t self = getpid();
    while (dirent* entry = readdir(dir)) {
      char* end = nullptr;
      long value = strtol(entry->d_name, &end, 10);
      if (end == entry->d_name || *end != '\0' || value <= 0) continue;
      pid_t pid = static_cast<pid_t>(value);
      if (pid == self) continue;
      std::string exe = ExecutableOf(pid);
      if (exe.size() <= prefix.size() || exe.compare(0, prefix.size(), prefix) != 0) continue;
      std::string base = exe.substr(exe.rfind('/') + 1);
      if (!NameMatches(base, name)) continue;
      if (kill(pid, SIGTERM) == 0) asked.push_back(pid);
    }
    closedir(dir);
    // Callers go on to replace the program's file, so give the processes a moment to go and
    // end the ones that ignore the request.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(2000);
    for (;;) {
      bool anyLeft = false;
      for (pid_t pid : asked) anyLeft = anyLeft || StillRunning(pid);
      if (!anyLeft) break;
      if (std::chrono::steady_clock::now() >= deadline) {
        for (pid_t pid : asked) {
          if (StillRunning(pid) && ExecutableOf(pid).compare(0, prefix.size(), prefix) == 0) kill(pid, SIGKILL);
        }
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return static_cast<int>(asked.size());
  }

  std::unique_ptr<NamedLock> CreateNamedLock(const std::string& name) override {
    std::string fileName = name;
    for (char& c : fileName) {
      if (c == '/' || c == '\\' || c == '\0') c = '_';
    }
    if (fileName.empty() || fileName == "." || fileName == "..") fileName = "_" + fileName;
    // A lock that cannot be taken counts as held by another: the tool must never run twice
    // on one modem because a lock file could not be opened.
    const auto notTaken = [] { return std::make_unique<FileLock>(-1, true); };
    const std::string folder = LockFolder();
    if (folder.empty()) return notTaken();
    std::string path = folder + "/" + fileName;
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return notTaken();
    int rc;
    while ((rc = flock(fd, LOCK_EX | LOCK_NB)) != 0 && errno == EINTR) {
    }
    if (rc != 0 && errno != EWOULDBLOCK) {
      close(fd);
      return notTaken();
    }
    return std::make_unique<FileLock>(fd, rc != 0);
  }

 private:
  // The runtime folder when only this user can write it (XDG_RUNTIME_DIR, the tool's own);
  // in a shared one (/tmp) a folder of the user's own inside it. Empty when neither is safe.
  std::string LockFolder() const {
    if (!MakeFolders(runtimeDir_)) return {};
    if (IsPrivateFolder(runtimeDir_)) return runtimeDir_;
    const std::string own = runtimeDir_ + "/zovir-locks-" + std::to_string(geteuid());
    if (mkdir(own.c_str(), 0700) != 0 && errno != EEXIST) return {};
    return IsPrivateFolder(own) ? own : std::string();
  }

  std::string runtimeDir_;
};

}  // namespace

std::unique_ptr<Processes> MakeLinuxProcesses(const std::string& runtimeDir) {
  return std::make_unique<LinuxProcesses>(runtimeDir);
}

}  // namespace zovir
