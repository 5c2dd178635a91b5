#pragma once
#include <string>
#include <vector>

#include "ui/cli/cli_output.h"

namespace zovir::cli {

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

}  // namespace zovir::cli
