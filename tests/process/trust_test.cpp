// Who may touch a save on each port, and clients that try to hold the relay:
// silent, trickling, or racing each other for one name.
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

#include "support/harness.h"

namespace tw {
namespace {

struct Trust : Net {
  void SetUp() override {
    Net::SetUp();
    // Trusted and carrying the right name, but out of date. A subject of its
    // own keeps the trusted file free of two certificates of one name.
    expired_ = MakeId(dir_, "stale.test", -24 * 3600, client_.name);
  }
  // Every kind of client, the right one last. nullptr: no certificate.
  std::vector<std::pair<std::string, const Id*>> Kinds() {
    return {{"none", nullptr}, {"untrusted", &rogue_}, {"misnamed", &misnamed_}, {"expired", &expired_},
            {"right", &client_}};
  }
  Id expired_;
};

const std::string kRefusedHandshake = kErr + "SSL_accept failed from 127.0.0.1";

// A TCP connection that never speaks TLS; -1 when nothing listens.
int Silent(std::uint16_t port) {
  const int fd = Timed(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  const sockaddr_in a = Loopback(port);
  if (connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0) return fd;
  close(fd);
  return -1;
}

TEST_F(Trust, ListenPortTakesDatedStreamsFromTheTrustedAndNamedOnesOnlyFromTheRightCertificate) {
  Relay &open = NewRelay("open"), &strict = NewRelay("strict");
  strict.connection["RequireClientCert"] = "1";
  for (Relay* r : {&open, &strict}) {
    r->clients = {&client_, &misnamed_, &expired_};
    r->WriteFiles();
    // Refused streams aim at a pending save: nothing of it may change.
    Write(r->Save("named", "held.bak"), "abc");
    Write(r->Save("named", "held.bak_pending"), "7");
    ASSERT_TRUE(r->Start()) << r->Err();
  }
  const std::string uncertified = kErr + "the stream from 127.0.0.1 for saves/named/held.bak is refused: "
                                         "only a sender with a trusted certificate may add to a named save";
  for (Relay* r : {&open, &strict}) {
    for (const auto& [who, id] : Kinds()) {
      for (const bool named : {false, true}) {
        SCOPED_TRACE((r == &strict ? "strict, " : "open, ") + who + (named ? ", named" : ", dated"));
        const bool allowed = id == &client_ || (!id && !named && r == &open);
        const auto before = Files(r->root / "saves");
        const std::size_t m = r->proc->Mark();
        const std::string data = named ? "defghij" : who + "'s dated save";
        Client c(r->port, r->id, id);
        const std::string header = named ? H("named 7 held.bak") : H("dated");
        const End end = c.Send(header + data) ? c.Finish(How::Notify) : End::Error;
        if (!allowed) {
          EXPECT_EQ(end, End::Error) << "a refused stream must not look confirmed";
          EXPECT_TRUE(r->Line(id || r == &strict ? kRefusedHandshake : uncertified, m)) << r->Err().substr(m);
          EXPECT_EQ(Files(r->root / "saves"), before);
          EXPECT_EQ(Read(r->Save("named", "held.bak")), "abc");
          EXPECT_EQ(Read(r->Save("named", "held.bak_pending")), "7");
          continue;
        }
        EXPECT_EQ(end, End::Notify) << r->Err().substr(m);
        // Sessions are never resumed, so none is offered.
        EXPECT_FALSE(c.ssl_ && SSL_SESSION_has_ticket(SSL_get0_session(c.ssl_)));
        if (named) {
          EXPECT_EQ(Read(r->Save("named", "held.bak")), "abc" + data);
          EXPECT_FALSE(Exists(r->Save("named", "held.bak_pending")));
          continue;
        }
        auto added = Files(r->root / "saves");
        std::erase_if(added, [&](const std::string& f) { return std::count(before.begin(), before.end(), f) > 0; });
        ASSERT_EQ(added.size(), 1u) << ::testing::PrintToString(added);
        EXPECT_EQ(added[0].rfind("dated/", 0), 0u) << added[0];
        EXPECT_EQ(Read(r->root / "saves" / added[0]), data);
      }
    }
    EXPECT_TRUE(r->proc->Running()) << r->Err();
  }
}

// The test itself is the next relay: it dials a's forward port as client.test.
TEST_F(Trust, ForwardAndClosureListenersServeOnlyTheNextRelay) {
  Relay& a = NewRelay("a");
  a.fwd_cn = client_.name, a.forward = {&client_, &misnamed_, &expired_};
  a.throttle = true, a.rate = "512KB";  // a transmission that lasts long enough to interrupt
  a.WriteFiles();
  const std::string data = Random(8 << 20, 70);
  Write(a.Save("proj", "big.bak"), data);
  Write(a.Progress("proj", "big.bak"), "0");
  ASSERT_TRUE(a.Start()) << a.Err();
  // The forward listener opens once recovery hands the save off, after
  // RUNNING; the probe's own refusal is waited for so that it is not counted.
  int probe = -1;
  ASSERT_TRUE(WaitFor([&] { return (probe = Silent(a.fwd_port)) >= 0; })) << a.Err();
  close(probe);
  ASSERT_TRUE(a.Line(kRefusedHandshake)) << a.Err();

  auto refused = Kinds();
  refused.pop_back();
  for (const auto& [who, id] : refused) {
    SCOPED_TRACE("fetch, " + who);
    const std::size_t m = a.proc->Mark();
    Client c(a.fwd_port, a.id, id);
    ASSERT_NE(c.ssl_, nullptr) << "with TLS 1.3 the client's side of the handshake completes";
    EXPECT_EQ(c.Answer(), "") << "a refused client was sent the save";
    EXPECT_TRUE(a.Line(kRefusedHandshake, m)) << a.Err().substr(m);
    EXPECT_EQ(Read(a.Progress("proj", "big.bak")), "0");
  }

  Client fetch(a.fwd_port, a.id, &client_);
  ASSERT_EQ(fetch.Answer(), "proj " + std::to_string(data.size()) + " big.bak 0") << a.Err();
  EXPECT_FALSE(SSL_SESSION_has_ticket(SSL_get0_session(fetch.ssl_)));
  std::atomic<long long> got{0};
  std::atomic<bool> over{false};
  std::thread reader([&] { AwaitEnd(fetch.ssl_, &got), over = true; });
  for (const auto& [who, id] : refused) {
    SCOPED_TRACE("closure, " + who);
    const std::size_t m = a.proc->Mark();
    {
      Client k(a.closure_port, a.id, id);
      EXPECT_NE(k.Finish(How::Notify), End::Notify);
    }
    ASSERT_TRUE(a.Line(kRefusedHandshake, m)) << a.Err().substr(m);
    // A closure ends the transmission after the piece being written (16 KiB):
    // 128 KiB more mean it goes on.
    const long long at = got;
    EXPECT_TRUE(WaitFor([&] { return got >= at + 128 * 1024 || over; }) && !over) << "the transmission ended";
  }
  {
    Client k(a.closure_port, a.id, &client_);
    EXPECT_EQ(k.Finish(How::Notify), End::Notify);
  }
  const bool cut = WaitFor([&] { return over.load(); });
  if (!cut) shutdown(fetch.fd_, SHUT_RDWR);
  reader.join();
  EXPECT_TRUE(cut) << "the closure did not interrupt the transmission";
  EXPECT_LT(got, static_cast<long long>(data.size()));
  // Interrupted, not lost: the record keeps where to resume.
  EXPECT_TRUE(WaitFor([&] { return std::atoll(Read(a.Progress("proj", "big.bak")).c_str()) > 0; }))
      << Read(a.Progress("proj", "big.bak"));
  EXPECT_TRUE(a.proc->Running()) << a.Err();
  EXPECT_EQ(a.Stop(), 0) << a.Err();
}

TEST_F(Trust, TricklingAndIdleClientsNeitherKeepASenderOutNorHoldTheStop) {
  Relay& r = NewRelay("r");
  r.connection["MaxStreams"] = "24";  // fewer places than clients: the idle ones must make way
  r.WriteFiles();
  ASSERT_TRUE(r.Start()) << r.Err();
  constexpr int kTricklers = 20, kIdle = 20;
  auto save = [&](int i) { return r.Save("projT", "t" + std::to_string(i) + ".bak"); };
  std::vector<std::unique_ptr<Client>> tricklers;
  for (int i = 0; i < kTricklers; ++i) {
    tricklers.push_back(std::make_unique<Client>(r.port, r.id, &client_));
    ASSERT_TRUE(tricklers.back()->Send(H("projT 1000 t" + std::to_string(i) + ".bak") + "x"));
  }
  // And an originating machine on a slow link: its dated save must not pass
  // for complete when the stop cuts it.
  tricklers.push_back(std::make_unique<Client>(r.port, r.id, nullptr));
  ASSERT_TRUE(tricklers.back()->Send(H("projO") + "x"));
  const fs::path dated = r.root / "saves" / "projO";
  // Streaming, no longer in their handshakes: not the ones to make way.
  ASSERT_TRUE(WaitFor([&] {
    for (int i = 0; i < kTricklers; ++i)
      if (!Exists(save(i))) return false;
    return Files(dated).size() == 2;
  })) << r.Err();
  std::vector<int> idle;
  for (int i = 0; i < kIdle; ++i) idle.push_back(Silent(r.port));
  std::atomic<bool> done{false};
  std::thread trickle([&] {
    while (!done) {
      for (auto& c : tricklers) c->Send("x");
      WaitFor([&] { return done.load(); }, ms(2000));
    }
  });

  const std::string data = Random(1 << 20, 80);
  Write(dir_ / "in", data);
  auto args = SendArgs(r, "projS", dir_ / "in");
  args.erase(args.begin() + 12, args.begin() + 16);  // an originating machine: no certificate
  std::string err;
  EXPECT_EQ(Send(args, &err), 0) << err << r.Err();
  const auto sent = Files(r.root / "saves" / "projS");
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_TRUE(Read(r.root / "saves" / "projS" / sent[0]) == data);
  // Every trickler is still being stored, byte by byte.
  EXPECT_TRUE(WaitFor([&] {
    for (int i = 0; i < kTricklers; ++i)
      if (SizeOf(save(i)) < 2) return false;
    return true;
  })) << r.Err();

  const std::size_t m = r.proc->Mark();
  r.proc->Kill(SIGTERM);
  EXPECT_EQ(r.proc->Wait(ms(15000)), 0) << "the stalled clients held the stop\n" << r.Err().substr(m);
  done = true;
  trickle.join();
  EXPECT_NE(r.Err().find(kStopped, m), std::string::npos);
  for (int i = 0; i < kTricklers; ++i) {
    SCOPED_TRACE(i);
    const long long size = SizeOf(save(i));
    EXPECT_GE(size, 2);
    EXPECT_EQ(Read(r.Save("projT", "t" + std::to_string(i) + ".bak_pending")), std::to_string(1000 - size));
  }
  const auto left = Files(dated);
  EXPECT_TRUE(left.size() == 2 && left[1] == left[0] + "_pending") << ::testing::PrintToString(left);
  for (auto& c : tricklers) EXPECT_NE(c->Finish(How::Notify), End::Notify);
  for (int fd : idle) close(fd);
}

// Clients without a certificate hold at most half of the places, give way
// to a sender with one, and get HeaderTimeout for the whole header however
// they pace its bytes.
TEST_F(Trust, AnonymousClientsHoldHalfThePlacesAndAHeaderHasADeadline) {
  Relay& r = NewRelay("r");
  r.connection["MaxStreams"] = "2";
  r.connection["HeaderTimeout"] = "3";
  r.WriteFiles();
  ASSERT_TRUE(r.Start()) << r.Err();
  Client a1(r.port, r.id, nullptr);
  ASSERT_TRUE(a1.Send("pro"));  // a header that never ends
  std::this_thread::sleep_for(ms(300));  // past its handshake: it holds a place
  std::size_t m = r.proc->Mark();
  {
    Client a2(r.port, r.id, nullptr);
    a2.Send(H("projX") + "data");
    EXPECT_NE(a2.Finish(How::Notify), End::Notify);
  }
  EXPECT_TRUE(r.Line(kInfo + "a connection from 127.0.0.1 without a certificate is refused: clients without one "
                             "hold half of the 2 places (MaxStreams) already", m)) << r.Err().substr(m);
  Client t1(r.port, r.id, &client_);
  ASSERT_TRUE(t1.Send(H("projT 6 t1.bak") + "abc"));
  ASSERT_TRUE(WaitFor([&] { return SizeOf(r.Save("projT", "t1.bak")) == 3; })) << r.Err();
  // Every place is taken: the anonymous client that stored nothing makes way.
  EXPECT_EQ(SendStream(r.port, r.id, &client_, H("projT 3 t2.bak") + "xyz"), End::Notify) << r.Err();
  EXPECT_NE(a1.Finish(How::Notify), End::Notify);
  ASSERT_TRUE(t1.Send("def"));
  EXPECT_EQ(t1.Finish(How::Notify), End::Notify);
  EXPECT_EQ(Read(r.Save("projT", "t1.bak")), "abcdef");

  // A byte a second keeps a stream from being idle, not its header from
  // its deadline.
  m = r.proc->Mark();
  Client slow(r.port, r.id, nullptr);
  const auto t0 = std::chrono::steady_clock::now();
  bool cut = false;
  for (int i = 0; i < 10 && !cut; ++i) {
    cut = !slow.Send("x");
    std::this_thread::sleep_for(ms(700));
    cut = cut || r.Err().find("HeaderTimeout", m) != std::string::npos;
  }
  EXPECT_TRUE(r.Line(kErr + "the stream from 127.0.0.1 did not send its whole header within 3 s (HeaderTimeout) "
                            "and is cut", m)) << r.Err().substr(m);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, ms(6000));
  EXPECT_NE(slow.Finish(How::Notify), End::Notify);
  EXPECT_EQ(Files(r.root / "saves"), (std::vector<std::string>{"projT/t1.bak", "projT/t2.bak"}));
}

TEST_F(Trust, SilentClientsAreCutAndASlowButSteadyOneIsNot) {
  Relay& r = NewRelay("r");
  r.connection["IdleTimeout"] = "2";
  r.WriteFiles();
  ASSERT_TRUE(r.Start()) << r.Err();
  const int tcp_only = Silent(r.port);
  ASSERT_GE(tcp_only, 0);
  Client mute(r.port, r.id, &client_), quiet(r.port, r.id, &client_), steady(r.port, r.id, &client_);
  ASSERT_TRUE(quiet.Send(H("projI 100 quiet.bak") + "0123456789"));
  // A byte every half second: slow, far under MinRate, but never idle for 2 s.
  ASSERT_TRUE(steady.Send(H("projI 8 steady.bak")));
  for (char c : std::string("abcdefgh")) {
    std::this_thread::sleep_for(ms(500));
    ASSERT_TRUE(steady.Send(std::string(1, c)));
  }
  EXPECT_EQ(steady.Finish(How::Notify), End::Notify) << r.Err();
  EXPECT_EQ(Read(r.Save("projI", "steady.bak")), "abcdefgh");

  const std::string idle = kErr + "the stream from 127.0.0.1 sent nothing for 2 s and is cut";
  EXPECT_TRUE(WaitFor([&] {
    const std::string e = r.Err();
    return e.find(idle) != e.rfind(idle);  // the mute one and the quiet one
  })) << r.Err();
  EXPECT_NE(quiet.Finish(How::Notify), End::Notify);
  EXPECT_NE(mute.Finish(How::Notify), End::Notify);
  // The marker is rewritten after the entry.
  EXPECT_TRUE(WaitFor([&] { return Read(r.Save("projI", "quiet.bak_pending")) == "90"; }))
      << Read(r.Save("projI", "quiet.bak_pending"));
  EXPECT_EQ(Files(r.root / "saves"),
            (std::vector<std::string>{"projI/quiet.bak", "projI/quiet.bak_pending", "projI/steady.bak"}));

  // A connection that never starts its handshake is dropped after 10 s,
  // well before the socket's own time-out.
  char byte;
  errno = 0;
  const ssize_t n = recv(tcp_only, &byte, 1, 0);
  EXPECT_TRUE(n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) << n << " " << errno;
  close(tcp_only);
  EXPECT_TRUE(r.proc->Running()) << r.Err();
}

TEST_F(Trust, ConcurrentStreamsGetNamesOfTheirOwnAndNeverShareASave) {
  Relay& r = NewRelay("r");
  r.throttle = true, r.rate = "256KB";  // streams of 4 s: they overlap
  r.WriteFiles();
  ASSERT_TRUE(r.Start()) << r.Err();
  const std::string date = Date();
  constexpr int kSenders = 8;
  std::vector<std::string> inputs;
  std::vector<std::unique_ptr<Proc>> sends;
  for (int i = 0; i < kSenders; ++i) {
    inputs.push_back(Random(1 << 20, 90 + i));
    Write(dir_ / ("in" + std::to_string(i)), inputs.back());
  }
  for (int i = 0; i < kSenders; ++i)
    sends.push_back(StartSend(SendArgs(r, "projC", dir_ / ("in" + std::to_string(i)))));
  const fs::path repo = r.root / "saves" / "projC";
  // Served side by side: every save is pending at one moment.
  EXPECT_TRUE(WaitFor([&] {
    const auto f = Files(repo);
    return std::count_if(f.begin(), f.end(), [](const auto& s) { return s.ends_with("_pending"); }) == kSenders;
  })) << ::testing::PrintToString(Files(repo));
  for (auto& s : sends) EXPECT_EQ(s->Wait(ms(60000)), 0) << s->Err() << r.Err();
  if (Date() != date) GTEST_SKIP() << "the date changed during the test";
  std::vector<std::string> names = {date};
  for (int i = 1; i < kSenders; ++i) names.push_back(date + "_" + std::to_string(i));
  std::sort(names.begin(), names.end());
  ASSERT_EQ(Files(repo), names);
  std::vector<std::string> stored;
  for (const auto& n : names) stored.push_back(Read(repo / n));
  std::sort(stored.begin(), stored.end());
  std::sort(inputs.begin(), inputs.end());
  EXPECT_TRUE(stored == inputs) << "a save is not byte for byte one of the inputs";

  // A second stream for a save being stored is refused and changes nothing;
  // once the first has ended the save is free again.
  const fs::path save = r.Save("projN", "same.bak");
  const std::string part1 = Random(60, 98), part2 = Random(40, 99);
  Client first(r.port, r.id, &client_);
  ASSERT_TRUE(first.Send(H("projN 100 same.bak") + part1));
  ASSERT_TRUE(WaitFor([&] { return SizeOf(save) == 60; })) << r.Err();
  std::size_t m = r.proc->Mark();
  {
    Client second(r.port, r.id, &client_);
    EXPECT_TRUE(second.Send(H("projN 100 same.bak") + Random(100, 97)));
    EXPECT_EQ(second.Finish(How::Notify), End::Error);
  }
  EXPECT_TRUE(r.Line(kErr + "the stream from 127.0.0.1 for saves/projN/same.bak is refused: "
                            "another stream for that save is being stored", m)) << r.Err().substr(m);
  EXPECT_EQ(Read(save), part1);
  ASSERT_TRUE(first.Send(part2));
  EXPECT_EQ(first.Finish(How::Notify), End::Notify);
  EXPECT_EQ(Read(save), part1 + part2);
  EXPECT_FALSE(Exists(r.Save("projN", "same.bak_pending")));
  m = r.proc->Mark();
  EXPECT_EQ(SendStream(r.port, r.id, &client_, H("projN 40 same.bak") + part2), End::Notify);
  EXPECT_TRUE(r.Line(kInfo + "re-delivery of saves/projN/same.bak", m)) << r.Err().substr(m);
}

}  // namespace
}  // namespace tw
