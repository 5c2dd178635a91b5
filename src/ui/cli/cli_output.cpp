#include "ui/cli/cli_output.h"

#include <nlohmann/json.hpp>

#include <cstdio>

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

// Progress positions 10..80 are the image transfer; the rate is measured over that range.
constexpr int kTransferFrom = 10;
constexpr int kTransferTo = 80;

std::string FormatSeconds(double seconds) {
  if (seconds < 0 || seconds > 99 * 3600) return "--:--";
  const int s = static_cast<int>(seconds + 0.5);
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%02d:%02d", s / 60, s % 60);
  return buffer;
}

}  // namespace

CliOutput::CliOutput(Style style, std::FILE* out) : style_(style), out_(out) {}

void CliOutput::SetTotalBytes(int slot, uint64_t bytes) {
  std::lock_guard lock(mutex_);
  bars_[slot].totalBytes = bytes;
  multiSlot_ = bars_.size() > 1;
}

void CliOutput::Status(int slot, CommStatus status, const std::string& text, MESSAGE_TYPE kind) {
  if (style_ == Style::Json) {
    JsonEvent(nlohmann::json{{"event", "status"}, {"slot", slot}, {"status", static_cast<int>(status)},
                             {"kind", KindName(kind)}, {"text", text}}
                  .dump());
    return;
  }
  std::lock_guard lock(mutex_);
  Line(slot, text, kind == mtError ? "\033[31m" : kind == mtPass ? "\033[32m" : nullptr);
}

void CliOutput::StatusLine(int slot, const std::string& text, MESSAGE_TYPE kind) {
  if (style_ == Style::Json) {
    JsonEvent(
        nlohmann::json{{"event", "status"}, {"slot", slot}, {"kind", KindName(kind)}, {"text", text}}.dump());
    return;
  }
  std::lock_guard lock(mutex_);
  Line(slot, text, kind == mtError ? "\033[31m" : kind == mtPass ? "\033[32m" : nullptr);
}

void CliOutput::Error(int slot, const std::string& text) {
  if (style_ == Style::Json) {
    JsonEvent(nlohmann::json{{"event", "error"}, {"slot", slot}, {"text", text}}.dump());
    return;
  }
  std::lock_guard lock(mutex_);
  Line(slot, text, "\033[31m");
}

void CliOutput::Progress(int slot, int position) {
  if (style_ == Style::Json) {
    JsonEvent(nlohmann::json{{"event", "progress"}, {"slot", slot}, {"position", position}}.dump());
    return;
  }
  std::lock_guard lock(mutex_);
  Bar& bar = bars_[slot];
  bar.position = position;
  if (!bar.transferStarted && position >= kTransferFrom) {
    bar.transferStarted = true;
    bar.transferStart = std::chrono::steady_clock::now();
  }
  if (style_ == Style::Terminal && !multiSlot_ && !finished_) DrawBar(slot);
}

void CliOutput::Result(int slot, const std::string& result, int errorCode) {
  if (style_ == Style::Json) {
    JsonEvent(nlohmann::json{{"event", "result"}, {"slot", slot}, {"result", result}, {"error_code", errorCode}}.dump());
    return;
  }
  std::lock_guard lock(mutex_);
  Line(slot, "Result: " + result + (errorCode != 0 ? " (error code " + std::to_string(errorCode) + ")" : ""),
       result == "PASS" ? "\033[32m" : "\033[31m");
}

void CliOutput::Message(const std::string& caption, const std::string& text) {
  if (style_ == Style::Json) {
    JsonEvent(nlohmann::json{{"event", "message"}, {"caption", caption}, {"text", text}}.dump());
    return;
  }
  std::lock_guard lock(mutex_);
  Line(-1, caption.empty() ? text : "[" + caption + "] " + text, nullptr);
}

void CliOutput::Note(const std::string& text) {
  if (style_ == Style::Json) {
    JsonEvent(nlohmann::json{{"event", "note"}, {"text", text}}.dump());
    return;
  }
  std::lock_guard lock(mutex_);
  Line(-1, text, nullptr);
}

void CliOutput::Note(int slot, const std::string& text) {
  if (style_ == Style::Json) {
    JsonEvent(nlohmann::json{{"event", "note"}, {"slot", slot}, {"text", text}}.dump());
    return;
  }
  std::lock_guard lock(mutex_);
  Line(slot, text, nullptr);
}

void CliOutput::JsonEvent(const std::string& objectText) {
  std::lock_guard lock(mutex_);
  std::fprintf(out_, "%s\n", objectText.c_str());
  std::fflush(out_);
}

void CliOutput::Finish() {
  std::lock_guard lock(mutex_);
  finished_ = true;
  ClearBar();
}

void CliOutput::ClearProgressLine() {
  std::lock_guard lock(mutex_);
  ClearBar();
  std::fflush(out_);
}

void CliOutput::Line(int slot, const std::string& text, const char* colour) {
  ClearBar();
  const bool useColour = colour && style_ == Style::Terminal;
  std::string prefix = multiSlot_ && slot >= 0 ? "[slot " + std::to_string(slot) + "] " : "";
  std::fprintf(out_, "%s%s%s%s\n", useColour ? colour : "", prefix.c_str(), text.c_str(), useColour ? "\033[0m" : "");
  if (style_ == Style::Terminal && !multiSlot_ && !finished_ && slot >= 0 && bars_.count(slot)) DrawBar(slot);
  std::fflush(out_);
}

void CliOutput::DrawBar(int slot) {
  const Bar& bar = bars_[slot];
  constexpr int kWidth = 30;
  const int filled = bar.position * kWidth / 100;
  std::string cells(static_cast<size_t>(filled), '#');
  cells.resize(kWidth, '.');
  std::string rate = "", eta = "";
  if (bar.transferStarted && bar.totalBytes > 0 && bar.position > kTransferFrom) {
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - bar.transferStart).count();
    const double share = std::min(1.0, double(bar.position - kTransferFrom) / (kTransferTo - kTransferFrom));
    const double bytes = share * static_cast<double>(bar.totalBytes);
    if (elapsed > 0.05) {
      char buffer[48];
      std::snprintf(buffer, sizeof buffer, "  %.2f MB/s", bytes / elapsed / 1e6);
      rate = buffer;
      eta = "  " + FormatSeconds(share < 1.0 ? elapsed * (1.0 - share) / share : 0.0) + " left";
    }
  }
  std::fprintf(out_, "\r\033[K[%s] %3d%%%s%s", cells.c_str(), bar.position, rate.c_str(), eta.c_str());
  barShown_ = true;
  std::fflush(out_);
}

void CliOutput::ClearBar() {
  if (!barShown_) return;
  std::fprintf(out_, "\r\033[K");
  barShown_ = false;
}

}  // namespace zovir::cli
