// The programs as an operator runs them: usage, check, status, a second
// relay on a root, install and delete, and tarnwick-send's exit statuses
// and its --save streams against a scripted relay.
#include <openssl/err.h>
#include <sys/stat.h>

#include <mutex>
#include <sstream>

#include "process/process.h"

namespace tw {
namespace {

const std::string kRelayBin = Bin("TARNWICK_RELAY", TARNWICK_BINARY);
const std::string kSendBin = Bin("TARNWICK_SEND", TARNWICK_SEND_BINARY);

std::string Sha256sum(const fs::path& file) {
  std::string line;
  std::FILE* p = popen(("sha256sum '" + file.string() + "'").c_str(), "r");
  for (int c; p && (c = std::fgetc(p)) != EOF && c != ' ';) line.push_back(static_cast<char>(c));
  if (p) pclose(p);
  return line;
}

// A stream as a scripted relay read it: at most max bytes after the header.
struct Seen {
  std::string header, bytes;
  bool notify = false;
};
Seen ReadStream(SSL* ssl, std::size_t max = SIZE_MAX) {
  Seen s;
  s.header = UpToNul(ssl);
  char buf[16384];
  int n = 1;
  while (s.bytes.size() < max && (n = SSL_read(ssl, buf, static_cast<int>(std::min(sizeof buf, max - s.bytes.size())))) > 0)
    s.bytes.append(buf, n);
  s.notify = n <= 0 && SSL_get_error(ssl, n) == SSL_ERROR_ZERO_RETURN;
  ERR_clear_error();
  return s;
}
void Say(SSL* ssl, const std::string& text) { SSL_write(ssl, text.c_str(), static_cast<int>(text.size() + 1)); }

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
  EXPECT_NE(ran.out.find("\"running\": true"), std::string::npos) << ran.out;
  // verify and drop beside it: the exit statuses scripts read; the
  // pending w.bak is not read.
  ASSERT_EQ(SendStream(r.port, r.id, &client_, H("projV 3 c.bak") + "abc"), End::Notify);
  ran = Run(kRelayBin, {"verify", "--dir", r.dir.string()});
  EXPECT_EQ(ran.status, 0) << ran.out << ran.err;
  EXPECT_NE(ran.out.find("OK: checked 1 save, 3 bytes"), std::string::npos) << ran.out;
  EXPECT_EQ(Run(kRelayBin, {"verify", "--dir", r.dir.string(), "projV/../x"}).status, 2);
  EXPECT_EQ(Run(kRelayBin, {"drop", "--dir", r.dir.string(), "aside/projV/none"}).status, 1);

