#pragma once
#include <functional>
#include <memory>
#include <string>

#include "platform/system_services.h"

namespace zovir::session {

// What keeps the desktop out of one update's way, for as long as the object lives: first the
// modem manager is told to leave the modem's USB device alone (before any port of the update
// is opened), then sleep, shutdown and idle are blocked; they are given back in the opposite
// order. Either may be missing (no such service, a virtual modem): the update goes on.
class UpdateGuard {
 public:
  UpdateGuard(SystemServices& services, const std::string& usbSystemPath, const SystemServices::Log& log);
  ~UpdateGuard();
  UpdateGuard(const UpdateGuard&) = delete;
  UpdateGuard& operator=(const UpdateGuard&) = delete;

  bool ModemManagerHeld() const { return modemManager_ != nullptr; }
  bool SleepHeld() const { return sleep_ != nullptr; }

 private:
  std::unique_ptr<Held> modemManager_;
  std::unique_ptr<Held> sleep_;
};

}  // namespace zovir::session
