// What the relay refuses: clients it does not trust and headers it cannot
// use. A refusal leaves nothing behind, is never confirmed with
// close_notify, and does not stop the relay from serving the next stream.
#include <gtest/gtest.h>

#include "support/relay_fixture.h"

namespace tarnwick::test {
namespace {

class RefusalTest : public RelayTest {
 protected:
  // Nothing below the backup root, except perhaps an empty saves/.
  ::testing::AssertionResult NothingStored() {
    const auto tree = Tree(backup_);
    if (tree.empty() || tree == std::vector<std::string>{"saves"})
      return ::testing::AssertionSuccess();
    auto failure = ::testing::AssertionFailure() << "backup root holds:";
    for (const auto& e : tree) failure << " " << e;
    return failure;
  }

  // A refused stream must not look confirmed, and the relay must not leave
  // the connection hanging either.
  static ::testing::AssertionResult ClosedWithoutConfirmation(PeerEnd end) {
    if (end == PeerEnd::Eof || end == PeerEnd::Error) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "relay ended with " << end;
  }
};

const std::string kAcceptFailed =
    std::string(kErrorEntry) + "SSL_accept failed from 127.0.0.1.\\n failed with 1";
const std::string kBogus = std::string(kInfoEntry) + "Bogus connection";

// Index of the first entry at or after start containing needle, or -1.
int Find(const std::vector<std::string>& lines, const std::string& needle, int start = 0) {
  for (int i = start; i < static_cast<int>(lines.size()); ++i)
    if (lines[i].find(needle) != std::string::npos) return i;
  return -1;
}

TEST_F(RefusalTest, UntrustedOrMisnamedClientIsRefusedAndTheNextIsServed) {
  Relay& relay = MakeRelay({});
  ASSERT_TRUE(relay.Start()) << relay.Stderr();

  struct Case {
    const char* label;
    const Identity* id;
  } cases[] = {{"certificate not trusted", &rogue_id_}, {"trusted but wrong name", &misnamed_id_}};
  for (const Case& k : cases) {
    SCOPED_TRACE(k.label);
    const std::size_t mark = relay.Mark();
    TlsClient c(ClientWith(*k.id));
    // With TLS 1.3 the client may finish its side of the handshake before the
    // relay has looked at its certificate, so only the outcome is checked.
    if (c.Connect(relay.port()) && c.Send(Header("projA") + "data")) {
      EXPECT_TRUE(ClosedWithoutConfirmation(c.Finish(ClientEnding::CloseNotify)));
    }
    ASSERT_TRUE(relay.WaitForLine(kBogus, mark)) << relay.Stderr();
    const auto entries = relay.Entries(mark);
    const int failed = Find(entries, kAcceptFailed);
    const int bogus = Find(entries, kBogus);
    EXPECT_NE(failed, -1);
    EXPECT_LT(failed, bogus) << "the handshake failure is reported before Bogus connection";
    EXPECT_TRUE(NothingStored());
  }

  std::string error;
  EXPECT_EQ(SendStream(relay.port(), TrustedClient(), Header("projA 4 ok.bak") + "good", &error),
            PeerEnd::CloseNotify)
      << error;
  EXPECT_EQ(Contents(Saves() / "projA" / "ok.bak"), "good");
}

TEST_F(RefusalTest, EmptyPeerNameChecksOnlyTheChain) {
  RelayConfig cfg;
  cfg.peer_cn = "";
  Relay& relay = MakeRelay(cfg);
  ASSERT_TRUE(relay.Start()) << relay.Stderr();

  std::string error;
  EXPECT_EQ(SendStream(relay.port(), ClientWith(misnamed_id_), Header("projN 2 n.bak") + "ok",
                       &error),
            PeerEnd::CloseNotify)
      << error;
  EXPECT_EQ(Contents(Saves() / "projN" / "n.bak"), "ok");

  const std::size_t mark = relay.Mark();
  TlsClient c(ClientWith(rogue_id_));
  if (c.Connect(relay.port()) && c.Send(Header("projN 2 r.bak") + "no")) {
    EXPECT_TRUE(ClosedWithoutConfirmation(c.Finish(ClientEnding::CloseNotify)));
  }
  EXPECT_TRUE(relay.WaitForLine(kBogus, mark)) << relay.Stderr();
  EXPECT_FALSE(Exists(Saves() / "projN" / "r.bak"));
}

TEST_F(RefusalTest, BadHeadersCreateNothingAndAreNotConfirmed) {
  Relay& relay = MakeRelay({});
  ASSERT_TRUE(relay.Start()) << relay.Stderr();

  // A connection that ends right after the handshake is no stream at all.
  {
    TlsClient c(AnonymousClient());
    ASSERT_TRUE(c.Connect(relay.port())) << c.error();
    const PeerEnd end = c.Finish(ClientEnding::CloseNotify);
    EXPECT_NE(end, PeerEnd::Timeout) << "the relay kept an empty connection open";
    EXPECT_EQ(Tree(backup_), std::vector<std::string>{}) << "an empty stream created something";
  }

  const std::string repo_refused = "invalid repo_name failed with 0";
  const std::string save_refused = "invalid save_name failed with 0";
  struct Case {
    std::string label;
    std::string bytes;
    std::string entry;
  };
  const std::vector<Case> cases = {
      {"no NUL in the first 2048 bytes", std::string(2048, 'a'), "wrong format failed with -1"},
      {"empty header", Header("") + "data", "wrong format failed with 0"},
      {"blanks only", Header("   ") + "data", "wrong format failed with 0"},
      {"two fields", Header("projA 12") + "data", "wrong format failed with 2"},
      {"negative count", Header("projA -5 s.bak") + "data", "wrong format failed with 3"},
      {"repo ..", Header("..") + "data", repo_refused},
      {"repo .", Header(".") + "data", repo_refused},
      {"repo with /", Header("a/b") + "data", repo_refused},
      {"repo with backslash", Header("a\\b") + "data", repo_refused},
      {"repo with colon", Header("c:") + "data", repo_refused},
      {"repo with control character", Header("x\x01y") + "data", repo_refused},
      {"repo of 300 bytes", Header(std::string(300, 'r')) + "data", repo_refused},
      {"repo of 248 bytes", Header(std::string(248, 'r')) + "data", repo_refused},
      {"three fields, bad repo", Header("../x 4 s.bak") + "data", repo_refused},
      {"save ..", Header("projA 4 ..") + "data", save_refused},
      {"save with /", Header("projA 4 a/b") + "data", save_refused},
      {"save with colon", Header("projA 4 c:") + "data", save_refused},
      {"save of 248 bytes", Header("projA 4 " + std::string(248, 's')) + "data", save_refused},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.label);
    const std::size_t mark = relay.Mark();
    TlsClient c(AnonymousClient());
    ASSERT_TRUE(c.Connect(relay.port())) << c.error();
    EXPECT_TRUE(c.Send(k.bytes)) << c.error();
    EXPECT_TRUE(ClosedWithoutConfirmation(c.Finish(ClientEnding::CloseNotify)));
    EXPECT_TRUE(relay.WaitForLine(std::string(kErrorEntry) + k.entry, mark))
        << relay.Stderr().substr(mark);
    EXPECT_TRUE(NothingStored());
    if (!NothingStored()) {
      std::error_code ec;
      fs::remove_all(Saves(), ec);  // keep one failure from masking the next case
    }
  }

  // Still serving.
  const std::string date = LocalDate();
  std::string error;
  EXPECT_EQ(SendStream(relay.port(), AnonymousClient(), Header("projZ") + "hello", &error),
            PeerEnd::CloseNotify)
      << error;
  if (LocalDate() == date) {
    EXPECT_EQ(Contents(Saves() / "projZ" / date), "hello");
  }
}

}  // namespace
}  // namespace tarnwick::test
