// Forwarding along chains of real relays: saves arrive whole at the end of
// the chain, one transmission at a time, and an interrupted transmission
// (either end stopped) resumes where it left off instead of starting over.
#include <gtest/gtest.h>

#include <cctype>

#include "support/chain_fixture.h"

namespace tarnwick::test {
namespace {

// Slow enough that a 1 MB transmission lasts seconds and can be cut mid-way.
constexpr const char* kSlowRate = "200KB";
constexpr std::size_t kBigSave = 1024 * 1024;
// Throttled transmissions of a whole save may take this long on a loaded
// sanitizer build.
constexpr milliseconds kTransmissionWait{60000};

RelayConfig Throttled() {
  RelayConfig cfg;
  cfg.throttling = true;
  cfg.bandwith = kSlowRate;
  return cfg;
}

// The decimal offset a progress file holds, or -1 when it holds anything else.
std::int64_t OffsetIn(const fs::path& p) {
  const std::string text = ReadFileText(p);
  if (text.empty() || text.size() > 18) return -1;
  for (char c : text)
    if (!std::isdigit(static_cast<unsigned char>(c))) return -1;
  return std::stoll(text);
}

bool HasEntry(const std::vector<std::string>& entries, const std::string& needle) {
  for (const auto& e : entries)
    if (e.find(needle) != std::string::npos) return true;
  return false;
}

// ------------------------------------------------------------ both modes

class ForwardPairTest : public ChainTest, public ::testing::WithParamInterface<ForwardMode> {};

INSTANTIATE_TEST_SUITE_P(Forward, ForwardPairTest,
                         ::testing::Values(ForwardMode::Dial, ForwardMode::Listen),
                         [](const auto& info) { return ::testing::PrintToString(info.param); });

TEST_P(ForwardPairTest, CompleteSavesArriveWholeAndLeaveNothingBehind) {
  Relay& a = MakeNode("a");
  Relay& b = MakeNode("b");
  Link(a, b, GetParam());
  ASSERT_TRUE(b.Start()) << b.Stderr();
  ASSERT_TRUE(a.Start()) << a.Stderr();

  const std::string big = RandomBytes(300 * 1024 + 3, 100);
  ASSERT_TRUE(SendSave(a, "projF", "big.bak", big));
  // A save with no bytes is complete too and must reach the end as a file.
  ASSERT_TRUE(SendSave(a, "projF", "empty.bak", ""));

  EXPECT_TRUE(WaitForwarded(a, b, "projF", "big.bak", big));
  EXPECT_TRUE(WaitForwarded(a, b, "projF", "empty.bak", ""));

  const auto st = a.Stop();
  ASSERT_TRUE(st && st->Clean()) << (st ? ::testing::PrintToString(*st) : "still running");
  EXPECT_TRUE(NothingLeftToForward(a));
  EXPECT_EQ(FilesUnder(b.root() / "saves"),
            (std::vector<std::string>{"projF/big.bak", "projF/empty.bak"}));
  // The forwarding relay keeps its own copy.
  EXPECT_TRUE(HoldsBytes(SaveAt(a, "projF", "big.bak"), big));
}

TEST_P(ForwardPairTest, StopOfTheForwardingRelayResumesWhereItLeftOff) {
  Relay& a = MakeNode("a", Throttled());
  Relay& b = MakeNode("b");
  Link(a, b, GetParam());
  const std::string data = RandomBytes(kBigSave, 101);
  PlaceSave(a, "projT", "big.bak", data);
  QueueLine(a, "projT\tbig.bak\n");
  ASSERT_TRUE(b.Start()) << b.Stderr();
  ASSERT_TRUE(a.Start()) << a.Stderr();

  // The receiver opens the save when the header arrives: the transmission
  // is under way, and at this rate seconds away from its end.
  ASSERT_TRUE(WaitUntil([&] { return Exists(SaveAt(b, "projT", "big.bak")); }))
      << a.Logs() << b.Logs();
  const auto st = a.Stop();
  ASSERT_TRUE(st && st->Clean()) << (st ? ::testing::PrintToString(*st) : "still running");

  EXPECT_EQ(Contents(QueueOf(a)), "projT\tbig.bak\n");
  const std::int64_t offset = OffsetIn(ProgressAt(a, "projT", "big.bak"));
  ASSERT_GT(offset, 0) << "progress file: " << Contents(ProgressAt(a, "projT", "big.bak"));
  ASSERT_LT(offset, static_cast<std::int64_t>(data.size()));
  const fs::path marker = MarkerAt(b, "projT", "big.bak");
  const std::string owed = std::to_string(data.size() - offset);
  EXPECT_TRUE(WaitUntil([&] { return Contents(marker) == owed; }))
      << "marker " << Contents(marker) << ", expected " << owed;
  EXPECT_TRUE(HoldsBytes(SaveAt(b, "projT", "big.bak"), data.substr(0, offset)));

  // The rest needs no throttle to prove the resume.
  a.mutable_config().throttling = false;
  a.WriteFiles();
  ASSERT_TRUE(a.Start()) << a.Logs();
  EXPECT_TRUE(WaitForwarded(a, b, "projT", "big.bak", data, kTransmissionWait));
  const auto st2 = a.Stop();
  ASSERT_TRUE(st2 && st2->Clean()) << (st2 ? ::testing::PrintToString(*st2) : "still running");
  EXPECT_TRUE(NothingLeftToForward(a));
  EXPECT_FALSE(Exists(marker)) << Contents(marker);
}

TEST_P(ForwardPairTest, SavesHandedOffDuringATransmissionFollowItInOrder) {
  Relay& a = MakeNode("a", Throttled());
  Relay& b = MakeNode("b");
  Link(a, b, GetParam());
  const std::string first = RandomBytes(512 * 1024, 104);
  const std::string second = RandomBytes(20000, 105);
  const std::string third = RandomBytes(15000, 106);
  PlaceSave(a, "projO", "first.bak", first);
  QueueLine(a, "projO\tfirst.bak\n");
  ASSERT_TRUE(b.Start()) << b.Stderr();
  ASSERT_TRUE(a.Start()) << a.Stderr();
  ASSERT_TRUE(WaitUntil([&] { return Exists(SaveAt(b, "projO", "first.bak")); }))
      << a.Logs() << b.Logs();

  // Two same-day saves of the same repository: the date, then its suffix.
  const std::string date = LocalDate();
  const std::string d1 = date, d2 = date + "_1";
  WriteFile(dir_ / "in2", second);
  WriteFile(dir_ / "in3", third);
  for (const char* in : {"in2", "in3"}) {
    const SendRun run = RunSend(SendArgs(a, "projO", dir_ / in));
    ASSERT_TRUE(run.status && run.status->Clean())
        << in << ": " << (run.status ? ::testing::PrintToString(*run.status) : "hung") << " "
        << run.stderr_text;
  }
  if (LocalDate() != date) GTEST_SKIP() << "the local date changed during the test";
  ASSERT_LT(SizeOf(SaveAt(b, "projO", "first.bak")), static_cast<std::int64_t>(first.size()))
      << "the first save was through before the others were handed off; nothing was tested";

  auto whole_at_b = [&](const std::string& save, const std::string& bytes) {
    return SizeOf(SaveAt(b, "projO", save)) == static_cast<std::int64_t>(bytes.size()) &&
           !Exists(MarkerAt(b, "projO", save));
  };
  std::vector<std::string> out_of_order;
  const bool all = WaitUntil(
      [&] {
        // A later save appearing proves its predecessor was whole by then.
        if (Exists(SaveAt(b, "projO", d1)) && !whole_at_b("first.bak", first))
          out_of_order.push_back(d1 + " before first.bak was whole");
        if (Exists(SaveAt(b, "projO", d2)) && !whole_at_b(d1, second))
          out_of_order.push_back(d2 + " before " + d1 + " was whole");
        return whole_at_b(d2, third);
      },
      kTransmissionWait);
  ASSERT_TRUE(all) << a.Logs() << b.Logs();
  EXPECT_TRUE(out_of_order.empty()) << out_of_order.front();
  EXPECT_TRUE(WaitForwarded(a, b, "projO", "first.bak", first));
  EXPECT_TRUE(WaitForwarded(a, b, "projO", d1, second));
  EXPECT_TRUE(WaitForwarded(a, b, "projO", d2, third));

  const auto st = a.Stop();
  ASSERT_TRUE(st && st->Clean()) << (st ? ::testing::PrintToString(*st) : "still running");
  EXPECT_TRUE(NothingLeftToForward(a));
}

// ------------------------------------------------------------ one mode

class ForwardChainTest : public ChainTest {};

TEST_F(ForwardChainTest, ChainOfThreeCarriesASaveToTheEnd) {
  // sender -> a, b fetches from a (listen mode), b pushes to c (dial mode).
  Relay& a = MakeNode("a");
  Relay& b = MakeNode("b");
  Relay& c = MakeNode("c");
  Link(a, b, ForwardMode::Listen);
  Link(b, c, ForwardMode::Dial);
  ASSERT_TRUE(c.Start()) << c.Stderr();
  ASSERT_TRUE(b.Start()) << b.Stderr();
  ASSERT_TRUE(a.Start()) << a.Stderr();

  const std::string data = RandomBytes(200 * 1024 + 11, 102);
  const fs::path in = dir_ / "in";
  WriteFile(in, data);
  const std::string date = LocalDate();
  const SendRun run = RunSend(SendArgs(a, "projC", in));
  ASSERT_TRUE(run.status && run.status->Clean())
      << (run.status ? ::testing::PrintToString(*run.status) : "hung") << " " << run.stderr_text;
  if (LocalDate() != date) GTEST_SKIP() << "the local date changed during the test";

  EXPECT_TRUE(WaitForwarded(a, b, "projC", date, data));
  EXPECT_TRUE(WaitForwarded(b, c, "projC", date, data));

  // b first: its stop dials a's closure listener, which must still be there.
  for (Relay* r : {&b, &a, &c}) {
    SCOPED_TRACE(r->name());
    const auto st = r->Stop();
    ASSERT_TRUE(st && st->Clean()) << (st ? ::testing::PrintToString(*st) : "still running");
  }
  EXPECT_TRUE(NothingLeftToForward(a));
  EXPECT_TRUE(NothingLeftToForward(b));
  EXPECT_EQ(FilesUnder(c.root() / "saves"), std::vector<std::string>{"projC/" + date});
}

TEST_F(ForwardChainTest, StopOfADiallingReceiverAbandonsTheTransmissionUntilItReturns) {
  Relay& a = MakeNode("a", Throttled());
  Relay& b = MakeNode("b");
  Link(a, b, ForwardMode::Listen);
  const std::string data = RandomBytes(kBigSave, 103);
  PlaceSave(a, "projR", "big.bak", data);
  QueueLine(a, "projR\tbig.bak\n");
  ASSERT_TRUE(a.Start()) << a.Stderr();
  ASSERT_TRUE(b.Start()) << b.Stderr();

  const fs::path at_b = SaveAt(b, "projR", "big.bak");
  ASSERT_TRUE(WaitUntil([&] { return Exists(at_b); })) << a.Logs() << b.Logs();
  const auto st = b.Stop();
  ASSERT_TRUE(st && st->Clean()) << (st ? ::testing::PrintToString(*st) : "still running");

  // The closure cut the stream short; without it b would have waited for
  // the whole save.
  const std::int64_t got = SizeOf(at_b);
  ASSERT_GT(got, 0);
  ASSERT_LT(got, static_cast<std::int64_t>(data.size())) << "b received the whole save";
  EXPECT_EQ(Contents(MarkerAt(b, "projR", "big.bak")), std::to_string(data.size() - got));
  EXPECT_TRUE(HoldsBytes(at_b, data.substr(0, got)));
  // Abandoned, not interrupted: a goes on and queues nothing.
  EXPECT_TRUE(a.process().Running()) << a.Stderr();
  EXPECT_EQ(Contents(QueueOf(a)), "");

  ASSERT_TRUE(b.Start()) << b.Logs();
  EXPECT_TRUE(WaitForwarded(a, b, "projR", "big.bak", data, kTransmissionWait));
  const auto st_b = b.Stop();
  ASSERT_TRUE(st_b && st_b->Clean()) << (st_b ? ::testing::PrintToString(*st_b) : "running");
  const auto st_a = a.Stop();
  ASSERT_TRUE(st_a && st_a->Clean()) << (st_a ? ::testing::PrintToString(*st_a) : "running");
  EXPECT_TRUE(NothingLeftToForward(a));
}

TEST_F(ForwardChainTest, UnreachablePeerKeepsTheSaveQueuedAcrossAStop) {
  Relay& a = MakeNode("a");
  Relay& b = MakeNode("b");  // not started yet: nothing listens on its port
  Link(a, b, ForwardMode::Dial);
  ASSERT_TRUE(a.Start()) << a.Stderr();

  const std::size_t mark = a.Mark();
  const std::string data = RandomBytes(10000, 107);
  ASSERT_TRUE(SendSave(a, "projU", "u.bak", data));
  const std::string bogus = std::string(kInfoEntry) + "Bogus connection";
  auto bogus_count = [&] {
    int n = 0;
    for (const auto& e : a.Entries(mark)) n += e.find(bogus) != std::string::npos;
    return n;
  };
  EXPECT_TRUE(WaitUntil([&] { return bogus_count() >= 2; })) << a.Stderr();

  const auto st = a.Stop();
  ASSERT_TRUE(st && st->Clean()) << (st ? ::testing::PrintToString(*st) : "still running");
  EXPECT_EQ(Contents(QueueOf(a)), "projU\tu.bak\n");

  // The queue written at the stop brings the save out at the next start.
  ASSERT_TRUE(b.Start()) << b.Stderr();
  ASSERT_TRUE(a.Start()) << a.Logs();
  EXPECT_TRUE(WaitForwarded(a, b, "projU", "u.bak", data));
  const auto st2 = a.Stop();
  ASSERT_TRUE(st2 && st2->Clean()) << (st2 ? ::testing::PrintToString(*st2) : "still running");
  EXPECT_TRUE(NothingLeftToForward(a));
}

TEST_F(ForwardChainTest, QueueReplaySkipsBadLinesAndForwardsTheRest) {
  Relay& a = MakeNode("a");
  Relay& b = MakeNode("b");
  Link(a, b, ForwardMode::Dial);
  const std::string good1 = RandomBytes(30000, 108);
  const std::string good2 = RandomBytes(40000, 109);
  PlaceSave(a, "projQ", "good1.bak", good1);
  PlaceSave(a, "projQ", "good2.bak", good2);
  QueueLine(a,
            "projQ\tgood1.bak\n"  // 1
            "lonely\n"            // 2: one field
            "projQ\t../x\n"       // 3: leaves the repository
            "ghost\tnone.bak\n"   // 4: repository gone
            "projQ\tgone.bak\n"   // 5: save gone
            "projQ\tgood1.bak\n"  // 6: already handed off by line 1
            "projQ\tgood2.bak\n");
  // b stays down while the queue is read, so that line 1's transmission is
  // certainly still running when line 6 comes.
  ASSERT_TRUE(a.Start()) << a.Stderr();
  const std::string err = kErrorEntry;
  for (const std::string& entry :
       {err + "toforward line failed with 2", err + "toforward line failed with 3",
        err + "chdir(repo_name2) failed with 2", err + "fopen(save_name, \"rb\") failed with 2",
        std::string(kInfoEntry) + "already being forwarded"})
    EXPECT_TRUE(a.WaitForLine(entry)) << "missing: " << entry << "\n" << a.Stderr();
  EXPECT_FALSE(HasEntry(a.Entries(), "toforward line failed with 1")) << a.Stderr();
  EXPECT_FALSE(HasEntry(a.Entries(), "toforward line failed with 7")) << a.Stderr();
  EXPECT_TRUE(a.process().Running()) << a.Stderr();
  // Read, then emptied: the lines now live in the running transmissions.
  EXPECT_TRUE(WaitUntil([&] { return Contents(QueueOf(a)).empty(); })) << Contents(QueueOf(a));

  ASSERT_TRUE(b.Start()) << b.Stderr();
  EXPECT_TRUE(WaitForwarded(a, b, "projQ", "good1.bak", good1));
  EXPECT_TRUE(WaitForwarded(a, b, "projQ", "good2.bak", good2));
  const auto st = a.Stop();
  ASSERT_TRUE(st && st->Clean()) << (st ? ::testing::PrintToString(*st) : "still running");
  EXPECT_TRUE(NothingLeftToForward(a));
  // Sent once each: a second transmission of good1 would have appended.
  EXPECT_EQ(FilesUnder(b.root() / "saves"),
            (std::vector<std::string>{"projQ/good1.bak", "projQ/good2.bak"}));
  EXPECT_TRUE(HoldsBytes(SaveAt(b, "projQ", "good1.bak"), good1));
}

TEST_F(ForwardChainTest, RecordedProgressSendsOnlyTheRest) {
  Relay& a = MakeNode("a");
  Relay& b = MakeNode("b");
  Link(a, b, ForwardMode::Dial);
  const std::string data = RandomBytes(5000, 110);
  PlaceSave(a, "projP", "p.bak", data);
  fs::create_directories(a.root() / "forwards" / "projP");
  WriteFile(ProgressAt(a, "projP", "p.bak"), "1000");
  QueueLine(a, "projP\tp.bak\n");
  // What b kept of an earlier, interrupted transmission.
  PlaceSave(b, "projP", "p.bak", data.substr(0, 1000));
  WriteFile(MarkerAt(b, "projP", "p.bak"), "4000");

  ASSERT_TRUE(b.Start()) << b.Stderr();
  ASSERT_TRUE(a.Start()) << a.Stderr();
  // Bytes sent again from 0 would have grown b's copy beyond 5000.
  EXPECT_TRUE(WaitForwarded(a, b, "projP", "p.bak", data));
  const auto st = a.Stop();
  ASSERT_TRUE(st && st->Clean()) << (st ? ::testing::PrintToString(*st) : "still running");
  EXPECT_TRUE(NothingLeftToForward(a));
  EXPECT_TRUE(HoldsBytes(SaveAt(b, "projP", "p.bak"), data));
}

}  // namespace
}  // namespace tarnwick::test
