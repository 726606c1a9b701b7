// The steering verbs as an operator runs them against a relay process:
// retry and reload through its control socket, SIGHUP, and what they say
// when no relay runs.
#include <sys/stat.h>

#include "process/process.h"

namespace tw {
namespace {

const std::string kRelayBin = Bin("TARNWICK_RELAY", TARNWICK_BINARY);

TEST_F(Net, RetryAndReloadReachTheRunningRelayAndSayWhenNoneRuns) {
  Relay& r = NewRelay("r");
  const fs::path socket = r.root / "control.sock";
  auto steer = [&](const char* verb) { return Run(kRelayBin, {verb, "--dir", r.dir.string()}); };
  for (const char* verb : {"retry", "reload"}) {
    const Ran ran = steer(verb);
    EXPECT_EQ(ran.status, 3) << verb << ran.err;
    EXPECT_NE(ran.err.find("no relay runs for " + r.dir.string() + ": nothing listens on " + socket.string()),
              std::string::npos)
        << ran.err;
  }

  ASSERT_TRUE(r.Start()) << r.Err();
  struct stat st{};
  ASSERT_EQ(lstat(socket.c_str(), &st), 0);
  EXPECT_TRUE(S_ISSOCK(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  Ran ran = steer("retry");
  EXPECT_EQ(ran.status, 0) << ran.err;
  EXPECT_EQ(ran.out, "this relay does not forward ([Forward] PeerCN is empty): there is nothing to retry\n");

  // Refused: the findings, and the relay runs on as it was.
  r.ini["Connection"]["Bandwith"] = "20Mb";
  r.WriteFiles();
  ran = steer("reload");
  EXPECT_EQ(ran.status, 1) << ran.out << ran.err;
  EXPECT_EQ(ran.err.rfind("refused: " + (r.dir / "settings.ini").string() + " and its PEM files have 1 error(s)", 0),
            0u)
      << ran.err;
  EXPECT_NE(ran.err.find("\nerror: "), std::string::npos) << ran.err;
  EXPECT_TRUE(r.Line("the reload is refused: "));

  // SIGHUP reloads as the verb does, and stops nothing.
  r.ini["Connection"].erase("Bandwith");
  r.ini["Connection"]["HeaderTimeout"] = "3";
  r.WriteFiles();
  const std::size_t mark = r.proc->Mark();
  r.proc->Kill(SIGHUP);
  EXPECT_TRUE(r.Line("is reloaded: new connections use the PEM files as they are now and "
                     "[Connection] HeaderTimeout 10 -> 3",
                     mark))
      << r.Err();
  ran = steer("reload");
  EXPECT_EQ(ran.status, 0) << ran.err;
  EXPECT_NE(ran.out.find("reloaded " + (r.dir / "settings.ini").string()), std::string::npos) << ran.out;
  Write(dir_ / "in", "some bytes");
  EXPECT_EQ(Send(r, "p", dir_ / "in").status, 0);

  EXPECT_EQ(r.Stop(), 0);
  EXPECT_FALSE(Exists(socket));
  EXPECT_EQ(steer("retry").status, 3);
}

// Without a relay drop holds relay.lock itself; with one it goes through
// the relay, and a relay it cannot reach is never worked around.
TEST_F(Net, DropRemovesASaveWithOrWithoutTheRelay) {
  Relay& r = NewRelay("r");
  Write(r.Save("p", "half"), "ab");
  Write(r.Save("p", "half_pending"), "4");
  Write(r.Save("p", "whole"), "abc");
  Write(r.root / "aside" / "p" / "x.1700000000", "old");
  auto drop = [&](std::vector<std::string> args) {
    args.insert(args.begin(), {"drop", "--dir", r.dir.string()});
    return Run(kRelayBin, args);
  };
  const struct {
    std::vector<std::string> args;
    int status;
    std::string says;
    fs::path gone;
  } stopped[] = {
      {{"p/half"}, 0, "removed " + r.Save("p", "half").string() + "\nremoved " + r.Save("p", "half_pending").string(),
       r.Save("p", "half_pending")},
      {{"p/whole"}, 1, "saves/p/whole is a complete save this relay holds; give --force", {}},
      {{"--force", "p/whole"}, 0, "removed " + r.Save("p", "whole").string(), r.Save("p", "whole")},
      {{"p/x.1700000000"}, 0, "removed " + (r.root / "aside" / "p" / "x.1700000000").string(),
       r.root / "aside" / "p" / "x.1700000000"},
      {{"--force", "aside/p/y"}, 2, "--force is for saves", {}},
  };
  for (const auto& c : stopped) {
    SCOPED_TRACE(c.args.back());
    const Ran ran = drop(c.args);
    EXPECT_EQ(ran.status, c.status) << ran.out << ran.err;
    EXPECT_NE((ran.out + ran.err).find(c.says), std::string::npos) << ran.out << ran.err;
    if (!c.gone.empty()) {
      EXPECT_FALSE(Exists(c.gone));
    }
  }
  Write(r.Save("p", "late"), "a");
  Write(r.Save("p", "late_pending"), "1");
  ASSERT_TRUE(r.Start()) << r.Err();
  // The relay's socket gone: its lock still keeps drop's hands off.
  fs::remove(r.root / "control.sock");
  Ran ran = drop({"p/late"});
  EXPECT_EQ(ran.status, 1);
  EXPECT_NE(ran.err.find("but does not answer on " + (r.root / "control.sock").string()), std::string::npos) << ran.err;
  EXPECT_TRUE(Exists(r.Save("p", "late")));
  EXPECT_EQ(r.Stop(), 0);
  ASSERT_TRUE(r.Start()) << r.Err();
  ran = drop({"p/late"});
  EXPECT_EQ(ran.status, 0) << ran.err;
  EXPECT_FALSE(Exists(r.Save("p", "late")));
  EXPECT_TRUE(r.Line("the operator dropped saves/p/late (pending): 2 file(s) removed"));
  EXPECT_EQ(r.Stop(), 0);
}

}  // namespace
}  // namespace tw
