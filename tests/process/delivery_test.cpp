// A forwarding relay counts a save delivered only when the next relay
// confirms it, and nothing the next relay or the link does ends it.
#include <openssl/err.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <map>
#include <tuple>

#include "support/harness.h"

namespace tw {
namespace {

// A next relay that misbehaves on purpose, one way per connection, and
// otherwise stores streams by their declared offsets as a relay does.
struct FakeReceiver {
  enum class Act { Store, ResetAfter, NoCloseNotify, Have, Hold, Stall, Flood };
  struct Step { Act act; long long n = 0; };

  FakeReceiver(const Id& me, const Id& peer) : me_(me), peer_(peer), lfd_(Listen(&port)) { Start(); }
  ~FakeReceiver() { Stop(); close(lfd_); }
  void Start() {
    ctx_ = Context(true, peer_, &me_);
    thread_ = std::thread([this] {
      for (int fd; (fd = accept4(lfd_, nullptr, nullptr, SOCK_CLOEXEC)) >= 0 || errno == EINTR;)
        if (fd >= 0 && !stop_) Serve(Timed(fd));
    });
  }
  void Stop() {
    stop_ = true;
    shutdown(lfd_, SHUT_RDWR);
    if (thread_.joinable()) thread_.join();
    SSL_CTX_free(std::exchange(ctx_, nullptr));
    // A listening socket that was shut down accepts no more: a fresh one on the same port.
    close(lfd_);
    lfd_ = Listen(&port);
    stop_ = false;
  }
  void Plan(std::vector<Step> steps) { std::lock_guard l(mu_); plan_.insert(plan_.end(), steps.begin(), steps.end()); }
  std::vector<std::string> Headers() { std::lock_guard l(mu_); return headers_; }
  std::string Held(const std::string& save) { std::lock_guard l(mu_); return held_[save]; }
  bool Complete(const std::string& save) { std::lock_guard l(mu_); return complete_[save]; }

  void Serve(int fd) {
    SSL* ssl = SSL_new(ctx_);
    SSL_set_fd(ssl, fd);
    SSL_set_msg_callback(ssl, [](int write_p, int, int type, const void* b, size_t len, SSL*, void* me) {
      // Record headers as they arrive: the largest one tells the record size.
      if (write_p || type != SSL3_RT_HEADER || len < 5) return;
      const auto* h = static_cast<const unsigned char*>(b);
      auto& largest = static_cast<FakeReceiver*>(me)->largest_record_;
      largest = std::max(largest.load(), (h[3] << 8) | h[4]);
    });
    SSL_set_msg_callback_arg(ssl, this);
    if (SSL_accept(ssl) == 1) Stream(ssl, fd);
    SSL_free(ssl);
    ERR_clear_error();
    close(fd);
  }

