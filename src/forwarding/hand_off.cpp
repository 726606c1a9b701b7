// The forward queue: saves handed off and waiting for the transmitter, in
// hand-off order, as names only; their durable state is their records.
#include <algorithm>
#include <climits>
#include <cstdint>
#include <cerrno>
#include <condition_variable>
#include <deque>
#include <optional>
#include <set>
#include <sstream>
#include <system_error>
#include <thread>
#include <vector>

#include "forwarding/forwarding.h"
#include "forwarding/waiting_saves.h"
#include "platform/file_system.h"
#include "service/retry.h"
#include "reception/reception.h"
#include "reception/save_session.h"
#include "reception/stream_header.h"
#include "service/event_log.h"
#include "settings/settings.h"

namespace tarnwick {

namespace fs = std::filesystem;

std::mutex ForwardConnectionLock;
platform::Socket ForwardSocket;
SslCtxPtr ForwardContext;
std::atomic<unsigned long> ClosuresReceived{0};
fs::path ForwardRoot;

namespace {

std::mutex queue_mutex;
std::condition_variable queue_changed;
WaitingSaves waiting;  // guarded by queue_mutex
// Records under forwards/ not yet read back: set when a walk at start-up
// met a directory it could not read (a passing fault); the transmitter
// walks again until one succeeds.
bool recovery_pending = false;

std::thread transmitter, closure_thread;

std::string Describe(const QueueEntry& e) { return e.repo + "/" + e.save; }

void HandOff(const QueueEntry& e) {
  std::lock_guard lock(queue_mutex);
  if (!waiting.Add(e)) {
    SvcReportEvent("already being forwarded, not handed off again: " + Describe(e), EventType::Information);
    return;
  }
  queue_changed.notify_all();
}

// A save a record or a queue line names, checked before it is handed off:
// there and complete. A record is removed only when its save is gone for
// certain: a save that cannot be looked at now (a permission, an I/O error)
// is handed off all the same, and the transmitter retries it until it can.
bool Forwardable(const QueueEntry& e, bool from_queue_line) {
  const fs::path save = ForwardRoot / SAVES_DIR / e.repo / e.save;
  platform::FileInfo info;
  const int e_save = platform::Fs().Stat(save, info);
  if (e_save == 0) {
    bool pending = false;
    const int e_marker = platform::Exists(save.string() + std::string(kPendingSuffix), pending);
    // Handed off again when a stream completes it.
    return e_marker != 0 || !pending;
  }
  if (!platform::IsNotFound(e_save)) return true;
  bool repo_there = false;
  if (platform::Exists(save.parent_path(), repo_there) != 0) return true;
  ReportFailure(repo_there ? "fopen(save_name, \"rb\")" : "chdir(repo_name2)", e_save);
  bool recorded = false;
  if (platform::Exists(RecordPath(ForwardRoot, e), recorded) != 0) return false;
  if (recorded) {
    SvcReportEvent("the save " + Describe(e) + " is gone; its forwarding record is removed", EventType::Error);
    RemoveRecord(ForwardRoot, e);
  } else if (from_queue_line) {
    SvcReportEvent("toforward names " + Describe(e) + ", which is gone; skipped", EventType::Error);
  }
  return false;
}

std::vector<std::string> ReadQueueFile(const fs::path& file) {
  std::string text;
  int err = platform::ReadSmallFile(file, text, std::size_t(1) << 30);
  if (err != 0 && !platform::IsNotFound(err)) ReportFailure("fopen(TOFORWARD, \"a+\")", err);
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// toforward as a relay without records reads it: every save still to send.
void WriteQueueFile() {
  std::string text;
  {
    std::lock_guard lock(queue_mutex);
    for (const QueueEntry& e : waiting.Snapshot()) text += FormatQueueLine(e);
  }
  if (int err = platform::WriteFileAtomically(ForwardRoot / TOFORWARD, text, ForwardRoot / TEMP_DIR))
    ReportFailure("fopen(TOFORWARD, \"w+\")", err);
}

// Every record under forwards/ whose save was not handed off yet, oldest
// save first: records outlive crashes, toforward does not. False when a
// directory could not be read; what could be read is handed off.
bool RecoverRecords() {
  struct Found {
    std::int64_t when;
    QueueEntry entry;
  };
  std::vector<Found> found;
  platform::FileSystem& f = platform::Fs();
  bool whole = true;
  auto unreadable = [&](const fs::path& dir, int e) {
    if (platform::IsNotFound(e)) return;  // gone meanwhile: nothing to recover
    ReportFailure("opendir(" + dir.string() + ")", e);
    whole = false;
  };
  const fs::path forwards = ForwardRoot / FRWD_DIR;
  std::vector<std::string> repos;
  if (int e = f.List(forwards, repos)) {
    unreadable(forwards, e);
    return whole;
  }
  for (const std::string& repo : repos) {
    if (!IsSafeName(repo)) continue;
    std::vector<std::string> saves;
    if (int e = f.List(forwards / repo, saves)) {
      if (e != ENOTDIR) unreadable(forwards / repo, e);
      continue;
    }
    for (const std::string& save : saves) {
      QueueEntry e{repo, save};
      if (!IsSafeSaveName(e.save)) continue;
      {
        std::lock_guard lock(queue_mutex);
        if (waiting.Known(e)) continue;
      }
      int err = 0;
      std::optional<ForwardRecord> rec = ReadRecord(ForwardRoot, e, &err);
      if (rec && rec->set_aside) {
        SvcReportEvent("forwarding of " + Describe(e) +
                           " stays set aside after a conflict at the next relay; see the README",
                       EventType::Error);
        continue;
      }
      if (!Forwardable(e, false)) continue;
      platform::FileInfo info;
      const std::int64_t when =
          f.Stat(ForwardRoot / SAVES_DIR / e.repo / e.save, info) == 0 ? info.modified_ns : INT64_MAX;
      found.push_back({when, e});
    }
  }
  std::stable_sort(found.begin(), found.end(), [](const Found& a, const Found& b) { return a.when < b.when; });
  for (const Found& x : found) HandOff(x.entry);
  return whole;
}

}  // namespace

bool NextToForward(QueueEntry& entry) {
  Backoff retry_recovery(1000, 60000);
  auto recovery_at = std::chrono::steady_clock::now();
  std::unique_lock lock(queue_mutex);
  for (;;) {
    if (StopRequested) return false;
    const auto now = std::chrono::steady_clock::now();
    if (recovery_pending && now >= recovery_at) {
      lock.unlock();
      const bool whole = RecoverRecords();
      lock.lock();
      if (whole) recovery_pending = false;
      else recovery_at = now + std::chrono::milliseconds(retry_recovery.Next());
      continue;
    }
    std::optional<WaitingSaves::Clock::time_point> wake;
    if (std::optional<QueueEntry> next = waiting.Take(now, &wake)) {
      entry = *next;
      return true;
    }
    if (recovery_pending && (!wake || recovery_at < *wake)) wake = recovery_at;
    if (wake) queue_changed.wait_until(lock, *wake);
    else queue_changed.wait(lock);
  }
}

void ForwardDone(const QueueEntry& entry) {
  std::lock_guard lock(queue_mutex);
  waiting.Done(entry);
}

void ForwardLater(const QueueEntry& entry, std::chrono::steady_clock::time_point retry_at) {
  std::lock_guard lock(queue_mutex);
  waiting.Later(entry, retry_at);
}

bool NothingToForward() {
  std::lock_guard lock(queue_mutex);
  return waiting.Empty();
}

void WakeTransmitter() {
  std::lock_guard lock(queue_mutex);
  queue_changed.notify_all();
}

void ReadForwardSettings(const IniFile& ini) {
  g_settings.forward_host = ini.GetString("Forward", "Host", "", 480);
  g_settings.forward_port = ini.GetString("Forward", "Port", "1026", 280);
  g_settings.forward_peer_cn = ini.GetString("Forward", "PeerCN", "", 560);
  if (g_settings.ForwardingConfigured() && g_settings.ForwardDials())
    ForwardContext = TlsContextFactory(g_settings.forward_peer_cn, /*client_role=*/true,
                                       /*forward_hop=*/true, "");
}

std::string ForwardPemDirectory() {
  return g_settings.config_dir.empty() ? ForwardRoot.string() : g_settings.config_dir;
}

void ReplayForwardQueue(const fs::path& backup_root) {
  ForwardRoot = backup_root;

  const std::vector<std::string> lines = ReadQueueFile(backup_root / TOFORWARD);
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const std::string& line = lines[i];
    if (line.find_first_not_of(" \t\r\v\f") == std::string::npos) continue;
    std::optional<QueueEntry> entry = ParseQueueLine(line);
    if (!entry) {
      // One bad line must not cost the lines behind it.
      ReportFailure("toforward line", static_cast<long long>(i + 1));
      continue;
    }
    if (!Forwardable(*entry, true)) continue;
    // A line from a relay without records may come with no progress file,
    // or an empty one: both mean byte 0.
    int err = 0;
    if (!ReadRecord(backup_root, *entry, &err) && platform::IsNotFound(err)) {
      if ((err = WriteRecord(backup_root, *entry, ForwardRecord{})))
        ReportFailure(" fopen(save_name", err);  // still handed off: the queue line is written back at the stop
    }
    HandOff(*entry);
  }
  if (!RecoverRecords()) {
    std::lock_guard lock(queue_mutex);
    recovery_pending = true;
  }
  // Everything is in the records now; toforward is written again at the stop.
  if (int err = platform::WriteFileAtomically(backup_root / TOFORWARD, "", backup_root / TEMP_DIR))
    ReportFailure("fopen(TOFORWARD, \"w+\")", err);

