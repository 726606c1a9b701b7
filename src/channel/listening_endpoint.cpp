#include <cstdio>

#include <openssl/err.h>

#include "channel/tls.h"
#include "service/event_log.h"
#include "service/service.h"

namespace tarnwick {

SslCtxPtr ListeningEndpoint(platform::Socket& slot, const std::string& peer_name,
                            const std::string& port, bool forward_hop, const std::string& pem_dir,
                            bool require_cert) {
  platform::Resolution r = platform::ResolveIPv4("", port, /*passive=*/true);
  if (r.code != 0)
    FailFatally("getaddrinfo failed: " + r.text + "\n", "getaddrinfo():", r.code,
                "cannot listen on port '" + port + "': " + r.text);
  slot = platform::OpenTcpSocket();
  if (!slot.Valid()) {
    int e = platform::LastSocketError();
    FailFatally("Error at socket(): " + std::to_string(e) + "\n", "Error at socket():", e);
  }
  // A restart must bind while its old connections sit in TIME_WAIT; a port
  // held by another listener still fails.
  platform::SetReuseAddress(slot);
  if (!platform::Bind(slot, r.address)) {
    int e = platform::LastSocketError();
    FailFatally("bind failed with error: " + std::to_string(e) + "\n", "bind failed", e,
                "cannot listen on port " + port + ": " + platform::SocketErrorText(e) +
                    " (another program, or another relay, may hold it)");
  }
  if (!platform::Listen(slot, kListenBacklog)) {
    int e = platform::LastSocketError();
    FailFatally("Listen failed with error: " + std::to_string(e) + "\n", "Listen failed", e,
                "cannot listen on port " + port + ": " + platform::SocketErrorText(e));
  }
  return TlsContextFactory(peer_name, /*client_role=*/false, forward_hop, pem_dir, require_cert);
}

bool OpenListeningSocket(platform::Socket& slot, const std::string& port, std::string& why) {
  platform::Resolution r = platform::ResolveIPv4("", port, /*passive=*/true);
  if (r.code != 0) {
    why = "cannot resolve port " + port + ": " + r.text;
    return false;
  }
  platform::Socket s = platform::OpenTcpSocket();
  if (s.Valid()) platform::SetReuseAddress(s);
  if (!s.Valid() || !platform::Bind(s, r.address) || !platform::Listen(s, 1)) {
    why = "cannot listen on port " + port + ": " + platform::SocketErrorText(platform::LastSocketError());
    return false;
  }
  slot = std::move(s);
  return true;
}

namespace {
FailureRateLimit& HandshakeFailures() {
  static FailureRateLimit limit("failed handshakes", 10);
  return limit;
}
}  // namespace

TlsSessionPtr ServerHandshake(platform::Socket socket, const std::string& ip, SSL_CTX* context,
                              bool* reported) {
  if (reported) *reported = false;
  auto session = std::make_unique<TlsSession>();
  session->ssl.reset(SSL_new(context));
  if (!session->ssl) return nullptr;  // out of memory: the connection is dropped
  session->socket = std::move(socket);
  session->peer = ip;
  platform::EnableKeepAlive(session->socket);
  platform::SetNoDelay(session->socket);
  if (SSL_set_fd(session->ssl.get(), static_cast<int>(session->socket.Native())) == 0) {
    ReportFailure("SSL_set_fd", platform::LastSocketError());
    return nullptr;
  }
  int rc;
  {
    HandshakeGuard guard(session->socket);
    // A client that connects and never speaks must not hold a slot.
    rc = RunHandshake(*session, /*server=*/true, kHandshakeTimeoutMs);
  }
  if (rc == 1) return session;
  if (StopRequested) return nullptr;  // cut by the stop: not the client's fault
  int code = SSL_get_error(session->ssl.get(), rc);
  if (HandshakeFailures().Note(ip)) {
    if (reported) *reported = true;
    std::string msg = "SSL_accept failed from " + ip + ".\n";
    ReportFailure(msg, code);
    if (code == SSL_ERROR_SSL) {
      while (unsigned long e = ERR_get_error()) ReportFailure(ERR_error_string(e, nullptr), code);
    }
  }
  ERR_clear_error();
  return nullptr;  // the session and the client's socket are released here
}

TlsSessionPtr AcceptTlsClient(const platform::Socket& listening, SSL_CTX* context, int* accept_error) {
  if (accept_error) *accept_error = 0;
  std::string ip;
  platform::Socket socket = platform::Accept(listening, ip);
  const int saved = platform::LastSocketError();
  int* error = accept_error;
  if (StopRequested) return nullptr;  // a stop is never reported as a failure
  if (!socket.Valid()) {
    if (error) *error = saved;
    else ReportFailure("accept", saved);
    return nullptr;
  }
  return ServerHandshake(std::move(socket), ip, context);
}

}  // namespace tarnwick
