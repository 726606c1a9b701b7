#include "forwarding/forwarding.h"
#include "service/retry.h"
#include "service/service.h"
#include "settings/settings.h"

namespace tarnwick {

namespace {
// Guards ClosureSocket between the listener and the stop handler.
std::mutex ClosureLock;
platform::Socket ClosureSocket;
SslCtxPtr ClosureContext;
}  // namespace

void UnblockClosureListener() {
  std::lock_guard lock(ClosureLock);
  ClosureSocket.Shutdown();
}

void OpenClosureListener() {
  std::lock_guard lock(ClosureLock);
  ClosureContext = ListeningEndpoint(ClosureSocket, g_settings.forward_peer_cn, g_settings.closure_port,
                                     /*forward_hop=*/true, ForwardPemDirectory(), /*require_cert=*/true);
}

void ClosureListener() {
  FailureLog failures("accepting closures on port " + g_settings.closure_port);
  Backoff backoff(100, 5000);
  while (!StopRequested) {
    int accept_error = 0;
    TlsSessionPtr session = AcceptTlsClient(ClosureSocket, ClosureContext.get(), &accept_error);
    if (accept_error != 0 && !StopRequested) {
      // Out of descriptors, say: said once, and paused rather than spun.
      failures.Failed("accept failed with " + std::to_string(accept_error) + ": " +
                      platform::SocketErrorText(accept_error));
      StopEvent.WaitFor(backoff.Next());
      continue;
    }
    if (!session) continue;
    failures.Succeeded();
    backoff.Reset();
    // A completed handshake is the whole message.
    EndSession(std::move(session));
    ++ClosuresReceived;
  }
  std::lock_guard lock(ClosureLock);
  ClosureSocket.Close();
}

}  // namespace tarnwick
