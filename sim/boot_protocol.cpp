// The boot loader on the emergency-download port. Sahara: the loader greets first, then
// pulls the flash programmer (an ELF32 image) piece by piece: the 52-byte header, the
// program headers, then every loadable segment in file order. DMSS (older loaders): framed
// NOP / version / parameter commands first, then the same pull without a hello exchange.
#include <algorithm>
#include <cstring>
#include <optional>

#include "sim/device_state.h"
#include "sim/protocols.h"
#include "sim/virtual_modem.h"

namespace zovir::sim {
namespace {

constexpr uint32_t kHello = 1, kHelloResp = 2, kReadData = 3, kEndOfImage = 4, kDone = 5, kDoneResp = 6,
                   kReset = 7, kResetResp = 8, kCommandReady = 0x0B, kSwitchMode = 0x0C, kExecute = 0x0D,
                   kExecuteResp = 0x0E, kExecuteData = 0x0F;
// Modes of the hello and the host's hello response.
constexpr uint32_t kModeImageTransfer = 0, kModeMemoryDebug = 2, kModeCommand = 3, kLastMode = 3;
constexpr uint32_t kImageId = 13;  // the flash programmer
constexpr uint32_t kElfHeaderSize = 52;
// End-of-transfer statuses.
constexpr uint32_t kStatusInvalidCommand = 0x01;
constexpr uint32_t kStatusProtocolMismatch = 0x02;
constexpr uint32_t kStatusInvalidPacketSize = 0x05;
constexpr uint32_t kStatusUnsupportedPhdrCount = 0x0E;
constexpr uint32_t kStatusInvalidPhdrSize = 0x0F;
constexpr uint32_t kStatusUninitPhdrLocation = 0x11;
constexpr uint32_t kStatusInvalidElfHeader = 0x14;
constexpr uint32_t kStatusInvalidMode = 0x18;
constexpr uint32_t kStatusMemoryDebugUnsupported = 0x1B;
constexpr uint32_t kStatusInvalidModeSwitch = 0x1C;
constexpr uint32_t kStatusExecUnsupported = 0x1F;
constexpr uint32_t kStatusExecDataInvalid = 0x20;
// Client commands of the command mode.
constexpr uint32_t kExecSerialNumber = 0x01, kExecHardwareId = 0x02, kExecPublicKeyHash = 0x03,
                   kExecLoaderVersion = 0x07;

Bytes Words(std::initializer_list<uint32_t> words) {
  Bytes b;
  for (uint32_t w : words) PutLe32(b, w);
  return b;
}

class BootLoader final : public PortProtocol {
 public:
  BootLoader(PortHost& host, BootProtocol protocol) : host_(host), dmss_(protocol == BootProtocol::Dmss) {}

  void OnStart() override {
    if (dmss_) {
      state_ = State::Dmss;
      return;
    }
    SendHello(kModeImageTransfer);
  }

  void OnBytes(std::span<const uint8_t> data) override {
    for (size_t i = 0; i < data.size();) {
      switch (state_) {
        case State::Dmss:
          i += DmssByte(data[i]);
          break;
        case State::Data: {
          size_t take = std::min(data.size() - i, static_cast<size_t>(expect_ - got_.size()));
          got_.insert(got_.end(), data.begin() + static_cast<std::ptrdiff_t>(i), data.begin() + static_cast<std::ptrdiff_t>(i + take));
          i += take;
          if (got_.size() == expect_) DataComplete();
          break;
        }
        case State::Command:
          cmd_.push_back(data[i++]);
          CommandBytes();
          break;
        case State::Gone:
          return;
      }
    }
  }

 private:
  enum class State { Dmss, Command, Data, Gone };
  enum class Expect { Header, ProgramHeaders, Segment };

  // --- DMSS -------------------------------------------------------------------------------
  size_t DmssByte(uint8_t b) {
    // The programmer's ELF header follows the parameter exchange raw; it begins with 7F.
    if (b == 0x7F && !deframer_.InFrame()) {
      ExpectData(Expect::Header, kElfHeaderSize);
      return 0;  // the byte is taken again as data
    }
    if (auto frame = deframer_.Push(b); frame && !frame->payload.empty()) DmssFrame(*frame);
    return 1;
  }

