#pragma once
#include "support/scratch_dir.h"

namespace zovir::test {

// The configuration tests' folders carry their own prefix, so a leftover is easy to place.
class TempDir : public ScratchDir {
 public:
  TempDir() : ScratchDir("zovir-config") {}
};

}  // namespace zovir::test
