#include "platform/win32/device_enumerator_win32.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <future>
#include <map>
#include <mutex>
#include <thread>

#include "platform/win32/setup_api.h"
// After windows.h, which they need and do not include.
#include <cfgmgr32.h>
#include <dbt.h>
#include <devguid.h>

namespace zovir {
namespace {

// The COM-port device interface class (its header drags in the kernel's types).
constexpr GUID kComPortInterface = {0x86E0D1E0, 0x8089, 0x11D0, {0x9C, 0xE4, 0x08, 0x00, 0x3E, 0x30, 0x1F, 0x73}};

std::string Property(HDEVINFO set, SP_DEVINFO_DATA& dev, DWORD property) {
  wchar_t buffer[1024] = {};
  DWORD type = 0;
  if (!SetupDiGetDeviceRegistryPropertyW(set, &dev, property, &type, reinterpret_cast<BYTE*>(buffer),
                                         sizeof buffer - sizeof(wchar_t), nullptr))
    return {};
  // A multi-string (the hardware ids) gives its first entry.
  return win32::Utf8(buffer, wcslen(buffer));
}

std::string PortNameOf(HDEVINFO set, SP_DEVINFO_DATA& dev) {
  const HKEY opened = SetupDiOpenDevRegKey(set, &dev, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_QUERY_VALUE);
  if (opened == INVALID_HANDLE_VALUE) return {};
  const win32::UniqueKey key(opened);
  wchar_t name[64] = {};
  DWORD bytes = sizeof name - sizeof(wchar_t), type = 0;
  const bool ok = RegQueryValueExW(key.get(), L"PortName", nullptr, &type, reinterpret_cast<BYTE*>(name), &bytes) ==
                      ERROR_SUCCESS &&
                  type == REG_SZ;
  return ok ? win32::Utf8(name, wcslen(name)) : std::string();
}

uint16_t HexAfter(const std::string& id, const char* tag) {
  const size_t at = id.find(tag);
  unsigned value = 0;
  if (at == std::string::npos || std::sscanf(id.c_str() + at + std::strlen(tag), "%4x", &value) != 1) return 0;
  return static_cast<uint16_t>(value);
}

// The USB identifiers and the interface number a hardware id carries.
void TakeIds(PortDevice& p) {
  p.Vid = HexAfter(p.HardwareId, "VID_");
  p.Pid = HexAfter(p.HardwareId, "PID_");
  if (const size_t mi = p.HardwareId.find("MI_"); mi != std::string::npos)
    p.Interface = static_cast<int>(std::strtol(p.HardwareId.c_str() + mi + 3, nullptr, 16));
}

// The ports class as SetupAPI lists it, appended to `out`.
bool SystemPortDevices(std::vector<PortDevice>& out) {
  const auto owned = win32::AdoptDeviceInfoSet(SetupDiGetClassDevsW(&GUID_DEVCLASS_PORTS, nullptr, nullptr, DIGCF_PRESENT));
  if (owned == nullptr) return false;
  const HDEVINFO set = owned.get();
  SP_DEVINFO_DATA dev{};
  dev.cbSize = sizeof dev;
  for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &dev); ++i) {
    PortDevice p;
    p.FriendlyName = Property(set, dev, SPDRP_FRIENDLYNAME);
    p.DeviceDesc = Property(set, dev, SPDRP_DEVICEDESC);
    p.HardwareId = Property(set, dev, SPDRP_HARDWAREID);
    const std::string port = PortNameOf(set, dev);
    p.Path = port.empty() ? std::string() : "\\\\.\\" + port;
    p.Vid = HexAfter(p.HardwareId, "VID_");
    p.Pid = HexAfter(p.HardwareId, "PID_");
    if (const size_t mi = p.HardwareId.find("MI_"); mi != std::string::npos)
      p.Interface = static_cast<int>(std::strtol(p.HardwareId.c_str() + mi + 3, nullptr, 16));
    // The USB device the port's interface belongs to: "USB\VID_xxxx&PID_xxxx\SERIAL". A
    // serial number made up by the system (no string on the device) contains '&'.
    DEVINST parent = 0;
    wchar_t id[MAX_DEVICE_ID_LEN + 1] = {};
    if (CM_Get_Parent(&parent, dev.DevInst, 0) == CR_SUCCESS &&
        CM_Get_Device_IDW(parent, id, MAX_DEVICE_ID_LEN, 0) == CR_SUCCESS) {
      const std::string parentId = win32::Utf8(id, wcslen(id));
      if (parentId.rfind("USB\\", 0) == 0) {
        p.UsbSystemPath = parentId;
        p.UsbPath = parentId;
        const size_t slash = parentId.rfind('\\');
        const std::string serial = parentId.substr(slash + 1);
        if (serial.find('&') == std::string::npos) p.UsbSerial = serial;
      }
    }
    out.push_back(std::move(p));
  }
  return true;
}

