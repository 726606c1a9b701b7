// tarnwick-send: sends one file (or standard input) to a relay as a
// one-field stream and exits 0 only once the relay has confirmed it stored
// every byte (its close_notify after ours). With --save it sends a named
// save with its size and SHA-256 declared up front, and resumes at the byte
// the relay holds.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include "base/sha256.h"
#include "base/text.h"
#include "channel/tls.h"
#include "platform/platform.h"
#include "layout/stream_header.h"
#include "tarnwick_version.h"

namespace {

using tarnwick::Sha256;
using tarnwick::SslCtxPtr;
using tarnwick::SslPtr;
using tarnwick::TlsSession;
namespace platform = tarnwick::platform;
using Clock = std::chrono::steady_clock;

enum Exit {
  kStored = 0,
  kUsage = 2,
  kInput = 3,
  kConnect = 4,
  kHandshake = 5,
  kTransfer = 6,
  kUnconfirmed = 7,
  kSaveUsage = 8,     // --save without a certificate, or not from a regular file
  kNoIdentities = 9,  // the relay did not answer the probe: nothing sent
  kConflict = 10,
  kMismatch = 11,     // the relay's copy hashed wrong again after a fresh start
  kChanged = 12,      // the file changed while it was sent: left pending
  kUnsettled = 13,    // the relay kept asking to resume
  // The relay refused the stream and said why ("refused <class>: ...").
  kRefusedFull = 14,         // its disk is full: later
  kRefusedBusy = 15,         // MaxStreams, or the save is being stored: soon
  kRefusedName = 16,         // a header or name it does not take: never as is
  kRefusedCertificate = 17,  // a named save from an uncertified sender
  kRefusedFailed = 18,       // it could not store the stream (I/O, permission)
  kNeedCertificate = 19,     // the handshake: the relay requires a certificate
};

// An answer is a line of text and a NUL; anything longer is not one.
constexpr std::size_t kAnswerMax = 4096;
// Streams of one --save run after its probe, restarts and resumes included.
constexpr int kMaxRounds = 8;

// True while a progress line without its newline is on the terminal: the
// next message must start on a line of its own.
bool progress_line_open = false;

void EndProgressLine() {
  if (!progress_line_open) return;
  std::fputc('\n', stderr);
  progress_line_open = false;
}

[[noreturn]] void Fail(int status, const std::string& reason) {
  EndProgressLine();
  std::fprintf(stderr, "tarnwick-send: %s\n", reason.c_str());
  std::exit(status);
}

const char kUsageText[] =
    "usage: tarnwick-send --host HOST --port PORT --repo NAME --ca TRUSTED.pem\n"
    "                     [--peer-name NAME] [--cert CERT.pem --key KEY.pem]\n"
    "                     [--save NAME] [--wait SECONDS] [--quiet] [--json] [FILE|-]\n"
    "       tarnwick-send --help | --version\n";

const char kHelpText[] =
    "\n"
    "Sends FILE (standard input when absent or -) to a Tarnwick relay as a new\n"
    "save of repository NAME, and exits 0 once the relay confirmed it stored\n"
    "every byte.\n"
    "\n"
    "  --host HOST        the relay's host name, IPv4 or IPv6 address (::1 or [::1])\n"
    "  --port PORT        the relay's [Connection] Port\n"
    "  --repo NAME        repository: the folder under saves/ on every relay\n"
    "  --ca FILE          PEM certificates trusted for the relay (a CA or its own)\n"
    "  --peer-name NAME   name the relay's certificate must carry (default: HOST)\n"
    "  --cert, --key FILE this machine's certificate and key, when it has one\n"
    "  --save NAME        send FILE as the save NAME, with its size and SHA-256:\n"
    "                     the relay tells what it holds, and a rerun resumes\n"
    "                     there (needs --cert and a regular FILE)\n"
    "  --wait SECONDS     wait for an answer while the relay takes nothing\n"
    "                     (default 60)\n"
    "  -q, --quiet        no progress and no summary; failures are still reported\n"
    "  --json             the summary as one JSON object (printed even with --quiet)\n"
    "\n"
    "Exit: 0 stored (or held already, with --save), 2 usage or certificate files,\n"
    "3 input unreadable, 4 relay unreachable, 5 handshake refused, 6 transfer\n"
    "broken off, 7 no confirmation, 8 --save without --cert or from standard\n"
    "input, 9 the relay does not take save identities (nothing sent), 10 conflict:\n"
    "the relay holds another save under NAME, 11 the relay's copy does not match\n"
    "even after a fresh start, 12 FILE changed while it was sent (left pending),\n"
    "13 the relay kept asking to resume. The relay refused the stream and said\n"
    "why: 14 its disk is full, 15 it is busy (MaxStreams, or another stream of\n"
    "the save), 16 a name or header it does not take, 17 a named save needs a\n"
    "trusted certificate, 18 it could not store the stream; 19 the relay\n"
    "requires a client certificate (give --cert and --key).\n";

[[noreturn]] void UsageError(const std::string& reason) {
  std::fprintf(stderr, "tarnwick-send: %s\n", reason.c_str());
  std::fputs(kUsageText, stderr);
  std::exit(kUsage);
}

// name as it can be shown on a terminal: control characters as \xHH.
std::string Printable(const std::string& name) { return tarnwick::EscapeControl(name); }

// Why the relay would refuse name as a repository, naming the culprit; empty
// when it takes it. The relay's own check decides; this only explains it.
std::string RepoNameProblem(const std::string& name) {
  if (name == "." || name == "..") return "\"" + name + "\" is not a folder name";
  for (unsigned char c : name) {
    if (c == ' ') return "a blank (' ') would split the stream header";
    if (c < 0x20 || c == 0x7f) return "the control character " + Printable(std::string(1, static_cast<char>(c))) + " is not allowed";
    if (std::strchr("/\\:*?\"<>|", c)) return std::string("the character '") + static_cast<char>(c) + "' is not allowed";
  }
  if (!tarnwick::IsSafeName(name)) {
    if (name.size() + tarnwick::kPendingSuffix.size() > tarnwick::kFileNameMax)
      return "longer than " + std::to_string(tarnwick::kFileNameMax - tarnwick::kPendingSuffix.size()) + " bytes";
    if (name.back() == '.') return "a trailing dot is not allowed";
    return "a Windows device name (CON, NUL, COM1, ...) is not allowed";
  }
  return {};
}

struct Options {
  std::string host, port, repo, ca, peer_name, cert, key, save, file = "-";
  int wait_seconds = 60;
  bool quiet = false, json = false;
};

Options ParseArgs(int argc, char** argv) {
  Options o;
  bool have_file = false, options_done = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (options_done || arg == "-" || arg.empty() || arg[0] != '-') {
      if (have_file) UsageError("more than one input file given");
      o.file = arg;
      have_file = true;
      continue;
    }
    if (arg == "--") {
      options_done = true;
      continue;
    }
    if (arg == "-h" || arg == "--help") {
      std::fputs(kUsageText, stdout);
      std::fputs(kHelpText, stdout);
      std::exit(0);
    }
    if (arg == "--version") {
      std::printf("tarnwick-send %s\n", tarnwick::kVersion);
      std::exit(0);
    }
    if (arg == "-q" || arg == "--quiet") {
      o.quiet = true;
      continue;
    }
    if (arg == "--json") {
      o.json = true;
      continue;
    }
    std::string value;
    const auto eq = arg.find('=');
    const std::string name = arg.substr(0, eq);
    std::string* target = name == "--host"        ? &o.host
                          : name == "--port"      ? &o.port
                          : name == "--repo"      ? &o.repo
                          : name == "--ca"        ? &o.ca
                          : name == "--peer-name" ? &o.peer_name
                          : name == "--cert"      ? &o.cert
                          : name == "--key"       ? &o.key
                          : name == "--save"      ? &o.save
                          : name == "--wait"      ? &value
                                                  : nullptr;
    if (!target) UsageError("unknown option " + name);
    if (eq != std::string::npos) {
      *target = arg.substr(eq + 1);
    } else if (i + 1 < argc) {
      *target = argv[++i];
    } else {
      UsageError("option " + name + " needs a value");
    }
    if (name == "--wait") {
      char* end = nullptr;
      long w = std::strtol(value.c_str(), &end, 10);
      if (value.empty() || *end != '\0' || w <= 0 || w > 86400) Fail(kUsage, "--wait needs a number of seconds (1-86400)");
      o.wait_seconds = static_cast<int>(w);
    }
  }
  if (o.host.empty() || o.port.empty() || o.repo.empty() || o.ca.empty())
    UsageError("--host, --port, --repo and --ca are required");
  if (o.cert.empty() != o.key.empty()) Fail(kUsage, "--cert and --key go together");
  if (std::string why = RepoNameProblem(o.repo); !why.empty())
    Fail(kUsage, "--repo \"" + Printable(o.repo) + "\" cannot be a repository name: " + why);
  if (!o.save.empty()) {
    std::string why = RepoNameProblem(o.save);
    if (why.empty() && !tarnwick::IsSafeSaveName(o.save)) why = "it would read as a pending marker";
    if (!why.empty()) Fail(kUsage, "--save \"" + Printable(o.save) + "\" cannot be a save name: " + why);
    // The relay takes a named stream only from a certified sender, and a
    // resume reads the file a second time.
    if (o.cert.empty()) Fail(kSaveUsage, "--save needs --cert and --key: the relay takes named saves only from certified senders");
    if (o.file == "-") Fail(kSaveUsage, "--save needs a FILE: standard input cannot be read again to resume");
  }
  if (o.peer_name.empty())
    o.peer_name = o.host.size() > 2 && o.host.front() == '[' && o.host.back() == ']' ? o.host.substr(1, o.host.size() - 2)
                                                                                      : o.host;
  return o;
}

