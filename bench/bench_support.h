#pragma once
// What the benchmark programs share: scratch folders, synthetic images and raw pty pairs.
#include <poll.h>
#include <pty.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace zovir::bench {

inline std::filesystem::path TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "zovir-bench-XXXXXX").string();
  if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  return pattern;
}

// A deterministic pseudo-random image of `size` bytes.
inline std::string WriteImage(const std::filesystem::path& dir, const std::string& name, uint32_t size) {
  std::vector<char> bytes(size);
  uint32_t x = 12345;
  for (char& b : bytes) {
    x = x * 1103515245u + 12345u;
    b = static_cast<char>(x >> 16);
  }
  const auto path = dir / name;
  std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return path.string();
}

// One pty pair in raw mode: `host` is the slave side (where the tool sits), `device` the
// master side (where the modem sits).
struct PtyPair {
  PtyPair() {
    if (::openpty(&device, &host, nullptr, nullptr, nullptr) != 0) throw std::runtime_error("openpty failed");
    for (int fd : {device, host}) {
      termios t{};
      ::tcgetattr(fd, &t);
      ::cfmakeraw(&t);
      ::tcsetattr(fd, TCSANOW, &t);
    }
  }
  ~PtyPair() {
    ::close(host);
    ::close(device);
  }
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;
  int device = -1;
  int host = -1;
};

// Reads exactly `n` bytes; false on an error, end of file or a raised `stop`.
inline bool ReadExactly(int fd, uint8_t* buffer, size_t n, const std::atomic<bool>* stop = nullptr) {
  size_t got = 0;
  while (got < n) {
    pollfd p{fd, POLLIN, 0};
    const int ready = ::poll(&p, 1, 100);
    if (stop && stop->load()) return false;
    if (ready <= 0) continue;
    const ssize_t r = ::read(fd, buffer + got, n - got);
    if (r <= 0) return false;
    got += static_cast<size_t>(r);
  }
  return true;
}

inline bool WriteAll(int fd, const uint8_t* data, size_t n) {
  size_t done = 0;
  while (done < n) {
    const ssize_t w = ::write(fd, data + done, n - done);
    if (w < 0) {
      if (errno == EAGAIN || errno == EINTR) continue;
      return false;
    }
    done += static_cast<size_t>(w);
  }
  return true;
}

// The least a device can do on the pty's device side: take each frame of `frameSize` bytes
// and answer it with `replySize` bytes, on a thread of its own until destroyed.
class ShortReplyDevice {
 public:
  ShortReplyDevice(const PtyPair& pty, size_t frameSize, size_t replySize)
      : thread_([this, fd = pty.device, frameSize, replySize] {
          std::vector<uint8_t> in(frameSize);
          const std::vector<uint8_t> reply(replySize, 0x23);
          while (ReadExactly(fd, in.data(), frameSize, &stop_)) WriteAll(fd, reply.data(), reply.size());
        }) {}
  ~ShortReplyDevice() {
    stop_ = true;
    thread_.join();
  }
  ShortReplyDevice(const ShortReplyDevice&) = delete;
  ShortReplyDevice& operator=(const ShortReplyDevice&) = delete;

 private:
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace zovir::bench