  void DmssFrame(const DecodedFrame& f) {
    Reply r;
    r.form = Reply::Form::Framed;
    r.nak = Bytes{0x03, 0x00, 0x02};
    if (!f.checkOk) {
      r.payload = Bytes{0x03, 0x00, 0x01};  // NAK: bad check
      SendReply(host_, "dmss:bad-frame", std::move(r));
      return;
    }
    switch (f.payload[0]) {
      case 0x06:  // no-operation -> ACK
        r.payload = Bytes{0x02};
        SendReply(host_, "dmss:nop", std::move(r));
        return;
      case 0x0C: {  // version request -> version reply
        const char* text = "QV9X06 BOOT 1.0";
        r.payload.clear();
        r.payload.push_back(0x0D);
        r.payload.push_back(static_cast<uint8_t>(std::strlen(text)));
        r.payload.insert(r.payload.end(), text, text + std::strlen(text));
        SendReply(host_, "dmss:version", std::move(r));
        return;
      }
      case 0x07: {  // parameter request -> 11 bytes: 08 ver min size(BE) model devsize devtype
        r.form = Reply::Form::FramedNoFlag;
        r.payload = ParameterReply();
        SendReply(host_, "dmss:param", std::move(r));
        return;
      }
      default:
        r.payload = Bytes{0x03, 0x00, 0x02};  // NAK: invalid command
        SendReply(host_, "dmss:unknown", std::move(r));
        return;
    }
  }

  // The reply must stay 11 bytes on the wire, so no check byte may need an escape.
  static Bytes ParameterReply() {
    for (uint8_t type = 0x01;; ++type) {
      Bytes p{0x08, 0x06, 0x01, 0x10, 0x00, 0x2D, 0x80, type};
      if (EncodeFrame(p, false).size() == 11) return p;
    }
  }

  // --- Sahara -----------------------------------------------------------------------------
  void CommandBytes() {
    while (cmd_.size() >= 8) {
      uint32_t len = GetLe32(cmd_, 4);
      if (len < 8 || len > 0x1000) {  // not a packet boundary: resynchronise
        cmd_.erase(cmd_.begin());
        continue;
      }
      if (cmd_.size() < len) return;
      Bytes packet(cmd_.begin(), cmd_.begin() + len);
      cmd_.erase(cmd_.begin(), cmd_.begin() + len);
      Packet(packet);
      if (state_ != State::Command) {
        // Anything after the packet belongs to the new state.
        Bytes rest;
        rest.swap(cmd_);
        if (!rest.empty()) OnBytes(rest);
        return;
      }
    }
  }

  void SendHello(uint32_t mode) {
    state_ = State::Command;
    mode_ = mode;
    Reply hello;
    hello.form = Reply::Form::Raw;
    hello.payload = Words({kHello, 48, 2, 1, host_.Options().saharaMaxCommand, mode, 0, 0, 0, 0, 0, 0});
    SendReply(host_, "sahara:hello", std::move(hello));
  }

  // Every packet gets an answer: one the loader does not take ends the transfer with its
  // status, as the loader would.
  void Packet(const Bytes& p) {
    const uint32_t command = GetLe32(p, 0);
    if (command == kHelloResp) return HelloResponse(p);
    if (command == kReset) {
      if (p.size() != 8) return EndOfImage(kStatusInvalidPacketSize);
      Reply r;
      r.form = Reply::Form::Raw;
      r.payload = Words({kResetResp, 8});
      SendReply(host_, "sahara:reset", std::move(r));
      host_.Request(Transition::ToDownloadMode, 0);
      state_ = State::Gone;
      return;
    }
    if (mode_ == kModeCommand) {
      switch (command) {
        case kExecute: return Execute(p);
        case kExecuteData: return ExecuteData(p);
        case kSwitchMode: return SwitchMode(p);
        default: return EndOfImage(kStatusInvalidCommand);
      }
    }
    if (command == kDone) {
      if (p.size() != 8) return EndOfImage(kStatusInvalidPacketSize);
      Reply r;
      r.form = Reply::Form::Raw;
      r.payload = Words({kDoneResp, 12, transferOk_ ? 1u : 0u});
      r.statusOffset = 8;
      SendReply(host_, "sahara:done", std::move(r));
      if (transferOk_) {
        host_.ProgrammerReceived(image_);
        host_.Request(Transition::ToProgrammer, 0);
        state_ = State::Gone;
      }
      return;
    }
    EndOfImage(kStatusInvalidCommand);
  }

