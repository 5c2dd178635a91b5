#include "platform/private_files.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "support/scratch_dir.h"

namespace zovir {
namespace {

namespace fs = std::filesystem;
using test::ReadAll;
using test::ScratchDir;

mode_t ModeOf(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

// What is already at the path decides; a link or anything but a file is never written through.
TEST(PrivateFiles, CreateRespectsWhatIsThere) {
  ScratchDir dir;
  enum class There { Nothing, OpenFile, Link, Folder, Fifo };
  struct Case {
    const char* name;
    There there;
    CreateMode mode;
    FileAccess access;
    int error;  // 0: created
    std::string contents;  // after writing "new" (when created)
    mode_t expected;
  } cases[] = {
      {"new file", There::Nothing, CreateMode::New, FileAccess::OwnerOnly, 0, "new", 0600},
      {"new refuses an old file", There::OpenFile, CreateMode::New, FileAccess::OwnerOnly, EEXIST, "", 0},
      {"new refuses a link", There::Link, CreateMode::New, FileAccess::OwnerOnly, EEXIST, "", 0},
      {"truncate narrows an old file", There::OpenFile, CreateMode::Truncate, FileAccess::OwnerOnly, 0, "new", 0600},
      {"truncate refuses a link", There::Link, CreateMode::Truncate, FileAccess::OwnerOnly, ELOOP, "", 0},
      {"truncate refuses a folder", There::Folder, CreateMode::Truncate, FileAccess::OwnerOnly, EISDIR, "", 0},
      {"truncate refuses a pipe", There::Fifo, CreateMode::Truncate, FileAccess::OwnerOnly, EINVAL, "", 0},
      {"keep keeps the contents", There::OpenFile, CreateMode::Keep, FileAccess::OwnerOnly, 0, "newer", 0600},
      {"append adds to the end", There::OpenFile, CreateMode::Append, FileAccess::OwnerOnly, 0, "oldernew", 0600},
      {"append refuses a link", There::Link, CreateMode::Append, FileAccess::OwnerOnly, ELOOP, "", 0},
      {"program", There::Nothing, CreateMode::Truncate, FileAccess::OwnerProgram, 0, "new", 0700},
      {"inherit is private too", There::OpenFile, CreateMode::Truncate, FileAccess::Inherit, 0, "new", 0600},
  };
  const std::string target = dir.File("target", "secret");
  ::chmod(target.c_str(), 0644);
  for (const Case& c : cases) {
    const std::string path = dir.Sub(c.name);
    switch (c.there) {
      case There::Nothing: break;
      case There::OpenFile:
        dir.File(c.name, "older");
        ::chmod(path.c_str(), 0644);
        break;
      case There::Link: fs::create_symlink(target, path); break;
      case There::Folder: fs::create_directory(path); break;
      case There::Fifo: ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0); break;
    }
    errno = 0;
    FileHandle file = CreatePrivateFile(path, c.mode, c.access);
    EXPECT_EQ(file.IsOpen() ? 0 : errno, c.error) << c.name;
    if (!file) continue;
    EXPECT_TRUE(file.WriteAll("new")) << c.name;
    EXPECT_TRUE(file.Close()) << c.name;
    EXPECT_EQ(ReadAll(path), c.contents) << c.name;
    EXPECT_EQ(ModeOf(path), c.expected) << c.name;
  }
  EXPECT_EQ(ReadAll(target), "secret");
  EXPECT_EQ(ModeOf(target), 0644u);
}

TEST(PrivateFiles, OpenNoFollowReadsFilesButNotLinks) {
  ScratchDir dir;
  const std::string file = dir.File("file", "abc");
  fs::create_symlink(file, dir.Sub("link"));
  FileHandle f = OpenNoFollow(file);
  ASSERT_TRUE(f);
  char text[8] = {};
  EXPECT_EQ(f.ReadFull(text, sizeof text), 3u);
  EXPECT_EQ(std::string(text), "abc");
  EXPECT_EQ(f.Size(), 3u);
  errno = 0;
  EXPECT_FALSE(OpenNoFollow(dir.Sub("link")));
  EXPECT_EQ(errno, ELOOP);
}

TEST(PrivateFiles, IdentityTellsOneFileFromAnother) {
  ScratchDir dir;
  const std::string a = dir.File("a", "1"), b = dir.File("b", "1");
  fs::create_symlink(a, dir.Sub("link"));
  FileHandle a1 = OpenNoFollow(a), a2 = OpenNoFollow(a), b1 = OpenNoFollow(b);
  ASSERT_TRUE(a1 && a2 && b1);
  EXPECT_EQ(a1.Identity(), a2.Identity());
  EXPECT_NE(a1.Identity(), b1.Identity());
  EXPECT_EQ(IdentityAt(a), a1.Identity());
  EXPECT_NE(IdentityAt(dir.Sub("link")), a1.Identity());  // the link itself, not its target
  EXPECT_EQ(IdentityAt(dir.Sub("missing")), std::nullopt);
  // A file replaced under its name is another file, though the name is the same.
  fs::remove(a);
  dir.File("a", "1");
  EXPECT_NE(IdentityAt(a), a1.Identity());
}

TEST(PrivateFiles, LockExcludesEveryOtherHandleUntilClosed) {
  ScratchDir dir;
  const std::string path = dir.Sub("lock");
  FileHandle first = CreatePrivateFile(path, CreateMode::Keep);
  FileHandle second = CreatePrivateFile(path, CreateMode::Keep);
  ASSERT_TRUE(first && second);
  ASSERT_TRUE(first.Lock(false));
  errno = 0;
  EXPECT_FALSE(second.Lock(false));
  EXPECT_EQ(errno, EWOULDBLOCK);
  // A read-only handle (how a cleaner tests whether the owner is gone) is excluded as well.
  FileHandle reader = OpenNoFollow(path);
  EXPECT_FALSE(reader.Lock(false));
  first.Close();
  EXPECT_TRUE(second.Lock(false));
}

TEST(PrivateFiles, AtomicWriteReplacesWholeOrNotAtAll) {
  ScratchDir dir;
  const std::string path = dir.File("settings", "old");
  ASSERT_TRUE(WriteFileAtomically(path, "new", FileAccess::OwnerOnly));
  EXPECT_EQ(ReadAll(path), "new");
  EXPECT_EQ(ModeOf(path), 0600u);

  // A folder in the way cannot be replaced: it stays as it was and no sibling is left.
  const std::string folder = dir.Sub("folder");
  dir.File("folder/inside", "kept");
  errno = 0;
  EXPECT_FALSE(WriteFileAtomically(folder, "new", FileAccess::OwnerOnly));
  EXPECT_NE(errno, 0);
  EXPECT_EQ(ReadAll(folder + "/inside"), "kept");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), {}), 2);

  // A link is replaced itself; what it pointed at is untouched.
  const std::string target = dir.File("target", "secret");
  fs::create_symlink(target, dir.Sub("link"));
  ASSERT_TRUE(WriteFileAtomically(dir.Sub("link"), "new", FileAccess::OwnerOnly));
  EXPECT_EQ(ReadAll(target), "secret");
  EXPECT_FALSE(fs::is_symlink(dir.Sub("link")));
}

