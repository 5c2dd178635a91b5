#pragma once
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/engine_core.h"
#include "link/frame_buffer.h"

namespace zovir {

// How a receive ended. Kept apart from the frame length so no caller can take an error
// code or a stale buffer for a reply.
enum class RxOutcome : uint8_t {
  Frame,     // a valid frame other than ACK/NAK; its bytes (payload + check) are in Response()
  Ack,       // payload 0x02, 3 bytes with check
  Nak,       // payload 0x03 + 2-byte reason, 5 bytes with check
  BadCheck,  // residue not 0xF0B8
  TooShort,  // closing flag after fewer than 3 bytes
  TooLong,   // more than 4096 bytes before the closing flag
  Timeout,   // the receive's time limit passed
  Stopped,   // ErrorCode became non-zero while waiting
};

struct RxResult {
  RxOutcome outcome = RxOutcome::Timeout;
  uint32_t length = 0;      // bytes stored in Response() (Frame/Ack/Nak)
  uint16_t nakReason = 0;   // (b1 << 8) + b2 for Nak
  // The classic 16-bit result code of the frame receives: 0 ACK, reason for NAK, 0x00FF
  // other frame, 1 check, 4 short, 5 long, 7 timeout, 0xFFFE stopped.
  uint16_t FrameCode() const;
  // The classic result of the reply receive: frame length, 1, 4, 5, 0xFF timeout, 0xFFFE.
  uint32_t ReplyCode() const;
};

// The engine's two serial ports and the framing on the diagnostic port. One per engine;
// its buffers belong to that engine's run.
class Link {
 public:
  static constexpr uint32_t kResponseSize = 4096;
  static constexpr uint32_t kTransmitSize = 4096;
  static constexpr uint32_t kReceiveTimeLimitMs = 5000;

  explicit Link(EngineCore& core);

  // Ports.
  static std::string PortName(int number);  // "COM" + n
  void OpenDiagPort();                      // failures reported as engine errors
  void ConfigureDiagPort();
  bool ReopenDiagPort();
  bool OpenModemPort();
  bool ReopenModemPort();
  // Up to 10 attempts 100 ms apart, reporting `warning` after each failed attempt; the handle
  // counts as closed afterwards.
  void CloseDiagPort(const std::string& warning);
  void CloseModemPort(const std::string& warning);
  // Up to 6 attempts 200 ms apart (one with fast-speed download); failures are warnings.
  uint32_t WritePort(const uint8_t* data, uint32_t n);
  // One read with the port's time-outs. Bytes a receive already fetched from the port are
  // returned first (without a port read). Waits longer than a second are cut into slices
  // that watch for a Stop.
  uint32_t ReadPort(uint8_t* buffer, uint32_t n);
  // Like ReadPort, but tops what the receive buffer held up with one port read for the rest
  // (protocol steps that read raw replies, e.g. "read four bytes").
  uint32_t ReadRaw(uint8_t* buffer, uint32_t n);

  // Framing.
  FrameBuffer& Frame() { return frame_; }
  void SendFramed();       // 7E + frame + 7E; refused (counts as a failed send) when it does not fit
  void SendFrame();        // frame + 7E
  void SendRaw();          // frame bytes as they are
  bool SendRawChecked();   // true when all bytes were written
  bool LastSendOk() const { return lastSendOk_; }

  // Waits for a frame after an opening flag; gives up after `limitMs` (Timeout) or at a Stop.
  RxResult ReceiveFrameTimed(uint32_t limitMs = kReceiveTimeLimitMs);
  // DIAG replies: no opening flag needed, the usual time limit. A valid frame is always Frame
  // (the reply's first byte is a command code, not an ACK/NAK).
  RxResult ReceiveReply();

  const uint8_t* Response() const { return response_.data(); }
  uint8_t* MutableResponse() { return response_.data(); }

  // Discards what the receive buffer holds (with every purge of the port's queues).
  void DiscardReceived();
  // Purges the diagnostic port (PURGE_* actions) together with the receive buffer; protocol
  // code that purges on its own should use this rather than the port.
  bool PurgeDiagPort(uint32_t actions = PURGE_ALL);
  // Read system calls made on the diagnostic port (benchmarks).
  uint64_t PortReads() const { return portReads_; }

 private:
  class ReadWindow;

  RxResult Receive(bool huntOpeningFlag, uint32_t limitMs, bool classifyAckNak);
  bool Stopping() const;
  void ReportErrorMask(const char* text);
  bool ReadOnce(ReadWindow& window, uint8_t* buffer, uint32_t n, uint32_t& got);
  bool FillRx(ReadWindow& window, bool& warned);
  uint32_t TakeRx(uint8_t* buffer, uint32_t n);
  uint32_t PortRead(uint8_t* buffer, uint32_t n);
  void SendCommon(bool reportMask);
  bool ConfigureModemPort(SerialPort& port);

  static constexpr size_t kRxCapacity = 16384;

  EngineCore& core_;
  FrameBuffer frame_;
  std::array<uint8_t, kResponseSize + 1> response_{};
  std::array<uint8_t, kTransmitSize> tx_{};
  std::vector<uint8_t> rx_;  // bytes read from the port and not parsed yet
  size_t rxPos_ = 0;
  size_t rxLen_ = 0;
  bool lastSendOk_ = true;
  uint64_t portReads_ = 0;
};

}  // namespace zovir
