#include "throttle/throttle.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "settings/settings.h"

namespace tarnwick {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

TEST(Throttle, RateUnitsArePowersOf1024AndABareNumberIsKibibytes) {
  const struct { const char* text; std::int64_t expected; } cases[] = {
      {"20", 20480}, {"20K", 20480}, {"20kb", 20480}, {"2MB", 2097152}, {"2 mb", 2097152},
      {"3G", 3LL << 30}, {"1\tGB", 1LL << 30}, {"  7KB  ", 7168}, {"0", 0},
      {"-5KB", -5120}, {"3000000KB", 3072000000LL}};  // negative: no limit; past 32 bits
  for (const auto& c : cases) {
    std::string why;
    EXPECT_EQ(ParseRateStrict(c.text, &why), c.expected) << '"' << c.text << "\" " << why;
    EXPECT_EQ(ParseRate(c.text, 777), c.expected) << '"' << c.text << '"';
  }
}

TEST(Throttle, AnInvalidRateIsRefusedWithAReasonAndTheRelayKeepsItsFallback) {
  const struct { const char* text; const char* reason; } cases[] = {
      {"2XB", "unknown unit \"XB\""}, {"20KiB", "unknown unit"}, {"20 K B", "unknown unit"},
      {"20bps", "unknown unit"}, {"KB", "does not start with a number"}, {"abc", "does not start"},
      {"1.5M", "not a whole number"}, {"", "empty"}, {"9999999999999999999", "too large"},
      {"9000000000000000G", "too large"}};
  for (const auto& c : cases) {
    std::string why;
    EXPECT_FALSE(ParseRateStrict(c.text, &why)) << '"' << c.text << '"';
    EXPECT_NE(why.find(c.reason), std::string::npos) << '"' << c.text << "\" gave: " << why;
    EXPECT_EQ(ParseRate(c.text, 777), 777) << '"' << c.text << '"';
  }
}

TEST(Throttle, SettingsReadRatesWithUnitsAndKeepTheDefaultOnAnInvalidOne) {
  const struct { const char* ini; std::int64_t own, total, forward; } cases[] = {
      {"[Connection]\nBandwith=2MB\nTotalBandwith=1G\n", 2 << 20, 1LL << 30, 2 << 20},
      {"[Connection]\nBandwith=2XB\nTotalBandwith=junk\n[Forward]\nBandwith=??\n", kDefaultRate, 0, kDefaultRate},
      {"[Connection]\nBandwith=\n[Forward]\nBandwith=64\n", 0, 0, 64 * 1024},  // empty: no limit
      {"[Connection]\nThrottlingEnabled=0\nBandwith=2M\nTotalBandwith=1G\n", 0, 0, 0},
  };
  const bool enabled = ThrottlingEnabled;
  const std::int64_t own = ThrottleRate, total = TotalRate, forward = ForwardRate;
  for (const auto& c : cases) {
    ReadThrottleSettings(IniFile::Parse(c.ini));
    EXPECT_EQ(ThrottleRate, c.own) << c.ini;
    EXPECT_EQ(TotalRate, c.total) << c.ini;
    EXPECT_EQ(ForwardRate, c.forward) << c.ini;
  }
  Settings s;
  ReadWorkerSettings(IniFile::Parse("[Connection]\nMinRate=2 KB\n"), s);
  EXPECT_EQ(s.min_rate, 2048);
  Settings bad;
  ReadWorkerSettings(IniFile::Parse("[Connection]\nMinRate=2KBps\n"), bad);
  EXPECT_EQ(bad.min_rate, 1024);
  ThrottlingEnabled = enabled;
  ThrottleRate = own, TotalRate = total, ForwardRate = forward;
  InboundTotal().SetRate(total);
}

// A sender that always has bytes ready, paced only by the limiter.
struct Pacer {
  explicit Pacer(RateLimiter& l) : limiter(l) {}
  RateLimiter& limiter;
  ThrottleClock::time_point now = ThrottleClock::time_point() + seconds(1000);
  std::vector<std::pair<double, std::int64_t>> log;  // (seconds, bytes passed by then)
  std::int64_t passed = 0;
  void Send(std::int64_t piece, double seconds_of_sending) {
    const auto end = now + std::chrono::duration_cast<ThrottleClock::duration>(
                               std::chrono::duration<double>(seconds_of_sending));
    while (now < end) {
      const auto wait = limiter.Reserve(piece, now);
      passed += piece;
      now += std::chrono::duration_cast<ThrottleClock::duration>(wait) + std::chrono::microseconds(50);
      log.emplace_back(std::chrono::duration<double>(now.time_since_epoch()).count(), passed);
    }
  }
};

TEST(Throttle, EveryTenSecondWindowHoldsTheRateAndACatchUpIsOneSecondAtMost) {
  constexpr std::int64_t kRate = 1 << 20;
  RateLimiter limiter(kRate);
  Pacer p(limiter);
  p.Send(64 * 1024, 40);
  // Worst 10 s window after the first 8 s, as a sender would see it.
  double worst = 0;
  for (std::size_t i = 0; i < p.log.size(); ++i) {
    if (p.log[i].first - p.log.front().first < 8) continue;
    for (std::size_t j = i; j < p.log.size(); ++j) {
      if (p.log[j].first - p.log[i].first < 10) continue;
      const double rate = (p.log[j].second - p.log[i].second) / (p.log[j].first - p.log[i].first);
      worst = std::max(worst, std::abs(rate / kRate - 1));
      break;
    }
  }
  EXPECT_LT(worst, 0.02);

  // A stall of 30 s earns no 30 s burst: one second's worth at most passes
  // before waits start again.
  p.now += seconds(30);
  std::int64_t free_bytes = 0;
  while (limiter.Reserve(64 * 1024, p.now).count() == 0) free_bytes += 64 * 1024;
  EXPECT_LE(free_bytes, kRate);
  EXPECT_GE(free_bytes, kRate - 64 * 1024);
}

TEST(Throttle, ASharedLimitIsSharedFairlyAndTheOwnLimitStillHolds) {
  SetThrottleHooks({});
  auto now = ThrottleClock::time_point() + seconds(1000);
  std::vector<milliseconds> sleeps;
  SetThrottleHooks({[&] { return now; }, [&](milliseconds d) { sleeps.push_back(d); }});
  RateLimiter total(100 * 1024);
  // Three busy transfers under a total of 100 KiB/s, one of them also held
  // to 10 KiB/s of its own: the others split what it leaves.
  TransferThrottle a(0, &total), b(0, &total), slow(10 * 1024, &total);
  std::int64_t got[3] = {0, 0, 0};
  ThrottleClock::time_point next[3] = {now, now, now};
  TransferThrottle* t[3] = {&a, &b, &slow};
  const auto end = now + seconds(60);
  while (now < end) {
    const int i = static_cast<int>(std::min_element(next, next + 3) - next);
    now = next[i];
    sleeps.clear();
    t[i]->Passed(4096);
    got[i] += 4096;
    next[i] = now + (sleeps.empty() ? milliseconds(1) : sleeps.back());
  }
  SetThrottleHooks({});
  const double secs = 60;
  EXPECT_NEAR(got[2] / secs, 10 * 1024, 10 * 1024 * 0.1);
  EXPECT_NEAR(got[0] / secs, 45 * 1024, 45 * 1024 * 0.1);
  EXPECT_NEAR(got[1] / secs, 45 * 1024, 45 * 1024 * 0.1);
  EXPECT_NEAR((got[0] + got[1] + got[2]) / secs, 100 * 1024, 100 * 1024 * 0.03);
}

}  // namespace
}  // namespace tarnwick
