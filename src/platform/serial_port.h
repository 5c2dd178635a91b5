#pragma once
#include <cstdint>
#include <memory>
#include <string>

namespace zovir {

constexpr uint32_t MAXDWORD = 0xFFFFFFFFu;

// Time-outs with the meaning a Windows communication device gives them (all in ms):
//  - interval MAXDWORD, multiplier 0, constant 0: a read returns at once with what is queued;
//  - interval MAXDWORD, multiplier MAXDWORD, 0 < constant < MAXDWORD: a read returns at once
//    when bytes are queued, otherwise as soon as one byte arrives, or empty after `constant`;
//  - otherwise: the whole read may take multiplier * n + constant; interval (when non-zero)
//    bounds the gap between two bytes once the first one arrived. 0 everywhere: no time-out.
// Writes may take writeMultiplier * n + writeConstant (0 and 0: no time-out).
struct CommTimeouts {
  uint32_t ReadIntervalTimeout = 0;
  uint32_t ReadTotalTimeoutMultiplier = 0;
  uint32_t ReadTotalTimeoutConstant = 0;
  uint32_t WriteTotalTimeoutMultiplier = 0;
  uint32_t WriteTotalTimeoutConstant = 0;
};

enum class Parity : uint8_t { None = 0, Odd = 1, Even = 2, Mark = 3, Space = 4 };
enum class StopBits : uint8_t { One = 0, OneAndHalf = 1, Two = 2 };
enum class LineControl : uint8_t { Disable = 0, Enable = 1, Handshake = 2 };

// The line settings a Windows device control block carries, as far as this tool uses them.
struct LineSettings {
  uint32_t BaudRate = 9600;
  uint8_t ByteSize = 8;
  Parity parity = Parity::None;
  StopBits stopBits = StopBits::One;
  bool fBinary = true;
  bool fParity = false;
  bool fOutxCtsFlow = false;
  bool fOutxDsrFlow = false;
  LineControl fDtrControl = LineControl::Enable;
  bool fDsrSensitivity = false;
  bool fTXContinueOnXoff = false;
  bool fOutX = false;
  bool fInX = false;
  bool fErrorChar = false;
  bool fNull = false;
  LineControl fRtsControl = LineControl::Enable;
  bool fAbortOnError = false;
};

// Purge actions (may be or-ed).
enum : uint32_t {
  PURGE_TXABORT = 0x0001,
  PURGE_RXABORT = 0x0002,
  PURGE_TXCLEAR = 0x0004,
  PURGE_RXCLEAR = 0x0008,
  PURGE_ALL = 0x000F,
};

// One open serial device. Every operation returns false on failure and leaves the
// operating system's error number in LastError(). Reads and writes are synchronous and
// bounded by the time-outs; a read that times out is a success with fewer bytes.
class SerialPort {
 public:
  virtual ~SerialPort() = default;
  virtual const std::string& Name() const = 0;
  virtual bool GetLineSettings(LineSettings& out) = 0;
  virtual bool SetLineSettings(const LineSettings& settings) = 0;
  virtual bool SetQueueSizes(uint32_t inBytes, uint32_t outBytes) = 0;
  virtual bool SetTimeouts(const CommTimeouts& timeouts) = 0;
  virtual bool GetTimeouts(CommTimeouts& out) = 0;
  virtual bool Purge(uint32_t actions) = 0;
  // Reads and clears the communication error state; `errors` receives the error mask.
  virtual bool ClearError(uint32_t& errors) = 0;
  virtual bool BytesWaiting(uint32_t& count) = 0;
  virtual bool Read(uint8_t* buffer, uint32_t count, uint32_t& got) = 0;
  virtual bool Write(const uint8_t* data, uint32_t count, uint32_t& written) = 0;
  // Closing can fail (the driver refuses); callers retry. After a successful Close the
  // object is inert.
  virtual bool Close() = 0;
  virtual int LastError() const = 0;
};

// Opens ports by their "COM"+n name. The Linux implementation resolves the name through
// the PortNamespace; tests hand out ScriptedPorts.
class SerialPortFactory {
 public:
  virtual ~SerialPortFactory() = default;
  // Opens for reading and writing, exclusively, without becoming the controlling terminal.
  // On failure returns null and stores the system error number in `error`.
  virtual std::unique_ptr<SerialPort> Open(const std::string& comName, int& error) = 0;
};

}  // namespace zovir
