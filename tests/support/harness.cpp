#include "support/harness.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <fstream>
#include <random>
#include <sstream>

namespace tw {
std::string Bin(const char* env, const char* built) {
  const char* v = std::getenv(env);
  return v && *v ? v : built;
}

// Blocking I/O that gives up after kWait instead of hanging the test.
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

SSL_CTX* Context(bool server, const Id& trusted, const Id* me) {
  SSL_CTX* ctx = SSL_CTX_new(server ? TLS_server_method() : TLS_client_method());
  SSL_CTX_load_verify_locations(ctx, trusted.cert.c_str(), nullptr);
  SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
  if (me) {
    SSL_CTX_use_certificate_file(ctx, me->cert.c_str(), SSL_FILETYPE_PEM);
    SSL_CTX_use_PrivateKey_file(ctx, me->key.c_str(), SSL_FILETYPE_PEM);
  }
  return ctx;
}

End AwaitEnd(SSL* ssl, std::atomic<long long>* got) {
  char buf[4096];
  int n;
  while ((n = SSL_read(ssl, buf, sizeof buf)) > 0)
    if (got) *got += n;
  const int e = SSL_get_error(ssl, n);
  const bool timeout = e == SSL_ERROR_SYSCALL && (errno == EAGAIN || errno == EWOULDBLOCK);
  ERR_clear_error();
  return e == SSL_ERROR_ZERO_RETURN ? End::Notify : timeout ? End::Timeout : End::Error;
}

namespace {

std::string Pems(const std::vector<const Id*>& ids) {
  std::string s;
  for (const Id* id : ids) s += Read(id->cert);
  return s;
}

}  // namespace

sockaddr_in Loopback(std::uint16_t port) { return {AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}}; }

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
    // A relay may remove a file meanwhile: no call here may throw for that.
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

std::uint16_t FreePort() {
  std::uint16_t port = 0;
  close(Listen(&port));
  return port;
}

bool WaitFor(const std::function<bool()>& cond, ms timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!cond()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(ms(20));
  }
  return true;
}

Proc::Proc(const fs::path& bin, const std::vector<std::string>& args, const fs::path& stem)
    : stem_(stem) {
  std::vector<char*> argv = {const_cast<char*>(bin.c_str())};
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const int fds[] = {open("/dev/null", O_RDONLY | O_CLOEXEC),
                     open((stem.string() + ".out").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644),
                     open((stem.string() + ".err").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644)};
  pid_ = fork();
  if (pid_ == 0) {
    // A relay must not outlive a test binary that crashed.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    for (int i = 0; i < 3; ++i) dup2(fds[i], i);
    execv(argv[0], argv.data());
    _exit(127);
  }
  for (int fd : fds) close(fd);
}

Proc::~Proc() {
  Kill(SIGKILL);
  Wait();
  const std::string e = Err();
  for (const char* s : {"ThreadSanitizer", "AddressSanitizer", "LeakSanitizer", "runtime error:"})
    if (e.find(s) != std::string::npos) ADD_FAILURE() << stem_ << " reported " << s << ":\n" << e;
}

bool Proc::WaitLine(const std::string& needle, std::size_t from, ms timeout) {
  auto seen = [&] {
    const std::string e = Err();
    const auto p = e.find(needle, from);
    return p != std::string::npos && e.find('\n', p) != std::string::npos;
  };
  WaitFor([&] { return seen() || !Running(); }, timeout);
  return seen();
}

std::optional<int> Proc::Wait(ms timeout) {
  WaitFor([&] {
    int st;
    if (!status_ && waitpid(pid_, &st, WNOHANG) == pid_)
      status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    return status_.has_value();
  }, timeout);
  return status_;
}

void Relay::Spawn() {
  const std::string stem = dir.string() + "." + std::to_string(++runs);
  if (user.empty()) {
    proc = std::make_unique<Proc>(dir / "tarnwick", std::vector<std::string>{}, stem);
    return;
  }
  const std::string owner = user + ":" + (user == "nobody" ? "nogroup" : user);
  EXPECT_EQ(std::system(("chown -R " + owner + " '" + dir.string() + "' '" + root.string() + "'").c_str()), 0);
  proc = std::make_unique<Proc>("/usr/bin/setpriv",
                                std::vector<std::string>{"--reuid=" + user, "--regid=" + owner.substr(user.size() + 1),
                                                         "--clear-groups", "--pdeathsig=KILL", (dir / "tarnwick").string()},
                                stem);
}

