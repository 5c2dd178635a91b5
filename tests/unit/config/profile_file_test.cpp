#include "platform/profile_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <optional>
#include <thread>
#include <vector>

#include "temp_dir.h"

namespace zovir {
namespace {

using test::ReadAll;
using test::TempDir;

const char* kSample =
    "; shipped configuration\r\n"
    "[Project]\r\n"
    "Caption = Quorvel_Demo  \r\n"
    "  project=Dunmar\r\n"
    "Quoted=\"  padded  \"\r\n"
    "DoubleQuoted=\"\"twice\"\"\r\n"
    "HalfQuoted=\"open\r\n"
    "Equation=a=b\r\n"
    "Empty=\r\n"
    "Caption=second key ignored\r\n"
    "\r\n"
    "[ DownloadItems ]\r\n"
    "bEFS=0\r\n"
    "[project]\r\n"
    "LateKey=in a repeated section\r\n";

TEST(ProfileFile, ReadsValuesAsWindowsProfileFunctionsDo) {
  ProfileFile ini = ProfileFile::FromText(kSample);
  struct Case {
    const char* section;
    const char* key;
    std::optional<std::string> expected;
  };
  const Case cases[] = {
      {"Project", "Caption", "Quorvel_Demo"},          // blanks around "=" and the value dropped
      {"PROJECT", "CAPTION", "Quorvel_Demo"},          // names match without regard to case
      {"project", "Project", "Dunmar"},                // indented key
      {"Project", "Quoted", "  padded  "},             // one pair of quotes removed, inside kept
      {"Project", "DoubleQuoted", "\"twice\""},        // only one pair
      {"Project", "HalfQuoted", "\"open"},             // unmatched quote kept
      {"Project", "Equation", "a=b"},                  // split at the first "="
      {"Project", "Empty", ""},                        // present but empty
      {"DownloadItems", "bEFS", "0"},                  // blanks inside the brackets dropped
      {"Project", "LateKey", std::nullopt},            // a repeated section is never searched
      {"Project", "Missing", std::nullopt},
      {"Nowhere", "Caption", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.section) + "/" + c.key);
    EXPECT_EQ(ini.Find(c.section, c.key), c.expected);
  }
  EXPECT_EQ(ini.GetString("Project", "Missing", "dflt"), "dflt");
  EXPECT_EQ(ini.GetString("Project", "Empty", "dflt"), "");
}

TEST(ProfileFile, LineFeedOnlyFilesAndKeysBeforeAnySectionAreHandled) {
  ProfileFile ini = ProfileFile::FromText("Orphan=1\n[A]\nk=v\n[B]\nk=w");
  EXPECT_EQ(ini.Find("A", "Orphan"), std::nullopt);
  EXPECT_EQ(ini.GetString("A", "k", ""), "v");
  EXPECT_EQ(ini.GetString("B", "k", ""), "w");
}

TEST(ProfileFile, ByteOrderMarkDoesNotHideTheFirstSection) {
  TempDir dir;
  const std::string path = dir.File("Config.ini", "\xEF\xBB\xBF[Project]\r\nCaption=Q\r\n");
  EXPECT_EQ(ProfileFile(path).GetString("Project", "Caption", ""), "Q");
  ASSERT_TRUE(ProfileFile(path).WriteString("Project", "Caption", "R"));
  EXPECT_EQ(ReadAll(path), "\xEF\xBB\xBF[Project]\r\nCaption=R\r\n");
}

TEST(ProfileFile, IntegersThatDoNotConvertYieldTheDefault) {
  struct Case {
    const char* value;
    int expected;
  };
  const Case cases[] = {
      {"12", 12},         {" -5 ", -5},          {"+7", 7},       {"\"42\"", 42},     {"0", 0},
      {"12abc", -99},     {"", -99},             {"abc", -99},    {"0x10", -99},      {"1 2", -99},
      {"-", -99},         {"2147483647", 2147483647},             {"2147483648", -99},
      {"-2147483648", -2147483647 - 1},          {"99999999999999999999", -99},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    ProfileFile ini = ProfileFile::FromText(std::string("[S]\nN=") + c.value + "\n");
    EXPECT_EQ(ini.GetInt("S", "N", -99), c.expected);
  }
  EXPECT_EQ(ProfileFile::FromText("[S]\n").GetInt("S", "N", 1024), 1024);
}

TEST(ProfileFile, MissingFileReadsAsEmpty) {
  TempDir dir;
  ProfileFile ini(dir.path() + "/absent.ini");
  EXPECT_FALSE(ini.Loaded());
  EXPECT_EQ(ini.GetInt("Project", "Packet", 1), 1);
}

TEST(ProfileFile, RewritingOneValueKeepsEveryOtherByte) {
  TempDir dir;
  const std::string path = dir.File("Config.ini", kSample);
  chmod(path.c_str(), 0640);
  ProfileFile ini(path);
  ASSERT_TRUE(ini.WriteString("PROJECT", "caption", "-2"));

  std::string expected = kSample;
  expected.replace(expected.find("Quorvel_Demo  "), 14, "-2");
  EXPECT_EQ(ReadAll(path), expected);
  EXPECT_EQ(ProfileFile(path).GetString("Project", "Caption", ""), "-2");

  struct stat st {};
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  // Nothing but the file itself is left in the folder.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
}

TEST(ProfileFile, WritingAddsMissingKeysAndSections) {
  struct Case {
    const char* name;
    const char* before;
    const char* section;
    const char* key;
    const char* after;
  };
  const Case cases[] = {
      {"key after the section's last line, before its blank separator",
       "[Project]\r\nCaption=x\r\n\r\n[Other]\r\nA=1\r\n", "Project", "ExecuteResetModem",
       "[Project]\r\nCaption=x\r\nExecuteResetModem=100\r\n\r\n[Other]\r\nA=1\r\n"},
      {"key into the last section without a final line break", "[Project]\nCaption=x", "project",
       "ExecuteResetModem", "[Project]\nCaption=x\nExecuteResetModem=100\n"},
      {"new section at the end", "[Other]\r\nA=1\r\n", "Project", "ExecuteResetModem",
       "[Other]\r\nA=1\r\n[Project]\r\nExecuteResetModem=100\r\n"},
      {"new section after a last line without a break", "[Other]\nA=1", "Project", "ExecuteResetModem",
       "[Other]\nA=1\n[Project]\nExecuteResetModem=100\n"},
      {"existing value replaced in the first of two sections", "[Project]\nExecuteResetModem = 0 \n[Project]\nExecuteResetModem=5\n",
       "Project", "EXECUTERESETMODEM", "[Project]\nExecuteResetModem = 100\n[Project]\nExecuteResetModem=5\n"},
      {"empty file", "", "Project", "ExecuteResetModem", "[Project]\nExecuteResetModem=100\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const std::string path = dir.File("Config.ini", c.before);
    ASSERT_TRUE(ProfileFile(path).WriteString(c.section, c.key, "100"));
    EXPECT_EQ(ReadAll(path), c.after);
  }
}

TEST(ProfileFile, CreatesAMissingFileAndFailsCleanlyWhereItCannotWrite) {
  TempDir dir;
  const std::string path = dir.path() + "/new.ini";
  ASSERT_TRUE(ProfileFile(path).WriteString("Uninstall", "UninstallUDisk", "1"));
  EXPECT_EQ(ProfileFile(path).GetInt("Uninstall", "UninstallUDisk", 0), 1);

  ProfileFile nowhere(dir.path() + "/no/such/folder/Config.ini");
  EXPECT_FALSE(nowhere.WriteString("Project", "ExecuteResetModem", "100"));
}

TEST(ProfileFile, PermissionsFollowTheFileOrTheAccessAsked) {
  TempDir dir;
  const mode_t umaskNow = umask(022);  // the test's own, restored below
  struct Case {
    const char* name;
    int existing;  // -1: no file yet
    FileAccess access;
    mode_t expected;
  };
  const Case cases[] = {
      {"new file, default", -1, FileAccess::Inherit, 0644},
      {"existing file keeps its mode", 0600, FileAccess::Inherit, 0600},
      {"new private file", -1, FileAccess::OwnerOnly, 0600},
      {"existing readable file becomes private", 0644, FileAccess::OwnerOnly, 0600},
  };
  for (const Case& c : cases) {
    const std::string path = dir.path() + "/" + c.name;
    if (c.existing >= 0) {
      dir.File(c.name, "[A]\nB=1\n");
      chmod(path.c_str(), static_cast<mode_t>(c.existing));
    }
    ProfileFile ini(path);
    ini.SetString("A", "B", "2");
    ASSERT_TRUE(ini.Save(c.access)) << c.name;
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0) << c.name;
    EXPECT_EQ(st.st_mode & 0777, c.expected) << c.name;
    EXPECT_EQ(ProfileFile(path).GetInt("A", "B", 0), 2) << c.name;
  }
  umask(umaskNow);
  // Only the files themselves are left in the folder.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 4);
}

TEST(ProfileFile, WriteStartsFromTheFileOnDisk) {
  // Another program may have changed the file since it was read; its change must survive.
  TempDir dir;
  const std::string path = dir.File("Config.ini", "[Project]\nA=1\n");
  ProfileFile stale(path);
  ASSERT_TRUE(ProfileFile(path).WriteString("Project", "B", "2"));
  ASSERT_TRUE(stale.WriteString("Project", "A", "3"));
  EXPECT_EQ(ReadAll(path), "[Project]\nA=3\nB=2\n");
}

TEST(ProfileFile, ConcurrentWritersLoseNoValue) {
  // Each writer reads the file, changes its own key and writes it back; without mutual
  // exclusion one writer's rename would drop another's change.
  TempDir dir;
  const std::string path = dir.File("Config.ini", "[Project]\nCaption=x\n");
  constexpr int kWriters = 4, kRounds = 50;
  std::vector<std::thread> writers;
  for (int w = 0; w < kWriters; ++w) {
    writers.emplace_back([&path, w] {
      for (int i = 1; i <= kRounds; ++i) {
        ASSERT_TRUE(ProfileFile(path).WriteString("Project", "Key" + std::to_string(w), std::to_string(i)));
      }
    });
  }
  for (std::thread& t : writers) t.join();
  ProfileFile result(path);
  for (int w = 0; w < kWriters; ++w) EXPECT_EQ(result.GetInt("Project", "Key" + std::to_string(w), 0), kRounds);
  EXPECT_EQ(result.GetString("Project", "Caption", ""), "x");
}

}  // namespace
}  // namespace zovir
