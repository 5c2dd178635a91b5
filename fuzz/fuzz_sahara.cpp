// The boot loader's Sahara requests: whatever it asks for (offsets, lengths, commands), the
// upload serves only bytes of the programmer file and ends with a result code.
#include <string>

#include "fuzz_support.h"
#include "protocols/programmer_upload.h"

using namespace zovir;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::InputReader in(data, size);
  const uint8_t choice = in.Byte();
  std::vector<fuzz::Bytes> replies;
  while (!in.Empty()) replies.push_back(in.Piece());

  static const std::string programmer = [] {
    fuzz::Bytes image(3000);
    for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 7 + 3);
    return fuzz::WriteTempFile("programmer.mbn", image.data(), image.size());
  }();
  fuzz::PortRig rig(std::move(replies), 300);
  rig.core.cfg.ramFile = programmer;
  rig.core.cfg.bEnprg9x15 = (choice & 1) ? 1 : 0;
  rig.core.cfg.ProjectType = (choice & 2) ? 44 : 3;
  rig.OpenDiag();
  if (!rig.core.hDiagPort) return 0;
  ProgrammerUploader uploader(rig.core, rig.link);
  (void)uploader.ProgrammerPhase();
  return 0;
}
