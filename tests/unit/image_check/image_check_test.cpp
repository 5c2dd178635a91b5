#include "config/image_check.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <map>

#include "engine/engine_config.h"
#include "link/crc16.h"
#include "temp_folder.h"

namespace zovir {
namespace {

namespace fs = std::filesystem;
using testing_support::TempFolder;
using testing_support::WriteFile;

constexpr uint64_t kMiB = 1024 * 1024;

// A file of `size` bytes without writing them (sparse), for the large limits.
void SizedFile(const std::string& path, uint64_t size) {
  WriteFile(path, "");
  fs::resize_file(path, size);
}

// The reader the checks use in fast-speed mode: counts what is opened and can fail.
class TestReader final : public ImageFileReader {
 public:
  bool Open(const std::string& path) override {
    opened.push_back(path);
    if (path == failPath && refuseOpen) return false;
    file_.open(path, std::ios::binary);
    offset_ = 0;
    limit_ = path == failPath ? failAt : UINT64_MAX;
    return bool(file_);
  }
  // Gives the bytes up to `failAt` of `failPath`, then an error.
  long long Read(uint8_t* buffer, size_t length) override {
    if (offset_ >= limit_) return -1;
    length = static_cast<size_t>(std::min<uint64_t>(length, limit_ - offset_));
    file_.read(reinterpret_cast<char*>(buffer), static_cast<std::streamsize>(length));
    offset_ += static_cast<uint64_t>(file_.gcount());
    return file_.gcount();
  }
  void Close() override { file_.close(); }

  std::vector<std::string> opened;
  std::string failPath;
  bool refuseOpen = false;
  uint64_t failAt = UINT64_MAX;

 private:
  std::ifstream file_;
  uint64_t offset_ = 0;
  uint64_t limit_ = UINT64_MAX;
};

// A folder with the demo selection's images, and everything a check needs.
struct Scene {
  Scene() {
    // What the reader leaves on for the demo configuration.
    config.bBackup = config.bRestore = config.bBootloader = config.bRpmBootloader = config.bEFS = 1;
    config.BlockSize = 1024;
    for (const auto& [name, size] : std::map<std::string, int>{{"NPRG9x06.mbn", 3000},
                                                                {"partition.mbn", 268},
                                                                {"sbl1.mbn", 2500},
                                                                {"tz.mbn", 1500},
                                                                {"efs.mbn", 1100},
                                                                {"efs2apps.mbn", 900},
                                                                {"rpm.mbn", 700},
                                                                {"mba.mbn", 600},
                                                                {"acdb.mbn", 500},
                                                                {"qdsp6sw.mbn", 4000},
                                                                {"apps.mbn", 2048}}) {
      WriteFile(dir / name, std::string(static_cast<size_t>(size), static_cast<char>(name[0])));
    }
  }
  Scene(const Scene&) = delete;
  bool Check() { return CheckImageFolder(dir.Path(), config, state, context); }
  std::vector<std::string> Listed() const {
    std::vector<std::string> names;
    for (const ImageListItem& i : state.lvFileList) names.push_back(i.name);
    return names;
  }

