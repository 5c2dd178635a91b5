// The NV tables a firmware packet carries beside its Config.ini (nv_tables.txt): any text is
// either read or refused with the line that is wrong.
#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "preservation/nv_item_tables.h"

using namespace zovir;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  NVItemTables tables;
  std::vector<std::string> sections;
  std::string error;
  if (!ParseNVItemTables(text, tables, sections, error) && error.empty()) std::abort();
  return 0;
}
