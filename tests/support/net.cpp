#include "support/net.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <fstream>
#include <mutex>
#include <random>
#include <set>
#include <sstream>

#include <gtest/gtest.h>

namespace tw {

// A context that verifies its peer against trusted; me: our certificate.
static SSL_CTX* Context(bool server, const Id& trusted, const Id* me) {
  SSL_CTX* ctx = SSL_CTX_new(server ? TLS_server_method() : TLS_client_method());
  SSL_CTX_load_verify_locations(ctx, trusted.cert.c_str(), nullptr);
  SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
  if (me) {
    SSL_CTX_use_certificate_file(ctx, me->cert.c_str(), SSL_FILETYPE_PEM);
    SSL_CTX_use_PrivateKey_file(ctx, me->key.c_str(), SSL_FILETYPE_PEM);
  }
  return ctx;
}

std::string Read(const fs::path& p) {
  std::ostringstream s;
  s << std::ifstream(p, std::ios::binary).rdbuf();
  return s.str();
}

void Write(const fs::path& p, const std::string& bytes) {
  fs::create_directories(p.parent_path());
  std::ofstream(p, std::ios::binary) << bytes;
}

long long SizeOf(const fs::path& p) {
  std::error_code ec;
  const auto n = fs::file_size(p, ec);
  return ec ? -1 : static_cast<long long>(n);
}

std::vector<std::string> Files(const fs::path& dir) {
  std::vector<std::string> out;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(dir, ec); !ec && it != fs::end(it); it.increment(ec))
    if (std::error_code e2; it->is_regular_file(e2)) out.push_back(it->path().lexically_relative(dir).string());
  std::sort(out.begin(), out.end());
  return out;
}

std::string Random(std::size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(gen());
  return s;
}

std::string Date() {
  const std::time_t t = std::time(nullptr);
  char buf[16];
  std::strftime(buf, sizeof buf, "%Y-%m-%d", std::localtime(&t));
  return buf;
}

// Below Linux's ephemeral range (from 32768): a port found free there may
// be taken by any outgoing connection before the relay under test binds it.
std::uint16_t FreePort() {
  static std::mutex mu;
  static std::set<std::uint16_t> given;
  static std::mt19937 gen{std::random_device{}()};
  std::lock_guard l(mu);
  for (;;) {
    const auto port = static_cast<std::uint16_t>(20000 + gen() % 12000);
    if (!given.insert(port).second) continue;
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in any = Loopback(port);
    any.sin_addr.s_addr = htonl(INADDR_ANY);  // relays listen on every address
    const bool free = bind(fd, reinterpret_cast<const sockaddr*>(&any), sizeof any) == 0;
    close(fd);
    if (free) return port;
  }
}

bool WaitFor(const std::function<bool()>& cond, ms timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!cond()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(ms(20));
  }
  return true;
}

