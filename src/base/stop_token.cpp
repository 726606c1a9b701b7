#include "base/stop_token.h"

namespace tarnwick {

void StopToken::Request() {
  std::lock_guard lock(m_);
  if (requested_) return;
  requested_ = true;
  at_ = Clock::now();
  for (auto& f : hooks_) f();
  cv_.notify_all();
}

bool StopToken::Requested() const { return requested_.load(); }

bool StopToken::WaitFor(Clock::duration d) const { return WaitUntil(Clock::now() + d); }

bool StopToken::WaitUntil(Clock::time_point t) const {
  std::unique_lock lock(m_);
  return cv_.wait_until(lock, t, [this] { return requested_.load(); });
}

StopToken::Clock::time_point StopToken::RequestedAt() const {
  std::lock_guard lock(m_);
  return at_;
}

StopToken::Hook StopToken::OnStop(std::function<void()> f) const {
  std::lock_guard lock(m_);
  // Checked under the lock the stop takes: a hook registered after the
  // stop runs at once, so nothing blocks that the stop missed.
  if (requested_) f();
  hooks_.push_back(std::move(f));
  return Hook(this, std::prev(hooks_.end()));
}

void StopToken::Hook::Release() {
  if (!t_) return;
  std::lock_guard lock(t_->m_);
  t_->hooks_.erase(it_);
  t_ = nullptr;
}

}  // namespace tarnwick
