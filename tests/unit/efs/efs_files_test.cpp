// EFS2 requests, the replies they take, and the file and folder operations against the
// virtual modem's EFS responder on a scripted port.
#include <gmock/gmock.h>

#include <cerrno>
#include <set>

#include "link/crc16.h"
#include "preservation/local_folders.h"
#include "unit/efs/efs_fixture.h"

namespace zovir::test {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

using Bytes = std::vector<uint8_t>;

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}
Bytes Le(uint32_t v) { return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)}; }
Bytes Text(const std::string& s, bool nul = true) {
  Bytes b(s.begin(), s.end());
  if (nul) b.push_back(0);
  return b;
}

TEST(EfsRequestsTest, RequestBytes) {
  const Bytes data{0x7E, 0x01};
  struct Case {
    const char* name;
    Bytes built;
    Bytes expected;
  } cases[] = {
      {"stat", EfsRequests::Stat("data/a"), Cat({{0x4B, 0x13, 0x0F, 0x00}, Text("data/a")})},
      {"open for reading", EfsRequests::OpenForRead("/a"),
       Cat({{0x4B, 0x13, 0x02, 0x00, 0, 0, 0, 0, 0x24, 0x01, 0, 0}, Text("/a")})},
      {"open for writing", EfsRequests::OpenForWrite("/a"),
       Cat({{0x4B, 0x13, 0x02, 0x00, 0x41, 0x02, 0, 0, 0xB6, 0x01, 0, 0}, Text("/a")})},
      {"read", EfsRequests::Read(0x0400),
       {0x4B, 0x13, 0x04, 0x00, 0, 0, 0, 0, 0x00, 0x02, 0, 0, 0x00, 0x04, 0, 0}},
      {"write", EfsRequests::Write(1488, data.data(), 2),
       {0x4B, 0x13, 0x05, 0x00, 0, 0, 0, 0, 0xD0, 0x05, 0, 0, 0x7E, 0x01}},
      {"close", EfsRequests::Close(), {0x4B, 0x13, 0x03, 0x00, 0, 0, 0, 0}},
      {"mkdir", EfsRequests::Mkdir("d"), Cat({{0x4B, 0x13, 0x09, 0x00, 0xFF, 0x01}, Text("d")})},
      {"opendir", EfsRequests::Opendir("d"), Cat({{0x4B, 0x13, 0x0B, 0x00}, Text("d")})},
      // The whole 32-bit sequence number: entry 256 is not entry 0 again.
      {"readdir", EfsRequests::Readdir(1, 0x0100), {0x4B, 0x13, 0x0C, 0x00, 1, 0, 0, 0, 0x00, 0x01, 0, 0}},
      {"closedir", EfsRequests::Closedir(1), {0x4B, 0x13, 0x0D, 0x00, 1, 0, 0, 0}},
      {"file-system query", EfsRequests::Statfs(), {0x4B, 0x13, 0x13, 0x00, 0x00}},
  };
  for (const auto& c : cases) EXPECT_EQ(c.built, c.expected) << c.name;
}

// A reply as the EFS receive leaves it: payload, two check bytes, closing flag.
struct Received {
  explicit Received(Bytes payload) : bytes(std::move(payload)) {
    const uint16_t crc = Crc16X25(bytes.data(), bytes.size());
    bytes.push_back(uint8_t(crc));
    bytes.push_back(uint8_t(crc >> 8));
    bytes.push_back(0x7E);
  }
  EfsReply reply() const { return {bytes.data(), static_cast<uint32_t>(bytes.size())}; }
  Bytes bytes;
};

Bytes H(uint8_t code) { return {0x4B, 0x13, code, 0x00}; }
Bytes Stat(uint32_t err, uint32_t mode, uint32_t size, uint32_t links) {
  return Cat({H(0x0F), Le(err), Le(mode), Le(size), Le(links), Le(0), Le(0), Le(0)});
}
Bytes Shorter(Bytes b) {
  b.pop_back();
  return b;
}
Bytes ReadReply(uint32_t offset, uint32_t n, uint32_t err, size_t dataBytes) {
  return Cat({H(0x04), Le(0), Le(offset), Le(n), Le(err), Bytes(dataBytes, 0x5A)});
}
Bytes Entry(uint32_t dirp, uint32_t seq, uint32_t err, const std::string& name, bool nul = true) {
  return Cat({H(0x0C), Le(dirp), Le(seq), Le(err), Le(0), Le(0100666), Le(1), Le(0), Le(0), Le(0), Text(name, nul)});
}

