#include "protocols/streaming_download.h"

#include <gtest/gtest.h>

#include "link/crc16.h"
#include "protocol_fakes.h"
#include "protocols/image_plan.h"

namespace zovir::test {
namespace {

struct StreamWriteSeen {
  uint32_t address;
  size_t length;
};

std::vector<StreamWriteSeen> StreamWrites(const ScriptedPort& port) {
  std::vector<StreamWriteSeen> out;
  for (const Bytes& w : port.Writes()) {
    const Bytes p = DecodeFrame(w);
    if (!p.empty() && p[0] == 0x07) out.push_back({GetLe32(p, 1), p.size() - 5});
  }
  return out;
}

class StreamingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    rig.port.SetResponder([this](const Bytes& w) {
      writeTimes.push_back(rig.clock.NowMs());
      return programmer.OnWrite(w);
    });
    rig.OpenDiag();
  }

  ProtocolRig rig;
  FakeProgrammer programmer;
  StreamingDownload streaming{rig.core, rig.link};
  std::vector<uint64_t> writeTimes;
};

struct BlockCase {
  const char* label;
  BlockVariant variant;
  int blockSetting;
  size_t size;
  std::vector<uint32_t> lengths;
};

TEST_F(StreamingTest, ImagesAreCutIntoBlocksAtRunningAddresses) {
  const BlockCase cases[] = {
      {"remainder block", BlockVariant::Image, 1024, 2500, {1024, 1024, 452}},
      {"exact multiple, no empty block", BlockVariant::Image, 1024, 3072, {1024, 1024, 1024}},
      {"EFS blocks bounded to what a frame can carry", BlockVariant::Efs, 4096, 5000, {2040, 2040, 920}},
      {"EFS blocks of the configured size", BlockVariant::Efs, 512, 1100, {512, 512, 76}},
      {"application EFS keeps 1 KiB", BlockVariant::AppEfs, 4096, 1500, {1024, 476}},
  };
  for (const BlockCase& c : cases) {
    SCOPED_TRACE(c.label);
    ProtocolRig r;
    FakeProgrammer p;
    r.port.SetResponder([&p](const Bytes& w) { return p.OnWrite(w); });
    r.OpenDiag();
    r.core.cfg.m_nBlockSize = c.blockSetting;
    StreamingDownload s(r.core, r.link);
    const Bytes image = PatternBytes(c.size, 7);
    const std::string path = r.WriteFile("image.mbn", image);
    ASSERT_EQ(c.variant == BlockVariant::Efs ? s.OpenEfsImage() : s.OpenImageByName(sbl1_cmd), 0);
    ASSERT_EQ(s.WriteImageBlocks(c.variant, path, static_cast<uint32_t>(c.size), 10, 15), 0);

    const auto writes = StreamWrites(r.port);
    ASSERT_EQ(writes.size(), c.lengths.size());
    uint32_t address = 0;
    for (size_t i = 0; i < writes.size(); ++i) {
      EXPECT_EQ(writes[i].address, address);
      EXPECT_EQ(writes[i].length, c.lengths[i]);
      address += c.lengths[i];
    }
    EXPECT_EQ(p.partitions[c.variant == BlockVariant::Efs ? "EFS" : "0:SBL"], image);
    EXPECT_EQ(r.core.ErrorCode.load(), 0);
    EXPECT_FALSE(r.reports.Has("Re_transmit data"));
  }
}

TEST_F(StreamingTest, ApplicationImageMovesProgressBlockByBlockAndRetriesAFailedBlock) {
  const Bytes image = PatternBytes(65536, 3);
  const std::string path = rig.WriteFile("apps.mbn", image);
  // The third block's acknowledgement never comes for all 25 sends of its first attempt.
  programmer.tamper = [](uint8_t command, int occurrence, Bytes& reply) {
    if (command == 0x07 && occurrence >= 3 && occurrence < 3 + 25) reply.clear();
  };
  ASSERT_EQ(streaming.OpenAppsImage(), 0);
  ASSERT_EQ(streaming.WriteImageBlocks(BlockVariant::Apps, path, 65536, 65, 70), 0);

  EXPECT_EQ(programmer.partitions["0:APPS"], image);
  ASSERT_EQ(rig.reports.progress.size(), 65u);  // the start value and one step per block
  EXPECT_EQ(rig.reports.progress.front(), 65);
  EXPECT_EQ(rig.reports.progress.back(), 70);
  EXPECT_TRUE(std::is_sorted(rig.reports.progress.begin(), rig.reports.progress.end()));
  EXPECT_EQ(rig.reports.Count("Downloading D021......"), 1);
  EXPECT_EQ(rig.reports.Count("Re_transmit data"), 24);
  EXPECT_TRUE(rig.reports.Has("Downloading D020......"));
}

