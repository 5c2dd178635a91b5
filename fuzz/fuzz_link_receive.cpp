// Frame reception on the diagnostic port: whatever bytes a modem sends, every receive ends
// with one of its outcomes and never reads or writes outside its buffers.
#include <cstdlib>

#include "fuzz_support.h"

using namespace zovir;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::InputReader in(data, size);
  const uint8_t modes = in.Byte();
  fuzz::PortRig rig({}, 200);
  rig.OpenDiag();
  if (!rig.core.hDiagPort) return 0;
  rig.diag().QueueBytes(in.Rest());
  for (int i = 0; i < 8 && !rig.core.StopRequested(); ++i) {
    RxResult rx;
    switch ((modes >> (i % 4 * 2)) & 3) {
      case 0: rx = rig.link.ReceiveFrameTimed(); break;
      case 1: rx = rig.link.ReceiveReply(); break;
      case 2: rx = rig.link.ReceiveFrameTimed(1000); break;
      default: rx = rig.link.ReceiveFrameTimed(60'000); break;
    }
    if (rx.length > Link::kResponseSize + 1) std::abort();
    (void)rx.FrameCode();
    (void)rx.ReplyCode();
    if (rx.outcome == RxOutcome::Timeout || rx.outcome == RxOutcome::Stopped) break;
  }
  return 0;
}
