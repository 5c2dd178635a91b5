#pragma once
#include <functional>
#include <memory>
#include <string>

#include "platform/clock.h"
#include "platform/serial_port.h"

namespace zovir {

// Query commands (each ends with CR LF CR LF).
inline constexpr const char* kQueryVersion = "AT+CGMR\r\n\r\n";
inline constexpr const char* kQueryVersionATI = "ATI\r\n\r\n";
inline constexpr const char* kQueryFlashInfo = "AT+FLASHINFO\r\n\r\n";
inline constexpr const char* kQueryHardware = "AT+PMU\r\n\r\n";

// What a query may need besides the port: whether the configuration names a flash id, and
// where the whole flash-information body goes (the flash query only).
struct ATQueryContext {
  bool projectFlashIdEmpty = false;
  std::string* flashInfo = nullptr;
};

// Sends `command` and reads the reply in up to ten 100 ms passes. True when the modem
// answered "OK" and the reply could be parsed for that command; the parsed value is then
// stored in `out`, otherwise `out` is left alone.
bool SendATQuery(SerialPort& port, Clock& clock, const std::string& command, std::string& out,
                 const ATQueryContext& context = {});

// The configuration values the probe reads.
struct ProbeSettings {
  bool bCheckProjectCode = false;
  bool bCheckMainboardType = false;
  bool bCheckDataCardMemory = false;
  bool bCheckRouterMemory = false;
  int ProjectType = -1;
  std::string Name;
  bool ProjectFlashIdEmpty = true;  // [Project] FlashID is empty
};

// What the probe learnt about the modem; each value keeps its text until a later probe
// overwrites it.
struct ModemFacts {
  std::string ModemVersion;
  std::string ModemFlashId;
  std::string ModemFlashInfo;
  std::string ModemHardware;
};

// Recognises the modem's AT port by behaviour and asks it the facts the device checks need.
// Holds at most one open port (the probe port) and closes it before returning.
class ATProbe {
 public:
  using Log = std::function<void(const std::string&)>;
  ATProbe(SerialPortFactory& ports, Clock& clock, Log log = {});
  ~ATProbe();
  ATProbe(const ATProbe&) = delete;
  ATProbe& operator=(const ATProbe&) = delete;

  // `name` is "COM" + number. True when the port answered "OK" to "AT" and the version
  // query (when asked for) succeeded.
  bool ProbeATPort(const std::string& name, const ProbeSettings& settings, ModemFacts& facts);
  bool ProbePortOpen() const { return ProbePort != nullptr; }
  // Closes a probe port left open (closing retries 10 times, logging `warning`).
  void CloseProbePort(const std::string& warning);

 private:
  void LogLine(const std::string& text);

  SerialPortFactory& ports_;
  Clock& clock_;
  Log log_;
  std::unique_ptr<SerialPort> ProbePort;
};

}  // namespace zovir
