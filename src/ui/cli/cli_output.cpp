#include "ui/cli/cli_output.h"

#include <cstring>
#include <ctime>

#include "platform/clock.h"

namespace zovir::cli {
namespace {

const char* KindName(MESSAGE_TYPE kind) {
  switch (kind) {
    case mtProgress: return "progress";
    case mtInfo: return "info";
    case mtError: return "error";
    case mtPass: return "pass";
  }
  return "info";
}

// Progress positions 10..80 of the engine are the image transfer; the rate is measured there.
constexpr int kTransferFrom = 10;
constexpr int kTransferTo = 80;
// A person reads no more than this; a faster redraw only fills the terminal's scroll-back.
constexpr auto kRedrawInterval = std::chrono::milliseconds(100);

std::string FormatSeconds(double seconds) {
  if (seconds < 0 || seconds > 99 * 3600) return "--:--";
  const int s = static_cast<int>(seconds + 0.5);
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%02d:%02d", s / 60, s % 60);
  return buffer;
}

}  // namespace

CliOutput::CliOutput(Style style, std::FILE* out, bool verbose) : style_(style), verbose_(verbose), out_(out) {}

void CliOutput::SetSlots(int slots) {
  std::lock_guard lock(mutex_);
  multiSlot_ = slots > 1;
  for (int i = 0; i < slots; ++i) bars_[i];
}

void CliOutput::SetTotalBytes(int slot, uint64_t bytes) {
  std::lock_guard lock(mutex_);
  bars_[slot].totalBytes = bytes;
}

void CliOutput::Emit(std::optional<int> slot, const std::string& name, nlohmann::json fields) {
  nlohmann::json event{{"event", name}, {"time", TimeStamp(std::chrono::system_clock::now())}};
  event["slot"] = slot ? nlohmann::json(*slot) : nlohmann::json(nullptr);
  for (auto& [key, value] : fields.items()) event[key] = std::move(value);
  Write(event.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n");
}

void CliOutput::Event(std::optional<int> slot, const std::string& name, nlohmann::json fields,
                      const std::string& text) {
  std::lock_guard lock(mutex_);
  if (style_ == Style::Json)
    Emit(slot, name, std::move(fields));
  else if (!text.empty())
    Line(slot.value_or(-1), text, nullptr);
}

void CliOutput::StatusLine(int slot, const std::string& text, MESSAGE_TYPE kind) {
  std::lock_guard lock(mutex_);
  Bar& bar = bars_[slot];
  const Phase before = bar.tracker.phase();
  const bool changed = bar.tracker.OnLine(text);
  if (style_ == Style::Json) {
    Emit(slot, "status", {{"kind", KindName(kind)}, {"text", text}});
  } else if (verbose_ || kind == mtError || kind == mtPass) {
    Line(slot, text, kind == mtError ? "\033[31m" : kind == mtPass ? "\033[32m" : nullptr);
  }
  if (changed) PhaseChanged(slot, bar, bar.tracker.phase() != before);
}

void CliOutput::Error(int slot, const std::string& text) {
  std::lock_guard lock(mutex_);
  if (style_ == Style::Json)
    Emit(slot, "error", {{"text", text}});
  else
    Line(slot, text, "\033[31m");
}

void CliOutput::Progress(int slot, int position) {
  std::lock_guard lock(mutex_);
  Bar& bar = bars_[slot];
  bar.enginePosition = position;
  if (!bar.transferStarted && position >= kTransferFrom) {
    bar.transferStarted = true;
    bar.transferStart = std::chrono::steady_clock::now();
  }
  const Phase before = bar.tracker.phase();
  if (bar.tracker.OnPosition(position)) PhaseChanged(slot, bar, bar.tracker.phase() != before);
}

void CliOutput::PhaseChanged(int slot, Bar& bar, bool phaseNew) {
  if (phaseNew && bar.tracker.phase() == Phase::Backup) {
    // A new run of this slot: its clock and rate start again.
    bar.started = std::chrono::steady_clock::now();
    bar.transferStarted = false;
  }
  if (style_ == Style::Json) {
    Emit(slot, "progress", {{"phase", PhaseKey(bar.tracker.phase())}, {"percent", bar.tracker.percent()}});
    return;
  }
  if (style_ == Style::Plain) {
    if (phaseNew && bar.tracker.phase() != Phase::Done)
      Line(slot, std::string("Phase: ") + PhaseText(bar.tracker.phase()), nullptr);
    return;
  }
  if (!finished_) DrawBars(phaseNew);
}

void CliOutput::Result(int slot, const RunResult& r) {
  std::lock_guard lock(mutex_);
  if (style_ == Style::Json) {
    Emit(slot, "result", {{"result", r.result},
                          {"error_code", r.errorCode},
                          {"error", r.error},
                          {"serial_number", r.serialNumber},
                          {"packet_version", r.packetVersion},
                          {"firmware_before", r.firmwareBefore},
                          {"firmware_after", r.firmwareAfter},
                          {"verification", r.verification},
                          {"verification_note", r.verificationNote},
                          {"backup_folder", r.backupFolder},
                          {"log", r.logPath},
                          {"not_preserved", r.notPreserved}});
    return;
  }
  std::string text = "Result: " + r.result;
  if (r.errorCode != 0) text += " (error code " + std::to_string(r.errorCode) + ": " + r.error + ")";
  Line(slot, text, r.result == "PASS" ? "\033[32m" : "\033[31m");
  if (!r.serialNumber.empty()) Line(slot, "  serial number: " + r.serialNumber, nullptr);
  if (!r.firmwareBefore.empty() || !r.firmwareAfter.empty())
    Line(slot,
         "  firmware: " + (r.firmwareBefore.empty() ? "?" : r.firmwareBefore) + " -> " +
             (r.firmwareAfter.empty() ? "?" : r.firmwareAfter) + " (" + r.verification +
             (r.verificationNote.empty() ? "" : ": " + r.verificationNote) + ")",
         nullptr);
  else if (r.result == "PASS" && !r.verificationNote.empty())
    Line(slot, "  firmware: not checked (" + r.verificationNote + ")", nullptr);
  if (!r.notPreserved.empty()) {
    std::string names;
    for (const auto& n : r.notPreserved) names += (names.empty() ? "" : ", ") + n;
    Line(slot, "  not preserved by this packet: " + names, nullptr);
  }
  if (!r.backupFolder.empty()) Line(slot, "  backup kept: " + r.backupFolder, nullptr);
  if (!r.logPath.empty()) Line(slot, "  run log: " + r.logPath, nullptr);
}

void CliOutput::Message(const std::string& caption, const std::string& text) {
  std::lock_guard lock(mutex_);
  if (style_ == Style::Json)
    Emit(std::nullopt, "message", {{"caption", caption}, {"text", text}});
  else
    Line(-1, caption.empty() ? text : "[" + caption + "] " + text, nullptr);
}

void CliOutput::Note(const std::string& text) {
  std::lock_guard lock(mutex_);
  if (style_ == Style::Json)
    Emit(std::nullopt, "note", {{"text", text}});
  else
    Line(-1, text, nullptr);
}

void CliOutput::Note(int slot, const std::string& text) {
  std::lock_guard lock(mutex_);
  if (style_ == Style::Json)
    Emit(slot, "note", {{"text", text}});
  else
    Line(slot, text, nullptr);
}

void CliOutput::Detail(int slot, const std::string& text) {
  std::lock_guard lock(mutex_);
  if (style_ == Style::Json)
    Emit(slot, "note", {{"text", text}});
  else if (verbose_)
    Line(slot, text, nullptr);
}

void CliOutput::Finish() {
  std::lock_guard lock(mutex_);
  finished_ = true;
  ClearBars();
  std::fflush(out_);
}

void CliOutput::ClearProgressLine() {
  std::lock_guard lock(mutex_);
  ClearBars();
  std::fflush(out_);
}

void CliOutput::Write(const std::string& text) {
  // A closed pipe (the reader went away) fails the write with EPIPE: the text is dropped and
  // the update goes on.
  std::fwrite(text.data(), 1, text.size(), out_);
  std::fflush(out_);
  std::clearerr(out_);
}

void CliOutput::Line(int slot, const std::string& text, const char* colour) {
  ClearBars();
  const bool useColour = colour && style_ == Style::Terminal;
  const std::string prefix = multiSlot_ && slot >= 0 ? "[slot " + std::to_string(slot) + "] " : "";
  Write((useColour ? colour : "") + prefix + text + (useColour ? "\033[0m" : "") + "\n");
  if (style_ == Style::Terminal && !finished_) DrawBars(true);
}

std::string CliOutput::BarText(int slot, const Bar& bar) const {
  constexpr int kWidth = 30;
  const Phase phase = bar.tracker.phase();
  const int percent = bar.tracker.percent();
  std::string cells(static_cast<size_t>(percent * kWidth / 100), '#');
  cells.resize(kWidth, '.');
  const auto now = std::chrono::steady_clock::now();
  std::string tail;
  if (bar.tracker.Transferring() && bar.transferStarted && bar.totalBytes > 0 && bar.enginePosition > kTransferFrom) {
    const double elapsed = std::chrono::duration<double>(now - bar.transferStart).count();
    const double share =
        std::min(1.0, double(bar.enginePosition - kTransferFrom) / (kTransferTo - kTransferFrom));
    if (elapsed > 0.05) {
      char buffer[80];
      std::snprintf(buffer, sizeof buffer, "  %.2f MB/s  images %s left",
                    share * static_cast<double>(bar.totalBytes) / elapsed / 1e6,
                    FormatSeconds(elapsed * (1.0 - share) / share).c_str());
      tail = buffer;
    }
  } else if (phase != Phase::Waiting) {
    tail = "  " + FormatSeconds(std::chrono::duration<double>(now - bar.started).count());
  }
  char head[48];
  std::snprintf(head, sizeof head, "%s%-11s ", multiSlot_ ? ("slot " + std::to_string(slot) + "  ").c_str() : "",
                PhaseText(phase));
  char line[200];
  std::snprintf(line, sizeof line, "%s[%s] %3d%%%s", head, cells.c_str(), percent, tail.c_str());
  return line;
}

void CliOutput::DrawBars(bool force) {
  // Only slots whose run began get a line; a single slot before its start shows none.
  std::string text;
  int lines = 0;
  for (const auto& [slot, bar] : bars_) {
    if (bar.tracker.phase() == Phase::Waiting && !multiSlot_) continue;
    text += (lines ? "\n" : "") + std::string("\033[K") + BarText(slot, bar);
    ++lines;
  }
  if (lines == 0) return;
  const auto now = std::chrono::steady_clock::now();
  if (!force && shownLines_ == lines && now - lastDraw_ < kRedrawInterval) return;
  lastDraw_ = now;
  std::string move = "\r";
  if (shownLines_ > 1) move += "\033[" + std::to_string(shownLines_ - 1) + "A";
  if (shownLines_ > lines) move += "\033[J";
  Write(move + text);
  shownLines_ = lines;
  ++redraws_;
}

void CliOutput::ClearBars() {
  if (shownLines_ == 0) return;
  std::string text = "\r\033[K";
  for (int i = 1; i < shownLines_; ++i) text += "\033[1A\033[K";
  Write(text);
  shownLines_ = 0;
}

}  // namespace zovir::cli
