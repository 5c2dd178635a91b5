#include "platform/regular_file.h"

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "platform/port_namespace.h"
#include "platform/profile_file.h"
#include "support/scratch_dir.h"

namespace zovir {
namespace {

using test::ScratchDir;

// Everything that is not a regular file is refused at once: nothing here may block or spin.
TEST(RegularFile, OnlyRegularFilesWithinTheLimitAreRead) {
  ScratchDir dir;
  const std::string fifo = dir.Sub("fifo"), folder = dir.Sub("folder"), zero = dir.Sub("zero");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  std::filesystem::create_directories(folder);
  std::filesystem::create_symlink("/dev/zero", zero);
  struct Case {
    std::string path;
    size_t limit;
    bool ok;
    std::string why;
  } cases[] = {
      {dir.File("small", "12345"), 5, true, ""},
      {dir.File("large", "123456"), 5, false, "larger than 5 bytes"},
      {dir.File("empty", ""), 5, true, ""},
      {fifo, 100, false, "not a regular file"},
      {folder, 100, false, "not a regular file"},
      {zero, 100, false, "not a regular file"},
      {"/dev/urandom", 100, false, "not a regular file"},
      {dir.Sub("missing"), 100, false, "does not exist"},
  };
  for (const auto& k : cases) {
    std::string text = "unchanged", why;
    EXPECT_EQ(ReadRegularFile(k.path, k.limit, text, &why), k.ok) << k.path;
    EXPECT_NE(why.find(k.why), std::string::npos) << k.path << ": " << why;
    if (!k.ok) {
      EXPECT_EQ(text, "unchanged");
      EXPECT_EQ(!OpenRegularFile(k.path), k.why != "larger than 5 bytes") << k.path;
    }
  }
}

TEST(RegularFile, ProfilesAndTheDeviceMapRefuseSpecialFiles) {
  ScratchDir dir;
  const std::string fifo = dir.Sub("map.ini");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  PortNamespace names(fifo);
  EXPECT_TRUE(names.MapEntries().empty());

  ProfileFile profile(fifo);
  EXPECT_FALSE(profile.Loaded());
  EXPECT_EQ(profile.LoadError(), "it is not a regular file");
  ProfileFile random("/dev/urandom");
  EXPECT_FALSE(random.Loaded());
}

TEST(RegularFile, AUtf16ProfileIsWrittenBackInItsOwnForm) {
  ScratchDir dir;
  const std::string le = std::string("\xFF\xFE") + std::string("[\0A\0]\0\r\0\n\0k\0=\0\xE9\0\r\0\n\0", 20);
  const std::string path = dir.File("wide.ini", le);
  ProfileFile p(path);
  ASSERT_TRUE(p.Loaded());
  EXPECT_EQ(p.GetString("a", "K", ""), "\xC3\xA9");  // é, as 8-bit (UTF-8) text
  ASSERT_TRUE(p.WriteString("A", "n", "1"));
  std::ifstream in(path, std::ios::binary);
  const std::string written((std::istreambuf_iterator<char>(in)), {});
  EXPECT_EQ(written, le + std::string("n\0=\0" "1\0\r\0\n\0", 10));
  EXPECT_EQ(ProfileFile(path).GetString("A", "k", ""), "\xC3\xA9");
}

}  // namespace
}  // namespace zovir
