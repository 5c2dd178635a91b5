#include "ui/session/run_history.h"

#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>

#include "engine/engine_types.h"
#include "platform/clock.h"
#include "platform/private_files.h"
#include "ui/work_folders.h"

namespace zovir::session {
namespace fs = std::filesystem;

namespace {
// A history larger than this is not read whole (a file grown by accident, or not ours).
constexpr std::uintmax_t kMaxReadBytes = 64u << 20;
}  // namespace

std::string ErrorMeaning(int errorCode) {
  if (errorCode == 0) return "";
  if (errorCode == ERR_USER_STOP) return "stopped by the user";
  if (errorCode == ERR_GENERIC_FAILURE) return "the update failed (no system error behind it)";
  if (errorCode < 0) return "the update failed";
  return std::string("system error: ") + std::strerror(errorCode);
}

std::string TimeStamp(std::chrono::system_clock::time_point when) {
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(when.time_since_epoch()).count();
  std::tm tm{};
  UtcCalendarTime(ms / 1000, tm);
  char buffer[96];
  std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900, tm.tm_mon + 1,
                tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(ms % 1000));
  return buffer;
}

std::string RunHistory::PathFor(const std::string& logDir) {
  return (fs::path(logDir).parent_path() / "history.jsonl").string();
}

nlohmann::json ToJson(const HistoryEntry& e) {
  const RunResult& r = e.result;
  return {{"time", e.time},
          {"slot", e.slot},
          {"device", e.device},
          {"serial_number", r.serialNumber},
          {"packet_version", r.packetVersion},
          {"result", r.result},
          {"error_code", r.errorCode},
          {"error", r.error},
          {"firmware_before", r.firmwareBefore},
          {"firmware_after", r.firmwareAfter},
          {"verification", r.verification},
          {"verification_note", r.verificationNote},
          {"backup_folder", r.backupFolder},
          {"log", r.logPath}};
}

bool RunHistory::Append(const HistoryEntry& entry) const {
  try {
    CreateFolderPath(fs::path(path_).parent_path().string());
  } catch (const StartupError&) {
    return false;
  }
  // Several runs may end at once: each line goes in whole.
  return AppendToFile(path_, ToJson(entry).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n");
}

std::vector<HistoryEntry> RunHistory::Read() const {
  std::vector<HistoryEntry> out;
  std::error_code ec;
  if (!fs::is_regular_file(path_, ec) || fs::file_size(path_, ec) > kMaxReadBytes) return out;
  std::ifstream in{fs::path(path_)};
  std::string line;
  while (std::getline(in, line)) {
    const auto j = nlohmann::json::parse(line, nullptr, false);
    if (!j.is_object()) continue;
    auto text = [&j](const char* key) { return j.contains(key) && j[key].is_string() ? j[key].get<std::string>() : ""; };
    auto number = [&j](const char* key) { return j.contains(key) && j[key].is_number_integer() ? j[key].get<int>() : 0; };
    HistoryEntry e;
    e.time = text("time");
    e.slot = number("slot");
    e.device = text("device");
    e.result = RunResult{text("result"),         number("error_code"), text("error"),
                         text("serial_number"),  text("packet_version"), text("firmware_before"),
                         text("firmware_after"), text("verification"), text("verification_note"),
                         text("backup_folder"),  text("log"), {}};
    out.push_back(std::move(e));
  }
  return out;
}

}  // namespace zovir::session