void Relay::WriteFiles() {
  std::ostringstream ini;
  ini << "[Backup]\nDir=" << root.string() << "\n[Connection]\nHost=" << host << "\nPort=" << port
      << "\nClosurePort=" << closure_port << "\nPeerCN=" << peer_cn << "\nDelayBeforeRetry="
      << delay_ms << "\nBandwith=" << rate << "\nThrottlingEnabled=" << throttle << "\n";
  for (const auto& [key, value] : connection) ini << key << "=" << value << "\n";
  ini << "[Forward]\nHost=" << fwd_host << "\nPort=" << fwd_port << "\nPeerCN=" << fwd_cn << "\n";
  Write(dir / "settings.ini", ini.str());
  // Contexts built after start-up read their PEM files from the backup root.
  for (const fs::path& d : {dir, root}) {
    if (!fs::is_directory(d)) continue;
    for (const auto& [file, text] : {std::pair{"cert.pem", Read(id.cert)}, {"key.pem", Read(id.key)},
         {"clientcert.pem", Pems(clients)}, {"servercert.pem", Pems(senders)}, {"forwardcert.pem", Pems(forward)}})
      Write(d / file, text);
  }
}

Client::Client(std::uint16_t port, const Id& trusted, const Id* me)
    : ctx_(Context(false, trusted, me)), fd_(Timed(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0))) {
  const sockaddr_in a = Loopback(port);
  if (connect(fd_, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) return;
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

std::string Client::Answer() {
  std::string text;
  char c;
  while (ssl_ && SSL_read(ssl_, &c, 1) == 1 && c != '\0') text.push_back(c);
  ERR_clear_error();
  return text;
}

End Client::Finish(How how) {
  if (!ssl_) return End::Error;
  if (how == How::Reset) {
    const linger l{1, 0};
    setsockopt(fd_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    close(std::exchange(fd_, -1));
    return End::Error;
  }
  how == How::Notify ? void(SSL_shutdown(ssl_)) : void(shutdown(fd_, SHUT_WR));
  return AwaitEnd(ssl_);
}

End SendStream(std::uint16_t port, const Id& trusted, const Id* me, const std::string& bytes) {
  Client c(port, trusted, me);
  return c.Send(bytes) ? c.Finish(How::Notify) : End::Error;
}

Server::Server(const Id& me, const Id& peer, std::uint16_t p)
    : port(p), ctx_(Context(true, peer, &me)), lfd_(Listen(&port)) {
  thread_ = std::thread([this] {
    for (int fd; (fd = accept4(lfd_, nullptr, nullptr, SOCK_CLOEXEC)) >= 0 || errno == EINTR;)
      if (fd >= 0) Serve(Timed(fd));
  });
}

Server::~Server() {
  stop_ = true;
  shutdown(lfd_, SHUT_RDWR);  // wakes the blocked accept
  thread_.join();
  close(lfd_);
  SSL_CTX_free(ctx_);
}

void Server::Serve(int fd) {
  std::unique_lock l(mu_);
  accepted_.push_back(std::chrono::steady_clock::now());
  l.unlock();
  SSL* ssl = SSL_new(ctx_);
  SSL_set_fd(ssl, fd);
  if (SSL_accept(ssl) == 1) {
    ++conns;
    l.lock();
    std::optional<std::string> s;
    if (!queue_.empty()) s = std::move(queue_.front()), queue_.pop_front();
    l.unlock();
    std::size_t w;
    if (s) {
      const bool sent = s->empty() || SSL_write_ex(ssl, s->data(), s->size(), &w) == 1;
      if (sent) SSL_shutdown(ssl);
      const End e = sent ? AwaitEnd(ssl) : End::Error;
      l.lock();
      ends_.push_back(e);
    } else if (closures) {
      // Nothing to send: stay silent, as a sender waiting for its next file,
      // until the relay's stop tells it to let go.
      ++held;
      WaitFor([&] { return stop_ || *closures > 0; }, ms(60000));
    }
  }
  ERR_clear_error();
  SSL_free(ssl);
  close(fd);
}

void Net::SetUp() {
  signal(SIGPIPE, SIG_IGN);
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  dir_ = fs::temp_directory_path() /
         (std::string("tw-") + info->test_suite_name() + "-" + info->name() + "-" + std::to_string(getpid()));
  fs::remove_all(dir_);
  fs::create_directories(dir_ / "rogue");
  client_ = MakeId(dir_, "client.test");
  misnamed_ = MakeId(dir_, "elsewhere.test");
  rogue_ = MakeId(dir_ / "rogue", "client.test");  // the right name, but not trusted
  sender_ = MakeId(dir_, "sender.test");
}

Relay& Net::NewRelay(const std::string& name) {
  auto r = std::make_unique<Relay>();
  r->dir = dir_ / name;
  r->root = dir_ / (name + "-root");
  fs::create_directories(r->dir), fs::create_directories(r->root);
  // Each relay runs its own link of the binary: it reads its files next to it.
  std::error_code ec;
  const std::string bin = Bin("TARNWICK_RELAY", TARNWICK_BINARY);
  fs::create_hard_link(bin, r->dir / "tarnwick", ec);
  if (ec) fs::copy_file(bin, r->dir / "tarnwick");
  r->id = MakeId(dir_, "relay-" + name + ".test");
  r->port = FreePort(), r->closure_port = FreePort(), r->fwd_port = FreePort();
  r->peer_cn = client_.name, r->clients = {&client_, &misnamed_}, r->senders = {&sender_};
  r->WriteFiles();
  relays_.push_back(std::move(r));
  return *relays_.back();
}

void Net::Link(Relay& from, Relay& to, bool dial) {
  from.fwd_cn = to.id.name;
  from.forward = {&to.id};
  to.peer_cn = from.id.name;
  if (dial) from.fwd_host = "127.0.0.1", from.fwd_port = to.port, to.clients = {&from.id};
  else to.host = "127.0.0.1", to.port = from.fwd_port, to.closure_port = from.closure_port, to.senders = {&from.id};
  from.WriteFiles();
  to.WriteFiles();
}

std::unique_ptr<Proc> Net::StartSend(const std::vector<std::string>& args) {
  return std::make_unique<Proc>(Bin("TARNWICK_SEND", TARNWICK_SEND_BINARY), args,
                                dir_ / ("send" + std::to_string(++runs_)));
}

Net::Ran Net::Run(const fs::path& bin, const std::vector<std::string>& args) {
  Proc p(bin, args, dir_ / ("run" + std::to_string(++runs_)));
  const auto st = p.Wait();
  return {st, Read(p.stem_.string() + ".out"), p.Err()};
}

std::optional<int> Net::Send(const std::vector<std::string>& args, std::string* err) {
  const auto p = StartSend(args);
  const auto st = p->Wait();
  return err ? (*err = p->Err(), st) : st;
}

std::vector<std::string> Net::SendArgs(const Relay& r, const std::string& repo, const fs::path& in) {
  return {"--host", "127.0.0.1", "--port", std::to_string(r.port), "--repo", repo, "--ca",
          r.id.cert.string(), "--peer-name", r.id.name, "--wait", "20", "--cert",
          client_.cert.string(), "--key", client_.key.string(), in.string()};
}

::testing::AssertionResult Net::Forwarded(const Relay& from, const Relay& to, const std::string& repo,
                                          const std::string& save, const std::string& bytes,
                                          ms timeout) {
  const fs::path at = to.Save(repo, save), marker = to.Save(repo, save + "_pending");
  const bool whole = WaitFor([&] {
    return SizeOf(at) == static_cast<long long>(bytes.size()) && !Exists(marker) &&
           !Exists(from.Progress(repo, save));
  }, timeout);
  if (whole && Read(at) == bytes) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << repo << "/" << save << ": " << SizeOf(at) << " of " << bytes.size()
                                       << " bytes, marker '" << Read(marker) << "'\n" << from.Err() << to.Err();
}

}  // namespace tw