// The system's map of serial ports, appended to `out`.
bool SystemSerialPorts(std::vector<SerialCommEntry>& out) {
  HKEY h = nullptr;
  const LSTATUS opened = RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_QUERY_VALUE, &h);
  // No key at all: the system has no serial port.
  if (opened == ERROR_FILE_NOT_FOUND) return true;
  if (opened != ERROR_SUCCESS) return false;
  const win32::UniqueKey key(h);
  for (DWORD i = 0;; ++i) {
    wchar_t name[256] = {}, data[64] = {};
    DWORD nameLength = 255, bytes = sizeof data - sizeof(wchar_t), type = 0;
    const LSTATUS r = RegEnumValueW(key.get(), i, name, &nameLength, nullptr, &type, reinterpret_cast<BYTE*>(data), &bytes);
    if (r == ERROR_NO_MORE_ITEMS) break;
    if (r != ERROR_SUCCESS || type != REG_SZ) continue;
    SerialCommEntry e;
    e.ValueName = win32::Utf8(name, nameLength);
    e.PortName = win32::Utf8(data, wcslen(data));
    e.LegacyUart = e.ValueName.rfind("\\Device\\Serial", 0) == 0;
    out.push_back(std::move(e));
  }
  return true;
}

// The device map's ports that are there (a Path) under a valid "COM" name.
std::vector<MappedPort> PresentOf(const Win32DeviceEnumeratorOptions& options) {
  std::vector<MappedPort> present;
  if (!options.mappedPorts) return present;
  for (MappedPort& m : options.mappedPorts()) {
    const bool com = m.PortName.size() > 3 && m.PortName.compare(0, 3, "COM") == 0 &&
                     m.PortName.find_first_not_of("0123456789", 3) == std::string::npos;
    if (com && !m.Path.empty()) present.push_back(std::move(m));
  }
  return present;
}

class Win32DeviceEnumerator final : public DeviceEnumerator {
 public:
  explicit Win32DeviceEnumerator(Win32DeviceEnumeratorOptions options) : options_(std::move(options)) {}

  bool ListPortDevices(std::vector<PortDevice>& out) override {
    out.clear();
    const bool listed = SystemPortDevices(out);
    for (const MappedPort& m : PresentOf(options_)) {
      if (m.FriendlyName.empty() || m.HardwareId.empty()) continue;
      const std::string path = "\\\\.\\" + m.PortName;
      std::erase_if(out, [&](const PortDevice& d) { return d.Path == path; });
      PortDevice d;
      d.FriendlyName = m.FriendlyName;
      d.DeviceDesc = m.FriendlyName.substr(0, m.FriendlyName.rfind(" ("));
      d.HardwareId = m.HardwareId;
      d.Path = path;
      TakeIds(d);
      out.push_back(std::move(d));
    }
    return listed || options_.mappedPorts != nullptr;
  }

  bool ListSerialPorts(std::vector<SerialCommEntry>& out) override {
    out.clear();
    const bool listed = SystemSerialPorts(out);
    for (const MappedPort& m : PresentOf(options_)) {
      std::erase_if(out, [&](const SerialCommEntry& e) { return e.PortName == m.PortName; });
      out.push_back({m.Path, m.PortName, false});
    }
    return listed || options_.mappedPorts != nullptr;
  }

 private:
  Win32DeviceEnumeratorOptions options_;
};

// Port name -> what carries it (the value name in the system's map, a device map's node).
std::map<std::string, std::string> PortsNow(DeviceEnumerator& e) {
  std::vector<SerialCommEntry> entries;
  std::map<std::string, std::string> ports;
  if (e.ListSerialPorts(entries))
    for (const auto& entry : entries) ports[entry.PortName] = entry.ValueName;
  return ports;
}

}  // namespace

struct Win32DeviceMonitor::State {
  static constexpr UINT_PTR kPollTimer = 1, kSecondLookTimer = 2;
  static constexpr UINT kSecondLookMs = 1500;
  State(DeviceEnumerator& e, Win32DeviceMonitorOptions o) : enumerator(e), options(o) {}
  DeviceEnumerator& enumerator;
  Win32DeviceMonitorOptions options;
  Callback callback;
  std::map<std::string, std::string> known;
  std::thread thread;
  std::atomic<HWND> window{nullptr};
  std::atomic<DWORD> threadId{0};
  std::mutex stopping;

