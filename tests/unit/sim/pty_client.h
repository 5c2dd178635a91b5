#pragma once
// The tool's side of a virtual-modem port for tests: plain termios on the slave path.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "sim/hdlc.h"
#include "sim/virtual_modem.h"

namespace zovir::sim::test {

class PtyClient {
 public:
  explicit PtyClient(const std::string& path) : fd_(::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC)) {
    if (fd_ < 0) return;
    termios tio{};
    tcgetattr(fd_, &tio);
    cfmakeraw(&tio);
    tcsetattr(fd_, TCSANOW, &tio);
  }
  ~PtyClient() {
    if (fd_ >= 0) ::close(fd_);
  }
  PtyClient(const PtyClient&) = delete;
  PtyClient& operator=(const PtyClient&) = delete;

  bool ok() const { return fd_ >= 0; }
  int fd() const { return fd_; }

  bool Write(const Bytes& data) {
    size_t done = 0;
    while (done < data.size()) {
      ssize_t n = ::write(fd_, data.data() + done, data.size() - done);
      if (n <= 0) return false;
      done += static_cast<size_t>(n);
    }
    return true;
  }
  bool Write(const std::string& s) { return Write(Bytes(s.begin(), s.end())); }

  // Reads until `n` bytes came or the time passed; returns what came.
  Bytes ReadExactly(size_t n, int timeoutMs = 5000) {
    Bytes out;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (out.size() < n) {
      if (!WaitReadable(deadline)) break;
      uint8_t buf[65536];
      ssize_t r = ::read(fd_, buf, std::min(sizeof buf, n - out.size()));
      if (r <= 0) break;
      out.insert(out.end(), buf, buf + r);
    }
    return out;
  }

  // Reads one frame: up to and including the closing flag that follows a non-flag byte.
  Bytes ReadFrame(int timeoutMs = 5000) {
    Bytes out;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    bool content = false;
    while (WaitReadable(deadline)) {
      uint8_t b;
      if (::read(fd_, &b, 1) != 1) break;
      out.push_back(b);
      if (b != 0x7E) content = true;
      if (b == 0x7E && content) break;
    }
    return out;
  }

  // Everything that arrives within `ms`.
  Bytes ReadFor(int ms) {
    Bytes out;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (WaitReadable(deadline)) {
      uint8_t buf[4096];
      ssize_t r = ::read(fd_, buf, sizeof buf);
      if (r <= 0) break;
      out.insert(out.end(), buf, buf + r);
    }
    return out;
  }

  // Reads until the text holds `needle` or the time passed; returns the text.
  std::string ReadUntil(const std::string& needle, int timeoutMs = 5000) {
    std::string text;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (text.find(needle) == std::string::npos && WaitReadable(deadline)) {
      char buf[1024];
      ssize_t r = ::read(fd_, buf, sizeof buf);
      if (r <= 0) break;
      text.append(buf, static_cast<size_t>(r));
    }
    return text;
  }

  // Drops whatever the port holds now.
  void Discard() { tcflush(fd_, TCIFLUSH); }

 private:
  bool WaitReadable(std::chrono::steady_clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    if (left < 0) return false;
    pollfd p{fd_, POLLIN, 0};
    return ::poll(&p, 1, static_cast<int>(left)) > 0 && (p.revents & POLLIN);
  }
  int fd_;
};

// The sections of a device-map file: "COM7" -> {key -> value}.
inline std::map<std::string, std::map<std::string, std::string>> ReadMap(const std::string& path) {
  std::map<std::string, std::map<std::string, std::string>> out;
  std::ifstream in(path);
  std::string line, section;
  while (std::getline(in, line)) {
    if (line.size() > 2 && line.front() == '[') {
      section = line.substr(1, line.find(']') - 1);
      out[section];
    } else if (auto eq = line.find('='); eq != std::string::npos && !section.empty()) {
      out[section][line.substr(0, eq)] = line.substr(eq + 1);
    }
  }
  return out;
}

inline Bytes ReadFile(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

inline uint32_t Le32(const Bytes& b, size_t at) { return GetLe32(b, at); }

inline Bytes Le32Words(std::initializer_list<uint32_t> words) {
  Bytes b;
  for (uint32_t w : words) PutLe32(b, w);
  return b;
}

// A temporary folder per test.
class TempDir {
 public:
  TempDir() {
    char tmpl[] = "/tmp/zovir-sim-XXXXXX";
    path_ = ::mkdtemp(tmpl);
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

inline VirtualModemOptions BaseOptions(const TempDir& dir) {
  VirtualModemOptions o;
  o.deviceMapPath = dir / "ports.ini";
  o.rebootDelayMs = 50;
  o.resetDelayMs = 50;
  o.reenumerateDelayMs = 50;
  return o;
}

}  // namespace zovir::sim::test
