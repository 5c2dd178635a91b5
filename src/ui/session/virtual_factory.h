#pragma once
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <optional>
#include <set>

#include "sim/device_state.h"
#include "sim/modem_factory.h"
#include "sim/nv_store.h"
#include "sim/virtual_modem.h"

namespace zovir::session {

// A modem with the stores and contents of a factory modem (sim/modem_factory.h).
struct VirtualFactory : sim::ModemFactory {};

// What a modem holds that an update must keep.
struct ModemData {
  std::map<uint32_t, sim::Bytes> nv;
  std::map<uint16_t, sim::Bytes> rf;
  std::map<std::string, std::string> identity;
  std::map<std::string, sim::Bytes> files;  // EFS path -> bytes, below the preserved paths
  std::set<std::string> dirs;               // EFS folders below the preserved paths, empty ones too
};

// Everything the modem holds: all NV and RF NV items, its identity values, the oscillator
// files and every EFS file and folder at or below `efsPaths` (the preserved files and folders).
ModemData Snapshot(sim::VirtualModem& modem, const sim::NVStore& nv, const std::vector<std::string>& efsPaths);

// What a modem held when a run began, kept beside its state folder (`stateDir`), so that a
// later restore from the saved backup (--sn) is compared with the modem as it was before the
// run that failed, not with what that run left of it. Load gives nothing when none was kept.
void SaveHeldBefore(const std::string& stateDir, const ModemData& data);
std::optional<ModemData> LoadHeldBefore(const std::string& stateDir);

// One line per kind ("NV items 98/98 restored", ...), and whether all matched.
struct Verification {
  std::vector<std::string> lines;
  bool ok = true;
};
Verification Compare(const ModemData& before, const ModemData& after);

}  // namespace zovir::session
