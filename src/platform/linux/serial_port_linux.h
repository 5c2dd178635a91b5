#pragma once
#include <cstdint>
#include <memory>
#include <string>

#include "platform/port_namespace.h"
#include "platform/serial_port.h"

namespace zovir {

// A serial device node in raw mode, with the communication-device semantics of
// serial_port.h carried out by non-blocking reads and poll(2). Opened without becoming the
// controlling terminal and exclusively (TIOCEXCL and an flock: a second open, from this
// process or another, fails with EBUSY). LastError() holds errno values. A device that hangs
// up or vanishes makes reads, writes and ClearError fail (EIO, ENODEV, ...).
class LinuxSerialPort final : public SerialPort {
 public:
  // nullptr on failure with errno in `error`.
  static std::unique_ptr<LinuxSerialPort> Open(const std::string& name, const std::string& path, int& error);
  ~LinuxSerialPort() override;
  LinuxSerialPort(const LinuxSerialPort&) = delete;
  LinuxSerialPort& operator=(const LinuxSerialPort&) = delete;

  const std::string& Name() const override { return name_; }
  const std::string& Path() const { return path_; }
  bool GetLineSettings(LineSettings& out) override;
  bool SetLineSettings(const LineSettings& settings) override;
  bool SetQueueSizes(uint32_t inBytes, uint32_t outBytes) override;
  bool SetTimeouts(const CommTimeouts& timeouts) override;
  bool GetTimeouts(CommTimeouts& out) override;
  bool Purge(uint32_t actions) override;
  bool ClearError(uint32_t& errors) override;
  bool BytesWaiting(uint32_t& count) override;
  bool Read(uint8_t* buffer, uint32_t count, uint32_t& got) override;
  bool Write(const uint8_t* data, uint32_t count, uint32_t& written) override;
  bool Close() override;
  int LastError() const override { return lastError_; }

  // Queue sizes as last requested (Linux drivers size their own queues).
  uint32_t InQueueSize() const { return inQueue_; }
  uint32_t OutQueueSize() const { return outQueue_; }
  // read(2) calls made on the device, for measuring how reads are batched.
  uint64_t ReadSyscalls() const { return readSyscalls_; }

 private:
  LinuxSerialPort(std::string name, std::string path, int fd);
  bool Fail(int error);
  // One read(2): >0 bytes, 0 nothing queued, -1 failure (lastError_ set).
  int ReadSome(uint8_t* buffer, uint32_t count);
  // Waits up to `ms` (-1: no limit) for `events`; 1 ready, 0 time-out, -1 failure.
  int WaitFor(short events, int64_t ms);

  std::string name_, path_;
  int fd_ = -1;
  int lastError_ = 0;
  LineSettings line_;
  CommTimeouts timeouts_;
  uint32_t inQueue_ = 0, outQueue_ = 0;
  uint64_t readSyscalls_ = 0;
  // Line error counters at the last ClearError (serial drivers that report them).
  uint32_t overrun_ = 0, parity_ = 0, frame_ = 0, brk_ = 0, bufOverrun_ = 0;
  bool countersUnsupported_ = false;
};

// Opens "COM"+n names through a PortNamespace.
class LinuxSerialPortFactory final : public SerialPortFactory {
 public:
  explicit LinuxSerialPortFactory(PortNamespace& names) : names_(names) {}
  std::unique_ptr<SerialPort> Open(const std::string& comName, int& error) override;

 private:
  PortNamespace& names_;
};

}  // namespace zovir
