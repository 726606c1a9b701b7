// Forwarding from one relay to the next: a real relay at the other end, or
// one played by the test where the next relay must misbehave.
#include <atomic>

#include "relay/local_relay.h"

namespace tw {
namespace {

using Clock = std::chrono::steady_clock;
using ForwardTest = RelayTest;

// What a sending relay wrote before its first NUL.
std::string ReadHeader(SSL* ssl) {
  std::string h;
  char c;
  while (SSL_read(ssl, &c, 1) == 1 && c != '\0') h.push_back(c);
  return h;
}

// Reads the stream to its close_notify and confirms it with ours.
void Confirm(SSL* ssl) {
  if (AwaitEnd(ssl) == End::Notify) SSL_shutdown(ssl);
}

// The headers a played next relay was sent, in order.
struct Headers {
  std::mutex m;
  std::vector<std::string> seen;
  void Add(const std::string& h) { std::lock_guard l(m); seen.push_back(h); }
  std::vector<std::string> Get() { std::lock_guard l(m); return seen; }
};

// Waits for p to go.
bool Gone(const fs::path& p) { return WaitFor([&] { return !Exists(p); }); }

TEST_F(ForwardTest, ChainsInBothModes) {
  for (const bool next_dials : {false, true}) {
    SCOPED_TRACE(next_dials ? "the next relay dials" : "this relay dials");
    const fs::path base = dir / (next_dials ? "listen" : "dial");
    LocalRelay a(base, "relay-a"), b(base, "relay-b");
    a.clients = {&sender};
    Link(a, b, next_dials);
    b.Start();
    a.Start();
    const std::string one = Random(300000, 1), two = Random(1000, 2);
    ASSERT_EQ(SendStream(a.Port(), a.id, &sender, H("r") + one), End::Notify);
    ASSERT_EQ(SendStream(a.Port(), a.id, &sender, H("r 1000 two 0") + two), End::Notify);
    EXPECT_TRUE(WaitFor([&] { return Read(b.Save("r", Date())) == one && Read(b.Save("r", "two")) == two; }));
    EXPECT_TRUE(Gone(a.Record("r", "two")));
    EXPECT_TRUE(Gone(a.Record("r", Date())));
    EXPECT_EQ(Files(b.root / "saves"), (std::vector<std::string>{"r/" + Date(), "r/two"}));
  }
}

// The record holds where to resume; a next relay that holds fewer bytes
// answers "have <H>" and gets the rest from H.
TEST_F(ForwardTest, ResumesAtTheRecordedOffsetThenWhereTheNextRelayStands) {
  const Id next = MakeId(dir, "next");
  LocalRelay a(dir, "relay-a");
  Headers headers;
  Server peer(next, a.id, [&](SSL* ssl, int) {
    headers.Add(ReadHeader(ssl));
    if (headers.Get().size() == 1) {
      const std::string have = H("have 3000");
      SSL_write(ssl, have.data(), static_cast<int>(have.size()));
      AwaitEnd(ssl);
    } else {
      Confirm(ssl);
    }
  });
  ForwardTo(a, next, peer.port);
  a.Place("r", "s", Random(10000, 3), "7000");
  a.Start();
  EXPECT_TRUE(Gone(a.Record("r", "s")));
  EXPECT_EQ(headers.Get(), (std::vector<std::string>{"r 3000 s 7000", "r 7000 s 3000"}));
}

TEST_F(ForwardTest, RecordsAreRecoveredOldestSaveFirst) {
  const Id next = MakeId(dir, "next");
  LocalRelay a(dir, "relay-a");
  Headers headers;
  Server peer(next, a.id, [&](SSL* ssl, int) {
    headers.Add(ReadHeader(ssl));
    Confirm(ssl);
  });
  ForwardTo(a, next, peer.port);
  // By age b, c, a: neither the order of the names nor its reverse.
  const auto now = fs::file_time_type::clock::now();
  int age = 3;
  for (const char* save : {"b", "c", "a"}) {
    a.Place("r", save, "x");
    fs::last_write_time(a.Save("r", save), now - std::chrono::hours(age--));
  }
  a.Start();
  ASSERT_TRUE(WaitFor([&] { return headers.Get().size() == 3; }));
  EXPECT_EQ(headers.Get(), (std::vector<std::string>{"r 1 b 0", "r 1 c 0", "r 1 a 0"}));
}

// A next relay that holds another save under the name keeps it, and this
// relay sets its own aside and goes on with the next save.
TEST_F(ForwardTest, ConflictSetsTheSaveAside) {
  LocalRelay a(dir, "relay-a"), b(dir, "relay-b");
  Link(a, b, false);
  Write(b.Save("r", "x"), "theirs");
  a.Place("r", "x", "ours, longer");
  fs::last_write_time(a.Save("r", "x"), fs::file_time_type::clock::now() - std::chrono::hours(1));
  a.Place("r", "y", "next one");
  b.Start();
  a.Start();
  EXPECT_TRUE(Gone(a.Record("r", "y")));
  EXPECT_EQ(Read(b.Save("r", "y")), "next one");
  EXPECT_TRUE(WaitFor([&] { return Read(a.Record("r", "x")) == "0 conflict"; }));
  EXPECT_EQ(Read(b.Save("r", "x")), "theirs");
  a.Stop();
  a.Start();
  EXPECT_TRUE(a.events.Wait("stays set aside"));
  EXPECT_EQ(Read(a.Record("r", "x")), "0 conflict");
}

// A save that cannot be looked at for a while is not gone: its record
// stays, the saves queued behind it go first, and it follows once it can.
TEST_F(ForwardTest, UnreadableSaveKeepsItsRecordAndWaitsBehindTheOthers) {
  LocalRelay a(dir, "relay-a"), b(dir, "relay-b");
  Link(a, b, false);
  a.Place("r", "s1", "first");
  a.Place("r", "s2", "second");
  Write(a.root / "toforward", "r\ts1\nr\ts2\n");  // s1 first, though its age cannot be looked at
  a.fs->lookup.Set(EIO, "saves/r/s1");
  b.Start();
  a.Start();
  EXPECT_TRUE(WaitFor([&] { return Read(b.Save("r", "s2")) == "second"; }));
  EXPECT_TRUE(a.events.Wait("cannot open the save r/s1"));
  EXPECT_EQ(Read(a.Record("r", "s1")), "0");
  EXPECT_FALSE(Exists(b.Save("r", "s1")));
  a.fs->Clear();
  EXPECT_TRUE(WaitFor([&] { return Read(b.Save("r", "s1")) == "first"; }));
  EXPECT_TRUE(Gone(a.Record("r", "s1")));
}

// Only the next relay's close_notify removes the record: not all bytes
// written, not a plain TCP close.
TEST_F(ForwardTest, RecordStaysUntilTheNextRelayConfirms) {
  const Id next = MakeId(dir, "next");
  LocalRelay a(dir, "relay-a");
  std::atomic<int> attempts{0};
  std::atomic<bool> got_all{false}, release{false};
  Server peer(next, a.id, [&](SSL* ssl, int) {
    if (++attempts > 1) return Confirm(ssl);
    ReadHeader(ssl);
    got_all = AwaitEnd(ssl) == End::Notify;
    WaitFor([&] { return release.load(); });
  });
  ForwardTo(a, next, peer.port);
  a.Place("r", "s", Random(50000, 4));
  a.Start();
  ASSERT_TRUE(WaitFor([&] { return got_all.load(); }));
  EXPECT_TRUE(Exists(a.Record("r", "s")));
  release = true;
  EXPECT_TRUE(Gone(a.Record("r", "s")));
  EXPECT_EQ(attempts, 2);
}

// A next relay that sends without end is cut after 4 KiB.
TEST_F(ForwardTest, FloodingNextRelayIsCut) {
  const Id next = MakeId(dir, "next");
  LocalRelay a(dir, "relay-a");
  Server peer(next, a.id, [&](SSL* ssl, int) {
    const std::string junk(16384, 'j');
    while (!peer.stop && SSL_write(ssl, junk.data(), static_cast<int>(junk.size())) > 0) {}
  });
  ForwardTo(a, next, peer.port);
  a.Place("r", "s", Random(100000, 5));
  a.Start();
  EXPECT_TRUE(a.events.Wait("more than 4096 bytes instead of an answer"));
  EXPECT_TRUE(Exists(a.Record("r", "s")));
  a.Stop();
}

// Whatever the next relay does, the stop ends within its promised ~10 s,
// and the record keeps the save.
TEST_F(ForwardTest, StopIsBoundedWhileTheNextRelayStalls) {
  const Id next = MakeId(dir, "next");
  LocalRelay a(dir, "relay-a");
  std::atomic<bool> connected{false}, release{false};
  Server peer(next, a.id, [&](SSL*, int) {
    connected = true;
    WaitFor([&] { return release.load(); }, ms(60000));
  });
  ForwardTo(a, next, peer.port);
  a.Place("r", "s", Random(8 << 20, 6));
  a.Start();
  ASSERT_TRUE(WaitFor([&] { return connected.load(); }));
  std::this_thread::sleep_for(ms(300));  // its writes fill the socket
  const auto began = Clock::now();
  a.Stop();
  EXPECT_LT(Clock::now() - began, std::chrono::seconds(12));
  release = true;
  EXPECT_TRUE(Exists(a.Record("r", "s")));
}

}  // namespace
}  // namespace tw
