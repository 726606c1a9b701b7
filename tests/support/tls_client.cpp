#include "support/tls_client.h"

#include <linux/sockios.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace tarnwick::test {

TlsClient::TlsClient(ClientOptions options) : options_(std::move(options)) {}

TlsClient::~TlsClient() {
  ssl_.reset();
  if (fd_ >= 0) close(fd_);
}

bool TlsClient::Connect(std::uint16_t port, std::chrono::milliseconds timeout) {
  const auto deadline = TlsClock::now() + timeout;
  ctx_.reset(SSL_CTX_new(TLS_client_method()));
  if (!ctx_) {
    error_ = "SSL_CTX_new: " + DrainSslErrors();
    return false;
  }
  SSL_CTX_set_verify(ctx_.get(), SSL_VERIFY_PEER, nullptr);
  if (SSL_CTX_load_verify_locations(ctx_.get(), options_.trusted.c_str(), nullptr) != 1) {
    error_ = "load trusted " + options_.trusted.string() + ": " + DrainSslErrors();
    return false;
  }
  if (!options_.cert.empty()) {
    if (SSL_CTX_use_certificate_file(ctx_.get(), options_.cert.c_str(), SSL_FILETYPE_PEM) != 1 ||
        SSL_CTX_use_PrivateKey_file(ctx_.get(), options_.key.c_str(), SSL_FILETYPE_PEM) != 1) {
      error_ = "load client certificate: " + DrainSslErrors();
      return false;
    }
  }
  fd_ = ConnectLoopback(port);
  if (fd_ < 0) {
    error_ = std::string("connect: ") + std::strerror(errno);
    return false;
  }
  SetNonBlocking(fd_);
  ssl_.reset(SSL_new(ctx_.get()));
  SSL_set_fd(ssl_.get(), fd_);
  if (!options_.expected_name.empty()) SSL_set1_host(ssl_.get(), options_.expected_name.c_str());
  return Handshake(ssl_.get(), false, deadline, &error_);
}

bool TlsClient::Send(std::string_view bytes, std::chrono::milliseconds timeout) {
  if (!ssl_) {
    error_ = "not connected";
    return false;
  }
  return WriteAll(ssl_.get(), bytes, TlsClock::now() + timeout, &error_);
}

bool TlsClient::WaitDelivered(std::chrono::milliseconds timeout) {
  if (fd_ < 0) return false;
  const auto deadline = TlsClock::now() + timeout;
  for (;;) {
    int unsent = 0;
    if (ioctl(fd_, SIOCOUTQ, &unsent) != 0) return false;
    if (unsent == 0) return true;
    if (TlsClock::now() >= deadline) return false;
    poll(nullptr, 0, 10);
  }
}

PeerEnd TlsClient::Finish(ClientEnding how, std::chrono::milliseconds wait) {
  if (fd_ < 0) return PeerEnd::Error;
  const auto deadline = TlsClock::now() + wait;
  switch (how) {
    case ClientEnding::Reset:
      ssl_.reset();
      CloseWithReset(fd_);
      fd_ = -1;
      return PeerEnd::Error;
    case ClientEnding::TcpClose:
      shutdown(fd_, SHUT_WR);
      break;
    case ClientEnding::CloseNotify:
      for (;;) {
        const int r = SSL_shutdown(ssl_.get());
        if (r >= 0) break;
        const int e = SSL_get_error(ssl_.get(), r);
        if ((e == SSL_ERROR_WANT_WRITE || e == SSL_ERROR_WANT_READ) &&
            WaitFd(fd_, e == SSL_ERROR_WANT_WRITE ? POLLOUT : POLLIN, deadline))
          continue;
        // The relay may already have cut the connection; its answer is
        // still read below.
        DrainSslErrors();
        break;
      }
      break;
  }
  std::string detail;
  const PeerEnd end = AwaitEnd(ssl_.get(), deadline, nullptr, &detail);
  if (end != PeerEnd::CloseNotify) error_ = detail;
  return end;
}

PeerEnd SendStream(std::uint16_t port, const ClientOptions& options, std::string_view bytes,
                   std::string* error) {
  TlsClient c(options);
  if (!c.Connect(port) || !c.Send(bytes)) {
    if (error) *error = c.error();
    return PeerEnd::Error;
  }
  const PeerEnd end = c.Finish(ClientEnding::CloseNotify);
  if (error) *error = c.error();
  return end;
}

}  // namespace tarnwick::test
