#include "service/config_check.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string_view>

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include "channel/tls.h"
#include "platform/file_system.h"
#include "platform/platform.h"
#include "reception/reception.h"
#include "reception/save_session.h"
#include "forwarding/forward_queue.h"
#include "service/event_log.h"
#include "settings/known_settings.h"
#include "settings/settings.h"

namespace tarnwick {

namespace {

namespace fs = std::filesystem;
using Severity = Finding::Severity;

constexpr std::uint64_t kLowSpace = std::uint64_t(1) << 30;
constexpr int kExpiryWarningDays = 30;
// Larger than any sensible bundle of trusted certificates.
constexpr std::size_t kPemCap = std::size_t(16) << 20;
constexpr const char* kProbeFile = ".tarnwick-check.probe";

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

std::string Lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

std::size_t EditDistance(std::string_view a, std::string_view b) {
  const std::string x = Lower(a), y = Lower(b);
  std::vector<std::size_t> row(y.size() + 1);
  for (std::size_t j = 0; j <= y.size(); ++j) row[j] = j;
  for (std::size_t i = 1; i <= x.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= y.size(); ++j) {
      const std::size_t up = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (x[i - 1] == y[j - 1] ? 0 : 1)});
      diagonal = up;
    }
  }
  return row[y.size()];
}

// The closest of candidates to name, when close enough to be a typo.
std::optional<std::string_view> Closest(std::string_view name, const std::vector<std::string_view>& candidates) {
  std::optional<std::string_view> best;
  std::size_t best_distance = std::max<std::size_t>(2, name.size() / 3) + 1;
  for (std::string_view c : candidates) {
    const std::size_t d = EditDistance(name, c);
    if (d < best_distance) {
      best = c;
      best_distance = d;
    }
  }
  return best;
}

// A value as it may appear inside a one-line finding.
std::string Shown(std::string_view value) {
  constexpr std::size_t kShown = 60;
  return value.size() <= kShown ? std::string(value) : std::string(value.substr(0, kShown)) + "...";
}

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

class Checker {
 public:
  Checker(const CheckOptions& options, Severity unknown) : options_(options), unknown_(unknown) {}

  std::vector<Finding> Run(bool test_ports) {
    platform::StartSockets();  // service names in ports resolve through the socket library
    ERR_clear_error();
    CheckSettingsFile();
    CheckPems();
    const bool root_ok = CheckBackupRoot();
    CheckPortClashes();
    if (test_ports) TestPorts(root_ok);
    return std::move(findings_);
  }

 private:
  void Add(Severity s, const std::string& text) { findings_.push_back({s, EscapeControl(text)}); }

  // --- settings.ini ---------------------------------------------------------

  void CheckSettingsFile() {
    const fs::path path = fs::path(options_.config_dir) / "settings.ini";
    const std::string where = path.string();
    std::string text;
    if (int e = platform::ReadSmallFile(path, text, kPemCap)) {
      std::error_code ec;
      if (!fs::is_directory(options_.config_dir, ec))
        Add(Severity::Error, "the configuration directory " + options_.config_dir + " does not exist");
      else if (!fs::exists(fs::symlink_status(path, ec)))
        Add(Severity::Note, where + " does not exist: every setting takes its default");
      else
        Add(Severity::Error, "cannot read " + where + ": " + platform::ErrorText(e));
    }
    std::map<std::string, int> first_line;  // "section\nkey" lower case -> line
    for (const IniFile::Line& line : IniFile::Scan(text)) {
      const std::string at = " in " + where + " line " + std::to_string(line.number);
      switch (line.kind) {
        case IniFile::Line::Kind::Ignored:
          Add(Severity::Warning, "line " + std::to_string(line.number) + " of " + where +
                                     " is ignored: " + line.why);
          break;
        case IniFile::Line::Kind::Section:
          if (!IsKnownSection(line.section)) {
            std::vector<std::string_view> sections;
            for (const KnownSetting& k : KnownSettings())
              if (std::find(sections.begin(), sections.end(), k.section) == sections.end())
                sections.push_back(k.section);
            const auto near = Closest(line.section, sections);
            Add(unknown_, "unknown section [" + line.section + "]" + at +
                              (near ? "; did you mean [" + std::string(*near) + "]?"
                                    : "; the relay ignores it and every key in it"));
          }
          break;
        case IniFile::Line::Kind::Entry:
          CheckEntry(line, at, first_line);
          break;
      }
    }
    ini_ = IniFile::Parse(text);
    ReadWorkerSettings(ini_, s_);
    // As the forwarding side reads them.
    s_.forward_host = ini_.GetString("Forward", "Host", "", 480);
    s_.forward_port = ini_.GetString("Forward", "Port", "1026", 280);
    s_.forward_peer_cn = ini_.GetString("Forward", "PeerCN", "", 560);
    if (s_.ForwardDials() && !s_.ForwardingConfigured())
      Add(Severity::Warning, "[Forward] Host is set in " + where +
                                 " but [Forward] PeerCN is empty, so forwarding is off; set PeerCN to the next "
                                 "relay's name to forward");
  }

