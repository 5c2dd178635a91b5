#include <gtest/gtest.h>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "platform/linux/serial_port_linux.h"
#include "support/pty_pair.h"

namespace zovir {
namespace {

using Bytes = std::vector<uint8_t>;
using test::PtyPair;

int64_t Ms(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - since).count();
}

class SerialPty : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(pty.ok());
    int error = 0;
    port = LinuxSerialPort::Open("COM7", pty.SlavePath(), error);
    ASSERT_TRUE(port) << "errno " << error;
  }
  PtyPair pty;
  std::unique_ptr<LinuxSerialPort> port;
};

// Margins are wide: the machine is shared and slow at times.
TEST_F(SerialPty, ReadTimeoutSemantics) {
  struct Case {
    const char* name;
    CommTimeouts timeouts;
    Bytes queued;
    uint32_t count;
    uint32_t got;
    int64_t minMs, maxMs;
  };
  const Case cases[] = {
      {"immediate, nothing queued", {MAXDWORD, 0, 0, 0, 0}, {}, 16, 0, 0, 400},
      {"immediate, some queued", {MAXDWORD, 0, 0, 0, 0}, {1, 2, 3}, 16, 3, 0, 400},
      {"first byte, nothing comes: the constant", {MAXDWORD, MAXDWORD, 1000, 0, 0}, {}, 16, 0, 950, 3000},
      {"first byte, queued: at once", {MAXDWORD, MAXDWORD, 1000, 0, 0}, {1, 2}, 16, 2, 0, 400},
      {"total, partial: the whole total", {0, 0, 300, 0, 0}, {1, 2, 3}, 16, 3, 280, 2000},
      {"total, complete: at once", {0, 0, 5000, 0, 0}, {1, 2, 3}, 3, 3, 0, 1000},
      {"interval ends a partial read", {50, 0, 5000, 0, 0}, {1, 2, 3}, 16, 3, 40, 2000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(port->SetTimeouts(c.timeouts));
    ASSERT_TRUE(port->Purge(PURGE_ALL));
    if (!c.queued.empty()) {
      ASSERT_TRUE(pty.Write(c.queued));
      // Wait for the bytes to be readable on the slave, not for a fixed time.
      uint32_t waiting = 0;
      const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
      while (waiting < c.queued.size() && std::chrono::steady_clock::now() < until) {
        ASSERT_TRUE(port->BytesWaiting(waiting));
        if (waiting < c.queued.size()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
      ASSERT_EQ(waiting, c.queued.size());
    }
    uint8_t buf[64];
    uint32_t got = 99;
    const auto t0 = std::chrono::steady_clock::now();
    ASSERT_TRUE(port->Read(buf, c.count, got));
    const int64_t elapsed = Ms(t0);
    EXPECT_EQ(got, c.got);
    EXPECT_GE(elapsed, c.minMs);
    EXPECT_LE(elapsed, c.maxMs);
  }
}

// A read that may wait asks the device once it has something: the reply to a request costs
// one read(2), not an empty one before the wait and another after it.
TEST_F(SerialPty, WaitingReadEndsWhenDataArrivesWithOneReadCall) {
  const struct {
    const char* name;
    CommTimeouts timeouts;
  } cases[] = {
      {"first byte", {MAXDWORD, MAXDWORD, 5000, 0, 0}},
      {"total with interval", {50, 0, 5000, 0, 0}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(port->SetTimeouts(c.timeouts));
    std::thread writer([&] {
      // The reader is parked in its wait once the slave has no reader-side data; a short
      // delay is part of the scenario.
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      pty.Write({0x41, 0x42});
    });
    uint8_t buf[16];
    uint32_t got = 0;
    const uint64_t reads = port->ReadSyscalls();
    const auto t0 = std::chrono::steady_clock::now();
    ASSERT_TRUE(port->Read(buf, 2, got));
    writer.join();
    EXPECT_EQ(got, 2u);
    EXPECT_EQ(buf[0], 0x41);
    EXPECT_EQ(buf[1], 0x42);
    EXPECT_LT(Ms(t0), 4000);
    // Both bytes come with one write on the other side and are handed over together.
    EXPECT_EQ(port->ReadSyscalls() - reads, 1u);
  }
}

// A write larger than the tty's queue goes out in pieces as the other side drains it.
TEST_F(SerialPty, LargeWriteGoesOutWholeWhileTheOtherSideDrains) {
  ASSERT_TRUE(port->SetTimeouts({MAXDWORD, MAXDWORD, 1000, 1, 5000}));
  Bytes data(1 << 20);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 31 + (i >> 12));
  Bytes seen;
  std::thread reader([&] { seen = pty.Read(data.size(), 20000); });
  uint32_t written = 0;
  ASSERT_TRUE(port->Write(data.data(), static_cast<uint32_t>(data.size()), written));
  reader.join();
  EXPECT_EQ(written, data.size());
  EXPECT_TRUE(seen == data) << "received " << seen.size() << " of " << data.size() << " bytes";
}

TEST_F(SerialPty, OpenIsExclusiveAndCloseIsIdempotent) {
  int error = 0;
  EXPECT_EQ(LinuxSerialPort::Open("COM7", pty.SlavePath(), error), nullptr);
  EXPECT_EQ(error, EBUSY);
  EXPECT_TRUE(port->Close());
  EXPECT_TRUE(port->Close());
  uint32_t got = 0;
  uint8_t b = 0;
  EXPECT_FALSE(port->Read(&b, 1, got));
  EXPECT_EQ(port->LastError(), EBADF);
  auto again = LinuxSerialPort::Open("COM7", pty.SlavePath(), error);
  EXPECT_TRUE(again) << "errno " << error;

  EXPECT_EQ(LinuxSerialPort::Open("COM7", "/nonexistent/tty", error), nullptr);
  EXPECT_EQ(error, ENOENT);
  const auto file = std::filesystem::temp_directory_path() / ("not_a_tty_" + std::to_string(::getpid()));
  std::ofstream(file) << "x";
  EXPECT_EQ(LinuxSerialPort::Open("COM7", file.string(), error), nullptr);
  EXPECT_EQ(error, ENOTTY);
  std::filesystem::remove(file);
}

TEST_F(SerialPty, WritesReachTheOtherSideAndLineSettingsApply) {
  port->SetTimeouts({MAXDWORD, MAXDWORD, 1000, 1, 1000});
  LineSettings line;
  ASSERT_TRUE(port->GetLineSettings(line));
  line.BaudRate = 115200;
  line.fDtrControl = LineControl::Disable;  // refused by a pty, which is fine
  ASSERT_TRUE(port->SetLineSettings(line));
  const int fd = ::open(pty.SlavePath().c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(fd, 0);
  termios tio{};
  ASSERT_EQ(::tcgetattr(fd, &tio), 0);
  ::close(fd);
  EXPECT_EQ(::cfgetospeed(&tio), B115200);
  EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(tio.c_lflag & (ICANON | ECHO), 0u);

  line.BaudRate = 123456;
  EXPECT_FALSE(port->SetLineSettings(line));
  EXPECT_EQ(port->LastError(), EINVAL);

  const Bytes data = {0x7E, 0x0D, 0x0A, 0x11, 0x13, 0x00, 0xFF};  // no byte may be translated
  uint32_t written = 0;
  ASSERT_TRUE(port->Write(data.data(), static_cast<uint32_t>(data.size()), written));
  EXPECT_EQ(written, data.size());
  EXPECT_EQ(pty.Read(data.size(), 3000), data);
}

TEST_F(SerialPty, HangUpMakesTheDeviceFail) {
  port->SetTimeouts({MAXDWORD, MAXDWORD, 1000, 0, 0});
  // A healthy pty has no line error counters; asking twice keeps saying "no errors", and
  // not asking for the counters again must not hide the hang-up below.
  for (int i = 0; i < 2; ++i) {
    uint32_t mask = 99;
    EXPECT_TRUE(port->ClearError(mask));
    EXPECT_EQ(mask, 0u);
  }
  pty.CloseMaster();
  uint8_t buf[4];
  uint32_t got = 0;
  EXPECT_FALSE(port->Read(buf, 4, got));
  EXPECT_NE(port->LastError(), 0);
  uint32_t mask = 0;
  EXPECT_FALSE(port->ClearError(mask));
}

TEST(SerialFactory, OpensNamesThroughTheDeviceMap) {
  PtyPair pty;
  ASSERT_TRUE(pty.ok());
  const auto map = std::filesystem::temp_directory_path() / ("zovir_devmap_" + std::to_string(::getpid()) + ".ini");
  std::ofstream(map) << "[COM57]\nPath=" << pty.SlavePath() << "\nFriendlyName=Test (COM57)\n";
  PortNamespace names(map.string());
  LinuxSerialPortFactory factory(names);
  int error = 0;
  auto port = factory.Open("COM57", error);
  ASSERT_TRUE(port) << "errno " << error;
  EXPECT_EQ(port->Name(), "COM57");
  EXPECT_EQ(factory.Open("\\\\.\\COM57", error), nullptr);
  EXPECT_EQ(error, EBUSY);
  EXPECT_EQ(factory.Open("NOPE", error), nullptr);
  EXPECT_EQ(error, ENOENT);
  std::filesystem::remove(map);
}

}  // namespace
}  // namespace zovir
