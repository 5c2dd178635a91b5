#include "preservation/at_channel.h"

#include <array>
#include <cstdio>

#include "common/text.h"
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

std::string Without(std::string_view text, std::string_view drop) {
  std::string out;
  out.reserve(text.size());
  for (char c : text)
    if (drop.find(c) == std::string_view::npos) out.push_back(c);
  return out;
}

// The line a modem that echoes repeats: the command up to its first line end (blanks around it
// aside, as around every line of a reply).
std::string_view EchoOf(std::string_view command) {
  return TrimBlanks(command.substr(0, command.find_first_of("\r\n")));
}

bool StartsWithAT(std::string_view line) {
  return line.size() >= 2 && (line[0] == 'A' || line[0] == 'a') && (line[1] == 'T' || line[1] == 't');
}

// A modem's line buffer is finite: a long command may come back cut short. A cut echo this long
// cannot be a shorter command's (the bare "AT" of a probe is a prefix of every command).
constexpr size_t kShortestCutEcho = 128;

bool IsEchoOf(std::string_view line, std::string_view echo) {
  // Characters of an unfinished line the modem still held come before the command's own.
  if (line.ends_with(echo)) return true;
  return line.size() >= kShortestCutEcho && echo.starts_with(line);
}

// Commands with a basic part ("ATE0", "ATZ", "AT&F") may switch the echo on or off.
bool MayChangeEcho(std::string_view command) {
  const std::string_view echo = EchoOf(command);
  if (!StartsWithAT(echo)) return false;
  const std::string_view rest = echo.substr(2);
  return !rest.empty() && rest.find_first_of("+^%$") != 0;
}

}  // namespace

ATAnswer FindAnswer(std::string_view command, std::string_view reply, bool echoExpected) {
  ATAnswer answer;
  const std::string_view echo = EchoOf(command);
  if (echo.empty()) {
    answer.final = FindFinalResult(reply, answer.pos);
    return answer;
  }
  // Line by line: answers of other commands (each up to its final result line) are passed
  // over until this command's echo, or, from a modem that does not echo, its first answer.
  enum class In { Between, Other, OtherUnechoed, Own } in = In::Between;
  size_t segment = 0;  // where the answer being looked at began
  size_t begin = 0;
  while (begin < reply.size()) {
    const size_t end = reply.find_first_of("\r\n", begin);
    if (end == std::string_view::npos) break;  // an unfinished line may still grow
    const std::string_view line = TrimBlanks(reply.substr(begin, end - begin));
    const size_t lineAt = begin;
    begin = end + 1;
    if (line.empty()) continue;
    const ATFinal final = FinalResultOfLine(line);
    // Also behind lines that seemed to start an answer without an echo (an unsolicited result
    // code the modem sent before it took the command), and behind an earlier echo of the same
    // command whose answer never ended.
    if (StartsWithAT(line) && IsEchoOf(line, echo)) {
      in = In::Own;
      answer.start = lineAt;
      answer.echoed = true;
      continue;
    }
    if (in == In::Between) {
      if (StartsWithAT(line)) {
        in = In::Other;
        continue;
      }
      if (echoExpected) {
        in = In::OtherUnechoed;
      } else {
        in = In::Own;
        answer.start = segment;
      }
    }
    if (final == ATFinal::None) continue;
    if (in == In::Own) {
      answer.final = final;
      answer.pos = static_cast<size_t>(line.data() - reply.data());
      return answer;
    }
    if (in == In::OtherUnechoed) answer.skippedUnechoed = true;
    in = In::Between;
    segment = begin;
  }
  return answer;
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
  // What the port holds before the command is written cannot be its answer. A purge that fails
  // leaves the echo to tell; the write and the reads report a port that is gone.
  port->Purge(PURGE_RXABORT | PURGE_RXCLEAR);
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
ATCommands::Poll ATCommands::PollReply(const std::string& command, uint32_t intervalMs, uint32_t chunk,
                                       std::string& buffer, ATAnswer& answer) {
  // The modem's echo is learned per port; a command that may switch it is judged without it
  // and teaches nothing.
  if (core_.hModemPort.get() != echoPort_) {
    echoPort_ = core_.hModemPort.get();
    echoExpected_ = false;
  }
  const bool switchesEcho = MayChangeEcho(command);
  if (switchesEcho) echoExpected_ = false;
  const uint64_t start = core_.clock.NowMs();
  Poll poll = Poll::TimedOut;
  while (core_.clock.NowMs() - start < kReplyLimitMs) {
    if (!core_.Wait(intervalMs)) {
      poll = Poll::Stopped;
      break;
    }
    if (!ReadAvailable(chunk, buffer)) {
      poll = Poll::ReadFailed;
      break;
    }
    answer = FindAnswer(command, buffer, echoExpected_);
    if (answer.final != ATFinal::None) {
      poll = Poll::Final;
      break;
    }
    if (buffer.size() > kMaxReplyBytes) {
      poll = Poll::Overlong;
      break;
    }
  }
  if (poll == Poll::Final && answer.echoed && !switchesEcho) echoExpected_ = true;
  // Answers without an echo and none of our own: the modem no longer echoes (the command
  // itself failed; the next is judged without the echo).
  if (poll == Poll::TimedOut && answer.skippedUnechoed) echoExpected_ = false;
  return poll;
}

bool ATCommands::Query(const std::string& command, uint32_t intervalMs, bool withoutEcho, std::string& value) {
  if (!WriteText(command)) core_.ReportError("Could not send command to serial port");
  std::string buffer;
  ATAnswer answer;
  const Poll poll = PollReply(command, intervalMs, kQueryReadSize, buffer, answer);
  lastQueryAnswered_ = poll == Poll::Final;
  if (poll == Poll::ReadFailed) {
    core_.ReportError("Could not read from serial port");
    return false;
  }
  if (poll != Poll::Final || answer.final != ATFinal::Ok) return false;
  size_t from = answer.start;
  if (withoutEcho && answer.echoed) from = buffer.find_first_of("\r\n", from) + 1;  // the echo line has ended
  value = ATReplyValue(command, std::string_view(buffer).substr(from), answer.pos - from);
  return true;
}

bool ATCommands::SendATCommand(const std::string& command, std::string& reply) {
  const bool quick = Contains(command, "bootloader") || core_.cfg.bFastSpeedDownload;
  if (!Query(command, quick ? kQueryFastIntervalMs : kQueryIntervalMs, false, reply)) return false;
  LogLine("Read......");
  return true;
}

bool ATCommands::LookUp(const std::string& command, std::string& value) {
  return Query(command, kQueryFastIntervalMs, true, value);
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
  ATAnswer answer;
  const Poll poll = PollReply(command, core_.cfg.bFastSpeedDownload ? kValueFastIntervalMs : kValueIntervalMs,
                              kValueReadSize, buffer, answer);
  if (poll == Poll::ReadFailed || poll == Poll::Stopped) return false;
  if (poll == Poll::Final && answer.final == ATFinal::Ok) return true;
  if (poll == Poll::Final && answer.final == ATFinal::Error) {
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
  // An answer that came late for an earlier command is no version.
  if (core_.hModemPort) core_.hModemPort->Purge(PURGE_RXABORT | PURGE_RXCLEAR);
  const bool ok = core_.hModemPort && SendATQuery(*core_.hModemPort, core_.clock, kQueryVersion, version);
  const std::string text = ok ? "Version:" + version : std::string("Version:");
  if (auto* view = dynamic_cast<ModemVersionView*>(core_.host))
    view->SetVersionLabel(text);
  else
    LogLine(text);
}

}  // namespace zovir
