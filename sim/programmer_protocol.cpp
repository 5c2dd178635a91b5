// The flash programmer: the streaming download protocol. Every command is a frame; every
// reply is a frame with an opening flag. The fast-speed extension sends the image raw in
// fixed blocks, each acknowledged, and ends each part with an unframed write-flash command.
#include <algorithm>
#include <cstring>

#include "sim/checksum.h"
#include "sim/device_state.h"
#include "sim/protocols.h"
#include "sim/virtual_modem.h"

namespace zovir::sim {
namespace {

// Error codes of the 0x0D error packet, one per case as the protocol's table has them (the bad
// frame check keeps the code of the download protocol's invalid-check answer).
constexpr uint32_t kErrBadFrame = 0x01;
constexpr uint32_t kErrInvalidAddress = 0x02;
constexpr uint32_t kErrInvalidName = 0x02;  // the destination of an open
constexpr uint32_t kErrInvalidLength = 0x03;
constexpr uint32_t kErrInvalidCommand = 0x05;
constexpr uint32_t kErrOperationFailed = 0x07;
constexpr uint32_t kErrWriteFailed = 0x0A;  // write-verify failed
constexpr uint32_t kErrSequence = 0x0F;
constexpr uint32_t kErrCloseFailed = 0x10;
// The flash of the modem; nothing is written beyond it.
constexpr uint64_t kFlashSize = 256ull * 1024 * 1024;

constexpr const char kTargetMagic[] = "QCOM fast download protocol targ";
constexpr const char kHostMagic[] = "QCOM fast download protocol host";

// Open-by-name partition names -> the partition the data lands in.
struct NamedPartition {
  const char* openName;
  const char* partition;
};
constexpr NamedPartition kPartitions[] = {
    {"0:SBL", "sbl1"}, {"0:TZ", "tz"},     {"0:QDSP", "qdsp6sw"}, {"0:MBA", "mba"},
    {"0:RPM", "rpm"},  {"0:ACDB", "acdb"}, {"0:APPS", "apps"},
};

// The fault-plan key of a command.
std::string CommandKey(uint8_t command) {
  switch (command) {
    case 0x01: return "hello";
    case 0x17: return "security";
    case 0x19: return "ptable";
    case 0x1B: return "open";
    case 0x07: return "write";
    case 0x15: return "close";
    case 0x0B: return "reset";
    case 0x11: return "poweroff";
    case 0x24: return "fast-reset";
    case 0x20: return "fast-request";
    default: return "unknown";
  }
}

Bytes ErrorPacket(uint32_t code, const std::string& text) {
  Bytes p;
    p.push_back(0x0D);
  PutLe32(p, code);
  p.insert(p.end(), text.begin(), text.end());
  return p;
}

class Programmer final : public PortProtocol {
 public:
  explicit Programmer(PortHost& host) : host_(host) {}

  void OnBytes(std::span<const uint8_t> data) override {
    for (size_t i = 0; i < data.size(); ++i) {
      if (fast_ == Fast::Blocks) {
        size_t take = std::min(data.size() - i, static_cast<size_t>(blockSize_ - block_.size()));
        block_.insert(block_.end(), data.begin() + static_cast<std::ptrdiff_t>(i), data.begin() + static_cast<std::ptrdiff_t>(i + take));
        i += take - 1;
        if (block_.size() == blockSize_) BlockComplete();
        continue;
      }
      if (fast_ == Fast::AwaitFlash) {
        block_.push_back(data[i]);
        AwaitFlashBytes();
        continue;
      }
      // Up to the end of one frame: the frame may switch to the raw stages.
      size_t used = 0;
      auto frame = deframer_.Push(data.subspan(i), used);
      i += used - 1;
      if (frame) Frame(*frame);
    }
  }

  void OnTick(std::chrono::steady_clock::time_point now, std::chrono::steady_clock::time_point lastInput) override {
    // In the raw stages a retrying host sends a framed transfer reset or request instead of
    // the next block; once the line is quiet, take what is pending as that command.
    if ((fast_ == Fast::Blocks || fast_ == Fast::AwaitFlash) && !block_.empty() && now - lastInput > std::chrono::milliseconds(150)) {
      TryPendingAsCommand();
    }
  }

