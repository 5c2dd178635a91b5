#include "preservation/efs_files.h"

#include <algorithm>
#include <cerrno>
#include <filesystem>

#include "link/hdlc.h"
#include "platform/private_files.h"
#include "preservation/local_folders.h"

namespace zovir {

namespace fs = std::filesystem;

namespace {

constexpr uint8_t kDispatch = 0x4B;
constexpr uint8_t kEfsSubsystem = 0x13;

// POSIX values the modem reports.
constexpr uint32_t kENOENT = 2;
constexpr uint32_t kENXIO = 6;  // what older firmware answers for a folder that is there
constexpr uint32_t kEEXIST = 17;

constexpr uint32_t kFileTypeMask = 0xF000;
constexpr uint32_t kRegularFile = 0x8000;

// Reply sizes (payload, without check and flag).
constexpr uint32_t kStatReply = 32;
constexpr uint32_t kOpenReply = 12;
constexpr uint32_t kReadHeader = 20;
constexpr uint32_t kWriteReply = 20;
constexpr uint32_t kStatusReply = 8;
constexpr uint32_t kDirEntryName = 40;

constexpr uint32_t kEntryFile = 0;
constexpr uint32_t kEntryDir = 1;

void Put16(std::vector<uint8_t>& v, uint16_t x) {
  v.push_back(static_cast<uint8_t>(x));
  v.push_back(static_cast<uint8_t>(x >> 8));
}
void Put32(std::vector<uint8_t>& v, uint32_t x) {
  for (int i = 0; i < 4; ++i) v.push_back(static_cast<uint8_t>(x >> (8 * i)));
}
std::vector<uint8_t> Header(EfsCommand c) {
  std::vector<uint8_t> v{kDispatch, kEfsSubsystem};
  Put16(v, static_cast<uint16_t>(c));
  return v;
}
void PutPath(std::vector<uint8_t>& v, std::string_view path) {
  v.insert(v.end(), path.begin(), path.end());
  v.push_back(0);
}

std::string JoinEfs(const std::string& path, const std::string& name) {
  std::string joined = path;
  if (joined.empty() || joined.back() != '/') joined += '/';
  joined += name;
  if (joined.size() > 1 && joined.front() == '/') joined.erase(0, 1);
  return joined;
}

}  // namespace

uint32_t EfsReply::U32(uint32_t offset) const {
  if (offset + 4 > PayloadLength()) return 0;
  return static_cast<uint32_t>(bytes[offset]) | (static_cast<uint32_t>(bytes[offset + 1]) << 8) |
         (static_cast<uint32_t>(bytes[offset + 2]) << 16) | (static_cast<uint32_t>(bytes[offset + 3]) << 24);
}

// ---------------------------------------------------------------------------------------
// Requests

std::vector<uint8_t> EfsRequests::Stat(std::string_view path) {
  auto v = Header(EfsCommand::Stat);
  PutPath(v, path);
  return v;
}

std::vector<uint8_t> EfsRequests::OpenForRead(std::string_view path) {
  auto v = Header(EfsCommand::Open);
  Put32(v, 0x000);  // read-only
  Put32(v, 0444);
  PutPath(v, path);
  return v;
}

std::vector<uint8_t> EfsRequests::OpenForWrite(std::string_view path) {
  auto v = Header(EfsCommand::Open);
  Put32(v, 0x241);  // write-only, create, truncate
  Put32(v, 0666);
  PutPath(v, path);
  return v;
}

std::vector<uint8_t> EfsRequests::Read(uint32_t offset) {
  auto v = Header(EfsCommand::Read);
  Put32(v, 0);
  Put32(v, kReadBlock);
  Put32(v, offset);
  return v;
}

std::vector<uint8_t> EfsRequests::Write(uint32_t offset, const uint8_t* data, uint32_t count) {
  auto v = Header(EfsCommand::Write);
  Put32(v, 0);
  Put32(v, offset);
  v.insert(v.end(), data, data + count);
  return v;
}

std::vector<uint8_t> EfsRequests::Close() {
  auto v = Header(EfsCommand::Close);
  Put32(v, 0);
  return v;
}

std::vector<uint8_t> EfsRequests::Mkdir(std::string_view path) {
  auto v = Header(EfsCommand::Mkdir);
  Put16(v, 0777);
  PutPath(v, path);
  return v;
}

std::vector<uint8_t> EfsRequests::Opendir(std::string_view path) {
  auto v = Header(EfsCommand::Opendir);
  PutPath(v, path);
  return v;
}

std::vector<uint8_t> EfsRequests::Readdir(uint32_t dirp, uint32_t sequence) {
  auto v = Header(EfsCommand::Readdir);
  Put32(v, dirp);
  Put32(v, sequence);
  return v;
}

std::vector<uint8_t> EfsRequests::Closedir(uint32_t dirp) {
  auto v = Header(EfsCommand::Closedir);
  Put32(v, dirp);
  return v;
}

std::vector<uint8_t> EfsRequests::Statfs() {
  auto v = Header(EfsCommand::Statfs);
  v.push_back(0);
  return v;
}

// ---------------------------------------------------------------------------------------
// Reply rules

bool EfsReplyRules::Header(const EfsReply& r, EfsCommand command) {
  const auto c = static_cast<uint16_t>(command);
  return r.PayloadLength() >= 4 && r.bytes[0] == kDispatch && r.bytes[1] == kEfsSubsystem &&
         r.bytes[2] == static_cast<uint8_t>(c) && r.bytes[3] == static_cast<uint8_t>(c >> 8);
}

bool EfsReplyRules::StatAnswered(const EfsReply& r) {
  return Header(r, EfsCommand::Stat) && r.PayloadLength() >= kStatReply;
}

bool EfsReplyRules::StatPlainFile(const EfsReply& r) {
  return StatAnswered(r) && r.U32(4) == 0 && (r.U32(8) & kFileTypeMask) == kRegularFile;
}

bool EfsReplyRules::OpenedForRead(const EfsReply& r) {
  return Header(r, EfsCommand::Open) && r.PayloadLength() >= kOpenReply && r.U32(4) == 0 && r.U32(8) == 0;
}

bool EfsReplyRules::OpenedForWrite(const EfsReply& r) { return OpenedForRead(r); }

bool EfsReplyRules::ReadBlock(const EfsReply& r, uint32_t offset, uint32_t expected) {
  return Header(r, EfsCommand::Read) && r.PayloadLength() >= kReadHeader && r.U32(4) == 0 &&
         r.U32(8) == offset && r.U32(12) == expected && r.U32(16) == 0 &&
         r.PayloadLength() - kReadHeader == expected;
}

bool EfsReplyRules::Written(const EfsReply& r, uint32_t offset, uint32_t count) {
  return Header(r, EfsCommand::Write) && r.PayloadLength() >= kWriteReply && r.U32(4) == 0 &&
         r.U32(8) == offset && r.U32(12) == count && r.U32(16) == 0;
}

bool EfsReplyRules::Closed(const EfsReply& r) {
  return Header(r, EfsCommand::Close) && r.PayloadLength() >= kStatusReply && r.U32(4) == 0;
}

bool EfsReplyRules::DirMade(const EfsReply& r) {
  if (!Header(r, EfsCommand::Mkdir) || r.PayloadLength() < kStatusReply) return false;
  const uint32_t e = r.U32(4);
  return e == 0 || e == kENXIO || e == kEEXIST;
}

bool EfsReplyRules::DirOpened(const EfsReply& r) {
  return Header(r, EfsCommand::Opendir) && r.PayloadLength() >= 12 && r.U32(4) != 0 && r.U32(8) == 0;
}

bool EfsReplyRules::DirEntry(const EfsReply& r, uint32_t dirp, uint32_t sequence) {
  if (!Header(r, EfsCommand::Readdir) || r.PayloadLength() < kDirEntryName + 1) return false;
  if (r.U32(4) != dirp || r.U32(8) != sequence || r.U32(12) != 0) return false;
  // The name must end inside the payload.
  const uint8_t* begin = r.bytes + kDirEntryName;
  const uint8_t* end = r.bytes + r.PayloadLength();
  return std::find(begin, end, 0) != end;
}

bool EfsReplyRules::DirClosed(const EfsReply& r) { return Header(r, EfsCommand::Closedir); }

bool EfsReplyRules::StatfsAnswered(const EfsReply& r) {
  return Header(r, EfsCommand::Statfs) && r.PayloadLength() >= kStatusReply && r.U32(4) == 0;
}

// ---------------------------------------------------------------------------------------
// Operations

void EFSFiles::Progress(const std::string& text) { core_.ReportStatus(csWorking, text, mtProgress); }
void EFSFiles::LogLine(const std::string& text) { core_.ReportStatus(csInfo, text, mtInfo); }

void EFSFiles::SendRequest(const std::vector<uint8_t>& request) {
  FrameBuffer& frame = link_.Frame();
  frame.Clear();
  frame.AddEscaped(request.data(), static_cast<uint32_t>(request.size()));
  frame.FinishFrame();
  link_.SendFramed();
}

RxResult EFSFiles::ReceiveEfsReply() {
  const uint64_t began = core_.clock.NowMs();
  RxResult rx = link_.ReceiveReply();
  watch_.Waited(core_.clock.NowMs() - began);
  if (rx.outcome == RxOutcome::Frame) {
    // The response buffer has room for the flag after a reply of the largest size.
    link_.MutableResponse()[rx.length] = kHdlcFlag;
    ++rx.length;
  }
  return rx;
}

bool EFSFiles::IsEFSFileAbsent(const std::string& path) {
  EfsReply r;
  if (!Exchange(EfsRequests::Stat(path), kAbsentAttempts, EfsReplyRules::StatAnswered, r)) return false;
  return core_.Healthy() && r.U32(4) == kENOENT;
}

int EFSFiles::EFSFileSizeAndOpen(const std::string& path, uint32_t& size) {
  size = 0;
  if (!core_.Healthy()) return -1;
  EfsReply r;
  const auto statOk = [](const EfsReply& x) { return EfsReplyRules::StatAnswered(x) && x.U32(4) == 0; };
  if (!Exchange(EfsRequests::Stat(path), kStatAttempts, statOk, r)) return core_.Healthy() ? 1 : -1;
  if (!EfsReplyRules::StatPlainFile(r)) return 1;
  size = r.U32(12);
  if (size > kMaxFileSize) {
    LogLine("EFS file too large to keep: " + path + " (" + std::to_string(size) + " bytes)");
    return 1;
  }
  if (size == 0) return 0;
  if (!Exchange(EfsRequests::OpenForRead(path), kStatAttempts, EfsReplyRules::OpenedForRead, r))
    return core_.Healthy() ? 2 : -1;
  return 0;
}

int EFSFiles::EFSReadFileToLocal(const std::string& localPath, uint32_t size, const std::string& mirrorRoot) {
  Progress("Downloading Part of EFS...");
  // Only ever a file strictly inside the mirror, and never through a link placed there.
  const bool inside = LiesWithin(mirrorRoot, localPath, false);
  FileHandle file = inside ? CreatePrivateFile(localPath, CreateMode::Truncate) : FileHandle();
  if (!file) {
    core_.SetSystemError(inside ? errno : EACCES);
    core_.ReportError("Could not open file:" + localPath);
    return 1;
  }
  if (size == 0) return file.Close() ? 0 : 1;
  // A copy that broke off must not stay in the mirror: a later restore from the saved backup
  // would write the cut-off file onto the modem in place of the whole one.
  struct PartialCopy {
    const std::string& path;
    bool complete = false;
    ~PartialCopy() {
      std::error_code ec;
      if (!complete) fs::remove(path, ec);
    }
  } partial{localPath};

  const uint32_t blocks = (size + EfsRequests::kReadBlock - 1) / EfsRequests::kReadBlock;
  core_.Wait(kPauseBeforeTransferMs);
  Progress(fs::path(localPath).filename().string() + " downloading, ");
  for (uint32_t k = 0; k < blocks; ++k) {
    if (!core_.Healthy()) return 1;
    const uint32_t offset = k * EfsRequests::kReadBlock;
    const uint32_t expected = std::min(EfsRequests::kReadBlock, size - offset);
    EfsReply r;
    const auto accept = [&](const EfsReply& x) { return EfsReplyRules::ReadBlock(x, offset, expected); };
    if (!Exchange(EfsRequests::Read(offset), kReadAttempts, accept, r)) return 1;
    if (!file.WriteAll(r.bytes + kReadHeader, expected)) {
      core_.SetSystemError(errno);
      core_.ReportError("Could not write file:" + localPath);
      return 1;
    }
  }
  if (!file.Close()) {
    core_.SetSystemError(errno);
    core_.ReportError("Could not write file:" + localPath);
    return 1;
  }
  partial.complete = true;
  return 0;
}

int EFSFiles::EFSOpenForWrite(const std::string& path) {
  if (!core_.Healthy()) return -1;
  EfsReply r;
  if (!Exchange(EfsRequests::Statfs(), kLongAttempts, EfsReplyRules::StatfsAnswered, r))
    return core_.Healthy() ? 1 : -1;
  if (!Exchange(EfsRequests::OpenForWrite(path), kLongAttempts, EfsReplyRules::OpenedForWrite, r))
    return core_.Healthy() ? 1 : -1;
  return 0;
}

int EFSFiles::EFSWriteBlock(uint32_t offset, const uint8_t* data, uint32_t count) {
  if (!core_.Healthy()) return -1;
  EfsReply r;
  const auto accept = [&](const EfsReply& x) { return EfsReplyRules::Written(x, offset, count); };
  if (!Exchange(EfsRequests::Write(offset, data, count), kLongAttempts, accept, r)) return core_.Healthy() ? 1 : -1;
  return 0;
}

int EFSFiles::EFSUploadFile(const std::string& localPath, uint32_t size) {
  Progress("Downloading D030......");
  FileHandle file = OpenNoFollow(localPath);
  if (!file) {
    core_.SetSystemError(errno);
    core_.ReportError("Could not open BIN file: " + localPath);
    return 1;
  }
  const uint32_t block = EfsRequests::kWriteBlock;
  const uint32_t blocks = (size + block - 1) / block;
  core_.Wait(kPauseBeforeTransferMs);
  Progress("Downloading D031......");
  std::vector<uint8_t> buffer(block);
  uint32_t offset = 0;
  for (uint32_t done = 0; done < blocks; ++done) {
    if (!core_.Healthy()) return -1;
    const uint32_t want = std::min(block, size - offset);
    if (file.ReadFull(buffer.data(), want) != want) {
      core_.SetSystemError(errno ? errno : EIO);
      core_.ReportError("Could not read from BIN file: " + localPath);
      return 1;
    }
    int result = 1;
    for (int attempt = 1; attempt <= kWriteBlockAttempts; ++attempt) {
      result = EFSWriteBlock(offset, buffer.data(), want);
      if (result != 1) break;
      if (attempt < kWriteBlockAttempts) Progress("Re-Downloading D032......");
    }
    if (result == -1) return -1;
    if (result != 0) {
      core_.ReportError(fs::path(localPath).filename().string() + ", fail to write block " +
                        std::to_string((done + 63) / 64) + " of " + std::to_string((blocks + 63) / 64));
      return 1;
    }
    offset += want;
  }
  return 0;
}

int EFSFiles::EFSCloseFile() {
  if (!core_.Healthy()) return -1;
  EfsReply r;
  if (!Exchange(EfsRequests::Close(), kLongAttempts, EfsReplyRules::Closed, r)) return core_.Healthy() ? 1 : -1;
  return 0;
}

int EFSFiles::EFSMakeDir(const std::string& path) {
  if (!core_.Healthy()) return -1;
  EfsReply r;
  if (!Exchange(EfsRequests::Mkdir(path), kLongAttempts, EfsReplyRules::DirMade, r)) return core_.Healthy() ? 1 : -1;
  return 0;
}

int EFSFiles::EFSCloseDir() {
  if (!core_.Healthy()) return -1;
  EfsReply r;
  if (!Exchange(EfsRequests::Closedir(dirp_), kLongAttempts, EfsReplyRules::DirClosed, r))
    return core_.Healthy() ? 1 : -1;
  return 0;
}

EFSFiles::OpenDirResult EFSFiles::Opendir(const std::string& path, uint32_t& dirp, uint32_t& error) {
  SendRequest(EfsRequests::Opendir(path));
  // The answer must come within a short time: collect one frame byte by byte. Only an
  // opendir reply decides; a garbled frame or another command's late reply is not the
  // modem saying the folder is absent.
  const uint64_t began = core_.clock.NowMs();
  std::vector<uint8_t> frame(Link::kResponseSize + 1);
  FrameDecoder decoder(frame.data(), Link::kResponseSize, false);
  for (;;) {
    if (!core_.Healthy()) return OpenDirResult::NoAnswer;
    if (core_.clock.NowMs() - began >= kOpendirLimitMs) return OpenDirResult::NoAnswer;
    uint8_t b = 0;
    if (link_.ReadRaw(&b, 1) != 1) continue;
    // A fragment, a garbled or an overlong frame is passed over.
    if (decoder.Push(b) != FrameDecoder::Event::Frame) continue;
    frame[decoder.Length()] = kHdlcFlag;
    const EfsReply r{frame.data(), decoder.Length() + 1};
    if (!EfsReplyRules::Header(r, EfsCommand::Opendir)) continue;  // another command's late reply
    if (!EfsReplyRules::DirOpened(r)) {
      error = r.U32(8);
      return error == kENOENT ? OpenDirResult::Absent : OpenDirResult::Refused;
    }
    dirp = r.U32(4);
    return OpenDirResult::Opened;
  }
}

int EFSFiles::EFSEnumDir(const std::string& path) { return EnumDir(path, 0); }

int EFSFiles::EnumDir(const std::string& pathIn, int depth) {
  std::string path = pathIn;
  Progress("Enum dir:" + path);
  if (path.size() > 1 && path.front() == '/') path.erase(0, 1);
  if (!core_.Healthy()) return -1;
  uint32_t dirp = 0;
  uint32_t error = 0;
  OpenDirResult opened = OpenDirResult::NoAnswer;
  for (int attempt = 0; attempt < kOpendirAttempts; ++attempt) {
    if (!core_.Healthy()) return -1;
    if (opened == OpenDirResult::Refused && !core_.Wait(kOpendirRetryMs)) return -1;
    opened = Opendir(path, dirp, error);
    if (opened == OpenDirResult::Opened || opened == OpenDirResult::Absent) break;
  }
  if (!core_.Healthy()) return -1;
  // A folder the modem never answered for, or refused for any reason but its absence, may
  // well be there: taking it for absent would let the update erase files nobody copied.
  if (opened == OpenDirResult::NoAnswer) {
    LogLine("No answer opening the folder " + path);
    return 2;
  }
  if (opened == OpenDirResult::Refused) {
    LogLine("The modem refused to open the folder " + path + " (error " + std::to_string(error) + ")");
    return 2;
  }
  if (opened == OpenDirResult::Absent) return 1;
  dirp_ = dirp;

  std::vector<std::string> subdirs;
  int result = 0;
  for (uint32_t sequence = 1;; ++sequence) {
    if (sequence > kMaxListing) {
      LogLine("Listing of " + path + " stopped after " + std::to_string(kMaxListing) + " entries");
      result = 2;
      break;
    }
    EfsReply r;
    const auto accept = [&](const EfsReply& x) { return EfsReplyRules::DirEntry(x, dirp, sequence); };
    if (!Exchange(EfsRequests::Readdir(dirp, sequence), kReaddirAttempts, accept, r)) {
      if (!core_.Healthy()) return -1;
      result = 2;
      break;
    }
    const uint32_t type = r.U32(16);
    const uint32_t mode = r.U32(20);
    const char* nameStart = reinterpret_cast<const char*>(r.bytes + kDirEntryName);
    const std::string name(nameStart);  // ends at the zero byte the rule found
    // End of listing. (A file's permission byte alone may be 0: a read-only file is no end.)
    if (name.empty() || (type == kEntryFile && mode == 0)) break;
    // The folder itself and its parent, when the modem lists them.
    if (name == "." || name == "..") continue;
    const uint8_t modeHigh = static_cast<uint8_t>(mode >> 8);
    const bool isDir = type == kEntryDir && modeHigh >= 0x40 && modeHigh <= 0x4F;
    const bool isFile = type == kEntryFile && modeHigh >= 0x80 && modeHigh <= 0x8F;
    const NameVerdict verdict = CheckEfsName(name);
    // Whatever the update would erase and this backup cannot keep (a link, an item file, a
    // name no local file can carry) makes the backup incomplete.
    if ((!isDir && !isFile) || verdict != NameVerdict::Ok) {
      ++refused_;
      std::string shown;
      for (char c : name) {
        const auto u = static_cast<unsigned char>(c);
        shown += (u < 0x20 || u == 0x7F) ? '?' : c;
      }
      const std::string why = verdict != NameVerdict::Ok ? NameVerdictText(verdict)
                              : (modeHigh & 0xF0) == 0xA0 ? "a link"
                              : (modeHigh & 0xF0) == 0xC0 ? "an item file"
                                                          : "neither a file nor a folder";
      LogLine("EFS entry cannot be kept in " + path + ": \"" + shown + "\" (" + why + ")");
      // The backup is incomplete and the update will stop: listing further keeps nothing.
      result = 2;
      break;
    }
    const std::string joined = JoinEfs(path, name);
    if (joined.size() > kMaxPathLength) {
      LogLine("EFS entry skipped, path too long: " + joined.substr(0, 64) + "...");
      result = 2;
      continue;
    }
    if (isDir) {
      EFSDirList.push_back(joined);
      subdirs.push_back(joined);
    } else {
      EFSFileList.push_back(joined);
    }
  }
  const int closed = EFSCloseDir();
  if (closed == -1) return -1;

  for (const auto& sub : subdirs) {
    if (result == 2) break;
    if (depth + 1 > kMaxDepth) {
      LogLine("Folder not listed, too deep: " + sub.substr(0, 64) + "...");
      result = 2;
      break;
    }
    const int r = EnumDir(sub, depth + 1);
    if (r == -1) return -1;
    if (r != 0) result = 2;
  }
  return result;
}

}  // namespace zovir
