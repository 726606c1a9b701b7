// The transmitter: sends queued saves to the next relay one at a time, each
// as one four-field stream, and counts a save delivered only when the next
// relay confirms it with its close_notify.
#include <algorithm>
#include <array>
#include <cerrno>
#include <map>
#include <chrono>
#include <string>
#include <system_error>

#include <openssl/err.h>

#include "forwarding/forwarding.h"
#include "forwarding/transmitter_state.h"
#include "platform/file_system.h"
#include "reception/reception.h"
#include "reception/save_session.h"
#include "reception/stream_header.h"
#include "service/event_log.h"
#include "service/retry.h"
#include "settings/settings.h"
#include "throttle/throttle.h"

namespace tarnwick {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

namespace {

// One TLS record per piece: the throttle and the stop and closure checks
// come between pieces.
constexpr std::size_t kPiece = 16 * 1024;
constexpr std::size_t kReadBlock = 256 * 1024;
// No progress for this long ends the attempt.
constexpr milliseconds kStallTimeout{60000};
// How long the next relay may take to sync what it got and say so.
constexpr milliseconds kConfirmTimeout{120000};
// At a stop or a closure the confirmation is not waited for longer.
constexpr milliseconds kConfirmAtStop{2000};
// The record is rewritten at most this often during a transmission.
constexpr milliseconds kCheckpointEvery{1000};
constexpr long kBackoffFirstMs = 1000, kBackoffMaxMs = 60000;
// Slices of every wait, so that a stop or a closure is seen at once.
constexpr int kSliceMs = 200;

// Answers are a few words and a NUL; a receiver that sends more while we
// wait for one is not a relay, and is cut.
constexpr std::size_t kAnswerCap = 4096;

enum class Outcome {
  Delivered,  // confirmed whole; the record is gone
  Again,      // resume at once (a "have" answer, a closure)
  Failed,     // a peer or the network broke it; retry after a pause
  SaveFault,  // the save itself cannot go now (unreadable, refused): the
              // saves behind it go first, it is retried later
  Done,       // nothing more to do for this save (gone, set aside)
  Stopped,    // a stop: the record holds where to resume
};

std::string Describe(const QueueEntry& e) { return e.repo + "/" + e.save; }

// One attempt at one save: its files, its session and its counts.
class Transmission {
 public:
  // failing: earlier attempts failed and were reported; a failed dial is
  // then not announced again.
  // state: where the attempt is shown for "tarnwick status".
  Transmission(const QueueEntry& e, bool failing, TransmitterStateRecorder& state)
      : e_(e), failing_(failing), state_(state) {}
  Outcome Run();
  const std::string& Reason() const { return reason_; }

 private:
  Outcome Prepare();
  TlsSessionPtr Connect(bool& stop);
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
  Outcome Confirm(TlsSession& s, milliseconds wait);
  Outcome EndWith(Outcome o, std::int64_t offset);
  Outcome Fail(const std::string& reason) {
    reason_ = reason;
    return Outcome::Failed;
  }
  Outcome SaveFault(const std::string& reason) {
    reason_ = reason;
    return Outcome::SaveFault;
  }

