// tarnwick-send: sends one file (or standard input) to a relay as a
// one-field stream and exits 0 only once the relay has confirmed it stored
// every byte (its close_notify after ours).
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

#include "channel/tls.h"
#include "platform/platform.h"
#include "base/text.h"
#include "layout/stream_header.h"
#include "tarnwick_version.h"

namespace {

using tarnwick::SslCtxPtr;
using tarnwick::SslPtr;
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
};

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
    "                     [--wait SECONDS] [--quiet] [FILE|-]\n"
    "       tarnwick-send --help | --version\n";

const char kHelpText[] =
    "\n"
    "Sends FILE (standard input when absent or -) to a Tarnwick relay as a new\n"
    "save of repository NAME, and exits 0 once the relay confirmed it stored\n"
    "every byte.\n"
    "\n"
    "  --host HOST        the relay's host name or IPv4 address\n"
    "  --port PORT        the relay's [Connection] Port\n"
    "  --repo NAME        repository: the folder under saves/ on every relay\n"
    "  --ca FILE          PEM certificates trusted for the relay (a CA or its own)\n"
    "  --peer-name NAME   name the relay's certificate must carry (default: HOST)\n"
    "  --cert, --key FILE this machine's certificate and key, when it has one\n"
    "  --wait SECONDS     wait for the confirmation while the relay takes nothing\n"
    "                     (default 60)\n"
    "  -q, --quiet        no progress and no summary; failures are still reported\n"
    "\n"
    "Exit: 0 stored, 2 usage or certificate files, 3 input unreadable, 4 relay\n"
    "unreachable, 5 handshake refused, 6 transfer broken off, 7 no confirmation.\n";

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
  std::string host, port, repo, ca, peer_name, cert, key, file = "-";
  int wait_seconds = 60;
  bool quiet = false;
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
  if (o.peer_name.empty()) o.peer_name = o.host;
  return o;
}

