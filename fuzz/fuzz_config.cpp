// The configuration reader on any Config.ini; the second-package check on the same text.
#include <string>

#include "config/message_sink.h"
#include "config/project_configuration.h"
#include "fuzz_support.h"

using namespace zovir;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string path = fuzz::WriteTempFile("Config.ini", data, size);
  RecordingMessageSink sink;
  ProjectConfiguration config;
  if (ReadProjectConfiguration(config, path, sink)) {
    ProjectConfiguration second = config;
    (void)CheckSecondPackage(second, path, sink);
  }
  (void)LookupProjectType(std::string_view(reinterpret_cast<const char*>(data), size));
  int code = 0;
  (void)LookupPlatformCode(std::string_view(reinterpret_cast<const char*>(data), size), code);
  (void)PlatformTypeOf(std::string_view(reinterpret_cast<const char*>(data), size));
  return 0;
}
