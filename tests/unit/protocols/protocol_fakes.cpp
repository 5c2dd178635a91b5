#include "protocol_fakes.h"

#include <cstdlib>
#include <cstring>
#include <fstream>

#include "link/crc16.h"

namespace zovir::test {

Bytes EncodeFrame(const Bytes& payload, bool openingFlag) {
  Bytes body = payload;
  const uint16_t crc = Crc16X25(payload.data(), payload.size());
  body.push_back(static_cast<uint8_t>(crc));
  body.push_back(static_cast<uint8_t>(crc >> 8));
  Bytes wire;
  if (openingFlag) wire.push_back(0x7E);
  for (uint8_t b : body) {
    if (b == 0x7E || b == 0x7D) {
      wire.push_back(0x7D);
      wire.push_back(static_cast<uint8_t>(b ^ 0x20));
    } else {
      wire.push_back(b);
    }
  }
  wire.push_back(0x7E);
  return wire;
}

Bytes DecodeFrame(const Bytes& wire) {
  size_t i = 0;
  while (i < wire.size() && wire[i] == 0x7E) ++i;
  Bytes body;
  for (; i < wire.size(); ++i) {
    uint8_t b = wire[i];
    if (b == 0x7E) break;
    if (b == 0x7D) {
      if (++i >= wire.size()) return {};
      b = static_cast<uint8_t>(wire[i] ^ 0x20);
    }
    body.push_back(b);
  }
  if (i >= wire.size() || body.size() < 3) return {};
  if (Crc16Update(kCrc16Init, body.data(), body.size()) != kCrc16Residue) return {};
  body.resize(body.size() - 2);
  return body;
}

Bytes Le32(uint32_t v) {
  return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
          static_cast<uint8_t>(v >> 24)};
}

uint32_t GetLe32(const Bytes& b, size_t at) {
  return static_cast<uint32_t>(b[at]) | (static_cast<uint32_t>(b[at + 1]) << 8) |
         (static_cast<uint32_t>(b[at + 2]) << 16) | (static_cast<uint32_t>(b[at + 3]) << 24);
}

Bytes PatternBytes(size_t n, uint32_t seed) {
  Bytes out(n);
  uint32_t x = seed * 2654435761u + 1;
  for (auto& b : out) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    b = static_cast<uint8_t>(x);
  }
  return out;
}

void Reports::Attach(EngineCore& core) {
  core.OnStatusText = [this, &core](CommStatus s, const std::string& text, int, MESSAGE_TYPE kind) {
    statuses.push_back({s, text, kind, core.clock.NowMs()});
  };
  core.OnError = [this](const std::string& text, int) { errors.push_back(text); };
  core.OnProgress = [this](int position, int, int) { progress.push_back(position); };
}

bool Reports::Has(const std::string& text) const { return IndexOf(text) >= 0; }

int Reports::Count(const std::string& text) const {
  int n = 0;
  for (const auto& s : statuses) n += s.text == text ? 1 : 0;
  return n;
}

int Reports::IndexOf(const std::string& text) const {
  for (size_t i = 0; i < statuses.size(); ++i) {
    if (statuses[i].text == text) return static_cast<int>(i);
  }
  return -1;
}

namespace {
void Place(Bytes& target, uint32_t at, const uint8_t* data, size_t n) {
  if (target.size() < at + n) target.resize(at + n);
  std::memcpy(target.data() + at, data, n);
}
}  // namespace

Bytes FakeProgrammer::Reply(uint8_t command, Bytes reply) {
  const int occurrence = ++seen_[command];
  if (tamper) tamper(command, occurrence, reply);
  return reply;
}

Bytes FakeProgrammer::OnWrite(const Bytes& written) {
  if (silent) return {};
  if (raw_ && written.size() == fastBlockSize) {
    blockSizes.push_back(static_cast<uint32_t>(written.size()));
    const uint32_t take = std::min<uint32_t>(fastBlockSize, partLength_ - partReceived_);
    part_.insert(part_.end(), written.begin(), written.begin() + take);
    partReceived_ += take;
    if (partReceived_ >= partLength_) raw_ = false;
    return Reply(kRawBlock, EncodeFrame({0x23, 0x00, 0x00}));
  }
  if (written.size() == 7 && written[0] == 0x21 &&
      Crc16Update(kCrc16Init, written.data(), written.size()) == kCrc16Residue) {
    commands.push_back(0x21);
    if (partReceived_ == partLength_) Place(partitions[open_], partOffset_, part_.data(), part_.size());
    return Reply(0x21, EncodeFrame({0x22, 0x00, 0x00}));
  }
  const Bytes payload = DecodeFrame(written);
  if (payload.empty()) return {};
  return Command(payload);
}

