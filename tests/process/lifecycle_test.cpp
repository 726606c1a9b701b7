// Start, stop and crash of the relay process: start-up refuses before
// RUNNING, a stop is clean and bounded in both roles, systemd hears of it,
// and a relay killed mid-stream leaves the save pending for a resend. (A
// forwarding relay killed at random is the chaos test's.)
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "process/process.h"

namespace tw {
namespace {

TEST_F(Net, StartRefusesBeforeRunningAndAStopIsCleanInBothRoles) {
  Relay& r = NewRelay("r");
  {
    std::uint16_t taken = r.port;
    const int holder = Listen(&taken);
    ASSERT_GE(holder, 0);
    r.Start();
    EXPECT_EQ(r.proc->Wait(), 1) << "started with its port taken";
    EXPECT_NE(r.Err().find("bind"), std::string::npos) << r.Err();
    EXPECT_EQ(r.Err().find(kRunning), std::string::npos) << r.Err();
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
  const bool started = r.Start();
  unsetenv("NOTIFY_SOCKET");
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
  EXPECT_NE(r.Err().find(kStopped, r.Err().find("Tarnwick state: STOP_PENDING", m)), std::string::npos) << r.Err();
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

// Until the relay has taken every byte the client wrote.
bool Drained(Client& c) {
  return WaitFor([&] {
    int q = 0;
    return ioctl(c.fd_, SIOCOUTQ, &q) == 0 && q == 0;
  });
}

TEST_F(Net, AKilledReceiverLeavesEveryUnfinishedSavePendingAndAResendCompletesIt) {
  Relay& r = NewRelay("r");
  const std::string data = Random(3 * 1024 * 1024 + 11, 40);
  const std::string n = std::to_string(data.size());
  // Killed after nothing past the header, part of the save, all of it but
  // before the stream's end.
  const std::size_t points[] = {0, data.size() / 3, data.size()};
  for (std::size_t i = 0; i < std::size(points); ++i) {
    SCOPED_TRACE(points[i]);
    const std::string save = "s" + std::to_string(i);
    ASSERT_TRUE(r.Start()) << r.Err();
    {
      Client c(r.port, r.id, &client_);
      ASSERT_TRUE(c.Send(H("projK " + n + " " + save + " 0")));
      if (points[i] > 0) {
        ASSERT_TRUE(c.Send(data.substr(0, points[i])));
      }
      ASSERT_TRUE(Drained(c));
      ASSERT_TRUE(WaitFor([&] { return Exists(r.Save("projK", save + "_pending")) && SizeOf(r.Save("projK", save)) >= 0; }));
      r.proc->Kill(SIGKILL);
      ASSERT_EQ(r.proc->Wait(), 128 + SIGKILL);
    }
    EXPECT_TRUE(Exists(r.Save("projK", save + "_pending")));
    const long long held = SizeOf(r.Save("projK", save));
    EXPECT_LE(held, static_cast<long long>(points[i]));
    EXPECT_EQ(Read(r.Save("projK", save)), data.substr(0, static_cast<std::size_t>(held)));
  }
  // After the restart a resend from byte 0 is compared with what survived
  // and completes each save byte for byte.
  ASSERT_TRUE(r.Start()) << r.Err();
  for (std::size_t i = 0; i < std::size(points); ++i) {
    const std::string save = "s" + std::to_string(i);
    EXPECT_EQ(SendStream(r.port, r.id, &client_, H("projK " + n + " " + save + " 0") + data), End::Notify) << r.Err();
    EXPECT_EQ(Read(r.Save("projK", save)), data);
    EXPECT_FALSE(Exists(r.Save("projK", save + "_pending")));
  }
}

}  // namespace
}  // namespace tw
