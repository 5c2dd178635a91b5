#include "protocols/image_plan.h"

#include <gtest/gtest.h>

#include <cstring>

#include "protocol_fakes.h"
#include "protocols/protocol_phases.h"

namespace zovir::test {
namespace {

struct PlanFile {
  const char* file;
  const char* partition;
  size_t size;
};

const PlanFile kFiles[] = {
    {"sbl1.mbn", "0:SBL", 3000},      {"tz.mbn", "0:TZ", 2048},      {"qdsp6sw.mbn", "0:QDSP", 9000},
    {"mba.mbn", "0:MBA", 1500},       {"rpm.mbn", "0:RPM", 700},     {"acdb.mbn", "0:ACDB", 1100},
    {"apps.mbn", "0:APPS", 12000},    {"efs.mbn", "EFS", 5000},      {"efs2apps.mbn", "APPEFS", 4500},
};

class PlanTest : public ::testing::Test {
 protected:
  void SetUp() override {
    rig.port.SetResponder([this](const Bytes& w) { return programmer.OnWrite(w); });
    rig.OpenDiag();
    EngineConfig& cfg = rig.core.cfg;
    std::string* paths[] = {&cfg.sbl1File, &cfg.tzFile, &cfg.qdsp6swFile, &cfg.mbaFile, &cfg.rpmmbnFile,
                            &cfg.acdbmbnFile, &cfg.AppsImageFile, &cfg.EFSFile, &cfg.AppEfsFile};
    uint32_t seed = 1;
    for (size_t i = 0; i < std::size(kFiles); ++i) {
      images[kFiles[i].partition] = PatternBytes(kFiles[i].size, seed++);
      *paths[i] = rig.WriteFile(kFiles[i].file, images[kFiles[i].partition]);
    }
    cfg.partitionFile = rig.WriteFile("partition.mbn", PatternBytes(300, 99));
  }

  std::vector<uint8_t> Commands() const { return programmer.commands; }

