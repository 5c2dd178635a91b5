// The completion record of a backup, the lock of a serial number's backups and the list of
// backups a user chooses a restore from, on real folders with contents drawn at random.
#include <gmock/gmock.h>
#include <zlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <iterator>
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

std::string ReadText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// The record as a version before the modem mark wrote it: the same lines without "modem".
void MakeLegacyRecord(const fs::path& folder) {
  std::string text = ReadText(folder / kBackupRecordName);
  const size_t mark = text.find("\nmodem ");
  ASSERT_NE(mark, std::string::npos);
  text.erase(mark + 1, text.find('\n', mark + 1) - mark);
  text.erase(text.rfind("end "));
  const auto crc = crc32(crc32(0, nullptr, 0), reinterpret_cast<const Bytef*>(text.data()), static_cast<uInt>(text.size()));
  char end[32];
  std::snprintf(end, sizeof end, "end %08lx\n", static_cast<unsigned long>(crc));
  std::ofstream(folder / kBackupRecordName, std::ios::binary | std::ios::trunc) << text << end;
}

TEST_F(BackupRecordTest, TheRecordSaysWhatBecameOfTheModemAndStaysChecked) {
  std::mt19937_64 pick(11);
  const fs::path folder = root_ / "SN[X]";
  MakeBackup(folder, pick());
  std::string why;
  ASSERT_TRUE(SealBackup(folder.string(), "X", "20261210-101010", why, ModemMark::Untouched)) << why;
  BackupContents sealed;
  ASSERT_TRUE(CheckBackupRecord(folder.string(), sealed, why)) << why;
  EXPECT_EQ(sealed.modem, ModemMark::Untouched);
  for (ModemMark mark : {ModemMark::Written, ModemMark::Finished, ModemMark::SetAside, ModemMark::Written}) {
    SCOPED_TRACE(ModemMarkName(mark));
    ASSERT_TRUE(MarkBackup(folder.string(), mark, why)) << why;
    BackupContents contents;
    ASSERT_TRUE(CheckBackupRecord(folder.string(), contents, why)) << why;
    EXPECT_EQ(contents.modem, mark);
    EXPECT_EQ(contents.files, sealed.files) << "the mark changes nothing else";
    EXPECT_EQ(contents.serial, "X");
  }

  // A record from before the mark may belong to the only copy of a modem's data.
  MakeLegacyRecord(folder);
  BackupContents legacy;
  ASSERT_TRUE(CheckBackupRecord(folder.string(), legacy, why)) << why;
  EXPECT_EQ(legacy.modem, ModemMark::Written);
  ASSERT_TRUE(MarkBackup(folder.string(), ModemMark::Finished, why)) << why;
  ASSERT_TRUE(CheckBackupRecord(folder.string(), legacy, why)) << why;
  EXPECT_EQ(legacy.modem, ModemMark::Finished);

  // A new record that a killed run left beside the old one is no file of the backup; anything
  // else beside it is.
  std::ofstream(folder / (std::string(kBackupRecordName) + ".00ff00ff00ff00ff")) << "half a record";
  EXPECT_TRUE(CheckBackupRecord(folder.string(), legacy, why)) << why;
  std::ofstream(folder / (std::string(kBackupRecordName) + ".new")) << "x";
  EXPECT_FALSE(CheckBackupRecord(folder.string(), legacy, why));
  EXPECT_THAT(why, HasSubstr("was added"));
}

TEST_F(BackupRecordTest, ADamagedRecordIsNeverMarked) {
  struct Case {
    const char* what;
    std::function<void(const fs::path& record)> spoil;
    const char* why;
  };
  const std::vector<Case> cases = {
      {"no record", [](const fs::path& r) { fs::remove(r); }, "no completion record"},
      {"a line added", [](const fs::path& r) { std::ofstream(r, std::ios::app) << "file 1 0 x\n"; }, "damaged"},
      {"an unknown mark",
       [](const fs::path& r) {
         std::string t = ReadText(r);
         t.replace(t.find("modem untouched"), 15, "modem whatever!");
         std::ofstream(r, std::ios::trunc) << t;
       },
       "damaged"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const fs::path folder = root_ / "SN[X]";
    fs::remove_all(folder);
    MakeBackup(folder, 5);
    std::string why;
    ASSERT_TRUE(SealBackup(folder.string(), "X", "20261210-101010", why, ModemMark::Untouched)) << why;
    c.spoil(folder / kBackupRecordName);
    const std::string before = ReadText(folder / kBackupRecordName);
    EXPECT_FALSE(MarkBackup(folder.string(), ModemMark::Written, why));
    EXPECT_THAT(why, HasSubstr(c.why));
    EXPECT_EQ(ReadText(folder / kBackupRecordName), before);
  }
}

TEST_F(BackupRecordTest, OnlyCompleteWrittenBackupsOfTheSerialNumberAwaitTheirRestore) {
  struct Backup {
    const char* folder;
    const char* created;
    std::optional<ModemMark> mark;  // none: never sealed
    bool awaits;
  };
  const std::vector<Backup> backups = {
      {"SN[A]", "20261210-101010", ModemMark::Written, true},
      {"SN[A].20261209-080000", "20261209-080000", ModemMark::Written, true},
      {"SN[A].20261208-080000", "20261208-080000", ModemMark::Untouched, false},
      {"SN[A].20261207-080000", "20261207-080000", ModemMark::Finished, false},
      {"SN[A].20261206-080000", "20261206-080000", ModemMark::SetAside, false},
      {"SN[A].20261205-080000", "", std::nullopt, false},
      {"SN[AB]", "20261201-080000", ModemMark::Written, false},
  };
  std::mt19937_64 pick(3);
  for (const auto& b : backups) {
    MakeBackup(root_ / b.folder, pick());
    std::string why;
    if (b.mark) {
      ASSERT_TRUE(SealBackup((root_ / b.folder).string(), "A", b.created, why, *b.mark)) << why;
    }
  }
  const auto waiting = BackupsAwaitingRestore(root_.string(), "SN[A].20990101-000000");
  ASSERT_EQ(waiting.size(), 2u);
  EXPECT_EQ(waiting[0].folder, "SN[A].20261209-080000") << "oldest first";
  EXPECT_EQ(waiting[1].folder, "SN[A]");
  for (const auto& listed : ListBackups(root_.string())) {
    const auto it = std::find_if(backups.begin(), backups.end(), [&](const Backup& b) { return listed.folder == b.folder; });
    ASSERT_NE(it, backups.end());
    EXPECT_EQ(listed.contents.modem, it->mark.value_or(ModemMark::Untouched)) << listed.folder;
  }
  EXPECT_EQ(DescribeModemMark(ModemMark::Written), "modem written, not restored");
  EXPECT_EQ(DescribeModemMark(ModemMark::Untouched), "modem not written");
}

}  // namespace
}  // namespace zovir::test
