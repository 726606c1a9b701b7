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

namespace {

Resolution ResolveFamily(const std::string& host, const std::string& port, bool passive, int family) {
  Resolution r;
  addrinfo hints{};
  hints.ai_flags = passive ? AI_PASSIVE : 0;
  hints.ai_family = family;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  const bool bracketed = host.size() > 2 && host.front() == '[' && host.back() == ']';
  const std::string name = bracketed ? host.substr(1, host.size() - 2) : host;
  addrinfo* result = nullptr;
  r.code = ::getaddrinfo(name.empty() ? nullptr : name.c_str(), port.c_str(), &hints, &result);
  if (r.code != 0) {
    r.text = r.code == EAI_SYSTEM ? std::strerror(errno) : ::gai_strerror(r.code);
    return r;
  }
  static_assert(sizeof(sockaddr_in6) <= sizeof(SockAddr::bytes));
  for (const addrinfo* i = result; i; i = i->ai_next) {
    if (i->ai_family != AF_INET && i->ai_family != AF_INET6) continue;
    SockAddr a;
    const std::size_t len = std::min<std::size_t>(i->ai_addrlen, a.bytes.size());
    std::memcpy(a.bytes.data(), i->ai_addr, len);
    a.length = static_cast<int>(len);
    r.addresses.push_back(a);
  }
  ::freeaddrinfo(result);
  if (r.addresses.empty()) {
    r.code = EAI_NONAME;
    r.text = ::gai_strerror(r.code);
  } else {
    r.address = r.addresses.front();
  }
  return r;
}

sa_family_t Family(const SockAddr& a) {
  sockaddr_storage s{};
  std::memcpy(&s, a.bytes.data(), std::min<std::size_t>(a.bytes.size(), sizeof s));
  return s.ss_family;
}

// The text of the address in s, a mapped IPv4 address as IPv4.
std::string AddressOf(const sockaddr_storage& s) {
  char ip[INET6_ADDRSTRLEN] = {};
  if (s.ss_family == AF_INET6) {
    sockaddr_in6 a6;
    std::memcpy(&a6, &s, sizeof a6);
    if (IN6_IS_ADDR_V4MAPPED(&a6.sin6_addr)) {
      in_addr a4;
      std::memcpy(&a4, a6.sin6_addr.s6_addr + 12, sizeof a4);
      ::inet_ntop(AF_INET, &a4, ip, sizeof ip);
    } else {
      ::inet_ntop(AF_INET6, &a6.sin6_addr, ip, sizeof ip);
    }
  } else if (s.ss_family == AF_INET) {
    sockaddr_in a4;
    std::memcpy(&a4, &s, sizeof a4);
    ::inet_ntop(AF_INET, &a4.sin_addr, ip, sizeof ip);
  }
  return ip;
}

}  // namespace

Resolution Resolve(const std::string& host, const std::string& port, bool passive) {
  return ResolveFamily(host, port, passive, AF_UNSPEC);
}

Resolution ResolveIPv4(const std::string& host, const std::string& port, bool passive) {
  return ResolveFamily(host, port, passive, AF_INET);
}

std::string AddressText(const SockAddr& a) {
  sockaddr_storage s{};
  std::memcpy(&s, a.bytes.data(), std::min<std::size_t>(static_cast<std::size_t>(a.length), sizeof s));
  return AddressOf(s);
}

bool IsIPv6(const SockAddr& a) { return Family(a) == AF_INET6; }

Socket OpenTcpSocket(const SockAddr& a) {
  return Socket(::socket(Family(a), SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP));
}

bool SetDualStack(const Socket& s) {
  int off = 0;
  return ::setsockopt(Fd(s), IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off) == 0;
}

bool IsAddressNotAvailable(int code) { return code == EADDRNOTAVAIL; }

bool IsFamilyUnsupported(int code) { return code == EAFNOSUPPORT || code == EPFNOSUPPORT; }

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
  sockaddr_storage addr{};
  socklen_t addrlen = sizeof addr;
  int fd;
  do {
    fd = ::accept4(Fd(listening), reinterpret_cast<sockaddr*>(&addr), &addrlen, SOCK_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd >= 0) peer_ip = AddressOf(addr);
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
