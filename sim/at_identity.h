#pragma once
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "sim/device_state.h"
#include "sim/diag_dispatcher.h"

namespace zovir::sim {

struct VirtualModemOptions;

// The modem's identity values as its AT port shows them, and what the firmware download makes
// it lose.
//
// Values live in the DeviceState: identity values under these keys (an empty value counts as
// absent, a read of it answers "ERROR"):
//   SN, IMEI, IMEI_1, ESN, MEID, BLUETOOTHADDR, SalesCount, SalesInfo   (AT+ZRVSN=0|1,<n>)
//   TESTINF (AT+TESTINF2), CLLEN, ZRREQ, GMI, WifiCal, UIT87, UIT89, SIMLOCK (AT+NWLSET),
//   APN (AT+CGDCONT), DISK (AT+DISK), MEIDMODE (at^meidmode)
// and the oscillator calibration files as EFS files (AT+EFSRW, contents as upper-case hex).
// The IMEI defaults to VirtualModemOptions::imei until one is written.
//
// Reply shapes are a modem's: "\r\n+CMD: value\r\n\r\nOK\r\n"; writes take the value in
// double quotes or bare. Thread-safe.
class AtIdentityStore final : public StateBoundStore {
 public:
  // Commands that answer "ERROR" as a firmware without them does. An entry matches a command
  // line whose name and arguments start with it: "+CLLEN" (every form), "+ZRVSN=0,7" (the
  // IMEI read only), "+ZRVSN=1,5" (the SN write only), "^MEIDMODE", ...
  void SetUnsupported(std::set<std::string> commands);
  bool Unsupported(const std::string& nameAndArgs) const;

  // Identity keys and EFS files (absolute paths) the modem loses when its firmware is written.
  void LoseOnDownload(std::vector<std::string> identityKeys, std::vector<std::string> efsFiles);
  // Everything the identity read looks at: every key above and the five oscillator files.
  void LoseAllOnDownload();
  void LoseNow(DeviceState& state);
  uint32_t Losses() const;

  // The last DIAG mode change (0 none, 1 offline, 2 reset) and how many resets came.
  uint16_t LastDiagMode() const;
  uint32_t DiagResets() const;
  void NoteDiagMode(uint16_t mode);

  // Events of the modem: a partition write applies the configured losses to `state`.
  using StateBoundStore::OnModemEvent;
  void OnModemEvent(DeviceState& state, const std::string& event) override;

  static const std::vector<std::string>& IdentityKeys();
  static const std::vector<std::string>& OscillatorFiles();

 private:
  mutable std::mutex mu_;
  std::set<std::string> unsupported_;
  std::vector<std::string> loseKeys_;
  std::vector<std::string> loseFiles_;
  uint32_t losses_ = 0;
  uint16_t lastDiagMode_ = 0;
  uint32_t diagResets_ = 0;
};

// The AT identity commands and the DIAG mode change (0x29: mode 1 offline, mode 2 reset,
// which restarts the modem) on a store.
void InstallAtIdentityResponders(DiagDispatcher& diag, AtDispatcher& at, std::shared_ptr<AtIdentityStore> store);
// With a store of its own (every command supported, nothing lost).
void InstallAtIdentityResponders(DiagDispatcher& diag, AtDispatcher& at);
// Installs the responders on `store` and feeds it the modem's events (for the losses).
void AttachAtIdentityStore(VirtualModemOptions& options, std::shared_ptr<AtIdentityStore> store);

// Upper-case hex of bytes, and back (false for anything else).
std::string HexText(const Bytes& bytes);
bool ParseHexText(const std::string& text, Bytes& out);

}  // namespace zovir::sim
