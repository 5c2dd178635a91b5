#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/engine_core.h"
#include "link/link.h"
#include "preservation/answer_watch.h"

namespace zovir {

// EFS2 commands of the DIAG subsystem dispatch (4B 13 + 16-bit command).
enum class EfsCommand : uint16_t {
  Open = 0x0002,
  Close = 0x0003,
  Read = 0x0004,
  Write = 0x0005,
  Mkdir = 0x0009,
  Opendir = 0x000B,
  Readdir = 0x000C,
  Closedir = 0x000D,
  Stat = 0x000F,
  Statfs = 0x0013,
};

// One reply as the EFS receive left it: the unescaped payload, the two check bytes and the
// closing 0x7E (counted in `length`).
struct EfsReply {
  const uint8_t* bytes = nullptr;
  uint32_t length = 0;
  // Payload bytes (without check and flag); 0 when the reply is too short to hold any.
  uint32_t PayloadLength() const { return length >= 3 ? length - 3 : 0; }
  uint32_t U32(uint32_t offset) const;
};

// The requests as they go into a frame (before escaping and the check).
struct EfsRequests {
  static constexpr uint32_t kReadBlock = 512;
  static constexpr uint32_t kWriteBlock = 1488;

  static std::vector<uint8_t> Stat(std::string_view path);
  static std::vector<uint8_t> OpenForRead(std::string_view path);
  static std::vector<uint8_t> OpenForWrite(std::string_view path);
  static std::vector<uint8_t> Read(uint32_t offset);
  static std::vector<uint8_t> Write(uint32_t offset, const uint8_t* data, uint32_t count);
  static std::vector<uint8_t> Close();
  static std::vector<uint8_t> Mkdir(std::string_view path);
  static std::vector<uint8_t> Opendir(std::string_view path);
  static std::vector<uint8_t> Readdir(uint32_t dirp, uint32_t sequence);
  static std::vector<uint8_t> Closedir(uint32_t dirp);
  static std::vector<uint8_t> Statfs();
};

// Which replies an exchange takes. Each rule checks the header and that the reply is long
// enough for every field it reads, so a short or foreign frame is one failed attempt and
// never leaves stale bytes of an earlier reply to be taken for fields.
struct EfsReplyRules {
  static bool Header(const EfsReply& r, EfsCommand command);
  static bool StatAnswered(const EfsReply& r);       // stat header and all fields present
  static bool StatPlainFile(const EfsReply& r);      // errno 0, a regular file
  static bool OpenedForRead(const EfsReply& r);      // descriptor 0, errno 0
  static bool OpenedForWrite(const EfsReply& r);     // descriptor 0, errno 0
  // descriptor 0, offset echoed, errno 0 and exactly `expected` data bytes.
  static bool ReadBlock(const EfsReply& r, uint32_t offset, uint32_t expected);
  static bool Written(const EfsReply& r, uint32_t offset, uint32_t count);
  static bool Closed(const EfsReply& r);
  static bool DirMade(const EfsReply& r);            // created, or there already
  static bool DirOpened(const EfsReply& r);         // a handle other than 0, errno 0
  static bool DirEntry(const EfsReply& r, uint32_t dirp, uint32_t sequence);
  static bool DirClosed(const EfsReply& r);
  static bool StatfsAnswered(const EfsReply& r);
};

// The EFS2 file operations of one run on the diagnostic port. One file and one directory
// are open at a time (descriptor 0, the directory handle the modem gave). Return values:
// -1 when an engine error is set, 1 when no accepted reply came, 0 on success, unless stated.
class EFSFiles {
 public:
  static constexpr int kStatAttempts = 10;
  static constexpr int kAbsentAttempts = 5;
  static constexpr int kReadAttempts = 10;
  static constexpr int kReaddirAttempts = 5;
  static constexpr int kLongAttempts = 100;
  static constexpr int kWriteBlockAttempts = 3;
  static constexpr uint32_t kOpendirLimitMs = 500;
  // Opening a folder is asked this often when no answer comes, or when it is refused for any
  // reason but "no such file or folder"; a pause comes before asking again after a refusal.
  static constexpr int kOpendirAttempts = 3;
  static constexpr uint32_t kOpendirRetryMs = 500;
  static constexpr uint32_t kPauseBeforeTransferMs = 500;
  // A listing ends after this many entries, a hostile or broken modem cannot keep it going.
  static constexpr uint32_t kMaxListing = 65535;
  // Folders deeper than this below a preserved folder are not listed.
  static constexpr int kMaxDepth = 32;
  // EFS paths longer than this are not followed.
  static constexpr size_t kMaxPathLength = 1024;
  // A user file larger than this is not a user file; reading it would fill the disk and take
  // hours (the whole EFS partition of these modems is a few megabytes).
  static constexpr uint32_t kMaxFileSize = 64u << 20;

