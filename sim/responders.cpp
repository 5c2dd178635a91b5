#include "sim/responders.h"

namespace zovir::sim {

void InstallStandardResponders(DiagDispatcher& diag, AtDispatcher& at) {
  InstallBasicDiagResponders(diag, at);
  InstallBasicAtResponders(diag, at);
}

}  // namespace zovir::sim
