#include <gtest/gtest.h>

#include "link_fixture.h"

namespace zovir::test {
namespace {

using Bytes = std::vector<uint8_t>;

class LinkPorts : public LinkFixture {};

TEST_F(LinkPorts, PortNames) {
  EXPECT_EQ(Link::PortName(9), "COM9");
  EXPECT_EQ(Link::PortName(10), "COM10");
  EXPECT_EQ(Link::PortName(200), "COM200");
}

TEST_F(LinkPorts, OpenDiagPortAppliesTheDiagnosticSettings) {
  link.OpenDiagPort();
  ASSERT_TRUE(core.hDiagPort);
  ASSERT_GE(reports.size(), 2u);
  EXPECT_EQ(reports[0].text, "COM7 Diagnostic Ready......");
  EXPECT_EQ(reports[0].status, csInfo);
  EXPECT_EQ(reports[1].text, "Opened......");
  EXPECT_EQ(reports[1].status, csOpened);
  EXPECT_EQ(reports[1].kind, mtProgress);

  const LineSettings& s = diag().Settings();
  EXPECT_EQ(s.BaudRate, 115200u);
  EXPECT_EQ(s.ByteSize, 8);
  EXPECT_EQ(s.parity, Parity::None);
  EXPECT_EQ(s.stopBits, StopBits::One);
  EXPECT_TRUE(s.fBinary);
  EXPECT_EQ(s.fDtrControl, LineControl::Disable);
  EXPECT_EQ(s.fRtsControl, LineControl::Disable);
  EXPECT_FALSE(s.fOutX || s.fInX || s.fOutxCtsFlow || s.fOutxDsrFlow || s.fParity || s.fAbortOnError);
  EXPECT_EQ(diag().InQueue(), 4096u);
  EXPECT_EQ(diag().OutQueue(), 4096u);
  EXPECT_EQ(diag().Purges(), 2);
  EXPECT_TRUE(errors.empty());
}

TEST_F(LinkPorts, TimeoutsAndQueuesByConfiguration) {
  struct Case {
    int project;
    int fast;
    int block;
    CommTimeouts timeouts;
    uint32_t queue;
  };
  const CommTimeouts shortOnes{MAXDWORD, MAXDWORD, 1000, 1, 1000};
  const CommTimeouts longOnes{1000, 1000, 2000, 1000, 3000};
  const Case cases[] = {
      {3, 0, 1024, shortOnes, 4096}, {6, 0, 1024, longOnes, 4096},  {19, 0, 1024, longOnes, 4096},
      {20, 0, 1024, longOnes, 4096}, {42, 0, 1024, longOnes, 4096}, {-1, 0, 1024, shortOnes, 4096},
      {3, 1, 4096, shortOnes, 4096}, {3, 1, 1024, shortOnes, 1024},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "project " << c.project << " fast " << c.fast << " block " << c.block);
    core.cfg.ProjectType = c.project;
    core.cfg.bFastSpeedDownload = c.fast;
    core.cfg.m_nBlockSize = c.block;
    link.OpenDiagPort();
    const CommTimeouts& t = diag().Timeouts();
    EXPECT_EQ(t.ReadIntervalTimeout, c.timeouts.ReadIntervalTimeout);
    EXPECT_EQ(t.ReadTotalTimeoutMultiplier, c.timeouts.ReadTotalTimeoutMultiplier);
    EXPECT_EQ(t.ReadTotalTimeoutConstant, c.timeouts.ReadTotalTimeoutConstant);
    EXPECT_EQ(t.WriteTotalTimeoutMultiplier, c.timeouts.WriteTotalTimeoutMultiplier);
    EXPECT_EQ(t.WriteTotalTimeoutConstant, c.timeouts.WriteTotalTimeoutConstant);
    EXPECT_EQ(diag().InQueue(), c.queue);
  }
  EXPECT_EQ(ports.Opens("COM7"), 8) << "each open closed the previous handle first";
}

TEST_F(LinkPorts, ConfigurationFailures) {
  // Queue sizes: only a warning, and the rest still happens.
  for (int fast : {1, 0}) {
    reports.clear();
    core.cfg.bFastSpeedDownload = fast;
    diag().FailSetQueueSizes();
    link.OpenDiagPort();
    EXPECT_EQ(CountReports(fast ? "warning:SetupComm." : "warning:SetupComm!"), 1);
    EXPECT_EQ(diag().Timeouts().ReadTotalTimeoutConstant, 1000u);
  }
  EXPECT_TRUE(errors.empty());

  // Time-outs: an engine error with the system's code; the purges still follow.
  diag().FailSetTimeouts(87);
  const int purges = diag().Purges();
  link.OpenDiagPort();
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0], "ERROR, Could not set COMM timeouts, Error code: 87");
  EXPECT_EQ(core.ErrorCode, 87);
  EXPECT_EQ(diag().Purges(), purges + 2);
}

