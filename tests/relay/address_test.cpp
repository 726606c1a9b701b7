// Relays on IPv6 and on a chosen address: chains over ::1 in both modes,
// peers named by their IPv6 address, and a Listen address that keeps every
// other address out.
#include "relay/local_relay.h"

namespace tw {
namespace {

using AddressTest = RelayTest;

TEST_F(AddressTest, ChainsOverIPv6AndAListenAddressKeepsOtherAddressesOut) {
  if (!HasIPv6Loopback()) GTEST_SKIP() << "no IPv6 on the loopback: ::1 cannot be bound";
  const Id mallory = MakeId(dir, "mallory");
  for (const bool next_dials : {false, true}) {
    SCOPED_TRACE(next_dials ? "the next relay dials ::1" : "this relay dials ::1");
    const fs::path base = dir / (next_dials ? "listen" : "dial");
    LocalRelay a(base, "relay-a"), b(base, "relay-b");
    a.clients = {&sender};
    Link(a, b, next_dials);
    if (next_dials) {
      a.s.forward_listen = "::1";  // a's inbound and closure ports stay on every address
      b.s.host = "::1";
    } else {
      a.s.forward_host = "::1";
      a.s.listen = "127.0.0.1";
    }
    b.Start();
    a.Start();
    const std::string bytes = Random(5000, 3);
    ASSERT_EQ(SendStream(a.Port(), a.id, &sender, H("r 5000 s 0") + bytes), End::Notify);
    EXPECT_TRUE(WaitFor([&] { return Read(b.Save("r", "s")) == bytes; }));
    if (!next_dials) {
      EXPECT_EQ(Client("::1", a.Port(), a.id, &sender).ssl_, nullptr) << "Listen=127.0.0.1 took a connection on ::1";
      // b listens on every address: an IPv6 peer is named as such.
      Client("::1", b.Port(), b.id, &mallory).Finish();
      EXPECT_TRUE(b.events.Wait("SSL_accept failed from ::1 (certificate CN=mallory)")) << b.events.All();
    }
    b.Stop();
    a.Stop();
    EXPECT_EQ(b.events.All().find("closure dial"), std::string::npos) << b.events.All();
  }
}

}  // namespace
}  // namespace tw
