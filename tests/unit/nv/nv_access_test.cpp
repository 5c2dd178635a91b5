#include <gmock/gmock.h>

#include "unit/nv/nv_fixture.h"

namespace zovir::test {
namespace {

using ::testing::ElementsAre;

class NVAccess : public NVFixture {
 protected:
  NVItems nv{core, link};
};

TEST_F(NVAccess, ItemListEntryBecomesOneWriteRequest) {
  core.cfg.NVItemList = {"453:00"};
  nv.WriteNVItemList();

  std::vector<uint8_t> expected{0x27, 0xC5, 0x01};
  expected.resize(131, 0x00);
  expected.insert(expected.end(), {0x00, 0x00});
  ASSERT_EQ(modem.requests.size(), 1u);
  EXPECT_EQ(modem.requests[0], expected);
  EXPECT_TRUE(Logged("[453]Write NV......OK"));
  EXPECT_TRUE(errors.empty());
  EXPECT_EQ(modem.items[453].data, (std::array<uint8_t, 128>{}));
}

TEST_F(NVAccess, DataTokensAreTrimmedAndWrittenInOrder) {
  core.cfg.NVItemList = {"10:1A, 2B ,7E"};
  nv.WriteNVItemList();
  ASSERT_TRUE(errors.empty()) << Error();
  EXPECT_EQ(modem.items[10].data[0], 0x1A);
  EXPECT_EQ(modem.items[10].data[1], 0x2B);
  EXPECT_EQ(modem.items[10].data[2], 0x7E);
  EXPECT_EQ(modem.items[10].data[3], 0x00);
}

struct BadEntry {
  std::vector<std::string> list;
  std::string error;
  size_t written;  // requests that reached the modem
};

class NVItemListErrors : public NVFixture, public ::testing::WithParamInterface<BadEntry> {};

TEST_P(NVItemListErrors, AreEngineErrorsAndWriteNothingFurther) {
  NVItems nv{core, link};
  core.cfg.NVItemList = GetParam().list;
  nv.WriteNVItemList();
  EXPECT_THAT(errors, ElementsAre(ErrorText(GetParam().error)));
  EXPECT_EQ(modem.requests.size(), GetParam().written);
  EXPECT_NE(core.ErrorCode.load(), 0);
}

std::string Values(int n) {
  std::string s;
  for (int i = 0; i < n; ++i) s += (i ? ",A5" : "A5");
  return s;
}

INSTANTIATE_TEST_SUITE_P(
    Entries, NVItemListErrors,
    ::testing::Values(BadEntry{{"453"}, "NVID is not contained in the configration!", 0},
                      BadEntry{{":00"}, "NVID is not contained in the configration!", 0},
                      BadEntry{{"453:"}, "NVData is is incorrect!", 0},
                      BadEntry{{" :00"}, "NVID is incorrect!", 0},
                      BadEntry{{"45x:00"}, "NVID is incorrect!", 0},
                      BadEntry{{"70000:00"}, "NVID is incorrect!", 0},
                      BadEntry{{"453:G1"}, "String to hex failed!", 0},
                      BadEntry{{"453:1"}, "String to hex failed!", 0},
                      BadEntry{{"453:1a"}, "String to hex failed!", 0},
                      BadEntry{{"453:00,,01"}, "String to hex failed!", 0},
                      BadEntry{{"453:" + Values(129)}, "NVData length is incorrect!", 0},
                      // The first entry is written; the list stops at the bad one.
                      BadEntry{{"453:00", "454", "455:00"}, "NVID is not contained in the configration!", 1},
                      // After an error later entries are checked but not written.
                      BadEntry{{"453:ZZ", "455:00"}, "String to hex failed!", 0}));

TEST_F(NVAccess, HundredTwentyEightValuesFillTheItem) {
  core.cfg.NVItemList = {"20:" + Values(128)};
  nv.WriteNVItemList();
  ASSERT_TRUE(errors.empty()) << Error();
  std::array<uint8_t, 128> all{};
  all.fill(0xA5);
  EXPECT_EQ(modem.items[20].data, all);
}

TEST_F(NVAccess, ReadOnlyItemIsACustomNVError) {
  modem.items[453].status = 7;
  core.cfg.NVItemList = {"453:01"};
  nv.WriteNVItemList();
  EXPECT_THAT(errors, ElementsAre(ErrorText("Custom NV:Item was read-only")));
  EXPECT_FALSE(Logged("[453]Write NV......OK"));
}

TEST_F(NVAccess, ItemWriteNeverAnsweredInKindFailsAtTheFiftiethAttempt) {
  // The modem answers every request, but never with the write's reply (0x13: bad command).
  port().SetResponder([](const std::vector<uint8_t>&) { return FakeNVModem::Frame({0x13, 0x27}); });
  core.cfg.NVItemList = {"453:01"};
  nv.WriteNVItemList();
  EXPECT_EQ(port().Writes().size(), 50u);
  EXPECT_THAT(errors, ElementsAre(ErrorText("[453]:Fail to write NV")));
}

TEST_F(NVAccess, HexTextToByteTakesExactlyTheTwoDigitUpperCaseTexts) {
  for (int v = 0; v < 256; ++v) {
    char text[3];
    snprintf(text, sizeof text, "%02X", v);
    EXPECT_EQ(nv.HexTextToByte(text), v);
  }
  EXPECT_TRUE(errors.empty());
  EXPECT_EQ(nv.HexTextToByte("ff"), 0);
  EXPECT_THAT(errors, ElementsAre(ErrorText("String to hex failed!")));
}

// Status decoding: the high byte first, the low byte only when the high one passes.
struct StatusCase {
  NVStatusPolicy policy;
  uint8_t low, high;
  int result;
  std::string logged;  // log line, or empty
  std::string error;   // engine error text, or empty
};

class NVStatusDecoding : public NVFixture, public ::testing::WithParamInterface<StatusCase> {};

TEST_P(NVStatusDecoding, FollowsThePolicy) {
  NVItems nv{core, link};
  const StatusCase& c = GetParam();
  std::vector<uint8_t> reply(135, 0);
  reply[131] = c.low;
  reply[132] = c.high;
  EXPECT_EQ(nv.CheckNVStatus(reply.data(), 135, "[141]NV_THERM_I", c.policy), c.result);
  std::vector<std::string> logged;
  for (const auto& l : lines)
    if (l.kind == mtInfo) logged.push_back(l.text);
  EXPECT_EQ(logged, c.logged.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.logged});
  EXPECT_EQ(errors, c.error.empty() ? std::vector<std::string>{} : std::vector<std::string>{ErrorText(c.error)});
}

const std::string kInactive = "[141]NV_THERM_I:NV status Error Received:Item inactive";
const std::string kBadParam = "[141]NV_THERM_I:Bad parameter in command block";

INSTANTIATE_TEST_SUITE_P(
    Policies, NVStatusDecoding,
    ::testing::Values(
        StatusCase{NVStatusPolicy::Strict, 0, 0, 0, "", ""},
        StatusCase{NVStatusPolicy::Strict, 5, 0, 5, "", kInactive},
        StatusCase{NVStatusPolicy::Strict, 7, 0, 7, "", "[141]NV_THERM_I:Item was read-only"},
        StatusCase{NVStatusPolicy::Skip, 5, 0, 5, kInactive, ""},
        StatusCase{NVStatusPolicy::Skip, 6, 0, 6, kBadParam, ""},
        StatusCase{NVStatusPolicy::Skip, 1, 0, 1, "", "[141]NV_THERM_I:Internal DMSS use"},
        StatusCase{NVStatusPolicy::Skip, 4, 0, 4, "", "[141]NV_THERM_I:Command failed"},
        StatusCase{NVStatusPolicy::Tolerant, 5, 0, 0, kInactive, ""},
        StatusCase{NVStatusPolicy::Tolerant, 8, 0, 8, "", "[141]NV_THERM_I:Item not defined for this target"},
        // High byte decides; the low byte is then ignored.
        StatusCase{NVStatusPolicy::Strict, 7, 3, 3, "", "[141]NV_THERM_I:Memory is full"},
        StatusCase{NVStatusPolicy::Skip, 9, 6, 6, kBadParam, ""},
        // Tolerated high byte: the low byte is decoded after it.
        StatusCase{NVStatusPolicy::Tolerant, 10, 5, 10, kInactive, "[141]NV_THERM_I:Internal use"},
        StatusCase{NVStatusPolicy::Strict, 0, 0x20, 100, "", "[141]NV_THERM_I:Unkown error"},
        StatusCase{NVStatusPolicy::Skip, 11, 0, 100, "", "[141]NV_THERM_I:Unkown error"}));

// A reply only counts when it is a complete, valid frame of the command's shape; anything
// else is one more attempt.
class NVExchangeRejects : public NVFixture, public ::testing::WithParamInterface<FakeNVModem::Fault> {};

TEST_P(NVExchangeRejects, AFaultyReplyCostsOneAttempt) {
  NVItems nv{core, link};
  modem.items[141].data = ValueOf(141);
  modem.faults = {GetParam()};
  uint32_t length = 0;
  ASSERT_TRUE(nv.NVExchange(NVItems::NVReadRequest(141), {0x26, NVReplyShape::Item, 141}, 99, 2, length));
  EXPECT_EQ(length, 135u);
  EXPECT_EQ(port().Writes().size(), 2u);
  const auto value = ValueOf(141);
  EXPECT_EQ(std::vector<uint8_t>(link.Response() + 3, link.Response() + 131),
            std::vector<uint8_t>(value.begin(), value.end()));
}

TEST_P(NVExchangeRejects, AFaultyRFReplyCostsOneAttempt) {
  NVItems nv{core, link};
  modem.rf[571].data = {0x11, 0x7E, 0x33};
  modem.faults = {GetParam()};
  uint32_t length = 0;
  ASSERT_TRUE(nv.NVExchange(NVItems::RFReadRequest(571), {0x4B, NVReplyShape::RFRead, 571}, 99, 2, length));
  EXPECT_EQ(length, 18u + 3u);
  EXPECT_EQ(port().Writes().size(), 2u);
  EXPECT_EQ(std::vector<uint8_t>(link.Response() + 12, link.Response() + 19),
            (std::vector<uint8_t>{0x3B, 0x02, 0x03, 0x00, 0x11, 0x7E, 0x33}));
}

INSTANTIATE_TEST_SUITE_P(Faults, NVExchangeRejects,
                         ::testing::Values(FakeNVModem::Fault::Silence, FakeNVModem::Fault::BadCheck,
                                           FakeNVModem::Fault::Truncate, FakeNVModem::Fault::Extend,
                                           FakeNVModem::Fault::WrongItem, FakeNVModem::Fault::WrongCode));

TEST_F(NVAccess, ExchangeWaitsFromItsWaitingAttemptOnAlsoAfterTheRightReply) {
  uint32_t length = 0;
  // Answered at once: one attempt, no wait.
  const uint64_t sleptBefore = clock.SleptMs();
  ASSERT_TRUE(nv.NVExchange(NVItems::NVReadRequest(141), {0x26, NVReplyShape::Item, 141}, 99, 2, length));
  EXPECT_EQ(clock.SleptMs() - sleptBefore, 0u);

  // Two wrong replies, then the right one, waiting from attempt 2: attempts 2 and 3 wait.
  modem.faults = {FakeNVModem::Fault::WrongCode, FakeNVModem::Fault::WrongCode};
  const uint64_t t0 = clock.SleptMs();
  ASSERT_TRUE(nv.NVExchange(NVItems::NVReadRequest(141), {0x26, NVReplyShape::Item, 141}, 99, 2, length));
  EXPECT_EQ(clock.SleptMs() - t0, 1000u);

  modem.faults = {FakeNVModem::Fault::WrongCode, FakeNVModem::Fault::WrongCode};
  const uint64_t t1 = clock.SleptMs();
  ASSERT_TRUE(nv.NVExchange(NVItems::NVReadRequest(141), {0x26, NVReplyShape::Item, 141}, 99, 3, length));
  EXPECT_EQ(clock.SleptMs() - t1, 500u);
}

TEST_F(NVAccess, ExchangeGivesUpAtItsFailingAttemptWithoutExaminingIt) {
  modem.faults.assign(98, FakeNVModem::Fault::WrongCode);  // the 99th reply would be right
  uint32_t length = 0;
  EXPECT_FALSE(nv.NVExchange(NVItems::NVReadRequest(141), {0x26, NVReplyShape::Item, 141}, 99, 2, length));
  EXPECT_EQ(port().Writes().size(), 99u);
}

TEST_F(NVAccess, ExchangeEndsAtOnceOnceTheRunIsStopped) {
  int replies = 0;
  port().SetResponder([&](const std::vector<uint8_t>&) {
    if (++replies == 3) core.RequestStop();
    return std::vector<uint8_t>{};
  });
  uint32_t length = 0;
  EXPECT_FALSE(nv.NVExchange(NVItems::NVReadRequest(141), {0x26, NVReplyShape::Item, 141}, 99, 2, length));
  EXPECT_EQ(port().Writes().size(), 3u);
}

struct PlatformCase {
  std::vector<FakeNVModem::Fault> faults;
  uint8_t version;
  int expected;
  size_t requests;
};

class NVPlatformID : public NVFixture, public ::testing::WithParamInterface<PlatformCase> {};

TEST_P(NVPlatformID, IsTheLowByteOfTheModelIdOfAVersionTwoReply) {
  NVItems nv{core, link};
  modem.faults.assign(GetParam().faults.begin(), GetParam().faults.end());
  modem.buildVersion = GetParam().version;
  EXPECT_EQ(nv.GetPlatformID(), GetParam().expected);
  EXPECT_EQ(port().Writes().size(), GetParam().requests);
  EXPECT_TRUE(errors.empty());
}

using F = FakeNVModem::Fault;
INSTANTIATE_TEST_SUITE_P(
    Replies, NVPlatformID,
    ::testing::Values(PlatformCase{{}, 2, 7, 1}, PlatformCase{{F::Silence, F::BadCheck}, 2, 7, 3},
                      PlatformCase{{F::Silence, F::Silence, F::Silence}, 2, -1, 3},
                      PlatformCase{{}, 3, -1, 3}, PlatformCase{{F::WrongCode, F::WrongCode, F::WrongCode}, 2, -1, 3}));

TEST_F(NVAccess, BuildIdReplyWithoutTheModelByteIsNoAnswer) {
  port().SetResponder([](const std::vector<uint8_t>&) {
    return FakeNVModem::Frame({0x7C, 0x02, 0, 0, 0, 0, 0, 0});  // ends before byte 8
  });
  EXPECT_EQ(nv.GetPlatformID(), -1);
  EXPECT_EQ(port().Writes().size(), 3u);
}

}  // namespace
}  // namespace zovir::test