Bytes FakeProgrammer::Command(const Bytes& p) {
  const uint8_t cmd = p[0];
  commands.push_back(cmd);
  Bytes reply;
  switch (cmd) {
    case 0x01: {
      const std::string text = std::string("\x02") + "QCOM fast download protocol targ" +
                               std::string("\x02\x02\x00\x04\x00\x00\x00", 7);
      reply.assign(text.begin(), text.end());
      break;
    }
    case 0x17: reply = {0x18}; break;
    case 0x19:
      partitionTable.assign(p.begin() + 2, p.end());
      reply = {0x1A, static_cast<uint8_t>(p[1] == 1 ? 0 : partitionStatus)};
      break;
    case 0x1B:
      if (p[1] == 0x0E) {
        open_.clear();
        for (size_t i = 2; i < p.size() && p[i] != 0; ++i) open_ += static_cast<char>(p[i]);
      } else {
        open_ = p[1] == 0x09 ? "EFS" : "APPEFS";
      }
      reply = {0x1C, 0x00};
      break;
    case 0x07: {
      if (open_.empty()) {
        reply = {0x0D, 0x01, 0x00, 0x00, 0x00, 'n', 'o', ' ', 'i', 'm', 'a', 'g', 'e'};
        break;
      }
      const uint32_t address = GetLe32(p, 1);
      Place(partitions[open_], address, p.data() + 5, p.size() - 5);
      reply = {0x08};
      const Bytes a = Le32(address);
      reply.insert(reply.end(), a.begin(), a.end());
      break;
    }
    case 0x15: open_.clear(); reply = {0x16}; break;
    case 0x0B: reply = {0x0C}; break;
    case 0x11: reply = {0x12}; break;
    case 0x20:
      handshakes.push_back(p);
      partOffset_ = GetLe32(p, 1);
      partLength_ = GetLe32(p, 5);
      partReceived_ = 0;
      part_.clear();
      raw_ = true;
      reply = {0x23, 0x00, 0x00};
      break;
    case 0x24:
      handshakes.push_back(p);
      raw_ = false;
      reply = {0x23, 0xFF, 0xFF};
      break;
    default: reply = {0x0D, 0x02, 0x00, 0x00, 0x00, '?'}; break;
  }
  return Reply(cmd, EncodeFrame(reply));
}

Bytes FakeBootLoader::ReadData(const Request& r) const {
  Bytes out;
  for (uint32_t v : {3u, 20u, 13u, r.offset, r.length}) {
    const Bytes w = Le32(v);
    out.insert(out.end(), w.begin(), w.end());
  }
  return out;
}

Bytes FakeBootLoader::Frame(const Bytes& written) {
  const Bytes payload = DecodeFrame(written);
  if (payload.empty()) return {};
  if (payload[0] == 0x3A) {
    ++switches_;
    if (!echoSwitch || switches_ <= switchesBeforeEcho) return {};
    return EncodeFrame({0x3A}, false);
  }
  dmssFrames.push_back(payload);
  switch (payload[0]) {
    case 0x06: return answerNop ? Bytes{0x7E, 0x02, 0x6A, 0xD3, 0x7E} : Bytes{};
    case 0x0C: return EncodeFrame({0x0D, 0x05, 'V', '1', '.', '0'});
    case 0x07:
      if (dmss_) uploading_ = true;
      return parameterReply;
    default: return {};
  }
}

Bytes FakeBootLoader::OnWrite(const Bytes& written) {
  if (!uploading_) {
    if (written.size() == 48 && GetLe32(written, 0) == 2 && GetLe32(written, 4) == 48) {
      ++helloResponses;
      uploading_ = true;
      return ReadData(plan_.front());
    }
    return Frame(written);
  }
  if (written.size() == 8 && GetLe32(written, 0) == 5 && GetLe32(written, 4) == 8) {
    ++dones;
    Bytes out;
    for (uint32_t v : {doneReplyCommand, 12u, 0u}) {
      const Bytes w = Le32(v);
      out.insert(out.end(), w.begin(), w.end());
    }
    return out;
  }
  pending_.insert(pending_.end(), written.begin(), written.end());
  const uint32_t want = ended_ ? plan_.back().length : plan_[next_].length;
  if (pending_.size() < want) return {};
  served.emplace_back(pending_.begin(), pending_.begin() + want);
  pending_.clear();
  if (!ended_ && ++next_ < plan_.size()) return ReadData(plan_[next_]);
  ended_ = true;
  Bytes out;
  for (uint32_t v : {4u, 16u, 13u, endStatus}) {
    const Bytes w = Le32(v);
    out.insert(out.end(), w.begin(), w.end());
  }
  return out;
}

ProtocolRig::ProtocolRig() : port(factory.Port("COM7")) {
  core.cfg.ComPort = 7;
  reports.Attach(core);
  std::string tmpl = (std::filesystem::temp_directory_path() / "zovir-protocols-XXXXXX").string();
  if (char* made = ::mkdtemp(tmpl.data())) dir = made;
}

ProtocolRig::~ProtocolRig() {
  std::error_code ec;
  if (!dir.empty()) std::filesystem::remove_all(dir, ec);
}

void ProtocolRig::OpenDiag() { link.OpenDiagPort(); }

std::string ProtocolRig::WriteFile(const std::string& name, const Bytes& content) {
  const auto path = dir / name;
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(content.data()), static_cast<std::streamsize>(content.size()));
  return path.string();
}

}  // namespace zovir::test