  // A second relay on the same root is refused before RUNNING.
  Relay& twin = NewRelay("twin");
  twin.ini["Backup"]["Dir"] = r.root.string();
  twin.WriteFiles();
  twin.Start();
  EXPECT_EQ(twin.proc->Wait(), 1);
  EXPECT_NE(twin.Err().find("another relay is running on the backup root"), std::string::npos) << twin.Err();
  EXPECT_EQ(r.Stop(), 0);
  // Killed outright, it leaves relay.lock behind, unlocked: not running.
  ASSERT_TRUE(r.Start()) << r.Err();
  r.proc->Kill(SIGKILL);
  EXPECT_EQ(r.proc->Wait(), 128 + SIGKILL);
  ran = Run(kRelayBin, {"status", "--dir", r.dir.string()});
  EXPECT_EQ(ran.status, 3) << ran.out << ran.err;
  EXPECT_NE(ran.out.find("Relay: NOT RUNNING"), std::string::npos) << ran.out;

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

// A packaged program in /usr/bin has no relay beside it: without --dir it
// points at the instances, and list finds them and whether each runs.
TEST_F(Net, ListAndTheHintWithoutDir) {
  const fs::path bin = dir_ / "bin" / "tarnwick";
  fs::create_directories(bin.parent_path());
  fs::copy_file(kRelayBin, bin);
  for (const std::vector<std::string>& args : {std::vector<std::string>{}, {"status"}, {"check"}}) {
    const Ran ran = Run(bin, args);
    EXPECT_EQ(ran.status, 2) << ran.err;
    EXPECT_NE(ran.err.find("give --dir /etc/tarnwick/NAME, or run the unit tarnwick@NAME"), std::string::npos) << ran.err;
  }
  Write(bin.parent_path() / "settings.ini", "[Backup]\nDir=" + dir_.string() + "\n");
  EXPECT_EQ(Run(bin, {"status"}).err.find("--dir /etc/tarnwick/NAME"), std::string::npos);

  Relay& a = NewRelay("a");
  NewRelay("b").ini["Backup"]["Dir"] = "../b-root";  // relative: taken from b's directory
  relays_.back()->WriteFiles();
  fs::create_directories(dir_ / "c");  // no settings.ini: not a relay
  ASSERT_TRUE(a.Start()) << a.Err();
  Ran ran = Run(kRelayBin, {"list", dir_.string()});
  EXPECT_EQ(ran.status, 0) << ran.err;
  EXPECT_NE(ran.out.find("a     running      " + a.root.string() + "\n"), std::string::npos) << ran.out;
  EXPECT_NE(ran.out.find("b     not running  " + (dir_ / "b-root").string() + "\n"), std::string::npos) << ran.out;
  EXPECT_NE(ran.out.find("bin   not running  " + dir_.string() + "\n"), std::string::npos) << ran.out;
  EXPECT_EQ(ran.out.find("\nc "), std::string::npos) << ran.out;
  EXPECT_EQ(Run(kRelayBin, {"list", (dir_ / "none").string()}).status, 2);
  EXPECT_EQ(a.Stop(), 0);
}

TEST_F(Net, SenderExitStatusSaysWhatHappened) {
  Relay& r = NewRelay("r");
  r.ini["Connection"]["RequireClientCert"] = "1";
  r.ini["Connection"]["MaxStreams"] = "1";
  r.WriteFiles();
  ASSERT_TRUE(r.Start()) << r.Err();
  const std::string data = Random(300 * 1024 + 5, 41);
  Write(dir_ / "in", data);
  Ran sent = Send(r, "projS", dir_ / "in");
  EXPECT_EQ(sent.status, 0) << sent.err;
  EXPECT_EQ(sent.out + sent.err, "");  // --quiet
  EXPECT_EQ(Read(r.Save("projS", Date())), data);

  const std::string port = std::to_string(r.port), other = std::to_string(FreePort());
  sent = Run(kSendBin, {"--host", "127.0.0.1", "--port", port, "--repo", "projS", "--ca", r.id.cert.string(),
                        "--peer-name", r.id.name, "--cert", client_.cert.string(), "--key", client_.key.string(),
                        (dir_ / "in").string()});
  EXPECT_EQ(sent.status, 0) << sent.err;
  EXPECT_NE(sent.out.find(", sha256 " + Sha256sum(dir_ / "in") + ", "), std::string::npos) << sent.out;
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
      {{"--host", "127.0.0.1", "--port", port, "--repo", "p", "--ca", r.id.cert.string(), "--save", "s"}, 8, "--save needs --cert"},
      {{"--host", "127.0.0.1", "--port", port, "--repo", "p", "--ca", r.id.cert.string(), "--peer-name", r.id.name},
       19, "the relay requires a client certificate: give --cert and --key"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = c.args;
    args.push_back((dir_ / "in").string());
    const Ran ran = Run(kSendBin, args);
    EXPECT_EQ(ran.status, c.status) << ran.err;
    EXPECT_NE(ran.err.find(c.why), std::string::npos) << ran.err;
  }
  // The one place (MaxStreams=1) is taken: the relay says so at once.
  Client holder(r.port, r.id, &client_);
  ASSERT_TRUE(holder.Send(H("projS 6 held 0") + "abc") && WaitFor([&] { return Exists(r.Save("projS", "held")); }));
  sent = Send(r, "projS", dir_ / "in");
  EXPECT_EQ(sent.status, 15);
  EXPECT_EQ(sent.err, "tarnwick-send: the relay refused the stream: 1 stream is being stored (MaxStreams); try again in a few minutes\n");
  EXPECT_EQ(r.Stop(), 0);
}

// A relay listening on every address takes IPv4 and IPv6 senders alike;
// an IPv6 host is written bare or in brackets, and shown in brackets.
TEST_F(Net, SenderReachesARelayOnEveryAddressOverIPv6) {
  if (!HasIPv6Loopback()) GTEST_SKIP() << "no IPv6 on the loopback: ::1 cannot be bound";
  Relay& r = NewRelay("r");
  ASSERT_TRUE(r.Start()) << r.Err();
  const std::string data = Random(70000, 7), port = std::to_string(r.port);
  Write(dir_ / "in", data);
  for (const std::string host : {"::1", "[::1]"}) {
    const std::string repo = host == "::1" ? "bare" : "bracketed";
    const Ran sent = Run(kSendBin, {"--host", host, "--port", port, "--repo", repo, "--ca", r.id.cert.string(),
                                    "--peer-name", r.id.name, "--cert", client_.cert.string(), "--key",
                                    client_.key.string(), "--json", (dir_ / "in").string()});
    EXPECT_EQ(sent.status, 0) << host << ": " << sent.err;
    EXPECT_NE(sent.out.find("\"relay\":\"[::1]:" + port + "\""), std::string::npos) << sent.out;
    EXPECT_TRUE(Read(r.Save(repo, Date())) == data) << host << ": not stored whole";
  }
  EXPECT_EQ(r.Stop(), 0);
}

struct SaveSend : Net {
  void SetUp() override {
    Net::SetUp();
    relay_id = MakeId(dir_, "fake.test");
    in = dir_ / "in";
  }
  Id relay_id;
  fs::path in;
  std::mutex m;
  Ran Save(std::uint16_t port) {
    return Run(kSendBin, {"--host", "127.0.0.1", "--port", std::to_string(port), "--repo", "p", "--ca", relay_id.cert.string(),
                          "--peer-name", relay_id.name, "--cert", client_.cert.string(), "--key", client_.key.string(),
                          "--wait", "20", "--save", "big", "--json", in.string()});
  }
};

// A relay that gives no answer to the probe, answers "have" without the
// identity (a relay that ignores identities would splice), or refuses the
// name, gets the probe and not one byte more.
TEST_F(SaveSend, RefusedOrUnansweredProbeSendsNothing) {
  Write(in, Random(70000, 7));
  const std::string probe = "p 0 big 70000 sha256:" + Sha256sum(in);
  for (const char* how : {"close_notify", "plain end", "bare have", "conflict"}) {
    SCOPED_TRACE(how);
    std::vector<Seen> seen;
    Server relay(relay_id, client_, [&](SSL* ssl, int) {
      // Recorded before the answer: the sender may exit the moment it has it.
      std::lock_guard lock(m);
      seen.push_back(ReadStream(ssl));
      if (how == std::string("close_notify")) SSL_shutdown(ssl);
      if (how == std::string("conflict")) Say(ssl, "conflict");
      if (how == std::string("bare have")) Say(ssl, "have 0");
    });
    const Ran ran = Save(relay.port);
    EXPECT_EQ(ran.status, how == std::string("conflict") ? 10 : 9) << ran.err;
    EXPECT_NE(ran.err.find(how == std::string("conflict") ? "conflict" : "does not take save identities"), std::string::npos) << ran.err;
    std::lock_guard lock(m);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].header, probe);
    EXPECT_EQ(seen[0].bytes, "");
  }
}

