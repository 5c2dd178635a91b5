#pragma once
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/processes.h"
#include "ui/controller.h"

namespace zovir {

inline constexpr const char* kSingleInstanceName = "Downloading_Mutex";
inline constexpr const char* kAlreadyRunningText = "Upgrading procedures have been in operation!";
inline constexpr const char* kWelcomeText = "Welcome to Quorvel_ZOVIR!!";

// The one copy of the tool: holds its named lock for the life of the object (the process).
class SingleInstance {
 public:
  explicit SingleInstance(Processes& processes);
  // True when another copy held the lock: show kAlreadyRunningText and end with exit code 1.
  bool AnotherCopyRuns() const { return !lock_ || lock_->AlreadyExisted(); }

 private:
  std::unique_ptr<NamedLock> lock_;
};

// The connection-manager programs of the modem that must not run beside the tool.
struct CompanionCheck {
  bool companionRuns = false;
  std::vector<std::unique_ptr<NamedLock>> held;  // kept for the life of the process
};

// The title variant creates the three program locks and shows its message for each that
// existed; every other variant creates the three and the installer's lock in order and stops
// at the first that existed. Messages go to `view`.
CompanionCheck CheckCompanionPrograms(Processes& processes, const ProjectConfiguration& config, View& view);

// What start-up needs from the front end besides the controller.
struct StartupSteps {
  std::string configPath;  // Config.ini in the work folder; empty: the controller's configuration as set
  // Unpacks the payload into the work folder after the configuration was read.
  std::function<bool(ProjectConfiguration&)> writePayload;
  // Unpacks the second packet (Packet 2); returns the path of its Config.ini.
  std::function<std::string(ProjectConfiguration&)> writeSecondPacket;
  // A front end with wizard windows of its own shows the page here (true: accepted); empty:
  // the page goes to View::ShowWizard as a question.
  std::function<bool(WizardPage)> showWizard;
  // Starts the USB boot download ([DownloadItems] bSwitchFastbootMode).
  std::function<void()> startUsbBoot;
};

struct StartupResult {
  bool endRequested = false;
  bool watcherStarted = false;
  CompanionCheck companions;
};

// The page a variant's wizard shows and what it asks to accept.
WizardPrompt WizardPromptOf(WizardPage page, const ProjectConfiguration& config);

// The construction of the main window in its fixed order: configuration, payload, ports,
// kept values, idle controls, option summary and image checks, second packet, variant gate,
// default header, watcher, Timer1, USB boot download. Wizard pages go to View::ShowWizard.
// A controller that only checks (ControllerOptions::checkOnly) shows no wizard page (they ask
// consent to the update), starts nothing (no update for project type 41, no USB boot
// download) and watches the modem whatever the project type.
StartupResult RunStartup(Controller& controller, View& view, Processes& processes, const StartupSteps& steps);

}  // namespace zovir
