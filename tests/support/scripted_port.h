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
  // Bytes that arrive `delayMs` after now on the FakeClock; a read that is waiting then
  // returns when they arrive, as a real port would.
  void QueueBytesAfter(uint64_t delayMs, const std::vector<uint8_t>& bytes);
  // Called at the start of every read with the number of reads made before it (e.g. to
  // press Stop while a receive is waiting).
  void SetReadHook(std::function<void(uint64_t readIndex)> hook);
  // Bytes readable now (excluding those still to arrive or waiting for a write).
  uint32_t Readable() const;

  // Failure injection: the next n reads / writes / closes / opens of settings fail with `error`.
  void FailReads(int n, int error = 5);
  void FailWrites(int n, int error = 5);
  void FailCloses(int n, int error = 5);
  void FailSetQueueSizes(int error = 87);
  void FailSetLineSettings(int error = 87);
  void FailSetTimeouts(int error = 87);
  // The error mask the next ClearError returns (then cleared, as the device does).
  void SetCommErrors(uint32_t mask);
  // The device disappears: every later operation but Close fails with `error`
  // (22, the command the driver cannot perform any more).
  void Unplug(int error = 22);

  const std::vector<std::vector<uint8_t>>& Writes() const;
  std::vector<uint8_t> AllWritten() const;
  const CommTimeouts& Timeouts() const;
  const LineSettings& Settings() const;
  uint32_t InQueue() const;
  uint32_t OutQueue() const;
  int Purges() const;
  uint64_t ReadCalls() const;
  uint64_t WriteCalls() const;
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
  friend class ScriptedPortHandle;
};

// Hands out ScriptedPorts by name; a name with no port fails to open (error 2). Opens are
// exclusive like a real serial device: a second open while a handle is open fails (error 5).
// Every open returns a fresh handle onto the same shared port, so the port's record (writes,
// purges, settings) outlives the engine's handle.
class ScriptedPortFactory final : public SerialPortFactory {
 public:
  explicit ScriptedPortFactory(FakeClock& clock);
  // The port that the next Open(name) returns (created on first use). Stays valid after the
  // engine closed it, so a test can inspect it.
  ScriptedPort& Port(const std::string& name);
  // The name stops resolving; ports already handed out stay valid for inspection.
  void Remove(const std::string& name);
  void FailOpens(const std::string& name, int n, int error = 2);
  // Open attempts for the name, failed ones included.
  int Opens(const std::string& name) const;
  std::unique_ptr<SerialPort> Open(const std::string& comName, int& error) override;

 private:
  FakeClock& clock_;
  std::map<std::string, std::shared_ptr<ScriptedPort>> ports_;
  std::vector<std::shared_ptr<ScriptedPort>> removed_;
  std::map<std::string, int> failOpens_, failError_, opens_;
};

}  // namespace zovir::test
