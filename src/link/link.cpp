#include "link/link.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "common/text.h"
#include "link/hdlc.h"

namespace zovir {
namespace {

constexpr int kErrorInvalidHandle = 6;

// No wait inside a receive or a read may hide a Stop for longer than this.
constexpr uint32_t kSliceMs = 1000;
// Pause between two looks at the queue when the port refuses the sliced time-outs.
constexpr uint32_t kPollMs = 10;

constexpr int kWriteAttempts = 6;
constexpr uint32_t kWriteRetryMs = 200;
constexpr uint32_t kReadFailureMs = 100;
constexpr int kCloseAttempts = 10;
constexpr uint32_t kCloseRetryMs = 100;
constexpr uint32_t kDefaultQueueSize = 4096;

// A read returns at once with what is queued, or with the first byte to arrive.
bool IsFirstByteForm(const CommTimeouts& t) {
  return t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == MAXDWORD &&
         t.ReadTotalTimeoutConstant > 0 && t.ReadTotalTimeoutConstant < MAXDWORD;
}

// A read returns at once with what is queued, even nothing.
bool IsImmediateForm(const CommTimeouts& t) {
  return t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == 0 && t.ReadTotalTimeoutConstant == 0;
}

// How long a read of n bytes may take with these time-outs; max() when it may wait forever.
uint64_t ReadTimeLimit(const CommTimeouts& t, uint32_t n) {
  if (IsImmediateForm(t)) return 0;
  if (IsFirstByteForm(t)) return t.ReadTotalTimeoutConstant;
  if (t.ReadTotalTimeoutMultiplier == 0 && t.ReadTotalTimeoutConstant == 0)
    return std::numeric_limits<uint64_t>::max();
  return uint64_t{t.ReadTotalTimeoutMultiplier} * n + t.ReadTotalTimeoutConstant;
}

bool HasIntervalLimit(const CommTimeouts& t) {
  return t.ReadIntervalTimeout != 0 && t.ReadIntervalTimeout != MAXDWORD;
}

// The fixed index tables through which the modem port's line values are chosen.
uint32_t RateFromIndex(int i) {
  constexpr uint32_t rates[] = {110, 300, 600, 1200, 2400, 4800, 9600, 14400, 19200, 38400, 56000, 57600, 115200, 128000, 256000};
  return i >= 0 && i < static_cast<int>(std::size(rates)) ? rates[i] : 115200;
}
uint8_t DataBitsFromIndex(int i) { return i >= 0 && i <= 3 ? static_cast<uint8_t>(5 + i) : 8; }
Parity ParityFromIndex(int i) { return i >= 0 && i <= 4 ? static_cast<Parity>(i) : Parity::None; }
StopBits StopBitsFromIndex(int i) { return i >= 0 && i <= 2 ? static_cast<StopBits>(i) : StopBits::One; }
constexpr int kModemRateIndex = 12, kModemDataBitsIndex = 3, kModemParityIndex = 0, kModemStopBitsIndex = 0;

bool UsesLongTimeouts(int projectType) {
  return projectType == 6 || projectType == 19 || projectType == 20 || projectType == 42;
}

}  // namespace

uint16_t RxResult::FrameCode() const {
  switch (outcome) {
    case RxOutcome::Ack: return 0;
    case RxOutcome::Nak: return nakReason;
    case RxOutcome::Frame: return 0x00FF;
    case RxOutcome::BadCheck: return 1;
    case RxOutcome::TooShort: return 4;
    case RxOutcome::TooLong: return 5;
    case RxOutcome::Timeout: return 7;
    case RxOutcome::Stopped: return 0xFFFE;
  }
  return 0x00FF;
}

uint32_t RxResult::ReplyCode() const {
  switch (outcome) {
    case RxOutcome::Frame:
    case RxOutcome::Ack:
    case RxOutcome::Nak: return length;
    case RxOutcome::BadCheck: return 1;
    case RxOutcome::TooShort: return 4;
    case RxOutcome::TooLong: return 5;
    case RxOutcome::Timeout: return 0xFF;
    case RxOutcome::Stopped: return 0xFFFE;
  }
  return 0xFF;
}

// For the span of one receive or read: makes every port read return within kSliceMs, by
// putting the port into the first-byte form with that wait and restoring its own time-outs
// afterwards. Ports already in a short enough form are left alone; a port that refuses the
// change is polled instead.
class Link::ReadWindow {
 public:
  enum class Mode : uint8_t { Direct, Poll, NoPort };

