#pragma once
#include <cstdint>
#include <string>

#include "engine/engine_core.h"
#include "engine/phases.h"
#include "link/link.h"
#include "protocols/image_file.h"
#include "protocols/reconnection.h"

namespace zovir {

// Brings the modem from its normal firmware into its boot loader and feeds it the flash
// programmer: the DIAG switch, the DMSS commands of the older boot loader (project type 44),
// and the Sahara exchange (hello response, read-data requests served from the programmer
// file, done). Operations return 0 on success, -1 when the engine was no longer healthy and
// a positive code on a protocol failure.
class ProgrammerUploader final : public ProgrammerUpload {
 public:
  static constexpr uint32_t kSwitchLimitMs = 180000;
  // The older boot loader answers its parameter request at once; this is generous.
  static constexpr uint32_t kParameterReplyLimitMs = 30000;
  static constexpr uint32_t kElfHeaderSize = 52;
  // Largest piece of a requested segment handed to one write.
  static constexpr uint32_t kPieceSize = 64 * 1024;

  ProgrammerUploader(EngineCore& core, Link& link);

  int ProgrammerPhase() override;

  int SwitchToDownloadMode();
  int SendPreCommand1();
  int SendPreCommand2();
  int SendVersionRequest();
  int SendNop();
  int SendParameterRequest();
  int SendSaharaHelloResponse();
  int UploadProgrammer();
  int SendSaharaDone();

  // What the boot loader answered to a served chunk.
  struct ChunkReply {
    int result = 2;            // 0 accepted, -1 engine stopped, 2 anything else
    bool endOfImage = false;   // end of image transfer with status 0
    uint32_t nextOffset = 0;   // the next read-data request
    uint32_t nextLength = 0;
  };
  // Sends `length` bytes of the programmer from `offset` raw and reads the reply.
  ChunkReply SendChunk(ImageFile& file, uint32_t offset, uint32_t length);

  // The six-digit service programming code sent before the DMSS switch.
  std::string serviceProgrammingCode = "000000";

 private:
  // Reads one Sahara packet (its length field decides how many bytes); returns bytes read.
  size_t ReadSaharaPacket(uint8_t* buffer, size_t capacity, int emptyReads);
  bool ReopenBootLoaderPort();

  EngineCore& core_;
  Link& link_;
  PortReconnection reconnection_;
  // The first read-data request, taken with the hello exchange.
  bool haveFirstRequest_ = false;
  uint32_t firstOffset_ = 0;
  uint32_t firstLength_ = 0;
};

}  // namespace zovir
