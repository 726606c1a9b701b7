#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <list>
#include <optional>
#include <thread>

#include <openssl/err.h>

#include "channel/tls.h"
#include "forwarding/forwarding.h"
#include "platform/file_system.h"
#include "platform/platform.h"
#include "reception/reception.h"
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

// Every inbound connection being served, so that the acceptor can bound
// them and a stop can cut them.
struct Connection {
  platform::NativeSocket socket;
  Clock::time_point since;
  bool handshaking = true;
};
std::mutex conn_mutex;
std::condition_variable conn_changed;
std::list<Connection> connections;
bool streams_cut = false;

bool StreamsCut() {
  std::lock_guard lock(conn_mutex);
  return streams_cut;
}

// One connection's place among them for its lifetime.
class Slot {
 public:
  explicit Slot(std::list<Connection>::iterator it) : it_(it) {}
  ~Slot() {
    std::lock_guard lock(conn_mutex);
    connections.erase(it_);
    conn_changed.notify_all();
  }
  // False when a stop has cut the streams: the stream must not start.
  bool Streaming() {
    std::lock_guard lock(conn_mutex);
    it_->handshaking = false;
    return !streams_cut;
  }
  Slot(const Slot&) = delete;
  Slot& operator=(const Slot&) = delete;

 private:
  std::list<Connection>::iterator it_;
};

// Takes a place for a new connection. When every place is taken, the oldest
// unfinished handshake is dropped for the newcomer (a client that connects
// and stays silent must not keep senders out); when all are streams, the
// newcomer is refused.
std::optional<std::list<Connection>::iterator> Admit(const platform::Socket& s, std::size_t max) {
  std::lock_guard lock(conn_mutex);
  if (streams_cut) return std::nullopt;
  if (connections.size() >= max) {
    auto oldest = std::find_if(connections.begin(), connections.end(),
                               [](const Connection& c) { return c.handshaking; });
    if (oldest == connections.end()) return std::nullopt;
    platform::Socket::ShutdownNative(oldest->socket);
    oldest->handshaking = false;  // on its way out: not dropped twice
  }
  connections.push_back({s.Native(), Clock::now(), true});
  return std::prev(connections.end());
}

// A stream read from a TLS session.
class TlsStreamSource final : public StreamSource {
 public:
  TlsStreamSource(TlsSession& s, int idle_seconds) : s_(s), idle_seconds_(idle_seconds) {
    platform::SetNonBlocking(s_.socket, true);
  }

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
    // Explicit waits: the deadline holds whatever the sender does.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    char scratch[16384];
    for (;;) {
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
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(idle_seconds_);
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
        SvcReportEvent("the stream from " + s_.peer + " sent nothing for " + std::to_string(idle_seconds_) +
                           " s and is cut",
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
  std::optional<Result> held_;
};

// Stores one stream and answers the sender: a close_notify only for a
// stream that is stored.
SessionOutcome Serve(TlsSession& session, Slot& slot, const std::filesystem::path& root,
                     const SaveSessionOptions& options) {
  if (!slot.Streaming()) return SessionOutcome::Refused;
  TlsStreamSource source(session, g_settings.idle_timeout_s);
  const SessionOutcome outcome = SaveSession(source, root, options);
  platform::SetNonBlocking(session.socket, false);
  return outcome;
}

void End(TlsSessionPtr session, SessionOutcome outcome) {
  if (Confirms(outcome))
    EndSession(std::move(session));
  else
    AbortSession(std::move(session));
}

class Receiver {
 public:
  explicit Receiver(const std::filesystem::path& root) : root_(root) {
    options_.require_close_notify = g_settings.require_close_notify;
    options_.min_rate = g_settings.min_rate;
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
  void ServeAccepted(platform::Socket socket, std::string ip, std::list<Connection>::iterator it);

  std::filesystem::path root_;
  const CompletionHooks hooks_{CreateForwardRecord, ForwardHandOff};
  SaveSessionOptions options_;
  std::list<std::thread> threads_;
  std::mutex finished_mutex_;
  std::vector<std::thread::id> finished_;
};

// Listen role: each accepted connection is served on a thread of its own,
// at most MaxStreams at once.
void Receiver::ListenLoop() {
  const std::size_t max = static_cast<std::size_t>(std::max(1, g_settings.max_streams));
  while (!StopRequested) {
    std::string ip;
    platform::Socket socket = platform::Accept(InboundSocket, ip);
    if (StopRequested) break;
    if (!socket.Valid()) {
      ReportFailure("accept", platform::LastSocketError());
      // Out of descriptors, say: give the streams a moment to end.
      StopEvent.WaitFor(100);
      continue;
    }
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
    std::optional<std::list<Connection>::iterator> it = Admit(socket, max);
    if (!it) {
      SvcReportEvent("a connection from " + ip + " is refused: " + std::to_string(max) +
                         " streams are being stored (MaxStreams)",
                     EventType::Information);
      continue;
    }
    try {
      threads_.emplace_back(&Receiver::ServeAccepted, this, std::move(socket), ip, *it);
    } catch (const std::system_error& e) {
      ReportFailure("_beginthread(SaveSession)", e.code().value());
      std::lock_guard lock(conn_mutex);
      connections.erase(*it);
    }
  }
}

void Receiver::ServeAccepted(platform::Socket socket, std::string ip, std::list<Connection>::iterator it) {
  {
    Slot slot(it);
    TlsSessionPtr session = ServerHandshake(std::move(socket), ip, InboundContext.get());
    if (!session) {
      if (!StopRequested) SvcReportEvent("Bogus connection", EventType::Information);
    } else {
      const SessionOutcome outcome = Serve(*session, slot, root_, options_);
      End(std::move(session), outcome);
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
    std::optional<std::list<Connection>::iterator> it = Admit(session->socket, 1);
    if (!it) break;  // cut by the stop
    SessionOutcome outcome;
    {
      Slot slot(*it);
      outcome = Serve(*session, slot, root_, options_);
      End(std::move(session), outcome);
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
  std::unique_lock lock(conn_mutex);
  // Connections still in their handshake have no stream to finish.
  for (const Connection& c : connections)
    if (c.handshaking) platform::Socket::ShutdownNative(c.socket);
  conn_changed.wait_for(lock, std::chrono::milliseconds(grace_ms), [] { return connections.empty(); });
  streams_cut = true;
  for (const Connection& c : connections) platform::Socket::ShutdownNative(c.socket);
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
