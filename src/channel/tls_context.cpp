#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <filesystem>
#include <set>

#include <openssl/err.h>
#include <openssl/x509v3.h>

#include "channel/tls.h"
#include "platform/file_system.h"
#include "service/event_log.h"
#include "service/service.h"

namespace tarnwick {

namespace {
std::mutex pending_mutex;
std::set<platform::NativeSocket> pending_handshakes;
}  // namespace

HandshakeGuard::HandshakeGuard(const platform::Socket& s) : socket_(s.Native()) {
  std::lock_guard lock(pending_mutex);
  // Checked under the lock the stop takes: a handshake that starts after
  // the stop has shut the others down is cut short here.
  if (StopRequested) {
    platform::Socket::ShutdownNative(socket_);
  }
  pending_handshakes.insert(socket_);
}

HandshakeGuard::~HandshakeGuard() {
  std::lock_guard lock(pending_mutex);
  pending_handshakes.erase(socket_);
}

void ShutdownPendingHandshakes() {
  std::lock_guard lock(pending_mutex);
  for (platform::NativeSocket s : pending_handshakes) platform::Socket::ShutdownNative(s);
}

int RunHandshake(TlsSession& session, bool server, int timeout_ms) {
  SSL* ssl = session.ssl.get();
  platform::SetNonBlocking(session.socket, true);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  int rc;
  for (;;) {
    rc = server ? SSL_accept(ssl) : SSL_connect(ssl);
    if (rc == 1) break;
    int code = SSL_get_error(ssl, rc);
    if (code != SSL_ERROR_WANT_READ && code != SSL_ERROR_WANT_WRITE) break;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - std::chrono::steady_clock::now())
                    .count();
    if (left <= 0 ||
        !platform::WaitReady(session.socket, code == SSL_ERROR_WANT_WRITE, static_cast<int>(left)))
      break;
  }
  platform::SetNonBlocking(session.socket, false);
  return rc;
}

void InitTlsLibrary() {
  OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);
}

namespace {

std::string PemPath(const std::string& dir, const char* file) {
  if (dir.empty()) return file;
  return dir.back() == platform::kPathSeparator ? dir + file
                                                : dir + platform::kPathSeparator + file;
}

// The full path, for messages that must say which file to fix.
std::string Shown(const std::string& path) {
  std::error_code ec;
  auto full = std::filesystem::absolute(path, ec);
  return ec ? path : full.string();
}

// Why OpenSSL refused a file, in its words (the OS's for a missing one).
std::string OpenSslReason(int saved_errno) {
  unsigned long last = 0;
  while (unsigned long e = ERR_get_error()) last = e;
  if (saved_errno != 0 && (last == 0 || ERR_GET_LIB(last) == ERR_LIB_SYS))
    return platform::ErrorText(saved_errno);
  const char* r = last ? ERR_reason_error_string(last) : nullptr;
  return r ? r : "not a usable PEM file";
}

// A key with a pass phrase would make OpenSSL ask on the terminal: refused
// instead, and noted so the message can say so.
int RefusePassPhrase(char*, int, int, void* asked) {
  *static_cast<bool*>(asked) = true;
  return -1;
}

}  // namespace

void BufferWrites(TlsSession& session, int size) {
  BIO* buffer = BIO_new(BIO_f_buffer());
  BIO* socket = BIO_new_socket(static_cast<int>(session.socket.Native()), BIO_NOCLOSE);
  if (!buffer || !socket) {
    BIO_free(buffer);
    BIO_free(socket);
    return;  // unbuffered writes still work, only slower
  }
  BIO_set_write_buffer_size(buffer, size);
  BIO_push(buffer, socket);
  SSL_set0_wbio(session.ssl.get(), buffer);
}

bool FlushWrites(TlsSession& session) {
  BIO* w = SSL_get_wbio(session.ssl.get());
  return !w || BIO_flush(w) == 1;
}

void CloseNotify(TlsSession& session) {
  if (!session.ssl || session.handshake_failed) return;
  FlushWrites(session);
  SSL_shutdown(session.ssl.get());
  FlushWrites(session);
  ERR_clear_error();
}

void EndSession(TlsSessionPtr session) {
  if (!session) return;
  CloseNotify(*session);
  session.reset();  // frees the session, then closes its socket
}

