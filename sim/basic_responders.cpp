#include "sim/port_protocol.h"
#include "sim/responders.h"
#include "sim/virtual_modem.h"

namespace zovir::sim {

void InstallBasicDiagResponders(DiagDispatcher& diag, AtDispatcher& /*at*/) {
  // Version request: compile date and time, release date and time, version directory, then
  // station class mark, CAI revision, model, firmware revision (2), slot cycle index and the
  // hardware's major and minor version: 55 bytes.
  diag.Register(0x00, [](std::span<const uint8_t> req, DiagContext&) -> std::optional<Bytes> {
    if (req.size() != 1) return DiagDispatcher::BadLengthReply(req);
    static constexpr char kReply[] =
        "\x00"
        "Dec 01 202612:00:00Dec 01 202612:00:00VER9X06 "
        "\x0A\x06\x61\x01\x00\x02\x01\x00";
    static_assert(sizeof kReply - 1 == 55);
    return Bytes(kReply, kReply + sizeof kReply - 1);
  });
  // Service programming code: six ASCII digits; the modem's own code is accepted (01), any
  // other refused (00).
  diag.Register(0x41, [](std::span<const uint8_t> req, DiagContext& ctx) -> std::optional<Bytes> {
    if (req.size() != 7) return DiagDispatcher::BadLengthReply(req);
    const std::string code(req.begin() + 1, req.end());
    return Bytes{0x41, static_cast<uint8_t>(code == ctx.options.serviceProgrammingCode ? 1 : 0)};
  });
  // Mode change: 1 offline (acknowledged), 2 reset (acknowledged, then the firmware restarts
  // and its ports re-enumerate). Other modes are refused.
  diag.Register(0x29, [](std::span<const uint8_t> req, DiagContext& ctx) -> std::optional<Bytes> {
    if (req.size() != 3) return DiagDispatcher::BadLengthReply(req);
    if (req[2] != 0 || (req[1] != 1 && req[1] != 2)) return DiagDispatcher::BadParametersReply(req);
    if (req[1] == 2) ctx.port.Request(Transition::ToNormal, ctx.options.resetDelayMs);
    return Bytes(req.begin(), req.begin() + 3);
  });
  // Download-mode switch: echo, then reboot into the boot loader.
  diag.Register(0x3A, [](std::span<const uint8_t> req, DiagContext& ctx) -> std::optional<Bytes> {
    if (req.size() != 1) return DiagDispatcher::BadLengthReply(req);
    ctx.port.Request(Transition::ToDownloadMode, ctx.options.rebootDelayMs);
    return Bytes{0x3A};
  });
}

void InstallBasicAtResponders(DiagDispatcher& /*diag*/, AtDispatcher& at) {
  const auto ok = [](const AtCommand&, AtContext&) { return std::string("\r\nOK\r\n"); };
  at.Register("", ok);
  at.Register("E", ok);
  at.Register("Z", ok);
  at.Register("+CFUN", [](const AtCommand& cmd, AtContext&) {
    if (cmd.args == "?") return std::string("\r\n+CFUN: 1\r\n\r\nOK\r\n");
    return std::string("\r\nOK\r\n");
  });
  at.Register("+CGMR", [](const AtCommand&, AtContext& ctx) {
    return "\r\n" + ctx.options.firmwareVersion + "\r\n\r\nOK\r\n";
  });
  at.Register("+GMR", [](const AtCommand&, AtContext& ctx) {
    return "\r\n" + ctx.options.firmwareVersion + "\r\n\r\nOK\r\n";
  });
  at.Register("I", [](const AtCommand&, AtContext& ctx) {
    return "\r\nManufacturer: " + ctx.options.manufacturer + "\r\nModel: " + ctx.options.model +
           "\r\nRevision: Ver." + ctx.options.firmwareVersion + "\r\nIMEI: " + ctx.options.imei + "\r\n\r\nOK\r\n";
  });
  at.Register("+CGSN", [](const AtCommand&, AtContext& ctx) {
    return "\r\n" + ctx.options.imei + "\r\n\r\nOK\r\n";
  });
  at.Register("+FLASHINFO", [](const AtCommand&, AtContext& ctx) {
    return "\r\n" + ctx.options.flashInfo + "\r\n\r\nOK\r\n";
  });
  at.Register("+PMU", [](const AtCommand&, AtContext& ctx) { return "\r\n" + ctx.options.pmu + "\r\n\r\nOK\r\n"; });
}

}  // namespace zovir::sim
