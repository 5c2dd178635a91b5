#include "engine/engine_assembly.h"

#include <memory>

#include "preservation/backup_guard.h"
#include "preservation/identity_backup.h"
#include "preservation/local_folders.h"
#include "preservation/nv_items.h"
#include "preservation/user_data.h"
#include "protocols/protocol_phases.h"

namespace zovir {
namespace {

struct ProductionPhaseSet final : PhaseSet {
  ProductionPhaseSet(EngineCore& core, Link& link, const EngineEnvironment& environment)
      : protocols(core, link),
        nv(core, link),
        identity(core, link, ResetHelperSetup{environment.processes, environment.workFolder}),
        userData(core, link),
        folders(core, link),
        guard(core, link) {
    protocols.Fill(phases);
    phases.nv = &nv;
    phases.at = &identity.at();
    phases.identity = &identity;
    phases.userData = &userData;
    phases.folders = &folders;
    phases.guard = &guard;
  }
  ProtocolPhases protocols;
  NVItems nv;
  IdentityBackup identity;
  UserDataPreservation userData;
  BackupFolders folders;
  BackupFolderGuard guard;
};

}  // namespace

PhaseFactory ProductionPhases(EngineEnvironment environment) {
  return [environment](EngineCore& core, Link& link) -> std::unique_ptr<PhaseSet> {
    return std::make_unique<ProductionPhaseSet>(core, link, environment);
  };
}

}  // namespace zovir
