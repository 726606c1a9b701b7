// Who may take a place among the inbound streams, and in which order the
// transmitter takes saves: the rules alone, without sockets or threads.
#include <gtest/gtest.h>

#include <vector>

#include "channel/tls.h"
#include "forwarding/waiting_saves.h"
#include "reception/stream_slots.h"
#include "service/event_log.h"

namespace tarnwick {
namespace {

using Verdict = StreamSlots::Verdict;

TEST(StreamSlots, ClientsWithoutACertificateHoldHalfAndGiveWayToOnesWithOne) {
  std::vector<platform::NativeSocket> shut;
  StreamSlots slots(4, [&](platform::NativeSocket s) { shut.push_back(s); });
  auto begin = [&](platform::NativeSocket s, bool certified) {
    auto id = slots.Accept(s);
    EXPECT_TRUE(id);
    return std::pair{*id, slots.Begin(*id, certified)};
  };
  // Half of the places for clients without a certificate.
  auto [a1, v1] = begin(1, false);
  auto [a2, v2] = begin(2, false);
  auto [a3, v3] = begin(3, false);
  EXPECT_EQ(v1, Verdict::Stream);
  EXPECT_EQ(v2, Verdict::Stream);
  EXPECT_EQ(v3, Verdict::Anonymous);
  slots.Release(a3);
  auto [c1, w1] = begin(11, true);
  auto [c2, w2] = begin(12, true);
  EXPECT_EQ(w1, Verdict::Stream);
  EXPECT_EQ(w2, Verdict::Stream);
  EXPECT_TRUE(shut.empty());
  // Full: a newcomer with a certificate drops the oldest anonymous stream
  // that has not stored a byte; one that has stored is never dropped.
  slots.Stored(a1);
  auto [c3, w3] = begin(13, true);
  EXPECT_EQ(w3, Verdict::Stream);
  EXPECT_EQ(shut, std::vector<platform::NativeSocket>{2});
  auto [c4, w4] = begin(14, true);
  EXPECT_EQ(w4, Verdict::Full);
  auto [a4, v4] = begin(4, false);
  EXPECT_EQ(v4, Verdict::Full);
  EXPECT_EQ(slots.Streams(), 4u);  // 1, 11, 12, 13

  // Handshakes have their own places: the oldest gives way to a newcomer.
  for (platform::NativeSocket s = 20; s < 24; ++s) EXPECT_TRUE(slots.Accept(s));
  shut.clear();
  EXPECT_TRUE(slots.Accept(24));
  EXPECT_EQ(shut, std::vector<platform::NativeSocket>{20});

  // A stop ends the handshakes at once, then cuts what is left after the
  // grace; nothing is admitted afterwards.
  shut.clear();
  slots.CutAll(std::chrono::milliseconds(1));
  EXPECT_TRUE(slots.Cut());
  EXPECT_FALSE(slots.Accept(30));
  EXPECT_TRUE(slots.WaitCut(std::chrono::hours(1)));
  EXPECT_GE(shut.size(), 8u);
  (void)c1, (void)c2, (void)c3, (void)c4, (void)a2, (void)a4;
}

QueueEntry E(const char* save) { return {"proj", save}; }

TEST(WaitingSaves, ASaveThatFailsByItselfGoesBehindTheOthersAndIsNeverDropped) {
  using Clock = WaitingSaves::Clock;
  WaitingSaves w;
  const auto t0 = Clock::now();
  for (const char* s : {"a", "b", "c"}) EXPECT_TRUE(w.Add(E(s)));
  EXPECT_FALSE(w.Add(E("b")));  // once
  auto first = w.Take(t0);
  ASSERT_TRUE(first);
  EXPECT_EQ(first->save, "a");
  EXPECT_FALSE(w.Add(E("a")));  // being sent
  w.Later(*first, t0 + std::chrono::seconds(10));
  EXPECT_EQ(w.Take(t0)->save, "b");
  w.Done(E("b"));
  EXPECT_EQ(w.Take(t0)->save, "c");
  w.Done(E("c"));
  std::optional<Clock::time_point> wake;
  EXPECT_FALSE(w.Take(t0, &wake));
  ASSERT_TRUE(wake);
  EXPECT_EQ(*wake, t0 + std::chrono::seconds(10));
  // The stop's toforward keeps it.
  EXPECT_EQ(w.Snapshot(), std::vector<QueueEntry>{E("a")});
  EXPECT_EQ(w.Take(*wake)->save, "a");
  EXPECT_FALSE(w.Empty());
  w.Done(E("a"));
  EXPECT_TRUE(w.Empty());
}

TEST(FailureRateLimit, AFloodFromOneAddressIsSummedUp) {
  std::vector<std::string> entries;
  EventSink previous = SetEventSink([&](EventType, std::string_view, std::string_view m) { entries.emplace_back(m); });
  FailureRateLimit limit("failed handshakes", 2);
  const auto t0 = FailureRateLimit::Clock::now();
  EXPECT_TRUE(limit.Note("192.0.2.1", t0));
  EXPECT_TRUE(limit.Note("192.0.2.1", t0));
  for (int i = 0; i < 50; ++i) EXPECT_FALSE(limit.Note("192.0.2.1", t0 + std::chrono::seconds(1)));
  EXPECT_TRUE(limit.Note("192.0.2.2", t0 + std::chrono::seconds(2)));
  EXPECT_TRUE(entries.empty());
  EXPECT_TRUE(limit.Note("192.0.2.1", t0 + std::chrono::seconds(61)));
  EXPECT_EQ(entries, std::vector<std::string>{"52 failed handshakes from 192.0.2.1 in the last minute"});
  SetEventSink(previous);
}

}  // namespace
}  // namespace tarnwick
