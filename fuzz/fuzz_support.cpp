#include "fuzz_support.h"

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

namespace zovir::fuzz {

uint8_t InputReader::Byte() { return pos_ < size_ ? data_[pos_++] : 0; }

uint32_t InputReader::U32() {
  uint32_t v = 0;
  for (int i = 0; i < 4; ++i) v |= uint32_t(Byte()) << (8 * i);
  return v;
}

Bytes InputReader::Piece() {
  size_t n = Byte();
  n = std::min(n, size_ - std::min(pos_, size_));
  Bytes out(data_ + pos_, data_ + pos_ + n);
  pos_ += n;
  return out;
}

Bytes InputReader::Rest() {
  Bytes out;
  if (pos_ < size_) out.assign(data_ + pos_, data_ + size_);
  pos_ = size_;
  return out;
}

PortRig::PortRig(std::vector<Bytes> replies, uint64_t readLimit)
    : ports(clock), core(clock, ports, &host), link(core), replies_(std::move(replies)) {
  core.cfg.ComPort = 7;
  core.cfg.SerialComPort = 8;
  core.cfg.ProjectType = 3;
  ports.Port("COM8");
  diag().SetResponder([this](const Bytes&) { return next_ < replies_.size() ? replies_[next_++] : Bytes{}; });
  diag().SetReadHook([this, readLimit](uint64_t index) {
    if (index >= readLimit) core.RequestStop();
  });
}

void PortRig::OpenDiag() { link.OpenDiagPort(); }

std::string TempDir() {
  static const std::string dir = [] {
    auto d = std::filesystem::temp_directory_path() / ("zovir-fuzz-" + std::to_string(::getpid()));
    std::filesystem::create_directories(d);
    return d.string();
  }();
  return dir;
}

std::string WriteTempFile(const std::string& name, const uint8_t* data, size_t size) {
  const std::string path = TempDir() + "/" + name;
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  return path;
}

}  // namespace zovir::fuzz
