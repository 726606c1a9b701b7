// The saves waiting for the transmitter, in the order they were handed off.
// The rules only: no files, threads or clocks of its own.
#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "layout/records.h"

namespace tarnwick {

class WaitingSaves {
 public:
  using Clock = std::chrono::steady_clock;

  // False when e is waiting or being sent already.
  bool Add(const QueueEntry& e);
  // The first save that may be tried now, taken out of the line and made
  // current; none while the line is empty or every save in it waits for
  // its retry time (then *wake says until when, when there is one).
  std::optional<QueueEntry> Take(Clock::time_point now, std::optional<Clock::time_point>* wake = nullptr);
  // The current save is done with: delivered, set aside or gone.
  void Done(const QueueEntry& e);
  // The current save failed for a reason of its own (it cannot be read, or
  // its bytes are refused): it goes to the end of the line and is not
  // tried again before retry_at, so the saves behind it go first.
  void Later(const QueueEntry& e, Clock::time_point retry_at);

  // Takes e out of the line, for an operator's removal: Current when it is
  // being sent (it stays), Absent when it was not waiting.
  enum class Removal { Removed, Current, Absent };
  Removal Remove(const QueueEntry& e);
  // Every save waiting for its retry time may be tried now.
  void RetryAll() {
    for (Waiting& w : line_) w.not_before = {};
  }

  bool Empty() const { return line_.empty() && !current_; }
  bool Known(const QueueEntry& e) const { return known_.count(Key(e)) != 0; }
  // Every save still to send, the current one first: what toforward holds
  // after a stop.
  std::vector<QueueEntry> Snapshot() const;
  std::size_t Size() const { return line_.size() + (current_ ? 1 : 0); }

 private:
  static std::string Key(const QueueEntry& e) { return e.repo + '\t' + e.save; }
  struct Waiting {
    QueueEntry entry;
    Clock::time_point not_before{};
  };
  std::deque<Waiting> line_;
  std::optional<QueueEntry> current_;
  std::set<std::string> known_;  // in line_ or current_
};

}  // namespace tarnwick
