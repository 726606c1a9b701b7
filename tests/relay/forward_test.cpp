// Forwarding from one relay to the next: a real relay at the other end, or
// one played by the test where the next relay must misbehave.
#include "base/sha256.h"
#include "relay/local_relay.h"

namespace tw {
namespace {

using ForwardTest = RelayTest;

// Reads the stream to its close_notify and confirms it with ours.
void Confirm(SSL* ssl) {
  if (AwaitEnd(ssl) == End::Notify) SSL_shutdown(ssl);
}

bool Gone(const fs::path& p) {
  return WaitFor([&] { return !Exists(p); });
}

std::string Hex(const std::string& bytes) {
  tarnwick::Sha256 h;
  h.Update(bytes.data(), bytes.size());
  return h.HexDigest();
}
// The identity of r/<save> as the relay that stored bytes keeps it.
void Identify(LocalRelay& r, const std::string& save, const std::string& bytes, const std::string& more = "") {
  Write(r.root / "ids/r" / save, "size " + std::to_string(bytes.size()) + "\nsha256 " + Hex(bytes) + "\norigin declared\n" + more);
}

// A next relay played by the test for from: it reads each header, then
// serve plays the rest of the session, the n-th so far.
struct PlayedNext {
  PlayedNext(const fs::path& dir, LocalRelay& from, std::function<void(SSL*, const std::string&, std::size_t)> serve)
      : id(MakeId(dir, "next")), server(id, from.id, [this, serve](SSL* ssl, int) {
          const std::string header = UpToNul(ssl);
          std::unique_lock l(m);
          headers.push_back(header);
          const std::size_t n = headers.size();
          l.unlock();
          serve(ssl, header, n);
        }) {
    from.forwards.push_back(&id);
    from.s.forward_peer_cn = id.name;
    from.s.forward_host = "127.0.0.1";
    from.s.forward_port = std::to_string(server.port);
  }
  std::vector<std::string> Headers() {
    std::lock_guard l(m);
    return headers;
  }

  Id id;
  std::mutex m;
  std::vector<std::string> headers;
  Server server;
};

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
    EXPECT_TRUE(WaitFor([&] { return Files(a.root / "forwards").empty(); }));
    EXPECT_EQ(Files(b.root / "saves"), (std::vector<std::string>{"r/" + Date(), "r/two"}));
  }
}

// Records are taken up oldest save first, each at the offset it holds; a
// next relay that holds fewer bytes answers "have <H>" and gets the rest
// from H.
TEST_F(ForwardTest, OldestSaveFirstAndEachWhereTheNextRelayStands) {
  LocalRelay a(dir, "relay-a");
  PlayedNext next(dir, a, [](SSL* ssl, const std::string& header, std::size_t) {
    if (header != "r 3000 s 7000") return Confirm(ssl);
    const std::string have = H("have 3000");
    SSL_write(ssl, have.data(), static_cast<int>(have.size()));
    AwaitEnd(ssl);
  });
  // By age b, c, a, s: neither the order of the names nor its reverse.
  const auto now = fs::file_time_type::clock::now();
  int age = 3;
  for (const char* save : {"b", "c", "a"}) {
    a.Place("r", save, "x");
    fs::last_write_time(a.Save("r", save), now - std::chrono::hours(age--));
  }
  a.Place("r", "s", Random(10000, 3), "7000");
  a.Start();
  EXPECT_TRUE(Gone(a.Record("r", "s")));
  EXPECT_EQ(next.Headers(),
            (std::vector<std::string>{"r 1 b 0", "r 1 c 0", "r 1 a 0", "r 3000 s 7000", "r 7000 s 3000"}));
}

