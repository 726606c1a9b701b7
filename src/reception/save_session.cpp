#include "reception/save_session.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/sha256.h"
#include "base/text.h"
#include "layout/stream_header.h"
#include "platform/platform.h"

namespace tarnwick {

namespace fs = std::filesystem;
using platform::File;
using platform::FileSystem;

std::string SaveClaims::Key(const fs::path& save) {
  std::string key = save.string();
  if (platform::kCaseInsensitiveNames) key = Lower(key);
  return key;
}

// Large reads and writes: one system call per 128 KiB, not per record.
constexpr std::size_t kPiece = 128 * 1024;
// Written bytes are pushed to the disk every so often while the stream
// lasts, so the sync before the confirmation finds little left to write.
constexpr std::int64_t kWriteBackEvery = 8 * 1024 * 1024;
// A named save is synced this often while a stream lasts, and its hash
// state recorded with the synced size: a resume after a crash starts from
// there without reading the save again, and loses at most this much.
constexpr std::int64_t kCheckpointEvery = 64 * 1024 * 1024;
// A refusal's words are cut here: an answer stays well under the 4 KiB a
// sender reads.
constexpr std::size_t kRefusalMax = 1024;

// Why a header is refused, in the sender's terms.
std::string HeaderProblem(const StreamHeader& h) {
  if (h.error == "invalid repo_name") return "\"" + EscapeControl(h.repo) + "\" cannot be a repository name";
  if (h.error == "invalid save_name") return "\"" + EscapeControl(h.save) + "\" cannot be a save name";
  switch (h.error_code) {
    case 0: return "the header names no repository";
    case 2: return "the header has a count but no save name";
    case 3: return "the header's count is negative or too large";
    case 4: return "the header's offset is not a number or too large";
    default: return "the header is not in the stream format";
  }
}

using Event = StreamSource::Event;

// The save of one stream and everything it owns: its files, its counts and
// the rules that decide what the stream may do to it.
class Session {
 public:
  Session(StreamSource& source, const BackupRoot& root, SaveClaims& claims, EventLog& log,
          const SaveSessionOptions& options)
      : src_(source), root_(root), fs_(root.Fs()), claims_(claims), log_(log), opt_(options), buf_(kPiece) {}
  ~Session() {
    if (claim_.empty()) return;
    std::lock_guard lock(claims_.m_);
    claims_.claimed_.erase(claim_);
  }
  SessionOutcome Run();

 private:
  enum class End { CloseNotify, TcpClose, Cut, WriteFailed, Conflict };

  std::optional<SessionOutcome> ReadHeader();
  bool MakeDirectory(const fs::path& dir);
  bool MakeDirectories();
  // 0 with a free date name in name, or the error of a lookup that failed.
  int DateName(std::string& name) const;
  // Whether name is taken, by a save or by a marker; 0 or a lookup's error.
  int Taken(const std::string& name, bool& taken) const;
  bool Inspect();
  SessionOutcome Prepare();
  bool WriteMarker(std::int64_t missing);
  bool OpenForAppend(bool created);
  End Stream();
  bool TakePiece(const char* p, std::size_t n);
  SessionOutcome Finish(End end);
  SessionOutcome RefuseConflict(const std::string& why);
  SessionOutcome RefuseGap();
  // The identity held for the save, and the hash of its first held_ bytes.
  bool LoadIdentity();
  bool StartHash();
  bool Checkpoint();
  bool WriteIdentity(const SaveIdentity& id, const char* why);
  SessionOutcome RefuseMismatch(const std::string& digest);
  std::string Declared() const { return h_.digest.empty() ? id_.digest : h_.digest; }
  // "have <H>", with the identity the save is held to when the stream
  // declared one: a sender asking by identity learns that it was checked.
  std::string HaveAnswer(std::int64_t held) const {
    return "have " + std::to_string(held) +
           (h_.digest.empty() ? std::string() : " " + std::string(kDigestPrefix) + h_.digest) + '\0';
  }
  bool Stopping() const { return opt_.stopping && opt_.stopping(); }
  void Answer(std::string_view text) {
    answered_ = true;
    src_.Answer(text);
  }
  // Tells the sender why its stream is refused ("refused <class>: <why>")
  // before the cut, and reads what it still sends: a reset over unread
  // bytes would destroy the answer.
  SessionOutcome RefuseWith(const std::string& why, SessionOutcome o = SessionOutcome::Refused);
  // The first store failure of the stream: the reason the sender is told.
  void Fault(const Status& s) {
    if (fault_.ok()) fault_ = s;
  }
  std::string FaultReason() const;
  SessionOutcome RunSteps();
  void StoreFailure(const std::string& step, int code);
  std::string Where() const { return h_.repo + "/" + save_name_; }
  // Whether an entry about this sender's refusal is to be written (a
  // client refused in a loop is summed up, not written each time).
  bool Noted() const { return !opt_.refusals || opt_.refusals->Note(src_.Peer()); }

