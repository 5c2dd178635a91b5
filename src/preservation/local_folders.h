#pragma once
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/engine_core.h"
#include "engine/phases.h"
#include "link/link.h"

namespace zovir {

// Why a name from the modem or the configuration cannot become a local name.
enum class NameVerdict {
  Ok,
  Empty,
  DotName,      // "." or ".."
  Separator,    // '/' or '\'
  Colon,        // ':' (a drive or an alternate stream on other systems)
  Control,      // NUL or another control character
  TooLong,      // longer than a file system takes as one name
};

// Whether `name` may become one component of a local mirror path.
NameVerdict CheckEfsName(std::string_view name);
const char* NameVerdictText(NameVerdict verdict);

// The characters a local file name must not hold on any system we build for ('*', '?', '"',
// '<', '>', '|') become '_'. Names and folders get the same mapping.
std::string MapLocalName(std::string_view name);

// The components of an EFS path ("/data/a" and "data/a" give the same two). Empty components
// (a leading or doubled '/') are skipped. Nothing when a component fails CheckEfsName; `bad`
// then names it and `verdict` says why.
std::optional<std::vector<std::string>> SplitEfsPath(std::string_view path, std::string* bad = nullptr,
                                                     NameVerdict* verdict = nullptr);

// The local mirror of an EFS path below `mirrorRoot` (`BackupFolder`/EFS): the root joined with
// the mapped components. Nothing when the path cannot be mirrored safely.
std::optional<std::string> EfsMirrorPath(const std::string& mirrorRoot, std::string_view efsPath);

// The EFS path a mirrored file or folder came from: its components below `mirrorRoot` joined
// with '/', without a leading '/'. Nothing when `localPath` is not strictly below the root or
// one of its components is not a safe name.
std::optional<std::string> EfsPathFromMirror(const std::string& mirrorRoot, const std::string& localPath);

// True when `path` is `root` itself (only when `allowEqual`) or lies below it. Both are made
// absolute and normal, and symbolic links are resolved as far as they exist, so neither ".."
// nor a link planted in the tree can lead outside. An empty root contains nothing.
bool LiesWithin(const std::string& root, const std::string& path, bool allowEqual);

// The mirror root of a run: `BackupFolder`/EFS.
std::string MirrorRoot(const EngineCore& core);

// The backup's local folders. Creation stays inside the run's backup folder (components below
// it get the name mapping); deletion only strictly below the backup root.
class BackupFolders final : public LocalFolders {
 public:
  explicit BackupFolders(EngineCore& core) : core_(core) {}
  BackupFolders(EngineCore& core, Link&) : core_(core) {}

  // Creates `path` with all missing parents. False (and "Could not create folder!") when the
  // path is outside the run's backup folder, holds a symbolic link, or cannot be created.
  bool MakeLocalFolder(const std::string& path) override;
  // 1 when the folder (strictly below `BackupFilePath`) is gone afterwards, else 0.
  int DeleteLocalFolder(const std::string& path) override;

 private:
  EngineCore& core_;
};

}  // namespace zovir
