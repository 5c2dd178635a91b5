// The names of the local mirror of a modem's EFS (what EFS.names announces): every EFS name has
// exactly one mirror name and comes back from it, and a local name either decodes to the one
// EFS name whose encoding it is or to nothing.
#include <cstdlib>
#include <string>

#include "fuzz_support.h"
#include "preservation/local_folders.h"

using namespace zovir;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const std::string encoded = EncodeMirrorName(text);
  const auto back = DecodeMirrorName(encoded);
  if (!back || *back != text) std::abort();
  if (const auto decoded = DecodeMirrorName(text); decoded && EncodeMirrorName(*decoded) != text) std::abort();
  (void)CheckEfsName(text);
  (void)MapLocalName(text);
  std::string bad;
  NameVerdict verdict = NameVerdict::Ok;
  if (const auto parts = SplitEfsPath(text, &bad, &verdict)) {
    for (const std::string& part : *parts)
      if (CheckEfsName(part) != NameVerdict::Ok) std::abort();
  }
  return 0;
}
