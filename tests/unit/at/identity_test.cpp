// Identity values: the read, the backup file and its scrambled copy, the restore and the reset
// helper, on a FakeClock with a scripted modem.
#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <filesystem>
#include <optional>

#include "platform/profile_file.h"
#include "preservation/identity_backup.h"
#include "unit/at/at_fixture.h"

namespace zovir::test {
namespace {

namespace fs = std::filesystem;

std::string Answer(const std::string& name, const std::string& value) {
  return "\r\n" + name + ": " + value + "\r\n\r\nOK\r\n";
}

class Identity : public ATFixture {
 protected:
  Identity() {
    core.cfg.ProjectType = 3;
    core.run.at1bakFile = dir + "/at1.bak";
    core.run.atRestoreFile = dir + "/at.bak";
  }

  // A modem that knows its SN, IMEI, test information and two oscillator files.
  void ModemWithIdentity() {
    modem.replies["AT+ZRVSN=0,5"] = Answer("+ZRVSN", "\"SN0001\"");
    modem.replies["AT+ZRVSN=0,7"] = Answer("+ZRVSN", "356938035643809");
    modem.replies["AT+TESTINF2=?"] = Answer("+TESTINF2", "cal:pass,ft:pass,UIT87:PASS,UIT89:FAIL");
    modem.prefixReplies["AT+EFSRW=0,0,"] = "\r\nERROR\r\n";
    modem.replies["AT+EFSRW=0,0,\"/nv/item_files/mcs/tcxomgr/field_cal_params\""] = Answer("+EFSRW", "0A0B7E");
    modem.replies["AT+EFSRW=0,0,\"/nv/item_files/mcs/tcxomgr/rgs_data\""] = Answer("+EFSRW", "00FF");
  }

  // Writes the restore file.
  void AtBak(const std::string& text) { WriteText(core.run.atRestoreFile, text); }

