#include <algorithm>
#include <chrono>
#include <optional>
#include <vector>

#include <openssl/err.h>
#include <openssl/x509_vfy.h>

#include "channel/tls.h"

namespace tarnwick {

namespace {

using Kind = Status::Kind;

// Runs the server (accept) or client handshake with explicit waits: a
// silent peer is given up after timeout_ms, and a stop shuts the socket
// down, which ends the wait on every platform. SSL_accept's or
// SSL_connect's result.
int RunHandshake(TlsSession& session, bool server, int timeout_ms, const StopToken* stop) {
  SSL* ssl = session.ssl.get();
  StopToken::Hook hook;
  const platform::NativeSocket fd = session.socket.Native();
  if (stop) hook = stop->OnStop([fd] { platform::Socket::ShutdownNative(fd); });
  platform::SetNonBlocking(session.socket, true);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  int rc;
  for (;;) {
    rc = server ? SSL_accept(ssl) : SSL_connect(ssl);
    if (rc == 1) break;
    const int code = SSL_get_error(ssl, rc);
    if (code != SSL_ERROR_WANT_READ && code != SSL_ERROR_WANT_WRITE) break;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    if (left <= 0 || !platform::WaitReady(session.socket, code == SSL_ERROR_WANT_WRITE, static_cast<int>(left)))
      break;
  }
  platform::SetNonBlocking(session.socket, false);
  return rc;
}

// Every reason the TLS library queued, oldest first, in one text.
std::string TlsReasons() {
  std::string out;
  while (unsigned long e = ERR_get_error()) {
    const char* r = ERR_reason_error_string(e);
    if (!out.empty()) out += "; ";
    out += r ? r : ERR_error_string(e, nullptr);
  }
  return out;
}

}  // namespace

std::string PresentedCertificate(const TlsSession& session) {
  if (!session.presented) return {};
  std::string text = session.presented_cn.empty() ? "(certificate without a CN" : "(certificate CN=" + session.presented_cn;
  SSL* ssl = session.ssl.get();
  if (ssl && SSL_get_verify_result(ssl) == X509_V_ERR_HOSTNAME_MISMATCH)
    if (const char* expected = X509_VERIFY_PARAM_get0_host(SSL_get0_param(ssl), 0))
      text += std::string(", which does not carry the name ") + expected;
  return text + ")";
}

std::string PeerShown(const TlsSession& session) {
  const std::string cert = PresentedCertificate(session);
  return cert.empty() ? session.peer : session.peer + " " + cert;
}

void CloseNotify(TlsSession& session) {
  if (!session.ssl) return;
  SSL_shutdown(session.ssl.get());
  ERR_clear_error();
}

void EndSession(TlsSessionPtr session) {
  if (!session) return;
  CloseNotify(*session);
  session.reset();  // frees the session, then closes its socket
}

bool PeerClosedProperly(TlsSession& session) {
  // The socket BIO notes a TCP end of file; a close_notify arrives as a
  // record, after which nothing more is read from the socket.
  BIO* rbio = SSL_get_rbio(session.ssl.get());
  return rbio && BIO_eof(rbio) == 0;
}

std::string ListenPlace(const std::string& address, const std::string& port) {
  return ListensEverywhere(address) ? "port " + port : address + " port " + port;
}

std::string HostPort(const std::string& host, const std::string& port) {
  const bool bare_ipv6 = host.find(':') != std::string::npos && host.front() != '[';
  return (bare_ipv6 ? "[" + host + "]" : host) + ":" + port;
}

namespace {

// One listening socket on a; dual_stack: IPv4 connections too.
Status ListenOn(const platform::SockAddr& a, const std::string& place, bool dual_stack, int backlog,
                platform::Socket& out) {
  platform::Socket s = platform::OpenTcpSocket(a);
  if (!s.Valid()) {
    const int e = platform::LastSocketError();
    return Status::Error(Kind::kIoError, "cannot open a socket for " + place + ": " + platform::SocketErrorText(e),
                         "socket", e);
  }
  // A restart must bind while its old connections sit in TIME_WAIT; a port
  // held by another listener still fails.
  platform::SetReuseAddress(s);
  // Some systems make IPv6 sockets IPv6-only by default: "every address"
  // must still take IPv4 senders.
  if (dual_stack && platform::IsIPv6(a) && !platform::SetDualStack(s)) {
    const int e = platform::LastSocketError();
    return Status::Error(Kind::kIoError, "cannot listen on " + place + " over IPv4 and IPv6: " +
                                             platform::SocketErrorText(e), "setsockopt", e);
  }
  if (!platform::Bind(s, a)) {
    const int e = platform::LastSocketError();
    if (platform::IsAddressNotAvailable(e))
      return Status::Error(Kind::kInvalid,
                           "cannot listen on " + place + ": " + platform::SocketErrorText(e) + " (" +
                               platform::AddressText(a) + " is not an address of this machine)",
                           "bind", e);
    return Status::Error(Kind::kIoError,
                         "cannot listen on " + place + ": " + platform::SocketErrorText(e) +
                             " (another program, or another relay, may hold it)",
                         "bind", e);
  }
  if (!platform::Listen(s, backlog)) {
    const int e = platform::LastSocketError();
    return Status::Error(Kind::kIoError, "cannot listen on " + place + ": " + platform::SocketErrorText(e),
                         "listen", e);
  }
  out = std::move(s);
  return Status::Ok();
}

}  // namespace

Status OpenListener(const std::string& address, const std::string& port, platform::Socket& out, int backlog) {
  // The port first, so that a bad one is named as such whatever the address.
  if (const platform::Resolution r = platform::Resolve("", port, /*passive=*/true); r.code != 0)
    return Status::Error(Kind::kInvalid, "cannot listen on port '" + port + "': " + r.text, "getaddrinfo", r.code);
  const std::string place = ListenPlace(address, port);
  if (ListensEverywhere(address)) {
    const platform::Resolution any6 = platform::Resolve("::", port, /*passive=*/true);
    Status st = any6.code == 0 ? ListenOn(any6.address, place, /*dual_stack=*/true, backlog, out)
                               : Status::Error(Kind::kInvalid, "no IPv6", "getaddrinfo", any6.code);
    // A machine without IPv6 (or with it turned off) listens on IPv4 alone.
    const bool no_ipv6 = st.step() == "getaddrinfo" || st.step() == "setsockopt" ||
                         platform::IsFamilyUnsupported(static_cast<int>(st.code())) ||
                         (st.step() == "bind" && platform::IsAddressNotAvailable(static_cast<int>(st.code())));
    if (st.ok() || !no_ipv6) return st;
    const platform::Resolution any4 = platform::Resolve("0.0.0.0", port, /*passive=*/true);
    if (any4.code != 0)
      return Status::Error(Kind::kInvalid, "cannot listen on port '" + port + "': " + any4.text, "getaddrinfo",
                           any4.code);
    return ListenOn(any4.address, place, false, backlog, out);
  }
  const platform::Resolution r = platform::Resolve(address, port, /*passive=*/true);
  if (r.code != 0)
    return Status::Error(Kind::kInvalid,
                         "cannot listen on " + address + ": " + r.text +
                             " (it is neither an address nor a host name that resolves)",
                         "getaddrinfo", r.code);
  Status first;
  for (const platform::SockAddr& a : r.addresses) {
    Status st = ListenOn(a, place, false, backlog, out);
    if (st.ok()) return st;
    if (first.ok()) first = std::move(st);
  }
  return first;
}

Status AcceptConnection(const platform::Socket& listening, const StopToken& stop, platform::Socket& out,
                        std::string& peer_ip) {
  out = platform::Accept(listening, peer_ip);
  const int e = platform::LastSocketError();
  if (stop.Requested()) return Status::Error(Kind::kStopped, "stopped");
  if (!out.Valid())
    return Status::Error(Kind::kIoError, "accept failed with " + std::to_string(e) + ": " + platform::SocketErrorText(e),
                         "accept", e);
  return Status::Ok();
}

Status ServerHandshake(platform::Socket socket, const std::string& peer_ip, SSL_CTX* context,
                       const StopToken* stop, TlsSessionPtr& out) {
  out = std::make_unique<TlsSession>();
  TlsSessionPtr& session = out;
  session->socket = std::move(socket);
  session->peer = peer_ip;
  session->ssl.reset(SSL_new(context));
  if (!session->ssl)
    return Status::Error(Kind::kIoError, "no memory for a TLS session from " + peer_ip, "SSL_new", 0);
  SSL_set_app_data(session->ssl.get(), session.get());
  platform::EnableKeepAlive(session->socket);
  platform::SetNoDelay(session->socket);
  if (SSL_set_fd(session->ssl.get(), static_cast<int>(session->socket.Native())) == 0)
    return Status::Error(Kind::kIoError, "no memory for a TLS session from " + peer_ip, "SSL_set_fd",
                         platform::LastSocketError());
  // A client that connects and never speaks must not hold a place.
  const int rc = RunHandshake(*session, /*server=*/true, kHandshakeTimeoutMs, stop);
  if (rc == 1) return Status::Ok();
  if (stop && stop->Requested()) {
    ERR_clear_error();
    return Status::Error(Kind::kStopped, "stopped");
  }
  const int code = SSL_get_error(session->ssl.get(), rc);
  std::string why = code == SSL_ERROR_SSL ? TlsReasons() : "";
  ERR_clear_error();
  if (why.empty())
    why = code == SSL_ERROR_WANT_READ || code == SSL_ERROR_WANT_WRITE
              ? "no handshake within " + std::to_string(kHandshakeTimeoutMs / 1000) + " s"
              : "the client closed or reset the connection";
  return Status::Error(Kind::kRefused, "SSL_accept failed from " + PeerShown(*session) + ": " + why, "SSL_accept",
                       code);
}

Status AcceptFirstHandshake(const platform::Socket& listening, const SharedContext& context, const StopToken& stop,
                            const std::function<void(const Status&, const std::string& peer_ip)>& refused,
                            TlsSessionPtr& out, std::size_t max_pending) {
  using Clock = std::chrono::steady_clock;
  struct Pending {
    TlsSessionPtr session;
    Clock::time_point deadline;
    bool want_write = false;
  };
  std::vector<Pending> pending;
  // Non-blocking, so that a client gone between the wait and the accept
  // cannot block the accept, and every handshake moves a step at a time.
  platform::SetNonBlocking(listening, true);
  Status result = Status::Error(Kind::kStopped, "stopped");
  while (!stop.Requested()) {
    std::vector<platform::PollItem> items{{listening.Native()}};
    for (const Pending& p : pending) items.push_back({p.session->socket.Native(), p.want_write});
    platform::WaitAny(items, 200);
    // One connection per round: Windows' accept waits for the socket to be
    // ready first, so a second call in the same round would block.
    if (items[0].ready) {
      std::string ip;
      platform::Socket socket = platform::Accept(listening, ip);
      const int accept_error = socket.Valid() ? 0 : platform::LastSocketError();
      if (accept_error != 0 && !platform::WouldBlock(accept_error) && !stop.Requested()) {
        // Out of descriptors, say: the connection stays queued and the
        // socket readable, so without a pause this loop would spin.
        refused(Status::Error(Kind::kIoError,
                              "cannot accept a connection: " + platform::SocketErrorText(accept_error), "accept",
                              accept_error),
                "");
        stop.WaitFor(std::chrono::milliseconds(500));
      }
      auto session = std::make_unique<TlsSession>();
      session->socket = std::move(socket);
      session->peer = ip;
      session->ssl.reset(SSL_new(context.Get().get()));
      if (session->ssl) SSL_set_app_data(session->ssl.get(), session.get());
      // A failed accept (a passing fault) or no memory for a session: the
      // next round tries again.
      if (session->socket.Valid() && session->ssl &&
          SSL_set_fd(session->ssl.get(), static_cast<int>(session->socket.Native())) == 1) {
        platform::SetNonBlocking(session->socket, true);
        platform::EnableKeepAlive(session->socket);
        platform::SetNoDelay(session->socket);
        if (pending.size() >= max_pending) pending.erase(pending.begin());  // the oldest makes way
        pending.push_back({std::move(session), Clock::now() + std::chrono::milliseconds(kHandshakeTimeoutMs)});
      }
    }
    for (auto it = pending.begin(); it != pending.end();) {
      SSL* ssl = it->session->ssl.get();
      const int rc = SSL_accept(ssl);
      if (rc == 1) {
        platform::SetNonBlocking(it->session->socket, false);
        out = std::move(it->session);
        platform::SetNonBlocking(listening, false);
        return Status::Ok();
      }
      const int code = SSL_get_error(ssl, rc);
      const bool waiting = code == SSL_ERROR_WANT_READ || code == SSL_ERROR_WANT_WRITE;
      if (waiting && Clock::now() < it->deadline) {
        it->want_write = code == SSL_ERROR_WANT_WRITE;
        ++it;
        continue;
      }
      std::string why = code == SSL_ERROR_SSL ? TlsReasons() : "";
      ERR_clear_error();
      if (why.empty())
        why = waiting ? "no handshake within " + std::to_string(kHandshakeTimeoutMs / 1000) + " s"
                      : "the client closed or reset the connection";
      refused(Status::Error(Kind::kRefused, "SSL_accept failed from " + PeerShown(*it->session) + ": " + why,
                            "SSL_accept", code),
              it->session->peer);
      it = pending.erase(it);
    }
  }
  platform::SetNonBlocking(listening, false);
  return result;
}

Status Dial(const std::string& host, const std::string& port, const std::string& expected_peer, SSL_CTX* context,
            const StopToken* stop, int timeout_ms, TlsSessionPtr& out) {
  const std::string where = HostPort(host, port);
  auto session = std::make_unique<TlsSession>();
  session->ssl.reset(SSL_new(context));
  // Out of memory for a moment: a dial is retried, never the relay's end.
  if (!session->ssl) return Status::Error(Kind::kIoError, "no memory for a TLS session to " + where, "SSL_new", 0);
  SSL_set_app_data(session->ssl.get(), session.get());
  session->peer = host;
  const platform::Resolution r = platform::Resolve(host, port, /*passive=*/false);
  if (r.code != 0) return Status::Error(Kind::kNetwork, "cannot resolve " + host + ": " + r.text, "getaddrinfo", r.code);
  // Each address in turn, each with an equal share of the time left: an
  // IPv6 address that is black-holed must not use up an IPv4 one's time.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  std::string failures;
  int last_error = 0;
  bool opened = false;
  for (std::size_t i = 0; i < r.addresses.size(); ++i) {
    const platform::SockAddr& a = r.addresses[i];
    session->socket = platform::OpenTcpSocket(a);
    if (!session->socket.Valid()) {
      last_error = platform::LastSocketError();
      // Out of descriptors for a while, or no IPv6 here: the next address,
      // and the callers retry.
      if (!failures.empty()) failures += "; ";
      failures += platform::AddressText(a) + ": " + platform::SocketErrorText(last_error);
      continue;
    }
    opened = true;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    const long long share = std::max<long long>(left.count() / static_cast<long long>(r.addresses.size() - i), 1);
    const bool connected = platform::ConnectWithin(session->socket, a, static_cast<int>(share),
                                                   [stop] { return stop && stop->Requested(); });
    if (stop && stop->Requested()) return Status::Error(Kind::kStopped, "stopped");
    if (connected) break;
    last_error = platform::LastSocketError();
    session->socket.Close();
    if (!failures.empty()) failures += "; ";
    failures += platform::AddressText(a) + ": " + platform::SocketErrorText(last_error);
  }
  if (!session->socket.Valid()) {
    // One address: its reason alone, as it has always read.
    const std::string why =
        r.addresses.size() == 1 ? platform::SocketErrorText(last_error) : failures;
    if (!opened)
      return Status::Error(Kind::kIoError, "cannot open a socket to dial " + where + ": " + why, "socket", last_error);
    return Status::Error(Kind::kNetwork, "cannot connect to " + where + ": " + why, "connect", last_error);
  }
  platform::EnableKeepAlive(session->socket);
  platform::SetNoDelay(session->socket);
  if (SSL_set_fd(session->ssl.get(), static_cast<int>(session->socket.Native())) == 0)
    return Status::Error(Kind::kIoError, "no memory for a TLS session to " + where, "SSL_set_fd", 0);
  const int rc = RunHandshake(*session, /*server=*/false, timeout_ms, stop);
  if (rc == 1) {
    out = std::move(session);
    return Status::Ok();
  }
  if (stop && stop->Requested()) {
    ERR_clear_error();
    return Status::Error(Kind::kStopped, "stopped");
  }
  SSL* ssl = session->ssl.get();
  const unsigned long first_error = ERR_peek_error();
  ERR_clear_error();
  const long verify = SSL_get_verify_result(ssl);
  X509* peer = SSL_get1_peer_certificate(ssl);
  const bool unverified = verify == X509_V_OK && peer == nullptr;
  X509_free(peer);
  if (verify != X509_V_OK) {
    const std::string cn = session->presented_cn.empty() ? "" : " (CN=" + session->presented_cn + ")";
    std::string words = "the certificate of " + where + cn + " is refused: " + X509_verify_cert_error_string(verify);
    if (verify == X509_V_ERR_HOSTNAME_MISMATCH) words += " (it does not carry the name " + expected_peer + ")";
    return Status::Error(Kind::kRefused, words, "SSL_connect", verify);
  }
  if (!unverified && first_error != 0) {
    // Its certificate was fine; it refused ours (an alert) or the
    // handshake failed otherwise.
    const char* reason = ERR_reason_error_string(first_error);
    return Status::Error(Kind::kRefused,
                         "the TLS handshake with " + where + " failed: " + (reason ? reason : "unknown"), "SSL_connect",
                         0);
  }
  return Status::Error(Kind::kNetwork, "the TLS handshake with " + where + " broke off", "SSL_connect", 0);
}

}  // namespace tarnwick
