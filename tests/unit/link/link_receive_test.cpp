#include <gtest/gtest.h>

#include <limits>
#include <thread>

#include "link_fixture.h"

namespace zovir::test {
namespace {

using Bytes = std::vector<uint8_t>;

class LinkReceive : public LinkFixture {
 protected:
  void SetUp() override { OpenDiag(); }
};

struct FrameCase {
  const char* name;
  Bytes input;
  RxOutcome outcome;
  uint16_t code;
  uint32_t length;
  Bytes responseStart;
};

Bytes Many(size_t n, uint8_t b) { return Bytes(n, b); }

TEST_F(LinkReceive, FrameReceiveTable) {
  Bytes ackCorrupt = Flagged({0x02});
  ackCorrupt[2] ^= 0x01;
  Bytes longPayload = Many(4094, 0x11);
  const FrameCase cases[] = {
      {"ack", Flagged({0x02}), RxOutcome::Ack, 0, 3, {0x02, 0x6A, 0xD3}},
      {"ack with corrupted check", ackCorrupt, RxOutcome::BadCheck, 1, 3, {}},
      {"nak reason 3", Flagged({0x03, 0x00, 0x03}), RxOutcome::Nak, 3, 5, {0x03, 0x00, 0x03}},
      {"nak reason big-endian", Flagged({0x03, 0x01, 0x02}), RxOutcome::Nak, 0x0102, 5, {}},
      {"repeated opening flags", Cat({0x7E, 0x7E, 0x7E}, Flagged({0x02})), RxOutcome::Ack, 0, 3, {}},
      {"noise before the opening flag", Cat({0x41, 0x42}, Flagged({0x02})), RxOutcome::Ack, 0, 3, {}},
      {"escaped payload is unescaped", Flagged({0x12, 0x7E, 0x7D, 0x34}), RxOutcome::Frame, 0x00FF, 6,
       {0x12, 0x7E, 0x7D, 0x34}},
      {"closing flag after two bytes", {0x7E, 0x02, 0x6A, 0x7E}, RxOutcome::TooShort, 4, 2, {}},
      {"closing flag at once", {0x7E, 0x7E}, RxOutcome::Timeout, 7, 0, {}},
      {"4096 bytes with check fit", Flagged(longPayload), RxOutcome::Frame, 0x00FF, 4096, {0x11, 0x11}},
      {"more than 4096 bytes", Cat({0x7E}, Many(4097, 0x11)), RxOutcome::TooLong, 5, 4096, {0x11}},
      {"no opening flag: the reply is hunted over", Encode({0x02}), RxOutcome::Timeout, 7, 0, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    link.DiscardReceived();
    diag().Purge(PURGE_ALL);
    diag().QueueBytes(c.input);
    const RxResult r = link.ReceiveFrameTimed();
    EXPECT_EQ(r.outcome, c.outcome);
    EXPECT_EQ(r.FrameCode(), c.code);
    EXPECT_EQ(r.length, c.length);
    for (size_t i = 0; i < c.responseStart.size(); ++i) EXPECT_EQ(link.Response()[i], c.responseStart[i]) << i;
  }
}

TEST_F(LinkReceive, ReplyReceiveNeedsNoOpeningFlagAndNeverClassifiesAckNak) {
  struct Case {
    const char* name;
    Bytes input;
    RxOutcome outcome;
    uint32_t code;
  };
  const Case cases[] = {
      {"reply without flag", Encode({0x26, 0x01, 0x02}), RxOutcome::Frame, 5},
      {"leading flags skipped", Flagged({0x26, 0x01, 0x02}), RxOutcome::Frame, 5},
      // A five-byte reply must not be mistaken for "too long" (5) nor for a NAK.
      {"reply starting with 03", Encode({0x03, 0x00, 0x03}), RxOutcome::Frame, 5},
      {"reply that looks like an ack", Encode({0x02}), RxOutcome::Frame, 3},
      {"corrupt", {0x26, 0x01, 0x02, 0x00, 0x00, 0x7E}, RxOutcome::BadCheck, 1},
      {"short", {0x26, 0x7E}, RxOutcome::TooShort, 4},
      {"nothing", {}, RxOutcome::Timeout, 0xFF},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    link.DiscardReceived();
    diag().Purge(PURGE_ALL);
    diag().QueueBytes(c.input);
    const RxResult r = link.ReceiveReply();
    EXPECT_EQ(r.outcome, c.outcome);
    EXPECT_EQ(r.ReplyCode(), c.code);
  }
}

TEST_F(LinkReceive, TimedReceivesGiveUpAtFiveSecondsNotEarlier) {
  for (int project : {3, 20}) {
    SCOPED_TRACE(project);
    core.cfg.ProjectType = project;
    link.ConfigureDiagPort();
    const CommTimeouts configured = diag().Timeouts();
    for (bool reply : {false, true}) {
      const uint64_t t0 = clock.NowMs();
      const RxResult r = reply ? link.ReceiveReply() : link.ReceiveFrameTimed();
      EXPECT_EQ(r.outcome, RxOutcome::Timeout);
      EXPECT_EQ(reply ? r.ReplyCode() : r.FrameCode(), reply ? 0xFFu : 7u);
      EXPECT_EQ(clock.NowMs() - t0, 5000u);
    }
    // The port keeps its own time-outs once the receive is over.
    EXPECT_EQ(diag().Timeouts().ReadTotalTimeoutConstant, configured.ReadTotalTimeoutConstant);
    EXPECT_EQ(diag().Timeouts().ReadIntervalTimeout, configured.ReadIntervalTimeout);
  }
}

TEST_F(LinkReceive, ReplyArrivingJustBeforeTheLimitIsTaken) {
  diag().QueueBytesAfter(4999, Flagged({0x02}));
  EXPECT_EQ(link.ReceiveFrameTimed().outcome, RxOutcome::Ack);
  EXPECT_EQ(clock.NowMs() - 1'000'000, 4999u);
}

TEST(LinkStop, StopEndsLongWaitsWithinASecond) {
  for (int project : {3, 6}) {
    for (bool reply : {false, true}) {
      SCOPED_TRACE(testing::Message() << "project " << project << (reply ? " reply" : " frame"));
      FakeClock c;
      ScriptedPortFactory f(c);
      ScriptedPort& port = f.Port("COM7");
      EngineCore engine(c, f, nullptr);
      engine.cfg.ComPort = 7;
      engine.cfg.ProjectType = project;
      Link l(engine);
      l.OpenDiagPort();
      ASSERT_TRUE(engine.hDiagPort);
      uint64_t stopAt = 0;
      // Stop pressed during a read well before the receive's time limit (a frame receive given
      // ten minutes, a reply receive its five seconds), so only the Stop ends it.
      const uint64_t stopRead = reply ? 2 : 30;
      port.SetReadHook([&](uint64_t index) {
        if (index == stopRead) {
          stopAt = c.NowMs();
          engine.RequestStop();
        }
      });
      const RxResult r = reply ? l.ReceiveReply() : l.ReceiveFrameTimed(600'000);
      EXPECT_EQ(r.outcome, RxOutcome::Stopped);
      EXPECT_EQ(r.FrameCode(), 0xFFFE);
      EXPECT_EQ(r.ReplyCode(), 0xFFFEu);
      EXPECT_GE(port.ReadCalls(), stopRead + 1);
      EXPECT_LE(c.NowMs() - stopAt, 1000u) << "a Stop must be seen within a second";
      // The long time-outs are back on the port.
      EXPECT_EQ(port.Timeouts().ReadTotalTimeoutConstant, project == 6 ? 2000u : 1000u);
    }
  }
}

TEST_F(LinkReceive, ErrorSetBeforehandEndsTheReceiveWithoutWaiting) {
  diag().QueueBytes(Flagged({0x02}));
  core.Fail(31);
  const uint64_t t0 = clock.NowMs();
  EXPECT_EQ(link.ReceiveFrameTimed().outcome, RxOutcome::Stopped);
  EXPECT_EQ(link.ReceiveReply().outcome, RxOutcome::Stopped);
  EXPECT_EQ(clock.NowMs(), t0);
}

TEST_F(LinkReceive, ResponseStartIsClearedBeforeEveryReceive) {
  link.MutableResponse()[0] = 0x02;
  EXPECT_EQ(link.ReceiveFrameTimed().outcome, RxOutcome::Timeout);
  EXPECT_EQ(link.Response()[0], 0);
}

TEST_F(LinkReceive, FramesSplitAcrossReadsAndEscapesAcrossTheSplit) {
  const Bytes frame = Flagged({0x12, 0x7D, 0x34});  // 7E 12 7D 5D 34 ...
  diag().QueueBytes(Bytes(frame.begin(), frame.begin() + 3));  // ends right after the escape
  diag().QueueBytesAfter(250, Bytes(frame.begin() + 3, frame.end()));
  const RxResult r = link.ReceiveFrameTimed();
  ASSERT_EQ(r.outcome, RxOutcome::Frame);
  EXPECT_EQ(link.Response()[1], 0x7D);
  EXPECT_EQ(link.PortReads(), 2u);
}

TEST_F(LinkReceive, OneReadServesWholeFramesAndPurgeDiscardsWhatWasReadAhead) {
  diag().QueueBytes(Cat(Flagged({0x02}), Flagged({0x03, 0x00, 0x05})));
  EXPECT_EQ(link.ReceiveFrameTimed().outcome, RxOutcome::Ack);
  EXPECT_EQ(link.PortReads(), 1u);
  EXPECT_EQ(diag().Readable(), 0u);
  // The second frame was read ahead; a purge drops it exactly as it would drop the queue.
  diag().QueueReply(Flagged({0x0C}));
  link.Frame().Clear();
  link.Frame().AddEscaped(0x0B);
  link.Frame().FinishFrame();
  link.SendFramed();
  const RxResult r = link.ReceiveFrameTimed();
  ASSERT_EQ(r.outcome, RxOutcome::Frame);
  EXPECT_EQ(link.Response()[0], 0x0C);

  // Without a purge the read-ahead frame is the next one received.
  diag().QueueBytes(Cat(Flagged({0x02}), Flagged({0x03, 0x00, 0x05})));
  EXPECT_EQ(link.ReceiveFrameTimed().outcome, RxOutcome::Ack);
  const RxResult nak = link.ReceiveFrameTimed();
  EXPECT_EQ(nak.outcome, RxOutcome::Nak);
  EXPECT_EQ(nak.nakReason, 5);
}

TEST_F(LinkReceive, ReplyReceiveTakesTheReplyWithinItsLimitAndLeavesTheFlagOut) {
  diag().QueueBytesAfter(4'000, Encode({0x4B, 0x13, 0x0F, 0x00}));
  const RxResult r = link.ReceiveReply();
  ASSERT_EQ(r.outcome, RxOutcome::Frame);
  EXPECT_EQ(r.length, 6u);
  EXPECT_EQ(link.Response()[0], 0x4B);
}

TEST_F(LinkReceive, RawReadsTakeReadAheadBytesFirst) {
  diag().QueueBytes(Cat(Flagged({0x02}), {0xAA, 0xBB, 0xCC, 0xDD}));
  EXPECT_EQ(link.ReceiveFrameTimed().outcome, RxOutcome::Ack);
  uint8_t buf[8] = {};
  EXPECT_EQ(link.ReadRaw(buf, 2), 2u);
  EXPECT_EQ(buf[0], 0xAA);
  EXPECT_EQ(link.ReadPort(buf, 8), 2u);
  EXPECT_EQ(buf[0], 0xCC);
  EXPECT_EQ(link.ReadPort(buf, 8), 0u) << "nothing queued: one read of a second";
}

TEST_F(LinkReceive, ErrorMaskAndReadFailuresAreWarnings) {
  diag().SetCommErrors(4);
  diag().FailReads(3, 31);
  diag().QueueBytes(Flagged({0x02}));
  const RxResult r = link.ReceiveFrameTimed();
  EXPECT_EQ(r.outcome, RxOutcome::Ack);
  EXPECT_EQ(CountReports("There is a warning in InQue: 4"), 1);
  EXPECT_EQ(CountReports("read from commmport have a warning: 31"), 1) << "one warning per receive";
  EXPECT_EQ(clock.SleptMs(), 300u);
  EXPECT_TRUE(errors.empty());
  EXPECT_EQ(core.ErrorCode, 0);
}

TEST_F(LinkReceive, VanishedPortEndsTimedReceiveAndStopEndsTheUnboundedOne) {
  diag().Unplug();
  EXPECT_EQ(link.ReceiveFrameTimed().outcome, RxOutcome::Timeout);
  std::thread stopper([&] {
    while (clock.NowMs() < 1'000'000 + 60'000) std::this_thread::yield();
    core.RequestStop();
  });
  // A limit the racing fake clock cannot reach before the Stop.
  EXPECT_EQ(link.ReceiveFrameTimed(std::numeric_limits<uint32_t>::max()).outcome, RxOutcome::Stopped);
  stopper.join();
  EXPECT_EQ(CountReports("read from commmport have a warning: 22"), 2) << "one per receive";
}

}  // namespace
}  // namespace zovir::test
