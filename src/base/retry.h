// Retrying what a peer, the network or a disk broke: a growing pause between
// tries, and entries when trouble starts, changes and ends rather than at
// every try.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>

#include "base/event_log.h"

namespace tarnwick {

// 1 s, 2 s, 4 s, ... up to a cap, back to the start after a success.
class Backoff {
 public:
  Backoff(long first_ms, long max_ms) : first_(first_ms), max_(max_ms), next_(first_ms) {}
  // The pause before the next try; each call doubles the following one.
  std::chrono::milliseconds Next() {
    const long now = next_;
    next_ = next_ >= max_ / 2 ? max_ : next_ * 2;
    return std::chrono::milliseconds(now);
  }
  void Reset() { next_ = first_; }

 private:
  long first_, max_, next_;
};

inline constexpr std::chrono::minutes kFailureSummaryEvery{5};

// Reports repeated failures of one activity (what, e.g. "forwarding to
// host:port"): an error entry when they start or their reason changes, a
// summary every five minutes while they last, an information entry when
// the activity works again.
class FailureLog {
 public:
  using Clock = std::chrono::steady_clock;
  FailureLog(EventLog& log, std::string what) : log_(&log), what_(std::move(what)) {}
  void Failed(const std::string& reason, Clock::time_point now = Clock::now());
  void Succeeded();
  bool Failing() const { return failures_ > 0; }

 private:
  EventLog* log_;
  std::string what_;
  std::string reason_;
  std::uint64_t failures_ = 0;
  Clock::time_point since_{}, last_summary_{};
};

// Failures counted per source (a peer's address), so that one source
// failing in a loop cannot flood the log: the first `burst` in a minute are
// written in full, the rest counted and summed up in one entry ("<n> <what>
// from <source> in the last minute"). Thread-safe.
class FailureRateLimit {
 public:
  using Clock = std::chrono::steady_clock;
  FailureRateLimit(EventLog& log, std::string what, unsigned burst)
      : log_(&log), what_(std::move(what)), burst_(burst) {}
  // True when this failure is to be written in full. Writes the summary of
  // any source whose minute has passed.
  bool Note(const std::string& source, Clock::time_point now = Clock::now());
  // Writes the summaries of the sources whose minute has passed; called
  // every few seconds, so that a summary comes when its minute ends, not
  // at the next failure.
  void Flush(Clock::time_point now = Clock::now());

 private:
  struct Window {
    Clock::time_point since;
    unsigned long full = 0;  // written in full
    unsigned long more = 0;  // counted only
  };
  void FlushLocked(Clock::time_point now);
  EventLog* log_;
  std::string what_;
  unsigned burst_;
  std::mutex m_;
  std::map<std::string, Window> windows_;
};

}  // namespace tarnwick
