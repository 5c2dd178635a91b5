#include "discovery/version_query.h"

namespace zovir {

VersionAnswer QueryFirmwareVersion(SerialPortFactory& ports, Clock& clock, const std::string& port,
                                   const ProbeSettings& settings, const ATProbe::Log& log, int attempts,
                                   uint32_t intervalMs) {
  VersionAnswer answer;
  if (port.empty()) {
    answer.reason = "the modem has no AT port";
    return answer;
  }
  ProbeSettings asked = settings;
  asked.bCheckProjectCode = true;  // asks the version
  for (int attempt = 0; attempt < attempts; ++attempt) {
    if (attempt > 0) clock.SleepMs(intervalMs);
    ModemFacts facts;
    ATProbe probe(ports, clock, log);
    if (probe.ProbeATPort(port, asked, facts) && !facts.ModemVersion.empty()) {
      answer.version = facts.ModemVersion;
      return answer;
    }
  }
  answer.reason = "the modem did not answer the version query on " + port + " (" + std::to_string(attempts) +
                  (attempts == 1 ? " attempt)" : " attempts)");
  return answer;
}

}  // namespace zovir
