#include "sim/diag_dispatcher.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace zovir::sim {

void DiagDispatcher::Register(uint8_t command, DiagResponder responder) { commands_[command] = std::move(responder); }

void DiagDispatcher::RegisterSubsystem(uint8_t subsystem, DiagResponder responder) {
  subsystems_[subsystem] = std::move(responder);
}

bool DiagDispatcher::Handles(std::span<const uint8_t> request) const {
  if (request.empty()) return false;
  if (request[0] == kSubsystemCommand && request.size() >= 2 && subsystems_.count(request[1])) return true;
  return commands_.count(request[0]) > 0;
}

std::optional<Bytes> DiagDispatcher::Dispatch(std::span<const uint8_t> request, DiagContext& ctx) const {
  if (request.empty()) return std::nullopt;
  if (request[0] == kSubsystemCommand && request.size() >= 2) {
    auto it = subsystems_.find(request[1]);
    if (it != subsystems_.end()) return it->second(request, ctx);
  }
  auto it = commands_.find(request[0]);
  if (it != commands_.end()) return it->second(request, ctx);
  return ErrorReply(request);
}

std::string DiagDispatcher::FaultKey(std::span<const uint8_t> request) {
  char buf[16] = "diag:";
  if (request.empty()) return buf;
  if (request[0] == kSubsystemCommand && request.size() >= 2) {
    std::snprintf(buf, sizeof buf, "diag:4b:%02x", request[1]);
  } else {
    std::snprintf(buf, sizeof buf, "diag:%02x", request[0]);
  }
  return buf;
}

namespace {
Bytes Echo(uint8_t code, std::span<const uint8_t> request) {
  Bytes out(request.size() + 1);
  out[0] = code;
  std::copy(request.begin(), request.end(), out.begin() + 1);
  return out;
}
}  // namespace

Bytes DiagDispatcher::ErrorReply(std::span<const uint8_t> request) { return Echo(kBadCommand, request); }
Bytes DiagDispatcher::BadLengthReply(std::span<const uint8_t> request) { return Echo(kBadLength, request); }
Bytes DiagDispatcher::BadParametersReply(std::span<const uint8_t> request) { return Echo(kBadParameters, request); }

void AtDispatcher::Register(const std::string& name, AtResponder responder) {
  std::string upper;
  for (char c : name) upper += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  commands_[upper] = std::move(responder);
}

AtCommand AtDispatcher::Parse(const std::string& line) {
  AtCommand cmd;
  cmd.line = line;
  const auto up = [&](size_t i) { return static_cast<char>(std::toupper(static_cast<unsigned char>(line[i]))); };
  if (line.size() < 2 || up(0) != 'A' || up(1) != 'T') {
    cmd.name.push_back('?');
    return cmd;
  }
  size_t end = 2;
  if (end < line.size()) {
    const char c = line[end];
    ++end;
    if (c == '+' || c == '$' || c == '^' || c == '&') {
      while (end < line.size() && (std::isalnum(static_cast<unsigned char>(line[end])) || line[end] == '_')) ++end;
    }
  }
  for (size_t i = 2; i < end; ++i) cmd.name.push_back(up(i));
  for (size_t i = end; i < line.size(); ++i) cmd.args.push_back(line[i]);
  return cmd;
}

std::string AtDispatcher::Dispatch(const AtCommand& cmd, AtContext& ctx) const {
  auto it = commands_.find(cmd.name);
  if (it == commands_.end()) return "\r\nERROR\r\n";
  return it->second(cmd, ctx);
}

}  // namespace zovir::sim