// Only the next relay's close_notify removes the record: not all bytes
// written, nor a next relay that floods instead of answering (cut after
// 4 KiB).
TEST_F(ForwardTest, RecordStaysUntilTheNextRelayConfirms) {
  LocalRelay a(dir, "relay-a");
  std::atomic<bool> got_all{false}, release{false};
  PlayedNext next(dir, a, [&](SSL* ssl, const std::string&, std::size_t n) {
    if (n == 1) {
      got_all = AwaitEnd(ssl) == End::Notify;
      WaitFor([&] { return release.load(); });
    } else if (n == 2) {
      const std::string junk(16384, 'j');
      while (!next.server.stop && SSL_write(ssl, junk.data(), static_cast<int>(junk.size())) > 0) {}
    } else {
      Confirm(ssl);
    }
  });
  a.Place("r", "s", Random(50000, 4));
  a.Start();
  ASSERT_TRUE(WaitFor([&] { return got_all.load(); }));
  EXPECT_TRUE(Exists(a.Record("r", "s")));
  release = true;
  EXPECT_TRUE(a.events.Wait("more than 4096 bytes instead of an answer"));
  EXPECT_TRUE(Gone(a.Record("r", "s")));
  EXPECT_EQ(next.Headers().size(), 3u);
}

// Whatever the next relay does, the stop ends within its promised ~10 s,
// and the record keeps the save.
TEST_F(ForwardTest, StopIsBoundedWhileTheNextRelayStalls) {
  LocalRelay a(dir, "relay-a");
  std::atomic<bool> release{false};
  PlayedNext next(dir, a, [&](SSL*, const std::string&, std::size_t) {
    WaitFor([&] { return release.load(); }, ms(60000));
  });
  a.Place("r", "s", Random(8 << 20, 6));
  a.Start();
  ASSERT_TRUE(WaitFor([&] { return next.Headers().size() == 1; }));
  std::this_thread::sleep_for(ms(300));  // its writes fill the socket
  const auto began = std::chrono::steady_clock::now();
  a.Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(12));
  release = true;
  EXPECT_TRUE(Exists(a.Record("r", "s")));
}

// A save the next relay holds otherwise is set aside for good; one that
// cannot be looked at for a while keeps its record and waits behind the
// others. Neither holds up the saves queued behind it.
TEST_F(ForwardTest, ConflictingAndUnreadableSavesLetTheOthersPass) {
  std::atomic<bool> unreadable{true};  // outlives the relays whose hook reads it
  LocalRelay a(dir, "relay-a"), b(dir, "relay-b");
  Link(a, b, false);
  Write(b.Save("r", "x"), "theirs");
  for (const char* save : {"x", "s1", "s2"}) a.Place("r", save, save);
  Write(a.root / "toforward", "r\tx\nr\ts1\nr\ts2\n");
  a.hook = [&](const std::string& op, const fs::path& p) {
    const bool lookup = op == "lookup" || op == "open";
    return unreadable && lookup && p.string().find("saves/r/s1") != std::string::npos ? EIO : 0;
  };
  b.Start();
  a.Start();
  EXPECT_TRUE(WaitFor([&] { return Read(b.Save("r", "s2")) == "s2"; }));
  EXPECT_TRUE(WaitFor([&] { return Read(a.Record("r", "x")) == "0 conflict"; }));
  EXPECT_EQ(Read(b.Save("r", "x")), "theirs");
  EXPECT_TRUE(a.events.Wait("cannot open the save r/s1"));
  EXPECT_EQ(Read(a.Record("r", "s1")), "0");
  EXPECT_FALSE(Exists(b.Save("r", "s1")));
  unreadable = false;
  EXPECT_TRUE(WaitFor([&] { return Read(b.Save("r", "s1")) == "s1"; }));
  EXPECT_TRUE(Gone(a.Record("r", "s1")));
  a.Stop();
  a.Start();
  EXPECT_TRUE(a.events.Wait("stays set aside"));
  EXPECT_EQ(Read(a.Record("r", "x")), "0 conflict");
}