  StreamSource& src_;
  const BackupRoot& root_;
  FileSystem& fs_;
  SaveClaims& claims_;
  EventLog& log_;
  SaveSessionOptions opt_;
  std::vector<char> buf_;
  std::size_t data_begin_ = 0, data_end_ = 0;  // file bytes that came with the header

  StreamHeader h_;
  std::string save_name_;
  fs::path repo_dir_, save_path_, marker_path_;
  File save_;    // written at its end
  File stored_;  // read, to compare resent bytes with the ones held

  bool exists_ = false, pending_ = false;
  std::int64_t held_ = 0;          // the save's size when the stream began
  std::int64_t size_ = 0;          // its size now
  std::int64_t written_back_ = -1; // bytes before this have been pushed to disk
  std::int64_t received_ = 0;      // file bytes of this stream
  std::int64_t compare_at_ = 0;    // where the next resent byte must match
  std::int64_t compare_left_ = 0;  // resent bytes still to compare
  bool redelivery_ = false;        // nothing may be written, only compared
  int write_error_ = 0;
  bool stored_any_ = false;        // a byte of this stream reached the save
  std::string conflict_;
  Status fault_ = Status::Ok();
  bool answered_ = false;          // the sender has been told something
  bool cut_ = false;               // the stream broke off: nobody to tell
  SaveIdentity id_;                // the save's identity record, when have_id_
  bool have_id_ = false;
  Sha256 hash_;                    // of the save's first size_ bytes, when hashing_
  bool hashing_ = false;
  std::int64_t synced_ = 0;        // bytes known to be on disk
  std::string claim_;  // the claimed save's key, released at the end
  const std::chrono::steady_clock::time_point began_ = std::chrono::steady_clock::now();
  ThrottleClock::time_point first_byte_{};  // when the stream's first byte came
};

std::optional<SessionOutcome> Session::ReadHeader() {
  std::size_t filled = 0;
  for (;;) {
    StreamSource::Result r = src_.Read(buf_.data() + filled, buf_.size() - filled);
    if (r.event == Event::Data) {
      if (filled == 0 && r.bytes > 0) first_byte_ = ThrottleClock::now();
      const std::size_t searched = std::min(filled + r.bytes, kHeaderMax);
      filled += r.bytes;
      const auto begin = buf_.begin();
      const auto nul = std::find(begin, begin + static_cast<std::ptrdiff_t>(searched), '\0');
      if (nul != begin + static_cast<std::ptrdiff_t>(searched)) {
        h_ = ParseStreamHeader(std::string_view(buf_.data(), filled));
        data_begin_ = h_.length;
        data_end_ = filled;
        break;
      }
      if (filled >= kHeaderMax) {
        if (Noted()) log_.Failure("wrong format", -1);
        BumpRefused(opt_.counters, Refusal::Header);
        return RefuseWith("name: the header has no NUL in its first " + std::to_string(kHeaderMax) + " bytes");
      }
      continue;
    }
    if (r.event == Event::Error) {
      log_.Error(Status::Error(Status::Kind::kNetwork,
                               "the stream from " + src_.Peer() + " broke off before its header ended",
                               "SSL_read", r.code));
      return filled == 0 ? SessionOutcome::Failed : SessionOutcome::Refused;
    }
    if (filled == 0) return SessionOutcome::Empty;
    if (Noted()) log_.Failure("wrong format", -1);  // ended before the header's NUL
    BumpRefused(opt_.counters, Refusal::Header);
    return RefuseWith("name: the stream ended before its header's NUL");
  }
  if (h_.form == StreamHeader::Form::Malformed) {
    if (Noted()) log_.Failure(h_.error, h_.error_code);
    BumpRefused(opt_.counters, Refusal::Header);
    return RefuseWith("name: " + HeaderProblem(h_));
  }
  src_.HeaderRead();
  return std::nullopt;
}

bool Session::MakeDirectory(const fs::path& dir) {
  const Status s = root_.MakeDirectory(dir);
  if (s.ok()) return true;
  Fault(s);
  log_.Error(s.Then("; the stream is refused"));
  write_error_ = s.code() ? static_cast<int>(s.code()) : -1;
  return false;
}

// Only a stream that will store something creates the saves tree.
bool Session::MakeDirectories() { return MakeDirectory(root_.SavesDir()) && MakeDirectory(repo_dir_); }

int Session::Taken(const std::string& name, bool& taken) const {
  taken = claims_.claimed_.count(SaveClaims::Key(repo_dir_ / name)) != 0;
  if (taken) return 0;
  for (const fs::path& p : {repo_dir_ / name, root_.MarkerPath(h_.repo, name)}) {
    platform::FileInfo info;
    const int e = fs_.Stat(p, info);
    if (e == 0) {
      taken = true;
      return 0;
    }
    if (!platform::IsNotFound(e)) return e;
  }
  return 0;
}

// A name by the local date, with _1, _2, ... when the date is taken by a
// save or by a marker left behind, then the relay's own suffix (see
// SaveSessionOptions::date_name_suffix). The plain date is tried first, so
// a name freed since is given again; after it, the count goes on from the
// last one given.
int Session::DateName(std::string& name) const {
  std::tm tm = platform::LocalTime(std::time(nullptr));
  char date[32];
  std::strftime(date, sizeof date, "%Y-%m-%d", &tm);
  const std::string& suffix = opt_.date_name_suffix;
  const std::string hint_key = SaveClaims::Key(repo_dir_) + '\n' + date + suffix;
  if (claims_.date_hints_.size() > 4096) claims_.date_hints_.clear();  // bounded; only a hint
  unsigned long& last = claims_.date_hints_[hint_key];
  for (unsigned long k = 0;; k = k == 0 ? last + 1 : k + 1) {
    name = std::string(date) + (k == 0 ? "" : "_" + std::to_string(k)) + suffix;
    bool taken = false;
    if (int e = Taken(name, taken)) return e;
    if (!taken) {
      if (k > last) last = k;
      return 0;
    }
  }
}

// What the relay holds of the named save: absent, pending or complete, and
// its size.
bool Session::Inspect() {
  // A missing repository folder is a missing save; any other failure to
  // look is a passing fault, not an absent save.
  platform::FileInfo info;
  int e = fs_.Stat(save_path_, info);
  if (e == 0 && info.type != platform::FileInfo::Type::Regular) {
    StoreFailure("fopen_s", 0);
    return false;
  }
  if (e == 0) {
    exists_ = true;
    e = fs_.Open(save_path_, FileSystem::Mode::Read, stored_);
    if (e == 0) e = fs_.Size(stored_, held_);
  } else if (platform::IsNotFound(e)) {
    e = 0;
  }
  if (e == 0) {
    e = fs_.Stat(marker_path_, info);
    pending_ = e == 0;
    if (platform::IsNotFound(e)) e = 0;
  }
  if (e != 0) {
    StoreFailure("fopen_s", e);
    return false;
  }
  size_ = held_;
  return LoadIdentity();
}

bool Session::LoadIdentity() {
  const Status s = root_.ReadIdentity(h_.repo, save_name_, id_);
  if (s.IsNotFound() || ((s.ok() || s.kind() == Status::Kind::kInvalid) && !exists_ && !pending_)) {
    id_ = SaveIdentity{};  // none, or stale: its save and marker are gone
    return true;
  }
  if (!s.ok()) {
    Fault(s.Within("the identity of saves/" + Where() + " cannot be read"));
    log_.Error(s.Within("the identity of saves/" + Where() + " cannot be read")
                   .Then("; the stream is refused and nothing changes"));
    // A sender asking by identity must not read silence as "no identities".
    if (s.kind() == Status::Kind::kInvalid) Answer(std::string("conflict") + '\0');
    if (write_error_ == 0) write_error_ = s.code() ? static_cast<int>(s.code()) : -1;
    return false;
  }
  have_id_ = true;
  return true;
}

bool Session::WriteIdentity(const SaveIdentity& id, const char* why) {
  const Status s = root_.WriteIdentity(h_.repo, save_name_, id);
  if (!s.ok()) {
    Fault(s.Within(std::string("cannot record the identity of saves/") + Where() + " " + why));
    log_.Error(s.Within(std::string("cannot record the identity of saves/") + Where() + " " + why)
                   .Then("; it stays pending"));
    if (write_error_ == 0) write_error_ = s.code() ? static_cast<int>(s.code()) : -1;
    return false;
  }
  id_ = id;
  have_id_ = true;
  return true;
}

// The hash of what the save holds, taken up where its last checkpoint left
// it. Bytes past the checkpoint may never have reached the disk (a power
// loss after the write, before the sync): they are cut off, and the sender
// is asked for them again. A save without a checkpoint (stored before
// saves had identities) is read once.
bool Session::StartHash() {
  hashing_ = true;
  synced_ = held_;
  if (held_ == 0) return true;
  if (have_id_ && id_.synced >= 0 && id_.synced <= held_) {
    if (std::optional<Sha256> state = Sha256::FromState(id_.hash_state)) {
      hash_ = *state;
      if (id_.synced < held_) {
        File cut;
        int e = fs_.Open(save_path_, FileSystem::Mode::Append, cut);
        if (e == 0) e = fs_.Truncate(cut, id_.synced);
        if (e == 0) e = fs_.Sync(cut);
        if (e != 0) {
          StoreFailure("ftruncate", e);
          return false;
        }
        log_.Info("saves/" + Where() + " held " + std::to_string(held_) + " bytes, of which " +
                  std::to_string(id_.synced) + " were synced before the relay stopped; it goes on from there");
        held_ = size_ = synced_ = id_.synced;
      }
      return true;
    }
  }
  if (const Status s = root_.HashFile(save_path_, held_, hash_, [this](std::int64_t) { return !Stopping(); });
      !s.ok()) {
    if (!s.IsStopped()) {
      Fault(s.Within("cannot hash saves/" + Where()));
      log_.Error(s.Within("cannot hash saves/" + Where()).Then("; it stays pending and the relay goes on"));
    }
    if (write_error_ == 0) write_error_ = s.code() ? static_cast<int>(s.code()) : -1;
    return false;
  }
  // Read once: the hash state goes on record with the bytes it covers, so
  // the next stream or probe does not read the save again.
  File synced;
  if (fs_.Open(save_path_, FileSystem::Mode::Append, synced) == 0 && fs_.Sync(synced) == 0) {
    SaveIdentity id = have_id_ ? id_ : SaveIdentity{};
    id.synced = held_;
    id.hash_state = hash_.State();
    WriteIdentity(id, "after reading it");
    write_error_ = 0;  // only a hint: the stream goes on without it
    fault_ = Status::Ok();
  }
  return true;
}

// The save's bytes so far on disk, and the hash state after them on record.
bool Session::Checkpoint() {
  if (int e = fs_.Sync(save_)) {
    StoreFailure("fsync", e);
    return false;
  }
  SaveIdentity id = id_;
  id.synced = size_;
  id.hash_state = hash_.State();
  if (!WriteIdentity(id, "at a checkpoint")) return false;
  synced_ = size_;
  return true;
}

SessionOutcome Session::RefuseMismatch(const std::string& digest) {
  BumpRefused(opt_.counters, Refusal::Mismatch);
  Bump(opt_.counters, &RelayCounters::verify_mismatches);
  stored_.Close();  // an open file cannot be renamed everywhere
  std::filesystem::path aside;
  const Status moved = root_.MoveAside(h_.repo, save_name_, aside);
  SaveIdentity id = id_;
  id.synced = -1;
  id.hash_state.clear();
  ++id.mismatches;
  const std::string what = "mismatch: saves/" + Where() + " from " + src_.Peer() + " hashes to sha256:" + digest +
                           ", not to the declared sha256:" + Declared();
  if (!moved.ok()) {
    // The bytes stay under the save's name, still pending: never confirmed.
    log_.Error(moved.Within(what + "; its bytes cannot be moved aside").Then("; it stays pending"));
  } else {
    WriteIdentity(id, "after a mismatch");
    WriteMarker(id_.size >= 0 ? id_.size : 0);
    log_.Error(what + "; its bytes are kept as " + aside.string() + " and the sender starts again from byte 0" +
               (id.mismatches >= 2 ? " (the second time: the sender's copy or the link differs from what it declares)"
                                   : ""));
  }
  Answer("mismatch " + std::string(kDigestPrefix) + digest + '\0');
  return SessionOutcome::Refused;
}

bool Session::WriteMarker(std::int64_t missing) {
  const Status s = root_.WriteAtomically(marker_path_, std::to_string(missing));
  if (!s.ok()) {
    const Status e = Status::FromSystem(static_cast<int>(s.code()), "cannot write the pending marker of saves/" + Where(),
                                        "Did not receive the expected # of bytes");
    Fault(e);
    log_.Error(e.Then(pending_ ? "; it keeps its earlier number" : "; the stream is refused"));
    return false;
  }
  pending_ = true;
  return true;
}

bool Session::OpenForAppend(bool created) {
  int e = fs_.Open(save_path_, FileSystem::Mode::Append, save_);
  if (e == 0 && created) e = fs_.SyncDirectory(repo_dir_);
  if (e != 0) {
    StoreFailure("fopen_s", e);
    return false;
  }
  if (!stored_.IsOpen() && compare_left_ > 0) {
    if ((e = fs_.Open(save_path_, FileSystem::Mode::Read, stored_))) {
      StoreFailure("fopen_s", e);
      return false;
    }
  }
  return true;
}

void Session::StoreFailure(const std::string& step, int code) {
  if (write_error_ == 0) write_error_ = code ? code : -1;
  std::string more;
  std::uint64_t free_bytes = 0;
  if (platform::IsNoSpace(code) && fs_.FreeSpace(repo_dir_, free_bytes) == 0)
    more = ", " + std::to_string(free_bytes) + " bytes free";
  const Status s = code ? Status::FromSystem(code, "cannot store saves/" + Where(), step + "(" + save_name_ + ")")
                        : Status::Error(Status::Kind::kIoError, "cannot store saves/" + Where() + ": not a file",
                                        step + "(" + save_name_ + ")", 0);
  Fault(s);
  log_.Error(s.Then(more + "; it stays pending and the relay goes on"));
}

SessionOutcome Session::RefuseConflict(const std::string& why) {
  BumpRefused(opt_.counters, Refusal::Conflict);
  log_.Error("conflict: a stream from " + src_.Peer() + " for saves/" + Where() +
             " is refused, nothing stored changes: " + why);
  Answer(std::string("conflict") + '\0');
  src_.Discard(kRefusalDiscardMs);
  return SessionOutcome::Refused;
}

SessionOutcome Session::RefuseGap() {
  BumpRefused(opt_.counters, Refusal::Resume);
  log_.Info("the stream from " + src_.Peer() + " for saves/" + Where() + " starts at byte " +
            std::to_string(h_.offset) + " but only " + std::to_string(held_) +
            " are held; the sender is asked to resume there");
  Answer(HaveAnswer(held_));
  src_.Discard(kRefusalDiscardMs);
  return SessionOutcome::Refused;
}

// Decides what the stream may do and makes the files it needs. The marker
// goes down before the save gets its first byte, so that a crash at any
// moment leaves an unfinished save marked pending.
SessionOutcome Session::Prepare() {
  using Form = StreamHeader::Form;
  if (h_.form == Form::OneField) {
    if (!MakeDirectories()) return SessionOutcome::Failed;
    {
      std::lock_guard lock(claims_.m_);
      if (int e = DateName(save_name_)) {
        save_name_ = "<date name>";
        StoreFailure("fopen_s", e);
        return SessionOutcome::Failed;
      }
      save_path_ = repo_dir_ / save_name_;
      claim_ = SaveClaims::Key(save_path_);
      claims_.claimed_.insert(claim_);
    }
    marker_path_ = root_.MarkerPath(h_.repo, save_name_);
    // The marker holds 0: no count was announced, its presence is what counts.
    if (!WriteMarker(0) || !OpenForAppend(true)) return SessionOutcome::Failed;
    hashing_ = true;
    return SessionOutcome::Stored;
  }
  save_name_ = h_.save;
  save_path_ = root_.SavePath(h_.repo, save_name_);
  marker_path_ = root_.MarkerPath(h_.repo, save_name_);
  if (!src_.Certified()) {
    if (Noted())
      log_.Error("the stream from " + src_.Peer() + " for saves/" + Where() +
                 " is refused: only a sender with a trusted certificate may add to a named save");
    BumpRefused(opt_.counters, Refusal::Certificate);
    return RefuseWith("certificate: only a sender with a trusted certificate may add to a named save");
  }
  {
    std::lock_guard lock(claims_.m_);
    if (!claims_.claimed_.insert(SaveClaims::Key(save_path_)).second) {
      log_.Error("the stream from " + src_.Peer() + " for saves/" + Where() +
                 " is refused: another stream for that save is being stored");
      BumpRefused(opt_.counters, Refusal::Busy);
      return RefuseWith("busy: another stream for saves/" + Where() + " is being stored");
    }
    claim_ = SaveClaims::Key(save_path_);
  }
  if (!Inspect()) return SessionOutcome::Failed;
  const bool four = h_.form == Form::FourField;
  // A forwarded one-field save carries a date name; a name of the sender's
  // own choosing says nothing.
  const bool dated = save_name_.size() >= 10 && std::isdigit(static_cast<unsigned char>(save_name_[0])) &&
                     save_name_[4] == '-' && save_name_[7] == '-';
  if (four && dated && opt_.upstream_noted && !opt_.upstream_noted->exchange(true))
    log_.Warning("saves/" + Where() + " came from " + src_.Peer() +
                 " with a resume offset, as an upstream relay forwards saves, but [Connection] Upstream is 0: "
                 "set Upstream=1 so that the date names this relay gives can never take the name of a save "
                 "from upstream");
  if (exists_ && !pending_) {
    // A complete save is never appended to: the stream may only be a
    // re-delivery of its last bytes after a lost confirmation.
    const std::int64_t start = four ? h_.offset : held_ - h_.count;
    if ((four && h_.offset + h_.count != held_) || (!four && h_.count > held_))
      return RefuseConflict("it is complete with " + std::to_string(held_) + " bytes");
    if (have_id_ && id_.FailedVerification())
      return RefuseConflict("its bytes failed their verification (tarnwick verify); an operator must look at it");
    if (!h_.digest.empty()) {
      // Another save may end with the same bytes: its identity tells.
      if (!have_id_ || !id_.HasDigest()) {
        Sha256 h;
        if (const Status s = root_.HashFile(save_path_, held_, h, [this](std::int64_t) { return !Stopping(); });
            !s.ok()) {
          if (!s.IsStopped()) {
            Fault(s.Within("cannot hash saves/" + Where()));
            log_.Error(s.Within("cannot hash saves/" + Where()).Then("; the stream is refused and nothing changes"));
          }
          return SessionOutcome::Failed;
        }
        SaveIdentity id;
        id.size = held_;
        id.digest = h.HexDigest();
        if (!WriteIdentity(id, "as it is")) return SessionOutcome::Failed;
      }
      if (id_.digest != h_.digest)
        return RefuseConflict("it is complete as sha256:" + id_.digest + ", the stream declares sha256:" + h_.digest);
      // A sender that only asks what is held is told it is all here.
      if (h_.count == 0) Answer(HaveAnswer(held_));
    }
    redelivery_ = true;
    compare_at_ = start;
    compare_left_ = h_.count;
    return SessionOutcome::Stored;
  }
  if (!h_.digest.empty() && pending_ && have_id_ && id_.HasDigest() &&
      (id_.digest != h_.digest || id_.size != h_.offset + h_.count))
    return RefuseConflict("it was started as " + std::to_string(id_.size) + " bytes with sha256:" + id_.digest +
                          ", the stream declares " + std::to_string(h_.offset + h_.count) + " bytes with sha256:" +
                          h_.digest);
  // Streams without an identity may add to a bound save, but never past the
  // size it was declared with: that could only wedge it.
  if (h_.digest.empty() && pending_ && have_id_ && id_.HasDigest() && id_.size >= 0 &&
      (four ? h_.offset + h_.count != id_.size : held_ + h_.count > id_.size))
    return RefuseConflict("it was started as " + std::to_string(id_.size) + " bytes with sha256:" + id_.digest +
                          ", the stream would make it " +
                          std::to_string(four ? h_.offset + h_.count : held_ + h_.count) + " bytes");
  if (!StartHash()) return SessionOutcome::Failed;
  std::int64_t missing = h_.count;
  if (four) {
    if (h_.offset > held_) return RefuseGap();
    if (h_.offset + h_.count < held_)
      return RefuseConflict("it holds " + std::to_string(held_) + " bytes, more than the " +
                            std::to_string(h_.offset + h_.count) + " announced");
    compare_at_ = h_.offset;
    compare_left_ = held_ - h_.offset;
    missing = h_.offset + h_.count - held_;
  }
  if (!exists_ && !MakeDirectories()) return SessionOutcome::Failed;
  if (!pending_ && !WriteMarker(missing)) return SessionOutcome::Failed;
  // A declared identity is on disk before the first byte of its save.
  if (!h_.digest.empty() && (!have_id_ || !id_.HasDigest())) {
    SaveIdentity id = have_id_ ? id_ : SaveIdentity{};
    id.size = h_.offset + h_.count;
    id.digest = h_.digest;
    id.declared = true;
    if (!WriteIdentity(id, "it declares")) return SessionOutcome::Failed;
  }
  if (!OpenForAppend(!exists_)) return SessionOutcome::Failed;
  return SessionOutcome::Stored;
}

// Takes one piece of the stream: resent bytes are compared with the ones
// held, the rest appended. False when the stream must end here.
bool Session::TakePiece(const char* p, std::size_t n) {
  received_ += static_cast<std::int64_t>(n);
  char stored[4096];
  while (n > 0 && compare_left_ > 0) {
    const std::size_t k = static_cast<std::size_t>(
        std::min<std::int64_t>({compare_left_, static_cast<std::int64_t>(n),
                                static_cast<std::int64_t>(sizeof stored)}));
    std::size_t got = 0;
    if (int e = fs_.ReadAt(stored_, compare_at_, stored, k, got); e != 0 || got != k) {
      StoreFailure("fread", e ? e : -1);
      return false;
    }
    if (!std::equal(p, p + k, stored)) {
      conflict_ = "its bytes from " + std::to_string(compare_at_) + " differ from the stored ones";
      return false;
    }
    compare_at_ += static_cast<std::int64_t>(k);
    compare_left_ -= static_cast<std::int64_t>(k);
    p += k;
    n -= k;
  }
  if (n == 0) return true;
  if (redelivery_) {
    conflict_ = "it sends more than the " + std::to_string(h_.count) + " bytes held";
    return false;
  }
  if (int e = fs_.Write(save_, p, n)) {
    StoreFailure("fwrite", e);
    return false;
  }
  // Written bytes only: resent ones, compared above, were counted when
  // they first came.
  Bump(opt_.counters, &RelayCounters::bytes_received, n);
  if (!stored_any_) {
    stored_any_ = true;
    if (opt_.stored_first_byte) opt_.stored_first_byte();
  }
  if (written_back_ < 0) written_back_ = size_;
  size_ += static_cast<std::int64_t>(n);
  if (hashing_) hash_.Update(p, n);
  if (h_.form != StreamHeader::Form::OneField && size_ - synced_ >= kCheckpointEvery && !Checkpoint()) return false;
  if (size_ - written_back_ >= kWriteBackEvery) {
    fs_.StartWriteBack(save_, written_back_, size_ - written_back_);
    written_back_ = size_;
  }
  return true;
}

Session::End Session::Stream() {
  TransferThrottle throttle(opt_.rate, opt_.total, opt_.pause);
  // The rate floor is judged over whole minutes in which the relay's own
  // throttle did not hold the stream back, from the stream's first byte:
  // a sender that trickles its header spends the same minute.
  const std::int64_t floor = opt_.min_rate;
  auto window_start = first_byte_;
  std::int64_t window_bytes = 0;
  bool window_throttled = false;
  // Bytes that came with the header are file data like any other.
  if (data_end_ > data_begin_) {
    if (!TakePiece(buf_.data() + data_begin_, data_end_ - data_begin_))
      return conflict_.empty() ? End::WriteFailed : End::Conflict;
    throttle.Passed(static_cast<std::int64_t>(data_end_ - data_begin_));
  }
  for (;;) {
    StreamSource::Result r = src_.Read(buf_.data(), buf_.size());
    switch (r.event) {
      case Event::Data:
        if (!TakePiece(buf_.data(), r.bytes)) return conflict_.empty() ? End::WriteFailed : End::Conflict;
        window_throttled |= throttle.Passed(static_cast<std::int64_t>(r.bytes));
        if (floor > 0) {
          const auto now = ThrottleClock::now();
          if (now - window_start >= std::chrono::minutes(1)) {
            const double secs = std::chrono::duration<double>(now - window_start).count();
            if (!window_throttled &&
                static_cast<double>(received_ - window_bytes) < static_cast<double>(floor) * secs) {
              log_.Error("the stream from " + src_.Peer() + " for saves/" + Where() + " sent " +
                         std::to_string(received_ - window_bytes) + " bytes in the last minute, under the " +
                         std::to_string(floor) + " bytes/s floor (MinRate), and is cut");
              cut_ = true;
              return End::Cut;
            }
            window_start = now;
            window_bytes = received_;
            window_throttled = false;
          }
        }
        break;
      case Event::CloseNotify: return End::CloseNotify;
      case Event::TcpClose: return End::TcpClose;
      case Event::Error:
        log_.Error(Status::Error(Status::Kind::kNetwork,
                                 "the stream from " + src_.Peer() + " for saves/" + Where() + " broke off after " +
                                     std::to_string(received_) + " bytes; it stays pending",
                                 "SSL_read", r.code));
        cut_ = true;
        return End::Cut;
    }
  }
}

SessionOutcome Session::Finish(End end) {
  using Form = StreamHeader::Form;
  if (end == End::Conflict) return RefuseConflict(conflict_);
  const bool ended = end == End::CloseNotify || end == End::TcpClose;
  if (redelivery_) {
    // Nothing was written; only a whole, matching resend is confirmed.
    if (end == End::WriteFailed || !ended) return SessionOutcome::Failed;
    if (received_ != h_.count) return RefuseConflict("it ended after " + std::to_string(received_) +
                                                     " of " + std::to_string(h_.count) + " bytes");
    log_.Info("re-delivery of saves/" + Where() + " from " + src_.Peer() + " matches the stored save; confirmed again");
    // A save whose first confirmation failed may still wait for its turn
    // to be forwarded: its record says so.
    if (opt_.hooks && opt_.hooks->resume) opt_.hooks->resume(h_.repo, save_name_);
    return SessionOutcome::Stored;
  }

  // Bytes not yet on disk are not stored: the save is synced before its
  // state is decided.
  if (write_error_ == 0) {
    if (int e = fs_.Sync(save_)) {
      StoreFailure("fsync", e);
      // After a failed sync the kernel may drop the pages it could not
      // write while the size still counts them: a resume at that size
      // would append after bytes that never reached the disk. Back to
      // the size last synced.
      int t = fs_.Truncate(save_, synced_);
      if (t == 0) t = fs_.Sync(save_);
      if (t == 0) {
        size_ = synced_;
      } else {
        log_.Error(Status::FromSystem(t, "cannot cut saves/" + Where() + " back to its last synced size " +
                                             std::to_string(synced_) + " after a failed sync",
                                      "ftruncate(" + save_name_ + ")")
                       .Then("; compare it with the sender's copy"));
      }
    }
  }
  if (int e = save_.Close(); e != 0 && write_error_ == 0) StoreFailure("fclose", e);
  bool written = write_error_ == 0;
  // File bytes of this stream that stay in the save.
  const std::int64_t kept = size_ - held_;

  bool complete = false;
  std::int64_t missing = 0;
  switch (h_.form) {
    case Form::OneField:
      complete = written && (end == End::CloseNotify || (end == End::TcpClose && !opt_.require_close_notify));
      if (end == End::TcpClose && written)
        log_.Info("the stream for saves/" + Where() + " from " + src_.Peer() + " ended without close_notify; " +
                  (opt_.require_close_notify ? "it stays pending (RequireCloseNotify)" : "stored as complete"));
      break;
    case Form::ThreeField:
      complete = written && received_ == h_.count;
      missing = h_.count - kept;
      break;
    case Form::FourField:
      complete = written && compare_left_ == 0 && size_ == h_.offset + h_.count;
      missing = h_.offset + h_.count - size_;
      break;
    case Form::Malformed: break;
  }

  if (complete && hashing_) {
    // Verified before confirmed: the whole copy against what was declared.
    const std::string digest = hash_.HexDigest();
    const std::string declared = Declared();
    if (!declared.empty()) Bump(opt_.counters, &RelayCounters::verify_runs);
    if (!declared.empty() && digest != declared) return RefuseMismatch(digest);
    SaveIdentity id;
    id.size = size_;
    id.digest = digest;
    id.declared = !declared.empty();
    // A computed identity goes down before the marker is removed.
    if (!WriteIdentity(id, "as stored")) complete = false, written = false;
  }
  bool unrecorded = false;
  if (complete && opt_.hooks && opt_.hooks->record) {
    if (const Status s = opt_.hooks->record(h_.repo, save_name_); !s.ok()) {
      // A complete save nobody will forward stays pending.
      Fault(s);
      log_.Error(s.Then("; the save stays pending"));
      complete = false, unrecorded = true;
    }
  }
  if (complete) {
    // Only now, with the save and its record on disk, does the marker go:
    // a crash before this line leaves a pending save, never a complete one
    // that is not recorded for forwarding.
    int e = fs_.Remove(marker_path_);
    if (platform::IsNotFound(e)) e = 0;  // gone already
    if (e != 0) {
      Fault(Status::FromSystem(e, "cannot clear the pending marker of saves/" + Where(),
                               "unlink(" + save_name_ + "_pending)"));
      log_.Error(fault_);
      return SessionOutcome::Failed;
    }
    // The save is complete and recorded from here: it is handed off even if
    // the removal cannot be made durable, and only the confirmation waits
    // for that (the sender's re-delivery is confirmed once it can be).
    if (opt_.hooks && opt_.hooks->hand_off) opt_.hooks->hand_off(h_.repo, save_name_);
    if ((e = fs_.SyncDirectory(repo_dir_)) != 0) {
      Fault(Status::FromSystem(e, "cannot make the removal of the pending marker of saves/" + Where() + " durable",
                               "fsync(" + h_.repo + ")"));
      log_.Error(Status::FromSystem(e, "cannot make the removal of the pending marker of saves/" + Where() + " durable",
                                    "fsync(" + h_.repo + ")")
                     .Then("; not confirmed yet"));
      return SessionOutcome::Failed;
    }
    Bump(opt_.counters, &RelayCounters::saves_stored);
    if (ended && h_.count == 0 && !h_.digest.empty()) Answer(HaveAnswer(size_));
    if (ended)
      log_.Info("stored saves/" + Where() + " from " + src_.Peer() + ": " + std::to_string(size_) +
                " bytes, this stream " + RateText(received_, std::chrono::steady_clock::now() - began_));
    return ended ? SessionOutcome::Stored : SessionOutcome::Failed;
  }
  if (h_.form != Form::OneField && written && ended)
    log_.Info("the stream for saves/" + Where() + " from " + src_.Peer() + " ended " +
              (missing >= 0 ? std::to_string(missing) + " bytes short"
                            : std::to_string(-missing) + " bytes past its announced size") +
              "; it stays pending");
  // What stays is on disk: a later stream takes up the hash from here.
  if (written && h_.form != Form::OneField && hashing_ && size_ != synced_) {
    SaveIdentity id = id_;
    id.synced = size_;
    id.hash_state = hash_.State();
    if (WriteIdentity(id, "as it stays pending")) synced_ = size_;
    else written = false;
  }
  // The marker says what is still owed; one that cannot be rewritten keeps
  // its earlier number, and the save stays pending either way.
  if (!WriteMarker(missing) || !written || !ended || unrecorded) return SessionOutcome::Failed;
  if (h_.form == Form::OneField) return SessionOutcome::Failed;  // pending for want of close_notify
  return SessionOutcome::Stored;
}

SessionOutcome Session::RunSteps() {
  if (std::optional<SessionOutcome> o = ReadHeader()) return *o;
  repo_dir_ = root_.RepoDir(h_.repo);
  if (SessionOutcome o = Prepare(); o != SessionOutcome::Stored) return o;
  return Finish(Stream());
}

// A stream the relay could not store is told why before it is cut, unless
// it broke off or the relay stops: a sender that only sees a reset would
// look for the fault in the network.
SessionOutcome Session::Run() {
  const SessionOutcome o = RunSteps();
  if (o == SessionOutcome::Failed && !fault_.ok() && !answered_ && !cut_ && !Stopping())
    return RefuseWith(FaultReason(), o);
  return o;
}

SessionOutcome Session::RefuseWith(const std::string& why, SessionOutcome o) {
  Answer("refused " + why.substr(0, kRefusalMax) + '\0');
  src_.Discard(kRefusalDiscardMs);
  return o;
}

std::string Session::FaultReason() const {
  if (fault_.kind() != Status::Kind::kNoSpace) return "failed: " + fault_.words();
  std::uint64_t free_bytes = 0;
  const bool known = fs_.FreeSpace(repo_dir_, free_bytes) == 0 || fs_.FreeSpace(root_.Path(), free_bytes) == 0;
  return "full: the relay's disk is full" + (known ? " (" + std::to_string(free_bytes) + " bytes free)" : std::string());
}

SessionOutcome SaveSession(StreamSource& source, const BackupRoot& root, SaveClaims& claims, EventLog& log,
                           const SaveSessionOptions& options) {
  return Session(source, root, claims, log, options).Run();
}

}  // namespace tarnwick
