#pragma once
#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "engine/engine_types.h"
#include "ui/cli/run_phase.h"
#include "ui/session/run_history.h"

namespace zovir::cli {

// The version of the JSON event schema (docs/json-events.md); raised only when a field changes
// its meaning or goes away.
inline constexpr int kJsonSchemaVersion = 1;

using session::ErrorMeaning;
using session::RunResult;
using session::TimeStamp;

// How the command line shows an update: a progress line per slot on a terminal, plain lines in
// a pipe or a log, or one JSON object per event. Every method may be called from any thread;
// each event is written whole. Writes to a closed output are dropped.
class CliOutput {
 public:
  enum class Style { Terminal, Plain, Json };
  // `verbose`: every line of the engine and the controller, not just what a person needs.
  explicit CliOutput(Style style, std::FILE* out = stdout, bool verbose = false);

  Style style() const { return style_; }
  bool verbose() const { return verbose_; }
  // Several slots: lines carry their slot and every slot gets a progress line of its own.
  void SetSlots(int slots);
  // The total bytes of a slot's images, for the transfer rate.
  void SetTotalBytes(int slot, uint64_t bytes);

  // A line of the engine or the controller: shown with -v (errors and the final PASS always),
  // followed for the phase, always in JSON.
  void StatusLine(int slot, const std::string& text, MESSAGE_TYPE kind);
  void Error(int slot, const std::string& text);
  // The engine's progress position (0-100).
  void Progress(int slot, int position);
  void Result(int slot, const RunResult& result);
  // A message box of the tool, shown as a line ("[caption] text"; the text alone without one).
  void Message(const std::string& caption, const std::string& text);
  // A line of the front end itself (not an engine report), always shown.
  void Note(const std::string& text);
  void Note(int slot, const std::string& text);
  // A line shown only with -v (a "note" event in JSON).
  void Detail(int slot, const std::string& text);
  // An event with fields of its own; the line `text` in the text styles (none when empty).
  void Event(std::optional<int> slot, const std::string& name, nlohmann::json fields, const std::string& text = "");
  // Ends the progress lines: the lines that follow (results, verification) stand alone.
  void Finish();
  // Clears the progress lines for text written around this output (a question); they come
  // back with the next line.
  void ClearProgressLine();

  // Counters for measurements: progress redraws written and progress events sent.
  int Redraws() const { return redraws_; }

 private:
  struct Bar {
    PhaseTracker tracker;
    uint64_t totalBytes = 0;
    int enginePosition = 0;
    std::chrono::steady_clock::time_point started{};
    std::chrono::steady_clock::time_point transferStart{};
    bool transferStarted = false;
  };
  void Emit(std::optional<int> slot, const std::string& name, nlohmann::json fields);
  void Line(int slot, const std::string& text, const char* colour);
  void PhaseChanged(int slot, Bar& bar, bool phaseNew);
  void DrawBars(bool force);
  std::string BarText(int slot, const Bar& bar) const;
  void ClearBars();
  void Write(const std::string& text);

  Style style_;
  bool verbose_;
  std::FILE* out_;
  mutable std::mutex mutex_;
  std::map<int, Bar> bars_;
  int shownLines_ = 0;  // progress lines on the screen below the last text line
  std::chrono::steady_clock::time_point lastDraw_{};
  bool finished_ = false;
  bool multiSlot_ = false;
  int redraws_ = 0;
};

}  // namespace zovir::cli