TEST(EfsRequestsTest, AcceptedReplies) {
  using R = EfsReplyRules;
  using Rule = std::function<bool(const EfsReply&)>;
  struct Case {
    const char* name;
    Rule rule;
    Bytes payload;
    bool accepted;
  } cases[] = {
      {"stat of a plain file", R::StatPlainFile, Stat(0, 0100666, 10, 1), true},
      {"stat of a folder", R::StatPlainFile, Stat(0, 040777, 0, 2), false},
      {"stat with an error", R::StatPlainFile, Stat(2, 0, 0, 0), false},
      {"stat one byte short", R::StatAnswered, Shorter(Stat(0, 0100666, 1, 1)), false},
      {"stat of another command", R::StatAnswered, Cat({H(0x0E), Bytes(28, 0)}), false},
      {"DIAG error reply", R::StatAnswered, Cat({{0x13}, H(0x0F), Bytes(28, 0)}), false},
      {"open: descriptor 0", R::OpenedForRead, Cat({H(0x02), Le(0), Le(0)}), true},
      {"open: descriptor 1", R::OpenedForRead, Cat({H(0x02), Le(1), Le(0)}), false},
      {"open: failed", R::OpenedForWrite, Cat({H(0x02), Le(0xFFFFFFFF), Le(2)}), false},
      {"open: errno set", R::OpenedForWrite, Cat({H(0x02), Le(0), Le(28)}), false},
      {"close", R::Closed, Cat({H(0x03), Le(0)}), true},
      {"close: bad descriptor", R::Closed, Cat({H(0x03), Le(9)}), false},
      {"mkdir: made", R::DirMade, Cat({H(0x09), Le(0)}), true},
      {"mkdir: there already (17)", R::DirMade, Cat({H(0x09), Le(17)}), true},
      {"mkdir: there already (6)", R::DirMade, Cat({H(0x09), Le(6)}), true},
      {"mkdir: no parent", R::DirMade, Cat({H(0x09), Le(2)}), false},
      {"opendir: handle 1", R::DirOpened, Cat({H(0x0B), Le(1), Le(0)}), true},
      {"opendir: no handle", R::DirOpened, Cat({H(0x0B), Le(0), Le(2)}), false},
      {"file-system query", R::StatfsAnswered, Cat({H(0x13), Le(0), Bytes(40, 1)}), true},
      {"file-system query failed", R::StatfsAnswered, Cat({H(0x13), Le(5), Bytes(40, 1)}), false},
  };
  for (const auto& c : cases) EXPECT_EQ(c.rule(Received(c.payload).reply()), c.accepted) << c.name;

  struct Block {
    const char* name;
    Bytes payload;
    bool accepted;
  } reads[] = {
      {"full block", ReadReply(512, 512, 0, 512), true},
      {"offset of another block", ReadReply(0, 512, 0, 512), false},
      {"short read", ReadReply(512, 100, 0, 100), false},
      {"count says more than came", ReadReply(512, 512, 0, 511), false},
      {"errno set", ReadReply(512, 512, 5, 512), false},
  };
  for (const auto& c : reads) EXPECT_EQ(R::ReadBlock(Received(c.payload).reply(), 512, 512), c.accepted) << c.name;

  EXPECT_TRUE(R::Written(Received(Cat({H(0x05), Le(0), Le(1488), Le(100), Le(0)})).reply(), 1488, 100));
  EXPECT_FALSE(R::Written(Received(Cat({H(0x05), Le(0), Le(1488), Le(99), Le(0)})).reply(), 1488, 100)) << "partial";
  EXPECT_FALSE(R::Written(Received(Cat({H(0x05), Le(0), Le(1488), Le(100), Le(28)})).reply(), 1488, 100)) << "full";

  EXPECT_TRUE(R::DirEntry(Received(Entry(1, 300, 0, "a")).reply(), 1, 300));
  EXPECT_FALSE(R::DirEntry(Received(Entry(1, 44, 0, "a")).reply(), 1, 300)) << "other sequence";
  EXPECT_FALSE(R::DirEntry(Received(Entry(2, 300, 0, "a")).reply(), 1, 300)) << "other folder";
  EXPECT_FALSE(R::DirEntry(Received(Entry(1, 300, 9, "a")).reply(), 1, 300)) << "errno";
  EXPECT_FALSE(R::DirEntry(Received(Entry(1, 300, 0, "abc", false)).reply(), 1, 300)) << "unterminated name";
}

