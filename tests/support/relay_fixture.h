// A relay instance in its own directory (binary hard link, settings.ini and
// PEM files, found by the relay next to its executable) and the per-test
// fixture that owns the directory, the certificates and the processes.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/certs.h"
#include "support/process.h"
#include "support/tls_client.h"

namespace tarnwick::test {

namespace fs = std::filesystem;

inline constexpr const char* kRunning = "Tarnwick state: RUNNING";
inline constexpr const char* kStopPending = "Tarnwick state: STOP_PENDING";
inline constexpr const char* kStopped = "Tarnwick state: STOPPED";
inline constexpr const char* kErrorEntry = "Tarnwick[0xC0020001] error: ";
inline constexpr const char* kInfoEntry = "Tarnwick[0xC0020001] information: ";

struct RelayConfig {
  std::string host;                  // empty: listen role
  std::uint16_t port = 0;            // 0: a port free at creation time
  std::uint16_t closure_port = 0;    // 0: a port free at creation time
  std::optional<std::string> peer_cn;  // none: the role's usual name
  int delay_before_retry_ms = 1000;
  std::string bandwith = "0";
  bool throttling = false;           // most tests must not wait on the default 20 KB/s
  fs::path backup_dir;               // empty: the fixture's backup root
  // [Forward]: forwarding is on when forward_peer_cn is not empty.
  std::string forward_host;          // empty: listen mode
  std::uint16_t forward_port = 0;    // 0 with forwarding on: a port free at creation time
  std::string forward_peer_cn;
};

// Which certificates go into a relay's directory.
struct RelayPki {
  const Identity* own = nullptr;
  std::vector<const Identity*> trusted_clients;  // clientcert.pem
  std::vector<const Identity*> trusted_senders;  // servercert.pem
  std::vector<const Identity*> trusted_forward;  // forwardcert.pem
};

class Relay {
 public:
  Relay(fs::path dir, fs::path log_dir, std::string name, RelayConfig config, const RelayPki& pki);

  // Writes settings.ini and the PEM files from config and pki; a forwarding
  // relay also gets its PEM files in the backup root, where the contexts it
  // builds after start-up look for them. Called by the constructor, and again
  // by a test that changed mutable_config() or mutable_pki().
  void WriteFiles();

  // Spawns the binary and waits for the RUNNING line.
  bool Start();
  void Spawn();
  bool WaitRunning();
  // SIGTERM, then the exit status (none when still running at the deadline).
  std::optional<ExitStatus> Stop(milliseconds timeout = kDefaultWait);

  const RelayConfig& config() const { return config_; }
  RelayConfig& mutable_config() { return config_; }
  RelayPki& mutable_pki() { return pki_; }
  const Identity& identity() const { return *pki_.own; }
  const std::string& name() const { return name_; }
  const fs::path& root() const { return config_.backup_dir; }
  std::uint16_t port() const { return config_.port; }
  const fs::path& dir() const { return dir_; }
  Process& process() { return *process_; }
  bool started() const { return process_ != nullptr; }
  std::string Stderr() const { return process_ ? process_->Stderr() : std::string(); }
  std::size_t Mark() const { return process_ ? process_->StderrSize() : 0; }
  bool WaitForLine(std::string_view needle, std::size_t from = 0,
                   milliseconds timeout = kDefaultWait) {
    return process_ && process_->WaitForStderrLine(needle, from, timeout);
  }
  // Stderr lines that are event-log entries (error or information).
  std::vector<std::string> Entries(std::size_t from = 0) const;
  // A one-line summary of every stderr written by this relay so far.
  std::string Logs() const;
  // Every run's stderr, one after the other.
  std::string AllStderr() const;

 private:
  fs::path dir_;
  fs::path log_dir_;
  std::string name_;
  RelayConfig config_;
  RelayPki pki_;
  std::unique_ptr<Process> process_;
  std::vector<fs::path> old_stderr_;
  int spawns_ = 0;
};

// What a tarnwick-send run gave.
struct SendRun {
  std::optional<ExitStatus> status;
  std::string stderr_text;
};

// The stream header: text then its NUL.
inline std::string Header(std::string_view text) {
  std::string h(text);
  h.push_back('\0');
  return h;
}

inline bool Exists(const fs::path& p) {
  std::error_code ec;
  return fs::exists(p, ec);
}

// The file's bytes, or a note that it is absent (keeps failure output short).
std::string Contents(const fs::path& p);

// Compares a stored file with the bytes sent, reporting sizes and the first
// difference rather than dumping binary data.
::testing::AssertionResult HoldsBytes(const fs::path& p, std::string_view expected);

class RelayTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // A listen-role relay trusting client_ and misnamed_ with PeerCN client.test,
  // or a dial-role one (config.host set) trusting sender_ with PeerCN
  // sender.test, unless config.peer_cn says otherwise.
  Relay& MakeRelay(RelayConfig config, const std::string& name = "relay");

  ClientOptions TrustedClient() const;   // presents client_
  ClientOptions AnonymousClient() const;  // presents no certificate
  ClientOptions ClientWith(const Identity& id) const;

  SendRun RunSend(const std::vector<std::string>& args, milliseconds timeout = kDefaultWait);

  fs::path Saves() const { return backup_ / "saves"; }
  // Every entry below root, relative, sorted ("saves", "saves/r", ...).
  static std::vector<std::string> Tree(const fs::path& root);
  static std::string LocalDate();
  static std::string RandomBytes(std::size_t n, unsigned seed);

  fs::path dir_;
  fs::path pki_;
  fs::path backup_;
  Identity relay_id_;     // the relay's own certificate (relay.test)
  Identity client_id_;    // trusted client (client.test)
  Identity misnamed_id_;  // trusted client carrying the wrong name
  Identity rogue_id_;     // untrusted client with the right name
  Identity sender_id_;    // the dial role's sender (sender.test)
  std::vector<std::unique_ptr<Relay>> relays_;
  int sends_ = 0;
};

}  // namespace tarnwick::test
