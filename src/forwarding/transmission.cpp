#include "forwarding/transmission.h"

#include <algorithm>
#include <ctime>
#include <vector>

#include <openssl/err.h>

#include "base/text.h"
#include "forwarding/forwarder.h"
#include "forwarding/transmitter_state.h"
#include "layout/stream_header.h"
#include "throttle/throttle.h"

namespace tarnwick {

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
// Slices of every wait, so that a stop or a closure is seen at once.
constexpr int kSliceMs = 200;
// Answers are a few words and a NUL; a receiver that sends more while we
// wait for one is not a relay, and is cut.
constexpr std::size_t kAnswerCap = 4096;
// How long a receiver that answered may take to end its session: its
// close_notify after "have <size>" says it holds the save already.
constexpr milliseconds kEndAfterAnswer{10000};

}  // namespace

Transmission::Transmission(Forwarder& forwarder, const QueueEntry& e, bool failing, TransmitterStateRecorder& state)
    : f_(forwarder), e_(e), failing_(failing), state_(state) {}

Transmission::Outcome Transmission::Prepare() {
  const BackupRoot& root = *f_.p_.root;
  ForwardRecord rec;
  if (const Status st = root.ReadRecord(e_, rec); !st.ok()) {
    if (!st.IsNotFound()) return Fail(Outcome::SaveFault, "cannot read the forwarding record of " + e_.Describe() + ": " +
                                                             platform::ErrorText(static_cast<int>(st.code())));
    if (f_.Unrecorded(e_)) {
      // Queued from toforward while its record could not be written: the
      // record is made now, or the save waits for its turn again.
      if (const Status made = f_.CreateRecord(e_.repo, e_.save); !made.ok())
        return Fail(Outcome::SaveFault, made.Line());
      f_.Recorded(e_);
      return Prepare();
    }
    // Removed by an operator: forwarding of this save is given up.
    f_.p_.log->Info("the forwarding record of " + e_.Describe() + " is gone; the save is not forwarded");
    return Outcome::Done;
  }
  if (rec.set_aside) {
    f_.p_.log->Info("forwarding of " + e_.Describe() + " is set aside after a " + rec.reason +
                    " at the next relay; see the README");
    return Outcome::Done;
  }
  if (int err = root.Fs().Open(root.SavePath(e_.repo, e_.save), platform::FileSystem::Mode::Read, save_)) {
    // Only "no such file" means gone: anything else (a permission, an I/O
    // error, no descriptors) passes, and the record must stay.
    if (platform::IsNotFound(err)) {
      f_.p_.log->Error(Status::Error(Status::Kind::kNotFound,
                                     "the save " + e_.Describe() + " is gone; its forwarding record is removed",
                                     "fopen(save_name, \"rb\")", err));
      if (const Status st = root.RemoveRecord(e_); !st.ok()) f_.p_.log->Error(st);
      return Outcome::Done;
    }
    return Fail(Outcome::SaveFault, "cannot open the save " + e_.Describe() + ": " + platform::ErrorText(err));
  }
  if (int err = root.Fs().Size(save_, total_))
    return Fail(Outcome::SaveFault, "cannot size " + e_.Describe() + ": " + platform::ErrorText(err));
  start_ = rec.offset;
  if (start_ > total_) {
    // Written for another save of that name: the receiver's answers put
    // any start right, byte 0 is the safe one.
    f_.p_.log->Failure("progress beyond the save's size: " + e_.Describe(), start_);
    start_ = 0;
  }
  return CheckIdentity();
}

