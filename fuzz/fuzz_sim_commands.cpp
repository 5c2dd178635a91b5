// The virtual modem's own command parsers: DIAG frames, AT lines, the boot loader's and the
// programmer's packets, and fault-plan specifications, fed whatever a host might send.
#include <chrono>
#include <memory>
#include <string>

#include "fuzz_support.h"
#include "sim/device_state.h"
#include "sim/fault_plan.h"
#include "sim/protocols.h"
#include "sim/responders.h"
#include "sim/virtual_modem.h"

using namespace zovir;
using namespace zovir::sim;

namespace {

class QuietHost final : public PortHost {
 public:
  void Transmit(std::span<const uint8_t> wire) override { sent += wire.size(); }
  FaultPlan& Faults() override { return faults; }
  DeviceState& State() override { return state; }
  const VirtualModemOptions& Options() const override { return options; }
  void Request(Transition, int) override {}
  void Vanish(int) override {}
  bool Pause(int) override { return true; }
  void Event(const std::string&) override {}
  void ProgrammerReceived(Bytes) override {}

  FaultPlan faults;
  DeviceState state;
  VirtualModemOptions options;
  size_t sent = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::InputReader in(data, size);
  const uint8_t choice = in.Byte();
  QuietHost host;
  if (choice & 0x80) {
    const auto spec = in.Rest();
    (void)host.faults.AddSpec(std::string(spec.begin(), spec.end()));
    (void)host.faults.Hit("diag:26");
    (void)host.faults.Hit("at:+CGMR");
    return 0;
  }
  DiagDispatcher diag;
  AtDispatcher at;
  InstallStandardResponders(diag, at);
  std::unique_ptr<PortProtocol> protocol;
  switch (choice % 5) {
    case 0: protocol = MakeNormalDiagProtocol(host, diag); break;
    case 1: protocol = MakeAtProtocol(host, at); break;
    case 2: protocol = MakeBootProtocol(host, BootProtocol::Sahara); break;
    case 3: protocol = MakeBootProtocol(host, BootProtocol::Dmss); break;
    default: protocol = MakeProgrammerProtocol(host); break;
  }
  protocol->OnStart();
  const auto start = std::chrono::steady_clock::now();
  while (!in.Empty()) {
    const auto piece = in.Piece();
    protocol->OnBytes(piece);
    protocol->OnTick(start + std::chrono::seconds(10), start);
  }
  return 0;
}
