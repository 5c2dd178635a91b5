#pragma once
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "discovery/host_discovery.h"
#include "discovery/owner_thread.h"
#include "discovery/port_directory.h"
#include "engine/engine_assembly.h"
#include "engine/tcomms_thread.h"
#include "platform/linux/serial_port_linux.h"
#include "platform/port_namespace.h"
#include "sim/virtual_modem.h"

namespace zovir::test {

// One report of an engine, as the window would receive it.
struct Report {
  enum Kind { Status, Error, Progress } kind;
  std::string text;
  int slot = 0;
  int value = 0;  // MESSAGE_TYPE for Status, position for Progress
};

// The window's side of an update, for tests: port lists from the real discovery, the device
// flags from the real monitor, message boxes and SN entry recorded.
class RecordingHost final : public EngineHost {
 public:
  explicit RecordingHost(PortDirectory& ports) : ports_(ports) {}
  std::string ReadSNEntry() override;
  void EnableSNEntry(bool) override {}
  void OfferSNEntry() override { snOffered = true; }
  void FinishSNEntry() override { snFinished = true; }
  void ShowResultSN(const std::string& sn) override { resultSN = sn; }
  std::string SelectedDiagPortName() override { return ports_.SelectedDiagPortName(); }
  std::string SelectedModemPortName() override { return ports_.SelectedModemPortName(); }
  std::atomic<bool>& DeviceChangeSeen() override { return change_; }
  std::atomic<bool>& DeviceArrivalSeen() override { return arrival_; }
  void MessageBox(const std::string& text, const std::string& caption) override;
  bool IsSameDiagPort(int n) override { return ports_.IsSameDiagPort(n); }
  void RefreshPortLists() override { ports_.RefreshPortLists(); }

  std::string snEntry;
  std::atomic<bool> snOffered{false}, snFinished{false};
  std::string resultSN;
  std::vector<std::string> messages;  // "caption: text"
  std::mutex mutex;

 private:
  PortDirectory& ports_;
  std::atomic<bool> change_{false}, arrival_{false};
};

// A virtual modem on ptys, the host's real discovery and serial ports, and one engine with
// the production collaborators: a whole update with no hardware.
class VirtualUpdate {
 public:
  explicit VirtualUpdate(sim::VirtualModemOptions options = {});
  ~VirtualUpdate();

  // The engine's configuration before Run: images of the small test packet, ports selected
  // from the discovered lists, backup root in the temporary folder.
  EngineConfig& cfg() { return cfg_; }
  sim::VirtualModem& modem() { return *modem_; }
  RecordingHost& host() { return *host_; }
  const std::filesystem::path& dir() const { return dir_; }
  std::string PacketFile(const std::string& name) const;
  // Selects the images of the test packet for every slot of the plan.
  void UseTestPacket();

  // Runs one engine to its end (bounded by `limitMs` of real time). `beforeRun` may change
  // the engine (e.g. start a thread that presses Stop).
  bool Run(uint32_t limitMs = 120000);
  TCommsThread* engine() { return engine_.get(); }

  std::vector<Report> Reports();
  std::vector<std::string> StatusTexts();
  bool Saw(const std::string& text);
  int MaxProgress();
  std::string LastStatus();
  // Every partition the plan writes holds exactly the image's bytes.
  ::testing::AssertionResult PartitionsMatchImages();

 private:
  std::filesystem::path dir_;
  std::unique_ptr<sim::VirtualModem> modem_;
  std::unique_ptr<PortNamespace> names_;
  std::unique_ptr<LinuxSerialPortFactory> ports_;
  std::unique_ptr<HostDiscovery> discovery_;
  std::unique_ptr<WorkerOwnerThread> owner_;
  std::unique_ptr<PortDirectory> directory_;
  std::unique_ptr<RecordingHost> host_;
  SteadyClock clock_;
  EngineConfig cfg_;
  std::shared_ptr<TCommsThread> engine_;
  std::mutex reportsMutex_;
  std::vector<Report> reports_;
};

}  // namespace zovir::test
