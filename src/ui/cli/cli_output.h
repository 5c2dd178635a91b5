#pragma once
#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>

#include "engine/engine_types.h"

namespace zovir::cli {

// How the command line shows an update: a progress bar on a terminal, plain lines in a pipe
// or a log, or one JSON object per event. Every method may be called from any thread; each
// event is written whole.
class CliOutput {
 public:
  enum class Style { Terminal, Plain, Json };
  explicit CliOutput(Style style, std::FILE* out = stdout);

  Style style() const { return style_; }
  // The total bytes of a slot's images, for the transfer rate.
  void SetTotalBytes(int slot, uint64_t bytes);

  void Status(int slot, CommStatus status, const std::string& text, MESSAGE_TYPE kind);
  // A status line as the controller shows it (no engine status attached).
  void StatusLine(int slot, const std::string& text, MESSAGE_TYPE kind);
  void Error(int slot, const std::string& text);
  void Progress(int slot, int position);
  void Result(int slot, const std::string& result, int errorCode);
  // A message box of the tool, shown as a line ("[caption] text"; the text alone without one).
  void Message(const std::string& caption, const std::string& text);
  // A line of the front end itself (not an engine report).
  void Note(const std::string& text);
  // A line of the front end about one slot.
  void Note(int slot, const std::string& text);
  // Structured extra facts for --json (e.g. verification), as a ready JSON object text.
  void JsonEvent(const std::string& objectText);
  // Ends the progress bars: the lines that follow (results, verification) stand alone.
  void Finish();
  // Clears the bar's line for text written around this output (a question); it comes back
  // with the next line.
  void ClearProgressLine();

 private:
  struct Bar {
    int position = 0;
    uint64_t totalBytes = 0;
    std::chrono::steady_clock::time_point transferStart{};
    bool transferStarted = false;
  };
  void Line(int slot, const std::string& text, const char* colour);
  void DrawBar(int slot);
  void ClearBar();

  Style style_;
  std::FILE* out_;
  std::mutex mutex_;
  std::map<int, Bar> bars_;
  bool barShown_ = false;
  bool finished_ = false;
  bool multiSlot_ = false;
};

}  // namespace zovir::cli
