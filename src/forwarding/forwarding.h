// Forwarding: passes complete saves to the next machine of the chain, one
// transmission at a time, in the order they were handed off, resuming where
// an interrupted one stopped. Each save to forward has a durable record,
// forwards/<repo>/<save>, holding the offset to resume at; the record is
// made before the save is confirmed upstream and removed only when the next
// relay has confirmed the whole save.
#pragma once

#include <atomic>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <string>

#include "channel/tls.h"
#include "forwarding/forward_queue.h"
#include "platform/platform.h"
#include "service/service.h"

namespace tarnwick {

class IniFile;

void ReadForwardSettings(const IniFile& ini);
// At start: hands off every save listed in toforward, then every save that
// still has a record, oldest first; starts the transmitter and, in the
// listen role, the closure listener.
void ReplayForwardQueue(const std::filesystem::path& backup_root);
// Where the contexts built after start-up (forward listen mode, the closure
// listener) read cert.pem, key.pem and forwardcert.pem: the configuration
// directory given with --dir, else the backup root.
std::string ForwardPemDirectory();
// Creates and syncs forwards/<repo>/<save> for a save that just completed,
// before the save is confirmed: from then on a crash cannot lose the fact
// that it must be forwarded. False (reported) when it could not.
bool CreateForwardRecord(const std::string& repo, const std::string& save);
// Queues one complete save for the transmitter. It holds no file, thread or
// buffer while it waits.
void ForwardHandOff(const std::string& repo, const std::string& save);
// At the end of a stop: waits for the transmitter and the closure listener,
// then writes toforward with what is still queued.
void ForwardCleanup();
// Stop handler's part: makes a forward-side accept and the closure
// listener's accept return.
void ForwardUnblockForStop();

// Shared between the transmitter, the closure listener and the stop handler.
extern std::mutex ForwardConnectionLock;  // guards ForwardSocket
extern platform::Socket ForwardSocket;    // listen mode's listening socket
extern SslCtxPtr ForwardContext;          // made at start-up, for either mode
// Closures received so far: a transmission notes the count before it
// connects, and any closure after that (and only those) ends it.
extern std::atomic<unsigned long> ClosuresReceived;
extern std::filesystem::path ForwardRoot;  // backup root, for PEM files read after start-up

// The transmitter: takes queued saves one at a time until the stop.
void XmitThread();
// Accepts closure connections on the socket and context made at start.
void ClosureListener();
// Opens the closure port and builds its context (a start-up step).
void OpenClosureListener();
// Makes the closure listener's accept return (at a stop).
void UnblockClosureListener();

// The transmitter's side of the queue (hand_off.cpp).
// Blocks until a save is queued or a stop is requested; false at a stop.
bool NextToForward(QueueEntry& entry);
// The save taken by NextToForward is done with: delivered, set aside or gone.
void ForwardDone(const QueueEntry& entry);
// The save taken failed for a reason of its own: it goes behind the others
// and is not tried again before retry_at.
void ForwardLater(const QueueEntry& entry, std::chrono::steady_clock::time_point retry_at);
// True when no save waits for the transmitter.
bool NothingToForward();
// Wakes the transmitter when a stop is requested.
void WakeTransmitter();

}  // namespace tarnwick
