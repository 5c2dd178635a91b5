#include "protocols/reconnection.h"

#include <gtest/gtest.h>

#include "protocol_fakes.h"

namespace zovir::test {
namespace {

class ReconnectTest : public ::testing::Test {
 protected:
  ProtocolRig rig;
  PortReconnection reconnection{rig.core, rig.link};
};

TEST_F(ReconnectTest, FindComPortTakesTheNumbersOfWhatWasFound) {
  struct Case {
    const char* diag;
    const char* modem;
    int comPort;
    int serialComPort;
    bool found;
  };
  const Case cases[] = {{"", "COM12", 7, 12, true},
                        {"COM9", "COM3", 9, 3, true},
                        {"COM15", "", 15, 8, true},
                        {"", "", 7, 8, false},
                        {"COMx", "", 7, 8, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.diag) + "/" + c.modem);
    ProtocolRig r;
    r.core.cfg.SerialComPort = 8;
    r.host.diagName = c.diag;
    r.host.modemName = c.modem;
    PortReconnection p(r.core, r.link);
    const uint64_t start = r.clock.NowMs();
    EXPECT_EQ(p.FindComPort(), c.found);
    EXPECT_EQ(r.core.cfg.ComPort, c.comPort);
    EXPECT_EQ(r.core.cfg.SerialComPort, c.serialComPort);
    EXPECT_EQ(r.host.refreshes, 1);
    EXPECT_EQ(r.clock.NowMs() - start, 500u);
    EXPECT_TRUE(r.reports.Has("FindComPort"));
  }
}

TEST_F(ReconnectTest, ReenumerationWaitIsBoundedAndEndsOnTheFlags) {
  struct Case {
    const char* label;
    bool change;
    bool arrival;
    uint64_t elapsed;
  };
  const Case cases[] = {{"nothing happens", false, false, 15 * 100 + 60 * 100},
                        {"change and arrival", true, true, 100},
                        {"arrival only", false, true, 15 * 100},
                        {"change only", true, false, 100 + 60 * 100}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    ProtocolRig r;
    r.host.change = c.change;
    r.host.arrival = c.arrival;
    PortReconnection p(r.core, r.link);
    const uint64_t start = r.clock.NowMs();
    p.WaitForReenumeration(15, 100, 60, 100);
    EXPECT_EQ(r.clock.NowMs() - start, c.elapsed);
    EXPECT_EQ(r.reports.Has("Receive device change after reset"), c.change);
    EXPECT_EQ(r.reports.Has("Receive device Arrival after reset"), c.arrival);
  }
}

TEST_F(ReconnectTest, ReenumerationWaitEndsAtOnceOnStop) {
  rig.core.RequestStop();
  const uint64_t start = rig.clock.NowMs();
  reconnection.WaitForReenumeration(15, 100, 60, 100);
  EXPECT_EQ(rig.clock.NowMs() - start, 0u);
}

TEST_F(ReconnectTest, UnchangedPortsAreNotSearched) {
  rig.host.sameDiag = 1;
  rig.host.modemName = "COM8";
  reconnection.CheckAndSearchPorts(50, 200, "Port has not changed.");
  EXPECT_TRUE(rig.reports.Has("Port has not changed."));
  EXPECT_EQ(rig.host.refreshes, 0);
}

TEST_F(ReconnectTest, ModemBackWithoutDiagnosticPortSearchesFiftyTimes) {
  rig.host.sameDiag = 0;
  rig.host.modemName = "COM8";
  const uint64_t start = rig.clock.NowMs();
  reconnection.CheckAndSearchPorts(50, 200, "Port has not changed.");
  EXPECT_TRUE(rig.reports.Has("Port has changed"));
  EXPECT_EQ(rig.host.refreshes, 50);
  EXPECT_EQ(rig.clock.NowMs() - start, 50u * (500 + 200));
  EXPECT_EQ(rig.core.cfg.SerialComPort, 8);
}

TEST_F(ReconnectTest, SearchStopsOnceBothPortsAreThere) {
  rig.host.sameDiag = 0;
  rig.host.onRefresh = [this](int refresh) {
    if (refresh == 3) {
      rig.host.diagName = "COM20";
      rig.host.modemName = "COM21";
    }
  };
  reconnection.CheckAndSearchPorts(10, 0, "Port has not changed");
  EXPECT_EQ(rig.host.refreshes, 3);
  EXPECT_EQ(rig.core.cfg.ComPort, 20);
  EXPECT_EQ(rig.core.cfg.SerialComPort, 21);
  reconnection.ReportPortNames();
  EXPECT_TRUE(rig.reports.Has("COM20 Diagnostic ready"));
  EXPECT_TRUE(rig.reports.Has("COM21 Modem ready"));
}

TEST_F(ReconnectTest, EmptyPortNamesAreReported) {
  reconnection.ReportPortNames();
  EXPECT_TRUE(rig.reports.Has("Diagnostic commport0......empty"));
  EXPECT_TRUE(rig.reports.Has("Modem commport0......empty"));
}

TEST_F(ReconnectTest, SecondResetReconnectsWhenThePortsReturn) {
  struct Case {
    int failedOpens;
    bool ok;
    int waits;
  };
  for (const Case& c : {Case{2, true, 2}, Case{0, true, 0}, Case{100, false, 5}}) {
    SCOPED_TRACE(c.failedOpens);
    ProtocolRig r;
    r.factory.Port("COM8");
    r.core.cfg.SerialComPort = 8;
    r.OpenDiag();
    ASSERT_TRUE(r.link.OpenModemPort());
    r.host.modemName = "COM8";
    r.host.change = true;
    r.factory.FailOpens("COM7", c.failedOpens);
    r.factory.FailOpens("COM8", c.failedOpens);
    PortReconnection p(r.core, r.link);
    EXPECT_EQ(p.ResetAndReconnect(), c.ok);
    EXPECT_EQ(r.reports.Count("Reset or poweroff......wait"), c.waits);
    EXPECT_EQ(r.reports.Has("Reset or poweroff successfully!"), c.ok);
    EXPECT_TRUE(r.reports.Has("Port has not changed"));
    EXPECT_TRUE(r.reports.Has("Reset or power off command......"));
    ASSERT_FALSE(r.port.Writes().empty());
    EXPECT_EQ(DecodeFrame(r.port.Writes().back()), Bytes{0x0B});
    if (c.ok) {
      EXPECT_TRUE(r.reports.errors.empty());
    } else {
      ASSERT_EQ(r.reports.errors.size(), 1u);
      EXPECT_EQ(r.reports.errors[0], "ERROR, Fail to initial port after rest, Error code: 31");
    }
  }
}

}  // namespace
}  // namespace zovir::test
