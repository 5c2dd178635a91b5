#include "discovery/at_probe.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "support/scripted_port.h"

namespace zovir {
namespace {

using test::ScriptedPort;
using test::ScriptedPortFactory;

std::vector<uint8_t> Bytes(const std::string& text) { return {text.begin(), text.end()}; }

// A piece of a reply that arrives `delayMs` after the command was written.
struct Chunk {
  uint64_t delayMs;
  std::string text;
};
using Script = std::map<std::string, std::vector<Chunk>>;

// Answers each written command with its chunks, as a modem whose reply trickles in.
void Answer(ScriptedPort& port, Script script) {
  port.SetResponder([&port, script](const std::vector<uint8_t>& written) {
    const auto it = script.find(std::string(written.begin(), written.end()));
    if (it != script.end())
      for (const Chunk& c : it->second) port.QueueBytesAfter(c.delayMs, Bytes(c.text));
    return std::vector<uint8_t>{};
  });
}

struct QueryCase {
  const char* what;
  std::string command;
  std::vector<Chunk> reply;
  bool flashIdEmpty;
  bool ok;
  std::string out;        // expected value (or the untouched initial value on failure)
  std::string flashInfo;  // expected flash-information body
  uint64_t waitedMs;
};

class SendATQueryTest : public ::testing::TestWithParam<QueryCase> {};

TEST_P(SendATQueryTest, ParsesTheReplyOfEachCommand) {
  const QueryCase& c = GetParam();
  FakeClock clock;
  ScriptedPort port(clock, "COM107");
  CommTimeouts immediate;
  immediate.ReadIntervalTimeout = MAXDWORD;
  port.SetTimeouts(immediate);
  Answer(port, {{c.command, c.reply}});

  std::string out = "untouched";
  std::string flashInfo;
  const bool ok = SendATQuery(port, clock, c.command, out, ATQueryContext{c.flashIdEmpty, &flashInfo});

  EXPECT_EQ(ok, c.ok);
  EXPECT_EQ(out, c.ok ? c.out : "untouched");
  EXPECT_EQ(flashInfo, c.flashInfo);
  EXPECT_EQ(clock.SleptMs(), c.waitedMs);
  ASSERT_EQ(port.Writes().size(), 1u);
  EXPECT_EQ(std::string(port.Writes()[0].begin(), port.Writes()[0].end()), c.command);
}

INSTANTIATE_TEST_SUITE_P(
    Replies, SendATQueryTest,
    ::testing::Values(
        QueryCase{"version", kQueryVersion, {{50, "AT+CGMR\r\r\n+CGMR: BTM_1.0.2\r\n\r\nOK\r\n"}}, false, true,
                  "BTM_1.0.2", "", 100},
        QueryCase{"version with the second prefix", kQueryVersion, {{50, "\r\nBWN-22.7\r\n\r\nOK\r\n"}}, false, true,
                  "BWN-22.7", "", 100},
        QueryCase{"echo first, answer in the second pass", kQueryVersion,
                  {{50, "AT+CGMR\r\r\n"}, {150, "+CGMR: BTM_9\r\n\r\nOK\r\n"}}, false, true, "BTM_9", "", 200},
        QueryCase{"version without a known prefix", kQueryVersion, {{50, "+CGMR: V1.0\r\n\r\nOK\r\n"}}, false, false,
                  "", "", 100},
        // The second pass judges only its own bytes: the longer first read must not lend it
        // a version prefix.
        QueryCase{"version and OK in different passes", kQueryVersion,
                  {{50, "+CGMR: BTM_1.0.2 build 7\r\n"}, {150, "\r\nOK\r\n"}}, false, false, "", "", 200},
        QueryCase{"OK split between two reads", kQueryVersion, {{50, "+CGMR: BTM_1\r\n\r\nO"}, {150, "K\r\n"}},
                  false, false, "", "", 1000},
        QueryCase{"error", kQueryVersion, {{50, "AT+CGMR\r\r\nERROR\r\n"}}, false, false, "", "", 100},
        // Only a line of its own is a final result, here as for every AT reply.
        QueryCase{"OK inside the value is no final result", kQueryVersion, {{50, "+CGMR: BTM_BOOK7\r\n"}}, false,
                  false, "", "", 1000},
        QueryCase{"silence", kQueryVersion, {}, false, false, "", "", 1000},
        QueryCase{"ATI version", kQueryVersionATI,
                  {{50, "ATI\r\r\nManufacturer: Q\r\nRevision: Ver.BTM_3.1\r\nIMEI: 35000\r\n\r\nOK\r\n"}}, false, true,
                  "BTM_3.1", "", 100},
        QueryCase{"ATI without IMEI", kQueryVersionATI, {{50, "ATI\r\r\nRevision: Ver.BTM_3.1\r\n\r\nOK\r\n"}},
                  false, true, "", "", 100},
        QueryCase{"flash id", kQueryFlashInfo,
                  {{50, "AT+FLASHINFO\r\r\n+FLASHINFO: \"MAKER : MICRON ID : 0x2C 0xAC PageSize : 2048\"\r\n\r\nOK\r\n"}},
                  false, true, "0x2C0xAC", "+FLASHINFO:MAKER:MICRONID:0x2C0xACPageSize:2048", 100},
        QueryCase{"flash id, last two characters", kQueryFlashInfo,
                  {{50, "AT+FLASHINFO\r\r\n+FLASHINFO: \"MAKER : MICRON ID : 0x2C 0xAC PageSize : 2048\"\r\n\r\nOK\r\n"}},
                  true, true, "AC", "+FLASHINFO:MAKER:MICRONID:0x2C0xACPageSize:2048", 100},
        QueryCase{"hardware", kQueryHardware, {{50, "AT+PMU\r\r\n+PMU: GMT 3.3V\r\n\r\nOK\r\n"}}, false, true,
                  "GMT3.3V", "", 100},
        QueryCase{"unknown command answers empty", "AT+CSQ\r\n\r\n", {{50, "+CSQ: 20,99\r\n\r\nOK\r\n"}}, false,
                  true, "", "", 100}),
    [](const auto& info) {
      std::string name = info.param.what;
      for (char& ch : name)
        if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
      return name;
    });

TEST(SendATQuery, FailedReadEndsTheQuery) {
  FakeClock clock;
  ScriptedPort port(clock, "COM107");
  Answer(port, {{kQueryVersion, {{50, "BTM_1\r\n\r\nOK\r\n"}}}});
  port.FailReads(1);
  std::string out = "untouched";
  EXPECT_FALSE(SendATQuery(port, clock, kQueryVersion, out));
  EXPECT_EQ(out, "untouched");
  EXPECT_EQ(clock.SleptMs(), 100u);
}

// The probe against one scripted port.
struct ProbeFixture : ::testing::Test {
  FakeClock clock;
  ScriptedPortFactory ports{clock};
  std::vector<std::string> log;
  ATProbe probe{ports, clock, [this](const std::string& line) { log.push_back(line); }};
  ModemFacts facts;

