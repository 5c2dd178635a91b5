// The engine's thread: suspended creation, the end event, freeing itself, bounded waits for
// its end, and shut-down while it runs.
#include <chrono>
#include <future>
#include <thread>

#include "engine_fixture.h"

namespace zovir::test {
namespace {

using namespace std::chrono_literals;

class EngineLifecycle : public EngineFixture {
 protected:
  // Makes the named phase wait until the test releases it.
  void BlockIn(const std::string& phase) {
    auto entered = std::make_shared<std::promise<void>>();
    auto release = std::make_shared<std::promise<void>>();
    entered_ = entered->get_future();
    release_ = release;
    std::shared_future<void> go = release->get_future().share();
    script().hooks[phase] = [entered, go](EngineCore&) {
      entered->set_value();
      go.wait();
    };
  }
  void Release() { release_->set_value(); }

  std::future<void> entered_;
  std::shared_ptr<std::promise<void>> release_;
};

TEST_F(EngineLifecycle, EndEventFollowsTheLastReportOnce) {
  auto engine = MakeEngine([](EngineConfig& c) { c.Index = 2; });
  engine->OnTerminate = [this](int slot) { trace().Add("terminate:" + std::to_string(slot)); };
  EXPECT_FALSE(engine->Started());
  Run(*engine);
  EXPECT_TRUE(engine->Finished());
  const auto events = trace().Events();
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events.back(), "terminate:2");
  EXPECT_EQ(trace().Count("terminate:2"), 1);
  EXPECT_TRUE(trace().Passed());
  EXPECT_FALSE(engine->Resume()) << "an engine runs once";
}

TEST_F(EngineLifecycle, WaitForEndHonoursItsTimeLimit) {
  BlockIn("ProgrammerPhase");
  auto engine = MakeEngine();
  ASSERT_TRUE(engine->Resume());
  entered_.wait();
  EXPECT_FALSE(engine->WaitFor(20));
  EXPECT_FALSE(engine->Finished());
  Release();
  EXPECT_TRUE(engine->WaitFor(60000));
  EXPECT_TRUE(trace().Passed());
}

TEST_F(EngineLifecycle, OwnerMayLetGoWhileTheEngineRuns) {
  BlockIn("DownloadImages");
  std::promise<int> terminated;
  std::promise<void> destroyed;
  script().onPhaseSetDestroyed = [&destroyed] { destroyed.set_value(); };
  auto engine = MakeEngine([](EngineConfig& c) { c.Index = 1; });
  engine->OnTerminate = [&terminated](int slot) { terminated.set_value(slot); };
  ASSERT_TRUE(engine->Resume());
  entered_.wait();

  std::weak_ptr<TCommsThread> weak = engine;
  engine.reset();
  EXPECT_FALSE(weak.expired()) << "the running thread holds the engine";
  Release();

  auto end = terminated.get_future();
  ASSERT_EQ(end.wait_for(60s), std::future_status::ready);
  EXPECT_EQ(end.get(), 1);
  auto gone = destroyed.get_future();
  ASSERT_EQ(gone.wait_for(60s), std::future_status::ready);
  EXPECT_TRUE(weak.expired()) << "the engine freed itself";
  EXPECT_TRUE(trace().Passed());
}

TEST_F(EngineLifecycle, DestroyingARunningEngineStopsAndJoinsIt) {
  auto entered = std::make_shared<std::promise<void>>();
  auto running = entered->get_future();
  script().hooks["DownloadImages"] = [entered](EngineCore& core) {
    entered->set_value();
    // A phase that only ends on a Stop, like a transfer waiting for a silent modem.
    while (!core.StopRequested()) std::this_thread::sleep_for(1ms);
  };
  // Not shared-owned: the owner's destruction decides when the thread ends.
  auto engine = std::make_unique<TCommsThread>(clock_, ports_, &host_, Phases());
  Configure(*engine);
  ASSERT_TRUE(engine->Resume());
  running.wait();
  engine.reset();
  EXPECT_FALSE(Saw("SendPowerOff"));
  EXPECT_FALSE(trace().Passed());
  EXPECT_TRUE(trace().Errors().empty());
  EXPECT_TRUE(Saw("status:COMM Closed"));
  EXPECT_TRUE(ports_.Port("COM7").Closed());
}

TEST_F(EngineLifecycle, EngineThatNeverRanEndsAtOnce) {
  bool terminated = false;
  auto engine = MakeEngine();
  engine->OnTerminate = [&terminated](int) { terminated = true; };
  EXPECT_TRUE(engine->WaitFor(0));
  engine.reset();
  EXPECT_FALSE(terminated);
  EXPECT_TRUE(trace().Events().empty());
}

}  // namespace
}  // namespace zovir::test
