#include "platform/clock.h"

#include <chrono>
#include <thread>

namespace zovir {

uint64_t SteadyClock::NowMs() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}

int64_t SteadyClock::WallSeconds() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// The C library's reentrant forms: std::gmtime and std::localtime share one buffer.
bool UtcCalendarTime(int64_t wallSeconds, std::tm& out) {
  const std::time_t t = static_cast<std::time_t>(wallSeconds);
  out = {};
#ifdef _WIN32
  return gmtime_s(&out, &t) == 0;
#else
  return gmtime_r(&t, &out) != nullptr;
#endif
}

bool LocalCalendarTime(int64_t wallSeconds, std::tm& out) {
  const std::time_t t = static_cast<std::time_t>(wallSeconds);
  out = {};
#ifdef _WIN32
  return localtime_s(&out, &t) == 0;
#else
  return localtime_r(&t, &out) != nullptr;
#endif
}

void SteadyClock::SleepMs(uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

}  // namespace zovir