  ReadWindow(SerialPort* port, bool immediateIsFine) {
    if (!port) {
      mode_ = Mode::NoPort;
      return;
    }
    if (!port->GetTimeouts(configured_)) {
      mode_ = Mode::Poll;
      return;
    }
    if ((IsFirstByteForm(configured_) && configured_.ReadTotalTimeoutConstant <= kSliceMs) ||
        (immediateIsFine && IsImmediateForm(configured_))) {
      return;
    }
    CommTimeouts sliced = configured_;
    sliced.ReadIntervalTimeout = MAXDWORD;
    sliced.ReadTotalTimeoutMultiplier = MAXDWORD;
    sliced.ReadTotalTimeoutConstant = kSliceMs;
    if (port->SetTimeouts(sliced)) {
      swapped_ = port;
    } else {
      mode_ = Mode::Poll;
    }
  }
  ~ReadWindow() {
    if (swapped_) swapped_->SetTimeouts(configured_);
  }
  ReadWindow(const ReadWindow&) = delete;
  ReadWindow& operator=(const ReadWindow&) = delete;

  Mode mode() const { return mode_; }
  // True when reads keep the port's own semantics (nothing was changed).
  bool Native() const { return mode_ == Mode::Direct && !swapped_; }
  const CommTimeouts& Configured() const { return configured_; }