TEST_F(LinkPorts, LineSettingFailureIsReportedAndConfigurationGoesOn) {
  diag().FailSetLineSettings(31);
  link.OpenDiagPort();
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0], "ERROR, Could not setup COMM port, Error code: 31");
  EXPECT_EQ(diag().Timeouts().ReadTotalTimeoutConstant, 1000u);
}

TEST_F(LinkPorts, OpenFailuresAreEngineErrors) {
  ports.Remove("COM7");
  link.OpenDiagPort();
  EXPECT_FALSE(core.hDiagPort);
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0], "ERROR, COM7Could not open Diagnostic port, Error code: 2");
  EXPECT_EQ(core.ErrorCode, 2);

  EXPECT_FALSE(link.ReopenDiagPort()) << "reopening fails silently";
  EXPECT_EQ(errors.size(), 1u);

  link.ConfigureDiagPort();  // no handle: reported, but the first error stays the outcome
  EXPECT_EQ(errors.size(), 1u);
}

TEST_F(LinkPorts, ConfigureWithoutHandle) {
  link.ConfigureDiagPort();
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0], "ERROR, Could not open COMM port, Error code: 6");
}

TEST_F(LinkPorts, ReopenDiagPortAfterReset) {
  link.OpenDiagPort();
  link.CloseDiagPort("close warning");
  reports.clear();
  EXPECT_TRUE(link.ReopenDiagPort());
  EXPECT_EQ(CountReports("Initial port successful after reset."), 1);
  EXPECT_EQ(ports.Opens("COM7"), 2);
  EXPECT_FALSE(diag().Closed());
}

TEST_F(LinkPorts, ModemPort) {
  EXPECT_TRUE(link.OpenModemPort());
  ASSERT_TRUE(core.hModemPort);
  EXPECT_EQ(CountReports("Ready 1......"), 1);
  const CommTimeouts& t = modem().Timeouts();
  EXPECT_EQ(t.ReadIntervalTimeout, MAXDWORD);
  EXPECT_EQ(t.ReadTotalTimeoutMultiplier, 0u);
  EXPECT_EQ(t.ReadTotalTimeoutConstant, 0u);
  EXPECT_EQ(t.WriteTotalTimeoutMultiplier, 100u);
  EXPECT_EQ(t.WriteTotalTimeoutConstant, 1000u);
  const LineSettings& s = modem().Settings();
  EXPECT_EQ(s.BaudRate, 115200u);
  EXPECT_EQ(s.ByteSize, 8);
  EXPECT_EQ(s.fDtrControl, LineControl::Enable);
  EXPECT_EQ(s.fRtsControl, LineControl::Enable) << "left as the driver had it";
  EXPECT_EQ(modem().Purges(), 1);

  // Reopen: silent, and a failed configuration leaves the port closed for the next attempt.
  reports.clear();
  modem().FailSetLineSettings(31);
  EXPECT_FALSE(link.ReopenModemPort());
  EXPECT_FALSE(core.hModemPort);
  EXPECT_TRUE(modem().Closed());
  EXPECT_TRUE(reports.empty());
  EXPECT_TRUE(errors.empty());

  EXPECT_FALSE(link.OpenModemPort());
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0], "ERROR, Fail to config serial port, Error code: 31");
}

TEST_F(LinkPorts, ModemPortOpenFailure) {
  ports.FailOpens("COM8", 1, 5);
  EXPECT_FALSE(link.OpenModemPort());
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0], "ERROR, Fail to connect serial port, Error code: 5");
  EXPECT_TRUE(link.ReopenModemPort());
}

