#pragma once
#include <functional>
#include <memory>
#include <string>

#include "platform/system_services.h"
#include "ui/session/update_session.h"
#include "ui/startup.h"
#include "ui/qt/main_window.h"

namespace zovir {
class Controller;
namespace sim {
class VirtualModem;
}
namespace session {
struct VirtualFactory;
}
}  // namespace zovir

namespace zovir::qt {

struct GuiOptions {
  bool virtualModem = false;  // a virtual modem on pseudo-terminals, in this process
  std::string packet;         // a packet folder instead of the one the program carries
  std::string state;          // folder keeping the virtual modem's state between runs
  uint32_t watchIntervalMs = 2000;
  // The desktop's services an update holds off; empty: the system's own.
  std::function<std::unique_ptr<SystemServices>()> makeServices;
};

// One start of the window: the update session (single-instance lock, work folders, packet,
// guard, check after PASS, history), the ports (of a virtual modem with --virtual), the
// controller and the window, in the order of start-up.
class GuiSession {
 public:
  explicit GuiSession(GuiOptions options);
  ~GuiSession();
  GuiSession(const GuiSession&) = delete;
  GuiSession& operator=(const GuiSession&) = delete;

  // Lock, folders and configuration file. 0, or the exit code when the program must end
  // (its message shown).
  int Open();
  // Ports, controller and window, then start-up. `showWizard` shows a wizard page modally
  // (empty: the window's own wizards). False when start-up asked the program to end.
  bool Start(std::function<bool(WizardPage)> showWizard = {});

  TDudorIvoUiForm& window() { return *window_; }
  Controller& controller();
  sim::VirtualModem* modem();
  session::VirtualFactory& factory();
  // The virtual modem is unplugged (its ports vanish), or another one is plugged in: the
  // factory modem of `slot`, or, with a state folder, the modem kept there for that slot.
  void UnplugVirtualModem();
  void PlugVirtualModem(int slot);
  // The EFS paths the configuration preserves (what a virtual modem's check compares).
  std::vector<std::string> PreservedPaths() const;
  const std::string& PacketFolder() const;
  session::UpdateSession& updateSession();
  // The last run as the session saw it (guard, firmware check).
  const session::SessionSlot& runs() const;

 private:
  struct Parts;
  bool ShowWizard(WizardPage page);

  GuiOptions options_;
  std::unique_ptr<Parts> parts_;
  std::unique_ptr<TDudorIvoUiForm> window_;
};

}  // namespace zovir::qt