 private:
  enum class Fast { Off, Blocks, AwaitFlash };

  void Send(const std::string& key, Bytes payload, int statusOffset = -1) {
    Reply r;
    r.payload = std::move(payload);
    r.statusOffset = statusOffset;
    r.nak = ErrorPacket(kErrInvalidCommand, "Invalid command");
    SendReply(host_, key, std::move(r));
  }
  void SendError(const std::string& key, uint32_t code, const std::string& text) {
    host_.Event("programmer error: " + text);
    Send(key, ErrorPacket(code, text));
  }

  void Frame(const DecodedFrame& f) {
    if (f.payload.empty()) return;
    if (!f.checkOk) {
      SendError("bad-frame", kErrBadFrame, "Invalid CRC");
      return;
    }
    const auto& p = f.payload;
    if (CommandLost(host_, CommandKey(p[0]))) return;
    switch (p[0]) {
      case 0x01: return Hello(p);
      case 0x17: return Security(p);
      case 0x19: return PartitionTable(p);
      case 0x1B: return Open(p);
      case 0x07: return Write(p);
      case 0x15:
        if (p.size() != 1) return SendError("close", kErrInvalidLength, "Invalid length");
        return Close();
      case 0x0B:
        if (p.size() != 1) return SendError("reset", kErrInvalidLength, "Invalid length");
        Send("reset", Bytes{0x0C});
        host_.Request(Transition::ToNormal, host_.Options().resetDelayMs);
        return;
      case 0x11:
        if (p.size() != 1) return SendError("poweroff", kErrInvalidLength, "Invalid length");
        Send("poweroff", Bytes{0x12});
        host_.Request(Transition::PowerOff, host_.Options().resetDelayMs);
        return;
      case 0x24: return FastReset(p);
      case 0x20: return FastRequest(p);
      default:
        SendError("unknown", kErrInvalidCommand, "Invalid command");
        return;
    }
  }

  void Hello(const Bytes& p) {
    if (p.size() < 1 + 32 || std::memcmp(p.data() + 1, kHostMagic, 32) != 0) {
      SendError("hello", kErrInvalidCommand, "Invalid hello");
      return;
    }
    hello_ = true;
    Bytes r(1 + 32);
    r[0] = 0x02;
    std::memcpy(r.data() + 1, kTargetMagic, 32);
    r.push_back(0x02);  // version
    r.push_back(0x02);  // minimum version
    PutLe32(r, 1024);   // preferred block size of a stream write
    PutLe32(r, 0);      // base address of the flash
    const char* flash = "QV NAND 256MB";
    r.push_back(static_cast<uint8_t>(std::strlen(flash)));
    for (const char* c = flash; *c; ++c) r.push_back(static_cast<uint8_t>(*c));
    PutLe16(r, 1);     // window size
    PutLe16(r, 1);     // number of sectors
    PutLe32(r, 0x20000);  // sector size
    r.push_back(0x01);    // feature bits
    Send("hello", std::move(r));
  }

  void Security(const Bytes&) {
    if (!hello_) return SendError("security", kErrSequence, "Command out of sequence: no hello");
    security_ = true;
    Send("security", Bytes{0x18});
  }

  void PartitionTable(const Bytes& p) {
    if (!security_) return SendError("ptable", kErrSequence, "Command out of sequence: no security mode");
    if (p.size() < 3) return SendError("ptable", kErrInvalidCommand, "Empty partition table");
    const bool override = p[1] != 0;
    Bytes table(p.begin() + 2, p.end());
    auto stored = host_.State().Partition("partition");
    uint8_t status = 0;
    if (!override && stored && !stored->empty() && *stored != table) {
      status = 1;  // differs from the table on flash: the host must override
    }
    // A status fault is the programmer's own answer (2 not recognised, 3 erase failed, ...):
    // a table it does not accept never reaches the flash.
    if (auto next = host_.Faults().Peek("ptable"); next && next->kind == FaultKind::Status) {
      status = static_cast<uint8_t>(next->arg);
    }
    if (status == 0) host_.State().StorePartition("partition", std::move(table));
    Send("ptable", Bytes{0x1A, status}, 1);
  }

