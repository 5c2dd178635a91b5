#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "engine/engine_core.h"
#include "link/link.h"
#include "protocols/image_file.h"

namespace zovir {

// One open-by-name command of the image plan: the command bytes, the name shown while it is
// sent and the bytes its reply must start with.
struct tagImgCmdPara {
  const uint8_t* command;
  int commandLength;
  const char* name;
  const uint8_t* expectedReply;
  int expectedReplyLength;
};

// How WriteImageBlocks writes one image (block size, texts, progress).
enum class BlockVariant { Image, Apps, Efs, AppEfs };

// How long the programmer may take to flash one fast-speed part.
struct WriteFlashTiming {
  uint32_t initialWaitMs;
  uint32_t pollIntervalMs;
  uint32_t maxPolls;
};
WriteFlashTiming WriteFlashTimingFor(uint32_t partLength);

// The flash programmer's streaming download protocol on the diagnostic port: every command
// with its attempts and waits, and the two ways of writing an image (stream writes of one
// block each, or the fast-speed transfer of raw blocks). Operations return 0 on success, -1
// when the engine was no longer healthy, and a positive code on a protocol failure.
class StreamingDownload {
 public:
  static constexpr uint32_t kStreamBlock = 1024;
  // Largest stream-write block whose escaped frame always fits the transmit buffer.
  static constexpr uint32_t kMaxStreamBlock = 2040;
  static constexpr uint32_t kFastPartSize = 0x1400000;
  static constexpr uint32_t kMaxPartitionTable = 1023;
  static constexpr size_t kRawReplyCapacity = 512;
  // The replies to the partition table, the open of the application image, the close and the
  // reset come at once from a working programmer; a lost one ends the wait after this long.
  static constexpr uint32_t kSlowReplyLimitMs = 30000;

  StreamingDownload(EngineCore& core, Link& link);

  int SendHello();
  int SendSecurityMode();
  int SendPartitionTable();
  int SendPartitionTableOverride();
  int OpenImageByName(const tagImgCmdPara& record);
  int OpenAppsImage();
  int OpenEfsImage();
  int OpenAppEfsImage();
  int StreamWrite(uint32_t address, const uint8_t* data, uint32_t n);
  int CloseImage();
  int SendReset();
  int SendPowerOff();

  // The normal transfer of one image of `size` bytes (measured by the caller).
  int WriteImageBlocks(BlockVariant variant, const std::string& file, uint32_t size, int progressStart,
                       int progressEnd);
  // The fast-speed transfer; true when the engine is still healthy afterwards.
  bool FastWriteImage(const std::string& file, uint32_t size, uint16_t checksum);
  // One part of a fast-speed transfer from an open image file.
  bool FastWritePart(ImageFile& image, const std::string& file, uint32_t offset, uint32_t length,
                     uint16_t checksum);

  // The block size of the fast-speed transfer and of EFS stream writes (bounded for EFS).
  uint32_t FastBlockSize() const;
  uint32_t EfsBlockSize() const;

  // Measured by SendPartitionTable.
  uint32_t partitionFileSize = 0;

 private:
  // Sends the frame already built and waits for a timed reply; true when it is a frame
  // (ACK or other) whose first byte is `first`.
  bool ReplyStartsWith(const RxResult& rx, uint8_t first) const;
  bool ReceiveStreamWriteAck(uint32_t address);
  // A reply with the generous limit above; a lost one is said in the log, naming `what`.
  RxResult ReceiveSlowReply(const char* what);
  int LoadPartitionTable(uint8_t override);
  // Says in the log which status refused the table (`what`: "" or "override ").
  void ReportTableRefused(const char* what, uint8_t status);
  void BuildFrame(const uint8_t* payload, size_t n);
  void BuildFastHandshake(uint8_t command, uint32_t offset, uint32_t length, uint16_t checksum);
  bool FastHandshake(bool reset, const std::string& name, uint32_t offset, uint32_t length, uint16_t checksum);
  bool SendFastBlocks(ImageFile& image, uint32_t offset, uint32_t length);
  bool WriteFlash(const std::string& name, uint32_t length);
  // Reads one raw reply of the fast-speed extension; true when byte 1 is `code`.
  bool FastReplyIs(uint8_t code, int emptyReads, bool needAllOnes = false);

  EngineCore& core_;
  Link& link_;
  std::vector<uint8_t> block_;  // one block of the normal transfer, reused
  uint8_t reply_[kRawReplyCapacity] = {};
};

}  // namespace zovir
