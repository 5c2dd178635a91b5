#pragma once
#include <memory>
#include <string>

#include "platform/serial_port.h"
#include "platform/win32/win32_text.h"

namespace zovir {

// A communication device opened as "\\.\COMn": the line settings, queue sizes, time-outs,
// purge and error calls go to the driver as they are, since the callers' values are the
// driver's own. LastError() holds GetLastError() values.
class Win32SerialPort final : public SerialPort {
 public:
  static std::unique_ptr<Win32SerialPort> Open(const std::string& comName, int& error);
  // Takes over a handle of an open communication device.
  Win32SerialPort(std::string name, win32::UniqueHandle handle) : name_(std::move(name)), handle_(std::move(handle)) {}
  ~Win32SerialPort() override;

  const std::string& Name() const override { return name_; }
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

  // Raises or drops DTR (EscapeCommFunction), for the boot-mode switches that pulse it.
  bool SetDtr(bool on);

 private:
  bool Fail();
  bool ReadOnce(uint8_t* buffer, uint32_t count, uint32_t& got);

  std::string name_;
  win32::UniqueHandle handle_;
  int lastError_ = 0;
  uint32_t pendingErrors_ = 0;  // errors cleared by a count question, not yet reported
  bool firstByteForm_ = false;  // the read time-outs last set return at the first byte
};

// Opens "COM"+n names as the system's communication devices.
class Win32SerialPortFactory final : public SerialPortFactory {
 public:
  std::unique_ptr<SerialPort> Open(const std::string& comName, int& error) override;
};

}  // namespace zovir
