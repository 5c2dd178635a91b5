#pragma once
#include "sim/diag_dispatcher.h"

namespace zovir::sim {

// The responders every virtual modem starts with. Each family lives in its own file and is
// installed from InstallStandardResponders (sim/responders.cpp).
void InstallStandardResponders(DiagDispatcher& diag, AtDispatcher& at);

// DIAG version request (00), service programming code (41), mode change (29: offline, reset),
// download-mode switch (3A).
void InstallBasicDiagResponders(DiagDispatcher& diag, AtDispatcher& at);
// "AT", echo, "ATI", "AT+CGMR", "AT+FLASHINFO", "AT+PMU", "AT+CFUN".
void InstallBasicAtResponders(DiagDispatcher& diag, AtDispatcher& at);

}  // namespace zovir::sim
