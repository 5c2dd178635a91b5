#pragma once
#include "engine/engine_config.h"
#include "platform/clock.h"
#include "platform/serial_port.h"

namespace zovir {

// The platform code the modem on `cfg.ComPort` reports, asked over its diagnostic port exactly as
// an update asks it before anything is written; -1 when the port cannot be opened or the modem
// gives no answer. Writes nothing to the modem: a check uses it to refuse what a start refuses.
int QueryPlatformId(Clock& clock, SerialPortFactory& ports, const EngineConfig& cfg);

}  // namespace zovir
