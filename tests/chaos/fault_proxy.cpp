#include "chaos/fault_proxy.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

#include <utility>

#include "support/net.h"

namespace tw {

namespace {
using Clock = std::chrono::steady_clock;
// Per direction; a slow end pushes back on its peer through TCP as it would
// without the proxy.
constexpr std::size_t kCap = 256 * 1024;
constexpr std::chrono::seconds kDrain{10};

void Linger0(int fd) {
  const linger l{1, 0};
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
}
}  // namespace

const char* Name(FaultProxy::Fault f) {
  switch (f) {
    case FaultProxy::Fault::Reset: return "reset";
    case FaultProxy::Fault::Fin: return "FIN";
    case FaultProxy::Fault::Stall: return "stall";
    case FaultProxy::Fault::BlackHole: return "black hole";
  }
  return "?";
}

struct FaultProxy::Conn {
  int id;
  int fd[2] = {-1, -1};  // [0] the end that dialled, [1] the target
  bool connecting = true;
  std::string buf[2];       // read from fd[i], owed to fd[1 - i]
  std::size_t off[2] = {};  // bytes of buf[i] already written
  bool eof[2] = {}, shut[2] = {};
  bool stalled = false, reset_after_stall = false;
  Clock::time_point stall_until{};
  bool draining = false;  // after a FIN both ways: reads are dropped until both ends close
  Clock::time_point drain_until{};
  long long relayed = 0, fire_at = -1;
  std::optional<Fault> armed;
  bool dead = false;
  std::size_t Owed(int i) const { return buf[i].size() - off[i]; }
};

FaultProxy::FaultProxy(std::string name, std::uint16_t target, std::uint64_t seed, Log log)
    : name_(std::move(name)), target_(target), rng_(seed), log_(std::move(log)) {
  listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  sockaddr_in a = Loopback(0);
  socklen_t len = sizeof a;
  auto* sa = reinterpret_cast<sockaddr*>(&a);
  if (bind(listen_fd_, sa, len) != 0 || listen(listen_fd_, 64) != 0 || getsockname(listen_fd_, sa, &len) != 0)
    throw std::runtime_error("proxy listen: " + std::to_string(errno));
  port_ = ntohs(a.sin_port);
  wake_fd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  thread_ = std::thread([this] { Loop(); });
}

FaultProxy::~FaultProxy() {
  {
    std::lock_guard l(mu_);
    stop_ = true;
  }
  const std::uint64_t one = 1;
  (void)!write(wake_fd_, &one, sizeof one);
  thread_.join();
  for (auto& c : conns_)
    if (!c->dead) Reset(*c);
  close(listen_fd_);
  close(wake_fd_);
}

void FaultProxy::Inject(Fault f) {
  {
    std::lock_guard l(mu_);
    commands_.push_back(f);
  }
  const std::uint64_t one = 1;
  (void)!write(wake_fd_, &one, sizeof one);
}

void FaultProxy::TakeCommands() {
  std::vector<Fault> todo;
  {
    std::lock_guard l(mu_);
    todo.swap(commands_);
  }
  for (Fault f : todo) {
    std::vector<Conn*> live;
    for (auto& c : conns_)
      if (!c->dead && !c->connecting && !c->draining) live.push_back(c.get());
    if (live.empty()) {
      armed_ = f;
      log_(name_ + ": " + Name(f) + " armed for the next connection");
    } else {
      Apply(*live[rng_() % live.size()], f, "");
    }
  }
}

void FaultProxy::Reset(Conn& c) {
  for (int& fd : c.fd)
    if (fd >= 0) Linger0(fd), close(std::exchange(fd, -1));
  c.dead = true;
}

void FaultProxy::Close(Conn& c) {
  for (int& fd : c.fd)
    if (fd >= 0) close(std::exchange(fd, -1));
  c.dead = true;
}

void FaultProxy::Apply(Conn& c, Fault f, const std::string& why) {
  const auto now = Clock::now();
  std::string what = name_ + ": " + Name(f) + " on connection " + std::to_string(c.id) + " after " +
                     std::to_string(c.relayed) + " bytes" + why;
  switch (f) {
    case Fault::Reset: Reset(c); break;
    case Fault::Fin:
      shutdown(c.fd[0], SHUT_WR);
      shutdown(c.fd[1], SHUT_WR);
      for (int i = 0; i < 2; ++i) c.buf[i].clear(), c.off[i] = 0;
      c.stalled = false;
      c.draining = true;
      c.drain_until = now + kDrain;
      break;
    case Fault::Stall: {
      const auto pause = std::chrono::milliseconds(1000 + rng_() % 4000);
      what += " for " + std::to_string(pause.count()) + " ms";
      c.stalled = true;
      c.stall_until = std::max(c.stall_until, now + pause);
      break;
    }
    case Fault::BlackHole:
      c.stalled = true;
      c.reset_after_stall = true;
      c.stall_until = now + kBlackHole;
      break;
  }
  log_(what);
}

void FaultProxy::Accept() {
  for (;;) {
    const int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return;
    auto c = std::make_unique<Conn>();
    c->id = ++next_id_;
    c->fd[0] = fd;
    c->fd[1] = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const sockaddr_in to = Loopback(target_);
    if (connect(c->fd[1], reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0 && errno != EINPROGRESS)
      Reset(*c);  // the target is down: the dialler sees its connection cut
    else
      conns_.push_back(std::move(c));
  }
}

void FaultProxy::Serve(Conn& c, const short revents[2]) {
  constexpr short kGone = POLLERR | POLLHUP;
  if (c.connecting) {
    if (revents[0] & kGone) return Reset(c);
    if (!revents[1]) return;
    int err = 0;
    socklen_t len = sizeof err;
    getsockopt(c.fd[1], SOL_SOCKET, SO_ERROR, &err, &len);
    if (err != 0) return Reset(c);
    c.connecting = false;
    if (armed_) {
      c.armed = std::exchange(armed_, std::nullopt);
      // Half the time within the handshake and header, else anywhere in a save.
      c.fire_at = static_cast<long long>(rng_() % 2 ? rng_() % 8192 : rng_() % (2 << 20));
    }
    return;
  }
  if (c.stalled) {
    // An end that gave up on a stalled connection drops it.
    if ((revents[0] | revents[1]) & kGone) {
      log_(name_ + ": an end dropped stalled connection " + std::to_string(c.id));
      Reset(c);
    }
    return;
  }
  char tmp[64 * 1024];
  if (c.draining) {
    for (int i = 0; i < 2; ++i) {
      if (!revents[i] || c.eof[i]) continue;
      const ssize_t n = read(c.fd[i], tmp, sizeof tmp);
      if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) c.eof[i] = true;
    }
    if (c.eof[0] && c.eof[1]) Close(c);
    return;
  }
  for (int i = 0; i < 2; ++i) {
    if (!(revents[i] & (POLLIN | kGone)) || c.eof[i] || c.Owed(i) >= kCap) continue;
    std::size_t want = std::min(sizeof tmp, kCap - c.Owed(i));
    // An armed fault strikes at its byte, not at the end of a large read.
    if (c.armed) want = std::min<std::size_t>(want, std::max(1LL, c.fire_at - c.relayed));
    const ssize_t n = read(c.fd[i], tmp, want);
    if (n > 0) {
      if (c.off[i] == c.buf[i].size()) c.buf[i].clear(), c.off[i] = 0;
      c.buf[i].append(tmp, static_cast<std::size_t>(n));
      c.relayed += n;
      relayed_ += n;
    } else if (n == 0) {
      c.eof[i] = true;
    } else if (errno != EAGAIN && errno != EINTR) {
      return Reset(c);  // an end reset: so does the other
    }
  }
  for (int i = 0; i < 2; ++i) {
    const int from = 1 - i;
    if (c.Owed(from) == 0) continue;
    const ssize_t n = send(c.fd[i], c.buf[from].data() + c.off[from], c.Owed(from), MSG_NOSIGNAL);
    if (n > 0) {
      c.off[from] += static_cast<std::size_t>(n);
      if (c.off[from] > kCap) c.buf[from].erase(0, c.off[from]), c.off[from] = 0;
    } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
      return Reset(c);
    }
  }
  // A FIN travels on once what came before it has.
  for (int i = 0; i < 2; ++i)
    if (c.eof[i] && c.Owed(i) == 0 && !c.shut[1 - i]) shutdown(c.fd[1 - i], SHUT_WR), c.shut[1 - i] = true;
  if (c.shut[0] && c.shut[1]) return Close(c);
  if (c.armed && c.relayed >= c.fire_at) {
    const Fault f = *std::exchange(c.armed, std::nullopt);
    Apply(c, f, " (armed)");
  }
}

