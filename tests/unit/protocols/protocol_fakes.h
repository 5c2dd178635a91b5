#pragma once
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "engine/engine_core.h"
#include "engine/engine_host.h"
#include "link/link.h"
#include "platform/fake_clock.h"
#include "support/scripted_port.h"

namespace zovir::test {

using Bytes = std::vector<uint8_t>;

// Frames as the modem sends them: opening flag (optional), escaped payload and check, flag.
Bytes EncodeFrame(const Bytes& payload, bool openingFlag = true);
// The payload of a written frame (flags stripped, escapes undone, check verified and
// removed); empty when it is not a valid frame.
Bytes DecodeFrame(const Bytes& wire);
Bytes Le32(uint32_t v);
uint32_t GetLe32(const Bytes& b, size_t at);
// Deterministic pseudo-random content.
Bytes PatternBytes(size_t n, uint32_t seed);

// The window as far as the protocols need it.
class FakeHost final : public EngineHost {
 public:
  std::string ReadSNEntry() override { return {}; }
  void EnableSNEntry(bool) override {}
  void OfferSNEntry() override {}
  void FinishSNEntry() override {}
  void ShowResultSN(const std::string&) override {}
  std::string SelectedDiagPortName() override { return diagName; }
  std::string SelectedModemPortName() override { return modemName; }
  std::atomic<bool>& DeviceChangeSeen() override { return change; }
  std::atomic<bool>& DeviceArrivalSeen() override { return arrival; }
  void MessageBox(const std::string& text, const std::string& caption) override {
    boxes.emplace_back(text, caption);
  }
  bool IsSameDiagPort(int n) override { return sameDiag < 0 ? n == currentDiag : sameDiag != 0; }
  void RefreshPortLists() override {
    ++refreshes;
    if (onRefresh) onRefresh(refreshes);
  }

  std::string diagName, modemName;
  int sameDiag = 1;  // 1 same, 0 changed, -1: compare with currentDiag
  int currentDiag = 0;
  int refreshes = 0;
  std::function<void(int refresh)> onRefresh;
  std::atomic<bool> change{false}, arrival{false};
  std::vector<std::pair<std::string, std::string>> boxes;
};

// One engine's reports, in order.
struct Reports {
  struct Status {
    CommStatus status;
    std::string text;
    MESSAGE_TYPE kind;
    uint64_t ms;  // clock time of the report
  };
  std::vector<Status> statuses;
  std::vector<std::string> errors;
  std::vector<int> progress;

  void Attach(EngineCore& core);
  bool Has(const std::string& text) const;
  int Count(const std::string& text) const;
  // Index of the first status with this text, or -1.
  int IndexOf(const std::string& text) const;
};

// A flash programmer speaking the streaming download protocol and its fast-speed extension
// behind a ScriptedPort. What it is sent lands in `partitions`.
class FakeProgrammer {
 public:
  // Called with the command byte, its 1-based occurrence and the reply about to be sent;
  // may change the reply (clear it for silence).
  using Tamper = std::function<void(uint8_t command, int occurrence, Bytes& reply)>;
  // The pseudo command byte under which raw fast-speed blocks are counted and tampered.
  static constexpr uint8_t kRawBlock = 0xB0;

  Bytes OnWrite(const Bytes& written);

  std::map<std::string, Bytes> partitions;
  Bytes partitionTable;
  std::vector<uint8_t> commands;   // every framed command byte, in order
  std::vector<Bytes> handshakes;   // payloads of 0x20 / 0x24
  std::vector<uint32_t> blockSizes;  // raw block sizes of the fast transfer
  uint8_t partitionStatus = 0;
  uint32_t fastBlockSize = 1024;
  bool silent = false;
  Tamper tamper;

 private:
  Bytes Reply(uint8_t command, Bytes reply);
  Bytes Command(const Bytes& payload);

  std::string open_;
  std::map<uint8_t, int> seen_;
  // Fast-speed part in progress.
  bool raw_ = false;
  uint32_t partOffset_ = 0, partLength_ = 0, partReceived_ = 0;
  Bytes part_;
};

// A boot loader asking for the programmer with Sahara read-data requests.
class FakeBootLoader {
 public:
  struct Request {
    uint32_t offset;
    uint32_t length;
  };
  FakeBootLoader(Bytes programmer, std::vector<Request> plan) : image_(std::move(programmer)), plan_(std::move(plan)) {}

  Bytes OnWrite(const Bytes& written);
  // The older boot loader takes the header unasked after its DMSS commands.
  void ExpectHeaderUnasked() { dmss_ = true; }

  uint32_t endStatus = 0;
  uint32_t doneReplyCommand = 6;
  std::vector<Bytes> served;     // bytes received for each request
  std::vector<Bytes> dmssFrames; // DMSS/DIAG command payloads, in order
  int helloResponses = 0;
  int dones = 0;
  int switchesBeforeEcho = 0;    // switch commands ignored before the echo
  bool echoSwitch = true;
  bool answerNop = true;
  Bytes parameterReply = {0x08, 0x01, 0x01, 0x10, 0x00, 0x00, 0x00, 0x00, 0x12, 0x34, 0x7E};

 private:
  Bytes ReadData(const Request& r) const;
  Bytes Frame(const Bytes& written);

  Bytes image_;
  std::vector<Request> plan_;
  size_t next_ = 0;
  bool dmss_ = false;
  bool uploading_ = false;
  bool ended_ = false;
  Bytes pending_;
  int switches_ = 0;
};

// An engine core with a scripted diagnostic port COM7 on a FakeClock.
struct ProtocolRig {
  ProtocolRig();
  ~ProtocolRig();
  // Opens COM7 through the link (configured as the engine does).
  void OpenDiag();
  std::string WriteFile(const std::string& name, const Bytes& content);

  FakeClock clock;
  ScriptedPortFactory factory{clock};
  FakeHost host;
  EngineCore core{clock, factory, &host};
  Link link{core};
  Reports reports;
  ScriptedPort& port;
  std::filesystem::path dir;
};

}  // namespace zovir::test
