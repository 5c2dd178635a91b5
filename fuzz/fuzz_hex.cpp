// Intel HEX conversion: any file either converts or is refused, never crashes, and a refusal
// leaves the binary file untouched.
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "fuzz_support.h"
#include "tools/hex_converter/hex_converter.h"

using namespace zovir;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string hex = fuzz::WriteTempFile("in.hex", data, size);
  const uint8_t marker[] = {'o', 'l', 'd'};
  const std::string bin = fuzz::WriteTempFile("out.bin", marker, sizeof marker);
  if (ConvertHexFile(hex.c_str(), bin.c_str()) == 0) {
    std::ifstream f(bin, std::ios::binary);
    const std::string kept((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    if (kept != "old") std::abort();
  }
  return 0;
}
