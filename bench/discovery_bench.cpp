// Cost of one port scan of the device check, which the window repeats every two seconds:
// the sysfs walk with the device map, and the classification on top of it (no AT probe).
#include <benchmark/benchmark.h>

#include "discovery/port_directory.h"
#include "platform/linux/device_enumerator_linux.h"
#include "tests/unit/discovery/fake_sysfs.h"

namespace zovir {
namespace {

// `modems` modems with three ports each, the 32 UART placeholders of a PC, and three ports
// of a virtual modem in the device map.
struct Host {
  explicit Host(int modems) {
    for (int m = 0; m < modems; ++m) {
      const auto dev = sys.UsbDevice("1-" + std::to_string(m + 1), "05c6", "9025", "0000", 5);
      for (int i = 0; i < 3; ++i) sys.TtyUSB(m * 3 + i, sys.Interface(dev, i == 0 ? 0 : i + 1));
    }
    for (int k = 0; k < 32; ++k) sys.TtyS(k, k == 0 ? 4 : 0);
    for (int n = 7; n <= 9; ++n) {
      const auto node = (sys.root / "dev" / ("pts" + std::to_string(n))).string();
      test::FakeSysfs::Write(node, "");
      map.push_back({"COM" + std::to_string(n), node, "Quorvel Port (COM" + std::to_string(n) + ")",
                     "USB\\VID_05C6&PID_9025&REV_0000&MI_0" + std::to_string(n - 7)});
    }
  }
  LinuxDeviceEnumerator Enumerator() {
    LinuxDeviceEnumeratorOptions o;
    o.sysfsRoot = sys.root.string();
    o.devRoot = (sys.root / "dev").string();
    o.mappedPorts = [this] { return map; };
    return LinuxDeviceEnumerator(o);
  }
  test::FakeSysfs sys;
  std::vector<MappedPort> map;
};

void BM_ListPortDevices(benchmark::State& state) {
  Host host(static_cast<int>(state.range(0)));
  LinuxDeviceEnumerator devices = host.Enumerator();
  std::vector<PortDevice> out;
  for (auto _ : state) {
    devices.ListPortDevices(out);
    benchmark::DoNotOptimize(out.data());
  }
  state.counters["ports"] = static_cast<double>(out.size());
}
BENCHMARK(BM_ListPortDevices)->Arg(1)->Arg(8)->Unit(benchmark::kMicrosecond);

class NoPorts final : public SerialPortFactory {
 public:
  std::unique_ptr<SerialPort> Open(const std::string&, int& error) override {
    error = 2;
    return nullptr;
  }
};

void BM_EnumerateModemPorts(benchmark::State& state) {
  Host host(static_cast<int>(state.range(0)));
  LinuxDeviceEnumerator devices = host.Enumerator();
  SteadyClock clock;
  NoPorts ports;
  QueuedOwnerThread owner;
  PortDirectory directory(devices, ports, clock, owner);
  for (auto _ : state) {
    PortList diag, terminal;
    directory.EnumerateModemPorts(diag, terminal);
    benchmark::DoNotOptimize(diag.data());
  }
}
BENCHMARK(BM_EnumerateModemPorts)->Arg(1)->Arg(8)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace zovir

BENCHMARK_MAIN();
