// What a relay's inbound side does with the connections it takes: which it
// confirms, which it refuses or cuts, and when.
#include "relay/local_relay.h"

namespace tw {
namespace {

using Clock = std::chrono::steady_clock;
using InboundTest = RelayTest;

TEST_F(InboundTest, OnlyAStoredStreamIsConfirmedAndAStopLetsTheRunningOnesEnd) {
  const Id expired = MakeId(dir, "expired", -3600);
  LocalRelay a(dir, "relay-a");
  a.clients = {&sender, &expired};
  a.s.header_timeout_s = 1;
  Write(a.Save("r", "done"), "hello");
  a.Start();
  const struct {
    const char* label;
    const Id* me;
    std::string bytes, answer;
  } refused[] = {
      {"conflict", &sender, H("r 3 done 2") + "lLo", "conflict"},
      {"gap", &sender, H("r 2 new 5") + "!!", "have 0"},
      {"bad name", &sender, H("r 1 CON.txt") + "x", "refused name: \"CON.txt\" cannot be a save name"},
      {"named stream without a certificate", nullptr, H("r 3 anon 0") + "abc",
       "refused certificate: only a sender with a trusted certificate may add to a named save"},
      {"no NUL where the header must end", &sender, std::string(3000, 'a'),
       "refused name: the header has no NUL in its first 2048 bytes"},
      {"expired certificate, named save", &expired, H("r 3 old 0") + "abc", ""},
      {"expired certificate, dated save", &expired, H("r") + "abc", ""},
  };
  for (const auto& c : refused) {
    SCOPED_TRACE(c.label);
    Client client(a.Port(), a.id, c.me);
    client.Send(c.bytes);  // may fail already when the handshake was refused
    EXPECT_EQ(UpToNul(client.ssl_), c.answer);
    EXPECT_NE(client.Finish(), End::Notify);
  }
  // Never idle, but the whole header would take 3 s.
  Client slow(a.Port(), a.id, &sender);
  for (char c : H("a-repository-name 3 slow-save 0") + "abc") {
    if (!slow.Send(std::string(1, c))) break;
    std::this_thread::sleep_for(ms(100));
  }
  EXPECT_TRUE(a.events.Wait("(HeaderTimeout) and is cut"));
  EXPECT_NE(slow.Finish(), End::Notify);
  EXPECT_EQ(Files(a.root / "saves"), std::vector<std::string>{"r/done"});
  EXPECT_EQ(Read(a.Save("r", "done")), "hello");
  // A re-delivery after a lost confirmation is confirmed again.
  EXPECT_EQ(SendStream(a.Port(), a.id, &sender, H("r 3 done 2") + "llo"), End::Notify);

  // A stop lets a running stream end, then cuts the stalled one.
  Client finishing(a.Port(), a.id, &sender), stalled(a.Port(), a.id, &sender);
  ASSERT_TRUE(finishing.Send(H("r 6 fin 0") + "abc"));
  ASSERT_TRUE(stalled.Send(H("r 6 stall 0") + "abc"));
  ASSERT_TRUE(WaitFor([&] { return SizeOf(a.Save("r", "fin")) == 3 && SizeOf(a.Save("r", "stall")) == 3; }));

  const auto began = Clock::now();
  std::thread stop([&] { a.Stop(); });
  // The stop is under way once no new connection gets through.
  EXPECT_TRUE(WaitFor([&] { return Client(a.Port(), a.id, &sender).ssl_ == nullptr; }));
  EXPECT_TRUE(finishing.Send("def"));
  EXPECT_EQ(finishing.Finish(), End::Notify);
  stop.join();
  EXPECT_LT(Clock::now() - began, std::chrono::seconds(10));
  EXPECT_EQ(Read(a.Save("r", "fin")), "abcdef");
  EXPECT_FALSE(Exists(a.Marker("r", "fin")));
  EXPECT_NE(stalled.Finish(), End::Notify);
  EXPECT_EQ(Read(a.Marker("r", "stall")), "3");
}

// Clients without a certificate hold at most half the places, and one that
// has stored nothing yet makes way for a certified sender; its save stays
// pending and empty, never a complete empty save.
TEST_F(InboundTest, AnonymousClientsHoldHalfThePlacesAndMakeWay) {
  LocalRelay a(dir, "relay-a");
  a.clients = {&sender};
  a.s.max_streams = 2;
  a.Start();
  const std::string date = Date();
  Client anonymous(a.Port(), a.id, nullptr);
  ASSERT_TRUE(anonymous.Send(H("anon")));
  ASSERT_TRUE(WaitFor([&] { return Exists(a.Marker("anon", date)); }));

  Client second(a.Port(), a.id, nullptr);
  second.Send(H("anon2") + "x");
  EXPECT_NE(second.Finish(), End::Notify);
  EXPECT_TRUE(a.events.Wait("without a certificate is refused"));

  Client first(a.Port(), a.id, &sender);
  ASSERT_TRUE(first.Send(H("r 6 one 0") + "abc"));
  ASSERT_TRUE(WaitFor([&] { return SizeOf(a.Save("r", "one")) == 3; }));
  EXPECT_EQ(SendStream(a.Port(), a.id, &sender, H("r 3 two 0") + "xyz"), End::Notify);
  EXPECT_TRUE(first.Send("def"));
  EXPECT_EQ(first.Finish(), End::Notify);
  EXPECT_EQ(Read(a.Save("r", "one")), "abcdef");

  EXPECT_TRUE(a.events.Wait("makes way for"));
  EXPECT_NE(anonymous.Finish(), End::Notify);
  // Its session has ended once an entry names its save.
  ASSERT_TRUE(a.events.Wait("saves/anon/" + date + " "));
  EXPECT_TRUE(Exists(a.Marker("anon", date)));
  EXPECT_EQ(SizeOf(a.Save("anon", date)), 0);
  EXPECT_FALSE(Exists(a.root / "saves" / "anon2"));
}

// A refused client's entry names the certificate it presented: one nobody
// trusts, and a trusted one without the PeerCN.
TEST_F(InboundTest, ARefusedClientIsNamedByItsCertificate) {
  const Id mallory = MakeId(dir, "mallory"), other = MakeId(dir, "other");
  LocalRelay a(dir, "relay-a");
  a.clients = {&sender, &other};
  a.s.peer_cn = "sender";
  a.Start();
  const struct { const Id* me; std::string entry; } cases[] = {
      {&mallory, "SSL_accept failed from 127.0.0.1 (certificate CN=mallory): certificate verify failed"},
      {&other, "SSL_accept failed from 127.0.0.1 (certificate CN=other, which does not carry the name sender): "
               "certificate verify failed"},
  };
  for (const auto& c : cases) {
    Client client(a.Port(), a.id, c.me);
    client.Send(H("r") + "x");  // may fail already: TLS 1.3 refuses after the client's handshake
    EXPECT_NE(client.Finish(), End::Notify);
    EXPECT_TRUE(a.events.Wait(c.entry)) << a.events.All();
  }
  EXPECT_EQ(SendStream(a.Port(), a.id, &sender, H("r") + "x"), End::Notify) << a.events.All();
}

// Refused for a full disk or for want of a place, a stream is told why, and
// the answer survives the megabytes still on the way (no reset over them).
TEST_F(InboundTest, ARefusedStreamIsToldWhyBeforeTheCut) {
  LocalRelay a(dir, "relay-a");
  a.clients = {&sender};
  a.s.max_streams = 1;
  a.hook = [](const std::string& op, const fs::path& p) { return op == "write" && p.filename() == "full" ? ENOSPC : 0; };
  a.Start();
  const std::string bulk = Random(4 << 20, 3);
  Client full(a.Port(), a.id, &sender);
  EXPECT_TRUE(full.Send(H("r " + std::to_string(bulk.size()) + " full 0") + bulk));
  EXPECT_TRUE(UpToNul(full.ssl_).starts_with("refused full: the relay's disk is full ("));
  EXPECT_NE(full.Finish(), End::Notify);

  Client holder(a.Port(), a.id, &sender);
  ASSERT_TRUE(holder.Send(H("r 6 held 0") + "abc") && WaitFor([&] { return SizeOf(a.Save("r", "held")) == 3; }));
  Client busy(a.Port(), a.id, &sender);
  EXPECT_TRUE(busy.Send(H("r " + std::to_string(bulk.size()) + " busy 0") + bulk));
  EXPECT_EQ(UpToNul(busy.ssl_), "refused busy: 1 stream is being stored (MaxStreams)");
  EXPECT_NE(busy.Finish(), End::Notify);
}

TEST_F(InboundTest, TotalRateHoldsAllStreamsTogether) {
  LocalRelay a(dir, "relay-a");
  a.clients = {&sender};
  a.s.total_rate = 64 * 1024;
  a.Start();
  const std::string data = Random(96 * 1024, 7);
  std::atomic<int> confirmed{0};
  const auto began = Clock::now();
  std::vector<std::thread> streams;
  for (const std::string save : {"s0", "s1"})
    streams.emplace_back([&, save] {
      const std::string header = H("r " + std::to_string(data.size()) + " " + save + " 0");
      confirmed += SendStream(a.Port(), a.id, &sender, header + data) == End::Notify;
    });
  for (std::thread& t : streams) t.join();
  // 192 KiB at 64 KiB/s from an empty bucket take 3 s; each stream alone
  // is unlimited.
  EXPECT_GE(Clock::now() - began, ms(2500));
  EXPECT_EQ(confirmed, 2);
  EXPECT_TRUE(Read(a.Save("r", "s0")) == data);
  EXPECT_TRUE(Read(a.Save("r", "s1")) == data);
}

}  // namespace
}  // namespace tw
