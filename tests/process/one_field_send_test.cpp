// One-field streams sent with the real tarnwick-send: date-named saves, the
// suffix rule, and the sender's exit statuses when the relay is unreachable
// or not trusted.
#include <gtest/gtest.h>

#include <algorithm>

#include "support/relay_fixture.h"
#include "support/tls_io.h"

namespace tarnwick::test {
namespace {

class OneFieldSendTest : public RelayTest {
 protected:
  fs::path WriteInput(const std::string& name, const std::string& bytes) {
    const fs::path p = dir_ / name;
    WriteFile(p, bytes);
    return p;
  }

  std::vector<std::string> SendArgs(std::uint16_t port, const std::string& repo,
                                    const fs::path& file, bool with_cert = true) {
    std::vector<std::string> a = {"--host", "127.0.0.1",          "--port",
                                  std::to_string(port),           "--repo",
                                  repo,    "--ca",                relay_id_.cert_path.string(),
                                  "--peer-name", relay_id_.name,  "--wait",
                                  "20"};
    if (with_cert) {
      a.insert(a.end(), {"--cert", client_id_.cert_path.string(), "--key",
                         client_id_.key_path.string()});
    }
    a.push_back(file.string());
    return a;
  }
};

// Exactly one line "tarnwick-send: <reason>".
::testing::AssertionResult OneFailureLine(const std::string& err) {
  const auto lines = std::count(err.begin(), err.end(), '\n');
  if (lines == 1 && err.rfind("tarnwick-send: ", 0) == 0 && err.back() == '\n')
    return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "stderr was: \"" << err << "\"";
}

TEST_F(OneFieldSendTest, SameDayStreamsTakeTheDateThenSuffixes) {
  Relay& relay = MakeRelay({});
  ASSERT_TRUE(relay.Start()) << relay.Stderr();

  // Binary content with NULs and blanks: the stream is not text after the header.
  const std::string first = RandomBytes(100 * 1024 + 7, 1);
  const std::string second = RandomBytes(3000, 2);
  const std::string third = std::string("a\0b \n", 5) + RandomBytes(20000, 3);
  const fs::path in1 = WriteInput("in1", first), in2 = WriteInput("in2", second),
                 in3 = WriteInput("in3", third);

  const std::string date = LocalDate();
  const SendRun r1 = RunSend(SendArgs(relay.port(), "projA", in1));
  // The second sender presents no certificate: the listen role accepts it.
  const SendRun r2 = RunSend(SendArgs(relay.port(), "projA", in2, /*with_cert=*/false));
  const SendRun r3 = RunSend(SendArgs(relay.port(), "projA", in3));
  if (LocalDate() != date) GTEST_SKIP() << "the local date changed during the test";

  ASSERT_TRUE(r1.status && r1.status->Clean()) << (r1.status ? ::testing::PrintToString(*r1.status) : "hung") << " " << r1.stderr_text;
  ASSERT_TRUE(r2.status && r2.status->Clean()) << (r2.status ? ::testing::PrintToString(*r2.status) : "hung") << " " << r2.stderr_text;
  ASSERT_TRUE(r3.status && r3.status->Clean()) << (r3.status ? ::testing::PrintToString(*r3.status) : "hung") << " " << r3.stderr_text;
  // Standard error is a file here, so there is no progress to show either.
  EXPECT_EQ(r1.stderr_text, "");

  const fs::path repo = Saves() / "projA";
  EXPECT_TRUE(HoldsBytes(repo / date, first));
  EXPECT_TRUE(HoldsBytes(repo / (date + "_1"), second));
  EXPECT_TRUE(HoldsBytes(repo / (date + "_2"), third));
  EXPECT_EQ(Tree(repo), (std::vector<std::string>{date, date + "_1", date + "_2"}));
}

TEST_F(OneFieldSendTest, LeftoverMarkerMakesItsNameTaken) {
  const std::string date = LocalDate();
  const fs::path repo = Saves() / "projB";
  fs::create_directories(repo);
  // A marker left by an interrupted stream whose data file is gone.
  WriteFile(repo / (date + "_pending"), "17");
  Relay& relay = MakeRelay({});
  ASSERT_TRUE(relay.Start()) << relay.Stderr();

  const std::string a = RandomBytes(5000, 4);
  const SendRun r1 = RunSend(SendArgs(relay.port(), "projB", WriteInput("a", a)));
  ASSERT_TRUE(r1.status && r1.status->Clean()) << r1.stderr_text;

  // The next free name skips one whose marker alone exists, too.
  WriteFile(repo / (date + "_2_pending"), "5");
  const std::string b = RandomBytes(6000, 5);
  const SendRun r2 = RunSend(SendArgs(relay.port(), "projB", WriteInput("b", b)));
  ASSERT_TRUE(r2.status && r2.status->Clean()) << r2.stderr_text;
  if (LocalDate() != date) GTEST_SKIP() << "the local date changed during the test";

  EXPECT_TRUE(HoldsBytes(repo / (date + "_1"), a));
  EXPECT_TRUE(HoldsBytes(repo / (date + "_3"), b));
  EXPECT_FALSE(Exists(repo / date));
  // The old markers belong to other names and are left alone.
  EXPECT_EQ(Contents(repo / (date + "_pending")), "17");
  EXPECT_EQ(Contents(repo / (date + "_2_pending")), "5");
  EXPECT_EQ(Tree(repo), (std::vector<std::string>{date + "_1", date + "_2_pending", date + "_3",
                                                  date + "_pending"}));
}

TEST_F(OneFieldSendTest, SenderExitStatusesForUnreachableAndUntrustedRelays) {
  const fs::path in = WriteInput("in", RandomBytes(1000, 6));

  // Nothing listens on the port.
  const SendRun none = RunSend(SendArgs(FreePort(), "projC", in));
  ASSERT_TRUE(none.status.has_value()) << "tarnwick-send hung";
  EXPECT_TRUE(none.status->ExitedWith(4)) << *none.status;
  EXPECT_TRUE(OneFailureLine(none.stderr_text));

  Relay& relay = MakeRelay({});
  ASSERT_TRUE(relay.Start()) << relay.Stderr();

  // The relay's certificate is not in the trusted file.
  std::vector<std::string> untrusted = SendArgs(relay.port(), "projC", in);
  auto ca = std::find(untrusted.begin(), untrusted.end(), "--ca");
  *(ca + 1) = rogue_id_.cert_path.string();
  const SendRun r1 = RunSend(untrusted);
  ASSERT_TRUE(r1.status.has_value()) << "tarnwick-send hung";
  EXPECT_TRUE(r1.status->ExitedWith(5)) << *r1.status;
  EXPECT_TRUE(OneFailureLine(r1.stderr_text));

  // Trusted certificate, but not the name the sender expects.
  std::vector<std::string> misnamed = SendArgs(relay.port(), "projC", in);
  auto pn = std::find(misnamed.begin(), misnamed.end(), "--peer-name");
  *(pn + 1) = "elsewhere.test";
  const SendRun r2 = RunSend(misnamed);
  ASSERT_TRUE(r2.status.has_value()) << "tarnwick-send hung";
  EXPECT_TRUE(r2.status->ExitedWith(5)) << *r2.status;
  EXPECT_TRUE(OneFailureLine(r2.stderr_text));

  EXPECT_EQ(Tree(backup_), std::vector<std::string>{});
}

TEST_F(OneFieldSendTest, RefusedClientCertificateIsAHandshakeRefusal) {
  Relay& relay = MakeRelay({});
  ASSERT_TRUE(relay.Start()) << relay.Stderr();
  const fs::path in = WriteInput("in", RandomBytes(100, 7));

  // With TLS 1.3 the relay's refusal of the client certificate reaches the
  // sender only after its own side of the handshake is done; it is still a
  // refused handshake, not a transfer that went wrong.
  std::vector<std::string> args = SendArgs(relay.port(), "projC", in);
  *(std::find(args.begin(), args.end(), "--cert") + 1) = rogue_id_.cert_path.string();
  *(std::find(args.begin(), args.end(), "--key") + 1) = rogue_id_.key_path.string();
  const SendRun run = RunSend(args);
  ASSERT_TRUE(run.status.has_value()) << "tarnwick-send hung";
  EXPECT_TRUE(run.status->ExitedWith(5)) << *run.status << ": " << run.stderr_text;
  EXPECT_TRUE(OneFailureLine(run.stderr_text));
  EXPECT_EQ(Tree(backup_), std::vector<std::string>{});
}

}  // namespace
}  // namespace tarnwick::test
