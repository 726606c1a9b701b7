// Keeps transfers at or below the configured average rates.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>

namespace tarnwick {

using ThrottleClock = std::chrono::steady_clock;

// A token bucket: bytes pass at rate on average, and after a stall at most
// one second's worth passes at once (no long catch-up burst). Shared by
// several transfers, it serves them in the order they ask, so each busy one
// gets its share.
class RateLimiter {
 public:
  explicit RateLimiter(std::int64_t rate = 0) : rate_(rate) {}
  void SetRate(std::int64_t rate);
  // Books bytes and returns how long the caller must wait before sending
  // or reading more; zero when unlimited (a rate of 0 or less).
  std::chrono::nanoseconds Reserve(std::int64_t bytes, ThrottleClock::time_point now);

 private:
  std::mutex m_;
  std::int64_t rate_;
  double tokens_ = 0;  // negative: bytes booked ahead of the rate
  ThrottleClock::time_point last_{};
  bool started_ = false;
};

// Sleeps for the given time unless a stop comes first (then true, at once).
using PauseFn = std::function<bool(std::chrono::milliseconds)>;
using NowFn = std::function<ThrottleClock::time_point()>;

// One transfer's throttle: its own rate and, inbound, its part of the total.
class TransferThrottle {
 public:
  // pause: how the throttle sleeps (a stop must end the sleep, so that a
  // stop never waits for throttled transfers); now: the clock. Tests give
  // both; empty ones are a plain sleep and the steady clock.
  TransferThrottle(std::int64_t rate, RateLimiter* shared, PauseFn pause = {}, NowFn now = {})
      : own_(rate), shared_(shared), pause_(std::move(pause)), now_(std::move(now)) {}
  // Sleeps as long as the bytes just moved require; true when it slept.
  // before_sleep runs only when a sleep follows.
  bool Passed(std::int64_t bytes, const std::function<void()>& before_sleep = {});

 private:
  RateLimiter own_;
  RateLimiter* shared_;
  PauseFn pause_;
  NowFn now_;
};

}  // namespace tarnwick
