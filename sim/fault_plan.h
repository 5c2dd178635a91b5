#pragma once
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace zovir::sim {

// What a fault does to the one reply it hits.
enum class FaultKind {
  Silent,   // no reply at all (the command itself took effect; the reply was lost)
  Ignore,   // the command is lost before the device sees it: no effect, no reply
  Corrupt,  // one byte of the reply flipped (arg: index on the wire, default the reply code)
  Nak,      // the protocol's negative answer instead (DIAG 13+echo, streaming 0D error packet,
            // Sahara end-of-image with an error status, AT "ERROR")
  Wrong,    // a well-formed reply carrying a different command code
  Status,   // the reply's status field set to arg (partition table, open, end-of-image, done)
  Delay,    // the reply after arg ms
  Drop,     // one byte of the reply left out (arg: index on the wire, default 1)
  Split,    // the reply in pieces of arg bytes (default 1), a few ms apart
  Vanish,   // the port disappears instead of replying; comes back after arg ms (0: never)
  Repeat,   // (sahara:read) the loader did not take the piece it got and asks for it again
};

struct FaultRule {
  std::string key;        // command key, e.g. "write", "diag:3a", "sahara:read"
  uint32_t first = 1;     // first occurrence hit (1-based)
  uint32_t count = 1;     // how many occurrences from `first` (0: all later ones)
  FaultKind kind = FaultKind::Silent;
  int arg = -1;           // kind-specific, -1 when not given
};

// Faults per command key and occurrence. The modem asks Hit() once per reply it is about to
// send (or, for data received, once per unit taken); the plan counts occurrences per key.
//
// SPEC syntax (one rule per --fault option, or several joined by ','):
//   KEY[@N[+|xC]]=KIND[:ARG]
//   N   the occurrence hit, counted from 1 per key (default 1)
//   N+  occurrence N and every later one;  NxC  C occurrences starting at N
//   KIND silent | ignore | corrupt[:i] | nak | error | wrong | status:S | delay:MS | drop[:i]
//        | split[:n] | vanish[:MS] | repeat
// Keys: diag:XX (DIAG command byte, hex), diag:4b:SS (subsystem), sahara:hello,
// sahara:read, sahara:end, sahara:done, dmss:nop, dmss:version, dmss:param, hello, security,
// ptable, open, write, close, reset, poweroff, fast-reset, fast-request, fast-block,
// fast-flash, at:CMD (e.g. at:+CGMR, at:AT for the bare "AT").
class FaultPlan {
 public:
  FaultPlan() = default;
  FaultPlan(const FaultPlan& other);
  FaultPlan& operator=(const FaultPlan& other);

  void Add(FaultRule rule);
  // Parses SPEC; returns an error text (empty when all rules were taken).
  std::string AddSpec(const std::string& spec);

  // Counts one occurrence of `key` and returns the rule that hits it, if any.
  std::optional<FaultRule> Hit(const std::string& key);
  // The rule that the next occurrence of `key` would hit, without counting it.
  std::optional<FaultRule> Peek(const std::string& key) const;
  // Occurrences counted so far for a key.
  uint32_t Count(const std::string& key) const;
  // Rules that have fired so far (in order).
  std::vector<FaultRule> Fired() const;

 private:
  mutable std::mutex mu_;
  std::vector<FaultRule> rules_;
  std::map<std::string, uint32_t> counts_;
  std::vector<FaultRule> fired_;
};

const char* FaultKindName(FaultKind kind);

}  // namespace zovir::sim
