#pragma once
#include <cstdint>
#include <ctime>

namespace zovir {

// Every wait and time-out of the tool goes through a Clock, so that tests can run a
// 180-second loop in microseconds and assert the exact waited time.
class Clock {
 public:
  virtual ~Clock() = default;
  // Monotonic milliseconds since an arbitrary origin.
  virtual uint64_t NowMs() = 0;
  // Wall-clock seconds since the Unix epoch (log names, timestamps).
  virtual int64_t WallSeconds() = 0;
  virtual void SleepMs(uint32_t ms) = 0;
};

class SteadyClock final : public Clock {
 public:
  uint64_t NowMs() override;
  int64_t WallSeconds() override;
  void SleepMs(uint32_t ms) override;
};

// The calendar time of `wallSeconds` (seconds since the Unix epoch) in UTC or in the user's
// time zone, safe to call from any thread. False (and `out` cleared) when the system cannot
// convert it.
bool UtcCalendarTime(int64_t wallSeconds, std::tm& out);
bool LocalCalendarTime(int64_t wallSeconds, std::tm& out);

}  // namespace zovir
