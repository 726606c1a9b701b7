#include "reception/stream_slots.h"

#include <algorithm>

namespace tarnwick {

StreamSlots::StreamSlots(std::size_t max_streams, std::function<void(platform::NativeSocket)> shutdown)
    : max_(std::max<std::size_t>(1, max_streams)),
      max_anonymous_(std::max<std::size_t>(1, max_ / 2)),
      shutdown_(std::move(shutdown)) {}

std::size_t StreamSlots::CountStreams(bool anonymous_only) const {
  return static_cast<std::size_t>(std::count_if(entries_.begin(), entries_.end(), [&](const Entry& e) {
    return !e.handshaking && !e.evicted && (!anonymous_only || !e.certified);
  }));
}

std::optional<StreamSlots::Id> StreamSlots::Accept(platform::NativeSocket socket, std::string peer) {
  std::lock_guard lock(m_);
  if (cut_) return std::nullopt;
  const auto handshakes = std::count_if(entries_.begin(), entries_.end(),
                                        [](const Entry& e) { return e.handshaking && !e.evicted; });
  if (static_cast<std::size_t>(handshakes) >= max_) {
    auto oldest = std::find_if(entries_.begin(), entries_.end(),
                               [](const Entry& e) { return e.handshaking && !e.evicted; });
    shutdown_(oldest->socket);
    oldest->evicted = true;
  }
  entries_.push_back({socket, std::move(peer), Clock::now()});
  return std::prev(entries_.end());
}

StreamSlots::Verdict StreamSlots::Begin(Id id, bool certified, std::string* dropped) {
  std::lock_guard lock(m_);
  if (cut_) return Verdict::Stopped;
  if (id->evicted) return Verdict::Full;
  if (!certified && CountStreams(true) >= max_anonymous_) return Verdict::Anonymous;
  if (CountStreams(false) >= max_) {
    if (!certified) return Verdict::Full;
    auto victim = std::find_if(entries_.begin(), entries_.end(), [](const Entry& e) {
      return !e.handshaking && !e.evicted && !e.certified && !e.stored;
    });
    if (victim == entries_.end()) return Verdict::Full;
    shutdown_(victim->socket);
    victim->evicted = true;
    if (dropped) *dropped = victim->peer;
  }
  id->handshaking = false;
  id->certified = certified;
  return Verdict::Stream;
}

bool StreamSlots::Evicted(Id id) const {
  std::lock_guard lock(m_);
  return id->evicted;
}

void StreamSlots::Stored(Id id) {
  std::lock_guard lock(m_);
  id->stored = true;
}

void StreamSlots::Release(Id id) {
  std::lock_guard lock(m_);
  entries_.erase(id);
  changed_.notify_all();
}

void StreamSlots::CutAll(std::chrono::milliseconds grace) {
  std::unique_lock lock(m_);
  // Connections still in their handshake have no stream to finish.
  for (const Entry& e : entries_)
    if (e.handshaking) shutdown_(e.socket);
  changed_.wait_for(lock, grace, [this] { return entries_.empty(); });
  cut_ = true;
  for (const Entry& e : entries_) shutdown_(e.socket);
  changed_.notify_all();
}

bool StreamSlots::WaitCut(std::chrono::milliseconds d) {
  std::unique_lock lock(m_);
  return changed_.wait_for(lock, d, [this] { return cut_; });
}

bool StreamSlots::Cut() const {
  std::lock_guard lock(m_);
  return cut_;
}

std::size_t StreamSlots::Streams() const {
  std::lock_guard lock(m_);
  return CountStreams(false);
}

}  // namespace tarnwick
