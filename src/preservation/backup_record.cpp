#include "preservation/backup_record.h"

#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <system_error>

#include "platform/private_files.h"

namespace zovir {

namespace fs = std::filesystem;

namespace {

constexpr const char* kHeader = "zovir backup record 1";
// A record larger than this is not one of ours.
constexpr uintmax_t kMaxRecordSize = 16u << 20;

struct Entry {
  bool folder = false;
  uint64_t size = 0;
  uint32_t crc = 0;
};

// Names travel on one line each: bytes that would break the line or the field are escaped.
std::string Escaped(const std::string& text) {
  static const char* hex = "0123456789abcdef";
  std::string out;
  for (char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (u <= 0x20 || u == 0x7F || c == '%') {
      out += '%';
      out += hex[u >> 4];
      out += hex[u & 15];
    } else {
      out += c;
    }
  }
  return out;
}

bool Unescaped(const std::string& text, std::string& out) {
  out.clear();
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out += text[i];
      continue;
    }
    if (i + 2 >= text.size()) return false;
    unsigned value = 0;
    for (int k = 1; k <= 2; ++k) {
      const char h = text[i + k];
      value <<= 4;
      if (h >= '0' && h <= '9') value |= static_cast<unsigned>(h - '0');
      else if (h >= 'a' && h <= 'f') value |= static_cast<unsigned>(h - 'a' + 10);
      else return false;
    }
    out += static_cast<char>(value);
    i += 2;
  }
  return true;
}

uint32_t TextCrc(const std::string& text) {
  return static_cast<uint32_t>(crc32(crc32(0, nullptr, 0), reinterpret_cast<const Bytef*>(text.data()),
                                     static_cast<uInt>(text.size())));
}

std::string Hex32(uint32_t v) {
  char text[9];
  std::snprintf(text, sizeof text, "%08x", v);
  return text;
}

// Reads a file through, giving its size and CRC-32; `sync` also flushes it to the disk.
bool ReadFile(const fs::path& path, bool sync, uint64_t& size, uint32_t& crc, std::string& why) {
  FileHandle file = OpenNoFollow(path.string());
  if (!file) {
    why = "cannot open " + path.string() + ": " + std::strerror(errno);
    return false;
  }
  bool ok = file.IsRegular();
  if (!ok) why = path.string() + " is not a plain file";
  uLong c = crc32(0, nullptr, 0);
  size = 0;
  unsigned char buffer[65536];
  while (ok) {
    const long long n = file.ReadSome(buffer, sizeof buffer);
    if (n < 0) {
      why = "cannot read " + path.string() + ": " + std::strerror(errno);
      ok = false;
      break;
    }
    if (n == 0) break;
    c = crc32(c, buffer, static_cast<uInt>(n));
    size += static_cast<uint64_t>(n);
  }
  if (ok && sync && !file.Sync()) {
    why = "cannot sync " + path.string() + ": " + std::strerror(errno);
    ok = false;
  }
  crc = static_cast<uint32_t>(c);
  return ok;
}

bool FlushFolder(const fs::path& path, std::string& why) {
  if (SyncFolder(path.string())) return true;
  why = "cannot sync folder " + path.string() + ": " + std::strerror(errno);
  return false;
}

// A new record is written beside the old one and renamed over it; a run killed in between
// leaves that sibling ("backup-record.txt.<16 hex digits>"), which is no file of the backup.
bool IsRecordSibling(const fs::path& rel) {
  if (rel.has_parent_path()) return false;
  const std::string name = rel.string();
  const std::string prefix = std::string(kBackupRecordName) + ".";
  if (name.size() != prefix.size() + 16 || name.rfind(prefix, 0) != 0) return false;
  return name.find_first_not_of("0123456789abcdef", prefix.size()) == std::string::npos;
}

bool IsPlainIdentityCopy(const fs::path& rel) {
  if (rel.has_parent_path()) return false;
  for (const char* name : kPlainIdentityFiles)
    if (rel == name) return true;
  return false;
}

