#include "ui/cli/run_phase.h"

#include <algorithm>

namespace zovir::cli {
namespace {

bool StartsWith(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

// Where each phase begins in the whole run, in percent.
constexpr int kBackupAt = 0, kBootLoaderAt = 14, kProgrammerAt = 16, kImagesAt = 20, kRestartAt = 82,
              kRestoreAt = 90;

}  // namespace

const char* PhaseText(Phase phase) {
  switch (phase) {
    case Phase::Waiting: return "waiting";
    case Phase::Backup: return "backup";
    case Phase::BootLoader: return "boot loader";
    case Phase::Programmer: return "programmer";
    case Phase::Images: return "images";
    case Phase::Restart: return "restart";
    case Phase::Restore: return "restore";
    case Phase::Done: return "done";
  }
  return "waiting";
}

const char* PhaseKey(Phase phase) { return phase == Phase::BootLoader ? "boot_loader" : PhaseText(phase); }

bool PhaseTracker::Advance(Phase phase, int percent) {
  if (phase < phase_) return false;
  percent = std::clamp(percent, 0, 100);
  if (phase == phase_ && percent <= percent_) return false;
  phase_ = phase;
  percent_ = std::max(percent_, percent);
  return true;
}

bool PhaseTracker::OnLine(const std::string& text) {
  if (text == "Start succssfully") {
    // A new run (the first, a re-update or a repeat) starts from nothing.
    const bool changed = phase_ != Phase::Backup || percent_ != 0;
    phase_ = Phase::Backup;
    percent_ = kBackupAt;
    efsFiles_ = 0;
    return changed;
  }
  if (phase_ == Phase::Waiting || phase_ == Phase::Done) return false;
  if (StartsWith(text, "Read SN")) return Advance(Phase::Backup, 1);
  if (text == "Backup NV Start.") return Advance(Phase::Backup, 3);
  if (text == "Backup succssfully") return Advance(Phase::Backup, 10);
  if (StartsWith(text, "Downloading Part of EFS") && phase_ == Phase::Backup)
    return Advance(Phase::Backup, std::min(kBootLoaderAt - 1, 10 + ++efsFiles_));
  if (text == "Switch to Download Mode successfully") return Advance(Phase::BootLoader, kBootLoaderAt);
  if (text == "Sending RAM program...") return Advance(Phase::Programmer, kProgrammerAt);
  if (text == "Send reset command" || StartsWith(text, "Reset or power off")) return Advance(Phase::Restart, kRestartAt);
  if (text == "PASS") return Advance(Phase::Done, 100);
  return false;
}

bool PhaseTracker::OnPosition(int position) {
  if (phase_ == Phase::Waiting || phase_ == Phase::Done) return false;
  if (position <= 0) return false;
  if (position < 10) return Advance(Phase::Programmer, kProgrammerAt + (position >= 5 ? 1 : 0));
  if (position <= 80)
    return Advance(Phase::Images, kImagesAt + (position - 10) * (kRestartAt - kImagesAt) / 70);
  if (position < 90) return Advance(Phase::Restart, kRestartAt + (position - 80) * (kRestoreAt - kRestartAt) / 10);
  if (position < 100) return Advance(Phase::Restore, kRestoreAt + (position - 90) * (100 - kRestoreAt) / 10);
  return Advance(Phase::Restore, 99);
}

}  // namespace zovir::cli