  void CheckEntry(const IniFile::Line& line, const std::string& at, std::map<std::string, int>& first_line) {
    if (!IsKnownSection(line.section)) return;  // reported once, at its header
    const KnownSetting* known = FindKnownSetting(line.section, line.key);
    const std::string name = "[" + line.section + "] " + line.key;
    if (!known) {
      std::optional<std::string> hint;
      for (const KnownSetting& k : KnownSettings())
        if (Lower(k.key) == Lower(line.key)) hint = "[" + std::string(k.section) + "] " + std::string(k.key);
      if (!hint) {
        std::vector<std::string_view> keys;
        for (const KnownSetting& k : KnownSettings())
          if (Lower(k.section) == Lower(line.section)) keys.push_back(k.key);
        if (auto near = Closest(line.key, keys)) hint = std::string(*near);
      }
      Add(unknown_, "unknown key " + name + at +
                        (hint ? "; did you mean " + *hint + "?" : "; the relay ignores it"));
      return;
    }
    const std::string id = Lower(known->section) + '\n' + Lower(known->key);
    if (auto [it, fresh] = first_line.emplace(id, line.number); !fresh) {
      Add(Severity::Warning, name + at + " is ignored: line " + std::to_string(it->second) +
                                 " sets it first, and the first one counts");
      return;
    }
    if (auto problem = CheckSettingValue(*known, line.value)) {
      Add(problem->error ? Severity::Error : Severity::Warning,
          "[" + std::string(known->section) + "] " + std::string(known->key) + "=" + Shown(line.value) + at +
              " " + problem->why);
      if (problem->error) invalid_.insert(id);
    }
  }

  bool Invalid(std::string_view section, std::string_view key) const {
    return invalid_.count(Lower(section) + '\n' + Lower(key)) != 0;
  }

  // --- PEM files --------------------------------------------------------------

  fs::path BackupRoot() const {
    const fs::path dir(s_.backup_dir);
    return dir.is_absolute() ? dir : fs::path(options_.config_dir) / dir;
  }

  void CheckPems() {
    const fs::path config(options_.config_dir);
    const char* inbound_trust = s_.InboundDials() ? "servercert.pem" : "clientcert.pem";
    const std::string inbound_purpose =
        s_.InboundDials() ? "the certificates trusted for the sender dialled (dial role)"
                          : "the certificates trusted for senders (listen role)";
    CheckPair(config);
    CheckTrust({config / inbound_trust, inbound_purpose}, s_.peer_cn, "[Connection] PeerCN");
    if (!s_.ForwardingConfigured()) return;

    const PemNeed forward_trust{config / "forwardcert.pem", "the certificates trusted for the next relay"};
    if (!options_.pems_in_backup_root) {
      CheckTrust(forward_trust, s_.forward_peer_cn, "[Forward] PeerCN");
      return;
    }
    // Dialling the next relay reads it at start-up, beside settings.ini.
    if (s_.ForwardDials()) CheckTrust(forward_trust, s_.forward_peer_cn, "[Forward] PeerCN");
    // Listening for the next relay, or for its closures, reads the copies in
    // the backup root.
    if (s_.ForwardDials() && s_.InboundDials()) return;
    const fs::path root = BackupRoot();
    std::error_code ec;
    if (!fs::is_directory(root, ec)) return;  // reported with the backup root
    if (fs::equivalent(root, config, ec)) {
      if (!s_.ForwardDials()) CheckTrust(forward_trust, s_.forward_peer_cn, "[Forward] PeerCN");
      return;
    }
    const std::string copy = " (a copy in the backup root, read by forwarding after start-up)";
    CheckPair(root, copy);
    CheckTrust({root / "forwardcert.pem", forward_trust.purpose + copy}, s_.forward_peer_cn, "[Forward] PeerCN");
  }

