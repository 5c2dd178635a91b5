#include "protocols/programmer_upload.h"

#include <gtest/gtest.h>

#include "protocol_fakes.h"

namespace zovir::test {
namespace {

// Frames written to the port, decoded, whose first byte is `command`.
int CountFrames(const ScriptedPort& port, uint8_t command) {
  int n = 0;
  for (const Bytes& w : port.Writes()) {
    const Bytes p = DecodeFrame(w);
    n += !p.empty() && p[0] == command ? 1 : 0;
  }
  return n;
}

Bytes Slice(const Bytes& b, uint32_t offset, uint32_t length) {
  return Bytes(b.begin() + offset, b.begin() + offset + length);
}

class UploadTest : public ::testing::Test {
 protected:
  void Start(std::vector<FakeBootLoader::Request> plan, size_t size = 300000) {
    image = PatternBytes(size, 42);
    rig.core.cfg.ramFile = rig.WriteFile("NPRG9x06.mbn", image);
    loader = std::make_unique<FakeBootLoader>(image, std::move(plan));
    rig.port.SetResponder([this](const Bytes& w) { return loader->OnWrite(w); });
    rig.OpenDiag();
  }

  ProtocolRig rig;
  Bytes image;
  std::unique_ptr<FakeBootLoader> loader;
  ProgrammerUploader uploader{rig.core, rig.link};
};

TEST_F(UploadTest, SwitchIsRepeatedUntilTheThreeMinuteBound) {
  struct Case {
    int fast;
    uint64_t interval;  // the 1 s read plus the pause
    size_t sends;
  };
  for (const Case& c : {Case{0, 3000, 60}, Case{1, 2000, 90}}) {
    SCOPED_TRACE(c.fast);
    ProtocolRig r;
    std::vector<uint64_t> sends;
    r.port.SetResponder([&](const Bytes&) {
      sends.push_back(r.clock.NowMs());
      return Bytes{};
    });
    r.OpenDiag();
    r.core.cfg.bFastSpeedDownload = c.fast;
    ProgrammerUploader u(r.core, r.link);
    const uint64_t start = r.clock.NowMs();
    EXPECT_EQ(u.ProgrammerPhase(), 1);
    ASSERT_EQ(sends.size(), c.sends);
    for (size_t i = 1; i < sends.size(); ++i) EXPECT_EQ(sends[i] - sends[i - 1], c.interval);
    EXPECT_EQ(r.clock.NowMs() - start, 180000u + 2000u);
    ASSERT_EQ(r.reports.errors.size(), 1u);
    EXPECT_EQ(r.reports.errors[0], "ERROR, [Bootloader] Switch to Download Mode failed, Error code: 31");
    EXPECT_TRUE(r.reports.progress.empty());
  }
}

TEST_F(UploadTest, SaharaServesSegmentsForwardBackwardAndBeyondTheOldBufferLimit) {
  const std::vector<FakeBootLoader::Request> plan = {
      {0, 52}, {52, 64}, {8192, 150000}, {1000, 100}, {4096, 4096}, {158192, 300000 - 158192}};
  Start(plan);
  loader->switchesBeforeEcho = 2;
  rig.host.change = true;
  EXPECT_EQ(uploader.ProgrammerPhase(), 0);

  ASSERT_EQ(loader->served.size(), plan.size());
  for (size_t i = 0; i < plan.size(); ++i) {
    EXPECT_EQ(loader->served[i], Slice(image, plan[i].offset, plan[i].length)) << "request " << i;
  }
  EXPECT_EQ(CountFrames(rig.port, 0x3A), 3);
  EXPECT_EQ(loader->helloResponses, 1);
  EXPECT_EQ(loader->dones, 1);
  EXPECT_EQ(rig.factory.Opens("COM7"), 2);  // the boot loader's port is opened afresh
  EXPECT_EQ(rig.reports.progress, (std::vector<int>{5, 10}));
  EXPECT_TRUE(rig.reports.Has("Switch to Download Mode successfully"));
  EXPECT_EQ(rig.reports.Count("Request Parameter successfully"), 2);
  EXPECT_TRUE(rig.reports.Has("NPRG9x06.mbn downloading, "));
  EXPECT_TRUE(rig.reports.errors.empty());
  EXPECT_FALSE(rig.host.change.load());
  EXPECT_EQ(rig.core.cfg.ramFileSize, 300000u);
}

TEST_F(UploadTest, WithoutTheSwitchTheUploadStartsAtTen) {
  Start({{0, 52}, {52, 300000 - 52}});
  rig.core.cfg.bEnprg9x15 = 1;
  EXPECT_EQ(uploader.ProgrammerPhase(), 0);
  EXPECT_EQ(CountFrames(rig.port, 0x3A), 0);
  EXPECT_EQ(rig.reports.progress, std::vector<int>{10});
}

TEST_F(UploadTest, RequestBeyondTheEndOfTheFileFails) {
  Start({{0, 52}, {299990, 20}});
  rig.core.cfg.bEnprg9x15 = 1;
  EXPECT_GT(uploader.ProgrammerPhase(), 0);
  ASSERT_EQ(rig.reports.errors.size(), 1u);
  EXPECT_EQ(rig.reports.errors[0], "ERROR, Could not read from BIN file: " + rig.core.cfg.ramFile + ", Error code: 31");
  EXPECT_EQ(loader->dones, 0);
}

TEST_F(UploadTest, FailedEndOfImageIsSentThreeTimesThenFails) {
  Start({{0, 52}, {52, 10000 - 52}}, 10000);
  loader->endStatus = 9;
  rig.core.cfg.bEnprg9x15 = 1;
  EXPECT_GT(uploader.ProgrammerPhase(), 0);
  EXPECT_EQ(rig.reports.Count("NPRG9x06.mbn, re-sending block 1 of 3"), 3);
  ASSERT_EQ(rig.reports.errors.size(), 1u);
  EXPECT_EQ(rig.reports.errors[0], "ERROR, NPRG9x06.mbn, fail to write block 1 of 3, Error code: 31");
  EXPECT_EQ(loader->served.size(), 4u);
  EXPECT_EQ(loader->dones, 0);
}

TEST_F(UploadTest, BootLoaderThatKeepsAskingIsServedWithinABound) {
  using Request = FakeBootLoader::Request;
  constexpr uint32_t kSize = 300000;  // 74 blocks of 4096
  auto plan = [](std::vector<Request> head, std::vector<Request> loop, size_t times, std::vector<Request> tail) {
    for (size_t i = 0; i < times; ++i) head.insert(head.end(), loop.begin(), loop.end());
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
  };
  struct Case {
    const char* label;
    std::vector<Request> plan;
    size_t served;        // requests served before the upload ended
    const char* error;    // "" when the upload succeeds
    int resends;          // "re-sending block" reports
    const char* logged;   // the line that tells why, "" for none
  };
  const Case cases[] = {
      {"the same block for ever", plan({{0, 52}}, {{52, 4096}}, 1000, {}), 1 + 3,
       "ERROR, NPRG9x06.mbn, fail to write block 1 of 74, Error code: 31", 3, ""},
      {"two blocks in turn for ever", plan({{0, 52}}, {{52, 100000}, {100052, 100000}}, 500, {}), 1 + 11,
       "ERROR, NPRG9x06.mbn, fail to write block 25 of 74, Error code: 31", 0,
       "The boot loader asked for 1200052 bytes of a programmer of 300000 bytes"},
      {"the same block twice more, then on", plan({{0, 52}}, {{52, 4096}}, 3, {{4148, kSize - 4148}}), 1 + 3 + 1,
       "", 2, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    ProtocolRig r;
    const Bytes programmer = PatternBytes(kSize, 42);
    r.core.cfg.ramFile = r.WriteFile("NPRG9x06.mbn", programmer);
    r.core.cfg.bEnprg9x15 = 1;
    FakeBootLoader bootLoader(programmer, c.plan);
    r.port.SetResponder([&bootLoader](const Bytes& w) { return bootLoader.OnWrite(w); });
    r.OpenDiag();
    ProgrammerUploader u(r.core, r.link);
    const int result = u.ProgrammerPhase();
    EXPECT_EQ(bootLoader.served.size(), c.served);
    EXPECT_EQ(r.reports.Count("NPRG9x06.mbn, re-sending block 1 of 74"), c.resends);
    if (*c.logged) {
      EXPECT_TRUE(r.reports.Has(c.logged));
    }
    if (*c.error) {
      EXPECT_GT(result, 0);
      EXPECT_EQ(r.reports.errors, std::vector<std::string>{c.error});
      EXPECT_EQ(bootLoader.dones, 0);
    } else {
      EXPECT_EQ(result, 0);
      EXPECT_TRUE(r.reports.errors.empty());
      EXPECT_EQ(bootLoader.dones, 1);
    }
  }
}

TEST_F(UploadTest, WrongDoneResponseFailsAfterTheTransfer) {
  Start({{0, 52}, {52, 300000 - 52}});
  loader->doneReplyCommand = 4;
  rig.core.cfg.bEnprg9x15 = 1;
  EXPECT_GT(uploader.ProgrammerPhase(), 0);
  EXPECT_EQ(loader->served.size(), 2u);
  ASSERT_EQ(rig.reports.errors.size(), 1u);
  EXPECT_EQ(rig.reports.errors[0], "ERROR, Request Parameter failed, Error code: 31");
}

TEST_F(UploadTest, HelloArrivingAfterTheResponseIsAnsweredAgain) {
  Start({{0, 52}, {52, 300000 - 52}});
  rig.core.cfg.bEnprg9x15 = 1;
  int responses = 0;
  rig.port.SetResponder([&](const Bytes& w) {
    if (w.size() == 48 && ++responses == 1) {
      // The boot loader's own hello, late: it has not taken the first response.
      Bytes hello = Le32(1);
      for (uint32_t v : {48u, 2u, 1u, 1024u, 0u, 0u, 0u, 0u, 0u, 0u, 0u}) {
        const Bytes word = Le32(v);
        hello.insert(hello.end(), word.begin(), word.end());
      }
      return hello;
    }
    return loader->OnWrite(w);
  });
  EXPECT_EQ(uploader.ProgrammerPhase(), 0);
  EXPECT_EQ(responses, 2);
  EXPECT_EQ(loader->dones, 1);
  EXPECT_EQ(loader->served.size(), 2u);
}

TEST_F(UploadTest, MissingProgrammerFails) {
  Start({{0, 52}});
  rig.core.cfg.ramFile = (rig.dir / "gone.mbn").string();
  rig.core.cfg.bEnprg9x15 = 1;
  EXPECT_GT(uploader.ProgrammerPhase(), 0);
  ASSERT_EQ(rig.reports.errors.size(), 1u);
  EXPECT_EQ(rig.reports.errors[0], "ERROR, Could not open BIN file: " + rig.core.cfg.ramFile + ", Error code: 31");
}

TEST_F(UploadTest, OlderBootLoaderGetsItsCommandsAndTheHeaderUnasked) {
  Start({{0, 52}, {52, 2000}, {2052, 300000 - 2052}});
  loader->ExpectHeaderUnasked();
  rig.core.cfg.ProjectType = 44;
  EXPECT_EQ(uploader.ProgrammerPhase(), 0);

  std::vector<uint8_t> order;
  for (const Bytes& f : loader->dmssFrames) order.push_back(f[0]);
  EXPECT_EQ(order, (std::vector<uint8_t>{0x00, 0x41, 0x06, 0x0C, 0x0C, 0x06, 0x06, 0x06, 0x07}));
  EXPECT_EQ(loader->dmssFrames[1], (Bytes{0x41, '0', '0', '0', '0', '0', '0'}));
  EXPECT_EQ(loader->helloResponses, 0);
  ASSERT_EQ(loader->served.size(), 3u);
  EXPECT_EQ(loader->served[0], Slice(image, 0, 52));
  EXPECT_EQ(loader->served[2], Slice(image, 2052, 300000 - 2052));
  EXPECT_EQ(rig.reports.Count("Nop command successfully"), 6);
  EXPECT_TRUE(rig.reports.Has("nop_cmd_6200_pre1 successfully"));
  EXPECT_TRUE(rig.reports.Has("nop_cmd_6200_pre2 successfully"));
  EXPECT_TRUE(rig.reports.errors.empty());
}

TEST_F(UploadTest, OlderBootLoaderThatAnswersWronglyFailsBeforeTheUpload) {
  struct Case {
    const char* label;
    bool answerNop;
    Bytes parameterReply;
    const char* error;
    int nopSends;
  };
  const Case cases[] = {
      {"no NOP acknowledgement", false, {}, "Nop command failed", 10},
      {"parameter reply of another command", true, {0x0D, 1, 1, 0x10, 0, 0, 0, 0, 0, 0, 0x7E}, "Request Parameter failed", 4},
      {"parameter reply without its flag", true, {0x08, 1, 1, 0x10, 0, 0, 0, 0, 0, 0, 0x00}, "Request Parameter failed", 4},
      {"write size other than 4096", true, {0x08, 1, 1, 0x08, 0, 0, 0, 0, 0, 0, 0x7E}, "Request Parameter failed", 4},
      {"no parameter reply at all", true, {}, "Request Parameter failed", 4},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    ProtocolRig r;
    const Bytes programmer = PatternBytes(1000, 1);
    r.core.cfg.ramFile = r.WriteFile("NPRG9x06.mbn", programmer);
    FakeBootLoader loader(programmer, {{0, 52}, {52, 948}});
    loader.ExpectHeaderUnasked();
    loader.answerNop = c.answerNop;
    loader.parameterReply = c.parameterReply;
    r.port.SetResponder([&loader](const Bytes& w) { return loader.OnWrite(w); });
    // A wait without a limit would hold the update for ever: stop it after an hour instead.
    r.port.SetReadHook([&r](uint64_t) {
      if (r.clock.NowMs() > 3600u * 1000u) r.core.RequestStop();
    });
    r.OpenDiag();
    r.core.cfg.ProjectType = 44;
    r.core.cfg.bEnprg9x15 = 1;
    ProgrammerUploader u(r.core, r.link);
    EXPECT_GT(u.ProgrammerPhase(), 0);
    ASSERT_EQ(r.reports.errors.size(), 1u);
    EXPECT_EQ(r.reports.errors[0], std::string("ERROR, ") + c.error + ", Error code: 31");
    EXPECT_EQ(CountFrames(r.port, 0x06), c.nopSends);
    EXPECT_TRUE(loader.served.empty());
  }
}

TEST_F(UploadTest, RenumberedBootLoaderPortIsFoundAndOpened) {
  Start({{0, 52}, {52, 300000 - 52}});
  ScriptedPort& com9 = rig.factory.Port("COM9");
  com9.SetResponder([this](const Bytes& w) { return loader->OnWrite(w); });
  rig.host.sameDiag = 0;
  rig.host.diagName = "COM9";
  EXPECT_EQ(uploader.ProgrammerPhase(), 0);
  EXPECT_EQ(rig.core.cfg.ComPort, 9);
  EXPECT_TRUE(rig.reports.Has("Port has changed"));
  EXPECT_TRUE(rig.reports.Has("FindComPort"));
  EXPECT_EQ(rig.factory.Opens("COM9"), 1);
  EXPECT_EQ(loader->dones, 1);
  EXPECT_TRUE(rig.reports.errors.empty());
}

TEST_F(UploadTest, BootLoaderPortThatNeverComesBackFailsTheSwitch) {
  Start({{0, 52}});
  rig.factory.FailOpens("COM7", 1000);
  EXPECT_GT(uploader.ProgrammerPhase(), 0);
  ASSERT_EQ(rig.reports.errors.size(), 1u);
  EXPECT_EQ(rig.reports.errors[0], "ERROR, [Bootloader] Switch to Download Mode failed, Error code: 31");
  EXPECT_EQ(loader->helloResponses, 0);
}

}  // namespace
}  // namespace zovir::test
