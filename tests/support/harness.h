// Real relays and senders on 127.0.0.1: certificates made here, child
// processes with captured output, and a blocking TLS client and sender whose
// socket timeouts are the deadlines.
#pragma once

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/ssl.h>

#include <atomic>
#include <csignal>
#include <chrono>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "support/certs.h"

namespace tw {
namespace fs = std::filesystem;
using ms = std::chrono::milliseconds;
// Generous enough for a sanitizer build on a loaded two-core machine.
inline constexpr ms kWait{20000};
inline const std::string kErr = "Tarnwick[0xC0020001] error: ";
inline const std::string kInfo = "Tarnwick[0xC0020001] information: ";
inline const std::string kRunning = "Tarnwick state: RUNNING";
inline const std::string kStopPending = "Tarnwick state: STOP_PENDING";
inline const std::string kStopped = "Tarnwick state: STOPPED";

std::string Read(const fs::path& p);  // "" when absent
void Write(const fs::path& p, const std::string& bytes);
inline bool Exists(const fs::path& p) { std::error_code ec; return fs::exists(p, ec); }
long long SizeOf(const fs::path& p);  // -1 when absent
std::vector<std::string> Files(const fs::path& dir);  // regular files, relative, sorted
std::string Random(std::size_t n, unsigned seed);
std::string Date();  // local YYYY-MM-DD, as the relay names saves
inline std::string H(std::string text) { text.push_back('\0'); return text; }
std::uint16_t FreePort();
// A binary under test; the environment variable env may point at another build's.
std::string Bin(const char* env, const char* built);
bool WaitFor(const std::function<bool()>& cond, ms timeout = kWait);

sockaddr_in Loopback(std::uint16_t port);
// Socket time-outs of kWait on fd, so that blocking I/O cannot hang a test.
int Timed(int fd);
// A listening socket on 127.0.0.1; *port 0 picks one and is set to it.
int Listen(std::uint16_t* port);
// A context that verifies its peer against trusted; me: our certificate.
SSL_CTX* Context(bool server, const Id& trusted, const Id* me);

// A child process; stderr/stdout go to <stem>.err/.out. Fails the test when
// a sanitizer reported anything.
struct Proc {
  Proc(const fs::path& bin, const std::vector<std::string>& args, const fs::path& stem);
  ~Proc();
  std::string Err() const { return Read(stem_.string() + ".err"); }
  std::size_t Mark() const { return Err().size(); }
  bool WaitLine(const std::string& needle, std::size_t from = 0, ms timeout = kWait);
  void Kill(int sig) { if (!status_) kill(pid_, sig); }
  std::optional<int> Wait(ms timeout = kWait);  // exit code, 128+signal when killed
  bool Running() { return !Wait(ms(0)); }
  fs::path stem_;
  pid_t pid_;
  std::optional<int> status_;
};

struct Relay {
  fs::path dir, root;
  Id id;
  std::string host, peer_cn, rate = "0", fwd_host, fwd_cn;
  std::uint16_t port, closure_port, fwd_port;
  bool throttle = false;
  std::map<std::string, std::string> connection;  // more [Connection] keys
  std::vector<const Id*> clients, senders, forward;
  std::unique_ptr<Proc> proc;
  int runs = 0, delay_ms = 200;
  // Runs the relay as this user (root only), with its directories made
  // theirs: then file modes bind it, as they do not bind root.
  std::string user;

  void WriteFiles();
  void Spawn();  // a new run's output goes to new files
  bool Start() { Spawn(); return proc->WaitLine(kRunning); }
  std::optional<int> Stop() { proc->Kill(SIGTERM); return proc->Wait(); }
  std::string Err() const { return proc ? proc->Err() : ""; }
  bool Line(const std::string& s, std::size_t from = 0) { return proc->WaitLine(s, from); }
  fs::path Save(const std::string& r, const std::string& s) const { return root / "saves" / r / s; }
  fs::path Progress(const std::string& r, const std::string& s) const { return root / "forwards" / r / s; }
  fs::path Queue() const { return root / "toforward"; }
};

enum class End { Notify, Error, Timeout };  // how the peer ended the connection
enum class How { Notify, TcpClose, Reset };      // how the test client ends it
// Reads to the end of the session, counting the bytes into got: how the
// peer ended it.
End AwaitEnd(SSL* ssl, std::atomic<long long>* got = nullptr);

struct Client {
  // Connects and shakes hands; me == nullptr presents no certificate.
  Client(std::uint16_t port, const Id& trusted, const Id* me);
  ~Client();
  bool Send(const std::string& bytes);
  // What the relay answered, up to and without its NUL ("" when nothing).
  std::string Answer();
  End Finish(How how);
  SSL_CTX* ctx_;
  SSL* ssl_ = nullptr;
  int fd_;
};
// One write, close_notify, and the relay's answer.
End SendStream(std::uint16_t port, const Id& trusted, const Id* me, const std::string& bytes);

// Accepts TLS connections on 127.0.0.1 (the relay's sender in the dial role,
// or the closure port). Each connection takes the next queued stream; with
// none queued it is held silent until a closure has arrived.
struct Server {
  Server(const Id& me, const Id& peer, std::uint16_t port = 0);
  ~Server();
  void Push(std::string stream) { std::lock_guard l(mu_); queue_.push_back(std::move(stream)); }
  std::uint16_t port;
  SSL_CTX* ctx_;
  int lfd_;
  std::atomic<int> conns{0}, held{0};
  const std::atomic<int>* closures = nullptr;  // the matching closure server's count
  std::vector<End> Ends() { std::lock_guard l(mu_); return ends_; }  // the relay's answers
  std::vector<std::chrono::steady_clock::time_point> Accepted() { std::lock_guard l(mu_); return accepted_; }
  void Serve(int fd);
  std::atomic<bool> stop_{false};
  std::mutex mu_;
  std::deque<std::string> queue_;
  std::vector<End> ends_;
  std::vector<std::chrono::steady_clock::time_point> accepted_;
  std::thread thread_;
};

struct Net : ::testing::Test {
  void SetUp() override;
  void TearDown() override { relays_.clear(); if (!HasFailure()) fs::remove_all(dir_); }
  Relay& NewRelay(const std::string& name);
  // from forwards to to: dial mode pushes, listen mode waits for to to dial in.
  void Link(Relay& from, Relay& to, bool dial);
  std::optional<int> Send(const std::vector<std::string>& args, std::string* err = nullptr);
  std::unique_ptr<Proc> StartSend(const std::vector<std::string>& args);  // not waited for
  // Runs bin with args to its end: its status and what it printed.
  struct Ran { std::optional<int> status; std::string out, err; };
  Ran Run(const fs::path& bin, const std::vector<std::string>& args);
  std::vector<std::string> SendArgs(const Relay& r, const std::string& repo, const fs::path& in);
  // Waits until to holds the whole save and from no longer tracks progress.
  ::testing::AssertionResult Forwarded(const Relay& from, const Relay& to, const std::string& repo,
                                       const std::string& save, const std::string& bytes, ms timeout = kWait);
  fs::path dir_;
  Id client_, misnamed_, rogue_, sender_;
  std::vector<std::unique_ptr<Relay>> relays_;
  int runs_ = 0;
};

}  // namespace tw
