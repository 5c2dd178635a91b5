#include "discovery/at_probe.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>

#include "common/text.h"
#include "discovery/at_result.h"
#include "discovery/port_names.h"

namespace zovir {
namespace {

constexpr uint32_t kPassMs = 100;
constexpr int kPasses = 10;

// Text of `buffer[0, got)` up to its first NUL.
std::string ReplyText(const uint8_t* buffer, uint32_t got) {
  const auto* begin = reinterpret_cast<const char*>(buffer);
  const void* nul = std::memchr(begin, 0, got);
  return std::string(begin, nul ? static_cast<const char*>(nul) : begin + got);
}

// `text[from, from + count)` where a negative or out-of-range count yields what is there
// (never more than the text holds).
std::string Slice(const std::string& text, size_t from, long count) {
  if (count <= 0 || from >= text.size()) return {};
  return text.substr(from, static_cast<size_t>(count));
}

std::string Without(std::string text, std::string_view chars) {
  text.erase(std::remove_if(text.begin(), text.end(),
                            [&](char c) { return chars.find(c) != std::string_view::npos; }),
             text.end());
  return text;
}

// Parses the reply of `command` whose "OK" starts at `ok`. False when the reply lacks what
// the command's value needs.
bool ParseQueryReply(const std::string& command, const std::string& reply, size_t ok,
                     const ATQueryContext& context, std::string& result) {
  result.clear();
  if (command == kQueryVersion) {
    size_t at = reply.find("BTM");
    if (at == std::string::npos) at = reply.find("BWN");
    if (at == std::string::npos) return false;
    result = Slice(reply, at, static_cast<long>(ok) - static_cast<long>(at) - 1);
  } else if (command == kQueryVersionATI) {
    const size_t ver = reply.find("Ver.");
    const size_t imei = reply.find("IMEI");
    if (ver != std::string::npos && imei != std::string::npos)
      result = Slice(reply, ver + 4, static_cast<long>(imei) - static_cast<long>(ver + 4));
  } else if (command == kQueryFlashInfo) {
    const size_t echo = reply.find("AT+FLASHINFO");
    const size_t body = echo == std::string::npos ? 0 : echo + 12;
    if (context.flashInfo)
      *context.flashInfo = Without(Slice(reply, body, static_cast<long>(ok) - static_cast<long>(body)), "\" \r\n");
    const size_t id = reply.find("ID :");
    const size_t pageSize = reply.find("PageSize");
    if (id != std::string::npos && pageSize != std::string::npos)
      result = Without(Slice(reply, id + 4, static_cast<long>(pageSize) - static_cast<long>(id + 4)), "\" \r\n");
    if (context.projectFlashIdEmpty && result.size() > 2) result = result.substr(result.size() - 2);
  } else if (command == kQueryHardware) {
    const size_t colon = reply.find(':');
    const size_t from = colon == std::string::npos ? 0 : colon + 1;
    result = Without(Slice(reply, from, static_cast<long>(ok) - static_cast<long>(from)), " ");
  }
  result = Without(std::move(result), "\r\n");
  return true;
}

}  // namespace

bool SendATQuery(SerialPort& port, Clock& clock, const std::string& command, std::string& out,
                 const ATQueryContext& context) {
  uint32_t written = 0;
  // A failed write shows as a silent reply below.
  port.Write(reinterpret_cast<const uint8_t*>(command.data()), static_cast<uint32_t>(command.size()), written);

  std::array<uint8_t, 128> buffer{};
  for (int pass = 0; pass < kPasses; ++pass) {
    clock.SleepMs(kPassMs);
    // Each pass judges only what it read itself, so no earlier pass's bytes can complete
    // or corrupt this one.
    uint32_t got = 0;
    if (!port.Read(buffer.data(), static_cast<uint32_t>(buffer.size()), got)) return false;
    const std::string reply = ReplyText(buffer.data(), got);
    size_t ok = 0;
    const ATFinal final = FindFinalResult(reply, ok, true);
    if (final == ATFinal::Ok) {
      std::string result;
      if (!ParseQueryReply(command, reply, ok, context, result)) return false;
      out = std::move(result);
      return true;
    }
    if (final == ATFinal::Error) return false;
  }
  return false;
}

ATProbe::ATProbe(SerialPortFactory& ports, Clock& clock, Log log)
    : ports_(ports), clock_(clock), log_(std::move(log)) {}

ATProbe::~ATProbe() {
  if (ProbePort) ProbePort->Close();
}

void ATProbe::LogLine(const std::string& text) {
  if (log_) log_(text);
}

void ATProbe::CloseProbePort(const std::string& warning) {
  if (!ProbePort) return;
  for (int attempt = 0; attempt < 10; ++attempt) {
    if (ProbePort->Close()) {
      ProbePort.reset();
      return;
    }
    LogLine(warning);
    clock_.SleepMs(100);
  }
  // Still open: the next probe tries again before it opens another port.
}

bool ATProbe::ProbeATPort(const std::string& name, const ProbeSettings& settings, ModemFacts& facts) {
  const std::optional<int> number = ComPortNumber(name);
  if (!number) return false;
  if (ProbePort) CloseProbePort("Warning-27");
  if (ProbePort) return false;

  int error = 0;
  ProbePort = ports_.Open(ComPortName(*number), error);
  if (!ProbePort) return false;

  ProbePort->Purge(PURGE_ALL);
  CommTimeouts timeouts;
  timeouts.ReadIntervalTimeout = MAXDWORD;
  timeouts.ReadTotalTimeoutMultiplier = 0;
  timeouts.ReadTotalTimeoutConstant = 0;
  timeouts.WriteTotalTimeoutMultiplier = 100;
  timeouts.WriteTotalTimeoutConstant = 1000;
  ProbePort->SetTimeouts(timeouts);
  LineSettings line;
  bool lineOk = ProbePort->GetLineSettings(line);
  if (lineOk) {
    line.BaudRate = 115200;
    line.ByteSize = 8;
    line.parity = Parity::None;
    line.stopBits = StopBits::One;
    line.fBinary = true;
    line.fParity = false;
    line.fDtrControl = LineControl::Enable;
    lineOk = ProbePort->SetLineSettings(line);
  }
  if (!lineOk) {
    CloseProbePort("Warning-29");
    return false;
  }

  static constexpr uint8_t kAT[] = {'A', 'T', '\r', '\n'};
  uint32_t written = 0;
  if (!ProbePort->Write(kAT, sizeof kAT, written) || written != sizeof kAT) {
    CloseProbePort("Warning-30");
    return false;
  }

  clock_.SleepMs(kPassMs);
  std::array<uint8_t, 256> buffer{};
  uint32_t got = 0;
  uint32_t waiting = 0;
  if (ProbePort->BytesWaiting(waiting) && waiting > 0) {
    if (!ProbePort->Read(buffer.data(), std::min<uint32_t>(waiting, buffer.size()), got)) got = 0;
  } else {
    for (int pass = 0; pass < kPasses; ++pass) {
      buffer.fill(0);
      clock_.SleepMs(kPassMs);
      if (!ProbePort->Read(buffer.data(), 128, got)) got = 0;
      if (got > 0) break;
    }
  }
  size_t ok = 0;
  if (FindFinalResult(ReplyText(buffer.data(), got), ok, true) != ATFinal::Ok) {
    CloseProbePort("Warning-35");
    return false;
  }

  const int type = settings.ProjectType;
  if (settings.bCheckProjectCode || settings.bCheckMainboardType || type == 2 || type == 3 || type == 6 ||
      type == 25 || type == 26 || type == 28 || type == 42) {
    const char* query = type == 28 ? kQueryVersionATI : kQueryVersion;
    if (!SendATQuery(*ProbePort, clock_, query, facts.ModemVersion)) {
      CloseProbePort("Warning-31");
      facts.ModemVersion.clear();
      return false;
    }
  }

  const bool memoryCheck = settings.bCheckDataCardMemory || settings.bCheckRouterMemory;
  if (memoryCheck || type == 25 || type == 28) {
    facts.ModemFlashInfo.clear();
    ATQueryContext context{settings.ProjectFlashIdEmpty, &facts.ModemFlashInfo};
    if (!SendATQuery(*ProbePort, clock_, kQueryFlashInfo, facts.ModemFlashId, context)) {
      if (memoryCheck)
        facts.ModemFlashInfo = "ERROR";
      else
        facts.ModemFlashId = "ERROR";
    }
  }

  if (settings.Name == "Saltrin" || settings.Name == "Saltor") {
    SendATQuery(*ProbePort, clock_, kQueryHardware, facts.ModemHardware);
    facts.ModemHardware = facts.ModemHardware.find("GMT") != std::string::npos ? "Saltrin" : "Saltor";
  } else if (settings.Name == "KeplanA" || settings.Name == "KeplanB") {
    SendATQuery(*ProbePort, clock_, kQueryHardware, facts.ModemHardware);
    facts.ModemHardware = facts.ModemHardware.find("TI") != std::string::npos ? "KeplanB" : "KeplanA";
  }

  CloseProbePort("Warning-34");
  return true;
}

}  // namespace zovir