Transmission::Outcome Transmission::CheckIdentity() {
  const BackupRoot& root = *f_.p_.root;
  if (const Status st = root.ReadIdentity(e_.repo, e_.save, id_); !st.ok()) {
    id_ = SaveIdentity{};
    if (st.IsNotFound()) return Outcome::Delivered;  // stored before identities: sent as before
    // Never "none": a save sent without its identity could not be checked
    // by the next relay.
    return Fail(Outcome::SaveFault,
                st.kind() == Status::Kind::kInvalid
                    ? "the identity of " + e_.Describe() + " is damaged (" +
                          root.IdentityPath(e_.repo, e_.save).string() +
                          "); it is held until an operator acts (see the README)"
                    : "cannot read the identity of " + e_.Describe() + ": " +
                          platform::ErrorText(static_cast<int>(st.code())));
  }
  if (!id_.HasDigest()) return Outcome::Delivered;
  if (id_.FailedVerification()) return Fail(Outcome::SaveFault, HeldReason());
  if (id_.size != total_) {
    Bump(f_.p_.counters, &RelayCounters::verify_runs);
    Bump(f_.p_.counters, &RelayCounters::verify_mismatches);
    MarkMismatch();
    return Fail(Outcome::SaveFault, "this relay's copy of " + e_.Describe() + " is " + std::to_string(total_) +
                                        " bytes, its identity says " + std::to_string(id_.size) +
                                        "; it is held until an operator acts (see the README)");
  }
  return Outcome::Delivered;  // ready
}

std::string Transmission::HeldReason() const {
  return "this relay's copy of " + e_.Describe() +
         " differs from its identity; it is held until an operator acts (see the README)";
}

void Transmission::MarkMismatch() {
  // Read again: a verify run may have written the record since Prepare.
  SaveIdentity now;
  if (f_.p_.root->ReadIdentity(e_.repo, e_.save, now).ok() && now.digest == id_.digest) id_ = now;
  id_.verified_at = static_cast<std::int64_t>(std::time(nullptr));
  id_.verified_good = false;
  // Unwritten, the verdict holds for this attempt only: the next one finds
  // the difference again.
  if (const Status st = f_.p_.root->WriteIdentity(e_.repo, e_.save, id_); !st.ok()) f_.p_.log->Error(st);
}