TEST_F(StreamingTest, DamagedOrMissingWriteAcknowledgementsAreRetried) {
  struct AckFault {
    const char* label;
    std::function<void(Bytes&)> damage;
  };
  const AckFault faults[] = {
      {"check byte corrupted", [](Bytes& r) { r[r.size() - 2] ^= 0x55; }},
      {"echoed address wrong", [](Bytes& r) { r[3] ^= 0x04; }},
      {"command byte wrong", [](Bytes& r) { r[1] = 0x0D; }},
      {"byte dropped", [](Bytes& r) { r.erase(r.begin() + 4); }},
      {"no acknowledgement", [](Bytes& r) { r.clear(); }},
  };
  for (const AckFault& f : faults) {
    SCOPED_TRACE(f.label);
    ProtocolRig r;
    FakeProgrammer p;
    p.tamper = [&f](uint8_t command, int occurrence, Bytes& reply) {
      if (command == 0x07 && occurrence == 2) f.damage(reply);
    };
    r.port.SetResponder([&p](const Bytes& w) { return p.OnWrite(w); });
    r.OpenDiag();
    StreamingDownload s(r.core, r.link);
    const Bytes image = PatternBytes(4000, 11);
    const std::string path = r.WriteFile("tz.mbn", image);
    ASSERT_EQ(s.OpenImageByName(tz_cmd), 0);
    ASSERT_EQ(s.WriteImageBlocks(BlockVariant::Image, path, 4000, 15, 20), 0);
    EXPECT_EQ(p.partitions["0:TZ"], image);
    EXPECT_EQ(r.reports.Count("Re_transmit data"), 1);
    EXPECT_EQ(StreamWrites(r.port).size(), 5u);  // four blocks, the second one twice
    EXPECT_EQ(r.core.ErrorCode.load(), 0);
  }
}

TEST_F(StreamingTest, AcknowledgementWithEscapedBytesIsAccepted) {
  ASSERT_EQ(streaming.OpenImageByName(qdsp_cmd), 0);
  const Bytes data = PatternBytes(16, 5);
  // Address byte 0x7E and 0x7D travel escaped in the acknowledgement.
  EXPECT_EQ(streaming.StreamWrite(0x007E7D00, data.data(), 16), 0);
  EXPECT_FALSE(rig.reports.Has("Re_transmit data"));
}

TEST_F(StreamingTest, PersistentlyFailingBlockFailsWithTheBlockText) {
  const Bytes image = PatternBytes(70 * 1024, 2);
  const std::string path = rig.WriteFile("qdsp6sw.mbn", image);
  programmer.tamper = [](uint8_t command, int occurrence, Bytes& reply) {
    if (command == 0x07 && occurrence >= 66) reply.clear();
  };
  ASSERT_EQ(streaming.OpenImageByName(qdsp_cmd), 0);
  EXPECT_GT(streaming.WriteImageBlocks(BlockVariant::Image, path, 70 * 1024, 20, 50), 0);
  EXPECT_EQ(rig.reports.Count("qdsp6sw.mbn, re-sending block 2 of 2"), 3);
  ASSERT_EQ(rig.reports.errors.size(), 1u);
  EXPECT_EQ(rig.reports.errors[0], "ERROR, qdsp6sw.mbn, fail to write block 2 of 2, Error code: 31");
  EXPECT_EQ(StreamWrites(rig.port).size(), 65u + 3 * 25);
}

