// One inbound stream stored as one save: the rules that decide what a
// stream may do to the saves tree, apart from the TLS session it came on.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <string_view>

#include <atomic>

#include "base/event_log.h"
#include "base/relay_counters.h"
#include "base/retry.h"
#include "base/status.h"
#include "layout/backup_root.h"
#include "throttle/throttle.h"

namespace tarnwick {

// Where a stream's bytes come from: a TLS session in the relay, a script in
// tests.
class StreamSource {
 public:
  enum class Event {
    Data,         // bytes arrived
    CloseNotify,  // the sender ended the stream properly
    TcpClose,     // the connection ended without close_notify
    Error,        // cut off (reset, TLS error, a deadline); code says why
  };
  struct Result {
    Event event = Event::Error;
    std::size_t bytes = 0;
    int code = 0;
  };
  virtual ~StreamSource() = default;
  virtual Result Read(char* buf, std::size_t cap) = 0;
  // Sends text to the sender: the "have <H>" and "conflict" answers.
  virtual void Answer(std::string_view text) = 0;
  // Reads and drops what the sender still sends, until it ends or ms pass,
  // so that an answer is not destroyed by a reset over unread bytes.
  virtual void Discard(int ms) = 0;
  // The sender's address, for entries.
  virtual std::string Peer() const = 0;
  // Whether the sender presented a trusted certificate: only such a sender
  // may append to a named save.
  virtual bool Certified() const = 0;
  // The header has been read: its deadline no longer applies.
  virtual void HeaderRead() {}
};

// How long a refused stream is read and dropped before it is cut, so that
// the answer saying why is not destroyed by a reset over unread bytes.
inline constexpr int kRefusalDiscardMs = 5000;

// What a forwarding relay does with a save that a stream completed.
struct CompletionHooks {
  // Creates and syncs the save's forwarding record; an error (reported
  // here) keeps the save pending.
  std::function<Status(const std::string& repo, const std::string& save)> record;
  // Queues the save for transmission.
  std::function<void(const std::string& repo, const std::string& save)> hand_off;
  // Queues a complete save that is confirmed again, when its record says it
  // still waits to be forwarded.
  std::function<void(const std::string& repo, const std::string& save)> resume;
};

// The saves that streams are writing or comparing, shared by the streams
// of one relay: two streams never work on one save at once, and date names
// are chosen and claimed under the same lock, so two one-field streams of a
// repository never get the same name.
class SaveClaims {
 public:
  // Where names differ only in case they are one file (Windows), and so one
  // claim.
  static std::string Key(const std::filesystem::path& save);
  // Holds a save as a stream does, for an operator's removal: false when a
  // stream holds it. A stream for it is refused until Release.
  bool TryClaim(const std::filesystem::path& save) {
    std::lock_guard lock(m_);
    return claimed_.insert(Key(save)).second;
  }
  void Release(const std::filesystem::path& save) {
    std::lock_guard lock(m_);
    claimed_.erase(Key(save));
  }

 private:
  friend class Session;
  std::mutex m_;
  std::set<std::string> claimed_;
  // The last _n given per repository and date: a busy day's next name is
  // found from there, not by looking at every name given that day.
  std::map<std::string, unsigned long> date_hints_;
};

struct SaveSessionOptions {
  bool require_close_notify = false;
  // Bytes per second a stream must average over each whole minute (unless
  // the throttle holds it lower), from its first byte; 0: no floor.
  std::int64_t min_rate = 0;
  const CompletionHooks* hooks = nullptr;  // none: the relay does not forward
  // Appended to every date name ("." and this relay's certificate name on
  // a relay that takes forwarded saves), so that a one-field stream here
  // can never take a name that an upstream relay sends.
  std::string date_name_suffix;
  // Called once, when the stream's first byte is written to its save.
  std::function<void()> stored_first_byte;
  // The stream's throttle: its own rate and the relay's total.
  std::int64_t rate = 0;
  RateLimiter* total = nullptr;
  PauseFn pause;
  // Limits the entries about refused streams per sender's address; none:
  // every one is written.
  FailureRateLimit* refusals = nullptr;
  // Set when a certified four-field stream (a forwarded save) came to a
  // relay whose date names do not carry its certificate name: said once.
  std::atomic<bool>* upstream_noted = nullptr;
  // True once the relay stops: long reads of a save give up.
  std::function<bool()> stopping;
  // The relay's counters; none: nothing is counted.
  RelayCounters* counters = nullptr;
};

enum class SessionOutcome {
  Empty,    // ended before its first byte: nothing was created
  Stored,   // taken whole and synced (complete, or pending with its marker)
  Refused,  // bad header or name, a conflict or a gap: nothing changed
  Failed,   // cut off or not written whole: the save stays pending
};

// Only Stored is confirmed to the sender (close_notify).
inline bool Confirms(SessionOutcome o) { return o == SessionOutcome::Stored || o == SessionOutcome::Empty; }

SessionOutcome SaveSession(StreamSource& source, const BackupRoot& root, SaveClaims& claims, EventLog& log,
                           const SaveSessionOptions& options);

}  // namespace tarnwick
