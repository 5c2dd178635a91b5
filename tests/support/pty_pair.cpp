#include "support/pty_pair.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

namespace zovir::test {

PtyPair::PtyPair() {
  const int m = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (m < 0) return;
  char name[128];
  if (::grantpt(m) != 0 || ::unlockpt(m) != 0 || ::ptsname_r(m, name, sizeof name) != 0) {
    ::close(m);
    return;
  }
  // Raw from the start; the settings stay with the pty while the master is open.
  const int s = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (s >= 0) {
    termios tio{};
    if (::tcgetattr(s, &tio) == 0) {
      ::cfmakeraw(&tio);
      ::tcsetattr(s, TCSANOW, &tio);
    }
    ::close(s);
  }
  ::fcntl(m, F_SETFL, ::fcntl(m, F_GETFL) | O_NONBLOCK);
  master_ = m;
  slavePath_ = name;
}

PtyPair::~PtyPair() { CloseMaster(); }

void PtyPair::CloseMaster() {
  if (master_ >= 0) ::close(master_);
  master_ = -1;
}

bool PtyPair::Write(const std::vector<uint8_t>& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) {
      pollfd p{master_, POLLOUT, 0};
      if (::poll(&p, 1, 5000) <= 0) return false;
      continue;
    }
    return false;
  }
  return true;
}

std::vector<uint8_t> PtyPair::Read(size_t n, int timeoutMs) {
  using Clock = std::chrono::steady_clock;
  const auto until = Clock::now() + std::chrono::milliseconds(timeoutMs);
  std::vector<uint8_t> out;
  while (out.size() < n) {
    uint8_t buf[4096];
    const ssize_t r = ::read(master_, buf, std::min(sizeof buf, n - out.size()));
    if (r > 0) {
      out.insert(out.end(), buf, buf + r);
      continue;
    }
    if (r < 0 && errno == EINTR) continue;
    if (r < 0 && errno != EAGAIN) break;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
    if (left <= 0) break;
    pollfd p{master_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left)) <= 0) break;
  }
  return out;
}

}  // namespace zovir::test
