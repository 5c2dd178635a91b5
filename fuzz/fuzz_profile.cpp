// The profile (INI) reader: any text, looked up and rewritten, keeps every other byte.
#include <cstdlib>
#include <string>

#include "fuzz_support.h"
#include "platform/profile_file.h"

using namespace zovir;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::InputReader in(data, size);
  const auto sectionBytes = in.Piece();
  const auto keyBytes = in.Piece();
  const std::string section(sectionBytes.begin(), sectionBytes.end());
  const std::string key(keyBytes.begin(), keyBytes.end());
  const auto rest = in.Rest();
  std::string text(rest.begin(), rest.end());

  (void)ProfileFile::ParseInt(text);
  ProfileFile profile = ProfileFile::FromText(text);
  (void)profile.Find(section, key);
  (void)profile.GetString(section, key, "def");
  (void)profile.GetInt(section, key, -7);
  (void)profile.GetInt("Project", "BlockSize", 1024);
  // A section or key name with a line break or bracket cannot be written back unchanged.
  auto plain = [](const std::string& s) {
    return !s.empty() && s.find_first_of("\r\n[]=;") == std::string::npos && s.front() > ' ' && s.back() > ' ';
  };
  if (plain(section) && plain(key)) {
    profile.SetString(section, key, "v1");
    const auto found = profile.Find(section, key);
    if (!found || *found != "v1") std::abort();
  }
  return 0;
}
