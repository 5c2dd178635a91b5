#include "ui/platform_query.h"

#include "engine/engine_core.h"
#include "link/link.h"
#include "preservation/nv_items.h"

namespace zovir {

int QueryPlatformId(Clock& clock, SerialPortFactory& ports, const EngineConfig& cfg) {
  EngineCore core(clock, ports, nullptr);
  core.cfg = cfg;
  Link link(core);
  link.OpenDiagPort();
  if (!core.hDiagPort) return -1;
  NVItems nv(core, link);
  const int id = nv.GetPlatformID();
  link.CloseDiagPort("Warning-7");
  return id;
}

}  // namespace zovir