  ProtocolRig rig;
  FakeProgrammer programmer;
  ImagePlan plan{rig.core, rig.link};
  std::map<std::string, Bytes> images;
};

TEST_F(PlanTest, WholePlanWritesEveryImageAndEndsWithTheReset) {
  rig.core.cfg.m_nBlockSize = 4096;
  plan.DownloadImages();

  EXPECT_TRUE(rig.reports.errors.empty());
  for (const auto& [partition, bytes] : images) EXPECT_EQ(programmer.partitions[partition], bytes) << partition;
  EXPECT_EQ(rig.reports.statuses.back().text, "Reset Comm succssfully");
  EXPECT_EQ(rig.reports.progress.back(), 80);
  for (int milestone : {15, 20, 50, 55, 60, 65, 70, 75}) {
    EXPECT_NE(std::find(rig.reports.progress.begin(), rig.reports.progress.end(), milestone),
              rig.reports.progress.end())
        << milestone;
  }
  EXPECT_TRUE(std::is_sorted(rig.reports.progress.begin(), rig.reports.progress.end()));
  const auto& c = programmer.commands;
  ASSERT_GE(c.size(), 4u);
  EXPECT_EQ((std::vector<uint8_t>(c.begin(), c.begin() + 3)), (std::vector<uint8_t>{0x01, 0x17, 0x19}));
  EXPECT_EQ(c.back(), 0x0B);
  EXPECT_EQ(std::count(c.begin(), c.end(), 0x1B), 9);
  EXPECT_EQ(std::count(c.begin(), c.end(), 0x15), 9);
  EXPECT_EQ(rig.core.cfg.AppEfsFileSize, 4500u);
  EXPECT_EQ(rig.core.cfg.qdsp6swFileSize, 9000u);
  for (const char* done : {"[Dload] bootloader file download over(sbl1.mbn)", "[Dload] DSP1 file download over",
                           "[Dload] mba file download over(mba.mbn)", "[Dload] bootloader file download over(rpm.mbn)",
                           "[Dload] bootloader file download over(acdb.mbn)", "[Dload] Apps image file download over",
                           "[Dload] EFS file download over", "[Dload] Applicaton EFS file download over"}) {
    EXPECT_TRUE(rig.reports.Has(done)) << done;
  }
}

// A modem restarting on the reset may lose its answer: the plan ends without an error and leaves
// the confirmation to the modem's return.
TEST_F(PlanTest, UnansweredResetAfterTheLastImageIsLeftToTheModemsReturn) {
  programmer.tamper = [](uint8_t command, int, Bytes& reply) {
    if (command == 0x0B) reply.clear();
  };
  plan.DownloadImages();
  EXPECT_TRUE(rig.reports.errors.empty()) << rig.reports.errors.front();
  EXPECT_TRUE(rig.core.run.ResetUnconfirmed);
  EXPECT_TRUE(rig.reports.Has("No answer to the reset command: waiting for the modem to come back"));
  EXPECT_FALSE(rig.reports.Has("Reset Comm succssfully"));
  for (const auto& [partition, bytes] : images) EXPECT_EQ(programmer.partitions[partition], bytes) << partition;
}

TEST_F(PlanTest, FastSpeedTakesTheLastThreeImagesOnly) {
  rig.core.cfg.bFastSpeedDownload = 1;
  rig.core.cfg.m_nBlockSize = 4096;
  programmer.fastBlockSize = 4096;
  rig.core.cfg.ImageChecksum[kAppsChecksumSlot] = 0x1111;
  rig.core.cfg.ImageChecksum[kEfsChecksumSlot] = 0x2222;
  rig.core.cfg.ImageChecksum[kAppEfsChecksumSlot] = 0x3333;
  plan.DownloadImages();

  EXPECT_TRUE(rig.reports.errors.empty());
  for (const auto& [partition, bytes] : images) EXPECT_EQ(programmer.partitions[partition], bytes) << partition;
  ASSERT_EQ(programmer.handshakes.size(), 3u);
  const uint16_t expected[] = {0x1111, 0x2222, 0x3333};
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(programmer.handshakes[i][9] | (programmer.handshakes[i][10] << 8), expected[i]);
  }
  EXPECT_TRUE(rig.reports.Has("Downloading Apps Image..."));
  EXPECT_TRUE(rig.reports.Has("Downloading EFS..."));
  EXPECT_TRUE(rig.reports.Has("Downloading Application EFS..."));
  EXPECT_EQ(rig.reports.statuses.back().text, "Reset Comm succssfully");
}

TEST_F(PlanTest, OpenFailureOfTheSecondImageShowsTheFirstImagesText) {
  programmer.tamper = [](uint8_t command, int occurrence, Bytes& reply) {
    if (command == 0x1B && occurrence >= 2) reply = EncodeFrame({0x0D, 0x01, 0, 0, 0});
  };
  plan.DownloadImages();
  ASSERT_EQ(rig.reports.errors.size(), 1u);
  EXPECT_EQ(rig.reports.errors[0], "ERROR, [Dload] Fail to send sbl1 header file download request, Error code: 31");
  EXPECT_EQ(rig.reports.progress.back(), 80);
  EXPECT_EQ(std::count(programmer.commands.begin(), programmer.commands.end(), 0x1B), 1 + 10);
  EXPECT_EQ(std::count(programmer.commands.begin(), programmer.commands.end(), 0x0B), 0);
}

TEST_F(PlanTest, FastbootImagesSendTheTableOnceWithTheOverrideFlag) {
  rig.core.cfg.bFastbootSystemImage = 1;
  plan.DownloadImages();
  EXPECT_EQ(std::count(programmer.commands.begin(), programmer.commands.end(), 0x19), 1);
  EXPECT_TRUE(rig.reports.Has("Partition table ok"));
  EXPECT_TRUE(rig.reports.Has("Sending override existing table command..."));
  EXPECT_FALSE(rig.reports.Has("Sending 009......"));
  EXPECT_TRUE(rig.reports.errors.empty());
}

TEST_F(PlanTest, ARefusedPartitionTableFailsTheRunBeforeAnyImageIsOpened) {
  struct Case {
    const char* label;
    uint8_t status;     // of the first table reply (the override's when `fastboot`)
    bool fastboot;
    const char* logged;
  };
  const Case cases[] = {
      {"not recognised", 2, false, "Partition table refused by the programmer: status 2 (format not recognised)"},
      {"erase failed", 3, false, "Partition table refused by the programmer: status 3 (erase failed)"},
      {"unknown", 0x42, false, "Partition table refused by the programmer: status 66 (unknown status, taken as a refusal)"},
      {"override refused", 3, true, "Partition table override refused by the programmer: status 3 (erase failed)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    ProtocolRig r;
    FakeProgrammer p;
    p.tamper = [&c](uint8_t command, int, Bytes& reply) {
      if (command == 0x19) reply = EncodeFrame({0x1A, c.status});
    };
    r.port.SetResponder([&p](const Bytes& w) { return p.OnWrite(w); });
    r.OpenDiag();
    r.core.cfg = rig.core.cfg;  // this fixture's images and table
    r.core.cfg.bFastbootBootImage = c.fastboot ? 1 : 0;
    ImagePlan refusing(r.core, r.link);
    refusing.DownloadImages();
    ASSERT_EQ(r.reports.errors.size(), 1u);
    EXPECT_EQ(r.reports.errors[0], "ERROR, [Dload] Fail to download partition table, Error code: 31");
    const int named = r.reports.IndexOf(c.logged);
    EXPECT_GE(named, 0);
    EXPECT_EQ(p.commands, (std::vector<uint8_t>{0x01, 0x17, 0x19}));
    EXPECT_TRUE(p.partitions.empty());
    EXPECT_FALSE(r.reports.Has("Partition table ok"));
  }
}

TEST_F(PlanTest, MissingOrEmptyImagesFailInsteadOfWritingNothing) {
  struct Case {
    const char* label;
    std::string EngineConfig::*file;
    bool fast;
    bool remove;  // otherwise truncate to 0 bytes
    const char* text;
  };
  const Case cases[] = {
      {"application EFS missing", &EngineConfig::AppEfsFile, false, true, "Could not open BIN file: "},
      {"application EFS empty", &EngineConfig::AppEfsFile, false, false, "BIN file length error: "},
      {"application EFS empty, fast", &EngineConfig::AppEfsFile, true, false, "BIN file length error: "},
      {"application EFS missing, fast", &EngineConfig::AppEfsFile, true, true, "Could not open BIN file: "},
      {"boot image empty", &EngineConfig::rpmmbnFile, false, false, "BIN file length error: "},
      {"application image missing", &EngineConfig::AppsImageFile, false, true, "Could not open BIN file: "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    ProtocolRig r;
    FakeProgrammer p;
    p.fastBlockSize = 1024;
    r.port.SetResponder([&p](const Bytes& w) { return p.OnWrite(w); });
    r.OpenDiag();
    EngineConfig& cfg = r.core.cfg;
    cfg.bFastSpeedDownload = c.fast;
    std::string* paths[] = {&cfg.sbl1File, &cfg.tzFile, &cfg.qdsp6swFile, &cfg.mbaFile, &cfg.rpmmbnFile,
                            &cfg.acdbmbnFile, &cfg.AppsImageFile, &cfg.EFSFile, &cfg.AppEfsFile};
    for (size_t i = 0; i < std::size(kFiles); ++i) *paths[i] = r.WriteFile(kFiles[i].file, PatternBytes(kFiles[i].size, 5));
    cfg.partitionFile = r.WriteFile("partition.mbn", PatternBytes(100, 5));
    cfg.AppEfsFileSize = 4500;  // what the window measured before
    const std::string path = cfg.*c.file;
    if (c.remove) {
      std::filesystem::remove(path);
    } else {
      std::filesystem::resize_file(path, 0);
    }
    ImagePlan plan(r.core, r.link);
    plan.DownloadImages();
    ASSERT_EQ(r.reports.errors.size(), 1u);
    EXPECT_EQ(r.reports.errors[0], std::string("ERROR, ") + c.text + path + ", Error code: 31");
    EXPECT_EQ(std::count(p.commands.begin(), p.commands.end(), 0x0B), 0);
    EXPECT_EQ(r.reports.progress.back(), 80);
  }
}

TEST_F(PlanTest, PersistentlySilentProgrammerFailsAtTheGreeting) {
  programmer.silent = true;
  plan.DownloadImages();
  ASSERT_EQ(rig.reports.errors.size(), 1u);
  EXPECT_EQ(rig.reports.errors[0], "ERROR, [Dload] Fail to send hello command, Error code: 31");
  EXPECT_EQ(rig.port.Writes().size(), 50u);
  EXPECT_EQ(rig.reports.progress, std::vector<int>{80});
  EXPECT_FALSE(rig.reports.Has("Reset Comm succssfully"));
}

TEST(ProtocolPhasesAssembly, HandsTheEngineAllThreeCollaborators) {
  ProtocolRig rig;
  ProtocolPhases protocols(rig.core, rig.link);
  EnginePhases phases;
  protocols.Fill(phases);
  EXPECT_EQ(phases.programmer, &protocols.programmer);
  EXPECT_EQ(phases.images, &protocols.images);
  EXPECT_EQ(phases.reconnection, &protocols.reconnection);
  EXPECT_EQ(phases.nv, nullptr);
}

TEST(ImageRecords, SixOpenCommandsByName) {
  struct Case {
    const tagImgCmdPara& record;
    const char* name;
    const char* partition;
  };
  const Case cases[] = {{sbl1_cmd, "sbl1_cmd", "0:SBL"}, {tz_cmd, "tz_cmd", "0:TZ"},
                        {qdsp_cmd, "qdsp_cmd", "0:QDSP"}, {mba_cmd, "mba_cmd", "0:MBA"},
                        {rpm_cmd, "rpm_cmd", "0:RPM"},   {acdb_cmd, "acdb_cmd", "0:ACDB"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_STREQ(c.record.name, c.name);
    Bytes expected = {0x1B, 0x0E};
    expected.insert(expected.end(), c.partition, c.partition + std::strlen(c.partition));
    expected.push_back(0x00);
    EXPECT_EQ(Bytes(c.record.command, c.record.command + c.record.commandLength), expected);
    EXPECT_EQ(Bytes(c.record.expectedReply, c.record.expectedReply + c.record.expectedReplyLength),
              (Bytes{0x1C, 0x00}));
  }
  ASSERT_EQ(kBootImages.size(), 6u);
  EXPECT_EQ(kBootImages[1].record, &tz_cmd);
  EXPECT_STREQ(kBootImages[1].openFailure, "[Dload] Fail to send sbl1 header file download request");
}

}  // namespace
}  // namespace zovir::test
