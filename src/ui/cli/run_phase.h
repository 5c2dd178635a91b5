#pragma once
#include <string>

namespace zovir::cli {

// The stages of an update as a person follows them.
enum class Phase { Waiting, Backup, BootLoader, Programmer, Images, Restart, Restore, Done };

// "backup", "boot loader", ...: the text shown and the name in JSON events ("boot_loader").
const char* PhaseText(Phase phase);
const char* PhaseKey(Phase phase);

// Turns the engine's status lines and progress positions into the phase of the run and the
// whole run's progress (0-100). The engine's own position stands still during the backup and
// jumps over the restart; the share of each phase here follows where the time goes in a
// typical run. Never goes backwards within a run; a new run (a re-update) starts afresh.
class PhaseTracker {
 public:
  // True when the phase or the percent changed.
  bool OnLine(const std::string& text);
  bool OnPosition(int enginePosition);
  Phase phase() const { return phase_; }
  int percent() const { return percent_; }
  // Whether the images are being written: the only phase whose remaining time is known.
  bool Transferring() const { return phase_ == Phase::Images; }

 private:
  bool Advance(Phase phase, int percent);
  Phase phase_ = Phase::Waiting;
  int percent_ = 0;
  int efsFiles_ = 0;
};

}  // namespace zovir::cli
