#include "platform/profile_file.h"

#include "platform/private_files.h"
#include "platform/regular_file.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace zovir {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (IsBlank(s.front()) || s.front() == '\r')) s.remove_prefix(1);
  while (!s.empty() && (IsBlank(s.back()) || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool EqualNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (Lower(a[i]) != Lower(b[i])) return false;
  }
  return true;
}

enum class LineKind { Other, Section, Key };

// One physical line of the file. `end` excludes the line break; `next` is the start of the
// following line.
struct Line {
  size_t begin = 0, end = 0, next = 0;
  LineKind kind = LineKind::Other;
  std::string_view name;   // section or key name, trimmed
  std::string_view value;  // raw value, trimmed (quotes still on)
};

std::vector<Line> SplitLines(const std::string& text) {
  std::vector<Line> lines;
  size_t pos = 0;
  while (pos < text.size()) {
    Line line;
    line.begin = pos;
    size_t nl = text.find('\n', pos);
    if (nl == std::string::npos) {
      line.end = text.size();
      line.next = text.size();
    } else {
      line.end = (nl > pos && text[nl - 1] == '\r') ? nl - 1 : nl;
      line.next = nl + 1;
    }
    std::string_view body(text.data() + line.begin, line.end - line.begin);
    // An editor may have saved the file with a UTF-8 byte-order mark; it must not hide the
    // first section. The mark itself stays in the file.
    if (line.begin == 0 && body.substr(0, 3) == "\xEF\xBB\xBF") body.remove_prefix(3);
    std::string_view t = Trim(body);
    if (!t.empty() && t.front() == '[') {
      line.kind = LineKind::Section;
      t.remove_prefix(1);
      size_t close = t.find(']');
      if (close != std::string_view::npos) t = t.substr(0, close);
      line.name = Trim(t);
    } else {
      size_t eq = t.find('=');
      if (eq != std::string_view::npos) {
        line.kind = LineKind::Key;
        line.name = Trim(t.substr(0, eq));
        line.value = Trim(t.substr(eq + 1));
      }
    }
    lines.push_back(line);
    pos = line.next;
  }
  return lines;
}

// Index of the first section header named `section`, or -1.
long FindSection(const std::vector<Line>& lines, std::string_view section) {
  for (size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].kind == LineKind::Section && EqualNoCase(lines[i].name, section)) return static_cast<long>(i);
  }
  return -1;
}

std::string_view Unquote(std::string_view v) {
  if (v.size() >= 2 && v.front() == '"' && v.back() == '"') {
    v.remove_prefix(1);
    v.remove_suffix(1);
  }
  return v;
}

std::string LowerCopy(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = Lower(c);
  return out;
}

std::string LineBreakOf(const std::string& text) {
  size_t nl = text.find('\n');
  if (nl != std::string::npos && nl > 0 && text[nl - 1] == '\r') return "\r\n";
  if (nl == std::string::npos && text.find('\r') != std::string::npos) return "\r\n";
  return "\n";
}

void AppendUtf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

// UTF-16 text after its byte-order mark, as the 8-bit text the rest of the tool reads
// (UTF-8 on this platform). Unpaired surrogates become U+FFFD; an odd last byte is dropped.
std::string FromUtf16(std::string_view bytes, bool bigEndian) {
  std::string out;
  out.reserve(bytes.size() / 2);
  auto unit = [&](size_t i) {
    const auto a = static_cast<uint8_t>(bytes[i]), b = static_cast<uint8_t>(bytes[i + 1]);
    return static_cast<uint32_t>(bigEndian ? (a << 8 | b) : (b << 8 | a));
  };
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
    uint32_t cp = unit(i);
    if (cp >= 0xD800 && cp < 0xDC00 && i + 3 < bytes.size()) {
      const uint32_t low = unit(i + 2);
      if (low >= 0xDC00 && low < 0xE000) {
        cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
        i += 2;
      } else {
        cp = 0xFFFD;
      }
    } else if (cp >= 0xD800 && cp < 0xE000) {
      cp = 0xFFFD;
    }
    AppendUtf8(out, cp);
  }
  return out;
}

