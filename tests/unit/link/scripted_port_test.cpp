#include "support/scripted_port.h"

#include <gtest/gtest.h>

namespace zovir::test {
namespace {

using Bytes = std::vector<uint8_t>;

TEST(ScriptedPort, ReadsTakeTheTimeTheirTimeoutsGive) {
  struct Case {
    const char* name;
    CommTimeouts timeouts;
    Bytes queued;
    uint32_t count;
    uint32_t got;
    uint64_t elapsed;
  };
  const Case cases[] = {
      {"immediate, empty", {MAXDWORD, 0, 0, 0, 0}, {}, 4, 0, 0},
      {"immediate, partial", {MAXDWORD, 0, 0, 0, 0}, {1, 2}, 4, 2, 0},
      {"first byte, empty", {MAXDWORD, MAXDWORD, 1000, 0, 0}, {}, 4, 0, 1000},
      {"first byte, queued", {MAXDWORD, MAXDWORD, 1000, 0, 0}, {1}, 4, 1, 0},
      {"total, empty", {0, 10, 100, 0, 0}, {}, 4, 0, 140},
      {"total, partial", {0, 10, 100, 0, 0}, {1, 2}, 4, 2, 140},
      {"total, complete", {0, 10, 100, 0, 0}, {1, 2, 3, 4}, 4, 4, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeClock clock;
    ScriptedPort port(clock);
    port.SetTimeouts(c.timeouts);
    port.QueueBytes(c.queued);
    uint8_t buf[8];
    uint32_t got = 99;
    ASSERT_TRUE(port.Read(buf, c.count, got));
    EXPECT_EQ(got, c.got);
    EXPECT_EQ(clock.NowMs() - 1'000'000, c.elapsed);
    EXPECT_EQ(clock.SleptMs(), 0u) << "a read is not a sleep";
  }
}

TEST(ScriptedPort, LateBytesEndAWaitingRead) {
  FakeClock clock;
  ScriptedPort port(clock);
  port.SetTimeouts({MAXDWORD, MAXDWORD, 1000, 0, 0});
  port.QueueBytesAfter(250, {7, 8});
  uint8_t buf[4];
  uint32_t got = 0;
  ASSERT_TRUE(port.Read(buf, 4, got));
  EXPECT_EQ(got, 2u);
  EXPECT_EQ(clock.NowMs() - 1'000'000, 250u);

  // Interval limit: after the first bytes, a gap longer than the interval ends the read.
  port.SetTimeouts({50, 0, 0, 0, 0});
  port.QueueBytes({1});
  port.QueueBytesAfter(40, {2});
  port.QueueBytesAfter(200, {3});
  ASSERT_TRUE(port.Read(buf, 4, got));
  EXPECT_EQ(got, 2u);
  EXPECT_EQ(clock.NowMs() - 1'000'000, 250u + 90u);
}

TEST(ScriptedPort, RepliesFollowWritesAndPurgeClearsTheInput) {
  FakeClock clock;
  ScriptedPort port(clock);
  port.SetTimeouts({MAXDWORD, 0, 0, 0, 0});
  port.QueueReply({0xA1});
  port.QueueReply({0xB2});
  port.SetResponder([](const Bytes& w) { return Bytes{static_cast<uint8_t>(w.size())}; });
  EXPECT_EQ(port.Readable(), 0u);
  uint32_t n = 0;
  const uint8_t out[3] = {1, 2, 3};
  ASSERT_TRUE(port.Write(out, 3, n));
  EXPECT_EQ(port.Readable(), 2u);  // the queued reply and the responder's
  port.Purge(PURGE_RXCLEAR);
  EXPECT_EQ(port.Readable(), 0u);
  ASSERT_TRUE(port.Write(out, 2, n));
  uint8_t in[4];
  ASSERT_TRUE(port.Read(in, 4, n));
  ASSERT_EQ(n, 2u);
  EXPECT_EQ(in[0], 0xB2);
  EXPECT_EQ(in[1], 2);
  EXPECT_EQ(port.Writes().size(), 2u);
  EXPECT_EQ(port.AllWritten(), (Bytes{1, 2, 3, 1, 2}));
}

TEST(ScriptedPortFactory, HandlesAreExclusiveAndThePortOutlivesThem) {
  FakeClock clock;
  ScriptedPortFactory f(clock);
  int error = 0;
  EXPECT_EQ(f.Open("COM3", error), nullptr);
  EXPECT_EQ(error, 2);

  ScriptedPort& port = f.Port("COM3");
  auto h = f.Open("COM3", error);
  ASSERT_TRUE(h);
  EXPECT_EQ(f.Open("COM3", error), nullptr);
  EXPECT_EQ(error, 5);

  uint32_t n = 0;
  const uint8_t b = 0x55;
  ASSERT_TRUE(h->Write(&b, 1, n));
  port.FailCloses(1, 21);
  EXPECT_FALSE(h->Close());
  EXPECT_EQ(h->LastError(), 21);
  EXPECT_TRUE(h->Close());
  EXPECT_TRUE(port.Closed());
  EXPECT_FALSE(h->Write(&b, 1, n)) << "a closed handle is inert";
  EXPECT_EQ(h->LastError(), 6);
  h.reset();
  EXPECT_EQ(port.Writes().size(), 1u);

  // Dropping a handle without Close releases the port too.
  auto h2 = f.Open("COM3", error);
  ASSERT_TRUE(h2);
  h2.reset();
  EXPECT_TRUE(port.Closed());

  f.FailOpens("COM3", 2, 121);
  EXPECT_EQ(f.Open("COM3", error), nullptr);
  EXPECT_EQ(error, 121);
  EXPECT_EQ(f.Open("COM3", error), nullptr);
  auto h3 = f.Open("COM3", error);
  ASSERT_TRUE(h3);
  EXPECT_EQ(f.Opens("COM3"), 7) << "failed attempts count too";

  port.Unplug();
  EXPECT_FALSE(h3->Read(nullptr, 0, n));
  EXPECT_EQ(h3->LastError(), 22);
  f.Remove("COM3");
  EXPECT_EQ(f.Open("COM3", error), nullptr);
  EXPECT_EQ(port.Name(), "COM3") << "still there for inspection";
}

}  // namespace
}  // namespace zovir::test
