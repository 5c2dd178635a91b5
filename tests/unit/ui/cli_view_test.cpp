#include "ui/cli/cli_view.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <filesystem>
#include <tuple>
#include <cstdio>
#include <memory>
#include <sstream>
#include <vector>

#include "engine/engine_types.h"
#include "platform/linux/device_enumerator_linux.h"
#include "ui/cli/device_filter.h"
#include "ui/cli/modem_list.h"
#include "unit/discovery/fake_sysfs.h"

namespace zovir::cli {
namespace {

// The printed lines of a CliOutput that writes into memory.
class Captured {
 public:
  explicit Captured(CliOutput::Style style, bool verbose = false) {
    file_ = open_memstream(&buffer_, &size_);
    out = std::make_unique<CliOutput>(style, file_, verbose);
  }
  ~Captured() {
    out.reset();
    std::fclose(file_);
    std::free(buffer_);
  }
  std::string Text() {
    std::fflush(file_);
    return std::string(buffer_, size_);
  }
  std::vector<std::string> Lines() {
    std::fflush(file_);
    std::vector<std::string> lines;
    std::istringstream in(std::string(buffer_, size_));
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }
  std::unique_ptr<CliOutput> out;

 private:
  std::FILE* file_ = nullptr;
  char* buffer_ = nullptr;
  size_t size_ = 0;
};

struct AskCase {
  AnswerPolicy policy;
  Question question;
  Answer expected;
  const char* printed;
};

TEST(CliView, QuestionsAreAnsweredByThePolicyAndSaySo) {
  const AskCase cases[] = {
      {AnswerPolicy::Yes, Question::OkCancel, Answer::Ok, "Answer: OK (--yes)"},
      {AnswerPolicy::Yes, Question::YesNo, Answer::Yes, "Answer: Yes (--yes)"},
      {AnswerPolicy::No, Question::OkCancel, Answer::Cancel, "Answer: Cancel (--no)"},
      {AnswerPolicy::No, Question::YesNo, Answer::No, "Answer: No (--no)"},
      {AnswerPolicy::Safe, Question::OkCancel, Answer::Cancel, "Answer: Cancel (no --yes given, the safe choice)"},
      {AnswerPolicy::Safe, Question::YesNo, Answer::No, "Answer: No (no --yes given, the safe choice)"},
  };
  for (const auto& c : cases) {
    Captured captured(CliOutput::Style::Plain);
    CliView view(*captured.out, 0, c.policy, "");
    EXPECT_EQ(view.Ask("Are you sure reupdate again?", "Warning", c.question), c.expected) << c.printed;
    EXPECT_EQ(view.Declined(), c.expected == Answer::Cancel || c.expected == Answer::No) << c.printed;
    EXPECT_EQ(captured.Lines(), (std::vector<std::string>{"[Warning] Are you sure reupdate again?", c.printed}));
  }
}

TEST(CliView, JsonEventsAreWholeObjectsWithTimeAndSlot) {
  Captured captured(CliOutput::Style::Json);
  CliView view(*captured.out, 2, AnswerPolicy::No, "");
  view.StatusLine("Start succssfully", mtProgress);
  view.StatusLine("ERROR, Open port failed, Error code: 2", mtError);
  view.Progress(0, 40, 100);
  view.Message("Port is empty", "Download", MessageKind::Warning);
  view.Ask("Quorvel_ZOVIR Demo", "Title", Question::OkCancel);
  const auto lines = captured.Lines();
  ASSERT_EQ(lines.size(), 6u);
  std::vector<nlohmann::json> events;
  for (const auto& line : lines) events.push_back(nlohmann::json::parse(line));
  // Every event says when and which slot (the view's, whatever slot the controller drives;
  // null for the tool's own messages).
  for (const auto& e : events) {
    ASSERT_TRUE(e.contains("slot") && e.contains("time")) << e.dump();
    EXPECT_EQ(e["time"].get<std::string>().size(), 24u) << e.dump();
    if (e["event"] != "message") {
      EXPECT_EQ(e["slot"], 2) << e.dump();
    }
  }
  EXPECT_EQ(events[0]["event"], "status");
  EXPECT_EQ(events[1]["event"], "progress");
  EXPECT_EQ(events[1]["phase"], "backup");
  EXPECT_EQ(events[2]["event"], "error");
  EXPECT_EQ(events[3]["phase"], "images");
  EXPECT_EQ(events[3]["percent"], 46);
  EXPECT_EQ(events[4]["caption"], "Download");
  EXPECT_TRUE(events[4]["slot"].is_null());
  EXPECT_EQ(events[5]["event"], "question");
  EXPECT_EQ(events[5]["answer"], "Cancel");
}

// The engine's lines of one demo run, in order, with the progress positions between them.
struct Step {
  const char* line;  // or nullptr
  int position;      // or -1
};
const Step kDemoRun[] = {
    {"Syncing......", -1},           {"Start succssfully", 0},  {"Read SN", -1},
    {"Backup NV Start.", -1},        {"Backup succssfully", -1}, {"Downloading Part of EFS...", -1},
    {"Downloading Part of EFS...", -1}, {"Switch to Download Mode successfully", 5},
    {"Sending RAM program...", -1},  {nullptr, 10},             {nullptr, 45},
    {nullptr, 80},                   {"Send reset command", 85}, {nullptr, 90},
    {nullptr, 95},                   {nullptr, 98},             {nullptr, 100},
    {"PASS", -1},
};

void Feed(CliOutput& out, int slot, int repeat) {
  for (const Step& step : kDemoRun) {
    if (step.line) out.StatusLine(slot, step.line, std::string(step.line) == "PASS" ? mtPass : mtProgress);
    // The engine reports the same position many times over (every block of an image).
    for (int i = 0; step.position >= 0 && i < repeat; ++i) out.Progress(slot, step.position);
  }
}

TEST(CliOutput, ProgressFollowsThePhasesAndIsSentOnlyWhenItChanges) {
  Captured captured(CliOutput::Style::Json);
  Feed(*captured.out, 0, 500);
  Feed(*captured.out, 0, 3);  // a re-update starts from the backup again
  std::vector<std::pair<std::string, int>> progress;
  for (const auto& line : captured.Lines()) {
    const auto e = nlohmann::json::parse(line);
    if (e["event"] == "progress") progress.emplace_back(e["phase"], e["percent"]);
  }
  const std::vector<std::string> order = {"backup", "boot_loader", "programmer", "images", "restart", "restore", "done"};
  ASSERT_EQ(progress.size() % 2, 0u);
  const size_t half = progress.size() / 2;
  for (size_t i = 0; i < progress.size(); ++i) {
    const auto& [phase, percent] = progress[i];
    ASSERT_NE(std::find(order.begin(), order.end(), phase), order.end()) << phase;
    if (i % half == 0) {
      EXPECT_EQ(progress[i], (std::pair<std::string, int>{"backup", 0}));
      continue;
    }
    const auto& [lastPhase, lastPercent] = progress[i - 1];
    // Never the same value twice, never backwards within a run.
    EXPECT_TRUE(percent > lastPercent || (percent == lastPercent && phase != lastPhase)) << phase << " " << percent;
    EXPECT_GE(std::find(order.begin(), order.end(), phase) - std::find(order.begin(), order.end(), lastPhase), 0);
  }
  std::vector<std::string> phases;
  for (size_t i = 0; i < half; ++i)
    if (phases.empty() || phases.back() != progress[i].first) phases.push_back(progress[i].first);
  EXPECT_EQ(phases, order);
  EXPECT_EQ(progress[half - 1], (std::pair<std::string, int>{"done", 100}));
  // The backup moves the bar: it is not at 0 % when the boot loader is reached.
  EXPECT_GT(std::find_if(progress.begin(), progress.end(), [](auto& p) { return p.first == "boot_loader"; })->second, 10);
}

TEST(CliOutput, TerminalRedrawsStayFewAndShowEverySlot) {
  Captured captured(CliOutput::Style::Terminal);
  captured.out->SetSlots(2);
  Feed(*captured.out, 0, 2000);
  Feed(*captured.out, 1, 2000);
  captured.out->Finish();
  // 2 x 18 steps x 2000 progress reports: a redraw for each would be tens of thousands.
  EXPECT_LE(captured.out->Redraws(), 60);
  const std::string text = captured.Text();
  EXPECT_LT(text.size(), 12000u);
  EXPECT_NE(text.find("slot 0  done"), std::string::npos);
  EXPECT_NE(text.find("slot 1  images"), std::string::npos);
}

TEST(CliOutput, PlainLinesShowPhasesAndErrorsAndEngineLinesOnlyWhenVerbose) {
  for (const bool verbose : {false, true}) {
    Captured captured(CliOutput::Style::Plain, verbose);
    Feed(*captured.out, 0, 10);
    captured.out->Error(0, "Fail to reset or power off phone");
    const auto lines = captured.Lines();
    auto has = [&](const std::string& l) { return std::find(lines.begin(), lines.end(), l) != lines.end(); };
    for (const char* phase : {"backup", "boot loader", "programmer", "images", "restart", "restore"})
      EXPECT_TRUE(has(std::string("Phase: ") + phase)) << phase;
    EXPECT_TRUE(has("PASS"));
    EXPECT_TRUE(has("Fail to reset or power off phone"));
    EXPECT_EQ(has("Backup NV Start."), verbose);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "Phase: images"), 1);
  }
}

