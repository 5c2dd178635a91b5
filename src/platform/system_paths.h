#pragma once
#include <string>

namespace zovir {

// Where the tool keeps its files. Never a fixed name in a shared temporary folder.
struct SystemPaths {
  // Parent of the private work folders: $XDG_RUNTIME_DIR, else the temporary folder.
  std::string runtimeDir;
  // Persistent, per user, mode 0700: backups must outlive a reboot ($XDG_DATA_HOME/quorvel-zovir/Backup).
  std::string backupRoot;
  // Run logs ($XDG_STATE_HOME/quorvel-zovir/logs).
  std::string logDir;
  // Settings ($XDG_CONFIG_HOME/quorvel-zovir).
  std::string configDir;
  // The automatic-test marker file (a file, never a folder, counts).
  std::string autotestMarker;
};

// From the environment (XDG variables, HOME, TMPDIR); ZOVIR_HOME, when set, puts everything
// below that one folder (tests, several instances side by side).
SystemPaths SystemPathsFromEnvironment();

// Everything below the one folder `home` (the layout ZOVIR_HOME gives); `separator` is the
// system's folder separator.
inline SystemPaths SystemPathsBelow(const std::string& home, char separator) {
  const std::string base = home + separator;
  return {base + "run", base + "Backup", base + "logs", base + "config", base + "autotest"};
}

}  // namespace zovir