// The 8-bit text written back in the file's own UTF-16 form, mark first. A byte that does not
// start a valid UTF-8 sequence is taken as the character of the same number.
std::string ToUtf16(std::string_view text, bool bigEndian) {
  std::string out = bigEndian ? std::string("\xFE\xFF") : std::string("\xFF\xFE");
  auto put = [&](uint32_t u) {
    const char hi = static_cast<char>(u >> 8), lo = static_cast<char>(u & 0xFF);
    out.push_back(bigEndian ? hi : lo);
    out.push_back(bigEndian ? lo : hi);
  };
  for (size_t i = 0; i < text.size();) {
    const auto c = static_cast<uint8_t>(text[i]);
    const size_t extra = c >= 0xF0 && c < 0xF8 ? 3 : c >= 0xE0 && c < 0xF0 ? 2 : c >= 0xC0 && c < 0xE0 ? 1 : 0;
    uint32_t cp = c;
    size_t length = 1;
    if (extra > 0 && i + extra < text.size()) {
      uint32_t value = c & (0x3Fu >> extra);
      bool valid = true;
      for (size_t k = 1; k <= extra && valid; ++k) {
        const auto n = static_cast<uint8_t>(text[i + k]);
        valid = (n & 0xC0) == 0x80;
        value = value << 6 | (n & 0x3Fu);
      }
      if (valid) {
        cp = value;
        length = 1 + extra;
      }
    }
    i += length;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      put(0xD800 + (cp >> 10));
      put(0xDC00 + (cp & 0x3FF));
    } else {
      put(cp);
    }
  }
  return out;
}

// Reads a profile file as the system's profile functions do: a file that starts with a UTF-16
// byte-order mark is UTF-16 text, anything else 8-bit text.
bool ReadProfileText(const std::string& path, std::string& out, TextEncoding& encoding, std::string* why) {
  std::string bytes;
  if (!ReadRegularFile(path, kMaxProfileFileBytes, bytes, why)) return false;
  encoding = TextEncoding::Bytes;
  if (bytes.size() >= 2 && bytes[0] == '\xFF' && bytes[1] == '\xFE') encoding = TextEncoding::Utf16LE;
  if (bytes.size() >= 2 && bytes[0] == '\xFE' && bytes[1] == '\xFF') encoding = TextEncoding::Utf16BE;
  out = encoding == TextEncoding::Bytes ? std::move(bytes)
                                        : FromUtf16(std::string_view(bytes).substr(2), encoding == TextEncoding::Utf16BE);
  return true;
}

}  // namespace

ProfileFile::ProfileFile(std::string path) : path_(std::move(path)) { Reload(); }

ProfileFile ProfileFile::FromText(std::string text, std::string path) {
  ProfileFile f;
  f.path_ = std::move(path);
  f.text_ = std::move(text);
  f.loaded_ = true;
  f.Reindex();
  return f;
}

void ProfileFile::Reindex() {
  index_.clear();
  std::unordered_map<std::string, std::string>* current = nullptr;
  for (const Line& line : SplitLines(text_)) {
    if (line.kind == LineKind::Section) {
      // A section name seen before is never searched again: the first one wins.
      auto [it, inserted] = index_.try_emplace(LowerCopy(line.name));
      current = inserted ? &it->second : nullptr;
    } else if (line.kind == LineKind::Key && current) {
      current->try_emplace(LowerCopy(line.name), std::string(Unquote(line.value)));
    }
  }
}

bool ProfileFile::Reload() {
  std::string text;
  loadError_.clear();
  loaded_ = !path_.empty() && ReadProfileText(path_, text, encoding_, &loadError_);
  text_ = loaded_ ? std::move(text) : std::string();
  Reindex();
  return loaded_;
}

bool ProfileFile::HasSection(std::string_view section) const { return index_.count(LowerCopy(section)) != 0; }

std::optional<std::string> ProfileFile::Find(std::string_view section, std::string_view key) const {
  auto s = index_.find(LowerCopy(section));
  if (s == index_.end()) return std::nullopt;
  auto k = s->second.find(LowerCopy(key));
  if (k == s->second.end()) return std::nullopt;
  return k->second;
}

