#include "platform/linux/serial_port_linux.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <limits>

namespace zovir {
namespace {

// Error mask bits of a communication device.
constexpr uint32_t CE_RXOVER = 0x0001;
constexpr uint32_t CE_OVERRUN = 0x0002;
constexpr uint32_t CE_RXPARITY = 0x0004;
constexpr uint32_t CE_FRAME = 0x0008;
constexpr uint32_t CE_BREAK = 0x0010;

// A single poll never sleeps longer than this, so that an unbounded wait still notices a
// hang-up promptly.
constexpr int64_t kMaxPollMs = 1000;

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

struct Rate {
  uint32_t baud;
  speed_t code;
};
constexpr Rate kRates[] = {{50, B50},         {75, B75},         {110, B110},       {134, B134},
                           {150, B150},       {200, B200},       {300, B300},       {600, B600},
                           {1200, B1200},     {1800, B1800},     {2400, B2400},     {4800, B4800},
                           {9600, B9600},     {19200, B19200},   {38400, B38400},   {57600, B57600},
                           {115200, B115200}, {230400, B230400}, {460800, B460800}, {500000, B500000},
                           {576000, B576000}, {921600, B921600}, {1000000, B1000000}};

bool RateCode(uint32_t baud, speed_t& code) {
  for (const auto& r : kRates)
    if (r.baud == baud) {
      code = r.code;
      return true;
    }
  return false;
}

uint32_t BaudOf(speed_t code) {
  for (const auto& r : kRates)
    if (r.code == code) return r.baud;
  return 9600;
}

bool IsImmediate(const CommTimeouts& t) {
  return t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == 0 && t.ReadTotalTimeoutConstant == 0;
}

bool IsFirstByte(const CommTimeouts& t) {
  return t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == MAXDWORD &&
         t.ReadTotalTimeoutConstant > 0 && t.ReadTotalTimeoutConstant < MAXDWORD;
}

}  // namespace

std::unique_ptr<LinuxSerialPort> LinuxSerialPort::Open(const std::string& name, const std::string& path, int& error) {
  error = 0;
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    error = errno;
    return nullptr;
  }
  auto fail = [&](int e) {
    ::close(fd);
    error = e;
    return nullptr;
  };
  if (!::isatty(fd)) return fail(ENOTTY);
  // The lock holds against every opener, root included (TIOCEXCL does not stop root).
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) return fail(errno == EWOULDBLOCK ? EBUSY : errno);
  if (::ioctl(fd, TIOCEXCL) != 0) return fail(errno);

  termios tio{};
  if (::tcgetattr(fd, &tio) != 0) return fail(errno);
  ::cfmakeraw(&tio);
  tio.c_cflag |= CLOCAL | CREAD;
  // VMIN 1 with O_NONBLOCK: an empty queue reads as EAGAIN, so a 0 from read(2) can only
  // mean the other side is gone.
  tio.c_cc[VMIN] = 1;
  tio.c_cc[VTIME] = 0;
  if (::tcsetattr(fd, TCSANOW, &tio) != 0) return fail(errno);

  std::unique_ptr<LinuxSerialPort> port(new LinuxSerialPort(name, path, fd));
  // Start from what the device has, as a driver reports its current line settings.
  port->line_.BaudRate = BaudOf(::cfgetospeed(&tio));
  return port;
}

LinuxSerialPort::LinuxSerialPort(std::string name, std::string path, int fd)
    : name_(std::move(name)), path_(std::move(path)), fd_(fd) {}

LinuxSerialPort::~LinuxSerialPort() { Close(); }

bool LinuxSerialPort::Fail(int error) {
  lastError_ = error;
  return false;
}

bool LinuxSerialPort::GetLineSettings(LineSettings& out) {
  if (fd_ < 0) return Fail(EBADF);
  out = line_;
  return true;
}