  static LRESULT CALLBACK Proc(HWND w, UINT msg, WPARAM wp, LPARAM lp) {
    auto* self = reinterpret_cast<State*>(GetWindowLongPtrW(w, GWLP_USERDATA));
    if (msg == WM_DEVICECHANGE && self != nullptr) {
      const auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(lp);
      const bool came = wp == DBT_DEVICEARRIVAL, went = wp == DBT_DEVICEREMOVECOMPLETE;
      if ((came || went) && header != nullptr && header->dbch_devicetype == DBT_DEVTYP_PORT) {
        // The port's own notice names it; the map of ports may not carry it yet.
        const auto* port = reinterpret_cast<const DEV_BROADCAST_PORT_W*>(lp);
        self->Seen(win32::Utf8(port->dbcp_name, wcslen(port->dbcp_name)), came);
      } else {
        self->Rescan();
      }
      // A notice often comes before the system has finished with the device (its port in the
      // map of serial ports, its friendly name): a second look shortly after catches up.
      // A notice during the wait starts it again.
      SetTimer(w, kSecondLookTimer, kSecondLookMs, nullptr);
      return TRUE;
    }
    if (msg == WM_TIMER && self != nullptr) {
      if (wp == kSecondLookTimer) KillTimer(w, kSecondLookTimer);
      self->Rescan();
      return 0;
    }
    return DefWindowProcW(w, msg, wp, lp);
  }

  void Event(DeviceEventKind kind, const std::string& name) { callback({kind, name, "\\\\.\\" + name}); }

  // A port's own notice does not say what carries it: the next rescan tells.
  void Seen(const std::string& name, bool present) {
    if (name.rfind("COM", 0) != 0 || (known.count(name) != 0) == present) return;
    if (present)
      known[name].clear();
    else
      known.erase(name);
    Event(present ? DeviceEventKind::Arrival : DeviceEventKind::Removal, name);
  }

  // The same name on something new (the modem restarted on other nodes) went and came.
  void Rescan() {
    const auto now = PortsNow(enumerator);
    auto moved = [](const std::string& before, const std::string& after) { return !before.empty() && before != after; };
    for (const auto& [name, carrier] : known)
      if (const auto it = now.find(name); it == now.end() || moved(carrier, it->second))
        Event(DeviceEventKind::Removal, name);
    for (const auto& [name, carrier] : now)
      if (const auto it = known.find(name); it == known.end() || moved(it->second, carrier))
        Event(DeviceEventKind::Arrival, name);
    known = now;
  }
};

Win32DeviceMonitor::Win32DeviceMonitor(DeviceEnumerator& enumerator, Win32DeviceMonitorOptions options)
    : state_(std::make_unique<State>(enumerator, options)) {}

Win32DeviceMonitor::~Win32DeviceMonitor() { Stop(); }

void* Win32DeviceMonitor::WindowHandle() const { return state_->window.load(); }

bool Win32DeviceMonitor::Start(Callback callback) {
  if (state_->thread.joinable()) return true;
  state_->callback = std::move(callback);
  state_->known = PortsNow(state_->enumerator);
  std::promise<bool> ready;
  auto started = ready.get_future();
  state_->thread = std::thread([this, &ready] {
    State& s = *state_;
    const HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSW wc{};
    wc.lpfnWndProc = &State::Proc;
    wc.hInstance = instance;
    wc.lpszClassName = L"ZovirDeviceMonitor";
    RegisterClassW(&wc);
    // A message-only window: it needs no desktop. Broadcasts do not reach it, so it asks for
    // the notices of the COM-port interface class by name.
    HWND w = CreateWindowExW(0, wc.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, instance, nullptr);
    if (w == nullptr) {
      ready.set_value(false);
      return;
    }
    SetWindowLongPtrW(w, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&s));
    DEV_BROADCAST_DEVICEINTERFACE_W filter{};
    filter.dbcc_size = sizeof filter;
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    filter.dbcc_classguid = kComPortInterface;
    HDEVNOTIFY notify = RegisterDeviceNotificationW(w, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
    if (s.options.pollIntervalMs > 0) SetTimer(w, State::kPollTimer, static_cast<UINT>(s.options.pollIntervalMs), nullptr);
    s.threadId = GetCurrentThreadId();
    s.window = w;
    ready.set_value(true);
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) DispatchMessageW(&msg);
    if (notify != nullptr) UnregisterDeviceNotification(notify);
    DestroyWindow(w);
    s.window = nullptr;
  });
  if (!started.get()) {
    state_->thread.join();
    return false;
  }
  return true;
}

void Win32DeviceMonitor::Stop() {
  const std::lock_guard lock(state_->stopping);
  if (!state_->thread.joinable()) return;
  // WM_QUIT ends the window's loop; no callback runs once the thread is joined.
  PostThreadMessageW(state_->threadId, WM_QUIT, 0, 0);
  state_->thread.join();
}

std::unique_ptr<DeviceEnumerator> MakeWin32DeviceEnumerator(Win32DeviceEnumeratorOptions options) {
  return std::make_unique<Win32DeviceEnumerator>(std::move(options));
}

}  // namespace zovir
