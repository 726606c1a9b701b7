// One inbound stream stored as one save: the rules that decide what a
// stream may do to the saves tree, apart from the TLS session it came on.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>

namespace tarnwick {

// Where a stream's bytes come from: a TLS session in the relay, a script in
// tests.
class StreamSource {
 public:
  enum class Status {
    Data,         // bytes arrived
    CloseNotify,  // the sender ended the stream properly
    TcpClose,     // the connection ended without close_notify
    Error,        // cut off (reset, TLS error); code says why
  };
  struct Result {
    Status status = Status::Error;
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

// What a forwarding relay does with a save that a stream completed.
struct CompletionHooks {
  // Creates and syncs the save's forwarding record; false (reported) when it
  // could not, and the save then stays pending.
  std::function<bool(const std::string& repo, const std::string& save)> record;
  // Queues the save for transmission.
  std::function<void(const std::string& repo, const std::string& save)> hand_off;
};

struct SaveSessionOptions {
  bool require_close_notify = false;
  // Bytes per second a stream must average over each whole minute (unless
  // the throttle holds it lower); 0: no floor.
  std::int64_t min_rate = 0;
  const CompletionHooks* hooks = nullptr;  // none: the relay does not forward
  // Appended to every date name ("." and this relay's certificate name on
  // a relay that takes forwarded saves), so that a one-field stream here
  // can never take a name that an upstream relay sends.
  std::string date_name_suffix;
  // Called once, when the stream's first byte is written to its save.
  std::function<void()> stored_first_byte;
  // Sleeps the throttle's pauses; returns early (true) at a stop.
  std::function<bool(std::chrono::milliseconds)> pause;
};

enum class SessionOutcome {
  Empty,    // ended before its first byte: nothing was created
  Stored,   // taken whole and synced (complete, or pending with its marker)
  Refused,  // bad header or name, a conflict or a gap: nothing changed
  Failed,   // cut off or not written whole: the save stays pending
};

// Only Stored is confirmed to the sender (close_notify).
inline bool Confirms(SessionOutcome o) { return o == SessionOutcome::Stored || o == SessionOutcome::Empty; }

// The directory, beside saves/ and forwards/, where files are written before
// they are renamed into place: no save name can reach it.
inline constexpr const char* TEMP_DIR = "tmp";

SessionOutcome SaveSession(StreamSource& source, const std::filesystem::path& backup_root,
                           const SaveSessionOptions& options);

// Removes what writes cut short by a crash left in tmp/ (a start-up step).
void EmptyTemporaryDirectory(const std::filesystem::path& backup_root);

}  // namespace tarnwick
