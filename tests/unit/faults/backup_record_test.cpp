// The completion record of a backup, the lock of a serial number's backups and the list of
// backups a user chooses a restore from, on real folders with contents drawn at random.
#include <gmock/gmock.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <random>

#include "preservation/backup_catalogue.h"
#include "preservation/backup_lock.h"
#include "preservation/backup_record.h"
#include "support/scratch_dir.h"

namespace zovir::test {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;

class BackupRecordTest : public ::testing::Test {
 protected:
  // A backup folder as a run leaves it: identity, NV, RF NV and an EFS mirror whose names and
  // contents are drawn at random (blanks, '%', line ends and bytes above 0x7F in names, empty
  // files and empty folders included). Returns the relative paths of its files.
  std::vector<std::string> MakeBackup(const fs::path& folder, uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::vector<std::string> files;
    auto write = [&](const fs::path& rel, size_t size) {
      std::string bytes(size, '\0');
      for (auto& b : bytes) b = static_cast<char>(rng());
      fs::create_directories((folder / rel).parent_path());
      std::ofstream(folder / rel, std::ios::binary) << bytes;
      files.push_back(rel.generic_string());
    };
    write("EncryptAT.bak", 200 + rng() % 300);
    write("nv.bak", 1000 + rng() % 5000);
    if (rng() % 2) write("nv1.bak", rng() % 400);
    const std::string alphabet = std::string("abcXYZ019 %._-~\n\t") + "\xC3\xA9\x7F";
    auto name = [&] {
      std::string n;
      const size_t len = 1 + rng() % 12;
      for (size_t i = 0; i < len; ++i) n += alphabet[rng() % alphabet.size()];
      return n == "." || n == ".." ? n + "x" : n;
    };
    fs::create_directories(folder / "EFS");
    fs::path dir = "EFS";
    for (int i = 0, n = 3 + static_cast<int>(rng() % 10); i < n; ++i) {
      if (rng() % 3 == 0) dir = dir / name();
      fs::create_directories(folder / dir);
      if (rng() % 4) write(dir / name(), rng() % 3 == 0 ? 0 : rng() % 3000);
    }
    return files;
  }

