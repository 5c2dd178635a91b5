#include "ui/startup.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>

#include "config/device_check_variants.h"
#include "platform/fake_clock.h"

namespace zovir {
namespace {

namespace fs = std::filesystem;

// Records what start-up shows; asks nothing of its own (wizard pages are declined).
class ShowingView : public View {
 public:
  void SetStatusLabel(const std::string& text, LabelStyle) override { status = text; }
  void ShowStatusLabel(bool) override {}
  void SetJapaneseStatusLabel(const std::string&, LabelColor, bool) override {}
  void SetVersionLabel(const std::string&) override {}
  void SetStatusBar(const std::string& text) override { statusBar = text; }
  void SetTitle(const std::string& text, bool header) override {
    title = text;
    headerVisible = header;
  }
  void SetResultState(int) override {}
  void SetOptionSummary(const std::string&) override {}
  void SetImageFolder(const std::string&) override {}
  void ShowPorts(const PortLists&) override {}
  void EnableStart(bool) override {}
  void EnableStop(bool) override {}
  void EnableClose(bool) override {}
  void ShowStartArt(StartArt) override {}
  void ShowWorking(bool, bool) override {}
  void ShowReupdate(bool) override {}
  void EnablePortGroup(bool) override {}
  void StatusLine(const std::string& text, int) override { lines.push_back(text); }
  void Progress(int, int, int) override {}
  void Message(const std::string& text, const std::string& caption, MessageKind) override {
    messages.push_back(caption + ": " + text);
  }
  Answer Ask(const std::string&, const std::string&, Question) override { return Answer::Cancel; }
  std::string ReadSNEntry() override { return ""; }
  void EnableSNEntry(bool) override {}
  void OfferSNEntry() override {}
  void FinishSNEntry() override {}
  void ShowResultSN(const std::string&) override {}
  void RunEnded(int, bool, int) override {}
  void RequestEnd() override { endRequested = true; }

  std::string status, statusBar, title;
  bool headerVisible = false, endRequested = false;
  std::vector<std::string> lines, messages;
};

class RecordingView final : public ShowingView {
 public:
  bool ShowWizard(const WizardPrompt& prompt) override {
    wizards.push_back(prompt);
    return acceptWizard;
  }
  std::vector<WizardPrompt> wizards;
  bool acceptWizard = true;
};

class NoPorts final : public ControllerPorts {
 public:
  int RefreshPortLists() override { return 0; }
  PortLists Lists() override { return {}; }
  ModemFacts Facts() override { return {}; }
  void CloseProbePort() override {}
  bool IsSameDiagPort(int) override { return false; }
};

class StartupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "zovir-startup-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    processes_ = MakeLinuxProcesses(dir_);
    other_ = MakeLinuxProcesses(dir_);  // stands for another program holding its lock
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  StartupResult Run(ProjectConfiguration config, StartupSteps steps = {}, bool checkOnly = false) {
    ControllerOptions o;
    o.checkOnly = checkOnly;
    o.workFolder = dir_;
    o.logFolder = dir_ + "/logs";
    controller_ = std::make_unique<Controller>(view_, ports_, clock_, o);
    controller_->SetConfiguration(config, true);
    return RunStartup(*controller_, view_, *processes_, steps);
  }