class EfsFilesTest : public EfsFixture {
 protected:
  EFSFiles efs{core, link};
};

TEST_F(EfsFilesTest, AbsentOnlyWhenTheModemSaysNoSuchFile) {
  state.SetEfsFile("/data/here", Bytes{1});
  EXPECT_FALSE(efs.IsEFSFileAbsent("/data/here"));
  EXPECT_TRUE(efs.IsEFSFileAbsent("/data/gone"));
  // A modem that does not understand the command says nothing about the file.
  intercept = [](const Bytes& r) -> std::optional<Bytes> { return Cat({{0x13}, r}); };
  EXPECT_FALSE(efs.IsEFSFileAbsent("/data/gone"));
  EXPECT_EQ(RequestsOf(EfsCommand::Stat).size(), 2u + EFSFiles::kAbsentAttempts);
  EXPECT_THAT(errors, IsEmpty());
}

TEST_F(EfsFilesTest, EmptyFileNeedsNoOpenAndNoRead) {
  state.SetEfsFile("/data/empty", {});
  uint32_t size = 99;
  ASSERT_EQ(efs.EFSFileSizeAndOpen("/data/empty", size), 0);
  EXPECT_EQ(size, 0u);
  ASSERT_EQ(efs.EFSReadFileToLocal(mirror + "/empty", size, mirror), 0);
  EXPECT_TRUE(std::filesystem::is_regular_file(mirror + "/empty"));
  EXPECT_EQ(std::filesystem::file_size(mirror + "/empty"), 0u);
  EXPECT_THAT(RequestsOf(EfsCommand::Open), IsEmpty());
  EXPECT_THAT(RequestsOf(EfsCommand::Read), IsEmpty());
}

TEST_F(EfsFilesTest, ReadsInBlocksOf512) {
  const Bytes content = Pattern(1025);
  state.SetEfsFile("/data/f", content);
  uint32_t size = 0;
  ASSERT_EQ(efs.EFSFileSizeAndOpen("data/f", size), 0);
  EXPECT_EQ(size, 1025u);
  ASSERT_EQ(efs.EFSReadFileToLocal(mirror + "/f", size, mirror), 0);
  EXPECT_THAT(FieldOf(EfsCommand::Read, 12), ElementsAre(0u, 512u, 1024u));
  EXPECT_EQ(ReadFile(mirror + "/f"), content);
  EXPECT_EQ(efs.EFSCloseFile(), 0);
  EXPECT_TRUE(Logged("Downloading Part of EFS..."));
  EXPECT_TRUE(Logged("f downloading, "));
}

TEST_F(EfsFilesTest, AWrongBlockIsAskedForAgain) {
  const Bytes content = Pattern(700);
  state.SetEfsFile("/f", content);
  int misses = 2;
  intercept = [&](const Bytes& r) -> std::optional<Bytes> {
    if (CommandOf(r) != 0x0004 || U32(r, 12) != 512 || misses-- <= 0) return std::nullopt;
    // The block of another offset, then a short one: neither may land in the file.
    return misses == 1 ? ReadReply(0, 188, 0, 188) : ReadReply(512, 100, 0, 100);
  };
  uint32_t size = 0;
  ASSERT_EQ(efs.EFSFileSizeAndOpen("/f", size), 0);
  ASSERT_EQ(efs.EFSReadFileToLocal(mirror + "/f", size, mirror), 0);
  EXPECT_EQ(ReadFile(mirror + "/f"), content);
  EXPECT_THAT(FieldOf(EfsCommand::Read, 12), ElementsAre(0u, 512u, 512u, 512u));
}

