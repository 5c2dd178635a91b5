#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "discovery/at_result.h"
#include "engine/engine_core.h"
#include "engine/phases.h"
#include "link/link.h"

namespace zovir {

// Which stored value a value write sends (and how its "ERROR" answer is judged).
enum class ATValueSelector {
  Raw = -1,  // the prefix alone: it carries its own line end
  SN,
  ESN,
  IMEI,
  IMEI_1,
  MEID,
  BLUETOOTHADDR,
  SalesCount,
  WifiCal,
  SalesInfo,
  TESTINF,
  UIT87,
  UIT89,
  XOCal,  // one of the five oscillator calibration files
  CLLEN,
  ZRREQ,
  GMI,
  SIMLOCK,  // the value comes from the configuration, not from the backup
};

// Where the answer to one command lies in what the port gave after the command was written.
struct ATAnswer {
  ATFinal final = ATFinal::None;
  size_t start = 0;     // where the command's own reply begins (at its echo, when it has one)
  size_t pos = 0;       // offset of its final result line
  bool echoed = false;  // the modem repeated the command before answering
  // A complete answer without any echo was passed over as another command's (only when an
  // echo was expected).
  bool skippedUnechoed = false;
};

// The answer to `command` in `reply`. A modem that echoes repeats each command line before its
// answer, so an answer behind another command's echo is that command's, come late, and is
// passed over; so is a complete answer without an echo when `echoExpected` (the modem echoed
// before). Otherwise an answer without an echo is this command's (a modem that does not echo).
// A line starting with "AT" at the head of an answer is taken for an echo. A long command may
// come back cut short by the modem's line buffer.
ATAnswer FindAnswer(std::string_view command, std::string_view reply, bool echoExpected);

// The value of a query answered "OK" whose result line starts at `okPos`: for a command that
// contains "AT+CGDCONT?" the text from the first "+CGDCONT:" up to "OK" (empty when there is
// none); for any other command the text after the first ":" up to "OK", or from the start
// when there is no ":". Blanks and line ends before "OK" stay in the value.
std::string ATReplyValue(std::string_view command, std::string_view reply, size_t okPos);

// Reply clean-up.
std::string StripLineBreaks(std::string_view text);    // without CR and LF
std::string StripQuotes(std::string_view text);        // without CR, LF and '"'
std::string StripProjectReply(std::string_view text);  // without CR, LF, '"', '+' and "ZRVINF"

// Milliseconds of an "AT%SLEEP=<ms>" list entry (blanks and line ends around the number are
// ignored). Nothing for an entry without "=" or whose number is not a plain decimal that fits
// 32 bits.
bool ParseSleepEntry(std::string_view entry, uint32_t& ms);

// Shows the modem's firmware version in the window. A host that has a version label offers
// this interface besides EngineHost; without it the version becomes a log line.
class ModemVersionView {
 public:
  virtual ~ModemVersionView() = default;
  virtual void SetVersionLabel(const std::string& text) = 0;  // "Version:" + version
};

// The AT command port of a run: queries, value writes, the start and end command lists and
// the DIAG mode change they may ask for. An answer counts only when it came after its command
// was written: the port is purged before each command, and once the modem has echoed a
// command, only a final result behind the command's own echo counts. Keeps no state between
// calls beyond that and whether the last query was answered at all.
class ATCommands final : public ATChannel {
 public:
  static constexpr uint32_t kReplyLimitMs = 8000;
  static constexpr uint32_t kQueryReadSize = 511;   // per read; a 512-byte buffer with its end
  static constexpr uint32_t kValueReadSize = 1023;  // per read; a 1024-byte buffer with its end
  // A reply that grows beyond this without a final result line is not a modem's answer.
  static constexpr size_t kMaxReplyBytes = 64 * 1024;

  ATCommands(EngineCore& core, Link& link);

  // ATChannel
  bool SendATCommand(const std::string& command, std::string& reply) override;
  void RunStartATList() override;
  void RunEndATList() override;
  void ShowModemVersion() override;

  // Sends `prefix` + `value` + CR LF (the prefix alone for Raw; the configured SIMLOCK text
  // for SIMLOCK) and waits for "OK". `failure` becomes the engine error where the selector
  // calls for one.
  bool WriteATValue(const std::string& prefix, ATValueSelector selector, const std::string& value,
                    const std::string& failure);

  // A query that only looks: it polls at the quick interval and leaves no log line. True with
  // the value (as SendATCommand's, but never taken from the echo) when the modem answered "OK";
  // LastQueryAnswered() tells an "ERROR" from silence.
  bool LookUp(const std::string& command, std::string& value);

  // Whether the last SendATCommand or LookUp got a final result line (OK or ERROR). A query that failed
  // with an answer tells that the modem lacks the value; one that failed without an answer
  // (time-out, garbage, port lost) tells nothing about it.
  bool LastQueryAnswered() const { return lastQueryAnswered_; }

  int DiagModeOffline();  // 0, or -1 after 10 failed attempts
  int DiagModeReset();

 private:
  enum class Poll { Final, TimedOut, ReadFailed, Stopped, Overlong };
  bool WriteText(const std::string& text);
  bool ReadAvailable(uint32_t chunk, std::string& buffer);
  Poll PollReply(const std::string& command, uint32_t intervalMs, uint32_t chunk, std::string& buffer,
                 ATAnswer& answer);
  bool Query(const std::string& command, uint32_t intervalMs, bool withoutEcho, std::string& value);
  int DiagModeChange(uint16_t mode, uint32_t replyBytes);
  void RunListSleep(const std::string& entry);
  void LogLine(const std::string& text);

  EngineCore& core_;
  Link& link_;
  bool lastQueryAnswered_ = false;
  // The modem echoed a command on this port; then an answer without an echo is not ours.
  bool echoExpected_ = false;
  const SerialPort* echoPort_ = nullptr;
};

}  // namespace zovir