// With TLS 1.3 the relay judges our certificate after our side of the
// handshake is done: its refusal arrives as an alert on the first read or
// write. That is still a refused handshake, not a broken transfer.
bool RefusedOurCertificate() {
  unsigned long e = ERR_peek_error();
  if (ERR_GET_LIB(e) != ERR_LIB_SSL) return false;
  switch (ERR_GET_REASON(e) - SSL_AD_REASON_OFFSET) {
    case SSL_AD_CERTIFICATE_REQUIRED:
      // TLS 1.3's word for a relay that takes only certified senders.
      Fail(kNeedCertificate, "the relay requires a client certificate: give --cert and --key");
    case SSL_AD_BAD_CERTIFICATE:
    case SSL_AD_UNSUPPORTED_CERTIFICATE:
    case SSL_AD_CERTIFICATE_REVOKED:
    case SSL_AD_CERTIFICATE_EXPIRED:
    case SSL_AD_CERTIFICATE_UNKNOWN:
    case SSL_AD_UNKNOWN_CA:
    case SSL_AD_ACCESS_DENIED:
      return true;
    default:
      return false;
  }
}

std::string TlsErrorText() {
  unsigned long e = ERR_get_error();
  std::string text = e ? ERR_reason_error_string(e) ? ERR_reason_error_string(e) : ERR_error_string(e, nullptr) : "";
  ERR_clear_error();
  return text;
}

