#include "tools/common/helper_support.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "platform/profile_file.h"

namespace zovir::tools {
namespace fs = std::filesystem;

std::string ExecutableDir() {
  std::error_code ec;
  fs::path exe = fs::read_symlink("/proc/self/exe", ec);
  if (ec) return ".";
  return exe.parent_path().string();
}

std::string ConfigBesideExecutable() { return ExecutableDir() + "/Config.ini"; }

std::string ErrnoText(int error) { return std::strerror(error); }

bool CandidatePort::IsDiagnostics() const {
  std::string lower = friendlyName;
  std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
  return lower.find("diagnostic") != std::string::npos;
}

bool ParseVidPid(const std::string& text, int& vendorId, int& productId) {
  std::string upper = text;
  std::transform(upper.begin(), upper.end(), upper.begin(), [](unsigned char c) { return std::toupper(c); });
  auto hex4 = [&upper](const char* tag, int& out) {
    size_t p = upper.find(tag);
    if (p == std::string::npos || p + std::strlen(tag) + 4 > upper.size()) return false;
    std::string digits = upper.substr(p + std::strlen(tag), 4);
    if (!std::all_of(digits.begin(), digits.end(), [](unsigned char c) { return std::isxdigit(c); })) return false;
    out = static_cast<int>(std::strtol(digits.c_str(), nullptr, 16));
    return true;
  };
  int v = -1, p = -1;
  if (!hex4("VID_", v) || !hex4("PID_", p)) return false;
  vendorId = v;
  productId = p;
  return true;
}

namespace {

std::string ReadLine(const fs::path& p) {
  std::ifstream in(p);
  std::string s;
  std::getline(in, s);
  return s;
}

// Walks up from the tty's device to the USB device that carries idVendor/idProduct.
void ReadSysfsIdentity(const std::string& node, CandidatePort& port) {
  std::error_code ec;
  fs::path dev = fs::canonical(fs::path("/sys/class/tty") / node / "device", ec);
  if (ec) return;
  for (fs::path p = dev; !p.empty() && p != p.root_path(); p = p.parent_path()) {
    if (fs::exists(p / "idVendor", ec) && fs::exists(p / "idProduct", ec)) {
      port.vendorId = static_cast<int>(std::strtol(ReadLine(p / "idVendor").c_str(), nullptr, 16));
      port.productId = static_cast<int>(std::strtol(ReadLine(p / "idProduct").c_str(), nullptr, 16));
      std::string product = ReadLine(p / "product");
      if (!product.empty()) port.friendlyName = product;
      return;
    }
  }
}

std::vector<CandidatePort> PortsFromDeviceMap(const std::string& mapPath) {
  std::vector<CandidatePort> ports;
  ProfileFile map(mapPath);
  // Section names are the port names; list them in file order.
  std::string text = map.Text();
  size_t pos = 0;
  while (pos < text.size()) {
    size_t nl = text.find('\n', pos);
    std::string line = text.substr(pos, nl == std::string::npos ? std::string::npos : nl - pos);
    pos = nl == std::string::npos ? text.size() : nl + 1;
    size_t open = line.find('['), close = line.find(']');
    if (open == std::string::npos || close == std::string::npos || close < open) continue;
    CandidatePort port;
    port.name = line.substr(open + 1, close - open - 1);
    port.path = map.GetString(port.name, "Path", "");
    port.friendlyName = map.GetString(port.name, "FriendlyName", "");
    ParseVidPid(map.GetString(port.name, "HardwareId", ""), port.vendorId, port.productId);
    if (!port.path.empty()) ports.push_back(port);
  }
  return ports;
}

std::vector<CandidatePort> PortsFromDev() {
  std::vector<CandidatePort> ports;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator("/dev", ec)) {
    std::string name = entry.path().filename().string();
    if (name.rfind("ttyUSB", 0) != 0 && name.rfind("ttyACM", 0) != 0) continue;
    CandidatePort port;
    port.name = name;
    port.path = entry.path().string();
    ReadSysfsIdentity(name, port);
    ports.push_back(port);
  }
  std::sort(ports.begin(), ports.end(), [](const CandidatePort& a, const CandidatePort& b) { return a.name < b.name; });
  return ports;
}

}  // namespace

std::vector<CandidatePort> FindModemPorts() {
  const char* map = std::getenv("ZOVIR_DEVICE_MAP");
  std::vector<CandidatePort> ports = (map && *map) ? PortsFromDeviceMap(map) : PortsFromDev();
  std::stable_partition(ports.begin(), ports.end(), [](const CandidatePort& p) { return !p.IsDiagnostics(); });
  return ports;
}

AtPort::~AtPort() { Close(); }

void AtPort::Close() {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

bool AtPort::Open(const std::string& path) {
  Close();
  int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  // Another program (the tool itself during an update) may hold the port.
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    int err = errno == EWOULDBLOCK ? EBUSY : errno;
    ::close(fd);
    errno = err;
    return false;
  }
  termios tio{};
  if (tcgetattr(fd, &tio) == 0) {
    cfmakeraw(&tio);
    cfsetispeed(&tio, B115200);
    cfsetospeed(&tio, B115200);
    tio.c_cflag |= CLOCAL | CREAD;
    tcsetattr(fd, TCSANOW, &tio);
  }
  tcflush(fd, TCIOFLUSH);
  fd_ = fd;
  return true;
}

AtPort::Reply AtPort::Command(const std::string& command, std::chrono::milliseconds timeout, std::string* text) {
  if (fd_ < 0) return Reply::Hangup;
  size_t done = 0;
  while (done < command.size()) {
    ssize_t n = ::write(fd_, command.data() + done, command.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN) {
        pollfd p{fd_, POLLOUT, 0};
        if (poll(&p, 1, 1000) <= 0) return Reply::Silent;
        continue;
      }
      return Reply::Hangup;
    }
    done += static_cast<size_t>(n);
  }
  std::string reply;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd p{fd_, POLLIN, 0};
    int r = poll(&p, 1, static_cast<int>(left.count()));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    if (p.revents & (POLLHUP | POLLERR | POLLNVAL)) {
      if (!(p.revents & POLLIN)) {
        if (text) *text = reply;
        return Reply::Hangup;
      }
    }
    char buf[256];
    ssize_t n = ::read(fd_, buf, sizeof buf);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    if (n <= 0) {
      if (text) *text = reply;
      return Reply::Hangup;
    }
    reply.append(buf, static_cast<size_t>(n));
    if (reply.find("OK") != std::string::npos) {
      if (text) *text = reply;
      return Reply::Ok;
    }
    if (reply.find("ERROR") != std::string::npos) {
      if (text) *text = reply;
      return Reply::Error;
    }
  }
  if (text) *text = reply;
  return Reply::Silent;
}

}  // namespace zovir::tools
