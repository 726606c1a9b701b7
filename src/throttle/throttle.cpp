#include "throttle/throttle.h"

#include <algorithm>
#include <thread>

namespace tarnwick {

void RateLimiter::SetRate(std::int64_t rate) {
  std::lock_guard lock(m_);
  rate_ = rate;
}

std::chrono::nanoseconds RateLimiter::Reserve(std::int64_t bytes, ThrottleClock::time_point now) {
  std::lock_guard lock(m_);
  if (rate_ <= 0 || bytes <= 0) return std::chrono::nanoseconds(0);
  const double rate = static_cast<double>(rate_);
  if (!started_) {
    started_ = true;
    last_ = now;
  }
  if (now > last_) {
    tokens_ = std::min(rate, tokens_ + rate * std::chrono::duration<double>(now - last_).count());
    last_ = now;
  }
  tokens_ -= static_cast<double>(bytes);
  if (tokens_ >= 0) return std::chrono::nanoseconds(0);
  return std::chrono::nanoseconds(static_cast<std::int64_t>(-tokens_ / rate * 1e9));
}

bool TransferThrottle::Passed(std::int64_t bytes, const std::function<void()>& before_sleep) {
  const auto now = now_ ? now_() : ThrottleClock::now();
  auto wait = own_.Reserve(bytes, now);
  if (shared_) wait = std::max(wait, shared_->Reserve(bytes, now));
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(wait);
  if (ms.count() <= 0) return false;
  if (before_sleep) before_sleep();
  if (pause_)
    pause_(ms);
  else
    std::this_thread::sleep_for(wait);
  return true;
}

}  // namespace tarnwick
