// Who may take a place among the inbound streams, and in which order the
// transmitter takes saves: the rules alone, without sockets or threads.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "forwarding/waiting_saves.h"
#include "reception/stream_slots.h"

namespace tarnwick {
namespace {

using Verdict = StreamSlots::Verdict;
using Sockets = std::vector<platform::NativeSocket>;
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
  slots.CutAll(std::chrono::milliseconds(1));
  EXPECT_TRUE(slots.Cut() && !slots.Accept(30) && slots.WaitCut(std::chrono::hours(1)));
  for (platform::NativeSocket s : {1, 11, 12, 13, 21, 22, 23, 24})
    EXPECT_NE(std::find(shut.begin(), shut.end(), s), shut.end()) << s << " was not shut down";
}

TEST(StreamSlots, OnePlaceStillServesAndAHandshakeDroppedForANewcomerCannotStream) {
  StreamSlots one(1, [](platform::NativeSocket) {});
  const auto silent = one.Accept(1), next = one.Accept(2);
  EXPECT_TRUE(one.Evicted(*silent));
  EXPECT_EQ(one.Begin(*silent, true), Verdict::Full);
  EXPECT_EQ(one.Begin(*next, false), Verdict::Stream) << "without a certificate, half of one place is one";
  StreamSlots none(0, [](platform::NativeSocket) {});
  EXPECT_EQ(none.Begin(*none.Accept(1), true), Verdict::Stream) << "a limit of 0 still serves one";
}

QueueEntry E(const char* save) { return {"proj", save}; }

TEST(WaitingSaves, ASaveThatFailsByItselfGoesBehindTheOthersAndIsNeverDropped) {
  using Clock = WaitingSaves::Clock;
  WaitingSaves w;
  const auto t0 = Clock::time_point() + std::chrono::hours(1);
  for (const char* s : {"a", "b", "c"}) EXPECT_TRUE(w.Add(E(s)));
  EXPECT_FALSE(w.Add(E("b"))) << "waiting already";
  const auto first = w.Take(t0);
  ASSERT_EQ(first, E("a"));
  EXPECT_FALSE(w.Add(E("a"))) << "being sent";
  w.Later(*first, t0 + std::chrono::seconds(10));
  EXPECT_FALSE(w.Add(E("a"))) << "waiting for its retry";
  EXPECT_EQ(w.Take(t0), E("b"));
  EXPECT_EQ(w.Snapshot(), (std::vector{E("b"), E("c"), E("a")})) << "the current save first";
  w.Done(E("b"));
  EXPECT_EQ(w.Take(t0), E("c"));
  w.Done(E("c"));
  std::optional<Clock::time_point> wake;
  EXPECT_FALSE(w.Take(t0, &wake));
  EXPECT_EQ(wake, t0 + std::chrono::seconds(10));
  EXPECT_EQ(w.Snapshot(), std::vector{E("a")}) << "a stop's toforward keeps it";
  EXPECT_EQ(w.Take(*wake), E("a"));
  w.Done(E("a"));
  EXPECT_TRUE(w.Empty());
  EXPECT_FALSE(w.Take(t0 + std::chrono::hours(1), &wake));
  EXPECT_FALSE(wake) << "nothing to wake for";
  EXPECT_TRUE(w.Add(E("a"))) << "done with: may come again";
}

}  // namespace
}  // namespace tarnwick
