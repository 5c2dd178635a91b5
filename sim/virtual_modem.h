#pragma once
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "sim/device_map.h"
#include "sim/device_state.h"
#include "sim/diag_dispatcher.h"
#include "sim/fault_plan.h"

namespace zovir::sim {

enum class ModemMode {
  Stopped,     // not started, or stopped
  Normal,      // normal firmware: diagnostic port + AT port (+ terminal port)
  Rebooting,   // between two modes: no ports
  BootSahara,  // boot loader speaking Sahara on the emergency-download port
  BootDmss,    // boot loader speaking DMSS first, then the Sahara image transfer
  Programmer,  // flash programmer speaking the streaming download protocol
};
const char* ModeName(ModemMode mode);

// How ports come back after a restart.
enum class RestartPorts {
  KeepDiagPort,  // same numbers; the diagnostic pty lives on as the download port and back
                 // (a handle the tool kept stays usable), the other ports are new ptys
  SameNumbers,   // same numbers, every port a new pty
  NewNumbers,    // the next numbers of the pool, every port a new pty
};

enum class BootProtocol { Sahara, Dmss };

struct VirtualModemOptions {
  std::string deviceMapPath;                // required; shared by several modems is fine
  std::string stateDir;                     // empty: state in memory only
  std::vector<int> comNumbers = {7, 8, 9};  // the COM numbers this modem may use, in order
  bool terminalPort = false;                // normal mode also shows an application port
  RestartPorts restartPorts = RestartPorts::KeepDiagPort;
  BootProtocol bootProtocol = BootProtocol::Sahara;
  ModemMode startMode = ModemMode::Normal;  // Normal, BootSahara, BootDmss or Programmer

  uint32_t saharaMaxChunk = 0x1000;   // longest read-data request
  uint32_t saharaMaxCommand = 0x1000; // announced in the Sahara hello
  uint32_t fastBlockSize = 4096;      // raw block size of the fast-speed transfer (= BlockSize)
  int rebootDelayMs = 1000;           // DIAG 3A echo -> ports vanish
  int resetDelayMs = 300;             // streaming reset/power-off reply -> ports vanish
  int reenumerateDelayMs = 300;       // time without ports during a restart
  int replySplit = 0;                 // >0: every reply in pieces of this many bytes
  int writeTimeoutMs = 2000;          // a reply the tool does not drain is dropped after this

  // Identity the AT port reports (Part of the probe of the tool).
  std::string firmwareVersion = "BTM9X06_V1.0.0_R01";
  std::string manufacturer = "Quorvel";
  std::string model = "QV-9X06";
  std::string imei = "356938035643809";
  std::string flashInfo = "\"ID : 2C AC 90 15 56 PageSize : 2048 BlockSize : 131072 TotalSize : 256MB\"";
  std::string pmu = "PMU: PM9X06";
  std::string friendlyPrefix = "Quorvel";
  // What the boot loader's command mode tells: the chip's serial number, the hardware id, the
  // hash of the public key it trusts (32 bytes) and its own version.
  uint32_t chipSerialNumber = 0x5A0C1E37;
  uint64_t hardwareId = 0x000480E100000000ull;
  Bytes publicKeyHash = Bytes(32, 0xA5);
  uint32_t bootLoaderVersion = 2;
  // Service programming code the DIAG 41 command must carry (six digits).
  std::string serviceProgrammingCode = "000000";
  // Platform identifier the firmware reports in its build-ID reply; 8 matches a configured
  // Platform text containing 8200 (the demo packet's Config.ini).
  uint8_t platformId = 8;

  FaultPlan faults;
  // More responders, installed after the standard ones.
  std::vector<std::function<void(DiagDispatcher&, AtDispatcher&)>> extraResponders;
  // Called on the modem's thread for every notable event (ports created, faults, modes).
  std::function<void(const std::string&)> onEvent;
  // Stores that act on this modem's state (AttachNVStore, AttachAtIdentityStore, AttachEfs put
  // theirs here). The modem holds them, binds them to its own state when it is created and
  // when it starts, gives them every event before onEvent, and unbinds them when it goes.
  std::vector<std::shared_ptr<StateBoundStore>> stores;
  // Adds a store once (attaching the same store again is harmless).
  void AddStore(std::shared_ptr<StateBoundStore> store);
};

// A USB modem on pseudo-terminals. Several can run side by side in one process, each with its
// own COM numbers, sharing one device-map file.
class VirtualModem {
 public:
  explicit VirtualModem(VirtualModemOptions options);
  ~VirtualModem();  // stops
  VirtualModem(const VirtualModem&) = delete;
  VirtualModem& operator=(const VirtualModem&) = delete;

  // Creates the ports of the start mode and writes them into the device map before it
  // returns. Throws std::runtime_error when the ports cannot be created.
  void Start();
  // Ports vanish, map entries are removed, the thread ends. Idempotent.
  void Stop();

  ModemMode Mode() const;
  // Blocks until the modem is in `mode` (true) or the time passed (false).
  bool WaitForMode(ModemMode mode, std::chrono::milliseconds timeout) const;
  // Blocks until a port numbered `com` is shown (true) or the time passed (false).
  bool WaitForPort(int com, std::chrono::milliseconds timeout) const;
  // The ports shown now.
  std::vector<PortEntry> Ports() const;
  // Number of times `mode` was entered since Start.
  uint32_t ModeEntries(ModemMode mode) const;

  DeviceState& State();
  std::map<std::string, PartitionSummary> Partitions() const;
  // How often a command key was seen (the fault plan's keys), and the faults that fired.
  uint32_t CommandCount(const std::string& key) const;
  std::vector<FaultRule> FiredFaults() const;
  // The flash programmer as received over Sahara (empty before an upload).
  Bytes ReceivedProgrammer() const;

  const VirtualModemOptions& Options() const;

  class Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace zovir::sim