// Why a read or write on the session failed, in words.
std::string SessionErrorText(SSL* ssl, int rc, int saved_errno) {
  int code = SSL_get_error(ssl, rc);
  if (code == SSL_ERROR_SYSCALL) {
    std::string tls = TlsErrorText();
    if (!tls.empty()) return tls;
    return saved_errno ? platform::SocketErrorText(saved_errno) : "connection closed by the relay";
  }
  if (code == SSL_ERROR_ZERO_RETURN) return "the relay ended the session";
  std::string tls = TlsErrorText();
  return tls.empty() ? "TLS error " + std::to_string(code) : tls;
}

std::string Size(double bytes) {
  static const char* const kUnits[] = {"B", "KiB", "MiB", "GiB", "TiB"};
  int u = 0;
  while (bytes >= 1024 && u < 4) bytes /= 1024, ++u;
  char buf[32];
  std::snprintf(buf, sizeof buf, u == 0 ? "%.0f %s" : "%.1f %s", bytes, kUnits[u]);
  return buf;
}

std::string Duration(double seconds) {
  char buf[32];
  if (seconds < 60) {
    std::snprintf(buf, sizeof buf, "%.1f s", seconds);
  } else {
    const long s = static_cast<long>(seconds + 0.5);
    if (s < 3600) std::snprintf(buf, sizeof buf, "%ld:%02ld", s / 60, s % 60);
    else std::snprintf(buf, sizeof buf, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
  }
  return buf;
}

// How far the relay has got, and how fast. What was handed to TLS runs ahead
// of the relay by the socket buffers (megabytes while the relay throttles),
// so the count leaves out what the kernel still holds unacknowledged, and
// the rate is taken over the last 10 s instead of since the start.
class Progress {
 public:
  // base: bytes of the file the relay held before this stream.
  Progress(const platform::Socket& sock, std::optional<std::uintmax_t> total, bool show, std::uintmax_t base = 0)
      : sock_(sock), total_(total), show_(show), base_(base), taken_(base) {
    samples_.push_back({Clock::now(), base});
  }

  // sent: bytes of the file handed to TLS so far, base included.
  void Update(std::uintmax_t sent, bool force = false) {
    const auto now = Clock::now();
    const std::int64_t held = platform::UnacknowledgedBytes(sock_);
    const std::uintmax_t reached = held > 0 && static_cast<std::uintmax_t>(held) < sent - base_ ? sent - held
                                   : held > 0                                                   ? base_
                                                                                                : sent;
    taken_ = std::max(taken_, reached);
    if (force || now - samples_.back().when >= kStep) samples_.push_back({now, taken_});
    // Keep one sample at least a window old as the base of the rate.
    while (samples_.size() > 2 && now - samples_[1].when >= kWindow) samples_.pop_front();
    if (show_ && (force || now - drawn_ >= kStep)) Draw(now);
  }

  // Every byte is stored: the count is exact now.
  void Finish(std::uintmax_t sent) {
    taken_ = sent;
    if (show_) Draw(Clock::now());
    EndProgressLine();
  }

  std::uintmax_t Taken() const { return taken_; }

 private:
  struct Sample {
    Clock::time_point when;
    std::uintmax_t taken;
  };
  static constexpr auto kStep = std::chrono::milliseconds(250);
  static constexpr auto kWindow = std::chrono::seconds(10);

  // Bytes per second over the window; negative until a second has passed.
  double Rate(Clock::time_point now) const {
    const double span = std::chrono::duration<double>(now - samples_.front().when).count();
    return span < 1 ? -1 : (taken_ - samples_.front().taken) / span;
  }

  void Draw(Clock::time_point now) {
    drawn_ = now;
    std::string line = Size(static_cast<double>(taken_));
    if (total_) {
      const double share = *total_ ? 100.0 * taken_ / *total_ : 100;
      char pct[16];
      std::snprintf(pct, sizeof pct, "%3.0f%%", share);
      line += " of " + Size(static_cast<double>(*total_)) + "  " + pct;
    }
    const double rate = Rate(now);
    if (rate >= 0) line += "  " + Size(rate) + "/s";
    if (total_ && rate > 0 && *total_ > taken_) line += "  " + Duration((*total_ - taken_) / rate) + " left";
    const std::size_t width = line.size();
    line.resize(std::max(width, width_), ' ');  // blank out a longer previous line
    width_ = width;
    std::fprintf(stderr, "\r%s", line.c_str());
    std::fflush(stderr);
    progress_line_open = true;
  }

  const platform::Socket& sock_;
  std::optional<std::uintmax_t> total_;
  bool show_;
  std::uintmax_t base_;
  std::uintmax_t taken_;
  std::deque<Sample> samples_;
  Clock::time_point drawn_{};
  std::size_t width_ = 0;
};

// Where the relay is and how to reach it: every stream of a run dials it anew.
struct Target {
  const Options& opt;
  SSL_CTX* ctx;
  std::vector<platform::SockAddr> addresses;  // every one HOST resolves to
  std::string where;  // HOST:PORT, for messages
};

TlsSession Open(const Target& t) {
  TlsSession l;
  // Each address in turn ("localhost" may be ::1 and 127.0.0.1, the relay
  // listening on one of them); the first that answers takes the stream.
  std::string failures;
  for (const platform::SockAddr& a : t.addresses) {
    l.socket = platform::OpenTcpSocket(a);
    if (l.socket.Valid() && platform::Connect(l.socket, a)) break;
    const std::string why = platform::SocketErrorText(platform::LastSocketError());
    failures += (failures.empty() ? "" : "; ") + (t.addresses.size() > 1 ? platform::AddressText(a) + ": " : "") +
                (l.socket.Valid() ? why : "cannot create a socket: " + why);
    l.socket.Close();
  }
  if (!l.socket.Valid()) Fail(kConnect, "cannot connect to " + t.where + ": " + failures);
  platform::EnableKeepAlive(l.socket);

  l.ssl.reset(SSL_new(t.ctx));
  SSL* ssl = l.ssl.get();
  if (!ssl) Fail(kHandshake, "cannot create a TLS session: " + TlsErrorText());
  SSL_set_fd(ssl, static_cast<int>(l.socket.Native()));
  SSL_set_tlsext_host_name(ssl, t.opt.peer_name.c_str());
  const auto handshake_start = Clock::now();
  int rc = SSL_connect(ssl);
  const auto handshake_time = Clock::now() - handshake_start;
  if (rc != 1) {
    long verify = SSL_get_verify_result(ssl);
    std::string why = verify != X509_V_OK ? X509_verify_cert_error_string(verify)
                                          : SessionErrorText(ssl, rc, platform::LastSocketError());
    Fail(kHandshake, "TLS handshake with " + t.where + " refused: " + why);
  }

  if (!t.opt.cert.empty() && SSL_version(ssl) == TLS1_3_VERSION) {
    // With TLS 1.3 the relay judges our certificate after our side of the
    // handshake is done, and says nothing when it accepts it. A refusal is
    // an alert one round trip away: give it twice the handshake's time
    // before sending, or it could be lost under the reset that our unread
    // data provokes.
    const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(2 * handshake_time).count() + 20;
    if (platform::WaitReady(l.socket, /*for_write=*/false, static_cast<int>(std::min<long long>(wait, 3000)))) {
      SSL_clear_mode(ssl, SSL_MODE_AUTO_RETRY);
      platform::SetReceiveTimeout(l.socket, 3000);
      // Peeked, not read: a relay that refuses the stream at once (busy)
      // has already begun its answer.
      char one[1];
      if (SSL_peek(ssl, one, sizeof one) <= 0 && RefusedOurCertificate())
        Fail(kHandshake, "the relay refused our certificate: " + TlsErrorText());
      ERR_clear_error();
      SSL_set_mode(ssl, SSL_MODE_AUTO_RETRY);
      platform::SetReceiveTimeout(l.socket, 0);
    }
  }
  return l;
}

// Hands data to TLS; false, with the reason in why, once the session broke.
bool Write(TlsSession& l, const char* data, std::size_t len, std::string& why) {
  const int w = SSL_write(l.ssl.get(), data, static_cast<int>(len));
  if (w > 0) return true;
  const int e = platform::LastSocketError();
  if (RefusedOurCertificate()) Fail(kHandshake, "the relay refused our certificate: " + TlsErrorText());
  why = SessionErrorText(l.ssl.get(), w, e);
  return false;
}

// How the relay ended a session, and what it said before.
struct Answer {
  std::string text;     // up to kAnswerMax bytes, its NUL included
  bool notify = false;  // it ended with close_notify
  std::string why;      // how it ended otherwise
  bool ended = false;
};

// Reads the relay's answer to the end of the session. What the socket
// buffers still hold can take minutes to reach a throttling relay: the wait
// counts from the last byte it took, not from our last write. Running out
// of time is a failure of its own unless the session is known broken.
Answer Await(TlsSession& l, Progress* progress, std::uintmax_t sent, int wait_seconds, Answer a = {},
             bool broken = false) {
  if (a.ended) return a;
  SSL* ssl = l.ssl.get();
  platform::SetReceiveTimeout(l.socket, wait_seconds * 1000);  // bounds a record cut short
  const auto wait = std::chrono::seconds(wait_seconds);
  const std::string late = "no confirmation from the relay within " + std::to_string(wait_seconds) + " s";
  auto last_move = Clock::now();
  std::uintmax_t taken = progress ? progress->Taken() : 0;
  char buf[512];
  for (;;) {
    if (progress && progress->Taken() != taken) {
      taken = progress->Taken();
      last_move = Clock::now();
    }
    if (Clock::now() - last_move >= wait) {
      if (!broken) Fail(kUnconfirmed, late);
      a.ended = true;
      return a;
    }
    if (!SSL_has_pending(ssl) && !platform::WaitReady(l.socket, /*for_write=*/false, 250)) {
      if (progress) progress->Update(sent);
      continue;
    }
    platform::ClearSocketError();
    const int n = SSL_read(ssl, buf, sizeof buf);
    if (n > 0) {
      if (a.text.size() + n > kAnswerMax) Fail(kUnconfirmed, "the relay sent more than an answer (over 4 KiB)");
      a.text.append(buf, n);
      continue;
    }
    const int e = platform::LastSocketError();
    if (SSL_get_error(ssl, n) == SSL_ERROR_ZERO_RETURN) {
      a.notify = true;
    } else {
      if (RefusedOurCertificate()) Fail(kHandshake, "the relay refused our certificate: " + TlsErrorText());
      if (platform::IsTimeoutError(e) && !broken) Fail(kUnconfirmed, late);
      a.why = SessionErrorText(ssl, n, e);
    }
    a.ended = true;
    return a;
  }
}

// Whether the relay has begun to answer while we are still sending: it
// answers a stream it refuses at once and drops the rest. Records without
// data (session tickets) are taken in passing.
bool Answered(TlsSession& l, Answer& a) {
  SSL* ssl = l.ssl.get();
  if (!SSL_has_pending(ssl) && !platform::WaitReady(l.socket, /*for_write=*/false, 0)) return false;
  SSL_clear_mode(ssl, SSL_MODE_AUTO_RETRY);
  char buf[512];
  platform::ClearSocketError();
  const int n = SSL_read(ssl, buf, sizeof buf);
  const int e = platform::LastSocketError();
  const int code = SSL_get_error(ssl, n);
  SSL_set_mode(ssl, SSL_MODE_AUTO_RETRY);
  if (n > 0) {
    a.text.assign(buf, n);
    return true;
  }
  if (code == SSL_ERROR_WANT_READ) {
    ERR_clear_error();
    return false;
  }
  if (RefusedOurCertificate()) Fail(kHandshake, "the relay refused our certificate: " + TlsErrorText());
  a.notify = code == SSL_ERROR_ZERO_RETURN;
  if (!a.notify) a.why = SessionErrorText(ssl, n, e);
  a.ended = true;
  return true;
}

// An answer in words: "have <H> sha256:<hex>", "conflict" or "mismatch
// sha256:<hex>". A relay with identities echoes the one it holds the save
// to after "have"; a bare "have <H>" comes from a relay that ignores them.
struct Reply {
  enum Kind { kNone, kHave, kConflict, kMismatch, kRefused, kOther } kind = kNone;
  std::uintmax_t have = 0;
  std::string digest;
};

Reply Parse(const std::string& answer) {
  const std::string text = answer.substr(0, answer.find('\0'));
  Reply r;
  if (text.empty()) return r;
  r.kind = Reply::kOther;
  if (text.starts_with("refused ")) {
    r.kind = Reply::kRefused;
  } else if (text == "conflict") {
    r.kind = Reply::kConflict;
  } else if (text.starts_with("have ")) {
    const std::string rest = text.substr(5);
    const std::string n = rest.substr(0, rest.find(' '));
    if (rest.size() > n.size() + 1 && rest.substr(n.size() + 1).starts_with(tarnwick::kDigestPrefix))
      r.digest = rest.substr(n.size() + 1 + tarnwick::kDigestPrefix.size());
    if (!n.empty() && n.size() <= 19 && n.find_first_not_of("0123456789") == std::string::npos)
      r.kind = Reply::kHave, r.have = std::stoull(n);
  } else if (text.starts_with("mismatch ") && text.substr(9).starts_with(tarnwick::kDigestPrefix)) {
    r.digest = text.substr(9 + tarnwick::kDigestPrefix.size());
    if (tarnwick::IsHexDigest(r.digest)) r.kind = Reply::kMismatch;
  }
  return r;
}

// "refused <class>: <why>": the relay says why it cut the stream, and the
// class says whether a rerun can help.
[[noreturn]] void Refused(const std::string& answer) {
  const std::string text = answer.substr(0, std::min(answer.find('\0'), kAnswerMax));
  std::string rest = text.substr(std::string("refused ").size());
  const std::size_t colon = rest.find(':');
  const std::string kind = rest.substr(0, colon);
  std::string why = colon == std::string::npos ? rest : rest.substr(colon + 1);
  while (why.starts_with(' ')) why.erase(0, 1);
  if (why.starts_with("the relay's ")) why.replace(0, 12, "its ");
  const struct {
    const char* kind;
    int status;
    const char* then;
  } kKinds[] = {
      {"full", kRefusedFull, "; try again once it has room"},
      {"busy", kRefusedBusy, "; try again in a few minutes"},
      {"name", kRefusedName, ""},
      {"certificate", kRefusedCertificate, "; give --cert and --key with a certificate it trusts"},
      {"failed", kRefusedFailed, "; see the relay's log"},
  };
  int status = kRefusedFailed;  // a class this program does not know yet
  std::string then;
  for (const auto& k : kKinds)
    if (kind == k.kind) status = k.status, then = k.then;
  Fail(status, "the relay refused the stream: " + Printable(why.empty() ? text : why) + then);
}

// Reads up to len bytes of in (all of it when len is absent) into hash;
// the count read, short only at the end of the file.
std::uintmax_t HashFrom(std::FILE* in, const std::string& name, Sha256& hash, std::optional<std::uintmax_t> len) {
  std::vector<char> buf(1 << 16);
  std::uintmax_t got = 0;
  while (!len || got < *len) {
    const std::size_t want = len ? static_cast<std::size_t>(std::min<std::uintmax_t>(buf.size(), *len - got)) : buf.size();
    const std::size_t n = std::fread(buf.data(), 1, want, in);
    hash.Update(buf.data(), n);
    got += n;
    if (n < want) {
      if (std::ferror(in)) Fail(kInput, "cannot read " + name + ": " + std::strerror(errno));
      break;
    }
  }
  return got;
}

// A save as --save sends it: the file, and its identity from the first pass.
struct Save {
  std::FILE* in;
  std::uintmax_t size;
  std::string digest;
  std::uintmax_t sent = 0;  // bytes of the file sent by this run
};

// After a failed write the relay may still have said why it dropped us.
Answer Broken(TlsSession& l, const Save& s, std::uintmax_t at, const std::string& why) {
  Answer a = Await(l, nullptr, at, 2, {}, /*broken=*/true);
  if (a.text.empty()) Fail(kTransfer, "write failed after " + std::to_string(s.sent) + " bytes: " + why);
  return a;
}

// The first stream of a --save run: the save's name and identity with no
// bytes, which a relay that keeps identities answers with what it holds.
// For an empty file it is the whole stream.
Answer Probe(const Target& t, Save& s) {
  TlsSession l = Open(t);
  const std::string header = tarnwick::FormatStreamHeader(t.opt.repo, 0, t.opt.save, static_cast<std::int64_t>(s.size), s.digest);
  std::string why;
  if (!Write(l, header.data(), header.size(), why) || SSL_shutdown(l.ssl.get()) < 0) return Broken(l, s, 0, why);
  return Await(l, nullptr, 0, t.opt.wait_seconds);
}

// Sends the file from byte `from` on and returns the relay's answer. The
// bytes before `from` are hashed first (before dialling, so that a long
// read does not hold a session idle), so the digest checked at the end is
// the whole file's.
Answer SendFrom(const Target& t, Save& s, std::uintmax_t from) {
  const std::string& name = t.opt.file;
  std::rewind(s.in);
  Sha256 hash;
  if (HashFrom(s.in, name, hash, from) != from)
    Fail(kChanged, name + " is shorter than when it was hashed: it changed while it was sent; the relay keeps what it holds pending");
  TlsSession l = Open(t);
  const std::string header = tarnwick::FormatStreamHeader(t.opt.repo, static_cast<std::int64_t>(s.size - from), t.opt.save,
                                                          static_cast<std::int64_t>(from), s.digest);
  std::string why;
  if (!Write(l, header.data(), header.size(), why)) return Broken(l, s, from, why);

  Progress progress(l.socket, s.size, !t.opt.quiet && platform::IsTerminal(stderr), from);
  constexpr std::size_t kSlice = 16 * 1024;  // a TLS record: the progress moves even under a throttle
  std::vector<char> chunk(1 << 16);
  std::uintmax_t at = from;
  Answer early;
  // The relay answered or ended before the last byte: a refusal says why
  // and is not waited out; an end without one is a broken transfer.
  auto cut = [&]() -> Answer {
    if (early.text.empty() && !early.ended) return Broken(l, s, at, why);
    if (early.text.empty())
      Fail(kTransfer, "the relay ended the stream after " + std::to_string(at - from) + " of its " +
                          std::to_string(s.size - from) + " bytes" + (early.notify ? "" : ": " + early.why));
    return early.text.find('\0') != std::string::npos ? early : Await(l, &progress, at, t.opt.wait_seconds, early);
  };
  auto send = [&](const char* data, std::size_t len) {
    for (std::size_t i = 0; i < len; i += kSlice) {
      const std::size_t n = std::min(kSlice, len - i);
      if (!Write(l, data + i, n, why)) return false;
      at += n, s.sent += n;
      progress.Update(at);
      if (at < s.size && Answered(l, early)) return false;
    }
    return true;
  };
  while (at < s.size) {
    const std::size_t want = static_cast<std::size_t>(std::min<std::uintmax_t>(chunk.size(), s.size - at));
    const std::size_t n = std::fread(chunk.data(), 1, want, s.in);
    if (n < want && std::ferror(s.in)) Fail(kInput, "cannot read " + name + ": " + std::strerror(errno));
    hash.Update(chunk.data(), n);
    // The file's last byte goes only once its digest checks: a relay that
    // lacks it keeps the save pending however the session ends.
    const bool last = n < want || at + n == s.size;
    if (last && n < want)
      Fail(kChanged, name + " is shorter than when it was hashed: it changed while it was sent; the relay keeps the save pending");
    if (!send(chunk.data(), last ? n - 1 : n)) return cut();
    if (last) {
      if (hash.HexDigest() != s.digest)
        Fail(kChanged, name + " changed while it was sent (its SHA-256 is now " + hash.HexDigest() + ", was " + s.digest +
                           "): its last byte was held back and the relay keeps the save pending");
      if (!send(chunk.data() + n - 1, 1)) return cut();
    }
  }
  if (SSL_shutdown(l.ssl.get()) < 0) return Broken(l, s, at, SessionErrorText(l.ssl.get(), -1, platform::LastSocketError()));
  Answer a = Await(l, &progress, at, t.opt.wait_seconds);
  if (a.notify && a.text.empty()) progress.Finish(at);
  EndProgressLine();
  return a;
}

// Runs a --save: a probe, then as many streams as the relay's answers ask
// for. True when this run sent bytes, false when the relay held it already.
bool SendSave(const Target& t, Save& s) {
  const std::string what = "save " + t.opt.save + " of repository " + t.opt.repo;
  Answer a = Probe(t, s);
  bool probe = true, restarted = false;
  for (int round = 0;; ++round) {
    const Reply r = Parse(a.text);
    std::uintmax_t from = 0;
    switch (r.kind) {
      case Reply::kNone:
        if (a.notify && (!probe || s.size == 0)) return true;  // an empty file's probe is its whole stream
        if (probe && s.size > 0)
          Fail(kNoIdentities, t.where + " gave no answer to the probe (" + (a.notify ? "close_notify alone" : a.why) +
                                  "): it does not take save identities, or it refused the stream (another stream for that save is "
                                  "still being stored there: see its log); nothing was sent");
        Fail(kUnconfirmed, "the relay did not confirm the stream: " + a.why);
      case Reply::kHave:
        // Without the echo the relay did not check what it holds against
        // this file: resuming there could splice two saves.
        if (r.digest != s.digest)
          Fail(kNoIdentities, t.where + " answered 'have " + std::to_string(r.have) + "' without the save's identity (" +
                                  (r.digest.empty() ? "none" : r.digest) +
                                  "): it does not take save identities, so nothing more is sent; send without --save");
        if (r.have == s.size) {
          if (!a.notify) Fail(kUnconfirmed, "the relay holds all " + std::to_string(s.size) + " bytes of " + what + " but did not confirm them");
          return !probe;
        }
        if (r.have > s.size) Fail(kUnconfirmed, "the relay says it holds " + std::to_string(r.have) + " bytes of a " + std::to_string(s.size) + " byte save");
        from = r.have;
        break;
      case Reply::kConflict:
        Fail(kConflict, t.where + " holds another save as " + what + " (conflict): nothing of it changed; send under another name");
      case Reply::kMismatch:
        if (restarted)
          Fail(kMismatch, "the relay's copy of " + what + " hashed to " + r.digest + ", not " + s.digest + ", after a fresh start too");
        if (!t.opt.quiet)
          std::fprintf(stderr, "tarnwick-send: the relay's copy of %s hashed to %s, not %s; it set it aside: sending it again from byte 0\n",
                       what.c_str(), r.digest.c_str(), s.digest.c_str());
        restarted = true;
        break;
      case Reply::kRefused:
        Refused(a.text);
      case Reply::kOther:
        Fail(kUnconfirmed, "the relay answered \"" + Printable(a.text.substr(0, a.text.find('\0'))) + "\", which is no answer tarnwick-send knows");
    }
    if (round == kMaxRounds)
      Fail(kUnsettled, "the relay still asks to resume at byte " + std::to_string(from) + " after " + std::to_string(kMaxRounds) + " streams");
    probe = false;
    a = SendFrom(t, s, from);
  }
}

// The one plain stream: a one-field header and the bytes, hashed on the way.
std::uintmax_t SendPlain(const Target& t, std::FILE* input, std::optional<std::uintmax_t> total, Sha256& hash) {
  TlsSession l = Open(t);
  std::string why;
  std::uintmax_t sent = 0;
  // A relay that cannot take the stream says why before it cuts it: the
  // answer comes before the reset, and explains the broken write.
  auto broken = [&]() {
    const Answer a = Await(l, nullptr, sent, 2, {}, /*broken=*/true);
    if (Parse(a.text).kind == Reply::kRefused) Refused(a.text);
    Fail(kTransfer, "write failed after " + std::to_string(sent) + " bytes: " + why);
  };
  Answer early;
  const std::string header = tarnwick::FormatStreamHeader(t.opt.repo);
  if (!Write(l, header.data(), header.size(), why)) broken();

  Progress progress(l.socket, total, !t.opt.quiet && platform::IsTerminal(stderr));
  // Written a TLS record at a time, so that the progress moves even when a
  // throttling relay takes a few KiB per second.
  constexpr std::size_t kSlice = 16 * 1024;
  std::vector<char> chunk(1 << 16);
  for (;;) {
    std::size_t n = std::fread(chunk.data(), 1, chunk.size(), input);
    hash.Update(chunk.data(), n);
    for (std::size_t at = 0; at < n; at += kSlice) {
      const std::size_t len = std::min(kSlice, n - at);
      if (!Write(l, chunk.data() + at, len, why)) broken();
      sent += len;
      progress.Update(sent);
      if (Answered(l, early)) {
        // Nothing is stored after an answer: read the rest of it.
        const Answer a = early.text.find('\0') != std::string::npos ? early : Await(l, nullptr, sent, 2, early, true);
        if (Parse(a.text).kind == Reply::kRefused) Refused(a.text);
        Fail(kTransfer, "the relay ended the stream after " + std::to_string(sent) + " bytes" +
                            (a.text.empty() ? a.notify ? "" : ": " + a.why
                                            : " with \"" + Printable(a.text.substr(0, a.text.find('\0'))) + "\""));
      }
    }
    if (n < chunk.size()) {
      if (std::ferror(input)) Fail(kInput, "cannot read " + (t.opt.file == "-" ? std::string("standard input") : t.opt.file) + ": " + std::strerror(errno));
      break;
    }
  }

  // Our close_notify ends the stream; the relay answers with its own only
  // once the save is stored.
  if (SSL_shutdown(l.ssl.get()) < 0) {
    const int e = platform::LastSocketError();
    if (RefusedOurCertificate()) Fail(kHandshake, "the relay refused our certificate: " + TlsErrorText());
    why = "cannot end the stream: " + SessionErrorText(l.ssl.get(), -1, e);
    const Answer a = Await(l, nullptr, sent, 2, {}, /*broken=*/true);
    if (Parse(a.text).kind == Reply::kRefused) Refused(a.text);
    Fail(kTransfer, why);
  }
  const Answer a = Await(l, &progress, sent, t.opt.wait_seconds);
  if (Parse(a.text).kind == Reply::kRefused) Refused(a.text);
  if (!a.notify) Fail(kUnconfirmed, "the relay did not confirm the stream: " + a.why);
  progress.Finish(sent);
  return sent;
}

std::string JsonString(const std::string& s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    if (c == '"' || c == '\\') out += '\\', out += static_cast<char>(c);
    else if (c < 0x20) {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\u%04x", c);
      out += esc;
    } else out += static_cast<char>(c);
  }
  return out + '"';
}

}  // namespace

