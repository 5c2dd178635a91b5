#include "ui/session/update_guard.h"

namespace zovir::session {

UpdateGuard::UpdateGuard(SystemServices& services, const std::string& usbSystemPath, const SystemServices::Log& log)
    : modemManager_(usbSystemPath.empty() ? nullptr : services.InhibitModemManager(usbSystemPath, log)),
      sleep_(services.InhibitSleep("A modem's firmware is being written", log)) {}

UpdateGuard::~UpdateGuard() {
  sleep_.reset();
  modemManager_.reset();
}

}  // namespace zovir::session
