#pragma once
#include <string>

#include "engine/tcomms_thread.h"

namespace zovir {

class Processes;

// What the real collaborators need from the machine besides the engine's core and link.
struct EngineEnvironment {
  Processes* processes = nullptr;  // starts the reset helper; null: it cannot be started
  std::string workFolder;          // where the helper programs were unpacked
};

// The collaborators a real update gets: the download protocols, NV items, AT channel,
// identity, user data and the backup folders, all working on the engine's own core and link.
PhaseFactory ProductionPhases(EngineEnvironment environment = {});

}  // namespace zovir
