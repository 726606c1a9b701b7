// Who may take a place among the inbound streams, in which order the
// transmitter takes saves, and at what pace bytes pass: the rules alone, on
// made-up sockets and a fake clock.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "forwarding/waiting_saves.h"
#include "reception/stream_slots.h"
#include "throttle/throttle.h"

namespace tarnwick {
namespace {

using Verdict = StreamSlots::Verdict;
using Sockets = std::vector<platform::NativeSocket>;
using namespace std::chrono_literals;
using namespace std::string_literals;

TEST(StreamSlots, ClientsWithoutACertificateHoldHalfAndGiveWayToOnesWithOne) {
  Sockets shut;
  StreamSlots slots(4, [&](platform::NativeSocket s) { shut.push_back(s); });
  auto begin = [&](platform::NativeSocket s, bool certified, std::string* dropped = nullptr) {
    const auto id = slots.Accept(s, "peer" + std::to_string(s));
    EXPECT_TRUE(id);
    return std::pair{*id, slots.Begin(*id, certified, dropped)};
  };
  const auto [a1, v1] = begin(1, false);
  const auto [a2, v2] = begin(2, false);
  const auto [a3, v3] = begin(3, false);  // half the places are for clients without a certificate
  EXPECT_EQ(std::vector({v1, v2, v3}), std::vector({Verdict::Stream, Verdict::Stream, Verdict::Anonymous}));
  slots.Release(a3);
  EXPECT_EQ(begin(11, true).second, Verdict::Stream);
  EXPECT_EQ(begin(12, true).second, Verdict::Stream);
  EXPECT_TRUE(shut.empty());

  // Full: a newcomer with a certificate drops the oldest anonymous stream
  // that has not stored a byte; one that has stored is never dropped.
  slots.Stored(a1);
  std::string dropped;
  EXPECT_EQ(begin(13, true, &dropped).second, Verdict::Stream);
  EXPECT_EQ(std::pair(shut, dropped), std::pair(Sockets{2}, "peer2"s));
  // The dropped stream learns that its end was not its sender's choice.
  EXPECT_EQ(std::pair(slots.Evicted(a2), slots.Evicted(a1)), std::pair(true, false));
  EXPECT_EQ(begin(14, true).second, Verdict::Full);
  EXPECT_EQ(begin(4, false).second, Verdict::Full);
  EXPECT_EQ(slots.Streams(), 4u);  // 1, 11, 12, 13

  // Handshakes have places of their own: the oldest gives way to a newcomer.
  const auto oldest = slots.Accept(20);
  for (platform::NativeSocket s = 21; s < 24; ++s) ASSERT_TRUE(slots.Accept(s));
  shut.clear();
  ASSERT_TRUE(slots.Accept(24));
  EXPECT_EQ(shut, Sockets{20});
  EXPECT_TRUE(slots.Evicted(*oldest));

  // A stop ends the handshakes at once, then cuts what is left after the
  // grace; nothing is admitted afterwards.
  shut.clear();
  slots.CutAll(1ms);
  EXPECT_TRUE(slots.Cut() && !slots.Accept(30) && slots.WaitCut(1h));
  for (platform::NativeSocket s : {1, 11, 12, 13, 21, 22, 23, 24})
    EXPECT_NE(std::find(shut.begin(), shut.end(), s), shut.end()) << s << " was not shut down";
}

TEST(StreamSlots, OnePlaceStillServesAndAHandshakeDroppedForANewcomerCannotStream) {
  StreamSlots one(1, [](platform::NativeSocket) {});
  const auto silent = one.Accept(1), next = one.Accept(2);
  EXPECT_TRUE(one.Evicted(*silent));
  EXPECT_EQ(one.Begin(*silent, true), Verdict::Full);
  EXPECT_EQ(one.Begin(*next, false), Verdict::Stream) << "without a certificate, half of one place is one";
}

QueueEntry E(const char* save) { return {"proj", save}; }

TEST(WaitingSaves, ASaveThatFailsByItselfGoesBehindTheOthersAndIsNeverDropped) {
  WaitingSaves w;
  const auto t0 = WaitingSaves::Clock::time_point() + 1h;
  for (const char* s : {"a", "b", "c"}) EXPECT_TRUE(w.Add(E(s)));
  EXPECT_EQ(w.Take(t0), E("a"));
  w.Later(E("a"), t0 + 10s);
  EXPECT_FALSE(w.Add(E("a"))) << "waiting for its retry";
  EXPECT_EQ(w.Take(t0), E("b"));
  EXPECT_EQ(w.Snapshot(), (std::vector{E("b"), E("c"), E("a")})) << "the current save first";
  w.Done(E("b"));
  EXPECT_EQ(w.Take(t0), E("c"));
  w.Done(E("c"));
  std::optional<WaitingSaves::Clock::time_point> wake;
  EXPECT_FALSE(w.Take(t0, &wake));
  EXPECT_EQ(wake, t0 + 10s);
  EXPECT_EQ(w.Snapshot(), std::vector{E("a")}) << "a stop's toforward keeps it";
  EXPECT_EQ(w.Take(*wake), E("a"));
  w.Done(E("a"));
  EXPECT_TRUE(w.Empty());
  EXPECT_FALSE(w.Take(t0 + 1h, &wake));
  EXPECT_FALSE(wake) << "nothing to wake for";
  EXPECT_TRUE(w.Add(E("a"))) << "done with: may come again";
}

const ThrottleClock::time_point kStart = ThrottleClock::time_point() + 1000s;

TEST(TransferThrottle, ASharedLimitIsSharedFairlyTheOwnLimitHoldsAndAStallEarnsOneSecondAtMost) {
  auto now = kStart;
  std::chrono::milliseconds slept{0};
  int pauses = 0, warned = 0;
  const NowFn clock = [&] { return now; };
  const PauseFn pause = [&](std::chrono::milliseconds d) { return slept = d, ++pauses, false; };
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
    next[i] = now + std::max(slept, 1ms);
  }
  TransferThrottle unlimited(0, nullptr, pause, clock);  // a rate of 0: no limit, no sleep
  EXPECT_FALSE(unlimited.Passed(1 << 30, [&] { ++warned; }));
  EXPECT_EQ(warned, pauses) << "before_sleep runs exactly when a sleep follows";
  for (const auto& [bytes, share] : {std::pair{got[0], 45}, {got[1], 45}, {got[2], 10}})
    EXPECT_NEAR(bytes / 60.0, share * 1024, share * 1024 * 0.1);
  EXPECT_NEAR((got[0] + got[1] + got[2]) / 60.0, 100 * 1024, 100 * 1024 * 0.01);

  // A stall of 30 s earns one second's worth, not 30.
  now += 30s;
  std::int64_t free_bytes = 0;
  while (total.Reserve(4096, now) == 0ns) free_bytes += 4096;
  EXPECT_LE(free_bytes, 100 * 1024);
  EXPECT_GE(free_bytes, 100 * 1024 - 4096);
}

}  // namespace
}  // namespace tarnwick
