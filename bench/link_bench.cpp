// Throughput of the frame check and of frame encoding/decoding, and how many read(2) calls
// a received frame costs on a real tty.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>
#include <unistd.h>

#include "engine/engine_core.h"
#include "link/crc16.h"
#include "link/frame_buffer.h"
#include "link/link.h"
#include "platform/clock.h"
#include "platform/fake_clock.h"
#include "platform/linux/serial_port_linux.h"
#include "support/pty_pair.h"
#include "support/scripted_port.h"

namespace zovir {
namespace {

std::vector<uint8_t> RandomBytes(size_t n, uint32_t seed = 1) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> v(n);
  for (auto& b : v) b = static_cast<uint8_t>(rng());
  return v;
}

std::vector<uint8_t> Framed(const std::vector<uint8_t>& payload) {
  FrameBuffer f;
  f.Clear();
  f.AddEscaped(payload.data(), static_cast<uint32_t>(payload.size()));
  f.FinishFrame();
  std::vector<uint8_t> out(f.length + 2);
  out[0] = 0x7E;
  std::copy(f.data(), f.data() + f.length + 1, out.begin() + 1);
  return out;
}

void BM_Crc16SlicingBy8(benchmark::State& state) {
  const auto data = RandomBytes(static_cast<size_t>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(Crc16X25(data.data(), data.size()));
  state.SetBytesProcessed(int64_t(state.iterations()) * state.range(0));
}
BENCHMARK(BM_Crc16SlicingBy8)->Arg(64)->Arg(4096)->Arg(1 << 20);

void BM_Crc16ByteTable(benchmark::State& state) {
  const auto data = RandomBytes(static_cast<size_t>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(Crc16X25Bytewise(data.data(), data.size()));
  state.SetBytesProcessed(int64_t(state.iterations()) * state.range(0));
}
BENCHMARK(BM_Crc16ByteTable)->Arg(64)->Arg(4096)->Arg(1 << 20);

// Building a frame byte by byte with escapes and the check, as every send does.
void BM_FrameEncode(benchmark::State& state) {
  const auto payload = RandomBytes(static_cast<size_t>(state.range(0)));
  FrameBuffer f;
  for (auto _ : state) {
    f.Clear();
    f.AddEscaped(payload.data(), static_cast<uint32_t>(payload.size()));
    f.FinishFrame();
    benchmark::DoNotOptimize(f.data()[f.length]);
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * state.range(0));
}
BENCHMARK(BM_FrameEncode)->Arg(16)->Arg(1024)->Arg(4000);

// The receive state machine fed from the receive buffer (frames queued on a scripted port).
void BM_FrameDecode(benchmark::State& state) {
  const auto frame = Framed(RandomBytes(static_cast<size_t>(state.range(0))));
  constexpr int kBatch = 16;
  std::vector<uint8_t> batch;
  for (int i = 0; i < kBatch; ++i) batch.insert(batch.end(), frame.begin(), frame.end());
  FakeClock clock;
  test::ScriptedPortFactory ports(clock);
  ports.Port("COM7");
  EngineCore core(clock, ports, nullptr);
  core.cfg.ComPort = 7;
  Link link(core);
  link.OpenDiagPort();
  for (auto _ : state) {
    ports.Port("COM7").QueueBytes(batch);
    for (int i = 0; i < kBatch; ++i) {
      if (link.ReceiveFrameTimed().outcome != RxOutcome::Frame) state.SkipWithError("frame not received");
    }
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * kBatch * state.range(0));
  state.counters["port_reads_per_frame"] =
      benchmark::Counter(double(link.PortReads()) / (double(state.iterations()) * kBatch));
}
BENCHMARK(BM_FrameDecode)->Arg(16)->Arg(1024)->Arg(4000);

// One frame written by the device side of a pty, then received by the link on the Linux
// port: the read(2) calls it took. A reply is normally complete before the host looks.
void BM_PtyReceiveReadCalls(benchmark::State& state) {
  test::PtyPair pty;
  const auto map = std::filesystem::temp_directory_path() / ("zovir_bench_map_" + std::to_string(::getpid()) + ".ini");
  std::ofstream(map) << "[COM7]\nPath=" << pty.SlavePath() << "\n";
  PortNamespace names(map.string());
  LinuxSerialPortFactory factory(names);
  SteadyClock clock;
  EngineCore core(clock, factory, nullptr);
  core.cfg.ComPort = 7;
  Link link(core);
  link.OpenDiagPort();
  if (!core.hDiagPort) {
    state.SkipWithError("cannot open the pty");
    return;
  }
  auto& port = static_cast<LinuxSerialPort&>(*core.hDiagPort);
  const auto frame = Framed(RandomBytes(static_cast<size_t>(state.range(0))));
  const uint64_t reads0 = port.ReadSyscalls();
  for (auto _ : state) {
    pty.Write(frame);
    if (link.ReceiveFrameTimed().outcome != RxOutcome::Frame) state.SkipWithError("frame not received");
  }
  state.counters["read_syscalls_per_frame"] =
      benchmark::Counter(double(port.ReadSyscalls() - reads0) / double(state.iterations()));
  state.counters["wire_bytes_per_frame"] = benchmark::Counter(double(frame.size()));
  state.SetBytesProcessed(int64_t(state.iterations()) * state.range(0));
  std::filesystem::remove(map);
}
BENCHMARK(BM_PtyReceiveReadCalls)->Arg(16)->Arg(1024)->Arg(4000)->UseRealTime();

}  // namespace
}  // namespace zovir

BENCHMARK_MAIN();
