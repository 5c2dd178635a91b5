// Transfer rates of the image download over pseudo-terminals against the virtual modem,
// beside the raw pty bounds measured in the same run: a 1 KiB write answered by a 9-byte
// reply (what one stream write costs at best) and the bulk rate of one pty.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_support.h"
#include "engine/engine_core.h"
#include "link/link.h"
#include "platform/clock.h"
#include "platform/linux/serial_port_linux.h"
#include "platform/port_namespace.h"
#include "protocols/image_plan.h"
#include "protocols/streaming_download.h"
#include "sim/virtual_modem.h"

namespace zovir {
namespace {

using bench::PtyPair;
using bench::ReadExactly;
using bench::ShortReplyDevice;
using bench::TempDir;
using bench::WriteImage;
using bench::WriteAll;

constexpr uint32_t kImageSize = 2 * 1024 * 1024;





// One write answered by a short reply, the pattern of both transfers: a stream-write frame of
// a 1 KiB block is about 1030 bytes on the wire with a 9-byte reply; a fast-speed block is
// the raw block with a 7-byte reply. Bytes counted are the block's data bytes.
void BM_PtyRoundTrip(benchmark::State& state) {
  const auto frameSize = static_cast<size_t>(state.range(0));
  const auto replySize = static_cast<size_t>(state.range(1));
  const auto dataBytes = state.range(2);
  PtyPair pty;
  const ShortReplyDevice device(pty, frameSize, replySize);
  std::vector<uint8_t> frame(frameSize, 0x5A);
  std::vector<uint8_t> reply(replySize);
  for (auto _ : state) {
    WriteAll(pty.host, frame.data(), frame.size());
    ReadExactly(pty.host, reply.data(), reply.size());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * dataBytes);
}
BENCHMARK(BM_PtyRoundTrip)->ArgNames({"frame", "reply", "data"})->Args({1030, 9, 1024})->Args({4096, 7, 4096})->UseRealTime();

void BM_PtyBulk(benchmark::State& state) {
  PtyPair pty;
  std::atomic<bool> stop{false};
  std::atomic<uint64_t> drained{0};
  std::thread device([&] {
    std::vector<uint8_t> in(65536);
    while (!stop) {
      pollfd p{pty.device, POLLIN, 0};
      if (::poll(&p, 1, 100) <= 0) continue;
      const ssize_t r = ::read(pty.device, in.data(), in.size());
      if (r <= 0) break;
      drained += static_cast<uint64_t>(r);
    }
  });
  const std::vector<uint8_t> block(4096, 0xA5);
  for (auto _ : state) WriteAll(pty.host, block.data(), block.size());
  stop = true;
  device.join();
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 4096);
}
BENCHMARK(BM_PtyBulk)->UseRealTime();

// The flash programmer of a virtual modem on ptys, driven through the tool's own link.
class ProgrammerSession {
 public:
  explicit ProgrammerSession(bool fast) : dir_(TempDir()) {
    sim::VirtualModemOptions options;
    options.deviceMapPath = (dir_ / "ports.ini").string();
    options.startMode = sim::ModemMode::Programmer;
    options.fastBlockSize = 4096;
    modem_ = std::make_unique<sim::VirtualModem>(options);
    modem_->Start();
    names_ = std::make_unique<PortNamespace>(options.deviceMapPath);
    ports_ = std::make_unique<LinuxSerialPortFactory>(*names_);
    core_ = std::make_unique<EngineCore>(clock_, *ports_, nullptr);
    core_->cfg.ComPort = options.comNumbers.front();
    core_->cfg.ProjectType = 0;
    core_->cfg.bFastSpeedDownload = fast ? 1 : 0;
    core_->cfg.m_nBlockSize = 4096;
    core_->cfg.partitionFile = WriteImage(dir_, "partition.mbn", 512);
    link_ = std::make_unique<Link>(*core_);
    link_->OpenDiagPort();
    streaming_ = std::make_unique<StreamingDownload>(*core_, *link_);
    if (streaming_->SendHello() != 0 || streaming_->SendSecurityMode() != 0 || streaming_->SendPartitionTable() != 0) {
      throw std::runtime_error("the programmer did not answer");
    }
    image_ = WriteImage(dir_, "apps.mbn", kImageSize);
  }
  ~ProgrammerSession() {
    link_->CloseDiagPort("Warning-1");
    modem_->Stop();
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }

  bool WriteOnce() {
    if (core_->cfg.bFastSpeedDownload) {
      return streaming_->OpenAppsImage() == 0 && streaming_->FastWriteImage(image_, kImageSize, 0x1234) &&
             streaming_->CloseImage() == 0;
    }
    return streaming_->OpenImageByName(qdsp_cmd) == 0 &&
           streaming_->WriteImageBlocks(BlockVariant::Image, image_, kImageSize, 20, 50) == 0 &&
           streaming_->CloseImage() == 0;
  }
  uint64_t PortReads() const { return link_->PortReads(); }

 private:
  std::filesystem::path dir_;
  SteadyClock clock_;
  std::unique_ptr<sim::VirtualModem> modem_;
  std::unique_ptr<PortNamespace> names_;
  std::unique_ptr<LinuxSerialPortFactory> ports_;
  std::unique_ptr<EngineCore> core_;
  std::unique_ptr<Link> link_;
  std::unique_ptr<StreamingDownload> streaming_;
  std::string image_;
};

void Transfer(benchmark::State& state, bool fast) {
  ProgrammerSession session(fast);
  for (auto _ : state) {
    if (!session.WriteOnce()) {
      state.SkipWithError("transfer failed");
      return;
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kImageSize);
}

void BM_NormalTransfer(benchmark::State& state) { Transfer(state, false); }
void BM_FastTransfer4096(benchmark::State& state) { Transfer(state, true); }
BENCHMARK(BM_NormalTransfer)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_FastTransfer4096)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

}  // namespace
}  // namespace zovir

BENCHMARK_MAIN();