// A copy that changed after it was stored, or failed a verification, never
// reaches the next relay whole; the saves behind it go on.
TEST_F(ForwardTest, ACopyThatDiffersFromItsIdentityIsHeldHere) {
  LocalRelay a(dir, "relay-a"), b(dir, "relay-b");
  Link(a, b, false);
  std::string bytes = Random(300000, 7);
  const std::string stored = Hex(bytes);
  Identify(a, "x", bytes);
  bytes[123456] ^= 1;
  for (const char* save : {"v", "y"}) a.Place("r", save, save);
  a.Place("r", "x", bytes);
  Identify(a, "v", "v", "verified 1700000000 mismatch\n");
  Write(a.root / "toforward", "r\tx\nr\tv\nr\ty\n");
  b.Start();
  a.Start();
  EXPECT_TRUE(a.events.Wait("this relay's copy differs from its identity: r/x hashes to sha256:" + Hex(bytes) +
                            ", not sha256:" + stored));
  EXPECT_TRUE(WaitFor([&] { return Read(b.Save("r", "y")) == "y"; }));
  EXPECT_LT(SizeOf(b.Save("r", "x")), 300000);
  EXPECT_FALSE(Exists(b.Save("r", "v")));
  EXPECT_NE(Read(a.root / "ids/r/x").find(" mismatch\n"), std::string::npos);
  EXPECT_TRUE(Exists(a.Record("r", "x")) && Exists(a.Record("r", "v")));
}

// The identity goes as the fifth token; "mismatch" sends the save again
// from byte 0 once, then sets it aside; "have <size>" and a close_notify
// deliver it. A save without an identity goes as before.
TEST_F(ForwardTest, TheNextRelaysAnswersAboutIdentities) {
  LocalRelay a(dir, "relay-a");
  const std::string theirs(64, 'e');
  PlayedNext next(dir, a, [&](SSL* ssl, const std::string& header, std::size_t) {
    if (header.starts_with("r 1 z")) return Confirm(ssl);
    const std::string answer = H(header.starts_with("r 5 x") ? "mismatch sha256:" + theirs : "have 1");
    SSL_write(ssl, answer.data(), static_cast<int>(answer.size()));
    if (header.starts_with("r 1 y")) SSL_shutdown(ssl);
    AwaitEnd(ssl);
  });
  for (const char* save : {"xxxxx", "y", "z"}) a.Place("r", std::string(1, save[0]), save);
  Identify(a, "x", "xxxxx");
  Identify(a, "y", "y");
  Write(a.root / "toforward", "r\tx\nr\ty\nr\tz\n");
  a.Start();
  EXPECT_TRUE(Gone(a.Record("r", "z")));
  const std::string x = "r 5 x 0 sha256:" + Hex("xxxxx");
  EXPECT_EQ(next.Headers(), (std::vector<std::string>{x, x, "r 1 y 0 sha256:" + Hex("y"), "r 1 z 0"}));
  EXPECT_TRUE(a.events.Wait("mismatch: the next relay's copy of r/x differs twice"));
  EXPECT_EQ(Read(a.Record("r", "x")), "0 mismatch");
  EXPECT_NE(Read(a.root / "ids/r/x").find("mismatches 2\n"), std::string::npos);
  EXPECT_TRUE(!Exists(a.Record("r", "y")) && Exists(a.root / "ids/r/y"));
}

// toforward lines are the only trace of saves without a record: one that
// cannot be read, or whose saves cannot be recorded, survives the stop, and
// its saves go at the next start.
TEST_F(ForwardTest, AQueueFileThatCannotBeTakenOverIsKept) {
  std::atomic<int> fault{EACCES};  // outlives the relay whose hook reads it
  LocalRelay a(dir, "relay-a"), b(dir, "relay-b");
  Link(a, b, false);
  Write(a.Save("r", "s1"), "s1");  // no record: as a relay without records leaves it
  Write(a.root / "toforward", "r\ts1\n");
  a.hook = [&](const std::string& op, const fs::path& p) {
    const bool queue = p.filename() == "toforward" && op == "open";
    const bool record = p.string().find("forwards") != std::string::npos && op == "rename";
    return (fault == EACCES && queue) || (fault == ENOSPC && record) ? fault.load() : 0;
  };
  for (int f : {EACCES, ENOSPC}) {
    fault = f;
    a.Start();
    EXPECT_TRUE(a.events.Wait(f == EACCES ? "it is kept" : "cannot record r/s1")) << a.events.All();
    a.Stop();
    EXPECT_NE(Read(a.root / "toforward").find("r\ts1"), std::string::npos);
  }
  fault = 0;
  b.Start();
  a.Start();
  EXPECT_TRUE(WaitFor([&] { return Read(b.Save("r", "s1")) == "s1"; }));
}

}  // namespace
}  // namespace tw
