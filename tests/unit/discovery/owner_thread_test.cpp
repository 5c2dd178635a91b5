#include "discovery/owner_thread.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace zovir {
namespace {

// A handler that waits for work queued behind it (an engine's host call posted after the status
// line the handler serves) gets that work done by its own nested serving; nothing deadlocks.
TEST(QueuedOwnerThread, AJobServesWorkQueuedBehindItThroughANestedCall) {
  QueuedOwnerThread owner;
  std::vector<std::string> done;
  bool hostCallRan = false;
  owner.Post([&] {
    done.push_back("handler begins");
    for (int i = 0; i < 5 && !hostCallRan; ++i) owner.RunPending(0);
    done.push_back(hostCallRan ? "handler saw the host call" : "handler never saw it");
  });
  owner.Post([&] {
    hostCallRan = true;
    done.push_back("host call");
  });
  EXPECT_EQ(owner.RunPending(0), 1);  // the nested call ran the second job
  EXPECT_EQ(done, (std::vector<std::string>{"handler begins", "host call", "handler saw the host call"}));
}

TEST(QueuedOwnerThread, JobsPostedWhileServingWaitForTheNextCall) {
  QueuedOwnerThread owner;
  int runs = 0;
  owner.Post([&] {
    ++runs;
    owner.Post([&] { ++runs; });
  });
  EXPECT_EQ(owner.RunPending(0), 1);
  EXPECT_EQ(runs, 1);
  EXPECT_EQ(owner.RunPending(0), 1);
  EXPECT_EQ(runs, 2);
}

}  // namespace
}  // namespace zovir