// Everything below `folder` except the record and the plain identity copies, by relative path.
// `sync` syncs each file and folder on the way.
bool Walk(const fs::path& folder, bool sync, std::map<std::string, Entry>& entries, std::string& why) {
  entries.clear();
  std::error_code ec;
  std::vector<fs::path> folders{folder};
  for (fs::recursive_directory_iterator it(folder, fs::directory_options::none, ec), end; !ec && it != end;
       it.increment(ec)) {
    const fs::path rel = it->path().lexically_relative(folder);
    if (rel == kBackupRecordName || IsRecordSibling(rel) || IsPlainIdentityCopy(rel)) continue;
    const fs::file_status st = it->symlink_status(ec);
    if (ec) break;
    Entry e;
    if (fs::is_directory(st)) {
      e.folder = true;
      folders.push_back(it->path());
    } else if (fs::is_regular_file(st)) {
      if (!ReadFile(it->path(), sync, e.size, e.crc, why)) return false;
    } else {
      why = it->path().string() + " is neither a plain file nor a folder";
      return false;
    }
    entries[rel.generic_string()] = e;
  }
  if (ec) {
    why = "cannot list " + folder.string() + ": " + ec.message();
    return false;
  }
  if (sync)
    for (const auto& f : folders)
      if (!FlushFolder(f, why)) return false;
  return true;
}

void Describe(const std::map<std::string, Entry>& entries, BackupContents& c) {
  for (const auto& [rel, e] : entries) {
    const bool inMirror = rel.rfind("EFS/", 0) == 0;
    if (e.folder) {
      if (inMirror) ++c.userFolders;
      continue;
    }
    c.files.push_back(rel);
    if (inMirror) ++c.userFiles;
    if (rel == "EncryptAT.bak") c.identity = true;
    if (rel == "nv.bak") c.nv = true;
    if (rel == "nv1.bak") c.rfNv = true;
  }
}

constexpr ModemMark kMarks[] = {ModemMark::Untouched, ModemMark::Written, ModemMark::Finished, ModemMark::SetAside};

bool MarkNamed(const std::string& name, ModemMark& mark) {
  for (ModemMark m : kMarks)
    if (name == ModemMarkName(m)) {
      mark = m;
      return true;
    }
  return false;
}