Transmission::Outcome Transmission::CopyDiffers(const std::string& ours, std::int64_t offset) {
  Bump(f_.p_.counters, &RelayCounters::verify_mismatches);
  f_.p_.log->Error("this relay's copy differs from its identity: " + e_.Describe() + " hashes to " +
                   std::string(kDigestPrefix) + ours + ", not " + std::string(kDigestPrefix) + id_.digest +
                   "; it is held until an operator acts (see the README)");
  MarkMismatch();
  reason_ = HeldReason();
  return EndWith(Outcome::SaveFault, offset);
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
    notified_ = code == SSL_ERROR_ZERO_RETURN && PeerClosedProperly(s);
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
    if (f_.p_.stop->Requested()) {
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

Transmission::Outcome Transmission::Confirm(TlsSession& s, milliseconds wait) {
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
      return Fail(Outcome::Failed, "could not end the stream of " + e_.Describe());
    platform::WaitReady(s.socket, code == SSL_ERROR_WANT_WRITE, kSliceMs);
  }
  // The deadline and the stop hold however the receiver paces what it
  // sends, and what it sends is capped.
  for (;;) {
    const auto now = Clock::now();
    if (f_.p_.stop->Requested() && deadline - now > kConfirmAtStop) deadline = now + kConfirmAtStop;
    if (now >= deadline) break;
    char buf[512];
    int n = SSL_read(ssl, buf, sizeof buf);
    if (n > 0) {
      if (!TakeAnswer(buf, static_cast<std::size_t>(n))) return Outcome::Failed;
      continue;
    }
    int code = SSL_get_error(ssl, n);
    ERR_clear_error();
    if (code == SSL_ERROR_ZERO_RETURN && PeerClosedProperly(s)) {
      notified_ = true;
      return Outcome::Delivered;
    }
    if (code != SSL_ERROR_WANT_READ && code != SSL_ERROR_WANT_WRITE) break;
    const auto left = std::chrono::duration_cast<milliseconds>(deadline - now).count();
    platform::WaitReady(s.socket, code == SSL_ERROR_WANT_WRITE,
                        static_cast<int>(std::min<long long>(left, kSliceMs)));
  }
  return Fail(Outcome::Failed, "no confirmation from the next relay for " + e_.Describe());
}

bool Transmission::AwaitNotify(TlsSession& s, milliseconds wait) {
  const auto deadline = Clock::now() + wait;
  while (!closed_by_peer_ && !flooded_ && Clock::now() < deadline && !f_.p_.stop->Requested())
    if (PollAnswer(s)) platform::WaitReady(s.socket, false, kSliceMs);
  return notified_;
}

Transmission::Outcome Transmission::Send(TlsSession& s) {
  // The header and its NUL in a record of their own: receivers without
  // resume offsets need them alone in their first read.
  const std::string header = FormatStreamHeader(e_.repo, total_ - start_, e_.save, start_, id_.digest);
  // From byte 0 the whole copy passes through here: its hash is known before
  // the last block goes, and a copy that differs from its identity never
  // reaches the next relay whole.
  const bool hashing = start_ == 0 && id_.HasDigest();
  if (hashing && total_ == 0 && hash_.HexDigest() != id_.digest) return CopyDiffers(hash_.HexDigest(), 0);
  // The save is read in large blocks and sent in pieces of one record each.
  std::vector<char> block(kReadBlock);
  std::size_t block_at = 0, block_len = 0;
  bool all = Write(s, header.data(), header.size());
  bool read_failed = false;
  const StopToken& stop = *f_.p_.stop;
  TransferThrottle throttle(f_.Current()->ForwardRate(), nullptr, [&stop](milliseconds d) { return stop.WaitFor(d); });
  while (all && start_ + sent_ < total_) {
    if (block_at == block_len) {
      const auto want = static_cast<std::size_t>(std::min<std::int64_t>(kReadBlock, total_ - start_ - sent_));
      block_at = block_len = 0;
      if (int err = f_.p_.root->Fs().ReadAt(save_, start_ + sent_, block.data(), want, block_len);
          err || block_len == 0) {
        reason_ = "cannot read the save " + e_.Describe() + ": " + (err ? platform::ErrorText(err) : "it shrank");
        read_failed = true;
        all = false;
        break;
      }
      if (hashing) {
        hash_.Update(block.data(), block_len);
        hashed_ += static_cast<std::int64_t>(block_len);
        if (hashed_ == total_) {
          Bump(f_.p_.counters, &RelayCounters::verify_runs);
          if (hash_.HexDigest() != id_.digest) return CopyDiffers(hash_.HexDigest(), start_ + sent_);
        }
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
    Bump(f_.p_.counters, &RelayCounters::bytes_forwarded, n);
    if (stop.Requested()) stop_ = true;
    if (f_.closures_.load() != closures_before_) closure_ = true;
    if (stop_ || closure_) {
      all = false;
      break;
    }
    if (!PollAnswer(s) || answered_) {
      all = false;
      break;
    }
    if (Clock::now() - last_checkpoint_ >= kCheckpointEvery) {
      f_.p_.root->WriteRecord(e_, ForwardRecord{start_ + sent_, false});
      state_.Progress(start_ + sent_);
      last_checkpoint_ = Clock::now();
    }
    throttle.Passed(static_cast<std::int64_t>(n));
  }
  if (read_failed) return EndWith(Outcome::SaveFault, start_ + sent_);
  if (flooded_) return EndWith(Outcome::Failed, start_ + sent_);
  const bool ended_early = !all && !stop_ && !closure_ && !answered_;
  if (ended_early) {
    if (reason_.empty()) reason_ = "the next relay ended the stream of " + e_.Describe() + " early";
    return EndWith(Outcome::Failed, start_ + sent_);
  }
  Outcome o = Outcome::Failed;
  if (!answered_) {
    if (!stop_ && !closure_) state_.AwaitingConfirmation(start_ + sent_);
    o = Confirm(s, stop_ || closure_ ? kConfirmAtStop : kConfirmTimeout);
    if (flooded_) return EndWith(Outcome::Failed, start_ + sent_);
  }
  if (answered_) return Answered(s);
  if (stop_) return EndWith(Outcome::Stopped, start_ + sent_);
  if (closure_) return EndWith(Outcome::Again, start_ + sent_);
  if (o == Outcome::Delivered && start_ + sent_ == total_) return Delivered(s, false);
  if (o == Outcome::Delivered) reason_ = "the stream of " + e_.Describe() + " ended before its last byte";
  return EndWith(Outcome::Failed, start_ + sent_);
}

// Delivered: the record goes; the identity stays as long as the save.
Transmission::Outcome Transmission::Delivered(TlsSession& s, bool held_already) {
  if (const Status st = f_.p_.root->RemoveRecord(e_); !st.ok())
    f_.p_.log->Error(Status::Error(st.kind(), st.words(), "unlink(" + f_.p_.root->RecordPath(e_).string() + ")", st.code()));
  if (held_already)
    f_.p_.log->Info("forwarded " + e_.Describe() + " to " + s.peer + ": the next relay holds it complete already (" +
                    std::to_string(total_) + " bytes, " + std::string(kDigestPrefix) + id_.digest + ")");
  else
    f_.p_.log->Info("forwarded " + e_.Describe() + " to " + s.peer + ", confirmed: " + std::to_string(total_) + " bytes" +
                    (start_ > 0 ? " (resumed at byte " + std::to_string(start_) + ")" : "") + ", " +
                    RateText(sent_, Clock::now() - began_));
  state_.AttemptEnded(AttemptState::Confirmed, total_);
  Bump(f_.p_.counters, &RelayCounters::saves_forwarded);
  return Outcome::Delivered;
}

Transmission::Outcome Transmission::Answered(TlsSession& s) {
  const std::string text = answer_.substr(0, answer_.find('\0'));
  if (text.starts_with("have ")) {
    const std::int64_t have = LeadingDecimal(std::string_view(text).substr(5));
    // The whole save, and a close_notify: the next relay holds it complete
    // with the identity this stream declared.
    if (have == total_ && id_.HasDigest() && AwaitNotify(s, kEndAfterAnswer)) return Delivered(s, true);
    if (have >= start_) {
      // Only a start past what it holds is answered so: anything else
      // would have the same stream sent again at once, for ever.
      reason_ = "the next relay answered '" + text + "' to a stream from byte " + std::to_string(start_);
      return EndWith(Outcome::SaveFault, start_);
    }
    f_.p_.log->Info("the next relay holds " + std::to_string(have) + " bytes of " + e_.Describe() + "; resuming there");
    return EndWith(Outcome::Again, std::min(have, total_));
  }
  if (text == "conflict") {
    f_.p_.log->Error("conflict: the next relay holds a different save under " + e_.Describe() +
                     "; its forwarding is set aside until an operator acts (see the README)");
    if (const Status st = f_.p_.root->WriteRecord(e_, ForwardRecord{start_, true}); !st.ok()) {
      // Not set aside on disk: it waits and meets the conflict again.
      reason_ = "the next relay answered conflict, and " + st.Line();
      return EndWith(Outcome::SaveFault, start_);
    }
    state_.AttemptEnded(AttemptState::SetAside, start_, "conflict: the next relay holds a different save");
    return Outcome::Done;
  }
  const std::string mismatch = "mismatch " + std::string(kDigestPrefix);
  if (id_.HasDigest() && text.starts_with(mismatch) && IsHexDigest(std::string_view(text).substr(mismatch.size())))
    return Mismatch(text.substr(mismatch.size()));
  // A refusal ("refused full: ...") or an answer of a newer program: the
  // attempt failed, and its entry shows what the next relay said.
  reason_ = "the next relay answered \"" + EscapeControl(text) + "\" for " + e_.Describe();
  return EndWith(Outcome::SaveFault, start_);
}

// The next relay moved its copy aside: whatever happens here starts again
// from byte 0. Its copy or ours is wrong; hashing ours tells which.
Transmission::Outcome Transmission::Mismatch(const std::string& theirs) {
  const BackupRoot& root = *f_.p_.root;
  const StopToken& stop = *f_.p_.stop;
  Sha256 h;
  const Status st = root.HashFile(root.SavePath(e_.repo, e_.save), total_, h,
                                  [&stop](std::int64_t) { return !stop.Requested(); });
  if (st.IsStopped()) return EndWith(Outcome::Stopped, 0);
  if (!st.ok()) {
    reason_ = "cannot check " + e_.Describe() + " against its identity: " + st.words();
    return EndWith(Outcome::SaveFault, 0);
  }
  const std::string ours = h.HexDigest();
  Bump(f_.p_.counters, &RelayCounters::verify_runs);
  if (ours != id_.digest) return CopyDiffers(ours, 0);
  // Counted on disk before anything is sent again: a crash must not make a
  // second mismatch a first.
  SaveIdentity now;
  if (root.ReadIdentity(e_.repo, e_.save, now).ok() && now.digest == id_.digest) id_ = now;
  ++id_.mismatches;
  if (const Status w = root.WriteIdentity(e_.repo, e_.save, id_); !w.ok()) {
    reason_ = "cannot count the mismatch of " + e_.Describe() + ": " + w.words();
    return EndWith(Outcome::SaveFault, 0);
  }
  const std::string both = std::string(kDigestPrefix) + theirs + ", not " + std::string(kDigestPrefix) + ours;
  // Odd counts send again; even ones set aside, so that a save an operator
  // sent on again gets its second chance too.
  if (id_.mismatches % 2 == 1) {
    f_.p_.log->Error("the next relay's copy of " + e_.Describe() + " hashes to " + both +
                     "; sending again from byte 0");
    return EndWith(Outcome::Again, 0);
  }
  f_.p_.log->Error("mismatch: the next relay's copy of " + e_.Describe() + " differs twice (now " + both +
                   ") while this relay's copy matches its identity: the link or the next relay's disk is at fault; "
                   "its forwarding is set aside until an operator acts (see the README)");
  if (const Status w = root.WriteRecord(e_, ForwardRecord{0, true, "mismatch"}); !w.ok())
    f_.p_.log->Error(Status::Error(w.kind(), w.words(), "fclose(" + root.RecordPath(e_).string() + ")", w.code()));
  state_.AttemptEnded(AttemptState::SetAside, 0, "mismatch: the next relay's copy differs twice");
  return Outcome::Done;
}

// The record keeps where to resume: the bytes written (the receiver's
// "have" puts it right if fewer arrived) or the receiver's own count.
Transmission::Outcome Transmission::EndWith(Outcome o, std::int64_t offset) {
  if (const Status st = f_.p_.root->WriteRecord(e_, ForwardRecord{offset, false}); !st.ok())
    f_.p_.log->Error(Status::Error(st.kind(), st.words(), "fclose(" + f_.p_.root->RecordPath(e_).string() + ")", st.code()));
  const bool failed = o == Outcome::Failed || o == Outcome::SaveFault;
  state_.AttemptEnded(failed ? AttemptState::Failed
                      : o == Outcome::Stopped ? AttemptState::Stopped
                                              : AttemptState::Interrupted,
                      offset, failed ? reason_ : "");
  return o;
}

Transmission::Outcome Transmission::Run() {
  if (Outcome o = Prepare(); o != Outcome::Delivered) {
    if (o == Outcome::SaveFault) state_.AttemptEnded(AttemptState::Failed, start_, reason_);
    return o;
  }
  state_.AttemptStarted(e_, start_, total_);
  // Closures from here on are for this attempt: one that comes while it
  // connects ends it after its first piece.
  closures_before_ = f_.closures_.load();
  bool stopped = false;
  TlsSessionPtr session = f_.Connect(failing_, reason_, stopped);
  if (stopped) return Outcome::Stopped;
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

}  // namespace tarnwick
