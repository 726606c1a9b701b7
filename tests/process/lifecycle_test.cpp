// Start, stop and the rate limit, seen from outside the process.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "support/relay_fixture.h"
#include "support/tls_io.h"

namespace tarnwick::test {
namespace {

using std::chrono::duration_cast;

class LifecycleTest : public RelayTest {};

// Byte offsets of the two stop lines after mark, checked for order.
::testing::AssertionResult StopLinesInOrder(const std::string& text) {
  const auto pending = text.find(kStopPending), stopped = text.find(kStopped);
  if (pending != std::string::npos && stopped != std::string::npos && pending < stopped)
    return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "stderr after the signal:\n" << text;
}

TEST_F(LifecycleTest, IdleListenerStopsOnTermAndOnInt) {
  Relay& relay = MakeRelay({});
  for (int sig : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(sig == SIGTERM ? "SIGTERM" : "SIGINT");
    ASSERT_TRUE(relay.Start()) << relay.Stderr();
    const std::string before = relay.Stderr();
    EXPECT_LT(before.find("Tarnwick state: START_PENDING"), before.find(kRunning)) << before;
    relay.process().Signal(sig);
    const auto st = relay.process().WaitExit();
    ASSERT_TRUE(st.has_value()) << "still running after the signal\n" << relay.Stderr();
    EXPECT_TRUE(st->Clean()) << *st;
    EXPECT_TRUE(StopLinesInOrder(relay.Stderr().substr(before.size())));
    // The port is released with the process.
    const int fd = ConnectLoopback(relay.port());
    EXPECT_LT(fd, 0) << "something still listens on the relay's port";
    if (fd >= 0) close(fd);
  }
}

TEST_F(LifecycleTest, StopIsNotHeldByAConnectionThatNeverStartsTls) {
  Relay& relay = MakeRelay({});
  ASSERT_TRUE(relay.Start()) << relay.Stderr();
  // A TCP connection that never says a word: no stream is being stored.
  const int silent = ConnectLoopback(relay.port());
  ASSERT_GE(silent, 0);
  const std::size_t mark = relay.Mark();
  relay.process().Signal(SIGTERM);
  const auto st = relay.process().WaitExit(milliseconds(10000));
  const std::string after = relay.Stderr().substr(mark);
  close(silent);  // lets a relay that waited on it finish before tear-down
  ASSERT_TRUE(st.has_value()) << "still running 10 s after SIGTERM:\n" << after;
  EXPECT_TRUE(st->Clean()) << *st;
  EXPECT_TRUE(StopLinesInOrder(after));
}

TEST_F(LifecycleTest, StopDuringAStreamStoresItWholeFirst) {
  RelayConfig cfg;
  cfg.throttling = true;
  cfg.bandwith = "64KB";
  Relay& relay = MakeRelay(cfg);
  ASSERT_TRUE(relay.Start()) << relay.Stderr();

  const std::string data = RandomBytes(256 * 1024, 30);
  const fs::path save = Saves() / "projS" / "s.bak";
  PeerEnd end = PeerEnd::Timeout;
  std::string error;
  std::atomic<bool> client_done{false};
  std::thread client([&] {
    TlsClient c(AnonymousClient());
    if (!c.Connect(relay.port()) || !c.Send(Header("projS 262144 s.bak")) ||
        !c.Send(data, std::chrono::seconds(60))) {
      error = c.error();
      end = PeerEnd::Error;
    } else {
      end = c.Finish(ClientEnding::CloseNotify, std::chrono::seconds(60));
      error = c.error();
    }
    client_done = true;
  });

  // The save is opened once the header is read: the stream is under way.
  const bool started = WaitUntil([&] { return Exists(save); });
  const std::size_t mark = relay.Mark();
  const bool confirmed_before_signal = client_done;
  relay.process().Signal(SIGTERM);
  EXPECT_TRUE(relay.WaitForLine(kStopPending, mark));
  client.join();
  ASSERT_TRUE(started) << "the save was never opened\n" << relay.Stderr();
  EXPECT_FALSE(confirmed_before_signal)
      << "the stream was over before the stop: this run did not stop mid-stream";

  EXPECT_EQ(end, PeerEnd::CloseNotify) << error;
  const auto st = relay.process().WaitExit();
  ASSERT_TRUE(st.has_value()) << "still running after the stream\n" << relay.Stderr();
  EXPECT_TRUE(st->Clean()) << *st;
  EXPECT_TRUE(HoldsBytes(save, data));
  EXPECT_FALSE(Exists(Saves() / "projS" / "s.bak_pending"));
  EXPECT_TRUE(StopLinesInOrder(relay.Stderr().substr(mark)));
}

TEST_F(LifecycleTest, PortInUseEndsTheStartWithBindFailure) {
  std::uint16_t port = 0;
  const int holder = ListenLoopback(0, &port);
  ASSERT_GE(holder, 0);
  RelayConfig cfg;
  cfg.port = port;
  Relay& relay = MakeRelay(cfg);
  relay.Spawn();
  const auto st = relay.process().WaitExit();
  close(holder);
  ASSERT_TRUE(st.has_value()) << "relay kept running with its port taken\n" << relay.Stderr();
  EXPECT_TRUE(st->ExitedWith(1)) << *st;
  bool bind_entry = false;
  for (const auto& e : relay.Entries())
    if (e.find(kErrorEntry) != std::string::npos && e.find("bind") != std::string::npos)
      bind_entry = true;
  EXPECT_TRUE(bind_entry) << relay.Stderr();
  // RUNNING means listening, which it never was.
  EXPECT_EQ(relay.Stderr().find(kRunning), std::string::npos) << relay.Stderr();
}

TEST_F(LifecycleTest, MissingBackupRootEndsAfterRunning) {
  RelayConfig cfg;
  cfg.backup_dir = dir_ / "no-such-root";
  Relay& relay = MakeRelay(cfg);
  relay.Spawn();
  const auto st = relay.process().WaitExit();
  ASSERT_TRUE(st.has_value()) << "relay kept running without its backup root\n" << relay.Stderr();
  EXPECT_TRUE(st->ExitedWith(1)) << *st;
  const std::string err = relay.Stderr();
  const auto running = err.find(kRunning);
  const auto chdir_entry = err.find(std::string(kErrorEntry) + "chdir(startup_directory)");
  EXPECT_NE(running, std::string::npos) << err;
  EXPECT_NE(chdir_entry, std::string::npos) << err;
  EXPECT_LT(running, chdir_entry) << err;
  EXPECT_FALSE(Exists(cfg.backup_dir));
}

TEST_F(LifecycleTest, MissingCertificateIsFatal) {
  Relay& relay = MakeRelay({});
  fs::remove(relay.dir() / "cert.pem");
  relay.Spawn();
  const auto st = relay.process().WaitExit();
  ASSERT_TRUE(st.has_value()) << "relay kept running without cert.pem\n" << relay.Stderr();
  EXPECT_TRUE(st->ExitedWith(1)) << *st;
  EXPECT_FALSE(relay.Entries().empty()) << "no error entry:\n" << relay.Stderr();
}

TEST_F(LifecycleTest, ThrottleHoldsTheAverageRate) {
  RelayConfig cfg;
  cfg.throttling = true;
  cfg.bandwith = "100KB";
  Relay& relay = MakeRelay(cfg);
  ASSERT_TRUE(relay.Start()) << relay.Stderr();

  const std::string data = RandomBytes(300 * 1024, 31);
  const auto t0 = Clock::now();
  TlsClient c(AnonymousClient());
  ASSERT_TRUE(c.Connect(relay.port())) << c.error();
  ASSERT_TRUE(c.Send(Header("projT 307200 t.bak") + data, std::chrono::seconds(60))) << c.error();
  EXPECT_EQ(c.Finish(ClientEnding::CloseNotify, std::chrono::seconds(60)), PeerEnd::CloseNotify)
      << c.error();
  const auto elapsed = duration_cast<milliseconds>(Clock::now() - t0);
  EXPECT_TRUE(HoldsBytes(Saves() / "projT" / "t.bak", data));
  // 300 KB at 100 KB/s is 3 s; allow for an initial allowance. A lower bound
  // only: it checks the limit, not the speed of the machine.
  EXPECT_GE(elapsed.count(), 2000) << "300 KB went through in " << elapsed.count() << " ms";
}

}  // namespace
}  // namespace tarnwick::test
