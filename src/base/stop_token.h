// The one thing that wakes every wait of a relay at its stop: waits sleep
// on the token, and what blocks elsewhere (an accept, a handshake, a read)
// registers a hook that the stop runs to unblock it.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <list>
#include <mutex>

namespace tarnwick {

class StopToken {
 public:
  using Clock = std::chrono::steady_clock;

  // Sets the token, wakes every WaitFor and runs every hook, once.
  void Request();
  bool Requested() const;
  // Sleeps for d, or until the stop; true when the stop came.
  bool WaitFor(Clock::duration d) const;
  bool WaitUntil(Clock::time_point t) const;
  // When the stop came (the epoch while it has not).
  Clock::time_point RequestedAt() const;

  class Hook;
  // Runs f at the stop (at once when it came already) for as long as the
  // returned Hook lives. f runs with the token's lock held: it must only
  // unblock (shut a socket down, notify), never wait or take a hook.
  [[nodiscard]] Hook OnStop(std::function<void()> f) const;

 private:
  mutable std::mutex m_;
  mutable std::condition_variable cv_;
  // Read without the lock: a thread that holds a lock a hook takes may ask.
  std::atomic<bool> requested_{false};
  Clock::time_point at_{};
  mutable std::list<std::function<void()>> hooks_;
  friend class Hook;
};

class StopToken::Hook {
 public:
  Hook() = default;
  Hook(const StopToken* t, std::list<std::function<void()>>::iterator it) : t_(t), it_(it) {}
  Hook(Hook&& o) noexcept : t_(o.t_), it_(o.it_) { o.t_ = nullptr; }
  Hook& operator=(Hook&& o) noexcept {
    if (this != &o) {
      Release();
      t_ = o.t_, it_ = o.it_;
      o.t_ = nullptr;
    }
    return *this;
  }
  ~Hook() { Release(); }
  void Release();

 private:
  const StopToken* t_ = nullptr;
  std::list<std::function<void()>>::iterator it_;
};

}  // namespace tarnwick
