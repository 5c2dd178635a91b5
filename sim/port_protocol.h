#pragma once
#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "sim/fault_plan.h"
#include "sim/hdlc.h"

namespace zovir::sim {

class DeviceState;
struct VirtualModemOptions;

// One reply as a protocol builds it, before faults are applied.
struct Reply {
  enum class Form { Framed, FramedNoFlag, Raw };
  Bytes payload;
  Form form = Form::Framed;
  int statusOffset = -1;        // payload index of the status byte (status:N faults), -1 none
  std::optional<Bytes> nak;     // payload of the protocol's negative answer (same form)
  Bytes Wire() const;
};

// Mode changes a protocol may ask of its modem.
enum class Transition { ToDownloadMode, ToNormal, ToProgrammer, PowerOff };

// What a port's protocol may use: its port's output, the shared state, the fault plan and the
// modem's transitions. Implemented by the modem for each port.
class PortHost {
 public:
  virtual ~PortHost() = default;
  virtual void Transmit(std::span<const uint8_t> wire) = 0;  // no fault applied
  virtual FaultPlan& Faults() = 0;
  virtual DeviceState& State() = 0;
  virtual const VirtualModemOptions& Options() const = 0;
  // Carried out by the modem's loop after the current input was handled.
  virtual void Request(Transition t, int delayMs) = 0;
  // The port disappears now; it comes back after backAfterMs (0: not at all).
  virtual void Vanish(int backAfterMs) = 0;
  // Waits (interruptible by Stop); false when the modem is stopping.
  virtual bool Pause(int ms) = 0;
  virtual void Event(const std::string& text) = 0;
  // The boot loader hands over the flash programmer it received.
  virtual void ProgrammerReceived(Bytes image) = 0;
};

// Counts one occurrence of `key`, applies the fault that hits it and sends the result.
// Returns the fault that fired, if any.
std::optional<FaultRule> SendReply(PortHost& host, const std::string& key, Reply reply);

// True when the next occurrence of `key` is to be lost before the device sees it (an
// "ignore" fault); the occurrence is then counted here and the caller drops the command.
bool CommandLost(PortHost& host, const std::string& key);

// The device side of one protocol on one port.
class PortProtocol {
 public:
  virtual ~PortProtocol() = default;
  virtual void OnStart() {}
  virtual void OnBytes(std::span<const uint8_t> data) = 0;
  // Called every few ms while the port is open, with the time of the last input.
  virtual void OnTick(std::chrono::steady_clock::time_point /*now*/, std::chrono::steady_clock::time_point /*lastInput*/) {}
};

}  // namespace zovir::sim
