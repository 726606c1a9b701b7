// Start and stop of the process, the rate limit, and the dial role.
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

#include "support/harness.h"

namespace tw {
namespace {

// STOP_PENDING, then STOPPED, after byte offset from.
bool StopLines(const std::string& err, std::size_t from) {
  return err.find(kStopped, err.find(kStopPending, from)) != std::string::npos;
}

// A stop never waits on the throttle, however many streams it holds back,
// nor on a sender whose closure port swallows connections (dial role).
TEST_F(Net, StopIsPromptWithThrottledStreamsAndABlackHoledClosurePort) {
  Relay& r = NewRelay("r");
  r.connection["TotalBandwith"] = "64K";
  r.throttle = true;
  r.WriteFiles();
  ASSERT_TRUE(r.Start()) << r.Err();
  std::vector<std::unique_ptr<Client>> clients;
  const std::string data = Random(1 << 20, 31);
  std::vector<std::thread> senders;
  for (int i = 0; i < 4; ++i) {
    clients.push_back(std::make_unique<Client>(r.port, r.id, &client_));
    Client* c = clients.back().get();
    senders.emplace_back([c, i, &data] { c->Send(H("projQ 1048576 q" + std::to_string(i)) + data); });
  }
  ASSERT_TRUE(WaitFor([&] {
    for (int i = 0; i < 4; ++i)
      if (SizeOf(r.Save("projQ", "q" + std::to_string(i))) <= 0) return false;
    return true;
  })) << r.Err();
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(r.Stop(), 0) << r.Err();
  EXPECT_LT(std::chrono::steady_clock::now() - t0, ms(10000)) << r.Err();
  for (int i = 0; i < 4; ++i) EXPECT_TRUE(Exists(r.Save("projQ", "q" + std::to_string(i) + "_pending")));
  for (auto& c : clients) shutdown(c->fd_, SHUT_RDWR);
  for (auto& t : senders) t.join();

  // The sender holds the dialled connection silent; its closure port takes
  // TCP connections and never answers.
  Relay& d = NewRelay("d");
  Server sender(sender_, d.id);
  const std::atomic<int> no_closure{0};
  sender.closures = &no_closure;
  std::uint16_t hole_port = 0;
  const int hole = Listen(&hole_port);
  d.host = "127.0.0.1", d.port = sender.port, d.closure_port = hole_port, d.peer_cn = sender_.name;
  d.WriteFiles();
  ASSERT_TRUE(d.Start()) << d.Err();
  ASSERT_TRUE(WaitFor([&] { return sender.held > 0; })) << d.Err();
  t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(d.Stop(), 0) << d.Err();
  EXPECT_LT(std::chrono::steady_clock::now() - t0, ms(10000)) << d.Err();
  close(hole);
}

TEST_F(Net, Lifecycle) {
  Relay& r = NewRelay("r");
  {
    Server holder(sender_, client_);
    r.port = holder.port;
    r.WriteFiles(), r.Spawn();
    EXPECT_EQ(r.proc->Wait(), 1) << "started with its port taken";
    EXPECT_NE(r.Err().find("bind"), std::string::npos) << r.Err();
    EXPECT_EQ(r.Err().find(kRunning), std::string::npos) << r.Err();
  }
  r.port = FreePort(), r.root = dir_ / "no-such-root";
  r.WriteFiles(), r.Spawn();
  EXPECT_EQ(r.proc->Wait(), 1) << "ran without its backup root";
  const std::string err = r.Err();
  // Refused before RUNNING (systemd's READY=1), naming the directory.
  EXPECT_NE(err.find(kErr + "chdir(startup_directory) failed with 2"), std::string::npos) << err;
  EXPECT_NE(err.find("cannot use the backup root " + r.root.string()), std::string::npos) << err;
  EXPECT_EQ(err.find(kRunning), std::string::npos) << err;

  r.root = dir_ / "r-root";
  r.WriteFiles();
  ASSERT_TRUE(r.Start()) << r.Err();
  std::size_t m = r.proc->Mark();
  EXPECT_EQ(r.Stop(), 0);
  EXPECT_TRUE(StopLines(r.Err(), m)) << r.Err();

  // A TCP connection that never starts TLS carries no stream to finish.
  ASSERT_TRUE(r.Start()) << r.Err();
  const int silent = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const sockaddr_in a = Loopback(r.port);
  ASSERT_EQ(connect(silent, reinterpret_cast<const sockaddr*>(&a), sizeof a), 0);
  r.proc->Kill(SIGTERM);
  const auto st = r.proc->Wait(ms(10000));
  close(silent);
  EXPECT_EQ(st, 0) << "the silent connection held the stop\n" << r.Err();

  // A stream under way when the stop comes has a grace period to end: one
  // that ends within it is stored whole and confirmed. 128 KiB at 64 KiB/s
  // takes about 2 s: the time is a lower bound only.
  r.throttle = true, r.rate = "64KB";
  r.WriteFiles();
  ASSERT_TRUE(r.Start()) << r.Err();
  const std::string data = Random(128 * 1024, 30);
  std::atomic<int> end{-1};
  const auto t0 = std::chrono::steady_clock::now();
  std::thread client([&] {
    end = static_cast<int>(SendStream(r.port, r.id, &client_, H("projS 131072 s.bak") + data));
  });
  EXPECT_TRUE(WaitFor([&] { return Exists(r.Save("projS", "s.bak")); }));
  m = r.proc->Mark();
  const bool over_before_stop = end != -1;
  r.proc->Kill(SIGTERM);
  client.join();
  EXPECT_FALSE(over_before_stop) << "the stop did not come mid-stream";
  EXPECT_EQ(end, static_cast<int>(End::Notify));
  EXPECT_GE(std::chrono::steady_clock::now() - t0, ms(1200)) << "the throttle did not hold";
  EXPECT_EQ(r.proc->Wait(), 0);
  EXPECT_EQ(Read(r.Save("projS", "s.bak")), data);
  EXPECT_FALSE(Exists(r.Save("projS", "s.bak_pending")));
  EXPECT_TRUE(StopLines(r.Err(), m)) << r.Err();

  // A sender that stalls cannot hold the stop: its stream is cut after the
  // grace period, unconfirmed, and its save stays pending.
  ASSERT_TRUE(r.Start()) << r.Err();
  {
    Client stalled(r.port, r.id, &client_);
    ASSERT_TRUE(stalled.Send(H("projS 1000 stalled.bak") + Random(100, 31)));
    EXPECT_TRUE(WaitFor([&] { return SizeOf(r.Save("projS", "stalled.bak")) == 100; }));
    m = r.proc->Mark();
    r.proc->Kill(SIGTERM);
    EXPECT_EQ(r.proc->Wait(ms(10000)), 0) << "the stalled stream held the stop\n" << r.Err();
    EXPECT_NE(stalled.Finish(How::Notify), End::Notify);
  }
  EXPECT_EQ(Read(r.Save("projS", "stalled.bak_pending")), "900");
  EXPECT_TRUE(StopLines(r.Err(), m)) << r.Err();
}

TEST_F(Net, DialRoleFetchesRetriesAndClosesAtItsStop) {
  // Nobody listens yet: redials every 200 ms, none worth an entry.
  Relay& quick = NewRelay("quick");
  quick.host = "127.0.0.1", quick.peer_cn = sender_.name;
  quick.WriteFiles();
  ASSERT_TRUE(quick.Start()) << quick.Err();
  std::size_t m = quick.proc->Mark();
  EXPECT_FALSE(WaitFor([&] { return quick.Err().find("Tarnwick[", m) != std::string::npos; }, ms(1500)))
      << quick.Err();
  {
    Server s(sender_, quick.id, quick.port);
    s.Push(H("projE 10 e.bak") + "0123456789");
    EXPECT_TRUE(WaitFor([&] { return s.Ends() == std::vector<End>{End::Notify}; })) << quick.Err();
  }
  EXPECT_EQ(Read(quick.Save("projE", "e.bak")), "0123456789");
  // No closure listener: the stop reports it and still ends cleanly.
  m = quick.proc->Mark();
  EXPECT_EQ(quick.Stop(), 0);
  EXPECT_NE(quick.Err().find(kErr, m), std::string::npos) << quick.Err();
  EXPECT_NE(quick.Err().find(kStopped, m), std::string::npos) << quick.Err();

  // A long retry delay: a redial after the empty stream that waited for it
  // would show in the gap.
  Relay& slow = NewRelay("slow");
  Server closure(sender_, slow.id);
  Server s(sender_, slow.id);
  s.closures = &closure.conns;
  const std::string data = Random(30000, 20);
  s.Push("");
  s.Push(H("projD 30000 d.bak") + data);
  slow.host = "127.0.0.1", slow.peer_cn = sender_.name, slow.delay_ms = 6000;
  slow.port = s.port, slow.closure_port = closure.port;
  slow.WriteFiles();
  ASSERT_TRUE(slow.Start()) << slow.Err();
  ASSERT_TRUE(WaitFor([&] { return s.held > 0; })) << slow.Err();
  const auto ends = s.Ends();
  const auto at = s.Accepted();
  ASSERT_EQ(ends.size(), 2u);
  EXPECT_EQ(ends[1], End::Notify);
  EXPECT_LT(at[1] - at[0], ms(3000)) << "waited before redialling after an empty stream";
  EXPECT_EQ(Read(slow.Save("projD", "d.bak")), data);
  EXPECT_FALSE(Exists(slow.Save("projD", "d.bak_pending")));
  m = slow.proc->Mark();
  EXPECT_EQ(slow.Stop(), 0) << slow.Err();
  EXPECT_GE(closure.conns, 1) << "the stop did not dial the closure port";
  EXPECT_TRUE(StopLines(slow.Err(), m)) << slow.Err();
}

}  // namespace
}  // namespace tw