 private:
  Mode mode_ = Mode::Direct;
  CommTimeouts configured_{MAXDWORD, MAXDWORD, kSliceMs, 0, 0};
  SerialPort* swapped_ = nullptr;
};

Link::Link(EngineCore& core) : core_(core), rx_(kRxCapacity) {}

std::string Link::PortName(int number) { return ComPortName(number); }

// ---------------------------------------------------------------------------------------
// Ports

void Link::OpenDiagPort() {
  if (core_.hDiagPort) {
    core_.hDiagPort->Close();
    core_.hDiagPort.reset();
  }
  DiscardReceived();
  const std::string name = PortName(core_.cfg.ComPort);
  int error = 0;
  core_.hDiagPort = core_.portFactory.Open(name, error);
  if (!core_.hDiagPort) {
    core_.SetSystemError(error);
    core_.ReportError(name + "Could not open Diagnostic port");
    return;
  }
  core_.ReportStatus(csInfo, name + " Diagnostic Ready......", mtInfo);
  ConfigureDiagPort();
}

void Link::ConfigureDiagPort() {
  SerialPort* port = core_.hDiagPort.get();
  if (!port) {
    core_.SetSystemError(kErrorInvalidHandle);
    core_.ReportError("Could not open COMM port");
    return;
  }
  core_.ReportStatus(csOpened, "Opened......", mtProgress);

  const bool fast = core_.cfg.bFastSpeedDownload != 0;
  const uint32_t queue = fast ? static_cast<uint32_t>(std::max(core_.cfg.m_nBlockSize, 0)) : kDefaultQueueSize;
  if (!port->SetQueueSizes(queue, queue))
    core_.ReportStatus(csOpened, fast ? "warning:SetupComm." : "warning:SetupComm!", mtProgress);

  LineSettings line;
  bool lineOk = port->GetLineSettings(line);
  if (lineOk) {
    line.BaudRate = 115200;
    line.ByteSize = 8;
    line.parity = Parity::None;
    line.stopBits = StopBits::One;
    line.fBinary = true;
    line.fParity = false;
    line.fOutxCtsFlow = false;
    line.fOutxDsrFlow = false;
    line.fDtrControl = LineControl::Disable;
    line.fDsrSensitivity = false;
    line.fTXContinueOnXoff = false;
    line.fOutX = false;
    line.fInX = false;
    line.fErrorChar = false;
    line.fNull = false;
    line.fRtsControl = LineControl::Disable;
    line.fAbortOnError = false;
    lineOk = port->SetLineSettings(line);
  }
  if (!lineOk) {
    core_.SetSystemError(port->LastError());
    core_.ReportError("Could not setup COMM port");
  }

  const CommTimeouts timeouts = UsesLongTimeouts(core_.cfg.ProjectType)
                                    ? CommTimeouts{1000, 1000, 2000, 1000, 3000}
                                    : CommTimeouts{MAXDWORD, MAXDWORD, 1000, 1, 1000};
  if (!port->SetTimeouts(timeouts)) {
    core_.SetSystemError(port->LastError());
    core_.ReportError("Could not set COMM timeouts");
  }

  port->Purge(PURGE_TXABORT | PURGE_TXCLEAR);
  port->Purge(PURGE_RXABORT | PURGE_RXCLEAR);
  DiscardReceived();
}

bool Link::ReopenDiagPort() {
  if (core_.hDiagPort) {
    core_.hDiagPort->Close();
    core_.hDiagPort.reset();
  }
  DiscardReceived();
  int error = 0;
  core_.hDiagPort = core_.portFactory.Open(PortName(core_.cfg.ComPort), error);
  if (!core_.hDiagPort) return false;
  ConfigureDiagPort();
  core_.ReportStatus(csInfo, "Initial port successful after reset.", mtInfo);
  return true;
}

bool Link::ConfigureModemPort(SerialPort& port) {
  port.Purge(PURGE_ALL);
  // A modem port without these time-outs would block its readers: treat a refusal like a
  // refused line setting.
  if (!port.SetTimeouts(CommTimeouts{MAXDWORD, 0, 0, 100, 1000})) return false;
  LineSettings line;
  if (!port.GetLineSettings(line)) return false;
  line.BaudRate = RateFromIndex(kModemRateIndex);
  line.ByteSize = DataBitsFromIndex(kModemDataBitsIndex);
  line.parity = ParityFromIndex(kModemParityIndex);
  line.stopBits = StopBitsFromIndex(kModemStopBitsIndex);
  line.fBinary = true;
  line.fParity = false;
  line.fDtrControl = LineControl::Enable;
  return port.SetLineSettings(line);
}

bool Link::OpenModemPort() {
  if (core_.hModemPort) {
    core_.hModemPort->Close();
    core_.hModemPort.reset();
  }
  int error = 0;
  core_.hModemPort = core_.portFactory.Open(PortName(core_.cfg.SerialComPort), error);
  if (!core_.hModemPort) {
    core_.SetSystemError(error);
    core_.ReportError("Fail to connect serial port");
    return false;
  }
  if (!ConfigureModemPort(*core_.hModemPort)) {
    core_.SetSystemError(core_.hModemPort->LastError());
    core_.ReportError("Fail to config serial port");
    return false;
  }
  core_.ReportStatus(csInfo, "Ready 1......", mtInfo);
  return true;
}

bool Link::ReopenModemPort() {
  if (core_.hModemPort) {
    core_.hModemPort->Close();
    core_.hModemPort.reset();
  }
  int error = 0;
  core_.hModemPort = core_.portFactory.Open(PortName(core_.cfg.SerialComPort), error);
  if (!core_.hModemPort) return false;
  if (!ConfigureModemPort(*core_.hModemPort)) {
    // Closed again so that the caller's next attempt can open it.
    core_.hModemPort->Close();
    core_.hModemPort.reset();
    return false;
  }
  return true;
}

namespace {

void CloseWithRetries(EngineCore& core, std::unique_ptr<SerialPort>& handle, const std::string& warning) {
  if (!handle) return;
  for (int attempt = 1; attempt <= kCloseAttempts; ++attempt) {
    if (handle->Close()) break;
    core.ReportStatus(csInfo, warning, mtInfo);
    if (attempt < kCloseAttempts) core.clock.SleepMs(kCloseRetryMs);
  }
  handle.reset();
}

}  // namespace

void Link::CloseDiagPort(const std::string& warning) {
  CloseWithRetries(core_, core_.hDiagPort, warning);
  DiscardReceived();
}

void Link::CloseModemPort(const std::string& warning) { CloseWithRetries(core_, core_.hModemPort, warning); }

uint32_t Link::WritePort(const uint8_t* data, uint32_t n) {
  const bool fast = core_.cfg.bFastSpeedDownload != 0;
  uint32_t written = 0;
  for (int attempt = 0; attempt < kWriteAttempts; ++attempt) {
    SerialPort* port = core_.hDiagPort.get();
    written = 0;
    if (port && port->Write(data, n, written)) return written;
    const int error = port ? port->LastError() : kErrorInvalidHandle;
    core_.ReportStatus(csInfo, "Write to commport have a warning: " + std::to_string(error), mtInfo);
    core_.Wait(kWriteRetryMs);
    if (fast) return 0;
  }
  return 0;
}

bool Link::Stopping() const { return core_.ErrorCode.load() != 0 || core_.StopRequested(); }

bool Link::ReadOnce(ReadWindow& window, uint8_t* buffer, uint32_t n, uint32_t& got) {
  got = 0;
  SerialPort* port = core_.hDiagPort.get();
  if (!port || window.mode() == ReadWindow::Mode::NoPort) return false;
  if (window.mode() == ReadWindow::Mode::Poll) {
    uint32_t waiting = 0;
    if (!port->BytesWaiting(waiting)) return false;
    if (waiting == 0) {
      core_.Wait(kPollMs);
      return true;
    }
    n = std::min(n, waiting);
  }
  ++portReads_;
  return port->Read(buffer, n, got);
}

uint32_t Link::PortRead(uint8_t* buffer, uint32_t n) {
  ReadWindow window(core_.hDiagPort.get(), true);
  uint32_t got = 0;
  bool ok = true;
  if (window.Native()) {
    ok = ReadOnce(window, buffer, n, got);
  } else {
    // The port's own semantics (wait for n bytes up to its total time, or for the first
    // byte), carried out in slices that each end within a second.
    const CommTimeouts& t = window.Configured();
    const uint64_t limit = ReadTimeLimit(t, n);
    const bool firstByte = IsFirstByteForm(t);
    const uint64_t start = core_.clock.NowMs();
    for (;;) {
      uint32_t part = 0;
      ok = ReadOnce(window, buffer + got, n - got, part);
      if (!ok) break;
      got += part;
      if (got == n || (firstByte && got > 0)) break;
      if (part == 0 && got > 0 && HasIntervalLimit(t)) break;
      if (core_.clock.NowMs() - start >= limit || Stopping()) break;
    }
  }
  if (!ok) {
    SerialPort* port = core_.hDiagPort.get();
    const int error = port ? port->LastError() : kErrorInvalidHandle;
    core_.ReportStatus(csInfo, "read from commmport have a warning: " + std::to_string(error), mtInfo);
    core_.Wait(kReadFailureMs);
  }
  return got;
}

uint32_t Link::TakeRx(uint8_t* buffer, uint32_t n) {
  const uint32_t take = static_cast<uint32_t>(std::min<size_t>(n, rxLen_ - rxPos_));
  if (take) std::memcpy(buffer, rx_.data() + rxPos_, take);
  rxPos_ += take;
  return take;
}

uint32_t Link::ReadPort(uint8_t* buffer, uint32_t n) {
  if (n == 0) return 0;
  // Bytes a receive already fetched come first; they were the port's next bytes.
  if (rxPos_ < rxLen_) return TakeRx(buffer, n);
  return PortRead(buffer, n);
}

uint32_t Link::ReadRaw(uint8_t* buffer, uint32_t n) {
  uint32_t got = TakeRx(buffer, n);
  if (got < n) got += PortRead(buffer + got, n - got);
  return got;
}

void Link::DiscardReceived() { rxPos_ = rxLen_ = 0; }

bool Link::PurgeDiagPort(uint32_t actions) {
  if (actions & PURGE_RXCLEAR) DiscardReceived();
  return core_.hDiagPort && core_.hDiagPort->Purge(actions);
}

// ---------------------------------------------------------------------------------------
// Sending

void Link::ReportErrorMask(const char* text) {
  SerialPort* port = core_.hDiagPort.get();
  if (!port) return;
  uint32_t mask = 0;
  if (port->ClearError(mask) && mask != 0 && text) core_.ReportStatus(csInfo, text + std::to_string(mask), mtInfo);
}

void Link::SendCommon(bool reportMask) {
  ReportErrorMask(reportMask ? "There is a warning in OutQue: " : nullptr);
  PurgeDiagPort(PURGE_ALL);
}

void Link::SendFramed() {
  if (frame_.length + 2 > kTransmitSize) {
    // Would not fit the transmit buffer: refused rather than overrun, and the caller's
    // receive sees no reply.
    lastSendOk_ = false;
    core_.ReportStatus(csInfo, "Frame too long to send: " + std::to_string(frame_.length) + " bytes", mtInfo);
    return;
  }
  SendCommon(true);
  tx_[0] = kHdlcFlag;
  std::memcpy(tx_.data() + 1, frame_.data(), frame_.length);
  tx_[frame_.length + 1] = kHdlcFlag;
  const uint32_t n = frame_.length + 2;
  lastSendOk_ = WritePort(tx_.data(), n) == n;
}

void Link::SendFrame() {
  SendCommon(true);
  // FinishFrame left the closing flag just past `length`.
  const uint32_t n = frame_.length + 1;
  lastSendOk_ = WritePort(frame_.data(), n) == n;
}

void Link::SendRaw() {
  // An overflowed frame that was not finished (and so not turned into the NAK) holds a cut
  // off piece of its content: it never goes out.
  if (frame_.overflow && frame_.length != 5) {
    lastSendOk_ = false;
    core_.ReportStatus(csInfo, "Frame too long to send: " + std::to_string(frame_.length) + " bytes", mtInfo);
    return;
  }
  SendCommon(false);
  response_.fill(0);
  lastSendOk_ = WritePort(frame_.data(), frame_.length) == frame_.length;
}

bool Link::SendRawChecked() {
  SendRaw();
  return lastSendOk_;
}

// ---------------------------------------------------------------------------------------
// Receiving

bool Link::FillRx(ReadWindow& window, bool& warned) {
  rxPos_ = rxLen_ = 0;
  uint32_t got = 0;
  if (!ReadOnce(window, rx_.data(), static_cast<uint32_t>(rx_.size()), got)) {
    // A vanished port fails every read; one warning per receive says it.
    if (!warned) {
      SerialPort* port = core_.hDiagPort.get();
      const int error = port ? port->LastError() : kErrorInvalidHandle;
      core_.ReportStatus(csInfo, "read from commmport have a warning: " + std::to_string(error), mtInfo);
      warned = true;
    }
    core_.Wait(kReadFailureMs);
    return false;
  }
  rxLen_ = got;
  return true;
}

RxResult Link::Receive(bool huntOpeningFlag, uint32_t limitMs, bool classifyAckNak) {
  response_[0] = 0;
  ReportErrorMask("There is a warning in InQue: ");
  ReadWindow window(core_.hDiagPort.get(), false);
  const uint64_t began = core_.clock.NowMs();
  FrameDecoder decoder(response_.data(), kResponseSize, huntOpeningFlag);
  bool warned = false;
  RxResult result;

  for (;;) {
    if (rxPos_ == rxLen_) {
      if (Stopping()) {
        result.outcome = RxOutcome::Stopped;
        return result;
      }
      if (core_.clock.NowMs() - began >= limitMs) {
        result.outcome = RxOutcome::Timeout;
        return result;
      }
      FillRx(window, warned);
      continue;
    }
    const FrameDecoder::Event event = decoder.Push(rx_[rxPos_++]);
    if (event == FrameDecoder::Event::None) continue;
    result.length = decoder.Length();
    switch (event) {
      case FrameDecoder::Event::TooShort: result.outcome = RxOutcome::TooShort; break;
      case FrameDecoder::Event::BadCheck: result.outcome = RxOutcome::BadCheck; break;
      case FrameDecoder::Event::TooLong: result.outcome = RxOutcome::TooLong; break;
      default:
        result.outcome = RxOutcome::Frame;
        if (classifyAckNak && result.length == 3 && response_[0] == 0x02) {
          result.outcome = RxOutcome::Ack;
        } else if (classifyAckNak && result.length == 5 && response_[0] == 0x03) {
          result.outcome = RxOutcome::Nak;
          result.nakReason = static_cast<uint16_t>((response_[1] << 8) | response_[2]);
        }
        break;
    }
    return result;
  }
}

RxResult Link::ReceiveFrameTimed(uint32_t limitMs) { return Receive(true, limitMs, true); }

RxResult Link::ReceiveReply() { return Receive(false, kReceiveTimeLimitMs, false); }

}  // namespace zovir
