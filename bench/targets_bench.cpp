// The measurements behind `./zovir.sh bench` (bench/run_targets.py turns them into figures):
//   link                      round trip of a 1 KiB request with a 9-byte answer, pty bulk rate
//   transfer MODE BLOCK MIB   one image written to the virtual modem's flash programmer over ptys
//                             (MODE normal or fast), with read calls per reply
//   crc MIB                   CRC-16/X-25 against a plain byte-table CRC in memory
//   preflight DIR             the pre-flight check of a packet folder in fast-speed mode against
//                             reading its files once
// Each prints "key value" lines. Time the protocol spends in its own fixed waits is measured
// through the engine's clock and printed apart, so the figures can hold the rest to account.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <stdlib.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <random>
#include <span>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_support.h"
#include "config/image_check.h"
#include "config/message_sink.h"
#include "config/project_configuration.h"
#include "engine/engine_core.h"
#include "link/crc16.h"
#include "link/frame_buffer.h"
#include "link/link.h"
#include "platform/clock.h"
#include "platform/linux/serial_port_linux.h"
#include "platform/port_namespace.h"
#include "protocols/image_plan.h"
#include "protocols/streaming_download.h"
#include "sim/hdlc.h"
#include "sim/virtual_modem.h"

namespace zovir {
namespace {

using bench::PtyPair;
using bench::ReadExactly;
using bench::ShortReplyDevice;
using bench::TempDir;
using bench::WriteImage;
using bench::WriteAll;

using Seconds = std::chrono::duration<double>;
using Steady = std::chrono::steady_clock;

double Since(Steady::time_point start) { return Seconds(Steady::now() - start).count(); }

void Put(const std::string& key, double value) { std::printf("%s %.6g\n", key.c_str(), value); }

double CpuSeconds(clockid_t clock) {
  timespec t{};
  ::clock_gettime(clock, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}
double ThreadCpuSeconds() { return CpuSeconds(CLOCK_THREAD_CPUTIME_ID); }
double ProcessCpuSeconds() { return CpuSeconds(CLOCK_PROCESS_CPUTIME_ID); }



// ---------------------------------------------------------------------------------------
// Link bounds

// A stream-write frame of a 1 KiB block is about 1030 bytes on the wire; its reply is 9.
struct RoundTrips {
  double median = 0;
  double mean = 0;
};

RoundTrips Summarise(std::vector<double>& times) {
  RoundTrips r;
  for (double t : times) r.mean += t;
  r.mean /= static_cast<double>(times.size());
  std::nth_element(times.begin(), times.begin() + static_cast<long>(times.size() / 2), times.end());
  r.median = times[times.size() / 2];
  return r;
}

RoundTrips RawRoundTrips(size_t frameSize, size_t replySize, int samples) {
  PtyPair pty;
  const ShortReplyDevice device(pty, frameSize, replySize);
  std::vector<uint8_t> frame(frameSize, 0x5A);
  std::vector<uint8_t> reply(replySize);
  std::vector<double> times;
  times.reserve(static_cast<size_t>(samples));
  for (int i = 0; i < samples + samples / 10; ++i) {
    const auto start = Steady::now();
    WriteAll(pty.host, frame.data(), frame.size());
    ReadExactly(pty.host, reply.data(), reply.size());
    if (i >= samples / 10) times.push_back(Since(start));  // the first tenth warms up
  }
  return Summarise(times);
}

// The same round trip with the framing a stream write carries on both ends: the host builds
// a write frame (command, address, 1 KiB of data, check, escapes) with the tool's frame
// builder; the device takes it apart and checks it with the virtual modem's deframer, and
// answers with an encoded acknowledgement, which the host reads up to its closing flag. This
// is the least any stream write costs over this link, whoever sends it.
RoundTrips FramedRoundTrips(size_t dataSize, int samples) {
  PtyPair pty;
  std::atomic<bool> stop{false};
  std::atomic<uint64_t> badFrames{0};
  std::thread device([&] {
    sim::Deframer deframer;
    std::vector<uint8_t> in(65536);
    while (!stop) {
      pollfd p{pty.device, POLLIN, 0};
      if (::poll(&p, 1, 100) <= 0) continue;
      const ssize_t r = ::read(pty.device, in.data(), in.size());
      if (r <= 0) break;
      std::span<const uint8_t> rest(in.data(), static_cast<size_t>(r));
      while (!rest.empty()) {
        size_t used = 0;
        const auto frame = deframer.Push(rest, used);
        rest = rest.subspan(used);
        if (!frame) continue;
        if (!frame->checkOk || frame->payload.size() < 5) ++badFrames;
        std::vector<uint8_t> ack = {0x08};
        ack.insert(ack.end(), frame->payload.begin() + 1, frame->payload.begin() + 5);
        const auto wire = sim::EncodeFrame(ack, true);
        WriteAll(pty.device, wire.data(), wire.size());
      }
    }
  });
  std::vector<uint8_t> data(dataSize);
  std::mt19937 rng(3);
  for (auto& b : data) b = static_cast<uint8_t>(rng());
  FrameBuffer frame;
  std::vector<uint8_t> wire(4096);
  std::vector<double> times;
  times.reserve(static_cast<size_t>(samples));
  uint32_t address = 0;
  for (int i = 0; i < samples + samples / 10; ++i) {
    const auto start = Steady::now();
    frame.Clear();
    uint8_t head[5] = {0x07, static_cast<uint8_t>(address), static_cast<uint8_t>(address >> 8),
                       static_cast<uint8_t>(address >> 16), static_cast<uint8_t>(address >> 24)};
    frame.AddEscaped(head, sizeof head);
    frame.AddEscaped(data.data(), static_cast<uint32_t>(data.size()));
    frame.FinishFrame();
    wire[0] = 0x7E;
    std::memcpy(wire.data() + 1, frame.data(), frame.length + 1);
    WriteAll(pty.host, wire.data(), frame.length + 2);
    // The acknowledgement: read up to the flag that closes it.
    uint8_t reply[64];
    size_t got = 0;
    while (got < sizeof reply) {
      pollfd p{pty.host, POLLIN, 0};
      if (::poll(&p, 1, 1000) <= 0) break;
      const ssize_t r = ::read(pty.host, reply + got, sizeof reply - got);
      if (r <= 0) break;
      got += static_cast<size_t>(r);
      if (got >= 3 && reply[got - 1] == 0x7E) break;
    }
    if (i >= samples / 10) times.push_back(Since(start));
    address += static_cast<uint32_t>(data.size());
  }
  stop = true;
  device.join();
  if (badFrames != 0) throw std::runtime_error("the device side saw damaged frames");
  return Summarise(times);
}

double BulkBytesPerSecond(uint64_t total, size_t writeSize) {
  PtyPair pty;
  std::atomic<uint64_t> drained{0};
  Steady::time_point end;
  std::thread device([&] {
    std::vector<uint8_t> in(65536);
    while (drained < total) {
      const ssize_t r = ::read(pty.device, in.data(), in.size());
      if (r <= 0) break;
      drained += static_cast<uint64_t>(r);
    }
    end = Steady::now();
  });
  const std::vector<uint8_t> block(writeSize, 0xA5);
  const auto start = Steady::now();
  for (uint64_t sent = 0; sent < total; sent += writeSize) WriteAll(pty.host, block.data(), block.size());
  device.join();
  return static_cast<double>(total) / Seconds(end - start).count();
}

int RunLink() {
  const RoundTrips raw = RawRoundTrips(1030, 9, 6000);
  Put("roundtrip_1k_raw_us", raw.median * 1e6);
  Put("roundtrip_1k_raw_rate", 1024.0 / raw.median);
  const RoundTrips framed = FramedRoundTrips(1024, 6000);
  Put("roundtrip_1k_us", framed.median * 1e6);
  Put("roundtrip_1k_rate", 1024.0 / framed.median);
  // The mean, tail included: what a run of back-to-back round trips averages on this machine.
  Put("roundtrip_1k_mean_us", framed.mean * 1e6);
  double bulk = 0;
  for (int i = 0; i < 3; ++i) bulk = std::max(bulk, BulkBytesPerSecond(64ull << 20, 65536));
  Put("bulk_rate", bulk);
  return 0;
}

// ---------------------------------------------------------------------------------------
// Transfers

// Forwards to the steady clock and adds up the time slept: the protocol's own waits.
class WaitCountingClock final : public Clock {
 public:
  uint64_t NowMs() override { return inner_.NowMs(); }
  int64_t WallSeconds() override { return inner_.WallSeconds(); }
  void SleepMs(uint32_t ms) override {
    const auto start = Steady::now();
    inner_.SleepMs(ms);
    slept_ += Since(start);
  }
  double Slept() const { return slept_; }

 private:
  SteadyClock inner_;
  double slept_ = 0;
};

// Counts the reads the link asks of a port and the read(2) calls they cost.
struct ReadCounts {
  uint64_t reads = 0;
  uint64_t syscalls = 0;
};

class CountingPort final : public SerialPort {
 public:
  CountingPort(std::unique_ptr<SerialPort> inner, ReadCounts& counts)
      : inner_(std::move(inner)), counts_(counts), linux_(dynamic_cast<LinuxSerialPort*>(inner_.get())) {}

  const std::string& Name() const override { return inner_->Name(); }
  bool GetLineSettings(LineSettings& out) override { return inner_->GetLineSettings(out); }
  bool SetLineSettings(const LineSettings& s) override { return inner_->SetLineSettings(s); }
  bool SetQueueSizes(uint32_t in, uint32_t out) override { return inner_->SetQueueSizes(in, out); }
  bool SetTimeouts(const CommTimeouts& t) override { return inner_->SetTimeouts(t); }
  bool GetTimeouts(CommTimeouts& out) override { return inner_->GetTimeouts(out); }
  bool Purge(uint32_t actions) override { return inner_->Purge(actions); }
  bool ClearError(uint32_t& errors) override { return inner_->ClearError(errors); }
  bool BytesWaiting(uint32_t& count) override { return inner_->BytesWaiting(count); }
  bool Read(uint8_t* buffer, uint32_t count, uint32_t& got) override {
    ++counts_.reads;
    const uint64_t before = linux_ ? linux_->ReadSyscalls() : 0;
    const bool ok = inner_->Read(buffer, count, got);
    counts_.syscalls += linux_ ? linux_->ReadSyscalls() - before : 1;
    return ok;
  }
  bool Write(const uint8_t* data, uint32_t count, uint32_t& written) override {
    return inner_->Write(data, count, written);
  }
  bool Close() override { return inner_->Close(); }
  int LastError() const override { return inner_->LastError(); }

 private:
  std::unique_ptr<SerialPort> inner_;
  ReadCounts& counts_;
  LinuxSerialPort* linux_;
};

class CountingPortFactory final : public SerialPortFactory {
 public:
  explicit CountingPortFactory(SerialPortFactory& inner) : inner_(inner) {}
  std::unique_ptr<SerialPort> Open(const std::string& comName, int& error) override {
    auto port = inner_.Open(comName, error);
    if (!port) return nullptr;
    return std::make_unique<CountingPort>(std::move(port), counts);
  }
  ReadCounts counts;

 private:
  SerialPortFactory& inner_;
};

int RunTransfer(bool fast, uint32_t blockSize, uint32_t mib) {
  const uint32_t size = mib << 20;
  const auto dir = TempDir();
  int rc = 0;
  {
    sim::VirtualModemOptions options;
    options.deviceMapPath = (dir / "ports.ini").string();
    options.startMode = sim::ModemMode::Programmer;
    options.fastBlockSize = blockSize;
    sim::VirtualModem modem(options);
    modem.Start();
    PortNamespace names(options.deviceMapPath);
    LinuxSerialPortFactory linuxPorts(names);
    CountingPortFactory ports(linuxPorts);
    WaitCountingClock clock;
    EngineCore core(clock, ports, nullptr);
    core.cfg.ComPort = options.comNumbers.front();
    core.cfg.ProjectType = 0;
    core.cfg.bFastSpeedDownload = fast ? 1 : 0;
    core.cfg.m_nBlockSize = static_cast<int>(blockSize);
    core.cfg.partitionFile = WriteImage(dir, "partition.mbn", 512);
    const std::string image = WriteImage(dir, "apps.mbn", size);
    uint16_t checksum = 0;
    {
      std::ifstream in(image, std::ios::binary);
      std::vector<uint8_t> bytes(size);
      in.read(reinterpret_cast<char*>(bytes.data()), size);
      checksum = Crc16X25(bytes.data(), bytes.size());
    }
    Link link(core);
    link.OpenDiagPort();
    StreamingDownload streaming(core, link);
    if (streaming.SendHello() != 0 || streaming.SendSecurityMode() != 0 || streaming.SendPartitionTable() != 0) {
      std::cerr << "the programmer did not answer\n";
      rc = 1;
    } else {
      const ReadCounts counts0 = ports.counts;
      const double slept0 = clock.Slept();
      const double cpu0 = ThreadCpuSeconds();
      const double processCpu0 = ProcessCpuSeconds();
      const auto start = Steady::now();
      bool ok = false;
      if (fast) {
        // The pre-flight check hands the engine the image's checksum; so does this.
        ok = streaming.OpenAppsImage() == 0 && streaming.FastWriteImage(image, size, checksum) &&
             streaming.CloseImage() == 0;
      } else {
        ok = streaming.OpenImageByName(qdsp_cmd) == 0 &&
             streaming.WriteImageBlocks(BlockVariant::Image, image, size, 20, 50) == 0 &&
             streaming.CloseImage() == 0;
      }
      const double elapsed = Since(start);
      const double cpu = ThreadCpuSeconds() - cpu0;
      const double processCpu = ProcessCpuSeconds() - processCpu0;
      const double waited = clock.Slept() - slept0;
      const uint64_t reads = ports.counts.reads - counts0.reads;
      const uint64_t syscalls = ports.counts.syscalls - counts0.syscalls;
      link.CloseDiagPort("Warning-1");
      if (!ok) {
        std::cerr << "transfer failed\n";
        rc = 1;
      } else {
        const double replies = fast ? double((size + blockSize - 1) / blockSize) : double(size / 1024);
        Put("bytes", size);
        Put("seconds", elapsed);
        Put("protocol_wait_seconds", waited);
        Put("rate", size / elapsed);
        Put("rate_without_waits", size / std::max(1e-9, elapsed - waited));
        Put("port_reads_per_reply", double(reads) / replies);
        // How much of the transfer the engine's thread spent computing (the rest it waited for
        // the link and the modem).
        Put("engine_busy", cpu / std::max(1e-9, elapsed - waited));
        // The same for the virtual modem's thread (the program's other threads).
        Put("modem_busy", (processCpu - cpu) / std::max(1e-9, elapsed - waited));
        Put("read_syscalls_per_reply", double(syscalls) / replies);
      }
    }
    modem.Stop();
  }
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
  return rc;
}

// ---------------------------------------------------------------------------------------
// Checksum

int RunCrc(uint32_t mib) {
  std::vector<uint8_t> data(static_cast<size_t>(mib) << 20);
  std::mt19937_64 rng(7);
  for (size_t i = 0; i + 8 <= data.size(); i += 8) {
    const uint64_t v = rng();
    std::memcpy(data.data() + i, &v, 8);
  }
  auto best = [&](uint16_t (*crc)(const uint8_t*, size_t)) {
    double fastest = 1e9;
    volatile uint16_t sink = 0;
    for (int i = 0; i < 2; ++i) {
      const auto start = Steady::now();
      sink = crc(data.data(), data.size());
      fastest = std::min(fastest, Since(start));
    }
    (void)sink;
    return double(data.size()) / fastest;
  };
  if (Crc16X25(data.data(), data.size()) != Crc16X25Bytewise(data.data(), data.size())) {
    std::cerr << "the two checksums disagree\n";
    return 1;
  }
  Put("crc_rate", best(Crc16X25));
  Put("crc_bytetable_rate", best(Crc16X25Bytewise));
  return 0;
}

// ---------------------------------------------------------------------------------------
// Pre-flight check

double ReadFolderOnce(const std::string& folder) {
  std::vector<char> buffer(4 << 20);
  const auto start = Steady::now();
  for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
    if (!entry.is_regular_file()) continue;
    std::ifstream in(entry.path(), std::ios::binary);
    while (in.read(buffer.data(), static_cast<std::streamsize>(buffer.size())) || in.gcount() > 0) {
      if (!in) break;
    }
  }
  return Since(start);
}

int RunPreflight(const std::string& folder) {
  RecordingMessageSink sink;
  ProjectConfiguration config;
  if (!ReadProjectConfiguration(config, folder + "/Config.ini", sink)) {
    std::cerr << "cannot read " << folder << "/Config.ini\n";
    return 1;
  }
  config.bFastSpeedDownload = 1;
  const auto backup = TempDir();
  double check = 1e9, read = 1e9;
  ReadFolderOnce(folder);  // both start from the page cache
  for (int i = 0; i < 3; ++i) {
    ImageFolderState state;
    ImageCheckContext context{sink, "bench", backup.string(), false, nullptr, nullptr};
    const auto start = Steady::now();
    const bool ok = CheckImageFolder(folder, config, state, context);
    check = std::min(check, Since(start));
    if (!ok) {
      std::cerr << "the check failed:";
      for (const auto& m : sink.messages) std::cerr << " [" << m.caption << "] " << m.text;
      std::cerr << "\n";
      return 1;
    }
    read = std::min(read, ReadFolderOnce(folder));
  }
  std::error_code ec;
  std::filesystem::remove_all(backup, ec);
  Put("check_seconds", check);
  Put("read_seconds", read);
  return 0;
}

int Usage() {
  std::cerr << "usage: zovir_bench_targets link | transfer normal|fast BLOCK MIB | crc MIB | preflight DIR\n";
  return 2;
}

}  // namespace
}  // namespace zovir

int main(int argc, char** argv) {
  using namespace zovir;
  const std::vector<std::string> a(argv + 1, argv + argc);
  try {
    if (a.size() == 1 && a[0] == "link") return RunLink();
    if (a.size() == 4 && a[0] == "transfer" && (a[1] == "normal" || a[1] == "fast")) {
      return RunTransfer(a[1] == "fast", static_cast<uint32_t>(std::stoul(a[2])), static_cast<uint32_t>(std::stoul(a[3])));
    }
    if (a.size() == 2 && a[0] == "crc") return RunCrc(static_cast<uint32_t>(std::stoul(a[1])));
    if (a.size() == 2 && a[0] == "preflight") return RunPreflight(a[1]);
  } catch (const std::exception& e) {
    std::cerr << e.what() << "\n";
    return 1;
  }
  return Usage();
}
