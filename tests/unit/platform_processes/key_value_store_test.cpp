#include <sys/stat.h>

#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "platform/key_value_store.h"
#include "support/scratch_dir.h"

namespace zovir {
namespace {

using test::ReadAll;
using test::ScratchDir;

constexpr char kKey[] = "Software\\Dravik\\Quorvel_ZOVIR";

TEST(KeyValueStore, ValuesRoundTripExactlyAndSurviveANewStore) {
  ScratchDir dir;
  std::string path = dir.Sub("config/quorvel-zovir/settings.ini");
  const std::string values[] = {"PASS", "", "  padded  ", "\"quoted\"", "a = b", "C:\\images\\", "x\"", "[not a section]"};
  {
    auto store = MakeFileKeyValueStore(path);
    EXPECT_EQ(store->Read(kKey, "DownloadStatus"), std::nullopt) << "no file yet";
    for (size_t i = 0; i < std::size(values); ++i) {
      ASSERT_TRUE(store->Write(kKey, "Value" + std::to_string(i), values[i])) << values[i];
    }
  }
  auto store = MakeFileKeyValueStore(path);
  for (size_t i = 0; i < std::size(values); ++i) {
    EXPECT_EQ(store->Read(kKey, "Value" + std::to_string(i)), values[i]);
  }
  EXPECT_EQ(store->Read(kKey, "Missing"), std::nullopt);
  EXPECT_EQ(store->Read("SOFTWARE\\rgdriverinfo", "Value0"), std::nullopt) << "sections are apart";
  // The settings are private to the user.
  struct stat st {};
  ASSERT_EQ(stat(dir.Sub("config/quorvel-zovir").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 077, 0u);
}

TEST(KeyValueStore, RewritingAValueKeepsTheRestOfTheFile) {
  ScratchDir dir;
  std::string path = dir.File("settings.ini", "; kept by hand\n[SOFTWARE\\rgdriverinfo]\nDownloadSupport=NOK\n[Other]\nA=1\n");
  auto store = MakeFileKeyValueStore(path);
  ASSERT_TRUE(store->Write("SOFTWARE\\rgdriverinfo", "DownloadSupport", "OK"));
  EXPECT_EQ(ReadAll(path), "; kept by hand\n[SOFTWARE\\rgdriverinfo]\nDownloadSupport=OK\n[Other]\nA=1\n");
  // Names match without regard to case, as registry names do.
  EXPECT_EQ(store->Read("software\\RGDRIVERINFO", "downloadsupport"), "OK");
  // No temporary sibling is left behind.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
}

TEST(KeyValueStore, RefusesWhatTheFileCannotHoldAndLeavesItAlone) {
  ScratchDir dir;
  std::string path = dir.File("settings.ini", "[S]\nA=1\n");
  auto store = MakeFileKeyValueStore(path);
  struct Case {
    std::string section, name, value;
  } cases[] = {
      {"S", "A", "two\nlines"}, {"S", "A", "cr\r"},  {"S", "", "v"},    {"", "A", "v"},
      {"S]x", "A", "v"},        {"S", "A=B", "v"},  {"S", " A", "v"},  {"S", "[A", "v"},
  };
  for (const Case& c : cases) {
    EXPECT_FALSE(store->Write(c.section, c.name, c.value)) << c.section << "/" << c.name << "/" << c.value;
  }
  EXPECT_EQ(ReadAll(path), "[S]\nA=1\n");

  // A file in a folder that cannot be created is a failed write, not a crash.
  std::string blocked = dir.File("plain-file", "x") + "/settings.ini";
  EXPECT_FALSE(MakeFileKeyValueStore(blocked)->Write("S", "A", "v"));
  EXPECT_EQ(MakeFileKeyValueStore(blocked)->Read("S", "A"), std::nullopt);
}

}  // namespace
}  // namespace zovir