  // The host's answer to a hello picks the mode: the image transfer or the command mode.
  void HelloResponse(const Bytes& p) {
    if (p.size() != 48) return EndOfImage(kStatusInvalidPacketSize);
    const uint32_t version = GetLe32(p, 8), mode = GetLe32(p, 20);
    // Version 2 is spoken down to version 1.
    if (version < 1) return EndOfImage(kStatusProtocolMismatch);
    if (mode == kModeMemoryDebug) return EndOfImage(kStatusMemoryDebugUnsupported);
    if (mode != kModeImageTransfer && mode != kModeCommand) return EndOfImage(kStatusInvalidMode);
    mode_ = mode;
    executing_.reset();
    if (mode == kModeCommand) {
      Reply r;
      r.form = Reply::Form::Raw;
      r.payload = Words({kCommandReady, 8});
      SendReply(host_, "sahara:command-ready", std::move(r));
      return;
    }
    image_.clear();
    ExpectData(Expect::Header, kElfHeaderSize);
    SendRead(0, kElfHeaderSize);
  }

  // What a client command answers; nothing for one this loader does not serve.
  std::optional<Bytes> ClientData(uint32_t client) const {
    const VirtualModemOptions& o = host_.Options();
    switch (client) {
      case kExecSerialNumber: return Words({o.chipSerialNumber});
      case kExecHardwareId: return Words({static_cast<uint32_t>(o.hardwareId), static_cast<uint32_t>(o.hardwareId >> 32)});
      case kExecPublicKeyHash: return o.publicKeyHash;
      case kExecLoaderVersion: return Words({o.bootLoaderVersion});
      default: return std::nullopt;
    }
  }

  void Execute(const Bytes& p) {
    if (p.size() != 12) return EndOfImage(kStatusInvalidPacketSize);
    const uint32_t client = GetLe32(p, 8);
    const auto data = ClientData(client);
    if (!data) return EndOfImage(kStatusExecUnsupported);
    executing_ = client;
    Reply r;
    r.form = Reply::Form::Raw;
    r.payload = Words({kExecuteResp, 16, client, static_cast<uint32_t>(data->size())});
    SendReply(host_, "sahara:execute", std::move(r));
  }

  void ExecuteData(const Bytes& p) {
    if (p.size() != 12) return EndOfImage(kStatusInvalidPacketSize);
    const uint32_t client = GetLe32(p, 8);
    if (!executing_ || *executing_ != client) return EndOfImage(kStatusExecDataInvalid);
    executing_.reset();
    Reply r;
    r.form = Reply::Form::Raw;
    r.payload = *ClientData(client);
    SendReply(host_, "sahara:execute-data", std::move(r));
  }

  void SwitchMode(const Bytes& p) {
    if (p.size() != 12) return EndOfImage(kStatusInvalidPacketSize);
    const uint32_t mode = GetLe32(p, 8);
    if (mode > kLastMode) return EndOfImage(kStatusInvalidModeSwitch);
    executing_.reset();
    SendHello(mode);
  }

  void ExpectData(Expect what, uint32_t n) {
    expecting_ = what;
    expect_ = n;
    got_.clear();
    state_ = State::Data;
  }

  void SendRead(uint32_t offset, uint32_t length) {
    lastOffset_ = offset;
    Reply r;
    r.form = Reply::Form::Raw;
    r.payload = Words({kReadData, 20, kImageId, offset, length});
    SendReply(host_, "sahara:read", std::move(r));
  }

  void EndOfImage(uint32_t status) {
    transferOk_ = status == 0;
    state_ = State::Command;
    if (status != 0) host_.Event("sahara end of transfer: status " + std::to_string(status));
    Reply r;
    r.form = Reply::Form::Raw;
    r.payload = Words({kEndOfImage, 16, mode_ == kModeCommand ? 0 : kImageId, status});
    r.statusOffset = 12;
    r.nak = Words({kEndOfImage, 16, kImageId, 1});
    SendReply(host_, "sahara:end", std::move(r));
  }