// With TLS 1.3 the relay judges our certificate after our side of the
// handshake is done: its refusal arrives as an alert on the first read or
// write. That is still a refused handshake, not a broken transfer.
bool RefusedOurCertificate() {
  unsigned long e = ERR_peek_error();
  if (ERR_GET_LIB(e) != ERR_LIB_SSL) return false;
  switch (ERR_GET_REASON(e) - SSL_AD_REASON_OFFSET) {
    case SSL_AD_BAD_CERTIFICATE:
    case SSL_AD_UNSUPPORTED_CERTIFICATE:
    case SSL_AD_CERTIFICATE_REVOKED:
    case SSL_AD_CERTIFICATE_EXPIRED:
    case SSL_AD_CERTIFICATE_UNKNOWN:
    case SSL_AD_UNKNOWN_CA:
    case SSL_AD_ACCESS_DENIED:
    case SSL_AD_CERTIFICATE_REQUIRED:
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
  Progress(const platform::Socket& sock, std::optional<std::uintmax_t> total, bool show)
      : sock_(sock), total_(total), show_(show) {
    samples_.push_back({Clock::now(), 0});
  }

  // sent: bytes of the file handed to TLS so far.
  void Update(std::uintmax_t sent, bool force = false) {
    const auto now = Clock::now();
    const std::int64_t held = platform::UnacknowledgedBytes(sock_);
    const std::uintmax_t reached = held > 0 && static_cast<std::uintmax_t>(held) < sent ? sent - held
                                   : held > 0                                          ? 0
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
  std::uintmax_t taken_ = 0;
  std::deque<Sample> samples_;
  Clock::time_point drawn_{};
  std::size_t width_ = 0;
};

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
  const std::string where = opt.host + ":" + opt.port;
  platform::Resolution r = platform::ResolveIPv4(opt.host, opt.port, false);
  if (r.code != 0) Fail(kConnect, "cannot resolve " + where + ": " + r.text);
  platform::Socket sock = platform::OpenTcpSocket();
  if (!sock.Valid()) Fail(kConnect, "cannot create a socket: " + platform::SocketErrorText(platform::LastSocketError()));
  if (!platform::Connect(sock, r.address))
    Fail(kConnect, "cannot connect to " + where + ": " + platform::SocketErrorText(platform::LastSocketError()));
  platform::EnableKeepAlive(sock);

  SslPtr ssl(SSL_new(ctx.get()));
  if (!ssl) Fail(kHandshake, "cannot create a TLS session: " + TlsErrorText());
  SSL_set_fd(ssl.get(), static_cast<int>(sock.Native()));
  SSL_set_tlsext_host_name(ssl.get(), opt.peer_name.c_str());
  const auto handshake_start = std::chrono::steady_clock::now();
  int rc = SSL_connect(ssl.get());
  const auto handshake_time = std::chrono::steady_clock::now() - handshake_start;
  if (rc != 1) {
    long verify = SSL_get_verify_result(ssl.get());
    std::string why = verify != X509_V_OK ? X509_verify_cert_error_string(verify)
                                          : SessionErrorText(ssl.get(), rc, platform::LastSocketError());
    Fail(kHandshake, "TLS handshake with " + where + " refused: " + why);
  }

  if (!opt.cert.empty() && SSL_version(ssl.get()) == TLS1_3_VERSION) {
    // With TLS 1.3 the relay judges our certificate after our side of the
    // handshake is done, and says nothing when it accepts it. A refusal is
    // an alert one round trip away: give it twice the handshake's time
    // before sending, or it could be lost under the reset that our unread
    // data provokes.
    const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(2 * handshake_time).count() + 20;
    if (platform::WaitReady(sock, /*for_write=*/false, static_cast<int>(std::min<long long>(wait, 3000)))) {
      SSL_clear_mode(ssl.get(), SSL_MODE_AUTO_RETRY);
      platform::SetReceiveTimeout(sock, 3000);
      char probe[1];
      if (SSL_read(ssl.get(), probe, sizeof probe) <= 0 && RefusedOurCertificate())
        Fail(kHandshake, "the relay refused our certificate: " + TlsErrorText());
      ERR_clear_error();
      SSL_set_mode(ssl.get(), SSL_MODE_AUTO_RETRY);
      platform::SetReceiveTimeout(sock, 0);
    }
  }

  auto send = [&](const char* data, int len, std::uintmax_t sent) {
    int w = SSL_write(ssl.get(), data, len);
    if (w <= 0) {
      int e = platform::LastSocketError();
      std::string why = SessionErrorText(ssl.get(), w, e);
      if (RefusedOurCertificate()) Fail(kHandshake, "the relay refused our certificate: " + TlsErrorText());
      ERR_clear_error();
      Fail(kTransfer, "write failed after " + std::to_string(sent) + " bytes: " + why);
    }
  };
  const std::string header = tarnwick::FormatStreamHeader(opt.repo);
  send(header.data(), static_cast<int>(header.size()), 0);

  Progress progress(sock, total, !opt.quiet && platform::IsTerminal(stderr));
  // Written a TLS record at a time, so that the progress moves even when a
  // throttling relay takes a few KiB per second.
  constexpr std::size_t kSlice = 16 * 1024;
  std::vector<char> chunk(1 << 16);
  std::uintmax_t sent = 0;
  for (;;) {
    std::size_t n = std::fread(chunk.data(), 1, chunk.size(), input);
    for (std::size_t at = 0; at < n; at += kSlice) {
      const std::size_t len = std::min(kSlice, n - at);
      send(chunk.data() + at, static_cast<int>(len), sent);
      sent += len;
      progress.Update(sent);
    }
    if (n < chunk.size()) {
      if (std::ferror(input)) Fail(kInput, "cannot read " + (opt.file == "-" ? std::string("standard input") : opt.file) + ": " + std::strerror(errno));
      break;
    }
  }

  // Our close_notify ends the stream; the relay answers with its own only
  // once the save is stored.
  if (SSL_shutdown(ssl.get()) < 0) {
    int e = platform::LastSocketError();
    if (RefusedOurCertificate()) Fail(kHandshake, "the relay refused our certificate: " + TlsErrorText());
    Fail(kTransfer, "cannot end the stream: " + SessionErrorText(ssl.get(), -1, e));
  }
  // What the socket buffers still hold can take minutes to reach a
  // throttling relay: the wait counts from the last byte it took, not from
  // our last write. The receive time-out only bounds a record cut short.
  platform::SetReceiveTimeout(sock, opt.wait_seconds * 1000);
  const auto wait = std::chrono::seconds(opt.wait_seconds);
  auto last_move = Clock::now();
  std::uintmax_t taken = progress.Taken();
  char scratch[256];
  for (;;) {
    if (!SSL_has_pending(ssl.get()) && !platform::WaitReady(sock, /*for_write=*/false, 250)) {
      progress.Update(sent);
      const auto now = Clock::now();
      if (progress.Taken() != taken) {
        taken = progress.Taken();
        last_move = now;
      } else if (now - last_move >= wait) {
        Fail(kUnconfirmed, "no confirmation from the relay within " + std::to_string(opt.wait_seconds) + " s");
      }
      continue;
    }
    platform::ClearSocketError();
    int n = SSL_read(ssl.get(), scratch, sizeof scratch);
    if (n > 0) continue;
    int code = SSL_get_error(ssl.get(), n);
    if (code == SSL_ERROR_ZERO_RETURN) break;
    int e = platform::LastSocketError();
    if (RefusedOurCertificate()) Fail(kHandshake, "the relay refused our certificate: " + TlsErrorText());
    if (platform::IsTimeoutError(e))
      Fail(kUnconfirmed, "no confirmation from the relay within " + std::to_string(opt.wait_seconds) + " s");
    Fail(kUnconfirmed, "the relay did not confirm the stream: " + SessionErrorText(ssl.get(), n, e));
  }
  progress.Finish(sent);
  if (!opt.quiet) {
    const double secs = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf("tarnwick-send: %s stored %ju bytes (%s) in repository %s, %s, %s/s on average\n",
                where.c_str(), sent, Size(static_cast<double>(sent)).c_str(), opt.repo.c_str(),
                Duration(secs).c_str(), Size(secs > 0 ? sent / secs : 0).c_str());
  }
  if (input != stdin) std::fclose(input);
  return kStored;
}
