#include "preservation/local_folders.h"

#include <cerrno>
#include <filesystem>
#include <system_error>

#include "platform/private_files.h"

namespace zovir {

namespace fs = std::filesystem;

namespace {

// Longest single name most file systems take.
constexpr size_t kMaxNameLength = 255;

// Absolute, normal, existing symbolic links resolved, no trailing separator.
fs::path Resolved(const std::string& path, std::error_code& ec) {
  fs::path p = fs::absolute(fs::path(path), ec);
  if (ec) return {};
  p = fs::weakly_canonical(p, ec);
  if (ec) return {};
  p = p.lexically_normal();
  while (!p.has_filename() && p.has_relative_path()) p = p.parent_path();
  return p;
}

// Components of `path` below `root` (both absolute and normal), or nothing when it is not
// below (or equal to) it.
std::optional<std::vector<std::string>> Below(const fs::path& root, const fs::path& path) {
  auto ri = root.begin();
  auto pi = path.begin();
  for (; ri != root.end(); ++ri, ++pi) {
    if (ri->empty()) continue;
    if (pi == path.end() || *ri != *pi) return std::nullopt;
  }
  std::vector<std::string> rest;
  for (; pi != path.end(); ++pi)
    if (!pi->empty()) rest.push_back(pi->string());
  return rest;
}

fs::path Normal(const std::string& path) {
  std::error_code ec;
  fs::path p = fs::absolute(fs::path(path), ec);
  if (ec) p = fs::path(path);
  p = p.lexically_normal();
  while (!p.has_filename() && p.has_relative_path()) p = p.parent_path();
  return p;
}

}  // namespace

namespace {

bool NeedsEscape(unsigned char u) {
  if (u < 0x20 || u == 0x7F) return true;
  switch (u) {
    case '/': case '\\': case ':': case '*': case '?': case '"': case '<': case '>': case '|': case '%':
      return true;
    default:
      return false;
  }
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::string EncodeMirrorName(std::string_view name) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  // "." and ".." are no names of their own in a folder: their dots are written out.
  const bool dots = name == "." || name == "..";
  std::string out;
  out.reserve(name.size());
  for (char c : name) {
    const auto u = static_cast<unsigned char>(c);
    if (dots || NeedsEscape(u)) {
      out += '%';
      out += kDigits[u >> 4];
      out += kDigits[u & 0x0F];
    } else {
      out += c;
    }
  }
  return out;
}

std::optional<std::string> DecodeMirrorName(std::string_view local) {
  std::string out;
  out.reserve(local.size());
  for (size_t i = 0; i < local.size(); ++i) {
    if (local[i] != '%') {
      out += local[i];
      continue;
    }
    if (i + 2 >= local.size()) return std::nullopt;
    const int high = HexValue(local[i + 1]);
    const int low = HexValue(local[i + 2]);
    if (high < 0 || low < 0) return std::nullopt;
    out += static_cast<char>(high * 16 + low);
    i += 2;
  }
  // Only what EncodeMirrorName writes is a mirror name: one spelling per EFS name.
  if (EncodeMirrorName(out) != local) return std::nullopt;
  return out;
}

NameVerdict CheckEfsName(std::string_view name) {
  if (name.empty()) return NameVerdict::Empty;
  if (name == "." || name == "..") return NameVerdict::DotName;
  if (name.find('/') != std::string_view::npos) return NameVerdict::Separator;
  if (EncodeMirrorName(name).size() > kMaxNameLength) return NameVerdict::TooLong;
  return NameVerdict::Ok;
}

const char* NameVerdictText(NameVerdict verdict) {
  switch (verdict) {
    case NameVerdict::Ok: return "name accepted";
    case NameVerdict::Empty: return "empty name";
    case NameVerdict::DotName: return "name refers to a folder itself";
    case NameVerdict::Separator: return "name holds a path separator";
    case NameVerdict::TooLong: return "name too long for a local name";
  }
  return "name refused";
}

std::string MapLocalName(std::string_view name) {
  std::string out(name);
  for (char& c : out) {
    if (c == '*' || c == '?' || c == '"' || c == '<' || c == '>' || c == '|') c = '_';
  }
  return out;
}

std::optional<std::vector<std::string>> SplitEfsPath(std::string_view path, std::string* bad,
                                                     NameVerdict* verdict) {
  std::vector<std::string> parts;
  // Split on '/' only: a '\' inside a component is a name character the mirror refuses.
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string_view::npos) end = path.size();
    const std::string_view part = path.substr(start, end - start);
    if (!part.empty()) {
      const NameVerdict v = CheckEfsName(part);
      if (v != NameVerdict::Ok) {
        if (bad) *bad = std::string(part);
        if (verdict) *verdict = v;
        return std::nullopt;
      }
      parts.emplace_back(part);
    }
    start = end + 1;
  }
  return parts;
}

