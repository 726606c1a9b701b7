#include "forwarding/forwarder.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <map>
#include <sstream>
#include <system_error>
#include <vector>

#include "base/retry.h"
#include "forwarding/transmission.h"
#include "forwarding/transmitter_state.h"
#include "layout/stream_header.h"

namespace tarnwick {

namespace fs = std::filesystem;
using std::chrono::milliseconds;

namespace {
constexpr long kBackoffFirstMs = 1000, kBackoffMaxMs = 60000;
// Slices of the waits of the listen mode, so that a stop is seen at once.
constexpr milliseconds kSlice{200};
}  // namespace

Forwarder::Forwarder(Parts parts)
    : p_(std::move(parts)), s_(*p_.settings), current_(p_.settings), handshake_failures_(*p_.log, "failed handshakes", 10) {}

Forwarder::~Forwarder() { Finish(); }

Status Forwarder::BuildContexts(const Settings& s, SslCtxPtr& forward, SslCtxPtr& closure) {
  // Dialling reads its files beside settings.ini; listening for the next
  // relay, or for its closures, reads them where contexts built after
  // start-up always have (LatePemDir).
  const ContextSpec spec{s.forward_peer_cn, s.ForwardDials(), /*forward_hop=*/true,
                         s.ForwardDials() ? s.config_dir : s.LatePemDir(), /*require_cert=*/true};
  if (Status st = MakeTlsContext(spec, forward); !st.ok()) return st;
  if (s.InboundDials()) return Status::Ok();
  return MakeTlsContext(ContextSpec{s.forward_peer_cn, false, true, s.LatePemDir(), true}, closure);
}

Status Forwarder::Open(Parts parts, std::unique_ptr<Forwarder>& out) {
  std::unique_ptr<Forwarder> f(new Forwarder(std::move(parts)));
  const Settings& s = f->s_;
  // Built here, at start-up, so that a missing PEM file stops the start.
  SslCtxPtr forward, closure;
  if (Status st = BuildContexts(s, forward, closure); !st.ok()) return st;
  f->context_.Replace(std::move(forward));
  f->closure_context_.Replace(std::move(closure));
  if (!s.InboundDials()) {
    if (Status st = OpenListener(s.listen, s.closure_port, f->closure_socket_); !st.ok()) return st;
    const platform::NativeSocket fd = f->closure_socket_.Native();
    f->unblock_closure_ = f->p_.stop->OnStop([fd] { platform::Socket::ShutdownNative(fd); });
  }
  // Listen mode opens the forward port only while saves wait, but a port
  // another program holds is a start-up failure, not a retry loop: it is
  // bound here, and the transmitter closes it if nothing waits.
  if (!s.ForwardDials())
    if (Status st = OpenListener(s.forward_listen, s.forward_port, f->forward_socket_, 1); !st.ok()) return st;
  Forwarder* self = f.get();
  f->unblock_forward_ = f->p_.stop->OnStop([self] {
    std::lock_guard lock(self->socket_mutex_);
    self->forward_socket_.Shutdown();
  });
  f->wake_queue_ = f->p_.stop->OnStop([self] {
    std::lock_guard lock(self->queue_mutex_);
    self->queue_changed_.notify_all();
  });
  out = std::move(f);
  return Status::Ok();
}

Status Forwarder::Reload(std::shared_ptr<const Settings> next) {
  SslCtxPtr forward, closure;
  if (Status st = BuildContexts(*next, forward, closure); !st.ok()) return st;
  context_.Replace(std::move(forward));
  closure_context_.Replace(std::move(closure));
  std::lock_guard lock(config_mutex_);
  current_ = std::move(next);
  return Status::Ok();
}

std::size_t Forwarder::RetryNow() {
  std::lock_guard lock(queue_mutex_);
  waiting_.RetryAll();
  ++retries_;
  queue_changed_.notify_all();
  return waiting_.Size();
}

bool Forwarder::Pause(Clock::duration d) {
  std::unique_lock lock(queue_mutex_);
  const unsigned long seen = retries_;
  queue_changed_.wait_for(lock, d, [&] { return p_.stop->Requested() || retries_ != seen; });
  return p_.stop->Requested();
}

// --- the queue ---------------------------------------------------------------

void Forwarder::Queue(const QueueEntry& e, bool quiet) {
  std::lock_guard lock(queue_mutex_);
  if (!waiting_.Add(e)) {
    if (!quiet) p_.log->Info("already being forwarded, not handed off again: " + e.Describe());
    return;
  }
  queue_changed_.notify_all();
}

void Forwarder::HandOff(const std::string& repo, const std::string& save) { Queue(QueueEntry{repo, save}); }

void Forwarder::Resume(const std::string& repo, const std::string& save) {
  const QueueEntry e{repo, save};
  ForwardRecord record;
  if (p_.root->ReadRecord(e, record).ok() && !record.set_aside) Queue(e, /*quiet=*/true);
}

Status Forwarder::CreateRecord(const std::string& repo, const std::string& save) {
  // A fresh record starts at byte 0: nothing of a save can have been sent
  // before it was complete.
  const Status st = p_.root->WriteRecord(QueueEntry{repo, save}, ForwardRecord{});
  if (st.ok()) return st;
  return Status::FromSystem(static_cast<int>(st.code()), "cannot record " + repo + "/" + save + " for forwarding",
                            " fopen(save_name");
}

bool Forwarder::Next(QueueEntry& entry) {
  Backoff retry_recovery(kBackoffFirstMs, kBackoffMaxMs);
  auto recovery_at = Clock::now();
  std::unique_lock lock(queue_mutex_);
  unsigned long retries_seen = retries_;
  for (;;) {
    if (p_.stop->Requested()) return false;
    const auto now = Clock::now();
    if (retries_ != retries_seen) {
      retries_seen = retries_;
      recovery_at = now;
      retry_recovery.Reset();
    }
    if (recovery_pending_ && now >= recovery_at) {
      lock.unlock();
      const bool whole = RecoverRecords();
      lock.lock();
      if (whole) recovery_pending_ = false;
      else recovery_at = now + retry_recovery.Next();
      continue;
    }
    std::optional<Clock::time_point> wake;
    if (std::optional<QueueEntry> next = waiting_.Take(now, &wake)) {
      entry = *next;
      return true;
    }
    if (recovery_pending_ && (!wake || recovery_at < *wake)) wake = recovery_at;
    if (wake) queue_changed_.wait_until(lock, *wake);
    else queue_changed_.wait(lock);
  }
}

void Forwarder::Done(const QueueEntry& entry) {
  std::lock_guard lock(queue_mutex_);
  waiting_.Done(entry);
}

void Forwarder::Later(const QueueEntry& entry, Clock::time_point retry_at) {
  std::lock_guard lock(queue_mutex_);
  waiting_.Later(entry, retry_at);
}

bool Forwarder::Idle() {
  std::lock_guard lock(queue_mutex_);
  return waiting_.Empty();
}

// --- start and end -------------------------------------------------------------

// A save a record or a queue line names, checked before it is handed off:
// there and complete. A record is removed only when its save is gone for
// certain: a save that cannot be looked at now (a permission, an I/O error)
// is handed off all the same, and the transmitter retries it until it can.
bool Forwarder::Forwardable(const QueueEntry& e, bool from_queue_line) {
  const BackupRoot& root = *p_.root;
  bool there = false, pending = false;
  const Status looked = root.Exists(root.SavePath(e.repo, e.save), there);
  if (!looked.ok()) return true;
  if (there) return !root.Exists(root.MarkerPath(e.repo, e.save), pending).ok() || !pending;
  bool repo_there = false;
  if (!root.Exists(root.RepoDir(e.repo), repo_there).ok()) return true;
  const std::string step = repo_there ? "fopen(save_name, \"rb\")" : "chdir(repo_name2)";
  bool recorded = false;
  if (!root.Exists(root.RecordPath(e), recorded).ok()) return false;
  if (recorded) {
    p_.log->Error(Status::Error(Status::Kind::kNotFound,
                                "the save " + e.Describe() + " is gone; its forwarding record is removed", step,
                                platform::NotFoundCode()));
    if (const Status st = root.RemoveRecord(e); !st.ok()) p_.log->Error(st);
  } else if (from_queue_line) {
    p_.log->Error(Status::Error(Status::Kind::kNotFound, "toforward names " + e.Describe() + ", which is gone; skipped",
                                step, platform::NotFoundCode()));
  }
  return false;
}

bool Forwarder::ReplayQueueFile() {
  const BackupRoot& root = *p_.root;
  std::string text;
  if (const Status st = root.ReadSmall(root.QueueFile(), text, std::size_t(1) << 30); !st.ok()) {
    if (st.IsNotFound()) return true;
    // Kept as it is: the saves it names may have no record of their own.
    p_.log->Error(Status::Error(st.kind(), st.words(), "fopen(TOFORWARD, \"a+\")", st.code())
                      .Then("; it is kept, and read again at the next start"));
    return false;
  }
  bool all_recorded = true;
  std::istringstream in(text);
  std::size_t number = 0;
  for (std::string line; std::getline(in, line);) {
    ++number;
    if (line.find_first_not_of(" \t\r\v\f") == std::string::npos) continue;
    std::optional<QueueEntry> entry = ParseQueueLine(line);
    if (!entry) {
      // One bad line must not cost the lines behind it.
      p_.log->Failure("toforward line", static_cast<long long>(number));
      continue;
    }
    if (!Forwardable(*entry, true)) continue;
    // A line from a relay without records may come with no progress file,
    // or an empty one: both mean byte 0.
    ForwardRecord record;
    if (root.ReadRecord(*entry, record).IsNotFound()) {
      if (const Status st = CreateRecord(entry->repo, entry->save); !st.ok()) {
        // Still handed off, and the line stays in toforward until it has a
        // record: a crash must not lose it.
        p_.log->Error(st);
        all_recorded = false;
        std::lock_guard lock(queue_mutex_);
        unrecorded_.insert(entry->repo + '\t' + entry->save);
      }
    }
    Queue(*entry);
  }
  return all_recorded;
}

// Every record under forwards/ whose save was not handed off yet, oldest
// save first: records outlive crashes, toforward does not.
bool Forwarder::RecoverRecords() {
  const BackupRoot& root = *p_.root;
  platform::FileSystem& f = root.Fs();
  struct Found {
    std::int64_t when;
    QueueEntry entry;
  };
  std::vector<Found> found;
  bool whole = true;
  auto unreadable = [&](const fs::path& dir, int e) {
    if (platform::IsNotFound(e)) return;  // gone meanwhile: nothing to recover
    p_.log->Error(Status::FromSystem(e, "cannot read the forwarding records in " + dir.string(), "opendir")
                      .Then("; read again later"));
    whole = false;
  };
  std::vector<std::string> repos;
  if (int e = f.List(root.ForwardsDir(), repos)) {
    unreadable(root.ForwardsDir(), e);
    return whole;
  }
  for (const std::string& repo : repos) {
    if (!IsSafeName(repo)) continue;
    std::vector<std::string> saves;
    if (int e = f.List(root.ForwardsDir() / repo, saves)) {
      platform::FileInfo info;
      if (f.Stat(root.ForwardsDir() / repo, info) != 0 || info.type == platform::FileInfo::Type::Directory)
        unreadable(root.ForwardsDir() / repo, e);
      continue;
    }
    for (const std::string& save : saves) {
      QueueEntry e{repo, save};
      if (!IsSafeSaveName(e.save)) continue;
      {
        std::lock_guard lock(queue_mutex_);
        if (waiting_.Known(e)) continue;
      }
      ForwardRecord rec;
      if (root.ReadRecord(e, rec).ok() && rec.set_aside) {
        p_.log->Error("forwarding of " + e.Describe() + " stays set aside after a " + rec.reason +
                      " at the next relay; see the README");
        continue;
      }
      if (!Forwardable(e, false)) continue;
      platform::FileInfo info;
      found.push_back({f.Stat(root.SavePath(e.repo, e.save), info) == 0 ? info.modified_ns : INT64_MAX, e});
    }
  }
  std::stable_sort(found.begin(), found.end(), [](const Found& a, const Found& b) { return a.when < b.when; });
  for (const Found& x : found) Queue(x.entry);
  return whole;
}

Status Forwarder::Start() {
  const bool replayed = ReplayQueueFile();
  if (!RecoverRecords()) {
    std::lock_guard lock(queue_mutex_);
    recovery_pending_ = true;
  }
  // Everything is in the records now; toforward is written again at the stop.
  keep_queue_file_ = !replayed;
  if (replayed)
    if (const Status st = p_.root->WriteAtomically(p_.root->QueueFile(), ""); !st.ok())
      p_.log->Error(Status::Error(st.kind(), st.words(), "fopen(TOFORWARD, \"w+\")", st.code()));
  try {
    transmitter_ = std::thread(&Forwarder::Transmitter, this);
    if (closure_socket_.Valid()) closure_thread_ = std::thread(&Forwarder::ClosureListener, this);
  } catch (const std::system_error& e) {
    // A started transmitter ends with the relay's stop, which its owner
    // requests on this failure.
    return Status::Error(Status::Kind::kIoError, std::string("cannot start the forwarding threads: ") + e.what(),
                         "_beginthread(XmitThread)", e.code().value());
  }
  return Status::Ok();
}

void Forwarder::Finish() {
  if (!transmitter_.joinable() && !closure_thread_.joinable()) return;
  if (transmitter_.joinable()) transmitter_.join();
  if (closure_thread_.joinable()) closure_thread_.join();
  // toforward as a relay without records reads it: every save still to send.
  std::string text;
  {
    std::lock_guard lock(queue_mutex_);
    for (const QueueEntry& e : waiting_.Snapshot()) text += FormatQueueLine(e);
  }
  if (keep_queue_file_) {
    // Its lines may be the only trace of some saves: added to, never
    // replaced (a line twice is reported and skipped at the next start).
    std::string kept;
    if (const Status st = p_.root->ReadSmall(p_.root->QueueFile(), kept, std::size_t(1) << 30);
        !st.ok() && !st.IsNotFound()) {
      p_.log->Error(st.Then("; toforward is left as it is"));
      return;
    }
    if (!kept.empty() && kept.back() != '\n') kept += '\n';
    text = kept + text;
  }
  if (const Status st = p_.root->WriteAtomically(p_.root->QueueFile(), text); !st.ok())
    p_.log->Error(Status::Error(st.kind(), st.words(), "fopen(TOFORWARD, \"w+\")", st.code()));
}

// --- connections ---------------------------------------------------------------

void Forwarder::CloseForwardSocket() {
  std::lock_guard lock(socket_mutex_);
  forward_socket_.Close();
}

TlsSessionPtr Forwarder::Connect(bool failing, std::string& why, bool& stopped) {
  TlsSessionPtr session;
  if (s_.ForwardDials()) {
    const std::shared_ptr<const Settings> s = Current();
    const Status st = Dial(s->forward_host, s->forward_port, s->forward_peer_cn, context_.Get().get(), p_.stop,
                           kConnectTimeoutMs, session);
    stopped = st.IsStopped();
    if (!st.ok() && !stopped) {
      if (!failing) p_.log->Info("Bogus connection");
      why = st.words();
    }
    return session;
  }
  // Listen mode: the next relay dials in. The listening socket stays open
  // while saves wait, so that the next relay's redial right after a
  // confirmation finds it; with nothing to send it is closed, and a
  // receiver that dials is refused at once instead of queueing.
  {
    std::lock_guard lock(socket_mutex_);
    // Under the lock the stop's hook takes: either the stop is seen here,
    // or the hook finds this socket open and shuts it down.
    if (p_.stop->Requested()) {
      stopped = true;
      return nullptr;
    }
    if (!forward_socket_.Valid()) {
      if (const Status st = OpenListener(s_.forward_listen, s_.forward_port, forward_socket_, 1); !st.ok()) {
        why = st.words();
        return nullptr;
      }
    }
  }
  // Only this thread opens or closes the socket, so it needs no lock to
  // wait in accept on it; the stop's hook only shuts it down. Handshakes
  // run side by side: a client that connects and stays silent cannot hold
  // up the next relay.
  FetchWaitStarts();
  const Status st = AcceptFirstHandshake(
      forward_socket_, context_, *p_.stop,
      [this](const Status& refusal, const std::string& ip) {
        if (handshake_failures_.Note(ip)) p_.log->Error(refusal);
      },
      session);
  stopped = st.IsStopped();
  if (session) Fetched();
  return session;
}

void Forwarder::FetchWaitStarts() {
  {
    std::lock_guard lock(fetch_mutex_);
    if (!fetch_wait_since_) fetch_wait_since_ = Clock::now();
  }
  if (state_) state_->FetchWait();
}

void Forwarder::Fetched() {
  {
    std::lock_guard lock(fetch_mutex_);
    if (fetch_overdue_) {
      const auto waited = std::chrono::duration_cast<std::chrono::minutes>(Clock::now() - *fetch_wait_since_);
      p_.log->Info("the next relay fetched from port " + s_.forward_port + " again after " +
                   std::to_string(waited.count()) + " min");
    }
    fetch_wait_since_.reset();
    fetch_overdue_ = false;
  }
  if (state_) state_->Fetched();
}

void Forwarder::FetchWaitEnds() {
  std::lock_guard lock(fetch_mutex_);
  if (fetch_overdue_ && !p_.stop->Requested())
    p_.log->Info("no saves wait for the next relay on port " + s_.forward_port + " any more");
  fetch_wait_since_.reset();
  fetch_overdue_ = false;
}

void Forwarder::CheckFetches(Clock::time_point now) {
  std::lock_guard lock(fetch_mutex_);
  if (!fetch_wait_since_ || fetch_overdue_ || now - *fetch_wait_since_ < kFetchOverdue) return;
  fetch_overdue_ = true;
  std::size_t waiting = 0;
  {
    std::lock_guard queue_lock(queue_mutex_);
    waiting = waiting_.Size();
  }
  p_.log->Error("the next relay has not fetched from port " + s_.forward_port + " for " +
                std::to_string(std::chrono::duration_cast<std::chrono::minutes>(now - *fetch_wait_since_).count()) +
                " min; " + std::to_string(waiting) + (waiting == 1 ? " save waits" : " saves wait"));
}

void Forwarder::ClosureListener() {
  while (!p_.stop->Requested()) {
    TlsSessionPtr session;
    const Status st = AcceptFirstHandshake(
        closure_socket_, closure_context_, *p_.stop,
        [this](const Status& refusal, const std::string& ip) {
          if (handshake_failures_.Note(ip)) p_.log->Error(refusal);
        },
        session);
    if (!st.ok()) continue;  // the stop
    // A completed handshake is the whole message.
    EndSession(std::move(session));
    ++closures_;
  }
}

// --- the transmitter -------------------------------------------------------------

void Forwarder::Transmitter() {
  const std::string peer = s_.ForwardDials() ? HostPort(s_.forward_host, s_.forward_port)
                                             : "the relay that dials port " + s_.forward_port;
  FailureLog failures(*p_.log, "forwarding to " + peer);
  TransmitterStateRecorder state(*p_.root, s_.ForwardDials() ? peer : "listening on port " + s_.forward_port);
  state_ = &state;
  struct Forget {
    TransmitterStateRecorder*& state;
    ~Forget() { state = nullptr; }
  } forget{state_};
  Backoff backoff(kBackoffFirstMs, kBackoffMaxMs);
  // Saves that failed for a reason of their own: each reported when it
  // starts failing and when it goes again, and retried less and less often.
  struct SaveTrouble {
    FailureLog log;
    Backoff backoff{kBackoffFirstMs, kBackoffMaxMs};
  };
  std::map<std::string, SaveTrouble> troubled;
  // An operator's retry starts every back-off over.
  unsigned long retries_seen = 0;
  auto retried = [&] {
    std::lock_guard lock(queue_mutex_);
    if (retries_ == retries_seen) return;
    retries_seen = retries_;
    backoff.Reset();
    for (auto& [key, trouble] : troubled) trouble.backoff.Reset();
  };
  QueueEntry entry;
  for (;;) {
    if (!s_.ForwardDials() && Idle()) {
      CloseForwardSocket();
      FetchWaitEnds();
    }
    if (Idle()) state.Idle();
    if (!Next(entry)) break;
    const std::string key = entry.Describe();
    for (;;) {
      retried();
      Transmission t(*this, entry, failures.Failing(), state);
      const Transmission::Outcome o = t.Run();
      using O = Transmission::Outcome;
      if (o == O::Delivered || o == O::Done) {
        if (o == O::Delivered) {
          failures.Succeeded();
          backoff.Reset();
        }
        if (auto it = troubled.find(key); it != troubled.end()) {
          it->second.log.Succeeded();
          troubled.erase(it);
        }
        Done(entry);
        break;
      }
      if (o == O::Stopped || p_.stop->Requested()) {  // entry stays unfinished
        state.Stopped();
        return;
      }
      if (o == O::Again) continue;
      Bump(p_.counters, &RelayCounters::forward_failures);
      if (o == O::SaveFault) {
        // Never dropped, never in the way: behind the others, tried again
        // after its own pause.
        auto it = troubled
                      .try_emplace(key, SaveTrouble{FailureLog(*p_.log, "forwarding " + key +
                                                                         " (it waits behind the saves queued after it)")})
                      .first;
        it->second.log.Failed(t.Reason());
        Later(entry, Clock::now() + it->second.backoff.Next());
        break;
      }
      failures.Failed(t.Reason());
      // In the listen mode the wait for the next relay to dial in paces the
      // attempts; in the dial mode the pause grows.
      const auto pause = s_.ForwardDials() ? backoff.Next() : kSlice;
      if (Pause(pause)) {
        state.Stopped();
        return;
      }
    }
  }
  state.Stopped();
}

}  // namespace tarnwick