  void Open(const Bytes& p) {
    if (!security_) return SendError("open", kErrSequence, "Command out of sequence: no security mode");
    if (p.size() < 2) return SendError("open", kErrInvalidCommand, "Invalid open");
    std::string partition;
    if (p[1] == 0x0E) {
      auto nul = std::find(p.begin() + 2, p.end(), 0);
      if (nul == p.end()) return SendError("open", kErrInvalidName, "Invalid partition name");
      const std::string name(p.begin() + 2, nul);  // bytes after the NUL are accepted
      for (const auto& np : kPartitions) {
        if (name == np.openName) partition = np.partition;
      }
      if (partition.empty()) return SendError("open", kErrInvalidName, "Invalid partition name " + name);
    } else if (p[1] == 0x09) {
      partition = "efs";
    } else if (p[1] == 0x0B) {
      partition = "efs2apps";
    } else {
      return SendError("open", kErrInvalidCommand, "Invalid image type");
    }
    if (open_ && (*open_ != partition || written_)) {
      return SendError("open", kErrSequence, "Command out of sequence: " + *open_ + " is open");
    }
    // A repeated open of the same image before any data (the host retrying) is answered again.
    if (!open_) {
      writer_ = host_.State().WritePartition(partition);
      if (!writer_) return SendError("open", kErrOperationFailed, "Failed to open partition " + partition);
      open_ = partition;
      written_ = false;
    }
    Send("open", Bytes{0x1C, 0x00}, 1);
  }

  void Write(const Bytes& p) {
    if (!open_) return SendError("write", kErrSequence, "Command out of sequence: no image open");
    if (p.size() < 5) return SendError("write", kErrInvalidCommand, "Invalid write");
    const uint32_t address = GetLe32(p, 1);
    if (address + uint64_t(p.size() - 5) > kFlashSize) return SendError("write", kErrInvalidAddress, "Invalid destination address");
    if (!writer_->Write(address, std::span<const uint8_t>(p.data() + 5, p.size() - 5))) {
      return SendError("write", kErrWriteFailed, "Failed to write flash");
    }
    written_ = true;
    Bytes r;
    r.push_back(0x08);
    PutLe32(r, address);
    Send("write", std::move(r));
  }

  void Close() {
    // Nothing open (never opened, refused, or closed already): no image was written.
    if (!open_) return SendError("close", kErrSequence, "Command out of sequence: no image open");
    // A part that never got its write-flash is not part of the image.
    AbandonPart();
    fast_ = Fast::Off;
    const std::string name = *open_;
    const uint64_t size = writer_->Size();
    const bool stored = writer_->Commit();
    writer_.reset();
    open_.reset();
    written_ = false;
    if (!stored) {
      return SendError("close", kErrCloseFailed, "Close did not succeed");
    }
    host_.Event("partition " + name + " written: " + std::to_string(size) + " bytes");
    Send("close", Bytes{0x16});
  }

  // --- fast-speed extension ---------------------------------------------------------------
  bool ParsePart(const Bytes& p) {
    if (p.size() < 11) return false;
    partOffset_ = GetLe32(p, 1);
    partLength_ = GetLe32(p, 5);
    checksum_ = GetLe16(p, 9);
    return true;
  }

  void FastReset(const Bytes& p) {
    if (!open_) return SendError("fast-reset", kErrSequence, "Command out of sequence: no image open");
    if (!ParsePart(p)) return SendError("fast-reset", kErrInvalidCommand, "Invalid transfer reset");
    fast_ = Fast::Off;
    AbandonPart();
    block_.clear();
    Send("fast-reset", Bytes{0x23, 0xFF, 0xFF});
  }

