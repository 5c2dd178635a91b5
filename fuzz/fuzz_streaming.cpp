// Replies of the flash programmer to the streaming download commands.
#include <string>

#include "fuzz_support.h"
#include "protocols/streaming_download.h"

using namespace zovir;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::InputReader in(data, size);
  const uint8_t steps = in.Byte();
  const uint8_t blockShift = in.Byte();
  std::vector<fuzz::Bytes> replies;
  while (!in.Empty()) replies.push_back(in.Piece());

  static const std::string table = [] {
    fuzz::Bytes t(96, 0x5A);
    return fuzz::WriteTempFile("partition.mbn", t.data(), t.size());
  }();
  fuzz::PortRig rig(std::move(replies), 300);
  rig.core.cfg.partitionFile = table;
  rig.core.cfg.m_nBlockSize = 256 << (blockShift % 4);
  rig.OpenDiag();
  if (!rig.core.hDiagPort) return 0;
  StreamingDownload sd(rig.core, rig.link);
  const fuzz::Bytes block(700, 0xA5);
  // Each bit of `steps` picks the next command (the order of an update).
  if (steps & 0x01) (void)sd.SendHello();
  if (steps & 0x02) (void)sd.SendSecurityMode();
  if (steps & 0x04) (void)sd.SendPartitionTable();
  if (steps & 0x08) (void)sd.OpenAppsImage();
  if (steps & 0x10) (void)sd.StreamWrite(0x1000, block.data(), static_cast<uint32_t>(block.size()));
  if (steps & 0x20) (void)sd.CloseImage();
  if (steps & 0x40) (void)sd.SendPartitionTableOverride();
  if (steps & 0x80) (void)sd.SendReset();
  return 0;
}
