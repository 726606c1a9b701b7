// Real relays run as processes from directories of their own, each with
// --dir, its own certificates and ephemeral ports on 127.0.0.1.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <csignal>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/net.h"

namespace tw {

inline const std::string kRunning = "Tarnwick state: RUNNING";
inline const std::string kStopped = "Tarnwick state: STOPPED";

// A binary under test; the environment variable env may point at another build's.
std::string Bin(const char* env, const char* built);

// A child process; stderr/stdout go to <stem>.err/.out. Fails the test when
// a sanitizer reported anything.
struct Proc {
  Proc(const fs::path& bin, const std::vector<std::string>& args, const fs::path& stem);
  ~Proc();
  std::string Err() const { return Read(stem_.string() + ".err"); }
  std::string Out() const { return Read(stem_.string() + ".out"); }
  std::size_t Mark() const { return Err().size(); }
  bool WaitLine(const std::string& needle, std::size_t from = 0, ms timeout = kWait);
  void Kill(int sig) {
    if (!status_) kill(pid_, sig);
  }
  std::optional<int> Wait(ms timeout = kWait);  // exit code, 128+signal when killed
  fs::path stem_;
  pid_t pid_;
  std::optional<int> status_;
};

struct Relay {
  fs::path dir, root;
  Id id;
  // settings.ini, section -> key -> value; WriteFiles writes them.
  std::map<std::string, std::map<std::string, std::string>> ini;
  std::vector<const Id*> clients, senders, forward;
  std::uint16_t port = 0, closure_port = 0, fwd_port = 0;
  std::unique_ptr<Proc> proc;
  int runs = 0;

  void WriteFiles();
  bool Start();  // true once RUNNING
  std::optional<int> Stop() {
    proc->Kill(SIGTERM);
    return proc->Wait();
  }
  std::string Err() const { return proc ? proc->Err() : ""; }
  bool Line(const std::string& s, std::size_t from = 0) { return proc->WaitLine(s, from); }
  fs::path Save(const std::string& r, const std::string& s) const { return root / "saves" / r / s; }
  fs::path Record(const std::string& r, const std::string& s) const { return root / "forwards" / r / s; }
};

struct Net : ::testing::Test {
  void SetUp() override;
  void TearDown() override {
    relays_.clear();
    if (!HasFailure()) fs::remove_all(dir_);
  }
  Relay& NewRelay(const std::string& name);
  // from forwards to to: dial mode pushes, listen mode waits for to to dial in.
  void Link(Relay& from, Relay& to, bool dial);
  // Runs bin with args to its end: its status and what it printed.
  struct Ran {
    std::optional<int> status;
    std::string out, err;
  };
  Ran Run(const fs::path& bin, const std::vector<std::string>& args);
  Ran Send(const Relay& r, const std::string& repo, const fs::path& in, bool certified = true);
  std::unique_ptr<Proc> StartSend(const Relay& r, const std::string& repo, const fs::path& in);
  // Waits until to holds the whole save and from no longer has its record.
  ::testing::AssertionResult Forwarded(const Relay& from, const Relay& to, const std::string& repo,
                                       const std::string& save, const std::string& bytes, ms timeout = kWait);
  fs::path dir_;
  Id client_, sender_;
  std::vector<std::unique_ptr<Relay>> relays_;
  int runs_ = 0;
};

}  // namespace tw