  void Stream(SSL* ssl, int fd) {
    Step step{Act::Store};
    {
      std::lock_guard l(mu_);
      if (!plan_.empty()) step = plan_.front(), plan_.erase(plan_.begin());
    }
    std::string in;
    char buf[65536];
    const int want = read_size_;
    int n = 0;
    while (in.find('\0') == std::string::npos && (n = SSL_read(ssl, buf, want)) > 0) in.append(buf, n);
    const auto nul = in.find('\0');
    if (nul == std::string::npos) return;
    const std::string header = in.substr(0, nul);
    std::string data = in.substr(nul + 1);
    { std::lock_guard l(mu_); headers_.push_back(header); }
    std::istringstream h(header);
    std::string repo, save;
    long long count = 0, offset = 0;
    h >> repo >> count >> save >> offset;
    if (step.act == Act::Flood) {  // answers without end, and never a NUL
      const std::string junk(16384, 'j');
      while (!stop_ && SSL_write(ssl, junk.data(), static_cast<int>(junk.size())) > 0) ++flood_writes_;
      return;
    }
    if (step.act == Act::Stall) {  // reads nothing more, answers nothing
      stalled_ = true;
      while (!stop_) std::this_thread::sleep_for(ms(50));
      return;
    }
    if (step.act == Act::Store) {
      std::lock_guard l(mu_);
      // A gap is answered as a relay answers it.
      if (offset > static_cast<long long>(held_[save].size())) step = {Act::Have, static_cast<long long>(held_[save].size())};
    }
    if (step.act == Act::Have) {
      { std::lock_guard l(mu_); held_[save].resize(std::min<std::size_t>(held_[save].size(), step.n)); }
      const std::string answer = "have " + std::to_string(step.n) + '\0';
      SSL_write(ssl, answer.data(), static_cast<int>(answer.size()));
      AwaitEnd(ssl);
      return;
    }
    bool notify = false;
    for (;;) {
      if (step.act == Act::ResetAfter && static_cast<long long>(data.size()) >= step.n) {
        // What arrived before the reset is kept, as a relay keeps it.
        std::lock_guard l(mu_);
        std::string& held = held_[save];
        if (offset <= static_cast<long long>(held.size())) held = held.substr(0, offset) + data;
        const linger lg{1, 0};
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
        return;
      }
      if ((n = SSL_read(ssl, buf, want)) <= 0) {
        notify = SSL_get_error(ssl, n) == SSL_ERROR_ZERO_RETURN;
        break;
      }
      data.append(buf, n);
    }
    if (step.act == Act::Hold) {
      held_whole_ = true;
      while (!stop_) std::this_thread::sleep_for(ms(50));  // until the sender vanishes
      return;
    }
    if (!notify) return;
    std::lock_guard l(mu_);
    std::string& held = held_[save];
    if (offset > static_cast<long long>(held.size())) return;  // the relay's rules are tested elsewhere
    held = held.substr(0, offset) + data;
    complete_[save] = static_cast<long long>(held.size()) == offset + count;
    if (step.act == Act::NoCloseNotify) return;
    SSL_shutdown(ssl);
  }

  std::uint16_t port = 0;
  std::atomic<bool> held_whole_{false}, stalled_{false};
  std::atomic<long> flood_writes_{0};
  std::atomic<int> read_size_{65536};      // bytes asked of each SSL_read
  std::atomic<int> largest_record_{0};     // largest TLS record length seen
  Id me_, peer_;