fs::path TestDir(const std::string& tag) {
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  const fs::path dir = fs::temp_directory_path() / ("tw-" + tag + "-" + info->test_suite_name() + "-" + info->name() +
                                                    "-" + std::to_string(getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  return dir;
}

std::string Pems(const std::vector<const Id*>& ids) {
  std::string s;
  for (const Id* id : ids) s += Read(id->cert);
  return s;
}

sockaddr_in Loopback(std::uint16_t port) { return {AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}}; }

int Timed(int fd) {
  timeval tv{kWait.count() / 1000, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  return fd;
}

int Listen(std::uint16_t* port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);  // a port listened on again
  sockaddr_in a = Loopback(*port);
  socklen_t len = sizeof a;
  auto* sa = reinterpret_cast<sockaddr*>(&a);
  if (bind(fd, sa, len) != 0 || listen(fd, 16) != 0) return close(fd), -1;
  getsockname(fd, sa, &len);
  *port = ntohs(a.sin_port);
  return fd;
}

End AwaitEnd(SSL* ssl) {
  char buf[4096];
  int n;
  while ((n = SSL_read(ssl, buf, sizeof buf)) > 0) {}
  const bool notify = SSL_get_error(ssl, n) == SSL_ERROR_ZERO_RETURN;
  ERR_clear_error();
  return notify ? End::Notify : End::Error;
}

std::string UpToNul(SSL* ssl) {
  std::string text;
  char c;
  while (ssl && SSL_read(ssl, &c, 1) == 1 && c != '\0') text.push_back(c);
  ERR_clear_error();
  return text;
}

bool HasIPv6Loopback() {
  const int fd = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in6 a{};
  a.sin6_family = AF_INET6;
  a.sin6_addr = in6addr_loopback;
  const bool ok = fd >= 0 && bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0;
  if (fd >= 0) close(fd);
  return ok;
}

static int Connected(const std::string& host, std::uint16_t port) {
  sockaddr_storage a{};
  socklen_t len = 0;
  auto* a4 = reinterpret_cast<sockaddr_in*>(&a);
  auto* a6 = reinterpret_cast<sockaddr_in6*>(&a);
  if (inet_pton(AF_INET, host.c_str(), &a4->sin_addr) == 1) {
    a4->sin_family = AF_INET, a4->sin_port = htons(port), len = sizeof *a4;
  } else if (inet_pton(AF_INET6, host.c_str(), &a6->sin6_addr) == 1) {
    a6->sin6_family = AF_INET6, a6->sin6_port = htons(port), len = sizeof *a6;
  } else {
    return -1;
  }
  const int fd = Timed(socket(a.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (connect(fd, reinterpret_cast<const sockaddr*>(&a), len) != 0) return close(fd), -1;
  return fd;
}

Client::Client(const std::string& host, std::uint16_t port, const Id& trusted, const Id* me)
    : ctx_(Context(false, trusted, me)), fd_(Connected(host, port)) {
  if (fd_ < 0) return;
  SSL* s = SSL_new(ctx_);
  SSL_set_fd(s, fd_);
  SSL_set1_host(s, trusted.name.c_str());
  SSL_connect(s) == 1 ? void(ssl_ = s) : SSL_free(s);
  ERR_clear_error();
}

Client::~Client() {
  if (ssl_) SSL_free(ssl_);
  if (fd_ >= 0) close(fd_);
  SSL_CTX_free(ctx_);
}

bool Client::Send(const std::string& bytes) {
  std::size_t w;
  return ssl_ && SSL_write_ex(ssl_, bytes.data(), bytes.size(), &w) == 1;
}

End Client::Finish() {
  return ssl_ && SSL_shutdown(ssl_) >= 0 ? AwaitEnd(ssl_) : End::Error;
}

End SendStream(std::uint16_t port, const Id& trusted, const Id* me, const std::string& bytes) {
  Client c(port, trusted, me);
  return c.Send(bytes) ? c.Finish() : End::Error;
}

Server::Server(const Id& me, const Id& peer, std::function<void(SSL* ssl, int fd)> serve)
    : port(0), ctx_(Context(true, peer, &me)), lfd_(Listen(&port)), serve_(std::move(serve)) {
  thread_ = std::thread([this] {
    for (int fd; (fd = accept4(lfd_, nullptr, nullptr, SOCK_CLOEXEC)) >= 0 || errno == EINTR;) {
      if (fd < 0) continue;
      Timed(fd);
      SSL* ssl = SSL_new(ctx_);
      SSL_set_fd(ssl, fd);
      if (!stop && SSL_accept(ssl) == 1) serve_(ssl, fd);
      ERR_clear_error();
      SSL_free(ssl);
      close(fd);
    }
  });
}

Server::~Server() {
  stop = true;
  shutdown(lfd_, SHUT_RDWR);  // wakes the blocked accept
  thread_.join();
  close(lfd_);
  SSL_CTX_free(ctx_);
}

}  // namespace tw
