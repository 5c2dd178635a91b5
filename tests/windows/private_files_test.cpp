// The tool's own files on Windows under wine: create modes, identities, locks that only
// lockers notice, atomic replacement, appends, private folders, and what is not a file.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "platform/private_files.h"
#include "platform/regular_file.h"
#include "platform/win32/private_files_win32.h"
#include "platform/win32/win32_text.h"
// After windows.h.
#include <aclapi.h>
#include <sddl.h>

namespace zovir {
namespace {

std::string ReadAll(const std::string& path) {
  FileHandle file = OpenRegularFile(path);
  EXPECT_TRUE(file) << path;
  std::string text(file ? file.Size().value_or(0) : 0, '\0');
  text.resize(file ? file.ReadFull(text.data(), text.size()) : 0);
  return text;
}

std::vector<std::string> Names(const std::string& folder) {
  std::vector<std::string> names;
  WIN32_FIND_DATAW found{};
  const HANDLE h = FindFirstFileW(win32::Wide(folder + "\\*").c_str(), &found);
  if (h == INVALID_HANDLE_VALUE) return names;
  do {
    const std::string name = win32::Utf8(found.cFileName, wcslen(found.cFileName));
    if (name != "." && name != "..") names.push_back(name);
  } while (FindNextFileW(h, &found));
  FindClose(h);
  return names;
}

// A scratch folder in the temporary folder, removed with what it holds.
class PrivateFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    dir_ = MakePrivateTempFolder(win32::Utf8(temp, wcslen(temp)) + "zovir-files-");
    ASSERT_FALSE(dir_.empty());
  }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(win32::Wide(dir_), ignored);
  }
  std::string At(const std::string& name) const { return dir_ + "\\" + name; }

  std::string dir_;
};

TEST_F(PrivateFiles, CreateModesKeepEmptyAppendOrRefuseWhatIsThere) {
  const std::string path = At("state");
  {
    FileHandle f = CreatePrivateFile(path, CreateMode::New);
    ASSERT_TRUE(f);
    ASSERT_TRUE(f.WriteAll("first"));
  }
  EXPECT_FALSE(CreatePrivateFile(path, CreateMode::New));
  EXPECT_EQ(errno, EEXIST);
  {
    FileHandle f = CreatePrivateFile(path, CreateMode::Keep);
    ASSERT_TRUE(f);
    char buf[8] = {};
    EXPECT_EQ(f.ReadFull(buf, sizeof buf), 5u);
  }
  {
    FileHandle f = CreatePrivateFile(path, CreateMode::Append);
    ASSERT_TRUE(f);
    ASSERT_TRUE(f.WriteAll(" second"));
  }
  EXPECT_EQ(ReadAll(path), "first second");
  {
    FileHandle f = CreatePrivateFile(path, CreateMode::Truncate);
    ASSERT_TRUE(f);
    EXPECT_EQ(f.Size(), 0u);
    ASSERT_TRUE(f.WriteAll("third"));
    EXPECT_TRUE(f.Sync());
    EXPECT_TRUE(f.Close());
  }
  EXPECT_EQ(ReadAll(path), "third");
  // A backup checks its files by reading them and flushes them through the same handles.
  EXPECT_TRUE(OpenRegularFile(path).Sync());
  EXPECT_TRUE(OpenNoFollow(path).Sync());
}

TEST_F(PrivateFiles, IdentitiesTellFilesApart) {
  FileHandle a = CreatePrivateFile(At("a"), CreateMode::New);
  FileHandle b = CreatePrivateFile(At("b"), CreateMode::New);
  FileHandle again = OpenNoFollow(At("a"));
  ASSERT_TRUE(a && b && again);
  EXPECT_EQ(a.Identity(), again.Identity());
  EXPECT_EQ(a.Identity(), IdentityAt(At("a")));
  EXPECT_NE(a.Identity(), b.Identity());
  EXPECT_FALSE(IdentityAt(At("missing")).has_value());
  EXPECT_EQ(errno, ENOENT);
}

