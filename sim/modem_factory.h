#pragma once
#include <memory>
#include <string>
#include <vector>

#include "sim/at_identity.h"
#include "sim/efs_responders.h"
#include "sim/nv_store.h"
#include "sim/virtual_modem.h"

namespace zovir::sim {

// A virtual modem as it leaves the factory: serial number, IMEI, test results, calibration in
// NV and RF NV items, oscillator files and user files in its EFS, and a firmware that forgets
// all of them when new images are written, so that only the tool's backup brings them back.
// The one place that gives a modem its stores: `zovir-modem-sim` and the command line's
// in-process modems both build theirs here.
struct ModemFactory {
  std::shared_ptr<NVStore> nv = std::make_shared<NVStore>();
  std::shared_ptr<AtIdentityStore> identity = std::make_shared<AtIdentityStore>();
  std::shared_ptr<EfsSimulation> efs = std::make_shared<EfsSimulation>(EfsSimOptions{});

  // User files and folders the demo packet preserves: a factory modem holds them.
  static const std::vector<std::string>& DefaultUserFiles();
  static const std::vector<std::string>& DefaultUserDirs();

  // Installs the stores on the options of the modem of `slot`.
  void Prepare(VirtualModemOptions& options, int slot);
  // Fills the modem's state with the factory contents, only when the state was fresh when the
  // modem was made (DeviceState::Fresh): a modem that lost values in an earlier run keeps
  // them lost. The first call decides; later calls on the same modem add more user paths
  // (EFS paths to files and folders) only when the first one seeded. True when it seeded.
  bool Seed(VirtualModem& modem, int slot, const std::vector<std::string>& userFiles,
            const std::vector<std::string>& userDirs);

 private:
  const DeviceState* decidedFor_ = nullptr;
  bool seeding_ = false;
};

}  // namespace zovir::sim