bool LinuxSerialPort::SetLineSettings(const LineSettings& s) {
  if (fd_ < 0) return Fail(EBADF);
  termios tio{};
  if (::tcgetattr(fd_, &tio) != 0) return Fail(errno);
  speed_t code{};
  if (!RateCode(s.BaudRate, code)) return Fail(EINVAL);
  ::cfsetispeed(&tio, code);
  ::cfsetospeed(&tio, code);
  tio.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
  switch (s.ByteSize) {
    case 5: tio.c_cflag |= CS5; break;
    case 6: tio.c_cflag |= CS6; break;
    case 7: tio.c_cflag |= CS7; break;
    case 8: tio.c_cflag |= CS8; break;
    default: return Fail(EINVAL);
  }
  switch (s.parity) {
    case Parity::None: break;
    case Parity::Odd: tio.c_cflag |= PARENB | PARODD; break;
    case Parity::Even: tio.c_cflag |= PARENB; break;
    case Parity::Mark: tio.c_cflag |= PARENB | CMSPAR | PARODD; break;
    case Parity::Space: tio.c_cflag |= PARENB | CMSPAR; break;
  }
  if (s.stopBits != StopBits::One) tio.c_cflag |= CSTOPB;
  if (s.fOutxCtsFlow || s.fRtsControl == LineControl::Handshake) tio.c_cflag |= CRTSCTS;
  tio.c_iflag &= ~(IXON | IXOFF | IXANY | INPCK);
  if (s.fOutX) tio.c_iflag |= IXON;
  if (s.fInX) tio.c_iflag |= IXOFF;
  if (s.fParity) tio.c_iflag |= INPCK;
  if (::tcsetattr(fd_, TCSANOW, &tio) != 0) return Fail(errno);

  // Modem lines: a pseudo-terminal has none and refuses; that is not an error.
  const int dtr = TIOCM_DTR, rts = TIOCM_RTS;
  ::ioctl(fd_, s.fDtrControl == LineControl::Disable ? TIOCMBIC : TIOCMBIS, &dtr);
  if (s.fRtsControl != LineControl::Handshake)
    ::ioctl(fd_, s.fRtsControl == LineControl::Disable ? TIOCMBIC : TIOCMBIS, &rts);
  line_ = s;
  return true;
}

bool LinuxSerialPort::SetQueueSizes(uint32_t inBytes, uint32_t outBytes) {
  if (fd_ < 0) return Fail(EBADF);
  inQueue_ = inBytes;
  outQueue_ = outBytes;
  return true;
}

bool LinuxSerialPort::SetTimeouts(const CommTimeouts& timeouts) {
  if (fd_ < 0) return Fail(EBADF);
  timeouts_ = timeouts;
  return true;
}

bool LinuxSerialPort::GetTimeouts(CommTimeouts& out) {
  if (fd_ < 0) return Fail(EBADF);
  out = timeouts_;
  return true;
}

bool LinuxSerialPort::Purge(uint32_t actions) {
  if (fd_ < 0) return Fail(EBADF);
  const bool rx = actions & (PURGE_RXABORT | PURGE_RXCLEAR);
  const bool tx = actions & (PURGE_TXABORT | PURGE_TXCLEAR);
  if (!rx && !tx) return true;
  if (::tcflush(fd_, rx && tx ? TCIOFLUSH : rx ? TCIFLUSH : TCOFLUSH) != 0) return Fail(errno);
  return true;
}

bool LinuxSerialPort::ClearError(uint32_t& errors) {
  errors = 0;
  if (fd_ < 0) return Fail(EBADF);
  pollfd p{fd_, 0, 0};
  if (::poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL))) return Fail(EIO);
  if (countersUnsupported_) return true;
  serial_icounter_struct c{};
  if (::ioctl(fd_, TIOCGICOUNT, &c) != 0) {
    // A driver without line error counters (a pseudo-terminal, many USB serial drivers) does
    // not grow them while it stays open: later calls skip the question.
    if (errno == ENOTTY || errno == EINVAL) countersUnsupported_ = true;
    return true;
  }
  const auto now = [](int v) { return static_cast<uint32_t>(v); };
  if (now(c.overrun) != overrun_) errors |= CE_OVERRUN;
  if (now(c.buf_overrun) != bufOverrun_) errors |= CE_RXOVER;
  if (now(c.parity) != parity_) errors |= CE_RXPARITY;
  if (now(c.frame) != frame_) errors |= CE_FRAME;
  if (now(c.brk) != brk_) errors |= CE_BREAK;
  overrun_ = now(c.overrun);
  bufOverrun_ = now(c.buf_overrun);
  parity_ = now(c.parity);
  frame_ = now(c.frame);
  brk_ = now(c.brk);
  return true;
}

bool LinuxSerialPort::BytesWaiting(uint32_t& count) {
  count = 0;
  if (fd_ < 0) return Fail(EBADF);
  int n = 0;
  if (::ioctl(fd_, FIONREAD, &n) != 0) return Fail(errno);
  count = static_cast<uint32_t>(n);
  return true;
}

