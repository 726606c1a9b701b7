#include "support/tls_io.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/err.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace tarnwick::test {

namespace {

// A peer that closes first must not kill the test binary through SIGPIPE.
const bool kSigpipeIgnored = [] {
  signal(SIGPIPE, SIG_IGN);
  return true;
}();

sockaddr_in Loopback(std::uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

int RemainingMs(TlsClock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - TlsClock::now()).count();
  return left < 0 ? 0 : static_cast<int>(left);
}

}  // namespace

std::ostream& operator<<(std::ostream& os, PeerEnd e) {
  switch (e) {
    case PeerEnd::CloseNotify: return os << "close_notify";
    case PeerEnd::Eof: return os << "EOF without close_notify";
    case PeerEnd::Error: return os << "error/reset";
    case PeerEnd::Timeout: return os << "timeout";
  }
  return os << "?";
}

std::string DrainSslErrors() {
  std::string text;
  while (unsigned long e = ERR_get_error()) {
    char buf[256];
    ERR_error_string_n(e, buf, sizeof buf);
    if (!text.empty()) text += "; ";
    text += buf;
  }
  return text;
}

int ListenLoopback(std::uint16_t port, std::uint16_t* bound_port, int backlog) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  const int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a = Loopback(port);
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, backlog) != 0) {
    const int saved = errno;
    close(fd);
    errno = saved;
    return -1;
  }
  socklen_t len = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  if (bound_port) *bound_port = ntohs(a.sin_port);
  return fd;
}

std::uint16_t FreePort() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw std::runtime_error("socket");
  sockaddr_in a = Loopback(0);
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(fd);
    throw std::runtime_error("bind 127.0.0.1:0");
  }
  socklen_t len = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  close(fd);
  return ntohs(a.sin_port);
}

int ConnectLoopback(std::uint16_t port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in a = Loopback(port);
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    const int saved = errno;
    close(fd);
    errno = saved;
    return -1;
  }
  return fd;
}

int AcceptWithin(int listen_fd, std::chrono::milliseconds timeout) {
  if (!WaitFd(listen_fd, POLLIN, TlsClock::now() + timeout)) return -1;
  return accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
}

void SetNonBlocking(int fd) {
  const int flags = fcntl(fd, F_GETFL, 0);
  fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

void CloseWithReset(int fd) {
  linger l{1, 0};
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
  close(fd);
}

bool WaitFd(int fd, short events, TlsClock::time_point deadline) {
  for (;;) {
    pollfd p{fd, events, 0};
    const int r = poll(&p, 1, RemainingMs(deadline));
    if (r > 0) return true;
    if (r == 0) return false;
    if (errno != EINTR) return false;
  }
}

bool Handshake(SSL* ssl, bool server, TlsClock::time_point deadline, std::string* error) {
  const int fd = SSL_get_fd(ssl);
  for (;;) {
    ERR_clear_error();
    const int r = server ? SSL_accept(ssl) : SSL_connect(ssl);
    if (r == 1) return true;
    const int e = SSL_get_error(ssl, r);
    if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) {
      if (!WaitFd(fd, e == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT, deadline)) {
        if (error) *error = "handshake timed out";
        return false;
      }
      continue;
    }
    if (error) {
      *error = "handshake failed (SSL error " + std::to_string(e) + ", errno " +
               std::to_string(errno) + "): " + DrainSslErrors();
      const long v = SSL_get_verify_result(ssl);
      if (v != X509_V_OK) *error += std::string(" verify: ") + X509_verify_cert_error_string(v);
    }
    return false;
  }
}

bool WriteAll(SSL* ssl, std::string_view bytes, TlsClock::time_point deadline,
              std::string* error) {
  if (bytes.empty()) return true;
  const int fd = SSL_get_fd(ssl);
  for (;;) {
    ERR_clear_error();
    const int r = SSL_write(ssl, bytes.data(), static_cast<int>(bytes.size()));
    if (r > 0) return true;  // partial writes are not enabled: all or nothing
    const int e = SSL_get_error(ssl, r);
    if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) {
      if (!WaitFd(fd, e == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT, deadline)) {
        if (error) *error = "write timed out";
        return false;
      }
      continue;
    }
    if (error)
      *error = "SSL_write failed (SSL error " + std::to_string(e) + ", errno " +
               std::to_string(errno) + "): " + DrainSslErrors();
    return false;
  }
}

PeerEnd AwaitEnd(SSL* ssl, TlsClock::time_point deadline, std::string* received,
                 std::string* detail) {
  const int fd = SSL_get_fd(ssl);
  char buf[16384];
  for (;;) {
    ERR_clear_error();
    errno = 0;
    const int r = SSL_read(ssl, buf, sizeof buf);
    if (r > 0) {
      if (received) received->append(buf, static_cast<std::size_t>(r));
      continue;
    }
    const int e = SSL_get_error(ssl, r);
    if (e == SSL_ERROR_ZERO_RETURN) return PeerEnd::CloseNotify;
    if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) {
      if (!WaitFd(fd, e == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT, deadline))
        return PeerEnd::Timeout;
      continue;
    }
    const int saved_errno = errno;
    const unsigned long top = ERR_peek_error();
    const std::string text = DrainSslErrors();
    if (detail)
      *detail = "SSL error " + std::to_string(e) + ", errno " + std::to_string(saved_errno) +
                ": " + text;
    if (e == SSL_ERROR_SYSCALL && saved_errno == 0) return PeerEnd::Eof;
    if (e == SSL_ERROR_SSL && ERR_GET_REASON(top) == SSL_R_UNEXPECTED_EOF_WHILE_READING)
      return PeerEnd::Eof;
    return PeerEnd::Error;
  }
}

}  // namespace tarnwick::test
