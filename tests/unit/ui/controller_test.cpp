#include "ui/controller.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <future>
#include <map>

#include "engine_doubles.h"
#include "platform/fake_clock.h"
#include "support/scripted_port.h"

namespace zovir {
namespace {

namespace fs = std::filesystem;

struct Shown {
  std::string text, caption;
};

class FakeView final : public View {
 public:
  void SetStatusLabel(const std::string& text, LabelStyle style) override {
    status = text;
    color = style.color;
  }
  void ShowStatusLabel(bool) override {}
  void SetJapaneseStatusLabel(const std::string& text, LabelColor, bool) override { japanese = text; }
  void SetVersionLabel(const std::string& text) override {
    version = text;
    versionThread = std::this_thread::get_id();
  }
  void SetStatusBar(const std::string&) override {}
  void SetResultState(int) override {}
  void SetOptionSummary(const std::string&) override {}
  void SetImageFolder(const std::string&) override {}
  void ShowPorts(const PortLists&) override {}
  void EnableStart(bool e) override { start = e; }
  void EnableStop(bool e) override { stop = e; }
  void EnableClose(bool) override {}
  void ShowStartArt(StartArt) override {}
  void ShowWorking(bool, bool) override {}
  void ShowReupdate(bool v) override { reupdate = v; }
  void EnablePortGroup(bool) override {}
  void StatusLine(const std::string& text, int kind) override { lines.push_back({text, std::to_string(kind)}); }
  void Progress(int, int, int) override {}
  void Message(const std::string& text, const std::string& caption, MessageKind) override {
    messages.push_back({text, caption});
  }
  Answer Ask(const std::string& text, const std::string& caption, Question) override {
    questions.push_back({text, caption});
    if (yesOnce) {
      yesOnce = false;
      return Answer::Yes;
    }
    return answer;
  }
  std::string ReadSNEntry() override { return sn; }
  void EnableSNEntry(bool) override {}
  void OfferSNEntry() override {}
  void FinishSNEntry() override {}
  void ShowResultSN(const std::string&) override {}
  void RunEnded(int, bool passed, int errorCode) override { ends.push_back({passed, errorCode}); }
  void RequestEnd() override { endRequested = true; }
  void ShowCompactPanel(CompactPanel panel) override { panels.push_back(panel); }

  bool HasLine(const std::string& text) const {
    for (const auto& l : lines)
      if (l.text == text) return true;
    return false;
  }

  std::string status, version, japanese, sn;
  std::thread::id versionThread;
  LabelColor color = LabelColor::Black;
  bool start = false, stop = false, reupdate = false, endRequested = false, yesOnce = false;
  Answer answer = Answer::No;
  std::vector<Shown> lines, messages, questions;
  std::vector<std::pair<bool, int>> ends;
  std::vector<CompactPanel> panels;
};

class FakePorts final : public ControllerPorts {
 public:
  int RefreshPortLists() override {
    ++refreshes;
    return lists.PortCBox.items.empty() ? 0 : 1;
  }
  PortLists Lists() override { return lists; }
  ModemFacts Facts() override { return facts; }
  void CloseProbePort() override {
    ++probeCloses;
    if (!probeStuck) probeOpen = false;
  }
  bool ProbePortOpen() override { return probeOpen; }
  void SelectSavedPorts(int diag, int at) override {
    for (auto [box, n] : {std::pair{&lists.PortCBox, diag}, std::pair{&lists.SerialPortCBox, at}}) {
      auto it = std::find(box->items.begin(), box->items.end(), "COM" + std::to_string(n));
      if (it != box->items.end()) box->selected = static_cast<int>(it - box->items.begin());
    }
  }
  bool IsSameDiagPort(int n) override { return lists.PortCBox.SelectedText() == "COM" + std::to_string(n); }

  void Set(std::vector<std::string> diag, std::vector<std::string> at) {
    lists.PortCBox = {std::move(diag), 0};
    lists.SerialPortCBox = {std::move(at), 0};
    if (lists.PortCBox.items.empty()) lists.PortCBox.selected = -1;
    if (lists.SerialPortCBox.items.empty()) lists.SerialPortCBox.selected = -1;
  }

