// TLS contexts, listening endpoints and outbound connections.
#pragma once

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include <openssl/ssl.h>

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
  // Set when a dial's handshake failed during a stop: the session is
  // returned only so that the stop can go on, and carries no stream.
  bool handshake_failed = false;
  // The peer's address (accepted) or the host dialled, for entries.
  std::string peer;
};
using TlsSessionPtr = std::unique_ptr<TlsSession>;

// Registers a socket for the length of its TLS handshake, so that a stop
// can cut the handshake short; bounds the handshake's reads meanwhile.
class HandshakeGuard {
 public:
  explicit HandshakeGuard(const platform::Socket& s);
  ~HandshakeGuard();
  HandshakeGuard(const HandshakeGuard&) = delete;
  HandshakeGuard& operator=(const HandshakeGuard&) = delete;

 private:
  platform::NativeSocket socket_;
};

// Sends close_notify, then releases the session and closes its socket.
void EndSession(TlsSessionPtr session);
// Sends close_notify and keeps the session: its owner closes it later.
void CloseNotify(TlsSession& session);
// Sends close_notify and waits, at most timeout_ms, for the peer's own:
// true when it came. Reading to the end also drains whatever the peer sent
// unasked (session tickets), whose presence would make the close a reset
// that destroys data still in flight to the peer.
bool EndSessionConfirmed(TlsSessionPtr session, int timeout_ms);
// Releases without close_notify: the peer sees the connection cut, not a
// clean end, so a sender cannot take a refused stream for a stored one.
void AbortSession(TlsSessionPtr session);

// After a read that ended the stream (SSL_ERROR_ZERO_RETURN): true when the
// peer sent close_notify, false when its TCP connection simply ended.
bool PeerClosedProperly(TlsSession& session);

// Gathers the session's outgoing records in a buffer of the given size, so
// that many small writes leave as few large socket writes. FlushWrites
// pushes out what is gathered; EndSession flushes by itself.
void BufferWrites(TlsSession& session, int size);
bool FlushWrites(TlsSession& session);

// Makes every TLS handshake under way return (at a stop): a peer that
// connected and then stays silent must not hold up the stop.
void ShutdownPendingHandshakes();

// Runs the server (accept) or client handshake of session with explicit
// waits: a silent peer is given up after timeout_ms, and a stop that shuts
// the socket down ends the wait on every platform. SSL_accept's or
// SSL_connect's result.
int RunHandshake(TlsSession& session, bool server, int timeout_ms);

// Once per process, before any other TLS call.
void InitTlsLibrary();

// The name in the context's own certificate (its first DNS name, else its
// common name), kept to letters, digits, '.', '-' and '_' and 64 bytes, for
// use inside a file name; "relay" when it has none.
std::string CertificateName(SSL_CTX* context);

// The longest a TLS handshake may wait for its peer.
inline constexpr int kHandshakeTimeoutMs = 10000;

// Builds the context of one hop and role. cert.pem, key.pem and the trusted
// file are read from pem_dir. A server-role context with require_cert
// refuses a client that presents no certificate; one that presents a
// certificate must always have it trusted (and carry peer_name, when set).
// Every failure ends the process.
SslCtxPtr TlsContextFactory(const std::string& peer_name, bool client_role, bool forward_hop,
                            const std::string& pem_dir, bool require_cert = false);

// Connections waiting to be accepted: enough that a burst of senders is not
// refused while the relay accepts.
inline constexpr int kListenBacklog = 128;

// Opens a socket listening on port on every local IPv4 address into slot and
// returns the server-role context. Every failure ends the process.
SslCtxPtr ListeningEndpoint(platform::Socket& slot, const std::string& peer_name,
                            const std::string& port, bool forward_hop, const std::string& pem_dir,
                            bool require_cert);

// The listening socket alone, for a side that listens again and again after
// start-up: false (why says why) instead of ending the process.
bool OpenListeningSocket(platform::Socket& slot, const std::string& port, std::string& why);

// Accepts one client and runs the server handshake. None when a stop was
// requested, the accept failed or the handshake was refused (a refusal is
// reported; a failed accept too, unless accept_error takes its code for a
// caller that reports it itself).
TlsSessionPtr AcceptTlsClient(const platform::Socket& listening, SSL_CTX* context,
                              int* accept_error = nullptr);
// The server handshake on a connection already accepted from ip; none
// (reported) when it fails or runs out of time. The first failures from an
// address in a minute are reported in full; more from that address within
// the minute are counted and summed up in one entry ("N failed handshakes
// from A in the last minute"), so a client that fails in a loop cannot
// flood the log. *reported: whether this failure was written in full.
TlsSessionPtr ServerHandshake(platform::Socket socket, const std::string& ip, SSL_CTX* context,
                              bool* reported = nullptr);

// Dials host:port and runs the client handshake. quiet: a failed resolution,
// connect or handshake returns none (LastDialFailure says why) instead of
// ending the process. Otherwise a refused handshake ends the process unless
// a stop is under way, in which case the session is returned with
// handshake_failed set.
// The stop's own closure dial passes stoppable false: it must not be cut
// short by the stop it serves.
// timeout_ms bounds the connect and, again, the handshake.
TlsSessionPtr OutboundConnection(const std::string& host, const std::string& expected_peer,
                                 SSL_CTX* context, const std::string& port, bool quiet,
                                 bool stoppable = true, int timeout_ms = 10000);

// The socket error of this thread's last failed dial, for callers that
// report a quiet failure themselves.
int LastDialError();
// Why this thread's last quiet dial returned none, in words.
const std::string& LastDialFailure();
// True when that dial reached a peer whose certificate was refused, or that
// refused ours; false when it found no peer or one that broke off (a
// relay restarting, or closing a listening socket with nothing to send).
bool LastDialRefused();

// The longest a TCP connect may take.
inline constexpr int kConnectTimeoutMs = 10000;

// Counts failures per address for the rate-limited entries (see
// ServerHandshake). Exposed for tests, with the clock passed in.
class FailureRateLimit {
 public:
  using Clock = std::chrono::steady_clock;
  // burst: failures per address and minute written in full.
  FailureRateLimit(std::string what, unsigned burst) : what_(std::move(what)), burst_(burst) {}
  // True when this failure is to be written in full. Writes the summary of
  // any address whose minute has passed.
  bool Note(const std::string& address, Clock::time_point now = Clock::now());

 private:
  struct Window {
    Clock::time_point since;
    unsigned long full = 0;  // written in full
    unsigned long more = 0;  // counted only
  };
  void Flush(Clock::time_point now);
  std::string what_;
  unsigned burst_;
  std::mutex m_;
  std::map<std::string, Window> windows_;
};

}  // namespace tarnwick