  IdentityBackup identity{core, link};
};

// ---------------------------------------------------------------------------------------
// Reading

TEST_F(Identity, ReadsAndCleansTheValues) {
  ModemWithIdentity();
  EXPECT_EQ(identity.ReadIdentity(), 1);
  const EngineRunState& run = core.run;
  EXPECT_TRUE(run.bSNRead && run.bIMEIRead && run.bTestInfoRead);
  EXPECT_EQ(run.StringSN, "SN0001");
  EXPECT_EQ(run.StringTESTINFO, "CAL:PASS,FT:PASS");
  EXPECT_EQ(identity.values().bXOCalRead, (std::array<bool, 5>{true, false, true, false, false}));
  EXPECT_EQ(modem.lines.front(), "AT+ZRVSN=0,5");
  // Each file is announced before its query; rgs_data keeps its trailing blank there.
  const auto t = Texts();
  const auto at = [&t](const std::string& s) { return std::find(t.begin(), t.end(), s) - t.begin(); };
  EXPECT_LT(at("Read rgs_data "), at("Read rgs_data"));
  EXPECT_LT(at("Read ifc_c1_filter"), at("ifc_c1_filter ERROR"));
  EXPECT_TRUE(Logged("Read TESTINFO"));
  EXPECT_TRUE(errors.empty());
}

TEST_F(Identity, WithoutModemPortNothingIsRead) {
  link.CloseModemPort("Warning-2");
  EXPECT_EQ(identity.ReadIdentity(), 0);
  EXPECT_EQ(Error(), ErrorText("Serial handle is failed"));
}

struct ImeiCase {
  const char* name;
  int projectType;
  int platformType;
  std::string reply;  // "" = ERROR
  bool read;
  int queries;
  const char* log;
};

class ImeiRead : public Identity, public ::testing::WithParamInterface<ImeiCase> {};

TEST_P(ImeiRead, FlagFollowsTheReply) {
  const ImeiCase& c = GetParam();
  core.cfg.ProjectType = c.projectType;
  core.cfg.PlatformType = c.platformType;
  modem.replies["AT+ZRVSN=0,7"] = c.reply.empty() ? "\r\nERROR\r\n" : Answer("+ZRVSN", c.reply);
  identity.ReadIdentity();
  EXPECT_EQ(core.run.bIMEIRead, c.read);
  EXPECT_EQ(static_cast<int>(modem.LinesStartingWith("AT+ZRVSN=0,7").size()), c.queries);
  if (c.log) { EXPECT_TRUE(Logged(c.log)); }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ImeiRead,
    ::testing::Values(ImeiCase{"Valid", 3, 0, "356938035643809", true, 1, "Read IMEI"},
                      ImeiCase{"FifteenZeros", 3, 0, "000000000000000", false, 1, "Read IMEI"},
                      ImeiCase{"QuotedZeros", 3, 0, "\"000000000000000\"", false, 1, nullptr},
                      ImeiCase{"Empty", 3, 0, " ", false, 1, nullptr},
                      ImeiCase{"RefusedThreeTimes", 3, 0, "", false, 3, "IMEI ERROR"},
                      ImeiCase{"Evdo", 3, 2, "356938035643809", false, 0, nullptr},
                      ImeiCase{"Type38", 38, 0, "356938035643809", false, 0, nullptr},
                      ImeiCase{"Type48", 48, 0, "356938035643809", false, 0, nullptr}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(TestInfo, CleanUp) {
  const struct {
    const char* reply;
    bool keepUIT;
    const char* expected;
  } cases[] = {
      {" cal:pass,UIT87:PASS\r\n\r\n", false, "CAL:PASS"},
      {" CAL:PASS,UIT89:PASS,UIT87:PASS,RF:PASS\r\n", false, "CAL:PASS,RF:PASS"},
      {" UIT87:FAIL,CAL:PASS", false, ",CAL:PASS"},
      {" UIT89:PASS", false, ""},
      {" cal:pass,UIT87:PASS,UIT87:PASS,UIT87:PASS", false, "CAL:PASS,,UIT87:PASS"},  // each text once
      {" cal:pass,uit87:pass\r\n", true, "CAL:PASS,UIT87:PASS"},
  };
  for (const auto& c : cases) EXPECT_EQ(CleanTestInfo(c.reply, c.keepUIT), c.expected) << c.reply;
}

TEST_F(Identity, ProjectValuesAndTheSecondImei) {
  core.cfg.ProjectType = 47;
  core.cfg.ESN = 1;
  modem.defaultReply = "\r\nERROR\r\n";
  modem.replies["AT+ZRVSN=0,6"] = Answer("+ZRVSN", "356938035643817");
  modem.replies["AT+ZRVSN=0,8"] = Answer("+ZRVSN", "80123456");
  identity.ReadIdentity();
  EXPECT_TRUE(identity.values().bIMEI1Read);
  EXPECT_EQ(identity.values().StringIMEI1, "356938035643817");
  EXPECT_TRUE(identity.values().bESNRead);
  EXPECT_TRUE(modem.LinesStartingWith("AT+CLLEN").empty());

  core.cfg.ProjectType = 8;
  core.cfg.ESN = 0;
  modem.replies["AT+CLLEN?"] = Answer("+CLLEN", "5");
  modem.replies["AT+GMI"] = "\r\nERROR\r\n";
  identity.ReadIdentity();
  EXPECT_FALSE(identity.values().bESNRead);
  EXPECT_TRUE(identity.values().bCLLENRead);
  EXPECT_TRUE(Logged("Read CLLEN"));
  EXPECT_TRUE(Logged("Not support command:ZRREQ......"));
  EXPECT_TRUE(Logged("Not support command:GMI......"));
  EXPECT_EQ(modem.LinesStartingWith("AT+ZRVSN=0,8").size(), 1u);  // the first read only
}

// ---------------------------------------------------------------------------------------
// What the packet leaves out

struct LeftOutCase {
  const char* name;
  int projectType = 3;
  std::map<std::string, std::string> replies = {};  // besides SN, IMEI and two oscillator files
  std::string testInfo = "CAL:PASS";
  std::vector<std::string> dropped = {};  // named as not preserved, in order
  std::string rewrite = "";               // the test information line, or ""
  void (*configure)(EngineConfig&) = nullptr;
  int esnQueries = -1;  // how often the ESN is asked (-1: not looked at)
};

class LeftOut : public Identity, public ::testing::WithParamInterface<LeftOutCase> {
 protected:
  std::vector<std::string> LinesStartingWith(const std::string& prefix) const {
    std::vector<std::string> out;
    for (const auto& t : Texts())
      if (t.rfind(prefix, 0) == 0) out.push_back(t);
    return out;
  }
};

TEST_P(LeftOut, IsNamedInTheLogAndTheRunState) {
  const LeftOutCase& c = GetParam();
  ModemWithIdentity();
  modem.defaultReply = "\r\nERROR\r\n";
  modem.replies["AT+TESTINF2=?"] = Answer("+TESTINF2", c.testInfo);
  for (const auto& [line, reply] : c.replies) modem.replies[line] = reply;
  core.cfg.ProjectType = c.projectType;
  if (c.configure) c.configure(core.cfg);
  ASSERT_EQ(identity.ReadIdentity(), 1);
  identity.WriteIdentityBackup();
  EXPECT_TRUE(errors.empty()) << Error();

  std::vector<std::string> expected = c.dropped;
  if (!c.rewrite.empty()) expected.push_back("TESTINF rewritten");
  EXPECT_EQ(core.run.NotPreserved, expected);
  std::vector<std::string> named;
  if (!c.dropped.empty()) {
    std::string line = "Not preserved by this packet: ";
    for (size_t i = 0; i < c.dropped.size(); ++i) line += (i ? ", " : "") + c.dropped[i];
    named.push_back(line);
  }
  EXPECT_EQ(LinesStartingWith("Not preserved by this packet:"), named);
  EXPECT_EQ(LinesStartingWith("Test information rewritten:"),
            c.rewrite.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.rewrite});
  if (c.esnQueries >= 0) {
    EXPECT_EQ(static_cast<int>(modem.LinesStartingWith("AT+ZRVSN=0,8").size()), c.esnQueries);
  }
}

std::string Bare(const std::string& value) { return "\r\n" + value + "\r\n\r\nOK\r\n"; }

INSTANTIATE_TEST_SUITE_P(
    Cases, LeftOut,
    ::testing::Values(
        LeftOutCase{"NothingElseHeld"},
        LeftOutCase{"HeldButNeverKept",
                    3,
                    {{"AT+ZRVSN=0,9", Answer("+ZRVSN", "\"A0000012345678\"")},
                     {"AT+CUIT87?", Answer("+CUIT87", "PASS")},
                     {"AT+ZRVSN=0,10", Answer("+ZRVSN", "\"\"")},
                     {"AT+GMI", Bare("Quorvel")}},
                    "CAL:PASS",
                    {"MEID", "UIT87", "GMI"}},
        LeftOutCase{"ImeiOfATypeThatSkipsIt", 38, {}, "CAL:PASS", {"IMEI"}},
        LeftOutCase{"FifteenZerosAreNoImei", 38, {{"AT+ZRVSN=0,7", Answer("+ZRVSN", "000000000000000")}}},
        LeftOutCase{"EsnAskedByTheTypeButNotKept", 35, {{"AT+ZRVSN=0,8", Answer("+ZRVSN", "80123456")}}, "CAL:PASS",
                    {"ESN", "IMEI"}, "", nullptr, 1},
        LeftOutCase{"EsnKeptByItsFlag", 3, {{"AT+ZRVSN=0,8", Answer("+ZRVSN", "80123456")}}, "CAL:PASS", {}, "",
                    [](EngineConfig& c) { c.ESN = 1; }, 1},
        LeftOutCase{"ProjectValuesKeptByTheirType", 8,
                    {{"AT+CLLEN?", Answer("+CLLEN", "5")}, {"AT+GMI", Bare("Quorvel")}}},
        LeftOutCase{"SimLockReplacedByThePackets", 3, {{"AT+NWLSET?", Answer("+NWLSET", "1")}}, "CAL:PASS",
                    {"SIMLOCK"}, "", [](EngineConfig& c) { c.SimLockSet = 1; }},
        LeftOutCase{"SimLockAsThePacketSetsIt", 3, {{"AT+NWLSET?", Answer("+NWLSET", "12345678")}}, "CAL:PASS", {}, "",
                    [](EngineConfig& c) {
                      c.SimLockSet = 1;
                      c.SimLockOn = 1;
                      c.bSimLock = "12345678";
                    }},
        LeftOutCase{"TestInformationRewritten", 3, {}, "cal:pass,UIT87:PASS", {},
                    "Test information rewritten: \"cal:pass,UIT87:PASS\" kept as \"CAL:PASS\""},
        LeftOutCase{"TestInformationKeptWithItsResults", 3, {}, "CAL:PASS,UIT87:PASS", {}, "",
                    [](EngineConfig& c) { c.UIT_NewWays = 1; }},
        LeftOutCase{"ModemFallsSilent",
                    3,
                    {{"AT+ZRVSN=0,9", ""}},
                    "CAL:PASS",
                    {"MEID (no answer)", "BLUETOOTHADDR (not asked)", "SalesCount (not asked)", "WifiCal (not asked)",
                     "SalesInfo (not asked)", "UIT87 (not asked)", "UIT89 (not asked)", "CLLEN (not asked)",
                     "ZRREQ (not asked)", "GMI (not asked)"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(TestInfo, RewriteIsNamedOnlyWhenTheTextChanged) {
  EXPECT_EQ(TestInfoRewrite(" CAL:PASS,RF:PASS\r\n\r\n", false), "");
  EXPECT_EQ(TestInfoRewrite(" CAL:PASS,UIT89:FAIL\r\n", false),
            "Test information rewritten: \"CAL:PASS,UIT89:FAIL\" kept as \"CAL:PASS\"");
  EXPECT_EQ(TestInfoRewrite(" cal:pass,UIT89:FAIL\r\n", true),
            "Test information rewritten: \"cal:pass,UIT89:FAIL\" kept as \"CAL:PASS,UIT89:FAIL\"");
}

// ---------------------------------------------------------------------------------------
// The backup file and its scrambled copy

TEST_F(Identity, BackupFileHoldsTheTableInOrder) {
  ModemWithIdentity();
  core.cfg.ProjectType = 8;
  modem.replies["AT+CLLEN?"] = Answer("+CLLEN", "5");
  modem.replies["AT+ZRREQ?"] = "\r\nERROR\r\n";
  modem.replies["AT+GMI"] = "\r\nQuorvel\r\n\r\nOK\r\n";
  identity.ReadIdentity();
  identity.WriteIdentityBackup();
  EXPECT_EQ(ReadText(core.run.at1bakFile),
            "[BACKUP]\nbSN=1\nESN=0\nbIMEI=1\nbIMEI_1=0\nbMEID=0\nbBLUETOOTH=0\nbSalesCount=0\nbWifiCal=0\n"
            "bSalesInfo=0\nbAPN=0\nbTESTINF=1\nbUIT87=0\nbUIT89=0\nbfield_cal_params=1\nbifc_c1_filter=0\n"
            "brgs_data=1\nbxo_crystal_type=0\nbxo_factory_cal_debug=0\n"
            "[Data]\nSN=SN0001\nIMEI=356938035643809\nTESTINF=CAL:PASS,FT:PASS\nfield_cal_params=0A0B7E\n"
            "rgs_data=00FF\nCLLEN=5\nGMI=Quorvel\n");
  EXPECT_TRUE(errors.empty());
}

TEST_F(Identity, BackupIsSkippedAfterAnErrorAndAFailedWriteIsOne) {
  ModemWithIdentity();
  identity.ReadIdentity();
  core.run.at1bakFile = dir + "/missing/at1.bak";
  identity.WriteIdentityBackup();
  EXPECT_EQ(Error().rfind("ERROR, [Encrypt] Fail to open ATfile., Error code: ", 0), 0u) << Error();
  EXPECT_NE(core.ErrorCode.load(), 0);

  core.run.at1bakFile = dir + "/at1.bak";
  identity.WriteIdentityBackup();
  EXPECT_FALSE(fs::exists(core.run.at1bakFile));
}

TEST_F(Identity, ScramblingRoundTripsEveryByteValue) {
  std::string all;
  for (int i = 0; i < 256; ++i) all.push_back(static_cast<char>(i));
  all += all;
  WriteText(dir + "/at1.bak", all);
  ASSERT_EQ(identity.ScrambleFile(dir + "/at1.bak", dir + "/EncryptAT.bak"), FileCopyResult::Ok);
  const std::string scrambled = ReadText(dir + "/EncryptAT.bak");
  ASSERT_EQ(scrambled.size(), all.size());  // no header
  for (size_t i = 0; i < all.size(); ++i)
    ASSERT_EQ(static_cast<uint8_t>(scrambled[i]), static_cast<uint8_t>(all[i] + 1)) << i;
  ASSERT_EQ(identity.UnscrambleFile(dir + "/EncryptAT.bak", dir + "/at.bak"), FileCopyResult::Ok);
  EXPECT_EQ(ReadText(dir + "/at.bak"), all);
}

TEST_F(Identity, BackupAndItsCopiesAreTheUsersAlone) {
  ModemWithIdentity();
  identity.ReadIdentity();
  for (const char* name : {"/at1.bak", "/EncryptAT.bak"}) {
    WriteText(dir + name, "left by an earlier run");
    fs::permissions(dir + name, fs::perms(0644));
  }
  identity.WriteIdentityBackup();
  ASSERT_TRUE(errors.empty());
  ASSERT_EQ(identity.ScrambleFile(dir + "/at1.bak", dir + "/EncryptAT.bak"), FileCopyResult::Ok);
  ASSERT_EQ(identity.UnscrambleFile(dir + "/EncryptAT.bak", dir + "/at.bak"), FileCopyResult::Ok);
  for (const char* name : {"/at1.bak", "/EncryptAT.bak", "/at.bak"})
    EXPECT_EQ(fs::status(dir + name).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write)
        << name;
}

TEST_F(Identity, ScramblingReportsWhichSideFailed) {
  WriteText(dir + "/at1.bak", "[BACKUP]\n");
  EXPECT_EQ(identity.ScrambleFile(dir + "/none.bak", dir + "/EncryptAT.bak"), FileCopyResult::SourceOpenFailed);
  EXPECT_EQ(identity.ScrambleFile(dir + "/at1.bak", dir + "/no/EncryptAT.bak"), FileCopyResult::DestinationFailed);
  EXPECT_EQ(identity.ScrambleFile(dir + "/at1.bak", "/dev/full"), FileCopyResult::DestinationFailed);
  EXPECT_EQ(identity.UnscrambleFile(dir + "/none.bak", dir + "/at.bak"), FileCopyResult::SourceOpenFailed);
  WriteText(dir + "/empty.bak", "");
  EXPECT_EQ(identity.ScrambleFile(dir + "/empty.bak", dir + "/EncryptAT.bak"), FileCopyResult::Ok);
  EXPECT_EQ(ReadText(dir + "/EncryptAT.bak"), "");
}

// ---------------------------------------------------------------------------------------
// Restore

struct RestoreCase {
  const char* name;
  std::string atBak;
  std::vector<std::string> writes;  // value-write lines expected, in order (probe and project check omitted)
  std::vector<std::string> logs;    // log lines expected
};

class RestoreTable : public Identity, public ::testing::WithParamInterface<RestoreCase> {};

TEST_P(RestoreTable, SendsWhatTheFileHolds) {
  const RestoreCase& c = GetParam();
  AtBak(c.atBak);
  modem.replies["AT+ZRVINF=0,2"] = Answer("+ZRVINF", "\"QV9X06\"");
  EXPECT_EQ(identity.RestoreIdentity(), 1);
  std::vector<std::string> writes;
  for (const auto& l : modem.lines)
    if (l != "AT" && l != "AT+ZRVINF=0,2") writes.push_back(l);
  EXPECT_EQ(writes, c.writes);
  for (const auto& log : c.logs) EXPECT_TRUE(Logged(log)) << log;
  EXPECT_TRUE(errors.empty()) << Error();
}

INSTANTIATE_TEST_SUITE_P(
    Rows, RestoreTable,
    ::testing::Values(
        RestoreCase{"SnFlagWithEmptyValue", "[BACKUP]\nbSN=1\n[Data]\n", {"AT+ZRVSN=1,5,\"\""}, {"Restore SN"}},
        RestoreCase{"ImeiFlagWithoutValue", "[BACKUP]\nbSN=0\nbIMEI=1\n", {}, {"IMEI Empty."}},
        RestoreCase{"EmptyValuesLogged",
                    "[BACKUP]\nESN=1\nbIMEI_1=1\nbMEID=1\nbBLUETOOTH=1\n[Data]\nESN=\nIMEI_1=\n",
                    {},
                    {"ESN Empty.", "IMEI_1 Empty.", "MEID Empty.", "BLUETOOTHADDR Empty."}},
        RestoreCase{"MissingFlagsMeanNothing", "[BACKUP]\nbSN=0\n[Data]\nSN=X1\nIMEI=1234\nTESTINF=CAL:PASS\n", {}, {}},
        RestoreCase{"FlagsParsedAsNumbers", "[BACKUP]\nbSN= 2 \nbIMEI=yes\n[Data]\nSN=X1\nIMEI=1234\n",
                    {"AT+ZRVSN=1,5,\"X1\""},
                    {}},
        RestoreCase{"EveryItemInOrder",
                    "[BACKUP]\nbSN=1\nESN=1\nbIMEI=1\nbIMEI_1=1\nbBLUETOOTH=1\nbSalesCount=1\nbWifiCal=1\n"
                    "bSalesInfo=1\nbAPN=1\nbTESTINF=1\nbUIT87=1\nbUIT89=1\nbrgs_data=1\nbxo_crystal_type=0\n"
                    "[Data]\nSN=S1\nESN=E1\nIMEI=I1\nIMEI_1=I2\nBLUETOOTHADDR=B1\nSalesCount=C1\nWifiCal=W1\n"
                    "SalesInfo=F1\nAPN=A1\nTESTINF=CAL:PASS\nUIT87=PASS\nUIT89=FAIL\nrgs_data=00FF\n"
                    "xo_crystal_type=01\nUnknown=1\n",
                    {"AT+ZRVSN=1,5,\"S1\"", "AT+ZRVSN=1,8,\"E1\"", "AT+ZRVSN=1,7,\"I1\"", "AT+ZRVSN=1,6,\"I2\"",
                     "AT+ZRVSN=1,10,\"B1\"", "AT+ZRVSN=1,11,\"C1\"", "AT+WIFICAL=\"W1\"", "AT+ZRVSN=1,12,\"F1\"",
                     "AT+EFSRW=1,0,\"/nv/item_files/mcs/tcxomgr/rgs_data\",\"00FF\"", "AT+TESTINF2=\"CAL:PASS\"",
                     "AT+CUIT87=PASS", "AT+CUIT89=FAIL"},
                    {"Restore SN", "Restore ESN", "Restore IMEI", "Restore IMEI_1", "Restore BlueTooth Addr",
                     "Restore SalesCount/WIFIMAC", "Restore wifi cal", "Restore sales information",
                     "Read project successfully", "Restore rgs_data", "Restore TESTINFO", "Restore UIT87",
                     "Restore UIT89"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Identity, RestoreProbesThePortFirst) {
  AtBak("[BACKUP]\nbSN=0\n");
  modem.replies["AT"] = "";  // the modem answers from the third probe on
  modemPort().SetReadHook([&](uint64_t) {
    if (modem.lines.size() == 2) modem.replies["AT"] = "\r\nOK\r\n";
  });
  modem.replies["AT+ZRVINF=0,2"] = Answer("+ZRVINF", "\"QV9X06\"");
  EXPECT_EQ(identity.RestoreIdentity(), 1);
  EXPECT_TRUE(Logged("Test Serial port (0)."));
  EXPECT_TRUE(Logged("Test Serial port (2)."));
  EXPECT_FALSE(Logged("Test Serial port (3)."));
  EXPECT_TRUE(Logged("Serial port ready"));
}

const std::string kFull =
    "[BACKUP]\nbSN=1\nbIMEI=1\nbTESTINF=1\nbfield_cal_params=1\n[Data]\nSN=S1\nIMEI=I1\nTESTINF=CAL:PASS\n"
    "field_cal_params=0A\n";

TEST_F(Identity, LateProbeAnswersDoNotPassARefusedWrite) {
  AtBak(kFull);
  // An echoing modem that answers its first two probes late (the first after the probe gave up
  // on it, the second while the serial number is being written) and refuses the serial number.
  std::map<std::string, std::deque<std::pair<uint64_t, std::string>>> late = {
      {"AT", {{8500, "AT\r\r\nOK\r\n"}, {1500, "AT\r\r\nOK\r\n"}}},
      {"AT+ZRVSN=1,5,\"S1\"", {{750, "AT+ZRVSN=1,5,\"S1\"\r\r\nERROR\r\n"}}}};
  modemPort().SetResponder([&](const std::vector<uint8_t>& written) -> std::vector<uint8_t> {
    std::string line(written.begin(), written.end());
    line = line.substr(0, line.find_first_of("\r\n"));
    modem.lines.push_back(line);
    auto& answers = late[line];
    const std::string own = line + "\r\r\n" + (line == "AT+ZRVINF=0,2" ? "+ZRVINF: \"QV\"\r\n\r\n" : "") + "OK\r\n";
    if (answers.empty()) return {own.begin(), own.end()};
    const auto [delay, text] = answers.front();
    answers.pop_front();
    modemPort().QueueBytesAfter(delay, {text.begin(), text.end()});
    return {};
  });
  EXPECT_EQ(identity.RestoreIdentity(), 0);
  EXPECT_TRUE(Logged("Serial port ready"));
  EXPECT_FALSE(Logged("Restore SN"));
  EXPECT_EQ(Error(), ErrorText("Fail to write SN"));
  EXPECT_TRUE(modem.LinesStartingWith("AT+ZRVSN=1,7").empty());
}

struct RestoreFailure {
  const char* name;
  std::string atBak;
  std::string refusedPrefix;  // this write answers ERROR
  std::string error;
  std::string notSent;        // a later command that must not go out
};

class RestoreStops : public Identity, public ::testing::WithParamInterface<RestoreFailure> {};

TEST_P(RestoreStops, AtTheFirstRefusedWrite) {
  const RestoreFailure& c = GetParam();
  AtBak(c.atBak);
  if (c.refusedPrefix != "AT+ZRVINF") modem.replies["AT+ZRVINF=0,2"] = Answer("+ZRVINF", "\"QV9X06\"");
  modem.prefixReplies[c.refusedPrefix] = "\r\nERROR\r\n";
  EXPECT_EQ(identity.RestoreIdentity(), 0);
  EXPECT_EQ(Error(), ErrorText(c.error));
  EXPECT_TRUE(modem.LinesStartingWith(c.notSent).empty());
}

INSTANTIATE_TEST_SUITE_P(
    Rows, RestoreStops,
    ::testing::Values(RestoreFailure{"SN", kFull, "AT+ZRVSN=1,5", "Fail to write SN", "AT+ZRVSN=1,7"},
                      RestoreFailure{"IMEI", kFull, "AT+ZRVSN=1,7", "Fail to write IMEI", "AT+ZRVINF"},
                      RestoreFailure{"ProjectCheck", kFull, "AT+ZRVINF", "project ERROR", "AT+EFSRW"},
                      RestoreFailure{"Oscillator", kFull, "AT+EFSRW", "Fail to write field_cal_params",
                                     "AT+TESTINF2"},
                      RestoreFailure{"TestInfo", kFull + "bUIT87=1\n", "AT+TESTINF2", "Fail to write TESTINFO",
                                     "AT+CUIT87"},
                      RestoreFailure{"NoBackupSection", "[Data]\nSN=S1\n", "AT+NONE", "[Decrypt] Fail to open ATfile.",
                                     "AT"},
                      RestoreFailure{"EmptyFile", "", "AT+NONE", "[Decrypt] Fail to open ATfile.", "AT"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Identity, RestoreWithoutFileOrPortFails) {
  EXPECT_EQ(identity.RestoreIdentity(), 0);
  EXPECT_EQ(Error(), ErrorText("[Decrypt] Fail to open ATfile."));
  EXPECT_TRUE(modem.lines.empty());
}

TEST_F(Identity, RestoreWithoutModemPortFails) {
  AtBak(kFull);
  link.CloseModemPort("Warning-2");
  EXPECT_EQ(identity.RestoreIdentity(), 0);
  EXPECT_EQ(Error(), ErrorText("Serial handle is failed"));
}

TEST_F(Identity, SilentWritesGetTheCommandError) {
  AtBak(kFull);
  modem.replies["AT+ZRVINF=0,2"] = Answer("+ZRVINF", "\"QV9X06\"");
  // The SN write's reply can't be read: it raises nothing itself.
  modemPort().SetReadHook([&](uint64_t) {
    if (!modem.LinesStartingWith("AT+ZRVSN=1,5").empty()) modemPort().FailReads(1, 5);
  });
  EXPECT_EQ(identity.RestoreIdentity(), 0);
  EXPECT_EQ(Error(), ErrorText("Fail to Send Wirte SN Command!", 5));  // the read's system error
}

TEST_F(Identity, SalesCountAndSalesInfoDoNotStopTheRestore) {
  AtBak("[BACKUP]\nbSalesCount=1\nbSalesInfo=1\nbTESTINF=1\n[Data]\nSalesCount=3\nSalesInfo=x\nTESTINF=CAL:PASS\n");
  modem.replies["AT+ZRVINF=0,2"] = Answer("+ZRVINF", "\"QV9X06\"");
  modem.prefixReplies["AT+ZRVSN=1,11"] = "\r\nERROR\r\n";
  modem.prefixReplies["AT+ZRVSN=1,12"] = "\r\nERROR\r\n";
  EXPECT_EQ(identity.RestoreIdentity(), 1);
  EXPECT_TRUE(Logged("Not support write SalesCount/WIFIMAC."));
  EXPECT_EQ(Error(), ErrorText("Fail to Write sales information"));  // raised, yet the restore goes on
  EXPECT_EQ(modem.LinesStartingWith("AT+TESTINF2=").size(), 1u);
}

TEST_F(Identity, MeidOpensAndClosesItsMode) {
  AtBak("[BACKUP]\nbMEID=1\n[Data]\nMEID=A0000012345678\n");
  modem.replies["AT+ZRVINF=0,2"] = Answer("+ZRVINF", "\"QV9X06\"");
  EXPECT_EQ(identity.RestoreIdentity(), 1);
  std::vector<std::string> sent(modem.lines.begin() + 1, modem.lines.end());  // after the probe
  EXPECT_EQ(sent, (std::vector<std::string>{"AT", "at^meidmode=1", "AT+ZRVSN=1,9,\"A0000012345678\"", "at^meidmode=0",
                                            "AT+ZRVINF=0,2"}));
  EXPECT_TRUE(Logged("Open MEID successfully"));
  EXPECT_TRUE(Logged("Restore MEID"));
  EXPECT_TRUE(Logged("Close MEID successfully"));
}

TEST_F(Identity, SimLockAndProjectValues) {
  core.cfg.ProjectType = 8;
  core.cfg.SimLockSet = 1;
  core.cfg.SimLockOn = 1;
  core.cfg.bSimLock = "1234";
  AtBak("[BACKUP]\nbSN=0\n[Data]\nCLLEN=5\nZRREQ=46001\nGMI=Quorvel\n");
  modem.replies["AT+ZRVINF=0,2"] = Answer("+ZRVINF", "\"QV9X06\"");
  modem.prefixReplies["AT+NWLSET"] = "\r\nERROR\r\n";
  modem.prefixReplies["AT+ZRREQ="] = "\r\nERROR\r\n";
  EXPECT_EQ(identity.RestoreIdentity(), 1);
  EXPECT_EQ(modem.LinesStartingWith("AT+NWLSET="), std::vector<std::string>{"AT+NWLSET=1234"});
  EXPECT_EQ(Error(), ErrorText("Fail to write SIMLOCK to phone"));
  EXPECT_EQ(modem.LinesStartingWith("AT+CLLEN="), std::vector<std::string>{"AT+CLLEN=5"});
  EXPECT_TRUE(Logged("Could not support command:ZRREQ"));
  EXPECT_EQ(modem.LinesStartingWith("AT+GMI="), std::vector<std::string>{"AT+GMI=\"Quorvel\""});

  // Other project types leave them alone.
  modem.lines.clear();
  core.cfg.ProjectType = 18;
  core.cfg.SimLockSet = 0;
  EXPECT_EQ(identity.RestoreIdentity(), 1);
  EXPECT_TRUE(modem.LinesStartingWith("AT+CLLEN").empty());
  EXPECT_EQ(modem.LinesStartingWith("AT+GMI=").size(), 1u);
}

TEST_F(Identity, SavedBackupRestoresFromItsFolderWithItsOscillatorFiles) {
  core.run.bRestoreFromSaved = true;
  core.run.SavedBackupFolder = dir + "/SN[S1]";
  fs::create_directories(core.run.SavedBackupFolder);
  WriteText(core.run.SavedBackupFolder + "/at.bak", kFull);
  modem.replies["AT+ZRVINF=0,2"] = Answer("+ZRVINF", "\"QV9X06\"");
  EXPECT_EQ(identity.RestoreIdentity(), 1);
  EXPECT_EQ(modem.LinesStartingWith("AT+EFSRW=1,0,"),
            std::vector<std::string>{"AT+EFSRW=1,0,\"/nv/item_files/mcs/tcxomgr/field_cal_params\",\"0A\""});
  EXPECT_EQ(core.run.StringSN, "S1");
}

// ---------------------------------------------------------------------------------------
// Reset helper

// Processes whose "helper" writes the next scripted value into the work folder's Config.ini.
class ScriptedHelper final : public Processes {
 public:
  explicit ScriptedHelper(std::string config) : config_(std::move(config)) {}
  std::deque<std::optional<std::string>> results;  // per start: value written, nullopt = nothing
  bool failStarts = false;
  int starts = 0;
  std::vector<ProcessSpec> specs;

  std::unique_ptr<ProcessHandle> Start(const ProcessSpec& spec, int& error) override {
    if (failStarts) {
      error = 2;
      return nullptr;
    }
    ++starts;
    specs.push_back(spec);
    std::optional<std::string> r;
    if (!results.empty()) {
      r = results.front();
      if (results.size() > 1) results.pop_front();
    }
    if (r) ProfileFile(config_).WriteString("Project", "ExecuteResetModem", *r);
    return std::make_unique<Handle>();
  }
  int TerminateProcessesByName(const std::string&, const std::string&) override { return 0; }
  std::unique_ptr<NamedLock> CreateNamedLock(const std::string&) override { return nullptr; }

 private:
  struct Handle final : ProcessHandle {
    int Pid() const override { return 1; }
    std::optional<int> Wait(int) override { return 0; }
    bool Terminate() override { return true; }
  };
  std::string config_;
};

struct HelperCase {
  const char* name;
  std::vector<std::optional<std::string>> results;
  int result;
  int starts;
  std::string error;
};

class ResetHelper : public Identity, public ::testing::WithParamInterface<HelperCase> {
 protected:
  ResetHelper() {
    fs::create_directories(dir + "/TempFiles");
    WriteText(Config(), "[Project]\nName=x\nExecuteResetModem=100\n");  // left by an earlier run
  }
  std::string Config() const { return dir + "/TempFiles/Config.ini"; }
  ScriptedHelper helper{dir + "/TempFiles/Config.ini"};
};

TEST_P(ResetHelper, ResultComesFromTheConfigurationFile) {
  const HelperCase& c = GetParam();
  helper.results.assign(c.results.begin(), c.results.end());
  identity.SetResetHelper({&helper, dir + "/TempFiles", "ResetHelper"});
  EXPECT_EQ(identity.RunResetHelper(), c.result);
  EXPECT_EQ(helper.starts, c.starts);
  EXPECT_EQ(Error(), c.error.empty() ? std::string() : ErrorText(c.error));
  EXPECT_EQ(clock.SleptMs(), 500u + 1000u * static_cast<uint64_t>(c.starts));
  EXPECT_EQ(helper.specs.front().program, dir + "/TempFiles/ResetHelper");
  EXPECT_TRUE(helper.specs.front().args.empty());
  EXPECT_TRUE(helper.specs.front().hidden);
}

INSTANTIATE_TEST_SUITE_P(
    Results, ResetHelper,
    ::testing::Values(HelperCase{"Done", {"100"}, 1, 1, ""},
                      HelperCase{"DoneOnTheThirdStart", {"0", "-1", "100"}, 1, 3, ""},
                      HelperCase{"NoModemPort", {"-1"}, 0, 10, "Could not find modem port."},
                      HelperCase{"NotExecuted", {"0"}, 0, 10, "Could not Execute reset Modem."},
                      HelperCase{"Failed", {"-2"}, 0, 10, "Fail to execute reset modem."},
                      HelperCase{"Unknown", {"7"}, 0, 10, "Unknown error[ExecuteResetModem]."},
                      HelperCase{"WritesNothing", {std::nullopt}, 0, 10, "Could not Execute reset Modem."}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ResetHelper, StaleSuccessDoesNotPassAHelperThatCannotStart) {
  helper.failStarts = true;
  identity.SetResetHelper({&helper, dir + "/TempFiles", "ResetHelper"});
  EXPECT_EQ(identity.RunResetHelper(), 0);
  EXPECT_EQ(Error(), ErrorText("Could not Execute reset Modem."));
  EXPECT_EQ(ProfileFile(Config()).GetString("Project", "Name", ""), "x");  // the rest of the file kept
}

TEST_F(ResetHelper, NeedsTheTemporaryFolder) {
  identity.SetResetHelper({&helper, "", "ResetHelper"});
  EXPECT_EQ(identity.RunResetHelper(), 0);
  EXPECT_EQ(Error(), ErrorText("Could not get temp dir path"));
  EXPECT_EQ(helper.starts, 0);
}

}  // namespace
}  // namespace zovir::test
