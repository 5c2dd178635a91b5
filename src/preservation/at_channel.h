#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

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

// How far a reply has come.
enum class ATFinal { None, Ok, Error };

// Looks for the first final result line of `reply`: a complete line (ended by CR or LF) that
// reads "OK", "ERROR", "+CME ERROR: ..." or "+CMS ERROR: ...". An "OK" or "ERROR" inside a
// value or an echoed command is not one. `pos` receives the offset of that line's text.
ATFinal FindFinalResult(std::string_view reply, size_t& pos);

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
// the DIAG mode change they may ask for. Keeps no state between calls beyond whether the last
// query was answered at all.
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

  // Whether the last SendATCommand got a final result line (OK or ERROR). A query that failed
  // with an answer tells that the modem lacks the value; one that failed without an answer
  // (time-out, garbage, port lost) tells nothing about it.
  bool LastQueryAnswered() const { return lastQueryAnswered_; }

  int DiagModeOffline();  // 0, or -1 after 10 failed attempts
  int DiagModeReset();

 private:
  enum class Poll { Final, TimedOut, ReadFailed, Stopped, Overlong };
  bool WriteText(const std::string& text);
  bool ReadAvailable(uint32_t chunk, std::string& buffer);
  Poll PollReply(uint32_t intervalMs, uint32_t chunk, std::string& buffer, ATFinal& final, size_t& pos);
  int DiagModeChange(uint16_t mode, uint32_t replyBytes);
  void RunListSleep(const std::string& entry);
  void LogLine(const std::string& text);

  EngineCore& core_;
  Link& link_;
  bool lastQueryAnswered_ = false;
};

}  // namespace zovir