TEST_F(EfsFilesTest, ReadGivesUpAfterTenAttempts) {
  state.SetEfsFile("/f", Pattern(10));
  intercept = [](const Bytes& r) -> std::optional<Bytes> {
    if (CommandOf(r) == 0x0004) return ReadReply(0, 10, 5, 10);
    return std::nullopt;
  };
  uint32_t size = 0;
  ASSERT_EQ(efs.EFSFileSizeAndOpen("/f", size), 0);
  EXPECT_EQ(efs.EFSReadFileToLocal(mirror + "/f", size, mirror), 1);
  EXPECT_EQ(RequestsOf(EfsCommand::Read).size(), static_cast<size_t>(EFSFiles::kReadAttempts));
}

TEST_F(EfsFilesTest, FoldersMissingAndHugeFilesAreNotOpened) {
  state.MakeEfsDir("/data/sub");
  intercept = [](const Bytes& r) -> std::optional<Bytes> {
    if (CommandOf(r) == 0x000F && r[4] == 'h') return Stat(0, 0100666, 0x80000000u, 1);
    return std::nullopt;
  };
  uint32_t size = 0;
  EXPECT_EQ(efs.EFSFileSizeAndOpen("/data/sub", size), 1);
  EXPECT_EQ(efs.EFSFileSizeAndOpen("/data/none", size), 1);
  EXPECT_EQ(efs.EFSFileSizeAndOpen("huge", size), 1);
  EXPECT_TRUE(Logged("EFS file too large to keep: huge (2147483648 bytes)"));
  EXPECT_THAT(RequestsOf(EfsCommand::Open), IsEmpty());
  EXPECT_THAT(errors, IsEmpty());
}

TEST_F(EfsFilesTest, LocalFileOnlyInsideTheMirror) {
  state.SetEfsFile("/f", Pattern(10));
  uint32_t size = 0;
  ASSERT_EQ(efs.EFSFileSizeAndOpen("/f", size), 0);
  const std::string outside = root + "/outside";
  std::filesystem::create_directories(root + "/elsewhere");
  std::filesystem::create_symlink(root + "/elsewhere", mirror + "/link");
  for (const std::string& target : {outside, mirror + "/../escape", mirror + "/link/f", mirror}) {
    errors.clear();
    core.ErrorCode = 0;
    EXPECT_EQ(efs.EFSReadFileToLocal(target, size, mirror), 1) << target;
    EXPECT_EQ(Error(), ErrorText("Could not open file:" + target, EACCES)) << target;
  }
  EXPECT_FALSE(std::filesystem::exists(outside));
  EXPECT_FALSE(std::filesystem::exists(core.run.BackupFolder + "/escape"));
  EXPECT_TRUE(std::filesystem::is_empty(root + "/elsewhere"));
}

TEST_F(EfsFilesTest, WritesInBlocksOf1488) {
  const Bytes content = Pattern(1488 * 2);
  WriteFile(mirror + "/up", content);
  ASSERT_EQ(efs.EFSOpenForWrite("/data/up"), 1) << "no folder /data on the modem yet";
  ASSERT_EQ(efs.EFSMakeDir("/data"), 0);
  ASSERT_EQ(efs.EFSMakeDir("/data"), 0) << "a folder that is there counts as made";
  ASSERT_EQ(efs.EFSOpenForWrite("/data/up"), 0);
  ASSERT_EQ(efs.EFSUploadFile(mirror + "/up", static_cast<uint32_t>(content.size())), 0);
  ASSERT_EQ(efs.EFSCloseFile(), 0);
  EXPECT_THAT(FieldOf(EfsCommand::Write, 8), ElementsAre(0u, 1488u));
  EXPECT_EQ(state.EfsFile("/data/up"), content);
  EXPECT_TRUE(Logged("Downloading D030......"));
  EXPECT_TRUE(Logged("Downloading D031......"));
  EXPECT_THAT(errors, IsEmpty());
}

