#pragma once
#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace zovir::tools {

// The folder of the running program: the helpers keep their Config.ini beside themselves.
std::string ExecutableDir();
std::string ConfigBesideExecutable();

// One serial port that may be the modem's, with what is known about its USB device.
struct CandidatePort {
  std::string name;  // "COM7" from the device map, or the device node's base name
  std::string path;  // device node to open
  std::string friendlyName;
  int vendorId = -1;  // -1 when unknown
  int productId = -1;
  bool IsDiagnostics() const;
};

// Ports of the modem. With ZOVIR_DEVICE_MAP set, the ports of that map file ([COMn] sections
// with Path, FriendlyName, HardwareId); otherwise /dev/ttyUSB* and /dev/ttyACM* with the USB
// identity read from sysfs. Ports that look like AT ports come before diagnostic ports.
std::vector<CandidatePort> FindModemPorts();

// "USB\VID_05C6&PID_9025&..." (any case) → vendor and product; false when absent.
bool ParseVidPid(const std::string& text, int& vendorId, int& productId);

// A serial port opened raw at 115200 baud for AT commands.
class AtPort {
 public:
  AtPort() = default;
  ~AtPort();
  AtPort(const AtPort&) = delete;
  AtPort& operator=(const AtPort&) = delete;

  // False with errno set when the port cannot be opened (EBUSY when another program holds it).
  bool Open(const std::string& path);
  bool IsOpen() const { return fd_ >= 0; }
  void Close();

  enum class Reply { Ok, Error, Silent, Hangup };
  // Sends `command` and collects the reply until it holds "OK" or "ERROR", the time is up,
  // or the port goes away (a modem that resets drops its ports).
  Reply Command(const std::string& command, std::chrono::milliseconds timeout, std::string* text = nullptr);

 private:
  int fd_ = -1;
};

// Text of an errno value.
std::string ErrnoText(int error);

}  // namespace zovir::tools
