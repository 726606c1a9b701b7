// Streams a listening relay stores, and the ones it refuses, against one
// running relay each.
#include <linux/sockios.h>
#include <sys/ioctl.h>

#include "support/harness.h"

namespace tw {
namespace {

TEST_F(Net, ReceptionStoresStreams) {
  Relay& r = NewRelay("r");
  ASSERT_TRUE(r.Start()) << r.Err();

  // One-field streams take the date, then the next free suffix; a leftover
  // marker alone makes its name taken. The second sender has no certificate.
  const std::string date = Date();
  const fs::path repo = r.root / "saves" / "projA";
  Write(repo / (date + "_2_pending"), "5");
  const std::string one[] = {Random(100 * 1024 + 7, 1), Random(3000, 2),
                             std::string("a\0b \n", 5) + Random(20000, 3)};
  for (int i = 0; i < 3; ++i) {
    Write(dir_ / "in", one[i]);
    auto args = SendArgs(r, "projA", dir_ / "in");
    if (i == 1) args.erase(args.begin() + 12, args.begin() + 16);
    std::string err;
    EXPECT_EQ(Send(args, &err), 0) << err;
    EXPECT_EQ(err, "");
  }
  // A second field that is no number leaves a one-field stream.
  EXPECT_EQ(SendStream(r.port, r.id, nullptr, H("projW word") + "xyz"), End::Notify);
  if (Date() != date) GTEST_SKIP() << "the date changed during the test";
  EXPECT_EQ(Files(repo), (std::vector<std::string>{date, date + "_1", date + "_2_pending", date + "_3"}));
  EXPECT_EQ(Read(repo / date), one[0]);
  EXPECT_EQ(Read(repo / (date + "_1")), one[1]);
  EXPECT_EQ(Read(repo / (date + "_3")), one[2]);
  EXPECT_EQ(Read(repo / (date + "_2_pending")), "5");
  EXPECT_EQ(Read(r.Save("projW", date)), "xyz");

  // Three fields: a short stream is stored and confirmed but leaves what it
  // owes in the marker; the resume (split writes, plain TCP close) clears it.
  const fs::path save = r.Save("projB", "full.bak"), marker = r.Save("projB", "full.bak_pending");
  const std::string p1 = Random(60, 10), p2 = Random(40, 11);
  EXPECT_EQ(SendStream(r.port, r.id, &client_, H("projB 100 full.bak") + p1), End::Notify);
  EXPECT_EQ(Read(marker), "40");
  {
    Client c(r.port, r.id, &client_);
    EXPECT_TRUE(c.Send(H("projB 40 full.bak")) && c.Send(p2.substr(0, 15)) && c.Send(p2.substr(15)));
    EXPECT_EQ(c.Finish(How::TcpClose), End::Notify);
  }
  EXPECT_EQ(Read(save), p1 + p2);
  EXPECT_FALSE(Exists(marker)) << Read(marker);

  // Header and data in one write arrive in one read: those bytes count too.
  const std::string d = Random(5000, 12);
  EXPECT_EQ(SendStream(r.port, r.id, &client_, H("projB 5000 one.bak") + d), End::Notify);
  EXPECT_EQ(Read(r.Save("projB", "one.bak")), d);
  EXPECT_FALSE(Exists(r.Save("projB", "one.bak_pending")));
  EXPECT_EQ(SendStream(r.port, r.id, &client_, H("projB 100 over.bak") + Random(130, 13)), End::Notify);
  EXPECT_EQ(Read(r.Save("projB", "over.bak_pending")), "-30");
  EXPECT_EQ(SendStream(r.port, r.id, &client_, H("projB   0  over.bak")), End::Notify);
  EXPECT_FALSE(Exists(r.Save("projB", "over.bak_pending")));
  EXPECT_EQ(SizeOf(r.Save("projB", "over.bak")), 130);

  // A reset mid-stream keeps what arrived and records what is still owed.
  const std::string cut = Random(500, 14);
  const std::size_t m = r.proc->Mark();
  {
    Client c(r.port, r.id, &client_);
    EXPECT_TRUE(c.Send(H("projR 1000 cut.bak") + cut));
    // A reset discards bytes in flight; this is about bytes the relay holds.
    ASSERT_TRUE(WaitFor([&] { int q = 0; return ioctl(c.fd_, SIOCOUTQ, &q) == 0 && q == 0; }));
    c.Finish(How::Reset);
  }
  EXPECT_TRUE(r.Line(kErr + "SSL_read failed with", m)) << r.Err();
  EXPECT_TRUE(WaitFor([&] { return Read(r.Save("projR", "cut.bak_pending")) == "500"; }));
  EXPECT_EQ(Read(r.Save("projR", "cut.bak")), cut);
  EXPECT_EQ(SendStream(r.port, r.id, &client_, H("projR 3 next.bak") + "xyz"), End::Notify);
  EXPECT_EQ(Read(r.Save("projR", "next.bak")), "xyz");
}

TEST_F(Net, RefusalsLeaveNothingAndTheNextStreamIsServed) {
  Relay& r = NewRelay("r");
  ASSERT_TRUE(r.Start()) << r.Err();
  {
    Client c(r.port, r.id, nullptr);
    EXPECT_NE(c.Finish(How::Notify), End::Timeout);
  }
  EXPECT_FALSE(Exists(r.root / "saves")) << "a connection without a byte created something";

  const std::string repo = "invalid repo_name failed with 0", save = "invalid save_name failed with 0";
  const std::pair<std::string, std::string> bad[] = {
      {std::string(2048, 'a'), "wrong format failed with -1"},
      {H("") + "data", "wrong format failed with 0"},
      {H("projA 12") + "data", "wrong format failed with 2"},
      {H("projA -5 s.bak") + "data", "wrong format failed with 3"},
      {H(".."), repo}, {H("a/b") + "d", repo}, {H("c:"), repo}, {H("x\x01y"), repo},
      {H(std::string(300, 'r')), repo}, {H("projA 4 a/b") + "data", save},
      {H("projA 4 " + std::string(248, 's')), save},
      // Only a client with a trusted certificate may add to a named save.
      {H("projA 4 s.bak") + "data", "the stream from 127.0.0.1 for saves/projA/s.bak is refused: only a sender with a trusted certificate"},
      {H("projA 4 s.bak 0") + "data", "the stream from 127.0.0.1 for saves/projA/s.bak is refused: only a sender with a trusted certificate"}};
  for (const auto& [bytes, entry] : bad) {
    SCOPED_TRACE(entry);
    const std::size_t m = r.proc->Mark();
    Client c(r.port, r.id, nullptr);
    EXPECT_TRUE(c.Send(bytes));
    EXPECT_EQ(c.Finish(How::Notify), End::Error) << "a refused stream must not look confirmed";
    EXPECT_TRUE(r.Line(kErr + entry, m)) << r.Err().substr(m);
  }
  EXPECT_EQ(Files(r.root / "saves"), std::vector<std::string>{});

  // Clients the relay does not trust, or that carry the wrong name.
  for (const Id* id : {&rogue_, &misnamed_}) {
    SCOPED_TRACE(id->name);
    const std::size_t m = r.proc->Mark();
    Client c(r.port, r.id, id);
    // With TLS 1.3 the refusal may come only after the client's handshake.
    if (c.Send(H("projA 4 x") + "data")) {
      EXPECT_EQ(c.Finish(How::Notify), End::Error);
    }
    ASSERT_TRUE(r.Line(kInfo + "Bogus connection", m)) << r.Err();
    EXPECT_NE(r.Err().find(kErr + "SSL_accept failed from 127.0.0.1.\\n failed with 1", m),
              std::string::npos);
  }

  // tarnwick-send: nothing listening (4), relay not trusted or not the
  // expected name (5), relay refusing our certificate (5).
  Write(dir_ / "in", "data");
  const auto good = SendArgs(r, "projC", dir_ / "in");
  const struct { std::size_t at; std::string value; int code; } cases[] = {
      {3, std::to_string(FreePort()), 4}, {7, rogue_.cert.string(), 5},
      {9, "elsewhere.test", 5}, {13, rogue_.cert.string(), 5}};
  for (const auto& k : cases) {
    auto args = good;
    args[k.at] = k.value;
    if (k.at == 13) args[15] = rogue_.key.string();
    std::string err;
    EXPECT_EQ(Send(args, &err), k.code) << err;
    EXPECT_TRUE(err.rfind("tarnwick-send: ", 0) == 0 && std::count(err.begin(), err.end(), '\n') == 1) << err;
  }
  EXPECT_EQ(SendStream(r.port, r.id, &client_, H("projZ 5 z") + "hello"), End::Notify);
  EXPECT_EQ(Read(r.Save("projZ", "z")), "hello");
}

}  // namespace
}  // namespace tw