void FaultProxy::Loop() {
  std::vector<pollfd> fds;
  for (;;) {
    {
      std::lock_guard l(mu_);
      if (stop_) return;
    }
    TakeCommands();
    const auto now = Clock::now();
    for (auto& c : conns_) {
      if (!c->dead && c->stalled && now >= c->stall_until) {
        c->stalled = false;
        if (c->reset_after_stall) {
          log_(name_ + ": black hole on connection " + std::to_string(c->id) + " ends in a reset");
          Reset(*c);
        }
      }
      if (!c->dead && c->draining && now >= c->drain_until) Close(*c);
    }
    std::erase_if(conns_, [](const auto& c) { return c->dead; });

    fds.assign({{wake_fd_, POLLIN, 0}, {listen_fd_, POLLIN, 0}});
    for (auto& c : conns_) {
      for (int i = 0; i < 2; ++i) {
        short ev = 0;
        bool watch = true;
        if (c->connecting) {
          ev = i == 1 ? POLLOUT : 0;
        } else if (c->stalled) {
          watch = !(c->eof[i] && c->shut[i]);  // would report POLLHUP for ever
        } else if (c->draining) {
          ev = POLLIN, watch = !c->eof[i];
        } else {
          if (!c->eof[i] && c->Owed(i) < kCap) ev |= POLLIN;
          if (c->Owed(1 - i) > 0) ev |= POLLOUT;
          watch = ev != 0;
        }
        fds.push_back({watch ? c->fd[i] : -1, ev, 0});
      }
    }
    if (poll(fds.data(), fds.size(), 100) < 0 && errno != EINTR) return;
    if (fds[0].revents) {
      std::uint64_t n;
      (void)!read(wake_fd_, &n, sizeof n);
    }
    // Only the connections that were polled: Accept adds after them.
    const std::size_t polled = conns_.size();
    for (std::size_t k = 0; k < polled; ++k) {
      const short rev[2] = {fds[2 + 2 * k].revents, fds[3 + 2 * k].revents};
      if (rev[0] || rev[1]) Serve(*conns_[k], rev);
    }
    if (fds[1].revents) Accept();
  }
}

}  // namespace tw