  QueueEntry e_;
  const bool failing_;
  TransmitterStateRecorder& state_;
  platform::File save_;
  std::int64_t total_ = 0, start_ = 0, sent_ = 0;  // sent_: bytes of this attempt
  std::string answer_;
  bool answered_ = false, closed_by_peer_ = false, stop_ = false, closure_ = false, flooded_ = false;
  unsigned long closures_before_ = 0;  // closures counted when the attempt began
  std::string reason_;
  Clock::time_point last_checkpoint_ = Clock::now();
  const Clock::time_point began_ = Clock::now();
};

Outcome Transmission::Prepare() {
  int err = 0;
  std::optional<ForwardRecord> rec = ReadRecord(ForwardRoot, e_, &err);
  const fs::path save_path = ForwardRoot / SAVES_DIR / e_.repo / e_.save;
  if (!rec && platform::IsNotFound(err)) {
    // Removed by an operator: forwarding of this save is given up.
    SvcReportEvent("the forwarding record of " + Describe(e_) + " is gone; the save is not forwarded",
                   EventType::Information);
    return Outcome::Done;
  }
  if (!rec)
    return SaveFault("cannot read the forwarding record of " + Describe(e_) + ": " + platform::ErrorText(err));
  if (rec->set_aside) {
    SvcReportEvent("forwarding of " + Describe(e_) +
                       " is set aside after a conflict at the next relay; see the README",
                   EventType::Information);
    return Outcome::Done;
  }
  if ((err = platform::Fs().Open(save_path, platform::FileSystem::Mode::Read, save_))) {
    // Only "no such file" means gone: anything else (a permission, an I/O
    // error, no descriptors) passes, and the record must stay.
    if (platform::IsNotFound(err)) {
      ReportFailure("fopen(save_name, \"rb\")", err);
      SvcReportEvent("the save " + Describe(e_) + " is gone; its forwarding record is removed",
                     EventType::Error);
      RemoveRecord(ForwardRoot, e_);
      return Outcome::Done;
    }
    return SaveFault("cannot open the save " + Describe(e_) + ": " + platform::ErrorText(err));
  }
  if ((err = platform::Fs().Size(save_, total_)))
    return SaveFault("cannot size " + Describe(e_) + ": " + platform::ErrorText(err));
  start_ = rec->offset;
  if (start_ > total_) {
    // Written for another save of that name: the receiver's answers put
    // any start right, byte 0 is the safe one.
    ReportFailure("progress beyond the save's size: " + Describe(e_), start_);
    start_ = 0;
  }
  return Outcome::Delivered;  // ready
}

TlsSessionPtr Transmission::Connect(bool& stop) {
  if (g_settings.ForwardDials()) {
    TlsSessionPtr s = OutboundConnection(g_settings.forward_host, g_settings.forward_peer_cn,
                                         ForwardContext.get(), g_settings.forward_port, /*quiet=*/true);
    if (s && s->handshake_failed) s.reset();  // cut short by a stop
    if (StopRequested) {
      stop = true;
      return nullptr;
    }
    if (!s) {
      if (!failing_) SvcReportEvent("Bogus connection", EventType::Information);
      reason_ = LastDialFailure();
    }
    return s;
  }
  // Listen mode: the next relay dials in. The listening socket stays open
  // while saves wait, so that the next relay's redial right after a
  // confirmation finds it; with nothing to send it is closed, and a
  // receiver that dials is refused at once instead of queueing.
  {
    std::lock_guard guard(ForwardConnectionLock);
    // Under the lock the stop handler takes: either the stop is seen here,
    // or the handler finds this socket in the slot and unblocks it.
    if (StopRequested) {
      stop = true;
      return nullptr;
    }
    if (!ForwardSocket.Valid() && !OpenListeningSocket(ForwardSocket, g_settings.forward_port, reason_))
      return nullptr;
  }
  TlsSessionPtr s = AcceptTlsClient(ForwardSocket, ForwardContext.get());
  if (StopRequested) {
    stop = true;
    return nullptr;
  }
  if (!s) reason_ = "no next relay completed a handshake";
  return s;
}

bool Transmission::TakeAnswer(const char* p, std::size_t n) {
  answer_.append(p, n);
  if (answer_.find('\0') != std::string::npos) answered_ = true;
  if (answer_.size() <= kAnswerCap) return true;
  flooded_ = true;
  answer_.resize(kAnswerCap);
  reason_ = "the next relay sent more than " + std::to_string(kAnswerCap) + " bytes instead of an answer; cut";
  return false;
}

bool Transmission::PollAnswer(TlsSession& s) {
  char buf[512];
  // Bounded by the cap: a receiver that keeps sending cannot hold us here.
  for (;;) {
    int n = SSL_read(s.ssl.get(), buf, sizeof buf);
    if (n > 0) {
      if (!TakeAnswer(buf, static_cast<std::size_t>(n))) return false;
      continue;
    }
    int code = SSL_get_error(s.ssl.get(), n);
    ERR_clear_error();
    if (code == SSL_ERROR_WANT_READ || code == SSL_ERROR_WANT_WRITE) return true;
    closed_by_peer_ = true;
    return false;
  }
}

bool Transmission::Write(TlsSession& s, const char* data, std::size_t len) {
  auto last_progress = Clock::now();
  while (len > 0) {
    std::size_t w = 0;
    if (SSL_write_ex(s.ssl.get(), data, len, &w) == 1) {
      data += w;
      len -= w;
      last_progress = Clock::now();
      continue;
    }
    int code = SSL_get_error(s.ssl.get(), 0);
    ERR_clear_error();
    if (code != SSL_ERROR_WANT_WRITE && code != SSL_ERROR_WANT_READ) {
      PollAnswer(s);  // an answer may explain the end
      if (!answered_ && !flooded_)
        reason_ = "the next relay broke off the stream (TLS error " + std::to_string(code) + ")";
      return false;
    }
    if (StopRequested) {
      stop_ = true;
      return false;
    }
    if (Clock::now() - last_progress > kStallTimeout) {
      reason_ = "the next relay took nothing for 60 s";
      return false;
    }
    // An answer makes the receiver stop reading: look for it while waiting.
    if (!PollAnswer(s) || answered_) return false;
    platform::WaitReady(s.socket, code == SSL_ERROR_WANT_WRITE, kSliceMs);
  }
  return true;
}

Outcome Transmission::Confirm(TlsSession& s, milliseconds wait) {
  SSL* ssl = s.ssl.get();
  auto deadline = Clock::now() + wait;
  // Our close_notify ends the stream; the receiver answers with its own
  // once the save is stored.
  for (;;) {
    int r = SSL_shutdown(ssl);
    if (r >= 0) break;
    int code = SSL_get_error(ssl, r);
    ERR_clear_error();
    if ((code != SSL_ERROR_WANT_WRITE && code != SSL_ERROR_WANT_READ) || Clock::now() >= deadline)
      return Fail("could not end the stream of " + Describe(e_));
    platform::WaitReady(s.socket, code == SSL_ERROR_WANT_WRITE, kSliceMs);
  }
  // The deadline and the stop hold however the receiver paces what it
  // sends, and what it sends is capped.
  for (;;) {
    const auto now = Clock::now();
    if (StopRequested && deadline - now > kConfirmAtStop) deadline = now + kConfirmAtStop;
    if (now >= deadline) break;
    char buf[512];
    int n = SSL_read(ssl, buf, sizeof buf);
    if (n > 0) {
      if (!TakeAnswer(buf, static_cast<std::size_t>(n))) return Outcome::Failed;
      continue;
    }
    int code = SSL_get_error(ssl, n);
    ERR_clear_error();
    if (code == SSL_ERROR_ZERO_RETURN && PeerClosedProperly(s)) return Outcome::Delivered;
    if (code != SSL_ERROR_WANT_READ && code != SSL_ERROR_WANT_WRITE) break;
    const auto left = std::chrono::duration_cast<milliseconds>(deadline - now).count();
    platform::WaitReady(s.socket, code == SSL_ERROR_WANT_WRITE,
                        static_cast<int>(std::min<long long>(left, kSliceMs)));
  }
  return Fail("no confirmation from the next relay for " + Describe(e_));
}

Outcome Transmission::Send(TlsSession& s) {
  // The header and its NUL in a record of their own: receivers without
  // resume offsets need them alone in their first read.
  const std::string header = e_.repo + " " + std::to_string(total_ - start_) + " " + e_.save + " " +
                             std::to_string(start_);
  // The save is read in large blocks and sent in pieces of one record each.
  std::vector<char> block(kReadBlock);
  std::size_t block_at = 0, block_len = 0;
  bool all = Write(s, header.c_str(), header.size() + 1);
  bool read_failed = false;
  TransferThrottle throttle(ForwardRate, nullptr,
                            [](milliseconds d) { return StopEvent.WaitFor(static_cast<long>(d.count())); });
  while (all && start_ + sent_ < total_) {
    if (block_at == block_len) {
      const auto want = static_cast<std::size_t>(std::min<std::int64_t>(kReadBlock, total_ - start_ - sent_));
      block_at = block_len = 0;
      if (int err = platform::Fs().ReadAt(save_, start_ + sent_, block.data(), want, block_len);
          err || block_len == 0) {
        reason_ = "cannot read the save " + Describe(e_) + ": " + (err ? platform::ErrorText(err) : "it shrank");
        read_failed = true;
        all = false;
        break;
      }
    }
    const std::size_t n = std::min(kPiece, block_len - block_at);
    const char* piece = block.data() + block_at;
    block_at += n;
    if (!Write(s, piece, n)) {
      all = false;
      break;
    }
    sent_ += static_cast<std::int64_t>(n);
    if (StopRequested) stop_ = true;
    if (ClosuresReceived.load() != closures_before_) closure_ = true;
    if (stop_ || closure_) {
      all = false;
      break;
    }
    if (!PollAnswer(s) || answered_) {
      all = false;
      break;
    }
    if (Clock::now() - last_checkpoint_ >= kCheckpointEvery) {
      WriteRecord(ForwardRoot, e_, ForwardRecord{start_ + sent_, false});
      state_.Progress(start_ + sent_);
      last_checkpoint_ = Clock::now();
    }
    throttle.Passed(static_cast<std::int64_t>(n));
  }
  if (read_failed) return EndWith(Outcome::SaveFault, start_ + sent_);
  if (flooded_) return EndWith(Outcome::Failed, start_ + sent_);
  const bool ended_early = !all && !stop_ && !closure_ && !answered_;
  if (ended_early) {
    if (reason_.empty()) reason_ = "the next relay ended the stream of " + Describe(e_) + " early";
    return EndWith(Outcome::Failed, start_ + sent_);
  }
  Outcome o = Outcome::Failed;
  if (!answered_) {
    if (!stop_ && !closure_) state_.AwaitingConfirmation(start_ + sent_);
    o = Confirm(s, stop_ || closure_ ? kConfirmAtStop : kConfirmTimeout);
    if (flooded_) return EndWith(Outcome::Failed, start_ + sent_);
  }
  if (answered_) {
    const std::string text = answer_.substr(0, answer_.find('\0'));
    if (text.starts_with("have ")) {
      const std::int64_t have = ParseProgress(std::string_view(text).substr(5));
      if (have >= start_) {
        // Only a start past what it holds is answered so: anything else
        // would have the same stream sent again at once, for ever.
        reason_ = "the next relay answered '" + text + "' to a stream from byte " + std::to_string(start_);
        return EndWith(Outcome::SaveFault, start_);
      }
      SvcReportEvent("the next relay holds " + std::to_string(have) + " bytes of " + Describe(e_) +
                         "; resuming there",
                     EventType::Information);
      return EndWith(Outcome::Again, std::min(have, total_));
    }
    if (text == "conflict") {
      SvcReportEvent("conflict: the next relay holds a different save under " + Describe(e_) +
                         "; its forwarding is set aside until an operator acts (see the README)",
                     EventType::Error);
      WriteRecord(ForwardRoot, e_, ForwardRecord{start_, true});
      state_.AttemptEnded(AttemptState::SetAside, start_, "conflict: the next relay holds a different save");
      return Outcome::Done;
    }
    reason_ = "the next relay answered something unknown for " + Describe(e_);
    return EndWith(Outcome::SaveFault, start_);
  }
  if (stop_) return EndWith(Outcome::Stopped, start_ + sent_);
  if (closure_) return EndWith(Outcome::Again, start_ + sent_);
  if (o == Outcome::Delivered && start_ + sent_ == total_) {
    if (int err = RemoveRecord(ForwardRoot, e_))
      ReportFailure("unlink(" + RecordPath(ForwardRoot, e_).string() + ")", err);
    SvcReportEvent("forwarded " + Describe(e_) + " to " + s.peer + ", confirmed: " + std::to_string(total_) +
                       " bytes" + (start_ > 0 ? " (resumed at byte " + std::to_string(start_) + ")" : "") +
                       ", " + RateText(sent_, Clock::now() - began_),
                   EventType::Information);
    state_.AttemptEnded(AttemptState::Confirmed, total_);
    return Outcome::Delivered;
  }
  if (o == Outcome::Delivered) reason_ = "the stream of " + Describe(e_) + " ended before its last byte";
  return EndWith(Outcome::Failed, start_ + sent_);
}

// The record keeps where to resume: the bytes written (the receiver's
// "have" puts it right if fewer arrived) or the receiver's own count.
Outcome Transmission::EndWith(Outcome o, std::int64_t offset) {
  if (int err = WriteRecord(ForwardRoot, e_, ForwardRecord{offset, false}))
    ReportFailure("fclose(" + RecordPath(ForwardRoot, e_).string() + ")", err);
  const bool failed = o == Outcome::Failed || o == Outcome::SaveFault;
  state_.AttemptEnded(failed ? AttemptState::Failed
                      : o == Outcome::Stopped ? AttemptState::Stopped
                                              : AttemptState::Interrupted,
                      offset, failed ? reason_ : "");
  return o;
}

Outcome Transmission::Run() {
  if (Outcome o = Prepare(); o != Outcome::Delivered) {
    if (o == Outcome::SaveFault) state_.AttemptEnded(AttemptState::Failed, start_, reason_);
    return o;
  }
  state_.AttemptStarted(e_, start_, total_);
  // Closures from here on are for this attempt: one that comes while it
  // connects ends it after its first piece.
  closures_before_ = ClosuresReceived.load();
  bool stop = false;
  TlsSessionPtr session = Connect(stop);
  if (stop) return Outcome::Stopped;
  if (!session) {
    state_.AttemptEnded(AttemptState::Failed, start_, reason_);
    return Outcome::Failed;
  }
  state_.Transmitting(start_);
  platform::SetNonBlocking(session->socket, true);
  Outcome o = Send(*session);
  session.reset();  // closes the socket; nothing unread is left to matter
  return o;
}

}  // namespace

void XmitThread() {
  const std::string peer = g_settings.ForwardDials()
                               ? g_settings.forward_host + ":" + g_settings.forward_port
                               : "the relay that dials port " + g_settings.forward_port;
  FailureLog failures("forwarding to " + peer);
  TransmitterStateRecorder state(ForwardRoot, g_settings.ForwardDials()
                                                  ? peer
                                                  : "listening on port " + g_settings.forward_port);
  Backoff backoff(kBackoffFirstMs, kBackoffMaxMs);
  // Saves that failed for a reason of their own: each reported once when it
  // starts failing and when it goes again, and retried less and less often.
  struct SaveTrouble {
    FailureLog log;
    Backoff backoff{kBackoffFirstMs, kBackoffMaxMs};
  };
  std::map<std::string, SaveTrouble> troubled;
  QueueEntry entry;
  for (;;) {
    if (!g_settings.ForwardDials() && NothingToForward()) {
      std::lock_guard guard(ForwardConnectionLock);
      ForwardSocket.Close();
    }
    if (NothingToForward()) state.Idle();
    if (!NextToForward(entry)) {
      state.Stopped();
      break;
    }
    const std::string key = Describe(entry);
    for (;;) {
      Transmission t(entry, failures.Failing(), state);
      const Outcome o = t.Run();
      if (o == Outcome::Delivered || o == Outcome::Done) {
        if (o == Outcome::Delivered) {
          failures.Succeeded();
          backoff.Reset();
        }
        if (auto it = troubled.find(key); it != troubled.end()) {
          it->second.log.Succeeded();
          troubled.erase(it);
        }
        ForwardDone(entry);
        break;
      }
      if (o == Outcome::Stopped || StopRequested) {  // entry stays unfinished
        state.Stopped();
        return;
      }
      if (o == Outcome::Again) continue;
      if (o == Outcome::SaveFault) {
        // Never dropped, never in the way: behind the others, tried again
        // after its own pause.
        auto it = troubled.try_emplace(key, SaveTrouble{FailureLog("forwarding " + key +
                                                                   " (it waits behind the saves queued after it)")})
                      .first;
        it->second.log.Failed(t.Reason());
        ForwardLater(entry, Clock::now() + milliseconds(it->second.backoff.Next()));
        break;
      }
      failures.Failed(t.Reason());
      // In the listen mode the wait for the next relay to dial in paces the
      // attempts; in the dial mode the pause grows.
      const long pause = g_settings.ForwardDials() ? backoff.Next() : kSliceMs;
      if (StopEvent.WaitFor(pause) || StopRequested) {
        state.Stopped();
        return;
      }
    }
  }
}

}  // namespace tarnwick
