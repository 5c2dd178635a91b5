#pragma once
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <span>
#include <string>

#include "sim/hdlc.h"

namespace zovir::sim {

class DeviceState;
class PortHost;
struct VirtualModemOptions;

// What a DIAG responder may use while it answers one request.
struct DiagContext {
  DeviceState& state;               // NV items, identity, EFS tree, partitions (persistent)
  const VirtualModemOptions& options;
  PortHost& port;                   // Request() a mode change, Event() a log line
};

// A DIAG responder gets the request payload (unescaped, check removed; byte 0 is the command)
// and returns the reply payload, or nullopt for no reply. The dispatcher frames the reply the
// way the normal firmware does (no opening flag).
using DiagResponder = std::function<std::optional<Bytes>(std::span<const uint8_t> request, DiagContext& ctx)>;

// Routes DIAG requests of the normal firmware to responders by command byte, and 0x4B
// (subsystem dispatch) requests by their subsystem id (byte 1).
//
// Adding a command family (e.g. NV read/write 0x26/0x27, EFS 0x4B 0x13):
//   1. write sim/<family>_responders.cpp with
//        void Install<Family>Responders(DiagDispatcher& diag, AtDispatcher& at) {
//          diag.Register(0x26, [](std::span<const uint8_t> req, DiagContext& ctx)
//              -> std::optional<Bytes> { ... ctx.state.Nv(id) ... });
//          diag.RegisterSubsystem(0x13, ...);
//        }
//   2. declare it in sim/responders.h and call it from InstallStandardResponders
//      (sim/responders.cpp), or hand it to VirtualModemOptions::extraResponders.
// A later registration for the same key replaces the earlier one. Requests nobody answers get
// the DIAG error reply 0x13 followed by the echoed request. Every reply passes through the
// fault plan under the key "diag:xx" (or "diag:4b:ss"), hex in lower case.
class DiagDispatcher {
 public:
  static constexpr uint8_t kSubsystemCommand = 0x4B;
  static constexpr uint8_t kBadCommand = 0x13;
  static constexpr uint8_t kBadParameters = 0x14;
  static constexpr uint8_t kBadLength = 0x15;

  void Register(uint8_t command, DiagResponder responder);
  void RegisterSubsystem(uint8_t subsystem, DiagResponder responder);
  bool Handles(std::span<const uint8_t> request) const;

  // The reply payload for a request (the error reply when no responder takes it).
  std::optional<Bytes> Dispatch(std::span<const uint8_t> request, DiagContext& ctx) const;
  // The fault-plan key of a request.
  static std::string FaultKey(std::span<const uint8_t> request);
  // The DIAG error reply for a request: 13 followed by the request.
  static Bytes ErrorReply(std::span<const uint8_t> request);
  // A known command of the wrong length: 15 followed by the request.
  static Bytes BadLengthReply(std::span<const uint8_t> request);
  // A known command with a value it does not take: 14 followed by the request.
  static Bytes BadParametersReply(std::span<const uint8_t> request);

 private:
  std::map<uint8_t, DiagResponder> commands_;
  std::map<uint8_t, DiagResponder> subsystems_;
};

// One AT command line as received ("AT+CGMR" or "at+cfun=1"), split for the responders.
struct AtCommand {
  std::string line;  // the whole line without CR/LF
  std::string name;  // upper case: "" for a bare "AT", "+CGMR", "I", "E", "+CFUN", ...
  std::string args;  // what follows the name ("=1", "?", "0", ...)
};

struct AtContext {
  DeviceState& state;
  const VirtualModemOptions& options;
  PortHost& port;
};

// An AT responder returns the whole reply text after the echo, final result code included
// (e.g. "\r\nBTM1.0\r\n\r\nOK\r\n").
using AtResponder = std::function<std::string(const AtCommand& cmd, AtContext& ctx)>;

// Routes AT command lines by name. Unknown names answer "\r\nERROR\r\n". Fault key: "at:" +
// name ("at:AT" for a bare "AT").
class AtDispatcher {
 public:
  void Register(const std::string& name, AtResponder responder);
  std::string Dispatch(const AtCommand& cmd, AtContext& ctx) const;
  static AtCommand Parse(const std::string& line);
  static std::string FaultKey(const AtCommand& cmd) { return "at:" + (cmd.name.empty() ? std::string("AT") : cmd.name); }

 private:
  std::map<std::string, AtResponder> commands_;
};

}  // namespace zovir::sim
