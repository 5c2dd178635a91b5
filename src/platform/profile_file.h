#pragma once
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "platform/private_files.h"

namespace zovir {

// How a profile file's text is stored: 8-bit, or UTF-16 with a byte-order mark.
enum class TextEncoding { Bytes, Utf16LE, Utf16BE };

// An INI ("profile") file read and written the way the Windows profile-string functions do
// it, which is what Config.ini and the identity backup are written for:
//  - section and key names match without regard to (ASCII) case;
//  - the first matching section, and within it the first matching key, wins;
//  - blanks around the "=" and around the value are not part of the value, and one pair of
//    enclosing double quotes is removed from it;
//  - a missing file, section or key yields the caller's default;
//  - lines may end in CR LF or LF; a file that starts with a UTF-16 byte-order mark (either
//    order) is read as UTF-16 and written back so, any other file is 8-bit text and never
//    re-encoded;
//  - only a regular file of at most kMaxProfileFileBytes is read (see regular_file.h).
// Writing a value rewrites only the line that holds it (or adds the key or section when it
// is missing) and keeps every other byte of the file; the new file replaces the old one
// atomically (a sibling file is written, then renamed over it).
class ProfileFile {
 public:
  // Reads `path` at once; a file that cannot be read behaves as an empty one
  // (see Loaded()).
  explicit ProfileFile(std::string path);

  // Parses `text` as the file's contents (nothing is read from disk).
  static ProfileFile FromText(std::string text, std::string path = {});

  const std::string& Path() const { return path_; }
  const std::string& Text() const { return text_; }
  // True when the file existed and could be read; LoadError() says why not, in words.
  bool Loaded() const { return loaded_; }
  const std::string& LoadError() const { return loadError_; }
  bool HasSection(std::string_view section) const;
  // Reads the file again (another program may have rewritten it).
  bool Reload();

  // The value, or nothing when the section or key is missing.
  std::optional<std::string> Find(std::string_view section, std::string_view key) const;
  std::string GetString(std::string_view section, std::string_view key, std::string_view def) const;
  // A decimal integer (optional sign, surrounding blanks allowed). A missing key, an empty
  // value, trailing characters or a value outside the int range yield `def`.
  int GetInt(std::string_view section, std::string_view key, int def) const;

  // Sets the value in memory and writes the file. Returns false (and leaves the file as it
  // was) when it cannot be written; errno then tells why.
  bool WriteString(std::string_view section, std::string_view key, std::string_view value);
  // Sets the value in memory only; Save() writes it.
  void SetString(std::string_view section, std::string_view key, std::string_view value);
  bool Save(FileAccess access = FileAccess::Inherit) const;

  // Converts a whole text the way GetInt does.
  static std::optional<int> ParseInt(std::string_view text);

 private:
  ProfileFile() = default;
  // Rebuilds the lookup index from text_; called after every change of text_.
  void Reindex();

  std::string path_;
  std::string text_;
  bool loaded_ = false;
  std::string loadError_;
  TextEncoding encoding_ = TextEncoding::Bytes;
  // Lower-case section name → lower-case key name → value (first occurrences only).
  std::unordered_map<std::string, std::unordered_map<std::string, std::string>> index_;
};

}  // namespace zovir