  PortLists lists;
  ModemFacts facts;
  int refreshes = 0, probeCloses = 0;
  bool probeOpen = true, probeStuck = false;
};

// The images of the demo selection: every Start checks them again.
constexpr const char* kImages[] = {"NPRG9x06.mbn", "partition.mbn", "sbl1.mbn", "tz.mbn",  "qdsp6sw.mbn", "mba.mbn",
                                   "rpm.mbn",      "acdb.mbn",      "apps.mbn", "efs.mbn", "efs2apps.mbn"};

class ControllerTest : public ::testing::Test {
 public:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "zovir-controller-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    fs::create_directories(dir_ + "/work");
    fs::create_directories(dir_ + "/Backup");
    for (const char* image : kImages) std::ofstream(dir_ + "/work/" + image) << "image bytes";
    serial_.Port("COM7");
    serial_.Port("COM8");
    store_ = MakeFileKeyValueStore(dir_ + "/settings.ini");
    ports_.Set({"COM7"}, {"COM8"});
    config_.bBackup = 1;
    config_.bRestore = 1;
    config_.Caption = "Demo";
  }
  void TearDown() override {
    controller_.reset();
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  Controller& Make(bool withEngine = true, const std::function<void(ControllerOptions&)>& adjust = {}) {
    ControllerOptions o;
    o.workFolder = dir_ + "/work";
    o.backupFolder = dir_ + "/Backup";
    o.secondPacketFolder = dir_ + "/second";
    o.logFolder = dir_ + "/logs";
    o.autotestMarker = dir_ + "/autotest";
    o.store = store_.get();
    o.watchIntervalMs = 5;
    o.watchAfterRun = true;
    o.removeWorkFolders = [this] { foldersRemoved_ = true; };
    o.rebootToBootloader = [this] { rebootThread_ = std::this_thread::get_id(); };
    if (withEngine) {
      o.makeEngine = [this](EngineHost& host) {
        auto script = script_;
        return std::make_shared<TCommsThread>(
            clock_, serial_, &host,
            [script](EngineCore& core, Link&) { return std::make_unique<test::FakePhases>(script, core); });
      };
    }
    if (adjust) adjust(o);
    controller_ = std::make_unique<Controller>(view_, ports_, clock_, o);
    controller_->SetConfiguration(config_, true);
    ImageFolderState images;
    images.lvFileList.push_back({"prog.mbn", dir_ + "/work/"});
    controller_->SetImageCheck(images, true);
    return *controller_;
  }

  // Serves the controller until the run ended.
  void RunToEnd() {
    for (int i = 0; i < 30000 && controller_->Running(); ++i) controller_->Pump(10);
    ASSERT_FALSE(controller_->Running()) << "the run did not end";
  }

  std::string Stored(const std::string& name) { return store_->Read(kRegistryKey, name).value_or("<none>"); }
  std::vector<fs::path> Logs() {
    std::vector<fs::path> found;
    std::error_code ec;
    for (const auto& e : fs::recursive_directory_iterator(dir_ + "/logs", ec))
      if (e.is_regular_file()) found.push_back(e.path());
    return found;
  }

  std::string dir_;
  FakeClock clock_;
  test::ScriptedPortFactory serial_{clock_};
  std::unique_ptr<KeyValueStore> store_;
  FakeView view_;
  FakePorts ports_;
  ProjectConfiguration config_;
  std::shared_ptr<test::Script> script_ = std::make_shared<test::Script>();
  std::unique_ptr<Controller> controller_;
  bool foldersRemoved_ = false;
  std::thread::id rebootThread_;
};

TEST_F(ControllerTest, EngineHostIsServedOnTheControllersThreadUntilClosed) {
  Controller& c = Make(false);
  view_.sn = "SN42";
  ServedEngineHost& host = c.host();
  auto read = std::async(std::launch::async, [&] { return host.ReadSNEntry(); });
  auto label = std::async(std::launch::async, [&] {
    // The engine finds the version label through the modem-version seam.
    dynamic_cast<ModemVersionView&>(static_cast<EngineHost&>(host)).SetVersionLabel("Version:X1");
  });
  while (read.wait_for(std::chrono::milliseconds(0)) != std::future_status::ready ||
         label.wait_for(std::chrono::milliseconds(0)) != std::future_status::ready)
    c.Pump(5);
  EXPECT_EQ(read.get(), "SN42");
  EXPECT_EQ(view_.version, "Version:X1");
  EXPECT_EQ(view_.versionThread, std::this_thread::get_id());
  EXPECT_EQ(host.SelectedDiagPortName(), "COM7");

  host.Close();
  auto late = std::async(std::launch::async, [&] { return host.ReadSNEntry(); });
  EXPECT_EQ(late.wait_for(std::chrono::seconds(30)), std::future_status::ready) << "a closed host never waits";
  EXPECT_EQ(late.get(), "");
}

TEST_F(ControllerTest, RebootRequestRunsOnTheControllersThread) {
  Controller& c = Make(false);
  std::thread([&] { c.PostRebootRequest(); }).join();
  EXPECT_EQ(rebootThread_, std::thread::id());
  EXPECT_EQ(c.Pump(), 1);
  EXPECT_EQ(rebootThread_, std::this_thread::get_id());
}

TEST(ParsePortNumber, EveryDigitAfterCom) {
  const std::map<std::string, int> cases = {{"COM5", 5},     {"COM12", 12}, {"COM123", 123}, {"COM1000", 1000},
                                            {"COM", -1},     {"COMx", -1},  {"COM1a", -1},   {"", -1},
                                            {"com5", -1},    {"COM0", 0}};
  for (const auto& [text, n] : cases) EXPECT_EQ(ParsePortNumber(text), n) << text;
}

TEST_F(ControllerTest, ValidationTakesPortNumbersAndRangeChecksBoth) {
  struct Case {
    std::string diag, at;
    int result;
    std::string message;
  } cases[] = {
      {"COM5", "COM6", 1, ""},           {"COM12", "COM13", 1, ""}, {"COM123", "COM998", 1, ""},
      {"COM999", "COM6", 0, "Invalid port number"}, {"COM1000", "COM6", 0, "Invalid port number"},
      {"COM0", "COM6", 0, "Invalid port number"},   {"COM5", "COM1000", 0, "Invalid port number"},
      {"COMx", "COM6", 0, "Invalid port number"},
  };
  Controller& c = Make(false);
  for (const auto& k : cases) {
    view_.messages.clear();
    ports_.Set({k.diag}, {k.at});
    EXPECT_EQ(c.ValidateRun(0), k.result) << k.diag << " " << k.at;
    EXPECT_EQ(view_.messages.empty() ? "" : view_.messages[0].text, k.message) << k.diag << " " << k.at;
    if (!k.message.empty()) {
      EXPECT_EQ(view_.messages[0].caption, "Download");
    }
  }
}

TEST_F(ControllerTest, ValidationOrderAndMessages) {
  struct Case {
    const char* what;
    std::function<void(ControllerTest&, Controller&)> setup;
    std::string message, caption;
  } cases[] = {
      {"configuration failed", [](ControllerTest& t, Controller& c) { c.SetConfiguration(t.config_, false); },
       "No Image File Loaded!", ""},
      {"image gone since start-up", [](ControllerTest& t, Controller&) { fs::remove(t.dir_ + "/work/NPRG9x06.mbn"); },
       "No Image File Loaded!", ""},
      {"no image, no backup",
       [](ControllerTest&, Controller& c) {
         c.config().bBackup = 0;
         c.SetImageCheck({}, true);
       },
       "No Image File Loaded!", ""},
      {"no diag port", [](ControllerTest& t, Controller&) { t.ports_.Set({}, {}); }, "Port is empty", "Download"},
      {"no AT port", [](ControllerTest& t, Controller&) { t.ports_.Set({"COM7"}, {}); }, "Serial Port was not found.",
       "Download"},
      {"two devices", [](ControllerTest& t, Controller&) { t.ports_.Set({"COM7", "COM9"}, {"COM8"}); },
       "Two or more devices were found", "Warning"},
      {"nothing selected",
       [](ControllerTest&, Controller& c) {
         c.config().bBackup = 0;
         c.config().bRestore = 0;
       },
       "No download option selected", "Download"},
  };
  for (const auto& k : cases) {
    view_ = FakeView();
    ports_.Set({"COM7"}, {"COM8"});
    for (const char* image : kImages) std::ofstream(dir_ + "/work/" + image) << "image bytes";
    Controller& c = Make(false);
    k.setup(*this, c);
    c.StartClick();
    // The image check a Start runs again may show its own message first.
    ASSERT_FALSE(view_.messages.empty()) << k.what;
    EXPECT_EQ(view_.messages.back().text, k.message) << k.what;
    EXPECT_EQ(view_.messages.back().caption, k.caption) << k.what;
    EXPECT_TRUE(view_.start) << k.what << ": Start enabled again";
    EXPECT_FALSE(view_.stop) << k.what;
    EXPECT_EQ(view_.status, " Upgrade failure") << k.what;
    EXPECT_FALSE(c.DiagPortBusy(7)) << k.what;
    EXPECT_FALSE(c.Running());
  }
}

// A modem in its emergency download mode shows its one port twice in the list.
TEST_F(ControllerTest, OnePortListedTwiceIsOneModem) {
  Controller& c = Make(false);
  ports_.Set({"COM7", "COM7"}, {"COM8"});
  EXPECT_EQ(c.ValidateRun(0), 1);
  EXPECT_TRUE(view_.messages.empty()) << view_.messages[0].text;
  ports_.Set({"COM7", "COM9", "COM7"}, {"COM8"});
  EXPECT_EQ(c.ValidateRun(0), 0);
  ASSERT_EQ(view_.messages.size(), 1u);
  EXPECT_EQ(view_.messages[0].text, "Two or more devices were found");
}

// START comes on only for a modem a start would accept: what does not fit stands where
// "Ready" would, is shown once as a message, and the modem is asked for its platform once.
// A check refuses the same.
TEST_F(ControllerTest, TheStartGateRefusesWhatAStartWouldRefuseAndNamesIt) {
  struct Case {
    const char* what;
    int packet, modem;
    bool imagesOk, start;
    std::string label, message;
    int asks;
  } cases[] = {
      {"same platform", 8, 8, true, true, "Ready", "", 1},
      {"another platform", 0, 8, true, false, "Plantform type is not matched",
       "Plantform type is not matched (the modem reports 8, the packet is for 0)", 1},
      {"no answer", 8, -1, true, false, "Could not get platform type.", "Could not get platform type.", 1},
      {"platform not asked for", kPlatformNotChecked, 3, true, true, "Ready", "", 0},
      {"an image missing", 8, 8, false, false, "No Image File Loaded!", "No Image File Loaded!", 0},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.what);
    view_ = FakeView();
    config_.PlatformName = k.packet;
    int asks = 0;
    Controller& c = Make(false, [&](ControllerOptions& o) {
      o.startGate = true;
      o.queryPlatform = [&](const EngineConfig& cfg) {
        ++asks;
        EXPECT_EQ(cfg.ComPort, 7);
        return k.modem;
      };
    });
    if (!k.imagesOk) c.SetImageCheck({}, false);
    for (int poll = 0; poll < 3; ++poll) c.CheckDevice();
    EXPECT_EQ(view_.start, k.start);
    EXPECT_EQ(view_.status, k.label);
    EXPECT_EQ(view_.color, k.start ? LabelColor::Black : LabelColor::Red);
    EXPECT_EQ(view_.messages.size(), k.message.empty() ? 0u : 1u);
    if (!view_.messages.empty()) {
      EXPECT_EQ(view_.messages[0].text, k.message);
    }
    EXPECT_EQ(asks, k.asks);

    view_.messages.clear();
    EXPECT_EQ(c.ValidateAsStart(0), k.start ? 1 : 0);
    EXPECT_EQ(view_.messages.size(), k.message.empty() ? 0u : 1u);
    if (!view_.messages.empty()) {
      EXPECT_EQ(view_.messages[0].text, k.message);
    }
    controller_.reset();
  }
}

// The gate asks again for a modem that arrived since; a START refused after all (an image
// went away since the poll) leaves START off, and the polls name why.
TEST_F(ControllerTest, AStartRefusedByTheGateLeavesStartOff) {
  config_.PlatformName = 0;
  int modem = 8, asks = 0;
  Controller& c = Make(true, [&](ControllerOptions& o) {
    o.startGate = true;
    o.queryPlatform = [&](const EngineConfig&) { return ++asks, modem; };
  });
  c.CheckDevice();
  EXPECT_FALSE(view_.start);
  ports_.Set({}, {});
  c.CheckDevice();
  modem = 0;
  ports_.Set({"COM7"}, {"COM8"});
  c.CheckDevice();
  EXPECT_EQ(asks, 2) << "asked again after the modem went away";
  EXPECT_TRUE(view_.start);
  EXPECT_EQ(view_.status, "Ready");

  fs::remove(dir_ + "/work/NPRG9x06.mbn");
  c.StartClick();
  EXPECT_FALSE(c.Running());
  EXPECT_FALSE(view_.start) << "START stays off over the failure";
  const int until = c.Polls() + 2;
  for (int i = 0; i < 30000 && c.Polls() < until; ++i) c.Pump(10);
  EXPECT_FALSE(view_.start);
  EXPECT_EQ(view_.status, "No Image File Loaded!");
  int told = 0;
  for (const auto& m : view_.messages) told += m.text == "No Image File Loaded!";
  EXPECT_EQ(told, 1) << "the refusal is told once";
}

// Closing during an update: the question is only decided here (the window asks it while the
// engine goes on); OK stops the update, which never goes on to the switch, and the window is
// asked to end once it ended, told where the log and the backups are.
TEST_F(ControllerTest, ACloseConfirmedDuringAnUpdateStopsItAndEndsOnceItEnded) {
  std::atomic<bool> inBackup{false};
  script_->hooks["BackupNV"] = [&](EngineCore& core) {
    inBackup = true;
    while (core.Wait(100)) std::this_thread::yield();
  };
  Controller& c = Make();
  EXPECT_FALSE(c.CloseQuestionNow()) << "nothing runs";
  EXPECT_TRUE(c.CloseAnswered(true));
  c.StartClick();
  for (int i = 0; i < 30000 && !inBackup; ++i) c.Pump(10);
  ASSERT_TRUE(inBackup);
  const auto question = c.CloseQuestionNow();
  ASSERT_TRUE(question);
  EXPECT_EQ(question->text, "There are tasks still downloading, do you want to terminate?");
  EXPECT_EQ(question->closes, Answer::Ok);
  EXPECT_FALSE(c.CloseAnswered(false));
  for (int i = 0; i < 10; ++i) c.Pump(5);
  EXPECT_TRUE(c.Running()) << "Cancel lets the update go on";
  EXPECT_FALSE(c.Closing());

  EXPECT_FALSE(c.CloseAnswered(true)) << "the window waits for the update to end";
  EXPECT_TRUE(c.Closing());
  EXPECT_FALSE(view_.endRequested);
  RunToEnd();
  EXPECT_TRUE(view_.endRequested);
  EXPECT_FALSE(c.WatcherRunning());
  ASSERT_FALSE(view_.messages.empty());
  const std::string told = view_.messages.back().text;
  EXPECT_NE(told.find("The update was stopped."), std::string::npos) << told;
  EXPECT_NE(told.find(dir_ + "/Backup"), std::string::npos) << told;
  EXPECT_NE(told.find(c.log().LogFilePath()), std::string::npos) << told;
  for (const auto& e : script_->trace.Events()) EXPECT_EQ(e.find("ProgrammerPhase"), std::string::npos) << e;
}

// The compact window starts right after its wizard, with no poll before: its START asks the
// modem itself, and a refusal never reaches the engine but shows the failure panel.
TEST_F(ControllerTest, AStartBehindTheGateAsksThePlatformItself) {
  for (const int modem : {8, 0}) {
    SCOPED_TRACE(modem);
    view_ = FakeView();
    config_.PlatformName = 0;
    config_.ProjectType = 41;
    Controller& c = Make(true, [&](ControllerOptions& o) {
      o.startGate = true;
      o.queryPlatform = [&](const EngineConfig&) { return modem; };
    });
    c.StartClick();
    if (modem == 0) {
      EXPECT_TRUE(c.Running()) << "the platform fits: the run began";
      RunToEnd();
      EXPECT_EQ(view_.ends.size(), 1u);
    } else {
      EXPECT_FALSE(c.Running());
      ASSERT_FALSE(view_.messages.empty());
      EXPECT_EQ(view_.messages.back().text, "Plantform type is not matched (the modem reports 8, the packet is for 0)");
      EXPECT_EQ(view_.panels, std::vector<CompactPanel>{CompactPanel::Failure});
      EXPECT_TRUE(script_->trace.Events().empty()) << "no engine ran";
    }
    controller_.reset();
  }
}

TEST_F(ControllerTest, StatusLinesStoreMilestonesAndShowLevels) {
  Controller& c = Make(false);
  c.AddStatusLine(" PASS", mtProgress);
  EXPECT_EQ(Stored("DownloadStatus"), "<none>") << "a leading blank is no milestone";
  c.AddStatusLine("Backup succssfully", mtProgress);
  EXPECT_EQ(Stored("DownloadStatus"), "Backup succssfully");
  EXPECT_TRUE(c.BackupDone());
  c.AddStatusLine("PASS", mtProgress);
  EXPECT_EQ(Stored("DownloadStatus"), "PASS");

  view_.status = "kept";
  c.AddStatusLine("info", mtInfo);
  EXPECT_EQ(c.ResultState(), 2);
  EXPECT_EQ(view_.color, LabelColor::Black);
  c.AddStatusLine("progress", mtProgress);
  EXPECT_EQ(c.ResultState(), 0);

  c.AddStatusLine("ERROR, broken, Error code: 5", mtError);
  EXPECT_EQ(c.ResultState(), 1);
  EXPECT_EQ(view_.status, " Upgrade failure");
  EXPECT_EQ(view_.color, LabelColor::Red);
  EXPECT_FALSE(view_.reupdate) << "no run of this session wrote that backup: a re-update would be refused";
  EXPECT_TRUE(view_.questions.empty()) << "no question for this project type";

  c.AddStatusLine("PASS", mtPass);
  EXPECT_EQ(c.ResultState(), 3);
  EXPECT_EQ(view_.status, " Complete");
  EXPECT_EQ(view_.color, LabelColor::Green);
  EXPECT_FALSE(view_.reupdate);

  c.AddStatusLine("from engine", 7 /* unused kinds count as neutral */);
  EXPECT_EQ(c.ResultState(), 0);
}

TEST_F(ControllerTest, FailureTrailerIsWrittenAndTheLogClosed) {
  Controller& c = Make(false);
  c.StartClick();  // opens the log, validation passes, no engine is made
  c.AddStatusLine("ERROR, broken, Error code: 5", mtError);
  EXPECT_FALSE(c.log().IsOpen());
  const auto logs = Logs();
  ASSERT_EQ(logs.size(), 1u);
  std::ifstream in(logs[0], std::ios::binary);
  const std::string text((std::istreambuf_iterator<char>(in)), {});
  EXPECT_EQ(text.find(" 1.3.5.0\r\n") != std::string::npos, true) << text;
  EXPECT_NE(text.find(" ERROR, broken, Error code: 5\r\n\r\n\r\n" + std::string(98, '-') + "\r\n"
                      "Please try plug in USB cable to upgrade again, if it fails please contact us.\r\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("To cause any inconvenience to your understanding.\r\n" + std::string(98, '-') + "\r\n"),
            std::string::npos);
}

TEST_F(ControllerTest, VariantLogFolderOfType28GoesAfterASuccessUnlessTheMarkerExists) {
  for (const bool marker : {false, true}) {
    if (marker) std::ofstream(dir_ + "/autotest") << "";
    view_ = FakeView();
    view_.answer = Answer::Ok;
    Controller& c = Make(false);
    c.config().ProjectType = 28;
    ports_.facts.ModemVersion = "1.2.0";
    c.StartClick();
    ASSERT_EQ(Logs().size(), 1u) << view_.status;
    const fs::path folder = Logs()[0].parent_path();
    EXPECT_NE(folder, fs::path(dir_ + "/logs")) << "a folder of the variant's own";
    c.AddStatusLine("PASS", mtPass);
    EXPECT_EQ(view_.status, "アップデートが完了しました");
    EXPECT_EQ(fs::exists(folder), marker);
    EXPECT_TRUE(fs::exists(dir_ + "/logs")) << "the log root stays";
    controller_.reset();
  }
}

TEST_F(ControllerTest, ReupdateClearsTheItemsItsMilestoneCovers) {
  struct Case {
    std::string milestone;
    std::vector<const char*> cleared;
  } cases[] = {
      {"Backup succssfully", {"bBackup"}},
      {"Bootloader succssfully", {"bBackup", "bBootloader"}},
      {"AMSSFile succssfully", {"bBackup", "bBootloader", "bAMSSFile"}},
      {"AppsImageAndBootloader succssfully",
       {"bBackup", "bBootloader", "bAMSSFile", "bAppsBootloader", "bAppsImageAndBootloader"}},
      {"PCSuite succssfully",
       {"bBackup", "bBootloader", "bAMSSFile", "bAppsBootloader", "bAppsImageAndBootloader", "PCSuiteImage"}},
      {"EFSFile succssfully",
       {"bBackup", "bBootloader", "bAMSSFile", "bAppsBootloader", "bAppsImageAndBootloader", "PCSuiteImage", "bEFS",
        "bRawAppsEFS"}},
      {"", {}},
      {"PASS", {}},
      {"Start succssfully", {}},
  };
  for (const auto& k : cases) {
    view_ = FakeView();
    Controller& c = Make(false);
    auto& cfg = c.config();
    std::map<std::string, int*> flags = {
        {"bBackup", &cfg.bBackup}, {"bBootloader", &cfg.bBootloader}, {"bAMSSFile", &cfg.bAMSSFile},
        {"bAppsBootloader", &cfg.bAppsBootloader}, {"bAppsImageAndBootloader", &cfg.bAppsImageAndBootloader},
        {"PCSuiteImage", &cfg.PCSuiteImage}, {"bEFS", &cfg.bEFS}, {"bRawAppsEFS", &cfg.bRawAppsEFS},
        {"bPartOfEFS", &cfg.bPartOfEFS}, {"bRestore", &cfg.bRestore}, {"bFastbootBootImage", &cfg.bFastbootBootImage}};
    for (auto& [name, flag] : flags) *flag = 1;
    // What a re-update of a run this session saw back up skips.
    const ReupdatePlan plan = PlanReupdate(k.milestone, true);
    EXPECT_EQ(plan.statusWrong, k.cleared.empty()) << k.milestone;
    EXPECT_FALSE(plan.refused);
    ProjectConfiguration skipped = cfg;
    SkipReachedPhases(skipped, plan.reached);
    std::map<std::string, int*> skippedFlags = {
        {"bBackup", &skipped.bBackup}, {"bBootloader", &skipped.bBootloader}, {"bAMSSFile", &skipped.bAMSSFile},
        {"bAppsBootloader", &skipped.bAppsBootloader}, {"bAppsImageAndBootloader", &skipped.bAppsImageAndBootloader},
        {"PCSuiteImage", &skipped.PCSuiteImage}, {"bEFS", &skipped.bEFS}, {"bRawAppsEFS", &skipped.bRawAppsEFS},
        {"bPartOfEFS", &skipped.bPartOfEFS}, {"bRestore", &skipped.bRestore},
        {"bFastbootBootImage", &skipped.bFastbootBootImage}};
    for (auto& [name, flag] : skippedFlags) {
      const bool cleared = std::find(k.cleared.begin(), k.cleared.end(), name) != k.cleared.end();
      EXPECT_EQ(*flag, cleared ? 0 : 1) << k.milestone << ": " << name;
    }
    // This session saw no backup: a milestone to resume from is refused with the selection
    // untouched; without one the full selection runs.
    EXPECT_EQ(PlanReupdate(k.milestone, false).refused, !k.cleared.empty());
    store_->Write(kRegistryKey, "DownloadStatus", k.milestone);
    c.Reupdate1Click();
    for (auto& [name, flag] : flags) EXPECT_EQ(*flag, 1) << k.milestone << ": " << name;
    EXPECT_EQ(view_.HasLine("Status was wrong"), k.cleared.empty()) << k.milestone;
    EXPECT_EQ(c.ReupdateMode(), k.cleared.empty());
    controller_.reset();
  }
}

TEST_F(ControllerTest, ReupdateQuestionAfterAFailure) {
  struct Case {
    int type;
    int amss, efs;
    bool asked;
  } cases[] = {{6, 0, 0, true}, {19, 0, 0, true}, {20, 1, 0, false}, {20, 1, 1, true}, {20, 0, 0, true},
               {3, 0, 0, false}};
  for (const auto& k : cases) {
    view_ = FakeView();
    Controller& c = Make(false);
    c.config().ProjectType = k.type;
    c.config().bAMSSFile = k.amss;
    c.config().bEFS = k.efs;
    c.AddStatusLine("ERROR, x, Error code: 1", mtError);
    EXPECT_EQ(view_.questions.size(), k.asked ? 1u : 0u) << k.type;
    if (k.asked) {
      EXPECT_EQ(view_.questions[0].caption, "Warning");
    }
    controller_.reset();
  }
}

TEST_F(ControllerTest, WholeRunPassesFreesThePortsAndDeletesTheLog) {
  Controller& c = Make();
  c.StartClick();
  ASSERT_TRUE(c.Running());
  EXPECT_TRUE(c.DiagPortBusy(7));
  EXPECT_TRUE(c.AtPortBusy(8));
  EXPECT_EQ(view_.status, " Upgrading...");
  RunToEnd();
  ASSERT_EQ(view_.ends.size(), 1u);
  EXPECT_TRUE(view_.ends[0].first);
  EXPECT_EQ(view_.status, " Complete");
  EXPECT_FALSE(c.DiagPortBusy(7));
  EXPECT_FALSE(c.AtPortBusy(8));
  EXPECT_FALSE(view_.stop);
  EXPECT_FALSE(view_.start) << "a new Start needs the watcher";
  EXPECT_TRUE(view_.HasLine("Check......completely"));
  EXPECT_TRUE(view_.HasLine("Syncing......"));
  EXPECT_EQ(Stored("DownloadStatus"), "PASS");
  EXPECT_TRUE(Logs().empty()) << "a passed run leaves no log without the marker";
}

TEST_F(ControllerTest, AutotestMarkerFileRepeatsABackupRunAndKeepsLogs) {
  fs::create_directories(dir_ + "/autotest");  // a folder of that name changes nothing
  Controller& c = Make();
  c.StartClick();
  RunToEnd();
  EXPECT_EQ(view_.ends.size(), 1u);
  EXPECT_TRUE(Logs().empty());

  fs::remove(dir_ + "/autotest");
  std::ofstream(dir_ + "/autotest") << "";
  const uint64_t slept = clock_.SleptMs();
  c.StartClick();
  for (int i = 0; i < 30000 && view_.ends.size() < 2; ++i) c.Pump(10);
  ASSERT_EQ(view_.ends.size(), 2u);
  EXPECT_TRUE(c.Running()) << "the marker started the next run";
  EXPECT_GE(clock_.SleptMs() - slept, 5000u);
  fs::remove(dir_ + "/autotest");
  RunToEnd();
  EXPECT_EQ(view_.ends.size(), 3u);
  EXPECT_FALSE(Logs().empty()) << "runs under the marker keep their logs";
}

TEST_F(ControllerTest, YesToTheQuestionAfterAFailedRunStartsAReupdateFromThatRunsBackup) {
  // The first run backs up (the engine's own folder), then fails writing an image.
  script_->hooks["BackupNV"] = [](EngineCore& core) { std::ofstream(core.cfg.bakFile) << "nv"; };
  auto failures = std::make_shared<int>(0);
  script_->hooks["DownloadImages"] = [failures](EngineCore& core) {
    if ((*failures)++ == 0) core.ReportError("ERROR, write failed, Error code: 5");
  };
  Controller& c = Make();
  c.config().ProjectType = 6;
  view_.yesOnce = true;
  c.StartClick();
  for (int i = 0; i < 3000 && view_.ends.size() < 2; ++i) c.Pump(10);
  ASSERT_EQ(view_.ends.size(), 2u) << "the failed run, then the re-update: "
                                   << (view_.messages.empty() ? "" : view_.messages.back().text);
  EXPECT_FALSE(view_.ends[0].first);
  std::string errors;
  for (const auto& l : view_.lines)
    if (l.caption == "2") errors += l.text + "\n";
  for (const auto& e : script_->trace.Events()) errors += "  " + e + "\n";
  EXPECT_TRUE(view_.ends[1].first) << "the re-update passed\n" << errors;
  EXPECT_EQ(view_.questions.size(), 1u);
  EXPECT_TRUE(c.ReupdateMode());
  EXPECT_EQ(c.config().bBackup, 0) << "the backup of the first run is not repeated";
  // The re-update restored what the first run saved, from where it saved it.
  const std::string saved = dir_ + "/Backup/SN[SN123]";
  EXPECT_EQ(c.LastBackupFolder(), saved);
  EXPECT_GE(script_->trace.IndexOf("UnscrambleFile:" + saved + "/EncryptAT.bak>" + saved + "/at.bak"), 0);
  EXPECT_FALSE(c.Running());
  EXPECT_FALSE(c.DiagPortBusy(7));
}

TEST_F(ControllerTest, ReupdateWithoutTheBackupOfItsRunIsRefusedAndTheNextStartRunsInFull) {
  // Files in the backup root belong to no run: a restore from them could cross modems.
  std::ofstream(dir_ + "/Backup/nv.bak") << "nv";
  std::ofstream(dir_ + "/Backup/EncryptAT.bak") << "at";
  store_->Write(kRegistryKey, "DownloadStatus", "Backup succssfully");
  Controller& c = Make();
  c.ReadRegistryValues();
  EXPECT_FALSE(view_.reupdate) << "not offered where it would be refused";
  c.CheckDevice();
  ASSERT_TRUE(view_.start);
  const std::string ready = view_.status;
  c.Reupdate1Click();
  EXPECT_FALSE(c.Running());
  ASSERT_EQ(view_.messages.size(), 1u);
  EXPECT_EQ(view_.messages[0].text, kNoReupdateBackupText);
  EXPECT_EQ(view_.status, ready) << "the window stays as it was";
  EXPECT_TRUE(view_.start);
  EXPECT_FALSE(c.ReupdateMode());
  EXPECT_EQ(c.config().bBackup, 1);
  EXPECT_TRUE(script_->trace.Events().empty()) << "no engine ran";

  script_->hooks["BackupNV"] = [](EngineCore& core) { std::ofstream(core.cfg.bakFile) << "nv"; };
  c.StartClick();
  RunToEnd();
  ASSERT_EQ(view_.ends.size(), 1u);
  EXPECT_TRUE(view_.ends[0].first) << (view_.messages.size() > 1 ? view_.messages[1].text : "");
  std::string events;
  for (const auto& e : script_->trace.Events()) events += "  " + e + "\n";
  EXPECT_NE(events.find("BackupNV:"), std::string::npos) << "the backup ran\n" << events;
}

TEST_F(ControllerTest, ReupdateAfterAFailureIsOfferedUntilItPassesAndStartGetsTheFullSelectionBack) {
  for (const int failedWrites : {1, 2}) {
    SCOPED_TRACE(failedWrites);
    view_ = FakeView();
    script_->hooks["BackupNV"] = [](EngineCore& core) { std::ofstream(core.cfg.bakFile) << "nv"; };
    auto writes = std::make_shared<int>(0);
    script_->hooks["DownloadImages"] = [writes, failedWrites](EngineCore& core) {
      if ((*writes)++ < failedWrites) core.ReportError("ERROR, write failed, Error code: 5");
    };
    Controller& c = Make();
    c.StartClick();
    RunToEnd();
    EXPECT_TRUE(view_.reupdate) << "its backup is known";
    view_.reupdate = false;
    c.Reupdate1Click();
    EXPECT_EQ(c.config().bBackup, 0);
    RunToEnd();
    ASSERT_EQ(view_.ends.size(), 2u);
    const bool passed = failedWrites == 1;
    EXPECT_EQ(view_.ends[1].first, passed);
    EXPECT_EQ(view_.reupdate, !passed) << "a failed re-update is offered again";
    if (passed) {
      c.StartClick();
      EXPECT_EQ(c.config().bBackup, 1) << "a new update backs up again";
      RunToEnd();
      ASSERT_EQ(view_.ends.size(), 3u);
      std::string errors;
      for (const auto& l : view_.lines)
        if (l.caption == "2") errors += l.text + "\n";
      EXPECT_TRUE(view_.ends[2].first) << errors;
    }
    controller_.reset();
    fs::remove_all(dir_ + "/Backup");
    fs::create_directories(dir_ + "/Backup");
  }
}

// After a run the watcher polls again; the finished modem is not started twice by accident:
// its result stays, START comes on for a modem that arrived since, or for the serial number
// the run asked for.
TEST_F(ControllerTest, AfterARunStartComesBackForAModemThatArrivedSince) {
  Controller& c = Make();
  c.StartClick();
  RunToEnd();
  ASSERT_EQ(view_.ends.size(), 1u);
  ASSERT_TRUE(view_.ends[0].first);
  auto pollsFrom = [&](int more) {
    const int until = c.Polls() + more;
    for (int i = 0; i < 30000 && c.Polls() < until; ++i) c.Pump(10);
    ASSERT_GE(c.Polls(), until) << "the watcher polls again after a run";
  };
  pollsFrom(3);
  EXPECT_FALSE(view_.start) << "the finished modem is still attached";
  EXPECT_EQ(view_.status, " Complete") << "the result stays on screen";

  ports_.Set({}, {});  // unplugged
  pollsFrom(2);
  EXPECT_FALSE(view_.start);
  ports_.Set({"COM7"}, {"COM8"});  // plugged in again (or the next modem)
  for (int i = 0; i < 30000 && !view_.start; ++i) c.Pump(10);
  EXPECT_TRUE(view_.start);
  EXPECT_EQ(view_.status, " Complete") << "until the next START";
  c.StartClick();
  RunToEnd();
  ASSERT_EQ(view_.ends.size(), 2u);
  EXPECT_TRUE(view_.ends[1].first);
}

TEST_F(ControllerTest, AfterAFailedRunATypedSerialNumberTurnsStartOn) {
  script_->hooks["DownloadImages"] = [](EngineCore& core) { core.ReportError("ERROR, write failed, Error code: 5"); };
  Controller& c = Make();
  c.StartClick();
  RunToEnd();
  const int until = c.Polls() + 2;
  for (int i = 0; i < 30000 && c.Polls() < until; ++i) c.Pump(10);
  EXPECT_FALSE(view_.start);
  view_.sn = "SN123";
  c.SNEntryChanged();
  EXPECT_TRUE(view_.start);
  view_.sn.clear();
  c.SNEntryChanged();
  EXPECT_FALSE(view_.start);
}

TEST(StartAfterRun, StartComesBackOnlyForAnArrivalOrATypedSerialNumber) {
  struct Case {
    const char* events;  // E run ended, G modem gone, S start begins
    bool snTyped;
    bool waiting, allowed;
  } cases[] = {
      {"", false, false, true},  {"E", false, true, false}, {"E", true, true, true},
      {"EG", false, true, true}, {"GE", false, true, false}, {"EGS", false, false, true},
      {"EGSE", false, true, false},
  };
  for (const auto& k : cases) {
    StartAfterRun gate;
    for (const char* e = k.events; *e; ++e) {
      if (*e == 'E') gate.RunEnded();
      if (*e == 'G') gate.ModemGone();
      if (*e == 'S') gate.StartBegins();
    }
    EXPECT_EQ(gate.Waiting(), k.waiting) << k.events;
    EXPECT_EQ(gate.StartAllowed(k.snTyped), k.allowed) << k.events << " sn " << k.snTyped;
  }
}

TEST_F(ControllerTest, StartTakesSizesAndCheckValuesOfTheImagesAsTheyAreNow) {
  auto size = std::make_shared<uint32_t>(0);
  script_->hooks["DownloadImages"] = [size](EngineCore& core) { *size = core.cfg.ramFileSize; };
  Controller& c = Make();
  ASSERT_TRUE(c.ShowOptionSummary());
  std::ofstream(dir_ + "/work/NPRG9x06.mbn") << std::string(5000, 'p');
  c.StartClick();
  RunToEnd();
  EXPECT_EQ(*size, 5000u);
}

TEST_F(ControllerTest, ClosingTheProbePortLogsEachRound) {
  struct Case {
    bool open, stuck;
    std::vector<std::string> lines;
  } cases[] = {
      {false, false, {"com null-26"}},
      {true, false, {"com not null-26", "close com-26"}},
      {true, true, {}},
  };
  for (auto& k : cases) {
    if (k.stuck)
      for (int i = 0; i < 10; ++i) {
        k.lines.push_back("com not null-26");
        k.lines.push_back("Warning-26");
      }
    view_ = FakeView();
    ports_.probeOpen = k.open;
    ports_.probeStuck = k.stuck;
    Controller& c = Make(false);
    c.StartClick();
    std::vector<std::string> logged;
    for (const auto& l : view_.lines)
      if (l.text.find("-26") != std::string::npos) logged.push_back(l.text);
    EXPECT_EQ(logged, k.lines) << k.open << k.stuck;
    controller_.reset();
  }
}

TEST_F(ControllerTest, TheStartQuestionOfTypes27And28IsTheFixedText) {
  for (int type : {27, 28}) {
    view_ = FakeView();
    view_.answer = Answer::Cancel;
    Controller& c = Make(false);
    c.config().ProjectType = type;
    ports_.facts.ModemVersion = "1.2.0";
    c.CheckDevice();
    const std::string shown = view_.status;
    c.StartClick();
    ASSERT_EQ(view_.questions.size(), 1u) << type;
    EXPECT_EQ(view_.questions[0].text, kStartQuestionText) << type;
    EXPECT_FALSE(c.Running());
    EXPECT_EQ(view_.status, shown) << type << ": the label keeps its text after Cancel";
    controller_.reset();
  }
}

TEST_F(ControllerTest, KeptPortsAreSelectedAtStartUp) {
  ports_.Set({"COM3", "COM9"}, {"COM4", "COM10"});
  store_->Write(kRegistryKey, "COMM Port", "9");
  store_->Write(kRegistryKey, "SerialCOMM Port", "77");
  Controller& c = Make(false);
  c.ReadRegistryValues();
  EXPECT_EQ(ports_.lists.PortCBox.SelectedText(), "COM9");
  EXPECT_EQ(ports_.lists.SerialPortCBox.SelectedText(), "COM4") << "not listed: the first stays";
}

TEST_F(ControllerTest, SwitchingToTheSecondPacketKeepsWhatTheReReadDoesNotReach) {
  const std::string second = dir_ + "/second";
  fs::create_directories(second);
  std::ofstream(second + "/Config.ini") << "[Project]\nCaption=Second\nName=Saltor\nPacket=2\nPlatform=9200\n";
  config_.Name = "Saltrin";
  config_.Packet = 2;
  config_.SecondPacketName = "Saltor";
  config_.Version = "BTM0001.2.00ABCD";  // read only when a check asks for it
  Make(false);
  ports_.facts.ModemHardware = "Saltor";
  ASSERT_TRUE(controller_->SelectPacketByHardware());
  EXPECT_EQ(controller_->config().Caption, "Second");
  EXPECT_EQ(controller_->config().SecondPacketName, "Saltor");
  EXPECT_EQ(controller_->config().Version, "BTM0001.2.00ABCD");
  EXPECT_EQ(controller_->ImageFolder(), second);
}

TEST_F(ControllerTest, HelperProgramsRunOnlyFromThePrivateFolderAndNeverInACheck) {
  // A packet from outside with its own driver installer (project type 19 runs it).
  const std::string packet = dir_ + "/packet", helpers = dir_ + "/private";
  fs::create_directories(packet);
  std::ofstream(packet + "/DriverInstaller") << "#!/bin/sh\n";
  fs::permissions(packet + "/DriverInstaller", fs::perms::owner_all);
  std::ofstream(packet + "/Config.ini") << "[Project]\nProject=Torvane\n[Uninstall]\nUninstallUDisk=1\n";
  for (const bool checkOnly : {false, true}) {
    std::vector<std::string> ran, reset;
    ControllerOptions o;
    o.workFolder = packet;
    o.helperFolder = helpers;
    o.checkOnly = checkOnly;
    o.store = store_.get();
    o.runDriverInstaller = [&](const std::string& folder) {
      ran.push_back(folder);
      return 1;
    };
    o.resetDriverInstallerFlag = [&](const std::string& folder) { reset.push_back(folder); };
    controller_ = std::make_unique<Controller>(view_, ports_, clock_, o);
    controller_->config().ProjectType = 19;
    ports_.Set({"COM7"}, {"COM8"});
    controller_->CheckDevice();
    EXPECT_TRUE(view_.start) << "the modem is checked";
    ports_.Set({}, {});
    controller_->CheckDevice();
    if (checkOnly) {
      EXPECT_TRUE(ran.empty());
      EXPECT_TRUE(reset.empty());
    } else {
      EXPECT_EQ(ran, std::vector<std::string>{helpers});
      EXPECT_EQ(reset, std::vector<std::string>{helpers});
      EXPECT_TRUE(fs::exists(helpers + "/DriverInstaller"));
      EXPECT_EQ(fs::status(helpers + "/DriverInstaller").permissions() & fs::perms::all, fs::perms::owner_all);
      EXPECT_TRUE(fs::exists(helpers + "/Config.ini"));
    }
    controller_.reset();
  }
  const std::string before = Stored("COMM Port");
  ports_.Set({"COM55"}, {"COM56"});
  {
    ControllerOptions o;
    o.store = store_.get();
    o.checkOnly = true;
    Controller c(view_, ports_, clock_, o);
    c.ReadRegistryValues();
    c.StartClick();
    EXPECT_FALSE(c.Running());
  }
  EXPECT_EQ(Stored("COMM Port"), before) << "a check keeps nothing";
}

TEST_F(ControllerTest, CloseQuestionsAndStop) {
  auto release = std::make_shared<std::atomic<bool>>(false);
  script_->hooks["DownloadImages"] = [release](EngineCore& core) {
    while (!*release && !core.StopRequested()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  };
  Controller& c = Make();
  EXPECT_TRUE(c.FormCloseQuery());
  EXPECT_TRUE(view_.questions.empty()) << "an idle window closes without asking";
  c.StartClick();
  ASSERT_TRUE(c.Running());
  view_.answer = Answer::Cancel;
  EXPECT_FALSE(c.FormCloseQuery());
  view_.answer = Answer::Ok;
  EXPECT_TRUE(c.FormCloseQuery());
  ASSERT_EQ(view_.questions.size(), 2u);
  EXPECT_EQ(view_.questions[0].text, "There are tasks still downloading, do you want to terminate?");
  EXPECT_EQ(view_.questions[0].caption, "Close");

  c.StopClick();
  RunToEnd();
  ASSERT_EQ(view_.ends.size(), 1u);
  EXPECT_FALSE(view_.ends[0].first);
  EXPECT_EQ(view_.ends[0].second, ERR_USER_STOP);
  EXPECT_TRUE(view_.HasLine("Shutting down COMM..."));
}

TEST_F(ControllerTest, DestructionStopsTheEngineThenKeepsValuesAndRemovesFolders) {
  script_->hooks["DownloadImages"] = [](EngineCore& core) {
    while (!core.StopRequested()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  };
  ports_.Set({"COM7"}, {"COM8"});
  Controller& c = Make();
  c.StartClick();
  ASSERT_TRUE(c.Running());
  ports_.Set({"COM123"}, {});
  c.FlashDestroy();
  EXPECT_FALSE(c.Running());
  EXPECT_TRUE(foldersRemoved_);
  EXPECT_EQ(Stored("COMM Port"), "123");
  EXPECT_EQ(Stored("SerialCOMM Port"), "1");
  EXPECT_EQ(Stored("Image File Folder"), dir_ + "/work");
}

TEST_F(ControllerTest, WatcherShowsReadinessAndStopsItselfOnARefusal) {
  Controller& c = Make(false);
  ports_.Set({"COM7"}, {"COM8"});
  c.StartWatcher();
  for (int i = 0; i < 3000 && !view_.start; ++i) c.Pump(10);
  EXPECT_TRUE(view_.start);
  EXPECT_EQ(view_.status, "Ready");
  ports_.Set({}, {});
  for (int i = 0; i < 3000 && view_.start; ++i) c.Pump(10);
  EXPECT_EQ(view_.status, "Not Ready");
  EXPECT_TRUE(c.WatcherRunning());

  c.config().bCheckProjectCode = 1;
  c.config().Version = "ABC.1";
  ports_.Set({"COM7"}, {"COM8"});
  ports_.facts.ModemVersion = "XYZ.1";
  for (int i = 0; i < 3000 && view_.messages.empty(); ++i) c.Pump(10);
  ASSERT_EQ(view_.messages.size(), 1u);
  EXPECT_EQ(view_.messages[0].text, "Could not update other irrelevant model device!");
  EXPECT_FALSE(c.WatcherRunning());
  const int refreshes = ports_.refreshes;
  for (int i = 0; i < 20; ++i) c.Pump(5);
  EXPECT_EQ(ports_.refreshes, refreshes) << "no poll after the refusal";
  EXPECT_EQ(view_.messages.size(), 1u) << "the refusal is shown once";

  // A monitored port went away: the flags rise at once on the monitor's thread, and the
  // watcher starts again on the controller's.
  struct Monitor final : DeviceMonitor {
    bool Start(Callback cb) override {
      callback = std::move(cb);
      return true;
    }
    void Stop() override { ++stops; }
    Callback callback;
    int stops = 0;
  } monitor;
  ASSERT_TRUE(c.WatchDevices(monitor));
  std::thread([&] { monitor.callback({DeviceEventKind::Removal, "COM7", "/dev/x"}); }).join();
  EXPECT_TRUE(c.host().DeviceChangeSeen());
  EXPECT_FALSE(c.host().DeviceArrivalSeen());
  EXPECT_FALSE(c.WatcherRunning()) << "not before the controller's thread ran the removal";
  c.Pump();
  EXPECT_TRUE(c.WatcherRunning());
  std::thread([&] { monitor.callback({DeviceEventKind::Arrival, "COM7", "/dev/x"}); }).join();
  EXPECT_TRUE(c.host().DeviceArrivalSeen());
  c.FlashDestroy();
  EXPECT_EQ(monitor.stops, 1);
  c.PostRebootRequest();  // after destruction nothing runs any more
  EXPECT_EQ(c.Pump(), 0);
  EXPECT_FALSE(c.WatcherRunning());
}

}  // namespace
}  // namespace zovir