TEST_F(PrivateFiles, ALockExcludesOtherLockersButNotReaders) {
  const std::string path = At("lock");
  FileHandle holder = CreatePrivateFile(path, CreateMode::New);
  ASSERT_TRUE(holder && holder.WriteAll("held"));
  ASSERT_TRUE(holder.Lock(false));
  FileHandle other = CreatePrivateFile(path, CreateMode::Keep);
  ASSERT_TRUE(other);
  EXPECT_FALSE(other.Lock(false));
  EXPECT_EQ(errno, EWOULDBLOCK);
  // The contents stay readable to everybody while the lock is held.
  EXPECT_EQ(ReadAll(path), "held");
  std::thread waiter([&] { EXPECT_TRUE(other.Lock(true)); });
  holder.Close();
  waiter.join();
}

TEST_F(PrivateFiles, AFolderLockSerialisesTheFilesOfOneFolder) {
  std::atomic<int> inside{0}, most{0};
  std::vector<std::thread> cycles;
  for (int t = 0; t < 4; ++t)
    cycles.emplace_back([&, t] {
      // Two spellings of one folder meet the same lock.
      const FolderLock lock(t % 2 ? At("Config.ini") : dir_ + "/./Config.ini");
      most = std::max(most.load(), ++inside);
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      --inside;
    });
  for (auto& c : cycles) c.join();
  EXPECT_EQ(most.load(), 1);
}

TEST_F(PrivateFiles, AtomicReplacementLeavesTheNewTextOrTheOld) {
  const std::string path = At("settings.ini");
  ASSERT_TRUE(WriteFileAtomically(path, "old", FileAccess::OwnerOnly));
  ASSERT_TRUE(WriteFileAtomically(path, "new"));
  EXPECT_EQ(ReadAll(path), "new");
  EXPECT_EQ(Names(dir_), std::vector<std::string>{"settings.ini"});
  EXPECT_FALSE(WriteFileAtomically(At("no-folder\\file"), "x"));
  EXPECT_EQ(errno, ENOENT);
  // A folder in the way: nothing replaced, no sibling left behind.
  ASSERT_TRUE(CreatePrivateFolder(At("taken")));
  EXPECT_FALSE(WriteFileAtomically(At("taken"), "x"));
  EXPECT_EQ(Names(dir_).size(), 2u);
}