TEST_F(EfsFilesTest, ABlockTheModemKeepsRefusingEndsTheUpload) {
  WriteFile(mirror + "/big.bin", Pattern(2000));
  state.MakeEfsDir("/d");
  ASSERT_EQ(efs.EFSOpenForWrite("/d/big.bin"), 0);
  intercept = [](const Bytes& r) -> std::optional<Bytes> {
    if (CommandOf(r) == 0x0005) return Cat({H(0x05), Le(0), Le(U32(r, 8)), Le(0xFFFFFFFF), Le(28)});
    return std::nullopt;
  };
  EXPECT_EQ(efs.EFSUploadFile(mirror + "/big.bin", 2000), 1);
  EXPECT_EQ(RequestsOf(EfsCommand::Write).size(), 3u * EFSFiles::kLongAttempts);
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "Re-Downloading D032......"), 2);
  EXPECT_EQ(Error(), ErrorText("big.bin, fail to write block 0 of 1"));
}

TEST_F(EfsFilesTest, MissingLocalFileIsAnError) {
  EXPECT_EQ(efs.EFSUploadFile(mirror + "/none", 10), 1);
  EXPECT_EQ(Error(), ErrorText("Could not open BIN file: " + mirror + "/none", ENOENT));
  EXPECT_THAT(RequestsOf(EfsCommand::Write), IsEmpty());
}

TEST_F(EfsFilesTest, ListsFoldersRecursivelyInListingOrder) {
  state.SetEfsFile("/data/a.txt", Bytes{1});
  state.SetEfsFile("/data/sub/b.txt", Bytes{2});
  state.SetEfsFile("/data/sub/deeper/c.txt", Bytes{3});
  state.MakeEfsDir("/data/empty");
  ASSERT_EQ(efs.EFSEnumDir("/data"), 0);
  EXPECT_THAT(efs.EFSDirList, ElementsAre("data/empty", "data/sub", "data/sub/deeper"));
  EXPECT_THAT(efs.EFSFileList, ElementsAre("data/a.txt", "data/sub/b.txt", "data/sub/deeper/c.txt"));
  EXPECT_TRUE(Logged("Enum dir:/data"));
  EXPECT_EQ(RequestsOf(EfsCommand::Opendir).size(), RequestsOf(EfsCommand::Closedir).size());
  EXPECT_EQ(efs.EFSEnumDir("/nothing"), 1);
}

// Only "no such file or folder" says a folder is absent. Any other refusal may come from a
// folder full of files: it is asked again, and if it stays refused the listing is reported
// broken (which stops the update before the erase) instead of the folder being skipped.
TEST_F(EfsFilesTest, OnlyNoSuchFolderMakesAFolderAbsent) {
  struct Case {
    uint32_t error;    // errno of the opendir reply
    int refusals;      // how many opendir requests are refused before the modem's own answer
    int result;
  };
  const Case cases[] = {
      {2, 99, 1},                               // no such folder: absent at once
      {13, 99, 2},                              // permission denied, for good
      {5, 1, 0},                                // an I/O error once, then the folder is listed
      {24, EFSFiles::kOpendirAttempts, 2},      // too many open files, as often as we ask
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.error);
    requests.clear();
    state.SetEfsFile("/keep/a.txt", Bytes{1});
    efs.EFSDirList.clear();
    efs.EFSFileList.clear();
    int refused = 0;
    intercept = [&](const Bytes& r) -> std::optional<Bytes> {
      if (CommandOf(r) != 0x000B || refused >= c.refusals) return std::nullopt;
      ++refused;
      return Cat({{0x4B, 0x13, 0x0B, 0x00}, Le(0), Le(c.error)});
    };
    EXPECT_EQ(efs.EFSEnumDir("/keep"), c.result);
    const size_t asked = RequestsOf(EfsCommand::Opendir).size();
    EXPECT_EQ(asked, c.error == 2 ? 1u : std::min<size_t>(c.refusals + 1, EFSFiles::kOpendirAttempts));
    if (c.result == 0) {
      EXPECT_THAT(efs.EFSFileList, ElementsAre("keep/a.txt"));
    }
  }
  EXPECT_THAT(errors, IsEmpty());
}

