#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/engine_core.h"
#include "engine/engine_host.h"
#include "link/link.h"
#include "platform/fake_clock.h"
#include "support/scripted_port.h"

namespace zovir::fuzz {

using Bytes = std::vector<uint8_t>;

// Reads a fuzzer input front to back; running out yields zeros and empty pieces, so a
// target never has to check lengths itself.
class InputReader {
 public:
  InputReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  uint8_t Byte();
  uint32_t U32();
  // A piece whose length is the next byte (at most what is left).
  Bytes Piece();
  Bytes Rest();
  bool Empty() const { return pos_ >= size_; }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

// The window as far as protocol code asks it anything: same ports, no user.
class QuietHost final : public EngineHost {
 public:
  std::string ReadSNEntry() override { return {}; }
  void EnableSNEntry(bool) override {}
  void OfferSNEntry() override {}
  void FinishSNEntry() override {}
  void ShowResultSN(const std::string&) override {}
  std::string SelectedDiagPortName() override { return "COM7"; }
  std::string SelectedModemPortName() override { return "COM8"; }
  std::atomic<bool>& DeviceChangeSeen() override { return change_; }
  std::atomic<bool>& DeviceArrivalSeen() override { return arrival_; }
  void MessageBox(const std::string&, const std::string&) override {}
  bool IsSameDiagPort(int) override { return true; }
  void RefreshPortLists() override {}

 private:
  std::atomic<bool> change_{false}, arrival_{false};
};

// An engine core with a scripted diagnostic port COM7 (modem port COM8) and a Link on it.
// Every write of the host is answered with the next piece of the input; after a bounded
// number of reads the run is stopped, so no protocol step can wait forever on an input
// that simply ends.
class PortRig {
 public:
  explicit PortRig(std::vector<Bytes> replies, uint64_t readLimit = 400);
  test::ScriptedPort& diag() { return ports.Port("COM7"); }
  void OpenDiag();

  FakeClock clock;
  test::ScriptedPortFactory ports;
  QuietHost host;
  EngineCore core;
  Link link;

 private:
  std::vector<Bytes> replies_;
  size_t next_ = 0;
};

// A file below a private temporary folder of this process, rewritten for every input.
std::string WriteTempFile(const std::string& name, const uint8_t* data, size_t size);
std::string TempDir();

}  // namespace zovir::fuzz
