// What the transmitter is doing, in a small file under the backup root
// (forwarding.state), so that `tarnwick status` can show it whether the
// relay runs or not. One key=value per line, readable by eye:
//
//   updated=2024-05-01T12:00:03Z
//   peer=relay-b.example:1026
//   state=transmitting
//   repo=projA
//   save=2024-05-01
//   offset=524288
//   size=1048576
//   ...
//
// The file is informational: nothing in the relay reads it back to decide
// anything, so a lost or stale write costs only an out-of-date view.
//
// When the transmitter writes it (through TransmitterStateRecorder):
//   - at start, once (idle, the peer, running_since);
//   - at the start of each attempt (connecting, with the save, its resume
//     offset and size), and when it moves on to sending or to waiting for
//     the next relay's confirmation;
//   - while sending, with the offset reached, at most once a second (the
//     same pace as the forwarding record's checkpoints);
//   - at the end of each attempt (confirmed, failed with the reason,
//     interrupted, set aside, stopped), and when it goes idle with nothing
//     queued;
//   - at a stop (stopped);
//   - listen mode: when it starts waiting for the next relay to dial in
//     (fetch_wait_since), and when the next relay does (last_contact).
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "base/status.h"
#include "layout/backup_root.h"

namespace tarnwick {

// The state of the current attempt or, between attempts, of the last one.
enum class AttemptState {
  Unknown,               // no file, an unreadable one, or a state this reader does not know
  Idle,                  // nothing queued (or not yet started an attempt)
  Connecting,            // dialling the next relay, or waiting for it to dial in
  Transmitting,          // sending the save's bytes
  AwaitingConfirmation,  // all sent; waiting for the next relay's close_notify
  Confirmed,             // the next relay confirmed the whole save
  Failed,                // the attempt failed; retried after a pause
  Interrupted,           // a "have <H>" answer or a closure; resumed at once
  SetAside,              // the next relay answered "conflict", or "mismatch" twice
  Stopped,               // the relay stopped; the record holds where to resume
};

// "idle", "connecting", "transmitting", "awaiting-confirmation", ...
const char* AttemptStateName(AttemptState s);
// Unknown for anything else.
AttemptState ParseAttemptState(std::string_view text);
// True while an attempt is under way (a save is in transmission).
bool AttemptActive(AttemptState s);

// A moment as ISO-8601 UTC, to the second: "2024-05-01T12:00:03Z".
std::string UtcTimestamp(std::chrono::system_clock::time_point t);
// UtcTimestamp's text read back, as seconds since 1970; none for anything else.
std::optional<std::int64_t> ParseUtcTimestamp(std::string_view text);

// Listen mode: saves waiting this long with no dial-in of the next relay
// are reported (an error entry, a problem in `tarnwick status`). The next
// relay fetches at once after each delivery and redials within a minute
// or so when it finds nothing; ten minutes of silence is not a slow link.
inline constexpr std::chrono::minutes kFetchOverdue{10};

struct TransmitterState {
  std::string updated;         // when the file was written (UTC ISO-8601)
  std::string running_since;   // when the transmitter started
  std::string peer;            // "host:port", or "listening on port N" in listen mode
  AttemptState state = AttemptState::Unknown;
  // The save of the current attempt (or of the last one); empty when none.
  std::string repo, save;
  std::int64_t offset = -1;    // bytes of the save the next relay holds or was sent; -1 unknown
  std::int64_t size = -1;      // the save's size; -1 unknown
  std::string attempt_started, attempt_ended;  // UTC ISO-8601; empty when none
  // How the last finished attempt ended (state may since have gone idle).
  AttemptState last_outcome = AttemptState::Unknown;
  std::string last_error, last_error_at;       // the last failure's reason and time
  std::int64_t forwarded = -1;        // saves confirmed since running_since; -1 unknown
  std::int64_t failed_attempts = -1;  // failed attempts since the last confirmation; -1 unknown
  // The last successful contact with the next relay: a confirmed delivery
  // or, in listen mode, its dial-in. Kept across restarts; empty: none known.
  std::string last_contact;
  // The last save the next relay confirmed; kept across restarts too.
  std::string last_forward;
  // Listen mode: since when saves wait for the next relay to dial in;
  // empty while a session runs or nothing waits.
  std::string fetch_wait_since;

  bool operator==(const TransmitterState&) const = default;

  // The file's text. Values are kept to one line: a backslash, a newline, a
  // carriage return and other control characters are written as \\, \n,
  // \r and \xHH.
  std::string Format() const;
  // Parses Format's text. Keys this reader does not know are ignored (a
  // newer relay may write more); a value that does not parse leaves its
  // field unknown. False, with why, when the text is not a state file at all
  // (a line without '=', no state key).
  static bool Parse(std::string_view text, TransmitterState& out, std::string* why = nullptr);

  // Rewrites <root>/forwarding.state atomically (through <root>/tmp).
  Status Write(const BackupRoot& root) const;

  enum class FileStatus { Read, Absent, Unreadable, Malformed };
  struct ReadResult {
    FileStatus status = FileStatus::Absent;
    std::string detail;  // the error or what is malformed; empty when Read
  };
  // Reads <root>/forwarding.state. Never throws: a missing, unreadable or
  // malformed file gives a state with every field unknown (and says which
  // in *how).
  static TransmitterState Read(const BackupRoot& root, ReadResult* how = nullptr);
};

// The transmitter's writer of the state file: one per transmitter thread
// (not thread-safe). Every call stamps the times and counts it implies and
// rewrites the file, except Progress, which writes at most once per
// progress_every. A write that fails is not reported: the view is not worth
// failing a transmission for.
class TransmitterStateRecorder {
 public:
  using SteadyClock = std::chrono::steady_clock;
  // Writes an idle state with running_since = now, keeping the last error
  // of an earlier run, when the file holds one, so it survives a restart.
  TransmitterStateRecorder(const BackupRoot& root, std::string peer,
                           SteadyClock::duration progress_every = std::chrono::seconds(1));

  // An attempt at e starts (Connecting), resuming at offset of size bytes.
  void AttemptStarted(const QueueEntry& e, std::int64_t offset, std::int64_t size);
  // Connected: the bytes go out.
  void Transmitting(std::int64_t offset);
  // offset reached while sending; written only when progress_every has passed
  // since the last write.
  void Progress(std::int64_t offset);
  // Everything sent; waiting for the next relay's confirmation.
  void AwaitingConfirmation(std::int64_t offset);
  // The attempt ended as outcome (Confirmed, Failed, Interrupted, SetAside
  // or Stopped) with the record at offset. A non-empty error becomes the
  // last error. Both state and last_outcome become outcome. Confirmed
  // counts one more save forwarded and clears the run of failed attempts;
  // Failed adds to it.
  void AttemptEnded(AttemptState outcome, std::int64_t offset, const std::string& error = "");
  // Nothing queued: waiting for a save. The last attempt's save, times and
  // outcome stay for the view.
  void Idle();
  // The relay stops.
  void Stopped();
  // Listen mode: waiting for the next relay to dial in (the wait's start
  // is kept when it goes on from an earlier attempt).
  void FetchWait();
  // Listen mode: the next relay dialled in; a successful contact.
  void Fetched();

  const TransmitterState& State() const { return s_; }

 private:
  void Flush();

  const BackupRoot& root_;
  TransmitterState s_;
  SteadyClock::duration progress_every_;
  SteadyClock::time_point last_write_{};
};

}  // namespace tarnwick
