#pragma once
#include "engine/tcomms_thread.h"

namespace zovir {

// The collaborators a real update gets: the download protocols, NV items, AT channel,
// identity, user data and the backup folders, all working on the engine's own core and link.
PhaseFactory ProductionPhases();

}  // namespace zovir