  // The file's bytes, or none with the reason reported.
  std::optional<std::string> ReadPem(const PemNeed& need) {
    std::string text;
    if (int e = platform::ReadSmallFile(need.path, text, kPemCap)) {
      Add(Severity::Error, "cannot read " + need.path.string() + " (" + need.purpose + "): " + platform::ErrorText(e));
      return std::nullopt;
    }
    return text;
  }

  BioPtr Memory(const std::string& text) {
    return BioPtr(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
  }

  // cert.pem and key.pem of one directory: each readable, and together a pair.
  void CheckPair(const fs::path& dir, const std::string& note = "") {
    const PemNeed cert_need{dir / "cert.pem", "this relay's certificate" + note};
    const PemNeed key_need{dir / "key.pem", "this relay's private key" + note};
    X509Ptr cert;
    if (std::optional<std::string> text = ReadPem(cert_need)) {
      BioPtr bio = Memory(*text);
      cert.reset(PEM_read_bio_X509(bio.get(), nullptr, RefusePassphrase, nullptr));
      if (!cert) {
        NotParsed(cert_need, *text, "CERTIFICATE", "certificate");
      } else {
        ERR_clear_error();
        const Validity v = CheckDates(cert.get());
        if (v.state != Validity::State::Valid)
          Add(v.state == Validity::State::Expiring ? Severity::Warning : Severity::Error,
              cert_need.path.string() + ": this relay's certificate (" + Subject(cert.get()) + ") " + v.text);
      }
    }
    std::optional<std::string> text = ReadPem(key_need);
    if (!text) return;
    BioPtr bio = Memory(*text);
    bool asked = false;
    PkeyPtr key(PEM_read_bio_PrivateKey(bio.get(), nullptr, RefusePassphrase, &asked));
    if (asked) {
      ERR_clear_error();
      Add(Severity::Error, key_need.path.string() +
                               " is encrypted with a pass phrase, which the relay cannot ask for; store it "
                               "without one (openssl pkey -in key.pem -out plain.pem, then replace key.pem with plain.pem) and keep the file readable "
                               "only by the relay's user");
      return;
    }
    if (!key) {
      NotParsed(key_need, *text, "PRIVATE KEY", "private key");
      return;
    }
    if (cert && EVP_PKEY_eq(X509_get0_pubkey(cert.get()), key.get()) != 1) {
      ERR_clear_error();
      Add(Severity::Error, key_need.path.string() + " does not match the certificate in " +
                               cert_need.path.string() + " (" + Subject(cert.get()) +
                               "): put the key the certificate was made for beside it");
    }
  }

  // A file that held no usable object of the kind wanted: says what it holds.
  void NotParsed(const PemNeed& need, const std::string& text, std::string_view label, const char* wanted) {
    const std::string reason = OpenSslReason();
    const std::string blocks = PemBlocks(text);
    std::string why;
    if (blocks.empty())
      why = "holds no PEM data";
    else if (blocks.find(label) == std::string::npos)
      why = std::string("holds no ") + wanted + " (it holds " + blocks + ")";
    else
      why = std::string("holds a ") + wanted + " that does not parse: " + reason;
    Add(Severity::Error, need.path.string() + " (" + need.purpose + ") " + why);
  }

  void CheckTrust(const PemNeed& need, const std::string& peer_name, const char* name_key) {
    std::optional<std::string> text = ReadPem(need);
    if (!text) return;
    BioPtr bio = Memory(*text);
    // Read as the relay's SSL_CTX_load_verify_locations reads it.
    std::unique_ptr<STACK_OF(X509_INFO), InfoStackFree> infos(
        PEM_X509_INFO_read_bio(bio.get(), nullptr, RefusePassphrase, nullptr));
    if (!infos) {
      const std::string reason = OpenSslReason();
      Add(Severity::Error, need.path.string() + " (" + need.purpose + ") does not parse: " + reason);
      return;
    }
    std::vector<X509*> certs;
    for (int i = 0; i < sk_X509_INFO_num(infos.get()); ++i)
      if (X509* x = sk_X509_INFO_value(infos.get(), i)->x509) certs.push_back(x);
    ERR_clear_error();
    if (certs.empty()) {
      const std::string blocks = PemBlocks(*text);
      Add(Severity::Error, need.path.string() + " (" + need.purpose + ") holds no certificate" +
                               (blocks.empty() ? "" : " (it holds " + blocks + ")"));
      return;
    }
    std::vector<Validity> dates;
    bool any_usable = false;
    for (X509* c : certs) {
      dates.push_back(CheckDates(c));
      any_usable |= dates.back().state == Validity::State::Valid || dates.back().state == Validity::State::Expiring;
    }
    for (std::size_t i = 0; i < certs.size(); ++i) {
      const Validity& v = dates[i];
      if (v.state == Validity::State::Valid) continue;
      // One stale certificate beside good ones refuses only its own peers.
      const Severity s = v.state == Validity::State::Expiring || any_usable ? Severity::Warning : Severity::Error;
      Add(s, need.path.string() + ": trusted certificate " + std::to_string(i + 1) + " of " +
                 std::to_string(certs.size()) + " (" + Subject(certs[i]) + ") " + v.text);
    }
    if (peer_name.empty()) return;
    // With a CA certificate (basic constraints CA:TRUE) the peer's own
    // certificate is not in the file; with only peer certificates (a
    // self-signed one included), one of them must carry the name.
    if (std::any_of(certs.begin(), certs.end(),
                    [](X509* c) { return (X509_get_extension_flags(c) & EXFLAG_CA) != 0; }))
      return;
    const bool named = std::any_of(certs.begin(), certs.end(), [&](X509* c) {
      return X509_check_host(c, peer_name.c_str(), peer_name.size(), X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS,
                             nullptr) == 1;
    });
    ERR_clear_error();
    if (!named)
      Add(Severity::Warning, need.path.string() + ": no certificate in it carries " + name_key + " " +
                                 peer_name +
                                 " as a DNS name (or common name when it has none), so the peers it trusts "
                                 "will be refused; check the name or the file");
  }

  // --- backup root ----------------------------------------------------------

  // Creates and removes a file in dir; the error code of the first failure.
  static int Probe(const fs::path& dir) {
    platform::FileSystem& f = platform::Fs();
    platform::File file;
    const fs::path probe = dir / kProbeFile;
    if (int e = f.Open(probe, platform::FileSystem::Mode::Truncate, file)) return e;
    file.Close();
    return f.Remove(probe);
  }

  bool CheckBackupRoot() {
    const fs::path root = BackupRoot();
    if (Invalid("Backup", "Dir")) return false;
    const std::string name = "backup root " + root.string() + " ([Backup] Dir)";
    std::error_code ec;
    const fs::file_status st = fs::status(root, ec);
    if (ec || !fs::exists(st)) {
      Add(Severity::Error, name + " does not exist" + (ec ? ": " + ec.message() : "") +
                               "; create it or correct [Backup] Dir");
      return false;
    }
    if (!fs::is_directory(st)) {
      Add(Severity::Error, name + " is not a directory; correct [Backup] Dir");
      return false;
    }
    if (int e = Probe(root)) {
      Add(Severity::Error, name + " is not writable: cannot create a file in it: " + platform::ErrorText(e) +
                               "; give the relay's user write access");
      return true;
    }
    for (const char* sub : {SAVES_DIR, FRWD_DIR, TEMP_DIR}) {
      const fs::path dir = root / sub;
      const fs::file_status sst = fs::status(dir, ec);
      if (ec || !fs::exists(sst)) continue;  // made when first needed
      if (!fs::is_directory(sst))
        Add(Severity::Error, dir.string() + " in the backup root is not a directory; move it away");
      else if (int e = Probe(dir))
        Add(Severity::Error, dir.string() + " in the backup root is not writable: " + platform::ErrorText(e) +
                                 "; give the relay's user write access");
    }
    std::uint64_t free_bytes = 0;
    if (int e = platform::Fs().FreeSpace(root, free_bytes))
      Add(Severity::Warning, "cannot tell the free space of " + name + ": " + platform::ErrorText(e));
    else if (free_bytes < kLowSpace)
      Add(Severity::Warning, name + " has only " + std::to_string(free_bytes >> 20) +
                                 " MiB free (less than 1 GiB); saves that do not fit stay pending");
    return true;
  }

  // --- ports ----------------------------------------------------------------

  struct Listened {
    std::string name;  // "[Connection] Port"
    std::string port;
  };

  // The ports the relay listens on in its role, with valid values only.
  std::vector<Listened> ListenedPorts() const {
    std::vector<Listened> out;
    auto add = [&](const char* section, const char* key, const std::string& port) {
      if (!Invalid(section, key)) out.push_back({std::string("[") + section + "] " + key, port});
    };
    if (!s_.InboundDials()) add("Connection", "Port", s_.port);
    if (s_.ForwardingConfigured() && !s_.InboundDials()) add("Connection", "ClosurePort", s_.closure_port);
    if (s_.ForwardingConfigured() && !s_.ForwardDials()) add("Forward", "Port", s_.forward_port);
    return out;
  }

  void CheckPortClashes() {
    const std::vector<Listened> ports = ListenedPorts();
    for (std::size_t i = 0; i < ports.size(); ++i) {
      const platform::Resolution a = platform::ResolveIPv4("", ports[i].port, true);
      for (std::size_t j = i + 1; j < ports.size() && a.code == 0; ++j) {
        const platform::Resolution b = platform::ResolveIPv4("", ports[j].port, true);
        if (b.code == 0 && a.address.length == b.address.length && a.address.bytes == b.address.bytes)
          Add(Severity::Error, ports[i].name + " and " + ports[j].name + " are both " + ports[j].port +
                                   ": the relay listens on each, so they must differ");
      }
    }
  }

  void TestPorts(bool root_ok) {
    if (root_ok) {
      const fs::path lock_path = BackupRoot() / kRelayLockFile;
      // Only a relay creates the file: a check run as another user (root)
      // must not leave one the relay cannot open.
      std::error_code ec;
      platform::FileLock lock;
      if (fs::exists(lock_path, ec)) lock = platform::TryLockFile(lock_path.string());
      if (lock.Busy()) {
        Add(Severity::Note, "a relay is running on this backup root (" + lock_path.string() +
                                " is locked); ports not tested");
        return;
      }
    }
    std::vector<platform::Socket> held;  // each port stays bound until all are tested
    std::set<std::string> tried;
    for (const Listened& l : ListenedPorts()) {
      if (!tried.insert(l.port).second) continue;  // a clash, reported already
      platform::Socket s;
      std::string why;
      if (!OpenListeningSocket(s, l.port, why))
        Add(Severity::Error, l.name + ": " + why + "; free the port or choose another");
      else
        held.push_back(std::move(s));
    }
  }

  const CheckOptions& options_;
  const Severity unknown_;
  std::vector<Finding> findings_;
  IniFile ini_;
  Settings s_;
  std::set<std::string> invalid_;  // "section\nkey" lower case, of values in error
};

}  // namespace

std::vector<Finding> CheckConfiguration(const CheckOptions& options) {
  return Checker(options, Severity::Error).Run(!options.skip_ports);
}

std::vector<Finding> StartupFindings(const CheckOptions& options) {
  return Checker(options, Severity::Warning).Run(/*test_ports=*/false);
}

bool HasErrors(const std::vector<Finding>& findings) {
  return std::any_of(findings.begin(), findings.end(),
                     [](const Finding& f) { return f.severity == Severity::Error; });
}

const char* SeverityName(Finding::Severity severity) {
  switch (severity) {
    case Severity::Error: return "error";
    case Severity::Warning: return "warning";
    case Severity::Note: return "note";
  }
  return "error";
}

}  // namespace tarnwick
