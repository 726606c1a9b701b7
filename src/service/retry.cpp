#include "service/retry.h"

#include "service/event_log.h"

namespace tarnwick {

void FailureLog::Failed(const std::string& reason, Clock::time_point now) {
  if (failures_++ == 0) {
    since_ = last_summary_ = now;
    reason_ = reason;
    SvcReportEvent(what_ + " fails: " + reason + "; retrying", EventType::Error);
    return;
  }
  if (reason != reason_) {
    reason_ = reason;
    SvcReportEvent(what_ + " still fails, now: " + reason, EventType::Error);
    last_summary_ = now;
    return;
  }
  if (now - last_summary_ >= kFailureSummaryEvery) {
    last_summary_ = now;
    const auto minutes = std::chrono::duration_cast<std::chrono::minutes>(now - since_).count();
    SvcReportEvent(what_ + " has failed " + std::to_string(failures_) + " times in " +
                       std::to_string(minutes) + " min: " + reason,
                   EventType::Error);
  }
}

void FailureLog::Succeeded() {
  if (failures_ == 0) return;
  SvcReportEvent(what_ + " works again after " + std::to_string(failures_) + " failed attempts",
                 EventType::Information);
  failures_ = 0;
  reason_.clear();
}

}  // namespace tarnwick