TEST_F(StreamingTest, PartitionTableStatusDecidesBetweenAcceptedOverrideAndRefused) {
  struct Case {
    uint8_t status;
    int overrideStatus;          // the override's reply status, -1 when none is sent
    int result;
    std::vector<uint8_t> flags;  // override flag of each table command sent
    const char* logged;          // the line that names the refusal, "" when accepted
  };
  const Case cases[] = {
      {0, -1, 0, {0}, ""},
      {1, 0, 0, {0, 1}, ""},
      {1, 2, 2, {0, 1}, "Partition table override refused by the programmer: status 2 (format not recognised)"},
      {1, 9, 2, {0, 1}, "Partition table override refused by the programmer: status 9 (unknown status, taken as a refusal)"},
      {2, -1, 2, {0}, "Partition table refused by the programmer: status 2 (format not recognised)"},
      {3, -1, 2, {0}, "Partition table refused by the programmer: status 3 (erase failed)"},
      {4, -1, 2, {0}, "Partition table refused by the programmer: status 4 (unknown status, taken as a refusal)"},
      {0xFF, -1, 2, {0}, "Partition table refused by the programmer: status 255 (unknown status, taken as a refusal)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.status));
    SCOPED_TRACE(c.overrideStatus);
    ProtocolRig r;
    FakeProgrammer p;
    p.partitionStatus = c.status;
    p.tamper = [&c](uint8_t command, int occurrence, Bytes& reply) {
      if (command == 0x19 && occurrence == 2 && c.overrideStatus >= 0)
        reply = EncodeFrame({0x1A, static_cast<uint8_t>(c.overrideStatus)});
    };
    r.port.SetResponder([&p](const Bytes& w) { return p.OnWrite(w); });
    r.OpenDiag();
    const Bytes table = PatternBytes(600, 9);
    r.core.cfg.partitionFile = r.WriteFile("partition.mbn", table);
    StreamingDownload s(r.core, r.link);
    EXPECT_EQ(s.SendPartitionTable(), c.result);
    std::vector<uint8_t> flags;
    for (const Bytes& w : r.port.Writes()) {
      const Bytes payload = DecodeFrame(w);
      if (!payload.empty() && payload[0] == 0x19) flags.push_back(payload[1]);
    }
    EXPECT_EQ(flags, c.flags);
    EXPECT_EQ(p.partitionTable, table);
    EXPECT_EQ(s.partitionFileSize, 600u);
    int refusals = 0;
    for (const auto& st : r.reports.statuses) {
      if (st.text.find("refused") == std::string::npos) continue;
      ++refusals;
      EXPECT_EQ(st.text, c.logged);
      EXPECT_EQ(st.kind, mtInfo);
    }
    EXPECT_EQ(refusals, *c.logged ? 1 : 0);
    // The caller turns the refusal into the run's failure.
    EXPECT_TRUE(r.reports.errors.empty());
  }
}

TEST_F(StreamingTest, PartitionTableFileProblemsFailBeforeAnythingIsSent) {
  struct Case {
    const char* label;
    std::optional<size_t> size;  // no file at all when empty
    const char* text;
  };
  const Case cases[] = {{"empty", 0, "BIN file length error: "},
                        {"1024 bytes", 1024, "BIN file length error: "},
                        {"missing", std::nullopt, "Could not open BIN file: "}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    ProtocolRig r;
    r.OpenDiag();
    const std::string path = c.size ? r.WriteFile("partition.mbn", PatternBytes(*c.size, 1))
                                    : (r.dir / "partition.mbn").string();
    r.core.cfg.partitionFile = path;
    StreamingDownload s(r.core, r.link);
    EXPECT_EQ(s.SendPartitionTable(), -1);
    EXPECT_TRUE(r.port.Writes().empty());
    ASSERT_EQ(r.reports.errors.size(), 1u);
    EXPECT_EQ(r.reports.errors[0], std::string("ERROR, ") + c.text + path + ", Error code: 31");
  }
}

TEST_F(StreamingTest, HelloWaitsByProjectType) {
  struct Case {
    int projectType;
    uint64_t waitBeforeSend;
  };
  for (const Case& c : {Case{7, 600}, Case{3, 5100}, Case{48, 5100}, Case{0, 100}, Case{44, 100}}) {
    SCOPED_TRACE(c.projectType);
    ProtocolRig r;
    FakeProgrammer p;
    std::vector<uint64_t> times;
    r.port.SetResponder([&](const Bytes& w) {
      times.push_back(r.clock.NowMs());
      return p.OnWrite(w);
    });
    r.OpenDiag();
    r.core.cfg.ProjectType = c.projectType;
    StreamingDownload s(r.core, r.link);
    const uint64_t start = r.clock.NowMs();
    EXPECT_EQ(s.SendHello(), 0);
    ASSERT_EQ(times.size(), 1u);
    EXPECT_EQ(times[0] - start, c.waitBeforeSend);
  }
}

TEST_F(StreamingTest, SilentProgrammerGetsFiftyHellos) {
  programmer.silent = true;
  const uint64_t start = rig.clock.NowMs();
  EXPECT_EQ(streaming.SendHello(), 1);
  EXPECT_EQ(writeTimes.size(), 50u);
  // Each attempt: 100 ms before the send, the 5 s receive limit, 100 ms after.
  EXPECT_EQ(writeTimes[1] - writeTimes[0], 5200u);
  EXPECT_EQ(rig.clock.NowMs() - start, 50u * 5200u);
}

TEST(WriteFlashTiming, WaitDependsOnThePartLength) {
  struct Case {
    uint32_t length;
    WriteFlashTiming timing;
  };
  const Case cases[] = {
      {1, {0, 50, 200}},          {0xFFFFF, {0, 50, 200}},       {0x100000, {0, 300, 50}},
      {0x4FFFFF, {0, 300, 50}},   {0x500000, {5000, 300, 50}},   {0x9FFFFF, {5000, 300, 50}},
      {0xA00000, {8000, 300, 80}}, {0x13FFFFF, {8000, 300, 80}}, {0x1400000, {10000, 500, 80}},
      {0x1DFFFFF, {10000, 500, 80}}, {0x1E00000, {10000, 1000, 60}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.length);
    const WriteFlashTiming t = WriteFlashTimingFor(c.length);
    EXPECT_EQ(t.initialWaitMs, c.timing.initialWaitMs);
    EXPECT_EQ(t.pollIntervalMs, c.timing.pollIntervalMs);
    EXPECT_EQ(t.maxPolls, c.timing.maxPolls);
  }
}

TEST_F(StreamingTest, WriteFlashThatNeverAnswersTimesOutAfterItsPolls) {
  rig.core.cfg.bFastSpeedDownload = 1;
  rig.core.cfg.m_nBlockSize = 4096;
  programmer.fastBlockSize = 4096;
  programmer.tamper = [](uint8_t command, int, Bytes& reply) {
    if (command == 0x21) reply.clear();
  };
  const std::string path = rig.WriteFile("apps.mbn", PatternBytes(100 * 1024, 4));
  ASSERT_EQ(streaming.OpenAppsImage(), 0);
  EXPECT_FALSE(streaming.FastWriteImage(path, 100 * 1024, 0x1234));
  ASSERT_EQ(rig.reports.errors.size(), 1u);
  EXPECT_EQ(rig.reports.errors[0], "ERROR, apps.mbn Write flash timeout., Error code: 31");
  const int flashing = rig.reports.IndexOf("Write flash now ...");
  ASSERT_GE(flashing, 0);
  // 200 polls, each a 50 ms pause and a read that waits its 1000 ms.
  EXPECT_EQ(rig.clock.NowMs() - rig.reports.statuses[flashing].ms, 200u * (50 + 1000));
}

TEST_F(StreamingTest, FastTransferSplitsIntoPartsAndPadsTheLastBlock) {
  rig.core.cfg.bFastSpeedDownload = 1;
  rig.core.cfg.m_nBlockSize = 4096;
  programmer.fastBlockSize = 4096;
  const size_t size = StreamingDownload::kFastPartSize + 1;
  const Bytes image = PatternBytes(size, 21);
  const std::string path = rig.WriteFile("efs2apps.mbn", image);
  ASSERT_EQ(streaming.OpenAppEfsImage(), 0);
  ASSERT_TRUE(streaming.FastWriteImage(path, static_cast<uint32_t>(size), 0xBEEF));

  EXPECT_EQ(programmer.partitions["APPEFS"], image);
  ASSERT_EQ(programmer.handshakes.size(), 2u);  // first attempts need no transfer reset
  for (const Bytes& h : programmer.handshakes) {
    EXPECT_EQ(h[0], 0x20);
    EXPECT_EQ(h[9], 0xEF);
    EXPECT_EQ(h[10], 0xBE);
  }
  EXPECT_EQ(GetLe32(programmer.handshakes[0], 1), 0u);
  EXPECT_EQ(GetLe32(programmer.handshakes[0], 5), StreamingDownload::kFastPartSize);
  EXPECT_EQ(GetLe32(programmer.handshakes[1], 1), StreamingDownload::kFastPartSize);
  EXPECT_EQ(GetLe32(programmer.handshakes[1], 5), 1u);
  EXPECT_EQ(rig.reports.Count("Transmit data reset----"), 1);
  EXPECT_EQ(rig.reports.Count("Write Flash OK."), 2);
  EXPECT_EQ(programmer.blockSizes.size(), StreamingDownload::kFastPartSize / 4096 + 1);
  const Bytes& last = rig.port.Writes()[rig.port.Writes().size() - 2];  // before the write-flash command
  ASSERT_EQ(last.size(), 4096u);
  EXPECT_EQ(last[0], image.back());
  EXPECT_TRUE(std::all_of(last.begin() + 1, last.end(), [](uint8_t b) { return b == 0; }));
}

TEST_F(StreamingTest, FastRetryResetsTheTransferAndStillLandsEveryByte) {
  rig.core.cfg.bFastSpeedDownload = 1;
  rig.core.cfg.m_nBlockSize = 2048;
  programmer.fastBlockSize = 2048;
  programmer.tamper = [](uint8_t command, int occurrence, Bytes& reply) {
    if (command == FakeProgrammer::kRawBlock && occurrence == 3) reply[1] = 0x0D;
  };
  const Bytes image = PatternBytes(10000, 8);
  const std::string path = rig.WriteFile("efs.mbn", image);
  ASSERT_EQ(streaming.OpenEfsImage(), 0);
  ASSERT_TRUE(streaming.FastWriteImage(path, 10000, 0x0101));
  EXPECT_EQ(programmer.partitions["EFS"], image);
  ASSERT_EQ(programmer.handshakes.size(), 3u);
  EXPECT_EQ(programmer.handshakes[0][0], 0x20);
  EXPECT_EQ(programmer.handshakes[1][0], 0x24);
  EXPECT_EQ(programmer.handshakes[2][0], 0x20);
  EXPECT_EQ(rig.reports.Count("===Try transmit data again==="), 1);
  EXPECT_EQ(rig.reports.Count("Transmit data reset OK"), 1);
}

TEST_F(StreamingTest, FastTransferOfAnUnopenableImageFailsTheEngine) {
  rig.core.cfg.bFastSpeedDownload = 1;
  const std::string path = (rig.dir / "missing.mbn").string();
  EXPECT_FALSE(streaming.FastWriteImage(path, 1000, 0x1111));
  ASSERT_EQ(rig.reports.errors.size(), 1u);
  EXPECT_EQ(rig.reports.errors[0], "ERROR, Could not open BIN file: " + path + ", Error code: 31");
  EXPECT_NE(rig.core.ErrorCode.load(), 0);
  ASSERT_EQ(rig.host.boxes.size(), 1u);
  EXPECT_EQ(rig.host.boxes[0], std::make_pair(std::string("Could not open file"), std::string("Warning")));
}

TEST_F(StreamingTest, FastTransferWithoutAPreflightChecksumTakesItFromTheFile) {
  rig.core.cfg.bFastSpeedDownload = 1;
  rig.core.cfg.m_nBlockSize = 1024;
  const Bytes image = PatternBytes(3000, 12);
  const std::string path = rig.WriteFile("apps.mbn", image);
  ASSERT_EQ(streaming.OpenAppsImage(), 0);
  ASSERT_TRUE(streaming.FastWriteImage(path, 3000, 0));
  const uint16_t crc = Crc16X25(image.data(), image.size());
  ASSERT_EQ(programmer.handshakes.size(), 1u);
  EXPECT_EQ(programmer.handshakes[0][9], static_cast<uint8_t>(crc));
  EXPECT_EQ(programmer.handshakes[0][10], static_cast<uint8_t>(crc >> 8));
  EXPECT_EQ(programmer.partitions["0:APPS"], image);
}

TEST(StreamingLongTimeouts, AcknowledgementsAreTakenWithoutWaitingForMoreBytes) {
  // Project type 20 reads with interval time-outs: a read of more bytes than the reply has
  // would wait a second per block.
  for (bool fast : {false, true}) {
    SCOPED_TRACE(fast);
    ProtocolRig r;
    FakeProgrammer p;
    p.fastBlockSize = 1024;
    r.port.SetResponder([&p](const Bytes& w) { return p.OnWrite(w); });
    r.core.cfg.ProjectType = 20;
    r.core.cfg.bFastSpeedDownload = fast;
    r.OpenDiag();
    StreamingDownload s(r.core, r.link);
    const Bytes image = PatternBytes(20 * 1024, 6);
    const std::string path = r.WriteFile("apps.mbn", image);
    ASSERT_EQ(s.OpenAppsImage(), 0);
    const uint64_t start = r.clock.NowMs();
    if (fast) {
      ASSERT_TRUE(s.FastWriteImage(path, 20 * 1024, 0x4242));
    } else {
      ASSERT_EQ(s.WriteImageBlocks(BlockVariant::Image, path, 20 * 1024, 65, 70), 0);
    }
    EXPECT_LT(r.clock.NowMs() - start, 500u);
    EXPECT_EQ(p.partitions["0:APPS"], image);
  }
}

// A reply the programmer never sends must not hold the update: every wait ends, the
// command's own attempts are used, and the log says what went unanswered.
TEST_F(StreamingTest, LostRepliesEndTheWaitAndUseTheCommandsAttempts) {
  struct Case {
    const char* label;
    uint8_t command;
    int (*run)(StreamingDownload&);
    int result;       // with the reply lost once
    const char* what;  // named in the log line
  };
  const Case cases[] = {
      {"partition table", 0x19, [](StreamingDownload& s) { return s.SendPartitionTable(); }, 1, "partition table"},
      {"application image open", 0x1B, [](StreamingDownload& s) { return s.OpenAppsImage(); }, 1, "open"},
      {"close, answered on the second attempt", 0x15, [](StreamingDownload& s) { return s.CloseImage(); }, 0,
       "close"},
      {"reset", 0x0B, [](StreamingDownload& s) { return s.SendReset(); }, 1, "reset"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    ProtocolRig r;
    FakeProgrammer p;
    p.tamper = [&c](uint8_t command, int occurrence, Bytes& reply) {
      if (command == c.command && occurrence == 1) reply.clear();
    };
    r.port.SetResponder([&p](const Bytes& w) { return p.OnWrite(w); });
    // Today a receive without a limit would wait for ever: stop it after an hour instead.
    r.port.SetReadHook([&r](uint64_t) {
      if (r.clock.NowMs() > 3600u * 1000u) r.core.RequestStop();
    });
    r.OpenDiag();
    r.core.cfg.partitionFile = r.WriteFile("partition.mbn", PatternBytes(100, 3));
    StreamingDownload s(r.core, r.link);
    const uint64_t start = r.clock.NowMs();
    EXPECT_EQ(c.run(s), c.result);
    EXPECT_FALSE(r.core.StopRequested());
    const uint64_t waited = r.clock.NowMs() - start;
    EXPECT_GE(waited, StreamingDownload::kSlowReplyLimitMs);
    EXPECT_LT(waited, StreamingDownload::kSlowReplyLimitMs + 1000);
    EXPECT_TRUE(r.reports.Has("No reply to the " + std::string(c.what) + " command within " +
                              std::to_string(StreamingDownload::kSlowReplyLimitMs / 1000) + " s"));
  }
}

TEST_F(StreamingTest, StopDuringATransferEndsItWithoutAnErrorReport) {
  const std::string path = rig.WriteFile("sbl1.mbn", PatternBytes(50 * 1024, 1));
  programmer.tamper = [this](uint8_t command, int occurrence, Bytes&) {
    if (command == 0x07 && occurrence == 10) rig.core.RequestStop();
  };
  ASSERT_EQ(streaming.OpenImageByName(sbl1_cmd), 0);
  EXPECT_EQ(streaming.WriteImageBlocks(BlockVariant::Image, path, 50 * 1024, 10, 15), -1);
  EXPECT_EQ(StreamWrites(rig.port).size(), 10u);
  EXPECT_TRUE(rig.reports.errors.empty());
  EXPECT_EQ(rig.core.ErrorCode.load(), ERR_USER_STOP);
}

}  // namespace
}  // namespace zovir::test
