#include "chaos/fault_proxy.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <utility>
#include <vector>

#include "support/net.h"

namespace tw {

namespace {
using Clock = std::chrono::steady_clock;
const char* Name(FaultProxy::Fault f) {
  static const char* const names[] = {"reset", "FIN", "stall", "black hole"};
  return names[static_cast<int>(f)];
}
}  // namespace

// Two threads per connection, one per direction, on blocking sockets. A
// fault shuts the sockets down (which ends the threads' reads), and the
// connection is closed only once both threads are done with it.
struct FaultProxy::Conn {
  int id;
  int fd[2] = {-1, -1};  // [0] the end that dialled, [1] the target
  std::atomic<long long> relayed{0}, fire_at{-1};
  std::atomic<Clock::rep> stall_until{0};
  std::atomic<bool> dropping{false}, reset_at_end{false}, done[2] = {false, false};
  std::optional<Fault> armed;  // under the proxy's mutex
  std::thread pump[2];
};

FaultProxy::FaultProxy(std::string name, std::uint16_t target, std::uint64_t seed, Log log)
    : name_(std::move(name)), target_(target), log_(std::move(log)), rng_(seed) {
  listen_fd_ = Listen(&port_);
  if (listen_fd_ < 0) throw std::runtime_error("proxy listen");
  thread_ = std::thread([this] { AcceptLoop(); });
}

FaultProxy::~FaultProxy() {
  stop_ = true;
  thread_.join();
  for (auto& c : conns_) {
    for (int fd : c->fd) shutdown(fd, SHUT_RDWR);
    for (auto& t : c->pump) t.join();
    for (int fd : c->fd) close(fd);
  }
  close(listen_fd_);
}

void FaultProxy::Inject(Fault f) {
  std::lock_guard l(mu_);
  std::vector<Conn*> live;
  for (auto& c : conns_)
    if (!c->done[0] && !c->done[1] && !c->dropping) live.push_back(c.get());
  if (live.empty()) {
    armed_ = f;
    log_(name_ + ": " + Name(f) + " armed for the next connection");
    return;
  }
  Apply(*live[rng_() % live.size()], f, "");
}

void FaultProxy::Apply(Conn& c, Fault f, const std::string& why) {
  std::string what = name_ + ": " + Name(f) + " on connection " + std::to_string(c.id) + " after " +
                     std::to_string(c.relayed) + " bytes" + why;
  const auto now = Clock::now();
  auto stall = [&](std::chrono::milliseconds d) { c.stall_until = (now + d).time_since_epoch().count(); };
  switch (f) {
    case Fault::Reset:
      c.reset_at_end = true;
      for (int fd : c.fd) shutdown(fd, SHUT_RDWR);
      break;
    case Fault::Fin:
      c.dropping = true;
      for (int fd : c.fd) shutdown(fd, SHUT_WR);
      break;
    case Fault::Stall: {
      const auto pause = std::chrono::milliseconds(1000 + rng_() % 4000);
      what += " for " + std::to_string(pause.count()) + " ms";
      stall(pause);
      break;
    }
    case Fault::BlackHole:
      c.reset_at_end = true;
      stall(std::chrono::seconds(30));
      break;
  }
  log_(what);
}

void FaultProxy::Pump(Conn& c, int from) {
  const int to = 1 - from;
  char buf[64 * 1024];
  for (;;) {
    // A stall holds the bytes; a black hole ends in a reset once it is over.
    while (Clock::now().time_since_epoch().count() < c.stall_until && !stop_) {
      pollfd p{c.fd[from], 0, 0};
      if (poll(&p, 1, 50) > 0 && (p.revents & (POLLERR | POLLHUP))) break;  // an end gave up
    }
    if (c.reset_at_end && c.stall_until != 0 && Clock::now().time_since_epoch().count() >= c.stall_until) {
      for (int fd : c.fd) shutdown(fd, SHUT_RDWR);
      break;
    }
    std::size_t want = sizeof buf;
    // An armed fault strikes at its byte, not at the end of a large read.
    if (c.fire_at >= 0) want = std::min<long long>(want, std::max(1LL, c.fire_at - c.relayed));
    const ssize_t n = read(c.fd[from], buf, want);
    if (n <= 0) {
      if (n < 0 || c.reset_at_end) {
        c.reset_at_end = true;  // an end reset: so does the other
        shutdown(c.fd[to], SHUT_RDWR);
      } else {
        shutdown(c.fd[to], SHUT_WR);  // a FIN travels on once what came before it has
      }
      break;
    }
    if (c.dropping) continue;  // after a FIN both ways, reads are dropped until both ends close
    if (send(c.fd[to], buf, static_cast<std::size_t>(n), MSG_NOSIGNAL) != n) {
      c.reset_at_end = true;
      shutdown(c.fd[from], SHUT_RDWR);
      break;
    }
    relayed_ += n;
    if ((c.relayed += n) >= c.fire_at && c.fire_at >= 0) {
      std::lock_guard l(mu_);
      c.fire_at = -1;
      if (c.armed) Apply(c, *std::exchange(c.armed, std::nullopt), " (armed)");
    }
  }
  c.done[from] = true;
}

void FaultProxy::AcceptLoop() {
  while (!stop_) {
    // Connections whose two directions are over are closed here.
    {
      std::lock_guard l(mu_);
      for (auto it = conns_.begin(); it != conns_.end();) {
        Conn& c = **it;
        if (!c.done[0] || !c.done[1]) {
          ++it;
          continue;
        }
        for (auto& t : c.pump) t.join();
        if (c.armed && !armed_) armed_ = c.armed;  // it ended before the byte: the next one gets it
        for (int fd : c.fd) {
          if (c.reset_at_end) {
            const linger lg{1, 0};
            setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
          }
          close(fd);
        }
        it = conns_.erase(it);
      }
    }
    pollfd p{listen_fd_, POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    const int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    const int out = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in a = Loopback(target_);
    if (connect(out, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
      // The target is down: the dialler sees its connection cut.
      const linger lg{1, 0};
      setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
      close(fd), close(out);
      continue;
    }
    std::lock_guard l(mu_);
    auto c = std::make_unique<Conn>();
    c->id = ++next_id_;
    c->fd[0] = fd, c->fd[1] = out;
    if (armed_) {
      c->armed = std::exchange(armed_, std::nullopt);
      // Half the time within the handshake and header, else in a save's first 512 KiB.
      c->fire_at = static_cast<long long>(rng_() % 2 ? rng_() % 8192 : rng_() % (512 << 10));
    }
    Conn* raw = c.get();
    for (int i = 0; i < 2; ++i) raw->pump[i] = std::thread([this, raw, i] { Pump(*raw, i); });
    conns_.push_back(std::move(c));
  }
}

}  // namespace tw
