#include "discovery/port_directory.h"

#include <algorithm>

#include "common/text.h"

namespace zovir {
namespace {


bool ListedNoCase(const PortList& list, const std::string& name) {
  return std::any_of(list.begin(), list.end(), [&](const std::string& entry) { return EqualsNoCase(entry, name); });
}

PortBox BoxOf(const PortList& items) { return PortBox{items, items.empty() ? -1 : 0}; }

}  // namespace

PortDirectory::PortDirectory(DeviceEnumerator& devices, SerialPortFactory& ports, Clock& clock, OwnerThread& owner,
                             Hooks hooks)
    : devices_(devices),
      clock_(clock),
      owner_(owner),
      hooks_(std::move(hooks)),
      probe_(ports, clock, hooks_.log) {}

void PortDirectory::Log(const std::string& text) {
  if (hooks_.log) hooks_.log(text);
}

void PortDirectory::SetProbeSettings(const ProbeSettings& settings) {
  std::lock_guard lock(state_);
  settings_ = settings;
}

void PortDirectory::SetEnprg9x15(bool on) {
  std::lock_guard lock(state_);
  enprg9x15_ = on;
}

int PortDirectory::EnumerateModemPorts(PortList& diag, PortList& terminal) {
  return OnOwner([&] { return EnumerateModemPortsHere(diag, terminal); });
}

int PortDirectory::EnumerateModemPortsHere(PortList& diag, PortList& terminal) {
  std::vector<PortDevice> devices;
  if (!devices_.ListPortDevices(devices)) {
    if (hooks_.showMessage) hooks_.showMessage("SetupDiGetClassDevs failed");
    return 0;
  }
  bool enprg9x15 = false;
  {
    std::lock_guard lock(state_);
    enprg9x15 = enprg9x15_;
  }
  bool found = false;
  for (const PortDevice& device : devices) {
    const std::string& friendly = device.FriendlyName;
    if (friendly.empty() || device.DeviceDesc.empty() || device.HardwareId.empty()) continue;
    const std::string hardwareId = ToUpperAscii(device.HardwareId);
    const std::string portName = ExtractPortName(friendly);

    if (IsSettlePortId(hardwareId) && !portName.empty()) clock_.SleepMs(500);
    if (Contains(friendly, "Terminal") && !portName.empty()) terminal.push_back(portName);

    const bool diagName = Contains(friendly, "Diag") || Contains(friendly, "DIAG");
    if (!diagName && !Contains(friendly, "QD")) continue;
    // With the 9x15 programmer only the emergency download port counts.
    if (enprg9x15 && diagName) continue;

    const size_t com = friendly.find("(COM");
    const std::string tail = com == std::string::npos ? friendly : friendly.substr(com);
    const std::string diagPort = ExtractPortName(tail);
    if (diagPort.empty()) continue;
    diag.push_back(diagPort);
    found = true;
    if (hardwareId == EmergencyDownloadId) diag.push_back(diagPort);
  }
  return found ? 1 : 0;
}

int PortDirectory::RefreshPortLists() {
  return OnOwner([&] {
    PortList diag, terminal, at;
    Log("CheckForComPorts start");
    int found = EnumerateModemPortsHere(diag, terminal);
    if (found == 0) found = EnumerateModemPortsHere(diag, terminal);
    Log("CheckForComPorts end");
    Log("Enum AT port start");
    EnumerateATPortsHere(at, diag, terminal);
    Log("Enum AT port end");
    PortLists lists;
    {
      std::lock_guard lock(state_);
      lists_.PortCBox = BoxOf(diag);
      lists_.SerialPortCBox = BoxOf(at);
      lists_.AppPortCBox = BoxOf(terminal);
      lists = lists_;
    }
    if (hooks_.listsChanged) hooks_.listsChanged(lists);
    return found;
  });
}

void PortDirectory::EnumerateATPorts(PortList& at, const PortList& diag, const PortList& terminal) {
  OnOwner([&] { EnumerateATPortsHere(at, diag, terminal); });
}

void PortDirectory::EnumerateATPortsHere(PortList& at, const PortList& diag, const PortList& terminal) {
  at.clear();
  std::vector<SerialCommEntry> entries;
  if (!devices_.ListSerialPorts(entries)) return;
  ProbeSettings settings;
  ModemFacts facts;
  {
    std::lock_guard lock(state_);
    settings = settings_;
    facts = facts_;
  }
  for (const SerialCommEntry& entry : entries) {
    const std::string& name = entry.PortName;
    if (name == "COM1" || name == "COM2" || !Contains(name, "COM")) continue;
    // Built-in UARTs never carry the modem; probing them only costs time.
    if (entry.LegacyUart) continue;
    if (ListedNoCase(diag, name) || ListedNoCase(terminal, name)) continue;
    if (probe_.ProbeATPort(name, settings, facts)) at.push_back(name);
  }
  std::lock_guard lock(state_);
  facts_ = facts;
}

bool PortDirectory::HasDiagPort() {
  return OnOwner([&] {
    PortLists lists;
    {
      std::lock_guard lock(state_);
      lists_.PortCBox = {};
      lists_.AppPortCBox = {};
      lists = lists_;
    }
    if (hooks_.listsChanged) hooks_.listsChanged(lists);
    PortList diag, terminal;
    return EnumerateModemPortsHere(diag, terminal) == 1;
  });
}

bool PortDirectory::IsSameDiagPort(int portNumber) {
  return OnOwner([&] {
    PortList diag, terminal;
    for (int attempt = 0; attempt < 4; ++attempt) {
      if (attempt > 0) clock_.SleepMs(500);
      if (EnumerateModemPortsHere(diag, terminal) == 1) break;
    }
    if (diag.empty()) {
      Log("Port list <= 0");
      return false;
    }
    const std::string& first = diag.front();
    if (first.empty()) {
      Log("DiaComPort empty");
      return false;
    }
    const std::string digits = first.size() > 3 ? first.substr(3) : std::string();
    if (ComPortNumber(first) == portNumber) {
      Log("Same DiaComPort COM" + digits);
      return true;
    }
    Log("Different DiaComPort COM" + digits);
    return false;
  });
}

void PortDirectory::CloseProbePort() {
  OnOwner([&] { probe_.CloseProbePort("Warning-27"); });
}

bool PortDirectory::ProbePortOpen() {
  return OnOwner([&] { return probe_.ProbePortOpen(); });
}

PortLists PortDirectory::Lists() const {
  std::lock_guard lock(state_);
  return lists_;
}

ModemFacts PortDirectory::Facts() const {
  std::lock_guard lock(state_);
  return facts_;
}

std::string PortDirectory::SelectedDiagPortName() const {
  std::lock_guard lock(state_);
  return lists_.PortCBox.SelectedText();
}

std::string PortDirectory::SelectedAppPortName() const {
  std::lock_guard lock(state_);
  return lists_.AppPortCBox.SelectedText();
}

std::string PortDirectory::SelectedModemPortName() const {
  std::lock_guard lock(state_);
  return lists_.SerialPortCBox.SelectedText();
}

bool PortDirectory::Select(PortBox PortLists::*box, const std::string& name) {
  std::lock_guard lock(state_);
  PortBox& b = lists_.*box;
  const auto it = std::find(b.items.begin(), b.items.end(), name);
  if (it == b.items.end()) return false;
  b.selected = static_cast<int>(it - b.items.begin());
  return true;
}

bool PortDirectory::SelectDiagPort(const std::string& name) { return Select(&PortLists::PortCBox, name); }
bool PortDirectory::SelectAppPort(const std::string& name) { return Select(&PortLists::AppPortCBox, name); }
bool PortDirectory::SelectModemPort(const std::string& name) { return Select(&PortLists::SerialPortCBox, name); }

}  // namespace zovir
