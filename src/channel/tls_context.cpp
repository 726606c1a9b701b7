#include <cctype>
#include <cerrno>
#include <filesystem>

#include <openssl/err.h>
#include <openssl/x509v3.h>

#include "base/text.h"
#include "channel/tls.h"
#include "platform/file_system.h"

namespace tarnwick {

namespace {

// The full path, for messages that must say which file to fix.
std::string Shown(const std::filesystem::path& path) {
  std::error_code ec;
  auto full = std::filesystem::absolute(path, ec);
  return ec ? path.string() : full.string();
}

// Why OpenSSL refused a file, in its words (the OS's for a missing one).
std::string OpenSslReason(int saved_errno) {
  unsigned long last = 0;
  while (unsigned long e = ERR_get_error()) last = e;
  if (saved_errno != 0 && (last == 0 || ERR_GET_LIB(last) == ERR_LIB_SYS)) return platform::ErrorText(saved_errno);
  const char* r = last ? ERR_reason_error_string(last) : nullptr;
  return r ? r : "not a usable PEM file";
}

// A key with a pass phrase would make OpenSSL ask on the terminal: refused
// instead, and noted so the message can say so.
int RefusePassPhrase(char*, int, int, void* asked) {
  *static_cast<bool*>(asked) = true;
  return -1;
}

// The subject CN of a certificate a peer presented (the last, most
// specific one), cut and escaped: it is the peer's text, and may be hostile.
std::string SubjectCn(X509* cert) {
  X509_NAME* subject = X509_get_subject_name(cert);
  int last = -1;
  for (int i = -1; (i = X509_NAME_get_index_by_NID(subject, NID_commonName, i)) >= 0;) last = i;
  if (last < 0) return {};
  unsigned char* utf8 = nullptr;
  const int n = ASN1_STRING_to_UTF8(&utf8, X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, last)));
  if (n < 0) return "?";
  std::string cn(reinterpret_cast<const char*>(utf8), static_cast<std::size_t>(n));
  OPENSSL_free(utf8);
  if (cn.size() > 64) cn = cn.substr(0, 64) + "...";
  return EscapeControl(cn, {.utf8 = true});
}

// Notes the certificate a peer presents on its session (the SSL's app
// data), whatever the verdict: a refusal's entry names it. The verdict
// itself is left as it is.
int NotePresented(int ok, X509_STORE_CTX* store) {
  auto* ssl = static_cast<SSL*>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
  auto* session = ssl ? static_cast<TlsSession*>(SSL_get_app_data(ssl)) : nullptr;
  X509* leaf = X509_STORE_CTX_get0_cert(store);
  if (session && leaf && !session->presented) {
    session->presented = true;
    session->presented_cn = SubjectCn(leaf);
  }
  return ok;
}

}  // namespace

void InitTlsLibrary() {
  OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);
}

Status MakeTlsContext(const ContextSpec& spec, SslCtxPtr& out) {
  using Kind = Status::Kind;
  SslCtxPtr ctx(SSL_CTX_new(spec.client_role ? TLS_client_method() : TLS_server_method()));
  if (!ctx) return Status::Error(Kind::kIoError, "cannot make a TLS context: out of memory", "SSL_CTX_new", 0);

  const std::filesystem::path cert = spec.pem_dir / "cert.pem";
  errno = 0;
  if (SSL_CTX_use_certificate_file(ctx.get(), cert.string().c_str(), SSL_FILETYPE_PEM) <= 0) {
    const int saved = errno;
    return Status::Error(Kind::kInvalid, "cannot use this relay's certificate " + Shown(cert) + ": " + OpenSslReason(saved),
                         "SSL_CTX_use_certificate_file", saved);
  }
  const std::filesystem::path key = spec.pem_dir / "key.pem";
  bool asked = false;
  SSL_CTX_set_default_passwd_cb(ctx.get(), RefusePassPhrase);
  SSL_CTX_set_default_passwd_cb_userdata(ctx.get(), &asked);
  errno = 0;
  if (SSL_CTX_use_PrivateKey_file(ctx.get(), key.string().c_str(), SSL_FILETYPE_PEM) <= 0) {
    const int saved = errno;
    const unsigned long e = ERR_peek_last_error();
    std::string words;
    if (asked)
      words = "the private key " + Shown(key) +
              " is protected by a pass phrase; the relay needs it without one "
              "(openssl pkey -in key.pem -out plain.pem, then replace key.pem with plain.pem)";
    else if (ERR_GET_REASON(e) == X509_R_KEY_VALUES_MISMATCH)
      words = "the private key " + Shown(key) + " does not belong to the certificate " + Shown(cert);
    else
      words = "cannot use the private key " + Shown(key) + ": " + OpenSslReason(saved);
    ERR_clear_error();
    return Status::Error(Kind::kInvalid, words, "SSL_CTX_use_PrivateKey_file", saved);
  }
  SSL_CTX_set_default_passwd_cb(ctx.get(), nullptr);
  SSL_CTX_set_default_passwd_cb_userdata(ctx.get(), nullptr);

  const char* trusted = spec.forward_hop ? "forwardcert.pem" : spec.client_role ? "servercert.pem" : "clientcert.pem";
  const std::filesystem::path trusted_path = spec.pem_dir / trusted;
  errno = 0;
  if (SSL_CTX_load_verify_locations(ctx.get(), trusted_path.string().c_str(), nullptr) <= 0) {
    const int saved = errno;
    return Status::Error(Kind::kInvalid,
                         "cannot load the trusted certificates " + Shown(trusted_path) + ": " + OpenSslReason(saved),
                         "SSL_CTX_load_verify_locations", saved);
  }
  ERR_clear_error();

  X509_VERIFY_PARAM* param = SSL_CTX_get0_param(ctx.get());
  X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
  if (!spec.peer_name.empty()) X509_VERIFY_PARAM_set1_host(param, spec.peer_name.c_str(), 0);
  SSL_CTX_set_verify(ctx.get(),
                     SSL_VERIFY_PEER | (!spec.client_role && spec.require_cert ? SSL_VERIFY_FAIL_IF_NO_PEER_CERT : 0),
                     NotePresented);
  SSL_CTX_set_min_proto_version(ctx.get(), TLS1_2_VERSION);
  // A sender that ends its TCP connection without close_notify ends its
  // stream, and the session stays usable for our own close_notify.
  // PeerClosedProperly tells the two ends apart.
  SSL_CTX_set_options(ctx.get(), SSL_OP_IGNORE_UNEXPECTED_EOF);
  // No session is ever resumed, and a ticket left unread in a closing
  // client's socket can turn its close into a reset that destroys the tail
  // of its stream.
  if (!spec.client_role) {
    SSL_CTX_set_options(ctx.get(), SSL_OP_NO_TICKET);
    SSL_CTX_set_num_tickets(ctx.get(), 0);
  }
  // Lets one socket read bring in many records: a forwarding sender writes
  // 2048-byte records, and two reads per record cost the receiver a core.
  SSL_CTX_set_read_ahead(ctx.get(), 1);
  SSL_CTX_set_default_read_buffer_len(ctx.get(), 64 * 1024);
  out = std::move(ctx);
  return Status::Ok();
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
  while (!safe.empty() && safe.back() == '.') safe.pop_back();
  while (!safe.empty() && safe.front() == '.') safe.erase(0, 1);
  return safe.empty() ? "relay" : safe;
}

}  // namespace tarnwick
