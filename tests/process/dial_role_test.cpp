// The dial role: the relay connects out to a sender and fetches what it
// serves, retries quietly while the sender is away, and on stop dials the
// sender's closure port.
#include <gtest/gtest.h>

#include "support/relay_fixture.h"
#include "support/test_sender.h"

namespace tarnwick::test {
namespace {

using std::chrono::duration_cast;

class DialRoleTest : public RelayTest {
 protected:
  RelayConfig DialConfig(std::uint16_t port, std::uint16_t closure_port, int delay_ms) {
    RelayConfig cfg;
    cfg.host = "127.0.0.1";
    cfg.port = port;
    cfg.closure_port = closure_port;
    cfg.delay_before_retry_ms = delay_ms;
    return cfg;
  }
};

TEST_F(DialRoleTest, FetchesStreamsAndRedialsAtOnceAfterAnEmptyOne) {
  TestSender sender(sender_id_, relay_id_.cert_path);
  const std::string data = RandomBytes(30000, 20);
  sender.Enqueue("");  // ends right after the handshake
  sender.Enqueue(Header("projD 30000 d.bak") + data);
  ASSERT_TRUE(sender.Start());
  ASSERT_TRUE(sender.StartClosureListener());

  // A long retry delay: a redial that waited for it would be obvious.
  Relay& relay = MakeRelay(DialConfig(sender.port(), sender.closure_port(), 6000));
  ASSERT_TRUE(relay.Start()) << relay.Stderr();
  ASSERT_TRUE(sender.WaitServed(2, kDefaultWait)) << relay.Stderr();

  const auto conns = sender.connections();
  ASSERT_GE(conns.size(), 2u);
  for (std::size_t i = 0; i < 2; ++i) {
    SCOPED_TRACE(i);
    EXPECT_TRUE(conns[i].handshake_ok) << conns[i].error;
    EXPECT_TRUE(conns[i].peer_presented_cert) << "the relay dialled without its certificate";
  }
  EXPECT_EQ(conns[1].relay_end, PeerEnd::CloseNotify) << conns[1].error;
  const auto gap = duration_cast<milliseconds>(conns[1].accepted_at - conns[0].accepted_at);
  EXPECT_LT(gap.count(), 3000) << "the relay waited before redialling after an empty stream";

  EXPECT_TRUE(HoldsBytes(Saves() / "projD" / "d.bak", data));
  EXPECT_FALSE(Exists(Saves() / "projD" / "d.bak_pending"));

  // Stop while connected to a sender with nothing more to send: the stop's
  // closure connection makes the sender let go of it.
  ASSERT_TRUE(WaitUntil([&] { return sender.held_count() >= 1; })) << relay.Stderr();
  const std::size_t mark = relay.Mark();
  const auto st = relay.Stop();
  ASSERT_TRUE(st.has_value()) << "relay did not exit after SIGTERM; closure connections: "
                              << sender.closure_arrivals()
                              << ", stream connections: " << sender.connection_count() << "\n"
                              << relay.Stderr();
  EXPECT_TRUE(st->Clean()) << *st;
  EXPECT_GE(sender.closure_count(), 1);
  EXPECT_TRUE(relay.WaitForLine(kStopPending, mark, milliseconds(0)));
  EXPECT_TRUE(relay.WaitForLine(kStopped, mark, milliseconds(0)));
}

TEST_F(DialRoleTest, RetriesQuietlyUntilTheSenderAppears) {
  const std::uint16_t port = FreePort();
  const std::uint16_t closure_port = FreePort();
  Relay& relay = MakeRelay(DialConfig(port, closure_port, 200));
  ASSERT_TRUE(relay.Start()) << relay.Stderr();
  const std::size_t mark = relay.Mark();

  // Several retry periods with nobody listening: no entry may appear.
  const bool entry_appeared =
      WaitUntil([&] { return !relay.Entries(mark).empty(); }, milliseconds(1500));
  EXPECT_FALSE(entry_appeared) << relay.Stderr().substr(mark);
  ASSERT_TRUE(relay.process().Running()) << relay.Stderr();

  TestSender sender(sender_id_, relay_id_.cert_path);
  sender.Enqueue(Header("projE 10 e.bak") + "0123456789");
  ASSERT_TRUE(sender.Start(port)) << "port " << port << " was taken meanwhile";
  ASSERT_TRUE(sender.StartClosureListener(closure_port));
  ASSERT_TRUE(sender.WaitServed(1, kDefaultWait)) << relay.Stderr();
  EXPECT_EQ(sender.connections()[0].relay_end, PeerEnd::CloseNotify);
  EXPECT_EQ(Contents(Saves() / "projE" / "e.bak"), "0123456789");

  const auto st = relay.Stop();
  ASSERT_TRUE(st.has_value()) << relay.Stderr();
  EXPECT_TRUE(st->Clean()) << *st;
}

TEST_F(DialRoleTest, StopWhileRetryingDialsTheClosurePort) {
  // The sender refuses the stream port but listens for closures.
  TestSender sender(sender_id_, relay_id_.cert_path);
  ASSERT_TRUE(sender.StartClosureListener());
  Relay& relay = MakeRelay(DialConfig(FreePort(), sender.closure_port(), 300));
  ASSERT_TRUE(relay.Start()) << relay.Stderr();

  const std::size_t mark = relay.Mark();
  const auto st = relay.Stop();
  ASSERT_TRUE(st.has_value()) << "relay did not exit after SIGTERM\n" << relay.Stderr();
  EXPECT_TRUE(st->Clean()) << *st;
  EXPECT_TRUE(WaitUntil([&] { return sender.closure_count() >= 1; }))
      << "closure connections arrived: " << sender.closure_arrivals()
      << ", completed handshakes: " << sender.closure_count();
  const std::string after = relay.Stderr().substr(mark);
  const auto pending = after.find(kStopPending), stopped = after.find(kStopped);
  EXPECT_NE(pending, std::string::npos) << after;
  EXPECT_NE(stopped, std::string::npos) << after;
  EXPECT_LT(pending, stopped) << after;
  EXPECT_EQ(after.find(kErrorEntry), std::string::npos) << "a closure that worked is no error\n"
                                                        << after;
}

TEST_F(DialRoleTest, StopWithoutClosureListenerReportsAndStillExits) {
  Relay& relay = MakeRelay(DialConfig(FreePort(), FreePort(), 300));
  ASSERT_TRUE(relay.Start()) << relay.Stderr();

  const std::size_t mark = relay.Mark();
  const auto st = relay.Stop();
  ASSERT_TRUE(st.has_value()) << "relay did not exit after SIGTERM\n" << relay.Stderr();
  EXPECT_TRUE(st->Clean()) << *st;
  const std::string after = relay.Stderr().substr(mark);
  EXPECT_NE(after.find(kErrorEntry), std::string::npos) << after;
  EXPECT_NE(after.find(kStopped), std::string::npos) << after;
  EXPECT_EQ(Tree(backup_), std::vector<std::string>{});
}

}  // namespace
}  // namespace tarnwick::test
