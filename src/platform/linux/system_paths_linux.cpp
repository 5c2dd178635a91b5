#include "platform/system_paths.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

namespace zovir {
namespace {

// Only absolute values count: a relative XDG or temporary-folder value would make the
// tool's folders depend on whatever the current folder happens to be.
std::string AbsoluteEnv(const char* name) {
  const char* v = std::getenv(name);
  if (v == nullptr || v[0] != '/') return {};
  std::string s = v;
  while (s.size() > 1 && s.back() == '/') s.pop_back();
  return s;
}

std::string HomeFolder() {
  std::string home = AbsoluteEnv("HOME");
  if (!home.empty()) return home;
  if (const passwd* pw = getpwuid(getuid()); pw != nullptr && pw->pw_dir != nullptr && pw->pw_dir[0] == '/') {
    return pw->pw_dir;
  }
  return "/";
}

std::string XdgOr(const char* name, const std::string& fallback) {
  std::string v = AbsoluteEnv(name);
  return v.empty() ? fallback : v;
}

}  // namespace

SystemPaths SystemPathsFromEnvironment() {
  SystemPaths paths;
  const std::string zovirHome = AbsoluteEnv("ZOVIR_HOME");
  if (!zovirHome.empty()) return SystemPathsBelow(zovirHome, '/');
  const std::string home = HomeFolder();
  // ZOVIR_TEMP_DIR first: the environment cleaners look there too, so one variable points
  // the tool and its cleaners at the same temporary folder.
  paths.runtimeDir = AbsoluteEnv("ZOVIR_TEMP_DIR");
  if (paths.runtimeDir.empty()) paths.runtimeDir = AbsoluteEnv("XDG_RUNTIME_DIR");
  if (paths.runtimeDir.empty()) paths.runtimeDir = AbsoluteEnv("TMPDIR");
  if (paths.runtimeDir.empty()) paths.runtimeDir = "/tmp";
  paths.backupRoot = XdgOr("XDG_DATA_HOME", home + "/.local/share") + "/quorvel-zovir/Backup";
  paths.logDir = XdgOr("XDG_STATE_HOME", home + "/.local/state") + "/quorvel-zovir/logs";
  paths.configDir = XdgOr("XDG_CONFIG_HOME", home + "/.config") + "/quorvel-zovir";
  paths.autotestMarker = paths.configDir + "/autotest";
  return paths;
}

}  // namespace zovir
