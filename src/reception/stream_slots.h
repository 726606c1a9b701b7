// The inbound connections being served, and who may take a place among
// them: the rules that keep senders from being locked out by clients that
// connect and then hold their place (silent, trickling, anonymous).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <list>
#include <mutex>
#include <optional>
#include <string>

#include "platform/platform.h"

namespace tarnwick {

class StreamSlots {
 public:
  using Clock = std::chrono::steady_clock;
  struct Entry {
    platform::NativeSocket socket;
    std::string peer;
    Clock::time_point since;
    bool handshaking = true;
    bool certified = false;
    bool stored = false;   // the stream wrote a byte to its save
    bool evicted = false;  // shut down for another; on its way out
  };
  using Id = std::list<Entry>::iterator;

  // max_streams: streams stored at once. As many handshakes may run beside
  // them; a client without a certificate holds at most half of the streams
  // (at least one). shutdown ends a connection's socket without closing it.
  explicit StreamSlots(std::size_t max_streams,
                       std::function<void(platform::NativeSocket)> shutdown = platform::Socket::ShutdownNative);

  // A place for a connection's handshake. When the handshakes fill their
  // places the oldest is dropped for the newcomer (a client that connects
  // and stays silent must not keep senders out). None after a stop.
  std::optional<Id> Accept(platform::NativeSocket socket, std::string peer = {});

  enum class Verdict {
    Stream,     // it may send its stream
    Full,       // every place is taken by streams that may not be dropped
    Anonymous,  // clients without a certificate hold their share already
    Stopped,    // a stop has cut the streams
  };
  // The handshake is done: may the connection stream? A client with a
  // certificate that finds every place taken drops the oldest stream of a
  // client without one that has not stored a byte yet (*dropped: its peer).
  Verdict Begin(Id id, bool certified, std::string* dropped = nullptr);
  // Whether the connection was dropped for a newcomer: the end of its
  // stream is then no end its sender chose.
  bool Evicted(Id id) const;
  // The stream wrote its first byte to its save: it is no longer dropped
  // for a newcomer.
  void Stored(Id id);
  // The connection is over. Must come before its socket is closed: a stop
  // or an eviction shuts down the sockets listed here, and a closed
  // descriptor's number may already belong to another socket.
  void Release(Id id);

  // At a stop: ends every handshake at once, lets the streams run for
  // grace, then cuts the rest; nothing is admitted afterwards.
  void CutAll(std::chrono::milliseconds grace);
  bool Cut() const;
  // Sleeps for d unless the streams are cut first (then true, at once): a
  // throttled stream keeps its rate through a stop's grace period, and its
  // pause ends with the cut.
  bool WaitCut(std::chrono::milliseconds d);

  std::size_t Streams() const;

 private:
  std::size_t CountStreams(bool anonymous_only) const;

  const std::size_t max_, max_anonymous_;
  const std::function<void(platform::NativeSocket)> shutdown_;
  mutable std::mutex m_;
  std::condition_variable changed_;
  std::list<Entry> entries_;
  bool cut_ = false;
};

// A connection's place for its lifetime; released when it goes out of
// scope, or earlier with Release.
class SlotHold {
 public:
  SlotHold(StreamSlots& slots, StreamSlots::Id id) : slots_(&slots), id_(id) {}
  ~SlotHold() { Release(); }
  SlotHold(const SlotHold&) = delete;
  SlotHold& operator=(const SlotHold&) = delete;
  StreamSlots::Id Id() const { return id_; }
  void Release() {
    if (slots_) slots_->Release(id_);
    slots_ = nullptr;
  }

 private:
  StreamSlots* slots_;
  StreamSlots::Id id_;
};

}  // namespace tarnwick
