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
  Separator,    // '/': no single name holds one
  TooLong,      // its mirror name is longer than a file system takes as one name
};

// Whether `name` may become one component of a local mirror path (see EncodeMirrorName).
NameVerdict CheckEfsName(std::string_view name);
const char* NameVerdictText(NameVerdict verdict);

// The mirror's name for an EFS name, reversible: every byte a local name must not hold on
// any system we build for (control characters, '/', '\', ':', '*', '?', '"', '<', '>', '|')
// and '%' itself become '%' and two upper-case hex digits.
std::string EncodeMirrorName(std::string_view name);
// The EFS name of a mirror name; nothing when it is no encoding of one.
std::optional<std::string> DecodeMirrorName(std::string_view local);

// The characters a local file name must not hold on any system we build for ('*', '?', '"',
// '<', '>', '|') become '_' (MakeLocalFolder; mirror names never hold them).
std::string MapLocalName(std::string_view name);

// Beside the mirror (`BackupFolder`/EFS.names): says its names are encoded. A mirror without it
// was written by an older version, whose names are the EFS names as they are.
inline constexpr const char* kMirrorNamesFile = "EFS.names";

// The components of an EFS path ("/data/a" and "data/a" give the same two). Empty components
// (a leading or doubled '/') are skipped. Nothing when a component fails CheckEfsName; `bad`
// then names it and `verdict` says why.
std::optional<std::vector<std::string>> SplitEfsPath(std::string_view path, std::string* bad = nullptr,
                                                     NameVerdict* verdict = nullptr);

// The local mirror of an EFS path below `mirrorRoot` (`BackupFolder`/EFS): the root joined with
// the encoded components. Nothing when the path cannot be mirrored.
std::optional<std::string> EfsMirrorPath(const std::string& mirrorRoot, std::string_view efsPath);

// The EFS path a mirrored file or folder came from: its components below `mirrorRoot` (decoded
// when `encoded`) joined with '/', without a leading '/'. Nothing when `localPath` is not
// strictly below the root or one of its components gives no usable name.
std::optional<std::string> EfsPathFromMirror(const std::string& mirrorRoot, const std::string& localPath,
                                             bool encoded = true);

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