  // Built once, here at start-up, so that a missing PEM file is a start-up
  // failure; contexts read their files from the backup root, or from the
  // configuration directory named with --dir.
  if (!g_settings.ForwardDials())
    ForwardContext = TlsContextFactory(g_settings.forward_peer_cn, /*client_role=*/false,
                                       /*forward_hop=*/true, ForwardPemDirectory(),
                                       /*require_cert=*/true);
  if (!g_settings.InboundDials()) OpenClosureListener();
  try {
    transmitter = std::thread(XmitThread);
    if (!g_settings.InboundDials()) closure_thread = std::thread(ClosureListener);
  } catch (const std::system_error& e) {
    ReportFailure("_beginthread(XmitThread)", e.code().value());
    FatalError("error");
  }
}

bool CreateForwardRecord(const std::string& repo, const std::string& save) {
  // A fresh record starts at byte 0: nothing of a save can have been sent
  // before it was complete.
  if (int err = WriteRecord(ForwardRoot, QueueEntry{repo, save}, ForwardRecord{})) {
    ReportFailure(" fopen(save_name", err);
    SvcReportEvent("cannot record " + repo + "/" + save + " for forwarding: " +
                       platform::ErrorText(err) + "; the save stays pending",
                   EventType::Error);
    return false;
  }
  return true;
}

void ForwardHandOff(const std::string& repo, const std::string& save) { HandOff(QueueEntry{repo, save}); }

void ForwardUnblockForStop() {
  if (!g_settings.ForwardingConfigured()) return;
  WakeTransmitter();
  if (!g_settings.ForwardDials()) {
    std::lock_guard lock(ForwardConnectionLock);
    ForwardSocket.Shutdown();
  }
  UnblockClosureListener();
}

void ForwardCleanup() {
  if (!g_settings.ForwardingConfigured()) return;
  if (transmitter.joinable()) transmitter.join();
  if (closure_thread.joinable()) closure_thread.join();
  WriteQueueFile();
}

}  // namespace tarnwick
