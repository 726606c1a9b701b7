#include "throttle/throttle.h"

#include <cctype>
#include <limits>
#include <thread>

#include "settings/settings.h"

namespace tarnwick {

bool ThrottlingEnabled = true;
std::int64_t ThrottleRate = 0;

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
}

std::chrono::milliseconds ThrottleDelay(std::chrono::nanoseconds elapsed, std::int64_t bytes,
                                        std::int64_t rate) {
  using std::chrono::milliseconds;
  if (rate <= 0 || bytes <= 0) return milliseconds(0);
  // target in milliseconds = bytes * 1000 / rate, kept exact in 128 bits.
  __int128 target_ms = static_cast<__int128>(bytes) * 1000 / rate;
  __int128 elapsed_ms = std::chrono::duration_cast<milliseconds>(elapsed).count();
  if (target_ms <= elapsed_ms) return milliseconds(0);
  __int128 d = target_ms - elapsed_ms;
  constexpr __int128 kMax = std::numeric_limits<milliseconds::rep>::max();
  return milliseconds(static_cast<milliseconds::rep>(d > kMax ? kMax : d));
}

void SetThrottleHooks(ThrottleHooks hooks) { Hooks() = std::move(hooks); }

void Throttle(ThrottleClock::time_point start, std::int64_t bytes,
              const std::function<void()>& before_sleep) {
  if (!ThrottlingEnabled || ThrottleRate <= 0) return;
  const ThrottleHooks& h = Hooks();
  auto now = h.now ? h.now() : ThrottleClock::now();
  auto delay = ThrottleDelay(now - start, bytes, ThrottleRate);
  if (delay.count() <= 0) return;
  if (before_sleep) before_sleep();
  if (h.sleep)
    h.sleep(delay);
  else
    std::this_thread::sleep_for(delay);
}

}  // namespace tarnwick