  void FastRequest(const Bytes& p) {
    if (!open_) return SendError("fast-request", kErrSequence, "Command out of sequence: no image open");
    if (!ParsePart(p) || partLength_ == 0) return SendError("fast-request", kErrInvalidCommand, "Invalid transfer request");
    if (uint64_t(partOffset_) + partLength_ > kFlashSize) return SendError("fast-request", kErrInvalidAddress, "Invalid destination address");
    blockSize_ = std::max<uint32_t>(1, host_.Options().fastBlockSize);
    blocksLeft_ = (partLength_ + blockSize_ - 1) / blockSize_;
    AbandonPart();
    // A part past what the image holds goes straight to the partition and is cut off again if
    // it is abandoned; one over bytes already written (a part sent again) waits for its
    // write-flash in memory, so an abandoned retry cannot damage what was flashed.
    partActive_ = true;
    partReceived_ = 0;
    partDirect_ = partOffset_ >= writer_->Size();
    partBase_ = writer_->Size();
    if (!partDirect_) part_.reserve(partLength_);
    block_.clear();
    blockIndex_ = 0;
    fast_ = Fast::Blocks;
    Send("fast-request", Bytes{0x23, 0x00, 0x00});
  }

  void BlockComplete() {
    const size_t keep = static_cast<size_t>(std::min<uint64_t>(block_.size(), partLength_ - partReceived_));
    if (partDirect_) {
      if (!writer_->Write(uint64_t(partOffset_) + partReceived_, std::span<const uint8_t>(block_.data(), keep))) {
        block_.clear();
        fast_ = Fast::Off;
        return SendError("fast-block", kErrWriteFailed, "Failed to write flash");
      }
    } else {
      part_.insert(part_.end(), block_.begin(), block_.begin() + static_cast<std::ptrdiff_t>(keep));
    }
    partReceived_ += keep;
    block_.clear();
    --blocksLeft_;
    if (blocksLeft_ == 0) fast_ = Fast::AwaitFlash;
    Bytes ack;
    ack.push_back(0x23);
    PutLe16(ack, static_cast<uint16_t>(blockIndex_++ & 0x7FFF));
    Send("fast-block", std::move(ack));
  }

  void AwaitFlashBytes() {
    if (block_.size() == 7 && block_[0] == 0x21 && Crc16Update(0xFFFF, block_) == 0xF0B8) {
      block_.clear();
      fast_ = Fast::Off;
      const bool placed = partDirect_ || writer_->Write(partOffset_, part_);
      partActive_ = false;
      part_ = Bytes();
      if (!placed) return SendError("fast-flash", kErrWriteFailed, "Failed to write flash");
      written_ = true;
      Send("fast-flash", Bytes{0x22, 0x00, 0x00});
      return;
    }
    if (block_.back() == 0x7E) TryPendingAsCommand();
  }

  void TryPendingAsCommand() {
    Deframer d;
    std::optional<DecodedFrame> frame;
    for (uint8_t b : block_) {
      if (auto f = d.Push(b); f && !f->payload.empty()) frame = f;
    }
    if (!frame || !frame->checkOk || (frame->payload[0] != 0x24 && frame->payload[0] != 0x20)) return;
    block_.clear();
    fast_ = Fast::Off;
    Frame(*frame);
  }

  // Forgets the part in transfer, if any: what it put into the partition is cut off again.
  void AbandonPart() {
    if (partActive_ && partDirect_ && writer_) writer_->Truncate(partBase_);
    partActive_ = false;
    part_ = Bytes();
  }

  PortHost& host_;
  Deframer deframer_;
  bool hello_ = false;
  bool security_ = false;
  std::optional<std::string> open_;
  bool written_ = false;
  std::unique_ptr<PartitionWriter> writer_;  // the open image, until it is closed

  Fast fast_ = Fast::Off;
  uint32_t partOffset_ = 0, partLength_ = 0, blockSize_ = 4096, blocksLeft_ = 0, blockIndex_ = 0;
  uint16_t checksum_ = 0;
  bool partActive_ = false;  // a part was requested and has not had its write-flash
  bool partDirect_ = false;  // its blocks go straight into the partition, from partBase_ on
  uint64_t partBase_ = 0;
  uint64_t partReceived_ = 0;
  Bytes part_;  // its bytes, while they wait for the write-flash
  Bytes block_;
};

}  // namespace

std::unique_ptr<PortProtocol> MakeProgrammerProtocol(PortHost& host) { return std::make_unique<Programmer>(host); }

}  // namespace zovir::sim
