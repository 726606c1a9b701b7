// The check of every PEM file the relay reads, where it reads it: there,
// parsed, key and certificate a pair, no pass phrase, dates, the PeerCN
// names present.
#include <algorithm>
#include <ctime>
#include <memory>
#include <optional>

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include "platform/file_system.h"
#include "service/check/checker.h"

namespace tarnwick::check {

namespace fs = std::filesystem;

namespace {

constexpr int kExpiryWarningDays = 30;

struct BioFree {
  void operator()(BIO* b) const { BIO_free(b); }
};
struct X509Free {
  void operator()(X509* x) const { X509_free(x); }
};
struct PkeyFree {
  void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
struct InfoStackFree {
  void operator()(STACK_OF(X509_INFO) * s) const { sk_X509_INFO_pop_free(s, X509_INFO_free); }
};
using BioPtr = std::unique_ptr<BIO, BioFree>;
using X509Ptr = std::unique_ptr<X509, X509Free>;
using PkeyPtr = std::unique_ptr<EVP_PKEY, PkeyFree>;

std::string OpenSslReason() {
  const unsigned long e = ERR_peek_last_error();
  const char* reason = e ? ERR_reason_error_string(e) : nullptr;
  ERR_clear_error();
  return reason ? reason : "unknown reason";
}

// The labels of the PEM blocks in text ("CERTIFICATE, PRIVATE KEY"), to say
// what a file holds instead of what it should.
std::string PemBlocks(std::string_view text) {
  std::string out;
  constexpr std::string_view kBegin = "-----BEGIN ";
  for (std::size_t at = text.find(kBegin); at != std::string_view::npos; at = text.find(kBegin, at + 1)) {
    const std::size_t from = at + kBegin.size();
    const std::size_t end = text.find("-----", from);
    if (end == std::string_view::npos) break;
    const std::string label(text.substr(from, end - from));
    if (out.find(label) == std::string::npos) out += (out.empty() ? "" : ", ") + label;
  }
  return out;
}

// Never asks for a pass phrase: notes that one was wanted and fails, so
// that an encrypted key is an error instead of a prompt.
int RefusePassphrase(char*, int, int, void* asked) {
  if (asked) *static_cast<bool*>(asked) = true;
  return -1;
}

std::string Subject(X509* cert) {
  char cn[256] = {};
  if (X509_NAME_get_text_by_NID(X509_get_subject_name(cert), NID_commonName, cn, sizeof cn) > 0)
    return std::string("CN=") + cn;
  char line[256] = {};
  X509_NAME_oneline(X509_get_subject_name(cert), line, sizeof line);
  return line;
}

std::string Date(const ASN1_TIME* t) {
  std::tm tm{};
  if (!ASN1_TIME_to_tm(t, &tm)) return "an unreadable date";
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M UTC", &tm);
  return buf;
}

struct Validity {
  enum class State { Valid, Expiring, Expired, NotYet } state;
  std::string text;  // empty when Valid
};

Validity CheckDates(X509* cert) {
  const ASN1_TIME* before = X509_get0_notBefore(cert);
  const ASN1_TIME* after = X509_get0_notAfter(cert);
  if (X509_cmp_current_time(before) > 0)
    return {Validity::State::NotYet, "is not valid before " + Date(before) + "; check this machine's clock"};
  if (X509_cmp_current_time(after) < 0)
    return {Validity::State::Expired, "expired on " + Date(after) + "; renew it"};
  int days = 0, seconds = 0;
  if (ASN1_TIME_diff(&days, &seconds, nullptr, after) && days < kExpiryWarningDays)
    return {Validity::State::Expiring,
            "expires on " + Date(after) + ", in " + std::to_string(days) + (days == 1 ? " day" : " days") +
                "; renew it soon"};
  return {Validity::State::Valid, ""};
}

// One PEM file the configuration needs, where the relay will read it.
struct PemNeed {
  fs::path path;
  std::string purpose;  // "this relay's certificate", ...
};

std::optional<std::string> ReadPem(CheckContext& c, const PemNeed& need);
void CheckPair(CheckContext& c, const fs::path& dir, const std::string& note);
void NotParsed(CheckContext& c, const PemNeed& need, const std::string& text, std::string_view label, const char* wanted);
void CheckTrust(CheckContext& c, const PemNeed& need, const std::string& peer_name, const char* name_key);

}  // namespace

// --- PEM files --------------------------------------------------------------

void CheckPems(CheckContext& c) {
  const fs::path config(c.options.config_dir);
  const char* inbound_trust = c.s.InboundDials() ? "servercert.pem" : "clientcert.pem";
  const std::string inbound_purpose =
      c.s.InboundDials() ? "the certificates trusted for the sender dialled (dial role)"
                        : "the certificates trusted for senders (listen role)";
  CheckPair(c, config, "");
  CheckTrust(c, {config / inbound_trust, inbound_purpose}, c.s.peer_cn, "[Connection] PeerCN");
  if (!c.s.ForwardingConfigured()) return;

  const PemNeed forward_trust{config / "forwardcert.pem", "the certificates trusted for the next relay"};
  if (!c.options.pems_in_backup_root) {
    CheckTrust(c, forward_trust, c.s.forward_peer_cn, "[Forward] PeerCN");
    return;
  }
  // Dialling the next relay reads it at start-up, beside settings.ini.
  if (c.s.ForwardDials()) CheckTrust(c, forward_trust, c.s.forward_peer_cn, "[Forward] PeerCN");
  // Listening for the next relay, or for its closures, reads the copies in
  // the backup root.
  if (c.s.ForwardDials() && c.s.InboundDials()) return;
  const fs::path root = c.BackupRoot();
  std::error_code ec;
  if (!fs::is_directory(root, ec)) return;  // reported with the backup root
  if (fs::equivalent(root, config, ec)) {
    if (!c.s.ForwardDials()) CheckTrust(c, forward_trust, c.s.forward_peer_cn, "[Forward] PeerCN");
    return;
  }
  const std::string copy = " (a copy in the backup root, read by forwarding after start-up)";
  CheckPair(c, root, copy);
  CheckTrust(c, {root / "forwardcert.pem", forward_trust.purpose + copy}, c.s.forward_peer_cn, "[Forward] PeerCN");
}

// The file's bytes, or none with the reason reported.

namespace {

std::optional<std::string> ReadPem(CheckContext& c, const PemNeed& need) {
  std::string text;
  if (const Status st = ReadFile(need.path, text); !st.ok()) {
    c.Add(Severity::Error, "cannot read " + need.path.string() + " (" + need.purpose + "): " + platform::ErrorText(static_cast<int>(st.code())));
    return std::nullopt;
  }
  return text;
}

BioPtr Memory(const std::string& text) {
  return BioPtr(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
}

// cert.pem and key.pem of one directory: each readable, and together a pair.
void CheckPair(CheckContext& c, const fs::path& dir, const std::string& note) {
  const PemNeed cert_need{dir / "cert.pem", "this relay's certificate" + note};
  const PemNeed key_need{dir / "key.pem", "this relay's private key" + note};
  X509Ptr cert;
  if (std::optional<std::string> text = ReadPem(c, cert_need)) {
    BioPtr bio = Memory(*text);
    cert.reset(PEM_read_bio_X509(bio.get(), nullptr, RefusePassphrase, nullptr));
    if (!cert) {
      NotParsed(c, cert_need, *text, "CERTIFICATE", "certificate");
    } else {
      ERR_clear_error();
      const Validity v = CheckDates(cert.get());
      if (v.state != Validity::State::Valid)
        c.Add(v.state == Validity::State::Expiring ? Severity::Warning : Severity::Error,
            cert_need.path.string() + ": this relay's certificate (" + Subject(cert.get()) + ") " + v.text);
    }
  }
  std::optional<std::string> text = ReadPem(c, key_need);
  if (!text) return;
  BioPtr bio = Memory(*text);
  bool asked = false;
  PkeyPtr key(PEM_read_bio_PrivateKey(bio.get(), nullptr, RefusePassphrase, &asked));
  if (asked) {
    ERR_clear_error();
    c.Add(Severity::Error, key_need.path.string() +
                             " is encrypted with a pass phrase, which the relay cannot ask for; store it "
                             "without one (openssl pkey -in key.pem -out plain.pem, then replace key.pem with plain.pem) and keep the file readable "
                             "only by the relay's user");
    return;
  }
  if (!key) {
    NotParsed(c, key_need, *text, "PRIVATE KEY", "private key");
    return;
  }
  if (cert && EVP_PKEY_eq(X509_get0_pubkey(cert.get()), key.get()) != 1) {
    ERR_clear_error();
    c.Add(Severity::Error, key_need.path.string() + " does not match the certificate in " +
                             cert_need.path.string() + " (" + Subject(cert.get()) +
                             "): put the key the certificate was made for beside it");
  }
}

// A file that held no usable object of the kind wanted: says what it holds.
void NotParsed(CheckContext& c, const PemNeed& need, const std::string& text, std::string_view label, const char* wanted) {
  const std::string reason = OpenSslReason();
  const std::string blocks = PemBlocks(text);
  std::string why;
  if (blocks.empty())
    why = "holds no PEM data";
  else if (blocks.find(label) == std::string::npos)
    why = std::string("holds no ") + wanted + " (it holds " + blocks + ")";
  else
    why = std::string("holds a ") + wanted + " that does not parse: " + reason;
  c.Add(Severity::Error, need.path.string() + " (" + need.purpose + ") " + why);
}

void CheckTrust(CheckContext& c, const PemNeed& need, const std::string& peer_name, const char* name_key) {
  std::optional<std::string> text = ReadPem(c, need);
  if (!text) return;
  BioPtr bio = Memory(*text);
  // Read as the relay's SSL_CTX_load_verify_locations reads it.
  std::unique_ptr<STACK_OF(X509_INFO), InfoStackFree> infos(
      PEM_X509_INFO_read_bio(bio.get(), nullptr, RefusePassphrase, nullptr));
  if (!infos) {
    const std::string reason = OpenSslReason();
    c.Add(Severity::Error, need.path.string() + " (" + need.purpose + ") does not parse: " + reason);
    return;
  }
  std::vector<X509*> certs;
  for (int i = 0; i < sk_X509_INFO_num(infos.get()); ++i)
    if (X509* x = sk_X509_INFO_value(infos.get(), i)->x509) certs.push_back(x);
  ERR_clear_error();
  if (certs.empty()) {
    const std::string blocks = PemBlocks(*text);
    c.Add(Severity::Error, need.path.string() + " (" + need.purpose + ") holds no certificate" +
                             (blocks.empty() ? "" : " (it holds " + blocks + ")"));
    return;
  }
  std::vector<Validity> dates;
  bool any_usable = false;
  for (X509* x : certs) {
    dates.push_back(CheckDates(x));
    any_usable |= dates.back().state == Validity::State::Valid || dates.back().state == Validity::State::Expiring;
  }
  for (std::size_t i = 0; i < certs.size(); ++i) {
    const Validity& v = dates[i];
    if (v.state == Validity::State::Valid) continue;
    // One stale certificate beside good ones refuses only its own peers.
    const Severity s = v.state == Validity::State::Expiring || any_usable ? Severity::Warning : Severity::Error;
    c.Add(s, need.path.string() + ": trusted certificate " + std::to_string(i + 1) + " of " +
               std::to_string(certs.size()) + " (" + Subject(certs[i]) + ") " + v.text);
  }
  if (peer_name.empty()) return;
  // With a CA certificate (basic constraints CA:TRUE) the peer's own
  // certificate is not in the file; with only peer certificates (a
  // self-signed one included), one of them must carry the name.
  if (std::any_of(certs.begin(), certs.end(),
                  [](X509* x) { return (X509_get_extension_flags(x) & EXFLAG_CA) != 0; }))
    return;
  const bool named = std::any_of(certs.begin(), certs.end(), [&](X509* x) {
    return X509_check_host(x, peer_name.c_str(), peer_name.size(), X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS,
                           nullptr) == 1;
  });
  ERR_clear_error();
  if (!named)
    c.Add(Severity::Warning, need.path.string() + ": no certificate in it carries " + name_key + " " +
                               peer_name +
                               " as a DNS name (or common name when it has none), so the peers it trusts "
                               "will be refused; check the name or the file");
}

}  // namespace

}  // namespace tarnwick::check
