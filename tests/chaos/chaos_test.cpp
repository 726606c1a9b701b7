// Chaos on a chain of three relays: a sender feeds a, a pushes to b (dial
// mode), c fetches from b (listen mode), and both hops run through proxies of
// this test that reset, close and stall connections while relays are killed
// (SIGKILL) or stopped (SIGTERM) and started again. Then the faults stop,
// and once everything is up and quiet every save whose tarnwick-send exited 0
// must be at c byte for byte, no relay may hold a complete save with wrong
// bytes, nothing may be left pending, queued or in progress for those saves,
// and no relay may have ended on its own.
//
// The default run is bounded for CI: 90 s of chaos, then up to 120 s of calm.
// A soak runs by hand with a seed and a duration:
//
//   TARNWICK_CHAOS_SECONDS=600 TARNWICK_CHAOS_SEED=1234 build/tests/tarnwick_chaos_tests
//
// The seed is printed first (a random one unless given); it fixes which
// faults strike in which order and the saves' sizes and bytes, not the exact
// moments, which depend on the machine. TARNWICK_CHAOS_FAULTS=0 runs the
// same traffic without a single fault, which checks the test itself. A
// failed run keeps its directory: every relay run's event lines and
// chaos.log, the timeline printed here.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <map>
#include <set>

#include "chaos/fault_proxy.h"
#include "process/process.h"

namespace tw {
namespace {

using Clock = std::chrono::steady_clock;
using Fault = FaultProxy::Fault;
// What a relay promises for a stop.
constexpr ms kStopLimit{10000};

long long EnvNumber(const char* name, long long fallback) {
  const char* v = std::getenv(name);
  return v && *v ? std::atoll(v) : fallback;
}

struct Config {
  std::uint64_t seed;
  long long chaos_s, calm_s, saves;
  bool faults;
  static Config FromEnvironment() {
    Config c;
    const char* s = std::getenv("TARNWICK_CHAOS_SEED");
    c.seed = s && *s ? std::strtoull(s, nullptr, 10) : std::random_device{}();
    c.chaos_s = std::max(5LL, EnvNumber("TARNWICK_CHAOS_SECONDS", 90));
    c.calm_s = 120;
    c.saves = std::max(30LL, c.chaos_s * 2 / 5);
    c.faults = EnvNumber("TARNWICK_CHAOS_FAULTS", 1) != 0;
    return c;
  }
};

// Lines stamped with the seconds since the start, on stdout and in chaos.log.
class Timeline {
 public:
  explicit Timeline(const fs::path& file) : out_(file) {}
  void operator()(const std::string& what) {
    std::lock_guard l(mu_);
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "[%7.2f] ", std::chrono::duration<double>(Clock::now() - t0_).count());
    const std::string line = stamp + what + "\n";
    std::fputs(line.c_str(), stdout);
    std::fflush(stdout);
    out_ << line << std::flush;
  }

 private:
  std::mutex mu_;
  std::ofstream out_;
  const Clock::time_point t0_ = Clock::now();
};

// Below Linux's ephemeral range (from 32768): while a relay is down, no
// outgoing connection, and the proxies make many, can take its port and make
// the restart fail.
std::uint16_t QuietPort(std::set<std::uint16_t>& taken) {
  std::mt19937 gen{std::random_device{}()};
  for (;;) {
    const auto port = static_cast<std::uint16_t>(20000 + gen() % 12000);
    if (!taken.insert(port).second) continue;
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in any = Loopback(port);
    any.sin_addr.s_addr = htonl(INADDR_ANY);  // relays listen on every address
    const bool free = bind(fd, reinterpret_cast<const sockaddr*>(&any), sizeof any) == 0;
    close(fd);
    if (free) return port;
  }
}

std::string Tail(const std::string& text, int lines) {
  std::size_t p = text.size();
  if (p > 0 && text[p - 1] == '\n') --p;
  while (lines-- > 0) {
    if (p == 0) return text;
    p = text.rfind('\n', p - 1);
    if (p == std::string::npos) return text;
  }
  return text.substr(p + 1);
}

std::string FirstLine(const std::string& text) { return text.substr(0, text.find('\n')); }

// Where two byte strings part, for messages.
std::size_t Mismatch(const std::string& x, const std::string& y) {
  return static_cast<std::size_t>(
      std::mismatch(x.begin(), x.begin() + std::min(x.size(), y.size()), y.begin()).first - x.begin());
}

struct Sent {
  std::string repo, bytes;
  fs::path file;
  int attempts = 0;
  bool confirmed = false;
};

struct Node {
  std::string name;
  Relay* relay;
  int reported_run = 0;  // the last run already reported as ended on its own
};

struct Findings {
  std::vector<std::string> missing, leftover, wrong;
  bool Quiet() const { return missing.empty() && leftover.empty(); }
};

struct Chaos : Net {
  std::unique_ptr<Timeline> log;
  std::vector<Node> nodes;  // a, b, c
  int kills = 0, terms = 0, link_faults = 0, own_exits = 0;
  std::map<fs::path, std::string> held_;  // bytes of complete saves, which never change

