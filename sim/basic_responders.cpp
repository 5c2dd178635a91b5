#include "sim/port_protocol.h"
#include "sim/responders.h"
#include "sim/virtual_modem.h"

namespace zovir::sim {

void InstallBasicDiagResponders(DiagDispatcher& diag, AtDispatcher& /*at*/) {
  // Version request: compile date and time, release date and time, version directory, model.
  diag.Register(0x00, [](std::span<const uint8_t>, DiagContext&) -> std::optional<Bytes> {
    static constexpr char kReply[] =
        "\x00"
        "Dec 01 202612:00:00Dec 01 202612:00:00VER9X06 "
        "\x01\x05\x00\x01\x00\x01\x00";
    return Bytes(kReply, kReply + sizeof kReply - 1);
  });
  // Service programming code: accepted whatever the six digits are.
  diag.Register(0x41, [](std::span<const uint8_t>, DiagContext&) -> std::optional<Bytes> { return Bytes{0x41, 0x01}; });
  // Mode change: 1 offline (acknowledged), 2 reset (acknowledged, then the firmware restarts
  // and its ports re-enumerate). Other modes are refused with the error reply.
  diag.Register(0x29, [](std::span<const uint8_t> req, DiagContext& ctx) -> std::optional<Bytes> {
    if (req.size() < 3 || req[2] != 0 || (req[1] != 1 && req[1] != 2)) return DiagDispatcher::ErrorReply(req);
    if (req[1] == 2) ctx.port.Request(Transition::ToNormal, ctx.options.resetDelayMs);
    return Bytes(req.begin(), req.begin() + 3);
  });
  // Download-mode switch: echo, then reboot into the boot loader.
  diag.Register(0x3A, [](std::span<const uint8_t>, DiagContext& ctx) -> std::optional<Bytes> {
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
