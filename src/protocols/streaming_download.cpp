#include "protocols/streaming_download.h"

#include <algorithm>
#include <cstring>

#include "link/crc16.h"
#include "link/hdlc.h"
#include "protocols/protocol_io.h"

namespace zovir {

namespace {

constexpr int kHelloAttempts = 50;
constexpr int kSecurityAttempts = 50;
constexpr int kOpenAttempts = 10;
constexpr int kStreamWriteAttempts = 25;
constexpr int kBlockAttempts = 3;
constexpr int kCloseAttempts = 10;
constexpr int kPowerOffWaits = 5;
constexpr int kFastPartAttempts = 20;
constexpr int kHandshakeTries = 20;
constexpr int kResetReads = 3;
// 7E 08 address(4) check(2) 7E when nothing in it needs an escape.
constexpr size_t kWriteAckSize = 9;
// 7E code two-bytes check(2) 7E: asking for no more than that keeps a port with interval
// time-outs from waiting after the reply for bytes that never come.
constexpr size_t kFastReplySize = 7;

constexpr uint8_t kHello[] = {0x01, 'Q', 'C', 'O', 'M', ' ', 'f', 'a', 's', 't', ' ', 'd', 'o',
                              'w',  'n', 'l', 'o', 'a', 'd', ' ', 'p', 'r', 'o', 't', 'o', 'c',
                              'o',  'l', ' ', 'h', 'o', 's', 't', 0x02, 0x02, 0x01};
constexpr uint8_t kSecurityMode[] = {0x17, 0x01};
// The two bytes after the name's terminating zero are the check of the nine bytes before
// them; the programmer expects them as part of the command.
constexpr uint8_t kOpenApps[] = {0x1B, 0x0E, 0x30, 0x3A, 0x41, 0x50, 0x50, 0x53, 0x00, 0x2B, 0x8A};
constexpr uint8_t kOpenEfs[] = {0x1B, 0x09};
constexpr uint8_t kOpenAppEfs[] = {0x1B, 0x0B};
constexpr uint8_t kClose[] = {0x15};
constexpr uint8_t kPowerOff[] = {0x11};
constexpr uint8_t kWriteFlash[] = {0x21, 0x00, 0x00, 0x00, 0x00};

constexpr uint8_t kHelloReply = 0x02;
constexpr uint8_t kSecurityReply = 0x18;
constexpr uint8_t kPartitionReply = 0x1A;
// Statuses of the partition-table reply. Only 0 means the table is now the one on flash; 1 asks
// for the override, after which 0 is again the only acceptance. There is no "accepted with
// changes" status: 2 and 3 leave the flash without the table sent, and anything else is a
// programmer we do not know, whose table we cannot trust either.
constexpr uint8_t kTableAccepted = 0;
constexpr uint8_t kTableDiffers = 1;
constexpr uint8_t kTableNotRecognised = 2;
constexpr uint8_t kTableEraseFailed = 3;
constexpr uint8_t kOpenReply = 0x1C;
constexpr uint8_t kWriteReply = 0x08;
constexpr uint8_t kCloseReply = 0x16;
constexpr uint8_t kResetReply = 0x0C;
constexpr uint8_t kPowerOffReply = 0x12;
constexpr uint8_t kTransferReset = 0x24;
constexpr uint8_t kTransferRequest = 0x20;
constexpr uint8_t kTransferAck = 0x23;
constexpr uint8_t kFlashDone = 0x22;

// Project types whose programmer needs five seconds before each hello.
bool SlowHelloProject(int type) {
  static constexpr int kTypes[] = {3,  12, 13, 16, 17, 18, 21, 23, 24, 25, 26, 27, 28,
                                   29, 30, 31, 32, 33, 34, 36, 37, 38, 39, 41, 48};
  return std::find(std::begin(kTypes), std::end(kTypes), type) != std::end(kTypes);
}

// Block counts are shown in units of 64 blocks.
uint32_t InUnitsOf64(uint64_t count) { return static_cast<uint32_t>((count + 63) / 64); }

std::string BlockText(const std::string& name, const char* what, uint64_t k, uint64_t n) {
  return name + ", " + what + std::to_string(InUnitsOf64(k)) + " of " + std::to_string(InUnitsOf64(n));
}

}  // namespace

WriteFlashTiming WriteFlashTimingFor(uint32_t partLength) {
  if (partLength <= 0xFFFFF) return {0, 50, 200};
  if (partLength <= 0x4FFFFF) return {0, 300, 50};
  if (partLength <= 0x9FFFFF) return {5000, 300, 50};
  if (partLength <= 0x13FFFFF) return {8000, 300, 80};
  if (partLength <= 0x1DFFFFF) return {10000, 500, 80};
  return {10000, 1000, 60};
}

StreamingDownload::StreamingDownload(EngineCore& core, Link& link) : core_(core), link_(link) {}

uint32_t StreamingDownload::FastBlockSize() const {
  return core_.cfg.m_nBlockSize > 0 ? static_cast<uint32_t>(core_.cfg.m_nBlockSize) : kStreamBlock;
}

uint32_t StreamingDownload::EfsBlockSize() const { return std::min(FastBlockSize(), kMaxStreamBlock); }

void StreamingDownload::BuildFrame(const uint8_t* payload, size_t n) { BuildCommandFrame(link_, payload, n); }

RxResult StreamingDownload::ReceiveSlowReply(const char* what) {
  const RxResult rx = link_.ReceiveFrameTimed(kSlowReplyLimitMs);
  if (rx.outcome == RxOutcome::Timeout)
    core_.ReportStatus(csInfo,
                       std::string("No reply to the ") + what + " command within " +
                           std::to_string(kSlowReplyLimitMs / 1000) + " s",
                       mtInfo);
  return rx;
}

bool StreamingDownload::ReplyStartsWith(const RxResult& rx, uint8_t first) const {
  const bool frame = rx.outcome == RxOutcome::Frame || rx.outcome == RxOutcome::Ack;
  return frame && rx.length >= 1 && link_.Response()[0] == first;
}

int StreamingDownload::SendHello() {
  BuildFrame(kHello, sizeof kHello);
  const int type = core_.cfg.ProjectType;
  const uint32_t projectWait = type == 7 ? 500 : SlowHelloProject(type) ? 5000 : 0;
  for (int attempt = 0; attempt < kHelloAttempts; ++attempt) {
    if (projectWait != 0 && !core_.Wait(projectWait)) return -1;
    if (!core_.Wait(100) || !core_.Healthy()) return -1;
    link_.SendFramed();
    link_.MutableResponse()[0] = 0;
    const RxResult rx = link_.ReceiveFrameTimed();
    if (!core_.Healthy()) return -1;
    if (ReplyStartsWith(rx, kHelloReply)) return 0;
    if (!core_.Wait(100)) return -1;
  }
  return 1;
}

int StreamingDownload::SendSecurityMode() {
  core_.ReportStatus(csWorking, "Security mode cmd", mtProgress);
  BuildFrame(kSecurityMode, sizeof kSecurityMode);
  for (int attempt = 0; attempt < kSecurityAttempts; ++attempt) {
    if (!core_.Healthy()) return -1;
    link_.SendFramed();
    const RxResult rx = link_.ReceiveFrameTimed();
    if (!core_.Healthy()) return -1;
    if (ReplyStartsWith(rx, kSecurityReply)) {
      core_.ReportStatus(csWorking, "Security mode successfully", mtProgress);
      return 0;
    }
    if (!core_.Wait(100)) return -1;
  }
  return 1;
}

int StreamingDownload::LoadPartitionTable(uint8_t overrideFlag) {
  const std::string& path = core_.cfg.partitionFile;
  ImageFile file;
  if (!file.Open(path)) {
    core_.ReportError("Could not open BIN file: " + path);
    return -1;
  }
  const uint64_t size = file.Size();
  if (overrideFlag == 0) partitionFileSize = static_cast<uint32_t>(std::min<uint64_t>(size, UINT32_MAX));
  if (size < 1 || size > kMaxPartitionTable) {
    core_.ReportError("BIN file length error: " + path);
    return -1;
  }
  uint8_t table[kMaxPartitionTable];
  if (file.Read(table, size) != size) {
    core_.ReportError("Could not read from BIN file: " + path);
    return -1;
  }
  file.Close();
  FrameBuffer& frame = link_.Frame();
  frame.Clear();
  frame.AddEscaped(0x19);
  frame.AddEscaped(overrideFlag);
  frame.AddEscaped(table, static_cast<uint32_t>(size));
  frame.FinishFrame();
  return 0;
}

int StreamingDownload::SendPartitionTable() {
  core_.ReportStatus(csWorking, "Sending 009......", mtProgress);
  if (LoadPartitionTable(0) != 0) return -1;
  if (!core_.Healthy()) return -1;
  link_.SendFramed();
  const RxResult rx = ReceiveSlowReply("partition table");
  if (!core_.Healthy()) return -1;
  // The reply carries the status after the command byte (plus two check bytes).
  if (!ReplyStartsWith(rx, kPartitionReply) || rx.length < 4) return 1;
  const uint8_t status = link_.Response()[1];
  if (status == kTableAccepted) return 0;
  if (status == kTableDiffers) return SendPartitionTableOverride();
  // Every image is placed by the table on flash: one the programmer did not take means the
  // images would land where an old or half-erased table puts them.
  ReportTableRefused("", status);
  return 2;
}

int StreamingDownload::SendPartitionTableOverride() {
  core_.ReportStatus(csWorking, "Sending override existing table command...", mtProgress);
  if (LoadPartitionTable(1) != 0) return -1;
  if (!core_.Healthy()) return -1;
  link_.SendFramed();
  const RxResult rx = ReceiveSlowReply("partition table");
  if (!core_.Healthy()) return -1;
  if (!ReplyStartsWith(rx, kPartitionReply) || rx.length < 4) return 1;
  const uint8_t status = link_.Response()[1];
  if (status == kTableAccepted) return 0;
  ReportTableRefused("override ", status);
  return 2;
}

void StreamingDownload::ReportTableRefused(const char* what, uint8_t status) {
  const char* meaning = status == kTableNotRecognised ? "format not recognised"
                        : status == kTableEraseFailed  ? "erase failed"
                        : status == kTableDiffers      ? "differs from the table on flash"
                                                       : "unknown status, taken as a refusal";
  core_.ReportStatus(csInfo,
                     std::string("Partition table ") + what + "refused by the programmer: status " +
                         std::to_string(status) + " (" + meaning + ")",
                     mtInfo);
}

int StreamingDownload::OpenImageByName(const tagImgCmdPara& record) {
  core_.ReportStatus(csWorking, std::string("Sending image file download new request ") + record.name + "...",
                     mtProgress);
  BuildFrame(record.command, static_cast<size_t>(record.commandLength));
  const auto expected = static_cast<uint32_t>(record.expectedReplyLength);
  for (int attempt = 0; attempt < kOpenAttempts; ++attempt) {
    if (!core_.Healthy()) return -1;
    link_.SendFramed();
    const RxResult rx = link_.ReceiveFrameTimed();
    if (!core_.Healthy()) return -1;
    const bool frame = rx.outcome == RxOutcome::Frame || rx.outcome == RxOutcome::Ack;
    if (frame && rx.length >= expected && std::memcmp(link_.Response(), record.expectedReply, expected) == 0) {
      return 0;
    }
    if (!core_.Wait(500)) return -1;
  }
  return 1;
}

int StreamingDownload::OpenAppsImage() {
  BuildFrame(kOpenApps, sizeof kOpenApps);
  if (!core_.Healthy()) return -1;
  link_.SendFramed();
  const RxResult rx = ReceiveSlowReply("open");
  if (!core_.Healthy()) return -1;
  if (!ReplyStartsWith(rx, kOpenReply)) return 1;
  return rx.length >= 2 && link_.Response()[1] == 0 ? 0 : 2;
}

int StreamingDownload::OpenEfsImage() {
  core_.ReportStatus(csWorking, "Sending EFS file download request...", mtProgress);
  BuildFrame(kOpenEfs, sizeof kOpenEfs);
  for (int attempt = 0; attempt < kOpenAttempts; ++attempt) {
    if (!core_.Healthy()) return -1;
    link_.SendFramed();
    if (!core_.Wait(100)) return -1;
    const RxResult rx = link_.ReceiveFrameTimed();
    if (!core_.Healthy()) return -1;
    const bool frame = rx.outcome == RxOutcome::Frame || rx.outcome == RxOutcome::Ack;
    if (frame && rx.length >= 2 && (link_.Response()[0] == kOpenReply || link_.Response()[1] == 0)) return 0;
    if (!core_.Wait(100)) return -1;
  }
  return 1;
}

int StreamingDownload::OpenAppEfsImage() {
  core_.ReportStatus(csWorking, "Sending Application EFS file download request...", mtProgress);
  BuildFrame(kOpenAppEfs, sizeof kOpenAppEfs);
  for (int attempt = 0; attempt < kOpenAttempts; ++attempt) {
    if (!core_.Healthy()) return -1;
    link_.SendFramed();
    const RxResult rx = link_.ReceiveFrameTimed();
    if (!core_.Healthy()) return -1;
    const bool frame = rx.outcome == RxOutcome::Frame || rx.outcome == RxOutcome::Ack;
    if (frame && rx.length >= 2 && (link_.Response()[0] == kOpenReply || link_.Response()[1] == 0)) return 0;
    if (!core_.Wait(100)) return -1;
  }
  return 1;
}

// The acknowledgement of a stream write is a frame 08 + the written address + check. It is
// parsed as a frame (escapes, check, echoed address), so a corrupted acknowledgement is
// retried rather than taken for a written block, and one whose address or check holds a
// flag or escape byte is still understood.
bool StreamingDownload::ReceiveStreamWriteAck(uint32_t address) {
  uint8_t raw[32];
  const size_t got = ReadRawReply(core_, link_, raw, sizeof raw, 1, kWriteAckSize);
  if (!core_.Healthy()) return false;
  uint8_t payload[16];
  FrameDecoder decoder(payload, sizeof payload, true);
  FrameDecoder::Event event = FrameDecoder::Event::None;
  for (size_t i = 0; i < got && event == FrameDecoder::Event::None; ++i) event = decoder.Push(raw[i]);
  const bool ok = event == FrameDecoder::Event::Frame && decoder.Length() == 7 && payload[0] == kWriteReply &&
                  GetLE32(payload + 1) == address;
  if (!ok) core_.ReportStatus(csInfo, "Return value has a mistake:" + HexBytes(raw, got), mtInfo);
  return ok;
}

int StreamingDownload::StreamWrite(uint32_t address, const uint8_t* data, uint32_t n) {
  FrameBuffer& frame = link_.Frame();
  frame.Clear();
  uint8_t head[5] = {0x07};
  PutLE32(head + 1, address);
  frame.AddEscaped(head, sizeof head);
  frame.AddEscaped(data, n);
  frame.FinishFrame();
  for (int attempt = 0; attempt < kStreamWriteAttempts; ++attempt) {
    if (!core_.Healthy()) return -1;
    link_.SendFramed();
    if (attempt > 0) core_.ReportStatus(csInfo, "Re_transmit data", mtInfo);
    if (ReceiveStreamWriteAck(address)) return 0;
    if (!core_.Wait(100)) return -1;
  }
  return 1;
}

int StreamingDownload::CloseImage() {
  BuildFrame(kClose, sizeof kClose);
  for (int attempt = 0; attempt < kCloseAttempts; ++attempt) {
    if (!core_.Healthy()) return -1;
    link_.SendFramed();
    const RxResult rx = ReceiveSlowReply("close");
    if (!core_.Healthy()) return -1;
    if (ReplyStartsWith(rx, kCloseReply)) return 0;
    if (!core_.Wait(100)) return -1;
  }
  return 1;
}

int StreamingDownload::SendReset() {
  core_.ClearDeviceChangeFlags();
  if (!core_.Healthy()) return -1;
  BuildResetFrame(link_);
  link_.SendFramed();
  core_.ReportStatus(csInfo, "Send reset command", mtInfo);
  const RxResult rx = ReceiveSlowReply("reset");
  if (!core_.Healthy()) return -1;
  return ReplyStartsWith(rx, kResetReply) ? 0 : 1;
}

int StreamingDownload::SendPowerOff() {
  if (!core_.Healthy()) return -1;
  BuildFrame(kPowerOff, sizeof kPowerOff);
  link_.SendFramed();
  core_.ReportStatus(csInfo, "Send poweroff command", mtInfo);
  for (int wait = 0; wait < kPowerOffWaits; ++wait) {
    const RxResult rx = link_.ReceiveFrameTimed();
    if (!core_.Healthy()) return -1;
    if (ReplyStartsWith(rx, kPowerOffReply)) return 0;
    if (!core_.Wait(100)) return -1;
  }
  return 1;
}

int StreamingDownload::WriteImageBlocks(BlockVariant variant, const std::string& file, uint32_t size,
                                        int progressStart, int progressEnd) {
  if (!core_.Healthy()) return -1;
  const std::string name = FileNameOf(file);
  ImageFile image;
  if (!image.Open(file)) {
    core_.ReportError("Could not open BIN file: " + file);
    return 2;
  }
  if (size == 0) {
    // An empty image would be "written" as nothing at all and the update could still pass.
    core_.ReportError("BIN file length error: " + file);
    return 2;
  }
  const uint32_t blockSize = variant == BlockVariant::Efs ? EfsBlockSize() : kStreamBlock;
  const uint64_t total = (static_cast<uint64_t>(size) + blockSize - 1) / blockSize;
  const uint64_t fullBlocks = size / blockSize;
  const uint64_t progressBlocks = std::max<uint64_t>(fullBlocks, 1);
  const bool withProgress = variant != BlockVariant::Efs;

  switch (variant) {
    case BlockVariant::Image:
      core_.ReportStatus(csWorking, "Downloading " + file + "...", mtProgress);
      if (!core_.Wait(2)) return -1;
      core_.ReportStatus(csWorking, name + " downloading, ", mtProgress);
      break;
    case BlockVariant::Apps:
      core_.ReportStatus(csWorking, "Downloading Apps Image...", mtProgress);
      if (!core_.Wait(500)) return -1;
      core_.ReportStatus(csWorking, "Downloading D020......", mtProgress);
      break;
    case BlockVariant::Efs:
      core_.ReportStatus(csWorking, "Downloading EFS...", mtProgress);
      if (!core_.Wait(100)) return -1;
      core_.ReportStatus(csWorking, name + " downloading, ", mtProgress);
      break;
    case BlockVariant::AppEfs:
      core_.ReportStatus(csWorking, "Downloading Application EFS...", mtProgress);
      if (!core_.Wait(100)) return -1;
      core_.ReportStatus(csWorking, name + " downloading, " + std::to_string(InUnitsOf64(total)) + " blocks",
                         mtProgress);
      break;
  }
  if (withProgress) core_.ReportProgress(progressStart);

  if (block_.size() < blockSize) block_.resize(blockSize);
  uint32_t address = 0;
  uint32_t previous = 0;
  uint64_t fullRead = 0;
  uint64_t counted = 0;
  while (core_.Healthy()) {
    address += previous;
    const uint32_t want = fullRead < fullBlocks ? blockSize : size % blockSize;
    const size_t got = image.Read(block_.data(), want);
    if (got != want) {
      // A read error, or the file shrank after it was measured.
      core_.ReportError("Could not read from BIN file: " + file);
      return 2;
    }
    if (want == blockSize) ++fullRead;
    ++counted;
    bool written = false;
    for (int attempt = 0; attempt < kBlockAttempts; ++attempt) {
      const int r = StreamWrite(address, block_.data(), static_cast<uint32_t>(got));
      if (r == 0) {
        written = true;
        break;
      }
      if (r < 0 || !core_.Healthy()) return -1;
      core_.ReportStatus(csWorking,
                         variant == BlockVariant::Apps ? std::string("Downloading D021......")
                                                       : BlockText(name, "re-sending block ", counted, total),
                         mtProgress);
    }
    if (!written) {
      core_.ReportError(BlockText(name, "fail to write block ", counted, total));
      return 2;
    }
    if (withProgress) {
      const uint64_t span = static_cast<uint64_t>(progressEnd - progressStart);
      core_.ReportProgress(progressStart + static_cast<int>(span * std::min(counted, progressBlocks) / progressBlocks));
    }
    previous = static_cast<uint32_t>(got);
    if (got < blockSize || counted == total) break;
  }
  return core_.Healthy() ? 0 : -1;
}

bool StreamingDownload::FastWriteImage(const std::string& file, uint32_t size, uint16_t checksum) {
  if (!core_.Healthy()) return false;
  ImageFile image;
  if (!image.Open(file)) {
    if (core_.host != nullptr) core_.host->MessageBox("Could not open file", "Warning");
    // The message alone would let the run go on and report success without this image.
    core_.ReportError("Could not open BIN file: " + file);
    return false;
  }
  if (size == 0) {
    core_.ReportError("BIN file length error: " + file);
    return false;
  }
  if (checksum == 0) {
    // No checksum from the pre-flight check: take it from the file (a true 0 stays 0).
    std::vector<uint8_t> buffer(64 * 1024);
    uint16_t crc = kCrc16Init;
    uint64_t left = size;
    while (left > 0) {
      const size_t want = static_cast<size_t>(std::min<uint64_t>(left, buffer.size()));
      if (image.Read(buffer.data(), want) != want) {
        core_.ReportError("Could not read from BIN file: " + file);
        return false;
      }
      crc = Crc16Update(crc, buffer.data(), want);
      left -= want;
    }
    checksum = static_cast<uint16_t>(~crc);
  }
  for (uint64_t offset = 0; offset < size && core_.Healthy();) {
    const auto length = static_cast<uint32_t>(std::min<uint64_t>(kFastPartSize, size - offset));
    if (length == kFastPartSize) core_.ReportStatus(csInfo, "Transmit data reset----", mtInfo);
    if (!FastWritePart(image, file, static_cast<uint32_t>(offset), length, checksum)) break;
    offset += length;
  }
  return core_.Healthy();
}

void StreamingDownload::BuildFastHandshake(uint8_t command, uint32_t offset, uint32_t length,
                                           uint16_t checksum) {
  uint8_t payload[11] = {command};
  PutLE32(payload + 1, offset);
  PutLE32(payload + 5, length);
  payload[9] = static_cast<uint8_t>(checksum);
  payload[10] = static_cast<uint8_t>(checksum >> 8);
  BuildFrame(payload, sizeof payload);
}

bool StreamingDownload::FastReplyIs(uint8_t code, int emptyReads, bool needAllOnes) {
  const size_t got = ReadRawReply(core_, link_, reply_, sizeof reply_, emptyReads, kFastReplySize);
  if (got < 2 || reply_[1] != code) return false;
  return !needAllOnes || (got >= 4 && reply_[2] == 0xFF && reply_[3] == 0xFF);
}

bool StreamingDownload::FastHandshake(bool reset, const std::string& name, uint32_t offset, uint32_t length,
                                      uint16_t checksum) {
  BuildFastHandshake(reset ? kTransferReset : kTransferRequest, offset, length, checksum);
  for (int attempt = 0; attempt < kHandshakeTries; ++attempt) {
    if (!core_.Healthy()) return false;
    core_.ReportStatus(csInfo, reset ? "Transmit data reset." : "Transmit data request.", mtInfo);
    bool accepted = false;
    if (reset) {
      link_.SendFrame();
      for (int read = 0; read < kResetReads && !accepted && core_.Healthy(); ++read) {
        accepted = FastReplyIs(kTransferAck, 1, true);
      }
    } else {
      link_.SendFramed();
      accepted = FastReplyIs(kTransferAck, 1);
    }
    if (!core_.Healthy()) return false;
    if (accepted) {
      core_.ReportStatus(csInfo, reset ? "Transmit data reset OK" : "Transmit data request OK", mtInfo);
      return true;
    }
    if (!core_.Wait(500)) return false;
  }
  core_.ReportError(name + " Rec request value error.");
  return false;
}

bool StreamingDownload::SendFastBlocks(ImageFile& image, uint32_t offset, uint32_t length) {
  if (!image.Seek(offset)) return false;
  FrameBuffer& frame = link_.Frame();
  const uint32_t blockSize = FastBlockSize();
  uint32_t remaining = length;
  while (remaining > 0) {
    if (!core_.Healthy()) return false;
    const uint32_t data = std::min(blockSize, remaining);
    // A block goes out raw; blocks larger than the frame buffer go out in pieces, the
    // first through the checked send (which clears the queues), the rest written directly.
    for (uint32_t sent = 0; sent < blockSize;) {
      const uint32_t piece = std::min(blockSize - sent, FrameBuffer::kCapacity);
      const uint32_t fromFile = sent < data ? std::min(piece, data - sent) : 0;
      frame.Clear();
      if (image.Read(frame.data(), fromFile) != fromFile) return false;
      if (fromFile < piece) std::memset(frame.data() + fromFile, 0, piece - fromFile);
      frame.length = piece;
      const bool ok = sent == 0 ? link_.SendRawChecked() : link_.WritePort(frame.data(), piece) == piece;
      if (!ok) return false;
      sent += piece;
    }
    if (!FastReplyIs(kTransferAck, 1)) return false;
    remaining -= data;
  }
  return true;
}

bool StreamingDownload::WriteFlash(const std::string& name, uint32_t length) {
  FrameBuffer& frame = link_.Frame();
  frame.Clear();
  frame.AddRaw(kWriteFlash, sizeof kWriteFlash);
  frame.FinishRawFrame();
  link_.SendRawChecked();
  core_.ReportStatus(csInfo, "Write flash now ...", mtInfo);
  const WriteFlashTiming timing = WriteFlashTimingFor(length);
  if (timing.initialWaitMs != 0 && !core_.Wait(timing.initialWaitMs)) return false;
  for (uint32_t poll = 0; poll < timing.maxPolls; ++poll) {
    if (!core_.Wait(timing.pollIntervalMs) || !core_.Healthy()) return false;
    if (FastReplyIs(kFlashDone, 1)) return true;
  }
  core_.ReportError(name + " Write flash timeout.");
  return false;
}

bool StreamingDownload::FastWritePart(ImageFile& image, const std::string& file, uint32_t offset, uint32_t length,
                                      uint16_t checksum) {
  const std::string name = FileNameOf(file);
  bool sent = false;
  for (int attempt = 1; attempt <= kFastPartAttempts && !sent; ++attempt) {
    if (!core_.Healthy()) return false;
    if (attempt > 1) {
      core_.ReportStatus(csInfo, "===Try transmit data again===", mtInfo);
      if (!core_.Wait(500)) return false;
      if (!FastHandshake(true, name, offset, length, checksum)) return false;
    }
    if (!FastHandshake(false, name, offset, length, checksum)) return false;
    core_.ReportStatus(csInfo, "Transmit data start.", mtInfo);
    sent = SendFastBlocks(image, offset, length);
  }
  if (!core_.Healthy()) return false;
  if (!sent) {
    core_.ReportError(name + " Transmit data failure.");
    return false;
  }
  core_.ReportStatus(csInfo, "Transmit data OK", mtInfo);
  if (!WriteFlash(name, length)) return false;
  if (!core_.Healthy()) return false;
  core_.ReportStatus(csInfo, "Write Flash OK.", mtInfo);
  return true;
}

}  // namespace zovir
