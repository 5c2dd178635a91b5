#include "sim/port_protocol.h"

#include <algorithm>

#include "sim/virtual_modem.h"

namespace zovir::sim {
namespace {

Bytes Encode(const Bytes& payload, Reply::Form form) {
  switch (form) {
    case Reply::Form::Framed:
      return EncodeFrame(payload, true);
    case Reply::Form::FramedNoFlag:
      return EncodeFrame(payload, false);
    case Reply::Form::Raw:
      return payload;
  }
  return payload;
}

uint8_t Flip(uint8_t b) {
  uint8_t c = static_cast<uint8_t>(b ^ 0x55);
  if (c == 0x7E || c == 0x7D) c = static_cast<uint8_t>(b ^ 0x11);
  return c;
}

}  // namespace

bool CommandLost(PortHost& host, const std::string& key) {
  auto next = host.Faults().Peek(key);
  if (!next || next->kind != FaultKind::Ignore) return false;
  host.Faults().Hit(key);
  host.Event("fault ignore on " + key + " #" + std::to_string(host.Faults().Count(key)));
  return true;
}

Bytes Reply::Wire() const { return Encode(payload, form); }

std::optional<FaultRule> SendReply(PortHost& host, const std::string& key, Reply reply) {
  std::optional<FaultRule> fault = host.Faults().Hit(key);
  int split = host.Options().replySplit;
  if (fault) {
    host.Event("fault " + std::string(FaultKindName(fault->kind)) + " on " + key + " #" + std::to_string(host.Faults().Count(key)));
    const size_t codeIndex = reply.form == Reply::Form::Framed ? 1 : 0;
    switch (fault->kind) {
      case FaultKind::Silent:
      case FaultKind::Ignore:  // where a command cannot be dropped before it acts
        return fault;
      case FaultKind::Vanish:
        host.Vanish(fault->arg > 0 ? fault->arg : 0);
        return fault;
      case FaultKind::Nak:
        if (reply.nak) reply.payload = *reply.nak;
        break;
      case FaultKind::Wrong:
        if (!reply.payload.empty()) reply.payload[0] = static_cast<uint8_t>(reply.payload[0] ^ 0x40);
        break;
      case FaultKind::Status:
        if (reply.statusOffset >= 0 && static_cast<size_t>(reply.statusOffset) < reply.payload.size()) {
          reply.payload[reply.statusOffset] = static_cast<uint8_t>(fault->arg);
        }
        break;
      case FaultKind::Delay:
        if (!host.Pause(fault->arg)) return fault;
        break;
      case FaultKind::Split:
        split = fault->arg > 0 ? fault->arg : 1;
        break;
      case FaultKind::Repeat:  // the protocol built the repeated request itself
        break;
      case FaultKind::Corrupt:
      case FaultKind::Drop: {
        Bytes wire = reply.Wire();
        size_t at = fault->arg >= 0 ? static_cast<size_t>(fault->arg) : (fault->kind == FaultKind::Corrupt ? codeIndex : 1);
        if (at < wire.size()) {
          if (fault->kind == FaultKind::Corrupt) {
            wire[at] = Flip(wire[at]);
          } else {
            wire.erase(wire.begin() + static_cast<std::ptrdiff_t>(at));
          }
        }
        host.Transmit(wire);
        return fault;
      }
    }
  }
  Bytes wire = reply.Wire();
  if (split <= 0 || static_cast<size_t>(split) >= wire.size()) {
    host.Transmit(wire);
  } else {
    for (size_t i = 0; i < wire.size(); i += static_cast<size_t>(split)) {
      size_t n = std::min(wire.size() - i, static_cast<size_t>(split));
      host.Transmit(std::span<const uint8_t>(wire.data() + i, n));
      if (i + n < wire.size() && !host.Pause(3)) break;
    }
  }
  return fault;
}

}  // namespace zovir::sim
