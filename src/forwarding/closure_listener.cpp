#include "forwarding/forwarding.h"
#include "service/service.h"
#include "settings/settings.h"

namespace tarnwick {

namespace {
// Guards ClosureSocket between the listener and the stop handler.
std::mutex ClosureLock;
platform::Socket ClosureSocket;
}  // namespace

void UnblockClosureListener() {
  std::lock_guard lock(ClosureLock);
  ClosureSocket.Shutdown();
}

void ClosureListener() {
  SslCtxPtr context;
  {
    std::lock_guard lock(ClosureLock);
    // Under the handler's lock: a stop either is seen here or finds the
    // socket in place to unblock.
    if (StopRequested) return;
    context = ListeningEndpoint(ClosureSocket, g_settings.forward_peer_cn, g_settings.closure_port,
                                /*forward_hop=*/true, ForwardRoot.string());
  }
  while (!StopRequested) {
    TlsSessionPtr session = AcceptTlsClient(ClosureSocket, context.get());
    if (!session) continue;
    // A completed handshake is the whole message.
    EndSession(std::move(session));
    if (Transmitting) CloseRequested = true;
  }
  std::lock_guard lock(ClosureLock);
  ClosureSocket.Close();
}

}  // namespace tarnwick
