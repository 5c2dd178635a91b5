#pragma once
#include <cstdio>
#include <mutex>
#include <string>

namespace zovir {

// The run log: one file per update. Opened, written and closed under one lock, so that a
// line written from an engine thread never meets a half-closed file and lines never mix.
class RunLog {
 public:
  RunLog() = default;
  ~RunLog();
  RunLog(const RunLog&) = delete;
  RunLog& operator=(const RunLog&) = delete;

  // Creates `path` anew (replacing a file of that name). False when it cannot be created;
  // the log then stays closed.
  bool OpenRunLog(const std::string& path);
  // Appends the text and "\r\n" in one write; nothing when the log is closed.
  void WriteLogLine(const std::string& text);
  void CloseRunLog();
  bool IsOpen() const;
  std::string LogFilePath() const;

 private:
  mutable std::mutex mutex_;
  std::FILE* file_ = nullptr;
  std::string path_;
};

// "<caption>(<date> <time>).log" with every "/" replaced by "_" and every ":" by ";". Path
// separators and control characters in the caption become "_" too, so that the file stays
// in its folder.
std::string RunLogFileName(const std::string& caption, int64_t wallSeconds);

}  // namespace zovir
