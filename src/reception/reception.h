// Reception: the worker that takes inbound streams and stores them as saves.
#pragma once

#include <filesystem>
#include <mutex>
#include <string>

#include "channel/tls.h"

namespace tarnwick {

inline constexpr const char* SAVES_DIR = "saves";

// Listen role: the listening socket. Owned by the worker, which closes it
// once its loop has ended.
extern platform::Socket InboundSocket;
// Made once at start-up; the stop handler dials with it in the dial role.
extern SslCtxPtr InboundContext;

void ReceiverWorker(int argc, char** argv);

// How long a stop lets the streams being stored go on before it cuts them.
inline constexpr int kStopGraceMs = 3000;
// The longest a stop's closure dial (dial role) may take, connect and
// handshake each.
inline constexpr int kStopClosureDialMs = 2000;
// Stop handler's part: waits up to grace_ms for the streams being stored to
// end, then cuts the rest; no stream starts after it.
void CutInboundStreams(int grace_ms);

}  // namespace tarnwick