// Each refusal class has its own exit status and message: plain streams
// refused after their header, their bytes still on the way, and probes.
TEST_F(SaveSend, RefusalsSayWhyWithTheirOwnStatus) {
  Write(in, Random(3 << 20, 9));
  const struct { std::string answer; bool save; int status; std::string said; } cases[] = {
      {"full: the relay's disk is full (4096 bytes free)", false, 14, "its disk is full (4096 bytes free); try again once it has room"},
      {"busy: another stream for saves/p/big is being stored", true, 15, "another stream for saves/p/big is being stored; try again in a few minutes"},
      {"name: \"p\" cannot be a repository name", false, 16, "\"p\" cannot be a repository name"},
      {"failed: cannot store saves/p/x: Permission denied", false, 18, "cannot store saves/p/x: Permission denied; see the relay's log"},
      {"later: a class of a newer relay", true, 18, "a class of a newer relay"},
  };
  for (const auto& c : cases) {
    Server relay(relay_id, client_, [&](SSL* ssl, int) {
      UpToNul(ssl);
      Say(ssl, "refused " + c.answer);
      ReadStream(ssl);  // drops the rest, as the relay does, then cuts
    });
    const std::vector<std::string> plain = {"--host", "127.0.0.1", "--port", std::to_string(relay.port), "--repo", "p",
                                            "--ca", relay_id.cert.string(), "--peer-name", relay_id.name, in.string()};
    const Ran ran = c.save ? Save(relay.port) : Run(kSendBin, plain);
    EXPECT_EQ(ran.status, c.status) << c.answer;
    EXPECT_EQ(ran.err, "tarnwick-send: the relay refused the stream: " + c.said + "\n");
  }
}

