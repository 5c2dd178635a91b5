// The whole-file checksum of the image checks over a 200 MiB image, beside the time the
// system's `cat` takes to read the same file once. Both read from the page cache after the
// first pass, so the pair shows what the checksum adds to reading.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "config/image_check.h"
#include "config/message_sink.h"

namespace {

constexpr uint64_t kImageSize = 200ull * 1024 * 1024;

// One image for the whole run, removed at exit.
class Image {
 public:
  Image() {
    std::string dir = (std::filesystem::temp_directory_path() / "zovir-bench-XXXXXX").string();
    if (mkdtemp(dir.data()) == nullptr) std::abort();
    dir_ = dir;
    path_ = dir + "/image.mbn";
    std::ofstream out(path_, std::ios::binary);
    std::vector<char> block(1 << 20);
    uint32_t x = 0x12345678;
    for (uint64_t written = 0; written < kImageSize; written += block.size()) {
      for (char& c : block) {
        x = x * 1664525u + 1013904223u;
        c = static_cast<char>(x >> 24);
      }
      out.write(block.data(), static_cast<std::streamsize>(block.size()));
    }
  }
  ~Image() {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  const std::string& Path() const { return path_; }

 private:
  std::string dir_, path_;
};

const Image& TheImage() {
  static const Image image;
  return image;
}

void BM_ComputeImageChecksum(benchmark::State& state) {
  const std::string& path = TheImage().Path();
  zovir::RecordingMessageSink sink;
  for (auto _ : state) {
    uint16_t crc = 0;
    if (!zovir::ComputeImageChecksum(path, static_cast<int>(state.range(0)), crc, sink)) {
      state.SkipWithError("checksum failed");
      break;
    }
    benchmark::DoNotOptimize(crc);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kImageSize));
}
BENCHMARK(BM_ComputeImageChecksum)->Arg(1024)->Arg(4096)->Unit(benchmark::kMillisecond)->UseRealTime();

// Reading alone, in the same runs of 4 MiB, without the checksum.
void BM_ReadOnly(benchmark::State& state) {
  std::vector<char> buffer(4 << 20);
  for (auto _ : state) {
    std::ifstream in(TheImage().Path(), std::ios::binary);
    while (in.read(buffer.data(), static_cast<std::streamsize>(buffer.size())) || in.gcount() > 0) {
      benchmark::DoNotOptimize(buffer.data());
      if (!in) break;
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kImageSize));
}
BENCHMARK(BM_ReadOnly)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_CatSameFile(benchmark::State& state) {
  const std::string command = "cat '" + TheImage().Path() + "' > /dev/null";
  for (auto _ : state) {
    if (std::system(command.c_str()) != 0) {
      state.SkipWithError("cat failed");
      break;
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kImageSize));
}
BENCHMARK(BM_CatSameFile)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
