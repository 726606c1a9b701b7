// One attempt to pass one save to the next relay: its files, its identity,
// its session and its counts. A save counts as delivered only when the next
// relay confirms it with its close_notify (or says, with it, that it holds
// the save complete with the same identity).
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "base/sha256.h"
#include "channel/tls.h"
#include "layout/identity.h"
#include "layout/records.h"
#include "platform/file_system.h"

namespace tarnwick {

class Forwarder;
class TransmitterStateRecorder;

class Transmission {
 public:
  enum class Outcome {
    Delivered,  // confirmed whole; the record is gone
    Again,      // resume at once (a "have" answer, a closure, a first
                // "mismatch")
    Failed,     // a peer or the network broke it; retry after a pause
    SaveFault,  // the save itself cannot go now (unreadable, refused, held
                // for differing from its identity): the saves behind it go
                // first, it is retried later
    Done,       // nothing more to do for this save (gone, set aside)
    Stopped,    // a stop: the record holds where to resume
  };

  // failing: earlier attempts failed and were reported; a failed dial is
  // then not announced again. state: where the attempt is shown for
  // "tarnwick status".
  Transmission(Forwarder& forwarder, const QueueEntry& e, bool failing, TransmitterStateRecorder& state);
  Outcome Run();
  const std::string& Reason() const { return reason_; }

 private:
  using Clock = std::chrono::steady_clock;
  Outcome Prepare();
  // Reads the save's identity, when it has one: SaveFault when the save
  // cannot go (unreadable, damaged, or not matching the save), else ready.
  Outcome CheckIdentity();
  Outcome Send(TlsSession& s);
  // Writes all of data; false when the attempt must end (reason_ set, or a
  // stop or closure noted).
  bool Write(TlsSession& s, const char* data, std::size_t len);
  // Reads what the receiver sent so far without waiting: "have <H>" or
  // "conflict". False when the receiver ended the session, or sent more
  // than an answer can be.
  bool PollAnswer(TlsSession& s);
  // Takes n bytes the receiver sent into the answer; false past the cap.
  bool TakeAnswer(const char* p, std::size_t n);
  Outcome Confirm(TlsSession& s, std::chrono::milliseconds wait);
  // After an answer: reads on to the end of the session; true when the
  // receiver ended it with close_notify.
  bool AwaitNotify(TlsSession& s, std::chrono::milliseconds wait);
  Outcome Answered(TlsSession& s);
  // The next relay's copy hashed to theirs instead of the identity's digest.
  Outcome Mismatch(const std::string& theirs);
  // This relay's copy hashes to ours, not to its identity: the identity's
  // verdict says so and keeps the save here until an operator acts.
  Outcome CopyDiffers(const std::string& ours, std::int64_t offset);
  void MarkMismatch();
  std::string HeldReason() const;
  Outcome Delivered(TlsSession& s, bool held_already);
  Outcome EndWith(Outcome o, std::int64_t offset);
  Outcome Fail(Outcome o, const std::string& reason) {
    reason_ = reason;
    return o;
  }

  Forwarder& f_;
  QueueEntry e_;
  const bool failing_;
  TransmitterStateRecorder& state_;
  platform::File save_;
  std::int64_t total_ = 0, start_ = 0, sent_ = 0;  // sent_: bytes of this attempt
  SaveIdentity id_;  // no digest: a save from before identities, sent without one
  // A stream from byte 0 hashes what it reads, to see the local copy whole.
  Sha256 hash_;
  std::int64_t hashed_ = 0;
  std::string answer_;
  bool answered_ = false, closed_by_peer_ = false, notified_ = false, stop_ = false, closure_ = false,
       flooded_ = false;
  unsigned long closures_before_ = 0;  // closures counted when the attempt began
  std::string reason_;
  Clock::time_point last_checkpoint_ = Clock::now();
  const Clock::time_point began_ = Clock::now();
};

}  // namespace tarnwick