TEST(PrivateFiles, AppendAddsWholeLinesAndRefusesLinks) {
  ScratchDir dir;
  const std::string log = dir.Sub("history");
  ASSERT_TRUE(AppendToFile(log, "one\n"));
  ASSERT_TRUE(AppendToFile(log, "two\n"));
  EXPECT_EQ(ReadAll(log), "one\ntwo\n");
  EXPECT_EQ(ModeOf(log), 0600u);
  const std::string target = dir.File("target", "secret");
  fs::create_symlink(target, dir.Sub("link"));
  EXPECT_FALSE(AppendToFile(dir.Sub("link"), "three\n"));
  EXPECT_EQ(ReadAll(target), "secret");
}

// A folder that will hold private files is accepted only when it is one; a folder of the
// user's that others may use is narrowed, anything else is refused and left alone.
TEST(PrivateFiles, PrivateFolderAcceptsOnlyARealFolderOfTheUsers) {
  ScratchDir dir;
  const std::string elsewhere = dir.Sub("elsewhere");
  fs::create_directory(elsewhere);
  ::chmod(elsewhere.c_str(), 0755);
  enum class There { Nothing, OpenFolder, ReadableFolder, PrivateFolder, LinkToFolder, File, Foreign };
  struct Case {
    const char* name;
    There there;
    FolderState before;
    int error;  // 0: accepted, then 0700
  } cases[] = {
      {"missing", There::Nothing, FolderState::Missing, 0},
      {"open to others", There::OpenFolder, FolderState::OthersMayWrite, 0},
      {"readable by others", There::ReadableFolder, FolderState::OthersMayRead, 0},
      {"private", There::PrivateFolder, FolderState::Private, 0},
      {"link to a folder", There::LinkToFolder, FolderState::NotAFolder, ENOTDIR},
      {"file", There::File, FolderState::NotAFolder, ENOTDIR},
      {"another user's", There::Foreign, FolderState::Foreign, EACCES},
  };
  for (const Case& c : cases) {
    const std::string path = dir.Sub(c.name);
    switch (c.there) {
      case There::Nothing: break;
      case There::OpenFolder: fs::create_directory(path); ::chmod(path.c_str(), 0777); break;
      case There::ReadableFolder: fs::create_directory(path); ::chmod(path.c_str(), 0755); break;
      case There::PrivateFolder: fs::create_directory(path); ::chmod(path.c_str(), 0700); break;
      case There::LinkToFolder: fs::create_directory_symlink(elsewhere, path); break;
      case There::File: dir.File(c.name, "x"); break;
      case There::Foreign:
        // Only the superuser can give a folder away (CI runs as root).
        fs::create_directory(path);
        if (::geteuid() != 0 || ::chown(path.c_str(), 65534, 65534) != 0) continue;
        break;
    }
    EXPECT_EQ(InspectFolder(path), c.before) << c.name;
    errno = 0;
    EXPECT_EQ(CreatePrivateFolder(path) ? 0 : errno, c.error) << c.name;
    if (c.error == 0) {
      EXPECT_EQ(InspectFolder(path), FolderState::Private) << c.name;
      EXPECT_EQ(ModeOf(path), 0700u) << c.name;
    }
  }
  EXPECT_EQ(ModeOf(elsewhere), 0755u);
}

