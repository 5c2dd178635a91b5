// The device-map file the virtual modem writes and the port namespace reads.
#include <string>

#include "fuzz_support.h"
#include "platform/port_namespace.h"

using namespace zovir;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::InputReader in(data, size);
  const auto nameBytes = in.Piece();
  const auto rest = in.Rest();
  const std::string path = fuzz::WriteTempFile("devices.ini", rest.data(), rest.size());
  PortNamespace names(path);
  for (const auto& e : names.MapEntries()) {
    (void)names.Resolve(e.name);
    (void)names.NumberOf(e.path);
  }
  const std::string name(nameBytes.begin(), nameBytes.end());
  (void)PortNamespace::ParseComName(name);
  (void)PortNamespace::FixedNumber(name);
  (void)names.Resolve(name);
  return 0;
}