std::string ProfileFile::GetString(std::string_view section, std::string_view key, std::string_view def) const {
  std::optional<std::string> v = Find(section, key);
  return v ? *v : std::string(def);
}

std::optional<int> ProfileFile::ParseInt(std::string_view text) {
  std::string_view t = Trim(text);
  if (t.empty()) return std::nullopt;
  size_t i = 0;
  bool negative = false;
  if (t[0] == '+' || t[0] == '-') {
    negative = t[0] == '-';
    i = 1;
  }
  if (i == t.size()) return std::nullopt;
  long long value = 0;
  for (; i < t.size(); ++i) {
    if (t[i] < '0' || t[i] > '9') return std::nullopt;
    value = value * 10 + (t[i] - '0');
    if (value > static_cast<long long>(INT_MAX) + 1) return std::nullopt;
  }
  if (negative) value = -value;
  if (value < INT_MIN || value > INT_MAX) return std::nullopt;
  return static_cast<int>(value);
}

int ProfileFile::GetInt(std::string_view section, std::string_view key, int def) const {
  std::optional<std::string> v = Find(section, key);
  if (!v) return def;
  std::optional<int> n = ParseInt(*v);
  return n ? *n : def;
}

void ProfileFile::SetString(std::string_view section, std::string_view key, std::string_view value) {
  std::vector<Line> lines = SplitLines(text_);
  const std::string eol = LineBreakOf(text_);
  long s = FindSection(lines, section);
  if (s < 0) {
    std::string add;
    if (!text_.empty() && text_.back() != '\n') add += eol;
    add += "[" + std::string(section) + "]" + eol + std::string(key) + "=" + std::string(value) + eol;
    text_ += add;
    Reindex();
    return;
  }
  size_t insertAt = lines[static_cast<size_t>(s)].next;
  bool lastHasBreak = lines[static_cast<size_t>(s)].next != lines[static_cast<size_t>(s)].end;
  for (size_t i = static_cast<size_t>(s) + 1; i < lines.size(); ++i) {
    const Line& l = lines[i];
    if (l.kind == LineKind::Section) break;
    if (l.kind == LineKind::Key && EqualNoCase(l.name, key)) {
      // Keep the line's own spelling and indentation of the key; replace what follows "=".
      size_t start = text_.find('=', l.begin) + 1;
      while (start < l.end && IsBlank(text_[start])) ++start;
      text_.replace(start, l.end - start, std::string(value));
      Reindex();
      return;
    }
    // New keys go after the section's last non-blank line, so blank lines that separate
    // it from the next section stay where they are.
    if (!Trim(std::string_view(text_.data() + l.begin, l.end - l.begin)).empty()) {
      insertAt = l.next;
      lastHasBreak = l.next != l.end;
    }
  }
  std::string add;
  if (!lastHasBreak) add += eol;
  add += std::string(key) + "=" + std::string(value) + eol;
  text_.insert(insertAt, add);
  Reindex();
}

bool ProfileFile::Save(FileAccess access) const {
  if (encoding_ == TextEncoding::Bytes) return WriteFileAtomically(path_, text_, access);
  return WriteFileAtomically(path_, ToUtf16(text_, encoding_ == TextEncoding::Utf16BE), access);
}

bool ProfileFile::WriteString(std::string_view section, std::string_view key, std::string_view value) {
  FolderLock lock(path_);
  // Start from what is on disk now, so a value another program wrote meanwhile survives.
  if (!path_.empty()) {
    std::string current;
    TextEncoding encoding = encoding_;
    if (ReadProfileText(path_, current, encoding, nullptr)) {
      text_ = std::move(current);
      encoding_ = encoding;
    }
  }
  std::string before = text_;
  SetString(section, key, value);
  if (!Save()) {
    int err = errno;
    text_ = std::move(before);
    Reindex();
    errno = err;
    return false;
  }
  loaded_ = true;
  return true;
}

}  // namespace zovir
