#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <list>
#include <memory>
#include <optional>
#include <thread>

#include <openssl/err.h>

#include "channel/tls.h"
#include "forwarding/forwarding.h"
#include "platform/file_system.h"
#include "platform/platform.h"
#include "reception/reception.h"
#include "reception/stream_slots.h"
#include "service/config_check.h"
#include "reception/save_session.h"
#include "service/event_log.h"
#include "service/retry.h"
#include "service/service.h"
#include "settings/settings.h"
#include "throttle/throttle.h"

namespace tarnwick {

platform::Socket InboundSocket;
SslCtxPtr InboundContext;

namespace {

using Clock = std::chrono::steady_clock;

// Made at start-up from MaxStreams; the stop cuts the streams through it.
std::unique_ptr<StreamSlots> slots;

bool StreamsCut() { return slots && slots->Cut(); }

// A stream read from a TLS session.
class TlsStreamSource final : public StreamSource {
 public:
  // header_by: the whole header must have come by then, however the
  // client paces its bytes.
  TlsStreamSource(TlsSession& s, int idle_seconds, Clock::time_point header_by, int header_seconds)
      : s_(s), idle_seconds_(idle_seconds), header_by_(header_by), header_seconds_(header_seconds) {
    platform::SetNonBlocking(s_.socket, true);
  }

  void HeaderRead() override { header_done_ = true; }

  // Fills as much of buf as the records already here allow: one file write
  // per buffer, not per 16 KiB record. An end met after some data is kept
  // for the next call, so it is judged exactly as if it came alone.
  Result Read(char* buf, std::size_t cap) override {
    if (held_) {
      Result r = *held_;
      held_.reset();
      return r;
    }
    Result first = ReadOnce(buf, cap, true);
    if (first.status != Status::Data) return first;
    std::size_t got = first.bytes;
    while (got < cap) {
      Result more = ReadOnce(buf + got, cap - got, false);
      if (more.status == Status::Data) {
        if (more.bytes == 0) break;  // nothing more without waiting
        got += more.bytes;
        continue;
      }
      held_ = more;
      break;
    }
    return {Status::Data, got, 0};
  }

  void Answer(std::string_view text) override {
    if (SSL_write(s_.ssl.get(), text.data(), static_cast<int>(text.size())) <= 0) ERR_clear_error();
  }

  void Discard(int ms) override {
    // Explicit waits: the deadline holds whatever the sender does, also
    // while it keeps sending.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    char scratch[16384];
    for (;;) {
      if (std::chrono::steady_clock::now() >= deadline) break;
      int n = SSL_read(s_.ssl.get(), scratch, sizeof scratch);
      if (n > 0) continue;
      int code = SSL_get_error(s_.ssl.get(), n);
      if (code != SSL_ERROR_WANT_READ && code != SSL_ERROR_WANT_WRITE) break;
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                      deadline - std::chrono::steady_clock::now()).count();
      if (left <= 0 || !platform::WaitReady(s_.socket, code == SSL_ERROR_WANT_WRITE, static_cast<int>(left)))
        break;
    }
    ERR_clear_error();
  }

  std::string Peer() const override { return s_.peer; }
  // A client certificate got through the handshake only if it was trusted
  // (and carried PeerCN when that is set); a dialled sender always has one.
  bool Certified() const override { return SSL_get0_peer_certificate(s_.ssl.get()) != nullptr; }

 private:
  static bool Cut() { return StreamsCut(); }