int main(int argc, char** argv) {
  Options opt = ParseArgs(argc, argv);
  platform::StartSockets();

  std::FILE* input = stdin;
  platform::SetBinaryMode(stdin);
  std::optional<std::uintmax_t> total;
  if (opt.file != "-") {
    input = std::fopen(opt.file.c_str(), "rb");
    if (!input) Fail(kInput, "cannot open " + opt.file + ": " + std::strerror(errno));
    std::error_code ec;
    if (std::filesystem::is_regular_file(opt.file, ec)) total = std::filesystem::file_size(opt.file, ec);
    else if (!opt.save.empty()) Fail(kSaveUsage, "--save needs a regular FILE: " + opt.file + " cannot be read again to resume");
  }

  SslCtxPtr ctx(SSL_CTX_new(TLS_client_method()));
  if (!ctx) Fail(kUsage, "cannot create a TLS context: " + TlsErrorText());
  if (SSL_CTX_load_verify_locations(ctx.get(), opt.ca.c_str(), nullptr) != 1)
    Fail(kUsage, "cannot load trusted certificates from " + opt.ca + ": " + TlsErrorText());
  if (!opt.cert.empty()) {
    if (SSL_CTX_use_certificate_file(ctx.get(), opt.cert.c_str(), SSL_FILETYPE_PEM) != 1)
      Fail(kUsage, "cannot load certificate " + opt.cert + ": " + TlsErrorText());
    if (SSL_CTX_use_PrivateKey_file(ctx.get(), opt.key.c_str(), SSL_FILETYPE_PEM) != 1)
      Fail(kUsage, "cannot load key " + opt.key + ": " + TlsErrorText());
  }
  X509_VERIFY_PARAM* param = SSL_CTX_get0_param(ctx.get());
  X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
  X509_VERIFY_PARAM_set1_host(param, opt.peer_name.c_str(), 0);
  SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_PEER, nullptr);
  SSL_CTX_set_min_proto_version(ctx.get(), TLS1_2_VERSION);

  const auto start = Clock::now();
  const std::string where = tarnwick::HostPort(opt.host, opt.port);
  platform::Resolution r = platform::Resolve(opt.host, opt.port, false);
  if (r.code != 0) Fail(kConnect, "cannot resolve " + where + ": " + r.text);
  const Target target{opt, ctx.get(), r.addresses, where};

  std::uintmax_t size = 0, sent = 0;
  std::string digest;
  bool held = false;  // the relay had the whole save before this run
  if (opt.save.empty()) {
    Sha256 hash;
    size = sent = SendPlain(target, input, total, hash);
    digest = hash.HexDigest();
  } else {
    Sha256 hash;
    Save s{input, HashFrom(input, opt.file, hash, std::nullopt), hash.HexDigest()};
    held = !SendSave(target, s);
    size = s.size, sent = s.sent, digest = s.digest;
  }

  const double secs = std::chrono::duration<double>(Clock::now() - start).count();
  if (opt.json) {
    std::printf("{\"relay\":%s,\"repo\":%s,\"save\":%s,\"outcome\":\"%s\",\"bytes\":%ju,\"sent\":%ju,"
                "\"sha256\":\"%s\",\"seconds\":%.3f}\n",
                JsonString(where).c_str(), JsonString(opt.repo).c_str(),
                opt.save.empty() ? "null" : JsonString(opt.save).c_str(), held ? "held" : "stored", size, sent,
                digest.c_str(), secs);
  } else if (!opt.quiet && opt.save.empty()) {
    std::printf("tarnwick-send: %s stored %ju bytes (%s) in repository %s, sha256 %s, %s, %s/s on average\n",
                where.c_str(), size, Size(static_cast<double>(size)).c_str(), opt.repo.c_str(), digest.c_str(),
                Duration(secs).c_str(), Size(secs > 0 ? sent / secs : 0).c_str());
  } else if (!opt.quiet && held) {
    std::printf("tarnwick-send: %s holds save %s of repository %s complete already: %ju bytes (%s), sha256 %s; nothing sent\n",
                where.c_str(), opt.save.c_str(), opt.repo.c_str(), size, Size(static_cast<double>(size)).c_str(),
                digest.c_str());
  } else if (!opt.quiet) {
    std::printf("tarnwick-send: %s stored save %s of repository %s: %ju bytes (%s), sha256 %s; %ju sent by this run, %s, %s/s on average\n",
                where.c_str(), opt.save.c_str(), opt.repo.c_str(), size, Size(static_cast<double>(size)).c_str(),
                digest.c_str(), sent, Duration(secs).c_str(), Size(secs > 0 ? sent / secs : 0).c_str());
  }
  if (input != stdin) std::fclose(input);
  return kStored;
}
