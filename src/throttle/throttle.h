// Keeps each transfer at or below the configured average rate.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string_view>

namespace tarnwick {

class IniFile;

using ThrottleClock = std::chrono::steady_clock;

// Written once at start-up, only read afterwards.
extern bool ThrottlingEnabled;
extern std::int64_t ThrottleRate;  // bytes per second; 0 or less: no limit

// "%dKB": the leading integer times 1024; keeps previous when there is none.
std::int64_t ParseRate(std::string_view text, std::int64_t previous);
void ReadThrottleSettings(const IniFile& ini);

// How long a transfer that moved bytes in elapsed time must sleep to keep
// its average at rate: zero when it is already at or below it.
std::chrono::milliseconds ThrottleDelay(std::chrono::nanoseconds elapsed, std::int64_t bytes,
                                        std::int64_t rate);

// Sleeps the calling thread as ThrottleDelay says, measured from start.
// before_sleep runs only when a sleep follows (a sender flushes its
// buffered writes there, so the peer is not kept waiting for them).
void Throttle(ThrottleClock::time_point start, std::int64_t bytes,
              const std::function<void()>& before_sleep = {});

// Test seam: the clock and the sleep Throttle uses.
struct ThrottleHooks {
  std::function<ThrottleClock::time_point()> now;
  std::function<void(std::chrono::milliseconds)> sleep;
};
void SetThrottleHooks(ThrottleHooks hooks);  // empty members restore the real ones

}  // namespace tarnwick