// Programs that read a file without letting it be deleted (virus scanners, indexers) hold it
// for moments: a replacement waits for them; one held for good leaves the old text and no
// sibling. A reader of the tool's own lets it be replaced at once.
TEST_F(PrivateFiles, AReplacementWaitsForAReaderThatWillNotLetGo) {
  const std::string path = At("EncryptAT.bak");
  ASSERT_TRUE(WriteFileAtomically(path, "old", FileAccess::OwnerOnly));
  auto holdWithoutDeleteSharing = [&] {
    return win32::UniqueHandle(CreateFileW(win32::Wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  };

  win32::UniqueHandle scanner = holdWithoutDeleteSharing();
  ASSERT_TRUE(scanner.valid());
  std::atomic<bool> done{false};
  bool replaced = false;
  std::thread writer([&] {
    replaced = WriteFileAtomically(path, "new");
    done = true;
  });
  // Let the writer meet the scanner; it is still waiting when the scanner lets go.
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  EXPECT_FALSE(done);
  scanner.reset();
  writer.join();
  EXPECT_TRUE(replaced);
  EXPECT_EQ(ReadAll(path), "new");

  win32::UniqueHandle stubborn = holdWithoutDeleteSharing();
  ASSERT_TRUE(stubborn.valid());
  EXPECT_FALSE(WriteFileAtomically(path, "newer"));
  EXPECT_EQ(errno, EACCES);
  stubborn.reset();
  EXPECT_EQ(ReadAll(path), "new");
  EXPECT_EQ(Names(dir_), std::vector<std::string>{"EncryptAT.bak"});

  // A reader of the tool's own lets the file be deleted (or replaced) under it.
  std::FILE* reader = OpenStdioFile(path, "rb");
  ASSERT_NE(reader, nullptr);
  EXPECT_TRUE(DeleteFileW(win32::Wide(path).c_str())) << GetLastError();
  char first = 0;
  EXPECT_EQ(std::fread(&first, 1, 1, reader), 1u);
  EXPECT_EQ(first, 'n');
  std::fclose(reader);
  EXPECT_TRUE(Names(dir_).empty());
}

// Whose a folder is, from its owner and list. A folder an elevated run made belongs to the
// Administrators group, which the same user's normal run is not a member of: it is still the
// user's when its list names the user. (Wine keeps a list as permission bits and every owner
// as the user, so the descriptors are given here as written.)
TEST(FolderOwnership, AnAdministratorsFolderIsOursWhenItsListNamesUs) {
  HANDLE raw = nullptr;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw));
  const win32::UniqueHandle token(raw);
  BYTE info[512] = {};
  DWORD bytes = 0;
  ASSERT_TRUE(GetTokenInformation(token.get(), TokenUser, info, sizeof info, &bytes));
  LPWSTR text = nullptr;
  ASSERT_TRUE(ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(info)->User.Sid, &text));
  const std::wstring user = text;
  LocalFree(text);
  const std::wstring ours = L"(A;OICI;FA;;;" + user + L")";
  struct Case {
    std::wstring sddl;
    FolderState state;
  } cases[] = {
      {L"O:" + user + L"D:P" + ours, FolderState::Private},
      {L"O:BAD:P" + ours, FolderState::Private},
      {L"O:BAD:P" + ours + L"(A;OICI;0x1200a9;;;BU)", FolderState::OthersMayRead},
      {L"O:BAD:P" + ours + L"(A;OICI;FA;;;WD)", FolderState::OthersMayWrite},
      {L"O:BAD:P(A;OICI;FA;;;BA)", FolderState::Foreign},
      {L"O:BAD:P(A;OICI;FR;;;" + user + L")", FolderState::Foreign},
      {L"O:S-1-5-21-7-7-7-1001D:P" + ours, FolderState::Foreign},
      {L"O:" + user, FolderState::OthersMayWrite},
  };
  for (const auto& c : cases) {
    PSECURITY_DESCRIPTOR sd = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(c.sddl.c_str(), SDDL_REVISION_1, &sd, nullptr))
        << win32::Utf8(c.sddl);
    EXPECT_EQ(win32::FolderStateOfSecurity(sd), c.state) << win32::Utf8(c.sddl);
    LocalFree(sd);
  }
}

TEST_F(PrivateFiles, AppendedLinesOfManyWritersNeverMix) {
  const std::string path = At("run.log");
  std::vector<std::thread> writers;
  for (int w = 0; w < 4; ++w)
    writers.emplace_back([&, w] {
      for (int i = 0; i < 50; ++i) EXPECT_TRUE(AppendToFile(path, std::string(40, char('a' + w)) + "\r\n"));
    });
  for (auto& t : writers) t.join();
  const std::string text = ReadAll(path);
  ASSERT_EQ(text.size(), 4u * 50u * 42u);
  for (size_t at = 0; at < text.size(); at += 42)
    EXPECT_EQ(text.substr(at, 42), std::string(40, text[at]) + "\r\n") << at;
}

