// Keeps each transfer at or below the configured average rate.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace tarnwick {

class IniFile;

using ThrottleClock = std::chrono::steady_clock;

// Written once at start-up, only read afterwards.
extern bool ThrottlingEnabled;
extern std::int64_t ThrottleRate;  // per transfer, bytes per second; 0 or less: no limit
extern std::int64_t TotalRate;     // all inbound streams together; 0 or less: no limit
extern std::int64_t ForwardRate;   // the transmit side; 0 or less: no limit

// A rate as settings.ini writes it: a whole number, optionally signed, then
// optionally a blank and a unit K, KB, M, MB, G or GB (any case), powers of
// 1024 bytes per second; a bare number is in KiB/s ("2MB" = 2097152). Zero
// or less means "no limit". None, with why set to a reason in words, for an
// empty value, an unknown unit or anything else.
std::optional<std::int64_t> ParseRateStrict(std::string_view text, std::string* why = nullptr);
// The relay's reading: ParseRateStrict's value, or fallback when the text is
// empty or invalid (the configuration check reports the latter).
std::int64_t ParseRate(std::string_view text, std::int64_t fallback);
// Bytes per second of [Connection] Bandwith when it is absent or invalid.
inline constexpr std::int64_t kDefaultRate = 20 * 1024;
void ReadThrottleSettings(const IniFile& ini);

// A token bucket: bytes pass at rate on average, and after a stall at most
// one second's worth passes at once (no long catch-up burst). Shared by
// several transfers, it serves them in the order they ask, so each busy one
// gets its share.
class RateLimiter {
 public:
  explicit RateLimiter(std::int64_t rate = 0) : rate_(rate) {}
  void SetRate(std::int64_t rate) {
    std::lock_guard lock(m_);
    rate_ = rate;
  }
  // Books bytes and returns how long the caller must wait before sending
  // or reading more; zero when unlimited.
  std::chrono::nanoseconds Reserve(std::int64_t bytes, ThrottleClock::time_point now);

 private:
  std::mutex m_;
  std::int64_t rate_;
  double tokens_ = 0;  // negative: bytes booked ahead of the rate
  ThrottleClock::time_point last_{};
  bool started_ = false;
};

// The relay-wide limit of all inbound streams (TotalBandwith).
RateLimiter& InboundTotal();

// Sleeps for the given time unless a stop comes first (then true, at once).
using PauseFn = std::function<bool(std::chrono::milliseconds)>;

// One transfer's throttle: its own rate and, inbound, its part of the total.
class TransferThrottle {
 public:
  // pause: how the throttle sleeps; a stop must end the sleep, so that a
  // stop never waits for throttled transfers. Empty: a plain sleep.
  TransferThrottle(std::int64_t rate, RateLimiter* shared, PauseFn pause = {})
      : own_(rate), shared_(shared), pause_(std::move(pause)) {}
  // Sleeps as long as the bytes just moved require; true when it slept.
  // before_sleep runs only when a sleep follows.
  bool Passed(std::int64_t bytes, const std::function<void()>& before_sleep = {});

 private:
  RateLimiter own_;
  RateLimiter* shared_;
  PauseFn pause_;
};

// Test seam: the clock and the sleep TransferThrottle uses.
struct ThrottleHooks {
  std::function<ThrottleClock::time_point()> now;
  std::function<void(std::chrono::milliseconds)> sleep;
};
void SetThrottleHooks(ThrottleHooks hooks);  // empty members restore the real ones

}  // namespace tarnwick
