#include "throttle/throttle.h"

#include <cctype>
#include <limits>
#include <thread>

#include "settings/settings.h"

namespace tarnwick {

bool ThrottlingEnabled = true;
std::int64_t ThrottleRate = 0;
std::int64_t TotalRate = 0;
std::int64_t ForwardRate = 0;

namespace {

ThrottleHooks& Hooks() {
  static ThrottleHooks hooks;
  return hooks;
}

}  // namespace

std::int64_t ParseRate(std::string_view text, std::int64_t previous) {
  // The leading integer, read as "%d" would; what follows it ("KB", "MB",
  // anything) is not looked at.
  std::size_t i = 0;
  while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  if (i >= text.size() || !std::isdigit(static_cast<unsigned char>(text[i]))) return previous;
  constexpr std::int64_t kCap = std::numeric_limits<std::int64_t>::max() / 1024;
  std::int64_t n = 0;
  for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
    n = n * 10 + (text[i] - '0');
    if (n > kCap) {
      n = kCap;
      break;
    }
  }
  return (negative ? -n : n) * 1024;
}

void ReadThrottleSettings(const IniFile& ini) {
  std::string rate_text = ini.GetString("Connection", "Bandwith", "20KB", 214);
  ThrottlingEnabled = ini.GetInt("Connection", "ThrottlingEnabled", 1) != 0;
  ThrottleRate = ParseRate(rate_text, ThrottleRate);
  TotalRate = ParseRate(ini.GetString("Connection", "TotalBandwith", "", 214), 0);
  ForwardRate = ParseRate(ini.GetString("Forward", "Bandwith", "", 214), ThrottleRate);
  if (!ThrottlingEnabled) ThrottleRate = TotalRate = ForwardRate = 0;
  InboundTotal().SetRate(TotalRate);
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

RateLimiter& InboundTotal() {
  static RateLimiter total;
  return total;
}

bool TransferThrottle::Passed(std::int64_t bytes, const std::function<void()>& before_sleep) {
  const ThrottleHooks& h = Hooks();
  const auto now = h.now ? h.now() : ThrottleClock::now();
  auto wait = own_.Reserve(bytes, now);
  if (shared_) wait = std::max(wait, shared_->Reserve(bytes, now));
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(wait);
  if (ms.count() <= 0) return false;
  if (before_sleep) before_sleep();
  if (h.sleep)
    h.sleep(ms);
  else
    std::this_thread::sleep_for(wait);
  return true;
}

void SetThrottleHooks(ThrottleHooks hooks) { Hooks() = std::move(hooks); }


}  // namespace tarnwick
