// The programs as an operator runs them: usage, check, status, a second
// relay on a root, install and delete, and tarnwick-send's exit statuses.
#include <sys/stat.h>

#include "process/process.h"

namespace tw {
namespace {

const std::string kRelayBin = Bin("TARNWICK_RELAY", TARNWICK_BINARY);
const std::string kSendBin = Bin("TARNWICK_SEND", TARNWICK_SEND_BINARY);

TEST_F(Net, VerbsStartNothingAndSayWhatIsWrong) {
  Relay& r = NewRelay("r");
  const struct {
    std::vector<std::string> args;
    int status;
    std::string out, err;  // found in standard output / error
  } cases[] = {
      {{"--help"}, 0, "usage: tarnwick", ""},
      {{"frobnicate"}, 2, "", "unknown command 'frobnicate'"},
      {{"check", "--dir", r.dir.string()}, 0, "OK: 0 error(s)", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args[0]);
    const Ran ran = Run(kRelayBin, c.args);
    EXPECT_EQ(ran.status, c.status) << ran.out << ran.err;
    EXPECT_NE(ran.out.find(c.out), std::string::npos) << ran.out;
    EXPECT_NE(ran.err.find(c.err), std::string::npos) << ran.err;
  }
  r.ini["Connection"]["MaxStreams"] = "many";
  r.WriteFiles();
  Ran ran = Run(kRelayBin, {"check", "--dir", r.dir.string()});
  EXPECT_EQ(ran.status, 1);
  EXPECT_NE(ran.out.find("error: [Connection] MaxStreams=many"), std::string::npos) << ran.out;
  r.ini["Connection"].erase("MaxStreams");
  r.WriteFiles();

  // Beside a running relay: the ports are its own, status reads the root.
  ASSERT_TRUE(r.Start()) << r.Err();
  ran = Run(kRelayBin, {"check", "--dir", r.dir.string()});
  EXPECT_EQ(ran.status, 0) << ran.out;
  EXPECT_NE(ran.out.find("a relay is running on this backup root"), std::string::npos) << ran.out;
  ASSERT_EQ(SendStream(r.port, r.id, &client_, H("projV 9 w.bak") + "123"), End::Notify);
  ran = Run(kRelayBin, {"status", "--dir", r.dir.string()});
  EXPECT_EQ(ran.status, 0) << ran.err;
  EXPECT_NE(ran.out.find("w.bak"), std::string::npos) << ran.out;
  ran = Run(kRelayBin, {"status", "--json", "--dir", r.dir.string()});
  EXPECT_NE(ran.out.find("\"projV\""), std::string::npos) << ran.out;

  // A second relay on the same root is refused before RUNNING.
  Relay& twin = NewRelay("twin");
  twin.ini["Backup"]["Dir"] = r.root.string();
  twin.WriteFiles();
  twin.Start();
  EXPECT_EQ(twin.proc->Wait(), 1);
  EXPECT_NE(twin.Err().find("another relay is running on the backup root"), std::string::npos) << twin.Err();
  EXPECT_EQ(r.Stop(), 0);

  // install and delete through a stand-in systemctl, units in a folder of
  // the test's: one unit per instance, never another's replaced.
  const fs::path units = dir_ / "units", log = dir_ / "systemctl.log";
  fs::create_directories(units);
  Write(dir_ / "bin" / "systemctl", "#!/bin/sh\necho \"$*\" >> '" + log.string() + "'\n");
  chmod((dir_ / "bin" / "systemctl").c_str(), 0755);
  setenv("TARNWICK_SYSTEMD_DIR", units.c_str(), 1);
  setenv("PATH", ((dir_ / "bin").string() + ":" + std::getenv("PATH")).c_str(), 1);
  ran = Run(kRelayBin, {"install", "one", "--dir", r.dir.string()});
  EXPECT_EQ(ran.status, 0) << ran.out << ran.err;
  EXPECT_NE(Read(units / "tarnwick-one.service").find("--dir " + fs::canonical(r.dir).string()), std::string::npos);
  ran = Run(kRelayBin, {"install", "one", "--dir", twin.dir.string()});
  EXPECT_EQ(ran.status, 1);
  EXPECT_NE(ran.err.find("already installed for the relay in"), std::string::npos) << ran.err;
  EXPECT_EQ(Run(kRelayBin, {"delete", "one"}).status, 0);
  EXPECT_FALSE(Exists(units / "tarnwick-one.service"));
  EXPECT_EQ(Run(kRelayBin, {"delete", "one"}).status, 1);
  EXPECT_NE(Read(log).find("enable tarnwick-one.service"), std::string::npos) << Read(log);
  unsetenv("TARNWICK_SYSTEMD_DIR");
}

TEST_F(Net, SenderExitStatusSaysWhatHappened) {
  Relay& r = NewRelay("r");
  r.ini["Connection"]["RequireClientCert"] = "1";
  r.WriteFiles();
  ASSERT_TRUE(r.Start()) << r.Err();
  const std::string data = Random(300 * 1024 + 5, 41);
  Write(dir_ / "in", data);
  Ran sent = Send(r, "projS", dir_ / "in");
  EXPECT_EQ(sent.status, 0) << sent.err;
  EXPECT_EQ(sent.out + sent.err, "");  // --quiet
  EXPECT_EQ(Read(r.Save("projS", Date())), data);

  const std::string port = std::to_string(r.port), other = std::to_string(FreePort());
  const struct {
    std::vector<std::string> args;
    int status;
    std::string why;
  } cases[] = {
      {{"--colour", "x"}, 2, "unknown option --colour"},
      {{"--host", "127.0.0.1", "--port", port, "--repo", "a:b", "--ca", r.id.cert.string()}, 2, "the character ':'"},
      {{"--host", "127.0.0.1", "--port", port, "--repo", "p", "--ca", (dir_ / "none.pem").string()}, 2, "cannot load trusted"},
      {{"--host", "127.0.0.1", "--port", other, "--repo", "p", "--ca", r.id.cert.string()}, 4, "cannot connect"},
      {{"--host", "127.0.0.1", "--port", port, "--repo", "p", "--ca", client_.cert.string()}, 5, "refused"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = c.args;
    args.push_back((dir_ / "in").string());
    const Ran ran = Run(kSendBin, args);
    EXPECT_EQ(ran.status, c.status) << ran.err;
    EXPECT_NE(ran.err.find(c.why), std::string::npos) << ran.err;
  }
  EXPECT_EQ(r.Stop(), 0);
}

}  // namespace
}  // namespace tw