  Relay& A() { return *nodes[0].relay; }
  Relay& B() { return *nodes[1].relay; }
  Relay& C() { return *nodes[2].relay; }

  void Start(Node& n) {
    if (n.relay->Start()) {
      (*log)(n.name + ": running (run " + std::to_string(n.relay->runs) + ")");
      return;
    }
    ADD_FAILURE() << n.name << " run " << n.relay->runs << " did not start:\n" << Tail(n.relay->Err(), 15);
    (*log)(n.name + ": did not start");
  }

  // Every exit must be one this test caused; a relay found gone is
  // reported and started again so that the chaos goes on.
  void CheckAlive(Node& n) {
    Proc& p = *n.relay->proc;
    if (!p.Wait(ms(0))) return;
    if (n.reported_run != n.relay->runs) {
      n.reported_run = n.relay->runs;
      ++own_exits;
      ADD_FAILURE() << n.name << " (run " << n.relay->runs << ") ended on its own with status " << *p.status_
                    << "; its last event lines:\n"
                    << Tail(n.relay->Err(), 15);
      (*log)(n.name + ": ENDED ON ITS OWN with status " + std::to_string(*p.status_));
    }
    Start(n);
  }

  void Terminate(Node& n) {
    Proc& p = *n.relay->proc;
    const auto t = Clock::now();
    p.Kill(SIGTERM);
    const auto st = p.Wait(kStopLimit);
    const double took = std::chrono::duration<double>(Clock::now() - t).count();
    if (!st) {
      ADD_FAILURE() << n.name << " (run " << n.relay->runs
                    << ") still ran 10 s after SIGTERM; its last event lines:\n"
                    << Tail(n.relay->Err(), 15);
      (*log)(n.name + ": STILL RUNNING 10 s after SIGTERM, killed");
      p.Kill(SIGKILL);
      p.Wait();
      return;
    }
    if (*st != 0)
      ADD_FAILURE() << n.name << " (run " << n.relay->runs << ") exited " << *st << " after SIGTERM:\n"
                    << Tail(n.relay->Err(), 15);
    char text[96];
    std::snprintf(text, sizeof text, ": stopped with status %d in %.2f s", *st, took);
    (*log)(n.name + text);
  }

  // One fault: a relay down and up again, or a link struck. Transfers take
  // a fraction of the time between saves, so half the relay faults wait for
  // traffic on a link and strike one of its ends in the middle of it.
  void Strike(std::mt19937_64& rng, FaultProxy& p1, FaultProxy& p2) {
    const unsigned roll = rng() % 100;
    if (roll < 40) {
      const bool term = roll >= 25, mid = rng() % 2;
      const auto down = ms(rng() % 2000);
      const std::size_t link = rng() % 2, end = rng() % 2;
      const long long after = 1 + static_cast<long long>(rng() % (1 << 20));
      Node& n = mid ? nodes[link + end] : nodes[rng() % nodes.size()];  // a->b: a or b; c->b: b or c
      CheckAlive(n);
      std::string when;
      if (mid) {
        FaultProxy& p = link ? p2 : p1;
        const long long from = p.Relayed();
        const bool hit = WaitFor([&] { return p.Relayed() >= from + after; }, ms(4000));
        when = hit ? " " + std::to_string(p.Relayed() - from) + " bytes into traffic on the " +
                         (link ? "c->b" : "a->b") + " link"
                   : " (no traffic came)";
      }
      if (!term) {
        ++kills;
        (*log)(n.name + ": SIGKILL" + when + ", down for " + std::to_string(down.count()) + " ms");
        n.relay->proc->Kill(SIGKILL);
        n.relay->proc->Wait();
      } else {
        ++terms;
        (*log)(n.name + ": SIGTERM" + when + ", down for " + std::to_string(down.count()) + " ms");
        Terminate(n);
      }
      std::this_thread::sleep_for(down);
      Start(n);
      return;
    }
    // Resets, FINs and short stalls alike; black holes are rarer, as they last.
    static constexpr Fault kinds[] = {Fault::Reset, Fault::Reset, Fault::Reset, Fault::Fin,   Fault::Fin,
                                      Fault::Fin,   Fault::Stall, Fault::Stall, Fault::Stall, Fault::BlackHole};
    FaultProxy& p = rng() % 2 ? p1 : p2;
    ++link_faults;
    p.Inject(kinds[rng() % std::size(kinds)]);
  }