std::string CertificateName(SSL_CTX* context) {
  X509* cert = context ? SSL_CTX_get0_certificate(context) : nullptr;
  std::string name;
  if (cert) {
    if (auto* sans = static_cast<GENERAL_NAMES*>(X509_get_ext_d2i(cert, NID_subject_alt_name, nullptr, nullptr))) {
      for (int i = 0; i < sk_GENERAL_NAME_num(sans) && name.empty(); ++i) {
        const GENERAL_NAME* g = sk_GENERAL_NAME_value(sans, i);
        if (g->type == GEN_DNS)
          name.assign(reinterpret_cast<const char*>(ASN1_STRING_get0_data(g->d.dNSName)),
                      static_cast<std::size_t>(ASN1_STRING_length(g->d.dNSName)));
      }
      GENERAL_NAMES_free(sans);
    }
    if (name.empty()) {
      char cn[256] = {};
      if (X509_NAME_get_text_by_NID(X509_get_subject_name(cert), NID_commonName, cn, sizeof cn) > 0) name = cn;
    }
  }
  std::string safe;
  for (unsigned char c : name) {
    if (safe.size() >= 64) break;
    safe += std::isalnum(c) || c == '.' || c == '-' || c == '_' ? static_cast<char>(c) : '-';
  }
  while (!safe.empty() && (safe.back() == '.' || safe.front() == '.')) {
    if (safe.back() == '.') safe.pop_back();
    else safe.erase(0, 1);
  }
  return safe.empty() ? "relay" : safe;
}

void AbortSession(TlsSessionPtr session) { session.reset(); }

bool PeerClosedProperly(TlsSession& session) {
  // The socket BIO notes a TCP end of file; a close_notify arrives as a
  // record, after which nothing more is read from the socket.
  BIO* rbio = SSL_get_rbio(session.ssl.get());
  return rbio && BIO_eof(rbio) == 0;
}

bool FailureRateLimit::Note(const std::string& address, Clock::time_point now) {
  std::lock_guard lock(m_);
  Flush(now);
  // Bounded: a flood from many addresses is summed up under one name.
  const std::string& key = windows_.size() < 256 || windows_.count(address) ? address : "other addresses";
  auto [it, fresh] = windows_.try_emplace(key, Window{now});
  if (key == address && it->second.full < burst_) {
    ++it->second.full;
    return true;
  }
  ++it->second.more;
  return false;
}

void FailureRateLimit::Flush(Clock::time_point now) {
  for (auto it = windows_.begin(); it != windows_.end();) {
    if (now - it->second.since < std::chrono::minutes(1)) {
      ++it;
      continue;
    }
    if (it->second.more > 0)
      SvcReportEvent(std::to_string(it->second.full + it->second.more) + " " + what_ + " from " + it->first +
                         " in the last minute",
                     EventType::Error);
    it = windows_.erase(it);
  }
}

bool EndSessionConfirmed(TlsSessionPtr session, int timeout_ms) {
  if (!session || !session->ssl) return false;
  SSL* ssl = session->ssl.get();
  FlushWrites(*session);
  if (SSL_shutdown(ssl) < 0) {
    ERR_clear_error();
    return false;
  }
  FlushWrites(*session);
  // Non-blocking with explicit waits: the deadline holds even where a
  // receive time-out is not honoured (accepted sockets under Wine) and
  // across records OpenSSL reads on its own (session tickets).
  platform::SetNonBlocking(session->socket, true);
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  char scratch[512];
  bool clean = false;
  for (;;) {
    int n = SSL_read(ssl, scratch, sizeof scratch);
    if (n > 0) continue;
    int code = SSL_get_error(ssl, n);
    if (code == SSL_ERROR_WANT_READ || code == SSL_ERROR_WANT_WRITE) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                      deadline - std::chrono::steady_clock::now())
                      .count();
      if (left > 0 && platform::WaitReady(session->socket, code == SSL_ERROR_WANT_WRITE,
                                          static_cast<int>(left)))
        continue;
    }
    clean = code == SSL_ERROR_ZERO_RETURN && PeerClosedProperly(*session);
    break;
  }
  ERR_clear_error();
  platform::SetNonBlocking(session->socket, false);
  return clean;
}

