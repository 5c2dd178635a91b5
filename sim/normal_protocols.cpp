#include "sim/device_state.h"
#include "sim/protocols.h"
#include "sim/virtual_modem.h"

namespace zovir::sim {
namespace {

class NormalDiag final : public PortProtocol {
 public:
  NormalDiag(PortHost& host, const DiagDispatcher& diag) : host_(host), diag_(diag) {}

  void OnBytes(std::span<const uint8_t> data) override {
    for (uint8_t b : data) {
      auto frame = deframer_.Push(b);
      if (!frame) continue;
      // A frame whose check fails is dropped, as the firmware does; the host times out.
      if (!frame->checkOk || frame->payload.empty()) continue;
      const std::string key = DiagDispatcher::FaultKey(frame->payload);
      if (CommandLost(host_, key)) continue;
      DiagContext ctx{host_.State(), host_.Options(), host_};
      std::optional<Bytes> payload = diag_.Dispatch(frame->payload, ctx);
      if (!payload) {
        host_.Faults().Hit(key);
        continue;
      }
      Reply r;
      r.payload = std::move(*payload);
      r.form = Reply::Form::FramedNoFlag;
      r.nak = DiagDispatcher::ErrorReply(frame->payload);
      SendReply(host_, key, std::move(r));
    }
  }

 private:
  PortHost& host_;
  const DiagDispatcher& diag_;
  Deframer deframer_;
};

class AtPort final : public PortProtocol {
 public:
  AtPort(PortHost& host, const AtDispatcher& at) : host_(host), at_(at) {}

  void OnBytes(std::span<const uint8_t> data) override {
    for (uint8_t b : data) {
      if (b == '\r' || b == '\n') {
        if (b == '\r') Line();
        continue;
      }
      if (line_.size() < 1024) line_ += static_cast<char>(b);
    }
  }

 private:
  void Line() {
    std::string line;
    line.swap(line_);
    if (line.empty()) return;
    AtCommand cmd = AtDispatcher::Parse(line);
    if (CommandLost(host_, AtDispatcher::FaultKey(cmd))) return;
    std::string text;
    if (echo_) text = line + "\r";
    AtContext ctx{host_.State(), host_.Options(), host_};
    std::string answer = at_.Dispatch(cmd, ctx);
    if (cmd.name == "E") echo_ = cmd.args != "0";
    text += answer;
    Reply r;
    r.form = Reply::Form::Raw;
    r.payload.assign(text.begin(), text.end());
    std::string nak = (echo_ ? line + "\r" : std::string()) + "\r\nERROR\r\n";
    r.nak = Bytes(nak.begin(), nak.end());
    SendReply(host_, AtDispatcher::FaultKey(cmd), std::move(r));
  }

  PortHost& host_;
  const AtDispatcher& at_;
  std::string line_;
  bool echo_ = true;
};

}  // namespace

std::unique_ptr<PortProtocol> MakeNormalDiagProtocol(PortHost& host, const DiagDispatcher& diag) {
  return std::make_unique<NormalDiag>(host, diag);
}

std::unique_ptr<PortProtocol> MakeAtProtocol(PortHost& host, const AtDispatcher& at) {
  return std::make_unique<AtPort>(host, at);
}

}  // namespace zovir::sim
