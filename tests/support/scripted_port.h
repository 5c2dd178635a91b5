#pragma once
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/fake_clock.h"
#include "platform/serial_port.h"

namespace zovir::test {

// A serial port driven by a script, on a FakeClock. Replies are queued bytes that become
// readable once the host has written (optionally only after a given write); reads consume
// FakeClock time exactly as a real port with the configured time-outs would (a read with
// nothing queued and constant C advances the clock by C). Writes are recorded.
class ScriptedPort final : public SerialPort {
 public:
  ScriptedPort(FakeClock& clock, std::string name = "COM7");

  // Bytes that are readable at once.
  void QueueBytes(const std::vector<uint8_t>& bytes);
  // Bytes that become readable after the host's next write (one reply per write, in order).
  void QueueReply(const std::vector<uint8_t>& bytes);
  // A responder called for every write; what it returns becomes readable.
  void SetResponder(std::function<std::vector<uint8_t>(const std::vector<uint8_t>& written)> responder);

  // Failure injection: the next n reads / writes / closes / opens of settings fail with `error`.
  void FailReads(int n, int error = 5);
  void FailWrites(int n, int error = 5);
  void FailCloses(int n, int error = 5);
  void FailSetQueueSizes(int error = 87);
  void FailSetLineSettings(int error = 87);
  void FailSetTimeouts(int error = 87);
  void SetCommErrors(uint32_t mask);

  const std::vector<std::vector<uint8_t>>& Writes() const;
  std::vector<uint8_t> AllWritten() const;
  const CommTimeouts& Timeouts() const;
  const LineSettings& Settings() const;
  uint32_t InQueue() const;
  uint32_t OutQueue() const;
  int Purges() const;
  uint64_t ReadCalls() const;
  bool Closed() const;

  // SerialPort
  const std::string& Name() const override;
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
  int LastError() const override;

 private:
  struct Impl;
  std::shared_ptr<Impl> impl_;
  friend class ScriptedPortFactory;
};

// Hands out ScriptedPorts by name; a name with no port fails to open (error 2).
class ScriptedPortFactory final : public SerialPortFactory {
 public:
  explicit ScriptedPortFactory(FakeClock& clock);
  // The port that the next Open(name) returns (created on first use). Stays valid after the
  // engine closed it, so a test can inspect it.
  ScriptedPort& Port(const std::string& name);
  void Remove(const std::string& name);
  void FailOpens(const std::string& name, int n, int error = 2);
  int Opens(const std::string& name) const;
  std::unique_ptr<SerialPort> Open(const std::string& comName, int& error) override;

 private:
  FakeClock& clock_;
  std::map<std::string, std::shared_ptr<ScriptedPort>> ports_;
  std::map<std::string, int> failOpens_, failError_, opens_;
};

}  // namespace zovir::test
