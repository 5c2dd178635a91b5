#pragma once
#include <memory>

#include "sim/diag_dispatcher.h"
#include "sim/port_protocol.h"

namespace zovir::sim {

enum class BootProtocol;

// Normal firmware, diagnostic port: DIAG frames in, replies without an opening flag.
std::unique_ptr<PortProtocol> MakeNormalDiagProtocol(PortHost& host, const DiagDispatcher& diag);
// Normal firmware, AT (and terminal) port: command lines in, echo and result codes out.
std::unique_ptr<PortProtocol> MakeAtProtocol(PortHost& host, const AtDispatcher& at);
// Boot loader on the emergency-download port: Sahara (hello first) or DMSS then the image
// transfer; a completed transfer asks for the programmer transition.
std::unique_ptr<PortProtocol> MakeBootProtocol(PortHost& host, BootProtocol protocol);
// Flash programmer: the streaming download protocol and its fast-speed extension.
std::unique_ptr<PortProtocol> MakeProgrammerProtocol(PortHost& host);

}  // namespace zovir::sim
