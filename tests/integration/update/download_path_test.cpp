// Whole updates of the virtual modem over ptys with the real serial code and the real clock.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "virtual_update.h"

namespace zovir::test {
namespace {

using namespace std::chrono_literals;

struct DownloadCase {
  const char* name;
  bool fast;
  int blockSize;
  int projectType;
  sim::BootProtocol boot;
};

class DownloadPath : public ::testing::TestWithParam<DownloadCase> {};

TEST_P(DownloadPath, WritesEveryImageAndTheModemComesBack) {
  const DownloadCase& c = GetParam();
  sim::VirtualModemOptions options;
  options.bootProtocol = c.boot;
  options.fastBlockSize = static_cast<uint32_t>(c.blockSize);
  VirtualUpdate update(options);
  update.cfg().bFastSpeedDownload = c.fast ? 1 : 0;
  update.cfg().m_nBlockSize = c.blockSize;
  update.cfg().ProjectType = c.projectType;

  ASSERT_TRUE(update.Run());
  EXPECT_EQ(update.engine()->ErrorCode(), 0) << update.LastStatus();
  EXPECT_TRUE(update.PartitionsMatchImages());
  EXPECT_TRUE(update.Saw("Reset Comm succssfully"));
  EXPECT_GE(update.MaxProgress(), 80);
  EXPECT_EQ(update.LastStatus(), "PASS");
  EXPECT_TRUE(update.modem().WaitForMode(sim::ModemMode::Normal, 10s));
}

INSTANTIATE_TEST_SUITE_P(
    Modes, DownloadPath,
    ::testing::Values(DownloadCase{"Normal", false, 1024, 3, sim::BootProtocol::Sahara},
                      DownloadCase{"FastSpeed4096", true, 4096, 3, sim::BootProtocol::Sahara},
                      DownloadCase{"Dmss", false, 1024, 44, sim::BootProtocol::Dmss}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace zovir::test

namespace zovir::test {
namespace {

// A project type with no pause before the programmer's hello and no final power-off.
constexpr int kQuickProject = 15;

// One fault injected into the modem's answers; the update copes (or fails as it must).
struct FaultCase {
  const char* name;
  const char* fault;   // the modem's fault plan, --fault syntax
  bool passes;
  const char* error;   // the error report when it fails
};

class DownloadFaults : public ::testing::TestWithParam<FaultCase> {};

TEST_P(DownloadFaults, RetriesWhatTheProtocolRetriesAndNeverPassesFalsely) {
  const FaultCase& c = GetParam();
  sim::VirtualModemOptions options;
  ASSERT_EQ(options.faults.AddSpec(c.fault), "");
  VirtualUpdate update(options);
  update.cfg().ProjectType = kQuickProject;

  ASSERT_TRUE(update.Run());
  std::vector<std::string> errors;
  for (const auto& r : update.Reports())
    if (r.kind == Report::Error) errors.push_back(r.text);
  if (c.passes) {
    EXPECT_TRUE(errors.empty()) << errors.front();
    EXPECT_EQ(update.LastStatus(), "PASS");
    EXPECT_TRUE(update.PartitionsMatchImages());
  } else {
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors.front(), c.error);
    EXPECT_FALSE(update.Saw("PASS"));
  }
  EXPECT_FALSE(update.modem().FiredFaults().empty()) << "the fault never fired";
}

INSTANTIATE_TEST_SUITE_P(
    Table, DownloadFaults,
    ::testing::Values(
        FaultCase{"CorruptWriteAck", "write@3=corrupt", true, ""},
        FaultCase{"MissingWriteAck", "write@5=silent", true, ""},
        FaultCase{"DroppedWriteAckByte", "write@7=drop", true, ""},
        // A programmer that refuses every hello: fifty attempts, then the run fails. (A silent
        // one takes fifty receive time-outs, about four minutes; the protocol tests cover it on
        // a fake clock.)
        FaultCase{"RefusingProgrammer", "hello@1+=nak", false,
                  "ERROR, [Dload] Fail to send hello command, Error code: 31"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(DownloadFaults, ADifferingPartitionTableGetsExactlyOneOverride) {
  sim::VirtualModemOptions options;
  ASSERT_EQ(options.faults.AddSpec("ptable@1=status:1"), "");
  VirtualUpdate update(options);
  update.cfg().ProjectType = kQuickProject;
  ASSERT_TRUE(update.Run());
  EXPECT_EQ(update.LastStatus(), "PASS");
  EXPECT_EQ(update.modem().CommandCount("ptable"), 2u);
  EXPECT_TRUE(update.PartitionsMatchImages());
}

TEST(DownloadStop, AStopDuringATransferEndsTheRunWithinAboutASecond) {
  sim::VirtualModemOptions options;
  VirtualUpdate update(options);
  update.cfg().ProjectType = kQuickProject;
  std::atomic<bool> done{false};
  std::chrono::steady_clock::time_point stoppedAt;
  std::thread stopper([&] {
    while (!done && update.modem().CommandCount("write") < 20) std::this_thread::sleep_for(1ms);
    stoppedAt = std::chrono::steady_clock::now();
    if (update.engine()) update.engine()->Stop();
  });
  const bool ended = update.Run();
  const auto endedAt = std::chrono::steady_clock::now();
  done = true;
  stopper.join();
  ASSERT_TRUE(ended);
  // About a second on a quiet machine; the margin is for a loaded one.
  EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(endedAt - stoppedAt).count(), 5000);
  EXPECT_TRUE(update.Saw("COMM Closed"));
  EXPECT_FALSE(update.Saw("PASS"));
  for (const auto& r : update.Reports()) EXPECT_NE(r.kind, Report::Error) << r.text;
  EXPECT_EQ(update.engine()->ErrorCode(), ERR_USER_STOP);
}

}  // namespace
}  // namespace zovir::test
