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

std::optional<std::int64_t> ParseRateStrict(std::string_view text, std::string* why) {
  auto fail = [&](std::string reason) -> std::optional<std::int64_t> {
    if (why) *why = std::move(reason);
    return std::nullopt;
  };
  auto blank = [](char c) { return c == ' ' || c == '\t'; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  if (text.empty()) return fail("is empty");
  std::size_t i = 0;
  const bool negative = text[0] == '-';
  if (text[0] == '+' || text[0] == '-') ++i;
  const std::size_t digits_from = i;
  std::int64_t n = 0;
  bool too_large = false;
  for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
    if (n > (std::numeric_limits<std::int64_t>::max() - 9) / 10) too_large = true;
    if (!too_large) n = n * 10 + (text[i] - '0');
  }
  if (i == digits_from) return fail("does not start with a number");
  if (i < text.size() && (text[i] == '.' || text[i] == ','))
    return fail("is not a whole number (use a smaller unit: 1536K rather than 1.5M)");
  while (i < text.size() && blank(text[i])) ++i;
  std::string unit(text.substr(i));
  for (char& c : unit) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (unit.size() == 2 && unit[1] == 'B') unit.pop_back();
  std::int64_t scale;
  if (unit.empty() || unit == "K")
    scale = std::int64_t(1) << 10;
  else if (unit == "M")
    scale = std::int64_t(1) << 20;
  else if (unit == "G")
    scale = std::int64_t(1) << 30;
  else
    return fail("has an unknown unit \"" + std::string(text.substr(i)) + "\" (use K, KB, M, MB, G or GB)");
  if (too_large || n > std::numeric_limits<std::int64_t>::max() / scale) return fail("is too large");
  return (negative ? -n : n) * scale;
}

std::int64_t ParseRate(std::string_view text, std::int64_t fallback) {
  return ParseRateStrict(text).value_or(fallback);
}

void ReadThrottleSettings(const IniFile& ini) {
  const std::string rate_text = ini.GetString("Connection", "Bandwith", "20KB", 214);
  ThrottlingEnabled = ini.GetInt("Connection", "ThrottlingEnabled", 1) != 0;
  // An empty value has always meant "no limit"; an invalid one keeps the
  // default rather than turning the limit off.
  ThrottleRate = rate_text.empty() ? 0 : ParseRate(rate_text, kDefaultRate);
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
  else if (pause_)
    pause_(ms);
  else
    std::this_thread::sleep_for(wait);
  return true;
}

void SetThrottleHooks(ThrottleHooks hooks) { Hooks() = std::move(hooks); }


}  // namespace tarnwick
