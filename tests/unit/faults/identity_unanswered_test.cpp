// An oscillator file or project value the modem did not give is asked for again; one it never
// answered for is not a value it lacks, and the identity read must not let the update flash on
// without it.
#include <gtest/gtest.h>

#include "preservation/identity_backup.h"
#include "unit/at/at_fixture.h"

namespace zovir::test {
namespace {

std::string Answer(const std::string& name, const std::string& value) {
  return "\r\n" + name + ": " + value + "\r\n\r\nOK\r\n";
}

const std::string kCrystalQuery = "AT+EFSRW=0,0,\"/nv/item_files/mcs/tcxomgr/xo_crystal_type\"";

struct UnansweredCase {
  const char* name;
  std::string reply;     // the modem's reply to the crystal-type query
  bool read;             // the value counts as read
  size_t queries;        // how often the query was sent
  bool fails;            // the run ends with an error
};

class UnansweredQuery : public ATFixture, public ::testing::WithParamInterface<UnansweredCase> {
 protected:
  UnansweredQuery() {
    core.cfg.ProjectType = 3;
    modem.replies["AT+ZRVSN=0,5"] = Answer("+ZRVSN", "\"SN0001\"");
    modem.replies["AT+ZRVSN=0,7"] = Answer("+ZRVSN", "356938035643809");
    modem.replies["AT+TESTINF2=?"] = Answer("+TESTINF2", "cal:pass");
    modem.prefixReplies["AT+EFSRW=0,0,"] = "\r\nERROR\r\n";
  }
  IdentityBackup identity{core, link};
};

TEST_P(UnansweredQuery, OnlyAnAnswerDecidesWhetherTheModemHasTheValue) {
  const UnansweredCase& c = GetParam();
  modem.replies[kCrystalQuery] = c.reply;
  identity.ReadIdentity();
  EXPECT_EQ(identity.values().bXOCalRead[3], c.read);
  EXPECT_EQ(modem.LinesStartingWith(kCrystalQuery).size(), c.queries);
  if (c.fails) {
    EXPECT_EQ(Error(), ErrorText("[Dload] Fail to Read xo_crystal_type"));
    EXPECT_NE(core.ErrorCode.load(), 0);
  } else {
    EXPECT_TRUE(errors.empty()) << Error();
    EXPECT_EQ(core.ErrorCode.load(), 0);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Replies, UnansweredQuery,
    ::testing::Values(UnansweredCase{"Answered", Answer("+EFSRW", "01"), true, 1, false},
                      UnansweredCase{"ModemLacksIt", "\r\nERROR\r\n", false, 3, false},
                      UnansweredCase{"NoReply", "", false, 3, true},
                      UnansweredCase{"NoFinalResult", "\r\n+EFSRW: 01\r\n", false, 3, true}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace zovir::test