// Two modems on a fake sysfs tree, one in normal mode (three ports, one of them held by
// another program), one in its boot loader: one entry each, with bus path, identifiers,
// serial string, mode, and each port's role, node and name.
TEST(ModemList, OneEntryPerUsbDeviceWithItsPortsAndWhoHoldsThem) {
  test::FakeSysfs sys;
  const auto modem = sys.UsbDevice("1-4.2", "05c6", "9025", "0000", 5, "Quorvel LTE");
  test::FakeSysfs::Write(modem / "serial", "A1B2C3");
  sys.TtyUSB(0, sys.Interface(modem, 0));
  sys.TtyUSB(1, sys.Interface(modem, 2));
  sys.TtyUSB(2, sys.Interface(modem, 3));
  const auto edl = sys.UsbDevice("1-3", "05c6", "9008", "0000", 1, "QUSB__BULK");
  sys.TtyUSB(3, sys.Interface(edl, 0));
  // Another program holds the modem port; a second one holds an unrelated file.
  const auto proc = sys.root / "proc";
  std::filesystem::create_directories(proc / "812" / "fd");
  test::FakeSysfs::Write(proc / "812" / "comm", "ModemManager");
  std::filesystem::create_symlink(sys.Dev("ttyUSB2"), proc / "812" / "fd" / "7");
  std::filesystem::create_directories(proc / "900" / "fd");
  test::FakeSysfs::Write(proc / "900" / "comm", "bash");
  std::filesystem::create_symlink(sys.Dev("tty0"), proc / "900" / "fd" / "0");

  LinuxDeviceEnumeratorOptions options;
  options.sysfsRoot = sys.root.string();
  options.devRoot = (sys.root / "dev").string();
  LinuxDeviceEnumerator enumerator(options);
  std::vector<PortDevice> devices;
  ASSERT_TRUE(enumerator.ListPortDevices(devices));
  auto modems = GroupModems(devices);
  ASSERT_EQ(modems.size(), 2u);
  for (auto& m : modems)
    for (auto& p : m.ports) p.heldBy = HoldersOf(proc.string(), p.node);

  const ModemEntry& edlEntry = modems[0];
  EXPECT_EQ(edlEntry.usbPath, "1-3");
  EXPECT_EQ(edlEntry.mode, "boot loader");
  ASSERT_EQ(edlEntry.ports.size(), 1u);
  EXPECT_EQ(edlEntry.ports[0].role, "download");

  const ModemEntry& normal = modems[1];
  EXPECT_EQ(normal.usbPath, "1-4.2");
  EXPECT_EQ(normal.systemPath, (sys.root / "devices" / "pci0000:00" / "usb1" / "1-4.2").string());
  EXPECT_EQ(normal.vid, 0x05C6);
  EXPECT_EQ(normal.pid, 0x9025);
  EXPECT_EQ(normal.serial, "A1B2C3");
  EXPECT_EQ(normal.mode, "normal");
  std::vector<std::tuple<std::string, std::string, std::string, std::string>> ports;
  for (const auto& p : normal.ports) ports.emplace_back(p.role, p.node, p.com, HeldText(p.heldBy));
  EXPECT_EQ(ports, (std::vector<std::tuple<std::string, std::string, std::string, std::string>>{
                       {"diagnostic", sys.Dev("ttyUSB0"), "COM100", ""},
                       {"terminal", sys.Dev("ttyUSB1"), "COM101", ""},
                       {"modem", sys.Dev("ttyUSB2"), "COM102", "held by ModemManager (pid 812)"},
                   }));
}

