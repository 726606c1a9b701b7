#include "throttle/throttle.h"

#include <gtest/gtest.h>

#include <vector>

namespace tarnwick {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

TEST(Throttle, RateIsTheLeadingIntegerInKibibytes) {
  const struct { const char* text; std::int64_t expected; } cases[] = {
      {"20KB", 20480}, {"20", 20480}, {"20MB", 20480},  // the unit is never read
      {"-5KB", -5120}, {"  7KB", 7168}, {"3000000KB", 3072000000LL},  // past 32 bits
      {"abc", 777}, {"", 777}};
  for (const auto& c : cases) EXPECT_EQ(ParseRate(c.text, 777), c.expected) << '"' << c.text << '"';
}

TEST(Throttle, DelayOnlyWhenAheadOfTheRate) {
  const struct { milliseconds elapsed; std::int64_t bytes, rate; milliseconds expected; } cases[] = {
      {seconds(0), 2048, 20480, milliseconds(100)},
      {seconds(2), 40960, 20480, milliseconds(0)},  // exactly on the rate
      {milliseconds(1500), 40960, 20480, milliseconds(500)},
      {seconds(5), 20480, 20480, milliseconds(0)},  // behind: no catching up by sleeping
      {seconds(0), 2048, 0, milliseconds(0)},
      {seconds(0), 2048, -5120, milliseconds(0)},
      {seconds(1), std::int64_t{1} << 60, std::int64_t{1} << 30, milliseconds(1073741823000LL)}};
  for (const auto& c : cases)
    EXPECT_EQ(ThrottleDelay(c.elapsed, c.bytes, c.rate).count(), c.expected.count()) << c.elapsed.count();
}

TEST(Throttle, FakeClockKeepsTheAverageAndHonoursTheSwitches) {
  const auto start = ThrottleClock::time_point() + seconds(1000);
  auto now = start;
  std::vector<milliseconds> sleeps;
  SetThrottleHooks({[&] { return now; }, [&](milliseconds d) { sleeps.push_back(d), now += d; }});
  ThrottlingEnabled = true;
  ThrottleRate = 20480;
  for (std::int64_t sent = 2048; sent <= 8192; sent += 2048) Throttle(start, sent);
  ASSERT_EQ(sleeps.size(), 4u);
  for (auto d : sleeps) EXPECT_EQ(d.count(), 100);
  ThrottleRate = 0;
  Throttle(start, 1 << 20);
  ThrottlingEnabled = false;
  ThrottleRate = 20480;
  Throttle(start, 1 << 20);
  EXPECT_EQ(sleeps.size(), 4u) << "slept while unlimited or disabled";
  SetThrottleHooks({});
}

}  // namespace
}  // namespace tarnwick