TEST_F(PrivateFiles, FoldersAreMadeAlongAPathAndNothingElseCounts) {
  const std::string deep = At("Backup\\SN[123]\\EFS");
  ASSERT_TRUE(CreatePrivateFolders(deep));
  EXPECT_TRUE(CreatePrivateFolders(deep));
  EXPECT_TRUE(CreatePrivateFolders(At("Backup/SN[123]/EFS/nv")));
  EXPECT_NE(InspectFolder(deep), FolderState::Missing);
  EXPECT_EQ(InspectFolder(At("none")), FolderState::Missing);

  ASSERT_TRUE(WriteFileAtomically(At("file"), "x"));
  EXPECT_EQ(InspectFolder(At("file")), FolderState::NotAFolder);
  EXPECT_FALSE(CreatePrivateFolder(At("file")));
  EXPECT_EQ(errno, ENOTDIR);
  std::string failedAt;
  EXPECT_FALSE(CreatePrivateFolders(At("file\\below"), &failedAt));
  EXPECT_EQ(errno, ENOTDIR);
  EXPECT_EQ(failedAt, At("file"));

  const std::string one = MakePrivateTempFolder(At("work-")), two = MakePrivateTempFolder(At("work-"));
  ASSERT_FALSE(one.empty());
  EXPECT_NE(one, two);
  EXPECT_EQ(one.size(), At("work-").size() + 6);
}

TEST_F(PrivateFiles, OnlyRegularFilesAreRead) {
  ASSERT_TRUE(WriteFileAtomically(At("Config.ini"), "[Project]\r\n"));
  FileHandle file = OpenRegularFile(At("Config.ini"));
  ASSERT_TRUE(file);
  EXPECT_TRUE(file.IsRegular());
  EXPECT_EQ(file.Size(), 11u);
  struct Case {
    std::string path;
    int error;
  } cases[] = {{At("missing.ini"), ENOENT}, {dir_, EINVAL},          {"NUL", EINVAL},
               {At("COM9.mbn"), EINVAL},    {"\\\\.\\COM9", EINVAL}, {At("lpt1"), EINVAL}};
  for (const auto& c : cases) {
    EXPECT_FALSE(OpenRegularFile(c.path)) << c.path;
    EXPECT_EQ(errno, c.error) << c.path;
  }
  // Device names are never opened through stdio either.
  EXPECT_EQ(OpenStdioFile(At("COM9.mbn"), "rb"), nullptr);
  EXPECT_FALSE(CreatePrivateFile(dir_, CreateMode::Keep));
}

// Wine keeps an access list as the Linux permission bits of the file, so what it reports is
// the list those bits give back: the user and the system, and everybody when others may read.
std::vector<std::string> Grantees(const std::string& path) {
  PACL acl = nullptr;
  PSECURITY_DESCRIPTOR sd = nullptr;
  std::vector<std::string> sids;
  if (GetNamedSecurityInfoW(win32::Wide(path).c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                            &acl, nullptr, &sd) != ERROR_SUCCESS)
    return {"unreadable"};
  for (DWORD i = 0; acl != nullptr && i < acl->AceCount; ++i) {
    void* ace = nullptr;
    LPWSTR text = nullptr;
    if (GetAce(acl, i, &ace) && ConvertSidToStringSidW(&static_cast<ACCESS_ALLOWED_ACE*>(ace)->SidStart, &text)) {
      sids.push_back(win32::Utf8(text, wcslen(text)));
      LocalFree(text);
    }
  }
  LocalFree(sd);
  return sids;
}

TEST_F(PrivateFiles, OwnFilesAndFoldersListTheUserAndTheSystemOnly) {
  ASSERT_TRUE(WriteFileAtomically(At("EncryptAT.bak"), "secret", FileAccess::OwnerOnly));
  ASSERT_TRUE(CreatePrivateFolder(At("Backup")));
  for (const std::string& path : {At("EncryptAT.bak"), At("Backup"), dir_}) {
    for (const std::string& sid : Grantees(path)) {
      EXPECT_TRUE(sid == "S-1-5-18" || sid.rfind("S-1-5-21-", 0) == 0) << path << ": " << sid;
    }
  }
  EXPECT_EQ(InspectFolder(dir_), FolderState::Private);
  // The temporary folder itself lets everybody look.
  EXPECT_EQ(InspectFolder(dir_.substr(0, dir_.rfind('\\'))), FolderState::OthersMayRead);
}

}  // namespace
}  // namespace zovir
