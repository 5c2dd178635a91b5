#pragma once
// Kill-at-a-phase runs: an update of a virtual modem whose state lives in a folder is killed
// (SIGKILL, as a crash, a power cut or `kill -9` would end it) when its output shows a chosen
// line; then the update is run again as a user would: from the saved backup (the serial number
// typed in), and, when that is refused, as a plain update. Afterwards the modem must hold what
// it held before the killed run, and no run may have said PASS while it did not.
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "config/image_check.h"
#include "config/project_configuration.h"
#include "engine/engine_config.h"
#include "ui/session/update_session.h"

namespace zovir::faults {

// Where the killed run dies: the `occurrence`-th output line that contains `line`.
struct KillPoint {
  std::string phase;
  std::string line;
  int occurrence = 1;
};

// A line of every phase of an update, from the identity read to the identity restore.
const std::vector<KillPoint>& KillPoints();

// The update the kill runs make: the test packet's configuration with user data preserved.
struct KillSetup {
  std::filesystem::path home;  // the modem's state, the device map, the run's output
  EngineConfig base;           // BackupFilePath set
  std::shared_ptr<session::UpdateSession> session;
  ProjectConfiguration config;  // what START gets
  ImageFolderState images;
  std::string packet;
  std::vector<std::string> userFiles, userDirs, efsPaths;
};

// The setup for the packet in `packetDir` with ZOVIR_HOME set to `home` (so that the backup
// root and work folders lie below it). Throws when the packet is rejected.
KillSetup PrepareKillSetup(const std::filesystem::path& home, const std::string& packetDir, int projectType);

struct KillOutcome {
  // pass | fail | false_pass | lost_backup | error. "fail": no run passed, yet the modem holds
  // what it held before.
  std::string verdict = "error";
  bool killed = false;       // the line came and the run was killed there
  bool snPassed = false;     // the rerun from the saved backup said PASS
  bool plainPassed = false;  // the plain rerun (after a refused restore) said PASS
  std::string detail;
};

// The fault matrix's child for the kill run at `phase` (a KillPoints() phase): runs it in a
// temporary home and prints its "RESULT verdict=..." line. Returns the child's exit code.
int KillChildMain(const std::string& phase, const std::string& packetDir, int projectType);

// Runs one kill case in `setup.home`. Forks the killed run: call it only while this process
// runs no other threads.
KillOutcome RunKillCase(const KillSetup& setup, const KillPoint& point);

}  // namespace zovir::faults