TEST(PrivateFiles, FolderPathsAreMadePrivateAndExistingOnesLeftAlone) {
  ScratchDir dir;
  const std::string shared = dir.Sub("shared");
  fs::create_directory(shared);
  ::chmod(shared.c_str(), 01777);
  const std::string deep = shared + "/a/b/c";
  ASSERT_TRUE(CreatePrivateFolders(deep + "/"));
  EXPECT_EQ(ModeOf(shared), 01777u);
  for (const std::string& p : {shared + "/a", shared + "/a/b", deep}) EXPECT_EQ(ModeOf(p), 0700u) << p;
  ASSERT_TRUE(CreatePrivateFolders(deep));

  dir.File("shared/file", "x");
  errno = 0;
  EXPECT_FALSE(CreatePrivateFolders(shared + "/file/below"));
  EXPECT_EQ(errno, ENOTDIR);
}

TEST(PrivateFiles, TempFoldersAreNewAndPrivate) {
  ScratchDir dir;
  const std::string prefix = dir.Sub("session-");
  const std::string a = MakePrivateTempFolder(prefix), b = MakePrivateTempFolder(prefix);
  ASSERT_FALSE(a.empty());
  ASSERT_FALSE(b.empty());
  EXPECT_NE(a, b);
  EXPECT_EQ(a.size(), prefix.size() + 6);
  EXPECT_EQ(a.compare(0, prefix.size(), prefix), 0);
  EXPECT_EQ(InspectFolder(a), FolderState::Private);
  EXPECT_TRUE(MakePrivateTempFolder(dir.Sub("missing/session-")).empty());
}

}  // namespace
}  // namespace zovir
