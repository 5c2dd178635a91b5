#include "ui/startup.h"

#include "config/device_check_variants.h"

namespace zovir {

namespace {

constexpr const char* kProgramLocks[] = {"Mutex_KV_0_Modem", "Valmora3G_PellixModem_ShowModem", "ZRVUSBModem_Mutex"};
constexpr const char* kInstallerLock = "inno setup valmora sw";

class SinkToView final : public MessageSink {
 public:
  explicit SinkToView(View& view) : view_(view) {}
  void Show(const std::string& text, const std::string& caption, MessageButtons, MessageIcon) override {
    view_.Message(text, caption, MessageKind::Warning);
  }
  void Log(const std::string&) override {}

 private:
  View& view_;
};

}  // namespace

SingleInstance::SingleInstance(Processes& processes) : lock_(processes.CreateNamedLock(kSingleInstanceName)) {}

CompanionCheck CheckCompanionPrograms(Processes& processes, const ProjectConfiguration& config, View& view) {
  CompanionCheck check;
  const VariantTexts& texts = TextsOf(VariantOf(config));
  if (IsTitleVariant(config)) {
    for (const char* name : kProgramLocks) {
      auto lock = processes.CreateNamedLock(name);
      if (!lock || lock->AlreadyExisted()) {
        check.companionRuns = true;
        view.Message(texts.utilityRunning, texts.title, MessageKind::Plain);
      }
      if (lock) check.held.push_back(std::move(lock));
    }
    return check;
  }
  std::vector<const char*> names(std::begin(kProgramLocks), std::end(kProgramLocks));
  names.push_back(kInstallerLock);
  for (const char* name : names) {
    auto lock = processes.CreateNamedLock(name);
    const bool existed = !lock || lock->AlreadyExisted();
    if (lock) check.held.push_back(std::move(lock));
    if (existed) {
      check.companionRuns = true;
      if (IsJapaneseType(config))
        view.Message(texts.utilityRunning, texts.title, MessageKind::Plain);
      else
        view.Message("Utility is running,please exit the utility!", "Warning", MessageKind::Warning);
      break;
    }
  }
  return check;
}

WizardPrompt WizardPromptOf(WizardPage page, const ProjectConfiguration& config) {
  const VariantTexts& texts = TextsOf(VariantOf(config));
  switch (page) {
    case WizardPage::Guide:
      return {page, texts.title, "使用許諾契約に同意します。"};
    case WizardPage::Guide1:
      return {page, "Mobile Upgrade Guide", "I agree with the above terms and conditions"};
    case WizardPage::Guide2:
      if (config.ProjectType == 28)
        return {page, texts.title,
                "上記に同意していただける場合は”OK”ボタンをクリックしてアップデートを開始してください。"};
      return {page, texts.title, "使用許諾契約に同意します。"};
    case WizardPage::Guide3:
      return {page, texts.title, "我同意，我接受以上协议的所有条款。"};
  }
  return {page, texts.title, {}};
}

StartupResult RunStartup(Controller& controller, View& view, Processes& processes, const StartupSteps& steps) {
  StartupResult result;
  auto end = [&] {
    result.endRequested = true;
    controller.RequestEnd();
  };
  const bool checkOnly = controller.CheckOnly();
  auto wizard = [&](WizardPage page) {
    if (checkOnly) return true;
    const bool ok =
        steps.showWizard ? steps.showWizard(page) : view.ShowWizard(WizardPromptOf(page, controller.config()));
    if (!ok) end();
    return ok;
  };

  view.SetStatusLabel("", {});
  view.SetVersionLabel("");
  view.EnableSNEntry(false);

  if (!steps.configPath.empty()) controller.ReadConfiguration(steps.configPath);
  ProjectConfiguration& config = controller.config();
  if (steps.writePayload) steps.writePayload(config);
  controller.SetImageFolder(controller.ImageFolder());
  controller.DiscoverPorts();
  controller.ReadRegistryValues();
  controller.SetStartEnabled(false);
  view.EnableStop(false);
  view.ShowStartArt(StartArt::Idle);
  view.SetStatusBar(kWelcomeText);
  controller.ShowOptionSummary();
  view.SetStatusLabel(IsJapaneseType(config) ? "準備中" : "Not Ready", {LabelColor::Black, IsJapaneseType(config)});

  if (config.Packet == 2 && steps.writeSecondPacket) {
    SinkToView sink(view);
    const std::string secondConfig = steps.writeSecondPacket(config);
    if (!CheckSecondPackage(config, secondConfig, sink)) end();
  }

  const int type = config.ProjectType;
  const VariantTexts& texts = TextsOf(VariantOf(config));
  bool defaultHeader = false;
  if (IsTitleVariant(config)) {
    result.companions = CheckCompanionPrograms(processes, config, view);
    if (result.companions.companionRuns) end();
    view.SetTitle(texts.title, false);
    wizard(WizardPage::Guide2);
  } else if (type == 2 || type == 6) {
    view.SetTitle(texts.title, false);
    wizard(WizardPage::Guide);
  } else if (type == 19) {
    defaultHeader = wizard(WizardPage::Guide1);
  } else if (type == 41) {
    if (wizard(WizardPage::Guide3) && !checkOnly) controller.StartClick();
  } else {
    if (type == 28) wizard(WizardPage::Guide2);
    result.companions = CheckCompanionPrograms(processes, config, view);
    if (result.companions.companionRuns) end();
    defaultHeader = true;
  }
  if (defaultHeader) view.SetTitle(config.Caption, true);

  if (!result.endRequested && (type != 41 || checkOnly)) {
    controller.StartWatcher();
    result.watcherStarted = true;
  }
  controller.EnableTimer1(IsTitleVariant(config));
  if (config.bSwitchFastbootMode && steps.startUsbBoot && !checkOnly) steps.startUsbBoot();
  return result;
}

}  // namespace zovir