  ScratchDir scratch_{"zovir-record"};
  fs::path root_ = scratch_.path();
};

TEST_F(BackupRecordTest, ASealedBackupChecksCompleteAndDescribesWhatItHolds) {
  for (uint64_t seed = 1; seed <= 10; ++seed) {
    SCOPED_TRACE(seed);
    const fs::path folder = root_ / ("SN[" + std::to_string(seed) + "]");
    const auto files = MakeBackup(folder, seed);
    std::string why;
    ASSERT_TRUE(SealBackup(folder.string(), "S N%" + std::to_string(seed), "20261210-101010", why)) << why;
    // Plain identity copies come and go around a backup; they are never part of it.
    std::ofstream(folder / "at.bak") << "[Data]\nSN=1\n";
    BackupContents c;
    ASSERT_TRUE(CheckBackupRecord(folder.string(), c, why)) << why;
    EXPECT_EQ(c.serial, "S N%" + std::to_string(seed));
    EXPECT_EQ(c.created, "20261210-101010");
    EXPECT_TRUE(c.identity && c.nv);
    EXPECT_EQ(c.rfNv, fs::exists(folder / "nv1.bak"));
    EXPECT_THAT(c.files, ::testing::UnorderedElementsAreArray(files));
    EXPECT_EQ(fs::status(folder / kBackupRecordName).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
  }
}

TEST_F(BackupRecordTest, EveryChangeAfterTheSealIsFound) {
  struct Case {
    const char* what;
    std::function<void(const fs::path& folder, const std::string& someFile)> change;
    const char* why;
  };
  const std::vector<Case> cases = {
      {"a file emptied", [](const fs::path& f, const std::string& file) { std::ofstream(f / file, std::ios::trunc); },
       "was changed"},
      {"one byte flipped",
       [](const fs::path& f, const std::string& file) {
         std::fstream io(f / file, std::ios::in | std::ios::out | std::ios::binary);
         char b = 0;
         io.read(&b, 1);
         io.seekp(0);
         b = static_cast<char>(b ^ 1);
         io.write(&b, 1);
       },
       "was changed"},
      {"a file removed", [](const fs::path& f, const std::string& file) { fs::remove(f / file); }, "is missing"},
      {"an empty folder removed",
       [](const fs::path& f, const std::string&) { fs::remove(f / "EFS" / "empty-folder"); }, "is missing"},
      {"a file added", [](const fs::path& f, const std::string&) { std::ofstream(f / "EFS" / "late.txt") << "x"; },
       "was added"},
      {"a file replaced by a link",
       [](const fs::path& f, const std::string& file) {
         fs::remove(f / file);
         fs::create_symlink("/etc/hostname", f / file);
       },
       "neither a plain file nor a folder"},
      {"the record cut short",
       [](const fs::path& f, const std::string&) { fs::resize_file(f / kBackupRecordName, fs::file_size(f / kBackupRecordName) - 12); },
       "record is damaged"},
      {"the record edited",
       [](const fs::path& f, const std::string&) {
         std::ofstream(f / kBackupRecordName, std::ios::app) << "file 0 00000000 EFS/late.txt\n";
       },
       "record is damaged"},
      {"no record", [](const fs::path& f, const std::string&) { fs::remove(f / kBackupRecordName); },
       "no completion record"},
  };
  std::mt19937_64 pick(7);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const fs::path folder = root_ / "SN[X]";
    fs::remove_all(folder);
    auto files = MakeBackup(folder, pick());
    fs::create_directories(folder / "EFS" / "empty-folder");
    std::erase_if(files, [&](const std::string& f) { return fs::file_size(folder / f) == 0; });
    std::string why;
    ASSERT_TRUE(SealBackup(folder.string(), "X", "20261210-101010", why)) << why;
    c.change(folder, files[pick() % files.size()]);
    BackupContents contents;
    EXPECT_FALSE(CheckBackupRecord(folder.string(), contents, why));
    EXPECT_THAT(why, HasSubstr(c.why));
  }
}

TEST_F(BackupRecordTest, ABackupFolderWithSomethingElseThanFilesAndFoldersIsNeverSealed) {
  const fs::path folder = root_ / "SN[X]";
  MakeBackup(folder, 3);
  fs::create_symlink("/etc", folder / "EFS" / "link");
  std::string why;
  EXPECT_FALSE(SealBackup(folder.string(), "X", "20261210-101010", why));
  EXPECT_THAT(why, HasSubstr("neither a plain file nor a folder"));
  EXPECT_FALSE(fs::exists(folder / kBackupRecordName));
}

TEST_F(BackupRecordTest, FolderNamesGiveTheirSerialNumberAndKey) {
  struct Case {
    const char* name;
    const char* key;
    const char* serial;
  };
  for (const auto& c : std::vector<Case>{{"SN[ABC]", "SN[ABC]", "ABC"},
                                         {"SN[ABC].20261210-101010", "SN[ABC]", "ABC"},
                                         {"SN[A]B].20261210-101010-2", "SN[A]B]", "A]B"},
                                         {"Default", "Default", ""},
                                         {"SN[", "SN[", ""},
                                         {"notes", "notes", ""}}) {
    EXPECT_EQ(BackupKeyOf(c.name), c.key) << c.name;
    EXPECT_EQ(SerialOfBackupFolder(c.name), c.serial) << c.name;
  }
}

TEST_F(BackupRecordTest, ASerialNumbersBackupsBelongToOneHolderAtATime) {
  BackupFolderLocks first(root_.string()), second(root_.string());
  std::string why;
  ASSERT_TRUE(first.Take("SN[A]", why)) << why;
  EXPECT_TRUE(first.Take("SN[A]", why)) << "a holder may ask again";
  EXPECT_FALSE(second.Take("SN[A]", why));
  EXPECT_THAT(why, HasSubstr("another run is using the backup SN[A]"));
  EXPECT_TRUE(second.Take("SN[B]", why)) << why;
  first.Release("SN[A]");
  EXPECT_FALSE(fs::exists(root_ / ".SN[A].lock")) << "no lock file is left behind";
  EXPECT_TRUE(second.Take("SN[A]", why)) << why;
  // A lock file planted as a link is never followed.
  fs::create_symlink("/etc/passwd", root_ / ".SN[C].lock");
  EXPECT_FALSE(first.Take("SN[C]", why));
}

TEST_F(BackupRecordTest, TheListShowsEveryBackupWithWhatItHoldsAndWhetherItIsComplete) {
  std::string why;
  MakeBackup(root_ / "SN[B]", 1);
  ASSERT_TRUE(SealBackup((root_ / "SN[B]").string(), "B", "20261210-101010", why)) << why;
  MakeBackup(root_ / "SN[A].20261209-080000", 2);
  ASSERT_TRUE(SealBackup((root_ / "SN[A].20261209-080000").string(), "A", "20261209-080000", why)) << why;
  fs::create_directories(root_ / "SN[A]" / "EFS");
  std::ofstream(root_ / "SN[A]" / "EncryptAT.bak") << "x";  // a run killed during its backup
  fs::create_directories(root_ / "unrelated");
  std::ofstream(root_ / ".SN[A].lock");

  const auto list = ListBackups(root_.string());
  ASSERT_EQ(list.size(), 3u);
  // By serial number, then oldest first.
  EXPECT_EQ(list[0].folder, "SN[A].20261209-080000");
  EXPECT_TRUE(list[0].complete);
  EXPECT_EQ(list[0].serial, "A");
  EXPECT_EQ(list[0].date, "2026-12-09 08:00:00 UTC");
  EXPECT_EQ(list[1].folder, "SN[A]");
  EXPECT_FALSE(list[1].complete);
  EXPECT_THAT(list[1].problem, HasSubstr("no completion record"));
  EXPECT_EQ(DescribeContents(list[1].contents), "identity");
  EXPECT_EQ(list[2].folder, "SN[B]");
  EXPECT_TRUE(list[2].complete);
  EXPECT_THAT(DescribeContents(list[2].contents), ::testing::StartsWith("identity, NV"));
  EXPECT_TRUE(ListBackups((root_ / "missing").string()).empty());
}

}  // namespace
}  // namespace zovir::test
