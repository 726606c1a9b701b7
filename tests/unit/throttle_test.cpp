#include "throttle/throttle.h"

#include <gtest/gtest.h>

#include <vector>

namespace tarnwick {
namespace {

using std::chrono::milliseconds;
using std::chrono::nanoseconds;
using std::chrono::seconds;

TEST(ParseRate, LeadingIntegerTimesKibibyte) {
  constexpr std::int64_t kPrev = 777;
  const struct {
    const char* text;
    std::int64_t expected;
  } cases[] = {
      {"20KB", 20480}, {"20", 20480}, {"20MB", 20480},  // the unit is never read
      {"100", 102400}, {"-5KB", -5120}, {"+3", 3072}, {"  7KB", 7168}, {"0KB", 0},
      {"3000000KB", 3072000000LL},  // past 32 bits once multiplied
      {"abc", kPrev}, {"KB20", kPrev}, {"", kPrev}, {"-", kPrev},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ParseRate(c.text, kPrev), c.expected) << '"' << c.text << '"';
  }
}

TEST(ThrottleDelay, SleepsOnlyWhenAheadOfTheRate) {
  const struct {
    nanoseconds elapsed;
    std::int64_t bytes;
    std::int64_t rate;
    milliseconds expected;
  } cases[] = {
      {seconds(0), 2048, 20480, milliseconds(100)},
      {seconds(2), 40960, 20480, milliseconds(0)},     // exactly on the rate
      {seconds(2), 81920, 20480, milliseconds(2000)},
      {milliseconds(1500), 40960, 20480, milliseconds(500)},
      {seconds(5), 20480, 20480, milliseconds(0)},     // behind: no catching up by sleeping
      {seconds(0), 0, 20480, milliseconds(0)},
      {seconds(0), 2048, 0, milliseconds(0)},
      {seconds(0), 2048, -5120, milliseconds(0)},
      // bytes * 1000 would overflow 64 bits in a naive computation.
      {seconds(0), std::int64_t{1} << 40, std::int64_t{1} << 31, milliseconds(512000)},
      {seconds(0), std::int64_t{1} << 60, std::int64_t{1} << 30, milliseconds(1073741824000LL)},
      {seconds(1), std::int64_t{1} << 60, std::int64_t{1} << 30, milliseconds(1073741823000LL)},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ThrottleDelay(c.elapsed, c.bytes, c.rate).count(), c.expected.count())
        << "elapsed " << c.elapsed.count() << "ns, bytes " << c.bytes << ", rate " << c.rate;
  }
}

// Drives Throttle with a fake clock that only moves when Throttle sleeps.
class ThrottleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_enabled_ = ThrottlingEnabled;
    saved_rate_ = ThrottleRate;
    SetThrottleHooks({[this] { return now_; },
                      [this](milliseconds d) {
                        sleeps_.push_back(d);
                        now_ += d;
                      }});
  }
  void TearDown() override {
    SetThrottleHooks({});
    ThrottlingEnabled = saved_enabled_;
    ThrottleRate = saved_rate_;
  }

  const ThrottleClock::time_point start_ = ThrottleClock::time_point() + seconds(1000);
  ThrottleClock::time_point now_ = start_;
  std::vector<milliseconds> sleeps_;

 private:
  bool saved_enabled_ = true;
  std::int64_t saved_rate_ = 0;
};

TEST_F(ThrottleTest, DisabledOrUnlimitedNeverSleeps) {
  ThrottlingEnabled = false;
  ThrottleRate = 20480;
  Throttle(start_, 1 << 20);
  EXPECT_TRUE(sleeps_.empty());

  ThrottlingEnabled = true;
  ThrottleRate = 0;
  Throttle(start_, 1 << 20);
  ThrottleRate = -5120;
  Throttle(start_, 1 << 20);
  EXPECT_TRUE(sleeps_.empty());
}

TEST_F(ThrottleTest, SleepIsMeasuredFromStart) {
  ThrottlingEnabled = true;
  ThrottleRate = 20480;
  now_ = start_ + milliseconds(300);
  Throttle(start_, 20480);
  ASSERT_EQ(sleeps_.size(), 1u);
  EXPECT_EQ(sleeps_[0], ThrottleDelay(milliseconds(300), 20480, 20480));
  EXPECT_EQ(sleeps_[0], milliseconds(700));

  // Already slower than the rate: no sleep.
  now_ = start_ + seconds(3);
  Throttle(start_, 20480);
  EXPECT_EQ(sleeps_.size(), 1u);
}

TEST_F(ThrottleTest, SuccessiveCallsKeepTheAverage) {
  ThrottlingEnabled = true;
  ThrottleRate = 20480;
  for (std::int64_t sent = 2048; sent <= 8192; sent += 2048) Throttle(start_, sent);
  ASSERT_EQ(sleeps_.size(), 4u);
  for (auto d : sleeps_) EXPECT_EQ(d, milliseconds(100));
  EXPECT_EQ(now_ - start_, milliseconds(400));
}

}  // namespace
}  // namespace tarnwick
