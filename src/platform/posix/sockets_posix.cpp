// Sockets on POSIX: descriptors, poll for every wait.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>
#ifdef __linux__
#include <linux/sockios.h>
#include <sys/ioctl.h>
#endif

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <vector>

#include "platform/platform.h"

namespace tarnwick::platform {

namespace {
int Fd(const Socket& s) { return static_cast<int>(s.Native()); }
}  // namespace

bool Socket::Close() {
  if (s_ == kInvalidSocket) return true;
  int rc = ::close(static_cast<int>(s_));
  s_ = kInvalidSocket;
  return rc == 0;
}

void Socket::ShutdownNative(NativeSocket s) {
  if (s != kInvalidSocket) ::shutdown(static_cast<int>(s), SHUT_RDWR);
}

void Socket::Shutdown() {
  if (s_ != kInvalidSocket) ::shutdown(static_cast<int>(s_), SHUT_RDWR);
}

int StartSockets() {
  // A peer that vanishes mid-write must give a write error, not kill us.
  ::signal(SIGPIPE, SIG_IGN);
  return 0;
}

Resolution ResolveIPv4(const std::string& host, const std::string& port, bool passive) {
  Resolution r;
  addrinfo hints{};
  hints.ai_flags = passive ? AI_PASSIVE : 0;
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  addrinfo* result = nullptr;
  r.code = ::getaddrinfo(host.empty() ? nullptr : host.c_str(), port.c_str(), &hints, &result);
  if (r.code != 0) {
    r.text = ::gai_strerror(r.code);
    return r;
  }
  std::size_t len = std::min<std::size_t>(result->ai_addrlen, r.address.bytes.size());
  std::memcpy(r.address.bytes.data(), result->ai_addr, len);
  r.address.length = static_cast<int>(len);
  ::freeaddrinfo(result);
  return r;
}

Socket OpenTcpSocket() {
  return Socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP));
}

bool Bind(const Socket& s, const SockAddr& a) {
  return ::bind(Fd(s), reinterpret_cast<const sockaddr*>(a.bytes.data()),
                static_cast<socklen_t>(a.length)) == 0;
}

bool Listen(const Socket& s, int backlog) { return ::listen(Fd(s), backlog) == 0; }

bool Connect(const Socket& s, const SockAddr& a) {
  int rc;
  do {
    rc = ::connect(Fd(s), reinterpret_cast<const sockaddr*>(a.bytes.data()),
                   static_cast<socklen_t>(a.length));
  } while (rc != 0 && errno == EINTR);
  return rc == 0;
}

bool ConnectWithin(const Socket& s, const SockAddr& a, int ms, const std::function<bool()>& cancelled) {
  SetNonBlocking(s, true);
  int rc = ::connect(Fd(s), reinterpret_cast<const sockaddr*>(a.bytes.data()),
                     static_cast<socklen_t>(a.length));
  int err = rc == 0 ? 0 : errno;
  if (err == EINPROGRESS || err == EINTR) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    err = ETIMEDOUT;
    for (;;) {
      if (cancelled && cancelled()) break;
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
      if (left <= 0) break;
      pollfd p{Fd(s), POLLOUT, 0};
      int n = ::poll(&p, 1, static_cast<int>(std::min<long long>(left, 200)));
      if (n > 0) {
        socklen_t len = sizeof err;
        if (::getsockopt(Fd(s), SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
        break;
      }
    }
  }
  SetNonBlocking(s, false);
  errno = err;
  return err == 0;
}

Socket Accept(const Socket& listening, std::string& peer_ip) {
  sockaddr_in addr{};
  socklen_t addrlen = sizeof addr;
  int fd;
  do {
    fd = ::accept4(Fd(listening), reinterpret_cast<sockaddr*>(&addr), &addrlen, SOCK_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd >= 0) {
    char ip[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &addr.sin_addr, ip, sizeof ip);
    peer_ip = ip;
  }
  return Socket(fd);
}

void SetNonBlocking(const Socket& s, bool on) {
  int flags = ::fcntl(Fd(s), F_GETFL);
  if (flags < 0) return;
  ::fcntl(Fd(s), F_SETFL, on ? flags | O_NONBLOCK : flags & ~O_NONBLOCK);
}

bool WaitReady(const Socket& s, bool for_write, int ms) {
  pollfd p{Fd(s), static_cast<short>(for_write ? POLLOUT : POLLIN), 0};
  int rc;
  do {
    rc = ::poll(&p, 1, ms);
  } while (rc < 0 && errno == EINTR);
  return rc > 0;
}

void WaitAny(std::vector<PollItem>& items, int ms) {
  std::vector<pollfd> fds;
  for (const PollItem& i : items)
    fds.push_back({static_cast<int>(i.socket), static_cast<short>(i.for_write ? POLLOUT : POLLIN), 0});
  int rc;
  do rc = ::poll(fds.data(), fds.size(), ms);
  while (rc < 0 && errno == EINTR);
  for (std::size_t k = 0; k < items.size(); ++k) items[k].ready = rc > 0 && fds[k].revents != 0;
}

bool WouldBlock(int code) { return code == EAGAIN || code == EWOULDBLOCK; }

void SetReuseAddress(const Socket& s) {
  int on = 1;
  ::setsockopt(Fd(s), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
}

void EnableKeepAlive(const Socket& s) {
  int on = 1, idle = 60, interval = 10, count = 6;
  ::setsockopt(Fd(s), SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
  ::setsockopt(Fd(s), IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
  ::setsockopt(Fd(s), IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
  ::setsockopt(Fd(s), IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
}

void SetNoDelay(const Socket& s) {
  int on = 1;
  ::setsockopt(Fd(s), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

void SetReceiveTimeout(const Socket& s, int ms) {
  timeval tv{};
  tv.tv_sec = ms / 1000;
  tv.tv_usec = (ms % 1000) * 1000;
  ::setsockopt(Fd(s), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
}

std::int64_t UnacknowledgedBytes(const Socket& s) {
#ifdef SIOCOUTQ
  int queued = 0;
  if (::ioctl(Fd(s), SIOCOUTQ, &queued) == 0 && queued > 0) return queued;
#else
  (void)s;
#endif
  return 0;
}

int LastSocketError() { return errno; }

void ClearSocketError() { errno = 0; }

bool IsTimeoutError(int code) { return code == EAGAIN || code == EWOULDBLOCK; }

std::string SocketErrorText(int code) { return std::strerror(code); }

}  // namespace tarnwick::platform
