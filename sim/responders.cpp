#include "sim/responders.h"

#include "sim/at_identity.h"
#include "sim/efs_responders.h"

namespace zovir::sim {

void InstallStandardResponders(DiagDispatcher& diag, AtDispatcher& at) {
  InstallBasicDiagResponders(diag, at);
  InstallBasicAtResponders(diag, at);
  InstallAtIdentityResponders(diag, at);
  InstallEfsResponders(diag, at);
}

}  // namespace zovir::sim
