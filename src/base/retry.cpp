#include "base/retry.h"

namespace tarnwick {

void FailureLog::Failed(const std::string& reason, Clock::time_point now) {
  if (failures_++ == 0) {
    since_ = last_summary_ = now;
    reason_ = reason;
    log_->Error(what_ + " fails: " + reason + "; retrying");
    return;
  }
  if (reason != reason_) {
    reason_ = reason;
    log_->Error(what_ + " still fails, now: " + reason);
    last_summary_ = now;
    return;
  }
  if (now - last_summary_ >= kFailureSummaryEvery) {
    last_summary_ = now;
    const auto minutes = std::chrono::duration_cast<std::chrono::minutes>(now - since_).count();
    log_->Error(what_ + " has failed " + std::to_string(failures_) + " times in " + std::to_string(minutes) +
                " min: " + reason);
  }
}

void FailureLog::Succeeded() {
  if (failures_ == 0) return;
  log_->Info(what_ + " works again after " + std::to_string(failures_) + " failed attempts");
  failures_ = 0;
  reason_.clear();
}

bool FailureRateLimit::Note(const std::string& source, Clock::time_point now) {
  std::lock_guard lock(m_);
  FlushLocked(now);
  // Bounded: a flood from many sources is summed up under one name.
  const std::string key = windows_.size() < 256 || windows_.count(source) ? source : "other addresses";
  auto it = windows_.try_emplace(key, Window{now}).first;
  if (key == source && it->second.full < burst_) {
    ++it->second.full;
    return true;
  }
  ++it->second.more;
  return false;
}

void FailureRateLimit::Flush(Clock::time_point now) {
  std::lock_guard lock(m_);
  FlushLocked(now);
}

void FailureRateLimit::FlushLocked(Clock::time_point now) {
  for (auto it = windows_.begin(); it != windows_.end();) {
    if (now - it->second.since < std::chrono::minutes(1)) {
      ++it;
      continue;
    }
    if (it->second.more > 0)
      log_->Error(std::to_string(it->second.full + it->second.more) + " " + what_ + " from " + it->first +
                  " in the last minute");
    it = windows_.erase(it);
  }
}

}  // namespace tarnwick