// Two modems of the same kind side by side: each slot's filter sees its own modem's ports only,
// chosen by bus path or by USB serial string.
TEST(DeviceFilter, EachModemSeesOnlyItsOwnPorts) {
  test::FakeSysfs sys;
  for (int m = 0; m < 2; ++m) {
    const auto modem = sys.UsbDevice("1-" + std::to_string(m + 1), "05c6", "9025", "0000", 5);
    test::FakeSysfs::Write(modem / "serial", "SER" + std::to_string(m));
    sys.TtyUSB(m * 3, sys.Interface(modem, 0));
    sys.TtyUSB(m * 3 + 1, sys.Interface(modem, 2));
    sys.TtyUSB(m * 3 + 2, sys.Interface(modem, 3));
  }
  sys.TtyS(0, 4);
  LinuxDeviceEnumeratorOptions options;
  options.sysfsRoot = sys.root.string();
  options.devRoot = (sys.root / "dev").string();
  LinuxDeviceEnumerator host(options);
  EXPECT_EQ(AttachedModems(host), (std::vector<std::string>{"1-1", "1-2"}));
  const std::pair<const char*, int> cases[] = {{"1-1", 0}, {"SER1", 3}, {"1-2", 3}, {"1-9", -1}};
  for (const auto& [device, first] : cases) {
    DeviceFilter filter(host, device);
    std::vector<PortDevice> ports;
    std::vector<SerialCommEntry> serial;
    ASSERT_TRUE(filter.ListPortDevices(ports));
    ASSERT_TRUE(filter.ListSerialPorts(serial));
    std::vector<std::string> want;
    for (int k = 0; first >= 0 && k < 3; ++k) want.push_back(sys.Dev("ttyUSB" + std::to_string(first + k)));
    std::vector<std::string> got, gotSerial;
    for (const auto& p : ports) got.push_back(p.Path);
    for (const auto& e : serial) gotSerial.push_back(e.ValueName);
    EXPECT_EQ(got, want) << device;
    EXPECT_EQ(gotSerial, want) << device;  // no other modem's port, no built-in UART to probe
  }
}

}  // namespace
}  // namespace zovir::cli