 private:
  int lfd_;
  SSL_CTX* ctx_ = nullptr;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  std::mutex mu_;
  std::vector<Step> plan_;
  std::vector<std::string> headers_;
  std::map<std::string, std::string> held_;
  std::map<std::string, bool> complete_;
};

struct Dlv : Net {
  // a forwarding relay that pushes to fake.
  Relay& Pusher(FakeReceiver& fake, const Id& next) {
    a_->fwd_host = "127.0.0.1", a_->fwd_port = fake.port, a_->fwd_cn = next.name, a_->forward = {&next};
    a_->WriteFiles();
    return *a_;
  }
  void SetUp() override {
    Net::SetUp();
    a_ = &NewRelay("a");
    next_ = MakeId(dir_, "next");
  }
  ::testing::AssertionResult Same(const std::string& got, const std::string& want) {
    if (got == want) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << got.size() << " bytes, " << want.size() << " expected";
  }
  Relay* a_ = nullptr;
  Id next_;
};

TEST_F(Dlv, ResetsBareClosesAndHaveAnswersNeverLoseTheSave) {
  const Id& next = next_;
  FakeReceiver fake(next, a_->id);
  using A = FakeReceiver::Act;
  fake.Plan({{A::ResetAfter, 100000}, {A::NoCloseNotify}, {A::Have, 50000}, {A::Store}});
  Relay& a = Pusher(fake, next);
  ASSERT_TRUE(a.Start()) << a.Err();
  const std::string data = Random(300000, 60);
  ASSERT_EQ(SendStream(a.port, a.id, &client_, H("proj 300000 s.bak 0") + data), End::Notify);
  ASSERT_TRUE(WaitFor([&] { return fake.Complete("s.bak") && !Exists(a.Progress("proj", "s.bak")); }, kWait))
      << a.Err();
  EXPECT_TRUE(Same(fake.Held("s.bak"), data));
  const auto headers = fake.Headers();
  ASSERT_EQ(headers.size(), 4u);
  EXPECT_EQ(headers[0], "proj 300000 s.bak 0");
  // After a reset or a bare close nothing counts as confirmed (all was
  // written, so the next header starts at the end); after "have" the rest
  // is sent from there.
  EXPECT_EQ(headers[2], "proj 0 s.bak 300000");
  EXPECT_EQ(headers[3], "proj 250000 s.bak 50000");
  EXPECT_TRUE(a.proc->Running());
  const std::string err = a.Err();
  EXPECT_NE(err.find(kErr + "forwarding to 127.0.0.1:" + std::to_string(fake.port) + " fails: "), std::string::npos) << err;
  // Said once the record is gone: waited for, not read at once.
  EXPECT_TRUE(a.Line(kInfo + "forwarding to 127.0.0.1:" + std::to_string(fake.port) + " works again after 2 failed attempts"))
      << a.Err();
  EXPECT_EQ(a.Stop(), 0);
  EXPECT_EQ(Read(a.Queue()), "");
}

// Relays that read 2048 bytes at a time take the transmitter's full-size
// records whole: every byte arrives, in order.
TEST_F(Dlv, FullSizeRecordsReachAReceiverReadingTwoKilobytesAtATime) {
  FakeReceiver fake(next_, a_->id);
  fake.read_size_ = 2048;
  Relay& a = Pusher(fake, next_);
  ASSERT_TRUE(a.Start()) << a.Err();
  const std::string data = Random(3 * 1024 * 1024 + 777, 64);
  ASSERT_EQ(SendStream(a.port, a.id, &client_, H("proj " + std::to_string(data.size()) + " big.bak 0") + data),
            End::Notify);
  ASSERT_TRUE(WaitFor([&] { return fake.Complete("big.bak") && !Exists(a.Progress("proj", "big.bak")); }, kWait))
      << a.Err();
  EXPECT_TRUE(Same(fake.Held("big.bak"), data));
  // 16 KiB of data plus the record's own overhead.
  EXPECT_GT(fake.largest_record_.load(), 16384);
  EXPECT_EQ(a.Stop(), 0);
}

TEST_F(Dlv, SenderKilledBeforeTheConfirmationSendsAgainAfterItsRestart) {
  const Id& next = next_;
  FakeReceiver fake(next, a_->id);
  fake.Plan({{FakeReceiver::Act::Hold}});
  Relay& a = Pusher(fake, next);
  ASSERT_TRUE(a.Start()) << a.Err();
  const std::string data = Random(2 * 1024 * 1024, 61);
  Write(dir_ / "in", data);
  ASSERT_EQ(Send(SendArgs(a, "proj", dir_ / "in")), 0);
  ASSERT_TRUE(WaitFor([&] { return fake.held_whole_.load(); })) << a.Err();
  // Every byte is out, no confirmation came: the record must survive.
  a.proc->Kill(SIGKILL);
  a.proc->Wait();
  EXPECT_TRUE(Exists(a.Progress("proj", Date())));
  fake.Stop();
  fake.Start();
  ASSERT_TRUE(a.Start()) << a.Err();
  EXPECT_TRUE(WaitFor([&] { return fake.Complete(Date()) && !Exists(a.Progress("proj", Date())); })) << a.Err();
  EXPECT_TRUE(Same(fake.Held(Date()), data));
  EXPECT_EQ(a.Stop(), 0);
}

TEST_F(Dlv, WrongCertificateAtTheNextRelayIsReportedOnceAndOutlived) {
  const Id& next = next_;
  FakeReceiver fake(rogue_, a_->id);  // not the relay a trusts
  Relay& a = Pusher(fake, next);
  ASSERT_TRUE(a.Start()) << a.Err();
  const std::string data = Random(5000, 62);
  ASSERT_EQ(SendStream(a.port, a.id, &client_, H("proj 5000 w.bak 0") + data), End::Notify);
  const std::string fails = kErr + "forwarding to 127.0.0.1:" + std::to_string(fake.port) + " fails: the certificate of";
  ASSERT_TRUE(a.Line(fails)) << a.Err();
  // Attempts go on (1 s, 2 s, 4 s apart), reported once.
  std::this_thread::sleep_for(ms(3500));
  EXPECT_TRUE(a.proc->Running());
  const std::string err = a.Err();
  EXPECT_EQ(err.find(fails), err.rfind(fails)) << err;
  EXPECT_TRUE(fake.Headers().empty());  // no byte went to the wrong peer
  // The right certificate comes back on the same port.
  fake.Stop();
  fake.me_ = next;
  fake.Start();
  EXPECT_TRUE(WaitFor([&] { return fake.Complete("w.bak") && !Exists(a.Progress("proj", "w.bak")); }, ms(90000)))
      << a.Err();
  EXPECT_TRUE(Same(fake.Held("w.bak"), data));
  EXPECT_TRUE(a.Line(kInfo + "forwarding to 127.0.0.1:" + std::to_string(fake.port) + " works again")) << a.Err();
  EXPECT_EQ(a.Stop(), 0);
}

TEST_F(Dlv, StopIsBoundedWhenTheNextRelayStallsAndNothingIsLost) {
  const Id& next = next_;
  FakeReceiver fake(next, a_->id);
  fake.Plan({{FakeReceiver::Act::Stall}});
  Relay& a = Pusher(fake, next);
  const std::string data = Random(32 * 1024 * 1024, 63);
  Write(a.Save("proj", "big.bak"), data);
  Write(a.Progress("proj", "big.bak"), "0");  // recovered at start, as after a crash
  ASSERT_TRUE(a.Start()) << a.Err();
  ASSERT_TRUE(WaitFor([&] { return fake.stalled_.load(); })) << a.Err();
  std::this_thread::sleep_for(ms(1500));  // socket buffers full: every write waits
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(a.Stop(), 0) << a.Err();
  const auto took = std::chrono::duration_cast<ms>(std::chrono::steady_clock::now() - t0);
  RecordProperty("stop_ms", static_cast<int>(took.count()));
  EXPECT_EQ(Read(a.Queue()), "proj\tbig.bak\n");
  const long long offset = std::atoll(Read(a.Progress("proj", "big.bak")).c_str());
  EXPECT_GT(offset, 0);
  EXPECT_LT(offset, static_cast<long long>(data.size()));
  // Once a next relay takes it, the rest follows from there.
  fake.Stop();
  fake.Start();
  ASSERT_TRUE(a.Start()) << a.Err();
  EXPECT_TRUE(WaitFor([&] { return !Exists(a.Progress("proj", "big.bak")); }, ms(60000))) << a.Err();
  // The resumed stream started where the stop left off; the fake held
  // nothing of it, answered "have 0", and got the whole save.
  const auto headers = fake.Headers();
  ASSERT_GE(headers.size(), 3u);
  EXPECT_EQ(headers[1], "proj " + std::to_string(data.size() - offset) + " big.bak " + std::to_string(offset));
  EXPECT_EQ(headers.back(), "proj " + std::to_string(data.size()) + " big.bak 0");
  EXPECT_TRUE(Same(fake.Held("big.bak"), data));
  EXPECT_EQ(a.Stop(), 0);
}

// A next relay that answers without end is cut after a few KiB, and its
// flood neither grows the relay nor holds its stop.
TEST_F(Dlv, AFloodingNextRelayIsCutAndDoesNotHoldTheStop) {
  FakeReceiver fake(next_, a_->id);
  using A = FakeReceiver::Act;
  fake.Plan({{A::Flood}, {A::Store}});
  Relay& a = Pusher(fake, next_);
  ASSERT_TRUE(a.Start()) << a.Err();
  const std::string data = Random(100000, 65);
  ASSERT_EQ(SendStream(a.port, a.id, &client_, H("proj 100000 f.bak 0") + data), End::Notify);
  EXPECT_TRUE(a.Line(kErr + "forwarding to 127.0.0.1:" + std::to_string(fake.port) +
                     " fails: the next relay sent more than 4096 bytes instead of an answer; cut"))
      << a.Err();
  ASSERT_TRUE(WaitFor([&] { return fake.Complete("f.bak") && !Exists(a.Progress("proj", "f.bak")); })) << a.Err();
  EXPECT_TRUE(Same(fake.Held("f.bak"), data));

  // Flooded while waiting for a confirmation, then stopped: the stop comes
  // in its usual time.
  fake.Plan({{A::Flood}, {A::Flood}, {A::Flood}, {A::Flood}, {A::Flood}, {A::Flood}});
  fake.flood_writes_ = 0;
  ASSERT_EQ(SendStream(a.port, a.id, &client_, H("proj 100000 g.bak 0") + data), End::Notify);
  ASSERT_TRUE(WaitFor([&] { return fake.flood_writes_ > 10; })) << a.Err();
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(a.Stop(), 0) << a.Err();
  EXPECT_LT(std::chrono::steady_clock::now() - t0, ms(10000));
  EXPECT_TRUE(Exists(a.Progress("proj", "g.bak")));
}

// A save that cannot be read for a while (here its folder is closed to the
// relay's user) keeps its record, waits behind the saves queued after it,
// also across a restart, and goes once it can be read.
TEST_F(Dlv, AnUnreadableSaveWaitsBehindTheOthersAndGoesOnceReadable) {
  if (geteuid() != 0) GTEST_SKIP() << "runs the relay as nobody: needs root";
  FakeReceiver fake(next_, a_->id);
  Relay& a = Pusher(fake, next_);
  a.user = "nobody";
  const std::string one = Random(5000, 66), two = Random(6000, 67), three = Random(7000, 68);
  const auto t = fs::file_time_type::clock::now();
  int age = 3;
  for (const auto& [repo, save, bytes] : {std::tuple{"proj", "one", &one}, {"bad", "two", &two}, {"proj", "three", &three}}) {
    Write(a.Save(repo, save), *bytes);
    fs::last_write_time(a.Save(repo, save), t - std::chrono::minutes(age--));  // recovered oldest first
    Write(a.Progress(repo, save), "0");
  }
  const fs::path bad = a.root / "saves" / "bad";
  fs::permissions(bad, fs::perms::none);
  ASSERT_TRUE(a.Start()) << a.Err();
  ASSERT_TRUE(WaitFor([&] { return fake.Complete("one") && fake.Complete("three"); })) << a.Err();
  EXPECT_TRUE(a.Line(kErr + "forwarding bad/two (it waits behind the saves queued after it) fails: "
                            "cannot open the save bad/two: Permission denied; retrying")) << a.Err();
  EXPECT_TRUE(Exists(a.Progress("bad", "two")));
  // Stopped while the fault lasts: queued again, and replayed at the start.
  ASSERT_EQ(a.Stop(), 0) << a.Err();
  EXPECT_EQ(Read(a.Queue()), "bad\ttwo\n");
  ASSERT_TRUE(a.Start()) << a.Err();
  std::this_thread::sleep_for(ms(1500));
  EXPECT_TRUE(Exists(a.Progress("bad", "two"))) << a.Err();
  EXPECT_EQ(a.Err().find("is gone"), std::string::npos) << a.Err();
  fs::permissions(bad, fs::perms::owner_all);
  EXPECT_TRUE(WaitFor([&] { return fake.Complete("two") && !Exists(a.Progress("bad", "two")); }, ms(40000)))
      << a.Err();
  EXPECT_TRUE(Same(fake.Held("two"), two));
  EXPECT_TRUE(a.Line(kInfo + "forwarding bad/two (it waits behind the saves queued after it) works again")) << a.Err();
  EXPECT_EQ(a.Stop(), 0);
}

// A backlog several times larger than the descriptors a relay may open:
// waiting saves hold none, so nothing is dropped and all arrive in order.
TEST_F(Net, BacklogBeyondTheDescriptorLimitIsDeliveredWhole) {
  Relay &a = NewRelay("a"), &b = NewRelay("b");
  Link(a, b, true);
  constexpr int kSaves = 1000;
  std::vector<std::string> names;
  for (int i = 0; i < kSaves; ++i) {
    names.push_back("s" + std::to_string(10000 + i));
    Write(a.Save("projB", names.back()), Random(1024, 1000 + i));
    Write(a.Progress("projB", names.back()), "0");
  }
  ASSERT_TRUE(b.Start()) << b.Err();
  rlimit old{};
  getrlimit(RLIMIT_NOFILE, &old);
  rlimit low = old;
  low.rlim_cur = 128;
  setrlimit(RLIMIT_NOFILE, &low);  // inherited by the relay started now
  const bool started = a.Start();
  setrlimit(RLIMIT_NOFILE, &old);
  ASSERT_TRUE(started) << a.Err();
  EXPECT_TRUE(WaitFor([&] { return Files(a.root / "forwards").empty(); }, ms(240000)))
      << Files(a.root / "forwards").size() << " records left\n" << a.Err();
  int missing = 0;
  for (int i = 0; i < kSaves; ++i)
    missing += Read(b.Save("projB", names[i])) != Read(a.Save("projB", names[i])) ||
               Exists(b.Save("projB", names[i] + "_pending"));
  EXPECT_EQ(missing, 0);
  EXPECT_EQ(a.Err().find(kErr), std::string::npos) << a.Err();
  EXPECT_EQ(a.Stop(), 0);
  EXPECT_EQ(Read(a.Queue()), "");
}

// The dial role meets a sender whose certificate it refuses, then one that
// refuses its own (with TLS 1.3 that shows only at the first read): it
// stays up, says so once, and dials less and less often until mended.
TEST_F(Net, DialRoleOutlivesWrongCertificatesBothWays) {
  Relay& d = NewRelay("d");
  d.host = "127.0.0.1", d.peer_cn = sender_.name, d.senders = {&sender_}, d.delay_ms = 100;
  d.port = FreePort();
  d.WriteFiles();
  ASSERT_TRUE(d.Start()) << d.Err();
  const std::string fails = kErr + "fetching from 127.0.0.1:" + std::to_string(d.port) + " ";
  for (const Id* sender_id : {&rogue_, &sender_}) {
    const Id& trusts = sender_id == &rogue_ ? d.id : rogue_;
    const std::size_t m = d.proc->Mark();
    Server s(*sender_id, trusts, d.port);
    std::this_thread::sleep_for(ms(3000));
    // At a fixed 100 ms it would be 30 or, with no pause, hundreds.
    EXPECT_LT(s.conns + static_cast<int>(s.Accepted().size()), 2 * 12) << d.Err();
    EXPECT_NE(d.Err().find(fails, m), std::string::npos) << d.Err();
    EXPECT_TRUE(d.proc->Running());
  }
  {
    Server s(sender_, d.id, d.port);
    s.Push(H("projW 3 w.bak 0") + "abc");
    EXPECT_TRUE(WaitFor([&] { return s.Ends() == std::vector<End>{End::Notify}; })) << d.Err();
  }
  EXPECT_EQ(Read(d.Save("projW", "w.bak")), "abc");
  EXPECT_TRUE(d.Line(kInfo + "fetching from 127.0.0.1:" + std::to_string(d.port) + " works again")) << d.Err();
  EXPECT_EQ(d.Stop(), 0);
}

}  // namespace
}  // namespace tw
