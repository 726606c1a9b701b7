// The metrics endpoint: the relay's counters and the state of its backup
// root in Prometheus' text format, over plain HTTP on the one address
// [Metrics] Listen names. A scrape only reads: the counters are atomics,
// and what needs a walk of the backup root (waiting, pending and set-aside
// saves) comes from a background walk made at a bounded rate, so that no
// scrape, however frequent or hostile, makes the relay read its disk.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "base/event_log.h"
#include "base/relay_counters.h"
#include "base/status.h"
#include "base/stop_token.h"
#include "settings/settings.h"

namespace prometheus {
class Exposer;
}

namespace tarnwick {

// What the last walk of the backup root found; times in seconds since 1970,
// 0 for none.
struct RootSnapshot {
  std::int64_t walked_at = 0;
  std::int64_t waiting = 0, waiting_bytes = 0, oldest_waiting_since = 0;
  std::int64_t set_aside = 0, aside_entries = 0;
  std::int64_t pending = 0, stale_pending = 0, oldest_pending_since = 0;
  std::int64_t failed_verification = 0;
  std::int64_t last_forward = 0, last_contact = 0;
  std::int64_t free_bytes = -1, size_bytes = -1;  // -1: unknown
};

// A walk of backup_root as `tarnwick status` makes it, summed up. When
// part of the root cannot be read, before's figures and time are kept (only
// the free space is new): a stale figure must not pass for a fresh one.
RootSnapshot WalkRoot(const std::string& backup_root, const RootSnapshot& before = {});

// The text a scrape gets, from the counters, the last walk and the
// settings now current; now in seconds since 1970.
std::string MetricsText(const RelayCounters& counters, const RootSnapshot& root, const Settings& settings,
                        std::int64_t started, std::int64_t now);

class MetricsEndpoint {
 public:
  struct Parts {
    std::function<std::shared_ptr<const Settings>()> settings;  // the current ones
    const RelayCounters* counters = nullptr;
    EventLog* log = nullptr;
    const StopToken* stop = nullptr;
  };
  // Binds [Metrics] Listen and starts serving: a start-up step, so that an
  // endpoint an operator asked for is never silently missing.
  static Status Open(const Settings& settings, Parts parts, std::unique_ptr<MetricsEndpoint>& out);
  ~MetricsEndpoint();  // after the stop: ends the walk, then the server

 private:
  explicit MetricsEndpoint(Parts parts);
  void Walk();

  Parts p_;
  std::string root_;
  std::int64_t started_ = 0;
  mutable std::mutex mutex_;
  RootSnapshot last_;  // guarded by mutex_
  std::thread walker_;
  std::shared_ptr<class MetricsCollectable> collectable_;
  std::unique_ptr<prometheus::Exposer> exposer_;
  friend class MetricsCollectable;
};

}  // namespace tarnwick
