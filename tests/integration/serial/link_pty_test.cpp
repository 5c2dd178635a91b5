#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "engine/engine_core.h"
#include "link/crc16.h"
#include "link/link.h"
#include "platform/clock.h"
#include "platform/linux/serial_port_linux.h"
#include "support/pty_pair.h"

namespace zovir {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Flagged(const Bytes& payload) {
  Bytes raw = payload;
  const uint16_t crc = Crc16X25(payload.data(), payload.size());
  raw.push_back(static_cast<uint8_t>(crc));
  raw.push_back(static_cast<uint8_t>(crc >> 8));
  Bytes out = {0x7E};
  for (uint8_t b : raw) {
    if (b == 0x7E || b == 0x7D) {
      out.push_back(0x7D);
      out.push_back(b ^ 0x20);
    } else {
      out.push_back(b);
    }
  }
  out.push_back(0x7E);
  return out;
}

// The link on a real tty: the engine core with the steady clock and the Linux factory, the
// test answering on the master side of a pty named COM7 by a device map.
class LinkPty : public ::testing::Test {
 protected:
  LinkPty() : names(MapPath()), factory(names), core(clock, factory, nullptr), link(core) {}
  static std::string MapPath() {
    return (std::filesystem::temp_directory_path() / ("zovir_linkpty_" + std::to_string(::getpid()) + ".ini")).string();
  }
  void SetUp() override {
    ASSERT_TRUE(pty.ok());
    std::ofstream(MapPath()) << "[COM7]\nPath=" << pty.SlavePath() << "\n";
    core.cfg.ComPort = 7;
    core.cfg.ProjectType = project;
    core.OnError = [](const std::string& text, int) { ADD_FAILURE() << text; };
    link.OpenDiagPort();
    ASSERT_TRUE(core.hDiagPort);
  }
  void TearDown() override { std::filesystem::remove(MapPath()); }
  LinuxSerialPort& port() { return static_cast<LinuxSerialPort&>(*core.hDiagPort); }

  int project = 3;
  test::PtyPair pty;
  SteadyClock clock;
  PortNamespace names;
  LinuxSerialPortFactory factory;
  EngineCore core;
  Link link;
};

TEST_F(LinkPty, RequestAndReplyOverATty) {
  const Bytes request = {0x0C, 0x7E, 0x01};
  constexpr int kFrames = 50;
  const uint64_t reads0 = port().ReadSyscalls();
  for (int i = 0; i < kFrames; ++i) {
    link.Frame().Clear();
    link.Frame().AddEscaped(request.data(), 3);
    link.Frame().FinishFrame();
    link.SendFramed();
    ASSERT_TRUE(link.LastSendOk());
    const Bytes wire = Flagged(request);
    ASSERT_EQ(pty.Read(wire.size(), 3000), wire);
    ASSERT_TRUE(pty.Write(Flagged({0x0D, static_cast<uint8_t>(i), 0x7E})));
    const RxResult r = link.ReceiveFrameTimed();
    ASSERT_EQ(r.outcome, RxOutcome::Frame);
    EXPECT_EQ(link.Response()[1], i);
    EXPECT_EQ(link.Response()[2], 0x7E);
  }
  // A reply that is already queued costs one read(2), one still arriving a few more.
  const double perFrame = double(port().ReadSyscalls() - reads0) / kFrames;
  RecordProperty("read_syscalls_per_frame", std::to_string(perFrame));
  EXPECT_LE(perFrame, 4.0);
}

TEST_F(LinkPty, ReplyArrivingDuringTheWaitAndTimeoutOnSilence) {
  std::thread device([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    pty.Write(Flagged({0x02}));
  });
  EXPECT_EQ(link.ReceiveFrameTimed().outcome, RxOutcome::Ack);
  device.join();

  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(link.ReceiveReply().outcome, RxOutcome::Timeout);
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
  EXPECT_GE(ms, 4990);
  EXPECT_LE(ms, 9000);
}

class LinkPtyLong : public LinkPty {
 protected:
  LinkPtyLong() { project = 20; }
};

TEST_F(LinkPtyLong, StopIsSeenWithinAboutASecondWithLongTimeouts) {
  CommTimeouts configured;
  ASSERT_TRUE(port().GetTimeouts(configured));
  ASSERT_EQ(configured.ReadTotalTimeoutConstant, 2000u);
  std::chrono::steady_clock::time_point stoppedAt;
  std::thread stopper([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    stoppedAt = std::chrono::steady_clock::now();
    core.RequestStop();
  });
  EXPECT_EQ(link.ReceiveFrameTimed(60'000).outcome, RxOutcome::Stopped);
  const auto now = std::chrono::steady_clock::now();
  stopper.join();
  EXPECT_LE(std::chrono::duration_cast<std::chrono::milliseconds>(now - stoppedAt).count(), 2000);
  CommTimeouts after;
  ASSERT_TRUE(port().GetTimeouts(after));
  EXPECT_EQ(after.ReadTotalTimeoutConstant, 2000u);
  EXPECT_EQ(after.ReadIntervalTimeout, 1000u);
}

}  // namespace
}  // namespace zovir