int LinuxSerialPort::ReadSome(uint8_t* buffer, uint32_t count) {
  for (;;) {
    ++readSyscalls_;
    const ssize_t n = ::read(fd_, buffer, count);
    if (n > 0) return static_cast<int>(n);
    if (n == 0) {
      // End of file on a terminal: the other side hung up.
      lastError_ = EIO;
      return -1;
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
    lastError_ = errno;
    return -1;
  }
}

int LinuxSerialPort::WaitFor(short events, int64_t ms) {
  const int64_t until = ms < 0 ? std::numeric_limits<int64_t>::max() : NowMs() + ms;
  for (;;) {
    const int64_t left = until - NowMs();
    if (ms >= 0 && left <= 0) return 0;
    pollfd p{fd_, events, 0};
    const int r = ::poll(&p, 1, static_cast<int>(std::min<int64_t>(left, kMaxPollMs)));
    if (r < 0) {
      if (errno == EINTR) continue;
      lastError_ = errno;
      return -1;
    }
    if (r == 0) continue;
    if (p.revents & POLLNVAL) {
      lastError_ = EBADF;
      return -1;
    }
    // Hang-up or error: let the read or write report it.
    return 1;
  }
}

bool LinuxSerialPort::Read(uint8_t* buffer, uint32_t count, uint32_t& got) {
  got = 0;
  if (fd_ < 0) return Fail(EBADF);
  if (count == 0) return true;
  const CommTimeouts t = timeouts_;
  auto readInto = [&]() -> bool {
    const int n = ReadSome(buffer + got, count - got);
    if (n < 0) return false;
    got += static_cast<uint32_t>(n);
    return true;
  };
  if (IsImmediate(t)) return readInto();
  // Where a read may wait, poll comes first: it returns at once when bytes are queued, and a
  // read(2) made only to learn that nothing is there yet would cost a system call per reply.
  if (IsFirstByte(t)) {
    const int64_t until = NowMs() + t.ReadTotalTimeoutConstant;
    for (;;) {
      const int64_t now = NowMs();
      if (now >= until) return true;
      const int w = WaitFor(POLLIN, until - now);
      if (w < 0) return false;
      if (w == 0) return true;
      if (!readInto()) return false;
      if (got > 0) return true;
    }
  }
  const bool unbounded = t.ReadTotalTimeoutMultiplier == 0 && t.ReadTotalTimeoutConstant == 0;
  const int64_t start = NowMs();
  const int64_t deadline =
      unbounded ? std::numeric_limits<int64_t>::max()
                : start + static_cast<int64_t>(uint64_t{t.ReadTotalTimeoutMultiplier} * count + t.ReadTotalTimeoutConstant);
  const bool interval = t.ReadIntervalTimeout != 0 && t.ReadIntervalTimeout != MAXDWORD;
  int64_t lastByte = 0;
  for (;;) {
    int64_t until = deadline;
    if (interval && got > 0) until = std::min(until, lastByte + int64_t{t.ReadIntervalTimeout});
    const int64_t now = NowMs();
    if (until != std::numeric_limits<int64_t>::max() && now >= until) return true;
    const int w = WaitFor(POLLIN, until == std::numeric_limits<int64_t>::max() ? -1 : until - now);
    if (w < 0) return false;
    if (w == 0) return true;
    const uint32_t before = got;
    if (!readInto()) return false;
    if (got > before) lastByte = NowMs();
    if (got == count) return true;
  }
}

bool LinuxSerialPort::Write(const uint8_t* data, uint32_t count, uint32_t& written) {
  written = 0;
  if (fd_ < 0) return Fail(EBADF);
  const CommTimeouts t = timeouts_;
  const bool unbounded = t.WriteTotalTimeoutMultiplier == 0 && t.WriteTotalTimeoutConstant == 0;
  const int64_t deadline = unbounded ? -1
                                     : NowMs() + static_cast<int64_t>(uint64_t{t.WriteTotalTimeoutMultiplier} * count +
                                                                      t.WriteTotalTimeoutConstant);
  bool full = false;  // the last write stopped short: the queue has no room yet
  while (written < count) {
    if (!full) {
      const ssize_t n = ::write(fd_, data + written, count - written);
      if (n > 0) {
        written += static_cast<uint32_t>(n);
        // A short write means the queue filled up; asking again before poll says there is
        // room would only fetch EAGAIN.
        full = written < count;
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return Fail(errno);
    }
    full = false;
    int64_t wait = -1;
    if (deadline >= 0) {
      wait = deadline - NowMs();
      if (wait <= 0) return true;  // timed out: success with fewer bytes
    }
    const int w = WaitFor(POLLOUT, wait);
    if (w < 0) return false;
    if (w == 0) return true;
  }
  return true;
}

bool LinuxSerialPort::Close() {
  if (fd_ < 0) return true;
  // The exclusive flag belongs to the tty, not to this descriptor: where another holder keeps
  // the device open (a pty's other side), it would outlive us and refuse our next open.
  ::ioctl(fd_, TIOCNXCL);
  ::flock(fd_, LOCK_UN);
  ::close(fd_);  // the descriptor is gone whatever close reports
  fd_ = -1;
  return true;
}

std::unique_ptr<SerialPort> LinuxSerialPortFactory::Open(const std::string& comName, int& error) {
  const auto path = names_.Resolve(comName);
  if (!path) {
    error = ENOENT;
    return nullptr;
  }
  const auto number = PortNamespace::ParseComName(comName);
  return LinuxSerialPort::Open("COM" + std::to_string(number.value_or(0)), *path, error);
}

}  // namespace zovir