  // The bytes of a complete save at r, or nothing when it is absent or pending.
  std::optional<std::string> Complete(const Relay& r, const std::string& repo, const std::string& save,
                                      long long size = -1) {
    const fs::path at = r.Save(repo, save);
    const long long has = SizeOf(at);
    if (has < 0 || Exists(r.Save(repo, save + "_pending")) || (size >= 0 && has != size)) return std::nullopt;
    auto it = held_.find(at);
    if (it == held_.end() || static_cast<long long>(it->second.size()) != has)
      it = held_.insert_or_assign(at, Read(at)).first;
    return it->second;
  }

  static std::string State(const Relay& r, const std::string& name, const std::string& repo,
                           const std::string& save, std::size_t size) {
    const fs::path at = r.Save(repo, save), marker = r.Save(repo, save + "_pending");
    if (!Exists(at) && !Exists(marker)) return name + " has nothing";
    std::string s = name + " holds " + std::to_string(SizeOf(at)) + " of " + std::to_string(size) + " bytes";
    return Exists(marker) ? s + ", marker '" + Read(marker) + "'" : s + ", complete";
  }

  // Every complete save at a, against the rest of the chain. A save a
  // completed but never confirmed (its sender was cut off after a stored it)
  // must be passed on all the same: it is complete, so it is forwarded.
  Findings Survey(const std::vector<Sent>& sent, bool final) {
    if (final) held_.clear();
    Findings f;
    std::map<std::pair<std::string, std::string>, std::string> at_a;
    for (const std::string& rel : Files(A().root / "saves")) {
      const fs::path p(rel);
      const std::string repo = p.parent_path().string(), save = p.filename().string();
      if (save.ends_with("_pending")) continue;
      if (auto bytes = Complete(A(), repo, save)) at_a[{repo, save}] = *bytes;
    }
    std::set<std::pair<std::string, std::string>> confirmed;
    for (const Sent& s : sent) {
      if (!s.confirmed) continue;
      bool found = false;
      for (const auto& [key, bytes] : at_a)
        if (key.first == s.repo && bytes == s.bytes) confirmed.insert(key), found = true;
      if (!found)
        f.wrong.push_back(s.repo + ": confirmed to its sender, but a holds no complete copy of its " +
                          std::to_string(s.bytes.size()) + " bytes");
    }
    std::vector<std::pair<Relay*, std::string>> queues;
    for (Node& n : nodes) queues.emplace_back(n.relay, "\n" + Read(n.relay->root / "toforward"));
    for (const auto& [key, bytes] : at_a) {
      const auto& [repo, save] = key;
      const std::string what =
          repo + "/" + save + (confirmed.count(key) ? "" : " (never confirmed to its sender)");
      const auto at_c = Complete(C(), repo, save, static_cast<long long>(bytes.size()));
      if (!at_c || *at_c != bytes)
        f.missing.push_back(what + ": " + State(B(), "b", repo, save, bytes.size()) + "; " +
                            State(C(), "c", repo, save, bytes.size()) +
                            (at_c ? " with wrong bytes from " + std::to_string(Mismatch(*at_c, bytes)) : ""));
      for (std::size_t i = 0; i < nodes.size(); ++i) {
        const Relay& r = *nodes[i].relay;
        const std::string at = " at " + nodes[i].name + ": " + what;
        if (Exists(r.Save(repo, save + "_pending"))) f.leftover.push_back("marker" + at);
        if (Exists(r.Record(repo, save)))
          f.leftover.push_back("forwards record '" + Read(r.Record(repo, save)) + "'" + at);
        if (queues[i].second.find("\n" + repo + "\t" + save + "\n") != std::string::npos)
          f.leftover.push_back("toforward line" + at);
      }
    }
    if (!final) return f;
    // What b and c hold came from a: whole, or a beginning of it.
    for (std::size_t i = 1; i < nodes.size(); ++i) {
      const Relay& r = *nodes[i].relay;
      for (const std::string& rel : Files(r.root / "saves")) {
        const fs::path p(rel);
        const std::string repo = p.parent_path().string(), save = p.filename().string();
        if (save.ends_with("_pending")) continue;
        const std::string bytes = Read(r.Save(repo, save));
        const bool pending = Exists(r.Save(repo, save + "_pending"));
        const std::string what = nodes[i].name + " holds " + (pending ? "pending " : "complete ") + rel +
                                 " (" + std::to_string(bytes.size()) + " bytes)";
        const auto it = at_a.find({repo, save});
        if (it == at_a.end())
          f.wrong.push_back(what + ", which a does not hold complete");
        else if (pending ? !it->second.starts_with(bytes) : it->second != bytes)
          f.wrong.push_back(what + ", a's has " + std::to_string(it->second.size()) +
                            " bytes and they part at byte " + std::to_string(Mismatch(bytes, it->second)));
      }
    }
    return f;
  }
};

TEST_F(Chaos, EveryConfirmedSaveReachesTheEndOfTheChain) {
  const Config cfg = Config::FromEnvironment();
  std::printf("chaos seed %llu: %lld s of chaos%s, %lld saves, up to %lld s of calm; run directory %s\n",
              static_cast<unsigned long long>(cfg.seed), cfg.chaos_s, cfg.faults ? "" : " WITHOUT FAULTS",
              cfg.saves, cfg.calm_s, dir_.c_str());
  SCOPED_TRACE("TARNWICK_CHAOS_SEED=" + std::to_string(cfg.seed));
  log = std::make_unique<Timeline>(dir_ / "chaos.log");
  std::mt19937_64 rng(cfg.seed);

  Relay &a = NewRelay("a"), &b = NewRelay("b"), &c = NewRelay("c");
  nodes = {{"a", &a}, {"b", &b}, {"c", &c}};
  std::set<std::uint16_t> taken;
  for (Relay* r : {&a, &b, &c})
    r->port = QuietPort(taken), r->closure_port = QuietPort(taken), r->fwd_port = QuietPort(taken);
  for (Relay* r : {&a, &b, &c}) {
    r->ini["Connection"]["Port"] = std::to_string(r->port);
    r->ini["Connection"]["ClosurePort"] = std::to_string(r->closure_port);
    // A moderate rate keeps transfers going long enough for faults to land in them.
    r->ini["Connection"]["ThrottlingEnabled"] = "1", r->ini["Connection"]["Bandwith"] = "2048";
  }
  Link(a, b, /*dial=*/true);
  Link(b, c, /*dial=*/false);
  auto note = [this](const std::string& s) { (*log)(s); };
  FaultProxy p1("a->b link", b.port, rng(), note), p2("c->b link", b.fwd_port, rng(), note);
  a.ini["Forward"]["Port"] = std::to_string(p1.port());
  c.ini["Connection"]["Port"] = std::to_string(p2.port());  // c's closure dial goes straight to b
  a.WriteFiles();
  c.WriteFiles();
  for (int i : {2, 1, 0}) ASSERT_TRUE(nodes[i].relay->Start()) << nodes[i].relay->Err();

  std::vector<Sent> sent(static_cast<std::size_t>(cfg.saves));
  const double lo = std::log(1024.0), hi = std::log(4.0 * 1024 * 1024);
  for (std::size_t i = 0; i < sent.size(); ++i) {
    Sent& s = sent[i];
    s.repo = "r" + std::to_string(i);
    const double u = static_cast<double>(rng() % 1000000) / 1000000;
    s.bytes = Random(static_cast<std::size_t>(std::exp(lo + u * (hi - lo))), static_cast<unsigned>(rng()));
    s.file = dir_ / "in" / s.repo;
    Write(s.file, s.bytes);
  }

  const auto t0 = Clock::now(), chaos_end = t0 + std::chrono::seconds(cfg.chaos_s);
  std::atomic<bool> over{false};
  // Saves spread over most of the chaos; each is sent again until it is
  // confirmed or the chaos is over.
  std::thread sender([&] {
    const auto spacing = std::chrono::duration<double>(0.9 * cfg.chaos_s / sent.size());
    for (std::size_t i = 0; i < sent.size(); ++i) {
      Sent& s = sent[i];
      const auto at = t0 + std::chrono::duration_cast<Clock::duration>(spacing * i);
      while (!over && Clock::now() < at) std::this_thread::sleep_for(ms(50));
      while (!over) {
        ++s.attempts;
        const Ran ran = Send(a, s.repo, s.file);
        const auto st = ran.status;
        const std::string& err = ran.err;
        const std::string what = "send " + s.repo + " (" + std::to_string(s.bytes.size()) +
                                 " bytes) attempt " + std::to_string(s.attempts) + ": ";
        if (st == 0) {
          s.confirmed = true;
          (*log)(what + "confirmed");
          break;
        }
        (*log)(what + (st ? "exit " + std::to_string(*st) : "no exit within 20 s") + " " + FirstLine(err));
        std::this_thread::sleep_for(ms(500));
      }
    }
  });
  struct Join {
    std::atomic<bool>& over;
    std::thread& t;
    ~Join() {
      over = true;
      if (t.joinable()) t.join();
    }
  } join{over, sender};

  while (Clock::now() < chaos_end) {
    const auto pause = ms(500 + rng() % 2500);
    std::this_thread::sleep_until(std::min(chaos_end, Clock::now() + pause));
    for (Node& n : nodes) CheckAlive(n);
    if (cfg.faults && Clock::now() < chaos_end) Strike(rng, p1, p2);
  }
  over = true;
  sender.join();
  const auto confirmed = std::count_if(sent.begin(), sent.end(), [](const Sent& s) { return s.confirmed; });
  int attempts = 0;
  for (const Sent& s : sent) attempts += s.attempts;
  (*log)("chaos over: " + std::to_string(kills) + " SIGKILLs, " + std::to_string(terms) + " SIGTERMs, " +
         std::to_string(link_faults) + " link faults; " + std::to_string(confirmed) + " of " +
         std::to_string(sent.size()) + " saves confirmed in " + std::to_string(attempts) + " sends");

  // Calm: every relay up, no faults; wait until the chain is quiet.
  for (Node& n : nodes) CheckAlive(n);
  const auto calm_end = Clock::now() + std::chrono::seconds(cfg.calm_s);
  Findings f;
  for (;;) {
    f = Survey(sent, false);
    if (f.Quiet() || Clock::now() >= calm_end) break;
    std::this_thread::sleep_for(ms(2000));
    for (Node& n : nodes) CheckAlive(n);
  }
  (*log)(f.Quiet() ? "quiet" : "NOT QUIET after " + std::to_string(cfg.calm_s) + " s of calm");
  // c first: its stop dials b's closure listener, which must still be there.
  for (int i : {2, 1, 0}) {
    CheckAlive(nodes[i]);
    Terminate(nodes[i]);
  }
  f = Survey(sent, true);

  EXPECT_GT(confirmed, 0) << "no save was confirmed: the run proves nothing";
  if (!cfg.faults) {
    EXPECT_EQ(confirmed, static_cast<long>(sent.size())) << "a send failed without any fault";
  }
  auto list = [](const std::vector<std::string>& lines) {
    std::string s;
    for (const std::string& l : lines) s += "  " + l + "\n";
    return s;
  };
  EXPECT_TRUE(f.missing.empty()) << f.missing.size() << " complete saves of a are not whole at c:\n"
                                 << list(f.missing);
  EXPECT_TRUE(f.leftover.empty()) << f.leftover.size() << " things left for saves that should be through:\n"
                                  << list(f.leftover);
  EXPECT_TRUE(f.wrong.empty()) << f.wrong.size() << " wrong saves:\n" << list(f.wrong);
  EXPECT_EQ(own_exits, 0) << "relays ended on their own (see above)";
  if (HasFailure())
    std::printf("replay: TARNWICK_CHAOS_SEED=%llu TARNWICK_CHAOS_SECONDS=%lld; run directory kept: %s\n",
                static_cast<unsigned long long>(cfg.seed), cfg.chaos_s, dir_.c_str());
}

}  // namespace
}  // namespace tw
