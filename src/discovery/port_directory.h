#pragma once
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <type_traits>

#include "discovery/at_probe.h"
#include "discovery/owner_thread.h"
#include "discovery/port_names.h"
#include "platform/clock.h"
#include "platform/device_enumerator.h"
#include "platform/serial_port.h"

namespace zovir {

// A list of the window: its items and the selected index (-1: none).
struct PortBox {
  PortList items;
  int selected = -1;
  std::string SelectedText() const {
    return selected >= 0 && selected < static_cast<int>(items.size()) ? items[selected] : std::string();
  }
};

// The window's three port lists, as one snapshot.
struct PortLists {
  PortBox PortCBox;        // diagnostic ports
  PortBox AppPortCBox;     // application (terminal) ports
  PortBox SerialPortCBox;  // AT ports
};

// Owner of the window's port lists and of the probe results. Classifies the host's serial
// ports into diagnostic, terminal and AT ports. Every operation that rescans runs on the
// owner's thread, one at a time; a caller on another thread waits there for the result
// (and gets the empty result once the owner has shut down). Reads of the lists and facts
// are safe from any thread.
class PortDirectory {
 public:
  struct Hooks {
    // A status line of the neutral kind.
    std::function<void(const std::string&)> log;
    // A plain message box.
    std::function<void(const std::string&)> showMessage;
    // The lists changed (after a refresh, or when HasDiagPort emptied two of them); runs on
    // the owner's thread, so a window can show them whoever asked for the rescan.
    std::function<void(const PortLists&)> listsChanged;
  };

  PortDirectory(DeviceEnumerator& devices, SerialPortFactory& ports, Clock& clock, OwnerThread& owner,
                Hooks hooks = {});
  PortDirectory(const PortDirectory&) = delete;
  PortDirectory& operator=(const PortDirectory&) = delete;

  // Configuration (read by the next rescan).
  void SetProbeSettings(const ProbeSettings& settings);
  void SetEnprg9x15(bool on);

  // Appends the diagnostic and terminal ports; 1 when a diagnostic port was appended, else 0.
  int EnumerateModemPorts(PortList& diag, PortList& terminal);
  // Rebuilds the three lists and selects their first entries; 1 when a diagnostic port was found.
  int RefreshPortLists();
  // Fills `at` with the serial ports that are neither diagnostic nor terminal ports and
  // answer the AT probe.
  void EnumerateATPorts(PortList& at, const PortList& diag, const PortList& terminal);
  // Empties the diagnostic and application lists and tells whether a diagnostic port is present.
  bool HasDiagPort();
  // Whether the first diagnostic port found is "COM" + `portNumber` (up to four enumerations).
  bool IsSameDiagPort(int portNumber);
  // Closes the probe port if one was left open (before an update takes the ports).
  void CloseProbePort();
  bool ProbePortOpen();

  // Snapshots, safe from any thread.
  PortLists Lists() const;
  ModemFacts Facts() const;
  std::string SelectedDiagPortName() const;
  std::string SelectedAppPortName() const;
  std::string SelectedModemPortName() const;
  // Selects an entry of a list by its text (a remembered choice); false when it is not listed.
  bool SelectDiagPort(const std::string& name);
  bool SelectAppPort(const std::string& name);
  bool SelectModemPort(const std::string& name);

 private:
  template <typename F>
  auto OnOwner(F&& work) -> std::invoke_result_t<F&>;

  int EnumerateModemPortsHere(PortList& diag, PortList& terminal);
  void EnumerateATPortsHere(PortList& at, const PortList& diag, const PortList& terminal);
  void Log(const std::string& text);
  bool Select(PortBox PortLists::*box, const std::string& name);

  DeviceEnumerator& devices_;
  Clock& clock_;
  OwnerThread& owner_;
  Hooks hooks_;
  ATProbe probe_;

  // Held while an operation runs on the owner's thread (recursive: a hook that calls back in
  // on that thread must not lock it out).
  std::recursive_mutex rescan_;
  mutable std::mutex state_;
  PortLists lists_;
  ModemFacts facts_;
  ProbeSettings settings_;
  bool enprg9x15_ = false;
};

template <typename F>
auto PortDirectory::OnOwner(F&& work) -> std::invoke_result_t<F&> {
  using R = std::invoke_result_t<F&>;
  if (owner_.IsCurrent()) {
    std::lock_guard lock(rescan_);
    return work();
  }
  auto task = std::make_shared<std::packaged_task<R()>>([this, &work] {
    std::lock_guard lock(rescan_);
    return work();
  });
  auto result = task->get_future();
  if (!owner_.Post([task] { (*task)(); })) return R();
  try {
    return result.get();
  } catch (const std::future_error&) {
    return R();  // the owner shut down before it ran the call
  }
}

}  // namespace zovir