  TempFolder dir;
  TempFolder backup;
  ProjectConfiguration config;
  ImageFolderState state;
  RecordingMessageSink sink;
  TestReader reader;
  ImageCheckContext context{sink, "Quorvel_ZOVIR Demo", backup.Path(), false, nullptr, &reader};
};

class ImageCheck : public ::testing::Test, public Scene {};

TEST_F(ImageCheck, TheDemoSelectionPassesListsItsFilesAndHandsThemToTheEngine) {
  ASSERT_TRUE(Check());
  EXPECT_TRUE(sink.messages.empty());
  const std::vector<std::string> expected = {"partition.mbn", "sbl1.mbn", "tz.mbn",  "efs.mbn",     "efs2apps.mbn",
                                             "rpm.mbn",       "mba.mbn",  "acdb.mbn", "qdsp6sw.mbn", "apps.mbn"};
  EXPECT_EQ(Listed(), expected);
  EXPECT_EQ(state.lvFileList[0].folder, dir.Path() + "/");
  EXPECT_EQ(state.allTotalFileSize, 3000u + 268 + 2500 + 1500 + 1100 + 900 + 700 + 600 + 500 + 4000 + 2048);
  // Fast-speed mode is off: nothing was opened for reading.
  EXPECT_TRUE(reader.opened.empty());

  EngineConfig engine;
  HandOverImages(state, engine);
  EXPECT_EQ(engine.ramFile, dir / "NPRG9x06.mbn");
  EXPECT_EQ(engine.ramFileSize, 3000u);
  EXPECT_EQ(engine.sbl1Size, 2500u);
  EXPECT_EQ(engine.partitionFile, dir / "partition.mbn");
  EXPECT_EQ(engine.AppsImageFile, dir / "apps.mbn");
  EXPECT_EQ(engine.bakFile, dir / "nv.bak");
  EXPECT_EQ(engine.allTotalFileSize, state.allTotalFileSize);
}

TEST(ImageCheckFailures, EachFailureShowsItsExactMessageAndEmptiesTheList) {
  struct Case {
    const char* what;
    std::function<void(Scene&)> arrange;
    std::function<std::string(const TempFolder&)> message;
  };
  const Case cases[] = {
      {"missing programmer", [](Scene& t) { fs::remove(t.dir / "NPRG9x06.mbn"); },
       [](const TempFolder& d) { return "Error: BIN file " + (d / "NPRG9x06.mbn") + " does not exist!\n"; }},
      {"programmer of 10 MiB", [](Scene& t) { SizedFile(t.dir / "NPRG9x06.mbn", 10 * kMiB); },
       [](const TempFolder& d) { return "Error:BIN file " + (d / "NPRG9x06.mbn") + " size error!\n"; }},
      {"missing partition table", [](Scene& t) { fs::remove(t.dir / "partition.mbn"); },
       // Only the scan sets this path: a table that is not there leaves it empty.
       [](const TempFolder&) { return "Error:partition file  does not exist!\n"; }},
      {"partition table of 1024 bytes", [](Scene& t) { SizedFile(t.dir / "partition.mbn", 1024); },
       [](const TempFolder& d) { return "Error:partition file " + (d / "partition.mbn") + " size error!\n"; }},
      {"empty boot loader", [](Scene& t) { SizedFile(t.dir / "sbl1.mbn", 0); },
       [](const TempFolder& d) { return "Error: File " + (d / "sbl1.mbn") + " size error!\n"; }},
      {"boot loader of 100 MiB", [](Scene& t) { SizedFile(t.dir / "tz.mbn", 100 * kMiB); },
       [](const TempFolder& d) { return "Error: File " + (d / "tz.mbn") + " size error!\n"; }},
      {"missing EFS image", [](Scene& t) { fs::remove(t.dir / "efs.mbn"); },
       [](const TempFolder& d) { return "Error:EFS file " + (d / "efs.mbn") + " does not exist!\n"; }},
      {"a folder where an image should be",
       [](Scene& t) {
         fs::remove(t.dir / "apps.mbn");
         fs::create_directory(t.dir / "apps.mbn");
       },
       [](const TempFolder& d) { return "Error: File " + (d / "apps.mbn") + " does not exist!\n"; }},
      {"header of 512 bytes",
       [](Scene& t) {
         t.config.bAMSSFile = 1;
         SizedFile(t.dir / "amss.mbn", 4096);
         SizedFile(t.dir / "amsshd.mbn", 512);
       },
       [](const TempFolder& d) { return "Error:Amsshd file " + (d / "amsshd.mbn") + " size error!\n"; }},
      {"missing modem image", [](Scene& t) { t.config.bAMSSFile = 1; },
       [](const TempFolder&) { return "Error:AMss file  does not exist!\n"; }},
      {"missing configuration data", [](Scene& t) { t.config.bCfgdata = 1; },
       [](const TempFolder&) { return "Error:Cofiguration file  does not exist!\n"; }},
      {"oversized configuration data",
       [](Scene& t) {
         t.config.bCfgdata = 1;
         SizedFile(t.dir / "sub/cfgdata.mbn", 100 * kMiB);
       },
       [](const TempFolder& d) { return "Error:Configuration file " + (d / "sub/cfgdata.mbn") + " size error!\n"; }},
      {"restore without backup needs the backup files",
       [](Scene& t) { t.config.bBackup = 0; },
       [](const TempFolder& d) { return "Error: File " + (d / "at.bak") + " does not exist!\n"; }},
      {"a fastboot list file over 500 MiB",
       [](Scene& t) {
         t.config.bFastbootConfiguration = 1;
         t.config.FastbootFileNameList = {"erase", t.dir / "big.img"};
         SizedFile(t.dir / "big.img", 500 * kMiB);
       },
       [](const TempFolder& d) { return "Error: File " + (d / "big.img") + " size error!\n"; }},
      {"a system image over 200 MiB",
       [](Scene& t) {
         t.config.bFastbootSystemImage = 1;
         SizedFile(t.dir / "system.img", 200 * kMiB);
       },
       [](const TempFolder& d) { return "Error: File " + (d / "system.img") + " size error!\n"; }},
      {"a missing primary table", [](Scene& t) { t.config.bFastbootPrimary_gpt = 1; },
       [](const TempFolder&) { return "Error:Primary File  does not exist!\n"; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Scene fresh;
    c.arrange(fresh);
    EXPECT_FALSE(fresh.Check());
    ASSERT_EQ(fresh.sink.messages.size(), 1u);
    EXPECT_EQ(fresh.sink.messages[0].text, c.message(fresh.dir));
    EXPECT_EQ(fresh.sink.messages[0].caption, "Quorvel_ZOVIR Demo");
    EXPECT_TRUE(fresh.state.lvFileList.empty());
  }
}

TEST_F(ImageCheck, SizesJustBelowTheLimitsPass) {
  config.bAMSSFile = 1;
  SizedFile(dir / "amss.mbn", 4096);
  SizedFile(dir / "amsshd.mbn", 511);
  SizedFile(dir / "partition.mbn", 1023);
  SizedFile(dir / "NPRG9x06.mbn", 10 * kMiB - 1);
  ASSERT_TRUE(Check()) << (sink.messages.empty() ? "" : sink.messages[0].text);
  EXPECT_EQ(state.partitionFileSize, 1023u);
  EXPECT_EQ(state.amsshdFileSize, 511u);
}

TEST_F(ImageCheck, FastSpeedChecksumsAndTheirFailures) {
  config.bFastSpeedDownload = 1;
  ASSERT_TRUE(Check());
  auto crcOf = [&](const std::string& name) {
    const std::string bytes = testing_support::ReadFile(dir / name);
    return Crc16X25(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  };
  EXPECT_EQ(state.ImageChecksum[15], crcOf("efs.mbn"));
  EXPECT_EQ(state.ImageChecksum[13], crcOf("efs2apps.mbn"));
  // Entry 12 is written in turn; the applications image is the last.
  EXPECT_EQ(state.ImageChecksum[12], crcOf("apps.mbn"));
  // The applications image the engine sends in fast-speed mode has its own entry.
  EXPECT_EQ(state.ImageChecksum[11], crcOf("apps.mbn"));

  struct Case {
    const char* what;
    std::string file;
    bool refuseOpen;
    uint64_t failAt;
    std::vector<std::string> texts;
  };
  // efs.mbn has 1100 bytes: one whole block of 1024 and a remainder of 76.
  const Case cases[] = {
      {"unreadable", "efs.mbn", true, UINT64_MAX, {"Could not open file", "EFS file crc error.\n"}},
      {"short whole block", "efs.mbn", false, 1000, {"Read file error.", "EFS file crc error.\n"}},
      {"short remainder", "efs.mbn", false, 1050, {"Read file error!", "EFS file crc error.\n"}},
      {"unreadable applications EFS", "efs2apps.mbn", true, UINT64_MAX,
       {"Could not open file", "AppEFS file crc error.\n"}},
      {"unreadable boot chain image", "rpm.mbn", true, UINT64_MAX, {"Could not open file", "appsboot file crc error.\n"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    sink.messages.clear();
    reader.failPath = dir / c.file;
    reader.refuseOpen = c.refuseOpen;
    reader.failAt = c.failAt;
    EXPECT_FALSE(Check());
    ASSERT_EQ(sink.messages.size(), 2u);
    EXPECT_EQ(sink.messages[0].text, c.texts[0]);
    EXPECT_EQ(sink.messages[0].caption, "Warning");
    EXPECT_EQ(sink.messages[1].text, c.texts[1]);
    EXPECT_EQ(sink.messages[1].caption, "Quorvel_ZOVIR Demo");
    EXPECT_TRUE(state.lvFileList.empty());
  }
}

TEST(ComputeImageChecksum, WholeFileCrcForAnyBlockSize) {
  TempFolder t;
  std::string bytes(2500, '\0');
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7 + 3);
  WriteFile(t / "img", bytes);
  WriteFile(t / "check", "123456789");
  WriteFile(t / "empty", "");
  RecordingMessageSink sink;
  const uint16_t expected = Crc16X25(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  for (int block : {1, 452, 1024, 4096, 65535, 0, -5, 1 << 20}) {
    uint16_t crc = 0;
    ASSERT_TRUE(ComputeImageChecksum(t / "img", block, crc, sink)) << block;
    EXPECT_EQ(crc, expected) << block;
  }
  uint16_t crc = 0;
  ASSERT_TRUE(ComputeImageChecksum(t / "check", 1024, crc, sink));
  EXPECT_EQ(crc, 0x906E);
  EXPECT_FALSE(ComputeImageChecksum(t / "empty", 1024, crc, sink));
  EXPECT_FALSE(ComputeImageChecksum(t / "none", 1024, crc, sink));
  ASSERT_EQ(sink.messages.size(), 2u);
  EXPECT_EQ(sink.messages[0].text, "file size error.");
  EXPECT_EQ(sink.messages[1].text, "file size error.");
}

TEST_F(ImageCheck, TheScanFindsImagesInSubfoldersConvertsHexFilesAndKeepsFixedPaths) {
  WriteFile(dir / "a/amss.mbn", "first");
  WriteFile(dir / "b/amss.mbn", "last");
  WriteFile(dir / "b/NPRG9x06.mbn", "not the programmer");
  WriteFile(dir / "FW.HEX", ":00000001FF\n");
  WriteFile(dir / "disk.iso", "iso");
  fs::create_directory_symlink(dir.Path(), dir / "a/loop");
  std::vector<std::pair<std::string, std::string>> converted;
  context.convertHex = [&](const std::string& hex, const std::string& bin) { converted.push_back({hex, bin}); };
  ASSERT_TRUE(Check());
  EXPECT_EQ(state.amssFile, dir / "b/amss.mbn");
  EXPECT_EQ(state.ramFile, dir / "NPRG9x06.mbn");
  EXPECT_EQ(state.FTLFile, "");  // the CD-ROM image is taken only when selected
  ASSERT_EQ(converted.size(), 1u);
  EXPECT_EQ(converted[0].first, dir / "FW.HEX");
  EXPECT_EQ(converted[0].second, dir / "FW.BIN");

  config.bCDROM = 1;
  ASSERT_TRUE(Check());
  EXPECT_EQ(state.FTLFile, dir / "disk.iso");
}

TEST_F(ImageCheck, ReupdateModeTakesTheBackupFilesTheRunWroteFromItsBackupFolder) {
  config.bBackup = 0;
  context.ReupdateMode = true;
  // What an engine leaves after its backup: the scrambled identity backup and the NV items.
  WriteFile(backup / "EncryptAT.bak", "at");
  WriteFile(backup / "nv.bak", "nv");
  ASSERT_TRUE(Check()) << (sink.messages.empty() ? "" : sink.messages[0].text);
  EXPECT_EQ(state.atbakFile, backup / "EncryptAT.bak");
  EXPECT_EQ(state.bakFile, backup / "nv.bak");
  EXPECT_EQ(Listed().front(), "EncryptAT.bak");

  fs::remove(backup / "EncryptAT.bak");
  EXPECT_FALSE(Check());
  ASSERT_FALSE(sink.messages.empty());
  EXPECT_NE(sink.messages.back().text.find("EncryptAT.bak"), std::string::npos) << sink.messages.back().text;
}

TEST_F(ImageCheck, TheProgrammerIsTakenUnderTheNameThePayloadWrote) {
  struct Case {
    int enprg;
    bool plain, prefixed;
    const char* expected;
  } cases[] = {
      {1, false, true, "ENPRG9x06.mbn"}, {1, true, true, "ENPRG9x06.mbn"}, {1, true, false, "NPRG9x06.mbn"},
      {0, true, true, "NPRG9x06.mbn"},   {0, false, true, "ENPRG9x06.mbn"},
  };
  for (const auto& k : cases) {
    fs::remove(dir / "NPRG9x06.mbn");
    fs::remove(dir / "ENPRG9x06.mbn");
    if (k.plain) WriteFile(dir / "NPRG9x06.mbn", std::string(3000, 'N'));
    if (k.prefixed) WriteFile(dir / "ENPRG9x06.mbn", std::string(2000, 'E'));
    config.bEnprg9x15 = k.enprg;
    ASSERT_TRUE(Check()) << k.expected;
    EXPECT_EQ(state.ramFile, dir / k.expected);
    EXPECT_EQ(state.ramFileSize, k.expected[0] == 'E' ? 2000u : 3000u);
  }
}

TEST_F(ImageCheck, AnEmptyFolderTextOnlyEmptiesTheList) {
  state.lvFileList.push_back({"old", "/x/"});
  EXPECT_FALSE(CheckImageFolder("", config, state, context));
  EXPECT_TRUE(state.lvFileList.empty());
  EXPECT_TRUE(sink.messages.empty());
}

}  // namespace
}  // namespace zovir