  // One SSL_read's worth; without wait, Data with 0 bytes when nothing is
  // there yet.
  Result ReadOnce(char* buf, std::size_t cap, bool wait) {
    SSL* ssl = s_.ssl.get();
    // Explicit waits on a non-blocking socket: a sender that goes silent is
    // cut after the idle time, and a stop's shutdown ends the wait on every
    // platform.
    const auto idle_by = Clock::now() + std::chrono::seconds(idle_seconds_);
    const bool header = !header_done_ && header_by_ < idle_by;
    const auto deadline = header ? header_by_ : idle_by;
    int n, code;
    for (;;) {
      n = SSL_read(ssl, buf, static_cast<int>(std::min<std::size_t>(cap, INT_MAX)));
      if (n > 0) return {Status::Data, static_cast<std::size_t>(n), 0};
      code = SSL_get_error(ssl, n);
      if (code != SSL_ERROR_WANT_READ && code != SSL_ERROR_WANT_WRITE) break;
      if (!wait) {
        ERR_clear_error();
        return {Status::Data, 0, 0};
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            deadline - std::chrono::steady_clock::now()).count();
      if (left <= 0) {
        SvcReportEvent(header ? "the stream from " + s_.peer + " did not send its whole header within " +
                                    std::to_string(header_seconds_) + " s (HeaderTimeout) and is cut"
                              : "the stream from " + s_.peer + " sent nothing for " +
                                    std::to_string(idle_seconds_) + " s and is cut",
                       EventType::Error);
        return {Status::Error, 0, code};
      }
      if (!platform::WaitReady(s_.socket, code == SSL_ERROR_WANT_WRITE,
                               static_cast<int>(std::min<long long>(left, 1000))) &&
          StopRequested && Cut())
        return {Status::Error, 0, SSL_ERROR_SYSCALL};
    }
    const unsigned long err = ERR_peek_error();
    ERR_clear_error();
    // The end of file that a stop's cut makes is no end the sender chose:
    // the stream was cut, and its save must stay pending.
    if (Cut() && !(code == SSL_ERROR_ZERO_RETURN && PeerClosedProperly(s_)))
      return {Status::Error, 0, SSL_ERROR_SYSCALL};
    if (code == SSL_ERROR_ZERO_RETURN)
      return {PeerClosedProperly(s_) ? Status::CloseNotify : Status::TcpClose, 0, 0};
    if (code == SSL_ERROR_SYSCALL && err == 0 && n == 0) return {Status::TcpClose, 0, 0};
    return {Status::Error, 0, code};
  }

  TlsSession& s_;
  int idle_seconds_;
  Clock::time_point header_by_;
  int header_seconds_;
  bool header_done_ = false;
  std::optional<Result> held_;
};

// Why a connection may not stream, said once per refusal.
void ReportRefusal(StreamSlots::Verdict v, const std::string& peer, std::size_t max) {
  switch (v) {
    case StreamSlots::Verdict::Full:
      SvcReportEvent("a connection from " + peer + " is refused: " + std::to_string(max) +
                         " streams are being stored (MaxStreams)",
                     EventType::Information);
      break;
    case StreamSlots::Verdict::Anonymous:
      SvcReportEvent("a connection from " + peer + " without a certificate is refused: clients without one "
                         "hold half of the " + std::to_string(max) + " places (MaxStreams) already",
                     EventType::Information);
      break;
    default:
      break;
  }
}

class Receiver {
 public:
  explicit Receiver(const std::filesystem::path& root) : root_(root) {
    options_.require_close_notify = g_settings.require_close_notify;
    options_.min_rate = g_settings.min_rate;
    options_.pause = [](std::chrono::milliseconds d) { return slots->WaitCut(d); };
    if (g_settings.TakesForwardedSaves()) options_.date_name_suffix = "." + CertificateName(InboundContext.get());
    if (g_settings.ForwardingConfigured()) options_.hooks = &hooks_;
  }
  void Run() { g_settings.InboundDials() ? DialLoop() : ListenLoop(); }
  // After the stop: every stream thread has ended.
  void Join() {
    for (std::thread& t : threads_) t.join();
    threads_.clear();
  }

 private:
  void DialLoop();
  void ListenLoop();
  void ServeAccepted(platform::Socket socket, std::string ip, StreamSlots::Id id);
  // Stores the session's stream under the place held; the place is given
  // back before the socket closes.
  SessionOutcome Serve(TlsSessionPtr session, SlotHold& hold, Clock::time_point handshake_done);