TEST_F(EfsFilesTest, AFileWithoutPermissionsDoesNotEndTheListing) {
  state.MakeEfsDir("/d");
  intercept = [](const Bytes& r) -> std::optional<Bytes> {
    if (CommandOf(r) != 0x000C) return std::nullopt;
    const uint32_t seq = U32(r, 8);
    const uint32_t mode = seq == 1 ? 0100000 : seq == 2 ? 0100400 : seq == 3 ? 0100666 : 0;
    const std::string name = seq <= 3 ? "f" + std::to_string(seq) : "";
    return Cat({H(0x0C), Le(U32(r, 4)), Le(seq), Le(0), Le(0), Le(mode), Le(1), Le(0), Le(0), Le(0), Text(name)});
  };
  ASSERT_EQ(efs.EFSEnumDir("/d"), 0);
  EXPECT_THAT(efs.EFSFileList, ElementsAre("d/f1", "d/f2", "d/f3"));
}

TEST_F(EfsFilesTest, AFolderOfMoreThan255EntriesIsListedOnce) {
  for (int i = 0; i < 300; ++i) state.SetEfsFile("/big/f" + std::to_string(i), Bytes{1});
  ASSERT_EQ(efs.EFSEnumDir("/big"), 0);
  EXPECT_EQ(efs.EFSFileList.size(), 300u);
  EXPECT_EQ(std::set<std::string>(efs.EFSFileList.begin(), efs.EFSFileList.end()).size(), 300u);
  std::vector<uint32_t> expected(301);
  for (uint32_t i = 0; i < expected.size(); ++i) expected[i] = i + 1;
  EXPECT_THAT(FieldOf(EfsCommand::Readdir, 8), ElementsAreArray(expected));
}

TEST_F(EfsFilesTest, AListingThatNeverEndsStopsAfter65535Entries) {
  state.MakeEfsDir("/loop");
  intercept = [](const Bytes& r) -> std::optional<Bytes> {
    if (CommandOf(r) != 0x000C) return std::nullopt;
    const uint32_t seq = U32(r, 8);
    return Cat({H(0x0C), Le(U32(r, 4)), Le(seq), Le(0), Le(0), Le(0100666), Le(1), Le(0), Le(0), Le(0),
                Text("f" + std::to_string(seq))});
  };
  EXPECT_EQ(efs.EFSEnumDir("/loop"), 2);
  EXPECT_EQ(efs.EFSFileList.size(), 65535u);
  EXPECT_EQ(RequestsOf(EfsCommand::Readdir).size(), 65535u);
  EXPECT_TRUE(Logged("Listing of loop stopped after 65535 entries"));
}

TEST_F(EfsFilesTest, FoldersNestedWithoutEndAreNotFollowedForever) {
  state.MakeEfsDir("/top");
  intercept = [](const Bytes& r) -> std::optional<Bytes> {
    if (CommandOf(r) == 0x000B) return Cat({H(0x0B), Le(1), Le(0)});
    if (CommandOf(r) == 0x000D) return Cat({H(0x0D), Le(0)});
    if (CommandOf(r) != 0x000C) return std::nullopt;
    const bool first = U32(r, 8) == 1;
    return Cat({H(0x0C), Le(1), Le(U32(r, 8)), Le(0), Le(first ? 1 : 0), Le(first ? 040777 : 0), Le(0), Le(0),
                Le(0), Le(0), Text(first ? "d" : "")});
  };
  EXPECT_EQ(efs.EFSEnumDir("/top"), 2);
  EXPECT_EQ(efs.EFSDirList.size(), static_cast<size_t>(EFSFiles::kMaxDepth + 1));
  EXPECT_TRUE(LoggedContaining("Folder not listed, too deep"));
}

