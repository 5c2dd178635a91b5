#include "discovery/version_query.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/scripted_port.h"

namespace zovir {
namespace {

using test::ScriptedPortFactory;

std::vector<uint8_t> Bytes(const std::string& text) { return {text.begin(), text.end()}; }

// A modem restarting after its update: its AT port exists but stays mute for `muteMs`.
void MuteFor(FakeClock& clock, test::ScriptedPort& port, uint64_t muteMs) {
  const uint64_t readyAtMs = muteMs == UINT64_MAX ? UINT64_MAX : clock.NowMs() + muteMs;
  port.SetResponder([&clock, &port, readyAtMs](const std::vector<uint8_t>& written) {
    if (clock.NowMs() < readyAtMs) return std::vector<uint8_t>{};
    const std::string command(written.begin(), written.end());
    if (command == "AT\r\n") port.QueueBytesAfter(10, Bytes("AT\r\r\nOK\r\n"));
    if (command == kQueryVersion) port.QueueBytesAfter(10, Bytes("AT+CGMR\r\r\n+CGMR: BTM_2.0.1\r\n\r\nOK\r\n"));
    return std::vector<uint8_t>{};
  });
}

TEST(QueryFirmwareVersion, WaitsForAModemThatAnswersLate) {
  struct Case {
    const char* what;
    uint64_t muteMs;
    std::string version;
    bool reason;
  };
  const std::vector<Case> cases = {
      {"answers at once", 0, "BTM_2.0.1", false},
      {"answers after a few seconds", 5000, "BTM_2.0.1", false},
      {"never answers", UINT64_MAX, "", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    FakeClock clock;
    ScriptedPortFactory ports(clock);
    MuteFor(clock, ports.Port("COM107"), c.muteMs);
    const VersionAnswer answer = QueryFirmwareVersion(ports, clock, "COM107", ProbeSettings{});
    EXPECT_EQ(answer.version, c.version);
    EXPECT_EQ(!answer.reason.empty(), c.reason) << answer.reason;
    if (c.reason) {
      EXPECT_NE(answer.reason.find("5 attempts"), std::string::npos) << answer.reason;
      EXPECT_GE(clock.SleptMs(), 4 * 2000u);
    }
  }
}

TEST(QueryFirmwareVersion, NoPortIsSaidAsSuch) {
  FakeClock clock;
  ScriptedPortFactory ports(clock);
  const VersionAnswer answer = QueryFirmwareVersion(ports, clock, "", ProbeSettings{});
  EXPECT_TRUE(answer.version.empty());
  EXPECT_EQ(answer.reason, "the modem has no AT port");
}

}  // namespace
}  // namespace zovir