  std::filesystem::path root_;
  const CompletionHooks hooks_{CreateForwardRecord, ForwardHandOff};
  SaveSessionOptions options_;
  std::list<std::thread> threads_;
  std::mutex finished_mutex_;
  std::vector<std::thread::id> finished_;
};

SessionOutcome Receiver::Serve(TlsSessionPtr session, SlotHold& hold, Clock::time_point handshake_done) {
  const bool certified = SSL_get0_peer_certificate(session->ssl.get()) != nullptr;
  const StreamSlots::Verdict v = slots->Begin(hold.Id(), certified);
  SessionOutcome outcome = SessionOutcome::Refused;
  if (v == StreamSlots::Verdict::Stream) {
    TlsStreamSource source(*session, g_settings.idle_timeout_s,
                           handshake_done + std::chrono::seconds(g_settings.header_timeout_s),
                           g_settings.header_timeout_s);
    SaveSessionOptions options = options_;
    const StreamSlots::Id id = hold.Id();
    options.stored_first_byte = [id] { slots->Stored(id); };
    outcome = SaveSession(source, root_, options);
    platform::SetNonBlocking(session->socket, false);
  } else {
    ReportRefusal(v, session->peer, static_cast<std::size_t>(std::max(1, g_settings.max_streams)));
  }
  // A close_notify only for a stream that is stored.
  if (Confirms(outcome)) CloseNotify(*session);
  hold.Release();
  session.reset();
  return outcome;
}

// Listen role: each accepted connection is served on a thread of its own.
void Receiver::ListenLoop() {
  FailureLog accept_failures("accepting connections on port " + g_settings.port);
  Backoff backoff(100, 5000);
  while (!StopRequested) {
    std::string ip;
    platform::Socket socket = platform::Accept(InboundSocket, ip);
    if (StopRequested) break;
    if (!socket.Valid()) {
      // Out of descriptors, say: said once, and a growing pause lets the
      // streams end instead of a loop that spins on the same failure.
      const int e = platform::LastSocketError();
      accept_failures.Failed("accept failed with " + std::to_string(e) + ": " + platform::SocketErrorText(e));
      StopEvent.WaitFor(backoff.Next());
      continue;
    }
    accept_failures.Succeeded();
    backoff.Reset();
    // Threads that ended are joined here, so they never pile up.
    {
      std::lock_guard lock(finished_mutex_);
      for (std::thread::id id : finished_) {
        auto t = std::find_if(threads_.begin(), threads_.end(), [id](std::thread& t) { return t.get_id() == id; });
        if (t != threads_.end()) {
          t->join();
          threads_.erase(t);
        }
      }
      finished_.clear();
    }
    std::optional<StreamSlots::Id> id = slots->Accept(socket.Native());
    if (!id) break;  // cut by the stop
    try {
      threads_.emplace_back(&Receiver::ServeAccepted, this, std::move(socket), ip, *id);
    } catch (const std::system_error& e) {
      ReportFailure("_beginthread(SaveSession)", e.code().value());
      slots->Release(*id);  // before the socket closes with this scope
    }
  }
}

void Receiver::ServeAccepted(platform::Socket socket, std::string ip, StreamSlots::Id id) {
  {
    SlotHold hold(*slots, id);
    // The socket is owned by the session from here; the hold is released
    // before the session closes it.
    bool reported = false;
    TlsSessionPtr session = ServerHandshake(std::move(socket), ip, InboundContext.get(), &reported);
    if (!session) {
      hold.Release();
      if (reported && !StopRequested) SvcReportEvent("Bogus connection", EventType::Information);
    } else {
      Serve(std::move(session), hold, Clock::now());
    }
  }
  std::lock_guard lock(finished_mutex_);
  finished_.push_back(std::this_thread::get_id());
}

// Dial role: one stream at a time, fetched from the configured sender.
void Receiver::DialLoop() {
  FailureLog dial_failures("fetching from " + g_settings.host + ":" + g_settings.port);
  Backoff backoff(std::max(1, g_settings.delay_before_retry), std::max(60000, g_settings.delay_before_retry));
  while (!StopRequested) {
    TlsSessionPtr session = OutboundConnection(g_settings.host, g_settings.peer_cn, InboundContext.get(),
                                               g_settings.port, /*quiet=*/true);
    // A handshake cut short by a stop carries no stream.
    if (session && session->handshake_failed) session.reset();
    if (!session) {
      // A sender that refuses the connection, or drops it before any
      // certificate was checked, has nothing to send: the usual idle
      // state, retried at the configured pace. A refused certificate (a
      // wrong one at either end) is trouble: said once, and retried less
      // and less often until it is mended.
      long pause = g_settings.delay_before_retry;
      if (LastDialRefused() && !StopRequested) {
        dial_failures.Failed(LastDialFailure());
        pause = backoff.Next();
      }
      StopEvent.WaitFor(pause);
      continue;
    }
    if (StopRequested) break;  // the stop's closure may have missed this stream
    std::optional<StreamSlots::Id> id = slots->Accept(session->socket.Native());
    if (!id) break;  // cut by the stop
    SessionOutcome outcome;
    {
      SlotHold hold(*slots, *id);
      outcome = Serve(std::move(session), hold, Clock::now());
    }
    if (Confirms(outcome)) {
      dial_failures.Succeeded();
      backoff.Reset();
    } else if (!StopRequested) {
      // With TLS 1.3 a sender that refuses our certificate says so only
      // after the handshake, at the first read: without a pause the next
      // dial would follow at once, for ever.
      dial_failures.Failed("the stream from the sender broke off or was refused");
      StopEvent.WaitFor(backoff.Next());
    }
  }
}

}  // namespace