// Cut off after 100000 bytes, a rerun is told "have 100000" and sends the
// rest only; the relay ends up with the file, and the digest printed is
// sha256sum's.
TEST_F(SaveSend, CutOffSaveResumesAtTheByteTheRelayHolds) {
  const std::string data = Random(600 * 1024 + 3, 8);
  Write(in, data);
  const std::string digest = Sha256sum(in);
  std::string held;
  std::vector<std::string> headers;
  std::size_t cut = 100000;
  Server relay(relay_id, client_, [&](SSL* ssl, int) {
    std::lock_guard lock(m);
    Seen s = ReadStream(ssl, cut ? cut : SIZE_MAX);
    headers.push_back(s.header);
    std::istringstream h(s.header);
    std::string repo, save;
    std::size_t count = 0, offset = 0;
    h >> repo >> count >> save >> offset;
    if (count == 0) return Say(ssl, "have " + std::to_string(held.size()) + " sha256:" + digest);
    if (offset != held.size()) return;
    held += s.bytes;
    if (cut) cut = 0;  // closed with the rest unread
    else if (s.notify && held.size() == data.size()) SSL_shutdown(ssl);
  });
  Ran ran = Save(relay.port);
  EXPECT_TRUE(ran.status == 6 || ran.status == 7) << ran.status.value_or(-1) << ran.err;
  ran = Save(relay.port);
  EXPECT_EQ(ran.status, 0) << ran.err;
  EXPECT_NE(ran.out.find("\"sent\":" + std::to_string(data.size() - 100000) + ","), std::string::npos) << ran.out;
  EXPECT_NE(ran.out.find("\"sha256\":\"" + digest + "\""), std::string::npos) << ran.out;
  std::lock_guard lock(m);
  EXPECT_TRUE(held == data) << held.size() << " of " << data.size() << " bytes";
  const std::string id = " big ", tail = " sha256:" + digest;
  EXPECT_EQ(headers, (std::vector<std::string>{"p 0" + id + std::to_string(data.size()) + tail,
                                               "p " + std::to_string(data.size()) + id + "0" + tail,
                                               "p 0" + id + std::to_string(data.size()) + tail,
                                               "p " + std::to_string(data.size() - 100000) + id + "100000" + tail}));
}

}  // namespace
}  // namespace tw