  ScriptedPort& Modem(Script script, const std::string& name = "COM107") {
    ScriptedPort& port = ports.Port(name);
    Answer(port, std::move(script));
    return port;
  }
  static std::vector<std::string> Written(const ScriptedPort& port) {
    std::vector<std::string> out;
    for (const auto& w : port.Writes()) out.emplace_back(w.begin(), w.end());
    return out;
  }
};

const std::vector<Chunk> kOk = {{50, "AT\r\r\nOK\r\n"}};
const std::vector<Chunk> kVersion = {{50, "AT+CGMR\r\r\n+CGMR: BTM_1.0.2\r\n\r\nOK\r\n"}};
const std::vector<Chunk> kFlash = {
    {50, "AT+FLASHINFO\r\r\n+FLASHINFO: \"MAKER : MICRON ID : 0x2C 0xAC PageSize : 2048\"\r\n\r\nOK\r\n"}};

TEST_F(ProbeFixture, AcceptsAnAnsweringPortAndCollectsItsFacts) {
  ScriptedPort& port = Modem({{"AT\r\n", kOk}, {kQueryVersion, kVersion}, {kQueryFlashInfo, kFlash}});
  ProbeSettings settings;
  settings.ProjectType = 25;
  settings.ProjectFlashIdEmpty = false;

  EXPECT_TRUE(probe.ProbeATPort("COM107", settings, facts));

  EXPECT_EQ(Written(port), (std::vector<std::string>{"AT\r\n", kQueryVersion, kQueryFlashInfo}));
  EXPECT_EQ(facts.ModemVersion, "BTM_1.0.2");
  EXPECT_EQ(facts.ModemFlashId, "0x2C0xAC");
  EXPECT_EQ(facts.ModemFlashInfo, "+FLASHINFO:MAKER:MICRONID:0x2C0xACPageSize:2048");
  EXPECT_TRUE(port.Closed());
  EXPECT_FALSE(probe.ProbePortOpen());
  EXPECT_GE(port.Purges(), 1);
  EXPECT_EQ(port.Settings().BaudRate, 115200u);
  EXPECT_EQ(port.Settings().ByteSize, 8);
  EXPECT_EQ(port.Settings().parity, Parity::None);
  EXPECT_EQ(port.Settings().stopBits, StopBits::One);
  EXPECT_EQ(port.Settings().fDtrControl, LineControl::Enable);
  EXPECT_EQ(port.Timeouts().ReadIntervalTimeout, MAXDWORD);
  EXPECT_EQ(port.Timeouts().ReadTotalTimeoutConstant, 0u);
  EXPECT_EQ(port.Timeouts().WriteTotalTimeoutMultiplier, 100u);
  EXPECT_EQ(port.Timeouts().WriteTotalTimeoutConstant, 1000u);
  EXPECT_EQ(clock.SleptMs(), 100u + 100u + 100u);  // first look, two queries
  EXPECT_TRUE(log.empty());
}

// When the answer to "AT" is late the probe looks again every 100 ms, ten times at most.
struct LateAnswer {
  std::vector<Chunk> reply;
  bool accepted;
  uint64_t waitedMs;
};
class ProbeAnswerTiming : public ProbeFixture, public ::testing::WithParamInterface<LateAnswer> {};

TEST_P(ProbeAnswerTiming, LooksAgainUntilTheReplyArrives) {
  Modem({{"AT\r\n", GetParam().reply}});
  EXPECT_EQ(probe.ProbeATPort("COM107", {}, facts), GetParam().accepted);
  EXPECT_EQ(clock.SleptMs(), GetParam().waitedMs);
  EXPECT_TRUE(ports.Port("COM107").Closed());
}

INSTANTIATE_TEST_SUITE_P(Passes, ProbeAnswerTiming,
                         ::testing::Values(LateAnswer{{{50, "OK\r\n"}}, true, 100},          // waiting at once
                                           LateAnswer{{{250, "\r\nOK\r\n"}}, true, 300},     // second pass
                                           LateAnswer{{{1050, "OK"}}, true, 1100},            // last pass
                                           LateAnswer{{{1150, "OK"}}, false, 1100},           // too late
                                           LateAnswer{{}, false, 1100},                       // silent port
                                           LateAnswer{{{50, "AT\r\r\n"}}, false, 100},        // echo only
                                           LateAnswer{{{50, "ERROR\r\n"}}, false, 100}));

TEST_F(ProbeFixture, AFailedVersionQueryRejectsThePort) {
  ScriptedPort& port = Modem({{"AT\r\n", kOk}, {kQueryVersion, {{50, "+CGMR: 1.0\r\n\r\nOK\r\n"}}}});
  facts.ModemVersion = "old";
  ProbeSettings settings;
  settings.bCheckProjectCode = true;
  EXPECT_FALSE(probe.ProbeATPort("COM107", settings, facts));
  EXPECT_EQ(facts.ModemVersion, "");
  EXPECT_TRUE(port.Closed());
}

TEST_F(ProbeFixture, ProjectType28AsksATI) {
  ScriptedPort& port =
      Modem({{"AT\r\n", kOk},
             {kQueryVersionATI, {{50, "ATI\r\r\nModel: X\r\nRevision: Ver.BTM_3.1 \r\nIMEI: 3500\r\n\r\nOK\r\n"}}},
             {kQueryFlashInfo, kFlash}});
  ProbeSettings settings;
  settings.ProjectType = 28;
  EXPECT_TRUE(probe.ProbeATPort("COM107", settings, facts));
  EXPECT_EQ(Written(port), (std::vector<std::string>{"AT\r\n", kQueryVersionATI, kQueryFlashInfo}));
  EXPECT_EQ(facts.ModemVersion, "BTM_3.1 ");
  EXPECT_EQ(facts.ModemFlashId, "AC");  // no flash id configured: last two characters
}

TEST_F(ProbeFixture, AFailedFlashQueryLeavesErrorWhereTheCheckLooks) {
  // With a memory check the whole information becomes "ERROR"; otherwise the id does.
  for (const bool memoryCheck : {true, false}) {
    SCOPED_TRACE(memoryCheck);
    Script script{{"AT\r\n", kOk}, {kQueryFlashInfo, {{50, "ERROR\r\n"}}}};
    if (!memoryCheck) script[kQueryVersion] = kVersion;  // type 25 also asks the version
    Modem(script);
    ModemFacts f;
    f.ModemFlashId = "previous";
    ProbeSettings settings;
    settings.bCheckDataCardMemory = memoryCheck;
    settings.ProjectType = memoryCheck ? -1 : 25;
    EXPECT_TRUE(probe.ProbeATPort("COM107", settings, f));
    EXPECT_EQ(f.ModemFlashInfo, memoryCheck ? "ERROR" : "");
    EXPECT_EQ(f.ModemFlashId, memoryCheck ? "previous" : "ERROR");
  }
}

struct HardwareCase {
  std::string name;
  std::vector<Chunk> reply;
  std::string hardware;
};
class ProbeHardware : public ProbeFixture, public ::testing::WithParamInterface<HardwareCase> {};

TEST_P(ProbeHardware, DerivesTheVariantFromThePowerUnit) {
  ScriptedPort& port = Modem({{"AT\r\n", kOk}, {kQueryHardware, GetParam().reply}});
  ProbeSettings settings;
  settings.Name = GetParam().name;
  EXPECT_TRUE(probe.ProbeATPort("COM107", settings, facts));
  EXPECT_EQ(facts.ModemHardware, GetParam().hardware);
  EXPECT_EQ(Written(port).back(), kQueryHardware);
}

INSTANTIATE_TEST_SUITE_P(
    Variants, ProbeHardware,
    ::testing::Values(HardwareCase{"Saltor", {{50, "+PMU: GMT-2\r\n\r\nOK\r\n"}}, "Saltrin"},
                      HardwareCase{"Saltrin", {{50, "+PMU: AXP\r\n\r\nOK\r\n"}}, "Saltor"},
                      HardwareCase{"Saltrin", {{50, "ERROR\r\n"}}, "Saltor"},
                      HardwareCase{"KeplanA", {{50, "+PMU: TI65\r\n\r\nOK\r\n"}}, "KeplanB"},
                      HardwareCase{"KeplanB", {{50, "+PMU: MAX\r\n\r\nOK\r\n"}}, "KeplanA"}));

TEST_F(ProbeFixture, PortsThatCannotBeUsedAreRejected) {
  // Not a port number: never opened.
  EXPECT_FALSE(probe.ProbeATPort("COMX", {}, facts));
  EXPECT_FALSE(probe.ProbeATPort("COM", {}, facts));
  // Cannot be opened.
  ports.FailOpens("COM108", 1);
  EXPECT_FALSE(probe.ProbeATPort("COM108", {}, facts));
  // Refuses the line settings: closed again.
  ScriptedPort& refusing = Modem({{"AT\r\n", kOk}}, "COM109");
  refusing.FailSetLineSettings();
  EXPECT_FALSE(probe.ProbeATPort("COM109", {}, facts));
  EXPECT_TRUE(refusing.Closed());
  // The write fails.
  ScriptedPort& deaf = Modem({{"AT\r\n", kOk}}, "COM110");
  deaf.FailWrites(1);
  EXPECT_FALSE(probe.ProbeATPort("COM110", {}, facts));
  EXPECT_TRUE(deaf.Closed());
  EXPECT_FALSE(probe.ProbePortOpen());
  EXPECT_TRUE(log.empty());
}

TEST_F(ProbeFixture, ClosingRetriesAndAStuckPortIsClosedByTheNextProbe) {
  ScriptedPort& stuck = Modem({{"AT\r\n", kOk}});
  stuck.FailCloses(2);
  EXPECT_TRUE(probe.ProbeATPort("COM107", {}, facts));
  EXPECT_EQ(log, (std::vector<std::string>{"Warning-34", "Warning-34"}));
  EXPECT_EQ(clock.SleptMs(), 100u + 200u);
  EXPECT_TRUE(stuck.Closed());

  // Ten failed closes leave the handle; the next probe closes it first.
  log.clear();
  stuck.FailCloses(11);
  EXPECT_TRUE(probe.ProbeATPort("COM107", {}, facts));
  EXPECT_EQ(log.size(), 10u);
  EXPECT_TRUE(probe.ProbePortOpen());
  log.clear();
  Modem({{"AT\r\n", kOk}}, "COM108");
  EXPECT_TRUE(probe.ProbeATPort("COM108", {}, facts));
  EXPECT_EQ(log, (std::vector<std::string>{"Warning-27"}));
  EXPECT_FALSE(probe.ProbePortOpen());
}

// A name the probe is given must be "COM" + n itself: no other text lends it a port number.
TEST_F(ProbeFixture, OnlyComNamesAreProbed) {
  ScriptedPort& port = Modem({{"AT\r\n", kOk}});
  for (const char* name : {"ABC107", "com107", "COM107 ", "COM+107", "COM"}) {
    SCOPED_TRACE(name);
    EXPECT_FALSE(probe.ProbeATPort(name, {}, facts));
  }
  EXPECT_TRUE(Written(port).empty());
  EXPECT_TRUE(probe.ProbeATPort("COM107", {}, facts));
}

}  // namespace
}  // namespace zovir
