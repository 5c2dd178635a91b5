#pragma once
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "sim/at_identity.h"
#include "sim/device_state.h"
#include "sim/efs_responders.h"
#include "sim/nv_responders.h"
#include "sim/nv_store.h"
#include "sim/virtual_modem.h"

namespace zovir::cli {

// A virtual modem as it leaves the factory: serial number, IMEI, test results, calibration in
// NV and RF NV items, oscillator files and user files in its EFS, and a firmware that forgets
// all of them when new images are written, so that only the tool's backup brings them back.
struct VirtualFactory {
  std::shared_ptr<sim::NVStore> nv = std::make_shared<sim::NVStore>();
  std::shared_ptr<sim::AtIdentityStore> identity = std::make_shared<sim::AtIdentityStore>();
  std::shared_ptr<sim::EfsSimulation> efs = std::make_shared<sim::EfsSimulation>(sim::EfsSimOptions{});

  // Installs the stores on the options of the modem of `slot`.
  void Prepare(sim::VirtualModemOptions& options, int slot);
  // Fills a started modem's state (only what it does not hold yet: a state folder from an
  // earlier run keeps its values). `userFiles` and `userDirs` are EFS paths to preserve.
  void Seed(sim::VirtualModem& modem, int slot, const std::vector<std::string>& userFiles,
            const std::vector<std::string>& userDirs);
};

// What a modem holds that an update must keep.
struct ModemData {
  std::map<uint32_t, sim::Bytes> nv;
  std::map<uint16_t, sim::Bytes> rf;
  std::map<std::string, std::string> identity;
  std::map<std::string, sim::Bytes> files;  // EFS path -> bytes, below the preserved paths
};

ModemData Snapshot(sim::VirtualModem& modem, const sim::NVStore& nv, const std::vector<std::string>& efsPaths);

// One line per kind ("NV items 98/98 restored", ...), and whether all matched.
struct Verification {
  std::vector<std::string> lines;
  bool ok = true;
};
Verification Compare(const ModemData& before, const ModemData& after);

}  // namespace zovir::cli