TEST_F(LinkPorts, ClosingRetries) {
  struct Case {
    int failures;
    int warnings;
    uint64_t slept;
  };
  for (const Case& c : {Case{0, 0, 0}, Case{3, 3, 300}, Case{20, 10, 900}}) {
    SCOPED_TRACE(c.failures);
    link.OpenDiagPort();
    reports.clear();
    const uint64_t slept = clock.SleptMs();
    diag().FailCloses(c.failures, 5);
    link.CloseDiagPort("Close diag port failed");
    EXPECT_EQ(CountReports("Close diag port failed"), c.warnings);
    EXPECT_EQ(clock.SleptMs() - slept, c.slept);
    EXPECT_FALSE(core.hDiagPort) << "counts as closed afterwards";
    diag().FailCloses(0);
  }
  link.CloseDiagPort("again");  // no handle: nothing happens
  EXPECT_EQ(CountReports("again"), 0);
}

TEST_F(LinkPorts, WritePortRetries) {
  struct Case {
    int fast;
    int attempts;
    uint64_t slept;
  };
  const Bytes data = {1, 2, 3};
  for (const Case& c : {Case{1, 1, 200}, Case{0, 6, 1200}}) {
    SCOPED_TRACE(c.fast);
    core.cfg.bFastSpeedDownload = c.fast;
    link.OpenDiagPort();
    reports.clear();
    const uint64_t writes = diag().WriteCalls();
    const uint64_t slept = clock.SleptMs();
    diag().FailWrites(100, 1167);
    EXPECT_EQ(link.WritePort(data.data(), 3), 0u);
    EXPECT_EQ(diag().WriteCalls() - writes, static_cast<uint64_t>(c.attempts));
    EXPECT_EQ(CountReports("Write to commport have a warning: 1167"), c.attempts);
    EXPECT_EQ(clock.SleptMs() - slept, c.slept);
    diag().FailWrites(0);
  }
  // A write that fails once and then goes through returns its count.
  diag().FailWrites(1, 31);
  EXPECT_EQ(link.WritePort(data.data(), 3), 3u);
}

TEST_F(LinkPorts, ReadPortFailureIsAWarning) {
  OpenDiag();
  diag().FailReads(1, 22);
  uint8_t buf[4];
  const uint64_t slept = clock.SleptMs();
  EXPECT_EQ(link.ReadPort(buf, 4), 0u);
  EXPECT_EQ(CountReports("read from commmport have a warning: 22"), 1);
  EXPECT_EQ(clock.SleptMs() - slept, 100u);
  EXPECT_TRUE(errors.empty());
}

