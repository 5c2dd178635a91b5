#pragma once
#include <atomic>
#include <cstdint>
#include <vector>

#include "platform/clock.h"

namespace zovir {

// A clock whose sleeps advance time at once. Thread-safe enough for a test that reads it
// from a second thread; the engine under test is the only sleeper.
class FakeClock final : public Clock {
 public:
  explicit FakeClock(uint64_t startMs = 1'000'000, int64_t wallSeconds = 1'700'000'000)
      : now_(startMs), wall_(wallSeconds) {}
  uint64_t NowMs() override { return now_.load(); }
  int64_t WallSeconds() override { return wall_.load() + static_cast<int64_t>((now_.load() - start_) / 1000); }
  void SleepMs(uint32_t ms) override {
    now_ += ms;
    slept_ += ms;
    ++sleeps_;
  }
  void Advance(uint64_t ms) { now_ += ms; }
  // Total time spent in SleepMs (not counting Advance), and how many sleeps.
  uint64_t SleptMs() const { return slept_.load(); }
  uint64_t Sleeps() const { return sleeps_.load(); }

 private:
  std::atomic<uint64_t> now_;
  std::atomic<int64_t> wall_;
  uint64_t start_ = now_.load();
  std::atomic<uint64_t> slept_{0};
  std::atomic<uint64_t> sleeps_{0};
};

}  // namespace zovir
