#include <gtest/gtest.h>

#include "sim/fault_plan.h"

namespace zovir::sim {
namespace {

TEST(FaultPlanSpec, ParsesOccurrencesKindsAndArguments) {
  struct Case {
    const char* spec;
    const char* key;
    uint32_t first, count;
    FaultKind kind;
    int arg;
  } cases[] = {
      {"write=silent", "write", 1, 1, FaultKind::Silent, -1},
      {"write@3=corrupt", "write", 3, 1, FaultKind::Corrupt, -1},
      {"diag:3a@2=ignore", "diag:3a", 2, 1, FaultKind::Ignore, -1},
      {"write@3+=drop:2", "write", 3, 0, FaultKind::Drop, 2},
      {"close@2x3=error", "close", 2, 3, FaultKind::Nak, -1},
      {"diag:3A@*=delay:1500", "diag:3a", 1, 0, FaultKind::Delay, 1500},
      {"ptable=status:1", "ptable", 1, 1, FaultKind::Status, 1},
      {"at:+CGMR=wrong", "at:+CGMR", 1, 1, FaultKind::Wrong, -1},
      {"sahara:hello=vanish:500", "sahara:hello", 1, 1, FaultKind::Vanish, 500},
      {"fast-block@7=split", "fast-block", 7, 1, FaultKind::Split, -1},
  };
  for (const auto& c : cases) {
    FaultPlan plan;
    ASSERT_EQ(plan.AddSpec(c.spec), "") << c.spec;
    // Walk to the first hit and check the rule that fires.
    std::optional<FaultRule> hit;
    for (uint32_t i = 1; i <= c.first && !hit; ++i) hit = plan.Hit(c.key);
    ASSERT_TRUE(hit) << c.spec;
    EXPECT_EQ(plan.Count(c.key), c.first) << c.spec;
    EXPECT_EQ(hit->count, c.count) << c.spec;
    EXPECT_EQ(hit->kind, c.kind) << c.spec;
    EXPECT_EQ(hit->arg, c.arg) << c.spec;
  }
}

TEST(FaultPlanSpec, RejectsMalformedRulesWithoutTakingAnyOfThem) {
  for (const char* bad : {"write", "=silent", "write=explode", "write@0=silent", "write@x=silent", "write=delay",
                          "write=status", "write@2x0=silent", "write=drop:-1", "write=silent,close"}) {
    FaultPlan plan;
    EXPECT_NE(plan.AddSpec(bad), "") << bad;
    EXPECT_FALSE(plan.Hit("write")) << bad;
  }
}

TEST(FaultPlanHits, FireOnlyOnTheirOccurrences) {
  FaultPlan plan;
  ASSERT_EQ(plan.AddSpec("write@2=silent,write@5x2=corrupt,close@3+=nak"), "");
  std::string writes, closes;
  for (int i = 0; i < 8; ++i) writes += plan.Hit("write") ? 'x' : '.';
  for (int i = 0; i < 5; ++i) closes += plan.Hit("close") ? 'x' : '.';
  EXPECT_EQ(writes, ".x..xx..");
  EXPECT_EQ(closes, "..xxx");
  EXPECT_EQ(plan.Fired().size(), 6u);
  // Peek tells what the next occurrence would get without counting it.
  EXPECT_FALSE(plan.Peek("write"));
  EXPECT_EQ(plan.Peek("close")->kind, FaultKind::Nak);
  EXPECT_EQ(plan.Count("close"), 5u);
}

}  // namespace
}  // namespace zovir::sim
