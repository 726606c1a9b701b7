#include "forwarding/waiting_saves.h"

namespace tarnwick {

bool WaitingSaves::Add(const QueueEntry& e) {
  if (!known_.insert(Key(e)).second) return false;
  line_.push_back({e, {}});
  return true;
}

std::optional<QueueEntry> WaitingSaves::Take(Clock::time_point now, std::optional<Clock::time_point>* wake) {
  if (wake) wake->reset();
  for (auto it = line_.begin(); it != line_.end(); ++it) {
    if (it->not_before > now) {
      if (wake && (!*wake || it->not_before < **wake)) *wake = it->not_before;
      continue;
    }
    current_ = it->entry;
    line_.erase(it);
    return current_;
  }
  return std::nullopt;
}

void WaitingSaves::Done(const QueueEntry& e) {
  known_.erase(Key(e));
  if (current_ == e) current_.reset();
}

void WaitingSaves::Later(const QueueEntry& e, Clock::time_point retry_at) {
  if (current_ == e) current_.reset();
  line_.push_back({e, retry_at});
}

WaitingSaves::Removal WaitingSaves::Remove(const QueueEntry& e) {
  if (current_ == e) return Removal::Current;
  for (auto it = line_.begin(); it != line_.end(); ++it)
    if (it->entry == e) {
      line_.erase(it);
      known_.erase(Key(e));
      return Removal::Removed;
    }
  return Removal::Absent;
}

std::vector<QueueEntry> WaitingSaves::Snapshot() const {
  std::vector<QueueEntry> out;
  if (current_) out.push_back(*current_);
  for (const Waiting& w : line_) out.push_back(w.entry);
  return out;
}

}  // namespace tarnwick
