// Retrying what a peer or the network broke: a growing pause between tries,
// and entries when trouble starts, changes and ends rather than at every try.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace tarnwick {

// 1 s, 2 s, 4 s, ... up to a cap, back to the start after a success.
class Backoff {
 public:
  Backoff(long first_ms, long max_ms) : first_(first_ms), max_(max_ms), next_(first_ms) {}
  // The pause before the next try; each call doubles the following one.
  long Next() {
    long now = next_;
    next_ = next_ >= max_ / 2 ? max_ : next_ * 2;
    return now;
  }
  void Reset() { next_ = first_; }

 private:
  long first_, max_, next_;
};

// Reports repeated failures of one activity (what, e.g. "forwarding to
// host:port"): an error entry when they start or their reason changes, a
// summary every five minutes while they last, an information entry when
// the activity works again.
class FailureLog {
 public:
  using Clock = std::chrono::steady_clock;
  explicit FailureLog(std::string what) : what_(std::move(what)) {}
  void Failed(const std::string& reason, Clock::time_point now = Clock::now());
  void Succeeded();
  bool Failing() const { return failures_ > 0; }

 private:
  std::string what_;
  std::string reason_;
  std::uint64_t failures_ = 0;
  Clock::time_point since_{}, last_summary_{};
};

inline constexpr std::chrono::minutes kFailureSummaryEvery{5};

}  // namespace tarnwick
