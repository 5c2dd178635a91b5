// The Linux side of the launchers: the process table read from /proc and the local socket
// that takes the bootloader-reboot request.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <thread>

#include "discovery/launchers.h"

namespace zovir {
namespace {

constexpr int kRequestReadTimeoutMs = 2000;
constexpr size_t kMaxRequestBytes = 64;

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool SameNoCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (Lower(a[i]) != Lower(b[i])) return false;
  }
  return true;
}

class ProcTable final : public ProcessTable {
 public:
  std::vector<int> PidsNamed(const std::string& name) override {
    std::vector<int> pids;
    DIR* dir = opendir("/proc");
    if (dir == nullptr) return pids;
    uid_t me = getuid();
    pid_t self = getpid();
    while (dirent* entry = readdir(dir)) {
      char* end = nullptr;
      long value = strtol(entry->d_name, &end, 10);
      if (end == entry->d_name || *end != '\0' || value <= 0 || value == self) continue;
      std::string base = "/proc/" + std::string(entry->d_name);
      struct stat st {};
      if (stat(base.c_str(), &st) != 0 || st.st_uid != me) continue;
      char buf[PATH_MAX];
      ssize_t n = readlink((base + "/exe").c_str(), buf, sizeof buf - 1);
      if (n <= 0) continue;
      std::string exe(buf, static_cast<size_t>(n));
      static constexpr char kDeleted[] = " (deleted)";
      if (exe.size() > strlen(kDeleted) && exe.compare(exe.size() - strlen(kDeleted), std::string::npos, kDeleted) == 0) {
        exe.resize(exe.size() - strlen(kDeleted));
      }
      if (SameNoCase(exe.substr(exe.rfind('/') + 1), name)) pids.push_back(static_cast<int>(value));
    }
    closedir(dir);
    return pids;
  }

  bool End(int pid) override { return pid > 0 && kill(pid, SIGTERM) == 0; }
};

bool FillAddress(const std::string& path, sockaddr_un& addr) {
  std::memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof addr.sun_path) return false;
  std::memcpy(addr.sun_path, path.data(), path.size());
  return true;
}

// Connects to the socket at `path`; -1 when nobody listens there.
int Connect(const std::string& path) {
  sockaddr_un addr{};
  if (!FillAddress(path, addr)) return -1;
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

void WriteAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

// Reads one word: up to a blank, a line end or the end of the stream, within the time-out.
std::string ReadWord(int fd) {
  std::string word;
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    int r = poll(&p, 1, kRequestReadTimeoutMs);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return word;
    char c;
    ssize_t n = recv(fd, &c, 1, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return word;
    if (c == '\n' || c == '\0') return word;
    if (c == '\r' || c == ' ' || c == '\t') {
      if (word.empty()) continue;
      return word;
    }
    if (word.size() >= kMaxRequestBytes) return {};
    word += c;
  }
}

}  // namespace

std::unique_ptr<ProcessTable> MakeLinuxProcessTable() { return std::make_unique<ProcTable>(); }
std::unique_ptr<ProcessTable> MakeProcessTable() { return MakeLinuxProcessTable(); }

struct RebootRequestListener::Channel {
  std::string path;
  std::function<void()> onRequest;
  int listenFd = -1;
  int wakeFd[2] = {-1, -1};
  int error = 0;
  std::thread thread;

  void Serve() {
    for (;;) {
      pollfd fds[2] = {{listenFd, POLLIN, 0}, {wakeFd[0], POLLIN, 0}};
      int r = poll(fds, 2, -1);
      if (r < 0 && errno == EINTR) continue;
      if (r < 0 || (fds[1].revents & POLLIN) != 0) return;
      if ((fds[0].revents & POLLIN) == 0) continue;
      int client = accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
      if (client < 0) continue;
      std::string word = ReadWord(client);
      bool known = SameNoCase(word, kRebootRequestWord);
      WriteAll(client, known ? "OK\n" : "ERROR\n");
      close(client);
      if (known && onRequest) onRequest();
    }
  }
};

RebootRequestListener::RebootRequestListener(const std::string& runtimeDir, std::function<void()> onRequest)
    : channel_(std::make_unique<Channel>()) {
  Channel& c = *channel_;
  c.path = runtimeDir + "/" + kRebootSocketName;
  c.onRequest = std::move(onRequest);
  sockaddr_un addr{};
  if (!FillAddress(c.path, addr)) {
    c.error = ENAMETOOLONG;
    return;
  }
  mkdir(runtimeDir.c_str(), 0700);
  int live = Connect(c.path);
  if (live >= 0) {
    // Another running tool answers there; its socket is not ours to take over.
    close(live);
    c.error = EADDRINUSE;
    return;
  }
  unlink(c.path.c_str());  // left behind by a tool that did not end cleanly
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    c.error = errno;
    return;
  }
  int rc = bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  // Only this user may ask for a reboot (the folder is private as well).
  if (rc == 0) chmod(c.path.c_str(), 0600);
  if (rc != 0 || listen(fd, 4) != 0 || pipe2(c.wakeFd, O_CLOEXEC) != 0) {
    c.error = errno;
    close(fd);
    if (rc == 0) unlink(c.path.c_str());
    return;
  }
  c.listenFd = fd;
  c.thread = std::thread([&c] { c.Serve(); });
}

RebootRequestListener::~RebootRequestListener() {
  Channel& c = *channel_;
  if (c.thread.joinable()) {
    char q = 'q';
    while (write(c.wakeFd[1], &q, 1) < 0 && errno == EINTR) {
    }
    c.thread.join();
  }
  if (c.listenFd >= 0) {
    close(c.listenFd);
    unlink(c.path.c_str());
  }
  for (int fd : c.wakeFd) {
    if (fd >= 0) close(fd);
  }
}

bool RebootRequestListener::Listening() const { return channel_->listenFd >= 0; }
int RebootRequestListener::Error() const { return channel_->error; }
const std::string& RebootRequestListener::SocketPath() const { return channel_->path; }

std::string SendRebootRequest(const std::string& runtimeDir, const std::string& word) {
  int fd = Connect(runtimeDir + "/" + kRebootSocketName);
  if (fd < 0) return {};
  WriteAll(fd, word + "\n");
  std::string answer;
  char buf[32];
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    int r = poll(&p, 1, kRequestReadTimeoutMs);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    answer.append(buf, static_cast<size_t>(n));
    if (answer.find('\n') != std::string::npos || answer.size() > 64) break;
  }
  close(fd);
  while (!answer.empty() && (answer.back() == '\n' || answer.back() == '\r')) answer.pop_back();
  return answer;
}

}  // namespace zovir
