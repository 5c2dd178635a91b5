#include "preservation/at_channel.h"

#include <array>
#include <cstdio>

#include "discovery/at_probe.h"

namespace zovir {

namespace {

constexpr uint32_t kQueryIntervalMs = 800;
constexpr uint32_t kQueryFastIntervalMs = 100;
constexpr uint32_t kValueIntervalMs = 800;
constexpr uint32_t kValueFastIntervalMs = 300;
constexpr int kModeChangeAttempts = 10;
constexpr uint32_t kModeChangeRetryMs = 1000;
constexpr uint8_t kDiagModeChange = 0x29;
constexpr uint16_t kModeOffline = 1;
constexpr uint16_t kModeReset = 2;

bool Contains(std::string_view text, std::string_view part) { return text.find(part) != std::string_view::npos; }

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view TrimBlanks(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

std::string Without(std::string_view text, std::string_view drop) {
  std::string out;
  out.reserve(text.size());
  for (char c : text)
    if (drop.find(c) == std::string_view::npos) out.push_back(c);
  return out;
}

ATFinal Classify(std::string_view line) {
  line = TrimBlanks(line);
  if (line == "OK") return ATFinal::Ok;
  if (line == "ERROR" || line.starts_with("+CME ERROR") || line.starts_with("+CMS ERROR")) return ATFinal::Error;
  return ATFinal::None;
}

}  // namespace

ATFinal FindFinalResult(std::string_view reply, size_t& pos) {
  size_t begin = 0;
  while (begin < reply.size()) {
    const size_t end = reply.find_first_of("\r\n", begin);
    if (end == std::string_view::npos) break;  // an unfinished line may still grow
    const std::string_view line = reply.substr(begin, end - begin);
    const ATFinal f = Classify(line);
    if (f != ATFinal::None) {
      size_t lead = 0;
      while (lead < line.size() && IsBlank(line[lead])) ++lead;
      pos = begin + lead;
      return f;
    }
    begin = end + 1;
  }
  return ATFinal::None;
}

std::string ATReplyValue(std::string_view command, std::string_view reply, size_t okPos) {
  const std::string_view head = reply.substr(0, std::min(okPos, reply.size()));
  if (Contains(command, "AT+CGDCONT?")) {
    const size_t at = head.find("+CGDCONT:");
    return at == std::string_view::npos ? std::string() : std::string(head.substr(at));
  }
  const size_t colon = head.find(':');
  return std::string(colon == std::string_view::npos ? head : head.substr(colon + 1));
}

std::string StripLineBreaks(std::string_view text) { return Without(text, "\r\n"); }

std::string StripQuotes(std::string_view text) { return Without(text, "\r\n\""); }

std::string StripProjectReply(std::string_view text) {
  std::string out = Without(text, "\r\n\"+");
  for (size_t at = out.find("ZRVINF"); at != std::string::npos; at = out.find("ZRVINF", at)) out.erase(at, 6);
  return out;
}

bool ParseSleepEntry(std::string_view entry, uint32_t& ms) {
  const size_t eq = entry.find('=');
  if (eq == std::string_view::npos) return false;
  std::string_view number = entry.substr(eq + 1);
  const auto skip = [](char c) { return IsBlank(c) || c == '\r' || c == '\n'; };
  while (!number.empty() && skip(number.front())) number.remove_prefix(1);
  while (!number.empty() && skip(number.back())) number.remove_suffix(1);
  if (number.empty() || number.size() > 10) return false;
  uint64_t value = 0;
  for (char c : number) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<uint64_t>(c - '0');
  }
  if (value > UINT32_MAX) return false;
  ms = static_cast<uint32_t>(value);
  return true;
}

ATCommands::ATCommands(EngineCore& core, Link& link) : core_(core), link_(link) {}

void ATCommands::LogLine(const std::string& text) { core_.ReportStatus(csInfo, text, mtInfo); }

bool ATCommands::WriteText(const std::string& text) {
  SerialPort* port = core_.hModemPort.get();
  if (!port) return false;
  uint32_t written = 0;
  const bool ok = port->Write(reinterpret_cast<const uint8_t*>(text.data()), static_cast<uint32_t>(text.size()), written);
  if (ok && written == text.size()) return true;
  core_.SetSystemError(port->LastError());
  return false;
}

// Appends what the port holds now; the modem port's time-outs make each read return at once.
bool ATCommands::ReadAvailable(uint32_t chunk, std::string& buffer) {
  SerialPort* port = core_.hModemPort.get();
  if (!port) return false;
  std::array<uint8_t, kValueReadSize + 1> bytes{};
  for (;;) {
    uint32_t got = 0;
    if (!port->Read(bytes.data(), chunk, got)) {
      core_.SetSystemError(port->LastError());
      return false;
    }
    // The reply is text: a zero byte carries nothing (and must not hide what follows it).
    for (uint32_t i = 0; i < got; ++i)
      if (bytes[i] != 0) buffer.push_back(static_cast<char>(bytes[i]));
    if (got < chunk || buffer.size() > kMaxReplyBytes) return true;
  }
}

// Waits `intervalMs`, then reads, until the reply has its final result line or the time limit
// passed. Each step keeps what the earlier ones read, so a reply that arrives in pieces is
// judged as a whole.
ATCommands::Poll ATCommands::PollReply(uint32_t intervalMs, uint32_t chunk, std::string& buffer, ATFinal& final,
                                       size_t& pos) {
  const uint64_t start = core_.clock.NowMs();
  while (core_.clock.NowMs() - start < kReplyLimitMs) {
    if (!core_.Wait(intervalMs)) return Poll::Stopped;
    if (!ReadAvailable(chunk, buffer)) return Poll::ReadFailed;
    final = FindFinalResult(buffer, pos);
    if (final != ATFinal::None) return Poll::Final;
    if (buffer.size() > kMaxReplyBytes) return Poll::Overlong;
  }
  return Poll::TimedOut;
}

bool ATCommands::SendATCommand(const std::string& command, std::string& reply) {
  if (!WriteText(command)) core_.ReportError("Could not send command to serial port");
  const bool quick = Contains(command, "bootloader") || core_.cfg.bFastSpeedDownload;
  std::string buffer;
  ATFinal final = ATFinal::None;
  size_t pos = 0;
  const Poll poll = PollReply(quick ? kQueryFastIntervalMs : kQueryIntervalMs, kQueryReadSize, buffer, final, pos);
  lastQueryAnswered_ = poll == Poll::Final;
  if (poll == Poll::ReadFailed) {
    core_.ReportError("Could not read from serial port");
    return false;
  }
  if (poll != Poll::Final || final != ATFinal::Ok) return false;
  reply = ATReplyValue(command, buffer, pos);
  LogLine("Read......");
  return true;
}

bool ATCommands::WriteATValue(const std::string& prefix, ATValueSelector selector, const std::string& value,
                              const std::string& failure) {
  std::string command;
  if (selector == ATValueSelector::Raw)
    command = prefix;
  else if (selector == ATValueSelector::SIMLOCK)
    command = prefix + (core_.cfg.SimLockOn ? core_.cfg.bSimLock : std::string("0")) + "\r\n";
  else
    command = prefix + value + "\r\n";
  if (!WriteText(command)) {
    core_.ReportError("->Could not send command to serial port");
    return false;
  }
  const bool silent = selector == ATValueSelector::SalesCount || selector == ATValueSelector::Raw;
  std::string buffer;
  ATFinal final = ATFinal::None;
  size_t pos = 0;
  const Poll poll = PollReply(core_.cfg.bFastSpeedDownload ? kValueFastIntervalMs : kValueIntervalMs,
                              kValueReadSize, buffer, final, pos);
  if (poll == Poll::ReadFailed || poll == Poll::Stopped) return false;
  if (poll == Poll::Final && final == ATFinal::Ok) return true;
  if (poll == Poll::Final && final == ATFinal::Error) {
    switch (selector) {
      case ATValueSelector::CLLEN:
        LogLine("Could not support command:CLLEN");
        return true;
      case ATValueSelector::ZRREQ:
        LogLine("Could not support command:ZRREQ");
        return true;
      case ATValueSelector::GMI:
        LogLine("Could not support command:GMI");
        return true;
      default:
        break;
    }
  }
  if (!silent) core_.ReportError(failure);
  return false;
}

void ATCommands::RunListSleep(const std::string& entry) {
  if (!Contains(entry, "=")) return;
  uint32_t ms = 0;
  if (!ParseSleepEntry(entry, ms)) {
    LogLine("AT%SLEEP without a number of milliseconds is skipped: " + StripLineBreaks(entry));
    return;
  }
  core_.Wait(ms);
}

void ATCommands::RunStartATList() {
  const StringList& list = core_.cfg.StartATList;
  for (size_t i = 0; i < list.size() && core_.Healthy(); ++i) {
    const std::string& entry = list[i];
    if (Contains(entry, "AT%SLEEP")) {
      RunListSleep(entry);
      continue;
    }
    std::string reply;
    if (SendATCommand(entry, reply) || entry == "AT+DIAG=1\r\n\r\n") continue;
    core_.ReportError("Fail to send command(start) :" + std::to_string(i + 1));
    return;
  }
}

void ATCommands::RunEndATList() {
  const StringList& list = core_.cfg.EndATList;
  for (size_t i = 0; i < list.size() && core_.Healthy(); ++i) {
    const std::string& entry = list[i];
    if (entry == "AT%RESET\r\n\r\n") {
      DiagModeOffline();
      DiagModeReset();
      continue;
    }
    if (Contains(entry, "AT%SLEEP")) {
      RunListSleep(entry);
      continue;
    }
    std::string reply;
    if (SendATCommand(entry, reply)) continue;
    if (entry == "AT+CDROM=1\r\n\r\n" || entry == "AT+ZRVRESET\r\n\r\n") {
      core_.ReportError("Fail to send command(end) :" + std::to_string(i + 1) + "[" + entry + "]");
      return;
    }
  }
}

int ATCommands::DiagModeChange(uint16_t mode, uint32_t replyBytes) {
  const uint8_t low = static_cast<uint8_t>(mode & 0xFF);
  for (int attempt = 0; attempt < kModeChangeAttempts; ++attempt) {
    if (!core_.Healthy()) return -1;
    FrameBuffer& frame = link_.Frame();
    frame.Clear();
    frame.AddEscaped(kDiagModeChange);
    frame.AddEscaped(low);
    frame.AddEscaped(static_cast<uint8_t>(mode >> 8));
    frame.FinishFrame();
    link_.SendFramed();
    std::array<uint8_t, 10> reply{};
    const uint32_t got = link_.ReadRaw(reply.data(), replyBytes);
    if (got >= 3 && reply[0] == kDiagModeChange && reply[1] == low && reply[2] == 0x00) return 0;
    if (mode == kModeOffline) {
      std::string line = "Offline cmd rec:";
      for (uint8_t b : reply) {
        char hex[4];
        std::snprintf(hex, sizeof hex, " %02X", b);
        line += hex;
      }
      LogLine(line);
    }
    if (!core_.Wait(kModeChangeRetryMs)) return -1;
  }
  return -1;
}

int ATCommands::DiagModeOffline() { return DiagModeChange(kModeOffline, 10); }

int ATCommands::DiagModeReset() { return DiagModeChange(kModeReset, 6); }

void ATCommands::ShowModemVersion() {
  std::string version;
  const bool ok = core_.hModemPort && SendATQuery(*core_.hModemPort, core_.clock, kQueryVersion, version);
  const std::string text = ok ? "Version:" + version : std::string("Version:");
  if (auto* view = dynamic_cast<ModemVersionView*>(core_.host))
    view->SetVersionLabel(text);
  else
    LogLine(text);
}

}  // namespace zovir