TEST_F(LinkPorts, ReadPortKeepsTheLongTimeoutSemanticsButSeesStop) {
  core.cfg.ProjectType = 20;
  OpenDiag();
  uint8_t buf[4];
  struct Case {
    const char* name;
    Bytes now;
    uint64_t laterAt;
    uint32_t got;
    uint64_t elapsed;
  };
  // Four bytes with interval 1000, multiplier 1000 and constant 2000.
  const Case cases[] = {
      {"rest within the interval", {1, 2}, 800, 4, 800},
      {"gap longer than the interval", {1, 2}, 4500, 2, 1000},
      {"nothing: the whole total time", {}, 0, 0, 6000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    clock.Advance(10'000);  // past any earlier arrivals
    link.PurgeDiagPort();
    diag().QueueBytes(c.now);
    if (c.laterAt) diag().QueueBytesAfter(c.laterAt, {3, 4});
    const uint64_t t0 = clock.NowMs();
    EXPECT_EQ(link.ReadPort(buf, 4), c.got);
    EXPECT_EQ(clock.NowMs() - t0, c.elapsed);
  }
  diag().SetReadHook([&](uint64_t) { core.RequestStop(); });
  const uint64_t t1 = clock.NowMs();
  EXPECT_EQ(link.ReadPort(buf, 4), 0u);
  EXPECT_LE(clock.NowMs() - t1, 1000u);
  EXPECT_EQ(diag().Timeouts().ReadTotalTimeoutConstant, 2000u);
}

class LinkSend : public LinkFixture {
 protected:
  void SetUp() override { OpenDiag(); }
  void Build(const Bytes& payload) {
    link.Frame().Clear();
    link.Frame().AddEscaped(payload.data(), static_cast<uint32_t>(payload.size()));
    link.Frame().FinishFrame();
  }
};

TEST_F(LinkSend, WireBytesOfEachSend) {
  Build({0x7E, 0x7D, 0x41});
  const Bytes body = {0x7D, 0x5E, 0x7D, 0x5D, 0x41, 0x3E, 0x45};
  struct Case {
    const char* name;
    void (Link::*send)();
    Bytes wire;
  };
  const Case cases[] = {
      {"framed", &Link::SendFramed, Cat(Cat({0x7E}, body), {0x7E})},
      {"frame", &Link::SendFrame, Cat(body, {0x7E})},
      {"raw", &Link::SendRaw, body},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const int purges = diag().Purges();
    (link.*c.send)();
    EXPECT_TRUE(link.LastSendOk());
    EXPECT_EQ(diag().Writes().back(), c.wire);
    EXPECT_EQ(diag().Purges(), purges + 1);
  }
  EXPECT_TRUE(link.SendRawChecked());
  diag().FailWrites(6, 31);
  EXPECT_FALSE(link.SendRawChecked());
}

TEST_F(LinkSend, ErrorMaskIsReportedByFramedSendsOnly) {
  Build({0x01});
  diag().SetCommErrors(8);
  link.SendFramed();
  EXPECT_EQ(CountReports("There is a warning in OutQue: 8"), 1);
  diag().SetCommErrors(8);
  link.SendFrame();
  EXPECT_EQ(CountReports("There is a warning in OutQue: 8"), 2);
  diag().SetCommErrors(8);
  link.SendRaw();
  EXPECT_EQ(CountReports("There is a warning in OutQue: 8"), 2);
}

TEST_F(LinkSend, RawSendsClearTheResponse) {
  diag().QueueBytes(Flagged({0x12, 0x34, 0x56}));
  ASSERT_EQ(link.ReceiveFrameTimed().outcome, RxOutcome::Frame);
  Build({0x01});
  link.SendRaw();
  for (uint32_t i = 0; i < 5; ++i) EXPECT_EQ(link.Response()[i], 0) << i;
}

TEST_F(LinkSend, FramedSendRefusesWhatDoesNotFitTheTransmitBuffer) {
  for (uint32_t length : {4094u, 4095u}) {
    SCOPED_TRACE(length);
    for (uint32_t n = length - 4; n <= length - 2; ++n) {
      link.Frame().Clear();
      for (uint32_t i = 0; i < n; ++i) link.Frame().AddEscaped(static_cast<uint8_t>(i % 0x70));
      link.Frame().FinishFrame();
      if (link.Frame().length == length) break;
    }
    ASSERT_EQ(link.Frame().length, length);
    const uint64_t writes = diag().WriteCalls();
    link.SendFramed();
    if (length == 4094) {
      EXPECT_TRUE(link.LastSendOk());
      EXPECT_EQ(diag().Writes().back().size(), 4096u);
    } else {
      EXPECT_FALSE(link.LastSendOk());
      EXPECT_EQ(diag().WriteCalls(), writes) << "nothing written";
    }
  }
}

TEST_F(LinkSend, OverflowedRawFrameIsNotSentCutOff) {
  link.Frame().Clear();
  for (uint32_t i = 0; i <= FrameBuffer::kCapacity; ++i) link.Frame().AddRaw(0x55);
  ASSERT_TRUE(link.Frame().overflow);
  const uint64_t writes = diag().WriteCalls();
  EXPECT_FALSE(link.SendRawChecked());
  EXPECT_EQ(diag().WriteCalls(), writes);
  // Finished, it is the fixed NAK, which goes out as such.
  link.Frame().FinishRawFrame();
  EXPECT_TRUE(link.SendRawChecked());
  EXPECT_EQ(diag().Writes().back(), (Bytes{0x03, 0x00, 0x03, 0x33, 0x1B}));
}

}  // namespace
}  // namespace zovir::test
