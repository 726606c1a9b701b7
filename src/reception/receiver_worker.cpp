#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <set>

#include <openssl/err.h>

#include "channel/tls.h"
#include "forwarding/forwarding.h"
#include "platform/platform.h"
#include "reception/reception.h"
#include "reception/save_session.h"
#include "service/event_log.h"
#include "service/retry.h"
#include "service/service.h"
#include "settings/settings.h"
#include "throttle/throttle.h"

namespace tarnwick {

std::mutex WorkerLock;
platform::Socket InboundSocket;
SslCtxPtr InboundContext;

namespace {

// The sockets of the streams being stored, so that a stop can cut them.
std::mutex active_mutex;
std::condition_variable active_changed;
std::set<platform::NativeSocket> active;
bool streams_cut = false;

// Registers a stream for its lifetime; Admitted() is false once a stop has
// cut the streams, and the stream must then not start.
class ActiveStream {
 public:
  explicit ActiveStream(const platform::Socket& s) : s_(s.Native()) {
    std::lock_guard lock(active_mutex);
    admitted_ = !streams_cut;
    if (admitted_) active.insert(s_);
  }
  ~ActiveStream() {
    std::lock_guard lock(active_mutex);
    active.erase(s_);
    active_changed.notify_all();
  }
  bool Admitted() const { return admitted_; }

 private:
  platform::NativeSocket s_;
  bool admitted_ = false;
};

// A stream read from a TLS session.
class TlsStreamSource final : public StreamSource {
 public:
  TlsStreamSource(TlsSession& s, int idle_seconds) : s_(s), idle_seconds_(idle_seconds) {
    platform::SetNonBlocking(s_.socket, true);
  }

  Result Read(char* buf, std::size_t cap) override {
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
    if (code == SSL_ERROR_ZERO_RETURN)
      return {PeerClosedProperly(s_) ? Status::CloseNotify : Status::TcpClose, 0, 0};
    if (code == SSL_ERROR_SYSCALL && err == 0 && n == 0) return {Status::TcpClose, 0, 0};
    return {Status::Error, 0, code};
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

 private:
  // Whether a stop has cut the streams (their sockets are shut down).
  static bool Cut() {
    std::lock_guard lock(active_mutex);
    return streams_cut;
  }

  TlsSession& s_;
  int idle_seconds_;
};

void ReceiveLoop(const std::filesystem::path& backup_root) {
  const bool dials = g_settings.InboundDials();
  FailureLog dial_failures("fetching from " + g_settings.host + ":" + g_settings.port);
  Backoff backoff(std::max(1, g_settings.delay_before_retry), std::max(60000, g_settings.delay_before_retry));
  const CompletionHooks hooks{CreateForwardRecord, ForwardHandOff};
  SaveSessionOptions options;
  options.require_close_notify = g_settings.require_close_notify;
  if (g_settings.ForwardingConfigured()) options.hooks = &hooks;
  for (;;) {
    if (StopRequested) break;
    std::unique_lock lock(WorkerLock, std::defer_lock);
    TlsSessionPtr session;
    if (dials) {
      lock.lock();
      session = OutboundConnection(g_settings.host, g_settings.peer_cn, InboundContext.get(),
                                   g_settings.port, /*quiet=*/true);
      // A handshake cut short by a stop carries no stream.
      if (session && session->handshake_failed) session.reset();
      if (!session) {
        lock.unlock();
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
    } else {
      session = AcceptTlsClient(InboundSocket, InboundContext.get());
      if (StopRequested) break;  // a session that arrived with the stop is dropped unread
      if (!session) {
        SvcReportEvent("Bogus connection", EventType::Information);
        continue;
      }
      lock.lock();
    }
    // The close_notify tells the sender its stream is stored; a stream that
    // was refused or could not be stored is cut off without it.
    ActiveStream registered(session->socket);
    if (!registered.Admitted()) break;  // the stop came in between: dropped unread
    TlsStreamSource source(*session, g_settings.idle_timeout_s);
    const SessionOutcome outcome = SaveSession(source, backup_root, options);
    platform::SetNonBlocking(session->socket, false);
    if (Confirms(outcome))
      EndSession(std::move(session));
    else
      AbortSession(std::move(session));
    if (!dials) continue;
    lock.unlock();
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
  std::unique_lock lock(active_mutex);
  active_changed.wait_for(lock, std::chrono::milliseconds(grace_ms), [] { return active.empty(); });
  streams_cut = true;
  for (platform::NativeSocket s : active) platform::Socket::ShutdownNative(s);
}

void ReceiverWorker(int /*argc*/, char** /*argv*/) {
  InitTlsLibrary();
  if (int r = platform::StartSockets(); r != 0)
    FailFatally("WSAStartup failed: " + std::to_string(r) + "\n", "WSAStartup", r);

  // The current directory is the executable's: settings and the start-up
  // PEM files are read from there.
  IniFile ini = IniFile::Load("settings.ini");
  ReadWorkerSettings(ini, g_settings);
  ReadForwardSettings(ini);
  ReadThrottleSettings(ini);

  if (g_settings.InboundDials())
    InboundContext = TlsContextFactory(g_settings.peer_cn, /*client_role=*/true,
                                       /*forward_hop=*/false, "");
  else
    InboundContext = ListeningEndpoint(InboundSocket, g_settings.peer_cn, g_settings.port,
                                       /*forward_hop=*/false, "");

  ReportSvcStatus(ServiceState::Running, 0, 0);

  if (!platform::ChangeDirectory(g_settings.backup_dir)) {
    int e = errno;
    FailFatally("_chdir failed: " + std::to_string(e) + "\n", "chdir(startup_directory)", e);
  }
  std::error_code ec;
  const std::filesystem::path backup_root = std::filesystem::current_path(ec);

  if (g_settings.ForwardingConfigured()) ReplayForwardQueue(backup_root);

  ReceiveLoop(backup_root);

  WorkerDone.Wait();
  ForwardCleanup();
  InboundSocket.Close();
  ReportSvcStatus(ServiceState::Stopped, 0, 0);
}

}  // namespace tarnwick
