#include "process/process.h"

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sstream>

namespace tw {

std::string Bin(const char* env, const char* built) {
  const char* v = std::getenv(env);
  return v && *v ? v : built;
}

Proc::Proc(const fs::path& bin, const std::vector<std::string>& args, const fs::path& stem) : stem_(stem) {
  std::vector<char*> argv = {const_cast<char*>(bin.c_str())};
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const int fds[] = {open("/dev/null", O_RDONLY | O_CLOEXEC),
                     open((stem.string() + ".out").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644),
                     open((stem.string() + ".err").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644)};
  pid_ = fork();
  if (pid_ == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);  // a relay must not outlive a test binary that crashed
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
  return WaitFor([&] {
    const std::string e = Err();
    return from <= e.size() && e.find(needle, from) != std::string::npos;
  }, timeout);
}

std::optional<int> Proc::Wait(ms timeout) {
  if (status_) return status_;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  do {
    int st = 0;
    if (waitpid(pid_, &st, WNOHANG) == pid_) {
      status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
      return status_;
    }
    std::this_thread::sleep_for(ms(10));
  } while (std::chrono::steady_clock::now() < deadline);
  return std::nullopt;
}

void Relay::WriteFiles() {
  std::ostringstream text;
  for (const auto& [section, keys] : ini) {
    text << "[" << section << "]\n";
    for (const auto& [key, value] : keys) text << key << "=" << value << "\n";
  }
  Write(dir / "settings.ini", text.str());
  Write(dir / "cert.pem", Read(id.cert));
  Write(dir / "key.pem", Read(id.key));
  Write(dir / "clientcert.pem", Pems(clients));
  Write(dir / "servercert.pem", Pems(senders));
  Write(dir / "forwardcert.pem", Pems(forward));
}

bool Relay::Start() {
  proc = std::make_unique<Proc>(Bin("TARNWICK_RELAY", TARNWICK_BINARY), std::vector<std::string>{"--dir", dir.string()},
                                dir.string() + "." + std::to_string(++runs));
  return proc->WaitLine(kRunning);
}

void Net::SetUp() {
  signal(SIGPIPE, SIG_IGN);
  dir_ = TestDir("p");
  client_ = MakeId(dir_, "client.test");
  sender_ = MakeId(dir_, "sender.test");
}

Relay& Net::NewRelay(const std::string& name) {
  auto r = std::make_unique<Relay>();
  r->dir = dir_ / name;
  r->root = dir_ / (name + "-root");
  fs::create_directories(r->dir), fs::create_directories(r->root);
  r->id = MakeId(dir_, "relay-" + name + ".test");
  r->port = FreePort(), r->closure_port = FreePort(), r->fwd_port = FreePort();
  r->clients = {&client_}, r->senders = {&sender_};
  r->ini["Backup"]["Dir"] = r->root.string();
  r->ini["Connection"] = {{"Port", std::to_string(r->port)}, {"ClosurePort", std::to_string(r->closure_port)},
                          {"ThrottlingEnabled", "0"}, {"DelayBeforeRetry", "200"}};
  r->WriteFiles();
  relays_.push_back(std::move(r));
  return *relays_.back();
}

void Net::Link(Relay& from, Relay& to, bool dial) {
  from.ini["Forward"]["PeerCN"] = to.id.name;
  from.forward = {&to.id};
  to.ini["Connection"]["PeerCN"] = from.id.name;
  if (dial) {
    from.ini["Forward"]["Host"] = "127.0.0.1", from.ini["Forward"]["Port"] = std::to_string(to.port);
    to.clients = {&from.id};
    to.ini["Connection"]["Upstream"] = "1";
  } else {
    from.ini["Forward"]["Port"] = std::to_string(from.fwd_port);
    to.ini["Connection"]["Host"] = "127.0.0.1", to.ini["Connection"]["Port"] = std::to_string(from.fwd_port);
    to.ini["Connection"]["ClosurePort"] = std::to_string(from.closure_port);
    to.senders = {&from.id};
  }
  from.WriteFiles(), to.WriteFiles();
}

Net::Ran Net::Run(const fs::path& bin, const std::vector<std::string>& args) {
  Proc p(bin, args, dir_ / ("run" + std::to_string(++runs_)));
  const auto st = p.Wait();
  return {st, p.Out(), p.Err()};
}

static std::vector<std::string> SendArgs(const Relay& r, const std::string& repo, const fs::path& in, bool cert,
                                         const Id& client) {
  std::vector<std::string> a = {"--host", "127.0.0.1", "--port", std::to_string(r.port), "--repo", repo,
                                "--ca", r.id.cert.string(), "--peer-name", r.id.name, "--wait", "20", "--quiet"};
  if (cert) a.insert(a.end(), {"--cert", client.cert.string(), "--key", client.key.string()});
  a.push_back(in.string());
  return a;
}

Net::Ran Net::Send(const Relay& r, const std::string& repo, const fs::path& in, bool certified) {
  return Run(Bin("TARNWICK_SEND", TARNWICK_SEND_BINARY), SendArgs(r, repo, in, certified, client_));
}

std::unique_ptr<Proc> Net::StartSend(const Relay& r, const std::string& repo, const fs::path& in) {
  return std::make_unique<Proc>(Bin("TARNWICK_SEND", TARNWICK_SEND_BINARY), SendArgs(r, repo, in, true, client_),
                                dir_ / ("send" + std::to_string(++runs_)));
}

::testing::AssertionResult Net::Forwarded(const Relay& from, const Relay& to, const std::string& repo,
                                          const std::string& save, const std::string& bytes, ms timeout) {
  const fs::path at = to.Save(repo, save), marker = to.Save(repo, save + "_pending");
  const bool whole = WaitFor([&] {
    return SizeOf(at) == static_cast<long long>(bytes.size()) && !Exists(marker) && !Exists(from.Record(repo, save));
  }, timeout);
  if (whole && Read(at) == bytes) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << repo << "/" << save << ": " << SizeOf(at) << " of " << bytes.size()
                                       << " bytes, marker '" << Read(marker) << "'\n"
                                       << from.Err() << to.Err();
}

}  // namespace tw
