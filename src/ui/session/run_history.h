#pragma once
#include <chrono>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace zovir::session {

// How one run ended, as the front ends show it and the history keeps it.
struct RunResult {
  std::string result;  // "PASS", "FAIL", "STOPPED"
  int errorCode = 0;
  std::string error;  // what the error code means; empty for PASS
  std::string serialNumber;
  std::string packetVersion;
  std::string firmwareBefore;
  std::string firmwareAfter;
  std::string verification;  // "verified", "version mismatch", "not checked"
  std::string verificationNote;  // why it was not checked
  std::string backupFolder;  // the backup kept for a later restore; empty when none
  std::string logPath;       // the run log
  std::vector<std::string> notPreserved;  // identity values the packet's backup leaves out
};

// The meaning of an engine error code: the user's Stop, a failure without a system error, or
// the system error's own text.
std::string ErrorMeaning(int errorCode);

// "2026-01-31T12:34:56.789Z".
std::string TimeStamp(std::chrono::system_clock::time_point when);

// One finished run as the history keeps it.
struct HistoryEntry {
  std::string time;  // TimeStamp() of the end
  int slot = 0;
  std::string device;  // the modem's ports or "virtual"
  RunResult result;
};

// Every run of this user, passing ones included: one JSON object a line in
// $XDG_STATE_HOME/quorvel-zovir/history.jsonl (beside the run logs). Lines are appended whole
// under an advisory lock, so that runs side by side never mix them; a damaged line is
// skipped when reading.
class RunHistory {
 public:
  explicit RunHistory(std::string path) : path_(std::move(path)) {}
  // The history file that goes with a run-log folder.
  static std::string PathFor(const std::string& logDir);

  // False when the line could not be written (the run's result stands).
  bool Append(const HistoryEntry& entry) const;
  std::vector<HistoryEntry> Read() const;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

nlohmann::json ToJson(const HistoryEntry& entry);

}  // namespace zovir::session
