#include <cerrno>
#include <cstdio>

#include "channel/tls.h"
#include "forwarding/forwarding.h"
#include "platform/platform.h"
#include "reception/reception.h"
#include "service/event_log.h"
#include "service/service.h"
#include "settings/settings.h"
#include "throttle/throttle.h"

namespace tarnwick {

std::mutex WorkerLock;
platform::Socket InboundSocket;
SslCtxPtr InboundContext;

namespace {

void ReceiveLoop(const std::filesystem::path& backup_root) {
  const bool dials = g_settings.InboundDials();
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
        StopEvent.WaitFor(g_settings.delay_before_retry);
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
    if (SaveSession(*session, backup_root))
      EndSession(std::move(session));
    else
      AbortSession(std::move(session));
  }
}

}  // namespace

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
