// The throttle on a fake clock: the average rate holds over any window, a
// stall earns no long burst, and a shared total is split fairly while each
// transfer's own limit still holds.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <vector>

#include "throttle/throttle.h"

namespace tarnwick {
namespace {

using namespace std::chrono_literals;
using std::chrono::milliseconds;

const ThrottleClock::time_point kStart = ThrottleClock::time_point() + 1000s;

TEST(RateLimiter, EveryTenSecondWindowHoldsTheRateAndACatchUpIsOneSecondAtMost) {
  constexpr std::int64_t kRate = 1 << 20, kPiece = 64 * 1024;
  RateLimiter limiter(kRate);
  // A sender that always has bytes ready: (seconds, bytes passed by then).
  auto now = kStart;
  std::vector<std::pair<double, std::int64_t>> log;
  std::int64_t passed = 0;
  while (now < kStart + 40s) {
    const auto wait = limiter.Reserve(kPiece, now);
    passed += kPiece;
    now += std::chrono::duration_cast<ThrottleClock::duration>(wait) + 50us;
    log.emplace_back(std::chrono::duration<double>(now - kStart).count(), passed);
  }
  double worst = 0;
  for (std::size_t i = 0; i < log.size(); ++i) {
    if (log[i].first < 8) continue;  // the first second's worth passes at once
    auto j = std::find_if(log.begin() + i, log.end(), [&](const auto& e) { return e.first - log[i].first >= 10; });
    if (j == log.end()) break;
    worst = std::max(worst, std::abs((j->second - log[i].second) / (j->first - log[i].first) / kRate - 1));
  }
  EXPECT_LT(worst, 0.02);

  // A stall of 30 s earns one second's worth, not 30.
  now += 30s;
  std::int64_t free_bytes = 0;
  while (limiter.Reserve(kPiece, now) == 0ns) free_bytes += kPiece;
  EXPECT_LE(free_bytes, kRate);
  EXPECT_GE(free_bytes, kRate - kPiece);
}

TEST(TransferThrottle, ASharedLimitIsSharedFairlyAndTheOwnLimitStillHolds) {
  auto now = kStart;
  milliseconds slept{0};
  int pauses = 0, warned = 0;
  const NowFn clock = [&] { return now; };
  const PauseFn pause = [&](milliseconds d) { return slept = d, ++pauses, false; };
  RateLimiter total(100 * 1024);
  // Three busy transfers under a total of 100 KiB/s, one of them also held
  // to 10 KiB/s of its own: the other two split what it leaves.
  TransferThrottle a(0, &total, pause, clock), b(0, &total, pause, clock), slow(10 * 1024, &total, pause, clock);
  TransferThrottle* t[3] = {&a, &b, &slow};
  std::int64_t got[3] = {0, 0, 0};
  ThrottleClock::time_point next[3] = {now, now, now};
  while (now < kStart + 60s) {
    const auto i = std::min_element(next, next + 3) - next;
    now = next[i];
    slept = 0ms;
    const int before = pauses;
    const bool slept_now = t[i]->Passed(4096, [&] { ++warned; });
    EXPECT_EQ(slept_now, pauses > before);
    got[i] += 4096;
    next[i] = now + std::max(slept, milliseconds(1));
  }
  TransferThrottle unlimited(0, nullptr, pause, clock);  // a rate of 0: no limit, no sleep
  EXPECT_FALSE(unlimited.Passed(1 << 30, [&] { ++warned; }));
  EXPECT_EQ(warned, pauses) << "before_sleep runs exactly when a sleep follows";
  for (const auto& [bytes, share] : {std::pair{got[0], 45}, {got[1], 45}, {got[2], 10}})
    EXPECT_NEAR(bytes / 60.0, share * 1024, share * 1024 * 0.1);
  EXPECT_NEAR((got[0] + got[1] + got[2]) / 60.0, 100 * 1024, 100 * 1024 * 0.03);
}

}  // namespace
}  // namespace tarnwick
