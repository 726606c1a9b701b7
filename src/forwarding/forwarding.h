// Forwarding: passes complete saves to the next machine of the chain, one
// transmission at a time, resuming where an interrupted one stopped.
#pragma once

#include <atomic>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>

#include "channel/tls.h"
#include "forwarding/forward_queue.h"
#include "platform/platform.h"
#include "service/service.h"

namespace tarnwick {

class IniFile;

void ReadForwardSettings(const IniFile& ini);
// Hands every save listed in toforward to forwarding again, empties the
// file, and starts the closure listener in the listen role.
void ReplayForwardQueue(const std::filesystem::path& backup_root);
// Creates and syncs forwards/<repo>/<save> for a save that just completed,
// before the save is confirmed: from then on a crash cannot lose the fact
// that it must be forwarded. False (reported) when it could not.
bool CreateForwardRecord(const std::string& repo, const std::string& save);
// Prepares one complete save for forwarding and starts its XmitThread.
void ForwardHandOff(const std::string& repo, const std::string& save);
// At the end of a stop: waits for every transmit thread and the closure
// listener, then closes the queue.
void ForwardCleanup();
// Stop handler's part: makes a forward-side accept and the closure
// listener's accept return.
void ForwardUnblockForStop();

// Shared between the transmit threads, the closure listener and the stop
// handler.
extern std::mutex ForwardConnectionLock;  // guards ForwardSocket
extern std::mutex XmitChainLock;          // guards XmitChain
extern platform::Socket ForwardSocket;    // listen mode's listening socket
extern SslCtxPtr ForwardContext;          // dial mode; made at start-up
// Completion event of the most recently registered transmission. Shared
// ownership keeps it valid until its successor has waited on it.
extern std::shared_ptr<ManualEvent> XmitChain;
extern std::atomic<bool> CloseRequested;
extern ForwardQueueWriter ForwardQueue;
extern std::filesystem::path ForwardRoot;  // backup root, for PEM files read after start-up

struct XmitRequest {
  std::string repo;
  std::string save;
  std::filesystem::path progress_path;
  std::FILE* save_file = nullptr;  // ownership passes to the thread
  // Registered in hand-off order: the thread waits for predecessor, and
  // signals done when it ends.
  std::shared_ptr<ManualEvent> predecessor;
  std::shared_ptr<ManualEvent> done;
};

void XmitThread(XmitRequest request);
void ClosureListener();
// Makes the closure listener's accept return (at a stop).
void UnblockClosureListener();

// Bookkeeping of transmit threads, so that ForwardCleanup can wait for all
// of them and a save is never transmitted twice at once.
bool RegisterTransmission(const std::string& repo, const std::string& save);
void TransmissionEnded(const std::string& repo, const std::string& save);

}  // namespace tarnwick
