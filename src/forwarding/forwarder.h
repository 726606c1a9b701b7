// The forwarder: passes complete saves to the next relay of the chain, one
// transmission at a time, in the order they were completed, resuming where
// an interrupted one stopped. Each save to forward has a durable record,
// forwards/<repo>/<save>, holding the offset to resume at; the record is
// made before the save is confirmed upstream and removed only when the next
// relay has confirmed the whole save.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>

#include "base/event_log.h"
#include "base/relay_counters.h"
#include "base/retry.h"
#include "base/stop_token.h"
#include "channel/tls.h"
#include "forwarding/waiting_saves.h"
#include "layout/backup_root.h"
#include "settings/settings.h"

namespace tarnwick {

class TransmitterStateRecorder;

class Forwarder {
 public:
  using Clock = std::chrono::steady_clock;

  // What it needs from its owner; the references outlive it.
  struct Parts {
    std::shared_ptr<const Settings> settings;
    const BackupRoot* root = nullptr;
    EventLog* log = nullptr;
    const StopToken* stop = nullptr;
    RelayCounters* counters = nullptr;  // none: nothing is counted
  };

  // Builds the forward context (dial or listen mode), binds the forward
  // port in listen mode and, when the inbound side listens, the closure
  // port: start-up steps.
  static Status Open(Parts parts, std::unique_ptr<Forwarder>& out);
  ~Forwarder();

  // Hands off every save toforward lists, then every save that still has a
  // record, oldest first; starts the transmitter and the closure listener.
  Status Start();
  // For the inbound side: the record of a save that just completed, made
  // and synced before the save is confirmed upstream.
  Status CreateRecord(const std::string& repo, const std::string& save);
  // For the inbound side: queues a complete save. It holds no file, thread
  // or buffer while it waits.
  void HandOff(const std::string& repo, const std::string& save);
  // For the inbound side: queues a save confirmed again, when its record
  // says it still waits (and it is not queued already).
  void Resume(const std::string& repo, const std::string& save);
  // After the stop: waits for the transmitter and the closure listener,
  // then writes toforward with what is still queued.
  void Finish();
  // A reload: the forward hop's contexts are built from next (nothing
  // changes when that fails), then next and they are what every later
  // attempt and closure handshake uses. A transmission under way finishes
  // as it began. The mode and the ports stay as they started.
  Status Reload(std::shared_ptr<const Settings> next);
  // The settings attempts use now.
  std::shared_ptr<const Settings> Current() const {
    std::lock_guard lock(config_mutex_);
    return current_;
  }
  // Forgets a save an operator removes (see WaitingSaves::Remove).
  WaitingSaves::Removal Forget(const QueueEntry& e) {
    std::lock_guard lock(queue_mutex_);
    const WaitingSaves::Removal r = waiting_.Remove(e);
    if (r == WaitingSaves::Removal::Removed) unrecorded_.erase(e.repo + '\t' + e.save);
    return r;
  }
  // Ends every back-off: the saves waiting for their retry time and the
  // hop itself are tried at once. The number of saves that wait.
  std::size_t RetryNow();
  // Writes the summaries of failed handshakes whose minute has passed,
  // and (listen mode) reports a next relay that has stopped fetching.
  void FlushReports() {
    handshake_failures_.Flush();
    CheckFetches(std::chrono::steady_clock::now());
  }

 private:
  friend class Transmission;
  explicit Forwarder(Parts parts);

  // A save a record or a queue line names, checked before it is handed off.
  bool Forwardable(const QueueEntry& e, bool from_queue_line);
  // False when toforward must stay as it is (unreadable, or a line that
  // could not get a record).
  bool ReplayQueueFile();
  // False when a folder of records could not be read (a passing fault).
  bool RecoverRecords();
  // quiet: a save queued already is no news.
  void Queue(const QueueEntry& e, bool quiet = false);
  // Blocks until a save may be tried, or the stop (false).
  bool Next(QueueEntry& entry);
  void Done(const QueueEntry& entry);
  void Later(const QueueEntry& entry, std::chrono::steady_clock::time_point retry_at);
  bool Idle();
  void Transmitter();
  void ClosureListener();
  // The session of one attempt: dialled, or accepted from the next relay
  // (listen mode). Null with why, or with stopped set.
  TlsSessionPtr Connect(bool failing, std::string& why, bool& stopped);
  void CloseForwardSocket();
  // Listen mode: the wait for the next relay to dial in starts (or goes
  // on), ends with its dial-in, or ends because nothing waits any more.
  void FetchWaitStarts();
  void Fetched();
  void FetchWaitEnds();
  // An error entry once saves have waited kFetchOverdue for a dial-in.
  void CheckFetches(std::chrono::steady_clock::time_point now);

  // Both contexts as settings s asks for them.
  static Status BuildContexts(const Settings& s, SslCtxPtr& forward, SslCtxPtr& closure);
  // Waits for d, the stop (true) or a RetryNow.
  bool Pause(Clock::duration d);

  Parts p_;
  // As the relay started: the mode and the ports, which only a restart changes.
  const Settings& s_;
  mutable std::mutex config_mutex_;
  std::shared_ptr<const Settings> current_;  // guarded by config_mutex_
  SharedContext context_;          // the forward hop's, for either mode
  SharedContext closure_context_;  // the closure listener's
  platform::Socket closure_socket_;
  StopToken::Hook unblock_closure_;

  std::mutex socket_mutex_;         // guards forward_socket_ against the stop's hook
  platform::Socket forward_socket_;  // listen mode: open while saves wait
  StopToken::Hook unblock_forward_;

  std::mutex queue_mutex_;
  std::condition_variable queue_changed_;
  WaitingSaves waiting_;          // guarded by queue_mutex_
  bool recovery_pending_ = false;  // guarded by queue_mutex_
  // Saves queued from toforward whose record could not be written: their
  // missing record is not an operator's "give up". Guarded by queue_mutex_.
  std::set<std::string> unrecorded_;
  bool Unrecorded(const QueueEntry& e) {
    std::lock_guard lock(queue_mutex_);
    return unrecorded_.count(e.repo + '\t' + e.save) != 0;
  }
  void Recorded(const QueueEntry& e) {
    std::lock_guard lock(queue_mutex_);
    unrecorded_.erase(e.repo + '\t' + e.save);
  }
  // toforward could not be read or named saves without a record: it is
  // not replaced at the stop, only added to.
  bool keep_queue_file_ = false;
  StopToken::Hook wake_queue_;
  // Counts RetryNow calls: the transmitter's pauses end when it moves, and
  // its back-offs start over. Guarded by queue_mutex_.
  unsigned long retries_ = 0;

  // Closures received so far: a transmission notes the count before it
  // connects, and any closure after that (and only those) ends it.
  std::atomic<unsigned long> closures_{0};
  FailureRateLimit handshake_failures_;
  // Listen mode: since when saves wait for a dial-in, and whether that was
  // reported; the transmitter sets them, the reporting thread reads them.
  std::mutex fetch_mutex_;
  std::optional<std::chrono::steady_clock::time_point> fetch_wait_since_;
  bool fetch_overdue_ = false;
  // The transmitter thread's own view for `tarnwick status`: only that
  // thread uses it.
  TransmitterStateRecorder* state_ = nullptr;
  std::thread transmitter_, closure_thread_;
};

}  // namespace tarnwick
