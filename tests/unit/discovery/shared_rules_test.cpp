// The rules several layers once wrote each for themselves, with the cases their copies read
// differently.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "common/text.h"
#include "discovery/at_result.h"

namespace zovir {
namespace {

TEST(ComPortNumber, ComAndDigitsOnly) {
  struct Case {
    const char* name;
    std::optional<int> number;
  };
  const Case cases[] = {
      {"COM5", 5},
      {"COM05", 5},
      {"COM0", 0},  // a number no port carries; the callers refuse it
      {"COM123456789", 123456789},
      {"ABC12", std::nullopt},  // the prefix was not looked at by two of the copies
      {"com5", std::nullopt},
      {"COM-1", std::nullopt},
      {"COM+1", std::nullopt},
      {"COM 5", std::nullopt},
      {"COM5 ", std::nullopt},
      {"COM1234567890", std::nullopt},  // more digits than an int holds
      {"COM", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(ComPortNumber(c.name), c.number);
  }
  EXPECT_EQ(ComPortName(107), "COM107");
}

TEST(FindFinalResult, OnlyWholeLinesAndTheLastOneOnlyInACompleteReply) {
  struct Case {
    const char* reply;
    bool complete;
    ATFinal final;
    size_t pos;
  };
  const Case cases[] = {
      {"\r\nOK\r\n", false, ATFinal::Ok, 2},
      {"\r\nOK", false, ATFinal::None, 0},  // may still grow into "OKAY"
      {"\r\nOK", true, ATFinal::Ok, 2},
      {"OK", true, ATFinal::Ok, 0},
      {"+CGMR: BTM_BOOK7\r\n", true, ATFinal::None, 0},
      {"+CGMR: BTM_OK\r\nOK\r\n", true, ATFinal::Ok, 15},
      {"AT+CGMR\r\r\nERROR\r\n", true, ATFinal::Error, 10},
      {"  ERROR  ", true, ATFinal::Error, 2},
      {"+CME ERROR: 10\r\n", false, ATFinal::Error, 0},
      {"ERRORS\r\n", true, ATFinal::None, 0},
      {"\r\nO", true, ATFinal::None, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.reply << (c.complete ? " (complete)" : ""));
    size_t pos = 0;
    EXPECT_EQ(FindFinalResult(c.reply, pos, c.complete), c.final);
    if (c.final != ATFinal::None) {
      EXPECT_EQ(pos, c.pos);
    }
  }
}

}  // namespace
}  // namespace zovir
