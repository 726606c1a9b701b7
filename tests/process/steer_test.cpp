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

}  // namespace
}  // namespace tw
