// The secure channel: TLS contexts, listening sockets, accepted and dialled
// sessions. Every call returns a Status; none ends the process, and a stop
// token cuts short any wait on a peer.
#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include <openssl/ssl.h>

#include "base/status.h"
#include "base/stop_token.h"
#include "platform/platform.h"

namespace tarnwick {

struct SslCtxFree {
  void operator()(SSL_CTX* c) const { SSL_CTX_free(c); }
};
struct SslFree {
  void operator()(SSL* s) const { SSL_free(s); }
};
using SslCtxPtr = std::unique_ptr<SSL_CTX, SslCtxFree>;
using SslPtr = std::unique_ptr<SSL, SslFree>;

// One TLS connection: the session and the socket under it, released
// together (the session alone does not close its socket).
struct TlsSession {
  SslPtr ssl;
  platform::Socket socket;
  // The peer's address (accepted) or the host dialled, for entries.
  std::string peer;
  // Whether the peer presented a certificate, trusted or not, and the
  // subject CN in it (escaped; empty when it has none), noted during the
  // handshake: a refused certificate is never kept by the session.
  bool presented = false;
  std::string presented_cn;
  bool Certified() const { return ssl && SSL_get0_peer_certificate(ssl.get()) != nullptr; }
};
using TlsSessionPtr = std::unique_ptr<TlsSession>;

// Once per process, before any other TLS call.
void InitTlsLibrary();

// The longest a TLS handshake or a TCP connect may wait for its peer.
inline constexpr int kHandshakeTimeoutMs = 10000;
inline constexpr int kConnectTimeoutMs = 10000;
// Connections waiting to be accepted: enough that a burst of senders is not
// refused while the relay accepts.
inline constexpr int kListenBacklog = 128;

// --- contexts ----------------------------------------------------------------

// One hop and role. cert.pem, key.pem and the trusted file (forwardcert.pem
// on the forward hop, servercert.pem for a client otherwise, clientcert.pem
// for a server) are read from pem_dir. A server with require_cert refuses a
// client that presents no certificate; a certificate presented must always
// be trusted (and carry peer_name, when set).
struct ContextSpec {
  std::string peer_name;
  bool client_role = false;
  bool forward_hop = false;
  std::filesystem::path pem_dir;
  bool require_cert = false;
};
Status MakeTlsContext(const ContextSpec& spec, SslCtxPtr& out);

// A context that a reload may replace while connections come and go: a
// handshake uses the one current when it begins, and a session goes on with
// the context it began with (OpenSSL keeps a context while a session of
// it lives).
class SharedContext {
 public:
  SharedContext() = default;
  explicit SharedContext(SslCtxPtr c) { Replace(std::move(c)); }
  void Replace(SslCtxPtr c) {
    std::shared_ptr<SSL_CTX> next(c.release(), SslCtxFree{});
    std::lock_guard lock(m_);
    ctx_.swap(next);
  }
  // The current context, kept for as long as the caller holds it.
  std::shared_ptr<SSL_CTX> Get() const {
    std::lock_guard lock(m_);
    return ctx_;
  }

 private:
  mutable std::mutex m_;
  std::shared_ptr<SSL_CTX> ctx_;
};

// The name in the context's own certificate (its first DNS name, else its
// common name), kept to letters, digits, '.', '-' and '_' and 64 bytes, for
// use inside a file name; "relay" when it has none.
std::string CertificateName(SSL_CTX* context);

// --- sessions ----------------------------------------------------------------

// The certificate a peer presented, for entries about it: "(certificate
// CN=mallory)", with ", which does not carry the name <PeerCN>" when that
// is why it was refused, "(certificate without a CN)"; empty when it
// presented none.
std::string PresentedCertificate(const TlsSession& session);
// The peer's address and its certificate: "127.0.0.1 (certificate CN=mallory)".
std::string PeerShown(const TlsSession& session);

// Sends close_notify and keeps the session: its owner closes it later.
void CloseNotify(TlsSession& session);
// Sends close_notify, then releases the session and closes its socket.
void EndSession(TlsSessionPtr session);
// After a read that ended the stream (SSL_ERROR_ZERO_RETURN): true when the
// peer sent close_notify, false when its TCP connection simply ended.
bool PeerClosedProperly(TlsSession& session);

// --- listening ----------------------------------------------------------------

// Whether a Listen setting means every address: empty or "*".
inline bool ListensEverywhere(const std::string& address) { return address.empty() || address == "*"; }
// "port 1026", or "192.0.2.7 port 1026" when the address is given: where a
// listener listens, for entries.
std::string ListenPlace(const std::string& address, const std::string& port);
// host:port for entries, an IPv6 address in brackets ("[::1]:1026").
std::string HostPort(const std::string& host, const std::string& port);

// A socket listening on port at address. Every address (ListensEverywhere)
// is IPv6 and IPv4 on one dual-stack socket, IPv4 alone on a machine
// without IPv6; a host name listens on the first of its addresses that
// binds. An address the machine does not have is kInvalid.
Status OpenListener(const std::string& address, const std::string& port, platform::Socket& out,
                    int backlog = kListenBacklog);
// One connection from listening, not yet in TLS; kStopped when stop came,
// kIoError (with the accept's code) when accept failed.
Status AcceptConnection(const platform::Socket& listening, const StopToken& stop, platform::Socket& out,
                        std::string& peer_ip);
// The server handshake on an accepted connection, within
// kHandshakeTimeoutMs and cut short by stop. A refusal is kRefused, with
// the TLS library's reason in the words and step "SSL_accept". out gets
// the session whatever the outcome, so that the caller decides when its
// socket closes.
Status ServerHandshake(platform::Socket socket, const std::string& peer_ip, SSL_CTX* context,
                       const StopToken* stop, TlsSessionPtr& out);
// Accepts connections on listening and runs their handshakes side by side
// (at most max_pending at once, the oldest dropped for a newcomer), until
// one completes: a client that connects and stays silent delays no one.
// Each refusal goes to refused. kStopped at the stop. Each handshake uses
// the context current when its connection was accepted.
Status AcceptFirstHandshake(const platform::Socket& listening, const SharedContext& context, const StopToken& stop,
                            const std::function<void(const Status&, const std::string& peer_ip)>& refused,
                            TlsSessionPtr& out, std::size_t max_pending = 16);

// --- dialling ----------------------------------------------------------------

// Dials host:port and runs the client handshake, each within timeout_ms and
// cut short by stop (when given). Each address host resolves to (IPv6 and
// IPv4) is tried in turn, with an equal share of the time left. Failures: kNetwork when no peer answered
// or it broke off (a relay restarting, nothing to send); kRefused when a
// peer's certificate was refused, or it refused ours; kStopped.
Status Dial(const std::string& host, const std::string& port, const std::string& expected_peer, SSL_CTX* context,
            const StopToken* stop, int timeout_ms, TlsSessionPtr& out);

}  // namespace tarnwick