// The text of the record of `folder` when it is one of ours and intact; `endAt` is where its
// closing check line begins.
bool ReadRecordText(const std::string& folder, std::string& text, size_t& endAt, std::string& why) {
  const fs::path path = fs::path(folder) / kBackupRecordName;
  std::error_code ec;
  const fs::file_status st = fs::symlink_status(path, ec);
  if (!fs::exists(st)) {
    why = "it has no completion record (the run that made it did not finish its backup)";
    return false;
  }
  if (!fs::is_regular_file(st) || fs::file_size(path, ec) > kMaxRecordSize) {
    why = "its completion record is not a plain file";
    return false;
  }
  std::ifstream in(std::filesystem::path(path), std::ios::binary);
  if (!in.is_open()) {
    why = "its completion record cannot be read";
    return false;
  }
  text.assign((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  endAt = text.rfind("end ");
  if (text.rfind(std::string(kHeader) + "\n", 0) != 0 || endAt == std::string::npos ||
      (endAt != 0 && text[endAt - 1] != '\n') || text.substr(endAt) != "end " + Hex32(TextCrc(text.substr(0, endAt))) + "\n") {
    why = "its completion record is damaged";
    return false;
  }
  return true;
}

bool WriteRecord(const std::string& folder, std::string body, std::string& why) {
  body += "end " + Hex32(TextCrc(body)) + "\n";
  const std::string path = (fs::path(folder) / kBackupRecordName).string();
  if (!WriteFileAtomically(path, body, FileAccess::OwnerOnly)) {
    why = "cannot write " + path + ": " + std::strerror(errno);
    return false;
  }
  return FlushFolder(folder, why);
}

std::string HoldsLine(const BackupContents& c) {
  std::string s;
  if (c.identity) s += " identity";
  if (c.nv) s += " nv";
  if (c.rfNv) s += " rf-nv";
  s += " user-files:" + std::to_string(c.userFiles);
  return s.substr(1);
}

}  // namespace

const char* ModemMarkName(ModemMark mark) {
  switch (mark) {
    case ModemMark::Untouched: return "untouched";
    case ModemMark::Written: return "written";
    case ModemMark::Finished: return "finished";
    case ModemMark::SetAside: return "set-aside";
  }
  return "written";
}

bool SealBackup(const std::string& folder, const std::string& serial, const std::string& created, std::string& why,
                ModemMark modem) {
  std::map<std::string, Entry> entries;
  if (!Walk(folder, true, entries, why)) return false;
  BackupContents contents;
  Describe(entries, contents);
  std::string text = std::string(kHeader) + "\n";
  text += "serial " + Escaped(serial) + "\n";
  text += "created " + Escaped(created) + "\n";
  text += "holds " + HoldsLine(contents) + "\n";
  text += std::string("modem ") + ModemMarkName(modem) + "\n";
  for (const auto& [rel, e] : entries) {
    if (e.folder)
      text += "folder " + Escaped(rel) + "\n";
    else
      text += "file " + std::to_string(e.size) + " " + Hex32(e.crc) + " " + Escaped(rel) + "\n";
  }
  return WriteRecord(folder, std::move(text), why);
}

bool MarkBackup(const std::string& folder, ModemMark mark, std::string& why) {
  std::string text;
  size_t endAt = 0;
  if (!ReadRecordText(folder, text, endAt, why)) return false;
  const std::string line = std::string("modem ") + ModemMarkName(mark) + "\n";
  std::string body = text.substr(0, endAt);
  // The mark stands after the "holds" line; a record from before marks gets one there.
  size_t at = body.find("\nmodem ");
  if (at != std::string::npos) {
    const size_t lineEnd = body.find('\n', at + 1);
    body.replace(at + 1, lineEnd - at, line);
  } else {
    at = body.find("\nholds ");
    const size_t insertAt = at == std::string::npos ? body.find('\n') + 1 : body.find('\n', at + 1) + 1;
    body.insert(insertAt, line);
  }
  return WriteRecord(folder, std::move(body), why);
}

bool CheckBackupRecord(const std::string& folder, BackupContents& contents, std::string& why) {
  contents = {};
  std::string text;
  size_t endAt = 0;
  if (!ReadRecordText(folder, text, endAt, why)) return false;
  std::map<std::string, Entry> listed;
  std::istringstream lines(text.substr(0, endAt));
  std::string line;
  std::getline(lines, line);  // header
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    std::string kind, name;
    fields >> kind;
    if (kind == "serial" || kind == "created") {
      std::string value;
      fields >> value;
      Unescaped(value, kind == "serial" ? contents.serial : contents.created);
      continue;
    }
    if (kind == "holds") continue;
    if (kind == "modem") {
      std::string value;
      fields >> value;
      if (!MarkNamed(value, contents.modem)) {
        why = "its completion record is damaged";
        return false;
      }
      continue;
    }
    Entry e;
    std::string crc;
    if (kind == "folder") {
      e.folder = true;
      fields >> name;
    } else if (kind == "file") {
      fields >> e.size >> crc >> name;
      e.crc = static_cast<uint32_t>(std::strtoul(crc.c_str(), nullptr, 16));
    }
    std::string rel;
    if ((kind != "folder" && kind != "file") || name.empty() || !Unescaped(name, rel)) {
      why = "its completion record is damaged";
      return false;
    }
    listed[rel] = e;
  }
  std::map<std::string, Entry> present;
  if (!Walk(folder, false, present, why)) return false;
  for (const auto& [rel, e] : listed) {
    auto it = present.find(rel);
    if (it == present.end()) {
      why = rel + " is missing";
      return false;
    }
    if (it->second.folder != e.folder || it->second.size != e.size || it->second.crc != e.crc) {
      why = rel + " was changed after the backup";
      return false;
    }
  }
  for (const auto& [rel, e] : present) {
    if (!listed.count(rel)) {
      why = rel + " was added after the backup";
      return false;
    }
  }
  Describe(listed, contents);
  return true;
}

std::string BackupKeyOf(const std::string& folderName) {
  if (folderName.rfind("SN[", 0) == 0) {
    const size_t close = folderName.rfind(']');
    if (close != std::string::npos) return folderName.substr(0, close + 1);
  }
  return folderName;
}

std::string SerialOfBackupFolder(const std::string& folderName) {
  const std::string key = BackupKeyOf(folderName);
  if (key.size() < 4 || key.rfind("SN[", 0) != 0 || key.back() != ']') return {};
  return key.substr(3, key.size() - 4);
}

}  // namespace zovir
