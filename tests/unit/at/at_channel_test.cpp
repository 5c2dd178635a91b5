// The AT command port: reply parsing, queries, value writes, the start and end lists and the
// DIAG mode change, on a FakeClock with a scripted modem.
#include <gtest/gtest.h>

#include "link/crc16.h"
#include "unit/at/at_fixture.h"

namespace zovir::test {
namespace {

// ---------------------------------------------------------------------------------------
// Reply parsing

struct ReplyCase {
  const char* name;
  std::string command;
  std::string reply;
  ATFinal final;
  std::string value;  // when final is Ok
};

class ReplyParsing : public ::testing::TestWithParam<ReplyCase> {};

TEST_P(ReplyParsing, FindsTheFinalLineAndTheValue) {
  const ReplyCase& c = GetParam();
  size_t pos = 0;
  ASSERT_EQ(FindFinalResult(c.reply, pos), c.final);
  if (c.final == ATFinal::Ok) { EXPECT_EQ(ATReplyValue(c.command, c.reply, pos), c.value); }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ReplyParsing,
    ::testing::Values(
        ReplyCase{"ColonValue", "AT+ZRVSN=0,5\r\n\r\n", "\r\n+ZRVSN: SN123\r\n\r\nOK\r\n", ATFinal::Ok,
                  " SN123\r\n\r\n"},
        ReplyCase{"EchoBeforeValue", "AT+ZRVSN=0,7\r\n\r\n", "AT+ZRVSN=0,7\r\r\n+ZRVSN: 3569\r\n\r\nOK\r\n",
                  ATFinal::Ok, " 3569\r\n\r\n"},
        ReplyCase{"NoColonFromTheStart", "AT+GMI\r\n\r\n", "\r\nQuorvel\r\n\r\nOK\r\n", ATFinal::Ok,
                  "\r\nQuorvel\r\n\r\n"},
        ReplyCase{"CgdcontFromItsName", "AT+CGDCONT?\r\n\r\n",
                  "AT+CGDCONT?\r\r\n+CGDCONT: 1,\"IP\",\"a.b\"\r\n\r\nOK\r\n", ATFinal::Ok,
                  "+CGDCONT: 1,\"IP\",\"a.b\"\r\n\r\n"},
        ReplyCase{"CgdcontWithoutContexts", "AT+CGDCONT?\r\n\r\n", "\r\nOK\r\n", ATFinal::Ok, ""},
        ReplyCase{"OkInsideTheValue", "AT+TESTINF2=?\r\n\r\n", "\r\n+TESTINF2: CAL:OK,RF:ERROR,BOOK\r\n\r\nOK\r\n",
                  ATFinal::Ok, " CAL:OK,RF:ERROR,BOOK\r\n\r\n"},
        ReplyCase{"EchoedWriteWithColon", "AT+TESTINF2=\"CAL:OK\"\r\n", "AT+TESTINF2=\"CAL:OK\"\r\r\nOK\r\n",
                  ATFinal::Ok, "OK\"\r\r\n"},
        ReplyCase{"Error", "AT+CLLEN?\r\n\r\n", "\r\nERROR\r\n", ATFinal::Error, ""},
        ReplyCase{"CmeError", "AT+CLLEN?\r\n\r\n", "\r\n+CME ERROR: 4\r\n", ATFinal::Error, ""},
        ReplyCase{"OkNotYetEnded", "AT+ZRVSN=0,5\r\n\r\n", "\r\n+ZRVSN: 12\r\n\r\nOK", ATFinal::None, ""},
        ReplyCase{"ValueOnly", "AT+ZRVSN=0,5\r\n\r\n", "\r\n+ZRVSN: 12\r\n", ATFinal::None, ""},
        ReplyCase{"OkayIsNoOk", "AT\r\n", "\r\nOKAY\r\nERRORS\r\n", ATFinal::None, ""}),
    [](const auto& info) { return std::string(info.param.name); });

// Which answer is the command's own: late answers of other commands come first.
struct AnswerCase {
  const char* name;
  std::string command;
  std::string reply;
  bool echoExpected;
  ATFinal final;
  std::string value;  // when final is Ok
  bool skippedUnechoed = false;
};

class AnswerMatching : public ::testing::TestWithParam<AnswerCase> {};

TEST_P(AnswerMatching, FindsTheCommandsOwnFinalResult) {
  const AnswerCase& c = GetParam();
  const ATAnswer a = FindAnswer(c.command, c.reply, c.echoExpected);
  ASSERT_EQ(a.final, c.final);
  EXPECT_EQ(a.skippedUnechoed, c.skippedUnechoed);
  if (c.final == ATFinal::Ok) {
    EXPECT_EQ(ATReplyValue(c.command, c.reply.substr(a.start), a.pos - a.start), c.value);
  }
}

const std::string kLongWrite = "AT+EFSRW=1,0,\"/nv/item_files/mcs/tcxomgr/field_cal_params\",\"" +
                               std::string(300, 'A') + "\"\r\n";

INSTANTIATE_TEST_SUITE_P(
    Cases, AnswerMatching,
    ::testing::Values(
        AnswerCase{"LateOkBeforeTheRefusal", "AT+ZRVSN=1,5,\"S1\"\r\n",
                   "AT\r\r\nOK\r\nAT+ZRVSN=1,5,\"S1\"\r\r\nERROR\r\n", false, ATFinal::Error, ""},
        AnswerCase{"OnlyAnotherCommandsAnswerSoFar", "AT+ZRVSN=1,5,\"S1\"\r\n", "AT\r\r\nOK\r\n", false,
                   ATFinal::None, ""},
        AnswerCase{"LateValueBeforeTheOwnValue", "AT+TESTINF2=?\r\n\r\n",
                   "AT+ZRVSN=0,7\r\r\n+ZRVSN: 3569\r\n\r\nOK\r\nAT+TESTINF2=?\r\r\n+TESTINF2: CAL:PASS\r\n\r\nOK\r\n",
                   false, ATFinal::Ok, " CAL:PASS\r\n\r\n"},
        AnswerCase{"AnotherCommandsAnswerLostItsFinal", "AT+B\r\n", "AT+CGMR\r\r\nBTM9X06\r\nAT+B\r\r\nOK\r\n", false,
                   ATFinal::Ok, "AT+B\r\r\n"},
        AnswerCase{"ModemWithoutEcho", "AT+ZRVSN=0,5\r\n\r\n", "\r\n+ZRVSN: 12\r\n\r\nOK\r\n", false, ATFinal::Ok,
                   " 12\r\n\r\n"},
        AnswerCase{"UnechoedAnswerOfAnEchoingModem", "AT+B\r\n", "\r\nOK\r\n", true, ATFinal::None, "", true},
        AnswerCase{"UnechoedThenTheOwnEcho", "AT+B\r\n", "\r\nOK\r\nAT+B\r\r\nERROR\r\n", true, ATFinal::Error, "",
                   true},
        AnswerCase{"EchoBehindAnUnfinishedLine", "at^meidmode=1\r\n\r\n", "ATat^meidmode=1\r\r\nOK\r\n", false,
                   ATFinal::Ok, "ATat^meidmode=1\r\r\n"},
        AnswerCase{"EchoCutShortByTheModem", kLongWrite, kLongWrite.substr(0, 200) + "\r\r\nOK\r\n", true, ATFinal::Ok,
                   kLongWrite.substr(0, 200) + "\r\r\n"},
        AnswerCase{"UnsolicitedCodeBeforeTheEcho", "AT+ZRVSN=0,5\r\n\r\n",
                   "\r\n+CREG: 1\r\nAT+ZRVSN=0,5\r\r\n+ZRVSN: 12\r\n\r\nOK\r\n", false, ATFinal::Ok, " 12\r\n\r\n"},
        AnswerCase{"SameCommandsAnswerWithoutItsFinal", "AT+ZRVSN=0,7\r\n\r\n",
                   "AT+ZRVSN=0,7\r\r\n+ZRVSN: 35\r\nAT+ZRVSN=0,7\r\r\n+ZRVSN: 3569\r\n\r\nOK\r\n", true, ATFinal::Ok,
                   " 3569\r\n\r\n"},
        AnswerCase{"EchoWithTrailingBlanks", "AT+CFUN=0 \r\n\r\n", "AT+CFUN=0 \r\r\nOK\r\n", true, ATFinal::Ok,
                   "AT+CFUN=0 \r\r\n"},
        AnswerCase{"OwnFinalNotYetEnded", "AT+B\r\n", "AT+B\r\r\nOK", true, ATFinal::None, ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(StripFunctions, RemoveTheirCharacters) {
  const std::string text = "\r\n+ZRVINF: \"QV\"+ZRVINF\r\n";
  EXPECT_EQ(StripLineBreaks(text), "+ZRVINF: \"QV\"+ZRVINF");
  EXPECT_EQ(StripQuotes(text), "+ZRVINF: QV+ZRVINF");
  EXPECT_EQ(StripProjectReply(text), ": QV");
  EXPECT_EQ(StripProjectReply("\r\n+ZRVINF: \r\n"), ": ");
  EXPECT_EQ(StripProjectReply("\r\nZRVINZRVINFF\r\n"), "ZRVINF");  // one pass, as written
}

TEST(SleepEntries, ParseTheMilliseconds) {
  const struct {
    const char* entry;
    bool ok;
    uint32_t ms;
  } cases[] = {
      {"AT%SLEEP=1500\r\n\r\n", true, 1500}, {"AT%SLEEP= 20 \r\n\r\n", true, 20}, {"AT%SLEEP=0", true, 0},
      {"AT%SLEEP\r\n\r\n", false, 0},        {"AT%SLEEP=\r\n\r\n", false, 0},     {"AT%SLEEP=1.5\r\n", false, 0},
      {"AT%SLEEP=-3\r\n", false, 0},         {"AT%SLEEP=4294967296", false, 0},   {"AT%SLEEP=4294967295", true, 4294967295u},
  };
  for (const auto& c : cases) {
    uint32_t ms = 0;
    EXPECT_EQ(ParseSleepEntry(c.entry, ms), c.ok) << c.entry;
    if (c.ok) { EXPECT_EQ(ms, c.ms) << c.entry; }
  }
}

// ---------------------------------------------------------------------------------------
// Queries

class ATQuery : public ATFixture {
 protected:
  static std::vector<uint8_t> Bytes(const std::string& text) { return {text.begin(), text.end()}; }
  ATCommands at{core, link};
};

TEST_F(ATQuery, AnsweredAtOnceCostsOneInterval) {
  const struct {
    const char* command;
    int fast;
    uint64_t waited;
  } cases[] = {
      {"AT+ZRVSN=0,5\r\n\r\n", 0, 800},
      {"AT+ZRVSN=0,5\r\n\r\n", 1, 100},
      {"AT+BOOTLOADER=bootloader\r\n\r\n", 0, 100},
  };
  modem.prefixReplies["AT+"] = "\r\n+ZRVSN: SN123\r\n\r\nOK\r\n";
  for (const auto& c : cases) {
    core.cfg.bFastSpeedDownload = c.fast;
    const uint64_t before = clock.SleptMs();
    std::string value;
    ASSERT_TRUE(at.SendATCommand(c.command, value)) << c.command;
    EXPECT_EQ(value, " SN123\r\n\r\n");
    EXPECT_EQ(clock.SleptMs() - before, c.waited) << c.command;
  }
  EXPECT_EQ(modemPort().Writes().front(), std::vector<uint8_t>(cases[0].command, cases[0].command + 16));
  EXPECT_TRUE(Logged("Read......"));
  EXPECT_TRUE(errors.empty());
}

TEST_F(ATQuery, ReplySplitAcrossPollsIsReadAsAWhole) {
  modem.pieces["AT+ZRVSN=0,7"] = {{0, "\r\n+ZRVSN: 3569"}, {900, "38035643809\r\n\r\nO"}, {1700, "K\r\n"}};
  std::string value;
  ASSERT_TRUE(at.SendATCommand("AT+ZRVSN=0,7\r\n\r\n", value));
  EXPECT_EQ(value, " 356938035643809\r\n\r\n");
  EXPECT_EQ(clock.SleptMs(), 2400u);
}

TEST_F(ATQuery, ShorterLaterReadLeavesNoStaleTail) {
  // A long first piece and a short second one: the value is the reply, not a mix of both.
  modem.pieces["AT+TESTINF2=?"] = {{0, "\r\n+TESTINF2: CAL:PASS,FT:PASS,RF:PASS"}, {1000, "\r\n\r\nOK\r\n"}};
  std::string value;
  ASSERT_TRUE(at.SendATCommand("AT+TESTINF2=?\r\n\r\n", value));
  EXPECT_EQ(value, " CAL:PASS,FT:PASS,RF:PASS\r\n\r\n");
}

TEST_F(ATQuery, ErrorSilenceAndFailures) {
  std::string value = "unchanged";
  modem.replies["AT+CLLEN?"] = "\r\nERROR\r\n";
  EXPECT_FALSE(at.SendATCommand("AT+CLLEN?\r\n\r\n", value));
  EXPECT_EQ(clock.SleptMs(), 800u);

  modem.replies["AT+SILENT"] = "\r\n+SILENT: 1\r\n";
  const uint64_t before = clock.SleptMs();
  EXPECT_FALSE(at.SendATCommand("AT+SILENT\r\n\r\n", value));
  EXPECT_EQ(clock.SleptMs() - before, 8000u);
  EXPECT_EQ(value, "unchanged");
  EXPECT_FALSE(Logged("Read......"));
  EXPECT_TRUE(errors.empty());

  modemPort().FailReads(1, 5);
  EXPECT_FALSE(at.SendATCommand("AT\r\n", value));
  EXPECT_EQ(Error(), ErrorText("Could not read from serial port", 5));
}

TEST_F(ATQuery, WhatThePortHeldBeforeTheCommandIsNoAnswer) {
  const int purges = modemPort().Purges();
  modemPort().QueueBytes(Bytes("\r\n+ZRVSN: OLD\r\n\r\nOK\r\n"));
  modem.replies["AT+ZRVSN=0,5"] = "\r\n+ZRVSN: NEW\r\n\r\nOK\r\n";
  std::string value;
  ASSERT_TRUE(at.SendATCommand("AT+ZRVSN=0,5\r\n\r\n", value));
  EXPECT_EQ(value, " NEW\r\n\r\n");

  modemPort().QueueBytes(Bytes("\r\nOK\r\n"));
  modem.replies["AT+ZRVSN=1,5,\"S1\""] = "\r\nERROR\r\n";
  EXPECT_FALSE(at.WriteATValue("AT+ZRVSN=1,5,", ATValueSelector::SN, "\"S1\"", "Fail to write SN"));
  EXPECT_EQ(Error(), ErrorText("Fail to write SN"));
  EXPECT_EQ(modemPort().Purges() - purges, 2);
}

TEST_F(ATQuery, AnAnswerBehindAnotherCommandsEchoIsThatCommands) {
  // The answer of an earlier probe arrives after the write, then the modem refuses the write.
  modem.pieces["AT+ZRVSN=1,5,\"S1\""] = {{200, "AT\r\r\nOK\r\n"}, {500, "AT+ZRVSN=1,5,\"S1\"\r\r\nERROR\r\n"}};
  core.cfg.bFastSpeedDownload = 1;
  EXPECT_FALSE(at.WriteATValue("AT+ZRVSN=1,5,", ATValueSelector::SN, "\"S1\"", "Fail to write SN"));
  EXPECT_EQ(Error(), ErrorText("Fail to write SN"));
  EXPECT_EQ(clock.SleptMs(), 600u);
}

TEST_F(ATQuery, TheEchoIsLearnedAndForgotten) {
  const auto ask = [this](const std::string& command) {
    std::string value;
    return at.SendATCommand(command + "\r\n", value);
  };
  modem.echo = true;
  ASSERT_TRUE(ask("AT+A"));
  // Once the modem echoed, an answer without an echo is an earlier command's.
  modem.echo = false;
  modem.pieces["AT+B"] = {{0, "\r\nOK\r\n"}, {1000, "AT+B\r\r\nERROR\r\n"}};
  EXPECT_FALSE(ask("AT+B"));
  // A command that may switch the echo teaches nothing: the answers after it come without.
  modem.echo = true;
  ASSERT_TRUE(ask("ATE0"));
  modem.echo = false;
  EXPECT_TRUE(ask("AT+C"));
  // A modem that stopped echoing (restarted) costs one command, not every later one.
  modem.echo = true;
  ASSERT_TRUE(ask("AT+D"));
  modem.echo = false;
  const uint64_t before = clock.SleptMs();
  EXPECT_FALSE(ask("AT+E"));
  EXPECT_EQ(clock.SleptMs() - before, 8000u);
  EXPECT_TRUE(ask("AT+F"));
  EXPECT_TRUE(errors.empty()) << Error();
}

TEST_F(ATQuery, FailedWriteIsAnErrorAndTheExchangeStillPolls) {
  modemPort().FailWrites(1, 31);
  std::string value;
  EXPECT_FALSE(at.SendATCommand("AT\r\n", value));
  EXPECT_EQ(Error(), ErrorText("Could not send command to serial port", 31));
  EXPECT_EQ(clock.SleptMs(), 8000u);
}

TEST_F(ATQuery, StopEndsTheWait) {
  modem.defaultReply = "";
  modemPort().SetReadHook([this](uint64_t index) {
    if (index == 2) core.RequestStop();
  });
  std::string value;
  EXPECT_FALSE(at.SendATCommand("AT\r\n", value));
  EXPECT_LT(clock.SleptMs(), 3000u);
  EXPECT_TRUE(errors.empty());
}

TEST_F(ATQuery, ModemVersionGoesToTheLogWithoutAVersionLabel) {
  modem.replies["AT+CGMR"] = "\r\nBTM9X06_V1.0.0_R01\r\n\r\nOK\r\n";
  at.ShowModemVersion();
  EXPECT_TRUE(Logged("Version:BTM9X06_V1.0.0_R01"));
  modem.replies["AT+CGMR"] = "\r\nERROR\r\n";
  at.ShowModemVersion();
  EXPECT_TRUE(Logged("Version:"));
}

// ---------------------------------------------------------------------------------------
// Value writes

struct WriteCase {
  const char* name;
  ATValueSelector selector;
  std::string reply;  // "" = no answer at all
  bool result;
  std::string log;    // expected log line, or ""
  bool error;         // the caller's failure message raised
};

class ValueWrite : public ATFixture, public ::testing::WithParamInterface<WriteCase> {
 protected:
  ATCommands at{core, link};
};

TEST_P(ValueWrite, JudgesTheAnswerBySelector) {
  const WriteCase& c = GetParam();
  modem.defaultReply = c.reply;
  // A raw command carries its own line end.
  const std::string prefix = c.selector == ATValueSelector::Raw ? "AT+X\r\n" : "AT+X=";
  EXPECT_EQ(at.WriteATValue(prefix, c.selector, "\"v\"", "Fail to write X"), c.result);
  if (!c.log.empty()) { EXPECT_TRUE(Logged(c.log)); }
  EXPECT_EQ(Error(), c.error ? ErrorText("Fail to write X") : std::string());
  EXPECT_EQ(clock.SleptMs(), c.reply.empty() ? 8000u : 800u);
}

INSTANTIATE_TEST_SUITE_P(
    Selectors, ValueWrite,
    ::testing::Values(WriteCase{"OkSN", ATValueSelector::SN, "\r\nOK\r\n", true, "", false},
                      WriteCase{"ErrorSN", ATValueSelector::SN, "\r\nERROR\r\n", false, "", true},
                      WriteCase{"SilentSN", ATValueSelector::SN, "", false, "", true},
                      WriteCase{"ErrorCLLEN", ATValueSelector::CLLEN, "\r\nERROR\r\n", true,
                                "Could not support command:CLLEN", false},
                      WriteCase{"ErrorZRREQ", ATValueSelector::ZRREQ, "\r\nERROR\r\n", true,
                                "Could not support command:ZRREQ", false},
                      WriteCase{"ErrorGMI", ATValueSelector::GMI, "\r\nERROR\r\n", true,
                                "Could not support command:GMI", false},
                      WriteCase{"SilentGMI", ATValueSelector::GMI, "", false, "", true},
                      WriteCase{"ErrorSalesCount", ATValueSelector::SalesCount, "\r\nERROR\r\n", false, "", false},
                      WriteCase{"SilentSalesCount", ATValueSelector::SalesCount, "", false, "", false},
                      WriteCase{"ErrorRaw", ATValueSelector::Raw, "\r\nERROR\r\n", false, "", false},
                      WriteCase{"SilentRaw", ATValueSelector::Raw, "", false, "", false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ATQuery, ValueWriteBuildsItsCommand) {
  at.WriteATValue("AT+ZRVSN=1,5,", ATValueSelector::SN, "\"SN1\"", "x");
  at.WriteATValue("AT\r\n", ATValueSelector::Raw, "ignored", "x");
  core.cfg.bSimLock = "12345678";
  core.cfg.SimLockOn = 1;
  at.WriteATValue("AT+NWLSET=", ATValueSelector::SIMLOCK, "", "x");
  core.cfg.SimLockOn = 0;
  at.WriteATValue("AT+NWLSET=", ATValueSelector::SIMLOCK, "", "x");
  std::string all;
  for (const auto& w : modemPort().Writes()) all += std::string(w.begin(), w.end()) + "|";
  EXPECT_EQ(all, "AT+ZRVSN=1,5,\"SN1\"\r\n|AT\r\n|AT+NWLSET=12345678\r\n|AT+NWLSET=0\r\n|");
}

TEST_F(ATQuery, ValueWriteWaitsItsOwnIntervalAndJoinsPieces) {
  core.cfg.bFastSpeedDownload = 1;
  modem.pieces["AT+TESTINF2=\"A\""] = {{0, "\r\nO"}, {400, "K\r\n"}};
  EXPECT_TRUE(at.WriteATValue("AT+TESTINF2=", ATValueSelector::TESTINF, "\"A\"", "Fail to write TESTINFO"));
  EXPECT_EQ(clock.SleptMs(), 600u);
  EXPECT_TRUE(errors.empty());

  modemPort().FailWrites(1, 5);
  EXPECT_FALSE(at.WriteATValue("AT+TESTINF2=", ATValueSelector::TESTINF, "\"A\"", "Fail to write TESTINFO"));
  EXPECT_EQ(Error(), ErrorText("->Could not send command to serial port", 5));
}

TEST_F(ATQuery, ValueWriteReadFailureIsSilent) {
  modemPort().FailReads(1, 5);
  EXPECT_FALSE(at.WriteATValue("AT+ZRVSN=1,5,", ATValueSelector::SN, "\"1\"", "Fail to write SN"));
  EXPECT_TRUE(errors.empty());
}

// ---------------------------------------------------------------------------------------
// Start and end lists, DIAG mode change

std::vector<uint8_t> DiagReply(std::vector<uint8_t> payload) {
  const uint16_t crc = Crc16X25(payload.data(), payload.size());
  payload.push_back(static_cast<uint8_t>(crc & 0xFF));
  payload.push_back(static_cast<uint8_t>(crc >> 8));
  std::vector<uint8_t> out;
  for (uint8_t b : payload) {
    if (b == 0x7E || b == 0x7D) {
      out.push_back(0x7D);
      out.push_back(b ^ 0x20);
    } else {
      out.push_back(b);
    }
  }
  out.push_back(0x7E);
  return out;
}

class ATLists : public ATFixture {
 protected:
  ATLists() {
    diagPort();
    link.OpenDiagPort();
    lines.clear();
  }
  // The DIAG payloads (command, mode low, mode high) sent on the diagnostic port.
  std::vector<std::vector<uint8_t>> ModeRequests() {
    std::vector<std::vector<uint8_t>> out;
    for (const auto& w : diagPort().Writes())
      if (w.size() >= 4 && w[0] == 0x7E && w[1] == 0x29) out.push_back({w[1], w[2], w[3]});
    return out;
  }
  ATCommands at{core, link};
};

TEST_F(ATLists, StartListRules) {
  core.cfg.StartATList = {"AT+A\r\n\r\n", "AT%SLEEP=1500\r\n\r\n", "AT%SLEEP\r\n\r\n", "AT+DIAG=1\r\n\r\n",
                          "AT+B\r\n\r\n", "AT+C\r\n\r\n"};
  modem.replies["AT+DIAG=1"] = "\r\nERROR\r\n";
  modem.replies["AT+B"] = "\r\nERROR\r\n";
  at.RunStartATList();
  EXPECT_EQ(modem.lines, (std::vector<std::string>{"AT+A", "AT+DIAG=1", "AT+B"}));
  EXPECT_EQ(Error(), ErrorText("Fail to send command(start) :5"));
  EXPECT_EQ(clock.SleptMs(), 800u + 1500u + 800u + 800u);
}

TEST_F(ATLists, StartListStopsAtTheSecondEntry) {
  core.cfg.StartATList = {"AT+A\r\n\r\n", "AT+B\r\n\r\n", "AT+C\r\n\r\n"};
  modem.replies["AT+B"] = "\r\nERROR\r\n";
  at.RunStartATList();
  EXPECT_EQ(Error(), ErrorText("Fail to send command(start) :2"));
  EXPECT_EQ(modem.lines.size(), 2u);
}

TEST_F(ATLists, EndListRules) {
  diagPort().SetResponder([](const std::vector<uint8_t>& w) {
    return DiagReply({0x29, w.size() > 2 ? w[2] : uint8_t{0}, 0x00});
  });
  core.cfg.EndATList = {"AT%SLEEP=1500\r\n\r\n", "AT+IGNORED\r\n\r\n", "AT%RESET\r\n\r\n", "AT+CDROM=1\r\n\r\n",
                        "AT+NEVER\r\n\r\n"};
  modem.replies["AT+IGNORED"] = "\r\nERROR\r\n";
  modem.replies["AT+CDROM=1"] = "\r\nERROR\r\n";
  at.RunEndATList();
  EXPECT_EQ(modem.lines, (std::vector<std::string>{"AT+IGNORED", "AT+CDROM=1"}));
  EXPECT_EQ(ModeRequests(), (std::vector<std::vector<uint8_t>>{{0x29, 1, 0}, {0x29, 2, 0}}));
  EXPECT_EQ(Error(), ErrorText("Fail to send command(end) :4[AT+CDROM=1\r\n\r\n]"));
  EXPECT_GE(clock.SleptMs(), 1500u + 800u + 800u);
}

TEST_F(ATLists, EndListResetCommandIsAnErrorWhenRefused) {
  core.cfg.EndATList = {"AT+ZRVRESET\r\n\r\n", "AT+NEVER\r\n\r\n"};
  modem.replies["AT+ZRVRESET"] = "\r\nERROR\r\n";
  at.RunEndATList();
  EXPECT_EQ(Error(), ErrorText("Fail to send command(end) :1[AT+ZRVRESET\r\n\r\n]"));
  EXPECT_EQ(modem.lines.size(), 1u);
}

TEST_F(ATLists, SleepWithoutANumberIsSkippedWithALogLine) {
  core.cfg.EndATList = {"AT%SLEEP=soon\r\n\r\n"};
  at.RunEndATList();
  EXPECT_EQ(clock.SleptMs(), 0u);
  EXPECT_TRUE(errors.empty());
  EXPECT_TRUE(Logged("AT%SLEEP without a number of milliseconds is skipped: AT%SLEEP=soon"));
}

TEST_F(ATLists, ModeChangeRetriesUntilTheEchoComes) {
  int calls = 0;
  diagPort().SetResponder([&calls](const std::vector<uint8_t>&) {
    ++calls;
    return calls < 3 ? DiagReply({0x13, 0x29, 0x01, 0x00}) : DiagReply({0x29, 0x01, 0x00});
  });
  EXPECT_EQ(at.DiagModeOffline(), 0);
  EXPECT_EQ(calls, 3);
  int logged = 0;
  for (const auto& t : Texts()) {
    if (t.rfind("Offline cmd rec:", 0) == 0) {
      ++logged;
      EXPECT_EQ(t.substr(0, 28), "Offline cmd rec: 13 29 01 00") << t;
      EXPECT_EQ(t.size(), std::string("Offline cmd rec:").size() + 30) << t;
    }
  }
  EXPECT_EQ(logged, 2);
}

TEST_F(ATLists, ModeChangeGivesUpAfterTenAttempts) {
  int calls = 0;
  diagPort().SetResponder([&calls](const std::vector<uint8_t>&) {
    ++calls;
    return DiagReply({0x29, 0x01, 0x00});  // the offline echo, never the reset's
  });
  EXPECT_EQ(at.DiagModeReset(), -1);
  EXPECT_EQ(calls, 10);
  for (const auto& t : Texts()) EXPECT_NE(t.rfind("Offline cmd rec:", 0), 0u);
  EXPECT_EQ(ModeRequests().front(), (std::vector<uint8_t>{0x29, 0x02, 0x00}));
}

}  // namespace
}  // namespace zovir::test