TEST_F(EfsFilesTest, HostileNamesNeverReachTheLists) {
  sim::EfsSimOptions hostile;
  hostile.hostile = true;
  hostile.hostileEntries = 260;
  hostile.hostileFiles = 5;
  hostile.hostileDepth = 3;
  sim::EfsSimulation liar(hostile);
  intercept = [&](const Bytes& r) -> std::optional<Bytes> {
    sim::DiagContext ctx{state, options, host};
    return liar.Handle(r, ctx);
  };
  // Names no file can carry make the listing incomplete, which stops the update before the
  // erase; every other name, colons and control characters included, is kept.
  EXPECT_EQ(efs.EFSEnumDir("/data"), 2);
  for (const auto* list : {&efs.EFSDirList, &efs.EFSFileList}) {
    for (const auto& p : *list) {
      std::string rest = p;
      for (size_t slash; (slash = rest.find('/')) != std::string::npos; rest.erase(0, slash + 1))
        EXPECT_EQ(CheckEfsName(rest.substr(0, slash)), NameVerdict::Ok) << p;
      EXPECT_EQ(CheckEfsName(rest), NameVerdict::Ok) << p;
    }
  }
  EXPECT_GT(efs.RefusedNames(), 0u);
  EXPECT_TRUE(LoggedContaining("EFS entry cannot be kept in data: \"../../x\" (name holds a path separator)"));
  // An incomplete listing ends there: nothing more would be kept anyway.
  EXPECT_EQ(RequestsOf(EfsCommand::Opendir).size(), 1u);
}

TEST_F(EfsFilesTest, NamesWithAnyByteButSlashAreListed) {
  const std::vector<std::string> names{"c:d", "ctl\x01name", "100%", "a\\b", "q?*<>|\"", "del\x7f", " "};
  for (const auto& n : names) state.SetEfsFile("/odd/" + n, Bytes{7});
  state.MakeEfsDir("/odd/dir:\x1b");
  ASSERT_EQ(efs.EFSEnumDir("/odd"), 0);
  EXPECT_THAT(efs.EFSDirList, ElementsAre("odd/dir:\x1b"));
  std::vector<std::string> expected;
  for (const auto& n : names) expected.push_back("odd/" + n);
  EXPECT_THAT(efs.EFSFileList, ::testing::UnorderedElementsAreArray(expected));
}

TEST_F(EfsFilesTest, LinksAndItemFilesMakeTheListingIncomplete) {
  for (const uint32_t mode : {0120777u, 0140644u, 0010644u}) {
    SCOPED_TRACE(mode);
    state.SetEfsFile("/d/plain", Bytes{1});
    lines.clear();
    intercept = [mode](const Bytes& r) -> std::optional<Bytes> {
      if (CommandOf(r) != 0x000C || U32(r, 8) != 1) return std::nullopt;
      return Cat({{0x4B, 0x13, 0x0C, 0x00}, Le(U32(r, 4)), Le(1), Le(0), Le(0), Le(mode), Le(1), Le(0), Le(0),
                  Le(0), Text("odd")});
    };
    efs.EFSFileList.clear();
    EXPECT_EQ(efs.EFSEnumDir("/d"), 2);
    EXPECT_TRUE(LoggedContaining("EFS entry cannot be kept in d: \"odd\""));
  }
}

TEST_F(EfsFilesTest, AStopEndsAWaitForAReplyThatNeverComes) {
  intercept = [](const Bytes&) -> std::optional<Bytes> { return Bytes{}; };  // silence
  // Pressed during the first receive, long before the modem would be given up on.
  port().SetReadHook([this](uint64_t n) {
    if (n == 2) core.RequestStop();
  });
  uint32_t size = 0;
  EXPECT_EQ(efs.EFSFileSizeAndOpen("/f", size), -1);
  EXPECT_EQ(efs.EFSOpenForWrite("/f"), -1);
  EXPECT_EQ(efs.EFSEnumDir("/d"), -1);
  EXPECT_EQ(RequestsOf(EfsCommand::Stat).size(), 1u);
}

}  // namespace
}  // namespace zovir::test
