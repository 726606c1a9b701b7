// Forwarding along chains of real relays: saves arrive whole, in hand-off
// order, and a transmission cut by either end resumes where it left off.
#include <algorithm>

#include "support/harness.h"

namespace tw {
namespace {

// Throttled transmissions of a whole save may take this long under TSan.
constexpr ms kLong{60000};

::testing::AssertionResult NothingLeft(const Relay& r) {
  const auto progress = Files(r.root / "forwards");
  if (Read(r.Queue()).empty() && progress.empty()) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "toforward '" << Read(r.Queue()) << "', "
                                       << progress.size() << " progress files";
}

struct Hop { Relay *a, *b; std::string data; };

struct Fwd : Net {
  // a forwards to b. A slow transmission lasts seconds, long enough to cut;
  // as a slow a also receives slowly, its save is laid on its disk and queued.
  Hop Pair(const std::string& n, bool dial, std::size_t size = 0, unsigned seed = 0) {
    Hop h{&NewRelay("a-" + n), &NewRelay("b-" + n), Random(size, seed)};
    Link(*h.a, *h.b, dial);
    if (size == 0) return h;
    h.a->throttle = true, h.a->rate = "200KB";
    h.a->WriteFiles();
    Write(h.a->Save("proj", "big.bak"), h.data);
    Write(h.a->Queue(), "proj\tbig.bak\n");
    EXPECT_TRUE(h.b->Start() && h.a->Start()) << h.a->Err() << h.b->Err();
    // The receiver opens the save at the header: the transmission is under way.
    EXPECT_TRUE(WaitFor([&] { return Exists(h.b->Save("proj", "big.bak")); })) << h.a->Err();
    return h;
  }
};

TEST_F(Fwd, ChainOfThreeInBothModes) {
  // sender -> a, b fetches from a (listen mode), b pushes to c (dial mode).
  Relay &a = NewRelay("a"), &b = NewRelay("b"), &c = NewRelay("c");
  Link(a, b, false);
  Link(b, c, true);
  for (Relay* r : {&c, &b, &a}) ASSERT_TRUE(r->Start()) << r->Err();
  const std::string big = Random(300 * 1024 + 3, 100), one = Random(200 * 1024 + 11, 102);
  const std::string date = Date();
  Write(dir_ / "in", one);
  std::string err;
  ASSERT_EQ(Send(SendArgs(a, "projC", dir_ / "in"), &err), 0) << err;
  ASSERT_EQ(SendStream(a.port, a.id, &client_, H("projF 307203 big.bak") + big), End::Notify);
  // A save with no bytes is complete too.
  ASSERT_EQ(SendStream(a.port, a.id, &client_, H("projF 0 empty.bak")), End::Notify);
  if (Date() != date) GTEST_SKIP() << "the date changed during the test";
  for (Relay* hop : {&a, &b}) {
    Relay& next = hop == &a ? b : c;
    EXPECT_TRUE(Forwarded(*hop, next, "projC", date, one));
    EXPECT_TRUE(Forwarded(*hop, next, "projF", "big.bak", big));
    EXPECT_TRUE(Forwarded(*hop, next, "projF", "empty.bak", ""));
  }
  // b first: its stop dials a's closure listener, which must still be there.
  for (Relay* r : {&b, &a, &c}) EXPECT_EQ(r->Stop(), 0) << r->Err();
  EXPECT_TRUE(NothingLeft(a));
  EXPECT_TRUE(NothingLeft(b));
  EXPECT_EQ(Files(c.root / "saves"),
            (std::vector<std::string>{"projC/" + date, "projF/big.bak", "projF/empty.bak"}));
  EXPECT_EQ(Read(a.Save("projF", "big.bak")), big) << "the forwarder keeps its own copy";
}

TEST_F(Fwd, StoppedForwarderResumesInBothModes) {
  std::vector<Hop> hops;
  for (bool dial : {true, false}) {
    hops.push_back(Pair(dial ? "dial" : "listen", dial, 1024 * 1024, dial ? 101 : 111));
    Hop& h = hops.back();
    EXPECT_EQ(h.a->Stop(), 0);
    EXPECT_EQ(Read(h.a->Queue()), "proj\tbig.bak\n");
    const long long offset = std::atoll(Read(h.a->Progress("proj", "big.bak")).c_str());
    ASSERT_GT(offset, 0) << Read(h.a->Progress("proj", "big.bak"));
    ASSERT_LT(offset, 1024 * 1024);
    const std::string owed = std::to_string(1024 * 1024 - offset);
    EXPECT_TRUE(WaitFor([&] { return Read(h.b->Save("proj", "big.bak_pending")) == owed; }));
    EXPECT_EQ(Read(h.b->Save("proj", "big.bak")), h.data.substr(0, offset));
    h.a->throttle = false;  // the rest needs no throttle to prove the resume
    h.a->WriteFiles();
    ASSERT_TRUE(h.a->Start()) << h.a->Err();
  }
  for (Hop& h : hops) {
    EXPECT_TRUE(Forwarded(*h.a, *h.b, "proj", "big.bak", h.data, kLong));
    EXPECT_EQ(h.a->Stop(), 0);
    EXPECT_TRUE(NothingLeft(*h.a));
  }
}

TEST_F(Fwd, LaterSavesFollowTheRunningTransmissionInOrder) {
  std::vector<Hop> hops;
  const std::string second = Random(20000, 105), third = Random(15000, 106);
  const std::string date = Date();
  Write(dir_ / "in2", second);
  Write(dir_ / "in3", third);
  for (bool dial : {true, false}) {
    hops.push_back(Pair(dial ? "dial" : "listen", dial, 512 * 1024, 104));
    Hop& h = hops.back();
    for (const char* in : {"in2", "in3"}) ASSERT_EQ(Send(SendArgs(*h.a, "proj", dir_ / in)), 0);
    ASSERT_EQ(SendStream(h.a->port, h.a->id, &client_, H("proj 0 zero.bak")), End::Notify);
    ASSERT_LT(SizeOf(h.b->Save("proj", "big.bak")), 512 * 1024) << "first was through too soon";
  }
  if (Date() != date) GTEST_SKIP() << "the date changed during the test";
  const std::vector<std::pair<std::string, std::string>> order = {
      {"big.bak", hops[0].data}, {date, second}, {date + "_1", third}, {"zero.bak", ""}};
  for (Hop& h : hops) {
    // One transmission at a time: each save at b was last written after the
    // one before it was whole.
    std::vector<fs::file_time_type> written;
    for (const auto& [save, bytes] : order) {
      EXPECT_TRUE(Forwarded(*h.a, *h.b, "proj", save, bytes, kLong));
      std::error_code ec;
      written.push_back(fs::last_write_time(h.b->Save("proj", save), ec));
    }
    EXPECT_TRUE(std::is_sorted(written.begin(), written.end())) << "saves forwarded out of order";
    EXPECT_EQ(h.a->Stop(), 0);
    EXPECT_TRUE(NothingLeft(*h.a));
  }
}

TEST_F(Fwd, StoppedDiallingReceiverAbandonsTheTransmissionUntilItReturns) {
  const Hop h = Pair("listen", false, 1024 * 1024, 103);
  Relay &a = *h.a, &b = *h.b;
  const std::string& data = h.data;
  const fs::path at = b.Save("proj", "big.bak");
  EXPECT_EQ(b.Stop(), 0);
  // The closure cut the stream short; without it b would wait for all of it.
  const long long got = SizeOf(at);
  ASSERT_GT(got, 0);
  ASSERT_LT(got, static_cast<long long>(data.size())) << "b received the whole save";
  EXPECT_EQ(Read(b.Save("proj", "big.bak_pending")), std::to_string(data.size() - got));
  EXPECT_EQ(Read(at), data.substr(0, got));
  // Abandoned, not interrupted: a goes on and queues nothing.
  EXPECT_TRUE(a.proc->Running()) << a.Err();
  EXPECT_EQ(Read(a.Queue()), "");
  ASSERT_TRUE(b.Start()) << b.Err();
  EXPECT_TRUE(Forwarded(a, b, "proj", "big.bak", data, kLong));
  EXPECT_EQ(b.Stop(), 0);
  EXPECT_EQ(a.Stop(), 0);
  EXPECT_TRUE(NothingLeft(a));
}

TEST_F(Fwd, QueueReplaySkipsBadLinesAndResumesRecordedProgress) {
  const Hop h = Pair("dial", true);
  Relay &a = *h.a, &b = *h.b;
  const std::string good1 = Random(30000, 108), good2 = Random(40000, 109), p = Random(5000, 110);
  Write(a.Save("projQ", "good1.bak"), good1);
  Write(a.Save("projQ", "good2.bak"), good2);
  Write(a.Save("projQ", "p.bak"), p);
  // 1000 bytes were delivered before an earlier stop; b holds them.
  Write(a.Progress("projQ", "p.bak"), "1000");
  Write(b.Save("projQ", "p.bak"), p.substr(0, 1000));
  Write(b.Save("projQ", "p.bak_pending"), "4000");
  Write(a.Queue(),
        "projQ\tgood1.bak\n"  // 1
        "lonely\n"            // 2: one field
        "projQ\t../x\n"       // 3: leaves the repository
        "ghost\tnone.bak\n"   // 4: repository gone
        "projQ\tgone.bak\n"   // 5: save gone
        "projQ\tgood1.bak\n"  // 6: already handed off by line 1
        "projQ\tgood2.bak\n"
        "projQ\tp.bak\n");
  // b stays down while the queue is read, so line 1's transmission is still
  // running when line 6 comes.
  ASSERT_TRUE(a.Start()) << a.Err();
  for (const std::string& entry :
       {kErr + "toforward line failed with 2", kErr + "toforward line failed with 3",
        kErr + "chdir(repo_name2) failed with 2", kErr + "fopen(save_name, \"rb\") failed with 2",
        kInfo + "already being forwarded"})
    EXPECT_TRUE(a.Line(entry)) << entry << "\n" << a.Err();
  for (const char* line : {"with 1\n", "with 7\n", "with 8\n"})
    EXPECT_EQ(a.Err().find(std::string("toforward line failed ") + line), std::string::npos);
  EXPECT_TRUE(WaitFor([&] { return Read(a.Queue()).empty(); })) << Read(a.Queue());
  ASSERT_TRUE(b.Start()) << b.Err();
  // Sent once each, and p.bak only from 1000 on: anything more would append.
  EXPECT_TRUE(Forwarded(a, b, "projQ", "good1.bak", good1));
  EXPECT_TRUE(Forwarded(a, b, "projQ", "good2.bak", good2));
  EXPECT_TRUE(Forwarded(a, b, "projQ", "p.bak", p));
  EXPECT_EQ(a.Stop(), 0);
  EXPECT_TRUE(NothingLeft(a));
  EXPECT_EQ(Files(b.root / "saves"),
            (std::vector<std::string>{"projQ/good1.bak", "projQ/good2.bak", "projQ/p.bak"}));
}

TEST_F(Fwd, UnreachablePeerKeepsTheSaveQueuedAcrossAStop) {
  const Hop h = Pair("dial", true);  // b not started: nothing listens on its port
  Relay &a = *h.a, &b = *h.b;
  ASSERT_TRUE(a.Start()) << a.Err();
  const std::size_t m = a.proc->Mark();
  const std::string data = Random(10000, 107);
  ASSERT_EQ(SendStream(a.port, a.id, &client_, H("projU 10000 u.bak") + data), End::Notify);
  // The first failure is reported with its reason, the retries that follow
  // (1 s, then 2 s apart) are not.
  auto count = [&](const std::string& text) {
    const std::string e = a.Err().substr(m);
    std::size_t n = 0;
    for (auto at = e.find(text); at != std::string::npos; at = e.find(text, at + 1)) ++n;
    return n;
  };
  const std::string fails = kErr + "forwarding to 127.0.0.1:" + std::to_string(b.port) + " fails: ";
  EXPECT_TRUE(WaitFor([&] { return count(fails) == 1; })) << a.Err();
  std::this_thread::sleep_for(std::chrono::milliseconds(3500));
  EXPECT_EQ(count(kInfo + "Bogus connection"), 1u) << a.Err();
  EXPECT_EQ(count(fails), 1u) << a.Err();
  EXPECT_EQ(a.Stop(), 0);
  EXPECT_EQ(Read(a.Queue()), "projU\tu.bak\n");
  ASSERT_TRUE(b.Start()) << b.Err();
  ASSERT_TRUE(a.Start()) << a.Err();
  EXPECT_TRUE(Forwarded(a, b, "projU", "u.bak", data));
  EXPECT_EQ(a.Stop(), 0);
  EXPECT_TRUE(NothingLeft(a));
}

// A relay that takes forwarded saves names its own one-field saves with its
// certificate name, so that no sender of its own can take a name an
// upstream relay sends; the longest names cross a chain whole.
TEST_F(Fwd, NamesGivenHereNeverMeetNamesFromUpstreamAndLongNamesCross) {
  Relay &a = NewRelay("a"), &b = NewRelay("b");
  Link(a, b, true);
  b.connection["Upstream"] = "1";
  b.WriteFiles();
  for (Relay* r : {&b, &a}) ASSERT_TRUE(r->Start()) << r->Err();
  const std::string date = Date();
  ASSERT_EQ(SendStream(b.port, b.id, nullptr, H("projD") + "b's own"), End::Notify) << b.Err();
  ASSERT_EQ(SendStream(a.port, a.id, nullptr, H("projD") + "from a"), End::Notify) << a.Err();
  const std::string longest(247, 'L');
  const std::string data = Random(40000, 104);
  ASSERT_EQ(SendStream(a.port, a.id, &client_, H("projL 40000 " + longest + " 0") + data), End::Notify) << a.Err();
  if (Date() != date) GTEST_SKIP() << "the date changed during the test";
  EXPECT_TRUE(Forwarded(a, b, "projD", date, "from a"));
  EXPECT_TRUE(Forwarded(a, b, "projL", longest, data));
  EXPECT_EQ(Read(b.Save("projD", date + "." + b.id.name)), "b's own");
  EXPECT_EQ(b.Err().find("conflict"), std::string::npos) << b.Err();
  EXPECT_TRUE(NothingLeft(a));
}

}  // namespace
}  // namespace tw
