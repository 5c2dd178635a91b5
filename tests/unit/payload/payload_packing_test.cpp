// This test program carries a payload packed at build time from two small folders.
#include <gtest/gtest.h>

#include "ui/payload.h"

namespace zovir {
namespace {

std::string Bytes(const PayloadEntry* e) {
  return e ? std::string(reinterpret_cast<const char*>(e->data), e->size) : "(absent)";
}

TEST(PayloadPacking, EveryFileIsFoundUnderItsOwnNameAndTheNamesTheTablesUse) {
  const Payload p = Payload::Embedded();
  struct Case {
    const char* key;
    const char* type;
    const char* bytes;
  };
  const Case cases[] = {
      {"bootFile", "IMG", "boot image"},
      {"BootimageFile", "IMG", "boot image"},
      {"ENPRG9x06File", "MBN", "programmer"},
      {"NPRG9x06File", "MBN", "programmer"},
      {"nandimageFile", "BIN", "raw efs"},
      {"NandimageFile", "MBN", "raw efs"},
      {"two wordsFile", "BIN", "spaced"},
      {"ConfigFile", "INI", "[Project]\n"},
      {"NPRG9x06File2", "MBN", "second programmer"},
      {"ConfigFile2", "INI", "[Project]\nPacket=2\n"},
  };
  for (const Case& c : cases) EXPECT_EQ(Bytes(p.Find(c.key, c.type)), c.bytes) << c.key << " " << c.type;
  EXPECT_EQ(p.Find("bootFile2", "IMG"), nullptr);
  // The helper programs and the conversion library come along.
  EXPECT_NE(p.Find("HexConverterFile", "DLL"), nullptr);
}

TEST(PayloadPacking, TheBytesAreAlignedForDirectUse) {
  const Payload p = Payload::Embedded();
  ASSERT_FALSE(p.Empty());
  for (const PayloadEntry& e : p.List()) {
    EXPECT_EQ(reinterpret_cast<uintptr_t>(e.data) % 64, 0u) << e.key;
  }
}

}  // namespace
}  // namespace zovir
