// The inbound side of a relay: its TLS context, its listening socket (in
// the listen role) and the places of the streams it stores at once. It
// takes streams until the stop: accepted from senders in the listen role,
// fetched from the configured sender in the dial role.
#pragma once

#include <atomic>
#include <chrono>
#include <list>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "base/event_log.h"
#include "base/relay_counters.h"
#include "base/retry.h"
#include "base/stop_token.h"
#include "channel/tls.h"
#include "layout/backup_root.h"
#include "reception/save_session.h"
#include "reception/stream_slots.h"
#include "settings/settings.h"
#include "throttle/throttle.h"

namespace tarnwick {

// How long a stop lets the streams being stored go on before it cuts them.
inline constexpr std::chrono::milliseconds kStopGrace{3000};
// The longest a stop's closure dial (dial role) may take, connect and
// handshake each.
inline constexpr int kStopClosureDialMs = 2000;

class InboundSide {
 public:
  // What it needs from its owner; the references outlive it.
  struct Parts {
    std::shared_ptr<const Settings> settings;
    const BackupRoot* root = nullptr;
    EventLog* log = nullptr;
    const StopToken* stop = nullptr;
    RateLimiter* total = nullptr;  // the relay's TotalBandwith
    CompletionHooks hooks;         // empty when the relay does not forward
    RelayCounters* counters = nullptr;  // none: nothing is counted
  };

  // Builds the TLS context (from the configuration directory) and, in the
  // listen role, the listening socket: a start-up step.
  static Status Open(Parts parts, std::unique_ptr<InboundSide>& out);
  ~InboundSide();

  // Serves streams until the stop. Returns once every stream has ended.
  void Run();
  // The stop's part, once the token is set (from another thread than Run):
  // in the dial role the closure dial that makes the sender let go, then
  // the streams' grace, then the cut.
  void Stop();
  // Writes the summaries of refusals whose minute has passed.
  void FlushReports();

  // What a reload replaces; each connection takes the one current when it
  // begins and keeps it to its end.
  struct Config {
    std::shared_ptr<const Settings> settings;
    std::shared_ptr<SSL_CTX> context;
    SaveSessionOptions options;
  };
  // A reload in two steps, so that the relay can build every part's new
  // contexts before it changes any: the context and options of next
  // (whose role, port and MaxStreams must be the running ones), then their use.
  Status Prepare(std::shared_ptr<const Settings> next, std::shared_ptr<const Config>& out);
  void Apply(std::shared_ptr<const Config> next);
  // The saves the streams are writing: an operator's removal claims its
  // save here first.
  SaveClaims& Claims() { return claims_; }
  std::shared_ptr<const Config> Current() const {
    std::lock_guard lock(config_mutex_);
    return current_;
  }

 private:
  explicit InboundSide(Parts parts);
  void ListenLoop();
  void DialLoop();
  void ServeAccepted(platform::NativeSocket fd, std::string ip, StreamSlots::Id id);
  // Stores the session's stream in the place held; the place is given back
  // before the socket closes.
  SessionOutcome Serve(const Config& config, TlsSessionPtr session, SlotHold& hold);
  void JoinFinished();

  Parts p_;
  // As the relay started: the role, the ports and MaxStreams, which only a
  // restart changes.
  const Settings& s_;
  mutable std::mutex config_mutex_;
  std::shared_ptr<const Config> current_;  // guarded by config_mutex_
  platform::Socket listening_;
  StopToken::Hook unblock_accept_;
  StreamSlots slots_;
  SaveClaims claims_;
  // Entries about one client are written in full at most a few times a
  // minute per address, then summed up: a client failing in a loop cannot
  // flood the log.
  FailureRateLimit handshake_failures_;
  FailureRateLimit refusals_;
  std::atomic<bool> upstream_noted_{false};
  std::list<std::thread> threads_;
  std::mutex finished_mutex_;
  std::vector<std::thread::id> finished_;
};

}  // namespace tarnwick
