#include <cstdio>
#include <optional>

#include <openssl/err.h>
#include <openssl/x509_vfy.h>

#include "channel/tls.h"
#include "service/event_log.h"
#include "service/service.h"

namespace tarnwick {

namespace {
thread_local int last_dial_error = 0;
thread_local std::string last_dial_failure;
thread_local bool last_dial_refused = false;
}  // namespace

bool LastDialRefused() { return last_dial_refused; }

int LastDialError() { return last_dial_error; }
const std::string& LastDialFailure() { return last_dial_failure; }

TlsSessionPtr OutboundConnection(const std::string& host, const std::string& expected_peer,
                                 SSL_CTX* context, const std::string& port, bool quiet,
                                 bool stoppable, int timeout_ms) {
  auto session = std::make_unique<TlsSession>();
  session->ssl.reset(SSL_new(context));
  if (!session->ssl) {
    // Out of memory for a moment: a dial is retried, never the relay's end.
    last_dial_error = 0;
    last_dial_failure = "no memory for a TLS session to " + host + ":" + port;
    ReportFailure("Error at SSL_new():", 0);
    return nullptr;
  }
  session->peer = host;
  last_dial_refused = false;
  platform::Resolution r = platform::ResolveIPv4(host, port, /*passive=*/false);
  if (r.code != 0) {
    last_dial_error = r.code;
    last_dial_failure = "cannot resolve " + host + ": " + r.text;
    // Callers that retry report the failure once, with its reason.
    if (quiet) return nullptr;
    FailFatally("getaddrinfo failed: " + std::to_string(r.code) + "\n", "Error at getaddrinfo():", r.code,
                last_dial_failure);
  }
  session->socket = platform::OpenTcpSocket();
  if (!session->socket.Valid()) {
    // Out of descriptors, for a while: the callers retry, the relay goes on.
    last_dial_error = platform::LastSocketError();
    last_dial_failure = "cannot open a socket to dial " + host + ":" + port + ": " +
                        platform::SocketErrorText(last_dial_error);
    ReportFailure("Error at socket():", last_dial_error);
    return nullptr;
  }
  const bool connected = platform::ConnectWithin(session->socket, r.address, timeout_ms,
                                                 [stoppable] { return stoppable && StopRequested.load(); });
  if (!connected) {
    last_dial_error = platform::LastSocketError();
    last_dial_failure = "cannot connect to " + host + ":" + port + ": " +
                        platform::SocketErrorText(last_dial_error);
    if (quiet) return nullptr;  // the socket closes with the session
    FailFatally("", "connect", last_dial_error, last_dial_failure);
  }
  platform::EnableKeepAlive(session->socket);
  platform::SetNoDelay(session->socket);
  if (SSL_set_fd(session->ssl.get(), static_cast<int>(session->socket.Native())) == 0) {
    last_dial_error = 0;
    last_dial_failure = "no memory for a TLS session to " + host + ":" + port;
    ReportFailure("SSL_set_fd failed):", 0);
    return nullptr;
  }
  int rc;
  {
    std::optional<HandshakeGuard> guard;
    if (stoppable) guard.emplace(session->socket);
    rc = RunHandshake(*session, /*server=*/false, timeout_ms);
  }
  if (rc == 1) return session;

  SSL* ssl = session->ssl.get();
  const unsigned long first_error = ERR_peek_error();
  ERR_clear_error();
  long verify = SSL_get_verify_result(ssl);
  X509* peer = SSL_get1_peer_certificate(ssl);
  const bool unverified = verify == X509_V_OK && peer == nullptr;
  X509_free(peer);
  last_dial_error = 0;
  const std::string where = host + ":" + port;
  if (verify != X509_V_OK) {
    last_dial_refused = true;
    last_dial_failure = "the certificate of " + where + " is refused: " + X509_verify_cert_error_string(verify);
    if (verify == X509_V_ERR_HOSTNAME_MISMATCH)
      last_dial_failure += " (it does not carry the name " + expected_peer + ")";
  } else if (!unverified && first_error != 0) {
    // Its certificate was fine; it refused ours (an alert) or the
    // handshake failed otherwise.
    last_dial_refused = true;
    const char* reason = ERR_reason_error_string(first_error);
    last_dial_failure = "the TLS handshake with " + where + " failed: " + (reason ? reason : "unknown");
  } else {
    last_dial_refused = false;
    last_dial_failure = "the TLS handshake with " + where + " broke off";
  }
  // A quiet caller retries after its delay: a peer with a wrong certificate
  // may be mended, and it must never end this relay.
  if (quiet && !StopRequested) return nullptr;
  if (!StopRequested) FailFatally("", "ErrorSSL_connect):", 0, last_dial_failure);
  session->handshake_failed = true;
  return session;
}

}  // namespace tarnwick