std::optional<std::string> EfsMirrorPath(const std::string& mirrorRoot, std::string_view efsPath) {
  if (mirrorRoot.empty()) return std::nullopt;
  const auto parts = SplitEfsPath(efsPath);
  if (!parts) return std::nullopt;
  fs::path p(mirrorRoot);
  for (const auto& part : *parts) p /= EncodeMirrorName(part);
  return p.string();
}

std::optional<std::string> EfsPathFromMirror(const std::string& mirrorRoot, const std::string& localPath,
                                             bool encoded) {
  if (mirrorRoot.empty()) return std::nullopt;
  const auto rest = Below(Normal(mirrorRoot), Normal(localPath));
  if (!rest || rest->empty()) return std::nullopt;
  std::string efs;
  for (const auto& part : *rest) {
    const std::optional<std::string> name = encoded ? DecodeMirrorName(part) : std::optional<std::string>(part);
    if (!name || CheckEfsName(*name) != NameVerdict::Ok) return std::nullopt;
    if (!efs.empty()) efs += '/';
    efs += *name;
  }
  return efs;
}

bool LiesWithin(const std::string& root, const std::string& path, bool allowEqual) {
  if (root.empty() || path.empty()) return false;
  std::error_code ec;
  const fs::path r = Resolved(root, ec);
  if (ec) return false;
  const fs::path p = Resolved(path, ec);
  if (ec) return false;
  const auto rest = Below(r, p);
  if (!rest) return false;
  return allowEqual || !rest->empty();
}

std::string MirrorRoot(const EngineCore& core) {
  if (core.run.BackupFolder.empty()) return {};
  return (fs::path(core.run.BackupFolder) / "EFS").string();
}

bool BackupFolders::MakeLocalFolder(const std::string& path) {
  const auto fail = [this](int error) {
    core_.SetSystemError(error);
    core_.ReportError("Could not create folder!");
    return false;
  };
  const std::string& folder = core_.run.BackupFolder;
  // Only a run's own backup folder (never the backup root itself) may receive folders.
  if (folder.empty() || !LiesWithin(core_.cfg.BackupFilePath, folder, false) ||
      !LiesWithin(folder, path, true))
    return fail(EACCES);

  const fs::path base = Normal(folder);
  const auto rest = Below(base, Normal(path));
  if (!rest) return fail(EACCES);

  // The backup folder itself and its parents may already exist or be created as they are;
  // everything below it gets the name mapping. What a backup holds is its user's alone, and a
  // link would lead the mirror wherever it points.
  if (!CreatePrivateFolders(base.string()) || !CreatePrivateFolder(base.string())) return fail(errno);
  fs::path current = base;
  for (const auto& part : *rest) {
    if (CheckEfsName(part) != NameVerdict::Ok) return fail(EINVAL);
    current /= MapLocalName(part);
    if (!CreatePrivateFolder(current.string())) return fail(errno);
  }
  return true;
}

int BackupFolders::DeleteLocalFolder(const std::string& path) {
  if (!LiesWithin(core_.cfg.BackupFilePath, path, false)) return 0;
  const fs::path p = Normal(path);
  std::error_code ec;
  // A link in place of the folder is removed itself; remove_all never follows it.
  if (fs::exists(fs::symlink_status(p, ec))) {
    fs::remove_all(p, ec);
    if (ec) {
      core_.SetSystemError(ec.value());
      return 0;
    }
  }
  return fs::exists(fs::symlink_status(p, ec)) ? 0 : 1;
}

}  // namespace zovir