SslCtxPtr TlsContextFactory(const std::string& peer_name, bool client_role, bool forward_hop,
                            const std::string& pem_dir, bool require_cert) {
  SslCtxPtr ctx(SSL_CTX_new(client_role ? TLS_client_method() : TLS_server_method()));
  if (!ctx) FailFatally("SSL_CTX_new failed\n", "SSL_CTX_new failed", errno);

  std::string cert = PemPath(pem_dir, "cert.pem");
  errno = 0;
  if (SSL_CTX_use_certificate_file(ctx.get(), cert.c_str(), SSL_FILETYPE_PEM) <= 0) {
    int saved = errno;
    const unsigned long first = ERR_peek_error();
    const std::string reason = OpenSslReason(saved);
    if (first) ReportFailure(ERR_error_string(first, nullptr), saved);
    FailFatally("", "SSL_CTX_use_certificate_file", saved,
                "cannot use this relay's certificate " + Shown(cert) + ": " + reason);
  }
  std::string key = PemPath(pem_dir, "key.pem");
  bool asked = false;
  SSL_CTX_set_default_passwd_cb(ctx.get(), RefusePassPhrase);
  SSL_CTX_set_default_passwd_cb_userdata(ctx.get(), &asked);
  errno = 0;
  if (SSL_CTX_use_PrivateKey_file(ctx.get(), key.c_str(), SSL_FILETYPE_PEM) <= 0) {
    int saved = errno;
    const unsigned long e = ERR_peek_last_error();
    std::string plain;
    if (asked)
      plain = "the private key " + Shown(key) +
              " is protected by a pass phrase; the relay needs it without one "
              "(openssl pkey -in key.pem -out plain.pem, then replace key.pem with plain.pem)";
    else if (ERR_GET_REASON(e) == X509_R_KEY_VALUES_MISMATCH)
      plain = "the private key " + Shown(key) + " does not belong to the certificate " + Shown(cert);
    else
      plain = "cannot use the private key " + Shown(key) + ": " + OpenSslReason(saved);
    ERR_clear_error();
    FailFatally("SSL_CTX_use_PrivateKey_file failed\n", "SSL_CTX_use_PrivateKey_file failed", saved, plain);
  }
  SSL_CTX_set_default_passwd_cb(ctx.get(), nullptr);
  SSL_CTX_set_default_passwd_cb_userdata(ctx.get(), nullptr);

  const char* trusted = forward_hop ? "forwardcert.pem" : client_role ? "servercert.pem" : "clientcert.pem";
  std::string trusted_path = PemPath(pem_dir, trusted);
  errno = 0;
  if (SSL_CTX_load_verify_locations(ctx.get(), trusted_path.c_str(), nullptr) <= 0) {
    int saved = errno;
    FailFatally("SSL_CTX_load_verify_locations failed\n", "SSL_CTX_load_verify_locations failed", saved,
                "cannot load the trusted certificates " + Shown(trusted_path) + ": " + OpenSslReason(saved));
  }
  ERR_clear_error();

  X509_VERIFY_PARAM* param = SSL_CTX_get0_param(ctx.get());
  X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
  if (!peer_name.empty()) X509_VERIFY_PARAM_set1_host(param, peer_name.c_str(), 0);
  SSL_CTX_set_verify(ctx.get(),
                     SSL_VERIFY_PEER | (!client_role && require_cert ? SSL_VERIFY_FAIL_IF_NO_PEER_CERT : 0),
                     nullptr);
  SSL_CTX_set_min_proto_version(ctx.get(), TLS1_2_VERSION);
  // A sender that ends its TCP connection without close_notify ends its
  // stream, and the session stays usable for our own close_notify.
  // PeerClosedProperly tells the two ends apart.
  SSL_CTX_set_options(ctx.get(), SSL_OP_IGNORE_UNEXPECTED_EOF);
  // No session is ever resumed, and a ticket left unread in a closing
  // client's socket can turn its close into a reset that destroys the tail
  // of its stream.
  if (!client_role) {
    SSL_CTX_set_options(ctx.get(), SSL_OP_NO_TICKET);
    SSL_CTX_set_num_tickets(ctx.get(), 0);
  }
  // Lets one socket read bring in many records: a forwarding sender writes
  // 2048-byte records, and two reads per record cost the receiver a core.
  SSL_CTX_set_read_ahead(ctx.get(), 1);
  SSL_CTX_set_default_read_buffer_len(ctx.get(), 64 * 1024);
  return ctx;
}

}  // namespace tarnwick