  EFSFiles(EngineCore& core, Link& link) : core_(core), link_(link) {}

  // True only when the modem answered the stat with "no such file" (2).
  bool IsEFSFileAbsent(const std::string& path);
  // 0 (size set; the file is open for reading unless it is empty), 1 (stat failed, not a
  // plain file, or larger than kMaxFileSize), 2 (open failed).
  int EFSFileSizeAndOpen(const std::string& path, uint32_t& size);
  // Reads the open file into `localPath`, which must lie strictly below `mirrorRoot`
  // (checked, no symbolic link followed). 0 on success, 1 on failure.
  int EFSReadFileToLocal(const std::string& localPath, uint32_t size, const std::string& mirrorRoot);
  int EFSOpenForWrite(const std::string& path);
  int EFSWriteBlock(uint32_t offset, const uint8_t* data, uint32_t count);
  // Writes `size` bytes of a local file into the opened EFS file. 0 on success; failures
  // are engine errors.
  int EFSUploadFile(const std::string& localPath, uint32_t size);
  int EFSCloseFile();
  int EFSMakeDir(const std::string& path);
  int EFSCloseDir();  // closes the folder the listing opened
  // Lists `path` recursively into EFSDirList / EFSFileList. 0 on success, -1 on an engine
  // error, 1 when the modem answered that there is no such folder, 2 when a listing broke off
  // (no reply, a folder refused for another reason, too many entries, too deep) so that what
  // was found is incomplete.
  int EFSEnumDir(const std::string& path);

  std::vector<std::string> EFSDirList;
  std::vector<std::string> EFSFileList;
  // Entries whose names could not be mirrored (dropped with a log line).
  uint32_t RefusedNames() const { return refused_; }

  // Sends `request` framed and takes replies with the EFS receive until `accept` holds, at
  // most `attempts` exchanges. The accepted reply stays in the link's response buffer. Ends
  // early when the modem is given up on (see AnswerWatch).
  template <typename Accept>
  bool Exchange(const std::vector<uint8_t>& request, int attempts, Accept accept, EfsReply& reply);

  // A backup or restore of user files begins: silence an earlier one saw does not count.
  void ResetAnswerWatch() { watch_.Reset(); }

 private:
  int EnumDir(const std::string& path, int depth);
  enum class OpenDirResult { Opened, Absent, Refused, NoAnswer };
  // `error` is the modem's error number of a refusal.
  OpenDirResult Opendir(const std::string& path, uint32_t& dirp, uint32_t& error);
  void Progress(const std::string& text);
  void LogLine(const std::string& text);
  void SendRequest(const std::vector<uint8_t>& request);
  // The EFS receive: the closing 0x7E kept and counted. It waits no longer than the reply
  // receive does; a modem that stopped answering would otherwise hold the update until the
  // user stops it.
  RxResult ReceiveEfsReply();

  EngineCore& core_;
  Link& link_;
  uint32_t refused_ = 0;
  uint32_t dirp_ = 1;
  AnswerWatch watch_{core_, Link::kReceiveTimeLimitMs};
};

template <typename Accept>
bool EFSFiles::Exchange(const std::vector<uint8_t>& request, int attempts, Accept accept, EfsReply& reply) {
  if (!watch_.BeginExchange()) return false;
  for (int attempt = 0; attempt < attempts; ++attempt) {
    if (!core_.Healthy()) return false;
    SendRequest(request);
    // A request that did not go out gets no reply: it counts as a receive that saw nothing.
    RxResult rx;
    if (link_.LastSendOk()) rx = ReceiveEfsReply();
    if (rx.outcome == RxOutcome::Stopped || !core_.Healthy()) return false;
    if (rx.outcome == RxOutcome::Timeout) {
      if (watch_.NoAnswer()) return false;
      continue;
    }
    if (rx.outcome != RxOutcome::Frame || rx.length < 3) continue;
    reply = EfsReply{link_.Response(), rx.length};
    if (reply.bytes[reply.length - 1] != 0x7E) continue;
    if (accept(reply)) {
      watch_.Answered();
      return true;
    }
  }
  return false;
}

}  // namespace zovir
