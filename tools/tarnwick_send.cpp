// tarnwick-send: sends one file (or standard input) to a relay as a
// one-field stream and exits 0 only once the relay has confirmed it stored
// every byte (its close_notify after ours).
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
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
#include "reception/stream_header.h"

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

[[noreturn]] void Fail(int status, const std::string& reason) {
  std::fprintf(stderr, "\ntarnwick-send: %s\n" + (platform::IsTerminal(stderr) ? 0 : 1), reason.c_str());
  std::exit(status);
}

const char kUsageText[] =
    "usage: tarnwick-send --host HOST --port PORT --repo NAME --ca TRUSTED.pem\n"
    "                     [--peer-name NAME] [--cert CERT.pem --key KEY.pem]\n"
    "                     [--wait SECONDS] [FILE|-]\n";

struct Options {
  std::string host, port, repo, ca, peer_name, cert, key, file = "-";
  int wait_seconds = 60;
};

Options ParseArgs(int argc, char** argv) {
  Options o;
  bool have_file = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "-h" || arg == "--help") {
      std::fputs(kUsageText, stdout);
      std::exit(0);
    }
    if (arg.rfind("--", 0) != 0 || arg == "-") {
      if (have_file) Fail(kUsage, "more than one input file given");
      o.file = arg;
      have_file = true;
      continue;
    }
    std::string value;
    auto eq = arg.find('=');
    if (eq != std::string::npos) {
      value = arg.substr(eq + 1);
      arg.resize(eq);
    } else if (i + 1 < argc) {
      value = argv[++i];
    } else {
      Fail(kUsage, "option " + arg + " needs a value");
    }
    if (arg == "--host") o.host = value;
    else if (arg == "--port") o.port = value;
    else if (arg == "--repo") o.repo = value;
    else if (arg == "--ca") o.ca = value;
    else if (arg == "--peer-name") o.peer_name = value;
    else if (arg == "--cert") o.cert = value;
    else if (arg == "--key") o.key = value;
    else if (arg == "--wait") {
      char* end = nullptr;
      long w = std::strtol(value.c_str(), &end, 10);
      if (value.empty() || *end != '\0' || w <= 0 || w > 86400) Fail(kUsage, "--wait needs a number of seconds (1-86400)");
      o.wait_seconds = static_cast<int>(w);
    } else {
      Fail(kUsage, "unknown option " + arg);
    }
  }
  if (o.host.empty() || o.port.empty() || o.repo.empty() || o.ca.empty()) {
    std::fputs(kUsageText, stderr);
    Fail(kUsage, "--host, --port, --repo and --ca are required");
  }
  if (o.cert.empty() != o.key.empty()) Fail(kUsage, "--cert and --key go together");
  if (!tarnwick::IsSafeName(o.repo)) Fail(kUsage, "repository name \"" + o.repo + "\" is not usable as a folder name");
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

class Progress {
 public:
  Progress(std::optional<std::uintmax_t> total) : total_(total), on_(platform::IsTerminal(stderr)) {}
  void Update(std::uintmax_t sent, bool force = false) {
    if (!on_) return;
    auto now = Clock::now();
    if (!force && now - last_ < std::chrono::milliseconds(250)) return;
    last_ = now;
    double secs = std::chrono::duration<double>(now - start_).count();
    double rate = secs > 0 ? sent / secs : 0;
    std::string eta = "--:--";
    if (total_ && rate > 0 && *total_ >= sent) {
      long left = static_cast<long>((*total_ - sent) / rate);
      char buf[32];
      std::snprintf(buf, sizeof buf, "%ld:%02ld", left / 60, left % 60);
      eta = buf;
    }
    std::fprintf(stderr, "\r%10.1f MiB  %8.1f MiB/s  time left %s   ", sent / 1048576.0, rate / 1048576.0,
                 eta.c_str());
    std::fflush(stderr);
  }
  void Done(std::uintmax_t sent) {
    if (!on_) return;
    Update(sent, true);
    std::fputc('\n', stderr);
  }

 private:
  std::optional<std::uintmax_t> total_;
  bool on_;
  Clock::time_point start_ = Clock::now();
  Clock::time_point last_{};
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
  std::string header = opt.repo;
  header.push_back('\0');
  send(header.data(), static_cast<int>(header.size()), 0);

  Progress progress(total);
  std::vector<char> chunk(1 << 16);
  std::uintmax_t sent = 0;
  for (;;) {
    std::size_t n = std::fread(chunk.data(), 1, chunk.size(), input);
    if (n > 0) {
      send(chunk.data(), static_cast<int>(n), sent);
      sent += n;
      progress.Update(sent);
    }
    if (n < chunk.size()) {
      if (std::ferror(input)) Fail(kInput, "cannot read " + (opt.file == "-" ? std::string("standard input") : opt.file) + ": " + std::strerror(errno));
      break;
    }
  }
  progress.Done(sent);

  // Our close_notify ends the stream; the relay answers with its own only
  // once the save is stored.
  if (SSL_shutdown(ssl.get()) < 0) {
    int e = platform::LastSocketError();
    if (RefusedOurCertificate()) Fail(kHandshake, "the relay refused our certificate: " + TlsErrorText());
    Fail(kTransfer, "cannot end the stream: " + SessionErrorText(ssl.get(), -1, e));
  }
  platform::SetReceiveTimeout(sock, opt.wait_seconds * 1000);
  char scratch[256];
  for (;;) {
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
  if (input != stdin) std::fclose(input);
  return kStored;
}
