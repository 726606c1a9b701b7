// Start and stop of the relay process: start-up refuses before
// RUNNING, a stop is clean and bounded in both roles, and systemd hears of
// it. (Relays killed at random are the chaos test's; a power cut at every
// step of a stream, the relay suite's.)
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/stat.h>
#include <unistd.h>

#include <regex>

#include "process/process.h"

namespace tw {
namespace {

// The lines of text that do not match form.
std::string Stray(const std::string& text, const char* form) {
  std::string stray;
  for (std::size_t at = 0, eol; (eol = text.find('\n', at)) != std::string::npos; at = eol + 1)
    if (!std::regex_search(text.substr(at, eol - at), std::regex(form))) stray += text.substr(at, eol + 1 - at);
  return stray;
}

TEST_F(Net, StartRefusesBeforeRunningAndAStopIsCleanInBothRoles) {
  Relay& r = NewRelay("r");
  // In a file, each entry has its time and level (a state line alone stands bare).
  const char* plain = R"(^(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d[+-]\d\d:\d\d (error|warning|info): |Tarnwick state: ))";
  {
    std::uint16_t taken = r.port;
    const int holder = Listen(&taken);
    ASSERT_GE(holder, 0);
    r.Start();
    EXPECT_EQ(r.proc->Wait(), 1) << "started with its port taken";
    EXPECT_NE(r.Err().find("bind"), std::string::npos) << r.Err();
    EXPECT_EQ(r.Err().find(kRunning), std::string::npos) << r.Err();
    EXPECT_EQ(Stray(r.Err(), plain), "");
    close(holder);
  }
  r.ini["Backup"]["Dir"] = (dir_ / "no-such-root").string();
  r.WriteFiles();
  r.Start();
  EXPECT_EQ(r.proc->Wait(), 1) << "ran without its backup root";
  EXPECT_NE(r.Err().find("no-such-root"), std::string::npos) << r.Err();
  EXPECT_EQ(r.Err().find(kRunning), std::string::npos) << r.Err();

  // systemd hears READY=1 only once the relay runs, then STOPPING=1.
  r.ini["Backup"]["Dir"] = r.root.string();
  r.WriteFiles();
  const fs::path notify = dir_ / "notify";
  const int sock = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", notify.c_str());
  ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  Timed(sock);
  setenv("NOTIFY_SOCKET", notify.c_str(), 1);
  // Its standard error is the journal's stream when JOURNAL_STREAM names it.
  const std::string err = r.dir.string() + "." + std::to_string(r.runs + 1) + ".err";
  Write(err, "");
  struct stat err_stat{};
  ASSERT_EQ(stat(err.c_str(), &err_stat), 0);
  setenv("JOURNAL_STREAM", (std::to_string(err_stat.st_dev) + ":" + std::to_string(err_stat.st_ino)).c_str(), 1);
  const bool started = r.Start();
  unsetenv("NOTIFY_SOCKET");
  unsetenv("JOURNAL_STREAM");
  ASSERT_TRUE(started) << r.Err();
  // A TCP connection that never starts TLS holds nothing up.
  const int silent = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const sockaddr_in a = Loopback(r.port);
  ASSERT_EQ(connect(silent, reinterpret_cast<const sockaddr*>(&a), sizeof a), 0);
  const std::size_t m = r.proc->Mark();
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(r.Stop(), 0) << r.Err();
  EXPECT_LT(std::chrono::steady_clock::now() - t0, ms(10000)) << "the silent connection held the stop";
  close(silent);
  EXPECT_NE(r.Err().find(kStopped, r.Err().find("<5>Tarnwick state: STOP_PENDING", m)), std::string::npos) << r.Err();
  EXPECT_EQ(Stray(r.Err(), "^<[3-6]>[^<]"), "");
  std::string said;
  for (char buf[256]; ;) {
    const ssize_t n = recv(sock, buf, sizeof buf, MSG_DONTWAIT);
    if (n <= 0) break;
    said.append(buf, static_cast<std::size_t>(n)).push_back('|');
  }
  close(sock);
  const auto ready = said.find("READY=1"), stopping = said.find("STOPPING=1");
  EXPECT_TRUE(ready != std::string::npos && stopping != std::string::npos && ready < stopping) << said;

  // Dial role: the stop's closure dial reaches the sender, which lets go of
  // the stream it holds; a closure port that swallows connections does not
  // hold the stop either.
  std::atomic<int> closures{0};
  Server closure(sender_, r.id, [&](SSL*, int) { ++closures; });
  std::atomic<bool> held{false};
  Server sender(sender_, r.id, [&](SSL*, int) {
    held = true;
    WaitFor([&] { return closures > 0 || sender.stop; }, ms(30000));
  });
  std::uint16_t hole_port = 0;
  const int hole = Listen(&hole_port);
  for (const std::uint16_t closure_port : {closure.port, hole_port}) {
    SCOPED_TRACE(closure_port == hole_port ? "black hole" : "closure listener");
    held = false;
    r.ini["Connection"] = {{"Host", "127.0.0.1"}, {"Port", std::to_string(sender.port)},
                           {"ClosurePort", std::to_string(closure_port)}, {"PeerCN", sender_.name},
                           {"DelayBeforeRetry", "200"}};
    r.WriteFiles();
    ASSERT_TRUE(r.Start()) << r.Err();
    ASSERT_TRUE(WaitFor([&] { return held.load(); })) << r.Err();
    const auto t1 = std::chrono::steady_clock::now();
    EXPECT_EQ(r.Stop(), 0) << r.Err();
    EXPECT_LT(std::chrono::steady_clock::now() - t1, ms(10000)) << r.Err();
  }
  EXPECT_EQ(closures, 1);
  close(hole);
}

}  // namespace
}  // namespace tw
