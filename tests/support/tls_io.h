// Non-blocking OpenSSL I/O with deadlines, shared by the test client and the
// test sender. Every socket made here is close-on-exec so that a relay
// started later does not inherit it.
#pragma once

#include <openssl/ssl.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <string_view>

namespace tarnwick::test {

using TlsClock = std::chrono::steady_clock;

struct SslCtxDeleter {
  void operator()(SSL_CTX* c) const { SSL_CTX_free(c); }
};
struct SslDeleter {
  void operator()(SSL* s) const { SSL_free(s); }
};
using CtxPtr = std::unique_ptr<SSL_CTX, SslCtxDeleter>;
using SslPtr = std::unique_ptr<SSL, SslDeleter>;

// How a connection ended as seen by the side that waits for the peer.
enum class PeerEnd {
  CloseNotify,  // the peer sent its close_notify
  Eof,          // the socket ended without close_notify
  Error,        // reset, alert or other TLS failure
  Timeout,      // nothing conclusive before the deadline
};
std::ostream& operator<<(std::ostream& os, PeerEnd e);

// The OpenSSL error queue as text (emptied).
std::string DrainSslErrors();

// A TCP listener on 127.0.0.1; port 0 picks an ephemeral one. -1 on failure.
int ListenLoopback(std::uint16_t port, std::uint16_t* bound_port, int backlog = 16);
// A port that was free a moment ago (bound, read, closed).
std::uint16_t FreePort();
// Connects to 127.0.0.1:port; -1 with errno on failure.
int ConnectLoopback(std::uint16_t port);
// Accepts with a deadline; -1 on timeout or failure.
int AcceptWithin(int listen_fd, std::chrono::milliseconds timeout);

void SetNonBlocking(int fd);
// Closes so that the peer sees a TCP reset.
void CloseWithReset(int fd);

// Waits for fd to be ready for events (POLLIN/POLLOUT) until deadline.
bool WaitFd(int fd, short events, TlsClock::time_point deadline);

// Runs the handshake on a non-blocking socket. On failure error says why.
bool Handshake(SSL* ssl, bool server, TlsClock::time_point deadline, std::string* error);
// Writes all bytes (one SSL_write per call so a caller controls records).
bool WriteAll(SSL* ssl, std::string_view bytes, TlsClock::time_point deadline,
              std::string* error);
// Reads until the peer ends; received counts what arrived meanwhile.
PeerEnd AwaitEnd(SSL* ssl, TlsClock::time_point deadline, std::string* received = nullptr,
                 std::string* detail = nullptr);

}  // namespace tarnwick::test