void CutInboundStreams(int grace_ms) {
  if (slots) slots->CutAll(std::chrono::milliseconds(grace_ms));
}

void ReceiverWorker(int /*argc*/, char** /*argv*/) {
  InitTlsLibrary();
  if (int r = platform::StartSockets(); r != 0)
    FailFatally("WSAStartup failed: " + std::to_string(r) + "\n", "WSAStartup", r);

  // The current directory is the executable's: settings and the start-up
  // PEM files are read from there.
  IniFile ini = IniFile::Load("settings.ini");
  ReadWorkerSettings(ini, g_settings);

  // What "tarnwick check" would find, said before anything is built: a
  // relay that cannot work refuses to start, before it reports RUNNING. The
  // steps below still fail with their own entries where they would.
  CheckOptions check;
  check.config_dir = ConfigDirectory();
  check.pems_in_backup_root = g_settings.config_dir.empty();
  const std::vector<Finding> findings = StartupFindings(check);
  for (const Finding& f : findings)
    if (f.severity != Finding::Severity::Note)
      SvcReportEvent(f.text, f.severity == Finding::Severity::Error ? EventType::Error : EventType::Warning);

  ReadForwardSettings(ini);
  ReadThrottleSettings(ini);

  if (g_settings.InboundDials())
    InboundContext = TlsContextFactory(g_settings.peer_cn, /*client_role=*/true,
                                       /*forward_hop=*/false, "");
  else
    InboundContext = ListeningEndpoint(InboundSocket, g_settings.peer_cn, g_settings.port,
                                       /*forward_hop=*/false, "", g_settings.require_client_cert);

  slots = std::make_unique<StreamSlots>(static_cast<std::size_t>(std::max(1, g_settings.max_streams)));

  if (!platform::ChangeDirectory(g_settings.backup_dir)) {
    int e = errno;
    FailFatally("", "chdir(startup_directory)", e,
                "cannot use the backup root " + g_settings.backup_dir + " ([Backup] Dir in " +
                    (std::filesystem::path(check.config_dir) / "settings.ini").string() +
                    "): " + platform::ErrorText(e));
  }
  std::error_code ec;
  const std::filesystem::path backup_root = std::filesystem::current_path(ec);
  // Held while the relay runs: a second relay on the same root would
  // interleave writes to the same saves, and "tarnwick check" learns from
  // it that the ports are this relay's.
  static platform::FileLock root_lock;
  root_lock = platform::TryLockFile((backup_root / kRelayLockFile).string());
  if (!root_lock.Held()) {
    const int e = root_lock.Error();
    FailFatally("", "lock(relay.lock)", e,
                root_lock.Busy() ? "another relay is running on the backup root " + backup_root.string() +
                                       " (" + kRelayLockFile + " is locked)"
                                 : "cannot lock " + (backup_root / kRelayLockFile).string() + ": " +
                                       platform::ErrorText(e));
  }

  if (HasErrors(findings)) {
    std::size_t n = std::count_if(findings.begin(), findings.end(),
                                  [](const Finding& f) { return f.severity == Finding::Severity::Error; });
    FailFatally("", "start-up check", static_cast<long long>(n),
                "the relay does not start: the configuration has " + std::to_string(n) +
                    " error(s), listed above; \"tarnwick check\" shows them too");
  }
  // Temporary files of writes a crash cut short.
  EmptyTemporaryDirectory(backup_root);
  // Forwarding resumes only in a relay that will run.
  if (g_settings.ForwardingConfigured()) ReplayForwardQueue(backup_root);

  // Only now: the files, ports and root are known to be good, and systemd
  // takes READY=1 to mean so.
  ReportSvcStatus(ServiceState::Running, 0, 0);

  Receiver receiver(backup_root);
  receiver.Run();

  WorkerDone.Wait();
  receiver.Join();
  ForwardCleanup();
  InboundSocket.Close();
  ReportSvcStatus(ServiceState::Stopped, 0, 0);
}

}  // namespace tarnwick