  std::string dir_;
  std::unique_ptr<Processes> processes_, other_;
  FakeClock clock_;
  RecordingView view_;
  NoPorts ports_;
  std::unique_ptr<Controller> controller_;
};

TEST_F(StartupTest, SecondCopyIsRefusedAndTheFirstKeepsItsLock) {
  SingleInstance first(*processes_);
  EXPECT_FALSE(first.AnotherCopyRuns());
  {
    SingleInstance second(*other_);
    EXPECT_TRUE(second.AnotherCopyRuns());
  }
  SingleInstance third(*other_);
  EXPECT_TRUE(third.AnotherCopyRuns()) << "the first copy still holds it";
}

TEST_F(StartupTest, CompanionProgramsByVariant) {
  struct Case {
    const char* held;
    int type;
    std::array<int, 3> variant;
    bool refused;
  } cases[] = {
      {"inno setup valmora sw", -1, {0, 0, 0}, true},
      {"inno setup valmora sw", 42, {0, 0, 0}, false},
      {"inno setup valmora sw", 3, {1, 0, 0}, false},
      {"ZRVUSBModem_Mutex", 3, {0, 1, 0}, true},
      {"Mutex_KV_0_Modem", 27, {0, 0, 0}, true},
      {"", -1, {0, 0, 0}, false},
  };
  for (const auto& k : cases) {
    std::unique_ptr<NamedLock> held;
    if (*k.held) held = other_->CreateNamedLock(k.held);
    ProjectConfiguration config;
    config.ProjectType = k.type;
    config.VersionVariant = k.variant;
    RecordingView view;
    const auto check = CheckCompanionPrograms(*processes_, config, view);
    EXPECT_EQ(check.companionRuns, k.refused) << k.held << " type " << k.type;
    EXPECT_EQ(view.messages.size(), k.refused ? 1u : 0u) << k.held << " type " << k.type;
    if (k.refused && k.type == -1) {
      EXPECT_EQ(view.messages[0], "Warning: Utility is running,please exit the utility!");
    }
  }
}

TEST_F(StartupTest, DefaultTypeStartsTheWatcherUnlessACompanionRuns) {
  ProjectConfiguration config;
  config.Caption = "Demo tool";
  auto result = Run(config);
  EXPECT_TRUE(result.watcherStarted);
  EXPECT_FALSE(result.endRequested);
  EXPECT_EQ(view_.status, "Not Ready");
  EXPECT_EQ(view_.statusBar, "Welcome to Quorvel_ZOVIR!!");
  EXPECT_EQ(view_.title, "Demo tool");
  EXPECT_TRUE(view_.headerVisible);
  EXPECT_TRUE(controller_->WatcherRunning());
  controller_.reset();

  auto held = other_->CreateNamedLock("Mutex_KV_0_Modem");
  result = Run(config);
  EXPECT_TRUE(result.endRequested);
  EXPECT_TRUE(view_.endRequested);
  EXPECT_FALSE(result.watcherStarted);
}

TEST_F(StartupTest, WizardPagesAreQuestionsToTheViewAndDecideTheStart) {
  struct Case {
    int type;
    std::array<int, 3> variant;
    WizardPage page;
    std::string agreement;
  } cases[] = {
      {2, {0, 0, 0}, WizardPage::Guide, "使用許諾契約に同意します。"},
      {6, {0, 0, 0}, WizardPage::Guide, "使用許諾契約に同意します。"},
      {19, {0, 0, 0}, WizardPage::Guide1, "I agree with the above terms and conditions"},
      {28, {0, 0, 0}, WizardPage::Guide2, "上記に同意していただける場合は”OK”ボタンをクリックしてアップデートを開始してください。"},
      {42, {0, 0, 0}, WizardPage::Guide2, "使用許諾契約に同意します。"},
      {3, {0, 1, 0}, WizardPage::Guide2, "使用許諾契約に同意します。"},
      {41, {0, 0, 0}, WizardPage::Guide3, "我同意，我接受以上协议的所有条款。"},
  };
  for (const auto& k : cases) {
    for (const bool accept : {true, false}) {
      view_ = RecordingView();
      view_.acceptWizard = accept;
      ProjectConfiguration config;
      config.ProjectType = k.type;
      config.VersionVariant = k.variant;
      const auto result = Run(config);
      ASSERT_EQ(view_.wizards.size(), 1u) << k.type;
      EXPECT_EQ(view_.wizards[0].page, k.page) << k.type;
      EXPECT_EQ(view_.wizards[0].agreement, k.agreement) << k.type;
      EXPECT_FALSE(view_.wizards[0].title.empty()) << k.type;
      EXPECT_EQ(result.endRequested, !accept) << k.type << " a declined page ends the program";
      EXPECT_EQ(result.watcherStarted, accept && k.type != 41) << k.type << " type 41 never watches";
      const bool started = !view_.lines.empty() && view_.lines[0] == "1.3.5.0";
      EXPECT_EQ(started, accept && k.type == 41) << k.type << " only type 41 starts right after its page";
      controller_.reset();
    }
  }
}

TEST_F(StartupTest, AViewThatCannotAskDeclinesEveryPage) {
  ShowingView silent;
  ControllerOptions o;
  o.workFolder = dir_;
  o.logFolder = dir_ + "/logs";
  Controller c(silent, ports_, clock_, o);
  ProjectConfiguration config;
  config.ProjectType = 41;
  c.SetConfiguration(config, true);
  const auto result = RunStartup(c, silent, *processes_, {});
  EXPECT_TRUE(result.endRequested);
  EXPECT_TRUE(silent.lines.empty()) << "nothing started";
}

TEST_F(StartupTest, ACheckShowsNoPageAndStartsNothing) {
  for (int type : {41, 2, 19, 42}) {
    view_ = RecordingView();
    ProjectConfiguration config;
    config.ProjectType = type;
    config.bSwitchFastbootMode = 1;
    bool usbBoot = false;
    StartupSteps steps;
    steps.startUsbBoot = [&] { usbBoot = true; };
    const auto result = Run(config, steps, /*checkOnly=*/true);
    EXPECT_TRUE(view_.wizards.empty()) << type;
    EXPECT_FALSE(result.endRequested) << type;
    EXPECT_TRUE(result.watcherStarted) << type << ": the modem is checked whatever the type";
    EXPECT_TRUE(view_.lines.empty() || view_.lines[0] != "1.3.5.0") << type << ": no update started";
    EXPECT_FALSE(usbBoot) << type;
    controller_.reset();
  }
}

}  // namespace
}  // namespace zovir
