#include "forwarding/forwarding.h"
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
  while (!StopRequested) {
    TlsSessionPtr session = AcceptTlsClient(ClosureSocket, ClosureContext.get());
    if (!session) continue;
    // A completed handshake is the whole message.
    EndSession(std::move(session));
    if (Transmitting) CloseRequested = true;
  }
  std::lock_guard lock(ClosureLock);
  ClosureSocket.Close();
}

}  // namespace tarnwick
