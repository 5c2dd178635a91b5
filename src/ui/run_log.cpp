#include "ui/run_log.h"

#include <ctime>

#include "platform/clock.h"
#include "platform/regular_file.h"

namespace zovir {

RunLog::~RunLog() { CloseRunLog(); }

bool RunLog::OpenRunLog(const std::string& path) {
  std::lock_guard lock(mutex_);
  if (file_) std::fclose(file_);
  file_ = OpenStdioFile(path, "wb");
  path_ = path;
  return file_ != nullptr;
}

void RunLog::WriteLogLine(const std::string& text) {
  std::lock_guard lock(mutex_);
  if (!file_) return;
  const std::string line = text + "\r\n";
  std::fwrite(line.data(), 1, line.size(), file_);
  std::fflush(file_);
}

void RunLog::CloseRunLog() {
  std::lock_guard lock(mutex_);
  if (file_) std::fclose(file_);
  file_ = nullptr;
}

bool RunLog::IsOpen() const {
  std::lock_guard lock(mutex_);
  return file_ != nullptr;
}

std::string RunLog::LogFilePath() const {
  std::lock_guard lock(mutex_);
  return path_;
}

std::string RunLogFileName(const std::string& caption, int64_t wallSeconds) {
  std::tm tm{};
  LocalCalendarTime(wallSeconds, tm);
  char stamp[64];
  std::strftime(stamp, sizeof stamp, "%Y/%m/%d %H:%M:%S", &tm);
  std::string name = caption + "(" + stamp + ").log";
  for (auto& c : name) {
    if (c == '/') c = '_';
    else if (c == ':') c = ';';
    else if (c == '\\' || static_cast<unsigned char>(c) < 0x20) c = '_';
  }
  return name;
}

}  // namespace zovir
