#pragma once
#include <functional>
#include <memory>

#include "sim/diag_dispatcher.h"
#include "sim/nv_store.h"

namespace zovir::sim {

struct VirtualModemOptions;

// NV read (26) and write (27), extended build ID (7C) and the factory-test RF NV commands
// (4B 0B, command 0024, read 025C / write 025D), answered from `store` and the modem's
// DeviceState.
void InstallNVResponders(DiagDispatcher& diag, AtDispatcher& at, std::shared_ptr<NVStore> store);
// The same with a store of its own (statuses none, build ID default).
void InstallNVResponders(DiagDispatcher& diag, AtDispatcher& at);

// Gives a modem the NV responders on `store` and feeds its events to the store, so the
// losses a test configures happen when the firmware is written. Call before constructing
// the VirtualModem.
void AttachNVStore(VirtualModemOptions& options, std::shared_ptr<NVStore> store);

}  // namespace zovir::sim
