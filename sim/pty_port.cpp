#include "sim/pty_port.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <system_error>

namespace zovir::sim {

PtyPort::PtyPort() {
  char name[256] = {};
  if (openpty(&master_, &slave_, name, nullptr, nullptr) != 0) {
    throw std::system_error(errno, std::generic_category(), "openpty");
  }
  path_ = name;
  termios tio{};
  if (tcgetattr(slave_, &tio) == 0) {
    cfmakeraw(&tio);
    cfsetispeed(&tio, B115200);
    cfsetospeed(&tio, B115200);
    tcsetattr(slave_, TCSANOW, &tio);
  }
  fcntl(master_, F_SETFD, FD_CLOEXEC);
  fcntl(slave_, F_SETFD, FD_CLOEXEC);
  fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
}

PtyPort::~PtyPort() {
  if (master_ >= 0) close(master_);
  if (slave_ >= 0) close(slave_);
}

void PtyPort::ClearExclusive() {
  if (slave_ >= 0) ::ioctl(slave_, TIOCNXCL);
}

size_t PtyPort::Read(uint8_t* buf, size_t cap) {
  for (;;) {
    ssize_t n = ::read(master_, buf, cap);
    if (n > 0) return static_cast<size_t>(n);
    if (n < 0 && errno == EINTR) continue;
    return 0;
  }
}

size_t PtyPort::Write(std::span<const uint8_t> data, int wakeFd, int timeoutMs) {
  size_t done = 0;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (done < data.size()) {
    ssize_t n = ::write(master_, data.data() + done, data.size() - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
      deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN) break;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    if (left <= 0) break;
    pollfd fds[2] = {{master_, POLLOUT, 0}, {wakeFd, POLLIN, 0}};
    int r = ::poll(fds, wakeFd >= 0 ? 2 : 1, static_cast<int>(left > 50 ? 50 : left));
    if (r > 0 && wakeFd >= 0 && (fds[1].revents & POLLIN)) break;
  }
  return done;
}

}  // namespace zovir::sim