  void DataComplete() {
    Bytes data;
    data.swap(got_);
    // A loader that lost what it was sent (or never took it) asks for the same piece again
    // and keeps nothing of it.
    if (auto next = host_.Faults().Peek("sahara:read"); next && next->kind == FaultKind::Repeat) {
      ExpectData(expecting_, static_cast<uint32_t>(data.size()));
      SendRead(lastOffset_, expect_);
      return;
    }
    switch (expecting_) {
      case Expect::Header: {
        PlaceInImage(0, data);
        const bool elf = data[0] == 0x7F && data[1] == 'E' && data[2] == 'L' && data[3] == 'F' && data[4] == 1;
        phoff_ = GetLe32(data, 28);
        const uint16_t phentsize = GetLe16(data, 42), phnum = GetLe16(data, 44);
        if (!elf) {
          host_.Event("programmer is not an ELF32 image");
          return EndOfImage(kStatusInvalidElfHeader);
        }
        if (phentsize != 32) return EndOfImage(kStatusInvalidPhdrSize);
        if (phnum == 0 || phnum > 256) return EndOfImage(kStatusUnsupportedPhdrCount);
        if (phoff_ < kElfHeaderSize) return EndOfImage(kStatusUninitPhdrLocation);
        ExpectData(Expect::ProgramHeaders, uint32_t(phentsize) * phnum);
        SendRead(phoff_, expect_);
        return;
      }
      case Expect::ProgramHeaders: {
        PlaceInImage(phoff_, data);
        pieces_.clear();
        struct Seg {
          uint32_t offset, size;
        };
        std::vector<Seg> segs;
        for (size_t at = 0; at + 32 <= data.size(); at += 32) {
          const uint32_t type = GetLe32(data, at), offset = GetLe32(data, at + 4), filesz = GetLe32(data, at + 16);
          if (type == 1 && filesz > 0) segs.push_back({offset, filesz});
        }
        std::sort(segs.begin(), segs.end(), [](const Seg& a, const Seg& b) { return a.offset < b.offset; });
        const uint32_t chunk = std::max<uint32_t>(1, host_.Options().saharaMaxChunk);
        for (const auto& s : segs) {
          for (uint32_t done = 0; done < s.size; done += chunk) pieces_.push_back({s.offset + done, std::min(chunk, s.size - done)});
        }
        if (pieces_.empty()) {
          host_.Event("programmer has no loadable segment");
          EndOfImage(kStatusUnsupportedPhdrCount);
          return;
        }
        next_ = 0;
        RequestNextPiece();
        return;
      }
      case Expect::Segment:
        PlaceInImage(pieces_[next_].first, data);
        ++next_;
        if (next_ == pieces_.size()) {
          EndOfImage(0);
        } else {
          RequestNextPiece();
        }
        return;
    }
  }

  void RequestNextPiece() {
    ExpectData(Expect::Segment, pieces_[next_].second);
    SendRead(pieces_[next_].first, pieces_[next_].second);
  }

  void PlaceInImage(uint32_t offset, const Bytes& data) {
    if (image_.size() < offset + data.size()) image_.resize(offset + data.size());
    std::copy(data.begin(), data.end(), image_.begin() + offset);
  }

  PortHost& host_;
  bool dmss_;
  State state_ = State::Command;
  Deframer deframer_;
  Bytes cmd_;
  Expect expecting_ = Expect::Header;
  uint32_t expect_ = 0;
  Bytes got_;
  uint32_t phoff_ = 0;
  uint32_t lastOffset_ = 0;  // of the last read-data request (the unasked header: 0)
  std::vector<std::pair<uint32_t, uint32_t>> pieces_;
  size_t next_ = 0;
  bool transferOk_ = false;
  Bytes image_;
  uint32_t mode_ = kModeImageTransfer;        // the mode of the last hello
  std::optional<uint32_t> executing_;         // the client command whose data is due
};

}  // namespace

std::unique_ptr<PortProtocol> MakeBootProtocol(PortHost& host, BootProtocol protocol) {
  return std::make_unique<BootLoader>(host, protocol);
}

}  // namespace zovir::sim
