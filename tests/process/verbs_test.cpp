// The relay's verbs as an operator meets them: none of them starts a relay
// by mistake, check and status work beside a running relay, and --dir moves
// every file the relay reads.
#include <regex>

#include "support/harness.h"
#include "tarnwick_version.h"

namespace tw {
namespace {

using Verbs = Net;

TEST_F(Verbs, HelpVersionAndUsageErrorsStartNothing) {
  const Relay& r = NewRelay("r");  // valid settings: a stray relay would run
  const fs::path bin = r.dir / "tarnwick";
  Ran ran = Run(bin, {"--help"});
  EXPECT_EQ(ran.status, 0);
  EXPECT_EQ(ran.out.rfind("usage: tarnwick [--dir DIR]", 0), 0u) << ran.out;
  ran = Run(bin, {"--version"});
  EXPECT_EQ(ran.status, 0);
  EXPECT_EQ(ran.out, std::string("tarnwick ") + tarnwick::kVersion + "\n");
  for (const auto& args : {std::vector<std::string>{"--frobnicate"}, {"stauts"}, {"status", "--jsn"},
                           {"check", "--dir"}}) {
    ran = Run(bin, args);
    EXPECT_EQ(ran.status, 2) << args[0];
    EXPECT_NE(ran.err.find("usage: tarnwick"), std::string::npos) << ran.err;
    EXPECT_EQ(ran.err.find("Tarnwick state"), std::string::npos) << ran.err;
  }
}

// check: clean, broken, and beside the running relay; start-up only warns
// about an unknown key; status reads the same root with the relay up.
TEST_F(Verbs, CheckAndStatusBesideTheRelay) {
  Relay& r = NewRelay("r");
  const fs::path bin = r.dir / "tarnwick";
  Ran ran = Run(bin, {"check"});
  EXPECT_EQ(ran.status, 0) << ran.out << ran.err;
  EXPECT_NE(ran.out.find("OK: 0 error(s), 0 warning(s)"), std::string::npos) << ran.out;
  // Only the relay creates its lock: one left by check (run as root) could
  // keep the relay's own user from taking it.
  EXPECT_FALSE(Exists(r.root / "relay.lock"));
  ran = Run(bin, {"status", "--dir=" + (dir_ / "no-such-dir").string()});
  EXPECT_EQ(ran.status, 1);
  EXPECT_NE(ran.err.find("no-such-dir does not exist"), std::string::npos) << ran.err;

  // A misspelt key: check refuses it, the relay runs with a warning entry.
  Write(r.dir / "settings.ini", Read(r.dir / "settings.ini") + "[Connection]\nBandwidth=2MB\n");
  ran = Run(bin, {"check"});
  EXPECT_EQ(ran.status, 1) << ran.out;
  EXPECT_NE(ran.out.find("error: "), std::string::npos) << ran.out;
  EXPECT_NE(ran.out.find("did you mean Bandwith?"), std::string::npos) << ran.out;
  ASSERT_TRUE(r.Start()) << r.Err();
  EXPECT_TRUE(r.Line("warning: ")) << r.Err();
  EXPECT_NE(r.Err().find("Bandwidth"), std::string::npos) << r.Err();

  // With the relay up its ports are in use: check says why it skips them.
  r.WriteFiles();
  ran = Run(bin, {"check"});
  EXPECT_EQ(ran.status, 0) << ran.out;
  EXPECT_NE(ran.out.find("a relay is running on this backup root"), std::string::npos) << ran.out;

  ASSERT_EQ(SendStream(r.port, r.id, &client_, H("projV 5 v.bak") + "12345"), End::Notify);
  ASSERT_EQ(SendStream(r.port, r.id, &client_, H("projV 9 w.bak") + "123"), End::Notify);
  EXPECT_TRUE(r.Line("stored saves/projV/v.bak from 127.0.0.1: 5 bytes")) << r.Err();
  ran = Run(bin, {"status", "--json"});
  EXPECT_EQ(ran.status, 0) << ran.err;
  EXPECT_NE(ran.out.find("\"projV\""), std::string::npos) << ran.out;
  ran = Run(bin, {"status"});
  EXPECT_EQ(ran.status, 0) << ran.err;
  EXPECT_TRUE(std::regex_search(ran.out, std::regex("v\\.bak +complete +5"))) << ran.out;
  EXPECT_TRUE(std::regex_search(ran.out, std::regex("w\\.bak +pending +3 .*6"))) << ran.out;
  EXPECT_EQ(r.Stop(), 0);

  // A second relay on the same root is refused before RUNNING.
  r.Spawn();
  Relay& twin = NewRelay("twin");
  twin.root = r.root;
  twin.WriteFiles();
  ASSERT_TRUE(r.proc->WaitLine(kRunning)) << r.Err();
  twin.Spawn();
  EXPECT_EQ(twin.proc->Wait(), 1);
  EXPECT_NE(twin.Err().find("another relay is running on the backup root"), std::string::npos) << twin.Err();
  EXPECT_EQ(twin.Err().find(kRunning), std::string::npos) << twin.Err();
  EXPECT_EQ(r.Stop(), 0);
}

// --dir: settings.ini and every PEM file come from DIR, the forwarding
// contexts built after start-up included, so the backup root needs no
// copies.
TEST_F(Verbs, DirHoldsEveryFileAForwardingRelayReads) {
  Relay& a = NewRelay("a");
  Relay& b = NewRelay("b");
  Link(a, b, /*dial=*/false);  // a listens for b: its forward context is built after start-up
  for (const char* f : {"cert.pem", "key.pem", "forwardcert.pem"}) fs::remove(a.root / f);
  const fs::path elsewhere = dir_ / "bin";
  fs::create_directories(elsewhere);
  fs::copy_file(a.dir / "tarnwick", elsewhere / "tarnwick");
  a.proc = std::make_unique<Proc>(elsewhere / "tarnwick", std::vector<std::string>{"--dir", a.dir.string()},
                                  dir_ / "a-dir");
  ASSERT_TRUE(a.proc->WaitLine(kRunning)) << a.Err();
  ASSERT_TRUE(b.Start()) << b.Err();
  const std::string data = Random(50000, 77);
  ASSERT_EQ(SendStream(a.port, a.id, &client_, H("projD 50000 d.bak") + data), End::Notify);
  EXPECT_TRUE(Forwarded(a, b, "projD", "d.bak", data));
  EXPECT_TRUE(a.Line("forwarded projD/d.bak to ")) << a.Err();
  // The transmitter's last attempt, as status shows it from the state file.
  const Ran st = Run(elsewhere / "tarnwick", {"status", "--dir", a.dir.string()});
  EXPECT_EQ(st.status, 0) << st.err;
  EXPECT_NE(st.out.find("Last attempt: projD/d.bak, confirmed"), std::string::npos) << st.out;
  EXPECT_EQ(b.Stop(), 0);
  EXPECT_EQ(a.Stop(), 0);
}

}  // namespace
}  // namespace tw
